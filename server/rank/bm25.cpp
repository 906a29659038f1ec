#include "server/rank/bm25.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>

namespace tamix::server {

namespace {

// 1.2 apart: the class of 100 words stands for 90 to 108.
constexpr double kClassStep = 1.2;

} // namespace

int LengthClass(std::int64_t words) {
    if (words <= 0) return 0;
    const int c =
        static_cast<int>(std::lround(std::log(static_cast<double>(words)) / std::log(kClassStep))) +
        1;
    return std::min(c, kLengthClasses - 1);
}

double ClassLength(int lengthClass) {
    return lengthClass <= 0 ? 0.0 : std::pow(kClassStep, lengthClass - 1);
}

double InverseDocumentFrequency(std::int64_t n, std::int64_t df) {
    if (df < 0) df = 0;
    if (n < df) n = df;
    return std::log(1.0 + (static_cast<double>(n - df) + 0.5) / (static_cast<double>(df) + 0.5));
}

Bm25::Bm25(double averageLength) {
    const double average = std::max(1.0, averageLength);
    for (int c = 0; c < kLengthClasses; ++c)
        norm_[c] = kBm25K1 * (1 - kBm25B + kBm25B * ClassLength(c) / average);
}

void TopMatches::Insert(const Scored& row) {
    const auto better = Ordering();
    if (heap_.size() < limit_) {
        heap_.push_back(row);
        std::push_heap(heap_.begin(), heap_.end(), better);
    } else if (limit_ > 0 && Better(row, heap_.front())) {
        std::pop_heap(heap_.begin(), heap_.end(), better);
        heap_.back() = row;
        std::push_heap(heap_.begin(), heap_.end(), better);
    }
}

void TopMatches::Settle() {
    for (Scored& s : heap_) {
        KeyOf(s);
        s.doc = kNoDoc;
    }
    keyOf_ = nullptr;
}

void TopMatches::Merge(const TopMatches& other) {
    std::unordered_set<std::int64_t> keys;
    std::unordered_set<std::uint32_t> docs;
    for (const Scored& s : heap_) {
        if (s.doc == kNoDoc)
            keys.insert(s.key);
        else
            docs.insert(s.doc);
    }
    for (const Scored& s : other.heap_)
        if (s.doc == kNoDoc ? !keys.count(s.key) : !docs.count(s.doc)) Insert(s);
}

std::vector<std::int64_t> TopMatches::Take() {
    Settle();
    std::sort_heap(heap_.begin(), heap_.end(), Ordering());
    std::vector<std::int64_t> keys;
    keys.reserve(heap_.size());
    for (const Scored& s : heap_)
        keys.push_back(s.key);
    heap_.clear();
    return keys;
}

} // namespace tamix::server
