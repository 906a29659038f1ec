// tamix-server as a gateway to NCBI's E-utilities, against a stand-in of them on loopback:
// esearch's real answers read, pages in esearch's order through the built binary, the
// parameters of every request, NCBI's pace under concurrent clients, 429s waited out,
// failures answered 502, and the records kept in the index for work offline.
#include "pubmed/resultpage.h"
#include "server/gateway/requests.h"
#include "server/index/index.h"
#include "server/index/lock.h"
#include "support/eutils_stand_in.h"
#include "support/files.h"
#include "support/holds.h"
#include "support/process.h"
#include "support/pubmed_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <regex>
#include <thread>

namespace tamix {
namespace {

using test::EutilsStandIn;
using test::Holds;
using test::Process;
using test::ReadText;
using test::Record;
using test::TempDir;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kServer = TAMIX_SERVER_BIN;
const std::string& kEntrez = test::kBiopythonEntrez;

// NCBI's real efetch answers: eight records.
std::string RealRecords() {
    std::string all;
    for (const char* name : {"pubmed1", "pubmed2", "pubmed4", "pubmed5", "pubmed6", "pubmed7"})
        all += ReadText(kEntrez + name + ".xml.gz");
    return all;
}

// 25 planarian records, one a day: newest (1024) first in date order.
std::vector<Record> Planarians() {
    std::vector<Record> records;
    for (int i = 0; i < 25; ++i)
        records.push_back({1000 + i, "Planarian regeneration study " + std::to_string(i),
                           "<AbstractText>Planarian text " + std::to_string(i) + ".</AbstractText>",
                           2015, 1 + i / 28, 1 + i % 28, "10.1/p" + std::to_string(i)});
    return records;
}
// n of their ids from the from-th newest on.
std::vector<std::int64_t> Newest(int from, int n = 10) {
    std::vector<std::int64_t> ids;
    for (int i = 24 - from; i >= 0 && i > 24 - from - n; --i)
        ids.push_back(1000 + i);
    return ids;
}

CArticleRecord Parse(const std::string& page) {
    CArticleRecord record;
    ParseResultPage(page, kServerMarkers, record);
    record.m_nTotalPages = ParseTotalPages(page);
    return record;
}

std::vector<std::int64_t> Ids(const CArticleRecord& record) {
    std::vector<std::int64_t> ids;
    for (int i = 0; i < record.m_nCount; ++i)
        ids.push_back(std::stoll(record.m_strIds[static_cast<std::size_t>(i)]));
    return ids;
}

// A running `tamix-server serve`.
class Served {
public:
    Served(const std::string& index, const std::vector<std::string>& extra, const std::string& log,
           const std::function<void()>& inChild = {}) {
        port = test::ServeBinary(process, kServer, index, extra, log, inChild);
    }
    ~Served() {
        if (process->Running()) process->Stop();
    }
    std::pair<int, std::string> Get(const std::string& target) {
        auto res = test::Get(port, target, 30);
        return res ? std::pair{res->status, res->body} : std::pair{-1, std::string()};
    }
    CArticleRecord Page(const std::string& target) { return Parse(Get(target).second); }

    std::unique_ptr<Process> process;
    int port = -1;
};

// The most requests that arrived within any span shorter than a second.
int MostInOneSecond(std::vector<EutilsStandIn::Hit> hits) {
    std::sort(hits.begin(), hits.end(),
              [](const auto& a, const auto& b) { return a.when < b.when; });
    int most = 0;
    for (std::size_t i = 0, j = 0; j < hits.size(); ++j) {
        while (hits[j].when - hits[i].when >= std::chrono::seconds(1))
            ++i;
        most = std::max(most, static_cast<int>(j - i + 1));
    }
    return most;
}

TEST(EsearchAnswers, NcbisRealAnswersRead) {
    gateway::SearchAnswer answer;
    std::string why;
    // Its translation stack has counts of its own.
    ASSERT_TRUE(gateway::ParseSearchAnswer(ReadText(kEntrez + "esearch5.xml"), answer, why));
    EXPECT_EQ(answer.count, 23492);
    ASSERT_EQ(answer.ids.size(), 20u);
    EXPECT_EQ(answer.ids.front(), 1894783);
    EXPECT_EQ(answer.ids.back(), 1413911);
    EXPECT_FALSE(answer.rejected);
    // A search that found nothing, one that could not be run (fuzz_esearch: neither has
    // a count or ids).
    for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
             {ReadText(kEntrez + "esearch8.xml"), "PubMed did not find: abcXYZ. No items found."},
             {EutilsStandIn::ErrorAnswer("Invalid query syntax"),
              "PubMed could not search for this: Invalid query syntax"}}) {
        ASSERT_TRUE(gateway::ParseSearchAnswer(text, answer, why)) << why;
        EXPECT_TRUE(answer.rejected);
        EXPECT_EQ(answer.message, message);
    }

