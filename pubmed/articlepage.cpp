#include "pubmed/articlepage.h"

#include "pubmed/text.h"

namespace tamix {

namespace {

constexpr std::string_view kTitleHeading = "<h2 class=\"title\">";
// The piece runs 8 bytes past the start of the id, so that an 8-digit id is whole.
constexpr Pos kIdLength = 8;
constexpr Pos kLinkWindow = 200;

std::string MakeAbstract(std::string_view piece) {
    std::string text = ReduceToAscii(DecodeEntities(StripTags(piece)));
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

std::string FindFullTextLink(std::string_view page, Pos from) {
    const Pos start = Find(page, "href=\"", from) + 6;
    const Pos quote = Find(page, "\"", start);
    const std::string_view link = Substring(page, start, quote - start);
    const bool isWebAddress = link.find("http:") != std::string_view::npos ||
                              link.find("https:") != std::string_view::npos;
    const bool saysFullText =
        ToLowerAscii(Substring(page, quote, kLinkWindow)).find("full text") != std::string::npos;
    return isWebAddress && saysFullText ? DecodeEntities(link) : std::string(kNoFullTextLink);
}

} // namespace

ArticleText ExtractArticle(std::string_view page, std::string_view id) {
    const Pos start = Find(page, kTitleHeading, 0);
    const Pos end = Find(page, id, start);
    ArticleText result;
    result.abstract = start < 1 ? std::string(kAbstractUnavailable)
                                : MakeAbstract(Substring(page, start, end + kIdLength - start));
    result.link = FindFullTextLink(page, end + kIdLength);
    return result;
}

} // namespace tamix
