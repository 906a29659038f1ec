// A page of a search's results in the order asked for, with what the searches of a
// server share: counts, orders and the weights of phrases, kept until the index changes.
#pragma once

#include "server/index/index.h"

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tamix::server {

enum class SortOrder {
    Date,      // newest first (the index's own order)
    Relevance, // Best Match: BM25 (rank.h), equal scores newest first
    Author,    // by first author, then newest first
    Journal    // by journal, then newest first
};

// "date" (or ""), "relevance", "author", "journal"; nullopt for anything else.
std::optional<SortOrder> ParseSortOrder(std::string_view text);
const char* SortOrderName(SortOrder order);

// Shared by the threads of a server; every entry belongs to one generation of the index.
class ResultCache {
public:
    std::optional<int> Count(const std::string& key, std::int64_t generation);
    void PutCount(const std::string& key, std::int64_t generation, int count);

    using Order = std::shared_ptr<const std::vector<std::int64_t>>;
    Order GetOrder(const std::string& key, std::int64_t generation);
    void PutOrder(const std::string& key, std::int64_t generation, Order order);
    // The order kept for the key, else the one make gives, which is kept. Requests that
    // ask for an order while another makes it wait for that one rather than make it again
    // (the first page of a common search, asked by many at once); what make throws is
    // thrown to each of them.
    Order MakeOrder(const std::string& key, std::int64_t generation,
                    const std::function<std::vector<std::int64_t>()>& make);

    std::optional<std::int64_t> Frequency(const std::string& phrase, std::int64_t generation);
    void PutFrequency(const std::string& phrase, std::int64_t generation, std::int64_t count);

private:
    // Bounded, and cheap to refill: each map is emptied when it is full.
    static constexpr std::size_t kCounts = 20000;
    static constexpr std::size_t kFrequencies = 20000;
    static constexpr std::size_t kOrderIds = 4 << 20; // 32 MiB of ids
    static constexpr std::size_t kOrderEntry = 32;    // what an entry costs at least, in ids

    std::mutex mutex_;
    std::unordered_map<std::string, std::pair<std::int64_t, int>> counts_;
    std::unordered_map<std::string, std::pair<std::int64_t, Order>> orders_;
    std::unordered_map<std::string, std::pair<std::int64_t, std::shared_future<Order>>> making_;
    std::size_t orderIds_ = 0;
    std::unordered_map<std::string, std::pair<std::int64_t, std::int64_t>> frequencies_;
};

struct ResultPage {
    int matches = 0; // counted up to kMaxCountedMatches
    std::vector<ArticleSummary> items;
};

// Page page (from 1) of perPage items, in the order asked for, over all matches: Best
// Match by the ranking engine (or, for a search it does not evaluate, by scoring every
// match); a search with no ranked phrase (tags alone) comes newest first.
ResultPage FindResults(IndexReader& reader, ResultCache& cache, const Search& search,
                       SortOrder order, int page, int perPage);

// Best Match's weight of each of the search's phrases (0 for one that is not ranked), by the
// number of records whose ranked fields hold its words: a phrase of several words weighs as
// its rarest word, a prefix as the commonest word it begins. One ranked phrase alone weighs
// 1 (its weight would change no order).
std::vector<double> PhraseWeights(IndexReader& reader, const Search& search);

// The sort keys of the limit matches that Best Match puts first, best first, equal scores
// newest first: by the ranking engine when the search is words joined by AND, OR and NOT
// (searched in all fields or in the ranked ones), else by scoring every match in FTS5.
std::vector<std::int64_t> BestMatches(IndexReader& reader, const Search& search, int limit);

// How many of an order's first records a page needs made: 10, 40, 160, ... (four times
// over, so that paging on makes an order again rarely), at most kMaxCountedMatches.
int OrderDepth(long long records);

// The records closest to the article by Best Match of the words of its title and of its
// major MeSH headings (the article itself left out), best first: PubMed's "Similar
// articles". Words that say nothing about a subject ("the", "of", numbers) are not
// searched, nor are words found in more than a twentieth of the records while four rarer
// ones remain. Kept per record until the index changes.
std::vector<ArticleSummary> SimilarArticles(IndexReader& reader, ResultCache& cache,
                                            const Article& article, int limit);
// The search SimilarArticles ranks by: each word once, any of them.
Search SimilarSearch(const Article& article);

// How many of the search's phrases count for Best Match.
int RankedPhrases(const Search& search);

} // namespace tamix::server
