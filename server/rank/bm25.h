// Best Match's formula: BM25 (k1 1.2, b 0.75) over the words of a record's title
// (weight 3), abstract (1), MeSH headings (1.5) and keywords (1.5). A record's length is
// kept, in 64 logarithmic classes 20 % apart, in the low bits of its sort key (as Lucene
// keeps a length in one byte), where ranking reads it for nothing.
#pragma once

#include <cstdint>
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
// (lower sort key).
class TopMatches {
public:
    explicit TopMatches(int limit) : limit_(limit > 0 ? static_cast<std::size_t>(limit) : 0) {}
    void Offer(double score, std::int64_t key);
    bool Full() const { return heap_.size() == limit_; }
    std::size_t Limit() const { return limit_; }
    // Whether a record of this score and key would be kept.
    bool Admits(double score, std::int64_t key) const {
        return heap_.size() < limit_ || (limit_ > 0 && Better({score, key}, heap_.front()));
    }
    // The worst kept (only when Full).
    double WorstScore() const { return heap_.front().score; }
    std::int64_t WorstKey() const { return heap_.front().key; }
    // Best first; empties the collection.
    std::vector<std::int64_t> Take();
    // Offers the records other keeps that this does not: both may have begun with the same.
    void Merge(const TopMatches& other);

    static constexpr const char* kPointerType = "tamix_top_matches";

private:
    struct Scored {
        double score;
        std::int64_t key;
    };
    static bool Better(const Scored& x, const Scored& y) {
        return x.score > y.score || (x.score == y.score && x.key < y.key);
    }
    std::size_t limit_;
    std::vector<Scored> heap_; // the worst kept on top
};

} // namespace tamix::server
