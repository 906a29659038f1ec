// The orders of result pages against an oracle: every match of a small index taken, and
// scored or sorted plainly, over random searches of words, phrases, prefixes, fields and
// tags joined by AND, OR and NOT; with records replaced and deleted, in several segments
// and after they are merged. The fast paths must equal it exactly, ties included.
#include "server/index/index.h"
#include "server/index/query.h"
#include "server/index/results.h"
#include "server/index/sqlite.h"
#include "server/rank/tokenizer.h"
#include "support/plain_search.h"
#include "support/pubmed_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <tuple>

namespace tamix::server {
namespace {

using test::TempDir;

const std::vector<std::string> kWords = {
    "heart",  "failure", "patients", "kidney",  "metformin", "trial",   "mortality", "child",
    "stroke", "sepsis",  "cohort",   "therapy", "outcomes",  "insulin", "cardiac",   "cardiology",
    "renal",  "risk",    "asthma",   "aspirin", "women",     "study",   "acute",     "chronic"};
const std::vector<std::string> kHeadings = {"Heart Failure", "Kidney Diseases", "Stroke",
                                            "Metformin",     "Asthma",          "Sepsis"};
const std::vector<std::string> kSurnames = {"Smith",  "Zhang", "Garc\u00EDa",
                                            "Okafor", "Lee",   "Smithson"};

// A skewed choice of words, so that many records tie.
const std::string& Skewed(std::mt19937& random) {
    return kWords[std::min(random() % kWords.size(), random() % kWords.size())];
}

// Few words to a record.
std::string Words(std::mt19937& random, int count) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += (i ? " " : "") + Skewed(random);
    return text;
}

Article RandomRecord(std::mt19937& random, std::int64_t pmid) {
    Article a;
    a.pmid = pmid;
    a.title = Words(random, 2 + random() % 4);
    if (random() % 4) a.abstract = Words(random, random() % 30);
    a.year = 1995 + random() % 12;
    a.month = 1 + random() % 12;
    a.pubdate = std::to_string(a.year);
    const int authors = random() % 3;
    for (int i = 0; i < authors; ++i) {
        Author author;
        author.lastName = kSurnames[random() % kSurnames.size()];
        author.initials = std::string(1, static_cast<char>('A' + random() % 3));
        a.authorList.push_back(author);
    }
    a.authors = AuthorsDisplay(a.authorList);
    if (random() % 2)
        a.mesh.push_back({kHeadings[random() % kHeadings.size()], random() % 2 == 0, {}});
    if (random() % 3 == 0) a.keywords.push_back(Words(random, 2));
    if (random() % 5 == 0) a.publicationTypes.push_back("Review");
    // Names that share prefixes, differ in case and diacritics only, end where others go
    // on, run past a level of the walk, or are missing.
    static const std::string kLong =
        "Journal of Tests and Measurements in Medicine, Surgery and the Allied Sciences (Basel)";
    static const std::vector<std::string> kJournals = {
        "Journal of Tests",  "Acta Testica", "Acta Testica Scandinavica", "", "J", "ACTA TESTICA",
        "Acta Test\u00EDca", kLong};
    a.journal = kJournals[random() % kJournals.size()];
    return a;
}

std::string RandomLeaf(std::mt19937& random) {
    const std::string& word = Skewed(random);
    switch (random() % 10) {
    case 0:
        return word + "[ti]";
    case 1:
        return word + "[tiab]";
    case 2:
        return "\"" + word + " " + kWords[random() % kWords.size()] + "\"";
    case 3:
        return word.substr(0, 4) + "*";
    case 4:
        return "\"" + kHeadings[random() % kHeadings.size()] + "\"[mh]";
    case 5:
        return std::to_string(1995 + random() % 12) + "[dp]";
    case 6:
        return "review[pt]";
    case 7:
        return kSurnames[random() % kSurnames.size()] + "[au]";
    default:
        return word;
    }
}

// Mostly plain words, sometimes with the other kinds of part.
std::string RandomQuery(std::mt19937& random, int depth, bool wordsOnly) {
    if (depth == 0 || random() % 3 == 0) {
        return wordsOnly ? Skewed(random) : RandomLeaf(random);
    }
    static const char* const kOps[] = {" AND ", " OR ", " NOT "};
    const char* op = kOps[random() % 3];
    std::string q = "(" + RandomQuery(random, depth - 1, wordsOnly);
    const int more = 1 + random() % 2;
    for (int i = 0; i < more; ++i)
        q += op + RandomQuery(random, depth - 1, wordsOnly);
    return q + ")";
}

// The ranked columns, and what an occurrence in each weighs.
const std::pair<const char*, double> kRanked[] = {
    {"title", 3}, {"abstract", 1}, {"mesh", 1.5}, {"keywords", 1.5}};
using Columns = std::array<std::vector<std::string>, 4>; // terms, as kRanked

class Oracle {
public:
    Oracle(IndexReader& reader, const std::map<std::int64_t, Article>& records)
        : reader_(reader), records_(records) {
        for (const auto& [pmid, a] : records_) {
            const IndexedText t = TextsOf(a);
            Columns& c = columns_[pmid];
            c = {tokenizer_.Terms(t.title), tokenizer_.Terms(t.abstract), tokenizer_.Terms(t.mesh),
                 tokenizer_.Terms(t.keywords)};
            std::set<std::string> ranked;
            for (const std::vector<std::string>& column : c)
                ranked.insert(column.begin(), column.end());
            for (const std::string& term : ranked)
                ++records_of_[term];
            length_[pmid] = t.rankedWords;
            key_[pmid] = SortKey(a, LengthClass(t.rankedWords));
            ranked_ += t.rankedWords;
        }
    }

