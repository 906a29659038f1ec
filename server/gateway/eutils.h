// NCBI's E-utilities as the gateway uses them: the addresses of esearch and efetch
// requests, the reading of esearch's XML answer, and a client that keeps NCBI's pace,
// waits out 429 answers and logs each request with its time.
#pragma once

#include "server/gateway/pacer.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tamix::gateway {

struct EutilsOptions {
    std::string base;   // "https://eutils.ncbi.nlm.nih.gov/entrez/eutils/": ends with '/'
    std::string apiKey; // "" when none
    std::string email;  // "" when none
    std::string tool = "tamix-server";
    // One attempt is given up after this long.
    std::chrono::milliseconds timeLimit{10000};
    // 429 answers are waited out and asked again this many times.
    int retries = 2;
    // A Retry-After longer than this is not waited for: the page fails instead.
    std::chrono::seconds longestWait{10};
    // Each request's line (address, status, bytes, time) goes here; none when empty.
    std::function<void(const std::string&)> log;
};

// PubMed could not be reached, or answered what cannot be read: the page is a 502.
class Unreachable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A value in an address: unreserved bytes as they are, spaces as '+', the rest escaped.
std::string FormEncode(std::string_view text);

// esearch's names of the orders of result pages: pub_date, relevance, Author, JournalName.
// db=pubmed, the term as typed, ten ids from retstart, XML.
std::string SearchAddress(const EutilsOptions& options, const std::string& term,
                          const std::string& sort, int retstart, int retmax);
std::string FetchAddress(const EutilsOptions& options, const std::vector<std::int64_t>& ids);
// The address as the log shows it: the API key's value hidden.
std::string LoggedAddress(std::string address);

struct SearchAnswer {
    int count = 0;
    std::vector<std::int64_t> ids; // in esearch's order
    // esearch rejected the query (ERROR) or did not find a phrase: no results, whatever
    // else the answer holds.
    bool rejected = false;
    // NCBI's own words (error, phrases not found, warnings), for the page; "" when none.
    std::string message;
};

// Reads an eSearchResult document; false (with why) when it is not one.
bool ParseSearchAnswer(std::string_view xml, SearchAnswer& answer, std::string& why);

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
