// The ranking engine against every record scored plainly: random records, random searches
// of AND, OR and NOT, in segments of any size, with deleted records and ties.
#include "server/rank/engine.h"
#include "server/rank/postings.h"
#include "support/plain_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

namespace tamix::server {
namespace {

struct Record {
    std::int64_t key = 0;
    int lengthClass = 0;
    std::map<int, std::uint32_t> f2; // term -> f2 (0: in the author list only)
    bool live = true;
};

// A segment held in memory, made with the encoder the index uses.
class MemorySegment : public SegmentSource {
public:
    MemorySegment(std::vector<Record> records, const std::vector<int>& leafTerms)
        : records_(std::move(records)) {
        std::sort(records_.begin(), records_.end(), [](const Record& x, const Record& y) {
            return PlaceOfKey(x.key) < PlaceOfKey(y.key);
        });
        for (const int term : leafTerms) {
            std::vector<Posting> postings;
            for (std::uint32_t doc = 0; doc < records_.size(); ++doc) {
                const auto found = records_[doc].f2.find(term);
                if (found != records_[doc].f2.end())
                    postings.push_back(
                        {doc, found->second, static_cast<std::uint8_t>(records_[doc].lengthClass)});
            }
            Stored stored;
            if (!postings.empty()) {
                std::string header;
                EncodeList(postings.data(), postings.size(), header, stored.data);
                EXPECT_TRUE(ParseHeader(header, stored.header));
                stored.present = true;
            }
            lists_.push_back(std::move(stored));
        }
    }
    const ListHeader* List(int leaf) override {
        return lists_[leaf].present ? &lists_[leaf].header : nullptr;
    }
    std::string_view Block(int leaf, std::size_t block) override {
        const BlockInfo& info = lists_[leaf].header.blocks[block];
        ++blocksRead;
        return std::string_view(lists_[leaf].data).substr(info.offset, info.size - damaged);
    }
    std::int64_t Key(std::uint32_t doc) override { return records_[doc].key; }
    // Some keys of the record's class around its own, and at times the key alone.
    std::pair<std::int64_t, std::int64_t> KeySpan(std::uint32_t doc) override {
        const std::int64_t key = records_[doc].key;
        return {key - kLengthClasses * 20000 * (doc % 3), key + kLengthClasses * 20000 * (doc % 4)};
    }
    // Told to the chunk of 64, as the index tells it, so that records around a span are
    // offered and must be turned away.
    std::pair<std::uint32_t, std::uint32_t> Around(std::int64_t place) override {
        const auto below = [](const Record& r, std::int64_t p) { return PlaceOfKey(r.key) < p; };
        const auto first = static_cast<std::uint32_t>(
            std::lower_bound(records_.begin(), records_.end(), place, below) - records_.begin());
        const auto records = static_cast<std::uint32_t>(records_.size());
        return {first / 64 * 64, std::min(records, (first + 63) / 64 * 64)};
    }
    std::uint32_t Records() override { return static_cast<std::uint32_t>(records_.size()); }
    bool Live(std::uint32_t doc) override { return records_[doc].live; }

