// The pages tamix-server serves, read by the program's own parsers in both forms.
#include "pubmed/addresses.h"
#include "pubmed/articlepage.h"
#include "pubmed/browserform.h"
#include "pubmed/download.h"
#include "pubmed/resultpage.h"
#include "server/web/pages.h"
#include "support/describe_article.h"
#include "support/local_server.h"

#include <gtest/gtest.h>

#include <set>
#include <tuple>

namespace tamix {
namespace {

using test::Record;

constexpr const char* kTitleWithMarkup = "M\xC3\xBCller &lt;5 years &amp; older: \xCE\xB2-blockers";

std::vector<Record> Fixture() {
    std::vector<Record> records;
    // 25 planarian records, one a day, so page order is known: newest (pmid 1024) first.
    for (int i = 0; i < 25; ++i) {
        records.push_back({1000 + i, "Planarian regeneration study " + std::to_string(i),
                           "<AbstractText>Planarian text " + std::to_string(i) + ".</AbstractText>",
                           2015, 1 + i / 28, 1 + i % 28, "10.1/p" + std::to_string(i)});
        // Every fifth a review indexed with the heading as a major topic; the first
        // authors' names run against the dates.
        Record& r = records.back();
        r.authorsXml = "<Author><LastName>Author" + std::string(1, static_cast<char>('A' + i)) +
                       "</LastName><Initials>J</Initials></Author>";
        if (i % 5 == 0) {
            r.articleXml = "<PublicationTypeList><PublicationType>Review</PublicationType>"
                           "</PublicationTypeList>";
            r.citationXml = "<MeshHeadingList><MeshHeading><DescriptorName MajorTopicYN=\"Y\">"
                            "Planarians</DescriptorName></MeshHeading></MeshHeadingList>";
        }
    }
    for (int i = 0; i < 11; ++i)
        records.push_back({20000000 + i, "Zebrafish heart " + std::to_string(i), "", 2016});
    for (int i = 0; i < 10; ++i)
        records.push_back({30000000 + i, "Axolotl limb " + std::to_string(i), "", 2017});
    records.push_back({9997, kTitleWithMarkup,
                       "<AbstractText Label=\"BACKGROUND\">Caf\xC3\xA9 &amp; tea.</AbstractText>"
                       "<AbstractText Label=\"RESULTS\">Fewer &lt;events&gt;.</AbstractText>",
                       2018, 5, 5, "10.1000/a&amp;b"});
    records.push_back({9998, "Record without abstract or DOI", "", 2018, 5, 6, "", "PMC77"});
    records.push_back(
        {9999, "Record with nothing to link", "<AbstractText>Text.</AbstractText>", 2018});
    records.push_back({9996, "Using PubMed Mobile in clinics", "", 2018});
    return records;
}

class ServedPages : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new test::LocalServer(
            {}, {{"f.xml", test::ArticleSet(Fixture())}, {"m.txt", test::kRecordWithEveryField}});
        server_->PointProgramAt(kPubmedHostVariable);
    }
    static void TearDownTestSuite() { delete server_; }

    static std::string Fetch(const std::string& address) { return server_->Fetch(address); }
    static int Status(const std::string& target) { return server_->Status(target); }

    // Parses a served result page in both forms and checks they agree.
    static CArticleRecord Parse(const std::string& page) {
        CArticleRecord served, browsed;
        ParseResultPage(page, kServerMarkers, served);
        const std::string browserForm = ToBrowserForm(page);
        ParseResultPage(browserForm, kBrowserMarkers, browsed);
        EXPECT_EQ(browsed.m_nCount, served.m_nCount);
        EXPECT_EQ(browsed.m_strIds, served.m_strIds);
        EXPECT_EQ(browsed.m_strTitles, served.m_strTitles);
        served.m_nTotalPages = ParseTotalPages(browserForm);
        EXPECT_GE(page.find("PubMed Mobile"), 1u);
        return served;
    }

