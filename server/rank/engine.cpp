#include "server/rank/engine.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <memory>
#include <numeric>
#include <queue>
#include <system_error>
#include <thread>

namespace tamix::server {

namespace {

constexpr std::uint32_t kEnd = 0xFFFFFFFFu;
// A lead word's block over at most this many records is dense: scored a stretch at a time.
constexpr std::uint32_t kDenseStretch = 2 * kBlockPostings;
// Dense blocks in a row whose bounds passed over none, past which the next are scored in
// one stretch of at most kLongStretch records without being bounded.
constexpr std::uint32_t kUnpassedRun = 8;
constexpr std::uint32_t kLongStretch = 16 * kBlockPostings;
// A segment this large, whose lists that must be read hold this many postings, is swept
// in halves on two threads where the index gives a second source.
constexpr std::uint32_t kSplitRecords = 1 << 19;
constexpr std::size_t kSplitPostings = 1 << 18;
// The high parts of a search by impact hold at most a share of 1 / this of the postings.
constexpr std::size_t kHighShare = 3;
// Records in doubt whose whole lists are read together, in order.
constexpr std::size_t kDoubtsAtOnce = 32;
// Records whose postings of high impact are summed together (a multiple of 64): fewer
// stretches cost less in what each does once (its cursors moved, its sums cleared, its
// passing records sorted) than their sums lose leaving the nearest cache.
constexpr std::uint32_t kImpactStretch = 16384;
// Over 1 by far more than rounding: a sum so raised bounds the same summed in another order.
constexpr double kMargin = 1 + 1e-9;

constexpr auto kNoFirstKey = std::numeric_limits<std::int64_t>::min();
constexpr auto kNoLastKey = std::numeric_limits<std::int64_t>::max();

bool InSpan(const RankQuery& query, std::int64_t key) {
    return query.firstKey <= key && key <= query.lastKey;
}

bool SameClass(std::int64_t key, std::int64_t other) {
    return (-key) % kLengthClasses == (-other) % kLengthClasses;
}

// Bm25's impacts of the frequencies most postings have, worked out once a length class: a
// division for each posting was most of a common word's search. The formula's own values.
class TabledBm25 {
public:
    explicit TabledBm25(double averageLength) : bm25_(averageLength) {}
    double Impact(std::uint32_t f2, int lengthClass) const {
        const int c = lengthClass & (kLengthClasses - 1);
        if (f2 >= kTabled) return bm25_.Impact(f2, c);
        if (!rows_[c]) {
            rows_[c] = std::make_unique<double[]>(kTabled);
            for (std::uint32_t f = 0; f < kTabled; ++f)
                rows_[c][f] = bm25_.Impact(f, c);
        }
        return rows_[c][f2];
    }

private:
    static constexpr std::uint32_t kTabled = 256;
    Bm25 bm25_;
    mutable std::unique_ptr<double[]> rows_[kLengthClasses];
};

// The highest impact any posting of the block can have.
double Best(const BlockInfo& block, const TabledBm25& bm25) {
    double best = 0;
    for (std::size_t i = 0; i < block.best.size; ++i)
        best = std::max(best, bm25.Impact(block.best.f2[i], block.best.lengthClass[i]));
    return best;
}

// Whether the block's best can exceed floor, told from its largest frequency at its
// shortest record (a bound of its best; the margin, far above rounding, keeps it one).
bool MayExceed(const BlockInfo& block, double floor, const TabledBm25& bm25) {
    return bm25.Impact(block.maxF2, block.minClass) * (1 + 1e-9) > floor;
}

// The most a posting of a block with that best adds at a record of that length class.
double FrontierAt(const Frontier* best, int lengthClass, double weight, const TabledBm25& bm25) {
    if (!best || weight <= 0) return 0;
    std::uint32_t f2 = 0;
    for (std::size_t k = 0; k < best->size && best->lengthClass[k] <= lengthClass; ++k)
        f2 = best->f2[k];
    return f2 > 0 ? weight * bm25.Impact(f2, lengthClass) : 0;
}

// A leaf's list in one segment: a block pointer that moves without reading blocks (for
// bounds), and a posting pointer that reads them.
class Cursor {
public:
    Cursor(SegmentSource& segment, int leaf, const RankLeaf& info, const TabledBm25& bm25)
        : segment_(segment), leaf_(leaf), info_(info), bm25_(bm25), list_(segment.List(leaf)) {}

    std::uint32_t Doc() const { return doc_; }
    std::size_t Postings() const { return list_ ? list_->postings : 0; }
    // The most a posting of the block that holds the first posting at or after target adds
    // at a record of that class: kept for the block and class, which records in a row
    // mostly share (a segment stands by length class).
    double BoundAt(std::uint32_t target, int lengthClass) {
        if (!list_ || !MoveTo(target)) return 0;
        if (boundBlock_ != shallow_ || boundClass_ != lengthClass) {
            boundBlock_ = shallow_;
            boundClass_ = lengthClass;
            bound_ = FrontierAt(&list_->blocks[shallow_].best, lengthClass, info_.weight, bm25_);
        }
        return bound_;
    }
    // What the current posting adds to its record's score.
    double Impact() const {
        return info_.weight > 0 ? info_.weight * bm25_.Impact(buffer_.f2[position_],
                                                               buffer_.lengthClass[position_])
                                : 0;
    }
    // Adds each posting of first to last that Advance stops at into a stretch's sums (what
    // it adds to its record's score, as Impact says) and counts, from first on: the rest of
    // a block at once, its impacts from a row of this leaf's at the posting's class.
    void AddPostings(std::uint32_t first, std::uint32_t last, double* sum, std::uint32_t* count,
                     std::uint32_t counts) {
        // In locals: the sums and counts written could alias members, which the loops
        // would then read again each posting.
        const double weight = info_.weight;
        const bool weighed = weight > 0, rankedOnly = info_.rankedOnly;
        const std::uint32_t* const docs = buffer_.doc;
        const std::uint32_t* const f2s = buffer_.f2;
        const std::uint8_t* const classes = buffer_.lengthClass;
        ForEachInBlocks(
            first, last, [&](std::uint32_t from, std::uint32_t end, const BlockInfo& block) {
                // A ranked-only leaf's postings without a frequency count for nothing; their
                // impact is 0, so adding it leaves a sum as it was.
                if (counts)
                    for (std::uint32_t i = from; i < end; ++i)
                        if (!rankedOnly || f2s[i]) count[docs[i] - first] += counts;
                // A class's run at a time (a block holds one or two): its row chosen once.
                const std::uint32_t* const runEnds = buffer_.runEnd;
                for (std::uint32_t r = 0, i = from; weighed && i < end; ++r) {
                    if (runEnds[r] <= i) continue;
                    const std::uint32_t runEnd = std::min(runEnds[r], end);
                    const int lengthClass = classes[i];
                    const double* const row = WeightedRow(lengthClass);
                    if (block.maxF2 < kWeighted) {
                        for (; i < runEnd; ++i)
                            sum[docs[i] - first] += row[f2s[i]];
                    } else {
                        for (; i < runEnd; ++i) {
                            const std::uint32_t f2 = f2s[i];
                            sum[docs[i] - first] +=
                                f2 < kWeighted ? row[f2] : weight * bm25_.Impact(f2, lengthClass);
                        }
                    }
                }
            });
    }
    // Adds, for each posting of first to last, what it adds to its record's score into held
    // and that less rest[class] into over (from first on), and notes the record's class;
    // appends to passing (from passed on) those whose over reaches need[class], a record as
    // often as it does, one at most a posting.
    void AddHigh(std::uint32_t first, std::uint32_t last, double* held, double* over,
                 std::uint8_t* classes, const double* rest, const double* need,
                 std::uint32_t* passing, std::size_t& passed) {
        const std::uint32_t* const docs = buffer_.doc;
        const std::uint32_t* const f2s = buffer_.f2;
        ForEachInBlocks(first, last, [&](std::uint32_t from, std::uint32_t end, const BlockInfo&) {
            for (std::uint32_t r = 0, i = from; i < end; ++r) {
                if (buffer_.runEnd[r] <= i) continue;
                const std::uint32_t runEnd = std::min(buffer_.runEnd[r], end);
                const int lengthClass = buffer_.lengthClass[i];
                const double* const row = WeightedRow(lengthClass);
                const double less = rest[lengthClass], needed = need[lengthClass];
                for (; i < runEnd; ++i) {
                    const std::uint32_t f2 = f2s[i];
                    const double impact =
                        f2 < kWeighted ? row[f2] : info_.weight * bm25_.Impact(f2, lengthClass);
                    const std::uint32_t j = docs[i] - first;
                    held[j] += impact;
                    const double sum = over[j] + (impact - less);
                    over[j] = sum;
                    classes[j] = static_cast<std::uint8_t>(lengthClass);
                    // Written always and kept by the count: no branch to mispredict.
                    passing[passed] = j;
                    passed += sum >= needed;
                }
            }
        });
    }
    // Calls f with the decoded postings [from, end) of each block that Advance reaches from
    // first to last, and the block; leaves the cursor at the last of them.
    template <typename F> void ForEachInBlocks(std::uint32_t first, std::uint32_t last, F f) {
        const std::uint32_t* const docs = buffer_.doc;
        for (std::uint32_t d = Advance(first); d <= last;) {
            const std::uint32_t from = position_;
            const BlockInfo& block = list_->blocks[decoded_];
            // The postings up to last: most blocks lie inside the stretch whole.
            const std::uint32_t end =
                block.lastDoc <= last
                    ? count_
                    : static_cast<std::uint32_t>(
                          std::upper_bound(docs + from, docs + count_, last) - docs);
            f(from, end, block);
            position_ = end - 1;
            doc_ = docs[position_];
            d = Advance(doc_ + 1);
        }
    }
    // No posting counts any more: the node above can match no further record.
    void Exhaust() { doc_ = kEnd; }
    Posting Current() const { return buffer_.At(position_); }

