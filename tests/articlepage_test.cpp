#include "pubmed/articlepage.h"
#include "support/files.h"

#include <gtest/gtest.h>

namespace tamix {
namespace {

std::string ArticlePage(const std::string& abstract, const std::string& id = "00012345",
                        const std::string& after = "<a class=\"ft\" href=\"http://doi.org/10.1/x\">"
                                                   "Full text</a>") {
    return "<html><body><h2 class=\"title\">Heart failure</h2><p>Smith J.</p><h3>Abstract</h3>"
           "<p>" +
           abstract + "</p><p>PMID: " + id + "</p>" + after + "</body></html>";
}

// A reference is decoded before the reduction to ASCII, so its letter is spelled too.
TEST(ArticlePage, AbstractIsOneLineOfAsciiFromHeadingThroughId) {
    const ArticleText text = ExtractArticle(
        ArticlePage("BACKGROUND: Hern&#225;ndez caf\xC3\xA9 &amp; more\r\nline &lt;2&gt;"),
        "00012345");
    EXPECT_EQ(text.abstract, " Heart failure  Smith J.  Abstract  BACKGROUND: Hernandez cafe & "
                             "more  line <2>  PMID: 00012345");
    EXPECT_EQ(text.link, "http://doi.org/10.1/x");
}

// Real NLM records (python-biopython-doc) read as an article page: the symbols they hold
// beyond ASCII come out spelled. That the output is ASCII keeping every ASCII byte and
// every letter's base is fuzz_text's and ReduceToAsciiAgreesWithUnicodeData's to prove.
TEST(ArticlePage, RealNlmRecordsSpellTheirSymbols) {
    std::string allAbstracts;
    for (const char* name :
         {"Entrez/pubmed1.xml.gz", "Entrez/pubmed2.xml.gz", "Entrez/pubmed4.xml.gz",
          "Entrez/pubmed5.xml.gz", "Entrez/pubmed6.xml.gz", "Entrez/pubmed7.xml.gz",
          "Medline/pubmed_result1.txt", "Medline/pubmed_result2.txt.gz"}) {
        const std::string records =
            test::ReadText("/usr/share/doc/python-biopython-doc/Tests/" + std::string(name));
        ASSERT_GT(records.size(), 1000u) << name;
        const std::string page = "<html><h2 class=\"title\">" + records + "PMID: 99999999</p>";
        allAbstracts += ExtractArticle(page, "99999999").abstract;
    }
    for (const char* spelled :
         {"Dipartimento di Scienze Ambientali, Universita degli Studi della Tuscia",
          "(c) Article author(s)", "67.6 +/- 4.1 ml.kg", "(coefficient of variation: ~7%)",
          "0.20 km.h"})
        EXPECT_NE(allAbstracts.find(spelled), std::string::npos) << spelled;
}

TEST(ArticlePage, MissingHeadingOrId) {
    std::string page = ArticlePage("x");
    page.replace(page.find("<h2 class=\"title\">"), 18, "<h2 class=\"other\">");
    EXPECT_EQ(ExtractArticle(page, "00012345").abstract, "Abstract unavailable.");
    EXPECT_EQ(ExtractArticle("<h2 class=\"title\">T 00012345", "00012345").abstract,
              "Abstract unavailable.")
        << "a heading at byte 0 does not count";

    // The id nowhere after the heading: the piece is empty (7 - start).
    const ArticleText noId = ExtractArticle(ArticlePage("x"), "99999999");
    EXPECT_EQ(noId.abstract, "");
    EXPECT_EQ(noId.link, "http://doi.org/10.1/x") << "the link is then searched from byte 7";
}

TEST(ArticlePage, FullTextLinkRules) {
    const auto linkOf = [](const std::string& after) {
        return ExtractArticle(ArticlePage("x", "00012345", after), "00012345").link;
    };
    EXPECT_EQ(linkOf("<a href=\"https://www.ncbi.nlm.nih.gov/pmc/articles/PMC1/\">Full text</a>"),
              "https://www.ncbi.nlm.nih.gov/pmc/articles/PMC1/");
    EXPECT_EQ(linkOf("<a href=\"http://x.org/?a=1&amp;b=2\">FULL TEXT</a>"),
              "http://x.org/?a=1&b=2");
    EXPECT_EQ(linkOf("<a href=\"http://x.org/\">Full-text</a>"), "No FullText Link");
    EXPECT_EQ(linkOf("<a href=\"http://x.org/\">" + std::string(200, '.') + "Full text</a>"),
              "No FullText Link")
        << "the words must stand within 200 bytes of the closing quote";
}

} // namespace
} // namespace tamix
