// tamix-server as a program: an update imported while it serves, and replicas behind
// nginx.
#include "pubmed/resultpage.h"
#include "support/process.h"
#include "support/pubmed_fixture.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

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
    EXPECT_EQ(
        RunToEnd({kServer, "import", "--index", dir.File("index.sqlite"), xml}, dir.File("i.log")),
        0);
    return dir.File("index.sqlite");
}

int StartServer(std::unique_ptr<Process>& process, const std::string& index, const std::string& log,
                const std::vector<std::string>& options = {}) {
    return test::ServeBinary(process, kServer, index, options, log);
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
 client_body_temp_path @DIR@body; proxy_temp_path @DIR@proxy; fastcgi_temp_path @DIR@fcgi;
 uwsgi_temp_path @DIR@uwsgi; scgi_temp_path @DIR@scgi;
 upstream tamix {
  server 127.0.0.1:@A@ max_fails=1 fail_timeout=10s;
  server 127.0.0.1:@B@ max_fails=1 fail_timeout=10s;
  keepalive 16; keepalive_timeout 4s;
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
    for (const auto& [name, value] :
         std::vector<std::pair<std::string, std::string>>{{"@DIR@", dir.File("")},
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
