// The index: one SQLite file holding the records (table article, by PMID) and an FTS5
// index over title, abstract, authors, MeSH headings, keywords, affiliations and a column
// of tags (dates, PMID, filters, and one token for each whole value of a field that is
// searched whole: headings, types, languages, journals, first and last author). The
// FTS5 rowids are the sort key (publication date, then PMID, negated, and the record's
// length class for ranking in the lowest bits), so newest-first reads only the matches it
// shows, and a span of years is a span of rowids; a sort key holds its record's PMID, and
// table sort_name the names pages sort by. Records and names keyed by PMID are appended as
// imports bring them, where keyed by date each import rewrote pages all over the table.
#pragma once

#include "server/index/checkpointer.h"
#include "server/index/orders.h"
#include "server/index/ranking.h"
#include "server/index/sqlite.h"
#include "server/records/article.h"

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tamix::server {

// PubMed's own searches stop counting here.
inline constexpr int kMaxCountedMatches = 10000;

// A file of NLM's whose records are in the index, as the mirror records it.
struct ImportedFile {
    std::string name; // "pubmed26n0001.xml.gz"
    std::string md5;  // lower-case hex
    long added = 0, replaced = 0, deleted = 0, skipped = 0;
    std::string importedAt; // UTC, "2026-01-05T04:12:33Z"
};

// The layout the index's tables follow; an index of another layout is refused, never
// read or written.
inline constexpr int kSchemaVersion = 9;

class SchemaError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A search's expression as a tree, for the ranking engine: its phrases as typed, and
// everything else (tags, dates under OR or NOT) as parts the engine does not read.
struct SearchNode {
    enum Kind { Phrase, Other, And, Or, Not };
    Kind kind = Other;
    int phrase = 0;      // Phrase: its index in Search::phrases
    std::string text;    // Phrase: the words as the search holds them
    std::string columns; // Phrase: where it is searched, as FTS5 writes it
    bool prefix = false; // Phrase: its last word is a prefix
    // Phrase and Other: the part as an FTS5 expression that finds it alone.
    std::string expression;
    std::vector<SearchNode> operands;
};

// What one search asks of the index: the records that an FTS5 expression matches, within
// a span of rowids (dates).
struct Search {
    std::string match;
    // For ranking: each phrase of match, in order, as an expression that finds it alone
    // in its columns, or "" when it is not ranked (tags, authors, affiliations).
    std::vector<std::string> phrases;
    // match as a tree; empty when match is.
    std::vector<SearchNode> tree;
    std::int64_t firstRowid = std::numeric_limits<std::int64_t>::min();
    std::int64_t lastRowid = std::numeric_limits<std::int64_t>::max();

    bool Spanned() const {
        return firstRowid != std::numeric_limits<std::int64_t>::min() ||
               lastRowid != std::numeric_limits<std::int64_t>::max();
    }
    // No words, or dates that exclude each other.
    bool MatchesNothing() const { return match.empty() || firstRowid > lastRowid; }
    // Tells searches apart, for caches.
    std::string Key() const {
        return std::to_string(firstRowid) + ":" + std::to_string(lastRowid) + ":" + match;
    }
};

// What the FTS5 index holds of a record, column by column (see index.cpp), and the
// number of words ranking counts (title, abstract, headings, keywords).
struct IndexedText {
    static constexpr int kColumns = 7;
    std::string title, abstract, authors, mesh, keywords, affiliations, tags;
    std::int64_t rankedWords = 0;

    // The FTS5 columns' texts, in the table's order.
    std::array<std::string_view, kColumns> Columns() const {
        return {title, abstract, authors, mesh, keywords, affiliations, tags};
    }
};
IndexedText TextsOf(const Article& article);

// A record with what the index makes of it, worked out on whichever thread has time.
// Its texts share one block: a block freed by another thread than the one that allocated
// it costs a lock of that thread's heap, and records of dozens of blocks, made by the
// reading thread and freed by the writing one, took a fifth of the writer's time.
class PreparedRecord {
public:
    // The texts, in this order: those of the article table, the sort keys, the terms the
    // ranking engine keeps (EncodeTerms), the ranked fields' tokens (EncodedRecordTerms),
    // then the FTS5 columns in IndexedText's order.
    enum Field {
        kTitle,
        kAuthors,
        kJournal,
        kPubdate,
        kAbstract,
        kDoi,
        kPmcid,
        kDetails,
        kFirstAuthorKey,
        kJournalKey,
        kTerms,
        kTokens,
        kFirstIndexed,
        kFields = kFirstIndexed + IndexedText::kColumns
    };
    std::int64_t pmid = 0;
    std::int64_t id = 0; // the sort key
    std::int64_t rankedWords = 0;

    std::string_view Get(int field) const {
        return std::string_view(texts_).substr(ends_[field], ends_[field + 1] - ends_[field]);
    }
    // As IndexedText::Columns.
    std::array<std::string_view, IndexedText::kColumns> Columns() const {
        std::array<std::string_view, IndexedText::kColumns> columns;
        for (int i = 0; i < IndexedText::kColumns; ++i)
            columns[i] = Get(kFirstIndexed + i);
        return columns;
    }

private:
    friend PreparedRecord Prepare(Article&& article);
    std::string texts_;
    std::uint32_t ends_[kFields + 1] = {}; // where each field starts; the last, the end
};
PreparedRecord Prepare(Article&& article);

// Writes records into the index; one writer at a time, readers may go on meanwhile.
class IndexWriter {
public:
    explicit IndexWriter(const std::string& path);
    ~IndexWriter();

    // Adds the record, replacing an earlier one of the same PMID; true when it replaced one.
    // Records wait in memory and go into the tables in rowid order (at the latest on
    // Commit), for FTS5 starts a new segment whenever a rowid is lower than the last.
    bool Put(const Article& article);
    bool Put(PreparedRecord&& record);
    // Removes the record of that PMID; false when there was none.
    bool Delete(std::int64_t pmid);
    // Notes a file in the table of imported files, in the open transaction, so that it
    // commits together with the file's last records or not at all. importedAt is filled in.
    void RecordImportedFile(const ImportedFile& file);
    // Makes everything so far visible to readers and starts a new transaction. What was
    // not committed when the writer is destroyed is rolled back.
    void Commit();
    // Forgets everything since the last commit.
    void Rollback();
    // Commits, and merges the full-text index and the ranking each into one segment once
    // the records changed since the last merge make up a sixteenth of the index. FTS5
    // seeks slowly through many segments, which a search within dates does at every step,
    // and a ranked search reads each word's list once a segment; one merge costs about a
    // rewrite of both.
    void MergeIfDue();
    // For tests: the ranking's lists of that many postings or more are split by impact.
    void SplitListsFrom(std::size_t postings);
    // For tests: the ranking's last merge holds rows of that many bytes at most before the
    // writer takes them.
    void HoldMergedRows(std::size_t bytes);

    // Records held back at most (as many as an import commits at once; some hundreds of
    // MB): a run of them in rowid order makes one FTS5 segment.
    static constexpr std::size_t kPendingRecords = 50000;

private:
    static constexpr std::int64_t kMergeShare = 16;

    // A record between Put and the tables.
    struct Pending : PreparedRecord {
        bool removed = false; // deleted again, or replaced by a later record
    };

    void Begin();
    void BeginWriting();
    void EndWriting();
    bool DeleteStored(std::int64_t pmid);
    void WritePending();

    Database db_;
    std::unique_ptr<Checkpointer> checkpointer_; // made once the file is in WAL mode
    TokenReplay replay_; // before the full-text table is first used
    std::unique_ptr<RankWriter> rank_; // made once the tables exist
    OrderCounts names_;
    Statement find_, deleteArticle_, deleteText_, insertArticle_, insertText_, insertSortName_,
        deleteSortName_, bump_, recordFile_, addToMeta_;
    // A transaction is open from the first change; SQLite's only from the first write,
    // so that the log's copy of the last commit goes on meanwhile.
    bool inTransaction_ = false, writing_ = false;
    std::vector<Pending> pending_;
    std::unordered_map<std::int64_t, std::size_t> pendingByPmid_;
    std::int64_t changes_ = 0;
    std::int64_t recordsAdded_ = 0, wordsAdded_ = 0; // since the last commit, for ranking
};

// The files recorded by RecordImportedFile, in the order they were imported; none when the
// index does not exist yet.
std::vector<ImportedFile> ReadImportedFiles(const std::string& index);

struct ArticleSummary {
    std::int64_t pmid = 0;
    std::string title, authors, journal, pubdate;
};

// What ranking needs of the whole index.
struct RankStats {
    std::int64_t records = 0;
    double averageLength = 0; // ranked words a record
};

// A name as sort_name keeps it: without case and diacritics ("Øst" as "ost"); the first
// author's so.
std::string SortName(const std::string& name);
std::string FirstAuthorName(const Article& article);

// For a process that serves searches, from its start: memory a search frees stays with
// the process for the next. glibc gives blocks of some MB (a search's headers at 10 million
// records, 15 MB; a new connection's pages) back to the kernel when they are freed, and the
// next search faults each of their pages in again; in a virtual machine where a fault is
// dear, that took most of a first request (four common words at 10 million records: 250 ms
// against 90). Blocks up to 32 MB come from the heap, which keeps up to 64 MB free at its
// top: the bounds glibc's own adjustment would reach, set from the start.
void KeepSearchMemory();

// Reads the index; one per thread.
class IndexReader {
public:
    explicit IndexReader(const std::string& path);

    // Changes whenever a writer commits.
    std::int64_t Generation();
    // Matches, counted up to kMaxCountedMatches.
    int Count(const Search& search);
    // Matches of an expression over the whole index, counted up to limit (a phrase's
    // document frequency).
    std::int64_t CountUpTo(const std::string& match, std::int64_t limit);
    // Newest first, skipping offset matches.
    std::vector<ArticleSummary> Page(const Search& search, int offset, int limit);
    // The ids of the limit matches that score highest by tamix_rank (see rank.h) with the
    // phrase weights given (PhraseWeights), best first, equal scores newest first: every
    // match scored, for searches the ranking engine does not evaluate.
    std::vector<std::int64_t> ScoreEveryMatch(const Search& search,
                                              const std::vector<double>& weights,
                                              double averageLength, int limit);
    // The sort keys of the first limit matches by the column's name (a SortName), then
    // newest first; records without a name last (see orders.h).
    std::vector<std::int64_t> Ordered(const Search& search, SortColumn column, int limit);
    // The records of those ids, in that order (ids without a record are left out).
    std::vector<ArticleSummary> Summaries(const std::vector<std::int64_t>& ids);
    // The same by PMID, as NCBI lists records.
    std::vector<ArticleSummary> SummariesOfPmids(const std::vector<std::int64_t>& pmids);
    std::optional<Article> Find(std::int64_t pmid);
    std::int64_t Size();
    RankStats Stats();
    // The ranking engine's tables, and the index's tokenizer for the words of searches.
    RankReader& Ranking() { return *rank_; }
    Tokenizer& Tokens() { return tokenizer_; }

private:
    // Whether the search matches every record of some word held by kMaxCountedMatches live
    // records or more.
    bool CountedByAWord(const Search& search);

    Database db_;
    std::unique_ptr<RankReader> rank_;
    Tokenizer tokenizer_;
    Statement generation_, count_, countAll_, page_, best_, countUnder_, keysUnder_, authorOf_,
        journalOf_, children_, summaryOfPmid_, find_, stats_;
};

// Why the file cannot be an index, as words to follow "cannot serve FILE: "; "" when it
// can. Reads the schema only, so it answers at once on an index of any size. With
// forImport a missing or empty file is fine (the import makes the index), and so is a
// database without tables, as an import killed at its very start leaves one.
std::string IndexFileProblem(const std::string& path, bool forImport);

// The rowid that orders records newest first, ascending: date, then PMID, negated; the
// length class (rank.h) sits in its lowest bits.
std::int64_t SortKey(const Article& article, int lengthClass = 0);
// The date and PMID tags: "y2020 d202 c20 m2 p12345" (year, decade, century, millennium
// of the publication date, which has no tags when its year is unknown; PMID).
std::string TagsOf(const Article& article);

// The filter tags of the tags column.
inline constexpr const char* kHasAbstractTag = "hasabstract";
inline constexpr const char* kFreeFullTextTag = "freefulltext";

// The tokens of the tags column that name an author as first (marker::kFirst) or last
// author: the last name alone, and with each prefix of the initials (the fore name's
// initials when none are given); a group's name whole.
std::vector<std::string> AuthorTokens(std::string_view kind, const Author& author);
// The fewest tags (years, decades, centuries, millennia) that together hold exactly
// the records of the years from..to (1 <= from <= to <= 9999): 63 at most.
std::vector<std::string> YearTags(int from, int to);
// The rowids of the records published in the years from..to (1 <= from <= to <= 9999).
void YearRowids(int from, int to, std::int64_t& first, std::int64_t& last);

} // namespace tamix::server