    // The last record of the block pointer's block and of the blocks after it, while each
    // spans at most kDenseStretch records and ends at or before limit (the first block's
    // last whatever its end). Moves nothing.
    std::uint32_t DenseRunEnd(std::uint32_t limit) const {
        const auto& blocks = list_->blocks;
        std::uint32_t end = blocks[shallow_].lastDoc;
        for (std::size_t b = shallow_ + 1; b < blocks.size() && blocks[b].lastDoc <= limit &&
                                           blocks[b].lastDoc - end <= kDenseStretch;
             ++b)
            end = blocks[b].lastDoc;
        return std::min(end, limit);
    }

    // Calls f with the best of each block that may hold a posting of first to last, in
    // order; false when no posting is left at or after first.
    template <typename F>
    bool ForBlocksOver(std::uint32_t first, std::uint32_t last, F f) {
        if (!list_ || !MoveTo(first)) return false;
        const auto& blocks = list_->blocks;
        for (std::size_t b = shallow_; b < blocks.size(); ++b) {
            if (b > shallow_ && blocks[b - 1].lastDoc >= last) break;
            f(blocks[b].best);
        }
        return true;
    }

    // The last doc of the block that holds the first posting at or after target, kEnd
    // when none does; best (none for a leaf that adds nothing) and possible describe that
    // block.
    std::uint32_t Window(std::uint32_t target, const Frontier*& best, bool& possible) {
        best = nullptr;
        possible = false;
        if (!list_ || !MoveTo(target)) return kEnd;
        const BlockInfo& block = list_->blocks[shallow_];
        possible = !info_.rankedOnly || block.maxF2 > 0;
        if (info_.weight > 0) best = &block.best;
        return block.lastDoc;
    }

    // The first posting at or after target (with a frequency, for a leaf of the ranked
    // fields), kEnd when none is.
    std::uint32_t Advance(std::uint32_t target) {
        if (doc_ == kEnd) return kEnd;
        if (doc_ >= target && decoded_ != kNone) return doc_;
        if (!list_) return doc_ = kEnd;
        const auto& blocks = list_->blocks;
        while (true) {
            if (!MoveTo(target)) return doc_ = kEnd;
            if (decoded_ != shallow_) Decode(shallow_);
            while (position_ < count_ &&
                   (buffer_.doc[position_] < target ||
                    (info_.rankedOnly && buffer_.f2[position_] == 0)))
                ++position_;
            if (position_ < count_) return doc_ = buffer_.doc[position_];
            target = blocks[shallow_].lastDoc + 1;
        }
    }

private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    // Moves the block pointer to the block that holds the first posting at or after
    // target; false past the list's end.
    bool MoveTo(std::uint32_t target) {
        const auto& blocks = list_->blocks;
        while (shallow_ < blocks.size() && blocks[shallow_].lastDoc < target)
            ++shallow_;
        return shallow_ < blocks.size();
    }

    void Decode(std::size_t block) {
        const auto& blocks = list_->blocks;
        const std::string_view bytes = segment_.Block(leaf_, block);
        if (!DecodeBlock(bytes, blocks[block], block ? &blocks[block - 1] : nullptr, buffer_))
            throw DamagedPostings("a block of postings does not read back");
        decoded_ = block;
        count_ = blocks[block].postings;
        position_ = 0;
    }

    SegmentSource& segment_;
    int leaf_;
    const RankLeaf& info_;
    const TabledBm25& bm25_;
    const ListHeader* list_;
    std::size_t shallow_ = 0;
    std::size_t decoded_ = kNone;
    std::uint32_t count_ = 0, position_ = 0;
    std::uint32_t doc_ = 0;
    std::size_t boundBlock_ = kNone;
    int boundClass_ = -1;
    double bound_ = 0;
    BlockColumns buffer_;

