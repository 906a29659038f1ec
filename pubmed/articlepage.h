// Cuts the abstract and the full-text link out of a PubMed Mobile article page.
#pragma once

#include <string>
#include <string_view>

namespace tamix {

inline constexpr std::string_view kAbstractUnavailable = "Abstract unavailable.";
inline constexpr std::string_view kNoFullTextLink = "No FullText Link";

struct ArticleText {
    std::string abstract; // one line of ASCII
    std::string link;     // an http: or https: address, or kNoFullTextLink
};

// page: the article page as served; id: the item's id as cut from the result page.
ArticleText ExtractArticle(std::string_view page, std::string_view id);

} // namespace tamix
