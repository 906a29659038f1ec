// tamix-server's translation endpoint: start-up with the glossary loaded, and the
// latency of a 1,999-byte abstract through HTTP beside the stylesheet as baseline; then
// through a chat service (a stand-in on loopback that answers at once): the service asked
// directly, the endpoint asking it for a text it has not seen, and a text it has (cached).
#include "median_report.h"
#include "pubmed/addresses.h"
#include "pubmed/translation.h"
#include "support/process.h"
#include "support/test_server.h"
#include "support/translation_stand_in.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const std::string kServer = TAMIX_SERVER_BIN;

struct Scratch {
    Scratch() {
        char pattern[] = "/tmp/tamix-bench-XXXXXX";
        dir = mkdtemp(pattern);
        index = dir + "/index.sqlite";
        tamix::test::Process sample({kServer, "sample", "--count", "10", "--out", dir + "/s.xml"},
                                    dir + "/s.log");
        sample.Wait();
        tamix::test::Process import({kServer, "import", "--index", index, dir + "/s.xml"},
                                    dir + "/i.log");
        import.Wait();
    }
    ~Scratch() { fs::remove_all(dir); }
    std::string dir, index;
};

Scratch& Files() {
    static Scratch scratch;
    return scratch;
}

// The path and query the program sends for a full-length abstract.
std::string AbstractTarget() {
    std::string abstract = "  Heart failure in older adults  Smith J.  Abstract  ";
    while (abstract.size() < 2500)
        abstract += "BACKGROUND: Patients with chronic heart failure and type 2 diabetes were "
                    "randomized to metformin or usual care; mortality and hospital readmission "
                    "were compared with multivariable regression. ";
    const std::string address = tamix::MakeTranslateAddress(tamix::MakeTranslationSource(abstract));
    return address.substr(address.find("/public/"));
}

int StartServer(std::unique_ptr<tamix::test::Process>& process, const std::string& log,
                std::vector<std::string> extra = {}) {
    std::vector<std::string> args{kServer, "serve", "--index", Files().index, "--listen",
                                  "127.0.0.1:0", "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    process = std::make_unique<tamix::test::Process>(args, log);
    for (int i = 0; i < 20000; ++i) {
        const std::string text = process->Stderr();
        const auto at = text.find("on http://127.0.0.1:");
        if (at != std::string::npos) return std::stoi(text.substr(at + 20));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return -1;
}

// From exec to the first translation answered: the glossary is loaded by then.
void BM_StartUp(benchmark::State& state) {
    const std::string target = AbstractTarget();
    for (auto _ : state) {
        const auto start = Clock::now();
        std::unique_ptr<tamix::test::Process> server;
        const int port = StartServer(server, Files().dir + "/start.log");
        httplib::Client client("127.0.0.1", port);
        auto res = client.Get(target);
        const auto elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (!res || !tamix::DecodeTranslation(res->body)) state.SkipWithError("no translation");
        state.SetIterationTime(elapsed);
        server->Stop();
    }
}

struct Running {
    Running() { port = StartServer(process, Files().dir + "/serve.log"); }
    std::unique_ptr<tamix::test::Process> process;
    int port = -1;
};

Running& Server() {
    static Running running;
    return running;
}

thread_local std::unique_ptr<httplib::Client> client;

void Request(benchmark::State& state, const std::string& target) {
    if (!client) client = std::make_unique<httplib::Client>("127.0.0.1", Server().port);
    for (auto _ : state) {
        auto res = client->Get(target);
        if (!res || res->status != 200) state.SkipWithError("request failed");
    }
}

void BM_TranslateAbstract(benchmark::State& state) {
    static const std::string target = AbstractTarget();
    Request(state, target);
}

void BM_Stylesheet(benchmark::State& state) {
    Request(state, "/static/tamix.css");
}

tamix::test::TranslationStandIn& Service() {
    static tamix::test::TranslationStandIn service;
    return service;
}

struct ServiceServer {
    ServiceServer() {
        port = StartServer(process, Files().dir + "/service.log",
                           {"--translate-backend", Service().ChatBase(), "--translate-model",
                            "bench"});
    }
    std::unique_ptr<tamix::test::Process> process;
    int port = -1;
};

ServiceServer& ThroughService() {
    static ServiceServer server;
    return server;
}

// The abstract, made new for each request by a number of its own.
std::string FreshTarget() {
    static int n = 0;
    std::string abstract = "Record " + std::to_string(++n) + ". Patients with chronic heart "
                           "failure were randomized to metformin or usual care. ";
    while (abstract.size() < 1999)
        abstract += "Mortality and hospital readmission were compared with regression. ";
    abstract.resize(1999);
    const std::string address = tamix::MakeTranslateAddress(abstract);
    return address.substr(address.find("/public/"));
}

// The request the endpoint makes, sent to the service straight.
void BM_ServiceDirect(benchmark::State& state) {
    static httplib::Client direct("127.0.0.1", std::stoi(Service().ChatBase().substr(
                                                    Service().ChatBase().rfind(':') + 1)));
    std::string text(1999, 'a');
    const std::string body =
        "{\"model\":\"bench\",\"temperature\":0,\"messages\":[{\"role\":\"system\",\"content\":"
        "\"Translate.\"},{\"role\":\"user\",\"content\":\"" + text + "\"}]}";
    for (auto _ : state) {
        auto res = direct.Post("/v1/chat/completions", body, "application/json");
        if (!res || res->status != 200) state.SkipWithError("service failed");
    }
}

void BM_ServiceThroughServer(benchmark::State& state) {
    static httplib::Client through("127.0.0.1", ThroughService().port);
    for (auto _ : state) {
        state.PauseTiming();
        const std::string target = FreshTarget();
        state.ResumeTiming();
        auto res = through.Get(target);
        if (!res || !tamix::DecodeTranslation(res->body)) state.SkipWithError("no translation");
    }
}

void BM_ServiceCached(benchmark::State& state) {
    static httplib::Client through("127.0.0.1", ThroughService().port);
    static const std::string target = AbstractTarget();
    for (auto _ : state) {
        auto res = through.Get(target);
        if (!res || !tamix::DecodeTranslation(res->body)) state.SkipWithError("no translation");
    }
}

double Percentile(const std::vector<double>& values, double p) {
    std::vector<double> sorted(values);
    std::sort(sorted.begin(), sorted.end());
    return sorted[static_cast<std::size_t>(p * (sorted.size() - 1))];
}

// One request per repetition, so the statistics over repetitions are its percentiles.
void PerRequest(benchmark::internal::Benchmark* b) {
    b->Iterations(1)->Repetitions(2000)->ReportAggregatesOnly(true)->UseRealTime();
    b->ComputeStatistics("p50", [](const std::vector<double>& v) { return Percentile(v, 0.50); });
    b->ComputeStatistics("p99", [](const std::vector<double>& v) { return Percentile(v, 0.99); });
}
BENCHMARK(BM_TranslateAbstract)->Apply(PerRequest);
BENCHMARK(BM_ServiceDirect)->Apply(PerRequest);
BENCHMARK(BM_ServiceThroughServer)->Apply(PerRequest);
BENCHMARK(BM_ServiceCached)->Apply(PerRequest);
BENCHMARK(BM_Stylesheet)->Apply(PerRequest);
BENCHMARK(BM_StartUp)->Iterations(1)->Repetitions(7)->UseManualTime()->ReportAggregatesOnly(true);

class PercentileReporter : public tamix::bench::MedianReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        MedianReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.aggregate_name == "p50" || run.aggregate_name == "p99")
                ms[run.run_name.function_name + " " + run.aggregate_name] =
                    run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) *
                    1e3;
    }
    std::map<std::string, double> ms;
};

} // namespace

