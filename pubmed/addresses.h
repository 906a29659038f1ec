// Every address the program composes: the PubMed Mobile pages and the translation
// request. Both hosts are fixed; the environment may point them elsewhere (tests do).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tamix {

inline constexpr std::string_view kDefaultHost = "127.0.0.1:8790";
inline constexpr const char* kPubmedHostVariable = "TAMIX_PUBMED_HOST";
inline constexpr const char* kTranslateHostVariable = "TAMIX_TRANSLATE_HOST";
inline constexpr std::string_view kClientId = "Qx7TmWb2PaLk9RcVz4NsJd6E";

// TAMIX_PUBMED_HOST / TAMIX_TRANSLATE_HOST when set and not empty, else the fixed host.
std::string PubmedHost();
std::string TranslateHost();

// First result page: spaces as '+', a '+' typed stays '+'.
std::string MakeSearchAddress(std::string_view keywords);
// Result page n: spaces as "%20". An order ("relevance", ...) is named after the page;
// with none the address is that of the default, newest-first order.
std::string MakeResultPageAddress(std::string_view keywords, int page, std::string_view sort = {});
std::string MakeArticleAddress(std::string_view id);
// The source text goes into q fully percent-encoded.
std::string MakeTranslateAddress(std::string_view source);

struct ResultPageQuery {
    std::string keywords; // as typed: '+' and %XX decoded
    int page = 1;
    std::string sort; // the page's order as its address names it, "" when it names none
};
// When address is a result page of the PubMed Mobile host ("http://HOST/m/pubmed/?term=
// ...&page=N&sort=S"), its keywords, page number and order; a search typed into the
// page's own form pages from these, not from the last search of the menu.
std::optional<ResultPageQuery> ParseResultPageAddress(std::string_view address);

} // namespace tamix
