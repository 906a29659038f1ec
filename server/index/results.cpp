#include "server/index/results.h"

#include "pubmed/text.h"

#include "server/index/query.h"
#include "server/index/rank.h"
#include "server/index/words.h"

#include <algorithm>
#include <cstdio>
#include <set>

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
    // A short order (similar articles: six ids) still costs its key and map node.
    const auto cost = [](const Order& o) { return std::max<std::size_t>(o->size(), kOrderEntry); };
    if (orderIds_ + cost(order) > kOrderIds) {
        orders_.clear();
        orderIds_ = 0;
    }
    auto& slot = orders_[key];
    if (slot.second) orderIds_ -= cost(slot.second);
    orderIds_ += cost(order);
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

namespace {

// Records matching the phrase, counted up to limit, kept until the index changes.
std::int64_t CachedCount(IndexReader& reader, ResultCache& cache, const std::string& phrase,
                         std::int64_t limit, std::int64_t generation) {
    const std::string key = std::to_string(limit) + ":" + phrase;
    std::optional<std::int64_t> count = cache.Frequency(key, generation);
    if (!count) {
        count = reader.CountUpTo(phrase, limit);
        cache.PutFrequency(key, generation, *count);
    }
    return *count;
}

} // namespace

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
            weight = InverseDocumentFrequency(
                records, CachedCount(reader, cache, phrase, counted, generation));
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

// Words of titles that match most records and tell nothing of a subject.
bool IsStopWord(const std::string& word) {
    static const std::set<std::string> kWords = {
        "a",    "about", "after",  "all",    "among", "an",   "and",   "are",   "as",    "at",
        "be",   "been",  "before", "being",  "but",   "by",   "can",   "do",    "does",  "during",
        "for",  "from",  "had",    "has",    "have",  "how",  "in",    "into",  "is",    "it",
        "its",  "may",   "more",   "no",     "not",   "of",   "on",    "or",    "our",   "over",
        "than", "that",  "the",    "their",  "these", "this", "those", "to",    "under", "using",
        "via",  "vs",    "was",    "we",     "were",  "what", "when",  "which", "while", "who",
        "why",  "with",  "within", "without"};
    return kWords.count(word) > 0;
}

// Enough words to find a record's neighbours; each is a phrase FTS5 reads a doclist for.
constexpr std::size_t kSimilarWords = 32;

} // namespace

Search SimilarSearch(const Article& article) {
    std::vector<std::string> texts = {article.title};
    for (const MeshHeading& heading : article.mesh) {
        bool major = heading.major;
        for (const MeshQualifier& q : heading.qualifiers)
            major = major || q.major;
        if (major) texts.push_back(heading.descriptor);
    }
    Search search;
    std::set<std::string> seen;
    for (const std::string& text : texts) {
        const std::string clean = WithoutMarkers(text);
        for (const std::string_view found : Words(clean)) {
            const std::string word = ToLowerAscii(found);
            // Numbers (a trial's phase, a year, a count) say little of a subject.
            const bool number = word.find_first_not_of("0123456789") == std::string::npos;
            if (number || !HasTerm(word) || IsStopWord(word) || seen.size() >= kSimilarWords ||
                !seen.insert(word).second)
                continue;
            const std::string phrase = "{title abstract mesh keywords} : " + QuoteFts5(word);
            search.match += (search.match.empty() ? "" : " OR ") + phrase;
            search.phrases.push_back(phrase);
        }
    }
    return search;
}

// The words of the search that are found in few records: a word in every twentieth
// record says little of a subject and weighs little in BM25, yet ORed in it brings a
// large share of the index to be scored. When fewer than kFewestSimilarWords are rare,
// the rarest words are kept.
Search RareWords(IndexReader& reader, ResultCache& cache, const Search& all,
                 std::int64_t generation) {
    constexpr std::size_t kFewestSimilarWords = 4;
    const std::int64_t common = std::max<std::int64_t>(reader.Stats().records / 20, 1);
    std::vector<std::pair<std::int64_t, std::size_t>> found; // records, phrase
    for (std::size_t i = 0; i < all.phrases.size(); ++i) {
        const std::int64_t df = CachedCount(reader, cache, all.phrases[i], common + 1, generation);
        if (df > 0) found.emplace_back(df, i);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    std::vector<bool> kept(all.phrases.size(), false);
    for (std::size_t k = 0; k < found.size(); ++k)
        if (found[k].first <= common || k < kFewestSimilarWords) kept[found[k].second] = true;
    Search search;
    for (std::size_t i = 0; i < all.phrases.size(); ++i) {
        if (!kept[i]) continue;
        search.match += (search.match.empty() ? "" : " OR ") + all.phrases[i];
        search.phrases.push_back(all.phrases[i]);
    }
    return search;
}

std::vector<ArticleSummary> SimilarArticles(IndexReader& reader, ResultCache& cache,
                                            const Article& article, int limit) {
    const Search words = SimilarSearch(article);
    if (words.MatchesNothing() || limit < 1) return {};
    const std::int64_t generation = reader.Generation();
    const ResultCache::Order ids = cache.MakeOrder(
        "similar:" + std::to_string(article.pmid) + ":" + std::to_string(limit), generation, [&] {
            const Search search = RareWords(reader, cache, words, generation);
            if (search.MatchesNothing()) return std::vector<std::int64_t>();
            const std::string weights = PhraseWeights(reader, cache, search, generation);
            // One more than asked: the record itself is among the best.
            return reader.BestMatches(search, weights, reader.Stats().averageLength, limit + 1,
                                      RankingScanLimit(search));
        });
    std::vector<ArticleSummary> similar = reader.Summaries(*ids);
    similar.erase(std::remove_if(similar.begin(), similar.end(),
                                 [&](const ArticleSummary& s) { return s.pmid == article.pmid; }),
                  similar.end());
    if (similar.size() > static_cast<std::size_t>(limit)) similar.resize(limit);
    return similar;
}

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
