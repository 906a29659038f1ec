#include "server/web/pages.h"

#include "server/cite/cite.h"

#include <algorithm>
#include <cstdio>

namespace tamix::server {

namespace {

// The desktop program opens its article dialog on any page holding this phrase, so
// only result pages may: elsewhere a word joiner, invisible to readers and dropped by the
// dialog's reduction to ASCII, splits it.
constexpr std::string_view kResultPhrase = "PubMed Mobile";
constexpr std::string_view kWordJoiner = "\xE2\x81\xA0";

// Items are placed so that more than 200 bytes stand between a title's end and the next
// item's anchor (the browser looks 200 bytes past each title for the pager).
constexpr std::size_t kItemGap = 240;

// Writes text from outside (a record's fields, whatever the gateway or the command line
// brings) into a page, and nothing else does: escaped for HTML, and with the words the
// browser acts on split by a word joiner after their first letter. Those are the phrase
// that opens the article dialog, on every page but a result page (which holds it anyway,
// and whose titles the dialog lists as they are), and on an article page its own id,
// where the dialog's abstract ends.
class TextWriter {
public:
    explicit TextWriter(bool resultPage, std::string id = {}) : id_(std::move(id)) {
        if (!resultPage) words_.push_back(kResultPhrase);
        if (!id_.empty()) words_.push_back(id_);
    }
    std::string operator()(std::string_view text) const {
        std::string split(text);
        for (const std::string_view word : words_)
            for (std::size_t at = split.find(word); at != std::string::npos;
                 at = split.find(word, at + 1))
                split.insert(at + 1, kWordJoiner);
        return HtmlEscape(split);
    }

private:
    std::string id_;
    std::vector<std::string_view> words_;
};

std::string Head(std::string_view title) {
    // Long enough that the pager's "Page N of M" always stands past byte 297.
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
           "<link rel=\"stylesheet\" href=\"/static/tamix.css\"><title>" +
           std::string(title) + "</title></head>\n<body>";
}

std::string Header(const TextWriter& text, std::string_view term = {},
                   SortOrder sort = SortOrder::Date) {
    static constexpr std::pair<SortOrder, const char*> kOrders[] = {
        {SortOrder::Date, "Most recent"},
        {SortOrder::Relevance, "Best match"},
        {SortOrder::Author, "First author"},
        {SortOrder::Journal, "Journal"}};
    std::string header = "<header class=\"top\"><a class=\"brand\" href=\"/\">TAMIX PubMed</a>"
                         "<form class=\"search\" action=\"/m/pubmed/\" method=\"get\">"
                         "<input type=\"search\" name=\"term\" value=\"" +
                         text(term) +
                         "\" placeholder=\"Search PubMed\" aria-label=\"Search terms\">"
                         "<select name=\"sort\" aria-label=\"Order\">";
    for (const auto& [order, label] : kOrders) {
        header += std::string("<option value=\"") + SortOrderName(order) + "\"" +
                  (order == sort ? " selected" : "") + ">" + label + "</option>";
    }
    return header + "</select><button type=\"submit\">Search</button></form></header>\n";
}

std::string Footer() {
    return "<footer><a class=\"about\" href=\"/about\">About</a> &middot; "
           "Served by tamix-server from a local index of PubMed records.</footer>\n"
           "</body></html>\n";
}

// "Journal. 2020 Mar 15." as one text, so that no phrase runs across its parts unsplit.
std::string Source(const TextWriter& text, const std::string& journal,
                   const std::string& pubdate) {
    std::string source = journal;
    if (!source.empty() && !pubdate.empty()) source += ". ";
    source += pubdate;
    if (!source.empty()) source += '.';
    return text(source);
}

// A DOI's suffix may hold any character; in an address those outside RFC 3986's path
// characters are percent-encoded ("<" in the suffixes of old SICI DOIs, "#", "?", "%").
std::string DoiPath(std::string_view doi) {
    return EncodeExcept(doi, "-._~!$&'()*+,;=:@/");
}

// "Heart Failure / drug therapy* / physiopathology", a star on each major topic.
std::string MeshTerm(const MeshHeading& heading) {
    std::string term = heading.descriptor + (heading.major ? "*" : "");
    for (const MeshQualifier& q : heading.qualifiers)
        term += " / " + q.name + (q.major ? "*" : "");
    return term;
}

// Everything after the full-text link: nothing here changes what the browser reads.
std::string ArticleDetails(const TextWriter& text, const Article& a,
                           const std::vector<ArticleSummary>& similar) {
    const std::string id = PaddedId(a.pmid);
    std::string html =
        "<section class=\"more\"><p class=\"cit\">" + text(CitationLine(a)) + "</p>\n";
    // An identifier that is not one is shown as the text it is, not linked.
    if (!a.doi.empty() || !a.pmcid.empty()) {
        html += "<p class=\"links\">";
        if (!a.doi.empty()) {
            html += "DOI: ";
            html += IsDoi(a.doi) ? "<a class=\"doi\" href=\"" +
                                       HtmlEscape("https://doi.org/" + DoiPath(a.doi)) + "\">" +
                                       text(a.doi) + "</a>"
                                 : text(a.doi);
        }
        if (!a.doi.empty() && !a.pmcid.empty()) html += " &middot; ";
        if (!a.pmcid.empty()) {
            html += "PMCID: ";
            html += IsPmcId(a.pmcid)
                        ? "<a class=\"pmc\" href=\"https://www.ncbi.nlm.nih.gov/pmc/articles/" +
                              a.pmcid + "/\">" + a.pmcid + "</a>"
                        : text(a.pmcid);
        }
        html += "</p>\n";
    }
    const auto list = [&](const char* heading, const char* cls,
                          const std::vector<std::string>& items) {
        if (items.empty()) return;
        html += std::string("<h3>") + heading + "</h3><ul class=\"" + cls + "\">";
        for (const std::string& item : items)
            html += "<li>" + text(item) + "</li>";
        html += "</ul>\n";
    };
    list("Publication types", "pt", a.publicationTypes);
    std::vector<std::string> headings;
    for (const MeshHeading& heading : a.mesh)
        headings.push_back(MeshTerm(heading));
    list("MeSH terms", "mesh", headings);
    list("Keywords", "kw", a.keywords);
    html += "<p class=\"cite\">Cite:";
    static constexpr std::pair<CitationFormat, const char*> kFormats[] = {
        {CitationFormat::Ris, "RIS"},
        {CitationFormat::Bibtex, "BibTeX"},
        {CitationFormat::Nbib, "MEDLINE"},
        {CitationFormat::Csl, "CSL-JSON"}};
    for (const auto& [format, label] : kFormats)
        html += std::string(" <a class=\"cite\" href=\"./") + id +
                "?format=" + CitationFormatName(format) + "\">" + label + "</a>";
    html += "</p>\n";
    if (!similar.empty()) {
        html += "<h3>Similar articles</h3><ul class=\"similar\">";
        for (const ArticleSummary& item : similar)
            html += "<li><a class=\"similar\" href=\"./" + PaddedId(item.pmid) + "\">" +
                    text(item.title) + "</a><p class=\"au\">" + text(item.authors) +
                    "</p><p class=\"src\">" + Source(text, item.journal, item.pubdate) +
                    "</p></li>";
        html += "</ul>\n";
    }
    return html + "</section>\n";
}

} // namespace

bool IsDoi(std::string_view doi) {
    // "10.", the registrant's code (digits and dots), "/", a suffix.
    if (doi.substr(0, 3) != "10.") return false;
    const std::size_t slash = doi.find('/');
    if (slash == std::string_view::npos || slash == 3 || slash + 1 == doi.size() ||
        doi.find_first_not_of("0123456789.", 3) != slash)
        return false;
    for (std::size_t i = slash + 1; i < doi.size(); ++i) {
        const auto c = static_cast<unsigned char>(doi[i]);
        if (c <= ' ' || c == 0x7F || c == '"') return false;
        // "<i>", "</sup>", "<!--": markup, where a SICI DOI has "<1::AID-...>".
        const char next = i + 1 < doi.size() ? doi[i + 1] : '\0';
        if (c == '<' && ((next >= 'A' && next <= 'Z') || (next >= 'a' && next <= 'z') ||
                         next == '/' || next == '!' || next == '?'))
            return false;
    }
    return IsValidUtf8(doi);
}

bool IsPmcId(std::string_view id) {
    return id.size() > 3 && id.size() <= 13 && id.substr(0, 3) == "PMC" &&
           id.find_first_not_of("0123456789", 3) == std::string_view::npos;
}

std::string FullTextAddress(const Article& a) {
    if (IsDoi(a.doi)) return "http://doi.org/" + DoiPath(a.doi);
    if (IsPmcId(a.pmcid)) return "http://www.ncbi.nlm.nih.gov/pmc/articles/" + a.pmcid + "/";
    return {};
}

std::string PaddedId(std::int64_t pmid) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%08lld", static_cast<long long>(pmid));
    return buffer;
}

