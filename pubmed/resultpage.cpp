#include "pubmed/resultpage.h"

#include "pubmed/text.h"

#include <algorithm>
#include <climits>

namespace tamix {

namespace {

constexpr std::string_view kListStart = "class=\"r\"";
constexpr std::string_view kPager = "class=\"pag\"";
constexpr Pos kIdOffset = 11;
constexpr Pos kIdLength = 8;
constexpr Pos kTitleEndLength = 7;
constexpr Pos kLookAhead = 200;
// "of" must stand at byte 297 or later to be the pager's; earlier it is page furniture.
constexpr Pos kFirstPagerOf = 297;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

} // namespace

std::string MakeTitle(std::string_view span) {
    return std::string(TruncateUtf8(DecodeEntities(StripTags(span)), kMaxTitleBytes));
}

void ParseResultPage(std::string_view page, const ResultMarkers& markers, CArticleRecord& record) {
    record.m_nCount = 0;
    Pos pos = Find(page, kListStart, 0);
    for (int i = 0; i < CArticleRecord::kItemsPerPage; ++i) {
        const Pos anchor = Find(page, markers.anchor, pos);
        if (anchor == -1) return;
        record.m_strIds[i] = std::string(Substring(page, anchor + kIdOffset, kIdLength));
        const Pos end = Find(page, markers.titleEnd, anchor) + kTitleEndLength;
        record.m_strTitles[i] = MakeTitle(Substring(page, anchor, end - anchor));
        record.m_nCount = i + 1;
        // The pager right after an item ends the list; at index 0 or 1 it does not.
        if (Find(Substring(page, end, kLookAhead), kPager, 0) > 1) return;
        pos = end;
    }
}

int ParseTotalPages(std::string_view page) {
    const Pos pager = Find(page, kPager, 0);
    const Pos word = Find(page, "Page", pager);
    const Pos of = Find(page, "of", word);
    if (of < kFirstPagerOf) return 1;

    const Pos size = static_cast<Pos>(page.size());
    Pos j = of + 2;
    while (j < size && IsSpace(page[j]))
        ++j;
    long long total = 0;
    bool seenDigit = false;
    for (; j < size; ++j) {
        const char c = page[j];
        if (IsDigit(c)) {
            total = std::min<long long>(total * 10 + (c - '0'), INT_MAX);
            seenDigit = true;
        } else if (!(c == ',' && seenDigit && j + 1 < size && IsDigit(page[j + 1]))) {
            break;
        }
    }
    return static_cast<int>(total);
}

} // namespace tamix
