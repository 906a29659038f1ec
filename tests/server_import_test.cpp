#include "server/index/importer.h"
#include "server/index/index.h"
#include "server/index/query.h"
#include "server/rank/terms.h"
#include "server/records/readers.h"
#include "server/records/sample.h"
#include "support/nlm_records.h"
#include "support/pubmed_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace tamix::server {
namespace {

using test::ArticleSet;
using test::ReadRecords;
using test::ReadText;
using test::Record;
using test::TempDir;

// What the Fields tests' MEDLINE records lack: CRLF line ends, a pii before the doi, a doi
// given only as AID, a record without a PMID, and NUL bytes.
TEST(Readers, MedlineCrlfIdsNulsAndRecordsWithoutPmid) {
    TempDir dir;
    const std::string path =
        dir.Write("export.nbib", "PMID- 111\r\nTI  - A title that goes\r\n      on here.\r\n"
                                 "LID - S0001 [pii]\r\nLID - 10.1/abc [doi]\r\n\r\n"
                                 "TI  - No id here\r\n\r\n"
                                 "PMID- 222\r\nAID - 10.2/xyz [doi]\r\n\r\n"
                                 "PMID- 333\r\nAD  - Lab X\r\nAU  - Smith J\r\nAU  - Jones K\r\n");
    std::vector<std::string> skips;
    const auto records = ReadRecords(path, &skips);
    ASSERT_EQ(records.size(), 3u);
    // Records of the 1990s give the address before the authors: the first author's.
    ASSERT_EQ(records.at(333).authorList.size(), 2u);
    EXPECT_EQ(records.at(333).authorList[0].affiliations, std::vector<std::string>{"Lab X"});
    EXPECT_TRUE(records.at(333).authorList[1].affiliations.empty());
    EXPECT_EQ(records.at(111).title, "A title that goes on here.");
    EXPECT_EQ(records.at(111).doi, "10.1/abc");
    EXPECT_EQ(records.at(222).doi, "10.2/xyz");
    EXPECT_EQ(skips, std::vector<std::string>{path + ":7: no PMID"});

    // A NUL inside a field used to cut the rest of its line (and the line break with it)
    // away; kept, it would end the page that shows the record where the browser reads it.
    // Read from the file and from memory alike.
    using namespace std::string_literals;
    const std::string text = "PMID- 31\nTI  - Before\0after\nAB  - One\0\0two\n"
                             "      three\n\nPMID- 32\nTI  - Next\n"s;
    for (const auto& read : {ReadRecords(dir.Write("nul.txt", text)), ReadText(text, "nul.txt")}) {
        ASSERT_EQ(read.size(), 2u);
        EXPECT_EQ(read.at(31).title, "Before after");
        EXPECT_EQ(read.at(31).abstract, "One  two three");
        EXPECT_EQ(read.at(32).title, "Next");
    }
}

TEST(Readers, BadRecordsAndBrokenFiles) {
    TempDir dir;
    const std::string withBad =
        "<?xml version=\"1.0\"?>\n<PubmedArticleSet>\n" + test::RecordXml({2, "Two"}) +
        "<PubmedArticle><MedlineCitation><PMID>x1</PMID></MedlineCitation></PubmedArticle>\n" +
        test::RecordXml({3, "Three"}) + "</PubmedArticleSet>\n";
    // The bad record's message, and its line, are the import's (ServerOptions tests).
    std::string error;
    EXPECT_EQ(ReadRecords(dir.Write("bad.xml", withBad), nullptr, &error).size(), 2u);
    EXPECT_TRUE(error.empty());

    // Cut off in the middle of the third record: the first two stand, the error names a line.
    const std::string cut = withBad.substr(0, withBad.find("<PMID Version=\"1\">3"));
    EXPECT_EQ(ReadRecords(dir.Write("cut.xml", cut), nullptr, &error).size(), 1u);
    EXPECT_NE(error.find(dir.File("cut.xml") + ":"), std::string::npos) << error;
    // In memory, as the gateway reads efetch's answers, the message names the text instead.
    RecordSink none;
    EXPECT_FALSE(ReadPubmedXmlText("<PubmedArticleSet>\n<PubmedArticle>", "efetch", none, error));
    EXPECT_EQ(error.rfind("efetch:2: ", 0), 0u) << error;
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
    EXPECT_EQ(IndexReader(index).Size(), 4);
}

// The meta table's values, as a later reader of the file sees them.
std::int64_t MetaValue(const std::string& index, const char* key) {
    Database db(index, SQLITE_OPEN_READONLY);
    Statement value = db.Prepare(std::string("SELECT value FROM meta WHERE key = '") + key + "'");
    return value.Step() ? value.Int(0) : -1;
}

// An older schema is refused by the built binary's commands (ServerCrash tests).
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
    const std::string newer = refusal([&] { IndexReader r(index); });
    EXPECT_EQ(newer.rfind(index + " was made by a newer tamix-server (index schema 99", 0), 0u)
        << newer;
    const std::string empty = dir.Write("empty.sqlite", "");
    EXPECT_EQ(refusal([&] { IndexReader r(empty); }), empty + " holds no tamix-server index");
}