    // Impact's values for the frequencies most postings have at a class: the same product
    // of the weight and the formula's value, made once.
    static constexpr std::uint32_t kWeighted = 256;
    const double* WeightedRow(int lengthClass) {
        auto& row = weighted_[lengthClass & (kLengthClasses - 1)];
        if (!row) {
            row = std::make_unique<double[]>(kWeighted);
            for (std::uint32_t f2 = 0; f2 < kWeighted; ++f2)
                row[f2] = info_.weight * bm25_.Impact(f2, lengthClass);
        }
        return row.get();
    }
    std::unique_ptr<double[]> weighted_[kLengthClasses];
};

// A node of the search over cursors: the next record it matches, and how high a stretch
// of records from some record on can score.
class Node {
public:
    virtual ~Node() = default;
    virtual std::uint32_t NextMatch(std::uint32_t target) = 0;
    // The last doc of a stretch from target over which, for every record, each leaf below
    // adds no more than a posting of best[leaf] could (none for a leaf that cannot count),
    // and whether any record in the stretch can match.
    virtual std::uint32_t Window(std::uint32_t target, const Frontier** best, bool& possible) = 0;
    // Says of the leaves below that they add nothing.
    virtual void Clear(const Frontier** best) = 0;
    // Leaves a node that matches no more with no term at any record: as in FTS5, the terms
    // of a part that does not match a record do not count for its score.
    virtual void Exhaust() = 0;
};

class TermNode : public Node {
public:
    TermNode(Cursor& cursor, int leaf) : cursor_(cursor), leaf_(leaf) {}
    std::uint32_t NextMatch(std::uint32_t target) override { return cursor_.Advance(target); }
    std::uint32_t Window(std::uint32_t target, const Frontier** best, bool& possible) override {
        return cursor_.Window(target, best[leaf_], possible);
    }
    void Clear(const Frontier** best) override { best[leaf_] = nullptr; }
    void Exhaust() override { cursor_.Exhaust(); }

private:
    Cursor& cursor_;
    int leaf_;
};

class Composite : public Node {
public:
    explicit Composite(std::vector<std::unique_ptr<Node>> operands)
        : operands_(std::move(operands)) {}
    void Exhaust() override {
        for (auto& operand : operands_)
            operand->Exhaust();
    }
    void Clear(const Frontier** best) override {
        for (auto& operand : operands_)
            operand->Clear(best);
    }

protected:
    std::uint32_t Done() {
        Exhaust();
        return kEnd;
    }
    std::vector<std::unique_ptr<Node>> operands_;
};

class AndNode : public Composite {
public:
    using Composite::Composite;
    std::uint32_t NextMatch(std::uint32_t target) override {
        // Each operand in turn to the furthest record any of them is at, until all agree.
        for (std::uint32_t doc = target;;) {
            bool agreed = true;
            for (auto& operand : operands_) {
                const std::uint32_t next = operand->NextMatch(doc);
                if (next == kEnd) return Done();
                if (next != doc) {
                    doc = next;
                    agreed = false;
                    break;
                }
            }
            if (agreed) return doc;
        }
    }
    std::uint32_t Window(std::uint32_t target, const Frontier** best, bool& possible) override {
        std::uint32_t end = kEnd;
        possible = true;
        for (auto& operand : operands_) {
            bool p = false;
            const std::uint32_t e = operand->Window(target, best, p);
            if (!p && e == kEnd) {
                possible = false;
                return kEnd; // an operand has no match left: neither has the whole
            }
            end = std::min(end, e);
            possible = possible && p;
        }
        return end;
    }
};

class OrNode : public Composite {
public:
    using Composite::Composite;
    std::uint32_t NextMatch(std::uint32_t target) override {
        std::uint32_t best = kEnd;
        for (auto& operand : operands_)
            best = std::min(best, operand->NextMatch(target));
        return best;
    }
    std::uint32_t Window(std::uint32_t target, const Frontier** best, bool& possible) override {
        std::uint32_t end = kEnd;
        possible = false;
        for (auto& operand : operands_) {
            bool p = false;
            end = std::min(end, operand->Window(target, best, p));
            if (!p) operand->Clear(best);
            possible = possible || p;
        }
        return end;
    }
};

class NotNode : public Composite {
public:
    using Composite::Composite;
    std::uint32_t NextMatch(std::uint32_t target) override {
        for (std::uint32_t doc = operands_[0]->NextMatch(target); doc != kEnd;
             doc = operands_[0]->NextMatch(doc + 1)) {
            bool excluded = false;
            for (std::size_t i = 1; i < operands_.size() && !excluded; ++i)
                excluded = operands_[i]->NextMatch(doc) == doc;
            if (!excluded) return doc;
        }
        return Done();
    }
    std::uint32_t Window(std::uint32_t target, const Frontier** best, bool& possible) override {
        for (std::size_t i = 1; i < operands_.size(); ++i)
            operands_[i]->Clear(best);
        return operands_[0]->Window(target, best, possible);
    }
};

std::unique_ptr<Node> Build(const RankNode& node, std::vector<std::unique_ptr<Cursor>>& cursors) {
    if (node.kind == RankNode::Term)
        return std::make_unique<TermNode>(*cursors[node.leaf], node.leaf);
    std::vector<std::unique_ptr<Node>> operands;
    for (const RankNode& operand : node.operands)
        operands.push_back(Build(operand, cursors));
    if (node.kind == RankNode::And) return std::make_unique<AndNode>(std::move(operands));
    if (node.kind == RankNode::Or) return std::make_unique<OrNode>(std::move(operands));
    return std::make_unique<NotNode>(std::move(operands));
}

} // namespace

namespace {

// A search's tree over its own cursors; cursors only move forward.
struct Walk {
    std::vector<std::unique_ptr<Cursor>> cursors;
    std::unique_ptr<Node> root;
    std::vector<const Frontier*> best;
    // What each leaf adds at most to any record's score (Promising's): each stretch an OR
    // sweeps asks for it.
    const std::vector<double>& highest;

    Walk(const RankQuery& query, SegmentSource& segment, const TabledBm25& bm25,
         const std::vector<double>& highest)
        : best(query.leaves.size(), nullptr), highest(highest), adds(query.leaves.size(), 0) {
        for (std::size_t i = 0; i < query.leaves.size(); ++i)
            cursors.push_back(
                std::make_unique<Cursor>(segment, static_cast<int>(i), query.leaves[i], bm25));
        root = Build(query.root, cursors);
    }

    // Offers the record where it matches, scored whatever its bound.
    void Look(const RankQuery& query, SegmentSource& segment, std::uint32_t doc, TopMatches& top) {
        if (root->NextMatch(doc) == doc) Offer(query, segment, top, Score(doc), doc);
    }

    // Offers the records of [from, to) that can be among the best, passing over those in
    // done (sorted, apart).
    void Sweep(const RankQuery& query, SegmentSource& segment, const TabledBm25& bm25,
               std::uint32_t from, std::uint32_t to,
               const std::vector<std::pair<std::uint32_t, std::uint32_t>>& done,
               TopMatches& top) {
        // Words joined by AND alone or by OR alone, as most searches are: a record is looked
        // at through the rarest word (AND) or through the words that can still lift a
        // record past the worst kept (OR), and the other words' blocks are read only for a
        // record that their bounds do not rule out.
        bool flat = query.root.kind != RankNode::Term && query.root.kind != RankNode::Not;
        for (const RankNode& operand : query.root.operands)
            flat = flat && operand.kind == RankNode::Term;
        if (flat && query.root.kind == RankNode::And) {
            SweepAll(query, segment, bm25, from, to, done, top,
                     std::vector<bool>(cursors.size(), true), false);
            return;
        }
        if (flat && query.root.kind == RankNode::Or) {
            SweepAny(query, segment, bm25, from, to, done, top);
            return;
        }
        auto skip = done.begin();
        std::uint32_t doc = from;
        while (doc < to) {
            if (PastDone(doc, skip, done.end())) continue;
            bool possible = false;
            std::uint32_t last = root->Window(doc, best.data(), possible);
            if (skip != done.end() && last >= skip->first) last = skip->first - 1;
            // Over a stretch that cannot match, or whose best can neither beat the worst
            // kept nor tie with it from a newer record, no record is read.
            const bool hopeless =
                !possible || (top.Full() && Hopeless(JointBound(query, bm25), doc,
                                                     std::min(last, to - 1), segment, top));
            if (!hopeless) {
                // Every match of the stretch.
                for (std::uint32_t match = root->NextMatch(doc); match <= last && match < to;
                     match = root->NextMatch(match + 1)) {
                    Offer(query, segment, top, Score(match), match);
                    if (match == last) break;
                }
            }
            if (last == kEnd) break;
            doc = last + 1;
        }
    }

