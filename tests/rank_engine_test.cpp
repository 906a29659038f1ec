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

// A segment held in memory, made with the encoder the index uses. Split by impact, its
// lists of splitFrom postings or more are their postings of high impact.
class MemorySegment : public SegmentSource {
public:
    MemorySegment(std::vector<Record> records, const std::vector<int>& leafTerms,
                  std::size_t splitFrom = 0, double averageLength = 0)
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
            if (splitFrom > 0 && postings.size() >= splitFrom) {
                std::vector<Posting> high;
                SplitByImpact(postings.data(), postings.size(), averageLength, high, stored.rest);
                postings = high;
                stored.split = true;
            }
            if (!postings.empty() || stored.split) {
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
    std::int64_t Key(std::uint32_t doc) override {
        ++keysRead;
        return records_[doc].key;
    }
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
    const ListRest* Rest(int leaf) override {
        return lists_[leaf].split ? &lists_[leaf].rest : nullptr;
    }

    std::size_t blocksRead = 0, keysRead = 0;
    bool damaged = false; // each block reads back as a byte too short

private:
    struct Stored {
        bool present = false, split = false;
        ListRest rest;
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
    int byImpact = 0; // rounds that read postings of high impact
    for (int round = 0; round < 300; ++round) {
        // Few classes and frequencies, most of them the lowest, so that many records tie. In
        // a round of four, every word is in most records: their blocks are dense, and scored
        // a stretch at a time.
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
                    r.f2[t] = random() % 4 == 0   ? 0
                              : random() % 8 == 0 ? 2 + 2 * (random() % 8)
                                                  : 2;
            // A word of the shortest records alone: its list ends long before the others.
            r.f2.erase(kTerms - 1);
            if (r.lengthClass == 20 && random() % 2) r.f2[kTerms - 1] = 2 + 2 * (random() % 3);
            // Every other round, a rare word: a block of few postings over most of the
            // others' blocks.
            if (round % 2) r.f2.erase(kTerms - 2);
            if (round % 2 && random() % 150 == 0) r.f2[kTerms - 2] = 2 + 2 * (random() % 3);
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

        // With lists split by impact (a split's average length not the search's), on two
        // threads every other round.
        TopMatches impact(k);
        const std::size_t from = 1 + random() % 40;
        const double average = 50 + random() % 100;
        MemorySegment full(records, terms), high(records, terms, from, average);
        MemorySegment fullToo(records, terms), highToo(records, terms, from, average);
        const bool inHalves = round % 2 == 0;
        RankSegment(q, full, impact, k, inHalves ? &fullToo : nullptr, &high,
                    inHalves ? &highToo : nullptr);
        ASSERT_EQ(impact.Take(), expected) << "round " << round << " by impact";
        byImpact += high.blocksRead > 0;
    }
    EXPECT_GT(byImpact, 15);
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

// One word of every field, at an average length of 100.
RankQuery OneWord() {
    RankQuery q;
    q.leaves = {{1.0, false}};
    q.averageLength = 100;
    return q;
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
    MemorySegment segment(records, {0});
    TopMatches top(10);
    RankSegment(OneWord(), segment, top, 10);
    EXPECT_EQ(top.Take().size(), 10u);
    EXPECT_LT(segment.blocksRead, 30u) << "of " << 100000 / kBlockPostings;
}

// Records that each score above all before them, none alike: every one the search reads
// is kept for a while, but only the keys of those kept at the end are read (from disk, a
// key is a read of its own).
TEST(RankEngine, ReadsTheKeysOfTheRecordsKeptAlone) {
    std::vector<Record> records;
    for (int i = 0; i < 3000; ++i) {
        Record r;
        r.lengthClass = 20;
        r.key = -static_cast<std::int64_t>(i) * 64 - 20;
        r.f2[0] = 2 + 3000 - i;
        records.push_back(r);
    }
    MemorySegment segment(records, {0});
    TopMatches top(10);
    RankSegment(OneWord(), segment, top, 10);
    EXPECT_EQ(top.Take(), Plainly(OneWord(), {0}, records, 10));
    EXPECT_LE(segment.keysRead, 10u);
}

// Words 0 to words - 1 joined by OR, each of the ranked fields, at an average length of 100.
RankQuery WordsOred(int words) {
    RankQuery q;
    q.root.kind = RankNode::Or;
    for (int t = 0; t < words; ++t) {
        q.root.operands.push_back(RankNode{RankNode::Term, t, {}});
        q.leaves.push_back({1.0, true});
    }
    q.averageLength = 100;
    return q;
}

// Four words in most records joined by OR, the best records few and in no particular place,
// each with a posting of low impact that puts it before many newer rivals: with the lists split
// by impact, few blocks of the whole lists are read, and the answer is every match's.
TEST(RankEngine, ReadsFewBlocksOfCommonWordsSplitByImpact) {
    std::mt19937 random(5);
    std::vector<Record> records;
    for (int i = 0; i < 60000; ++i) {
        Record r;
        // Apart among records of their class: the newer rivals many more than a search
        // reads first.
        const bool best = i < 10000 && i % 1000 == 500, rival = i >= 10000 && i % 250 == 100;
        r.lengthClass = best || rival ? 20 : 20 + random() % 10;
        r.key = -static_cast<std::int64_t>(i) * 64 - r.lengthClass;
        for (int t = 0; t < 4; ++t) {
            if (best || rival)
                r.f2[t] = t < 3 ? 20 : 2;
            else if (random() % 10 != 0)
                r.f2[t] = t == 3 && i % 50 == 7 ? 16 : 2 * (1 + random() % 2);
        }
        if (rival) r.f2.erase(3);
        records.push_back(r);
    }
    RankQuery q = WordsOred(4);
    const std::vector<int> terms = {0, 1, 2, 3};
    MemorySegment full(records, terms), high(records, terms, 1000, 100);
    TopMatches top(10);
    RankSegment(q, full, top, 10, nullptr, &high);
    const std::vector<std::int64_t> keys = top.Take();
    EXPECT_EQ(keys, Plainly(q, terms, records, 10));
    for (const std::int64_t key : keys) // before every rival
        EXPECT_EQ(-key / 64 % 1000, 500) << key;
    const std::size_t blocks = 4 * 54000 / kBlockPostings;
    EXPECT_LT(full.blocksRead, blocks / 10) << "of some " << blocks;
    EXPECT_LT(high.blocksRead, blocks / 4) << "of some " << blocks;
    // The same on two threads.
    MemorySegment fullToo(records, terms), highToo(records, terms, 1000, 100);
    MemorySegment fullThird(records, terms), highThird(records, terms, 1000, 100);
    TopMatches twoThreads(10);
    RankSegment(q, fullToo, twoThreads, 10, &fullThird, &highToo, &highThird);
    EXPECT_EQ(twoThreads.Take(), keys);
    // Each run is read by the thread that takes it, as they are scheduled: together they read
    // what one thread does, but for blocks that lie across two runs.
    EXPECT_LE(highToo.blocksRead + highThird.blocksRead, high.blocksRead + 4 * 4);

    // Where the postings of high impact are one-word records' alone, those the search reads
    // first, records that hold both words at a lower impact beat them: the lists are then
    // read whole.
    std::vector<Record> apart;
    for (int i = 0; i < 20000; ++i) {
        Record r;
        r.lengthClass = i % 10 == 0 ? 20 : 21 + i % 9;
        r.key = -static_cast<std::int64_t>(i) * 64 - r.lengthClass;
        if (i % 10 == 0)
            r.f2[i % 20 == 0 ? 0 : 1] = 40;
        else
            r.f2 = {{0, 4}, {1, 4}};
        apart.push_back(r);
    }
    q.root.operands.resize(2);
    q.leaves.resize(2);
    MemorySegment wholeApart(apart, {0, 1}), highApart(apart, {0, 1}, 1000, 100);
    TopMatches both(5);
    RankSegment(q, wholeApart, both, 5, nullptr, &highApart);
    EXPECT_EQ(both.Take(), Plainly(q, {0, 1}, apart, 5));
}

// Records whose bound by their high postings runs far above their score (a word they lack
// whose rest is high at their class) must not raise what the search takes as known of the
// best scores past records bound tightly: those seen after them, and better, come first.
TEST(RankEngine, LooselyBoundRecordsDoNotHideBetterOnes) {
    std::vector<Record> records;
    const auto add = [&](int lengthClass, std::map<int, std::uint32_t> f2) {
        Record r;
        r.lengthClass = lengthClass;
        r.key = -static_cast<std::int64_t>(records.size()) * 64 - lengthClass;
        r.f2 = std::move(f2);
        records.push_back(r);
    };
    for (int i = 0; i < 3000; ++i) // one word each, read first: the worst kept is theirs
        add(20, {{i % 3, 60}});
    for (int i = 0; i < 10; ++i) // two words high, the third lacked: bound far above score
        add(21, {{0, 20}, {1, 20}});
    for (int i = 0; i < 3000; ++i) // the third word's rest high at that class
        add(21, {{2, 4}});
    for (int i = 0; i < 5; ++i) // two words high and the third low: the best, bound tightly
        add(22, {{0, 20}, {1, 20}, {2, 2}});
    for (int i = 0; i < 3000; ++i)
        add(30, {{0, 2}, {1, 2}, {2, 2}});
    RankQuery q = WordsOred(3);
    const std::vector<int> terms = {0, 1, 2};
    MemorySegment full(records, terms), high(records, terms, 1000, 100);
    TopMatches top(5);
    RankSegment(q, full, top, 5, nullptr, &high);
    const std::vector<std::int64_t> expected = Plainly(q, terms, records, 5);
    EXPECT_EQ(top.Take(), expected);
    EXPECT_GT(high.blocksRead, 0u);
    for (const std::int64_t key : expected) // the five of the third kind
        EXPECT_EQ(-key % 64, 22) << key;
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
