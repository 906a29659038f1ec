#include "server/index/query.h"
#include "support/pubmed_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>

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

// Quoted strings in an FTS5 expression (a doubled quote inside one counts twice, which
// only makes the figure higher).
int Phrases(const std::string& match) {
    return static_cast<int>(std::count(match.begin(), match.end(), '"')) / 2;
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

TEST(Query, PubmedSyntaxBecomesQuotedFts) {
    const std::string heartAndFailure = "(" + Word("heart") + " AND " + Word("failure") + ")";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"heart", Word("heart")},
        {"heart failure", heartAndFailure},
        {"\"heart failure\"", Word("heart failure")},
        {"a OR b NOT c", "(" + Word("a") + " OR (" + Word("b") + " NOT " + Word("c") + "))"},
        {"(a OR b) AND c", "((" + Word("a") + " OR " + Word("b") + ") AND " + Word("c") + ")"},
        {"canc*", Word("canc") + " *"},
        {"heart fail*[ti]", "title : \"heart fail\" *"},
        // Truncation needs four characters before the '*'; shorter ones search the word.
        {"can*", Word("can")},
        {"smith j*[au]", "authors : \"smith j\""},
        {"\xC3\xA9t\xC3\xA9*", Word("\xC3\xA9t\xC3\xA9")},
        {"\xC3\xA9t\xC3\xA9s*", Word("\xC3\xA9t\xC3\xA9s") + " *"},
        {"IL-6", Word("IL-6")},
        {"M\xC3\xBCller", Word("M\xC3\xBCller")},
        // Punctuation standing alone holds no term, and would take every record out of an AND.
        {"heart \xE2\x80\x93 failure \xC2\xB7 \xE3\x80\x81", heartAndFailure},
        {"\xE2\x80\x9Cheart failure\xE2\x80\x9D",
         "(" + Word("\xE2\x80\x9Cheart") + " AND " + Word("failure\xE2\x80\x9D") + ")"},
        {"\xE5\xBF\x83", Word("\xE5\xBF\x83")},
        {"\xCE\xB2-blocker", Word("\xCE\xB2-blocker")},
        // Field tags.
        {"heart failure[ti]", "title : \"heart failure\""},
        {"\"heart failure\"[Title/Abstract]", "{title abstract} : \"heart failure\""},
        {"smith j[au]", "authors : \"smith j\""},
        {"12345[pmid]", "tags : \"p12345\""},
        {"00012345[pmid]", "tags : \"p12345\""},
        // U+E001 heart U+E000 failure U+E00F is how the index writes a heading; typed into
        // a search it is plain words.
        {"\xEE\x80\x81heart\xEE\x80\x80"
         "failure\xEE\x80\x8F",
         heartAndFailure},
        {"\xEE\x80\x81heart\xEE\x80\x80"
         "failure\xEE\x80\x8F[ti]",
         "title : \"heart failure\""},
        // What does not parse is searched as its plain words.
        {"(heart failure", Word("heart") + " AND " + Word("failure")},
        {"heart[zz]", Word("heart") + " AND " + Word("zz")},
        {"AND heart", Word("AND") + " AND " + Word("heart")},
        {"\"open phrase", Word("open") + " AND " + Word("phrase")},
        {"2020:1990[dp]", Word("2020") + " AND " + Word("1990") + " AND " + Word("dp")},
        {"0000[dp]", Word("0000") + " AND " + Word("dp")},
        // FTS5's own syntax is only ever text inside quotes.
        {"NEAR(a b)", "(" + Word("NEAR") + " AND " + Word("a") + " AND " + Word("b") + ")"},
        {"title:x", Word("title:x")},
        {"a\"\"b", "(" + Word("a") + " AND " + Word("b") + ")"},
    };
    for (const auto& [query, match] : cases)
        EXPECT_EQ(Match(query), match) << query;
    for (const char* nothing : {"", "  ---  ", "*", "\xE2\x80\x94 \xE2\x80\xA6"})
        EXPECT_TRUE(BuildSearch(nothing).MatchesNothing()) << nothing;
    EXPECT_FALSE(BuildSearch("heart").Spanned());
}

