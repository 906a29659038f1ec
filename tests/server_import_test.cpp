#include "server/index/index.h"
#include "server/index/query.h"
#include "server/records/readers.h"
#include "server/records/sample.h"
#include "server/web/pages.h"
#include "support/describe_article.h"
#include "support/nlm_records.h"
#include "support/pubmed_fixture.h"

#include <gtest/gtest.h>

#include <sstream>
#include <zlib.h>

namespace tamix::server {
namespace {

using test::ArticleSet;
using test::ReadRecords;
using test::ReadText;
using test::Record;
using test::TempDir;

// What the Fields tests' MEDLINE records lack: CRLF line ends, a pii before the doi, a doi
// given only as AID, and a record without a PMID.
TEST(Readers, MedlineCrlfIdsAndRecordsWithoutPmid) {
    TempDir dir;
    const std::string path =
        dir.Write("export.nbib", "PMID- 111\r\nTI  - A title that goes\r\n      on here.\r\n"
                                 "LID - S0001 [pii]\r\nLID - 10.1/abc [doi]\r\n\r\n"
                                 "TI  - No id here\r\n\r\n"
                                 "PMID- 222\r\nAID - 10.2/xyz [doi]\r\n");
    std::vector<std::string> skips;
    auto records = ReadRecords(path, &skips);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records.at(111).title, "A title that goes on here.");
    EXPECT_EQ(records.at(111).doi, "10.1/abc");
    EXPECT_EQ(records.at(222).doi, "10.2/xyz");
    EXPECT_EQ(skips, std::vector<std::string>{path + ":7: no PMID"});
}

TEST(Readers, TextInMemoryReadsLikeTheFile) {
    for (const test::NlmFile& file : test::kNlmFiles) {
        std::string text;
        gzFile gz = gzopen(file.path.c_str(), "rb");
        ASSERT_NE(gz, nullptr) << file.path;
        char buffer[4096];
        for (int got; (got = gzread(gz, buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<std::size_t>(got));
        gzclose(gz);

        std::vector<std::string> fromFile, fromText;
        for (const auto& [pmid, a] : ReadRecords(file.path))
            fromFile.push_back(test::Describe(a));
        for (const auto& [pmid, a] : ReadText(text, "memory"))
            fromText.push_back(test::Describe(a));
        EXPECT_FALSE(fromFile.empty()) << file.path;
        EXPECT_EQ(fromText, fromFile) << file.path;
    }

    // Messages name the text as they would the file.
    RecordSink none;
    std::string error;
    EXPECT_FALSE(
        ReadPubmedXmlText("<PubmedArticleSet>\n<PubmedArticle>", "upload.xml", none, error));
    EXPECT_EQ(error.rfind("upload.xml:2: ", 0), 0u) << error;
}

TEST(Readers, MedlineNulBytesReadAsSpaces) {
    // A NUL inside a field used to cut the rest of its line (and the line break with it)
    // away; kept, it would end the page that shows the record where the browser reads it.
    using namespace std::string_literals;
    const std::string text = "PMID- 31\nTI  - Before\0after\nAB  - One\0\0two\n"
                             "      three\n\nPMID- 32\nTI  - Next\n"s;
    TempDir dir;
    for (const auto& records :
         {ReadRecords(dir.Write("nul.txt", text)), ReadText(text, "nul.txt")}) {
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records.at(31).title, "Before after");
        EXPECT_EQ(records.at(31).abstract, "One  two three");
        EXPECT_EQ(records.at(32).title, "Next");
    }
}

TEST(Readers, BadRecordsAndBrokenFiles) {
    TempDir dir;
    const std::string withBad =
        "<?xml version=\"1.0\"?>\n<PubmedArticleSet>\n" + test::RecordXml({2, "Two"}) +
        "<PubmedArticle><MedlineCitation><PMID>x1</PMID></MedlineCitation></PubmedArticle>\n" +
        test::RecordXml({3, "Three"}) + "</PubmedArticleSet>\n";
    std::vector<std::string> skips;
    std::string error;
    auto records = ReadRecords(dir.Write("bad.xml", withBad), &skips, &error);
    EXPECT_EQ(records.size(), 2u);
    EXPECT_TRUE(error.empty());
    ASSERT_EQ(skips.size(), 1u);
    EXPECT_EQ(skips[0], dir.File("bad.xml") + ":4: bad PMID");

    // Cut off in the middle of the third record: the first two stand, the error names a line.
    const std::string cut = withBad.substr(0, withBad.find("<PMID Version=\"1\">3"));
    records = ReadRecords(dir.Write("cut.xml", cut), nullptr, &error);
    EXPECT_EQ(records.size(), 1u);
    EXPECT_NE(error.find(dir.File("cut.xml") + ":"), std::string::npos) << error;

    ReadRecords(dir.File("missing.xml"), nullptr, &error);
    EXPECT_NE(error.find("cannot open"), std::string::npos);
}

TEST(Readers, PmidsOfMoreThanEightDigitsAreSkipped) {
    TempDir dir;
    const std::string xml = dir.Write(
        "long.xml",
        ArticleSet({{99999999, "Eight digits"}, {123456789, "Nine digits"}, {7, "Seven"}}));
    const std::string medline = dir.Write("long.txt", "PMID- 99999998\nTI  - Eight\n\n"
                                                      "PMID- 000123456789\nTI  - Nine\n\n"
                                                      "PMID- 8\nTI  - One\n");
    const std::string index = dir.File("index.sqlite");
    EXPECT_EQ(test::ImportFiles(index, {xml, medline}),
              (std::vector<std::string>{
                  xml + ":4: record skipped: PMID 123456789 has more than 8 digits",
                  medline + ":4: record skipped: PMID 123456789 has more than 8 digits"}));
    IndexReader reader(index);
    EXPECT_EQ(reader.Size(), 4);
    EXPECT_FALSE(reader.Find(123456789).has_value());
    EXPECT_TRUE(reader.Find(99999999).has_value());
}

// The meta table's values, as a later reader of the file sees them.
std::int64_t MetaValue(const std::string& index, const char* key) {
    Database db(index, SQLITE_OPEN_READONLY);
    Statement value = db.Prepare(std::string("SELECT value FROM meta WHERE key = '") + key + "'");
    return value.Step() ? value.Int(0) : -1;
}

// An older schema is refused by the built binary's commands (ServerProcess tests).
TEST(Index, NewerSchemasAndOtherFilesAreRefused) {
    TempDir dir;
    const std::string index = dir.File("index.sqlite");
    ASSERT_TRUE(test::ImportFiles(index, {dir.Write("1.xml", ArticleSet({{5, "Alpha"}}))}).empty());
    const auto refusal = [&](auto open) -> std::string {
        try {
            open();
        } catch (const SchemaError& e) {
            return e.what();
        }
        return "not refused";
    };
    Database(index, SQLITE_OPEN_READWRITE).Exec("UPDATE meta SET value = 99 WHERE key = 'schema'");
    for (const std::string& message :
         {refusal([&] { IndexReader r(index); }), refusal([&] { IndexWriter w(index); })})
        EXPECT_EQ(message.rfind(index + " was made by a newer tamix-server (index schema 99", 0),
                  0u)
            << message;
    const std::string empty = dir.Write("empty.sqlite", "");
    EXPECT_EQ(refusal([&] { IndexReader r(empty); }), empty + " holds no tamix-server index");
}

TEST(Index, MergedOnceASixteenthHasChanged) {
    TempDir dir;
    const std::string index = dir.File("index.sqlite");
    std::vector<Record> first;
    for (int i = 1; i <= 100; ++i)
        first.push_back({i, "Record " + std::to_string(i), "", 2000 + i % 20});
    ASSERT_TRUE(test::ImportFiles(index, {dir.Write("1.xml", ArticleSet(first))}).empty());
    EXPECT_EQ(MetaValue(index, "unmerged"), 0) << "a new index is merged at the end";

    ASSERT_TRUE(test::ImportFiles(
                    index, {dir.Write("2.xml", ArticleSet({{201, "New one"}, {202, "New two"}}))})
                    .empty());
    EXPECT_EQ(MetaValue(index, "unmerged"), 2);
    // A replacement is a deletion and an insertion; 2 + 6 changes are a sixteenth of 102.
    ASSERT_TRUE(test::ImportFiles(index, {dir.Write("3.xml", ArticleSet({{1, "Again", "", 2001},
                                                                         {2, "Again", "", 2002},
                                                                         {203, "New three"},
                                                                         {204, "New four"}}))})
                    .empty());
    EXPECT_EQ(MetaValue(index, "unmerged"), 0);
    IndexReader reader(index);
    EXPECT_EQ(reader.Size(), 104);
    EXPECT_EQ(reader.Count(BuildSearch("again[ti] AND 2001:2002[dp]")), 2);
}

// Records replaced or deleted again before the writer has written them (one file, one
// commit) count and end up as those replaced or deleted after a commit (the second file) do.
TEST(Index, ReplacementAndDeletionWithinAndAcrossCommits) {
    TempDir dir;
    const std::string index = dir.File("index.sqlite");
    const std::string file =
        dir.Write("1.xml", ArticleSet({{5, "Alpha zebrafish study", "", 2001},
                                       {6, "Beta zebrafish study", "", 2002},
                                       {7, "Gamma study", "", 1999},
                                       {5, "Alpha axolotl study of the long kind", "", 2010},
                                       {6, "Beta again", "", 2003},
                                       {8, "Delta zebrafish study", "", 2000}},
                                      "<DeleteCitation><PMID Version=\"1\">6</PMID><PMID>999</PMID>"
                                      "</DeleteCitation>\n"));
    const std::string again = dir.Write(
        "2.xml", ArticleSet({{6, "Beta back zebrafish", "", 2004}, {7, "Gamma later", "", 2011}},
                            "<DeleteCitation><PMID>8</PMID></DeleteCitation>\n"));
    std::vector<FileImport> files;
    ImportObserver observer;
    observer.beforeFileCommit = [&](const FileImport& f, IndexWriter&) { files.push_back(f); };
    const ImportStats stats = ImportFiles(index, {file, again}, observer);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].added, 4);
    EXPECT_EQ(files[0].replaced, 2);
    EXPECT_EQ(files[0].deleted, 1);
    EXPECT_EQ(files[1].added, 1) << "6 was deleted";
    EXPECT_EQ(files[1].replaced, 1);
    EXPECT_EQ(files[1].deleted, 1);
    EXPECT_EQ(stats.records, 8);
    EXPECT_EQ(stats.deletions, 2);

