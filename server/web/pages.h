// The HTML of every page tamix-server serves. The browser's parsers rely on the byte
// layout of result and article pages; see the comments in pages.cpp.
#pragma once

#include "pubmed/text.h"
#include "server/index/index.h"
#include "server/index/results.h"
#include "server/records/article.h"

#include <string>
#include <string_view>
#include <vector>

namespace tamix::server {

inline constexpr int kItemsPerPage = 10;
inline constexpr int kMaxPages = kMaxCountedMatches / kItemsPerPage;

// Ids are written with 8 digits, zero-padded.
std::string PaddedId(std::int64_t pmid);

struct ResultPageData {
    std::string term; // as the user typed it
    SortOrder sort = SortOrder::Date;
    int page = 1;    // 1-based
    int matches = 0; // counted up to kMaxCountedMatches
    std::vector<ArticleSummary> items;
    // What PubMed said of the query (through the gateway), shown above the list.
    std::string note;
};

int TotalPages(int matches);

// Whether a record's DOI or PMC id is one ("10.1000/xyz", "PMC1234567"): one that is not
// (spaces, quotes, markup) is shown as text and never linked.
bool IsDoi(std::string_view doi);
bool IsPmcId(std::string_view id);
// The address the article page's full-text link leads to (the DOI, else PubMed Central),
// "" when the record has neither.
std::string FullTextAddress(const Article& article);

// eutils: the E-utilities address the server is a gateway to, "" when it is not one.
std::string RenderStartPage(std::int64_t records, const std::string& eutils = {});
// The search form offers the orders; the pager's links keep the one shown (and name it
// only when it is not the default, so that default pages stay as they were).
std::string RenderResultPage(const ResultPageData& data);
// The part the browser reads (title to full-text link) comes first and is the same with
// or without what follows it: the citation line, links, types, headings, keywords, the
// citation exports and the similar articles.
std::string RenderArticlePage(const Article& article,
                              const std::vector<ArticleSummary>& similar = {});
std::string RenderAboutPage(std::int64_t records, const std::string& eutils = {});
std::string RenderErrorPage(int status, std::string_view message);
std::string_view Stylesheet();

} // namespace tamix::server