TEST(Query, RepeatedOperatorsAreWrittenFlat) {
    EXPECT_EQ(Match("a OR b OR (c OR d)"),
              "(" + kAll + "\"a\" OR " + kAll + "\"b\" OR " + kAll + "\"c\" OR " + kAll + "\"d\")");
    EXPECT_EQ(Match("a (b AND c) d"), "(" + kAll + "\"a\" AND " + kAll + "\"b\" AND " + kAll +
                                          "\"c\" AND " + kAll + "\"d\")");
    // NOT takes away from its left: a chain is one flat NOT, a parenthesised right side is not.
    EXPECT_EQ(Match("a NOT b NOT c"),
              "(" + kAll + "\"a\" NOT " + kAll + "\"b\" NOT " + kAll + "\"c\")");
    EXPECT_EQ(Match("a NOT (b NOT c)"),
              "(" + kAll + "\"a\" NOT (" + kAll + "\"b\" NOT " + kAll + "\"c\"))");

    // 32 levels of a(a(...)) used to be 32 levels of parentheses, past FTS5's parser
    // stack; a few levels are one flat AND now, and more than ten are plain words.
    EXPECT_EQ(Match(Repeat("a(", 3) + "b" + Repeat(")", 3)), "(" + kAll + "\"a\" AND " + kAll +
                                                                 "\"a\" AND " + kAll +
                                                                 "\"a\" AND " + kAll + "\"b\")");
    const std::string nested = Repeat("a(", 32) + "a" + Repeat(")", 32);
    ASSERT_EQ(nested.size(), 97u);
    EXPECT_EQ(Match(nested), kAll + "\"a\"");

    // Operators that alternate cannot be flattened: a few levels parse, many fall back to
    // the plain words.
    const auto alternating = [](int levels) {
        std::string q = "z";
        for (int i = 0; i < levels; ++i)
            q = std::string(1, static_cast<char>('a' + i % 20)) + (i % 2 ? " OR (" : " (") + q +
                ")";
        return q;
    };
    EXPECT_EQ(ParenthesisDepth(Match(alternating(5))), 5) << Match(alternating(5));
    // The bound itself: nine levels are written, ten are not.
    EXPECT_EQ(ParenthesisDepth(Match(alternating(9))), 9) << Match(alternating(9));
    EXPECT_EQ(ParenthesisDepth(Match(alternating(10))), 0) << Match(alternating(10));
    const std::string deep = Match(alternating(30));
    EXPECT_EQ(ParenthesisDepth(deep), 0) << deep;
    EXPECT_EQ(deep.rfind(kAll + "\"j\" AND " + kAll + "\"OR\" AND " + kAll + "\"i\"", 0), 0u)
        << deep;
    EXPECT_EQ(ParenthesisDepth(Match(Repeat("(", 11) + "a" + Repeat(")", 11))), 0);
}

TEST(Query, ControlBytesAreSpaces) {
    const std::string nul("a\0b", 3);
    EXPECT_EQ(Match(nul), Match("a b"));
    EXPECT_EQ(Match(std::string("\"x\0y\"[ti]", 9)), "title : \"x y\"");
    EXPECT_EQ(Match(std::string("\0", 1)), "");
    EXPECT_EQ(Match("a\x01\x1f\x7f"
                    "b"),
              Match("a b"));
    for (const std::string& q :
         {std::string("a\0", 2), std::string("(\0)", 3), std::string("\"\0", 2)})
        EXPECT_EQ(Match(q).find('\0'), std::string::npos);
}