    // The limit best matches' PMIDs, every match scored plainly.
    std::vector<std::int64_t> Best(const Search& search, int limit) {
        const std::vector<std::int64_t> matches = Matching(search.match, search);
        std::vector<double> weights = Weights(search);
        std::vector<std::pair<std::pair<double, std::int64_t>, std::int64_t>> scored;
        for (const std::int64_t pmid : matches) {
            const auto leaf = [&](const SearchNode& node) { return LeafMatches(node, pmid); };
            std::map<int, bool> counts; // by phrase
            test::PlainlyCounted(search.tree[0], leaf, [&](const SearchNode& node, bool counted) {
                if (node.kind == SearchNode::Phrase) counts[node.phrase] = counted;
            });
            double score = 0;
            const double average = static_cast<double>(ranked_) / records_.size();
            const int lengthClass = LengthClass(length_[pmid]);
            const double norm = 1.2 * (1 - 0.75 + 0.75 * ClassLength(lengthClass) / average);
            for (const auto& [phrase, counted] : counts) {
                if (!counted || weights[phrase] <= 0) continue;
                const double f = Frequency(*phraseNodes_[phrase], pmid);
                if (f > 0) score += weights[phrase] * (f * (1.2 + 1) / (f + norm));
            }
            scored.push_back({{-score, key_[pmid]}, pmid});
        }
        std::sort(scored.begin(), scored.end());
        std::vector<std::int64_t> best;
        for (std::size_t i = 0; i < scored.size() && static_cast<int>(i) < limit; ++i)
            best.push_back(scored[i].second);
        return best;
    }

private:
    std::vector<std::int64_t> Matching(const std::string& expression, const Search& within) {
        Search s;
        s.match = expression;
        s.firstRowid = within.firstRowid;
        s.lastRowid = within.lastRowid;
        std::vector<std::int64_t> pmids;
        for (const ArticleSummary& item : reader_.Page(s, 0, 1 << 20))
            pmids.push_back(item.pmid);
        return pmids;
    }

    // Whether the record matches a leaf, as the leaf's own expression finds it alone.
    bool LeafMatches(const SearchNode& leaf, std::int64_t pmid) {
        auto found = leafSets_.find(leaf.expression);
        if (found == leafSets_.end()) {
            const std::vector<std::int64_t> pmids = Matching(leaf.expression, Search());
            found = leafSets_.emplace(leaf.expression, std::set(pmids.begin(), pmids.end())).first;
        }
        return found->second.count(pmid) > 0;
    }