    IndexReader reader(index);
    EXPECT_EQ(reader.Size(), 3);
    EXPECT_EQ(reader.Count(BuildSearch("zebrafish")), 1) << "the old texts of 5, 6 and 8 are gone";
    EXPECT_FALSE(reader.Find(8).has_value());
    EXPECT_EQ(reader.Count(BuildSearch("axolotl")), 1);
    EXPECT_EQ(reader.Count(BuildSearch("gamma")), 1);
    EXPECT_EQ(reader.Count(BuildSearch("1999[dp]")), 0) << "the first 7 left no date behind";
    EXPECT_EQ(reader.Find(7)->title, "Gamma later");
    std::vector<std::int64_t> newestFirst;
    for (const ArticleSummary& item :
         reader.Page(BuildSearch("study OR gamma OR zebrafish"), 0, 10))
        newestFirst.push_back(item.pmid);
    EXPECT_EQ(newestFirst, (std::vector<std::int64_t>{7, 5, 6}));

    // What ranking counts is what the same records imported once give.
    const std::string once = dir.File("once.sqlite");
    ASSERT_TRUE(
        test::ImportFiles(
            once,
            {dir.Write("3.xml", ArticleSet({{5, "Alpha axolotl study of the long kind", "", 2010},
                                            {6, "Beta back zebrafish", "", 2004},
                                            {7, "Gamma later", "", 2011}}))})
            .empty());
    EXPECT_EQ(MetaValue(index, "records"), 3);
    EXPECT_EQ(MetaValue(index, "ranked_words"), MetaValue(once, "ranked_words"));
    EXPECT_EQ(reader.Stats().averageLength, IndexReader(once).Stats().averageLength);
}