    // Not an answer: a cut one, another document, one without a count.
    const std::string real = ReadText(kEntrez + "esearch1.xml");
    for (const auto& [text, why] : std::vector<std::pair<std::string, std::string>>{
             {real.substr(0, real.size() / 2), "not XML"},
             {"<html><body>Bad Gateway</body></html>", "not an eSearchResult"},
             {"<eSearchResult><IdList/></eSearchResult>", "holds no count"}}) {
        gateway::SearchAnswer answer;
        std::string said;
        EXPECT_FALSE(gateway::ParseSearchAnswer(text, answer, said));
        EXPECT_TRUE(Holds(said, why));
    }
}

class Gateway : public ::testing::Test {
protected:
    void SetUp() override {
        eutils_.AddRecords(test::ArticleSet(Planarians()));
        eutils_.AddRecords(RealRecords());
        eutils_.SetSearch("planarian regeneration", 25, Newest(0, 25));
        index_ = dir_.File("gateway.sqlite"); // made by the first server
    }
    std::string Log(const std::string& name) const { return dir_.File(name + ".log"); }

    TempDir dir_;
    EutilsStandIn eutils_;
    std::string index_;
};

TEST_F(Gateway, PagesComeInEsearchsOrderAndStayInTheIndex) {
    unsetenv("NCBI_API_KEY");
    const std::string search = "/m/pubmed/?term=planarian%20regeneration",
                      pages = search + "&page=";
    {
        Served gateway(index_, {"--eutils", eutils_.Base(), "--email", "lab@example.org"},
                       Log("gateway"));
        ASSERT_GT(gateway.port, 0) << gateway.process->Stderr();

        // First, middle and last page; each esearch, then one efetch of its ten new ids (the
        // access log below has the whole address of each).
        for (int page = 1; page <= 3; ++page) {
            SCOPED_TRACE(page);
            eutils_.ClearHits();
            const CArticleRecord r = gateway.Page(pages + std::to_string(page));
            EXPECT_EQ(Ids(r), Newest((page - 1) * 10));
            EXPECT_EQ(r.m_nTotalPages, 3);
            const auto searches = eutils_.Hits("esearch");
            ASSERT_EQ(searches.size(), 1u);
            EXPECT_TRUE(std::regex_match(searches[0].agent, std::regex("tamix-server/[0-9.]+")));
            EXPECT_EQ(eutils_.Hits("efetch").size(), 1u);
        }

        // Paging back, the same page again and its articles cost no request.
        eutils_.ClearHits();
        EXPECT_EQ(Ids(gateway.Page(pages + "2")), Newest(10));
        EXPECT_EQ(Ids(gateway.Page(search)), Newest(0));
        EXPECT_EQ(gateway.Get("/m/pubmed/1024").first, 200);
        EXPECT_TRUE(eutils_.Hits().empty());

        // Another order, named in esearch's words; esearch's order is kept, not the index's.
        eutils_.SetSearch("planarian", 25, {1003, 1017, 1001});
        eutils_.ClearHits();
        EXPECT_EQ(Ids(gateway.Page("/m/pubmed/?term=planarian&sort=journal")),
                  (std::vector<std::int64_t>{1003, 1017, 1001}));
        ASSERT_EQ(eutils_.Hits().size(), 1u) << "all three are in the index";
        EXPECT_EQ(eutils_.Hits()[0].Param("sort"), "JournalName");

        // An article the index does not hold: one efetch, then it is there.
        eutils_.ClearHits();
        EXPECT_TRUE(Holds(gateway.Get("/m/pubmed/11748933").second,
                          "Is cryopreservation a homogeneous process?"));
        ASSERT_EQ(eutils_.Hits().size(), 1u);
        EXPECT_EQ(eutils_.Hits()[0].Param("id"), "11748933");
        EXPECT_EQ(gateway.Get("/m/pubmed/11748933").first, 200);
        EXPECT_EQ(eutils_.Hits().size(), 1u);
        // One PubMed does not have is not there.
        EXPECT_EQ(gateway.Get("/m/pubmed/424242").first, 404);

        // The access log: each request, its status and its time.
        const std::string log = gateway.process->Stderr();
        for (const std::string& address :
             {std::string(
                  "esearch.fcgi?db=pubmed&term=planarian+regeneration&retstart=20&retmax=10&"
                  "sort=pub_date&retmode=xml&tool=tamix-server&email=lab%40example.org"),
              std::string("efetch.fcgi?db=pubmed&id=1024,1023,1022,1021,1020,1019,1018,1017,"
                          "1016,1015&retmode=xml&tool=tamix-server&email=lab%40example.org")})
            EXPECT_TRUE(Holds(log, "\"GET " + eutils_.Base() + address + "\" 200 "));
        EXPECT_TRUE(std::regex_search(log, std::regex("efetch\\.fcgi\\?db=pubmed&id=11748933&"
                                                      "[^\"]*\" 200 [0-9]+ [0-9]+ ms\n")))
            << log;
        EXPECT_TRUE(Holds(gateway.Get("/").second, "This server is a gateway to PubMed"));
        EXPECT_TRUE(Holds(gateway.Get("/about").second, "also a gateway to PubMed"));
    }

    // Offline: NCBI out of reach, a server without the gateway finds what was fetched, in
    // the same page bytes as a gateway would serve them.
    Served local(index_, {}, Log("local"));
    ASSERT_GT(local.port, 0) << local.process->Stderr();
    const CArticleRecord offline = local.Page(search);
    EXPECT_EQ(Ids(offline), Newest(0));
    EXPECT_EQ(offline.m_nTotalPages, 3);
    EXPECT_EQ(Ids(local.Page("/m/pubmed/?term=cryopreservation%20spermatozoa")),
              std::vector<std::int64_t>{11748933});
    EXPECT_TRUE(Holds(local.Get("/").second, "nothing leaves this machine"));
    EXPECT_EQ(local.Get("/about").second.find("gateway"), std::string::npos);
}