    // Whether no record of first to last, none scoring above bound, can be kept any more.
    // A tie is kept only from a newer record, and keys rise with doc within a length class
    // alone: a tie rules out the stretch only when it holds one class.
    static bool Hopeless(double bound, std::uint32_t first, std::uint32_t last,
                         SegmentSource& segment, const TopMatches& top) {
        if (!top.Full() || bound > top.WorstScore()) return false;
        if (bound < top.WorstScore()) return true;
        // Most ties are settled by where the keys lie, unread; a span's class is its keys'.
        const auto [low, high] = segment.KeySpan(first);
        if (high < top.WorstKey()) return false;
        if (low > top.WorstKey())
            return first == last || SameClass(low, segment.KeySpan(last).first);
        const std::int64_t key = segment.Key(first);
        return key > top.WorstKey() && (first == last || SameClass(key, segment.Key(last)));
    }

    // The score of the record all leaves marked present are at, leaf by leaf.
    double Score(std::uint32_t doc) {
        double score = 0;
        for (const auto& cursor : cursors)
            if (cursor->Doc() == doc) score += cursor->Impact();
        return score;
    }

    static void Offer(const RankQuery& query, SegmentSource& segment, TopMatches& top, double score,
                      std::uint32_t doc) {
        if (top.Full() && score < top.WorstScore()) return;
        // A tie is kept only from a record newer than the worst kept.
        const bool tie = top.Full() && score == top.WorstScore();
        if (tie && segment.KeySpan(doc).first > top.WorstKey()) return;
        // Kept whatever its key: the key is read once the segment is done, if it still is.
        if (!tie && query.firstKey == kNoFirstKey && query.lastKey == kNoLastKey) {
            if (segment.Live(doc)) top.OfferDoc(score, doc);
            return;
        }
        const std::int64_t key = segment.Key(doc);
        if (top.Admits(score, key) && InSpan(query, key) && segment.Live(doc))
            top.OfferDoc(score, doc, key);
    }

    // Moves doc past a range of done it stands in; false when none holds it.
    template <typename Skip>
    static bool PastDone(std::uint32_t& doc, Skip& skip, Skip end) {
        while (skip != end && skip->second < doc)
            ++skip;
        if (skip == end || skip->first > doc) return false;
        doc = skip->second + 1;
        return true;
    }

    // Offers the records that hold every required word, the others counting for the score
    // alone. Where the bounds alone require the words (byBounds), a record without one
    // scores below the worst kept, which is then above 0: a stretch's records go uncounted.
    void SweepAll(const RankQuery& query, SegmentSource& segment, const TabledBm25& bm25,
                  std::uint32_t from, std::uint32_t to,
                  const std::vector<std::pair<std::uint32_t, std::uint32_t>>& done,
                  TopMatches& top, const std::vector<bool>& required, bool byBounds) {
        std::size_t lead = cursors.size();
        for (std::size_t i = 0; i < cursors.size(); ++i)
            if (required[i] &&
                (lead == cursors.size() || cursors[i]->Postings() < cursors[lead]->Postings()))
                lead = i;
        const auto all = std::count(required.begin(), required.end(), true);
        const std::uint32_t needed = byBounds ? 0 : static_cast<std::uint32_t>(all);
        auto skip = done.begin();
        std::uint32_t doc = from;
        std::uint32_t unweighed = from; // the first record past the lead's blocks weighed whole
        std::uint32_t unpassed = 0;     // dense blocks in a row the bounds did not pass over
        while (doc < to) {
            // A block of the lead word that no record of can be kept is passed over
            // unread: most of a common word's blocks are, once the worst kept is high.
            if (top.Full() && doc >= unweighed) {
                const Frontier* best = nullptr;
                bool possible = false;
                const std::uint32_t last = cursors[lead]->Window(doc, best, possible);
                if (last == kEnd) return;
                unweighed = last + 1;
                // Where the records of a run of dense blocks all score alike, bounding a
                // block costs about what scoring it does and passes over none: the next
                // blocks are then scored together, unbounded, and the one after bounded.
                const bool alike = unpassed >= kUnpassedRun;
                if (!alike) {
                    const int bound =
                        BlockBound(query, bm25, lead, best, doc, last, segment, top, required);
                    if (bound < 0) return;
                    if (bound == 0) {
                        unpassed = 0;
                        doc = last + 1;
                        continue;
                    }
                }
                // A block of a dense lead: the other words' blocks over its records are
                // all read anyway, and scoring the records list by list costs less than
                // bounding them one by one.
                std::uint32_t end = std::min(last, to - 1);
                if (end - doc < kDenseStretch) {
                    if (alike)
                        end = cursors[lead]->DenseRunEnd(std::min(to - 1, doc + kLongStretch));
                    if (!Overlaps(done, skip, doc, end)) {
                        unpassed = alike ? kUnpassedRun - 1 : unpassed + 1;
                        unweighed = end + 1;
                        ScoreStretch(query, segment, doc, end, top, required, needed);
                        doc = end + 1;
                        continue;
                    }
                }
                unpassed = 0;
            }
            const std::uint32_t d = cursors[lead]->Advance(doc);
            if (d >= to) return;
            doc = d;
            if (PastDone(doc, skip, done.end())) continue;
            // The record's bound: what its words add where they are read, their blocks' best
            // where not. Each required word read tightens it before the next is read.
            const bool bounded = top.Full();
            if (bounded) {
                const int c = cursors[lead]->Current().lengthClass;
                for (std::size_t i = 0; i < cursors.size(); ++i)
                    adds[i] = i == lead ? cursors[i]->Impact() : cursors[i]->BoundAt(d, c);
                if (Hopeless(Sum(adds), d, d, segment, top)) {
                    doc = d + 1;
                    continue;
                }
            }
            std::uint32_t furthest = d;
            bool ruledOut = false;
            for (std::size_t i = 0; i < cursors.size() && furthest == d && !ruledOut; ++i) {
                if (i == lead || !required[i]) continue;
                const std::uint32_t at = cursors[i]->Advance(d);
                if (at == kEnd) return;
                furthest = at;
                if (at == d && bounded) {
                    adds[i] = cursors[i]->Impact();
                    ruledOut = Hopeless(Sum(adds), d, d, segment, top);
                }
            }
            if (furthest == d && !ruledOut) {
                for (std::size_t i = 0; i < cursors.size(); ++i)
                    if (!required[i]) cursors[i]->Advance(d);
                Offer(query, segment, top, Score(d), d);
                doc = d + 1;
            } else {
                doc = std::max(furthest, d + 1);
            }
        }
    }

    // Offers each record of first to last that holds every required word (needed of them;
    // none counted where needed is 0), with its score summed leaf by leaf as Score does.
    void ScoreStretch(const RankQuery& query, SegmentSource& segment, std::uint32_t first,
                      std::uint32_t last, TopMatches& top, const std::vector<bool>& required,
                      std::uint32_t needed) {
        const std::size_t n = last - first + 1;
        sums.assign(n, 0.0);
        held.assign(n, 0);
        double* const sum = sums.data();
        std::uint32_t* const count = held.data();
        for (std::size_t i = 0; i < cursors.size(); ++i)
            cursors[i]->AddPostings(first, last, sum, count, required[i] && needed ? 1 : 0);
        // One test a record, most of them failing: the worst kept changes only on an offer.
        const auto worst = [&] {
            return top.Full() ? top.WorstScore() : -std::numeric_limits<double>::infinity();
        };
        double floor = worst();
        const auto offer = [&](std::size_t j) {
            if (count[j] == needed && sum[j] >= floor) {
                Offer(query, segment, top, sum[j], first + static_cast<std::uint32_t>(j));
                floor = worst();
            }
        };
        // Eight records tested without a branch, as most eights hold none to offer.
        std::size_t j = 0;
        for (; j + 8 <= n; j += 8) {
            bool any = false;
            for (std::size_t k = j; k < j + 8; ++k)
                any |= (count[k] == needed) & (sum[k] >= floor);
            if (any)
                for (std::size_t k = j; k < j + 8; ++k)
                    offer(k);
        }
        for (; j < n; ++j)
            offer(j);
    }

