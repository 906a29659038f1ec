// Citations as reference managers receive them from the running server: RIS, BibTeX and
// CSL-JSON read back by citation-js (run by node), MEDLINE by tamix-server's own reader.
// Every field must come back as the record has it.
#include "server/cite/cite.h"
#include "server/index/index.h"
#include "server/records/readers.h"
#include "support/describe_article.h"
#include "support/local_server.h"
#include "support/nlm_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>

namespace tamix::server {
namespace {

using test::kEveryFieldAbstract;
using test::kEveryFieldTitle;

std::vector<test::Record> XmlRecords() {
    std::vector<test::Record> records;
    // From XML: sections on lines of their own, entities, a DOI with '&'.
    records.push_back({31000002, "Zebrafish \xCE\xB2-cells regenerate",
                       "<AbstractText Label=\"BACKGROUND\">Caf\xC3\xA9.</AbstractText>"
                       "<AbstractText Label=\"RESULTS\">More &lt;cells&gt; in 5% &amp; "
                       "{x}_y.</AbstractText>",
                       2019, 3, 5, "10.1016/z&amp;b"});
    records.back().authorsXml =
        "<Author><LastName>\xC3\x98stergaard</LastName><ForeName>S\xC3\xB8ren</ForeName>"
        "<Initials>S</Initials><AffiliationInfo><Affiliation>Aarhus</Affiliation>"
        "</AffiliationInfo></Author>";
    records.back().citationXml =
        "<MedlineJournalInfo><MedlineTA>J Tests</MedlineTA></MedlineJournalInfo>";
    // Twelve of one word, a day apart: a result page of ten and one of two.
    for (int i = 0; i < 12; ++i)
        records.push_back({32000000 + i, "Axolotl limb " + std::to_string(i), "", 2017, 1, 1 + i});
    return records;
}

class Citations : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new test::LocalServer({}, {{"a.txt", test::kRecordWithEveryField},
                                             {"b.xml", test::ArticleSet(XmlRecords())}});
    }
    static void TearDownTestSuite() { delete server_; }

    static httplib::Result Get(const std::string& target) { return server_->Get(target); }

    // node and the citation-js packages that scripts/setup.sh installs.
    static bool HaveCitationJs() {
        return std::system("node --version >/dev/null 2>&1") == 0 &&
               std::filesystem::exists(std::string(TAMIX_SOURCE_DIR) +
                                       "/tests/citation/node_modules/@citation-js/core");
    }

    // What citation-js reads in the text: "name=value" lines, "--" after each record.
    static std::string ReadBack(const std::string& text) {
        const std::string file = server_->dir().Write("citation", text);
        std::string out;
        const std::string script = std::string(TAMIX_SOURCE_DIR) + "/tests/citation/read.js";
        FILE* pipe = popen(("node '" + script + "' '" + file + "' 2>&1").c_str(), "r");
        if (!pipe) return "<node did not start>";
        char buffer[4096];
        for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, got);
        const int status = pclose(pipe);
        return status == 0 ? out : "<node failed>\n" + out;
    }

    inline static test::LocalServer* server_ = nullptr;
};

// The record as citation-js gives it back from each format: the places the formats have
// differ only where a format has no place for a field.
std::string Expected(const std::string& format) {
    std::string lines =
        "id=pmid31000001\ntype=article-journal\ntitle=" + kEveryFieldTitle +
        "\n"
        "author=Hern\xC3\xA1ndez|Mar\xC3\xAD"
        "a Jos\xC3\xA9|\n"
        "author=Smith|John|Jr\n"
        "author=Beane Freeman|Laura E|\n"
        // BibTeX writes a group as a braced family name.
        "author=" +
        (format == "bibtex" ? "EMPA-HF Investigators||" : "literal:EMPA-HF Investigators") +
        "\n"
        "container-title=Cardiology quarterly\n"
        "container-title-short=Cardiol Quart\n"
        "issued=2021-6-14\nvolume=44\nissue=7\npage=1201-1210\n"
        "ISSN=1234-5678\nDOI=10.1000/cq.2021.44\n";
    // RIS has no tag that citation-js reads a PMID from: it is in the id and in AN.
    if (format != "ris") lines += "PMID=31000001\n";
    lines +=
        "PMCID=PMC8000001\nabstract=" + kEveryFieldAbstract + "\nkeyword=HFpEF, SGLT2 inhibitors\n";
    // RIS lists every language; BibTeX and CSL have one.
    lines += format == "ris" ? "language=eng,spa\n" : "language=eng\n";
    return lines + "--\n";
}