TEST(Query, DatesAndedAtTheTopAreRowidSpans) {
    std::int64_t first = 0, last = 0;
    YearRowids(2019, 2021, first, last);
    // A span alone is searched by its tags, within its rowids.
    const Search range = BuildSearch("2019:2021[dp]");
    EXPECT_EQ(range.match, "tags : (\"y2019\" OR \"y2020\" OR \"y2021\")");
    EXPECT_EQ(range.firstRowid, first);
    EXPECT_EQ(range.lastRowid, last);
    EXPECT_FALSE(range.MatchesNothing());

    const Search anded = BuildSearch("cancer AND 2020/03[dp]");
    EXPECT_EQ(anded.match, kAll + "\"cancer\"");
    YearRowids(2020, 2020, first, last);
    EXPECT_EQ(anded.firstRowid, first);
    EXPECT_EQ(anded.lastRowid, last);

    // Several spans meet; spans that do not meet match nothing.
    const Search both = BuildSearch("2001:2005[dp] AND (x AND 2004:2010[dp])");
    YearRowids(2004, 2005, first, last);
    EXPECT_EQ(both.match, kAll + "\"x\"");
    EXPECT_EQ(both.firstRowid, first);
    EXPECT_EQ(both.lastRowid, last);
    EXPECT_TRUE(BuildSearch("2001:2002[dp] AND 2005[dp] AND x").MatchesNothing());
    EXPECT_TRUE(BuildSearch("2001:2002[dp] AND 2005[dp]").MatchesNothing());
    EXPECT_EQ(Match("1990:2005[dp] 2003:2011[dp]"), "tags : (\"y2003\" OR \"y2004\" OR \"y2005\")");

    // 1726:2025[dp] written 64 times was 19,200 phrases; it is one span.
    const Search repeated = BuildSearch(Repeat("1726:2025[dp] ", 64));
    YearRowids(1726, 2025, first, last);
    EXPECT_EQ(repeated.match, Match("1726:2025[dp]"));
    EXPECT_EQ(Phrases(repeated.match), 21);
    EXPECT_EQ(repeated.firstRowid, first);
    EXPECT_EQ(repeated.lastRowid, last);

    // Under OR and NOT a span is a few tags of years, decades, centuries and millennia.
    EXPECT_EQ(Match("1990:2020[dp] OR x"),
              "(tags : (\"d199\" OR \"d200\" OR \"d201\" OR \"y2020\") OR " + kAll + "\"x\")");
    EXPECT_EQ(Match("x NOT 2020[dp]"), "(" + kAll + "\"x\" NOT tags : \"y2020\")");
    EXPECT_FALSE(BuildSearch("x NOT 2020[dp]").Spanned());
    EXPECT_EQ(Phrases(Match("1726:2025[dp] OR x")), 22);
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
            a.pmid = 1;
            a.year = year;
            // TagsOf writes "y.. d.. c.. m.. p1": the record matches when any tag is wanted.
            const std::string written = TagsOf(a);
            int hits = 0;
            for (std::size_t at = 0; at < written.size();) {
                const std::size_t end = std::min(written.find(' ', at), written.size());
                hits += static_cast<int>(wanted.count(written.substr(at, end - at)));
                at = end + 1;
            }
            EXPECT_EQ(hits, from <= year && year <= to ? 1 : 0)
                << from << ":" << to << " year " << year;
        }
    }
    EXPECT_LE(most, 63u);
}

// Long and deep inputs are in the fuzzing corpus; SearchesRunAgainstAnIndex bounds them.
TEST(Query, WorkIsBounded) {
    // A prefix counts as sixteen terms: four of them fit, five do not.
    const auto prefixes = [](int n) {
        std::string q;
        for (int i = 0; i < n; ++i)
            q += (i ? " OR " : "") + std::string("word") + static_cast<char>('a' + i) + "*";
        return q;
    };
    EXPECT_EQ(Phrases(Match(prefixes(4))), 4);
    EXPECT_EQ(Match(prefixes(5)).find(" OR "), std::string::npos) << Match(prefixes(5));

    // Past the bound, a query is the plain words it holds, each once.
    EXPECT_EQ(Match(Repeat("1726:2025[dp] OR ", 64) + "x"), Word("1726") + " AND " + Word("2025") +
                                                                " AND " + Word("dp") + " AND " +
                                                                Word("OR") + " AND " + Word("x"));
}