TEST(Index, MergedOnceASixteenthHasChanged) {
    TempDir dir;
    const std::string index = dir.File("index.sqlite");
    std::vector<Record> first;
    for (int i = 1; i <= 100; ++i)
        first.push_back({i, "Record " + std::to_string(i), "", 2000 + i % 20});
    // A first import merges its full text only at its end; one cut short (committed, never
    // merged) is still a first import when run again, not a pile of segments to merge at
    // its first commit. Once merged, the index is merged along the way.
    const auto mergesAlongTheWay = [&] {
        IndexWriter writer(index);
        Database db(index, SQLITE_OPEN_READONLY);
        Statement crisis = db.Prepare("SELECT v FROM article_fts_config WHERE k = 'crisismerge'");
        return crisis.Step() && crisis.Int(0) < 256;
    };
    ImportOptions cutShort;
    cutShort.merge = false;
    const std::vector<Record> half(first.begin(), first.begin() + 50);
    ImportFiles(index, {dir.Write("0.xml", ArticleSet(half))}, {}, cutShort);
    EXPECT_FALSE(mergesAlongTheWay());
    ASSERT_TRUE(test::ImportFiles(index, {dir.Write("1.xml", ArticleSet(first))}).empty());
    EXPECT_TRUE(mergesAlongTheWay());

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
    // The ranking is merged whole too, though only two of its records died.
    EXPECT_EQ(IndexReader(index).Ranking().Segments(), 1u);
}

// The log is copied into the file after each commit, and the next transaction writes it
// from its start again: it stays the size of a commit, however many there are. Each
// transaction writes at once, while the last one's copy has only just begun.
TEST(Index, TheLogStaysTheSizeOfACommit) {
    TempDir dir;
    const std::string index = dir.File("index.sqlite");
    IndexWriter writer(index);
    std::uintmax_t first = 0;
    for (int commit = 0; commit < 10; ++commit) {
        writer.RecordImportedFile({"file" + std::to_string(commit), "", 200});
        for (int i = 0; i < 200; ++i) {
            Article a;
            a.pmid = commit * 1000 + i + 1;
            a.title = "Record " + std::to_string(a.pmid);
            for (int word = 0; word < 300; ++word)
                a.abstract += "w" + std::to_string((i * 31 + word) % 5000) + " ";
            a.year = 2000;
            a.pubdate = "2000";
            writer.Put(a);
        }
        writer.Commit();
        if (commit == 0) first = std::filesystem::file_size(index + "-wal");
    }
    EXPECT_LE(std::filesystem::file_size(index + "-wal"), 3 * first);
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
    EXPECT_EQ(stats.deletions, 2);

    IndexReader reader(index);
    EXPECT_EQ(reader.Size(), 3);
    EXPECT_EQ(reader.Count(BuildSearch("zebrafish")), 1) << "the old texts of 5, 6 and 8 are gone";
    EXPECT_EQ(reader.Count(BuildSearch("axolotl")), 1);
    EXPECT_EQ(reader.Count(BuildSearch("1999[dp]")), 0) << "the first 7 left no date behind";
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
    EXPECT_EQ(reader.Stats().averageLength, IndexReader(once).Stats().averageLength);
}

// Every token's term, record, column and place in a full-text table, in order.
std::vector<std::string> Instances(Database& db, const std::string& table) {
    db.Exec(("CREATE VIRTUAL TABLE temp.instances_of_" + table + " USING fts5vocab(main, " +
             table + ", instance)")
                .c_str());
    Statement all = db.Prepare("SELECT doc, col, offset, term FROM temp.instances_of_" + table +
                               " ORDER BY doc, col, offset");
    std::vector<std::string> rows;
    while (all.Step())
        rows.push_back(all.Text(0) + " " + all.Text(1) + " " + all.Text(2) + " " + all.Text(3));
    return rows;
}