TEST_F(Citations, EachFormatIsServedAsAFileOfItsType) {
    const struct {
        const char* format;
        const char* type;
        const char* file;
    } kFormats[] = {
        {"ris", "application/x-research-info-systems; charset=utf-8", "pubmed-31000001.ris"},
        {"bibtex", "application/x-bibtex; charset=utf-8", "pubmed-31000001.bib"},
        {"nbib", "application/nbib; charset=utf-8", "pubmed-31000001.nbib"},
        {"csl", "application/vnd.citationstyles.csl+json; charset=utf-8", "pubmed-31000001.json"},
    };
    for (const auto& f : kFormats) {
        const auto res = Get(std::string("/m/pubmed/31000001?format=") + f.format);
        ASSERT_TRUE(res) << f.format;
        EXPECT_EQ(res->status, 200) << f.format;
        EXPECT_EQ(res->get_header_value("Content-Type"), f.type);
        EXPECT_EQ(res->get_header_value("Content-Disposition"),
                  std::string("attachment; filename=\"") + f.file + "\"");
    }
    // Padded ids, as the page links them, name the same record.
    EXPECT_EQ(Get("/m/pubmed/31000001?format=ris")->body,
              Get("/m/pubmed/031000001?format=ris")->body);
    EXPECT_EQ(Get("/m/pubmed/31000001?format=pdf")->status, 400);
    EXPECT_EQ(Get("/m/pubmed/31000001?format=")->status, 400);
    EXPECT_EQ(Get("/m/pubmed/39999999?format=ris")->status, 404);
    EXPECT_EQ(Get("/m/pubmed/?term=axolotl&format=xml")->status, 400);

    // BibTeX: what LaTeX reads as markup or joins into a ligature is escaped, a no-break
    // space is TeX's, and nothing else changes.
    const std::string bib = Get("/m/pubmed/31000001?format=bibtex")->body;
    EXPECT_NE(bib.find("title = {Empagliflozin \\& \\{SGLT2\\} at 5\\% \\textasciitilde{} "
                       "10\\_mg: \\$2 \\#1 \\textasciicircum{} \\textbackslash{} in heart "
                       "failure -{}- `{}`a trial'{}'~(phase 3).}"),
              std::string::npos)
        << bib;
    EXPECT_NE(bib.find("pages = {1201--1210}"), std::string::npos);
}

TEST_F(Citations, CitationJsReadsBackEveryField) {
    if (!HaveCitationJs())
        GTEST_SKIP() << "node or citation-js is missing: run scripts/setup.sh (it installs "
                        "citation-js into tests/citation/)";
    for (const std::string format : {"ris", "bibtex", "csl"}) {
        const std::string body = Get("/m/pubmed/31000001?format=" + format)->body;
        EXPECT_EQ(ReadBack(body), Expected(format)) << format << ":\n" << body;
    }
    // RIS keeps the PMID where reference managers look for an accession number.
    EXPECT_NE(Get("/m/pubmed/31000001?format=ris")->body.find("\r\nAN  - 31000001\r\n"),
              std::string::npos);

    // A record from XML, in each format: sections as one paragraph, TeX's specials in the
    // abstract, a DOI with '&'.
    for (const std::string format : {"ris", "bibtex", "csl"}) {
        const std::string read = ReadBack(Get("/m/pubmed/31000002?format=" + format)->body);
        for (const std::string line :
             {"author=\xC3\x98stergaard|S\xC3\xB8ren|\n", "DOI=10.1016/z&b\n",
              "abstract=BACKGROUND: Caf\xC3\xA9. RESULTS: More <cells> in 5% & {x}_y.\n"})
            EXPECT_NE(read.find(line), std::string::npos) << format << ": " << line << "in\n"
                                                          << read;
    }

    // A result page exports its own records, in its order; the order is the page's.
    for (const std::string format : {"csl", "ris&sort=author"}) {
        const std::string first = ReadBack(Get("/m/pubmed/?term=axolotl&format=" + format)->body);
        std::vector<std::string> ids;
        for (std::size_t at = 0; (at = first.find("id=pmid", at)) != std::string::npos; ++at)
            ids.push_back(first.substr(at + 7, 8));
        ASSERT_EQ(ids.size(), 10u) << first;
        EXPECT_EQ(ids.front(), "32000011") << "newest first; no author sorts before another";
        EXPECT_EQ(ids.back(), "32000002");
    }
    const auto second = Get("/m/pubmed/?term=axolotl&page=2&format=bibtex");
    EXPECT_EQ(second->get_header_value("Content-Disposition"),
              "attachment; filename=\"pubmed-page-2.bib\"");
    EXPECT_EQ(ReadBack(second->body).find("id=pmid32000001\n"), 0u);
    EXPECT_EQ(Get("/m/pubmed/?term=nosuchword&format=csl")->body, "[]\n");
}

