#include "server/cite/cite.h"

#include "pubmed/text.h"

#include <cstdio>

namespace tamix::server {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Line breaks (the abstract's sections) and tabs as spaces: every format here keeps a
// field on one logical line.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    return text;
}

std::string TwoDigits(int n) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%02d", n);
    return buffer;
}

// The full title when known, else what pages show.
const std::string& FullJournal(const Article& a) {
    return a.journalTitle.empty() ? a.journal : a.journalTitle;
}

// The abbreviation, when there is one apart from the full title.
std::string ShortJournal(const Article& a) {
    return a.journal != FullJournal(a) ? a.journal : std::string();
}

// One range: the letters before the first number kept, the second number's missing
// leading digits taken from the first.
std::string FullRange(std::string_view range) {
    const std::size_t dash = range.find('-');
    if (dash == std::string_view::npos) return std::string(range);
    std::string_view first = range.substr(0, dash), last = range.substr(dash + 1);
    std::size_t lead = 0;
    while (lead < first.size() && !IsDigit(first[lead]))
        ++lead;
    const std::string_view prefix = first.substr(0, lead), digits = first.substr(lead);
    if (digits.empty() || last.empty()) return std::string(range);
    for (char c : digits)
        if (!IsDigit(c)) return std::string(range);
    if (last.substr(0, prefix.size()) == prefix && !prefix.empty())
        last.remove_prefix(prefix.size());
    for (char c : last)
        if (!IsDigit(c)) return std::string(range);
    std::string end(last);
    if (end.size() < digits.size())
        end = std::string(digits.substr(0, digits.size() - end.size())) + end;
    return std::string(first) + "-" + std::string(prefix) + end;
}

std::string Trim(std::string_view text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(' ') - first + 1));
}

// A person's given name as formats want it: the fore name, else the initials.
const std::string& Given(const Author& a) {
    return a.foreName.empty() ? a.initials : a.foreName;
}

// ---- RIS ------------------------------------------------------------------------------

void RisLine(std::string& out, const char* tag, const std::string& value) {
    if (value.empty()) return;
    out += tag;
    out += "  - ";
    out += OneLine(value);
    out += "\r\n";
}

void Ris(std::string& out, const Article& a) {
    out += "TY  - JOUR\r\n";
    RisLine(out, "ID", "pmid" + std::to_string(a.pmid));
    RisLine(out, "TI", a.title);
    for (const Author& author : a.authorList) {
        if (!author.collectiveName.empty() && author.lastName.empty()) {
            RisLine(out, "AU", author.collectiveName);
            continue;
        }
        std::string name = author.lastName;
        if (!Given(author).empty()) name += ", " + Given(author);
        if (!author.suffix.empty()) name += ", " + author.suffix;
        RisLine(out, "AU", name);
    }
    RisLine(out, "T2", FullJournal(a));
    RisLine(out, "J2", ShortJournal(a));
    if (a.year > 0) {
        RisLine(out, "PY", std::to_string(a.year));
        RisLine(out, "DA",
                std::to_string(a.year) + "/" + (a.month ? TwoDigits(a.month) : "") + "/" +
                    (a.day && a.month ? TwoDigits(a.day) : "") + "/");
    }
    RisLine(out, "VL", a.volume);
    RisLine(out, "IS", a.issue);
    const std::string pages = FullPages(a.pages);
    const std::size_t dash = pages.find('-');
    if (dash != std::string::npos && pages.find(',') == std::string::npos) {
        RisLine(out, "SP", pages.substr(0, dash));
        RisLine(out, "EP", pages.substr(dash + 1));
    } else {
        RisLine(out, "SP", pages);
    }
    RisLine(out, "SN", a.issnPrint.empty() ? a.issnElectronic : a.issnPrint);
    RisLine(out, "DO", a.doi);
    RisLine(out, "AN", std::to_string(a.pmid));
    RisLine(out, "C2", a.pmcid);
    RisLine(out, "AB", a.abstract);
    for (const std::string& keyword : a.keywords)
        RisLine(out, "KW", keyword);
    for (const std::string& language : a.languages)
        RisLine(out, "LA", language);
    out += "ER  - \r\n\r\n";
}

// ---- BibTeX ---------------------------------------------------------------------------

