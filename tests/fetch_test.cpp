// The mirror's downloads against real HTTP on loopback: a partial file that is whole or
// does not fit the server's, statuses, the User-Agent, the stop, HTTPS.
#include "server/upstream/fetch.h"
#include "support/files.h"
#include "support/nlm_stand_in.h"
#include "support/pubmed_fixture.h"

#include <gtest/gtest.h>

#include <fstream>

namespace tamix::upstream {
namespace {

using test::NlmStandIn;
using test::ReadFile;
using test::TempDir;

// A cut transfer and its resumption with a byte range are Mirror.BaselineThenUpdates's.
TEST(Fetch, PartialFilesGoOnOrStartOver) {
    NlmStandIn area;
    // No short period, so that bytes out of place show.
    std::string bytes(200000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7919 % 65521 >> 8);
    area.Add("baseline", "pubmed26n0001.xml.gz", bytes);
    const std::string url = area.Url() + "baseline/pubmed26n0001.xml.gz";
    TempDir dir;
    const std::string part = dir.Write("f.part", bytes.substr(0, 70000));

    // The progress counts the whole file, what an earlier transfer left included.
    std::int64_t lastHave = 0, lastTotal = 0;
    FetchControl control;
    control.onProgress = [&](std::int64_t have, std::int64_t total) {
        lastHave = have;
        lastTotal = total;
    };
    FetchResult rest = FetchFile(url, part, control);
    ASSERT_TRUE(rest.ok) << rest.error;
    EXPECT_EQ(rest.received, 130000);
    EXPECT_TRUE(ReadFile(part) == bytes);
    EXPECT_EQ(lastHave, 200000);
    EXPECT_EQ(lastTotal, 200000);

    // Already whole: the server says the range is past the end, and that is success.
    FetchResult again = FetchFile(url, part);
    EXPECT_TRUE(again.ok) << again.error;
    EXPECT_TRUE(ReadFile(part) == bytes);

    // Longer than the server's file: not ours to append to; it starts over.
    std::ofstream(part, std::ios::binary | std::ios::app) << "extra";
    EXPECT_FALSE(FetchFile(url, part).ok);
    ASSERT_TRUE(FetchFile(url, part).ok);
    EXPECT_TRUE(ReadFile(part) == bytes);
}

TEST(Fetch, StatusesAgentAndStop) {
    test::TestServer server;
    std::string agent;
    server.routes().Get("/listing/", [&](const httplib::Request& req, httplib::Response& res) {
        agent = req.get_header_value("User-Agent");
        res.set_content("<a href=\"pubmed26n0001.xml.gz\">", "text/html");
    });
    server.routes().Get("/busy", [](const httplib::Request&, httplib::Response& res) {
        res.status = 503;
        res.set_content("try later", "text/plain");
    });
    server.routes().Get("/big", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(5000, 'x'), "text/plain");
    });
    server.Start();

    std::string text;
    ASSERT_TRUE(FetchText(server.Url("/listing/"), text).ok);
    EXPECT_EQ(text, "<a href=\"pubmed26n0001.xml.gz\">");
    EXPECT_EQ(agent, UserAgent());

    // What may pass (a 503, nobody listening) and what will not (a 404, whose words the
    // mirror's log shows in Mirror.WhatItCannotWorkWith).
    for (const auto& [url, permanent] : std::vector<std::pair<std::string, bool>>{
             {server.Url("/nothing"), true},
             {server.Url("/busy"), false},
             {"http://127.0.0.1:" + std::to_string(test::ClosedPort()) + "/", false}}) {
        const FetchResult result = FetchText(url, text);
        EXPECT_FALSE(result.ok) << url;
        EXPECT_EQ(result.permanent, permanent) << url;
    }
    EXPECT_FALSE(FetchText(server.Url("/big"), text, {}, 4096).ok) << "over the limit";

    TempDir dir;
    FetchResult notFound = FetchFile(server.Url("/nothing"), dir.File("f"));
    EXPECT_TRUE(notFound.permanent);
    EXPECT_EQ(ReadFile(dir.File("f")), "") << "an error page is not the file";

    // A stop already asked for ends the transfer.
    std::atomic<bool> stop{true};
    FetchControl control;
    control.stop = &stop;
    FetchResult stopped = FetchFile(server.Url("/big"), dir.File("g"), control);
    EXPECT_FALSE(stopped.ok);
    EXPECT_EQ(stopped.error, "stopped");
}

// HTTPS goes only to servers whose certificate the system trusts: a self-signed one on
// loopback is refused before anything is read.
TEST(Fetch, HttpsChecksTheServersCertificate) {
    TempDir dir;
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
        "-addext subjectAltName=IP:127.0.0.1 -keyout " +
        dir.File("key.pem") + " -out " + dir.File("cert.pem") + " 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    httplib::SSLServer server(dir.File("cert.pem").c_str(), dir.File("key.pem").c_str());
    ASSERT_TRUE(server.is_valid());
    bool asked = false;
    server.Get("/", [&](const httplib::Request&, httplib::Response& res) {
        asked = true;
        res.set_content("secret listing", "text/html");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread thread([&] { server.listen_after_bind(); });
    std::string text;
    const FetchResult result = FetchText("https://127.0.0.1:" + std::to_string(port) + "/", text);
    server.stop();
    thread.join();
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("certificate"), std::string::npos) << result.error;
    EXPECT_FALSE(asked);
    EXPECT_EQ(text, "");
}

} // namespace
} // namespace tamix::upstream
