#include "server/rank/postings.h"

#include "server/rank/bm25.h"

#include <algorithm>

namespace tamix::server {

std::uint32_t ListHeader::PartSize(std::uint32_t part) const {
    const std::size_t last = std::min<std::size_t>((part + 1) * kBlocksPerPart, blocks.size()) - 1;
    return blocks[last].offset + blocks[last].size - blocks[part * kBlocksPerPart].offset;
}

namespace {

// The frontier of a block's postings: by class, each of a higher frequency than every
// shorter one. More than kFrontier are thinned by keeping the highest frequency of each
// run with the run's shortest class, which is still a bound.
Frontier FrontierOf(const Posting* postings, std::size_t count) {
    std::uint32_t best[kLengthClasses] = {};
    bool any[kLengthClasses] = {};
    for (std::size_t i = 0; i < count; ++i) {
        best[postings[i].lengthClass] = std::max(best[postings[i].lengthClass], postings[i].f2);
        any[postings[i].lengthClass] = true;
    }
    std::uint8_t classes[kLengthClasses];
    std::uint32_t f2s[kLengthClasses];
    std::size_t n = 0;
    std::uint32_t highest = 0;
    for (int c = 0; c < kLengthClasses; ++c) {
        if (!any[c] || (n > 0 && best[c] <= highest)) continue;
        classes[n] = static_cast<std::uint8_t>(c);
        f2s[n++] = highest = best[c];
    }
    Frontier frontier;
    const std::size_t per = (n + kFrontier - 1) / kFrontier;
    for (std::size_t i = 0; i < n; i += per) {
        const std::size_t last = std::min(n, i + per) - 1;
        frontier.lengthClass[frontier.size] = classes[i];
        frontier.f2[frontier.size++] = f2s[last];
    }
    return frontier;
}

} // namespace

void EncodeList(const Posting* postings, std::size_t count, std::string& header,
                std::string& data) {
    header.clear();
    data.clear();
    PutVarint(header, count);
    PutVarint(header, (count + kBlockPostings - 1) / kBlockPostings);
    std::int64_t previousLast = -1;
    for (std::size_t first = 0; first < count; first += kBlockPostings) {
        const std::size_t end = std::min<std::size_t>(count, first + kBlockPostings);
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
        PutVarint(header, static_cast<std::uint64_t>(previous - previousLast - 1));
        PutVarint(header, end - first);
        PutVarint(header, data.size() - offset);
        PutVarint(header, maxF2);
        header += static_cast<char>(minClass);
        const Frontier best = FrontierOf(postings + first, end - first);
        header += static_cast<char>(best.size);
        for (std::size_t i = 0; i < best.size; ++i) {
            header += static_cast<char>(best.lengthClass[i]);
            PutVarint(header, best.f2[i]);
        }
        previousLast = previous;
    }
}

bool ParseHeader(std::string_view bytes, ListHeader& header) {
    std::size_t pos = 0;
    std::uint64_t count = 0, blocks = 0;
    if (!GetVarint(bytes, pos, count) || !GetVarint(bytes, pos, blocks)) return false;
    // Each block's entry takes eight bytes at least: no count of blocks can be larger.
    if (blocks != (count + kBlockPostings - 1) / kBlockPostings || blocks > bytes.size() / 8 + 1)
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
        BlockInfo& info = header.blocks[b];
        if (pos >= bytes.size()) return false;
        info.best.size = static_cast<std::uint8_t>(bytes[pos++]);
        if (info.best.size == 0 || info.best.size > kFrontier) return false;
        for (std::size_t i = 0; i < info.best.size; ++i) {
            std::uint64_t f2 = 0;
            if (pos >= bytes.size()) return false;
            info.best.lengthClass[i] = static_cast<std::uint8_t>(bytes[pos++]);
            // Shorter first, each more frequent, none past the block's own bounds.
            if (!GetVarint(bytes, pos, f2) || f2 > maxF2 || info.best.lengthClass[i] < minClass ||
                info.best.lengthClass[i] >= kLengthClasses ||
                (i > 0 && (info.best.lengthClass[i] <= info.best.lengthClass[i - 1] ||
                           f2 <= info.best.f2[i - 1])))
                return false;
            info.best.f2[i] = static_cast<std::uint32_t>(f2);
        }
        const std::uint64_t expected = b + 1 < blocks ? kBlockPostings : count - b * kBlockPostings;
        const std::uint64_t last = static_cast<std::uint64_t>(previousLast + 1) + gap;
        // Each posting takes three bytes at least, and a block's docs rise by one at least.
        if (postings != expected || last > 0xFFFFFFFFu || last + 1 < postings + (previousLast + 1) ||
            size < 3 * postings || size > 0xFFFFFFu || maxF2 > 0xFFFFFFFFu ||
            minClass >= kLengthClasses || offset + size > 0xFFFFFFFFu)
            return false;
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
    // Most gaps and frequencies take a byte: read so without GetVarint's loop.
    const auto read = [&](std::uint64_t& value) {
        if (pos < bytes.size() && !(static_cast<unsigned char>(bytes[pos]) & 0x80)) {
            value = static_cast<unsigned char>(bytes[pos++]);
            return true;
        }
        return GetVarint(bytes, pos, value);
    };
    for (std::uint32_t i = 0; i < block.postings; ++i) {
        std::uint64_t gap = 0, f2 = 0;
        if (!read(gap) || !read(f2) || pos >= bytes.size()) return false;
        const auto lengthClass = static_cast<unsigned char>(bytes[pos++]);
        // The gap is bounded before it is added: a damaged one would overflow the doc.
        if (gap > block.lastDoc) return false;
        doc += static_cast<std::int64_t>(gap) + 1;
        if (doc > static_cast<std::int64_t>(block.lastDoc) || f2 > block.maxF2 ||
            lengthClass < block.minClass || lengthClass >= kLengthClasses)
            return false;
        out[i] = {static_cast<std::uint32_t>(doc), static_cast<std::uint32_t>(f2), lengthClass};
    }
    return pos == bytes.size() && doc == static_cast<std::int64_t>(block.lastDoc);
}

} // namespace tamix::server