TEST_F(Gateway, SamePageBytesAsTheLocalIndex) {
    // A local index of the same records, and esearch's answer in its order.
    const std::string source = dir_.File("source.sqlite");
    test::ImportFiles(source, {dir_.Write("p.xml", test::ArticleSet(Planarians()))});
    eutils_.SetSearch("planarian", 25, Newest(0, 25));
    Served local(source, {}, Log("local"));
    // A key's pace, only to be quicker; --api-key wins over NCBI's variable.
    Served gateway(index_, {"--eutils", eutils_.Base(), "--api-key", "optkey"}, Log("gateway"),
                   [] { setenv("NCBI_API_KEY", "envkey123", 1); });
    ASSERT_GT(gateway.port, 0) << gateway.process->Stderr();
    for (const std::string target :
         {"/m/pubmed/?term=planarian", "/m/pubmed/?term=planarian&page=3", "/m/pubmed/01007"}) {
        SCOPED_TRACE(target);
        const auto fromIndex = local.Get(target), throughGateway = gateway.Get(target);
        EXPECT_EQ(throughGateway.first, 200);
        EXPECT_EQ(throughGateway.second, fromIndex.second);
    }
    EXPECT_EQ(eutils_.Hits().at(0).Param("api_key"), "optkey");
    // The log hides the key.
    const std::string log = gateway.process->Stderr();
    EXPECT_TRUE(Holds(log, "api_key=(hidden)\" 200"));
    EXPECT_EQ(log.find("optkey"), std::string::npos) << log;
}

TEST_F(Gateway, CountsPastTenThousandAndRejectedSearches) {
    std::vector<std::int64_t> ids(10000);
    for (int i = 0; i < 10000; ++i)
        ids[static_cast<std::size_t>(i)] = 1000 + i % 25;
    eutils_.SetSearch("cancer", 4567890, ids);
    Served gateway(index_, {"--eutils", eutils_.Base()}, Log("gateway"));
    EXPECT_EQ(gateway.Page("/m/pubmed/?term=cancer").m_nTotalPages, 1000);
    const std::string last = gateway.Get("/m/pubmed/?term=cancer&page=1000").second;
    EXPECT_TRUE(Holds(last, "10000+ results"));
    EXPECT_EQ(last.find("class=\"next\""), std::string::npos);
    EXPECT_EQ(eutils_.Hits("esearch").back().Param("retstart"), "9990");
    // Past esearch's reach only the count is asked for.
    EXPECT_EQ(gateway.Page("/m/pubmed/?term=cancer&page=1001").m_nCount, 0);
    EXPECT_EQ(eutils_.Hits("esearch").back().Param("retstart"), "0");
    EXPECT_EQ(eutils_.Hits("esearch").back().Param("retmax"), "0");

    // Every kind of rejection reads to a message (EsearchAnswers); one goes to the page here.
    eutils_.SetFault("abcXYZ", {200, ReadText(kEntrez + "esearch8.xml"), -1, {}, 9});
    eutils_.ClearHits();
    const auto [status, page] = gateway.Get("/m/pubmed/?term=abcXYZ");
    EXPECT_EQ(status, 200);
    EXPECT_EQ(Parse(page).m_nTotalPages, 1);
    EXPECT_TRUE(Holds(page,
                      "<p class=\"count\">0 results</p>\n<p class=\"note\">PubMed did not find: "
                      "abcXYZ. No items found.</p>\n<ul class=\"r\"></ul>"));
    EXPECT_EQ(eutils_.Hits("efetch").size(), 0u);
    // An empty search asks nothing.
    eutils_.ClearHits();
    EXPECT_EQ(gateway.Page("/m/pubmed/?term=%20").m_nCount, 0);
    EXPECT_TRUE(eutils_.Hits().empty()) << eutils_.Hits()[0].Param("term");
}

