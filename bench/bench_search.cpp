// Result pages of an index in each order: the time from a query to its rendered page,
// read three ways, in rounds that interleave every case at random:
//
//   query-cold  the first request for the query in a running server: a new result cache,
//               the server's SQLite connection and the OS page cache as earlier requests
//               left them (warm: every case is asked once, untimed, before the first round
//               and after each round from disk);
//   repeated    the same request again: its count and order come from the cache;
//   disk-cold   the first request after the index file left the OS page cache
//               (posix_fadvise DONTNEED) and the server opened a new connection.
//
// Prints, per query and order, the median and the slowest round in ms, the matches, and
// beside the date order (today's only order) the ratio of each order's median to it.
//
// Then article pages with their similar articles, for records spread over the index:
// the first request for a record (a new cache) and the same request again.
//
//   tamix_bench_search INDEX [ROUNDS]        default 9 rounds (disk-cold: a third of them)
#include "server/index/index.h"
#include "server/index/query.h"
#include "server/index/results.h"
#include "server/web/pages.h"

#include "request_times.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace tamix::server;
using namespace tamix::bench;

struct Case {
    std::string query;
    SortOrder order;
    std::vector<double> queryCold, repeated, diskCold;
    int matches = 0;
};

// The index's pages and its WAL's out of the page cache.
void EvictFromPageCache(const std::string& path) {
    tamix::bench::EvictFromPageCache({path, path + "-wal"});
}

// One request as the server answers it: the page's results and the rendered page.
double Request(IndexReader& reader, ResultCache& cache, Case& c) {
    const auto start = Clock::now();
    ResultPageData data;
    data.term = c.query;
    data.sort = c.order;
    const ResultPage page = FindResults(reader, cache, BuildSearch(c.query), c.order, 1, 10);
    data.matches = page.matches;
    data.items = page.items;
    const std::string html = RenderResultPage(data);
    const double ms = Milliseconds(Clock::now() - start);
    if (html.empty()) std::abort();
    c.matches = page.matches;
    return ms;
}


} // namespace

