#include "pubmed/resultpage.h"

#include <gtest/gtest.h>

#include <climits>
#include <utility>
#include <vector>

namespace tamix {
namespace {

using Items = std::vector<std::pair<std::string, std::string>>;

// A result page shaped like the server's: authors before each anchor, the pager right
// after the last title.
std::string ServerPage(const Items& items, const std::string& pager = "Page 1 of 3") {
    std::string page = "<!DOCTYPE html><html><head><title>PubMed Mobile</title></head><body>"
                       "<a class=\"home\" href=\"/\">Home</a><ul class=\"r\">";
    for (const auto& [id, title] : items) {
        page += "<li><p class=\"au\">" + std::string(210, '.') + "</p><a href=\"./" + id +
                "\"><span>" + title + "</span></a></li>";
    }
    page += "</ul><div class=\"pag\">" + pager + "</div></body></html>";
    return page;
}

Items Numbered(int count) {
    Items items;
    for (int i = 0; i < count; ++i)
        items.emplace_back(std::to_string(10000000 + i), "Title " + std::to_string(i));
    return items;
}

TEST(ResultPage, ListEndsAtThePagerOrAfterTenItems) {
    CArticleRecord record;
    ParseResultPage(ServerPage(Numbered(3)), kServerMarkers, record);
    ASSERT_EQ(record.m_nCount, 3);
    EXPECT_EQ(record.m_strIds[2], "10000002");
    EXPECT_EQ(record.m_strTitles[1], "  Title 1 ") << "the anchor and <span> each become a space";

    ParseResultPage(ServerPage(Numbered(11)), kServerMarkers, record);
    EXPECT_EQ(record.m_nCount, 10);
    EXPECT_EQ(record.m_strIds[9], "10000009");

    // No title end: the span is empty and the next search starts at byte 6, finding the
    // same anchor again until the page is full.
    ParseResultPage("class=\"r\" <a href=\"./12345678\">no end", kServerMarkers, record);
    ASSERT_EQ(record.m_nCount, 10);
    EXPECT_EQ(record.m_strIds[9], "12345678");
    EXPECT_EQ(record.m_strTitles[9], "");
}

TEST(ResultPage, ListStartsAtItsMarker) {
    CArticleRecord record;
    std::string page = ServerPage(Numbered(2));
    page.replace(page.find("class=\"r\""), 9, "class=\"x\"");
    ParseResultPage(page, kServerMarkers, record);
    EXPECT_EQ(record.m_nCount, 0) << "no list marker, no items, anchors or not";

    page = "<a href=\"./99999999\"><span>before</span></a>" + ServerPage(Numbered(1));
    ParseResultPage(page, kServerMarkers, record);
    ASSERT_EQ(record.m_nCount, 1);
    EXPECT_EQ(record.m_strIds[0], "10000000");
}

TEST(ResultPage, PagerMustStandAtIndexTwoOrLaterOfTheWindow) {
    CArticleRecord record;
    const std::string item = "<a href=\"./12345678\"><span>T</span>";
    ParseResultPage("class=\"r\"" + item + "class=\"pag\"" + item, kServerMarkers, record);
    EXPECT_EQ(record.m_nCount, 2) << "a pager at index 0 does not end the list";
    ParseResultPage("class=\"r\"" + item + " class=\"pag\"" + item, kServerMarkers, record);
    EXPECT_EQ(record.m_nCount, 2) << "nor at index 1";
    ParseResultPage("class=\"r\"" + item + "  class=\"pag\"" + item, kServerMarkers, record);
    EXPECT_EQ(record.m_nCount, 1) << "at index 2 it does";
    ParseResultPage("class=\"r\"" + item + std::string(190, ' ') + "class=\"pag\"" + item,
                    kServerMarkers, record);
    EXPECT_EQ(record.m_nCount, 2) << "a pager cut by the 200-byte window is not seen";
}

TEST(ResultPage, TitlesAreDecodedAndBounded) {
    CArticleRecord record;
    ParseResultPage(ServerPage({{"00000042", "A &lt;b&gt; &amp; M\xC3\xBCller &#8211; x"}}),
                    kServerMarkers, record);
    EXPECT_EQ(record.m_strTitles[0], "  A <b> & M\xC3\xBCller \xE2\x80\x93 x ");

    // 4,998 bytes, then a two-byte character that would end at byte 5,000.
    const std::string longTitle = std::string(4996, 'x') + "\xC3\xA9" + "tail";
    ParseResultPage(ServerPage({{"00000042", longTitle}}), kServerMarkers, record);
    EXPECT_EQ(record.m_strTitles[0], "  " + std::string(4996, 'x'));
    EXPECT_EQ(MakeTitle(std::string(6000, 'y')).size(), kMaxTitleBytes);
}

// A page whose pager "of" stands at byte ofAt, followed by tail.
std::string PagerAt(std::size_t ofAt, const std::string& tail) {
    const std::string lead = "class=\"pag\">Page 1 ";
    return std::string(ofAt - lead.size(), '.') + lead + "of" + tail;
}

TEST(ResultPage, TotalPages) {
    EXPECT_EQ(ParseTotalPages(PagerAt(400, " 25</span")), 25);
    EXPECT_EQ(ParseTotalPages(PagerAt(400, " 1,234,567")), 1234567) << "thousands separators";
    EXPECT_EQ(ParseTotalPages(PagerAt(400, " 5, then")), 5);
    EXPECT_EQ(ParseTotalPages(PagerAt(400, "   12")), 12) << "leading spaces";
    EXPECT_EQ(ParseTotalPages(PagerAt(400, " 123456789012")), INT_MAX);
    EXPECT_EQ(ParseTotalPages(PagerAt(297, " x")), 0) << "at 297 the pager counts";
    EXPECT_EQ(ParseTotalPages(PagerAt(296, " 25")), 1) << "before 297 it is not the pager";
    EXPECT_EQ(ParseTotalPages(std::string(500, '.') + "Page 1 of 9"), 1) << "no pager marker";
    EXPECT_EQ(ParseTotalPages(ServerPage(Numbered(10), "Page 2 of 1000")), 1000);
}

} // namespace
} // namespace tamix