    // Whether a range of done holds any record of first to last (skip moves forward only).
    template <typename Skip>
    static bool Overlaps(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& done,
                         Skip& skip, std::uint32_t first, std::uint32_t last) {
        while (skip != done.end() && skip->second < first)
            ++skip;
        return skip != done.end() && skip->first <= last;
    }

    // Whether a record of the lead's block from first to its last can still be kept, by the
    // block's best and the best of the other words' blocks over the same records, class by
    // class: 1 it can, 0 it cannot, -1 some required word has no posting left.
    int BlockBound(const RankQuery& query, const TabledBm25& bm25, std::size_t lead,
                   const Frontier* leadBest, std::uint32_t first, std::uint32_t last,
                   SegmentSource& segment, const TopMatches& top,
                   const std::vector<bool>& required) {
        spans.resize(cursors.size());
        for (auto& frontiers : spans)
            frontiers.clear();
        const auto note = [&](std::size_t i, const Frontier& f) { spans[i].push_back(&f); };
        for (std::size_t i = 0; i < cursors.size(); ++i) {
            if (i == lead) {
                if (leadBest) note(i, *leadBest);
            } else if (!cursors[i]->ForBlocksOver(first, last,
                                                   [&](const Frontier& f) { note(i, f); }) &&
                       required[i]) {
                return -1;
            }
        }
        return Hopeless(SpansBound(query, bm25), first, last, segment, top) ? 0 : 1;
    }

    void SweepAny(const RankQuery& query, SegmentSource& segment, const TabledBm25& bm25,
                  std::uint32_t from, std::uint32_t to,
                  const std::vector<std::pair<std::uint32_t, std::uint32_t>>& done,
                  TopMatches& top) {
        // Leaves by the most they add, least first; those whose sum cannot reach the worst
        // kept need no record be looked at for them alone.
        std::vector<std::size_t> byHighest(cursors.size());
        std::iota(byHighest.begin(), byHighest.end(), 0);
        std::sort(byHighest.begin(), byHighest.end(),
                  [&](std::size_t x, std::size_t y) { return highest[x] < highest[y]; });
        std::vector<bool> essential(cursors.size(), true);
        std::size_t optional = 0;
        double weighed = -1; // the worst kept the essential words were chosen against
        auto skip = done.begin();
        std::uint32_t doc = from;
        while (doc < to) {
            if (top.Full() && top.WorstScore() != weighed) {
                weighed = top.WorstScore();
                double sum = 0;
                for (std::size_t k = 0; k < byHighest.size(); ++k) {
                    sum += highest[byHighest[k]];
                    if (sum >= top.WorstScore()) break;
                    essential[byHighest[k]] = false;
                    optional = std::max(optional, k + 1);
                }
                if (optional == cursors.size()) return;
                // A word without which no record reaches the worst kept is required: the
                // search goes on as an AND of the required words, block by block.
                std::vector<bool> required(cursors.size(), false);
                bool any = false;
                for (std::size_t i = 0; i < cursors.size(); ++i) {
                    double others = 0; // summed as a score is, leaf by leaf
                    for (std::size_t k = 0; k < cursors.size(); ++k)
                        if (k != i) others += highest[k];
                    required[i] = others < top.WorstScore();
                    any = any || required[i];
                }
                if (any) {
                    SweepAll(query, segment, bm25, doc, to, done, top, required, true);
                    return;
                }
            }
            std::uint32_t d = kEnd;
            for (std::size_t i = 0; i < cursors.size(); ++i)
                if (essential[i]) d = std::min(d, cursors[i]->Advance(doc));
            if (d >= to) return;
            doc = d;
            if (PastDone(doc, skip, done.end())) continue;
            int c = 0;
            for (std::size_t i = 0; i < cursors.size(); ++i)
                if (essential[i] && cursors[i]->Doc() == d) c = cursors[i]->Current().lengthClass;
            if (top.Full() && optional > 0) {
                double bound = 0;
                for (std::size_t i = 0; i < cursors.size(); ++i) {
                    const double w = query.leaves[i].weight;
                    if (!essential[i])
                        bound += cursors[i]->BoundAt(d, c);
                    else if (cursors[i]->Doc() == d && w > 0)
                        bound += w * bm25.Impact(cursors[i]->Current().f2, c);
                }
                if (Hopeless(bound, d, d, segment, top)) {
                    doc = d + 1;
                    continue;
                }
            }
            for (std::size_t i = 0; i < cursors.size(); ++i)
                if (!essential[i]) cursors[i]->Advance(d);
            Offer(query, segment, top, Score(d), d);
            doc = d + 1;
        }
    }

    // The highest score a record of the stretch can have. Its terms share its length
    // class: a short record's frequencies are weighed against a short record's length only,
    // so the best of each block counts together only at a class all of them reach. Summed
    // leaf by leaf as a score is, a bound rounds as the scores it bounds.
    double JointBound(const RankQuery& query, const TabledBm25& bm25) {
        spans.resize(best.size());
        for (std::size_t i = 0; i < best.size(); ++i) {
            spans[i].clear();
            if (best[i]) spans[i].push_back(best[i]);
        }
        return SpansBound(query, bm25);
    }

    // The same where a leaf's postings over the records may stand in several blocks
    // (spans[leaf]): at each class, the most any of them adds.
    double SpansBound(const RankQuery& query, const TabledBm25& bm25) {
        classes.clear();
        for (const auto& frontiers : spans)
            for (const Frontier* f : frontiers)
                for (std::size_t k = 0; k < f->size; ++k)
                    classes.push_back(f->lengthClass[k]);
        std::sort(classes.begin(), classes.end());
        classes.erase(std::unique(classes.begin(), classes.end()), classes.end());
        double highest = 0;
        for (const int c : classes) {
            double sum = 0;
            for (std::size_t i = 0; i < spans.size(); ++i) {
                double most = 0;
                for (const Frontier* f : spans[i])
                    most = std::max(most, FrontierAt(f, c, query.leaves[i].weight, bm25));
                sum += most;
            }
            highest = std::max(highest, sum);
        }
        return highest;
    }

    // Summed leaf by leaf, as a score is.
    static double Sum(const std::vector<double>& adds) {
        double sum = 0;
        for (const double a : adds)
            sum += a;
        return sum;
    }

