#include "server/index/index.h"
#include "server/index/query.h"
#include "server/index/words.h"
#include "support/pubmed_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <memory>
#include <random>
#include <set>
#include <sstream>

namespace tamix::server {
namespace {

using test::TempDir;

const std::string kAll = "{title abstract authors mesh keywords} : ";

std::string Match(std::string_view query) {
    return BuildSearch(query).match;
}

// Levels of parentheses in an FTS5 expression, outside quoted strings.
int ParenthesisDepth(const std::string& match) {
    int depth = 0, deepest = 0;
    bool quoted = false;
    for (char c : match) {
        if (c == '"') quoted = !quoted;
        if (quoted) continue;
        if (c == '(') deepest = std::max(deepest, ++depth);
        if (c == ')') --depth;
    }
    return deepest;
}

std::string Repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

// A word searched in every text column.
std::string Word(const std::string& word) {
    return kAll + "\"" + word + "\"";
}

// Words joined by one operator, in parentheses; the plain-words fallback has none.
std::string Joined(const std::string& op, const std::vector<std::string>& words,
                   bool parenthesised = true) {
    std::string out;
    for (const std::string& w : words)
        out += (out.empty() ? "" : " " + op + " ") + Word(w);
    return parenthesised ? "(" + out + ")" : out;
}
std::string PlainWords(const std::vector<std::string>& words) {
    return Joined("AND", words, false);
}

TEST(Query, PubmedSyntaxBecomesQuotedFts) {
    using namespace std::string_literals;
    const std::string heartAndFailure = Joined("AND", {"heart", "failure"});
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"heart", Word("heart")},
        {"heart failure", heartAndFailure},
        {"a OR b NOT c", "(" + Word("a") + " OR " + Joined("NOT", {"b", "c"}) + ")"},
        // Repeated operators are written flat; NOT takes away from its left, so a chain is
        // one flat NOT and a parenthesised right side is not.
        {"a OR b OR (c OR d)", Joined("OR", {"a", "b", "c", "d"})},
        {"a (b AND c) d", Joined("AND", {"a", "b", "c", "d"})},
        {"a NOT b NOT c", Joined("NOT", {"a", "b", "c"})},
        {"a NOT (b NOT c)", "(" + Word("a") + " NOT " + Joined("NOT", {"b", "c"}) + ")"},
        // 32 levels of a(a(...)) used to be 32 levels of parentheses, past FTS5's parser
        // stack; more than ten are plain words now.
        {Repeat("a(", 32) + "a" + Repeat(")", 32), Word("a")},
        {"heart fail*[ti]", "title : \"heart fail\" *"},
        // Truncation needs four characters before the '*'; shorter ones search the word.
        {"can*", Word("can")},
        {"smith j*[au]", "authors : \"smith j\""},
        {"\xC3\xA9t\xC3\xA9*", Word("\xC3\xA9t\xC3\xA9")},
        {"\xC3\xA9t\xC3\xA9s*", Word("\xC3\xA9t\xC3\xA9s") + " *"},
        // Punctuation standing alone holds no term, and would take every record out of an AND.
        {"heart \xE2\x80\x93 failure \xC2\xB7 \xE3\x80\x81", heartAndFailure},
        {"\xE2\x80\x9Cheart failure\xE2\x80\x9D",
         Joined("AND", {"\xE2\x80\x9Cheart", "failure\xE2\x80\x9D"})},
        {"\xE5\xBF\x83", Word("\xE5\xBF\x83")},
        // Field tags.
        {"\"heart failure\"[Title/Abstract]", "{title abstract} : \"heart failure\""},
        {"00012345[pmid]", "tags : \"p12345\""},
        // U+E001 heart U+E000 failure U+E00F is how the index writes a heading; typed into
        // a search it is plain words.
        {"\xEE\x80\x81heart\xEE\x80\x80"
         "failure\xEE\x80\x8F",
         heartAndFailure},
        // Control bytes are spaces: a NUL used to end the expression inside FTS5.
        {"a\0b"s, Joined("AND", {"a", "b"})},
        {"a\001\037\177b", Joined("AND", {"a", "b"})},
        // What does not parse is searched as its plain words.
        {"(heart failure", PlainWords({"heart", "failure"})},
        {"heart[zz]", PlainWords({"heart", "zz"})},
        {"AND heart", PlainWords({"AND", "heart"})},
        {"\"open phrase", PlainWords({"open", "phrase"})},
        {"2020:1990[dp]", PlainWords({"2020", "1990", "dp"})},
        {"0000[dp]", PlainWords({"0000", "dp"})},
        // FTS5's own syntax is only ever text inside quotes.
        {"NEAR(a b)", Joined("AND", {"NEAR", "a", "b"})},
        {"title:x", Word("title:x")},
        {"a\"\"b", Joined("AND", {"a", "b"})},
    };
    for (const auto& [query, match] : cases)
        EXPECT_EQ(Match(query), match) << query;
    for (const std::string& nothing : {""s, "  ---  "s, "*"s, "\xE2\x80\x94 \xE2\x80\xA6"s})
        EXPECT_TRUE(BuildSearch(nothing).MatchesNothing()) << nothing;
}

