// tamix-server as a gateway: result pages per second once their search is in memory and
// their records in the index, beside the same pages of a server without the gateway; and
// the time the gateway adds to an esearch (and to an esearch and efetch with the import
// of ten records) over the stand-in's own answer, at NCBI's pace with a key.
#include "median_report.h"
#include "support/eutils_stand_in.h"
#include "support/process.h"
#include "support/pubmed_fixture.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const std::string kServer = TAMIX_SERVER_BIN;
constexpr int kRecords = 4000;
constexpr int kCachedPages = 100;

struct Setup {
    Setup() {
        char pattern[] = "/tmp/tamix-bench-XXXXXX";
        dir = mkdtemp(pattern);
        std::vector<tamix::test::Record> records;
        for (int i = 0; i < kRecords; ++i)
            records.push_back({100000 + i, "Gateway benchmark record " + std::to_string(i),
                               "<AbstractText>Heart failure and its treatment, record " +
                                   std::to_string(i) + ".</AbstractText>",
                               1990 + i % 30, 1 + i % 12, 1 + i % 28,
                               "10.1/g" + std::to_string(i)});
        eutils.AddRecords(tamix::test::ArticleSet(records));
        // Page p of "page p" holds records 10p..10p+9; "cached p" the same, fetched once.
        for (int p = 0; p < kRecords / 10; ++p) {
            std::vector<std::int64_t> ids;
            for (int i = 0; i < 10; ++i)
                ids.push_back(100000 + p * 10 + i);
            eutils.SetSearch("page " + std::to_string(p), 10, ids);
            eutils.SetSearch("cached " + std::to_string(p), 10, ids);
        }
        gateway = Start({"--index", dir + "/gateway.sqlite", "--eutils", eutils.Base(), "--api-key",
                         "benchmark"},
                        gatewayPort, "gateway");
        local = nullptr;
    }
    ~Setup() { fs::remove_all(dir); }

    std::unique_ptr<tamix::test::Process> Start(std::vector<std::string> args, int& port,
                                                const std::string& name) {
        args.insert(args.begin(), {kServer, "serve"});
        args.insert(args.end(), {"--listen", "127.0.0.1:0", "--quiet"});
        auto process = std::make_unique<tamix::test::Process>(args, dir + "/" + name + ".log");
        const std::string found = process->WaitFor("on http://127\\.0\\.0\\.1:(\\d+)/");
        port = found.empty() ? -1 : std::stoi(found);
        return process;
    }

    std::string dir;
    tamix::test::EutilsStandIn eutils;
    std::unique_ptr<tamix::test::Process> gateway, local;
    int gatewayPort = -1, localPort = -1;
};

Setup& S() {
    static Setup setup;
    return setup;
}

std::string Target(const std::string& term) {
    std::string target = "/m/pubmed/?term=";
    for (char c : term)
        target += c == ' ' ? std::string("%20") : std::string(1, c);
    return target;
}

// Each thread's own keep-alive connection, as a browser keeps one.
void Pages(benchmark::State& state, int port) {
    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    int i = static_cast<int>(state.thread_index()) * 7;
    for (auto _ : state) {
        auto res = client.Get(Target("cached " + std::to_string(i++ % kCachedPages)));
        if (!res || res->status != 200) state.SkipWithError("request failed");
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_GatewayCachedPage(benchmark::State& state) {
    Pages(state, S().gatewayPort);
}
void BM_LocalPage(benchmark::State& state) {
    Pages(state, S().localPort);
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * (values.size() - 1))];
}

