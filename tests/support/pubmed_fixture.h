// Small PubMed XML documents for tests, and an index built from them in a temporary
// folder.
#pragma once

#include "server/index/importer.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace tamix::test {

struct Record {
    std::int64_t pmid = 0;
    std::string title;       // XML text: escape it yourself, markup allowed
    std::string abstractXml; // <AbstractText> elements, or ""
    int year = 2020, month = 1, day = 1;
    std::string doi, pmc;
    std::string authorsXml = "<Author><LastName>Smith</LastName><Initials>J</Initials></Author>";
    std::string articleXml;  // after the author list: Language, PublicationTypeList...
    std::string citationXml; // after the Article: MeshHeadingList, KeywordList...
};

inline std::string RecordXml(const Record& r) {
    std::string xml =
        "<PubmedArticle><MedlineCitation><PMID Version=\"1\">" + std::to_string(r.pmid) +
        "</PMID><Article><Journal><JournalIssue><PubDate><Year>" + std::to_string(r.year) +
        "</Year><Month>" + std::to_string(r.month) + "</Month><Day>" + std::to_string(r.day) +
        "</Day></PubDate></JournalIssue><Title>Journal of Tests</Title>"
        "<ISOAbbreviation>J Tests</ISOAbbreviation></Journal><ArticleTitle>" +
        r.title + "</ArticleTitle>";
    if (!r.abstractXml.empty()) xml += "<Abstract>" + r.abstractXml + "</Abstract>";
    xml += "<AuthorList>" + r.authorsXml + "</AuthorList>" + r.articleXml + "</Article>" +
           r.citationXml + "</MedlineCitation><PubmedData><ArticleIdList>";
    if (!r.doi.empty()) xml += "<ArticleId IdType=\"doi\">" + r.doi + "</ArticleId>";
    if (!r.pmc.empty()) xml += "<ArticleId IdType=\"pmc\">" + r.pmc + "</ArticleId>";
    return xml + "</ArticleIdList></PubmedData></PubmedArticle>\n";
}

inline std::string ArticleSet(const std::vector<Record>& records, const std::string& extra = "") {
    std::string xml = "<?xml version=\"1.0\"?>\n<PubmedArticleSet>\n";
    for (const Record& r : records)
        xml += RecordXml(r);
    return xml + extra + "</PubmedArticleSet>\n";
}

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/tamix-test-XXXXXX";
        if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
        path_ = pattern;
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string File(const std::string& name) const { return (path_ / name).string(); }
    std::string Write(const std::string& name, const std::string& text) const {
        std::ofstream(File(name), std::ios::binary) << text;
        return File(name);
    }

private:
    std::filesystem::path path_;
};

// Imports files into the index as `tamix-server import` does; returns its complaints.
inline std::vector<std::string> ImportFiles(const std::string& index,
                                            const std::vector<std::string>& files) {
    std::vector<std::string> problems;
    server::ImportObserver observer;
    observer.onProblem = [&](const std::string& message) { problems.push_back(message); };
    server::ImportFiles(index, files, observer);
    return problems;
}

} // namespace tamix::test