// Operators that alternate cannot be flattened: a few levels parse, many fall back to the
// plain words.
TEST(Query, NestingIsBounded) {
    const auto alternating = [](int levels) {
        std::string q = "z";
        for (int i = 0; i < levels; ++i)
            q = std::string(1, static_cast<char>('a' + i % 20)) + (i % 2 ? " OR (" : " (") + q +
                ")";
        return q;
    };
    // The bound itself: nine levels are written, ten are not.
    EXPECT_EQ(ParenthesisDepth(Match(alternating(9))), 9) << Match(alternating(9));
    EXPECT_EQ(ParenthesisDepth(Match(alternating(10))), 0) << Match(alternating(10));
    const std::string deep = Match(alternating(30));
    EXPECT_EQ(deep.rfind(PlainWords({"j", "OR", "i"}), 0), 0u) << deep;
}

TEST(Query, DatesAndedAtTheTopAreRowidSpans) {
    struct Row {
        std::string query, match;
        int from, to; // the span of rowids
    };
    const std::vector<Row> rows = {
        // A span alone is searched by its tags, within its rowids.
        {"2003:2005[dp]", "tags : (\"y2003\" OR \"y2004\" OR \"y2005\")", 2003, 2005},
        {"cancer AND 2020/03[dp]", Word("cancer"), 2020, 2020},
        // Several spans meet.
        {"2001:2005[dp] AND (x AND 2004:2010[dp])", Word("x"), 2004, 2005},
        // 1726:2025[dp] written 64 times was 19,200 phrases; it is one span.
        {Repeat("1726:2025[dp] ", 64), Match("1726:2025[dp]"), 1726, 2025},
    };
    for (const Row& row : rows) {
        std::int64_t first = 0, last = 0;
        YearRowids(row.from, row.to, first, last);
        const Search search = BuildSearch(row.query);
        EXPECT_EQ(search.match, row.match) << row.query;
        EXPECT_EQ(search.firstRowid, first) << row.query;
        EXPECT_EQ(search.lastRowid, last) << row.query;
    }
    EXPECT_TRUE(BuildSearch("2001:2002[dp] AND 2005[dp] AND x").MatchesNothing());
}