TEST_F(Gateway, NcbisRateHoldsUnderConcurrentClients) {
    // Each search a term of its own, so that nothing is answered from memory, and finding
    // nothing, so that each is one request; more of them at once than a second allows.
    int next = 0;
    const auto load = [&](Served& gateway, int searches) {
        std::vector<std::thread> threads;
        std::atomic<int> ok{0};
        for (int c = 0; c < searches; ++c)
            threads.emplace_back([&, term = next++] {
                ok += gateway.Get("/m/pubmed/?term=term" + std::to_string(term)).first == 200;
            });
        for (auto& thread : threads)
            thread.join();
        return ok.load();
    };
    {
        // The base without its last '/' names the same place.
        std::string base = eutils_.Base();
        base.pop_back();
        Served gateway(index_, {"--eutils", base}, Log("nokey"));
        EXPECT_TRUE(Holds(gateway.process->Stderr(), "(no API key, 3 requests a second)"));
        EXPECT_EQ(load(gateway, 6), 6);
        const auto hits = eutils_.Hits();
        EXPECT_EQ(hits.size(), 6u);
        EXPECT_LE(MostInOneSecond(hits), 3);
        EXPECT_EQ(hits.front().Param("api_key"), "<none>");
    }
    eutils_.ClearHits();
    // The key from NCBI's variable: ten a second.
    Served gateway(index_, {"--eutils", eutils_.Base(), "--quiet"}, Log("key"),
                   [] { setenv("NCBI_API_KEY", "envkey123", 1); });
    EXPECT_EQ(load(gateway, 12), 12);
    const auto hits = eutils_.Hits();
    EXPECT_EQ(hits.size(), 12u);
    EXPECT_LE(MostInOneSecond(hits), 10);
    EXPECT_GE(MostInOneSecond(hits), 6) << "the key's rate is used";
    for (const auto& hit : hits)
        EXPECT_EQ(hit.Param("api_key"), "envkey123");
    EXPECT_EQ(gateway.process->Stderr().find("envkey123"), std::string::npos)
        << "--quiet logs no request";
}

