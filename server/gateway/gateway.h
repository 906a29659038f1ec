// Result and article pages from NCBI's E-utilities instead of the index alone: esearch
// gives a page's ids in PubMed's order and its count, efetch the records the index does
// not hold yet, which are imported as `tamix-server import` imports files. The index thus
// caches every record seen, for later pages, local searches and work offline.
#pragma once

#include "server/gateway/eutils.h"
#include "server/index/index.h"
#include "server/index/results.h"

#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tamix::gateway {

struct GatewayOptions {
    EutilsOptions eutils;
    std::string index;
    // A search's page (ids and count) is asked for once in this time.
    std::chrono::seconds searchLife{300};
};

struct GatewayPage {
    int matches = 0; // esearch's count, up to server::kMaxCountedMatches
    std::vector<server::ArticleSummary> items;
    std::string message; // NCBI's words on the query, "" when none
};

class Gateway {
public:
    explicit Gateway(GatewayOptions options);

    // Page `page` (from 1, ten records) of the term's results in that order. The reader
    // is the caller's, on the index named in the options. Throws Unreachable.
    GatewayPage Search(const std::string& term, server::SortOrder sort, int page,
                       server::IndexReader& reader);
    // The record from the index, else from efetch; nothing when PubMed has none of that id.
    // Throws Unreachable.
    std::optional<server::Article> Find(std::int64_t pmid, server::IndexReader& reader);

    const GatewayOptions& options() const { return options_; }

private:
    using Clock = std::chrono::steady_clock;
    struct Kept {
        std::shared_future<SearchAnswer> answer;
        Clock::time_point asked;
    };

    SearchAnswer AskSearch(const std::string& term, const std::string& sort, int page);
    // efetch of the ids, imported; the records read, for when the index cannot take them.
    std::vector<server::Article> FetchAndImport(const std::vector<std::int64_t>& ids);

    GatewayOptions options_;
    EutilsClient client_;
    std::mutex searchesMutex_;
    std::map<std::string, Kept> searches_;
    // One import at a time in this process: the index's lock is per process.
    std::mutex importMutex_;
};

// esearch's name of an order.
const char* EsearchSort(server::SortOrder sort);

} // namespace tamix::gateway