    // Occurrences of the phrase in its ranked columns, weighted.
    double Frequency(const SearchNode& node, std::int64_t pmid) {
        const std::vector<std::string> words = tokenizer_.Terms(node.text);
        double f = 0;
        for (std::size_t column = 0; column < std::size(kRanked); ++column) {
            if (node.columns.find(kRanked[column].first) == std::string::npos) continue;
            const std::vector<std::string>& tokens = columns_[pmid][column];
            for (std::size_t at = 0; at + words.size() <= tokens.size(); ++at) {
                bool same = !words.empty();
                for (std::size_t w = 0; w < words.size() && same; ++w) {
                    const bool last = w + 1 == words.size();
                    same = node.prefix && last ? tokens[at + w].rfind(words[w], 0) == 0
                                               : tokens[at + w] == words[w];
                }
                if (same) f += kRanked[column].second;
            }
        }
        return f;
    }

    void CollectPhrases(const SearchNode& node) {
        if (node.kind == SearchNode::Phrase) phraseNodes_[node.phrase] = &node;
        for (const SearchNode& operand : node.operands)
            CollectPhrases(operand);
    }

    std::vector<double> Weights(const Search& search) {
        std::vector<double> weights(search.phrases.size(), 0.0);
        phraseNodes_.clear();
        CollectPhrases(search.tree[0]);
        int ranked = 0;
        for (const std::string& p : search.phrases)
            ranked += !p.empty();
        for (std::size_t i = 0; i < search.phrases.size(); ++i) {
            if (search.phrases[i].empty()) continue;
            if (ranked == 1) {
                weights[i] = 1;
                continue;
            }
            const SearchNode& node = *phraseNodes_[static_cast<int>(i)];
            const std::vector<std::string> words = tokenizer_.Terms(node.text);
            std::int64_t df = std::numeric_limits<std::int64_t>::max();
            for (std::size_t w = 0; w < words.size(); ++w) {
                std::int64_t found = 0;
                for (const auto& [term, count] : records_of_)
                    if (node.prefix && w + 1 == words.size() ? term.rfind(words[w], 0) == 0
                                                             : term == words[w])
                        found = std::max(found, count);
                df = std::min(df, found);
            }
            const double n = static_cast<double>(records_.size());
            weights[i] = std::log(1.0 + (n - df + 0.5) / (df + 0.5));
        }
        return weights;
    }

