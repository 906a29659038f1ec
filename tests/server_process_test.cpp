// tamix-server as a program: an update imported while it serves, and replicas behind
// nginx.
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
    EXPECT_NE(res->body.find("Page 1 of 30"), std::string::npos);
}

// nginx in front of two replicas serving one index file, keeping its connections to them
// open: each page through nginx, from either replica, is the page a replica gives.
TEST(ServerProcess, ReplicasBehindNginx) {
    ASSERT_TRUE(std::filesystem::exists("/usr/sbin/nginx")) << "scripts/setup.sh installs nginx";
    TempDir dir;
    const std::string index = SampleIndex(dir, 500);
    std::unique_ptr<Process> a, b;
    const int portA = StartServer(a, index, dir.File("a.log"));
    const int portB = StartServer(b, index, dir.File("b.log"));
    ASSERT_GT(portA, 0);
    ASSERT_GT(portB, 0);

    const int front = test::ClosedPort();
    // Paths in the configuration are the folder's, given as nginx's prefix.
    std::string conf = R"(daemon off;
worker_processes 1;
pid nginx.pid;
error_log error.log;
events { worker_connections 64; }
http {
 access_log off;
 client_body_temp_path body; proxy_temp_path proxy; fastcgi_temp_path fcgi;
 uwsgi_temp_path uwsgi; scgi_temp_path scgi;
 upstream tamix { server 127.0.0.1:@A@; server 127.0.0.1:@B@; keepalive 4; }
 server {
  listen 127.0.0.1:@FRONT@;
  location / { proxy_pass http://tamix; proxy_http_version 1.1; proxy_set_header Connection ""; }
 }
}
)";
    if (geteuid() == 0) conf = "user root;\n" + conf;
    for (const auto& [name, value] : std::vector<std::pair<std::string, int>>{
             {"@A@", portA}, {"@B@", portB}, {"@FRONT@", front}})
        for (std::size_t at; (at = conf.find(name)) != std::string::npos;)
            conf.replace(at, name.size(), std::to_string(value));
    Process nginx({"/usr/sbin/nginx", "-e", dir.File("error.log"), "-p", dir.File(""), "-c",
                   dir.Write("nginx.conf", conf)},
                  dir.File("nginx.stderr"));
    bool up = false;
    for (int i = 0; i < 200 && !up; ++i) {
        up = static_cast<bool>(Get(front, "/"));
        if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_TRUE(up) << nginx.Stderr();

    // Round robin: each target twice, once from each replica.
    for (const char* target : {"/", "/m/pubmed/?term=trial&page=7", "/m/pubmed/99000042"}) {
        const auto direct = Get(portA, target);
        ASSERT_TRUE(direct) << target;
        for (int replica = 0; replica < 2; ++replica) {
            const auto viaNginx = Get(front, target);
            ASSERT_TRUE(viaNginx) << target;
            EXPECT_EQ(viaNginx->body, direct->body) << target;
        }
    }
    nginx.Stop(SIGTERM);
}

} // namespace
} // namespace tamix
