#include "server/rank/postings.h"

#include "server/rank/bm25.h"

#include <algorithm>

namespace tamix::server {

void PutVarint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out += static_cast<char>((value & 0x7F) | 0x80);
        value >>= 7;
    }
    out += static_cast<char>(value);
}

bool GetVarint(std::string_view bytes, std::size_t& pos, std::uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (pos >= bytes.size()) return false;
        const auto byte = static_cast<unsigned char>(bytes[pos++]);
        value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if (!(byte & 0x80)) return shift < 63 || byte <= 1;
    }
    return false;
}

std::uint32_t ListHeader::PartSize(std::uint32_t part) const {
    const std::size_t last = std::min<std::size_t>((part + 1) * kBlocksPerPart, blocks.size()) - 1;
    return blocks[last].offset + blocks[last].size - blocks[part * kBlocksPerPart].offset;
}

void EncodeBlock(const Posting* postings, std::size_t count, std::int64_t previousLast,
                 std::uint32_t maxF2, std::uint8_t minClass, std::string& header,
                 std::string& data) {
    const std::size_t offset = data.size();
    std::int64_t previous = previousLast;
    for (std::size_t i = 0; i < count; ++i) {
        PutVarint(data, static_cast<std::uint64_t>(postings[i].doc - previous - 1));
        PutVarint(data, postings[i].f2);
        previous = postings[i].doc;
    }
    PutVarint(header, static_cast<std::uint64_t>(previous - previousLast - 1));
    PutVarint(header, count);
    PutVarint(header, data.size() - offset);
    PutVarint(header, maxF2);
    header += static_cast<char>(minClass);
}

bool ParseHeader(std::string_view bytes, ListHeader& header) {
    std::size_t pos = 0;
    std::uint64_t count = 0, blocks = 0;
    if (!GetVarint(bytes, pos, count) || !GetVarint(bytes, pos, blocks)) return false;
    // Each block's entry takes five bytes at least: no count of blocks can be larger.
    if (blocks != (count + kBlockPostings - 1) / kBlockPostings || blocks > bytes.size() / 5 + 1)
        return false;
    header.postings = static_cast<std::uint32_t>(count);
    header.blocks.assign(blocks, BlockInfo{});
    std::int64_t previousLast = -1;
    std::uint64_t offset = 0;
    for (std::uint64_t b = 0; b < blocks; ++b) {
        std::uint64_t gap = 0, postings = 0, size = 0, maxF2 = 0;
        if (!GetVarint(bytes, pos, gap) || !GetVarint(bytes, pos, postings) ||
            !GetVarint(bytes, pos, size) || !GetVarint(bytes, pos, maxF2) || pos >= bytes.size())
            return false;
        const auto minClass = static_cast<unsigned char>(bytes[pos++]);
        const std::uint64_t expected = b + 1 < blocks ? kBlockPostings : count - b * kBlockPostings;
        const std::uint64_t last = static_cast<std::uint64_t>(previousLast + 1) + gap;
        // Each posting takes two bytes at least, and a block's docs rise by one at least.
        if (postings != expected || last > 0xFFFFFFFFu || last + 1 < postings + (previousLast + 1) ||
            size < 2 * postings || size > 0xFFFFFFu || maxF2 > 0xFFFFFFFFu ||
            minClass >= kLengthClasses || offset + size > 0xFFFFFFFFu)
            return false;
        BlockInfo& info = header.blocks[b];
        info.lastDoc = static_cast<std::uint32_t>(last);
        info.postings = static_cast<std::uint32_t>(postings);
        info.offset = static_cast<std::uint32_t>(offset);
        info.size = static_cast<std::uint32_t>(size);
        info.maxF2 = static_cast<std::uint32_t>(maxF2);
        info.minClass = minClass;
        offset += size;
        previousLast = static_cast<std::int64_t>(last);
    }
    header.dataSize = static_cast<std::uint32_t>(offset);
    return pos == bytes.size();
}

bool DecodeBlock(std::string_view bytes, const BlockInfo& block, const BlockInfo* previous,
                 Posting* out) {
    if (bytes.size() != block.size) return false;
    std::size_t pos = 0;
    std::int64_t doc = previous ? static_cast<std::int64_t>(previous->lastDoc) : -1;
    for (std::uint32_t i = 0; i < block.postings; ++i) {
        std::uint64_t gap = 0, f2 = 0;
        if (!GetVarint(bytes, pos, gap) || !GetVarint(bytes, pos, f2)) return false;
        doc += static_cast<std::int64_t>(gap) + 1;
        if (gap > block.lastDoc || doc > static_cast<std::int64_t>(block.lastDoc) ||
            f2 > block.maxF2)
            return false;
        out[i] = {static_cast<std::uint32_t>(doc), static_cast<std::uint32_t>(f2)};
    }
    return pos == bytes.size() && doc == static_cast<std::int64_t>(block.lastDoc);
}

} // namespace tamix::server
