// The checks both record readers' targets make on what a reader hands on.
#pragma once

#include "check.h"

#include "server/index/details.h"
#include "server/index/index.h"
#include "server/records/readers.h"

namespace tamix::fuzz {

// Records: PMIDs of 1 to 8 digits, above 0 (readers skip longer ones). Deletions: PMIDs
// as ParsePmid takes them, up to 18 digits (deleting one the index cannot hold is
// harmless).
constexpr std::int64_t kMaxPmid = server::kMaxPmid;
constexpr std::int64_t kMaxDeletedPmid = 999999999999999999;

inline bool HasNul(const server::Article& a) {
    for (const std::string* field :
         {&a.title, &a.authors, &a.journal, &a.pubdate, &a.abstract, &a.doi, &a.pmcid})
        if (field->find('\0') != std::string::npos) return true;
    return false;
}

using Reader = bool (*)(std::string_view, const std::string&, const server::RecordSink&,
                        std::string&);

inline void ReadAndCheck(Reader read, std::string_view text) {
    server::RecordSink sink;
    sink.onArticle = [](server::Article&& a) {
        FUZZ_CHECK(a.pmid >= 1 && a.pmid <= kMaxPmid);
        FUZZ_CHECK(a.year >= 0 && a.year <= 9999);
        FUZZ_CHECK(a.month >= 0 && a.month <= 12);
        FUZZ_CHECK(a.day >= 0 && a.day <= 31);
        FUZZ_CHECK(a.month == 0 || a.year > 0);
        FUZZ_CHECK(a.day == 0 || a.month > 0);
        // Pages are read only up to their first NUL.
        FUZZ_CHECK(!HasNul(a));
        // What the writer makes of it: the sort key must not overflow.
        FUZZ_CHECK(server::SortKey(a) < 0);
        FUZZ_CHECK(!server::TagsOf(a).empty());
        FUZZ_CHECK(a.electronicYear >= 0 && a.electronicYear <= 9999);
        FUZZ_CHECK(a.electronicMonth >= 0 && a.electronicMonth <= 12);
        FUZZ_CHECK(a.electronicDay >= 0 && a.electronicDay <= 31);
        // The index keeps what it is given: the details column reads back whole.
        server::Article back;
        FUZZ_CHECK(server::DecodeDetails(server::EncodeDetails(a), back));
        FUZZ_CHECK(back.authorList == a.authorList && back.mesh == a.mesh);
        FUZZ_CHECK(back.keywords == a.keywords && back.languages == a.languages &&
                   back.publicationTypes == a.publicationTypes);
        FUZZ_CHECK(back.journalTitle == a.journalTitle && back.pages == a.pages &&
                   back.issnPrint == a.issnPrint && back.issnElectronic == a.issnElectronic);
        FUZZ_CHECK(server::TextsOf(a).rankedWords >= 0);
    };
    sink.onDelete = [](std::int64_t pmid) { FUZZ_CHECK(pmid >= 1 && pmid <= kMaxDeletedPmid); };
    sink.onSkip = [](const server::SourcePosition& where, const std::string& why) {
        FUZZ_CHECK(where.file == "input" && where.line >= 0 && !why.empty());
    };
    std::string error;
    if (!read(text, "input", sink, error)) FUZZ_CHECK(error.rfind("input", 0) == 0);
}

} // namespace tamix::fuzz