    std::size_t blocksRead = 0;
    bool damaged = false; // each block reads back as a byte too short

private:
    struct Stored {
        bool present = false;
        ListHeader header;
        std::string data;
    };
    std::vector<Record> records_;
    std::vector<Stored> lists_;
};

// Every match scored plainly: the best k keys.
std::vector<std::int64_t> Plainly(const RankQuery& q, const std::vector<int>& terms,
                                  const std::vector<Record>& records, int k) {
    const Bm25 bm25(q.averageLength);
    std::vector<std::pair<double, std::int64_t>> scored;
    for (const Record& r : records) {
        const auto holds = [&](const RankNode& leaf) {
            const auto found = r.f2.find(terms[leaf.leaf]);
            return found != r.f2.end() && (!q.leaves[leaf.leaf].rankedOnly || found->second > 0);
        };
        if (!r.live || r.key < q.firstKey || r.key > q.lastKey ||
            !test::PlainlyMatches(q.root, holds))
            continue;
        double score = 0;
        test::PlainlyCounted(q.root, holds, [&](const RankNode& leaf, bool counts) {
            const RankLeaf& term = q.leaves[leaf.leaf];
            if (counts && term.weight > 0)
                score += term.weight * bm25.Impact(r.f2.at(terms[leaf.leaf]), r.lengthClass);
        });
        scored.emplace_back(-score, r.key);
    }
    std::sort(scored.begin(), scored.end());
    std::vector<std::int64_t> keys;
    for (std::size_t i = 0; i < scored.size() && static_cast<int>(i) < k; ++i)
        keys.push_back(scored[i].second);
    return keys;
}

RankNode RandomTree(std::mt19937& random, int depth, int& leaves) {
    if (depth == 0 || random() % 3 == 0) {
        RankNode leaf;
        leaf.leaf = leaves++;
        return leaf;
    }
    RankNode node;
    node.kind = static_cast<RankNode::Kind>(1 + random() % 3);
    const int operands = 2 + random() % 2;
    for (int i = 0; i < operands; ++i)
        node.operands.push_back(RandomTree(random, depth - 1, leaves));
    return node;
}

TEST(RankEngine, EqualsEveryMatchScoredPlainlyTiesIncluded) {
    std::mt19937 random(7);
    constexpr int kTerms = 10;
    for (int round = 0; round < 300; ++round) {
        // Few classes and frequencies, so that many records tie. In a round of four, every
        // word is in most records: their blocks are dense, and scored a stretch at a time.
        const bool dense = round % 4 == 3;
        std::vector<Record> records;
        const int count = 1 + random() % 3000;
        for (int i = 0; i < count; ++i) {
            Record r;
            r.key = -static_cast<std::int64_t>(random() % 100000) * 64;
            r.lengthClass = 20 + random() % 4;
            r.key -= r.lengthClass;
            for (int t = 0; t < kTerms; ++t)
                if (dense ? random() % 10 != 0 : random() % (t + 2) == 0)
                    r.f2[t] = random() % 4 == 0 ? 0 : 2 + 2 * (random() % 3);
            // A word of the shortest records alone: its list ends long before the others.
            r.f2.erase(kTerms - 1);
            if (r.lengthClass == 20 && random() % 2) r.f2[kTerms - 1] = 2 + 2 * (random() % 3);
            r.live = random() % 10 != 0;
            records.push_back(r);
        }
        std::sort(records.begin(), records.end(),
                  [](const Record& x, const Record& y) { return x.key < y.key; });
        records.erase(std::unique(records.begin(), records.end(),
                                  [](const Record& x, const Record& y) { return x.key == y.key; }),
                      records.end());

        int leaves = 0;
        RankQuery q;
        q.root = RandomTree(random, 3, leaves);
        // Words joined by OR alone, as most searches and every similar-articles search are,
        // take a path of their own: give it a third of the rounds. So do words joined by AND
        // alone: the dense rounds' others.
        if (round % 3 == 1 || dense) {
            q.root = RankNode{round % 3 == 1 ? RankNode::Or : RankNode::And, 0, {}};
            leaves = 2 + random() % 4;
            for (int i = 0; i < leaves; ++i)
                q.root.operands.push_back(RankNode{RankNode::Term, i, {}});
        }
        std::vector<int> terms;
        for (int i = 0; i < leaves; ++i) {
            terms.push_back(random() % kTerms);
            q.leaves.push_back(
                {random() % 5 == 0 ? 0.0 : 0.5 + (random() % 4) * 0.25, random() % 3 == 0});
        }
        q.averageLength = 50 + random() % 100;
        if (round % 5 == 0) {
            q.firstKey = -static_cast<std::int64_t>(random() % 100000) * 64;
            q.lastKey = q.firstKey + static_cast<std::int64_t>(random() % 50000) * 64;
        }
        const int k = 1 + random() % 40;

        // In one segment, the same swept in halves on two threads, and split into three
        // segments of any sizes.
        TopMatches whole(k);
        MemorySegment segment(records, terms);
        RankSegment(q, segment, whole, k);
        const std::vector<std::int64_t> expected = Plainly(q, terms, records, k);
        ASSERT_EQ(whole.Take(), expected) << "round " << round;

        TopMatches halves(k);
        MemorySegment first(records, terms), second(records, terms);
        RankSegment(q, first, halves, k, &second);
        ASSERT_EQ(halves.Take(), expected) << "round " << round << " in halves";

        std::vector<Record> parts[3];
        for (const Record& r : records)
            parts[random() % 3].push_back(r);
        TopMatches split(k);
        for (auto& part : parts) {
            MemorySegment piece(part, terms);
            RankSegment(q, piece, split, k);
        }
        ASSERT_EQ(split.Take(), expected) << "round " << round << " in three segments";
    }
}

// Lists read back as written, a common word's in its records' bitmap: under two bytes a
// posting where gaps, frequencies and classes took three.
TEST(RankEngine, ListsReadBackAndACommonWordsTakeUnderTwoBytesAPosting) {
    std::mt19937 random(3);
    for (const std::uint32_t every : {1u, 2u, 3u, 50u, 70000u}) {
        std::vector<Posting> postings;
        std::uint32_t doc = 0;
        for (int i = 0; i < 5000; ++i) {
            doc += 1 + random() % every;
            postings.push_back({doc, 1 + static_cast<std::uint32_t>(random() % 300),
                                static_cast<std::uint8_t>(20 + i / 700)});
        }
        std::string header, data;
        EncodeList(postings.data(), postings.size(), header, data);
        ListHeader parsed;
        ASSERT_TRUE(ParseHeader(header, parsed));
        BlockColumns read;
        for (std::size_t b = 0; b < parsed.blocks.size(); ++b) {
            const BlockInfo& block = parsed.blocks[b];
            ASSERT_TRUE(DecodeBlock(std::string_view(data).substr(block.offset, block.size), block,
                                    b ? &parsed.blocks[b - 1] : nullptr, read));
            for (std::uint32_t i = 0; i < block.postings; ++i) {
                const Posting& p = postings[b * kBlockPostings + i];
                ASSERT_EQ(read.doc[i], p.doc);
                ASSERT_EQ(read.f2[i], p.f2);
                ASSERT_EQ(read.lengthClass[i], p.lengthClass);
            }
        }
        if (every <= 2) {
            EXPECT_LT(data.size(), 2 * postings.size()) << "one in " << every;
        }
    }
}

// A term in most records, the best of them few and in no particular place: most blocks
// are passed over unread.
TEST(RankEngine, ReadsFewBlocksOfACommonTerm) {
    std::vector<Record> records;
    for (int i = 0; i < 100000; ++i) {
        Record r;
        r.lengthClass = 25 + (i * 7919) % 5;
        r.key = -static_cast<std::int64_t>(i) * 64 - r.lengthClass;
        r.f2[0] = 2;
        if (i % 9973 == 5000) {
            r.f2[0] = 12;
            r.lengthClass = 20;
            r.key = -static_cast<std::int64_t>(i) * 64 - 20;
        }
        records.push_back(r);
    }
    RankQuery q;
    q.leaves = {{1.0, false}};
    q.averageLength = 100;
    MemorySegment segment(records, {0});
    TopMatches top(10);
    RankSegment(q, segment, top, 10);
    EXPECT_EQ(top.Take().size(), 10u);
    EXPECT_LT(segment.blocksRead, 30u) << "of " << 100000 / kBlockPostings;
}

// Blocks that do not read back, on either thread of a search in halves: the caller gets
// the error, and no thread is left running.
TEST(RankEngine, ADamagedBlockOnEitherThreadReachesTheCaller) {
    std::vector<Record> records;
    for (int i = 0; i < 20000; ++i) {
        Record r;
        r.lengthClass = 20 + i % 3;
        r.key = -static_cast<std::int64_t>(i) * 64 - r.lengthClass;
        r.f2 = {{0, 2 + 2 * (i % 3)}, {1, 2 + 2 * (i % 2)}};
        records.push_back(r);
    }
    RankQuery q;
    q.root = RankNode{RankNode::Or, 0, {{RankNode::Term, 0, {}}, {RankNode::Term, 1, {}}}};
    q.leaves = {{1.0, false}, {1.0, false}};
    q.averageLength = 100;
    for (const bool helperDamaged : {false, true}) {
        MemorySegment first(records, {0, 1}), second(records, {0, 1});
        (helperDamaged ? second : first).damaged = true;
        TopMatches top(10);
        EXPECT_THROW(RankSegment(q, first, top, 10, &second), DamagedPostings) << helperDamaged;
        EXPECT_EQ(second.blocksRead > 0, helperDamaged);
    }
}

} // namespace
} // namespace tamix::server