TEST(Sample, IdsKeepEightDigits) {
    EXPECT_EQ(SamplePmid(0), kFirstSamplePmid);
    EXPECT_EQ(SamplePmid(999998), 99999999);
    EXPECT_EQ(SamplePmid(999999), 99000000) << "a million records and more go downwards";
    EXPECT_EQ(SamplePmid(1000000), 98999999);
    EXPECT_EQ(SamplePmid(20000000), 79999999);
}

TEST(Sample, DeterministicAndLabelled) {
    std::ostringstream first;
    WriteSampleCorpus(first, 60);
    TempDir dir;
    const std::string index = dir.File("sample.sqlite");
    EXPECT_TRUE(test::ImportFiles(index, {dir.Write("s.xml", first.str())}).empty());
    IndexReader reader(index);
    EXPECT_EQ(reader.Size(), 60);
    int withoutAbstract = 0, withoutDoi = 0, markup = 0, nonAscii = 0;
    for (std::int64_t pmid = kFirstSamplePmid; pmid < kFirstSamplePmid + 60; ++pmid) {
        const auto a = reader.Find(pmid);
        ASSERT_TRUE(a.has_value()) << pmid;
        EXPECT_EQ(a->journal, "TAMIX Sample Data");
        withoutAbstract += a->abstract.empty();
        withoutDoi += a->doi.empty();
        markup += a->title.find_first_of("<&") != std::string::npos;
        for (char c : a->title + a->authors)
            nonAscii += static_cast<unsigned char>(c) >= 0x80;
    }
    EXPECT_GT(withoutAbstract, 0);
    EXPECT_GT(withoutDoi, 0);
    EXPECT_GT(markup, 0);
    EXPECT_GT(nonAscii, 0);
    EXPECT_GT(reader.Count(Search{"{title abstract authors} : \"BACKGROUND\""}), 0)
        << "structured abstracts";
}

TEST(Pages, PagerCountsStopAtAThousandPages) {
    EXPECT_EQ(TotalPages(0), 1);
    EXPECT_EQ(TotalPages(10), 1);
    EXPECT_EQ(TotalPages(11), 2);
    EXPECT_EQ(TotalPages(kMaxCountedMatches), 1000);
    ResultPageData empty;
    const std::string page = RenderResultPage(empty);
    const auto of = page.find(" of ", page.find("class=\"pag\""));
    EXPECT_GE(of, 297u) << "the pager must stand where the browser reads it";
    EXPECT_NE(page.find("Page 1 of 1<"), std::string::npos);
    EXPECT_EQ(PaddedId(12345), "00012345");
    EXPECT_EQ(PaddedId(123456789), "123456789");
}

} // namespace
} // namespace tamix::server