// Four words, each in most records.
constexpr const char* kFourWords = "patients OR treatment OR outcome OR events";

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: tamix_bench_search INDEX [ROUNDS [QUERY|-]]\n");
        return 2;
    }
    const std::string index = argv[1];
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 9;
    KeepSearchMemory(); // as the server does
    std::vector<std::string> queries = {
        "patients",                   // most records of the sample
        "heart failure",              // two words, some tens of thousands
        "tocilizumab",                // tens of thousands
        "heart failure[mh]",          // a heading
        "patients AND metformin",     // common AND less common
        "calciphylaxis",              // about a thousand
        "2001:2005[dp] AND patients", // a span of years
        kFourWords,
    };
    // One query alone, to profile it; "-", none: the article pages alone.
    const bool alone = argc > 3;
    if (alone)
        queries = std::string(argv[3]) == "-" ? std::vector<std::string>{}
                                              : std::vector{std::string(argv[3])};
    std::vector<Case> cases;
    for (const std::string& q : queries)
        for (SortOrder order :
             {SortOrder::Date, SortOrder::Relevance, SortOrder::Author, SortOrder::Journal})
            cases.push_back({q, order, {}, {}, {}});

    auto reader = std::make_unique<IndexReader>(index);
    std::printf("== %s: %lld records, %d rounds\n", index.c_str(),
                static_cast<long long>(reader->Size()), rounds);
    InRounds(
        cases.size(), rounds,
        [&](std::size_t i, bool fromDisk) {
            Case& c = cases[i];
            ResultCache cache;
            if (fromDisk) {
                reader.reset();
                EvictFromPageCache(index);
                reader = std::make_unique<IndexReader>(index);
            }
            (fromDisk ? c.diskCold : c.queryCold).push_back(Request(*reader, cache, c));
            c.repeated.push_back(Request(*reader, cache, c));
        },
        [&](std::size_t i) {
            ResultCache cache;
            Request(*reader, cache, cases[i]);
        });

    // How many records each query matches in all (the pages count 10,000 at most).
    std::map<std::string, std::string> all;
    for (const std::string& q : queries) {
        const Search search = BuildSearch(q);
        all[q] = search.Spanned() ? "-" : std::to_string(reader->CountUpTo(search.match, 1 << 30));
    }
    std::map<std::string, double> dateMedian;
    for (const Case& c : cases)
        if (c.order == SortOrder::Date) dateMedian[c.query] = Median(c.queryCold);
    std::printf("  %-42s %-9s %8s %8s %19s %19s %19s %7s\n", "query", "order", "matches", "of",
                "query-cold p50/max", "repeated p50/max", "disk-cold p50/max", "x date");
    for (const Case& c : cases) {
        std::printf("  %-42s %-9s %8d %8s %9.2f %9.2f %9.2f %9.2f %9.2f %9.2f %7.1f\n",
                    c.query.c_str(), SortOrderName(c.order), c.matches, all[c.query].c_str(),
                    Median(c.queryCold), Slowest(c.queryCold), Median(c.repeated),
                    Slowest(c.repeated), Median(c.diskCold), Slowest(c.diskCold),
                    Median(c.queryCold) / std::max(1e-3, dateMedian[c.query]));
    }

    // The four words again with their lists in the page cache, which the rounds' disk-cold
    // requests empty: what reading and scoring the lists take apart from the disk.
    if (std::find(queries.begin(), queries.end(), kFourWords) != queries.end()) {
        Case warm{kFourWords, SortOrder::Relevance, {}, {}, {}};
        std::vector<double> times;
        for (int i = 0; i < 6; ++i) {
            ResultCache cache;
            times.push_back(Request(*reader, cache, warm));
        }
        times.erase(times.begin()); // the first reads the lists in
        std::printf("  %s, relevance, lists in the page cache: p50 %.2f max %.2f ms\n", kFourWords,
                    Median(times), Slowest(times));
    }

    // Records planted older than all others (bench/planted.xml), where their orders put them.
    if (alone && !queries.empty()) return 0;
    if (!queries.empty() && reader->Find(1)) {
        const auto first = [&](const char* query, SortOrder order) {
            ResultCache cache;
            const ResultPage page = FindResults(*reader, cache, BuildSearch(query), order, 1, 10);
            return page.items.empty() ? std::int64_t{0} : page.items[0].pmid;
        };
        std::printf("  planted, first: best match of the four words %lld (planted 1), patients by "
                    "author %lld (2), by journal %lld (3)\n",
                    static_cast<long long>(first(kFourWords, SortOrder::Relevance)),
                    static_cast<long long>(first("patients", SortOrder::Author)),
                    static_cast<long long>(first("patients", SortOrder::Journal)));
    }

    // Article pages: a record every so many of the newest-first list of a common word, after
    // as many others as a running server would have served before (so that what every page
    // reads is in the page cache), then each again, then each with the index out of the
    // page cache.
    std::vector<std::int64_t> pmids, others;
    const Search common = BuildSearch("patients");
    const int matches = reader->Count(common);
    for (int k = 0; k < 20 && matches > 0; ++k) {
        for (const ArticleSummary& item : reader->Page(common, matches / 20 * k, 1))
            pmids.push_back(item.pmid);
        for (const ArticleSummary& item : reader->Page(common, matches / 20 * k + matches / 40, 1))
            others.push_back(item.pmid);
    }
    std::size_t similar = 0;
    const auto open = [&](std::int64_t pmid, ResultCache& cache) {
        const auto start = Clock::now();
        const auto article = reader->Find(pmid);
        const auto items = SimilarArticles(*reader, cache, *article, 5);
        const std::string html = RenderArticlePage(*article, items);
        const double ms = Milliseconds(Clock::now() - start);
        if (html.empty()) std::abort();
        similar += items.size();
        return ms;
    };
    for (const std::int64_t pmid : others) {
        ResultCache cache;
        open(pmid, cache);
    }
    similar = 0;
    std::vector<double> first, again, diskCold;
    for (const std::int64_t pmid : pmids) {
        ResultCache cache;
        first.push_back(open(pmid, cache));
        again.push_back(open(pmid, cache));
    }
    const double perPage = pmids.empty() ? 0.0 : similar / 2.0 / pmids.size();
    for (const std::int64_t pmid : pmids) {
        reader.reset();
        EvictFromPageCache(index);
        reader = std::make_unique<IndexReader>(index);
        ResultCache cache;
        diskCold.push_back(open(pmid, cache));
    }
    std::printf("  article pages with similar articles (%zu records, %.1f similar each): "
                "first p50 %.2f max %.2f ms, again p50 %.2f max %.2f ms, disk-cold p50 %.2f "
                "max %.2f ms\n",
                pmids.size(), perPage, Median(first), Slowest(first), Median(again), Slowest(again),
                Median(diskCold), Slowest(diskCold));
    return 0;
}
