#include "server/index/results.h"

#include "pubmed/text.h"

#include "server/index/query.h"
#include "server/index/rank.h"
#include "server/index/words.h"

#include <algorithm>
#include <cstdio>
#include <limits>
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

int OrderDepth(long long records) {
    long long depth = 10;
    while (depth < records && depth < kMaxCountedMatches)
        depth *= 4;
    return static_cast<int>(std::min<long long>(depth, kMaxCountedMatches));
}

namespace {

// The phrase leaves of the tree, by their index among the search's phrases.
void CollectPhrases(const SearchNode& node, std::vector<const SearchNode*>& out) {
    if (node.kind == SearchNode::Phrase) {
        if (node.phrase >= 0 && static_cast<std::size_t>(node.phrase) < out.size())
            out[node.phrase] = &node;
        return;
    }
    for (const SearchNode& operand : node.operands)
        CollectPhrases(operand, out);
}

std::vector<const SearchNode*> PhraseNodes(const Search& search) {
    std::vector<const SearchNode*> nodes(search.phrases.size(), nullptr);
    if (!search.tree.empty()) CollectPhrases(search.tree[0], nodes);
    return nodes;
}

// The tree as the engine evaluates it, with each leaf's term; false when a part of it is
// not words the engine holds (tags, fields, phrases of several words, prefixes).
bool EngineTree(IndexReader& reader, const SearchNode& node, const std::vector<double>& weights,
                RankQuery& query, std::vector<std::string>& terms, RankNode& out) {
    switch (node.kind) {
    case SearchNode::Phrase: {
        if (node.prefix || (node.columns != kAllColumns && node.columns != kRankedColumns))
            return false;
        std::vector<std::string> words = reader.Tokens().Terms(node.text);
        if (words.size() != 1) return false;
        out.kind = RankNode::Term;
        out.leaf = static_cast<int>(query.leaves.size());
        const double weight = static_cast<std::size_t>(node.phrase) < weights.size()
                                  ? weights[node.phrase]
                                  : 0.0;
        query.leaves.push_back({weight, node.columns == kRankedColumns});
        terms.push_back(std::move(words[0]));
        return true;
    }
    case SearchNode::Other:
        return false;
    default:
        break;
    }
    out.kind = node.kind == SearchNode::And  ? RankNode::And
               : node.kind == SearchNode::Or ? RankNode::Or
                                             : RankNode::Not;
    out.operands.resize(node.operands.size());
    for (std::size_t i = 0; i < node.operands.size(); ++i)
        if (!EngineTree(reader, node.operands[i], weights, query, terms, out.operands[i]))
            return false;
    return true;
}

} // namespace

std::vector<double> PhraseWeights(IndexReader& reader, const Search& search) {
    std::vector<double> weights(search.phrases.size(), 0.0);
    const int ranked = RankedPhrases(search);
    if (ranked == 0) return weights;
    const std::vector<const SearchNode*> nodes = PhraseNodes(search);
    const std::int64_t records = ranked > 1 ? reader.Stats().records : 0;
    for (std::size_t i = 0; i < search.phrases.size(); ++i) {
        if (search.phrases[i].empty()) continue;
        if (ranked == 1) {
            weights[i] = 1;
            continue;
        }
        std::int64_t df = std::numeric_limits<std::int64_t>::max();
        if (const SearchNode* node = nodes[i]) {
            const std::vector<std::string> words = reader.Tokens().Terms(node->text);
            for (std::size_t w = 0; w < words.size(); ++w) {
                std::int64_t found = 0;
                if (node->prefix && w + 1 == words.size()) {
                    const auto commonest = reader.Ranking().TermsWithPrefix(words[w], 1);
                    found = commonest.empty() ? 0 : commonest[0].second;
                } else {
                    found = reader.Ranking().Records(words[w]);
                }
                df = std::min(df, found);
            }
        }
        if (df == std::numeric_limits<std::int64_t>::max()) df = 0;
        weights[i] = InverseDocumentFrequency(records, df);
    }
    return weights;
}

