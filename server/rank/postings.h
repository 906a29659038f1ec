// A term's postings in one segment of the ranking index: the records (numbered in sort
// key order within their segment) whose fields hold the term, each with the term's
// weighted frequency, in blocks of up to 128. A header lists the blocks with what bounds
// them (their last record, their largest frequency, their shortest record's length
// class), so that a search skips a block without reading it. A record's length class is
// in its sort key, not in its postings.
//
// Headers and blocks come from the index file: every reader here checks what it reads
// and says false on anything a writer would not have written.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tamix::server {

struct Posting {
    std::uint32_t doc = 0;
    std::uint32_t f2 = 0; // see Bm25
};

inline constexpr std::uint32_t kBlockPostings = 128;
// Blocks a stored part holds: some 8 to 16 KB, about a page of the index.
inline constexpr std::uint32_t kBlocksPerPart = 32;

struct BlockInfo {
    std::uint32_t lastDoc = 0;
    std::uint32_t postings = 0;
    std::uint32_t offset = 0; // in the list's data
    std::uint32_t size = 0;
    std::uint32_t maxF2 = 0;
    std::uint8_t minClass = 0;
};

struct ListHeader {
    std::uint32_t postings = 0;
    std::vector<BlockInfo> blocks;
    std::uint32_t dataSize = 0;
    // Parts of the data: part p holds blocks [p kBlocksPerPart, (p + 1) kBlocksPerPart).
    std::uint32_t Parts() const {
        return static_cast<std::uint32_t>((blocks.size() + kBlocksPerPart - 1) / kBlocksPerPart);
    }
    // Where part p's bytes start in the data, and how many.
    std::uint32_t PartOffset(std::uint32_t part) const {
        return blocks[part * kBlocksPerPart].offset;
    }
    std::uint32_t PartSize(std::uint32_t part) const;
};

// Postings sorted by doc, docs distinct; lengthClass(doc) gives a record's class, below 64.
template <typename ClassOf>
void EncodeList(const std::vector<Posting>& postings, ClassOf lengthClass, std::string& header,
                std::string& data);

// False when the bytes are not a header a writer makes.
bool ParseHeader(std::string_view bytes, ListHeader& header);
// The postings of a block from its bytes; previousLastDoc is the last doc of the block
// before (none for the first). False when they do not agree with the block's header.
bool DecodeBlock(std::string_view bytes, const BlockInfo& block, const BlockInfo* previous,
                 Posting* out);

// The bytes of one block of postings, and its entry in the header.
void EncodeBlock(const Posting* postings, std::size_t count, std::int64_t previousLast,
                 std::uint32_t maxF2, std::uint8_t minClass, std::string& header,
                 std::string& data);

// Varints as the index keeps lengths: 7 bits a byte, low first.
void PutVarint(std::string& out, std::uint64_t value);
// Reads one at pos, moving pos past it; false past the end or beyond 64 bits.
bool GetVarint(std::string_view bytes, std::size_t& pos, std::uint64_t& value);

template <typename ClassOf>
void EncodeList(const std::vector<Posting>& postings, ClassOf lengthClass, std::string& header,
                std::string& data) {
    header.clear();
    data.clear();
    const std::size_t count = postings.size();
    const std::size_t blocks = (count + kBlockPostings - 1) / kBlockPostings;
    PutVarint(header, count);
    PutVarint(header, blocks);
    std::int64_t previousLast = -1;
    for (std::size_t first = 0; first < count; first += kBlockPostings) {
        const std::size_t end = std::min<std::size_t>(count, first + kBlockPostings);
        std::uint32_t maxF2 = 0;
        int minClass = 63;
        for (std::size_t i = first; i < end; ++i) {
            maxF2 = std::max(maxF2, postings[i].f2);
            minClass = std::min(minClass, static_cast<int>(lengthClass(postings[i].doc)));
        }
        EncodeBlock(&postings[first], end - first, previousLast, maxF2,
                    static_cast<std::uint8_t>(minClass), header, data);
        previousLast = postings[end - 1].doc;
    }
}

} // namespace tamix::server