struct Latency {
    std::vector<double> gateway, direct, added;
    void Print(const char* what) const {
        std::printf("  %-34s gateway p50 %6.2f ms p99 %6.2f | stand-in p50 %6.2f ms p99 %6.2f | "
                    "added p50 %5.2f ms p99 %5.2f\n",
                    what, Percentile(gateway, .5), Percentile(gateway, .99), Percentile(direct, .5),
                    Percentile(direct, .99), Percentile(added, .5), Percentile(added, .99));
    }
};

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Page p through the gateway (which asks the stand-in), then the stand-in's own answers to
// the same requests; each pair spaced so that NCBI's pace never holds a request back.
Latency Measure(int from, int pages, bool fetch) {
    httplib::Client gateway("127.0.0.1", S().gatewayPort);
    httplib::Client direct("127.0.0.1", S().eutils.port());
    Latency latency;
    for (int p = from; p < from + pages; ++p) {
        std::this_thread::sleep_for(std::chrono::milliseconds(fetch ? 250 : 130));
        const std::string term = "page " + std::to_string(p);
        auto start = Clock::now();
        auto res = gateway.Get(Target(term));
        const double through = Ms(Clock::now() - start);
        if (!res || res->status != 200) {
            std::fprintf(stderr, "gateway request failed\n");
            std::exit(1);
        }
        // What the gateway asked, asked straight.
        std::string ids;
        for (int i = 0; i < 10; ++i)
            ids += (i ? "," : "") + std::to_string(100000 + p * 10 + i);
        start = Clock::now();
        direct.Get("/entrez/eutils/esearch.fcgi?db=pubmed&term=page+" + std::to_string(p) +
                   "&retstart=0&retmax=10&sort=pub_date&retmode=xml&tool=tamix-server&api_key=x");
        if (fetch)
            direct.Get("/entrez/eutils/efetch.fcgi?db=pubmed&id=" + ids +
                       "&retmode=xml&tool=tamix-server&api_key=x");
        const double own = Ms(Clock::now() - start);
        latency.gateway.push_back(through);
        latency.direct.push_back(own);
        latency.added.push_back(through - own);
    }
    return latency;
}

} // namespace

BENCHMARK(BM_GatewayCachedPage)->Threads(4)->UseRealTime()->MinTime(2.0)->Repetitions(3);
BENCHMARK(BM_LocalPage)->Threads(4)->UseRealTime()->MinTime(2.0)->Repetitions(3);

int main(int argc, char** argv) {
    // Every cached page once through the gateway (esearch, efetch, import), then a server
    // without the gateway on a copy of the index it filled.
    for (int p = 0; p < kCachedPages; ++p) {
        httplib::Client client("127.0.0.1", S().gatewayPort);
        auto res = client.Get(Target("cached " + std::to_string(p)));
        if (!res || res->status != 200) {
            std::fprintf(stderr, "cannot fill the cache\n");
            return 1;
        }
    }
    fs::copy_file(S().dir + "/gateway.sqlite", S().dir + "/local.sqlite");
    S().local = S().Start({"--index", S().dir + "/local.sqlite"}, S().localPort, "local");

    tamix::bench::MedianReporter reporter;
    tamix::bench::RunAll(argc, argv, reporter);

    // Pages 100..199 of "page p" find their records in the index (fetched through "cached
    // p"): esearch alone. Pages from 200 need an efetch and an import too.
    for (int p = kCachedPages; p < 2 * kCachedPages; ++p) {
        httplib::Client client("127.0.0.1", S().gatewayPort);
        client.Get(Target("cached " + std::to_string(p)));
        std::this_thread::sleep_for(std::chrono::milliseconds(220));
    }
    const Latency esearchOnly = Measure(kCachedPages, kCachedPages, false);
    const Latency withFetch = Measure(2 * kCachedPages, 150, true);

    std::printf("\nResult pages, 4 clients on keep-alive connections (median of 3 runs):\n");
    std::printf("  through the gateway, search in memory, records in the index: %8.0f pages/s\n",
                reporter.Counter("BM_GatewayCachedPage", "items_per_second"));
    std::printf("  the same pages from a server without the gateway:            %8.0f pages/s\n",
                reporter.Counter("BM_LocalPage", "items_per_second"));
    std::printf("Latency of a page the gateway must ask for, against the stand-in's own answers "
                "(%zu and %zu pages):\n",
                esearchOnly.gateway.size(), withFetch.gateway.size());
    esearchOnly.Print("esearch (records in the index)");
    withFetch.Print("esearch + efetch + import of 10");
    S().gateway->Stop();
    S().local->Stop();
    return 0;
}
