// The fields of a record beyond its text: what the readers take from NLM's XML and
// MEDLINE files, how the index keeps them, and the tags that search them.
#include "pubmed/text.h"
#include "server/index/details.h"
#include "server/index/index.h"
#include "server/index/query.h"
#include "server/index/results.h"
#include "support/describe_article.h"
#include "support/holds.h"
#include "support/nlm_records.h"
#include "support/pubmed_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>

namespace tamix::server {
namespace {

using test::kNlmTests;
using test::ReadRecords;
using test::ReadText;
using test::TempDir;

using test::Describe;
using test::Join;
using test::People;

// What NLM's own files hold that the record written both ways below does not: a journal
// without an ISO abbreviation, a season for a date, markup inside an abstract, an affiliation
// of before 2014 (the article's, given to its first author; in MEDLINE, an address before
// the authors) and initials that are not the fore name's.
TEST(Fields, RealNlmRecords) {
    auto first = ReadRecords(kNlmTests + "Entrez/pubmed1.xml.gz");
    const Article& aids = first.at(12091962);
    EXPECT_EQ(aids.journal, "Social justice (San Francisco, Calif.)") << "no ISO abbreviation";
    EXPECT_EQ(aids.pubdate, "1990 Spring");
    EXPECT_EQ(first.at(9997).journal, "Biochim. Biophys. Acta") << "the ISO abbreviation";

    const Article cryo = ReadRecords(kNlmTests + "Entrez/pubmed2.xml.gz").at(11748933);
    ASSERT_EQ(cryo.authorList.size(), 8u);
    EXPECT_EQ(Join(cryo.authorList[0].affiliations),
              "Dipartimento di Scienze Ambientali, Universit\xC3\xA0 degli Studi della Tuscia, "
              "01100 Viterbo, Italy.");
    EXPECT_TRUE(cryo.authorList[1].affiliations.empty());
    const Article gut = ReadRecords(kNlmTests + "Entrez/pubmed4.xml.gz").at(27797938);
    EXPECT_TRUE(test::Holds(gut.abstract, "r2<0.25")) << "r<sup>2</sup>&lt;0.25";

    const Article toolkits = ReadRecords(kNlmTests + "Medline/pubmed_result1.txt").at(12230038);
    EXPECT_EQ(People(toolkits), "Mangalam|Harry|H|||tacg Informatics, Irvine, CA 92612, USA. "
                                "hjm@tacgi.com");
    const Article scop = ReadRecords(kNlmTests + "Medline/pubmed_result2.txt.gz").at(16403221);
    EXPECT_EQ(scop.authorList[2].foreName, "Mansoor A S");
    EXPECT_EQ(scop.authorList[2].initials, "MA") << "initials from AU, not the fore name";
}

// One record written both ways, as PubMed exports it: the readers agree on every field
// the two formats both carry. MEDLINE has no ISO abbreviation, and writes a structured
// abstract as one paragraph.
TEST(Fields, XmlAndMedlineOfOneRecordAgree) {
    const std::string xml =
        "<?xml version=\"1.0\"?>\n<PubmedArticleSet><PubmedArticle><MedlineCitation "
        "Status=\"MEDLINE\" Owner=\"NLM\"><PMID Version=\"1\">31000001</PMID><Article "
        "PubModel=\"Print-Electronic\"><Journal><ISSN IssnType=\"Print\">1234-5678</ISSN>"
        "<ISSN IssnType=\"Electronic\">1234-5679</ISSN><JournalIssue CitedMedium=\"Print\">"
        "<Volume>44</Volume><Issue>7</Issue><PubDate><Year>2021</Year><Month>06</Month><Day>14"
        "</Day></PubDate></JournalIssue><Title>Cardiology quarterly</Title><ISOAbbreviation>"
        "Cardiol Quart</ISOAbbreviation></Journal><ArticleTitle>Empagliflozin &amp; {SGLT2} at "
        "5% ~ 10_mg: $2 #1 ^ \\ in <i>heart failure</i> -- ``a trial''\xC2\xA0(phase 3)."
        "</ArticleTitle><Pagination><MedlinePgn>1201-10</MedlinePgn></Pagination>"
        "<ELocationID EIdType=\"doi\" ValidYN=\"Y\">10.1000/cq.2021.44</ELocationID><Abstract>"
        "<AbstractText Label=\"BACKGROUND\">Few options for &quot;HFpEF&quot;.</AbstractText>"
        "<AbstractText Label=\"RESULTS\">Fewer admissions in a trial whose abstract is long "
        "enough to be wrapped on export, as NLM wraps its lines.</AbstractText></Abstract>"
        "<AuthorList><Author><LastName>Hern\xC3\xA1ndez</LastName><ForeName>Mar\xC3\xAD"
        "a Jos\xC3\xA9</ForeName><Initials>MJ</Initials><AffiliationInfo><Affiliation>Hospital "
        "Cl\xC3\xADnic, Barcelona, Spain.</Affiliation></AffiliationInfo><AffiliationInfo>"
        "<Affiliation>CIBERCV, Madrid, Spain.</Affiliation></AffiliationInfo></Author><Author>"
        "<LastName>Smith</LastName><ForeName>John</ForeName><Initials>J</Initials><Suffix>Jr"
        "</Suffix><AffiliationInfo><Affiliation>Hospital Cl\xC3\xADnic, Barcelona, Spain."
        "</Affiliation></AffiliationInfo></Author><Author><LastName>Beane Freeman</LastName>"
        "<ForeName>Laura E</ForeName><Initials>LE</Initials></Author><Author><CollectiveName>"
        "EMPA-HF Investigators</CollectiveName></Author></AuthorList><Language>eng</Language>"
        "<Language>spa</Language><PublicationTypeList><PublicationType>Journal Article"
        "</PublicationType><PublicationType>Randomized Controlled Trial</PublicationType>"
        "</PublicationTypeList><ArticleDate DateType=\"Electronic\"><Year>2021</Year><Month>05"
        "</Month><Day>02</Day></ArticleDate></Article><MedlineJournalInfo><MedlineTA>Cardiol "
        "Quart</MedlineTA></MedlineJournalInfo><MeshHeadingList><MeshHeading><DescriptorName "
        "MajorTopicYN=\"N\">Heart Failure</DescriptorName><QualifierName MajorTopicYN=\"Y\">drug "
        "therapy</QualifierName><QualifierName MajorTopicYN=\"N\">physiopathology</QualifierName>"
        "</MeshHeading><MeshHeading><DescriptorName MajorTopicYN=\"Y\">Benzhydryl Compounds"
        "</DescriptorName></MeshHeading><MeshHeading><DescriptorName MajorTopicYN=\"N\">Humans"
        "</DescriptorName></MeshHeading></MeshHeadingList><KeywordList Owner=\"NOTNLM\">"
        "<Keyword MajorTopicYN=\"N\">HFpEF</Keyword><Keyword MajorTopicYN=\"N\">SGLT2 "
        "inhibitors</Keyword></KeywordList></MedlineCitation><PubmedData><ArticleIdList>"
        "<ArticleId IdType=\"pubmed\">31000001</ArticleId><ArticleId IdType=\"doi\">"
        "10.1000/cq.2021.44</ArticleId><ArticleId IdType=\"pmc\">PMC8000001</ArticleId>"
        "</ArticleIdList></PubmedData></PubmedArticle></PubmedArticleSet>\n";
    const std::string& medline = test::kRecordWithEveryField;
    Article fromXml = ReadText(xml).at(31000001);
    Article fromMedline = ReadText(medline).at(31000001);
    EXPECT_EQ(fromXml.isoAbbreviation, "Cardiol Quart");
    EXPECT_EQ(fromXml.authors,
              "Hern\xC3\xA1ndez MJ, Smith J, Beane Freeman LE, EMPA-HF Investigators");
    EXPECT_NE(fromXml.abstract.find("\"HFpEF\".\nRESULTS: Fewer"), std::string::npos);
    fromXml.isoAbbreviation.clear();
    std::replace(fromXml.abstract.begin(), fromXml.abstract.end(), '\n', ' ');
    EXPECT_EQ(Describe(fromMedline), Describe(fromXml));

    // And the index gives back what it was given.
    TempDir dir;
    const std::string index = dir.File("m.sqlite");
    ASSERT_TRUE(test::ImportFiles(index, {dir.Write("m.txt", medline)}).empty());
    const auto stored = IndexReader(index).Find(31000001);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(Describe(*stored), Describe(fromMedline));
}

TEST(Fields, DetailsSurviveTheIndexAndDamageIsCaught) {
    Article a;
    a.pmid = 5;
    a.year = 2020;
    a.month = 2;
    a.electronicDay = 31;
    a.journalTitle = "J";
    a.pages = std::string("1\0-2", 4);
    a.languages = {"eng", "ger"};
    a.keywords = {"", "k"};
    a.mesh = {{"A", true, {{"b", false}, {"c", true}}}, {"D", false, {}}};
    Author shared;
    shared.lastName = "L";
    shared.affiliations = {"X", "Y"};
    Author group;
    group.collectiveName = "G";
    group.affiliations = {"Y", std::string(300, 'z')};
    a.authorList = {shared, group, Author{}};
    const std::string bytes = EncodeDetails(a);
    Article back;
    back.pmid = a.pmid; // a column of its own
    ASSERT_TRUE(DecodeDetails(bytes, back));
    EXPECT_EQ(Describe(back), Describe(a));
    // Every cut and every changed byte either reads as a record or is refused, never read
    // past; the whole record is never taken from a cut one.
    for (std::size_t size = 0; size < bytes.size(); ++size) {
        Article cut;
        EXPECT_FALSE(DecodeDetails(bytes.substr(0, size), cut)) << size;
    }
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        std::string changed = bytes;
        changed[at] = static_cast<char>(changed[at] ^ 0xFF);
        Article damaged;
        DecodeDetails(changed, damaged);
    }
    EXPECT_FALSE(DecodeDetails(bytes + "x", back)) << "bytes past the record";
}

// Records with values that share words, so that a tag matching words rather than values
// would find too much: each query must find exactly the records its predicate picks.
test::Records MakeCorpus(const std::string& index, int count) {
    const std::vector<std::string> descriptors = {
        "Heart Failure", "Heart Diseases", "Kidney Failure", "Heart Failure, Diastolic", "Failure"};
    const std::vector<std::string> qualifiers = {"drug therapy", "therapy", "mortality"};
    const std::vector<std::string> types = {"Review", "Systematic Review", "Journal Article",
                                            "Randomized Controlled Trial"};
    const std::vector<std::string> languages = {"eng", "ger", "fre", "jpn"};
    const std::vector<std::pair<std::string, std::string>> journals = {
        {"Gut", "Gut"},
        {"Gut microbes", "Gut Microbes"},
        {"The Lancet", "Lancet"},
        {"Biochimica et biophysica acta", "Biochim. Biophys. Acta"}};
    const std::vector<std::string> affiliations = {
        "Harvard Medical School, Boston", "Harvard University", "Medical School of Lyon",
        "School of Medicine, Harvard", "Dana-Farber Cancer Institute, Boston"};
    const std::vector<std::string> keywords = {"heart failure", "heart", "failure", "diet"};
    // Beane Freeman's initials come from the fore name.
    const std::vector<Author> people = {
        {"Smith", "", "JA"},        {"Smith", "", "J"},
        {"Smithson", "", "J"},      {"Beane Freeman", "Laura E"},
        {"M\xC3\xBCller", "", "K"}, {"", "", "", "", "Writing Group"}};
    std::mt19937 random(13);
    const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    const auto any = [&](const auto& values) -> const auto& {
        return values[pick(values.size())];
    };
    test::Records records;
    IndexWriter writer(index);
    for (int i = 0; i < count; ++i) {
        Article a;
        a.pmid = 1000 + i;
        a.title = "Record " + std::to_string(i);
        a.year = 1990 + static_cast<int>(pick(30));
        if (pick(3)) a.abstract = "An abstract.";
        if (pick(4) == 0) a.pmcid = "PMC" + std::to_string(i);
        for (std::size_t n = pick(4); n > 0; --n) {
            MeshHeading h{any(descriptors), pick(4) == 0, {}};
            for (std::size_t q = pick(3); q > 0; --q)
                h.qualifiers.push_back({any(qualifiers), pick(3) == 0});
            a.mesh.push_back(h);
        }
        for (std::size_t n = pick(3); n > 0; --n)
            a.publicationTypes.push_back(any(types));
        for (std::size_t n = 1 + pick(2); n > 0; --n)
            a.languages.push_back(any(languages));
        const auto& journal = any(journals);
        a.journalTitle = journal.first;
        a.journal = a.isoAbbreviation = journal.second;
        for (std::size_t n = pick(4); n > 0; --n) {
            Author person = any(people);
            for (std::size_t k = pick(3); k > 0; --k)
                person.affiliations.push_back(any(affiliations));
            a.authorList.push_back(person);
        }
        a.authors = AuthorsDisplay(a.authorList);
        for (std::size_t n = pick(3); n > 0; --n)
            a.keywords.push_back(any(keywords));
        writer.Put(a);
        records[a.pmid] = a;
    }
    writer.Commit();
    return records;
}

using Predicate = std::function<bool(const Article&)>;
using Pmids = std::set<std::int64_t>;

// The heading, with the qualifier when one is named; with major, starred on the descriptor
// or the qualifier (for a bare heading, on any of its qualifiers).
Predicate Mh(const std::string& descriptor, const std::string& qualifier = "", bool major = false) {
    return [=](const Article& a) {
        for (const MeshHeading& h : a.mesh) {
            if (h.descriptor != descriptor) continue;
            bool anyMajor = h.major;
            for (const MeshQualifier& q : h.qualifiers)
                anyMajor = anyMajor || q.major;
            if (qualifier.empty() && (!major || anyMajor)) return true;
            for (const MeshQualifier& q : h.qualifiers)
                if (q.name == qualifier && (!major || q.major || h.major)) return true;
        }
        return false;
    };
}
Predicate Holds(std::vector<std::string> Article::*field, const std::string& value) {
    return [=](const Article& a) {
        return std::find((a.*field).begin(), (a.*field).end(), value) != (a.*field).end();
    };
}
Predicate Ta(const std::string& abbreviation) {
    return [=](const Article& a) { return a.isoAbbreviation == abbreviation; };
}
Predicate Ad(const std::string& phrase) {
    return [=](const Article& a) {
        for (const Author& author : a.authorList)
            for (const std::string& affiliation : author.affiliations)
                if (ToLowerAscii(affiliation).find(phrase) != std::string::npos) return true;
        return false;
    };
}
// The first or last author: a group by its name, a person by last name and the start of the
// initials (or of the fore name's initials, "Laura E" -> "LE").
Predicate Au(bool first, const std::string& last, const std::string& initials = "") {
    return [=](const Article& a) {
        if (a.authorList.empty()) return false;
        const Author& author = first ? a.authorList.front() : a.authorList.back();
        if (last == "Writing Group") return author.collectiveName == last;
        std::string given = author.initials;
        if (given.empty())
            for (std::size_t at = 0; at < author.foreName.size(); ++at)
                if (at == 0 || author.foreName[at - 1] == ' ') given += author.foreName[at];
        return author.lastName == last && given.rfind(initials, 0) == 0;
    };
}
Predicate And(Predicate p, Predicate q) {
    return [=](const Article& a) { return p(a) && q(a); };
}
Predicate Or(Predicate p, Predicate q) {
    return [=](const Article& a) { return p(a) || q(a); };
}
Predicate Not(Predicate p) {
    return [=](const Article& a) { return !p(a); };
}

Pmids Found(IndexReader& reader, const std::string& query) {
    Pmids pmids;
    for (const ArticleSummary& s : reader.Page(BuildSearch(query), 0, 100000))
        pmids.insert(s.pmid);
    return pmids;
}
Pmids Wanted(const test::Records& records, const Predicate& p) {
    Pmids pmids;
    for (const auto& [pmid, a] : records)
        if (p(a)) pmids.insert(pmid);
    return pmids;
}

TEST(Tags, EachReturnsExactlyTheRecordsThatCarryIt) {
    TempDir dir;
    const test::Records corpus = MakeCorpus(dir.File("corpus.sqlite"), 600);
    IndexReader reader(dir.File("corpus.sqlite"));
    ResultCache cache;
    const Predicate hf = Mh("Heart Failure");
    const Predicate abstract = [](const Article& a) { return !a.abstract.empty(); };
    const Predicate pmc = [](const Article& a) { return !a.pmcid.empty(); };
    const auto pt = [](const std::string& v) { return Holds(&Article::publicationTypes, v); };
    const auto la = [](const std::string& v) { return Holds(&Article::languages, v); };
    const auto kw = [](const std::string& v) { return Holds(&Article::keywords, v); };
    const std::vector<std::pair<std::string, Predicate>> cases = {
        {"heart failure[mh]", hf},
        {"Heart Failure[MeSH Terms]", hf},
        {"failure[mh]", Mh("Failure")},
        {"heart failure/drug therapy[mh]", Mh("Heart Failure", "drug therapy")},
        {"heart failure/therapy[mh]", Mh("Heart Failure", "therapy")},
        {"heart failure*[mh]", Or(hf, Mh("Heart Failure, Diastolic"))},
        {"heart failure[majr]", Mh("Heart Failure", "", true)},
        {"heart failure/mortality[majr]", Mh("Heart Failure", "mortality", true)},
        {"review[pt]", pt("Review")},
        {"english[la]", la("eng")},
        {"ger[la]", la("ger")},
        {"gut[ta]", Ta("Gut")},
        {"gut microbes[ta]", Ta("Gut Microbes")},
        {"the lancet[ta]", Ta("Lancet")},
        {"lancet[ta]", Ta("Lancet")},
        {"biochim biophys acta[ta]", Ta("Biochim. Biophys. Acta")},
        {"medical school[ad]", Ad("medical school")},
        {"dana-farber cancer institute[ad]", Ad("dana-farber cancer institute")},
        {"heart failure[kw]", kw("heart failure")},
        {"failure[kw]", Or(kw("heart failure"), kw("failure"))},
        {"smith[1au]", Au(true, "Smith")},
        {"smith j[1au]", Au(true, "Smith", "J")},
        {"smith ja[1au]", Au(true, "Smith", "JA")},
        {"beane freeman le[1au]", Au(true, "Beane Freeman", "LE")},
        {"muller k[1au]", Au(true, "M\xC3\xBCller", "K")},
        {"smith[lastau]", Au(false, "Smith")},
        {"writing group[lastau]", Au(false, "Writing Group")},
        {"hasabstract", abstract},
        {"has abstract[sb]", abstract},
        {"free full text[sb]", pmc},
        // Combinations, as the other tags combine.
        {"(gut[ta] OR lancet[ta]) NOT english[la]",
         And(Or(Ta("Gut"), Ta("Lancet")), Not(la("eng")))},
        {"hasabstract AND free full text[sb] AND (kidney failure[mh] OR diet[kw])",
         And(And(abstract, pmc), Or(Mh("Kidney Failure"), kw("diet")))},
        {"heart failure[majr] AND 2000:2009[dp]",
         And(Mh("Heart Failure", "", true),
             [](const Article& a) { return a.year >= 2000 && a.year <= 2009; })},
        {"record NOT (heart failure[mh] OR heart diseases[mh])", Not(Or(hf, Mh("Heart Diseases")))},
    };
    for (const auto& [query, predicate] : cases) {
        const Pmids expected = Wanted(corpus, predicate);
        EXPECT_EQ(Found(reader, query), expected) << query;
        // The count and every order find the same records.
        const Search search = BuildSearch(query);
        EXPECT_EQ(reader.Count(search), static_cast<int>(expected.size())) << query;
        for (SortOrder order : {SortOrder::Relevance, SortOrder::Author, SortOrder::Journal}) {
            Pmids sorted;
            for (int page = 1;; ++page) {
                const ResultPage result = FindResults(reader, cache, search, order, page, 50);
                for (const ArticleSummary& s : result.items)
                    sorted.insert(s.pmid);
                if (result.items.size() < 50) break;
            }
            EXPECT_EQ(sorted, expected) << query << " by " << SortOrderName(order);
        }
    }
    EXPECT_TRUE(Found(reader, "gut[ti]").empty())
        << "the words a tag names are no words of the text";
    // Headings and keywords are searched as text too.
    const Pmids failure = Wanted(corpus, Or(Or(kw("heart failure"), kw("failure")), [](auto& a) {
                                     for (const MeshHeading& h : a.mesh)
                                         if (h.descriptor.find("Failure") != std::string::npos)
                                             return true;
                                     return false;
                                 }));
    EXPECT_FALSE(failure.empty());
    EXPECT_EQ(Found(reader, "failure"), failure);
}

Article Record(std::int64_t pmid, const std::string& title, const std::string& abstract, int year,
               const std::string& firstAuthor = "", const std::string& journal = "") {
    Article a;
    a.pmid = pmid;
    a.title = title;
    a.abstract = abstract;
    a.year = year;
    a.month = 1;
    a.day = 1;
    if (!firstAuthor.empty()) {
        Author author;
        author.lastName = firstAuthor;
        author.initials = "A";
        a.authorList.push_back(author);
        a.authors = AuthorsDisplay(a.authorList);
    }
    a.journal = a.isoAbbreviation = journal;
    return a;
}

std::vector<std::int64_t> Ordered(IndexReader& reader, ResultCache& cache, const std::string& q,
                                  SortOrder order) {
    std::vector<std::int64_t> pmids;
    const Search search = BuildSearch(q);
    for (int page = 1;; ++page) {
        const ResultPage result = FindResults(reader, cache, search, order, page, 3);
        for (const ArticleSummary& s : result.items)
            pmids.push_back(s.pmid);
        if (result.items.size() < 3) break;
    }
    return pmids;
}

// Many first requests for one order at once make it once; a failure reaches each of them
// and is not kept.
TEST(Order, AnOrderAskedByManyAtOnceIsMadeOnce) {
    ResultCache cache;
    std::atomic<int> made{0};
    const auto slow = [&] {
        ++made;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return std::vector<std::int64_t>{3, 1, 2};
    };
    std::vector<std::thread> threads;
    std::vector<ResultCache::Order> got(8);
    for (std::size_t i = 0; i < got.size(); ++i)
        threads.emplace_back([&, i] { got[i] = cache.MakeOrder("k", 7, slow); });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(made.load(), 1);
    for (const auto& order : got) {
        ASSERT_TRUE(order);
        EXPECT_EQ(order.get(), got[0].get());
    }
    EXPECT_EQ(*got[0], (std::vector<std::int64_t>{3, 1, 2}));
    cache.MakeOrder("k", 8, slow);
    EXPECT_EQ(made.load(), 2) << "another generation of the index";

    std::atomic<int> failures{0};
    threads.clear();
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            try {
                cache.MakeOrder("bad", 1, [&]() -> std::vector<std::int64_t> {
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    throw std::runtime_error("disk");
                });
            } catch (const std::runtime_error&) {
                ++failures;
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 4);
    EXPECT_EQ(cache.MakeOrder("bad", 1, [] { return std::vector<std::int64_t>{9}; })->front(), 9);
}

TEST(Order, AuthorAndJournalOrdersFoldCaseAndDiacritics) {
    TempDir dir;
    const std::string index = dir.File("sort.sqlite");
    {
        IndexWriter writer(index);
        writer.Put(Record(1, "Study one", "", 2001, "\xC3\x98stergaard", "Lancet"));
        writer.Put(Record(2, "Study two", "", 2002, "andersson", "BMJ"));
        writer.Put(Record(3, "Study three", "", 2003, "", "ajr Am J Roentgenol"));
        writer.Put(Record(4, "Study four", "", 2004, "O'Brien", ""));
        writer.Put(Record(5, "Study five", "", 2005, "Andersson", "BMJ"));
        writer.Put(Record(6, "Study six", "", 2006, "Ost", "\xC3\x89tudes"));
        writer.Commit();
    }
    IndexReader reader(index);
    ResultCache cache;
    EXPECT_EQ(Ordered(reader, cache, "study", SortOrder::Author),
              (std::vector<std::int64_t>{5, 2, 4, 6, 1, 3}))
        << "records without an author last; equal names newest first";
    EXPECT_EQ(Ordered(reader, cache, "study", SortOrder::Journal),
              (std::vector<std::int64_t>{3, 5, 2, 6, 1, 4}));
    // The count that stops at its limit (the benchmark's).
    EXPECT_EQ(reader.CountUpTo(BuildSearch("study").match, 4), 4);
    EXPECT_EQ(reader.CountUpTo(BuildSearch("study").match, 100), 6);
    // An order is kept for its generation of the index only.
    {
        IndexWriter writer(index);
        writer.Put(Record(7, "Study seven", "", 2007, "Aalto", "BMJ"));
        writer.Commit();
    }
    EXPECT_EQ(Ordered(reader, cache, "study", SortOrder::Author).front(), 7);
}

} // namespace
} // namespace tamix::server