TEST(Query, YearTagsHoldExactlyTheirYears) {
    std::mt19937 random(7);
    std::vector<std::pair<int, int>> spans = {{1, 9999},    {1000, 1999}, {1999, 2000},
                                              {2020, 2020}, {1001, 9998}, {1781, 2026}};
    for (int i = 0; i < 300; ++i) {
        const int a = 1 + static_cast<int>(random() % 9999),
                  b = 1 + static_cast<int>(random() % 9999);
        spans.push_back({std::min(a, b), std::max(a, b)});
    }
    std::size_t most = 0;
    for (const auto& [from, to] : spans) {
        const std::vector<std::string> tags = YearTags(from, to);
        most = std::max(most, tags.size());
        const std::set<std::string> wanted(tags.begin(), tags.end());
        for (int year : {from - 1, from, from + 1, (from + to) / 2, to - 1, to, to + 1}) {
            if (year < 1 || year > 9999) continue;
            Article a;
            a.year = year;
            // TagsOf writes "y.. d.. c.. m.. p1": the record matches when any tag is wanted.
            std::istringstream written(TagsOf(a));
            std::size_t hits = 0;
            for (std::string tag; written >> tag;)
                hits += wanted.count(tag);
            EXPECT_EQ(hits, from <= year && year <= to ? 1u : 0u)
                << from << ":" << to << " year " << year;
        }
    }
    EXPECT_LE(most, 63u);
}

// Long and deep inputs are in the fuzzing corpus, which fuzz_query runs against an index.
TEST(Query, WorkIsBounded) {
    // A prefix counts as sixteen terms: four of them fit, five do not.
    const auto prefixes = [](int n) {
        std::string q;
        for (int i = 0; i < n; ++i)
            q += (i ? " OR " : "") + std::string("word") + static_cast<char>('a' + i) + "*";
        return q;
    };
    EXPECT_EQ(BuildSearch(prefixes(4)).phrases.size(), 4u);
    EXPECT_EQ(Match(prefixes(5)).find(" OR "), std::string::npos) << Match(prefixes(5));

    // Past the bound, a query is the plain words it holds, each once.
    EXPECT_EQ(Match(Repeat("1726:2025[dp] OR ", 64) + "x"),
              PlainWords({"1726", "2025", "dp", "OR", "x"}));
}

// Blocks of the size a large index's search takes come from the heap and, freed, stay in it
// for the next search, not given back to the kernel to be faulted in again.
TEST(Query, MemoryASearchFreesStaysForTheNext) {
    KeepSearchMemory();
    constexpr std::size_t kBlock = 4 << 20; // the headers of a common word's list
    const std::size_t mapped = mallinfo2().hblkhd;
    {
        std::vector<std::unique_ptr<char[]>> blocks;
        for (int i = 0; i < 4; ++i)
            blocks.push_back(std::make_unique<char[]>(kBlock));
        EXPECT_EQ(mallinfo2().hblkhd, mapped);
    }
    EXPECT_GE(mallinfo2().fordblks, 4 * kBlock);
}

// The searches run against a real index: spans of rowids and tags (under OR and NOT) find
// the same records.
TEST(Query, SearchesRunAgainstAnIndex) {
    TempDir dir;
    std::vector<test::Record> records;
    const int years[] = {0, 1899, 1900, 1989, 1990, 1999, 2000, 2001, 2005, 2009, 2010, 2020, 2024};
    for (int year : years)
        for (int month : {1, 12})
            records.push_back({static_cast<std::int64_t>(records.size() + 1),
                               "Study of year " + std::to_string(year), "", year, month, 28});
    const std::string index = dir.File("index.sqlite");
    ASSERT_TRUE(test::ImportFiles(index, {dir.Write("r.xml", test::ArticleSet(records))}).empty());
    IndexReader reader(index);

    const auto pmids = [&](const std::string& q) {
        std::set<std::int64_t> found;
        for (const ArticleSummary& s : reader.Page(BuildSearch(q), 0, 100))
            found.insert(s.pmid);
        return found;
    };
    const auto inYears = [&](int from, int to) {
        std::set<std::int64_t> found;
        for (const test::Record& r : records)
            if (r.year >= from && r.year <= to) found.insert(r.pmid);
        return found;
    };
    for (const auto& [from, to] : std::vector<std::pair<int, int>>{
             {1990, 2009}, {1900, 1999}, {2000, 2000}, {1, 9999}, {1899, 2020}, {2021, 2023}}) {
        char span[24];
        std::snprintf(span, sizeof span, "%04d:%04d[dp]", from, to);
        EXPECT_EQ(pmids(span), inYears(from, to)) << span;
        EXPECT_EQ(pmids(span + std::string(" AND study")), inYears(from, to)) << span;
        EXPECT_EQ(pmids("(" + std::string(span) + " OR zzzz) AND study"), inYears(from, to))
            << span;
    }
    EXPECT_EQ(pmids("study NOT 1990:2009[dp] NOT 2020[dp]").size(), records.size() - 14);
    const auto page = reader.Page(BuildSearch("1990:2009[dp]"), 2, 3);
    ASSERT_EQ(page.size(), 3u);
    EXPECT_GT(page[0].pmid, page[2].pmid) << "newest first within a span too";
    EXPECT_EQ(reader.Count(BuildSearch("2001:2002[dp] AND 2005[dp]")), 0);
}

