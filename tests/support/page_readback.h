// The pages of some records read back by the browser's own readers, in the form the server
// sends and in the form the browser's view gives, against what the records hold. Shared by
// the unit test of hostile records and by the fuzz target that makes records of any bytes.
#pragma once

#include "pubmed/articlepage.h"
#include "pubmed/browserform.h"
#include "pubmed/resultpage.h"
#include "pubmed/text.h"
#include "server/web/pages.h"

#include <string>
#include <vector>

namespace tamix::test {

namespace readback {

inline constexpr std::string_view kMarker = "PubMed Mobile";

// Runs of white space and control bytes as one space, none at the ends: the readers turn
// tags into spaces and lines into one.
inline std::string Squeezed(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else {
            out += c;
        }
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// What an address may hold as sent: printable ASCII, no space, no quote or markup.
inline bool IsAddressText(std::string_view address) {
    for (const char c : address) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\')
            return false;
    }
    return true;
}

inline server::ArticleSummary Summary(const server::Article& a) {
    return {a.pmid, a.title, a.authors, a.journal, a.pubdate};
}

} // namespace readback

// "" when every page of the records reads back as it should, else what did not. The result
// pages list the first ten records as page `page` of `matches`; each record's article page
// lists the others as its similar articles.
inline std::string CheckPagesReadBack(const std::vector<server::Article>& records, int matches,
                                      int page, const std::string& eutils = {}) {
    using namespace readback;
    std::string problems;
    const auto problem = [&](const std::string& what) { problems += what + "\n"; };
    const auto bothForms = [](const std::string& html) {
        return std::vector<std::string>{html, ToBrowserForm(html)};
    };

    for (const std::string& html : {server::RenderStartPage(static_cast<int>(records.size()), eutils),
                                    server::RenderAboutPage(static_cast<int>(records.size()), eutils)})
        for (const std::string& form : bothForms(html))
            if (form.find(kMarker) != std::string::npos) problem("the start or about page names the marker");

    std::vector<server::ArticleSummary> items;
    for (std::size_t i = 0; i < records.size() && i < CArticleRecord::kItemsPerPage; ++i)
        items.push_back(Summary(records[i]));
    for (const server::SortOrder sort : {server::SortOrder::Date, server::SortOrder::Relevance}) {
        server::ResultPageData data;
        data.term = records.empty() ? std::string() : records[0].title;
        data.sort = sort;
        data.page = page;
        data.matches = matches;
        data.items = items;
        data.note = eutils;
        const std::string html = server::RenderResultPage(data);
        const std::string forms[] = {html, ToBrowserForm(html)};
        for (int f = 0; f < 2; ++f) {
            const std::string where =
                std::string("result page (") + server::SortOrderName(sort) + (f ? ", browser form)" : ")");
            if (forms[f].find(kMarker) == std::string::npos) problem(where + ": no marker");
            CArticleRecord read;
            ParseResultPage(forms[f], f ? kBrowserMarkers : kServerMarkers, read);
            if (read.m_nCount != static_cast<int>(items.size()))
                problem(where + ": " + std::to_string(read.m_nCount) + " items read of " +
                        std::to_string(items.size()));
            for (int i = 0; i < read.m_nCount && i < static_cast<int>(items.size()); ++i) {
                if (read.m_strIds[i] != server::PaddedId(items[i].pmid))
                    problem(where + ": item " + std::to_string(i) + " reads id " + read.m_strIds[i]);
                // The reader's tags-to-spaces around the title, then its bound.
                const std::string title(TruncateUtf8("  " + items[i].title + " ", kMaxTitleBytes));
                if (read.m_strTitles[i] != title)
                    problem(where + ": item " + std::to_string(i) + " reads title [" +
                            read.m_strTitles[i] + "]");
            }
            if (ParseTotalPages(forms[f]) != server::TotalPages(matches))
                problem(where + ": reads " + std::to_string(ParseTotalPages(forms[f])) +
                        " pages, not " + std::to_string(server::TotalPages(matches)));
        }
    }

    for (std::size_t i = 0; i < records.size(); ++i) {
        const server::Article& a = records[i];
        std::vector<server::ArticleSummary> similar;
        for (std::size_t j = 0; j < records.size(); ++j)
            if (j != i) similar.push_back(Summary(records[j]));
        const std::string html = server::RenderArticlePage(a, similar);
        const std::string id = server::PaddedId(a.pmid);
        const std::string where = "article page " + id;
        for (const std::string& form : bothForms(html))
            if (form.find(kMarker) != std::string::npos) problem(where + ": names the marker");
        // The dialog downloads article pages: it reads them as served.
        const ArticleText text = ExtractArticle(html, id);
        const std::string address = server::FullTextAddress(a);
        if (text.link != (address.empty() ? std::string(kNoFullTextLink) : address))
            problem(where + ": reads the link [" + text.link + "]");
        if (!IsAddressText(address)) problem(where + ": links to [" + address + "]");
        const std::string read = Squeezed(text.abstract);
        const std::string end = "PMID: " + id;
        if (read.size() < end.size() || read.compare(read.size() - end.size(), end.size(), end) != 0)
            problem(where + ": the abstract does not end at the id: [" + read + "]");
        std::size_t at = 0;
        std::string_view rest = a.abstract;
        for (std::size_t line = 0; line != std::string_view::npos;) {
            line = rest.find('\n');
            const std::string part = Squeezed(ReduceToAscii(rest.substr(0, line)));
            rest = line == std::string_view::npos ? std::string_view() : rest.substr(line + 1);
            at = read.find(part, at);
            if (at == std::string::npos) {
                problem(where + ": the abstract lacks [" + part + "]: [" + read + "]");
                break;
            }
            at += part.size();
        }
    }
    return problems;
}

} // namespace tamix::test