int main(int argc, char** argv) {
    PercentileReporter reporter;
    tamix::bench::RunAll(argc, argv, reporter);
    std::printf(
        "\nTranslation of a 1,999-byte abstract through HTTP (2,000 requests, keep-alive):\n");
    for (const char* name : {"BM_TranslateAbstract", "BM_Stylesheet"}) {
        if (!reporter.ms.count(std::string(name) + " p50")) continue;
        std::printf("  %-22s p50 %6.3f ms   p99 %6.3f ms\n", name + 3,
                    reporter.ms[std::string(name) + " p50"],
                    reporter.ms[std::string(name) + " p99"]);
    }
    const auto p50 = [&](const std::string& name) { return reporter.ms[name + " p50"]; };
    if (reporter.ms.count("BM_ServiceDirect p50") && reporter.ms.count("BM_ServiceThroughServer p50")) {
        std::printf("Through a chat service (a stand-in answering at once):\n");
        for (const char* name : {"BM_ServiceDirect", "BM_ServiceThroughServer", "BM_ServiceCached"})
            std::printf("  %-22s p50 %6.3f ms   p99 %6.3f ms\n", name + 3,
                        reporter.ms[std::string(name) + " p50"],
                        reporter.ms[std::string(name) + " p99"]);
        std::printf("  the endpoint adds %.3f ms at p50 to the service's own time; a cached text "
                    "answers in %.3f ms\n",
                    p50("BM_ServiceThroughServer") - p50("BM_ServiceDirect"),
                    p50("BM_ServiceCached"));
    }
    if (reporter.medians.count("BM_StartUp"))
        std::printf("Start-up to the first translation, glossary loaded: median %.0f ms of 7\n",
                    reporter.Seconds("BM_StartUp") * 1e3);
    if (Server().process) Server().process->Stop();
    if (ThroughService().process) ThroughService().process->Stop();
    return 0;
}