// A search of a word held by the cap's number of records or more, alone or ORed, counts to
// the cap without FTS5; what the ranking counts of a word must follow deletions, and a
// search that may match fewer is still counted by FTS5.
TEST(Query, CountsOfCommonWordsReachTheCap) {
    TempDir dir;
    const std::string index = dir.File("index.sqlite");
    const int records = kMaxCountedMatches + 20, half = records / 2;
    IndexWriter writer(index);
    for (int pmid = 1; pmid <= records; ++pmid) {
        Article a;
        a.pmid = pmid;
        a.title = pmid % 2 ? "Common ground" : "Sense";
        if (pmid % 2 == 0) a.abstract = "Common sense";
        a.year = pmid <= 100 ? 1990 : 2000;
        a.month = 1;
        writer.Put(a);
    }
    writer.Commit();
    const auto count = [&](const std::string& query) {
        return IndexReader(index).Count(BuildSearch(query));
    };
    for (const std::string query : {"common", "nowhere OR common", "comm*"})
        EXPECT_EQ(count(query), kMaxCountedMatches) << query;
    for (const std::string query :
         {"common[ti]", "sense", "common AND ground", "\"common ground\"", "common NOT sense"})
        EXPECT_EQ(count(query), half) << query;
    EXPECT_EQ(count("common AND 1990[dp]"), 100);
    for (int pmid = 1; pmid <= 40; ++pmid)
        writer.Delete(pmid);
    writer.Commit();
    for (const std::string query : {"common", "common OR nowhere"})
        EXPECT_EQ(count(query), records - 40) << query;
}

// A record's length for Best Match is its count of words: runs of ASCII letters and
// digits, and of other characters but punctuation, spaces and the index's markers; a
// stray byte at a text's end counts as a letter.
TEST(Query, WordsAreRunsOfLettersAndDigits) {
    const std::string text = "Na\xC3\xAFve\xE2\x80\x94tests, 3000\xE3\x80\x80\xEE\x80\x81MeSH "
                             "(\xE6\x97\xA5\xE6\x9C\xAC) x\xC3";
    EXPECT_EQ(Words(text), (std::vector<std::string_view>{"Na\xC3\xAFve", "tests", "3000", "MeSH",
                                                          "\xE6\x97\xA5\xE6\x9C\xAC", "x\xC3"}));
    EXPECT_EQ(WordCount(text), 6u);
    EXPECT_EQ(WordCount(" -- "), 0u);
}

// Best Match weighs each phrase of the expression by its place: the list of phrases must
// line up with them, ranked ones (words of text, headings, keywords) as expressions that
// find them alone.
TEST(Query, PhrasesLineUpWithTheExpression) {
    const auto phrases = [](const std::string& q) { return BuildSearch(q).phrases; };
    using List = std::vector<std::string>;
    EXPECT_EQ(phrases("heart NOT failure"), (List{kAll + "\"heart\"", ""}))
        << "what NOT takes away is never in a match";
    EXPECT_EQ(phrases("canc* OR x[ti] OR 2019:2020[dp]"),
              (List{kAll + "\"canc\" *", "title : \"x\"", "", ""}));
    EXPECT_EQ(phrases("heart failure[mh] AND smith j[1au] AND y[kw] AND z[ad] AND w[au]"),
              (List{"", "", "", "keywords : \"y\"", "", ""}));
}

} // namespace
} // namespace tamix::server
