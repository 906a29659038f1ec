// Turns a PubMed Mobile result page into up to ten (id, title) pairs of the record,
// and reads the total page count from its pager.
#pragma once

#include "pubmed/articlerecord.h"

#include <string>
#include <string_view>

namespace tamix {

// The two forms of one page differ only in the case of these markers.
struct ResultMarkers {
    std::string_view anchor;
    std::string_view titleEnd; // 7 bytes in both forms
};
inline constexpr ResultMarkers kBrowserMarkers{"<A href=", "</SPAN>"};
inline constexpr ResultMarkers kServerMarkers{"<a href=", "</span>"};

inline constexpr std::size_t kMaxTitleBytes = 4999;

// Fills m_strIds, m_strTitles and m_nCount; entries after the last item found keep
// what they held.
void ParseResultPage(std::string_view page, const ResultMarkers& markers, CArticleRecord& record);

// The number after "of" in the pager, thousands separators skipped; 1 when the pager
// stands too early in the page (or is missing), 0 when no number follows.
int ParseTotalPages(std::string_view page);

// A title as shown: tags stripped, entities decoded, at most kMaxTitleBytes.
std::string MakeTitle(std::string_view span);

} // namespace tamix
