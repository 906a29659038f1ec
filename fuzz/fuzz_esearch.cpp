// esearch's answer as the gateway reads it, and the addresses it sends: whatever NCBI (or
// something in its place) answers, the count and ids hold together, and whatever is typed
// or given as a key, the address is address text with the key hidden in the log.
#include "check.h"

#include "server/gateway/requests.h"

#include <algorithm>

using namespace tamix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input = fuzz::Bytes(data, size);
    gateway::SearchAnswer answer;
    std::string why;
    if (gateway::ParseSearchAnswer(input, answer, why)) {
        FUZZ_CHECK(answer.count >= 0);
        FUZZ_CHECK(!answer.rejected || (answer.count == 0 && answer.ids.empty()));
        FUZZ_CHECK(answer.rejected || answer.message.empty() ||
                   input.find("WarningList") != std::string_view::npos);
        FUZZ_CHECK(std::all_of(answer.ids.begin(), answer.ids.end(),
                               [](std::int64_t id) { return id >= 0; }));
        FUZZ_CHECK(why.empty());
    } else {
        FUZZ_CHECK(!why.empty());
    }

    gateway::EutilsOptions options;
    options.base = "http://127.0.0.1:9/entrez/eutils/"; // addresses are only built, never sent
    options.apiKey = std::string(input);
    const std::string address =
        gateway::SearchAddress(options, std::string(input), "pub_date", 0, 10);
    FUZZ_CHECK(fuzz::IsAddressText(address));
    if (!input.empty()) {
        const std::string logged = gateway::LoggedAddress(address);
        const std::string hidden = "&api_key=(hidden)";
        FUZZ_CHECK(logged.size() >= hidden.size() &&
                   logged.compare(logged.size() - hidden.size(), hidden.size(), hidden) == 0);
    }
    return 0;
}
