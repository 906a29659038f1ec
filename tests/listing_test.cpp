// The mirror's pure parts: NLM's file names, index pages and .md5 files, and the figures
// of the progress lines. fuzz_listing holds the plan of imports to an oracle of its own.
#include "server/upstream/listing.h"
#include "server/upstream/progress.h"

#include <gtest/gtest.h>

namespace tamix::upstream {
namespace {

TEST(Listing, FileNames) {
    PubmedFile f;
    // A fifth digit some day.
    for (const auto& [name, year, number] : {std::tuple{"pubmed25n1456.xml.gz", 25, 1456},
                                             std::tuple{"pubmed26n10001.xml.gz", 26, 10001}}) {
        ASSERT_TRUE(ParsePubmedFileName(name, f)) << name;
        EXPECT_EQ(f.year, year);
        EXPECT_EQ(f.number, number);
    }
    // The last: a number past four digits has no leading zero, one name for each file, so
    // that a listing cannot plan the same number twice.
    for (const char* bad : {"pubmed26n0001.xml.gz.md5", "pubmed26n001.xml.gz",
                            "pubmed26n00a1.xml.gz", "pubmed26n01338.xml.gz"})
        EXPECT_FALSE(ParsePubmedFileName(bad, f)) << bad;
}

// NlmStandIn's pages have NLM's double-quoted links; Apache's may also have these.
TEST(Listing, IndexPageLinks) {
    const std::string page =
        "<a href=\"/pubmed/\">Parent Directory</a>\n"
        "<a href=\"pubmed26n1335.xml.gz\">x</a> <a href=\"pubmed26n1335.xml.gz.md5\">x</a>\n"
        "<a href='pubmed26n1336.xml.gz'>single quotes</a>\n"
        "<a href=pubmed26n1337.xml.gz>no quotes</a>\n"
        "<a href=\"/elsewhere/pubmed26n1338.xml.gz?x=1\">a path: only its last segment counts</a>\n"
        "<a href=\"pubmed26n1335.xml.gz\">the same file again</a>\n";
    std::vector<std::string> names;
    for (const PubmedFile& f : ParseListing(page, true))
        names.push_back(f.name);
    EXPECT_EQ(names, (std::vector<std::string>{"pubmed26n1335.xml.gz", "pubmed26n1336.xml.gz",
                                               "pubmed26n1337.xml.gz", "pubmed26n1338.xml.gz"}));
}

TEST(Listing, Md5Files) {
    const std::string digest = "0123456789abcdef0123456789abcdef";
    // Upper-case hex and CRLF, md5sum -b's form, this file's line after another's; another
    // file's only (fuzz_listing reads back the plain forms).
    for (const auto& [text, expected] : std::vector<std::pair<std::string, std::string>>{
             {"MD5(pubmed26n0001.xml.gz)= 0123456789ABCDEF0123456789ABCDEF\r\n", digest},
             {digest + " *pubmed26n0001.xml.gz", digest},
             {"ffffffffffffffffffffffffffffffff  pubmed26n0002.xml.gz\n" + digest +
                  "  pubmed26n0001.xml.gz\n",
              digest},
             {"MD5(pubmed26n0002.xml.gz)= " + digest, ""}})
        EXPECT_EQ(ParseMd5File(text, "pubmed26n0001.xml.gz"), expected) << text;
}

TEST(Progress, Figures) {
    for (const auto& [bytes, text] :
         std::vector<std::pair<std::int64_t, std::string>>{{999, "999 B"},
                                                           {1000, "1.00 kB"},
                                                           {12345, "12.3 kB"},
                                                           {123'456'789, "123 MB"},
                                                           {70'000'000'000, "70.0 GB"}})
        EXPECT_EQ(FormatBytes(bytes), text);
    for (const auto& [seconds, text] : std::vector<std::pair<double, std::string>>{
             {7.4, "0:07"}, {754, "12:34"}, {3723, "1:02:03"}, {-5, "0:00"}})
        EXPECT_EQ(FormatDuration(seconds), text);
    for (const auto& [count, text] : std::vector<std::pair<std::int64_t, std::string>>{
             {999, "999"}, {1000, "1,000"}, {1234567, "1,234,567"}, {-1234, "-1,234"}})
        EXPECT_EQ(FormatCount(count), text);
}

} // namespace
} // namespace tamix::upstream
