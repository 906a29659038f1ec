// tamix-server as a program: its commands, its log, SIGTERM, an update imported while
// it serves, and replicas behind nginx.
#include "pubmed/resultpage.h"
#include "server/index/index.h"
#include "support/process.h"
#include "support/pubmed_fixture.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

namespace tamix {
namespace {

using test::Process;
using test::TempDir;

const std::string kServer = TAMIX_SERVER_BIN;

int RunToEnd(const std::vector<std::string>& args, const std::string& log) {
    Process p(args, log);
    return p.Wait();
}

std::string SampleIndex(const TempDir& dir, int count, const std::string& name = "index.sqlite") {
    const std::string xml = dir.File("sample.xml");
    EXPECT_EQ(RunToEnd({kServer, "sample", "--count", std::to_string(count), "--out", xml},
                       dir.File("s.log")),
              0);
    EXPECT_EQ(RunToEnd({kServer, "import", "--index", dir.File(name), xml}, dir.File("i.log")), 0);
    return dir.File(name);
}

// Starts `tamix-server serve` on a free port and returns the port.
int StartServer(std::unique_ptr<Process>& process, const std::string& index, const std::string& log,
                const std::vector<std::string>& options = {}) {
    std::vector<std::string> args{kServer, "serve", "--index", index, "--listen", "127.0.0.1:0"};
    args.insert(args.end(), options.begin(), options.end());
    process = std::make_unique<Process>(args, log);
    const std::string port = process->WaitFor("on http://127\\.0\\.0\\.1:(\\d+)/");
    return port.empty() ? -1 : std::stoi(port);
}

httplib::Result Get(int port, const std::string& target) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(5);
    return client.Get(target);
}

TEST(ServerProcess, CommandsLogAndSigterm) {
    TempDir dir;
    const std::string index = SampleIndex(dir, 30);
    std::ifstream importLog(dir.File("i.log"));
    std::string line;
    std::getline(importLog, line);
    EXPECT_NE(line.find("30 records"), std::string::npos) << line;

    // A file that cannot be read fails the import, but what the others held stays.
    EXPECT_EQ(RunToEnd({kServer, "import", "--index", dir.File("two.sqlite"),
                        dir.File("missing.xml"), dir.File("sample.xml")},
                       dir.File("i2.log")),
              1);
    EXPECT_EQ(RunToEnd({kServer, "frobnicate"}, dir.File("u.log")), 2);

    std::unique_ptr<Process> server;
    const int port = StartServer(server, dir.File("two.sqlite"), dir.File("serve.log"));
    ASSERT_GT(port, 0) << server->Stderr();
    auto start = Get(port, "/");
    ASSERT_TRUE(start);
    EXPECT_NE(start->body.find("30 records"), std::string::npos);
    auto results = Get(port, "/m/pubmed/?term=trial");
    ASSERT_TRUE(results);
    EXPECT_EQ(results->status, 200);
    EXPECT_EQ(Get(port, "/m/pubmed/?term=%zz")->status, 400);

    EXPECT_EQ(server->Stop(SIGTERM), 0);
    const std::string log = server->Stderr();
    EXPECT_NE(log.find("] \"GET /\" 200 "), std::string::npos) << log;
    EXPECT_NE(log.find("] \"GET /m/pubmed/?term=trial\" 200 "), std::string::npos) << log;
    EXPECT_NE(log.find("\"GET /m/pubmed/?term=%zz\" 400"), std::string::npos) << log;
    EXPECT_NE(log.find("tamix-server: stopped"), std::string::npos);
}

TEST(ServerProcess, ServeOptions) {
    TempDir dir;
    const std::string index = SampleIndex(dir, 10);
    const std::string glossary = dir.Write("g.tsv", "quokka\t\xE7\x9F\xAD\xE5\xB0\xBE\n");
    const std::string translate =
        "/public/2.0/bmt/translate?client_id=Qx7TmWb2PaLk9RcVz4NsJd6E&from=en&to=zh&q=quokka";

    std::unique_ptr<Process> server;
    int port = StartServer(server, index, dir.File("a.log"),
                           {"--threads", "3", "--quiet", "--glossary", glossary});
    ASSERT_GT(port, 0) << server->Stderr();
    EXPECT_NE(server->Stderr().find("(3 threads, "), std::string::npos) << server->Stderr();
    auto res = Get(port, translate);
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("\\u77ed\\u5c3e"), std::string::npos) << res->body;
    EXPECT_EQ(server->Stop(SIGINT), 0);
    EXPECT_EQ(server->Stderr().find("\"GET "), std::string::npos) << "--quiet writes no access log";
    EXPECT_NE(server->Stderr().find("tamix-server: stopped"), std::string::npos);