    IndexReader& reader_;
    const std::map<std::int64_t, Article>& records_;
    Tokenizer tokenizer_;
    std::map<std::int64_t, Columns> columns_;
    std::map<std::string, std::int64_t> records_of_;
    std::map<std::int64_t, std::int64_t> length_, key_;
    std::int64_t ranked_ = 0;
    std::map<std::string, std::set<std::int64_t>> leafSets_;
    std::map<int, const SearchNode*> phraseNodes_;
};

// Every match, sorted plainly by the column's name, records without one last, then newest
// first.
std::vector<std::int64_t> ByName(IndexReader& reader,
                                 const std::map<std::int64_t, Article>& records,
                                 const Search& search, SortColumn column, int limit) {
    std::vector<std::tuple<bool, std::string, std::int64_t, std::int64_t>> rows;
    for (const ArticleSummary& item : reader.Page(search, 0, 1 << 20)) {
        const Article& a = records.at(item.pmid);
        const std::string name =
            column == SortColumn::FirstAuthor ? FirstAuthorName(a) : SortName(a.journal);
        rows.emplace_back(name.empty(), name, SortKey(a, LengthClass(TextsOf(a).rankedWords)),
                          item.pmid);
    }
    std::sort(rows.begin(), rows.end());
    std::vector<std::int64_t> pmids;
    for (std::size_t i = 0; i < rows.size() && static_cast<int>(i) < limit; ++i)
        pmids.push_back(std::get<3>(rows[i]));
    return pmids;
}

std::vector<std::int64_t> Pmids(IndexReader& reader, const std::vector<std::int64_t>& keys) {
    std::vector<std::int64_t> pmids;
    for (const ArticleSummary& s : reader.Summaries(keys))
        pmids.push_back(s.pmid);
    return pmids;
}

TEST(OrderOracle, EveryOrderEqualsEveryMatchSortedPlainly) {
    TempDir dir;
    const std::string index = dir.File("oracle.sqlite");
    std::mt19937 random(19);
    std::map<std::int64_t, Article> records;
    {
        // A run of 600 records, then thirteen of 45, make fourteen segments. Past twelve
        // the eight smallest are merged, with the next four as they are no larger than
        // those together, but not the 600; then replacements and deletions, more than a
        // tenth, make a fourth segment. Lists of common words are split by impact, as long
        // ones are.
        IndexWriter writer(index);
        writer.SplitListsFrom(40);
        std::int64_t next = 1000;
        for (int run = 0; run < 14; ++run) {
            for (int i = 0; i < (run == 0 ? 600 : 45); ++i) {
                const Article a = RandomRecord(random, next++);
                records[a.pmid] = a;
                writer.Put(a);
            }
            writer.Commit();
        }
        for (int i = 0; i < 180; ++i) {
            const std::int64_t pmid = 1000 + random() % 1185;
            if (i % 3 == 0) {
                writer.Delete(pmid);
                records.erase(pmid);
            } else {
                const Article a = RandomRecord(random, pmid);
                records[pmid] = a;
                writer.Put(a);
            }
        }
        writer.Commit();
    }
    for (const bool merged : {false, true}) {
        if (merged) {
            // The merge, read on a thread of its own, hands its rows over a few at a time.
            IndexWriter writer(index);
            writer.HoldMergedRows(2048);
            writer.MergeIfDue();
        }
        IndexReader reader(index);
        // Merged, the one segment is swept in halves on two threads, as a large one is.
        if (merged) reader.Ranking().SplitEverySearch();
        EXPECT_EQ(reader.Ranking().Segments(), merged ? 1u : 4u);
        {
            // Segments merged away leave no keys behind, which a later segment's would meet.
            Database db(index, SQLITE_OPEN_READONLY);
            Statement orphans = db.Prepare("SELECT count(*) FROM rank_keys WHERE id >> 32 NOT IN "
                                           "(SELECT id FROM rank_segment)");
            ASSERT_TRUE(orphans.Step());
            EXPECT_EQ(orphans.Int(0), 0);
        }
        Oracle oracle(reader, records);
        int compared = 0;
        for (int round = 0; round < 250; ++round) {
            const bool wordsOnly = round % 2 == 0;
            std::string query = RandomQuery(random, 3, wordsOnly);
            if (round % 7 == 0) query = "1998:2003[dp] AND " + query;
            const Search search = BuildSearch(query);
            if (search.MatchesNothing()) continue;
            const int limit = 1 + random() % 400;
            for (const SortColumn column : {SortColumn::FirstAuthor, SortColumn::Journal})
                EXPECT_EQ(Pmids(reader, reader.Ordered(search, column, limit)),
                          ByName(reader, records, search, column, limit))
                    << query << " by " << (column == SortColumn::Journal ? "journal" : "author")
                    << " (limit " << limit << ")";
            // With no ranked phrase, pages come newest first (tested with the date order).
            if (RankedPhrases(search) == 0) continue;
            const auto got = Pmids(reader, BestMatches(reader, search, limit));
            const auto want = oracle.Best(search, limit);
            EXPECT_EQ(got, want) << query << " (limit " << limit << (merged ? ", merged)" : ")");
            ++compared;
        }
        EXPECT_GT(compared, 200);
    }
}

// Records that score alike come newest first, whether a tie with the worst kept is settled by
// where a chunk of keys lies or by the key itself: two segments whose records' dates
// interleave, each some chunks of keys long.
TEST(OrderOracle, RecordsThatScoreAlikeComeNewestFirst) {
    TempDir dir;
    const std::string index = dir.File("ties.sqlite");
    {
        IndexWriter writer(index);
        for (const int half : {0, 1}) {
            for (int i = half; i < 5000; i += 2) {
                Article a;
                a.pmid = 100000 + i;
                a.title = "alpha beta gamma";
                a.year = 1960 + i / 100;
                a.month = 1 + i / 8 % 12;
                a.pubdate = std::to_string(a.year);
                writer.Put(a);
            }
            writer.Commit();
        }
    }
    IndexReader reader(index);
    ASSERT_EQ(reader.Ranking().Segments(), 2u);
    const Search search = BuildSearch("alpha");
    for (const int limit : {10, 1500}) {
        std::vector<std::int64_t> newest;
        for (const ArticleSummary& s : reader.Page(search, 0, limit))
            newest.push_back(s.pmid);
        EXPECT_EQ(Pmids(reader, BestMatches(reader, search, limit)), newest) << limit;
    }
}

// A search of words joined by OR reads the lists' splits by impact (a damaged one fails it,
// as a 500 page, where an unread one would pass unnoticed), and they stand as the whole
// lists do after records are replaced and merged.
TEST(OrderOracle, SearchesOfCommonWordsReadTheSplitsByImpact) {
    TempDir dir;
    const std::string index = dir.File("split.sqlite");
    {
        IndexWriter writer(index);
        writer.SplitListsFrom(100);
        for (const int run : {0, 1}) {
            for (int i = 0; i < 3000; ++i) {
                Article a;
                a.pmid = 1000 + i;
                a.title = i % 97 == run ? "alpha beta" : "alpha and beta of a longer title";
                a.year = 1990 + i % 20;
                a.pubdate = std::to_string(a.year);
                writer.Put(a);
            }
            writer.Commit();
        }
        writer.MergeIfDue();
    }
    const Search search = BuildSearch("alpha OR beta");
    std::vector<std::int64_t> shortest;
    for (std::int64_t pmid = 1000 + 1; pmid < 4000; pmid += 97)
        shortest.push_back(pmid);
    {
        IndexReader reader(index);
        EXPECT_EQ(reader.Ranking().Segments(), 1u);
        std::vector<std::int64_t> best = Pmids(reader, BestMatches(reader, search, 31));
        std::sort(best.begin(), best.end());
        EXPECT_EQ(best, shortest);
    }
    {
        Database db(index, SQLITE_OPEN_READWRITE);
        db.Exec("UPDATE rank_list SET data = x'FF' WHERE id & 65535 = 32768");
        EXPECT_GT(sqlite3_changes(db.Handle()), 0);
    }
    {
        IndexReader reader(index);
        EXPECT_THROW(BestMatches(reader, search, 10), DamagedPostings);
    }
    // The whole lists' headers, read on two threads: the damage either meets reaches the
    // search as an error, and ends nothing.
    {
        Database db(index, SQLITE_OPEN_READWRITE);
        db.Exec("UPDATE rank_list SET data = x'FF' WHERE id & 65535 = 0");
        EXPECT_GT(sqlite3_changes(db.Handle()), 1);
    }
    IndexReader reader(index);
    reader.Ranking().SplitEverySearch();
    EXPECT_THROW(BestMatches(reader, search, 10), DamagedPostings);
}

// A reader that stays open keeps the lists it parsed, and must drop them once the file
// changes: here every record is deleted and merged away, so that the next records' segment
// takes the number of the first, with other lists.
TEST(OrderOracle, AnOpenReaderSeesEachCommit) {
    TempDir dir;
    const std::string index = dir.File("commits.sqlite");
    const auto put = [](IndexWriter& writer, std::int64_t first, int count, int shortEvery) {
        std::vector<std::int64_t> shortest;
        for (int i = 0; i < count; ++i) {
            Article a;
            a.pmid = first + i;
            a.title = i % shortEvery == 0 ? "alpha beta" : "alpha and beta of a longer title";
            a.year = 1990 + i % 20;
            a.pubdate = std::to_string(a.year);
            writer.Put(a);
            if (i % shortEvery == 0) shortest.push_back(a.pmid);
        }
        writer.Commit();
        return shortest;
    };
    const Search search = BuildSearch("alpha OR beta");
    const auto best = [&](IndexReader& reader, std::size_t limit) {
        std::vector<std::int64_t> pmids = Pmids(reader, BestMatches(reader, search, limit));
        std::sort(pmids.begin(), pmids.end());
        return pmids;
    };
    IndexWriter writer(index);
    writer.SplitListsFrom(100);
    const std::vector<std::int64_t> before = put(writer, 1000, 3000, 97);
    IndexReader reader(index);
    EXPECT_EQ(best(reader, before.size()), before);
    for (std::int64_t pmid = 1000; pmid < 4000; ++pmid)
        writer.Delete(pmid);
    writer.MergeIfDue();
    EXPECT_EQ(reader.Ranking().Segments(), 0u);
    const std::vector<std::int64_t> after = put(writer, 50000, 2000, 41);
    EXPECT_EQ(reader.Ranking().Segments(), 1u);
    EXPECT_EQ(best(reader, after.size()), after);
}

} // namespace
} // namespace tamix::server