TEST(Index, TakesTheTokensRankingFoundOnlyForTheirOwnTexts) {
    // The writer's tokenizer answers an armed text from its tokens, once; any other text,
    // and an armed text the second time, is tokenized.
    Database written(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    TokenReplay replay(written.Handle());
    Database plain(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    const char* table = "(a, b, c, d, e, f, content='', tokenize='porter unicode61 "
                        "remove_diacritics 2')";
    written.Exec((std::string("CREATE VIRTUAL TABLE t USING fts5") + table).c_str());
    plain.Exec((std::string("CREATE VIRTUAL TABLE t USING fts5") + table).c_str());
    const std::array<std::string_view, kRankedFields> texts = {
        "Heart failures in the Ã©lderly: a RANDOMISED trial", "Patients were studied.",
        "MÃ¼ller HJ, Smith J", "Heart Failure î drug therapy", "heart; failure"};
    Tokenizer tokenizer;
    std::string tokens;
    const std::string terms = EncodedRecordTerms(tokenizer, texts[0], texts[1], texts[2],
                                                 texts[3], texts[4], &tokens);
    ASSERT_FALSE(tokens.empty());
    const auto insert = [&](Database& db, std::int64_t rowid, std::string_view first) {
        Statement row = db.Prepare("INSERT INTO t(rowid, a, b, c, d, e, f) VALUES(?1, ?2, ?3, "
                                   "?4, ?5, ?6, 'affiliations are tokenized')");
        row.Bind(1, rowid).BindStatic(2, first);
        for (int i = 1; i < kRankedFields; ++i)
            row.BindStatic(2 + i, texts[i]);
        row.Run();
    };
    replay.Arm(texts, terms, tokens);
    insert(written, 1, texts[0]);
    EXPECT_EQ(replay.Replayed(), kRankedFields);
    insert(written, 2, texts[0]);
    EXPECT_EQ(replay.Replayed(), kRankedFields) << "each armed text is answered once";
    replay.Arm(texts, terms, tokens);
    insert(written, 3, "Heart failures in the elderly: a RANDOMISED trial");
    EXPECT_EQ(replay.Replayed(), 2 * kRankedFields - 1) << "a text one byte off is tokenized";
    replay.Disarm();
    for (std::int64_t rowid = 1; rowid <= 2; ++rowid)
        insert(plain, rowid, texts[0]);
    insert(plain, 3, "Heart failures in the elderly: a RANDOMISED trial");
    const std::vector<std::string> expected = Instances(plain, "t");
    EXPECT_GT(expected.size(), 60u);
    EXPECT_EQ(Instances(written, "t"), expected);

    EXPECT_THROW(replay.Arm(texts, terms, tokens.substr(0, tokens.size() - 1)), std::logic_error);
    EXPECT_THROW(replay.Arm(texts, terms.substr(0, terms.size() / 2), tokens), std::logic_error);

    // Through an import: the full-text index holds what FTS5 itself makes of the texts.
    TempDir dir;
    std::ostringstream corpus;
    WriteSampleCorpus(corpus, 150);
    const std::string index = dir.File("sample.sqlite");
    ASSERT_TRUE(test::ImportFiles(index, {dir.Write("s.xml", corpus.str())}).empty());
    Database imported(index, SQLITE_OPEN_READWRITE);
    Statement schema = imported.Prepare("SELECT sql FROM sqlite_schema WHERE name = 'article_fts'");
    ASSERT_TRUE(schema.Step());
    Database again(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    again.Exec(schema.Text(0).c_str());
    IndexReader reader(index);
    Statement records = imported.Prepare("SELECT pmid, id FROM article");
    int count = 0;
    while (records.Step()) {
        const auto article = reader.Find(records.Int(0));
        ASSERT_TRUE(article.has_value());
        const IndexedText t = TextsOf(*article);
        Statement row = again.Prepare("INSERT INTO article_fts(rowid, title, abstract, authors, "
                                      "mesh, keywords, affiliations, tags) "
                                      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
        row.Bind(1, records.Int(1));
        for (int i = 0; i < IndexedText::kColumns; ++i)
            row.BindStatic(2 + i, t.Columns()[i]);
        row.Run();
        ++count;
    }
    EXPECT_EQ(count, 150);
    EXPECT_EQ(Instances(imported, "article_fts"), Instances(again, "article_fts"));
}

// A million records and more go downwards from the first.
TEST(Sample, IdsKeepEightDigits) {
    EXPECT_EQ(SamplePmid(999998), 99999999);
    EXPECT_EQ(SamplePmid(999999), 99000000);
}

TEST(Sample, HasTheVarietyOfRealRecords) {
    std::ostringstream first;
    WriteSampleCorpus(first, 60);
    TempDir dir;
    const std::string index = dir.File("sample.sqlite");
    EXPECT_TRUE(test::ImportFiles(index, {dir.Write("s.xml", first.str())}).empty());
    IndexReader reader(index);
    int withoutAbstract = 0, withoutDoi = 0, markup = 0, nonAscii = 0;
    for (std::int64_t pmid = kFirstSamplePmid; pmid < kFirstSamplePmid + 60; ++pmid) {
        const auto a = reader.Find(pmid);
        ASSERT_TRUE(a.has_value()) << pmid;
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

} // namespace
} // namespace tamix::server
