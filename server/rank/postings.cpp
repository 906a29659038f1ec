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

void EncodeList(const std::vector<Posting>& postings, std::string& header, std::string& data) {
    header.clear();
    data.clear();
    const std::size_t count = postings.size();
    const std::size_t blocks = (count + kBlockPostings - 1) / kBlockPostings;
    PutVarint(header, count);
    PutVarint(header, blocks);
    std::int64_t previousLast = -1;
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t first = b * kBlockPostings;
        const std::size_t end = std::min(count, first + kBlockPostings);
        const std::size_t offset = data.size();
        std::uint32_t maxF2 = 0;
        std::uint8_t minClass = kLengthClasses - 1;
        std::int64_t previous = previousLast;
        for (std::size_t i = first; i < end; ++i) {
            const Posting& p = postings[i];
            PutVarint(data, static_cast<std::uint64_t>(p.doc - previous - 1));
            PutVarint(data, p.f2);
            data += static_cast<char>(p.lengthClass);
            previous = p.doc;
            maxF2 = std::max(maxF2, p.f2);
            minClass = std::min(minClass, p.lengthClass);
        }
        const std::uint32_t last = postings[end - 1].doc;
        PutVarint(header, static_cast<std::uint64_t>(last - previousLast - 1));
        PutVarint(header, end - first);
        PutVarint(header, data.size() - offset);
        PutVarint(header, maxF2);
        header += static_cast<char>(minClass);
        previousLast = last;
    }
}

bool ParseHeader(std::string_view bytes, ListHeader& header) {
    std::size_t pos = 0;
    std::uint64_t count = 0, blocks = 0;
    if (!GetVarint(bytes, pos, count) || !GetVarint(bytes, pos, blocks)) return false;
    // Each block takes five bytes at least: no count of blocks can be larger than that.
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
        // Each posting takes three bytes at least, and a block's docs rise by one at least.
        if (postings != expected || last > 0xFFFFFFFFu || last + 1 < postings + (previousLast + 1) ||
            size < 3 * postings || size > 0xFFFFFFu || maxF2 > 0xFFFFFFFFu ||
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
        if (!GetVarint(bytes, pos, gap) || !GetVarint(bytes, pos, f2) || pos >= bytes.size())
            return false;
        const auto lengthClass = static_cast<unsigned char>(bytes[pos++]);
        doc += static_cast<std::int64_t>(gap) + 1;
        if (gap > block.lastDoc || doc > static_cast<std::int64_t>(block.lastDoc) ||
            f2 > block.maxF2 || lengthClass < block.minClass || lengthClass >= kLengthClasses)
            return false;
        out[i] = {static_cast<std::uint32_t>(doc), static_cast<std::uint32_t>(f2), lengthClass};
    }
    return pos == bytes.size() && doc == static_cast<std::int64_t>(block.lastDoc);
}

} // namespace tamix::server
