// DownloadToFile against a bare libcurl transfer of the same 20 MB body from the same
// loopback server, interleaved, as a throughput ratio from one run.
#include "median_report.h"
#include "pubmed/download.h"
#include "support/test_server.h"

#include <curl/curl.h>

#include <cstdio>
#include <filesystem>

namespace {

constexpr std::size_t kBodyBytes = 20 * 1000 * 1000;

struct Fixture {
    Fixture() : body(kBodyBytes, 'x') {
        server.routes().Get("/body", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(body.size(), "application/octet-stream",
                                     [this](size_t offset, size_t length, httplib::DataSink& sink) {
                                         return sink.write(body.data() + offset,
                                                           std::min<size_t>(length, 1 << 16));
                                     });
        });
        server.Start();
        url = server.Url("/body");
        file = (std::filesystem::temp_directory_path() / "tamix-bench-download").string();
    }
    ~Fixture() { std::filesystem::remove(file); }

    std::string body;
    tamix::test::TestServer server;
    std::string url;
    std::string file;
};

Fixture& Shared() {
    static Fixture fixture;
    return fixture;
}

void BM_DownloadToFile(benchmark::State& state) {
    Fixture& f = Shared();
    for (auto _ : state)
        if (!tamix::DownloadToFile(f.url, f.file)) state.SkipWithError("download failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodyBytes));
}

size_t WriteToFile(char* data, size_t size, size_t count, void* file) {
    return std::fwrite(data, size, count, static_cast<FILE*>(file));
}

// The baseline: libcurl's defaults, body straight to a stdio file.
void BM_BareLibcurl(benchmark::State& state) {
    Fixture& f = Shared();
    for (auto _ : state) {
        FILE* out = std::fopen(f.file.c_str(), "wb");
        CURL* curl = curl_easy_init();
        curl_easy_setopt(curl, CURLOPT_URL, f.url.c_str());
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteToFile);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, out);
        const CURLcode result = curl_easy_perform(curl);
        curl_easy_cleanup(curl);
        std::fclose(out);
        if (result != CURLE_OK) state.SkipWithError("bare transfer failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBodyBytes));
}

BENCHMARK(BM_DownloadToFile)->Repetitions(9)->ReportAggregatesOnly(true)->UseRealTime();
BENCHMARK(BM_BareLibcurl)->Repetitions(9)->ReportAggregatesOnly(true)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    tamix::bench::MedianReporter reporter;
    tamix::bench::RunAll(argc, argv, reporter);
    if (reporter.medians.count("BM_DownloadToFile") && reporter.medians.count("BM_BareLibcurl")) {
        const double ours = reporter.Counter("BM_DownloadToFile", "bytes_per_second");
        const double bare = reporter.Counter("BM_BareLibcurl", "bytes_per_second");
        std::printf("\n20 MB from loopback, medians of 9 interleaved repetitions:\n"
                    "  DownloadToFile %7.0f MB/s\n  bare libcurl   %7.0f MB/s\n"
                    "  ratio          %7.3f (DownloadToFile / bare libcurl)\n",
                    ours / 1e6, bare / 1e6, ours / bare);
    }
    curl_global_cleanup();
    return 0;
}
