// The result-page parse and the pager, on the page as served (server markers) and in the
// browser's form (browser markers), as the article dialog and the view read them.
#include "check.h"

#include "pubmed/browserform.h"
#include "pubmed/resultpage.h"

using namespace tamix;

namespace {

constexpr std::string_view kUntouched = "untouched";
// Ids are cut 8 bytes long; a page that ends sooner gives a shorter one.
constexpr std::size_t kIdBytes = 8;

void ParseAndCheck(std::string_view page, const ResultMarkers& markers, bool validPage) {
    CArticleRecord record;
    record.m_strIds.fill(std::string(kUntouched));
    record.m_strTitles.fill(std::string(kUntouched));
    ParseResultPage(page, markers, record);

    FUZZ_CHECK(record.m_nCount >= 0 && record.m_nCount <= CArticleRecord::kItemsPerPage);
    for (int i = 0; i < record.m_nCount; ++i) {
        FUZZ_CHECK(record.m_strIds[i].size() <= kIdBytes);
        FUZZ_CHECK(record.m_strTitles[i].size() <= kMaxTitleBytes);
        if (validPage) FUZZ_CHECK(IsValidUtf8(record.m_strTitles[i]));
    }
    // Entries after the last item found keep what they held.
    for (int i = record.m_nCount; i < CArticleRecord::kSlots; ++i) {
        FUZZ_CHECK(record.m_strIds[i] == kUntouched);
        FUZZ_CHECK(record.m_strTitles[i] == kUntouched);
    }
    FUZZ_CHECK(record.m_strAbstracts == CArticleRecord::Slots{});
    FUZZ_CHECK(record.m_nPage == 1 && record.m_nTotalPages == 1 && record.m_nCurrent == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view page = fuzz::Bytes(data, size);
    const bool valid = IsValidUtf8(page);
    ParseAndCheck(page, kServerMarkers, valid);
    ParseAndCheck(page, kBrowserMarkers, valid);
    const std::string browser = ToBrowserForm(page);
    ParseAndCheck(browser, kBrowserMarkers, valid);

    FUZZ_CHECK(ParseTotalPages(page) >= 0);
    FUZZ_CHECK(ParseTotalPages(browser) >= 0);
    return 0;
}