int TotalPages(int matches) {
    const int pages = (matches + kItemsPerPage - 1) / kItemsPerPage;
    return pages < 1 ? 1 : (pages > kMaxPages ? kMaxPages : pages);
}

std::string RenderStartPage(std::int64_t records, const std::string& eutils) {
    const TextWriter text(false);
    std::string page = Head("TAMIX PubMed search");
    page += Header(text);
    page += "<main class=\"start\"><h1>Search the literature</h1>"
            "<p>Type keywords above. The search understands <code>AND</code>, <code>OR</code>, "
            "<code>NOT</code>, parentheses, quoted phrases, truncation with <code>*</code> and "
            "the tags <code>[ti]</code>, <code>[tiab]</code>, <code>[au]</code>, "
            "<code>[1au]</code>, <code>[lastau]</code>, <code>[dp]</code> (years, ranges as "
            "<code>2018:2020[dp]</code>), <code>[pmid]</code>, <code>[mh]</code> (MeSH "
            "heading, <code>heart failure/drug therapy[mh]</code> with a subheading), "
            "<code>[majr]</code>, <code>[pt]</code>, <code>[la]</code>, <code>[ta]</code>, "
            "<code>[ad]</code>, <code>[kw]</code>, and the filters <code>hasabstract</code> "
            "and <code>free full text[sb]</code>. Results come newest first, or by best "
            "match, first author or journal.</p><p class=\"count\">" +
            std::to_string(records) + " records in this index.</p>";
    if (eutils.empty())
        page += "<p class=\"source\">Searches run on this index only; nothing leaves this "
                "machine.</p>";
    else
        page += "<p class=\"source\">This server is a gateway to PubMed: searches go to NCBI's "
                "E-utilities at " +
                text(eutils) +
                ", and the records they bring are kept in this index, where they are also "
                "found offline.</p>";
    page += "</main>\n";
    return page + Footer();
}