// The searches run against a real index: spans of rowids and tags find the same records,
// and no input makes FTS5 fail.
TEST(Query, SearchesRunAgainstAnIndex) {
    TempDir dir;
    std::vector<test::Record> records;
    const int years[] = {0, 1899, 1900, 1989, 1990, 1999, 2000, 2001, 2005, 2009, 2010, 2020, 2024};
    std::int64_t pmid = 1;
    for (int year : years)
        for (int month : {1, 12})
            records.push_back(
                {pmid++, "Study of year " + std::to_string(year), "", year, month, 28});
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
        for (std::size_t i = 0; i < records.size(); ++i)
            if (records[i].year >= from && records[i].year <= to) found.insert(records[i].pmid);
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
        EXPECT_EQ(reader.Count(BuildSearch(span)), static_cast<int>(inYears(from, to).size()));
    }
    EXPECT_EQ(pmids("study NOT 1990:2009[dp] NOT 2020[dp]").size(), records.size() - 14);
    const auto page = reader.Page(BuildSearch("1990:2009[dp]"), 2, 3);
    ASSERT_EQ(page.size(), 3u);
    EXPECT_GT(page[0].pmid, page[2].pmid) << "newest first within a span too";
    EXPECT_EQ(reader.Count(BuildSearch("2001:2002[dp] AND 2005[dp]")), 0);
    EXPECT_EQ(pmids("study \xE2\x80\x93 year"), pmids("study year"));
    EXPECT_EQ(pmids("study year").size(), records.size());

    // The fuzzing corpus holds every input that once failed or cost too much.
    std::vector<std::string> nasty;
    for (const auto& entry : std::filesystem::directory_iterator(TAMIX_QUERY_CORPUS)) {
        std::ifstream in(entry.path(), std::ios::binary);
        nasty.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    EXPECT_GE(nasty.size(), 20u);
    for (const std::string& q : nasty) {
        const Search search = BuildSearch(q);
        EXPECT_LE(Phrases(search.match), 64) << q;
        EXPECT_LE(ParenthesisDepth(search.match), 11) << q;
        EXPECT_NO_THROW(reader.Count(search)) << q;
        EXPECT_NO_THROW(reader.Page(search, 0, 10)) << q;
    }
}

} // namespace
} // namespace tamix::server

namespace tamix::server {
namespace {

// Best Match weighs each phrase of the expression by its place: the list of phrases must
// line up with them, ranked ones (words of text, headings, keywords) as expressions that
// find them alone.
TEST(Query, PhrasesLineUpWithTheExpression) {
    const std::string all = "{title abstract authors mesh keywords} : ";
    const auto phrases = [](const std::string& q) { return BuildSearch(q).phrases; };
    using List = std::vector<std::string>;
    EXPECT_EQ(phrases("heart failure"), (List{all + "\"heart\"", all + "\"failure\""}));
    EXPECT_EQ(phrases("heart NOT failure"), (List{all + "\"heart\"", ""}))
        << "what NOT takes away is never in a match";
    EXPECT_EQ(phrases("canc* OR x[ti] OR 2019:2020[dp]"),
              (List{all + "\"canc\" *", "title : \"x\"", "", ""}));
    EXPECT_EQ(phrases("heart failure[mh] AND smith j[1au] AND y[kw] AND z[ad] AND w[au]"),
              (List{"", "", "", "keywords : \"y\"", "", ""}));
    for (const std::string q :
         {"a b c", "(a OR b) NOT (c OR d[ti])", "a[la] OR b[pt] OR hasabstract",
          "\"x y\"[tiab] free full text[sb]", "(((a", "smith[lastau] OR 1990:2020[dp] x"}) {
        const Search search = BuildSearch(q);
        EXPECT_EQ(static_cast<int>(search.phrases.size()), Phrases(search.match)) << q;
    }
}

} // namespace
} // namespace tamix::server
