#include "pubmed/download.h"
#include "support/files.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

namespace tamix {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

using test::ReadFile;
using test::WriteFile;

// Sleeps in short steps until released, so that a stalling handler ends with the test.
void WaitUntil(const std::atomic<bool>& released) {
    for (int i = 0; i < 400 && !released; ++i)
        std::this_thread::sleep_for(25ms);
}

class Download : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tamix-download-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        scratch_ = (dir_ / "temp.page").string();

        auto& routes = server_.routes();
        routes.Get("/page", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content("<html>page for " + request.get_header_value("User-Agent") +
                                     "</html>",
                                 "text/html");
        });
        const auto serve = [&routes](const char* path, int status, const std::string& body) {
            routes.Get(path, [status, body](const httplib::Request&, httplib::Response& response) {
                response.status = status;
                response.set_content(body, "text/html");
            });
        };
        serve("/short", 200, "short");
        serve("/empty", 200, "");
        serve("/missing", 404, "not found body");
        serve("/zero", 200, std::string("before\0after", 12));
        serve("/large", 200, std::string(600000, 'L'));
        routes.Get("/hop1", [](const httplib::Request&, httplib::Response& response) {
            response.set_redirect("/hop2", 302);
            response.set_content("body of hop 1", "text/html");
        });
        routes.Get("/hop2", [](const httplib::Request&, httplib::Response& response) {
            response.set_redirect("/page", 301);
        });
        // Zeros at no cost: the bound on a body is what these test.
        const auto zeros = [](size_t, size_t length, httplib::DataSink& sink) {
            static const std::string block(65536, '\0');
            return sink.write(block.data(), std::min(length, block.size()));
        };
        routes.Get("/64mib", [zeros](const httplib::Request&, httplib::Response& response) {
            response.set_content_provider(kMaxBodyBytes, "text/html", zeros);
        });
        routes.Get("/64mib-and-1", [zeros](const httplib::Request&, httplib::Response& response) {
            response.set_content_provider(kMaxBodyBytes + 1, "text/html", zeros);
        });
        // No length declared; ends (to fail the test rather than hang it) well past the bound.
        const auto endless = [](size_t offset, httplib::DataSink& sink) {
            static const std::string block(65536, '\0');
            if (offset <= 2 * kMaxBodyBytes) return sink.write(block.data(), block.size());
            sink.done();
            return true;
        };
        routes.Get("/endless", [endless](const httplib::Request&, httplib::Response& response) {
            response.set_chunked_content_provider("text/html", endless);
        });
        routes.Get("/stall-body", [this](const httplib::Request&, httplib::Response& response) {
            response.set_content_provider(
                100000, "text/html", [this](size_t offset, size_t, httplib::DataSink& sink) {
                    if (offset == 0) return sink.write(std::string(1000, 'S').data(), 1000);
                    WaitUntil(released_);
                    return false;
                });
        });
        routes.Get("/stall-headers", [this](const httplib::Request&, httplib::Response& response) {
            WaitUntil(released_);
            response.set_content("late", "text/html");
        });
        server_.Start();
    }

    void TearDown() override {
        released_ = true;
        fs::remove_all(dir_);
    }

    std::atomic<bool> released_{false};
    test::TestServer server_;
    fs::path dir_;
    std::string scratch_;
};

TEST_F(Download, StoresTheBodyOfA200AndNothingElse) {
    ASSERT_TRUE(DownloadToFile(server_.Url("/page"), scratch_));
    EXPECT_EQ(ReadScratchFile(scratch_), "<html>page for tamix</html>") << "User-Agent tamix";

    const std::string before = ReadFile(scratch_);
    EXPECT_FALSE(DownloadToFile(server_.Url("/missing"), scratch_));
    EXPECT_EQ(ReadFile(scratch_), before) << "a failed status leaves the file byte for byte";

    const std::string untouched = (dir_ / "never.txt").string();
    EXPECT_FALSE(DownloadToFile(server_.Url("/missing"), untouched));
    EXPECT_FALSE(fs::exists(untouched)) << "the file is created only after a 200";
}

// The file holds the last body alone: nothing of what was there before, the final body of
// a redirect.
TEST_F(Download, TheFileHoldsTheLastBodyAlone) {
    ASSERT_TRUE(DownloadToFile(server_.Url("/page"), scratch_));
    ASSERT_TRUE(DownloadToFile(server_.Url("/short"), scratch_));
    EXPECT_EQ(ReadFile(scratch_), "short");
    ASSERT_TRUE(DownloadToFile(server_.Url("/empty"), scratch_));
    EXPECT_EQ(ReadFile(scratch_), "");
    ASSERT_TRUE(DownloadToFile(server_.Url("/hop1"), scratch_));
    EXPECT_EQ(ReadFile(scratch_), "<html>page for tamix</html>");
}

// Both ways a file is created: by the first piece of a body, and for an empty one.
TEST_F(Download, UncreatableFileFails) {
    const std::string nowhere = (dir_ / "no-such-dir" / "temp.page").string();
    EXPECT_FALSE(DownloadToFile(server_.Url("/page"), nowhere));
    EXPECT_FALSE(DownloadToFile(server_.Url("/empty"), nowhere));
}

TEST_F(Download, ReadBackStopsAtZeroByteAndAtTheLimit) {
    ASSERT_TRUE(DownloadToFile(server_.Url("/zero"), scratch_));
    EXPECT_EQ(fs::file_size(scratch_), 12u) << "the body is written whole";
    EXPECT_EQ(ReadScratchFile(scratch_), "before");

    ASSERT_TRUE(DownloadToFile(server_.Url("/large"), scratch_));
    EXPECT_EQ(ReadScratchFile(scratch_), std::string(kReadBackLimit, 'L'));
}

TEST_F(Download, StalledServerIsGivenUp) {
    EXPECT_FALSE(DownloadToFile(server_.Url("/stall-body"), scratch_, 1s));
    EXPECT_EQ(ReadFile(scratch_), std::string(1000, 'S')) << "the part written so far stays";
    EXPECT_FALSE(DownloadToFile(server_.Url("/stall-headers"), scratch_, 1s));
}

TEST_F(Download, BodyPast64MiBFailsWithoutFillingTheDisk) {
    ASSERT_TRUE(DownloadToFile(server_.Url("/64mib"), scratch_)) << "64 MiB itself is a body";
    EXPECT_EQ(fs::file_size(scratch_), kMaxBodyBytes);

    WriteFile(scratch_, "kept");
    EXPECT_FALSE(DownloadToFile(server_.Url("/64mib-and-1"), scratch_));
    // Compared as a whole: a failure must not print 64 MiB of zeros.
    EXPECT_TRUE(ReadFile(scratch_) == "kept") << "a declared length past the bound: not touched";

    EXPECT_FALSE(DownloadToFile(server_.Url("/endless"), scratch_));
    const auto written = fs::file_size(scratch_);
    EXPECT_GT(written, kMaxBodyBytes / 2) << "the part that came before stays";
    EXPECT_LE(written, kMaxBodyBytes) << "and never more than the bound";
}

} // namespace
} // namespace tamix