TEST_F(Gateway, FailuresGiveA502AndTooManyRequestsAreWaitedOut) {
    Served gateway(index_, {"--eutils", eutils_.Base()}, Log("gateway"));
    // An answer that does not come is given up at ten seconds; first, so that NCBI's pace
    // adds nothing to the time.
    eutils_.SetFault("slow", {200, "", -1, std::chrono::minutes(1), 1});
    const auto start = Clock::now();
    EXPECT_EQ(gateway.Get("/m/pubmed/?term=slow").first, 502);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, milliseconds(9500));
    EXPECT_LT(took, milliseconds(11900));

    const std::string busy = "Too Many Requests";
    const struct {
        const char* term;
        EutilsStandIn::Fault fault;
        int status;
        std::size_t asked;
        milliseconds gap;
    } kCases[] = {
        {"wait", {429, busy, 2, {}, 1}, 200, 2, milliseconds(2000)},   // Retry-After's seconds
        {"again", {429, busy, -1, {}, 1}, 200, 2, milliseconds(1000)}, // a second without one
        {"thrice", {429, busy, 0, {}, 3}, 502, 3, {}},                 // two retries, no more
        {"later", {429, busy, 60, {}, 1}, 502, 1, {}}, // longer than is worth waiting
        {"broken", {200, EutilsStandIn::ErrorAnswer("x").substr(0, 40), -1, {}, 9}, 502, 1, {}},
        {"down", {503, "<html>Service unavailable</html>", -1, {}, 9}, 502, 1, {}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.term);
        eutils_.ClearHits();
        eutils_.SetFault(c.term, c.fault);
        const auto [status, page] = gateway.Get(std::string("/m/pubmed/?term=") + c.term);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(page.find("PubMed could not be reached") != std::string::npos, c.status == 502);
        const auto searches = eutils_.Hits("esearch");
        ASSERT_EQ(searches.size(), c.asked);
        for (std::size_t i = 1; i < searches.size(); ++i)
            EXPECT_GE(searches[i].when - searches[i - 1].when, c.gap);
    }

    // efetch's answer cut short after its first whole record: the page fails, and nothing
    // of it is stored.
    eutils_.SetSearch("cut", 2, {12091962, 9997});
    eutils_.SetFault("efetch",
                     {200, ReadText(kEntrez + "pubmed1.xml.gz").substr(0, 6500), -1, {}, 1});
    EXPECT_EQ(gateway.Get("/m/pubmed/?term=cut").first, 502);
    EXPECT_EQ(server::IndexReader(index_).Size(), 0);
    EXPECT_EQ(gateway.Get("/m/pubmed/?term=cut").first, 200) << "failures are not kept";

    // Nothing listens at the address: 502 at once.
    Served refused(
        dir_.File("other.sqlite"),
        {"--eutils", "http://127.0.0.1:" + std::to_string(test::ClosedPort()) + "/eutils"},
        Log("refused"));
    EXPECT_EQ(refused.Get("/m/pubmed/?term=anything").first, 502);
    EXPECT_EQ(refused.Get("/m/pubmed/00001000").first, 502);
}

TEST_F(Gateway, PagesAreServedWhileAnotherProcessWritesTheIndex) {
    Served gateway(index_, {"--eutils", eutils_.Base()}, Log("gateway"));
    ASSERT_GT(gateway.port, 0);
    const std::string search = "/m/pubmed/?term=planarian%20regeneration";
    {
        // As an import or the mirror holds it.
        server::IndexLock lock(index_);
        const auto [status, page] = gateway.Get(search);
        EXPECT_EQ(status, 200);
        EXPECT_EQ(Ids(Parse(page)), Newest(0));
        const auto article = gateway.Get("/m/pubmed/29963580");
        EXPECT_EQ(article.first, 200);
        EXPECT_TRUE(Holds(article.second, "PMID: 29963580"));
        EXPECT_EQ(server::IndexReader(index_).Size(), 0);
        EXPECT_TRUE(Holds(gateway.process->Stderr(), "the records fetched are not stored"));
    }
    // The next fetch stores them; the search itself is not asked again.
    eutils_.ClearHits();
    EXPECT_EQ(Ids(gateway.Page(search)), Newest(0));
    EXPECT_EQ(eutils_.Hits("esearch").size(), 0u);
    EXPECT_EQ(eutils_.Hits("efetch").size(), 1u);
    EXPECT_EQ(server::IndexReader(index_).Size(), 10);

    // Clients asking for a page while it is in flight share its one esearch.
    eutils_.SetSearch("regeneration", 25, Newest(0, 25));
    eutils_.SetFault("regeneration", {200, "", -1, milliseconds(600), 1});
    eutils_.ClearHits();
    std::vector<std::thread> clients;
    std::vector<std::vector<std::int64_t>> seen(4);
    for (int c = 0; c < 4; ++c)
        clients.emplace_back([&, c] {
            seen[static_cast<std::size_t>(c)] = Ids(gateway.Page("/m/pubmed/?term=regeneration"));
        });
    for (auto& client : clients)
        client.join();
    for (const auto& ids : seen)
        EXPECT_EQ(ids, Newest(0));
    EXPECT_EQ(eutils_.Hits("esearch").size(), 1u);
}

TEST(GatewayOptions, WrongCommandLinesAreUsageErrors) {
    TempDir dir;
    for (const auto& [option, value, message] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {"--api-key", "k", "--api-key and --email go with --eutils"},
             {"--email", "a@b", "--api-key and --email go with --eutils"},
             {"--eutils", "127.0.0.1:9/", "--eutils takes http[s]://"}}) {
        Process p({kServer, "serve", "--index", dir.File("new.sqlite"), option, value},
                  dir.File("run.log"));
        EXPECT_EQ(p.WaitUpTo(std::chrono::seconds(10)), 2) << option;
        EXPECT_TRUE(Holds(p.Stderr(), message));
    }
}

} // namespace
} // namespace tamix