    inline static test::LocalServer* server_ = nullptr;
};

// Pages of 11, 10 and no matches, and a page past the last: the items on each and the pages
// the pager counts (planarian's three pages are OrdersKeepThePageContract's).
TEST_F(ServedPages, ItemsAndPageCounts) {
    for (const auto& [address, items, pages] : std::vector<std::tuple<std::string, int, int>>{
             {MakeResultPageAddress("planarian", 4), 0, 3},
             {MakeSearchAddress("axolotl"), 10, 1},
             {MakeSearchAddress("zebrafish"), 10, 2},
             {MakeResultPageAddress("zebrafish", 2), 1, 2},
             {MakeSearchAddress("nosuchwordanywhere"), 0, 1},
             {MakeSearchAddress(""), 0, 1}}) {
        const CArticleRecord r = Parse(Fetch(address));
        EXPECT_EQ(r.m_nCount, items) << address;
        EXPECT_EQ(r.m_nTotalPages, pages) << address;
    }
}

// Text through the index to both pages (what any text reads back as is PageText's business).
TEST_F(ServedPages, TitlesAndAbstractsSurviveTheRoundTrip) {
    CArticleRecord r = Parse(Fetch(MakeSearchAddress("9997[pmid]")));
    ASSERT_EQ(r.m_nCount, 1);
    EXPECT_EQ(r.m_strIds[0], "00009997");
    EXPECT_EQ(r.m_strTitles[0], "  M\xC3\xBCller <5 years & older: \xCE\xB2-blockers ");

    const std::string article = Fetch(MakeArticleAddress("00009997"));
    EXPECT_EQ(article.find("<5"), std::string::npos) << "index text is escaped";
    const ArticleText text = ExtractArticle(article, "00009997");
    EXPECT_NE(text.abstract.find("Muller <5 years & older: beta-blockers"), std::string::npos)
        << text.abstract;
    EXPECT_NE(text.abstract.find("RESULTS: Fewer <events>."), std::string::npos);
    EXPECT_EQ(text.link, "http://doi.org/10.1000/a&b");
    EXPECT_EQ(ExtractArticle(Fetch(MakeArticleAddress("9998")), "00009998").link,
              "http://www.ncbi.nlm.nih.gov/pmc/articles/PMC77/")
        << "ids are accepted without padding too";
}

TEST_F(ServedPages, SearchSyntax) {
    const auto count = [](const std::string& term) {
        return Parse(Fetch(MakeSearchAddress(term))).m_nCount;
    };
    EXPECT_EQ(count("\"heart zebrafish\""), 0) << "a phrase keeps its order";
    EXPECT_EQ(count("\"zebrafish heart\" 3"), 1);
    EXPECT_EQ(count("smith j[au] AND axolotl"), 10);
    EXPECT_EQ(count("regenerating planarians"), 10) << "stemming";
    EXPECT_EQ(count("mueller") + count("muller"), 1) << "diacritics folded";
}

