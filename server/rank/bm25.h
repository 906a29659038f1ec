// Best Match's formula: BM25 (k1 1.2, b 0.75) over the words of a record's title
// (weight 3), abstract (1), MeSH headings (1.5) and keywords (1.5). A record's length is
// kept, in 64 logarithmic classes 20 % apart, in the low bits of its sort key (as Lucene
// keeps a length in one byte), where ranking reads it for nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace tamix::server {

inline constexpr double kBm25K1 = 1.2;
inline constexpr double kBm25B = 0.75;
inline constexpr double kTitleWeight = 3.0;
inline constexpr double kAbstractWeight = 1.0;
inline constexpr double kMeshWeight = 1.5;
inline constexpr double kKeywordWeight = 1.5;

inline constexpr int kLengthClasses = 64;
// The class of a record of that many ranked words, and the length a class stands for.
int LengthClass(std::int64_t words);
double ClassLength(int lengthClass);

// The BM25 term weight of a word found in df of n records (never below 0).
double InverseDocumentFrequency(std::int64_t n, std::int64_t df);

// A word's frequency in a record's ranked fields, weighted, is kept doubled so that the
// weights' halves are whole numbers: f2 = 2 (3 title + abstract + 1.5 (MeSH + keywords)).
// What one occurrence more or less of a word does to a record's score.
class Bm25 {
public:
    explicit Bm25(double averageLength);
    // f (k1 + 1) / (f + k1 (1 - b + b length / average)), for f = f2 / 2; below k1 + 1.
    double Impact(std::uint32_t f2, int lengthClass) const {
        if (f2 == 0) return 0;
        const double f = f2 / 2.0;
        return f * (kBm25K1 + 1) / (f + norm_[lengthClass & (kLengthClasses - 1)]);
    }
    double Norm(int lengthClass) const { return norm_[lengthClass & (kLengthClasses - 1)]; }

private:
    double norm_[kLengthClasses];
};

// The limit best of the records offered: higher scores first, equal scores newest first
// (lower sort key). The records of the segment a search reads come by their number in it,
// their keys read only where a tie asks for one or once the segment is done: most of those
// offered are passed by better ones, and from disk each key is a read at random.
class TopMatches {
public:
    explicit TopMatches(int limit) : limit_(limit > 0 ? static_cast<std::size_t>(limit) : 0) {}
    void Offer(double score, std::int64_t key) { Insert({score, key, kNoDoc, false}); }
    // How the keys of the segment being read are read; until Settle.
    void ReadKeysWith(std::function<std::int64_t(std::uint32_t)> keyOf) {
        keyOf_ = std::move(keyOf);
    }
    // A record of that segment, its key unread.
    void OfferDoc(double score, std::uint32_t doc) { Insert({score, 0, doc, true}); }
    // A record of that segment, its key read.
    void OfferDoc(double score, std::uint32_t doc, std::int64_t key) {
        Insert({score, key, doc, false});
    }
    // The segment is done: the keys of its records kept are read.
    void Settle();
    bool Full() const { return heap_.size() == limit_; }
    std::size_t Limit() const { return limit_; }
    // Whether a record of this score and key would be kept.
    bool Admits(double score, std::int64_t key) const {
        return heap_.size() < limit_ ||
               (limit_ > 0 && Better({score, key, kNoDoc, false}, heap_.front()));
    }
    // The worst kept (only when Full); its key read here where it was not.
    double WorstScore() const { return heap_.front().score; }
    std::int64_t WorstKey() const { return KeyOf(heap_.front()); }
    // Best first; empties the collection.
    std::vector<std::int64_t> Take();
    // Offers the records other keeps that this does not: both may have begun with the same,
    // and both read the same segment.
    void Merge(const TopMatches& other);

    static constexpr const char* kPointerType = "tamix_top_matches";

private:
    static constexpr std::uint32_t kNoDoc = 0xFFFFFFFFu;
    struct Scored {
        double score;
        mutable std::int64_t key;
        std::uint32_t doc; // in the segment being read; kNoDoc for a record of another
        mutable bool unread;
    };
    std::int64_t KeyOf(const Scored& s) const {
        if (s.unread) {
            s.key = keyOf_(s.doc);
            s.unread = false;
        }
        return s.key;
    }
    bool Better(const Scored& x, const Scored& y) const {
        return x.score > y.score || (x.score == y.score && KeyOf(x) < KeyOf(y));
    }
    // Better as a comparison the heap's algorithms take.
    auto Ordering() const {
        return [this](const Scored& x, const Scored& y) { return Better(x, y); };
    }
    void Insert(const Scored& row);
    std::size_t limit_;
    std::vector<Scored> heap_; // the worst kept on top
    std::function<std::int64_t(std::uint32_t)> keyOf_;
};

} // namespace tamix::server
