// tamix-server as a program: a failed import, its stop signals, an update imported while
// it serves, an index of an older layout, and replicas behind nginx.
#include "pubmed/resultpage.h"
#include "server/index/index.h"
#include "support/process.h"
#include "support/pubmed_fixture.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>
#include <tuple>

namespace tamix {
namespace {

using test::Get;
using test::Process;
using test::RunToEnd;
using test::TempDir;

const std::string kServer = TAMIX_SERVER_BIN;

std::string SampleIndex(const TempDir& dir, int count) {
    const std::string xml = dir.File("sample.xml");
    EXPECT_EQ(RunToEnd({kServer, "sample", "--count", std::to_string(count), "--out", xml},
                       dir.File("s.log")),
              0);
    EXPECT_EQ(RunToEnd({kServer, "import", "--index", dir.File("index.sqlite"), xml},
                       dir.File("i.log")),
              0);
    return dir.File("index.sqlite");
}

int StartServer(std::unique_ptr<Process>& process, const std::string& index, const std::string& log,
                const std::vector<std::string>& options = {}) {
    return test::ServeBinary(process, kServer, index, options, log);
}

// A file that cannot be read fails the import, but what the others held is committed and
// served. The workers the log names are --threads, or two a core; SIGINT stops the server
// as SIGTERM does.
TEST(ServerProcess, FailedImportServesTheOtherFilesAndSignalsStop) {
    TempDir dir;
    const std::string xml = dir.File("sample.xml");
    ASSERT_EQ(RunToEnd({kServer, "sample", "--count", "30", "--out", xml}, dir.File("s.log")), 0);
    const std::string index = dir.File("index.sqlite");
    EXPECT_EQ(RunToEnd({kServer, "import", "--index", index, dir.File("missing.xml"), xml},
                       dir.File("i.log")),
              1);

    const std::string workers =
        std::to_string(2 * std::max(1u, std::thread::hardware_concurrency()));
    for (const auto& [options, threads, signal] :
         std::vector<std::tuple<std::vector<std::string>, std::string, int>>{
             {{"--threads", "3"}, "3", SIGINT}, {{}, workers, SIGTERM}}) {
        std::unique_ptr<Process> server;
        const int port = StartServer(server, index, dir.File(threads + ".log"), options);
        ASSERT_GT(port, 0) << server->Stderr();
        EXPECT_NE(server->Stderr().find("(" + threads + " threads, "), std::string::npos)
            << server->Stderr();
        const auto start = Get(port, "/");
        ASSERT_TRUE(start);
        EXPECT_NE(start->body.find("30 records"), std::string::npos);
        EXPECT_EQ(server->Stop(signal), 0) << signal;
        EXPECT_NE(server->Stderr().find("tamix-server: stopped"), std::string::npos);
    }
}

TEST(ServerProcess, UpdateImportedWhileServing) {
    TempDir dir;
    const std::string index = SampleIndex(dir, 2000);
    std::vector<test::Record> update;
    for (int i = 0; i < 300; ++i)
        update.push_back({50000000 + i, "Quokka ecology " + std::to_string(i), "", 2024});
    const std::string updateFile = dir.Write("update.xml", test::ArticleSet(update));

    std::unique_ptr<Process> server;
    const int port = StartServer(server, index, dir.File("serve.log"));
    ASSERT_GT(port, 0);
    std::atomic<bool> importing{true};
    std::atomic<int> requests{0}, failures{0};
    std::thread client([&] {
        httplib::Client c("127.0.0.1", port);
        for (int i = 0; i < 5000 && (importing || i < 50); ++i) {
            auto res = c.Get(i % 2 ? "/m/pubmed/?term=trial&page=3" : "/m/pubmed/?term=quokka");
            ++requests;
            if (!res || res->status != 200) ++failures;
        }
    });
    // The whole sample again (2,000 replacements) and then the new records.
    const int imported =
        RunToEnd({kServer, "import", "--index", index, dir.File("sample.xml"), updateFile},
                 dir.File("u.log"));
    importing = false;
    client.join();
    EXPECT_EQ(imported, 0);
    EXPECT_EQ(failures, 0) << "of " << requests;

    auto res = Get(port, "/m/pubmed/?term=quokka");
    ASSERT_TRUE(res);
    CArticleRecord record;
    ParseResultPage(res->body, kServerMarkers, record);
    EXPECT_EQ(record.m_nCount, 10);
    EXPECT_NE(res->body.find("Page 1 of 30"), std::string::npos);
}

// An index of an older layout is refused by every command that opens it, with the way out:
// the first layout (no version written) and the one before the record's fields (2).
TEST(ServerProcess, IndexOfAnOlderSchemaIsRefused) {
    TempDir dir;
    const std::string index = SampleIndex(dir, 20);
    for (const int version : {1, 2}) {
        {
            server::Database db(index, SQLITE_OPEN_READWRITE);
            db.Exec("DELETE FROM meta WHERE key = 'schema'");
            if (version > 1)
                db.Exec(
                    ("INSERT INTO meta VALUES('schema', " + std::to_string(version) + ")").c_str());
        }
        // Both end at once (a server that served would hold the test until its time-out).
        EXPECT_EQ(RunToEnd({kServer, "serve", "--index", index, "--listen", "127.0.0.1:0"},
                           dir.File("serve.log")),
                  1);
        EXPECT_EQ(RunToEnd({kServer, "import", "--index", index, dir.File("sample.xml")},
                           dir.File("import.log")),
                  1);
        for (const char* name : {"serve.log", "import.log"}) {
            std::ifstream in(dir.File(name));
            const std::string log((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
            EXPECT_NE(log.find("tamix-server: " + index +
                               " was made by an older tamix-server (index schema " +
                               std::to_string(version) + ", this tamix-server reads schema " +
                               std::to_string(server::kSchemaVersion) + ")"),
                      std::string::npos)
                << log;
            EXPECT_NE(log.find("Rebuild it by re-importing the same records into a new index "
                               "file: tamix-server import --index NEW.sqlite RECORDS..."),
                      std::string::npos)
                << log;
        }
        server::Database db(index, SQLITE_OPEN_READONLY);
        server::Statement left = db.Prepare("SELECT value FROM meta WHERE key = 'schema'");
        if (version == 1)
            EXPECT_FALSE(left.Step()) << "the refused index is left as it was";
        else
            EXPECT_TRUE(left.Step() && left.Int(0) == version) << "left as it was";
    }
}

// nginx in front of two replicas, each serving its own copy of the index.
TEST(ServerProcess, ReplicasBehindNginx) {
    ASSERT_TRUE(std::filesystem::exists("/usr/sbin/nginx")) << "scripts/setup.sh installs nginx";
    TempDir dir;
    const std::string index = SampleIndex(dir, 500);
    std::filesystem::copy_file(index, dir.File("copy.sqlite"));
    std::unique_ptr<Process> a, b;
    const int portA = StartServer(a, index, dir.File("a.log"));
    const int portB = StartServer(b, dir.File("copy.sqlite"), dir.File("b.log"));
    ASSERT_GT(portA, 0);
    ASSERT_GT(portB, 0);

    const int front = test::ClosedPort();
    std::string conf = R"(daemon off;
worker_processes 1;
pid @DIR@nginx.pid;
error_log @DIR@error.log;
events { worker_connections 512; }
http {
 access_log off;
 client_body_temp_path @DIR@body;
 proxy_temp_path @DIR@proxy;
 fastcgi_temp_path @DIR@fcgi;
 uwsgi_temp_path @DIR@uwsgi;
 scgi_temp_path @DIR@scgi;
 upstream tamix {
  server 127.0.0.1:@A@ max_fails=1 fail_timeout=10s;
  server 127.0.0.1:@B@ max_fails=1 fail_timeout=10s;
  keepalive 16;
  keepalive_timeout 4s;
 }
 server {
  listen 127.0.0.1:@FRONT@;
  location / {
   proxy_pass http://tamix;
   proxy_http_version 1.1;
   proxy_set_header Connection "";
   proxy_next_upstream error timeout http_502 http_503;
   proxy_connect_timeout 2s;
  }
 }
}
)";
    if (geteuid() == 0) conf = "user root;\n" + conf;
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"@DIR@", dir.File("")},
             {"@A@", std::to_string(portA)},
             {"@B@", std::to_string(portB)},
             {"@FRONT@", std::to_string(front)}})
        for (std::size_t at; (at = conf.find(name)) != std::string::npos;)
            conf.replace(at, name.size(), value);
    Process nginx({"/usr/sbin/nginx", "-e", dir.File("error.log"), "-p", dir.File(""), "-c",
                   dir.Write("nginx.conf", conf)},
                  dir.File("nginx.stderr"));
    bool up = false;
    for (int i = 0; i < 200 && !up; ++i) {
        up = static_cast<bool>(Get(front, "/"));
        if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_TRUE(up) << nginx.Stderr();

    for (const char* target : {"/", "/m/pubmed/?term=trial", "/m/pubmed/?term=trial&page=7",
                               "/m/pubmed/99000042", "/about"}) {
        auto viaNginx = Get(front, target);
        auto direct = Get(portB, target);
        ASSERT_TRUE(viaNginx && direct) << target;
        EXPECT_EQ(viaNginx->status, direct->status) << target;
        EXPECT_EQ(viaNginx->body, direct->body) << target;
    }

    // Load through nginx while one replica goes away.
    std::atomic<int> done{0}, failures{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t) {
        clients.emplace_back([&, t] {
            httplib::Client c("127.0.0.1", front);
            for (int i = 0; i < 300; ++i) {
                auto res =
                    c.Get("/m/pubmed/?term=patients&page=" + std::to_string(1 + (i + t) % 20));
                if (!res || res->status != 200) ++failures;
                ++done;
            }
        });
    }
    while (done < 200)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(a->Stop(SIGTERM), 0);
    for (auto& c : clients)
        c.join();
    EXPECT_EQ(done, 1200);
    EXPECT_EQ(failures, 0);
    nginx.Stop(SIGTERM);
}

} // namespace
} // namespace tamix