std::vector<std::int64_t> BestMatches(IndexReader& reader, const Search& search, int limit) {
    if (search.MatchesNothing() || limit <= 0 || RankedPhrases(search) == 0) return {};
    const std::vector<double> weights = PhraseWeights(reader, search);
    const double average = reader.Stats().averageLength;
    RankQuery query;
    std::vector<std::string> terms;
    if (!search.tree.empty() &&
        EngineTree(reader, search.tree[0], weights, query, terms, query.root)) {
        query.averageLength = average;
        query.firstKey = search.firstRowid;
        query.lastKey = search.lastRowid;
        return reader.Ranking().Best(query, terms, limit);
    }
    return reader.ScoreEveryMatch(search, weights, average, limit);
}

namespace {

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
    search.tree.emplace_back();
    search.tree[0].kind = SearchNode::Or;
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
            const std::string phrase = std::string(kRankedColumns) + " : " + QuoteFts5(word);
            search.match += (search.match.empty() ? "" : " OR ") + phrase;
            SearchNode leaf;
            leaf.kind = SearchNode::Phrase;
            leaf.phrase = static_cast<int>(search.phrases.size());
            leaf.text = word;
            leaf.columns = kRankedColumns;
            leaf.expression = phrase;
            search.tree[0].operands.push_back(std::move(leaf));
            search.phrases.push_back(phrase);
        }
    }
    if (search.match.empty()) search.tree.clear();
    return search;
}

// The words of the search that are found in few records: a word in every twentieth
// record says little of a subject and weighs little in BM25, yet ORed in it brings a
// large share of the index to be scored. When fewer than kFewestSimilarWords are rare,
// the rarest words are kept.
Search RareWords(IndexReader& reader, const Search& all) {
    constexpr std::size_t kFewestSimilarWords = 4;
    const std::int64_t common = std::max<std::int64_t>(reader.Stats().records / 20, 1);
    std::vector<std::pair<std::int64_t, std::size_t>> found; // records, phrase
    const SearchNode& any = all.tree[0];
    for (std::size_t i = 0; i < any.operands.size(); ++i) {
        std::int64_t df = 0;
        for (const std::string& term : reader.Tokens().Terms(any.operands[i].text))
            df = std::max(df, reader.Ranking().Records(term));
        if (df > 0) found.emplace_back(df, i);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    std::vector<bool> kept(any.operands.size(), false);
    for (std::size_t k = 0; k < found.size(); ++k)
        if (found[k].first <= common || k < kFewestSimilarWords) kept[found[k].second] = true;
    Search search;
    search.tree.emplace_back();
    search.tree[0].kind = SearchNode::Or;
    for (std::size_t i = 0; i < any.operands.size(); ++i) {
        if (!kept[i]) continue;
        search.match += (search.match.empty() ? "" : " OR ") + all.phrases[i];
        SearchNode leaf = any.operands[i];
        leaf.phrase = static_cast<int>(search.phrases.size());
        search.tree[0].operands.push_back(std::move(leaf));
        search.phrases.push_back(all.phrases[i]);
    }
    if (search.match.empty()) search.tree.clear();
    return search;
}

std::vector<ArticleSummary> SimilarArticles(IndexReader& reader, ResultCache& cache,
                                            const Article& article, int limit) {
    const Search words = SimilarSearch(article);
    if (words.MatchesNothing() || limit < 1) return {};
    const std::int64_t generation = reader.Generation();
    const ResultCache::Order ids = cache.MakeOrder(
        "similar:" + std::to_string(article.pmid) + ":" + std::to_string(limit), generation, [&] {
            // One more than asked: the record itself is among the best.
            return BestMatches(reader, RareWords(reader, words), limit + 1);
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
    const int depth = OrderDepth(offset + perPage);
    const std::string key = std::string(SortOrderName(order)) + ":" + std::to_string(depth) +
                            ":" + search.Key();
    const ResultCache::Order ids = cache.MakeOrder(key, generation, [&] {
        if (order == SortOrder::Relevance) return BestMatches(reader, search, depth);
        return reader.Ordered(
            search, order == SortOrder::Author ? SortColumn::FirstAuthor : SortColumn::Journal,
            depth);
    });
    const auto from = std::min<std::size_t>(static_cast<std::size_t>(offset), ids->size());
    const auto to = std::min<std::size_t>(from + static_cast<std::size_t>(perPage), ids->size());
    result.items =
        reader.Summaries(std::vector<std::int64_t>(ids->begin() + from, ids->begin() + to));
    return result;
}

} // namespace tamix::server
