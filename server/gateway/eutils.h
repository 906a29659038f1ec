// NCBI's E-utilities over the network: a client that keeps NCBI's pace, waits out 429
// answers and logs each request with its time.
#pragma once

#include "server/gateway/pacer.h"
#include "server/gateway/requests.h"

#include <stdexcept>
#include <string>

namespace tamix::gateway {

// PubMed could not be reached, or answered what cannot be read: the page is a 502.
class Unreachable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class EutilsClient {
public:
    explicit EutilsClient(EutilsOptions options);

    // GETs the address at NCBI's pace; the body of a 200 answer. Throws Unreachable on a
    // connection failure, a time-out, a 5xx or other failing status, and a 429 that
    // outlasts the retries.
    std::string Get(const std::string& address);

    const EutilsOptions& options() const { return options_; }

private:
    EutilsOptions options_;
    Pacer pacer_;
};

} // namespace tamix::gateway
