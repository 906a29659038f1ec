// The mirror's pure parts: NLM's file names, index pages and .md5 files, the order of
// imports, and the figures of the progress lines.
#include "server/upstream/listing.h"
#include "server/upstream/progress.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace tamix::upstream {
namespace {

std::vector<std::string> Names(const std::vector<PubmedFile>& files) {
    std::vector<std::string> names;
    for (const PubmedFile& f : files)
        names.push_back(f.name);
    return names;
}

// NLM's name of file `number` of a year, and the file.
std::string N(int year, int number) {
    char name[32];
    std::snprintf(name, sizeof name, "pubmed%02dn%04d.xml.gz", year, number);
    return name;
}
PubmedFile File(int year, int number, bool update) {
    PubmedFile file;
    EXPECT_TRUE(ParsePubmedFileName(N(year, number), file));
    file.update = update;
    return file;
}

TEST(Listing, FileNames) {
    PubmedFile f;
    // A fifth digit some day.
    for (const auto& [name, year, number] :
         {std::tuple{"pubmed26n0001.xml.gz", 26, 1}, std::tuple{"pubmed25n1456.xml.gz", 25, 1456},
          std::tuple{"pubmed26n10001.xml.gz", 26, 10001}}) {
        ASSERT_TRUE(ParsePubmedFileName(name, f)) << name;
        EXPECT_EQ(f.year, year);
        EXPECT_EQ(f.number, number);
    }
    // The last two: a number past four digits has no leading zero, one name for each file,
    // so that a listing cannot plan the same number twice (in no set order).
    for (const char* bad :
         {"pubmed26n0001.xml.gz.md5", "pubmed26n0001.xml", "pubmed26n001.xml.gz",
          "pubmed26x0001.xml.gz", "pubmedAAn0001.xml.gz", "pubmed26n00a1.xml.gz",
          "medline17n0001.xml.gz", "README.txt", "", "pubmed26n.xml.gz", "xpubmed26n0001.xml.gz",
          "pubmed26n0001.xml.gzz", "pubmed26n01338.xml.gz", "pubmed26n00001.xml.gz"})
        EXPECT_FALSE(ParsePubmedFileName(bad, f)) << bad;
    const auto files = ParseListing(
        "<a href=\"pubmed26n01338.xml.gz\">x</a><a href=\"pubmed26n1338.xml.gz\">x</a>", false);
    EXPECT_EQ(Names(files), std::vector<std::string>{"pubmed26n1338.xml.gz"});
}

TEST(Listing, ApacheIndexPages) {
    const std::string page =
        "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 3.2 Final//EN\">\n<html><head><title>Index of "
        "/pubmed/updatefiles</title></head><body>\n<pre>Name  Last modified  Size  <hr>"
        "<a href=\"/pubmed/\">Parent Directory</a>   -\n"
        "<a href=\"README.txt\">README.txt</a>  2025-12-10 14:03  2.4K\n"
        "<a href=\"pubmed26n1335.xml.gz\">pubmed26n1335.xml.gz</a>  2025-12-11 14:03  3.1M\n"
        "<a href=\"pubmed26n1335.xml.gz.md5\">pubmed26n1335.xml.gz.md5</a>  60\n"
        "<a href=\"pubmed26n1334.xml.gz\">pubmed26n1334.xml.gz</a>  2025-12-10 14:03  2.9M\n"
        "<a href='pubmed26n1336.xml.gz'>single quotes</a>\n"
        "<a href=pubmed26n1337.xml.gz>no quotes</a>\n"
        "<a href=\"/elsewhere/pubmed26n1338.xml.gz?x=1\">a path: only its last segment counts</a>\n"
        "<a href=\"pubmed26n1335.xml.gz\">the same file again</a>\n"
        "<a href=\"stats.html\">stats.html</a>\n<hr></pre></body></html>\n";
    const auto files = ParseListing(page, true);
    EXPECT_EQ(Names(files),
              (std::vector<std::string>{"pubmed26n1335.xml.gz", "pubmed26n1334.xml.gz",
                                        "pubmed26n1336.xml.gz", "pubmed26n1337.xml.gz",
                                        "pubmed26n1338.xml.gz"}));
    for (const PubmedFile& f : files)
        EXPECT_TRUE(f.update);
    EXPECT_TRUE(ParseListing("<html><body>Forbidden</body></html>", false).empty());
    EXPECT_TRUE(ParseListing("<a href=\"pubmed26n0001.xml.gz", false).empty())
        << "an unclosed quote ends the page";
}

TEST(Listing, Md5Files) {
    const std::string digest = "0123456789abcdef0123456789abcdef";
    // NLM's form, upper-case hex and CRLF, md5sum's, md5sum -b's, this file's line among
    // others'; then another file's, short, not hex, an error page, nothing.
    for (const auto& [text, expected] : std::vector<std::pair<std::string, std::string>>{
             {"MD5(pubmed26n0001.xml.gz)= " + digest + "\n", digest},
             {"MD5(pubmed26n0001.xml.gz)= 0123456789ABCDEF0123456789ABCDEF\r\n", digest},
             {digest + "  pubmed26n0001.xml.gz\n", digest},
             {digest + " *pubmed26n0001.xml.gz", digest},
             {"ffffffffffffffffffffffffffffffff  pubmed26n0002.xml.gz\n" + digest +
                  "  pubmed26n0001.xml.gz\n",
              digest},
             {"MD5(pubmed26n0002.xml.gz)= " + digest, ""},
             {"MD5(pubmed26n0001.xml.gz)= 0123456789abcdef", ""},
             {"MD5(pubmed26n0001.xml.gz)= 0123456789abcdefg123456789abcdef", ""},
             {"<html>404 Not Found</html>", ""},
             {"", ""}})
        EXPECT_EQ(ParseMd5File(text, "pubmed26n0001.xml.gz"), expected) << text;
}

TEST(Listing, PlanImportsInOrderOfTheIndexYear) {
    const std::vector<PubmedFile> baseline = {File(26, 2, false), File(26, 10, false),
                                              File(26, 1, false)};
    const std::vector<PubmedFile> updates = {File(26, 12, true), File(26, 11, true),
                                             File(26, 100, true)};
    // An empty index: the baseline by number, then the updates by number (not by text).
    MirrorPlan plan = PlanImports(baseline, updates, {});
    EXPECT_EQ(plan.year, 26);
    EXPECT_EQ(Names(plan.files), (std::vector<std::string>{N(26, 1), N(26, 2), N(26, 10), N(26, 11),
                                                           N(26, 12), N(26, 100)}));
    EXPECT_EQ(plan.newerYear, 0);

    // What is imported is not planned again; what is missing in between is.
    plan = PlanImports(baseline, updates, {N(26, 1), N(26, 2), N(26, 10), N(26, 12)});
    EXPECT_EQ(Names(plan.files), (std::vector<std::string>{N(26, 11), N(26, 100)}));

    // An empty index takes the latest baseline year; older files are left alone.
    plan = PlanImports({File(25, 1, false), File(26, 1, false)}, {File(25, 900, true)}, {});
    EXPECT_EQ(plan.year, 26);
    EXPECT_EQ(plan.olderFiles, 2u);
    EXPECT_EQ(Names(plan.files), std::vector<std::string>{N(26, 1)});

    // Nothing to go by.
    EXPECT_EQ(PlanImports({}, updates, {}).year, 0);
}

TEST(Progress, Figures) {
    for (const auto& [bytes, text] :
         std::vector<std::pair<std::int64_t, std::string>>{{0, "0 B"},
                                                           {999, "999 B"},
                                                           {1000, "1.00 kB"},
                                                           {12345, "12.3 kB"},
                                                           {19'000'000, "19.0 MB"},
                                                           {123'456'789, "123 MB"},
                                                           {70'000'000'000, "70.0 GB"}})
        EXPECT_EQ(FormatBytes(bytes), text);
    for (const auto& [seconds, text] : std::vector<std::pair<double, std::string>>{
             {0, "0:00"}, {7.4, "0:07"}, {754, "12:34"}, {3723, "1:02:03"}, {-5, "0:00"}})
        EXPECT_EQ(FormatDuration(seconds), text);
    for (const auto& [count, text] : std::vector<std::pair<std::int64_t, std::string>>{
             {0, "0"}, {999, "999"}, {1000, "1,000"}, {1234567, "1,234,567"}, {-1234, "-1,234"}})
        EXPECT_EQ(FormatCount(count), text);
}

} // namespace
} // namespace tamix::upstream