// Each order pages through the same records, in both forms of the page; the pager's
// links keep the order, and a page in the default order names none.
TEST_F(ServedPages, OrdersKeepThePageContract) {
    const std::string search = MakeSearchAddress("planarian regeneration");
    // The first record of each order shows the order was the one asked for (what each
    // order is, is the Order tests' business).
    for (const auto& [sort, first] :
         std::vector<std::pair<std::string, const char*>>{{"date", "00001024"},
                                                          {"relevance", "00001020"},
                                                          {"author", "00001000"},
                                                          {"journal", ""}}) {
        std::string address = search + "&sort=" + sort;
        std::set<std::string> ids;
        for (int page = 1; page <= 3; ++page) {
            const std::string html = Fetch(address);
            const CArticleRecord r = Parse(html);
            EXPECT_EQ(r.m_nCount, page < 3 ? 10 : 5) << sort << " page " << page;
            EXPECT_EQ(r.m_nTotalPages, 3) << sort;
            for (int i = 0; i < r.m_nCount; ++i)
                ids.insert(r.m_strIds[i]);
            if (page == 1 && *first) {
                EXPECT_EQ(r.m_strIds[0], first) << sort;
            }
            EXPECT_NE(html.find("<option value=\"" + sort + "\" selected>"), std::string::npos);
            const auto next = html.find("class=\"next\" href=\"");
            if (page == 3) {
                EXPECT_EQ(next, std::string::npos);
                break;
            }
            ASSERT_NE(next, std::string::npos) << sort;
            const auto start = next + 19;
            std::string href = html.substr(start, html.find('"', start) - start);
            for (std::size_t at; (at = href.find("&amp;")) != std::string::npos;)
                href.replace(at, 5, "&");
            if (sort == "date")
                EXPECT_EQ(html.find("sort="), std::string::npos) << "default pages name no order";
            else
                EXPECT_NE(href.find("&sort=" + sort), std::string::npos) << href;
            address = server_->Url(href);
        }
        EXPECT_EQ(ids.size(), 25u) << sort << ": every record once";
    }
    EXPECT_EQ(Fetch(search), Fetch(search + "&sort=date"));
    EXPECT_EQ(Status("/m/pubmed/?term=a&sort=best"), 400);
    EXPECT_EQ(Status("/m/pubmed/?term=a&sort="), 200);
    const std::string start = Fetch(server_->Url("/"));
    EXPECT_NE(start.find("<select name=\"sort\""), std::string::npos);
}

// What follows the full-text link is PubMed's article page; what the browser reads
// before it is what it was without.
TEST_F(ServedPages, ArticlePageShowsWhatPubMedShows) {
    const std::string page = Fetch(MakeArticleAddress("31000001"));
    for (const std::string part :
         {"<p class=\"cit\">Cardiol Quart. 2021 Jun 14;44(7):1201-1210.</p>",
          "DOI: <a class=\"doi\" href=\"https://doi.org/10.1000/cq.2021.44\">",
          "PMCID: <a class=\"pmc\" href=\"https://www.ncbi.nlm.nih.gov/pmc/articles/PMC8000001/\">",
          "<ul class=\"pt\"><li>Journal Article</li><li>Randomized Controlled Trial</li></ul>",
          "<li>Heart Failure / drug therapy* / physiopathology</li><li>Benzhydryl Compounds*</li>",
          "<ul class=\"kw\"><li>HFpEF</li><li>SGLT2 inhibitors</li></ul>",
          "Cite: <a class=\"cite\" href=\"./31000001?format=ris\">RIS</a> <a class=\"cite\" "
          "href=\"./31000001?format=bibtex\">BibTeX</a> <a class=\"cite\" "
          "href=\"./31000001?format=nbib\">MEDLINE</a> <a class=\"cite\" "
          "href=\"./31000001?format=csl\">CSL-JSON</a>"})
        EXPECT_NE(page.find(part), std::string::npos) << part << "\nin\n" << page;
    EXPECT_EQ(page.find("PubMed Mobile"), std::string::npos);

    // Similar articles: those that share the major heading first, then the newest that
    // share the title's words; never the record itself.
    const std::string review = Fetch(MakeArticleAddress("00001005"));
    std::vector<std::string> similar;
    const std::string anchor = "<a class=\"similar\" href=\"./";
    for (auto at = review.find(anchor); at != std::string::npos; at = review.find(anchor, at + 1))
        similar.push_back(review.substr(at + anchor.size(), 8));
    EXPECT_EQ(similar, (std::vector<std::string>{"00001020", "00001015", "00001010", "00001000",
                                                 "00001024"}));
    EXPECT_NE(review.find("<li>Planarians*</li>"), std::string::npos);
    const std::string alone = Fetch(MakeArticleAddress("00009999"));
    EXPECT_EQ(alone.find(anchor), alone.rfind(anchor)) << "one record shares a word";
    EXPECT_NE(alone.find(anchor + "00009998\">Record without"), std::string::npos);
    EXPECT_EQ(Fetch(MakeArticleAddress("00009996")).find("Similar articles"), std::string::npos)
        << "no word in common with any other record";

    // The dialog reads the citation and the abstract, and the DOI's link (that it reads
    // nothing of the additions, fuzz_pages checks).
    const ArticleText text = ExtractArticle(page, "31000001");
    EXPECT_EQ(text.link, "http://doi.org/10.1000/cq.2021.44");
    EXPECT_NE(
        text.abstract.find("Cardiol Quart. 2021 Jun 14.   Abstract   BACKGROUND: Few options"),
        std::string::npos)
        << text.abstract;
}