std::string RenderResultPage(const ResultPageData& d) {
    const TextWriter text(true);
    const int total = TotalPages(d.matches);
    std::string page = Head("PubMed Mobile: " + text(d.term));
    page.reserve(16384);
    page += Header(text, d.term, d.sort);
    page += "<main><p class=\"count\">" + std::to_string(d.matches) +
            (d.matches >= kMaxCountedMatches ? "+" : "") + " results</p>\n";
    if (!d.note.empty()) page += "<p class=\"note\">" + text(d.note) + "</p>\n";
    page += "<ul class=\"r\">";
    for (const ArticleSummary& item : d.items) {
        // Authors and source come before the anchor and fill the gap after the title
        // above; the anchor's id starts at its 12th byte.
        std::string lead = "\n<li><p class=\"au\">" + text(item.authors) + "</p><p class=\"src\">" +
                           Source(text, item.journal, item.pubdate) + "</p>";
        if (lead.size() < kItemGap) lead.append(kItemGap - lead.size(), ' ');
        page += lead;
        page += "<a href=\"./" + PaddedId(item.pmid) + "\"><span>" + text(item.title) +
                "</span></a></li>";
    }
    // The pager follows the last title at once.
    page += "</ul><div class=\"pag\"><span class=\"where\">Page " + std::to_string(d.page) +
            " of " + std::to_string(total) + "</span>";
    const auto link = [&](const char* cls, int target, const char* label) {
        return std::string(" <a class=\"") + cls +
               "\" href=\"/m/pubmed/?term=" + HtmlEscape(EncodeQueryValue(d.term, "+")) +
               "&amp;page=" + std::to_string(target) +
               (d.sort == SortOrder::Date ? std::string()
                                          : std::string("&amp;sort=") + SortOrderName(d.sort)) +
               "\">" + label + "</a>";
    };
    if (d.page > 1 && d.page <= total) page += link("prev", d.page - 1, "&larr; Previous");
    if (d.page < total) page += link("next", d.page + 1, "Next &rarr;");
    page += "</div></main>\n";
    return page + Footer();
}