// What LaTeX would read as markup, written so that it prints as itself. Everything else,
// accented letters included, stays UTF-8 (biber and bibtex8 read it).
std::string LatexEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char previous = 0;
    const std::string line = OneLine(std::string(text));
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        // A no-break space as TeX writes one, so that readers keep it.
        if (c == '\xC2' && i + 1 < line.size() && line[i + 1] == '\xA0') {
            out += '~';
            previous = '~';
            ++i;
            continue;
        }
        // TeX's ligatures: "--" would print as a dash, "``" and "''" as curly quotes,
        // "?`" and "!`" as inverted marks. An empty group between keeps the characters.
        if ((c == '-' || c == '`' || c == '\'') && c == previous) out += "{}";
        if (c == '`' && (previous == '?' || previous == '!')) out += "{}";
        previous = c;
        switch (c) {
        case '\\':
            out += "\\textbackslash{}";
            break;
        case '~':
            out += "\\textasciitilde{}";
            break;
        case '^':
            out += "\\textasciicircum{}";
            break;
        case '{':
        case '}':
        case '$':
        case '&':
        case '%':
        case '#':
        case '_':
            out += '\\';
            out += c;
            break;
        default:
            out += c;
        }
    }
    return out;
}

void BibField(std::string& out, const char* name, const std::string& value, bool escaped = false) {
    if (value.empty()) return;
    out += "  ";
    out += name;
    out += " = {";
    out += escaped ? value : LatexEscape(value);
    out += "},\n";
}

// "Last, Given" ("Last, Suffix, Given" as BibTeX orders a "Jr"); a group's name braced
// whole, so that neither "and" nor a comma in it splits it.
std::string BibName(const Author& a) {
    if (a.lastName.empty()) return "{" + LatexEscape(a.collectiveName) + "}";
    std::string name = "{" + LatexEscape(a.lastName) + "}";
    if (!a.suffix.empty()) name += ", " + LatexEscape(a.suffix);
    if (!Given(a).empty()) name += ", " + LatexEscape(Given(a));
    return name;
}

std::string Join(const std::vector<std::string>& values, const char* separator) {
    std::string out;
    for (const std::string& value : values)
        out += (out.empty() ? "" : separator) + value;
    return out;
}

void Bibtex(std::string& out, const Article& a) {
    out += "@article{pmid" + std::to_string(a.pmid) + ",\n";
    std::vector<std::string> names;
    for (const Author& author : a.authorList)
        if (!author.lastName.empty() || !author.collectiveName.empty())
            names.push_back(BibName(author));
    BibField(out, "author", Join(names, " and "), true);
    BibField(out, "title", a.title);
    BibField(out, "journal", FullJournal(a));
    BibField(out, "shortjournal", ShortJournal(a));
    if (a.year > 0) {
        std::string date = std::to_string(a.year);
        if (a.month) date += "-" + TwoDigits(a.month);
        if (a.month && a.day) date += "-" + TwoDigits(a.day);
        BibField(out, "year", std::to_string(a.year));
        if (a.month) BibField(out, "month", std::to_string(a.month));
        BibField(out, "date", date);
    }
    BibField(out, "volume", a.volume);
    BibField(out, "number", a.issue);
    // A range's dash is TeX's en dash.
    std::string pages = LatexEscape(FullPages(a.pages));
    for (std::size_t at = pages.find('-'); at != std::string::npos; at = pages.find('-', at + 2))
        pages.replace(at, 1, "--");
    BibField(out, "pages", pages, true);
    BibField(out, "issn", a.issnPrint.empty() ? a.issnElectronic : a.issnPrint);
    // A verbatim field in biblatex: LaTeX does not read it, so nothing is escaped.
    BibField(out, "doi", a.doi, true);
    BibField(out, "pmid", std::to_string(a.pmid));
    BibField(out, "pmcid", a.pmcid);
    BibField(out, "abstract", a.abstract);
    std::vector<std::string> keywords;
    for (const std::string& keyword : a.keywords)
        keywords.push_back(LatexEscape(keyword));
    BibField(out, "keywords", Join(keywords, ", "), true);
    BibField(out, "langid", a.languages.empty() ? std::string() : a.languages[0]);
    out += "}\n\n";
}

// ---- MEDLINE --------------------------------------------------------------------------

// "TAG - value", wrapped as PubMed wraps it: continuation lines indented by six spaces,
// broken only at a single space between two words (a reader joins the lines with one
// space, so the value reads back as it was).
void MedlineLine(std::string& out, std::string_view tag, const std::string& text) {
    constexpr std::size_t kWidth = 82;
    std::string value = Trim(OneLine(text));
    if (value.empty()) return;
    std::string line(tag);
    line.resize(4, ' ');
    line += "- ";
    std::string_view rest = value;
    for (;;) {
        const std::size_t room = kWidth - line.size();
        std::size_t cut = std::string_view::npos;
        if (rest.size() > room) {
            for (std::size_t at = room; at > 0; --at) {
                if (rest[at] == ' ' && rest[at - 1] != ' ' && at + 1 < rest.size() &&
                    rest[at + 1] != ' ') {
                    cut = at;
                    break;
                }
            }
        }
        line += rest.substr(0, cut);
        out += line + "\n";
        if (cut == std::string_view::npos) return;
        rest.remove_prefix(cut + 1);
        line = "      ";
    }
}

