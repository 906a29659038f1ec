// The mirror's pure parts: NLM's file names, index pages and .md5 files, the order of
// imports, and the figures of the progress lines.
#include "server/upstream/listing.h"
#include "server/upstream/progress.h"

#include <gtest/gtest.h>

namespace tamix::upstream {
namespace {

std::vector<std::string> Names(const std::vector<PubmedFile>& files) {
    std::vector<std::string> names;
    for (const PubmedFile& f : files)
        names.push_back(f.name);
    return names;
}

PubmedFile File(const std::string& name, bool update) {
    PubmedFile file;
    EXPECT_TRUE(ParsePubmedFileName(name, file)) << name;
    file.update = update;
    return file;
}

TEST(Listing, FileNames) {
    PubmedFile f;
    ASSERT_TRUE(ParsePubmedFileName("pubmed26n0001.xml.gz", f));
    EXPECT_EQ(f.year, 26);
    EXPECT_EQ(f.number, 1);
    ASSERT_TRUE(ParsePubmedFileName("pubmed25n1456.xml.gz", f));
    EXPECT_EQ(f.number, 1456);
    ASSERT_TRUE(ParsePubmedFileName("pubmed26n10001.xml.gz", f)) << "a fifth digit some day";
    EXPECT_EQ(f.number, 10001);
    for (const char* bad : {"pubmed26n0001.xml.gz.md5", "pubmed26n0001.xml", "pubmed26n001.xml.gz",
                            "pubmed26x0001.xml.gz", "pubmedAAn0001.xml.gz", "pubmed26n00a1.xml.gz",
                            "medline17n0001.xml.gz", "README.txt", "", "pubmed26n.xml.gz",
                            "xpubmed26n0001.xml.gz", "pubmed26n0001.xml.gzz"})
        EXPECT_FALSE(ParsePubmedFileName(bad, f)) << bad;
    // A number past four digits has no leading zero: one name for each file, so that a
    // listing cannot plan the same number twice (in no set order).
    for (const char* padded : {"pubmed26n01338.xml.gz", "pubmed26n00001.xml.gz"})
        EXPECT_FALSE(ParsePubmedFileName(padded, f)) << padded;
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
    const std::string name = "pubmed26n0001.xml.gz";
    EXPECT_EQ(ParseMd5File("MD5(pubmed26n0001.xml.gz)= " + digest + "\n", name), digest);
    EXPECT_EQ(ParseMd5File("MD5(pubmed26n0001.xml.gz)= 0123456789ABCDEF0123456789ABCDEF\r\n", name),
              digest)
        << "upper-case hex and CRLF";
    EXPECT_EQ(ParseMd5File(digest + "  pubmed26n0001.xml.gz\n", name), digest) << "md5sum";
    EXPECT_EQ(ParseMd5File(digest + " *pubmed26n0001.xml.gz", name), digest) << "md5sum -b";
    EXPECT_EQ(ParseMd5File("ffffffffffffffffffffffffffffffff  pubmed26n0002.xml.gz\n" + digest +
                               "  pubmed26n0001.xml.gz\n",
                           name),
              digest)
        << "the line of this file among others";
    EXPECT_EQ(ParseMd5File("MD5(pubmed26n0002.xml.gz)= " + digest, name), "") << "another file's";
    EXPECT_EQ(ParseMd5File("MD5(pubmed26n0001.xml.gz)= 0123456789abcdef", name), "") << "short";
    EXPECT_EQ(ParseMd5File("MD5(pubmed26n0001.xml.gz)= 0123456789abcdefg123456789abcdef", name),
              "");
    EXPECT_EQ(ParseMd5File("<html>404 Not Found</html>", name), "");
    EXPECT_EQ(ParseMd5File("", name), "");
}

TEST(Listing, PlanImportsInOrderOfTheIndexYear) {
    const std::vector<PubmedFile> baseline = {File("pubmed26n0002.xml.gz", false),
                                              File("pubmed26n0010.xml.gz", false),
                                              File("pubmed26n0001.xml.gz", false)};
    const std::vector<PubmedFile> updates = {File("pubmed26n0012.xml.gz", true),
                                             File("pubmed26n0011.xml.gz", true),
                                             File("pubmed26n0100.xml.gz", true)};
    // An empty index: the baseline by number, then the updates by number (not by text).
    MirrorPlan plan = PlanImports(baseline, updates, {});
    EXPECT_EQ(plan.year, 26);
    EXPECT_EQ(Names(plan.files),
              (std::vector<std::string>{"pubmed26n0001.xml.gz", "pubmed26n0002.xml.gz",
                                        "pubmed26n0010.xml.gz", "pubmed26n0011.xml.gz",
                                        "pubmed26n0012.xml.gz", "pubmed26n0100.xml.gz"}));
    EXPECT_EQ(plan.newerYear, 0);

    // What is imported is not planned again; what is missing in between is.
    plan = PlanImports(baseline, updates,
                       {"pubmed26n0001.xml.gz", "pubmed26n0002.xml.gz", "pubmed26n0010.xml.gz",
                        "pubmed26n0012.xml.gz"});
    EXPECT_EQ(Names(plan.files),
              (std::vector<std::string>{"pubmed26n0011.xml.gz", "pubmed26n0100.xml.gz"}));

    // An empty index takes the latest baseline year; older files are left alone.
    plan = PlanImports({File("pubmed25n0001.xml.gz", false), File("pubmed26n0001.xml.gz", false)},
                       {File("pubmed25n0900.xml.gz", true)}, {});
    EXPECT_EQ(plan.year, 26);
    EXPECT_EQ(plan.olderFiles, 2u);
    EXPECT_EQ(Names(plan.files), std::vector<std::string>{"pubmed26n0001.xml.gz"});

    // Nothing to go by.
    EXPECT_EQ(PlanImports({}, updates, {}).year, 0);
}

TEST(Progress, Figures) {
    EXPECT_EQ(FormatBytes(0), "0 B");
    EXPECT_EQ(FormatBytes(999), "999 B");
    EXPECT_EQ(FormatBytes(1000), "1.00 kB");
    EXPECT_EQ(FormatBytes(12345), "12.3 kB");
    EXPECT_EQ(FormatBytes(19'000'000), "19.0 MB");
    EXPECT_EQ(FormatBytes(123'456'789), "123 MB");
    EXPECT_EQ(FormatBytes(70'000'000'000), "70.0 GB");
    EXPECT_EQ(FormatDuration(0), "0:00");
    EXPECT_EQ(FormatDuration(7.4), "0:07");
    EXPECT_EQ(FormatDuration(754), "12:34");
    EXPECT_EQ(FormatDuration(3723), "1:02:03");
    EXPECT_EQ(FormatDuration(-5), "0:00");
    EXPECT_EQ(FormatCount(0), "0");
    EXPECT_EQ(FormatCount(999), "999");
    EXPECT_EQ(FormatCount(1000), "1,000");
    EXPECT_EQ(FormatCount(1234567), "1,234,567");
    EXPECT_EQ(FormatCount(-1234), "-1,234");
}

} // namespace
} // namespace tamix::upstream
