#include "server/gateway/gateway.h"

#include "server/index/importer.h"
#include "server/index/lock.h"
#include "server/records/readers.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace tamix::gateway {

namespace {

constexpr int kPerPage = 10;
// esearch pages no further into PubMed's results than this.
constexpr int kLastRecord = server::kMaxCountedMatches;
// Searches kept at most; the oldest go first.
constexpr std::size_t kMaxKept = 4096;

server::ArticleSummary SummaryOf(const server::Article& a) {
    return {a.pmid, a.title, a.authors, a.journal, a.pubdate};
}

} // namespace

const char* EsearchSort(server::SortOrder sort) {
    switch (sort) {
    case server::SortOrder::Relevance:
        return "relevance";
    case server::SortOrder::Author:
        return "Author";
    case server::SortOrder::Journal:
        return "JournalName";
    case server::SortOrder::Date:
        break;
    }
    return "pub_date";
}

Gateway::Gateway(GatewayOptions options) : options_(std::move(options)), client_(options_.eutils) {
}

SearchAnswer Gateway::AskSearch(const std::string& term, const std::string& sort, int page) {
    const std::string key = sort + '\n' + std::to_string(page) + '\n' + term;
    std::promise<SearchAnswer> promise;
    {
        std::lock_guard<std::mutex> lock(searchesMutex_);
        const auto now = Clock::now();
        const auto found = searches_.find(key);
        if (found != searches_.end() && now - found->second.asked < options_.searchLife)
            return found->second.answer.get(); // waits while another thread asks
        if (searches_.size() >= kMaxKept) {
            for (auto it = searches_.begin(); it != searches_.end();)
                it = now - it->second.asked >= options_.searchLife ? searches_.erase(it)
                                                                   : std::next(it);
            if (searches_.size() >= kMaxKept)
                searches_.erase(std::min_element(
                    searches_.begin(), searches_.end(),
                    [](const auto& a, const auto& b) { return a.second.asked < b.second.asked; }));
        }
        searches_[key] = Kept{promise.get_future().share(), now};
    }
    try {
        // Past the pages esearch gives, only the count is asked for.
        const int retstart = (page - 1) * kPerPage;
        const bool within = retstart < kLastRecord;
        const std::string body = client_.Get(SearchAddress(
            options_.eutils, term, sort, within ? retstart : 0, within ? kPerPage : 0));
        SearchAnswer answer;
        std::string why;
        if (!ParseSearchAnswer(body, answer, why)) throw Unreachable(why);
        if (answer.ids.size() > static_cast<std::size_t>(kPerPage)) answer.ids.resize(kPerPage);
        promise.set_value(answer);
        return answer;
    } catch (...) {
        // Failures are not kept: the next request asks again.
        promise.set_exception(std::current_exception());
        {
            std::lock_guard<std::mutex> lock(searchesMutex_);
            searches_.erase(key);
        }
        throw;
    }
}

std::vector<server::Article> Gateway::FetchAndImport(const std::vector<std::int64_t>& ids) {
    const std::string body = client_.Get(FetchAddress(options_.eutils, ids));
    // Read once here to know that it reads, and for the page should the index be busy.
    std::vector<server::Article> articles;
    server::RecordSink sink;
    sink.onArticle = [&](server::Article&& a) { articles.push_back(std::move(a)); };
    std::string error;
    if (!server::ReadPubmedXmlText(body, "efetch", sink, error))
        throw Unreachable("efetch's answer does not read: " + error);
    if (articles.empty()) return articles;

    std::string name = "efetch of";
    for (std::size_t i = 0; i < ids.size() && i < 3; ++i)
        name += " " + std::to_string(ids[i]);
    if (ids.size() > 3) name += " ...";
    server::ImportOptions importOptions;
    importOptions.wholeFiles = true;
    std::lock_guard<std::mutex> lock(importMutex_);
    try {
        server::ImportTexts(options_.index, {{name, body}}, {}, importOptions);
    } catch (const std::exception& e) {
        // Another process writes the index (a mirror, an import): the page is served from
        // what was read, and the records are stored when they are fetched again.
        std::fprintf(stderr, "tamix-server: the records fetched are not stored: %s\n", e.what());
    }
    return articles;
}

GatewayPage Gateway::Search(const std::string& term, server::SortOrder sort, int page,
                            server::IndexReader& reader) {
    GatewayPage result;
    const SearchAnswer answer = AskSearch(term, EsearchSort(sort), page);
    result.matches = std::min(answer.count, server::kMaxCountedMatches);
    result.message = answer.message;
    if (answer.ids.empty()) return result;

    // In esearch's order, from the index as local pages are; what it lacks is fetched.
    std::vector<server::ArticleSummary> stored = reader.SummariesOfPmids(answer.ids);
    std::vector<server::Article> fetched;
    if (stored.size() < answer.ids.size()) {
        std::set<std::int64_t> present;
        for (const auto& item : stored)
            present.insert(item.pmid);
        std::vector<std::int64_t> missing;
        for (const std::int64_t id : answer.ids)
            if (!present.count(id)) missing.push_back(id);
        fetched = FetchAndImport(missing);
        stored = reader.SummariesOfPmids(answer.ids);
    }
    // What the index could not take comes from the records just read; ids efetch did not
    // bring are left out.
    std::size_t next = 0;
    for (const std::int64_t id : answer.ids) {
        if (next < stored.size() && stored[next].pmid == id) {
            result.items.push_back(std::move(stored[next++]));
            continue;
        }
        const auto read = std::find_if(fetched.begin(), fetched.end(),
                                       [&](const server::Article& a) { return a.pmid == id; });
        if (read != fetched.end()) result.items.push_back(SummaryOf(*read));
    }
    return result;
}

std::optional<server::Article> Gateway::Find(std::int64_t pmid, server::IndexReader& reader) {
    if (auto article = reader.Find(pmid)) return article;
    std::vector<server::Article> fetched = FetchAndImport({pmid});
    if (auto article = reader.Find(pmid)) return article;
    for (auto& a : fetched)
        if (a.pmid == pmid) return std::move(a);
    return std::nullopt;
}

} // namespace tamix::gateway
