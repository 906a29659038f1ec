#include "server/rank/postings.h"

#include "server/rank/bm25.h"

#include <algorithm>
#include <cstring>

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

// A block's records are written as a bitmap of the records past the block before's last,
// where that is shorter than their gaps: a common word's blocks are mostly so.
constexpr char kGaps = 0;
constexpr char kBitmap = 1;

// Each byte's bits set: how many, and where, lowest first. A bitmap is read a byte at a
// time without a branch for each bit (and the build targets processors without an
// instruction to count them). The places are as wide as a record's number, so that a
// byte's eight are added to its first record's number as one vector.
constexpr struct ByteBits {
    std::uint8_t count[256] = {};
    std::uint32_t at[256][8] = {};
    constexpr ByteBits() {
        for (int b = 1; b < 256; ++b)
            for (int bit = 0; bit < 8; ++bit)
                if (b & (1 << bit)) at[b][count[b]++] = static_cast<std::uint32_t>(bit);
    }
} kByteBits;

// Four records' numbers at once (GCC's and Clang's vectors, on any processor).
using Lanes = std::uint32_t __attribute__((vector_size(16)));

// Whether none of the n bytes at p begins a longer varint.
bool OneByteEach(const unsigned char* p, std::uint32_t n) {
    unsigned char any = 0;
    for (std::uint32_t i = 0; i < n; ++i)
        any |= p[i];
    return !(any & 0x80);
}

std::size_t VarintSize(std::uint64_t value) {
    std::size_t size = 1;
    for (; value >= 0x80; value >>= 7)
        ++size;
    return size;
}