// The MEDLINE export, served, read by the reader that imports MEDLINE files gives the record
// again (records from XML: CitationFiles.RealNlmRecordsReadBackFromTheirMedlineExport).
TEST_F(Citations, MedlineExportReadsBackAsTheSameRecord) {
    const std::string nbib = Get("/m/pubmed/31000001?format=nbib")->body;
    const auto back = test::ReadText(nbib, "export.nbib");
    ASSERT_EQ(back.size(), 1u) << nbib;
    const Article stored = *IndexReader(server_->index()).Find(31000001);
    EXPECT_EQ(test::Describe(back.begin()->second), test::Describe(stored)) << nbib;
    EXPECT_NE(nbib.find("\nSO  - Cardiol Quart. 2021 Jun 14;44(7):1201-10. doi: "
                        "10.1000/cq.2021.44.\n"),
              std::string::npos);
    for (std::size_t at = 0, end; at < nbib.size(); at = end + 1) {
        end = nbib.find('\n', at);
        EXPECT_LE(end - at, 82u) << "lines wrap as PubMed's do";
    }
    // Ten records of a result page, one after another.
    EXPECT_EQ(test::ReadText(Get("/m/pubmed/?term=axolotl&format=nbib")->body).size(), 10u);
}

// The real NLM records of Biopython's tests, from MEDLINE and from XML.
std::vector<std::pair<std::string, Article>> RealRecords() {
    std::vector<std::pair<std::string, Article>> records;
    for (const test::NlmFile& file : test::kNlmFiles) {
        auto read = test::ReadRecords(file.path);
        EXPECT_EQ(read.size(), file.records) << file.path;
        for (auto& [pmid, article] : read)
            records.emplace_back(file.path, std::move(article));
    }
    return records;
}

// Real NLM records, from MEDLINE and from XML: each record's export reads back as the
// record, except for what MEDLINE has no place for (the ISO abbreviation; the abstract's
// sections, which it writes as one paragraph).
TEST(CitationFiles, RealNlmRecordsReadBackFromTheirMedlineExport) {
    const auto records = RealRecords();
    for (const auto& [name, original] : records) {
        const std::string nbib = FormatCitations({original}, CitationFormat::Nbib);
        const auto back = test::ReadText(nbib, "export.nbib");
        ASSERT_EQ(back.size(), 1u) << nbib;
        // The MEDLINE reader names the journal by its MEDLINE abbreviation, the XML reader
        // by its ISO one.
        Article expected = original;
        expected.isoAbbreviation.clear();
        expected.journal = expected.medlineTa.empty() ? expected.journalTitle : expected.medlineTa;
        std::replace(expected.abstract.begin(), expected.abstract.end(), '\n', ' ');
        EXPECT_EQ(test::Describe(back.begin()->second), test::Describe(expected)) << name << "\n"
                                                                                  << nbib;
    }
}

// MEDLINE abbreviates the end of a page range; PubMed's page and the formats give it whole.
TEST(CitationLine, PagesAreWrittenOutAndMissingPartsLeftOut) {
    for (const auto& [medline, full] : std::vector<std::pair<std::string, std::string>>{
             {"1201-10", "1201-1210"},
             {"99-102", "99-102"},
             {"e23-9", "e23-e29"},
             {"S1-S5", "S1-S5"},
             {"1201-10,1215-7", "1201-1210, 1215-1217"},
             {"i-xii", "i-xii"},
             {"1201-10; discussion 1211", "1201-10; discussion 1211"},
             {"", ""}})
        EXPECT_EQ(FullPages(medline), full) << medline;

    for (const auto& [journal, volume, issue, pages, line] :
         std::vector<std::array<std::string, 5>>{
             {"Cardiol Quart", "44", "7", "1201-10", "Cardiol Quart. 2021 Jun 14;44(7):1201-1210."},
             {"Cardiol Quart", "44", "", "1201-10", "Cardiol Quart. 2021 Jun 14;44:1201-1210."},
             {"Cardiol Quart", "", "", "1201-10", "Cardiol Quart. 2021 Jun 14:1201-1210."},
             {"Cardiol Quart", "", "Suppl 2", "", "Cardiol Quart. 2021 Jun 14;(Suppl 2)."},
             // No second full stop after an abbreviation's.
             {"N. Engl. J. Med.", "", "", "", "N. Engl. J. Med. 2021 Jun 14."}}) {
        Article a;
        a.pubdate = "2021 Jun 14";
        a.journal = journal, a.volume = volume, a.issue = issue, a.pages = pages;
        EXPECT_EQ(CitationLine(a), line);
    }
}

} // namespace
} // namespace tamix::server
