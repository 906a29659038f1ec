// A term's postings in one segment of the ranking index: the records (numbered in sort
// key order within their segment) whose fields hold the term, each with the term's
// weighted frequency and the record's length class, in blocks of up to 128. A header
// lists the blocks with what bounds them (their last record, their largest frequency,
// their shortest record's length class), so that a search skips a block without reading
// it. A block keeps its records as gaps, or as a bitmap where most records hold the term;
// then their classes in runs, and their frequencies. The classes are in the blocks, where
// scoring reads them, though the sort keys have them too: read from the keys, the classes
// of a rare term's records took a read of the index each.
//
// Headers and blocks come from the index file: every reader here checks what it reads
// and says false on anything a writer would not have written.
#pragma once

#include "server/rank/bm25.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tamix::server {

struct Posting {
    std::uint32_t doc = 0;
    std::uint32_t f2 = 0; // see Bm25
    std::uint8_t lengthClass = 0;
};

inline constexpr std::uint32_t kBlockPostings = 128;
// Blocks a stored part holds: some 4 to 8 KB, so that two or three share a page of the
// index.
inline constexpr std::uint32_t kBlocksPerPart = 16;

// A block's postings that no other beats in both frequency and shortness: the block's best
// score, whatever the index's average length, is one of theirs. Shorter first.
inline constexpr std::size_t kFrontier = 8;
struct Frontier {
    std::uint8_t size = 0;
    std::uint8_t lengthClass[kFrontier];
    std::uint32_t f2[kFrontier];
};

struct BlockInfo {
    std::uint32_t lastDoc = 0;
    std::uint32_t postings = 0;
    std::uint32_t offset = 0; // in the list's data
    std::uint32_t size = 0;
    std::uint32_t maxF2 = 0;
    std::uint8_t minClass = 0;
    Frontier best;
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

// Postings sorted by doc, docs distinct, classes below 64.
void EncodeList(const Posting* postings, std::size_t count, std::string& header,
                std::string& data);

// A long list's postings of high impact, kept again apart: a search of common words joined
// by OR reads them alone, and the rest of the list only for the records they leave in
// doubt. Lists of this many postings or more are split so.
inline constexpr std::size_t kImpactSplitPostings = std::size_t{1} << 16;
// A posting is of high impact where it adds at least this share of the most any posting of
// its list adds, at the segment's average length: the share that left fewest records in
// doubt for the fewest postings kept twice (common words at a million records).
inline constexpr double kHighImpact = 0.8;

// What a split leaves out of the whole list: the largest frequency of its postings, class
// by class (0 where none), so that a search bounds them at any average length; and how
// many postings the split keeps, so that it tells whether they are worth reading.
struct ListRest {
    std::uint32_t f2[kLengthClasses] = {};
    std::uint32_t high = 0;
};

// Postings sorted by doc into those of high impact (in order) and the rest's bound.
void SplitByImpact(const Posting* postings, std::size_t count, double averageLength,
                   std::vector<Posting>& high, ListRest& rest);
std::string EncodeRest(const ListRest& rest);
// False when the bytes are not a rest a writer makes.
bool ParseRest(std::string_view bytes, ListRest& rest);

// A block's postings by field, as searches and merges read them.
struct BlockColumns {
    std::uint32_t doc[kBlockPostings + 8]; // room for a bitmap's last byte read whole
    std::uint32_t f2[kBlockPostings];
    std::uint8_t lengthClass[kBlockPostings];
    // Where each run of one class ends (past its last posting), as the block keeps them.
    std::uint32_t runEnd[kBlockPostings];
    std::uint32_t runs = 0;
    Posting At(std::size_t i) const { return {doc[i], f2[i], lengthClass[i]}; }
};

// False when the bytes are not a header a writer makes.
bool ParseHeader(std::string_view bytes, ListHeader& header);
// The postings of a block from its bytes; previous is the block before (none for the
// first). False when they do not agree with the block's header.
bool DecodeBlock(std::string_view bytes, const BlockInfo& block, const BlockInfo* previous,
                 BlockColumns& out);

// Varints as the index keeps lengths: 7 bits a byte, low first. Inline: an import writes
// and reads some for each term of each record.
inline void PutVarint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out += static_cast<char>((value & 0x7F) | 0x80);
        value >>= 7;
    }
    out += static_cast<char>(value);
}
// Reads one at pos, moving pos past it; false past the end or beyond 64 bits.
inline bool GetVarint(std::string_view bytes, std::size_t& pos, std::uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (pos >= bytes.size()) return false;
        const auto byte = static_cast<unsigned char>(bytes[pos++]);
        value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if (!(byte & 0x80)) return shift < 63 || byte <= 1;
    }
    return false;
}

} // namespace tamix::server