void EncodeBlock(const Posting* postings, std::size_t count, std::int64_t previousLast,
                 std::string& data) {
    std::size_t gapBytes = 0;
    std::int64_t previous = previousLast;
    for (std::size_t i = 0; i < count; ++i) {
        gapBytes += VarintSize(static_cast<std::uint64_t>(postings[i].doc - previous - 1));
        previous = postings[i].doc;
    }
    const auto span = static_cast<std::uint64_t>(previous - previousLast);
    const bool bitmap = (span + 7) / 8 < gapBytes;
    data += bitmap ? kBitmap : kGaps;
    // Classes in runs: a segment's records stand by class, so a block has one or two.
    for (std::size_t i = 0; i < count;) {
        std::size_t end = i + 1;
        while (end < count && postings[end].lengthClass == postings[i].lengthClass)
            ++end;
        data += static_cast<char>(postings[i].lengthClass);
        PutVarint(data, end - i);
        i = end;
    }
    if (bitmap) {
        const std::size_t start = data.size();
        data.append((span + 7) / 8, '\0');
        for (std::size_t i = 0; i < count; ++i) {
            const auto bit = static_cast<std::uint64_t>(postings[i].doc - previousLast - 1);
            data[start + bit / 8] = static_cast<char>(data[start + bit / 8] | (1 << (bit % 8)));
        }
    } else {
        previous = previousLast;
        for (std::size_t i = 0; i < count; ++i) {
            PutVarint(data, static_cast<std::uint64_t>(postings[i].doc - previous - 1));
            previous = postings[i].doc;
        }
    }
    for (std::size_t i = 0; i < count; ++i)
        PutVarint(data, postings[i].f2);
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
        for (std::size_t i = first; i < end; ++i) {
            maxF2 = std::max(maxF2, postings[i].f2);
            minClass = std::min(minClass, postings[i].lengthClass);
        }
        EncodeBlock(postings + first, end - first, previousLast, data);
        const std::int64_t previous = postings[end - 1].doc;
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

void SplitByImpact(const Posting* postings, std::size_t count, double averageLength,
                   std::vector<Posting>& high, ListRest& rest) {
    const Bm25 bm25(averageLength);
    double most = 0;
    for (std::size_t i = 0; i < count; ++i)
        most = std::max(most, bm25.Impact(postings[i].f2, postings[i].lengthClass));
    high.clear();
    rest = ListRest{};
    for (std::size_t i = 0; i < count; ++i) {
        const Posting& p = postings[i];
        if (most > 0 && bm25.Impact(p.f2, p.lengthClass) >= kHighImpact * most)
            high.push_back(p);
        else
            rest.f2[p.lengthClass] = std::max(rest.f2[p.lengthClass], p.f2);
    }
    rest.high = static_cast<std::uint32_t>(high.size());
}

std::string EncodeRest(const ListRest& rest) {
    std::string bytes;
    PutVarint(bytes, rest.high);
    for (const std::uint32_t f2 : rest.f2)
        PutVarint(bytes, f2);
    return bytes;
}

bool ParseRest(std::string_view bytes, ListRest& rest) {
    std::size_t pos = 0;
    std::uint64_t high = 0;
    if (!GetVarint(bytes, pos, high) || high > 0xFFFFFFFFu) return false;
    rest.high = static_cast<std::uint32_t>(high);
    for (std::uint32_t& f2 : rest.f2) {
        std::uint64_t value = 0;
        if (!GetVarint(bytes, pos, value) || value > 0xFFFFFFFFu) return false;
        f2 = static_cast<std::uint32_t>(value);
    }
    return pos == bytes.size();
}

bool ParseHeader(std::string_view bytes, ListHeader& header) {
    std::size_t pos = 0;
    std::uint64_t count = 0, blocks = 0;
    if (!GetVarint(bytes, pos, count) || !GetVarint(bytes, pos, blocks)) return false;
    // Each block's entry takes eight bytes at least: no count of blocks can be larger.
    if (blocks != (count + kBlockPostings - 1) / kBlockPostings || blocks > bytes.size() / 8 + 1)
        return false;
    header.postings = static_cast<std::uint32_t>(count);
    // Built one by one, not assigned zeroed first: the commonest words' headers hold
    // megabytes of entries, which a first search would otherwise write twice.
    header.blocks.clear();
    header.blocks.reserve(blocks);
    std::int64_t previousLast = -1;
    std::uint64_t offset = 0;
    for (std::uint64_t b = 0; b < blocks; ++b) {
        std::uint64_t gap = 0, postings = 0, size = 0, maxF2 = 0;
        if (!GetVarint(bytes, pos, gap) || !GetVarint(bytes, pos, postings) ||
            !GetVarint(bytes, pos, size) || !GetVarint(bytes, pos, maxF2) || pos >= bytes.size())
            return false;
        const auto minClass = static_cast<unsigned char>(bytes[pos++]);
        BlockInfo& info = header.blocks.emplace_back();
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
        // A block takes a byte a posting and three more at least, and its docs rise by one at
        // least.
        if (postings != expected || last > 0xFFFFFFFFu || last + 1 < postings + (previousLast + 1) ||
            size < postings + 3 || size > 0xFFFFFFu || maxF2 > 0xFFFFFFFFu ||
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
                 BlockColumns& out) {
    if (bytes.size() != block.size || bytes.empty()) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    // The block's bounds in locals: writes to out could alias them.
    const std::uint32_t n = block.postings, lastDoc = block.lastDoc, maxF2 = block.maxF2;
    const unsigned minClass = block.minClass;
    std::size_t pos = 1;
    // Most runs, gaps and frequencies take a byte: read so without GetVarint's loop.
    const auto read = [&](std::uint64_t& value) {
        if (pos < size && !(p[pos] & 0x80)) {
            value = p[pos++];
            return true;
        }
        return GetVarint(bytes, pos, value);
    };
    out.runs = 0;
    for (std::uint32_t i = 0; i < n;) {
        std::uint64_t run = 0;
        if (pos >= size) return false;
        const unsigned char lengthClass = p[pos++];
        if (lengthClass < minClass || lengthClass >= kLengthClasses || !read(run) || run == 0 ||
            run > n - i)
            return false;
        std::fill_n(out.lengthClass + i, run, lengthClass);
        i += static_cast<std::uint32_t>(run);
        out.runEnd[out.runs++] = i;
    }
    const std::int64_t first = previous ? static_cast<std::int64_t>(previous->lastDoc) + 1 : 0;
    if (first > static_cast<std::int64_t>(lastDoc)) return false;
    if (p[0] == kBitmap) {
        // The bits of the records first to the block's last, which must be the last set:
        // counted before any is written.
        const std::uint64_t span = lastDoc - static_cast<std::uint64_t>(first) + 1;
        const auto bitmapSize = static_cast<std::size_t>((span + 7) / 8);
        if (bitmapSize > size - pos) return false;
        const unsigned char* bitmap = p + pos;
        std::uint32_t set = 0;
        for (std::size_t b = 0; b < bitmapSize; ++b)
            set += kByteBits.count[bitmap[b]];
        const unsigned lastBit = static_cast<unsigned>((span - 1) % 8);
        if (set != n || bitmap[bitmapSize - 1] >> lastBit != 1) return false;
        // Eight written for each byte, the ones past its bits overwritten by the next: the
        // columns have room for them past the last.
        std::uint32_t i = 0;
        for (std::size_t b = 0; b < bitmapSize; ++b) {
            const auto base = static_cast<std::uint32_t>(first + static_cast<std::int64_t>(b * 8));
            // Two vectors of four: the compiler left the eight adds one by one.
            Lanes low, high;
            std::memcpy(&low, kByteBits.at[bitmap[b]], sizeof low);
            std::memcpy(&high, kByteBits.at[bitmap[b]] + 4, sizeof high);
            low += base;
            high += base;
            std::memcpy(out.doc + i, &low, sizeof low);
            std::memcpy(out.doc + i + 4, &high, sizeof high);
            i += kByteBits.count[bitmap[b]];
        }
        pos += bitmapSize;
    } else if (p[0] == kGaps && n <= size - pos && OneByteEach(p + pos, n)) {
        // Every gap a byte (most blocks of a list a tenth of the records hold): summed with
        // no branch, and checked at the end, as they only rise.
        std::int64_t doc = first - 1;
        for (std::uint32_t i = 0; i < n; ++i) {
            doc += p[pos + i] + 1;
            out.doc[i] = static_cast<std::uint32_t>(doc);
        }
        if (doc != static_cast<std::int64_t>(lastDoc)) return false;
        pos += n;
    } else if (p[0] == kGaps) {
        std::int64_t doc = first - 1;
        for (std::uint32_t i = 0; i < n; ++i) {
            std::uint64_t gap = 0;
            // The gap is bounded before it is added: a damaged one would overflow the doc.
            if (!read(gap) || gap > lastDoc) return false;
            doc += static_cast<std::int64_t>(gap) + 1;
            if (doc > static_cast<std::int64_t>(lastDoc)) return false;
            out.doc[i] = static_cast<std::uint32_t>(doc);
        }
        if (doc != static_cast<std::int64_t>(lastDoc)) return false;
    } else {
        return false;
    }
    // The frequencies end the block: as many bytes left as postings is a byte each, unless
    // one begins a longer varint (and then too few are left).
    if (size - pos == n) {
        // Checked in one loop and copied in another: bytes apart, each loop is a vector's.
        const unsigned char* const f2 = p + pos;
        unsigned char most = 0;
        for (std::uint32_t i = 0; i < n; ++i)
            most = std::max(most, f2[i]);
        if (most & 0x80 || most > maxF2) return false;
        for (std::uint32_t i = 0; i < n; ++i)
            out.f2[i] = f2[i];
        return true;
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        std::uint64_t f2 = 0;
        if (!read(f2) || f2 > maxF2) return false;
        out.f2[i] = static_cast<std::uint32_t>(f2);
    }
    return pos == size;
}

} // namespace tamix::server
