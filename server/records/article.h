// One PubMed record as the index keeps it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tamix::server {

struct Article {
    std::int64_t pmid = 0;
    std::string title;
    std::string authors; // "Smith J, Doe AB"
    std::string journal;
    std::string pubdate;  // as PubMed writes it: "2020 Mar 15", "1998 Dec-1999 Jan"
    int year = 0;         // 0: unknown
    int month = 0;        // 1..12, 0: unknown
    int day = 0;          // 1..31, 0: unknown
    std::string abstract; // sections on lines of their own, "LABEL: text"
    std::string doi;
    std::string pmcid; // "PMC1234567"
};

// Where a reader found something, for messages: "file.xml:120".
struct SourcePosition {
    std::string file;
    long line = 0;
};

// What a reader hands on: records, deletions and records it had to skip.
struct RecordSink {
    std::function<void(Article&&)> onArticle;
    std::function<void(std::int64_t pmid)> onDelete;
    std::function<void(const SourcePosition&, const std::string& why)> onSkip;
};

// A PMID as written (surrounding white space allowed): up to 18 digits, above 0.
bool ParsePmid(const std::string& text, std::int64_t& pmid);

// Pages write PMIDs with 8 digits and the browser reads 8, so a record of a larger PMID
// would open another article: readers skip it, saying why (TooLongPmid).
inline constexpr std::int64_t kMaxPmid = 99999999;
std::string TooLongPmid(std::int64_t pmid);

// "Mar" or "03" or "3" as a month number; 0 when it is neither.
int MonthNumber(const std::string& text);

// Fills year, month and day from a PubMed date text ("2020 Mar 15", "2019 Winter",
// "1998 Dec-1999 Jan", "2020/03/15").
void ParsePubDate(Article& article);

} // namespace tamix::server
