// One PubMed record as the index keeps it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tamix::server {

// A person (last name, fore name, initials, suffix) or a group (collective name).
struct Author {
    std::string lastName, foreName, initials, suffix;
    std::string collectiveName; // set for a group, with no last name
    std::vector<std::string> affiliations;

    // "Smith JA" (initials, else the fore name), or the group's name.
    std::string DisplayName() const;
    bool operator==(const Author& other) const;
};

struct MeshQualifier {
    std::string name; // "drug therapy"
    bool major = false;
    bool operator==(const MeshQualifier& other) const {
        return name == other.name && major == other.major;
    }
};

struct MeshHeading {
    std::string descriptor; // "Heart Failure"
    bool major = false;     // the descriptor itself is a major topic
    std::vector<MeshQualifier> qualifiers;
    bool operator==(const MeshHeading& other) const {
        return descriptor == other.descriptor && major == other.major &&
               qualifiers == other.qualifiers;
    }
};

struct Article {
    std::int64_t pmid = 0;
    std::string title;
    std::string authors;  // "Smith J, Doe AB": the author list's display names, in order
    std::string journal;  // as result pages show it: ISO (XML) or MEDLINE abbreviation, else title
    std::string pubdate;  // as PubMed writes it: "2020 Mar 15", "1998 Dec-1999 Jan"
    int year = 0;         // 0: unknown
    int month = 0;        // 1..12, 0: unknown
    int day = 0;          // 1..31, 0: unknown
    std::string abstract; // sections on lines of their own, "LABEL: text"
    std::string doi;
    std::string pmcid; // "PMC1234567"

    std::vector<Author> authorList; // in the record's order
    std::string journalTitle;       // "The New England journal of medicine"
    std::string isoAbbreviation;    // "N. Engl. J. Med." (XML only)
    std::string medlineTa;          // "N Engl J Med"
    std::string issnPrint, issnElectronic;
    std::string volume, issue, pages; // pages as MEDLINE writes them: "1116-22"
    // The electronic publication date (XML ArticleDate, MEDLINE DEP); 0 when unknown.
    int electronicYear = 0, electronicMonth = 0, electronicDay = 0;
    std::vector<std::string> languages;        // NLM codes: "eng", "ger"
    std::vector<std::string> publicationTypes; // "Journal Article", "Review"
    std::vector<std::string> keywords;
    std::vector<MeshHeading> mesh;
};

// The display string of the author list: display names joined by ", ".
std::string AuthorsDisplay(const std::vector<Author>& authors);

// Where a reader found something, for messages: "file.xml:120".
struct SourcePosition {
    std::string file;
    long line = 0;
};

// What a reader hands on: records, deletions and records it had to skip.
struct RecordSink {
    std::function<void(Article&&)> onArticle;
    std::function<void(std::int64_t pmid)> onDelete;
    std::function<void(const SourcePosition&, const std::string& why)> onSkip;
};

// A PMID as written (surrounding white space allowed): up to 18 digits, above 0.
bool ParsePmid(const std::string& text, std::int64_t& pmid);

// Pages write PMIDs with 8 digits and the browser reads 8, so a record of a larger PMID
// would open another article: readers skip it, saying why (TooLongPmid).
inline constexpr std::int64_t kMaxPmid = 99999999;
std::string TooLongPmid(std::int64_t pmid);

// "Mar" or "03" or "3" as a month number; 0 when it is neither.
int MonthNumber(const std::string& text);
// "Jan".."Dec" for 1..12.
const char* MonthName(int month);

// Fills year, month and day from a PubMed date text ("2020 Mar 15", "2019 Winter",
// "1998 Dec-1999 Jan", "2020/03/15").
void ParsePubDate(Article& article);

} // namespace tamix::server
