// The ranking engine: the best records of a search by BM25 (bm25.h), found without scoring
// most of its matches. The index keeps, segment by segment, each term's postings in blocks
// that say how high they can score (postings.h); a search walks its terms' lists together,
// record by record in sort key order, and passes over every stretch of records whose
// blocks cannot beat the records it holds already. The answer is exactly that of scoring
// every match: equal scores go newest first (lower sort key).
#pragma once

#include "server/rank/bm25.h"
#include "server/rank/postings.h"

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

namespace tamix::server {

// A search as the engine evaluates it: terms joined by AND, OR and NOT (the first operand
// without the others).
struct RankNode {
    enum Kind { Term, And, Or, Not };
    Kind kind = Term;
    int leaf = 0; // Term: its index in RankQuery::leaves
    std::vector<RankNode> operands;
};

struct RankLeaf {
    // What the term adds to a record's score, times its Bm25::Impact: 0 for a term whose
    // presence counts but not its frequency.
    double weight = 0;
    // Found in the ranked fields only (title, abstract, headings, keywords), not in a
    // record's author list alone.
    bool rankedOnly = false;
};

struct RankQuery {
    RankNode root;
    std::vector<RankLeaf> leaves;
    double averageLength = 1;
    // The span of sort keys the records must lie in (a search within dates).
    std::int64_t firstKey = std::numeric_limits<std::int64_t>::min();
    std::int64_t lastKey = std::numeric_limits<std::int64_t>::max();
};

// A record's sort key is -(position × kLengthClasses + length class): lower keys are
// newer. Within a segment records stand by length class, shortest first, then by sort key,
// so that the records that can score highest come first and a block holds records of one
// length: its bound says more, and a long record's block is passed over once the short
// ones have set the worst kept. A place in that order is a number that rises with it.
std::int64_t PlaceOfKey(std::int64_t key);
std::int64_t KeyOfPlace(std::int64_t place);

// One segment's postings, as the index hands them out.
class SegmentSource {
public:
    virtual ~SegmentSource() = default;
    // The leaf's term's list in this segment; null when the segment does not hold it.
    virtual const ListHeader* List(int leaf) = 0;
    // The bytes of one block of that list.
    virtual std::string_view Block(int leaf, std::size_t block) = 0;
    // A record's sort key.
    virtual std::int64_t Key(std::uint32_t doc) = 0;
    // The lowest and highest a record's key can be, both keys of its length class, told
    // without reading keys where the index can: a tie with the worst kept is settled by
    // them alone most of the time.
    virtual std::pair<std::int64_t, std::int64_t> KeySpan(std::uint32_t doc) {
        const std::int64_t key = Key(doc);
        return {key, key};
    }
    // Where the first record at or past a place is (Records() when none is): at or after
    // first and at or before second, a stretch told without reading keys where the index
    // can.
    virtual std::pair<std::uint32_t, std::uint32_t> Around(std::int64_t place) = 0;
    virtual std::uint32_t Records() = 0;
    // False for a record deleted, or replaced by a later one, since the segment was made.
    virtual bool Live(std::uint32_t doc) = 0;
    // Of a source of a segment's postings of high impact (RankSegment's impact), whose
    // lists are those parts of the whole ones: what the leaf's leaves out, or null where
    // it is the whole list.
    virtual const ListRest* Rest(int leaf) {
        static_cast<void>(leaf);
        return nullptr;
    }
};

// Thrown for postings that do not read back (a damaged index).
class DamagedPostings : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Offers the segment's records that can be among the limit best to top (keyed by sort
// key). Segments may come in any order; a full top passes over more. Given other (a
// second source of the same segment, which a thread of its own may use beside segment),
// the second half of the records is swept on a thread of its own. Given impact (a source
// of the segment's postings of high impact), words joined by OR whose lists are all split
// so read those, and the whole lists only for the records left in doubt; on two threads
// where other and otherImpact (a second source of those) are given.
void RankSegment(const RankQuery& query, SegmentSource& segment, TopMatches& top, int limit,
                 SegmentSource* other = nullptr, SegmentSource* impact = nullptr,
                 SegmentSource* otherImpact = nullptr);

// Whether a search reads so many blocks of the segment's lists that a second thread is
// worth its start: words joined by AND or OR alone in a large segment, the lists that
// must be read long.
bool WorthSplitting(const RankQuery& query, SegmentSource& segment);

} // namespace tamix::server