std::string RenderArticlePage(const Article& a, const std::vector<ArticleSummary>& similar) {
    const TextWriter text(false, PaddedId(a.pmid));
    std::string page = Head(text(a.title) + " - TAMIX");
    page += Header(text);
    // The title heading opens the part the browser reads: title, authors, source, the
    // abstract, then the id once, then the full-text link.
    page += "<main class=\"article\"><h2 class=\"title\">" + text(a.title) +
            "</h2>\n<p class=\"au\">" + text(a.authors) + "</p><p class=\"src\">" +
            Source(text, a.journal, a.pubdate) + "</p>\n<h3>Abstract</h3><div class=\"abs\">";
    if (a.abstract.empty()) {
        page += "<p class=\"none\">No abstract available.</p>";
    } else {
        std::size_t start = 0;
        while (start <= a.abstract.size()) {
            const std::size_t end = std::min(a.abstract.find('\n', start), a.abstract.size());
            page += "<p>" + text(std::string_view(a.abstract).substr(start, end - start)) + "</p>";
            start = end + 1;
        }
    }
    page += "</div>\n<p class=\"ids\">PMID: " + PaddedId(a.pmid);
    if (!a.doi.empty()) page += " &middot; DOI: " + text(a.doi);
    if (!a.pmcid.empty()) page += " &middot; " + text(a.pmcid);
    page += "</p>\n";
    // With no full-text address the next link is one that is not an http address.
    const std::string fullText = FullTextAddress(a);
    if (!fullText.empty())
        page += "<p class=\"ft\"><a class=\"ft\" href=\"" + HtmlEscape(fullText) +
                "\">Full text</a></p>\n";
    page += ArticleDetails(text, a, similar);
    page += "<p class=\"back\"><a class=\"back\" href=\"/\">New search</a></p></main>\n";
    return page + Footer();
}

std::string RenderAboutPage(std::int64_t records, const std::string& eutils) {
    const TextWriter text(false);
    std::string page = Head("About TAMIX");
    page += Header(text);
    page += "<main class=\"about\"><h1>About TAMIX</h1>"
            "<p>TAMIX is a desktop literature-search browser: it searches PubMed, pages through "
            "the results, shows each abstract with its full-text link, has abstracts translated "
            "into Chinese and copies abstract and link to the clipboard.</p>"
            "<p>This server, tamix-server, answers the browser from a local SQLite full-text "
            "index of PubMed records, so the whole system works on one machine without a "
            "network. This index holds " +
            std::to_string(records) +
            " records. Records of the journal &ldquo;TAMIX Sample Data&rdquo; are "
            "synthetic demonstration data, not real literature.</p>";
    if (!eutils.empty())
        page += "<p>This server is also a gateway to PubMed: its result pages come from NCBI&#39;s "
                "E-utilities at " +
                text(eutils) +
                ", in PubMed&#39;s order, and every record they bring is kept in the index "
                "above.</p>";
    page += "<h2>Translation</h2><p>The &ldquo;Baidu Translate&rdquo; button of TAMIX is answered "
            "here, offline, by a <strong>term glossary, not machine translation</strong>: the "
            "English text stays as it is, and each term the glossary knows is followed by its "
            "simplified Chinese rendering in full-width brackets, for example "
            "&ldquo;Heart failure（心力衰竭）is a common disease（疾病）&rdquo;. Numbers, "
            "abbreviations and unknown words stay as they are. The glossary is made from "
            "CC-CEDICT (CC BY-SA 4.0) with word frequencies from jieba, and a table of the "
            "project&#39;s own for the words of biomedical abstracts. A server started with "
            "<code>--translate-backend</code> forwards the text to a real translation service "
            "instead.</p></main>\n";
    return page + Footer();
}