    test::TestServer backend;
    backend.routes().Post("/translate", [](const httplib::Request&, httplib::Response& r) {
        r.set_content("{\"translatedText\": \"\\u888b\\u9f20\"}", "application/json");
    });
    backend.Start();
    port = StartServer(server, index, dir.File("b.log"), {"--translate-backend", backend.Url("/")});
    ASSERT_GT(port, 0) << server->Stderr();
    const std::string workers =
        std::to_string(2 * std::max(1u, std::thread::hardware_concurrency()));
    EXPECT_NE(server->Stderr().find("(" + workers + " threads, "), std::string::npos)
        << "two a core by default: " << server->Stderr();
    res = Get(port, translate);
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("\\u888b\\u9f20"), std::string::npos) << res->body;
    EXPECT_EQ(server->Stop(SIGTERM), 0);

    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--threads", "0"},
          {"--threads", "many"}}) {
        std::vector<std::string> args{kServer, "serve", "--index", index};
        args.insert(args.end(), bad.begin(), bad.end());
        EXPECT_EQ(RunToEnd(args, dir.File("c.log")), 2) << bad[0] << " " << bad[1];
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

// The number of matches a result page reports.
std::string Matches(const httplib::Result& res) {
    if (!res) return "no answer";
    const auto at = res->body.find("<p class=\"count\">");
    return std::to_string(res->status) + " " +
           (at == std::string::npos ? "no count" : res->body.substr(at + 17, 6));
}

// Inputs that took a server to 500 pages or to seconds of work and gigabytes.
TEST(ServerProcess, HostileQueriesAreAnsweredWithPages) {
    TempDir dir;
    const std::string index = SampleIndex(dir, 300);
    std::unique_ptr<Process> server;
    const int port = StartServer(server, index, dir.File("serve.log"));
    ASSERT_GT(port, 0);
    std::string nested, dates, datesOr;
    for (int i = 0; i < 32; ++i)
        nested += "a(";
    nested += "a";
    for (int i = 0; i < 32; ++i)
        nested += ")";
    for (int i = 0; i < 64; ++i) {
        // Spaces as %20: the client would send a '+' as %2B.
        dates += "1726%3A2025%5Bdp%5D%20";
        datesOr += "1726%3A2025%5Bdp%5D%20OR%20";
    }
    const std::string trial = Matches(Get(port, "/m/pubmed/?term=trial"));
    EXPECT_EQ(trial.rfind("200 ", 0), 0u) << trial;
    EXPECT_EQ(Matches(Get(port, "/m/pubmed/?term=trial%00")), trial);
    EXPECT_EQ(Matches(Get(port, "/m/pubmed/?term=%00trial%00%01")), trial);
    EXPECT_EQ(Matches(Get(port, "/m/pubmed/?term=" + nested)),
              Matches(Get(port, "/m/pubmed/?term=a")));
    EXPECT_EQ(Matches(Get(port, "/m/pubmed/?term=" + dates)),
              Matches(Get(port, "/m/pubmed/?term=1726%3A2025%5Bdp%5D")));
    EXPECT_EQ(Matches(Get(port, "/m/pubmed/?term=" + datesOr + "trial")).rfind("200 ", 0), 0u);
    EXPECT_EQ(
        Matches(Get(port, "/m/pubmed/?term=2001%3A2005%5Bdp%5D%20AND%20trial")).rfind("200 ", 0),
        0u);
    EXPECT_EQ(server->Stop(SIGTERM), 0);
    EXPECT_EQ(server->Stderr().find("\" 500 "), std::string::npos) << server->Stderr();
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
    const std::string conf = dir.Write(
        "nginx.conf",
        std::string(geteuid() == 0 ? "user root;\n" : "") +
            "daemon off;\nworker_processes 1;\npid " + dir.File("nginx.pid") +
            ";\n"
            "error_log " +
            dir.File("error.log") +
            ";\nevents { worker_connections 512; }\n"
            "http {\n access_log off;\n client_body_temp_path " +
            dir.File("body") +
            ";\n"
            " proxy_temp_path " +
            dir.File("proxy") + ";\n fastcgi_temp_path " + dir.File("fcgi") +
            ";\n"
            " uwsgi_temp_path " +
            dir.File("uwsgi") + ";\n scgi_temp_path " + dir.File("scgi") +
            ";\n"
            " upstream tamix {\n  server 127.0.0.1:" +
            std::to_string(portA) +
            " max_fails=1 fail_timeout=10s;\n"
            "  server 127.0.0.1:" +
            std::to_string(portB) +
            " max_fails=1 fail_timeout=10s;\n  keepalive 16;\n  keepalive_timeout 4s;\n }\n"
            " server {\n  listen 127.0.0.1:" +
            std::to_string(front) +
            ";\n  location / {\n"
            "   proxy_pass http://tamix;\n   proxy_http_version 1.1;\n   "
            "proxy_set_header Connection \"\";\n"
            "   proxy_next_upstream error timeout http_502 http_503;\n   "
            "proxy_connect_timeout 2s;\n  }\n }\n}\n");
    Process nginx({"/usr/sbin/nginx", "-e", dir.File("error.log"), "-p", dir.File(""), "-c", conf},
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
