#include "server/index/results.h"

#include "server/index/rank.h"

#include <algorithm>
#include <cstdio>

namespace tamix::server {

std::optional<SortOrder> ParseSortOrder(std::string_view text) {
    if (text.empty() || text == "date") return SortOrder::Date;
    if (text == "relevance") return SortOrder::Relevance;
    if (text == "author") return SortOrder::Author;
    if (text == "journal") return SortOrder::Journal;
    return std::nullopt;
}

const char* SortOrderName(SortOrder order) {
    switch (order) {
    case SortOrder::Relevance:
        return "relevance";
    case SortOrder::Author:
        return "author";
    case SortOrder::Journal:
        return "journal";
    default:
        return "date";
    }
}

std::optional<int> ResultCache::Count(const std::string& key, std::int64_t generation) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = counts_.find(key);
    if (found == counts_.end() || found->second.first != generation) return std::nullopt;
    return found->second.second;
}

void ResultCache::PutCount(const std::string& key, std::int64_t generation, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (counts_.size() >= kCounts) counts_.clear();
    counts_[key] = {generation, count};
}

ResultCache::Order ResultCache::GetOrder(const std::string& key, std::int64_t generation) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = orders_.find(key);
    if (found == orders_.end() || found->second.first != generation) return nullptr;
    return found->second.second;
}

void ResultCache::PutOrder(const std::string& key, std::int64_t generation, Order order) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (orderIds_ + order->size() > kOrderIds) {
        orders_.clear();
        orderIds_ = 0;
    }
    auto& slot = orders_[key];
    if (slot.second) orderIds_ -= slot.second->size();
    orderIds_ += order->size();
    slot = {generation, std::move(order)};
}

ResultCache::Order ResultCache::MakeOrder(const std::string& key, std::int64_t generation,
                                          const std::function<std::vector<std::int64_t>()>& make) {
    std::promise<Order> promise;
    std::shared_future<Order> pending;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto kept = orders_.find(key);
        if (kept != orders_.end() && kept->second.first == generation) return kept->second.second;
        const auto made = making_.find(key);
        if (made != making_.end() && made->second.first == generation) {
            pending = made->second.second;
        } else {
            making_[key] = {generation, promise.get_future().share()};
        }
    }
    if (pending.valid()) return pending.get();
    const auto done = [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto made = making_.find(key);
        if (made != making_.end() && made->second.first == generation) making_.erase(made);
    };
    try {
        Order order = std::make_shared<const std::vector<std::int64_t>>(make());
        PutOrder(key, generation, order);
        done();
        promise.set_value(order);
        return order;
    } catch (...) {
        done();
        promise.set_exception(std::current_exception());
        throw;
    }
}

std::optional<std::int64_t> ResultCache::Frequency(const std::string& phrase,
                                                   std::int64_t generation) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = frequencies_.find(phrase);
    if (found == frequencies_.end() || found->second.first != generation) return std::nullopt;
    return found->second.second;
}

void ResultCache::PutFrequency(const std::string& phrase, std::int64_t generation,
                               std::int64_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (frequencies_.size() >= kFrequencies) frequencies_.clear();
    frequencies_[phrase] = {generation, count};
}

int RankedPhrases(const Search& search) {
    return static_cast<int>(std::count_if(search.phrases.begin(), search.phrases.end(),
                                          [](const std::string& p) { return !p.empty(); }));
}

std::int64_t RankingScanLimit(const Search& search) {
    return std::max<std::int64_t>(kMaxCountedMatches,
                                  kRankingBudget / std::max(1, RankedPhrases(search)));
}

std::string PhraseWeights(IndexReader& reader, ResultCache& cache, const Search& search,
                          std::int64_t generation) {
    const int ranked = RankedPhrases(search);
    std::int64_t records = 0;
    if (ranked > 1) records = reader.Stats().records;
    const std::int64_t counted = kRankingBudget / std::max(1, ranked);
    std::string weights;
    for (const std::string& phrase : search.phrases) {
        double weight = 0;
        if (!phrase.empty() && ranked == 1) {
            weight = 1; // one ranked phrase: its weight changes no order
        } else if (!phrase.empty()) {
            const std::string key = std::to_string(counted) + ":" + phrase;
            std::optional<std::int64_t> df = cache.Frequency(key, generation);
            if (!df) {
                df = reader.CountUpTo(phrase, counted);
                cache.PutFrequency(key, generation, *df);
            }
            weight = InverseDocumentFrequency(records, *df);
        }
        char number[32];
        std::snprintf(number, sizeof number, "%.6g ", weight);
        weights += number;
    }
    return weights;
}

namespace {

// Records without a name come last.
std::vector<std::int64_t> SortedIds(IndexReader& reader, const Search& search, SortColumn column) {
    auto rows = reader.NewestWith(search, column, kMaxCountedMatches);
    std::vector<std::pair<std::string, std::int64_t>> keyed;
    keyed.reserve(rows.size());
    for (auto& [id, name] : rows)
        keyed.emplace_back(std::move(name), id);
    std::sort(keyed.begin(), keyed.end(), [](const auto& x, const auto& y) {
        if (x.first.empty() != y.first.empty()) return y.first.empty();
        return x.first != y.first ? x.first < y.first : x.second < y.second;
    });
    std::vector<std::int64_t> ids;
    ids.reserve(keyed.size());
    for (const auto& entry : keyed)
        ids.push_back(entry.second);
    return ids;
}

} // namespace

ResultPage FindResults(IndexReader& reader, ResultCache& cache, const Search& search,
                       SortOrder order, int page, int perPage) {
    ResultPage result;
    if (search.MatchesNothing() || page < 1 || perPage < 1) return result;
    const std::int64_t generation = reader.Generation();
    if (const auto cached = cache.Count(search.Key(), generation)) {
        result.matches = *cached;
    } else {
        result.matches = reader.Count(search);
        cache.PutCount(search.Key(), generation, result.matches);
    }
    const long long offset = static_cast<long long>(page - 1) * perPage;
    if (offset >= result.matches) return result;
    // With nothing to score every match would score alike: newest first.
    if (order == SortOrder::Date || (order == SortOrder::Relevance && RankedPhrases(search) == 0)) {
        result.items = reader.Page(search, static_cast<int>(offset), perPage);
        return result;
    }
    const std::string key = std::string(SortOrderName(order)) + ":" + search.Key();
    const ResultCache::Order ids = cache.MakeOrder(key, generation, [&] {
        if (order == SortOrder::Relevance) {
            const std::string weights = PhraseWeights(reader, cache, search, generation);
            return reader.BestMatches(search, weights, reader.Stats().averageLength,
                                      kMaxCountedMatches, RankingScanLimit(search));
        }
        return SortedIds(reader, search,
                         order == SortOrder::Author ? SortColumn::FirstAuthor
                                                    : SortColumn::Journal);
    });
    const auto from = std::min<std::size_t>(static_cast<std::size_t>(offset), ids->size());
    const auto to = std::min<std::size_t>(from + static_cast<std::size_t>(perPage), ids->size());
    result.items =
        reader.Summaries(std::vector<std::int64_t>(ids->begin() + from, ids->begin() + to));
    return result;
}

} // namespace tamix::server