std::string MeshLine(const MeshHeading& heading) {
    std::string line = (heading.major ? "*" : "") + heading.descriptor;
    for (const MeshQualifier& q : heading.qualifiers)
        line += "/" + std::string(q.major ? "*" : "") + q.name;
    return line;
}

void Nbib(std::string& out, const Article& a) {
    MedlineLine(out, "PMID", std::to_string(a.pmid));
    MedlineLine(out, "OWN", "NLM");
    if (!a.issnPrint.empty()) MedlineLine(out, "IS", a.issnPrint + " (Print)");
    if (!a.issnElectronic.empty()) MedlineLine(out, "IS", a.issnElectronic + " (Electronic)");
    MedlineLine(out, "VI", a.volume);
    MedlineLine(out, "IP", a.issue);
    MedlineLine(out, "DP", a.pubdate);
    MedlineLine(out, "TI", a.title);
    MedlineLine(out, "PG", a.pages);
    if (!a.doi.empty()) MedlineLine(out, "LID", a.doi + " [doi]");
    MedlineLine(out, "AB", a.abstract);
    for (const Author& author : a.authorList) {
        if (author.lastName.empty()) {
            MedlineLine(out, "CN", author.collectiveName);
        } else {
            std::string full = author.lastName;
            if (!author.foreName.empty()) full += ", " + author.foreName;
            if (!author.suffix.empty()) full += ", " + author.suffix;
            MedlineLine(out, "FAU", full);
            std::string shortName = author.lastName;
            if (!author.initials.empty()) shortName += " " + author.initials;
            if (!author.suffix.empty()) shortName += " " + author.suffix;
            MedlineLine(out, "AU", shortName);
        }
        for (const std::string& affiliation : author.affiliations)
            MedlineLine(out, "AD", affiliation);
    }
    for (const std::string& language : a.languages)
        MedlineLine(out, "LA", language);
    for (const std::string& type : a.publicationTypes)
        MedlineLine(out, "PT", type);
    if (a.electronicYear > 0 && a.electronicMonth > 0 && a.electronicDay > 0)
        MedlineLine(out, "DEP",
                    std::to_string(a.electronicYear) + TwoDigits(a.electronicMonth) +
                        TwoDigits(a.electronicDay));
    MedlineLine(out, "TA", a.medlineTa);
    MedlineLine(out, "JT", a.journalTitle);
    for (const MeshHeading& heading : a.mesh)
        MedlineLine(out, "MH", MeshLine(heading));
    for (const std::string& keyword : a.keywords)
        MedlineLine(out, "OT", keyword);
    MedlineLine(out, "PMC", a.pmcid);
    if (!a.doi.empty()) MedlineLine(out, "AID", a.doi + " [doi]");
    // PubMed's source line: the MEDLINE abbreviation and pages as MEDLINE writes them.
    std::string source = a.medlineTa.empty() ? a.journal : a.medlineTa;
    if (!source.empty() && !a.pubdate.empty()) source += ". " + a.pubdate;
    if (!a.volume.empty() || !a.issue.empty())
        source += ";" + a.volume + (a.issue.empty() ? "" : "(" + a.issue + ")");
    if (!a.pages.empty()) source += ":" + a.pages;
    if (!source.empty()) source += ".";
    if (!a.doi.empty()) source += " doi: " + a.doi + ".";
    MedlineLine(out, "SO", source);
    out += "\n";
}

// ---- CSL-JSON -------------------------------------------------------------------------

// A JSON string; UTF-8 as it is, so names keep their accents in the file.
std::string JsonString(std::string_view text) {
    return '"' + JsonEscape(text) + '"';
}

class JsonObject {
public:
    explicit JsonObject(std::string& out, const char* indent) : out_(out), indent_(indent) {
        out_ += "{";
    }
    void Raw(const char* name, const std::string& json) {
        out_ += first_ ? "\n" : ",\n";
        first_ = false;
        out_ += indent_;
        out_ += "  ";
        out_ += JsonString(name);
        out_ += ": ";
        out_ += json;
    }
    void Text(const char* name, const std::string& value) {
        if (!value.empty()) Raw(name, JsonString(value));
    }
    void End() {
        out_ += "\n";
        out_ += indent_;
        out_ += "}";
    }

private:
    std::string& out_;
    const char* indent_;
    bool first_ = true;
};

