#include "pubmed/browserform.h"
#include "pubmed/resultpage.h"

#include <gtest/gtest.h>

namespace tamix {
namespace {

TEST(BrowserForm, UpperCasesElementNamesOnly) {
    EXPECT_EQ(ToBrowserForm("<a href=\"./00012345\"><span>Heart</span></a>"),
              "<A href=\"./00012345\"><SPAN>Heart</SPAN></A>");
    EXPECT_EQ(ToBrowserForm("<div class=\"pag\">Page 1 of 3</div><br/><my-el x=1></my-el>"),
              "<DIV class=\"pag\">Page 1 of 3</DIV><BR/><MY-EL x=1></MY-EL>");
    EXPECT_EQ(ToBrowserForm("<p title=\"a>b <i>\" data-X='<q>'>x &lt;y&gt; a < b</p>"),
              "<P title=\"a>b <i>\" data-X='<q>'>x &lt;y&gt; a < b</P>")
        << "quoted values and text stay as they are";
    EXPECT_EQ(ToBrowserForm("<!DOCTYPE html><!-- <a href=x> --><?pi?>"),
              "<!DOCTYPE html><!-- <a href=x> --><?pi?>");
    EXPECT_EQ(ToBrowserForm("<script>if (a<b) s = '<a href=x>';</Script><b>"),
              "<SCRIPT>if (a<b) s = '<a href=x>';</SCRIPT><B>")
        << "script content is text, up to its end tag in any case";
    EXPECT_EQ(ToBrowserForm("<title>PubMed Mobile <b></title>"),
              "<TITLE>PubMed Mobile <b></TITLE>");
    EXPECT_EQ(ToBrowserForm("<style>p>a{}"), "<STYLE>p>a{}") << "unclosed raw text";
    EXPECT_EQ(ToBrowserForm("<a href=\"x"), "<A href=\"x") << "unclosed tag";
    EXPECT_EQ(ToBrowserForm("trailing <"), "trailing <");
}

TEST(BrowserForm, ServerPageParsesTheSameInBothForms) {
    std::string page = "<html><head><title>PubMed Mobile</title></head><body><ul class=\"r\">";
    for (int i = 0; i < 4; ++i) {
        page += "<li><p class=\"au\">" + std::string(220, '.') + "</p><a href=\"./0000123" +
                std::to_string(i) + "\"><span>T&amp;" + std::to_string(i) +
                " <i>x</i></span></a></li>";
    }
    page += "</ul><div class=\"pag\">" + std::string(300, ' ') + "Page 1 of 7</div></body></html>";

    CArticleRecord served;
    CArticleRecord browsed;
    const std::string browserForm = ToBrowserForm(page);
    ParseResultPage(page, kServerMarkers, served);
    ParseResultPage(browserForm, kBrowserMarkers, browsed);
    ASSERT_EQ(served.m_nCount, 4);
    EXPECT_EQ(browsed.m_nCount, served.m_nCount);
    EXPECT_EQ(browsed.m_strIds, served.m_strIds);
    EXPECT_EQ(browsed.m_strTitles, served.m_strTitles);
    EXPECT_EQ(served.m_strTitles[3], "  T&3  x  ");
    EXPECT_EQ(ParseTotalPages(browserForm), 7);
}

} // namespace
} // namespace tamix
