// The requests the gateway sends to NCBI's E-utilities and the reading of esearch's
// answer: text only, no network (the client is in eutils.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
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

// db=pubmed, the term as typed, retmax ids from retstart in esearch's order sort
// (pub_date, relevance, Author, JournalName), XML.
std::string SearchAddress(const EutilsOptions& options, const std::string& term,
                          const std::string& sort, int retstart, int retmax);
// db=pubmed, the ids, XML.
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

} // namespace tamix::gateway