std::string RenderErrorPage(int status, std::string_view message) {
    const TextWriter text(false);
    std::string page = Head(std::to_string(status) + " - TAMIX");
    page += Header(text);
    page += "<main class=\"error\"><h1>" + std::to_string(status) + "</h1><p>" + text(message) +
            "</p><p><a class=\"back\" href=\"/\">New search</a></p></main>\n";
    return page + Footer();
}

std::string_view Stylesheet() {
    return R"css(:root { --ink: #1f2a37; --muted: #5b6776; --accent: #1d5fa8; --line: #dfe4ea; }
* { box-sizing: border-box; }
body { margin: 0; font: 16px/1.5 "DejaVu Sans", "Noto Sans", sans-serif; color: var(--ink);
       background: #f6f8fa; }
header.top { display: flex; flex-wrap: wrap; gap: .75rem; align-items: center;
             padding: .75rem 1rem; background: var(--accent); }
header.top .brand { color: #fff; font-weight: bold; text-decoration: none; }
form.search { display: flex; flex: 1; gap: .5rem; min-width: 14rem; }
form.search input { flex: 1; padding: .4rem .6rem; border: 0; border-radius: 4px; font-size: 1rem; }
form.search select { padding: .4rem; border: 0; border-radius: 4px; font-size: .9rem; }
form.search button { padding: .4rem .9rem; border: 0; border-radius: 4px; background: #fff;
                     color: var(--accent); font-weight: bold; cursor: pointer; }
main { max-width: 52rem; margin: 0 auto; padding: 1rem; background: #fff; min-height: 70vh; }
ul.r { list-style: none; margin: 0; padding: 0; white-space: normal; }
ul.r li { display: flex; flex-direction: column-reverse; padding: .75rem 0;
          border-bottom: 1px solid var(--line); }
ul.r li a { font-size: 1.05rem; color: var(--accent); text-decoration: none; }
ul.r li a:hover { text-decoration: underline; }
p.au, p.src, p.count, p.ids { margin: .15rem 0; color: var(--muted); font-size: .9rem; }
div.pag { padding: 1rem 0; color: var(--muted); text-align: center; }
h2.title { font-size: 1.35rem; line-height: 1.3; margin: .25rem 0 .5rem; }
div.abs p { margin: .5rem 0; }
p.ft a { display: inline-block; padding: .35rem .8rem; border-radius: 4px; background: var(--accent);
         color: #fff; text-decoration: none; }
section.more { margin-top: 1rem; border-top: 1px solid var(--line); }
section.more h3 { font-size: 1rem; margin: 1rem 0 .25rem; }
section.more ul { margin: 0; padding-left: 1.2rem; }
ul.similar { list-style: none; padding-left: 0; }
ul.similar li { padding: .35rem 0; border-bottom: 1px solid var(--line); }
p.cit, p.links, p.cite { margin: .4rem 0; }
footer { max-width: 52rem; margin: 0 auto; padding: 1rem; color: var(--muted); font-size: .85rem; }
code { background: #eef1f5; padding: 0 .2rem; border-radius: 3px; }
)css";
}

} // namespace tamix::server