    std::vector<int> classes;
    std::vector<std::vector<const Frontier*>> spans;
    std::vector<double> adds, sums;
    std::vector<std::uint32_t> held;
};

// Whether the other leaves' lists hold more blocks over the records of the leaf's block
// than it holds postings: a block where its word is sparse (among the shortest records,
// one spans up to a million) is then read cheaper record by record than stretch by
// stretch, where every list's blocks over the stretch would be read.
bool SparseBlock(const RankQuery& query, SegmentSource& segment, std::size_t leaf,
                 std::uint32_t first, const BlockInfo& block) {
    const auto before = [](const BlockInfo& b, std::uint32_t doc) { return b.lastDoc < doc; };
    std::size_t over = 0;
    for (std::size_t i = 0; i < query.leaves.size(); ++i) {
        const ListHeader* list = i == leaf ? nullptr : segment.List(static_cast<int>(i));
        if (!list) continue;
        const auto from = std::lower_bound(list->blocks.begin(), list->blocks.end(), first, before);
        const auto to = std::lower_bound(from, list->blocks.end(), block.lastDoc, before);
        over += static_cast<std::size_t>(to - from) + (to != list->blocks.end());
        if (over > block.postings) return true;
    }
    return false;
}

// The stretches of records to read first: each ranked term's highest blocks, where the
// best records are likely to be, so that the sweep that follows passes over the most. A
// sparse block (SparseBlock) gives its records alone, each a stretch of one. Into highest,
// what each leaf adds at most to any record's score, found by the same scan of its blocks.
std::vector<std::pair<std::uint32_t, std::uint32_t>> Promising(const RankQuery& query,
                                                               SegmentSource& segment,
                                                               const TabledBm25& bm25, int limit,
                                                               std::vector<double>& highest) {
    highest.assign(query.leaves.size(), 0.0);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
    BlockColumns columns;
    // The best records may each stand in a block of their own.
    const std::size_t wanted = 2 + static_cast<std::size_t>(std::max(limit, 0));
    for (std::size_t i = 0; i < query.leaves.size(); ++i) {
        const ListHeader* list = segment.List(static_cast<int>(i));
        if (!list || query.leaves[i].weight <= 0) continue;
        // The wanted highest, the worst of them on top.
        std::vector<std::pair<double, std::size_t>> blocks;
        for (std::size_t b = 0; b < list->blocks.size(); ++b) {
            const BlockInfo& block = list->blocks[b];
            if (blocks.size() == wanted && !MayExceed(block, -blocks.front().first, bm25))
                continue;
            blocks.emplace_back(-Best(block, bm25), b);
            std::push_heap(blocks.begin(), blocks.end());
            if (blocks.size() > wanted) {
                std::pop_heap(blocks.begin(), blocks.end());
                blocks.pop_back();
            }
        }
        std::sort_heap(blocks.begin(), blocks.end());
        if (!blocks.empty()) highest[i] = query.leaves[i].weight * -blocks.front().first;
        for (std::size_t j = 0; j < blocks.size(); ++j) {
            const std::size_t b = blocks[j].second;
            const BlockInfo& block = list->blocks[b];
            const std::uint32_t first = b ? list->blocks[b - 1].lastDoc + 1 : 0;
            if (!SparseBlock(query, segment, i, first, block)) {
                ranges.emplace_back(first, block.lastDoc);
                continue;
            }
            if (!DecodeBlock(segment.Block(static_cast<int>(i), b), block,
                             b ? &list->blocks[b - 1] : nullptr, columns))
                throw DamagedPostings("a block of postings does not read back");
            for (std::uint32_t k = 0; k < block.postings; ++k)
                ranges.emplace_back(columns.doc[k], columns.doc[k]);
        }
    }
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::pair<std::uint32_t, std::uint32_t>> merged;
    for (const auto& range : ranges) {
        if (!merged.empty() && range.first <= merged.back().second + 1)
            merged.back().second = std::max(merged.back().second, range.second);
        else
            merged.push_back(range);
    }
    return merged;
}

constexpr int kPositionBits = 57;
constexpr std::int64_t kPositions = std::int64_t{1} << kPositionBits;

std::int64_t Place(int lengthClass, std::int64_t position) {
    return (static_cast<std::int64_t>(lengthClass) << kPositionBits) + (kPositions - 1 - position);
}

// The stretches of the segment (first and last record) that hold every record whose key
// lies in the query's span: the whole segment, or a stretch in each length class, told
// by the index perhaps with some records around it (which InSpan then turns away).
std::vector<std::pair<std::uint32_t, std::uint32_t>> Span(const RankQuery& query,
                                                          SegmentSource& segment) {
    const std::uint32_t records = segment.Records();
    if (query.firstKey == kNoFirstKey && query.lastKey == kNoLastKey) return {{0, records - 1}};
    if (query.firstKey > query.lastKey) return {};
    // position × kLengthClasses + class lies in [low, high].
    const std::int64_t low = std::max<std::int64_t>(-query.lastKey, 0);
    const std::int64_t high = query.firstKey == kNoFirstKey ? kNoLastKey : -query.firstKey;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> spans;
    for (int c = 0; c < kLengthClasses; ++c) {
        if (high < c) break;
        const std::int64_t first = low <= c ? 0 : (low - c + kLengthClasses - 1) / kLengthClasses;
        const std::int64_t last = std::min((high - c) / kLengthClasses, kPositions - 1);
        if (first > last) continue;
        const std::uint32_t from = segment.Around(Place(c, last)).first;
        const std::uint32_t to = std::min(segment.Around(Place(c, first) + 1).second, records);
        if (from >= to) continue;
        if (!spans.empty() && from <= spans.back().second + 1)
            spans.back().second = std::max(spans.back().second, to - 1);
        else
            spans.emplace_back(from, to - 1);
    }
    return spans;
}

// Runs mine on this thread and theirs on a thread of its own beside it, and rethrows what
// either threw once both are done; false, having run neither, where no thread is to be had
// (the system's limit).
template <typename Mine, typename Theirs> bool Beside(Mine mine, Theirs theirs) {
    std::exception_ptr failed;
    std::thread helper;
    try {
        helper = std::thread([&] {
            try {
                theirs();
            } catch (...) {
                failed = std::current_exception();
            }
        });
    } catch (const std::system_error&) {
        return false;
    }
    try {
        mine();
    } catch (...) {
        helper.join();
        throw;
    }
    helper.join();
    if (failed) std::rethrow_exception(failed);
    return true;
}

// A word of a search by impact: the most its rest adds at a record of each class.
struct ImpactWord {
    int leaf;
    double restAt[kLengthClasses];
};

// A record whose bound by its high postings reaches what is known to be kept.
struct Doubt {
    double bound;
    std::uint32_t doc;
};

// What the limit-th best score is known to be at least, raised by threads that find
// records apart from each other's: the most any of them knows.
class SharedFloor {
public:
    double Get() const { return value_.load(std::memory_order_relaxed); }
    void Raise(double value) {
        double seen = Get();
        while (seen < value && !value_.compare_exchange_weak(seen, value))
            ;
    }

private:
    std::atomic<double> value_{0};
};

// A segment's records in runs that the threads of a sweep take in turn, each the next that
// none has taken: the runs a thread takes rise, as its cursors must, and where another
// process slows one thread the other takes more.
class Runs {
public:
    explicit Runs(std::uint32_t records)
        : records_(records), run_(std::max(kImpactStretch, records / kRuns / 64 * 64)) {}
    // The next run, [from, to); false once every run is taken.
    bool Take(std::uint32_t& from, std::uint32_t& to) {
        const std::uint64_t run = next_.fetch_add(1, std::memory_order_relaxed);
        if (run * run_ >= records_) return false;
        from = static_cast<std::uint32_t>(run * run_);
        to = static_cast<std::uint32_t>(std::min<std::uint64_t>(from + run_, records_));
        return true;
    }

private:
    // Runs a segment is cut in, where they are not shorter than a stretch.
    static constexpr std::uint32_t kRuns = 16;
    std::atomic<std::uint32_t> next_{0};
    const std::uint32_t records_, run_;
};

// The records of the runs taken that can be kept by their high postings (impact's lists)
// and the words' rests (restSum, class by class, all of them), into doubts; the records in
// done were offered already. Stretch by stretch: each record's high postings summed, and
// that less what the rests of their words add, which is its bound less the rests of all
// words; a record without any is bounded by the rests alone, below the worst kept. Only
// the records whose sum passes what their class needs are looked at again (most hold a
// high posting, and few pass). The margin, far above rounding, keeps a bound one of a
// score summed leaf by leaf. What the limit-th best score is known to be at least, into
// shared: the scores top keeps, and the sums of the high postings of records looked at by
// any thread (each at most its score, none of them kept yet), which passes over more
// records as it rises.
void SweepHigh(const RankQuery& query, SegmentSource& segment, SegmentSource& impact,
               const TabledBm25& bm25, const std::vector<ImpactWord>& words, const double* restSum,
               Runs& runs, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& done,
               const TopMatches& top, SharedFloor& shared, std::vector<Doubt>& doubts) {
    std::vector<std::unique_ptr<Cursor>> highs;
    for (const ImpactWord& w : words)
        highs.push_back(std::make_unique<Cursor>(impact, w.leaf, query.leaves[w.leaf], bm25));
    std::priority_queue<double, std::vector<double>, std::greater<double>> known;
    for (std::size_t i = 0; i < top.Limit(); ++i)
        known.push(top.WorstScore());
    double floor = known.top();
    double need[kLengthClasses];
    auto skip = done.begin();
    // Left at 0 for the next stretch.
    std::vector<double> held(kImpactStretch, 0.0), over(kImpactStretch, 0.0);
    std::vector<std::uint8_t> classes(kImpactStretch);
    std::vector<std::uint32_t> passing(kImpactStretch * words.size());
    std::uint32_t first = 0, to = 0;
    while (true) {
        if (first >= to && !runs.Take(first, to)) break;
        std::uint32_t next = kEnd;
        for (const auto& high : highs)
            next = std::min(next, high->Advance(first));
        if (next >= to) {
            first = to;
            continue;
        }
        first = next;
        // The promising stretches' records were scored whole: their postings are not summed.
        if (Walk::PastDone(first, skip, done.end())) continue;
        std::uint32_t last = first + std::min(kImpactStretch - 1, to - 1 - first);
        if (skip != done.end() && skip->first <= last) last = skip->first - 1;
        // A record of class c can reach the floor only where its high postings add this much
        // over their words' rests; lowered by far more than rounding, so none is missed.
        floor = std::max(floor, shared.Get());
        for (int c = 0; c < kLengthClasses; ++c) {
            const double exact = floor / kMargin - restSum[c];
            need[c] = exact - (std::abs(exact) + 1) * 1e-12;
        }
        std::size_t passed = 0;
        for (std::size_t i = 0; i < words.size(); ++i)
            highs[i]->AddHigh(first, last, held.data(), over.data(), classes.data(),
                              words[i].restAt, need, passing.data(), passed);
        std::sort(passing.begin(), passing.begin() + passed);
        const auto end = std::unique(passing.begin(), passing.begin() + passed);
        for (auto at = passing.begin(); at != end; ++at) {
            const std::uint32_t j = *at;
            const double bound = (restSum[classes[j]] + over[j]) * kMargin;
            const std::uint32_t d = first + j;
            if (bound < floor || Walk::Hopeless(bound, d, d, segment, top))
                continue;
            doubts.push_back({bound, d});
            if (held[j] > floor && segment.Live(d)) {
                known.pop();
                known.push(held[j]);
                floor = std::max(floor, known.top());
                shared.Raise(floor);
            }
        }
        const std::uint32_t count = last - first + 1;
        std::fill_n(held.begin(), count, 0.0);
        std::fill_n(over.begin(), count, 0.0);
        first = last + 1;
    }
}

// Words joined by OR whose lists impact keeps split, their postings of high impact apart
// (common words, whose lists the sweep reads most of): a record holds a word's high
// posting, or its posting adds no more than the rest's largest at the record's class. Once
// the records found so far set the worst kept above what a record without any high posting
// can reach, only the high postings are read (on two threads, given second sources of
// both), and the whole lists only for the records whose bound stays in doubt.
// False, with nothing offered, where that does not hold: the sweep then reads the lists.
bool ByImpact(const RankQuery& query, SegmentSource& segment, SegmentSource& impact,
              const TabledBm25& bm25,
              const std::vector<std::pair<std::uint32_t, std::uint32_t>>& done, TopMatches& top,
              SegmentSource* other, SegmentSource* otherImpact) {
    // One word's best records stand out, and a span or a rare word lets the sweep pass over
    // most blocks: it reads few.
    if (query.root.kind != RankNode::Or || query.firstKey != kNoFirstKey ||
        query.lastKey != kNoLastKey)
        return false;
    std::vector<int> leaves;
    for (const RankNode& operand : query.root.operands) {
        if (operand.kind != RankNode::Term) return false;
        leaves.push_back(operand.leaf);
    }
    if (!top.Full() || top.WorstScore() <= 0) return false;
    // Summed leaf by leaf, as a score is; a word that adds nothing matters to no record that
    // can beat a worst kept above 0.
    std::sort(leaves.begin(), leaves.end());
    leaves.erase(std::unique(leaves.begin(), leaves.end()), leaves.end());
    // Where most postings score alike the high parts hold most of them (a heading's list,
    // whose records all hold it once): the sweep's bounds then pass over more. Told from
    // the rests, before the high parts' headers are read; the shortest lists' first, as a
    // rare word's is not split.
    std::vector<std::pair<std::size_t, int>> byLength;
    for (const int leaf : leaves) {
        const ListHeader* whole = segment.List(leaf);
        if (query.leaves[leaf].weight > 0 && whole) byLength.emplace_back(whole->postings, leaf);
    }
    std::sort(byLength.begin(), byLength.end());
    std::vector<ImpactWord> words;
    std::size_t highPostings = 0, wholePostings = 0;
    for (const auto& [postings, leaf] : byLength) {
        const RankLeaf& info = query.leaves[leaf];
        const ListRest* rest = impact.Rest(leaf);
        if (!rest) return false;
        highPostings += rest->high;
        wholePostings += postings;
        ImpactWord w{leaf, {}};
        for (int c = 0; c < kLengthClasses; ++c)
            w.restAt[c] = rest->f2[c] ? info.weight * bm25.Impact(rest->f2[c], c) : 0;
        words.push_back(w);
    }
    if (words.empty() || highPostings * kHighShare > wholePostings) return false;
    std::sort(words.begin(), words.end(),
              [](const ImpactWord& x, const ImpactWord& y) { return x.leaf < y.leaf; });
    for (const ImpactWord& w : words) {
        const ListHeader* high = impact.List(w.leaf);
        if (!high || high->postings != impact.Rest(w.leaf)->high)
            throw DamagedPostings("a split's postings are not those its rest counts");
    }
    double restSum[kLengthClasses]; // what the rests add at most, class by class
    for (int c = 0; c < kLengthClasses; ++c) {
        restSum[c] = 0;
        for (const ImpactWord& w : words)
            restSum[c] += w.restAt[c];
        if (restSum[c] * kMargin >= top.WorstScore()) return false;
    }

    std::vector<Doubt> doubts, theirs;
    Runs runs(segment.Records());
    SharedFloor shared;
    shared.Raise(top.WorstScore());
    // The second thread with a formula of its own (its tables fill as it goes) and the
    // second sources; top is only read meanwhile.
    const TabledBm25 theirFormula(query.averageLength);
    // Both threads may ask top for the worst kept's key, on a tie: read here, on this one.
    const bool two = other && otherImpact;
    if (two) top.WorstKey();
    if (two &&
        Beside(
            [&] {
                SweepHigh(query, segment, impact, bm25, words, restSum, runs, done, top, shared,
                          doubts);
            },
            [&] {
                SweepHigh(query, *other, *otherImpact, theirFormula, words, restSum, runs, done,
                          top, shared, theirs);
            })) {
        doubts.insert(doubts.end(), theirs.begin(), theirs.end());
    } else {
        SweepHigh(query, segment, impact, bm25, words, restSum, runs, done, top, shared, doubts);
    }
    const double floor = shared.Get();

    // The records in doubt, highest bound first, a few at a time in the lists' order: the
    // first raise the worst kept past the bounds of most of the rest. A word's posting is
    // read from its high part where that holds it (just read, and denser), else from its
    // whole list; summed leaf by leaf, as Score does.
    doubts.erase(std::remove_if(doubts.begin(), doubts.end(),
                                [&](const Doubt& x) { return x.bound < floor; }),
                 doubts.end());
    std::sort(doubts.begin(), doubts.end(), [](const Doubt& x, const Doubt& y) {
        return x.bound > y.bound || (x.bound == y.bound && x.doc < y.doc);
    });
    std::vector<Doubt> batch;
    for (std::size_t next = 0; next < doubts.size();) {
        batch.clear();
        for (; next < doubts.size() && batch.size() < kDoubtsAtOnce; ++next) {
            const Doubt& d = doubts[next];
            if (d.bound >= floor && !Walk::Hopeless(d.bound, d.doc, d.doc, segment, top))
                batch.push_back(d);
        }
        if (batch.empty()) break;
        std::sort(batch.begin(), batch.end(),
                  [](const Doubt& x, const Doubt& y) { return x.doc < y.doc; });
        // Cursors go forward only: new ones for each batch.
        std::vector<std::unique_ptr<Cursor>> highs, wholes;
        for (const ImpactWord& w : words) {
            const RankLeaf& info = query.leaves[w.leaf];
            highs.push_back(std::make_unique<Cursor>(impact, w.leaf, info, bm25));
            wholes.push_back(std::make_unique<Cursor>(segment, w.leaf, info, bm25));
        }
        for (const Doubt& doubt : batch) {
            double score = 0;
            for (std::size_t i = 0; i < words.size(); ++i) {
                if (highs[i]->Advance(doubt.doc) == doubt.doc)
                    score += highs[i]->Impact();
                else if (wholes[i]->Advance(doubt.doc) == doubt.doc)
                    score += wholes[i]->Impact();
            }
            Walk::Offer(query, segment, top, score, doubt.doc);
        }
    }
    return true;
}

} // namespace

std::int64_t PlaceOfKey(std::int64_t key) {
    const std::int64_t n = -key; // keys are at most 0
    return Place(static_cast<int>(n % kLengthClasses), n / kLengthClasses);
}

std::int64_t KeyOfPlace(std::int64_t place) {
    const std::int64_t lengthClass = place >> kPositionBits;
    const std::int64_t position = kPositions - 1 - (place & (kPositions - 1));
    return -(position * kLengthClasses + lengthClass);
}

// Words joined by AND or OR alone are the sweeps that read their words' blocks side by
// side; an AND reads its shortest list through, an OR its longest.
bool WorthSplitting(const RankQuery& query, SegmentSource& segment) {
    const RankNode& root = query.root;
    if (root.kind != RankNode::And && root.kind != RankNode::Or) return false;
    if (segment.Records() < kSplitRecords) return false;
    std::size_t shortest = std::numeric_limits<std::size_t>::max(), longest = 0;
    for (const RankNode& operand : root.operands) {
        if (operand.kind != RankNode::Term) return false;
        const ListHeader* list = segment.List(operand.leaf);
        const std::size_t postings = list ? list->postings : 0;
        shortest = std::min(shortest, postings);
        longest = std::max(longest, postings);
    }
    return (root.kind == RankNode::And ? shortest : longest) >= kSplitPostings;
}

namespace {

using Ranges = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// The ranges of span before middle, and those at or after it.
std::pair<Ranges, Ranges> SplitAt(const Ranges& span, std::uint32_t middle) {
    std::pair<Ranges, Ranges> halves;
    for (const auto& [first, last] : span) {
        if (first < middle) halves.first.emplace_back(first, std::min(last, middle - 1));
        if (last >= middle) halves.second.emplace_back(std::max(first, middle), last);
    }
    return halves;
}

} // namespace

namespace {

// RankSegment's search, top reading the keys of segment's records.
void SearchSegment(const RankQuery& query, SegmentSource& segment, TopMatches& top, int limit,
                   SegmentSource* other, SegmentSource* impact, SegmentSource* otherImpact) {
    if (segment.Records() == 0) return;
    const TabledBm25 bm25(query.averageLength);
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> span = Span(query, segment);
    if (span.empty()) return;
    // The promising stretches within the span.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> first;
    std::vector<double> highest;
    auto s = span.begin();
    for (const auto& range : Promising(query, segment, bm25, limit, highest)) {
        while (s != span.end() && s->second < range.first)
            ++s;
        for (auto t = s; t != span.end() && t->first <= range.second; ++t)
            first.emplace_back(std::max(range.first, t->first), std::min(range.second, t->second));
    }
    {
        Walk walk(query, segment, bm25, highest);
        for (const auto& range : first) {
            if (range.first == range.second)
                walk.Look(query, segment, range.first, top);
            else
                walk.Sweep(query, segment, bm25, range.first, range.second + 1, {}, top);
        }
    }
    if (impact && ByImpact(query, segment, *impact, bm25, first, top, other, otherImpact)) return;
    const auto sweep = [&](SegmentSource& source, const TabledBm25& formula,
                           const std::vector<std::pair<std::uint32_t, std::uint32_t>>& ranges,
                           TopMatches& into) {
        Walk walk(query, source, formula, highest);
        for (const auto& range : ranges)
            walk.Sweep(query, source, formula, range.first, range.second + 1, first, into);
    };
    if (!other) {
        sweep(segment, bm25, span, top);
        return;
    }
    // Halves of the longest list's blocks over the span (of the records where it has few),
    // each swept from the best found so far: records differ in how many words they hold,
    // long ones more. The lists are all read here first, for other to take; the second
    // half has a formula of its own, whose tables fill as it goes.
    const ListHeader* longest = nullptr;
    for (std::size_t i = 0; i < query.leaves.size(); ++i) {
        const ListHeader* list = segment.List(static_cast<int>(i));
        if (list && (!longest || list->postings > longest->postings)) longest = list;
    }
    std::uint32_t middle = span.front().first + (span.back().second - span.front().first) / 2;
    if (longest && longest->blocks.size() >= 4) {
        const auto& blocks = longest->blocks;
        const auto over = [&](std::uint32_t doc) {
            return std::lower_bound(
                blocks.begin(), blocks.end(), doc,
                [](const BlockInfo& b, std::uint32_t d) { return b.lastDoc < d; });
        };
        const auto low = over(span.front().first);
        const auto high = std::min(over(span.back().second), blocks.end() - 1);
        if (high > low + 1) middle = (low + (high - low) / 2)->lastDoc + 1;
    }
    const std::pair<Ranges, Ranges> halves = SplitAt(span, middle);
    const Ranges& mine = halves.first;
    const Ranges& others = halves.second;
    TopMatches theirs = top;
    theirs.ReadKeysWith([other](std::uint32_t doc) { return other->Key(doc); });
    const TabledBm25 theirFormula(query.averageLength);
    if (!Beside([&] { sweep(segment, bm25, mine, top); },
                [&] { sweep(*other, theirFormula, others, theirs); })) {
        // No thread to be had: the whole sweep on this one.
        sweep(segment, bm25, span, top);
        return;
    }
    top.Merge(theirs);
}

} // namespace

void RankSegment(const RankQuery& query, SegmentSource& segment, TopMatches& top, int limit,
                 SegmentSource* other, SegmentSource* impact, SegmentSource* otherImpact) {
    top.ReadKeysWith([&segment](std::uint32_t doc) { return segment.Key(doc); });
    try {
        SearchSegment(query, segment, top, limit, other, impact, otherImpact);
    } catch (...) {
        top.ReadKeysWith(nullptr); // the segment goes
        throw;
    }
    top.Settle();
}

} // namespace tamix::server
