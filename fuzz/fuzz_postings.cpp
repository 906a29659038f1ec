// The ranking engine's readers over bytes from a damaged index file: a list's header and
// blocks, a record's encoded terms, a segment's keys, and the engine ranking over a
// segment made of them. Damage is refused (false, or DamagedPostings), never read past.
//
// The input: a header's length (one byte), the header, then the data; a search over the
// one term, then the same term twice (AND, OR) runs over them, also with the list as the
// postings of high impact of a split whose rest the data's first bytes give (of a whole
// list said to be four times as long). The whole input is read as a split's rest too.
#include "check.h"

#include "server/index/ranking.h"
#include "server/rank/engine.h"
#include "server/rank/postings.h"

#include <algorithm>
#include <iterator>
#include <vector>

using namespace tamix;
using namespace tamix::server;

namespace {

// One list of postings as the fuzzer gives it, in a segment of as many records as it names.
class FuzzedSegment : public SegmentSource {
public:
    FuzzedSegment(const ListHeader& header, std::string_view data, const ListRest* rest = nullptr)
        : header_(header), data_(data), rest_(rest) {}
    const ListRest* Rest(int) override { return rest_; }
    const ListHeader* List(int) override { return &header_; }
    std::string_view Block(int, std::size_t block) override {
        const BlockInfo& info = header_.blocks[block];
        if (info.offset > data_.size() || info.size > data_.size() - info.offset)
            throw DamagedPostings("a block past the data");
        return data_.substr(info.offset, info.size);
    }
    std::int64_t Key(std::uint32_t doc) override {
        FUZZ_CHECK(doc < Records());
        return -static_cast<std::int64_t>(Records() - doc) * kLengthClasses;
    }
    std::pair<std::uint32_t, std::uint32_t> Around(std::int64_t) override { return {0, 0}; }
    std::uint32_t Records() override {
        return header_.blocks.empty() ? 0 : header_.blocks.back().lastDoc + 1;
    }
    bool Live(std::uint32_t doc) override {
        FUZZ_CHECK(doc < Records());
        return doc % 7 != 3;
    }

private:
    const ListHeader& header_;
    std::string_view data_;
    const ListRest* rest_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view input = fuzz::Bytes(bytes, size);
    if (input.empty()) return 0;

    // A record's terms and a chunk of keys, read from the whole input.
    std::size_t terms = 0;
    ForEachEncodedTerm(input, [&](std::string_view term, std::uint32_t) {
        FUZZ_CHECK(term.size() <= input.size());
        ++terms;
    });
    std::vector<std::int64_t> keys;
    if (DecodeKeyChunk(-1000000, input, keys)) {
        FUZZ_CHECK(!keys.empty() && keys.size() <= 1024);
        for (std::size_t i = 1; i < keys.size(); ++i)
            FUZZ_CHECK(keys[i] > keys[i - 1]);
    }

    ListRest rest;
    if (ParseRest(input, rest)) {
        ListRest again;
        FUZZ_CHECK(ParseRest(EncodeRest(rest), again));
        FUZZ_CHECK(std::equal(std::begin(rest.f2), std::end(rest.f2), std::begin(again.f2)));
    }

    const std::size_t headerSize = static_cast<unsigned char>(input[0]);
    if (headerSize > input.size() - 1) return 0;
    ListHeader header;
    if (!ParseHeader(input.substr(1, headerSize), header)) return 0;
    const std::string_view data = input.substr(1 + headerSize);
    BlockColumns block;
    for (std::size_t b = 0; b < header.blocks.size(); ++b) {
        const BlockInfo& info = header.blocks[b];
        FUZZ_CHECK(info.postings >= 1 && info.postings <= kBlockPostings);
        if (info.offset > data.size() || info.size > data.size() - info.offset) continue;
        if (DecodeBlock(data.substr(info.offset, info.size), info, b ? &header.blocks[b - 1] : nullptr,
                        block)) {
            for (std::uint32_t i = 0; i < info.postings; ++i) {
                FUZZ_CHECK(block.doc[i] <= info.lastDoc && block.f2[i] <= info.maxF2);
                FUZZ_CHECK(block.lengthClass[i] < kLengthClasses);
            }
        }
    }

    FuzzedSegment segment(header, data);
    for (std::size_t c = 0; c < kLengthClasses; ++c)
        rest.f2[c] = c < data.size() ? static_cast<unsigned char>(data[c]) : 0;
    rest.high = header.postings;
    FuzzedSegment high(header, data, &rest);
    // The whole list, as far as a search by impact asks, holds many more.
    ListHeader whole = header;
    whole.postings *= 4;
    FuzzedSegment wide(whole, data);
    RankQuery query;
    query.leaves = {{1.0, false}, {0.5, true}};
    query.averageLength = 100;
    for (const RankNode::Kind kind : {RankNode::Term, RankNode::And, RankNode::Or, RankNode::Not}) {
        query.root = RankNode{};
        query.root.kind = kind;
        if (kind != RankNode::Term) {
            query.root.operands.resize(2);
            query.root.operands[1].leaf = 1;
        }
        for (SegmentSource* impact :
             {static_cast<SegmentSource*>(nullptr), static_cast<SegmentSource*>(&high)}) {
            TopMatches top(7);
            try {
                RankSegment(query, impact ? wide : segment, top, 7, nullptr, impact);
            } catch (const DamagedPostings&) {
                continue;
            }
            const std::vector<std::int64_t> best = top.Take();
            FUZZ_CHECK(best.size() <= 7);
        }
    }
    return 0;
}
