#include "pubmed/articlepage.h"

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

TEST(ArticlePage, AbstractIsOneLineOfAsciiFromHeadingThroughId) {
    const ArticleText text = ExtractArticle(
        ArticlePage("BACKGROUND: caf\xC3\xA9 &amp; more\r\nline &lt;2&gt;"), "00012345");
    EXPECT_EQ(text.abstract, " Heart failure  Smith J.  Abstract  BACKGROUND: caf & more  "
                             "line <2>  PMID: 00012345");
    EXPECT_EQ(text.link, "http://doi.org/10.1/x");
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

TEST(ArticlePage, PieceEndsEightBytesAfterTheIdStarts) {
    const std::string seven = ExtractArticle(ArticlePage("x", "1234567"), "1234567").abstract;
    EXPECT_EQ(seven.substr(seven.size() - 14), "PMID: 1234567 ")
        << "a 7-digit id takes the next byte along ('<', which strips to a space)";
    const std::string nine = ExtractArticle(ArticlePage("x", "123456789"), "123456789").abstract;
    EXPECT_EQ(nine.substr(nine.size() - 9), " 12345678");
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
    EXPECT_EQ(linkOf("<a href=\"/m/pubmed/1\">Full text</a>"), "No FullText Link");
    EXPECT_EQ(linkOf("<a href=\"http://x.org/\">" + std::string(200, '.') + "Full text</a>"),
              "No FullText Link")
        << "the words must stand within 200 bytes of the closing quote";
    EXPECT_EQ(linkOf("no link at all"), "No FullText Link");
    EXPECT_EQ(linkOf("<a href=\"http://x.org/ no closing quote"), "No FullText Link");
}

} // namespace
} // namespace tamix
