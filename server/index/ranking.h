// The ranking engine's part of the index file (rank/engine.h): its terms with the number
// of records that hold each, and segments of postings. A writer's run of records becomes
// a segment of its own, numbered in sort key order; segments are merged now and then
// (and into one when an import ends), dropping the records deleted or replaced since.
// Everything is in the index's transactions: a commit shows readers the new segment,
// and a killed writer leaves nothing of its uncommitted ones.
#pragma once

#include "server/index/sqlite.h"
#include "server/rank/engine.h"
#include "server/rank/terms.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tamix::server {

// The tables, for the index's schema.
extern const char* const kRankingSchema;

class RankWriter {
public:
    explicit RankWriter(Database& db);
    ~RankWriter();

    // A run of records, each its sort key and encoded terms, in sort key order: a new
    // segment.
    struct Record {
        std::int64_t key;
        std::string_view terms;
    };
    void AddSegment(const std::vector<Record>& records);
    // The record of that key, with those terms, was deleted or replaced.
    void Remove(std::int64_t key, const std::vector<TermFrequency>& terms);
    // Before a commit: the counts of records a term, and a merge when segments pile up.
    void Flush();
    // Merges every segment into one, in two halves: StartMergeAll reads and merges what is
    // committed on a thread and a connection of its own (to path, the index's file);
    // FinishMergeAll, in a transaction, writes the merged segment as it comes and drops the
    // others. Nothing else may write the ranking in between.
    class MergeAhead;
    struct EndMerge {
        void operator()(MergeAhead* merge) const; // stops it where it is
    };
    std::unique_ptr<MergeAhead, EndMerge> StartMergeAll(const std::string& path);
    void FinishMergeAll(MergeAhead& merge);
    // After a rollback: what the writer remembered of uncommitted work goes.
    void Forget();
    // For tests: lists of that many postings or more are split by impact (postings.h).
    void SplitListsFrom(std::size_t postings);
    // For tests: StartMergeAll holds rows of that many bytes at most before the writer
    // takes them.
    void HoldMergedRows(std::size_t bytes);

    // Segments kept before the smallest are merged.
    static constexpr std::size_t kMaxSegments = 12;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Reads the ranking tables; one per connection (thread).
class RankReader {
public:
    explicit RankReader(Database& db);
    ~RankReader();

    // Records whose ranked fields hold the term.
    std::int64_t Records(std::string_view term);
    // The terms the dictionary holds that begin with prefix, most records first, at most
    // limit of them.
    std::vector<std::pair<std::string, std::int64_t>> TermsWithPrefix(std::string_view prefix,
                                                                      int limit);
    // The best limit records of the query (keys, best first). terms[i] is the term of
    // query.leaves[i]. Throws DamagedPostings or SqliteError on a damaged index.
    std::vector<std::int64_t> Best(const RankQuery& query, const std::vector<std::string>& terms,
                                   int limit);
    // How many segments there are (for tests and benchmarks).
    std::size_t Segments();
    // For tests: every search that can be is swept on two threads, however few
    // the records and postings it reads, and its lists' headers read on two.
    void SplitEverySearch();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A row of a segment's keys, each as its place in the engine's order (PlaceOfKey): the
// first, then the rising gaps to each next one as varints; false unless they rise and are
// no more than a row holds (1,024).
bool DecodeKeyChunk(std::int64_t first, std::string_view bytes, std::vector<std::int64_t>& keys);

} // namespace tamix::server
