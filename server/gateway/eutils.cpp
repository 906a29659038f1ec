#include "server/gateway/eutils.h"

#include "server/upstream/fetch.h"

#include <ctime>
#include <thread>

namespace tamix::gateway {

namespace {

std::string Stamp() {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return stamp;
}

} // namespace

EutilsClient::EutilsClient(EutilsOptions options)
    : options_(std::move(options)), pacer_(options_.apiKey.empty() ? 3 : 10) {
}

std::string EutilsClient::Get(const std::string& address) {
    upstream::FetchControl control;
    control.timeLimit = options_.timeLimit;
    control.connectLimit = std::chrono::duration_cast<std::chrono::seconds>(options_.timeLimit) +
                           std::chrono::seconds(1);
    for (int attempt = 0;; ++attempt) {
        pacer_.Wait();
        std::string body;
        const auto start = std::chrono::steady_clock::now();
        const upstream::FetchResult result = upstream::FetchText(address, body, control);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count();
        if (options_.log) {
            options_.log("eutils [" + Stamp() + "] \"GET " + LoggedAddress(address) + "\" " +
                         (result.status ? std::to_string(result.status) : result.error) + " " +
                         std::to_string(body.size()) + " " + std::to_string(took) + " ms\n");
        }
        if (result.ok) return body;
        if (result.status == 429 && attempt < options_.retries) {
            const auto wait = std::chrono::seconds(result.retryAfter >= 0 ? result.retryAfter : 1);
            if (wait <= options_.longestWait) {
                std::this_thread::sleep_for(wait);
                continue;
            }
        }
        throw Unreachable(result.status ? "HTTP " + std::to_string(result.status) : result.error);
    }
}

} // namespace tamix::gateway