void Csl(std::string& out, const Article& a) {
    JsonObject o(out, "  ");
    o.Text("id", "pmid" + std::to_string(a.pmid));
    o.Text("type", "article-journal");
    o.Text("title", a.title);
    std::string authors;
    for (const Author& author : a.authorList) {
        std::string person;
        if (author.lastName.empty()) {
            if (author.collectiveName.empty()) continue;
            person = "{\"literal\": " + JsonString(author.collectiveName) + "}";
        } else {
            person = "{\"family\": " + JsonString(author.lastName);
            if (!Given(author).empty()) person += ", \"given\": " + JsonString(Given(author));
            if (!author.suffix.empty()) person += ", \"suffix\": " + JsonString(author.suffix);
            person += "}";
        }
        authors += (authors.empty() ? "\n      " : ",\n      ") + person;
    }
    if (!authors.empty()) o.Raw("author", "[" + authors + "\n    ]");
    o.Text("container-title", FullJournal(a));
    o.Text("container-title-short", ShortJournal(a));
    if (a.year > 0) {
        std::string parts = std::to_string(a.year);
        if (a.month) parts += ", " + std::to_string(a.month);
        if (a.month && a.day) parts += ", " + std::to_string(a.day);
        o.Raw("issued", "{\"date-parts\": [[" + parts + "]]}");
    }
    o.Text("volume", a.volume);
    o.Text("issue", a.issue);
    o.Text("page", FullPages(a.pages));
    o.Text("ISSN", a.issnPrint.empty() ? a.issnElectronic : a.issnPrint);
    o.Text("DOI", a.doi);
    o.Text("PMID", std::to_string(a.pmid));
    o.Text("PMCID", a.pmcid);
    o.Text("abstract", OneLine(a.abstract));
    o.Text("keyword", Join(a.keywords, ", "));
    o.Text("language", a.languages.empty() ? std::string() : a.languages[0]);
    o.End();
}

} // namespace

namespace {

struct FormatFacts {
    CitationFormat format;
    const char* name;
    const char* contentType;
    const char* extension;
};

// In the enum's order.
constexpr FormatFacts kFormats[] = {
    {CitationFormat::Ris, "ris", "application/x-research-info-systems; charset=utf-8", "ris"},
    {CitationFormat::Bibtex, "bibtex", "application/x-bibtex; charset=utf-8", "bib"},
    {CitationFormat::Nbib, "nbib", "application/nbib; charset=utf-8", "nbib"},
    {CitationFormat::Csl, "csl", "application/vnd.citationstyles.csl+json; charset=utf-8", "json"},
};

const FormatFacts& FactsOf(CitationFormat format) {
    return kFormats[static_cast<std::size_t>(format)];
}

} // namespace

std::optional<CitationFormat> ParseCitationFormat(std::string_view name) {
    for (const FormatFacts& facts : kFormats)
        if (name == facts.name) return facts.format;
    return std::nullopt;
}

const char* CitationFormatName(CitationFormat format) {
    return FactsOf(format).name;
}

const char* CitationContentType(CitationFormat format) {
    return FactsOf(format).contentType;
}

const char* CitationExtension(CitationFormat format) {
    return FactsOf(format).extension;
}

std::string FormatCitations(const std::vector<Article>& articles, CitationFormat format) {
    std::string out;
    if (format == CitationFormat::Csl) out += "[";
    for (std::size_t i = 0; i < articles.size(); ++i) {
        switch (format) {
        case CitationFormat::Ris:
            Ris(out, articles[i]);
            break;
        case CitationFormat::Bibtex:
            Bibtex(out, articles[i]);
            break;
        case CitationFormat::Nbib:
            Nbib(out, articles[i]);
            break;
        case CitationFormat::Csl:
            out += i ? ",\n  " : "\n  ";
            Csl(out, articles[i]);
            break;
        }
    }
    if (format == CitationFormat::Csl) out += articles.empty() ? "]\n" : "\n]\n";
    return out;
}

std::string FullPages(std::string_view pages) {
    std::string out;
    while (!pages.empty()) {
        const std::size_t comma = pages.find(',');
        out += FullRange(Trim(pages.substr(0, comma)));
        if (comma == std::string_view::npos) break;
        out += ", ";
        pages.remove_prefix(comma + 1);
    }
    return out;
}

std::string CitationLine(const Article& a) {
    std::string line = a.journal;
    if (!line.empty() && line.back() != '.') line += '.';
    if (!a.pubdate.empty()) line += (line.empty() ? "" : " ") + a.pubdate;
    std::string where;
    if (!a.volume.empty() || !a.issue.empty())
        where = a.volume + (a.issue.empty() ? "" : "(" + a.issue + ")");
    if (!where.empty()) line += ";" + where;
    if (!a.pages.empty()) line += ":" + FullPages(a.pages);
    if (!line.empty() && line.back() != '.') line += '.';
    return line;
}

} // namespace tamix::server