// Identifiers that are not ones are not linked; those that are, are linked with the
// characters an address cannot hold percent-encoded. (What any record's pages read back
// as, marker and markup included, fuzz_pages checks.)
TEST(PageText, OnlyRealIdentifiersAreLinked) {
    EXPECT_TRUE(server::IsDoi("10.1000/182"));
    EXPECT_TRUE(server::IsDoi("10.1002/(SICI)1097-4636(199910)47:1<1::AID-JBM1>3.0.CO;2-T"));
    for (const char* doi : {"10.1000/a b", "10.1000/a\"b", "10.1000/<i>x</i>", "10.1000/", "10./x",
                            "11.1000/x", "10.10a0/x", "doi:10.1000/x"})
        EXPECT_FALSE(server::IsDoi(doi)) << doi;
    EXPECT_TRUE(server::IsPmcId("PMC1234567"));
    for (const char* id : {"PMC", "PMC12a", "pmc123", "PMC 123", "1234567"})
        EXPECT_FALSE(server::IsPmcId(id)) << id;
    server::Article pmc;
    pmc.doi = "not a doi";
    pmc.pmcid = "PMC77";
    EXPECT_EQ(server::FullTextAddress(pmc), "http://www.ncbi.nlm.nih.gov/pmc/articles/PMC77/");
    pmc.doi = "10.1000/x?y#z%";
    EXPECT_EQ(server::FullTextAddress(pmc), "http://doi.org/10.1000/x%3Fy%23z%25");
}

TEST_F(ServedPages, BadRequestsGetAnAnswer) {
    for (const auto& [target, status] : std::vector<std::pair<std::string, int>>{
             {"/m/pubmed/?term=%zz", 400},
             {"/m/pubmed/?term=%4g", 400},
             {"/m/pubmed/?term=%FF%FE", 400},
             {"/m/pubmed/?term=" + std::string(2500, 'a'), 400},
             {"/m/pubmed/?term=a&page=abc", 400},
             {"/m/pubmed/?term=a&page=0", 400},
             {"/m/pubmed/12345678", 404},
             {"/m/pubmed/abc", 404},
             {"/no/such/page", 404}})
        EXPECT_EQ(Status(target), status) << target;
}

// Inputs that took a server to 500 pages, or to seconds of work and gigabytes, are bounded in
// the query (Query's PubmedSyntaxBecomesQuotedFts, DatesAndedAtTheTopAreRowidSpans and
// WorkIsBounded); here, NULs and control bytes sent escaped reach it as spaces.
TEST_F(ServedPages, HostileQueriesAreAnsweredWithPages) {
    // The status and the number of matches a result page reports.
    const auto matches = [](const std::string& term) {
        const auto res = server_->Get("/m/pubmed/?term=" + term);
        if (!res) return std::string("no answer");
        const auto at = res->body.find("<p class=\"count\">");
        return std::to_string(res->status) + " " +
               (at == std::string::npos ? "no count" : res->body.substr(at + 17, 6));
    };
    EXPECT_EQ(matches("planarian"), "200 25 res");
    EXPECT_EQ(matches("planarian%00"), "200 25 res");
    EXPECT_EQ(matches("%00planarian%00%01"), "200 25 res");
}

} // namespace
} // namespace tamix
