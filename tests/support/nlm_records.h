// NLM's own example records (XML and MEDLINE, as Biopython ships them for its tests), and
// the readers' output as a map by PMID.
#pragma once

#include "server/records/readers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tamix::test {

inline const std::string kNlmTests = "/usr/share/doc/python-biopython-doc/Tests/";

struct NlmFile {
    std::string path;
    std::size_t records; // as PubMed shows them: cited and commented PMIDs are none
};

inline const std::vector<NlmFile> kNlmFiles = {
    {kNlmTests + "Entrez/pubmed1.xml.gz", 2},      {kNlmTests + "Entrez/pubmed2.xml.gz", 2},
    {kNlmTests + "Entrez/pubmed4.xml.gz", 1},      {kNlmTests + "Entrez/pubmed5.xml.gz", 1},
    {kNlmTests + "Entrez/pubmed6.xml.gz", 1},      {kNlmTests + "Entrez/pubmed7.xml.gz", 1},
    {kNlmTests + "Medline/pubmed_result1.txt", 1}, {kNlmTests + "Medline/pubmed_result2.txt.gz", 4},
    {kNlmTests + "Medline/pubmed_result3.txt", 1},
};

using Records = std::map<std::int64_t, server::Article>;

inline server::RecordSink Collect(Records& records, std::vector<std::string>* skips) {
    server::RecordSink sink;
    sink.onArticle = [&records](server::Article&& a) { records[a.pmid] = std::move(a); };
    sink.onSkip = [skips](const server::SourcePosition& where, const std::string& why) {
        if (skips) skips->push_back(where.file + ":" + std::to_string(where.line) + ": " + why);
    };
    return sink;
}

// Records skipped go to skips as "file:line: why". Without error, a reading that fails
// is a test failure; with it, error holds its message ("" when it did not fail).
inline Records ReadRecords(const std::string& path, std::vector<std::string>* skips = nullptr,
                           std::string* error = nullptr) {
    Records records;
    std::string message;
    const bool ok = server::ReadRecordFile(path, Collect(records, skips), message);
    if (error)
        *error = ok ? "" : message;
    else
        EXPECT_TRUE(ok) << message;
    return records;
}

// Text in memory, XML or MEDLINE as its first bytes say; name stands for the file.
inline Records ReadText(const std::string& text, const std::string& name = "text",
                        std::vector<std::string>* skips = nullptr) {
    Records records;
    std::string error;
    EXPECT_TRUE(server::ReadRecordText(text, name, Collect(records, skips), error)) << error;
    return records;
}

} // namespace tamix::test
