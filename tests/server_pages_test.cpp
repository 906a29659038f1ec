// The pages tamix-server serves, read by the program's own parsers in both forms.
#include "pubmed/addresses.h"
#include "pubmed/articlepage.h"
#include "pubmed/browserform.h"
#include "pubmed/download.h"
#include "pubmed/resultpage.h"
#include "server/web/http.h"
#include "support/page_readback.h"
#include "support/pubmed_fixture.h"
#include "support/test_server.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

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

// A record with every part of PubMed's citation line, headings and links.
constexpr const char* kMedlineRecord = R"(PMID- 31000001
IS  - 1234-5678 (Print)
VI  - 44
IP  - 7
DP  - 2021 Jun 14
TI  - Empagliflozin in heart failure.
PG  - 1201-10
AB  - Fewer admissions.
FAU - HernÃ¡ndez, MarÃ­" "a
AU  - HernÃ¡ndez M
PT  - Journal Article
PT  - Randomized Controlled Trial
TA  - Cardiol Quart
JT  - Cardiology quarterly
MH  - Heart Failure/*drug therapy/physiopathology
MH  - *Benzhydryl Compounds
OT  - HFpEF
PMC - PMC8000001
AID - 10.1000/cq.2021.44 [doi]
)";

// Records whose fields name the marker where no page but a result page may: a DOI and a
// date as MEDLINE files bring them.
constexpr const char* kMarkerRecords = R"(PMID- 32000001
DP  - 2021 PubMed Mobile
TI  - Okapi census methods.
AB  - Counts.
AID - 10.1000/PubMed Mobile [doi]

PMID- 32000002
DP  - 2020 Jan
TI  - Narwhal tusk growth.
AB  - Lengths.
LID - 10.1000/PubMed Mobile [doi]
)";

class ServedPages : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new test::TempDir;
        index_ = dir_->File("index.sqlite");
        ASSERT_TRUE(test::ImportFiles(index_, {dir_->Write("f.xml", test::ArticleSet(Fixture())),
                                               dir_->Write("m.txt", kMedlineRecord),
                                               dir_->Write("marker.txt", kMarkerRecords)})
                        .empty());
        server::ServeOptions options;
        options.index = index_;
        options.port = 0;
        options.accessLog = false;
        server_ = new server::HttpServer(options);
        port_ = server_->Bind();
        ASSERT_GT(port_, 0);
        thread_ = new std::thread([] { server_->Run(); });
        setenv(kPubmedHostVariable, ("127.0.0.1:" + std::to_string(port_)).c_str(), 1);
    }
    static void TearDownTestSuite() {
        server_->Stop();
        thread_->join();
        delete thread_;
        delete server_;
        delete dir_;
        unsetenv(kPubmedHostVariable);
    }

    // Downloads like the program does; "" when the download fails.
    static std::string Fetch(const std::string& address) {
        const std::string file = dir_->File("temp.page");
        return DownloadToFile(address, file) ? ReadScratchFile(file) : std::string("<failed>");
    }
    static int Status(const std::string& target) {
        httplib::Client client("127.0.0.1", port_);
        auto res = client.Get(target);
        return res ? res->status : -1;
    }

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

    inline static test::TempDir* dir_ = nullptr;
    inline static std::string index_;
    inline static server::HttpServer* server_ = nullptr;
    inline static std::thread* thread_ = nullptr;
    inline static int port_ = 0;
};

TEST_F(ServedPages, FirstMiddleAndLastPages) {
    CArticleRecord first = Parse(Fetch(MakeSearchAddress("planarian regeneration")));
    ASSERT_EQ(first.m_nCount, 10);
    EXPECT_EQ(first.m_nTotalPages, 3);
    EXPECT_EQ(first.m_strIds[0], "00001024") << "newest first, ids padded to 8 digits";
    EXPECT_EQ(first.m_strTitles[0], "  Planarian regeneration study 24 ");
    EXPECT_EQ(first.m_strIds[9], "00001015");

    CArticleRecord middle = Parse(Fetch(MakeResultPageAddress("planarian regeneration", 2)));
    ASSERT_EQ(middle.m_nCount, 10);
    EXPECT_EQ(middle.m_strIds[0], "00001014");
    CArticleRecord last = Parse(Fetch(MakeResultPageAddress("planarian regeneration", 3)));
    ASSERT_EQ(last.m_nCount, 5);
    EXPECT_EQ(last.m_strIds[4], "00001000");
    EXPECT_EQ(last.m_nTotalPages, 3);
    EXPECT_EQ(Parse(Fetch(MakeResultPageAddress("planarian", 4))).m_nCount, 0);
}

TEST_F(ServedPages, TenElevenAndZeroHits) {
    CArticleRecord ten = Parse(Fetch(MakeSearchAddress("axolotl")));
    EXPECT_EQ(ten.m_nCount, 10);
    EXPECT_EQ(ten.m_nTotalPages, 1);
    CArticleRecord eleven = Parse(Fetch(MakeSearchAddress("zebrafish")));
    EXPECT_EQ(eleven.m_nCount, 10);
    EXPECT_EQ(eleven.m_nTotalPages, 2);
    EXPECT_EQ(Parse(Fetch(MakeResultPageAddress("zebrafish", 2))).m_nCount, 1);
    CArticleRecord none = Parse(Fetch(MakeSearchAddress("nosuchwordanywhere")));
    EXPECT_EQ(none.m_nCount, 0);
    EXPECT_EQ(none.m_nTotalPages, 1);
    EXPECT_EQ(Parse(Fetch(MakeSearchAddress(""))).m_nTotalPages, 1);
}

TEST_F(ServedPages, TitlesAndAbstractsSurviveTheRoundTrip) {
    CArticleRecord r = Parse(Fetch(MakeSearchAddress("9997[pmid]")));
    ASSERT_EQ(r.m_nCount, 1);
    EXPECT_EQ(r.m_strIds[0], "00009997");
    EXPECT_EQ(r.m_strTitles[0], "  M\xC3\xBCller <5 years & older: \xCE\xB2-blockers ");

    const std::string article = Fetch(MakeArticleAddress("00009997"));
    EXPECT_EQ(article.find("PubMed Mobile"), std::string::npos);
    EXPECT_EQ(article.find("<5"), std::string::npos) << "index text is escaped";
    const ArticleText text = ExtractArticle(article, "00009997");
    EXPECT_NE(text.abstract.find("Muller <5 years & older: beta-blockers"), std::string::npos)
        << text.abstract;
    EXPECT_NE(text.abstract.find("Abstract"), std::string::npos);
    EXPECT_NE(text.abstract.find("BACKGROUND: Cafe & tea."), std::string::npos) << text.abstract;
    EXPECT_NE(text.abstract.find("RESULTS: Fewer <events>."), std::string::npos);
    EXPECT_EQ(text.abstract.substr(text.abstract.size() - 8), "00009997");
    EXPECT_EQ(text.link, "http://doi.org/10.1000/a&b");

    EXPECT_EQ(ExtractArticle(Fetch(MakeArticleAddress("9998")), "00009998").link,
              "http://www.ncbi.nlm.nih.gov/pmc/articles/PMC77/")
        << "ids are accepted without padding too";
    EXPECT_EQ(ExtractArticle(Fetch(MakeArticleAddress("00009999")), "00009999").link,
              kNoFullTextLink);
    EXPECT_EQ(Fetch(MakeArticleAddress("00009996")).find("PubMed Mobile"), std::string::npos)
        << "an article's own words cannot make its page look like a result page";
    EXPECT_EQ(Fetch("http://127.0.0.1:" + std::to_string(port_) + "/").find("PubMed Mobile"),
              std::string::npos);
}

TEST_F(ServedPages, SearchSyntax) {
    const auto count = [](const std::string& term) {
        return Parse(Fetch(MakeSearchAddress(term))).m_nCount;
    };
    EXPECT_EQ(count("zebrafish OR axolotl"), 10);
    EXPECT_EQ(count("zebrafish NOT heart"), 0);
    EXPECT_EQ(count("\"heart zebrafish\""), 0) << "a phrase keeps its order";
    EXPECT_EQ(count("\"zebrafish heart\" 3"), 1);
    EXPECT_EQ(count("2017[dp]"), 10);
    EXPECT_EQ(count("2016:2017[dp] AND limb"), 10);
    EXPECT_EQ(count("smith j[au] AND axolotl"), 10);
    EXPECT_EQ(count("plan*"), 10);
    EXPECT_EQ(count("regenerating planarians"), 10) << "stemming";
    EXPECT_EQ(count("mueller") + count("muller"), 1) << "diacritics folded";
}

// Each order pages through the same records, in both forms of the page; the pager's
// links keep the order, and a page in the default order names none.
TEST_F(ServedPages, OrdersKeepThePageContract) {
    const std::string base = "http://127.0.0.1:" + std::to_string(port_);
    const std::string search = MakeSearchAddress("planarian regeneration");
    for (const std::string sort : {"date", "relevance", "author", "journal"}) {
        std::string address = search + "&sort=" + sort;
        std::set<std::string> ids;
        std::vector<std::string> order;
        for (int page = 1; page <= 3; ++page) {
            const std::string html = Fetch(address);
            const CArticleRecord r = Parse(html);
            EXPECT_EQ(r.m_nCount, page < 3 ? 10 : 5) << sort << " page " << page;
            EXPECT_EQ(r.m_nTotalPages, 3) << sort;
            for (int i = 0; i < r.m_nCount; ++i) {
                ids.insert(r.m_strIds[i]);
                order.push_back(r.m_strIds[i]);
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
            address = base + href;
        }
        EXPECT_EQ(ids.size(), 25u) << sort << ": every record once";
        if (sort == "author") {
            EXPECT_EQ(order.front(), "00001000") << "AuthorA";
            EXPECT_EQ(order.back(), "00001024") << "AuthorY";
        }
        if (sort == "date") {
            EXPECT_EQ(order.front(), "00001024");
        }
        if (sort == "relevance") {
            // The word is also in the heading of every fifth: those first, newest first.
            EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + 6),
                      (std::vector<std::string>{"00001020", "00001015", "00001010", "00001005",
                                                "00001000", "00001024"}));
        }
    }
    EXPECT_EQ(Fetch(search), Fetch(search + "&sort=date"));
    EXPECT_EQ(Status("/m/pubmed/?term=a&sort=best"), 400);
    EXPECT_EQ(Status("/m/pubmed/?term=a&sort="), 200);

    const auto count = [](const std::string& term) {
        return Parse(Fetch(MakeSearchAddress(term))).m_nCount;
    };
    EXPECT_EQ(count("planarians[majr]"), 5);
    EXPECT_EQ(count("review[pt] AND regeneration"), 5);
    EXPECT_EQ(count("planarians[mh] NOT review[pt]"), 0);
    EXPECT_EQ(count("authorc j[1au]"), 1);
    EXPECT_EQ(count("hasabstract AND planarian"), 10);
    EXPECT_EQ(count("free full text[sb]"), 2) << "PMC77, PMC8000001";
    const std::string start = Fetch(base + "/");
    EXPECT_NE(start.find("<select name=\"sort\""), std::string::npos);
    EXPECT_EQ(start.find("PubMed Mobile"), std::string::npos);
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
          "<ul class=\"kw\"><li>HFpEF</li></ul>",
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

    // The dialog reads the same abstract and link as from the page cut where the
    // additions begin: with a DOI, a PMC id, neither, and a record with similar articles.
    for (const std::string id : {"31000001", "00009997", "00009998", "00009999", "00001005"}) {
        const std::string served = Fetch(MakeArticleAddress(id));
        const auto more = served.find("<section class=\"more\">");
        ASSERT_NE(more, std::string::npos) << id;
        const ArticleText before = ExtractArticle(served.substr(0, more), id);
        const ArticleText text = ExtractArticle(served, id);
        EXPECT_EQ(text.abstract, before.abstract) << id;
        EXPECT_EQ(text.link, before.link) << id;
        if (id == "31000001") {
            EXPECT_EQ(before.link, "http://doi.org/10.1000/cq.2021.44");
            EXPECT_NE(before.abstract.find("Cardiol Quart. 2021 Jun 14.   Abstract   Fewer "
                                           "admissions."),
                      std::string::npos)
                << before.abstract;
        }
        if (id == "00009999") {
            EXPECT_EQ(before.link, kNoFullTextLink);
        }
    }
}

// Fields that bring the marker, markup, quotes, entities, control bytes and the record's own
// id, in every field a page shows: no page but a result page names the marker, and what the
// browser reads back is what the records hold.
TEST(PageText, HostileRecordsReadBackAsTheyAre) {
    const std::vector<std::string> hostile = {
        "PubMed Mobile",
        "<a href=\"./12345678\"><span>x</span></a> class=\"r\" class=\"pag\" Page 1 of 9",
        "&amp; &lt;b&gt; &#80;ubMed Mobile &quot; ' \" </span> </SPAN> <A href=",
        std::string("tab\tline\nfeed\rbell\x07 del\x7F esc\x1B"),
        "PMID: 00004246 href=\"http://x/\" Full text",
        "Hern\xC3\xA1ndez \xCE\xB2-blocker PubMed\xE2\x81\xA0 Mobile 5 \xC2\xB5g"};
    std::vector<server::Article> records;
    for (std::size_t i = 0; i < hostile.size(); ++i) {
        server::Article a;
        a.pmid = 4242 + static_cast<int>(i);
        const std::string& t = hostile[i];
        a.title = a.authors = a.journal = a.pubdate = a.volume = a.issue = a.pages = t;
        a.abstract = t + "\n" + t;
        a.doi = i % 2 ? "10.1000/" + t : t;
        a.pmcid = t;
        a.keywords = a.publicationTypes = {t, t};
        a.mesh = {{t, true, {{t, true}}}};
        records.push_back(a);
    }
    records.push_back(records[0]);
    records.back().pmid = 99999999;
    records.back().doi = "10.1002/(SICI)1097-4636(199910)47:1<1::AID-JBM1>3.0.CO;2-T";
    records.back().pmcid = "PMC12345";
    EXPECT_EQ(test::CheckPagesReadBack(records, 10000, 1000, "http://127.0.0.1/PubMed Mobile/"),
              "");

    // Identifiers that are not ones are not linked; those that are, are linked with the
    // characters an address cannot hold percent-encoded.
    EXPECT_TRUE(server::IsDoi("10.1000/182"));
    EXPECT_TRUE(server::IsDoi("10.1002/(SICI)1097-4636(199910)47:1<1::AID-JBM1>3.0.CO;2-T"));
    for (const char* doi : {"10.1000/a b", "10.1000/a\"b", "10.1000/<i>x</i>", "10.1000/",
                            "10./x", "11.1000/x", "10.10a0/x", "doi:10.1000/x"})
        EXPECT_FALSE(server::IsDoi(doi)) << doi;
    EXPECT_TRUE(server::IsPmcId("PMC1234567"));
    for (const char* id : {"PMC", "PMC12a", "pmc123", "PMC 123", "1234567"})
        EXPECT_FALSE(server::IsPmcId(id)) << id;
    EXPECT_EQ(server::FullTextAddress(records.back()),
              "http://doi.org/10.1002/(SICI)1097-4636(199910)47:1%3C1::AID-JBM1%3E3.0.CO;2-T");
    server::Article pmc;
    pmc.doi = "not a doi";
    pmc.pmcid = "PMC77";
    EXPECT_EQ(server::FullTextAddress(pmc), "http://www.ncbi.nlm.nih.gov/pmc/articles/PMC77/");
    pmc.doi = "10.1000/x?y#z%";
    EXPECT_EQ(server::FullTextAddress(pmc), "http://doi.org/10.1000/x%3Fy%23z%25");
}

// The records a MEDLINE file brought with the marker in a DOI, a PMC id and a date.
TEST_F(ServedPages, MarkerInImportedFieldsNeverReachesAnArticlePage) {
    for (const std::string id : {"32000001", "32000002"}) {
        const std::string page = Fetch(MakeArticleAddress(id));
        EXPECT_EQ(page.find("PubMed Mobile"), std::string::npos) << page;
        EXPECT_EQ(ToBrowserForm(page).find("PubMed Mobile"), std::string::npos);
        EXPECT_EQ(ExtractArticle(page, id).link, kNoFullTextLink) << "the DOI is not one";
        EXPECT_NE(page.find("DOI: 10.1000/P\xE2\x81\xA0ubMed Mobile"), std::string::npos)
            << "shown as text";
    }
    EXPECT_EQ(Parse(Fetch(MakeSearchAddress("okapi OR narwhal"))).m_nCount, 2);
}

TEST_F(ServedPages, BadRequestsGetAnAnswer) {
    EXPECT_EQ(Status("/m/pubmed/?term=%zz"), 400);
    EXPECT_EQ(Status("/m/pubmed/?term=50%"), 400);
    EXPECT_EQ(Status("/m/pubmed/?term=%FF%FE"), 400);
    EXPECT_EQ(Status("/m/pubmed/?term=" + std::string(2500, 'a')), 400);
    EXPECT_EQ(Status("/m/pubmed/?term=a&page=abc"), 400);
    EXPECT_EQ(Status("/m/pubmed/?term=a&page=0"), 400);
    EXPECT_EQ(Status("/m/pubmed/12345678"), 404);
    EXPECT_EQ(Status("/m/pubmed/abc"), 404);
    EXPECT_EQ(Status("/no/such/page"), 404);
    EXPECT_EQ(Status("/static/tamix.css"), 200);
    EXPECT_EQ(Status("/about"), 200);
    // Every FTS5 operator and quote character, alone and in company.
    for (const char* term : {"\"",        "'",           "*",
                             "^",         ":",           "(",
                             ")",         "{",           "}",
                             "[",         "]",           "+",
                             "-",         "NEAR",        "NEAR(a b, 2)",
                             "AND",       "OR",          "NOT",
                             "a OR",      "NOT a",       "title:x",
                             "{title}:x", "a\"b",        "\"a",
                             "^a",        "a NEAR/2 b",  "x[ti",
                             "x[zz]",     "[dp]",        "(a OR (b",
                             ")))",       "a AND AND b", "*a",
                             "\\",        "%",           "&",
                             "#"}) {
        const std::string page = Fetch(MakeSearchAddress(term));
        EXPECT_NE(page.find("class=\"pag\""), std::string::npos) << term;
    }
}

} // namespace
} // namespace tamix
