#include "server/records/sample.h"

#include "pubmed/text.h"

#include <string>
#include <vector>

namespace tamix::server {

namespace {

// splitmix64: the same numbers on every machine and compiler.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint64_t>(n)); }
    template <typename T> const T& Pick(const std::vector<T>& items) {
        return items[Below(static_cast<int>(items.size()))];
    }
    bool Chance(int percent) { return Below(100) < percent; }

private:
    std::uint64_t state_;
};

const std::vector<std::string> kConditions = {"heart failure",
                                              "atrial fibrillation",
                                              "type 2 diabetes",
                                              "hypertension",
                                              "breast cancer",
                                              "colorectal cancer",
                                              "non-small cell lung cancer",
                                              "chronic kidney disease",
                                              "asthma",
                                              "chronic obstructive pulmonary disease",
                                              "major depressive disorder",
                                              "Alzheimer disease",
                                              "Parkinson disease",
                                              "rheumatoid arthritis",
                                              "sepsis",
                                              "stroke",
                                              "obesity",
                                              "HIV infection",
                                              "tuberculosis",
                                              "malaria",
                                              "COVID-19",
                                              "osteoporosis",
                                              "psoriasis",
                                              "migraine",
                                              "epilepsy",
                                              "myocardial infarction",
                                              "pancreatic cancer",
                                              "hepatocellular carcinoma",
                                              "influenza",
                                              "coronary artery disease"};
const std::vector<std::string> kInterventions = {"metformin",
                                                 "empagliflozin",
                                                 "beta-blockers",
                                                 "\xCE\xB2-blocker therapy",
                                                 "statins",
                                                 "aspirin",
                                                 "exercise training",
                                                 "cognitive behavioural therapy",
                                                 "vitamin D supplementation",
                                                 "early mobilisation",
                                                 "immunotherapy",
                                                 "tocilizumab",
                                                 "IL-6 inhibition",
                                                 "anticoagulation",
                                                 "a low-sodium diet",
                                                 "telemonitoring",
                                                 "acupuncture",
                                                 "mindfulness training",
                                                 "PCR-guided antibiotic therapy",
                                                 "bariatric surgery",
                                                 "radiotherapy",
                                                 "CRISPR screening"};
const std::vector<std::string> kOutcomes = {"mortality",
                                            "hospital readmission",
                                            "quality of life",
                                            "blood pressure",
                                            "HbA1c",
                                            "left ventricular ejection fraction",
                                            "progression-free survival",
                                            "overall survival",
                                            "adverse events",
                                            "cognitive decline",
                                            "pain scores",
                                            "length of stay",
                                            "viral load",
                                            "bone mineral density",
                                            "inflammatory markers",
                                            "functional capacity"};
const std::vector<std::string> kPopulations = {"older adults",
                                               "children",
                                               "adolescents",
                                               "pregnant women",
                                               "patients in intensive care",
                                               "outpatients",
                                               "nursing home residents",
                                               "patients aged <65 years & older",
                                               "rural populations",
                                               "health care workers",
                                               "veterans",
                                               "patients after surgery"};
const std::vector<std::string> kDesigns = {"a randomized controlled trial",
                                           "a prospective cohort study",
                                           "a retrospective cohort study",
                                           "a systematic review and meta-analysis",
                                           "a cross-sectional study",
                                           "a case-control study",
                                           "a pilot study",
                                           "a multicentre trial",
                                           "a population-based study"};
const std::vector<std::string> kCountries = {"China",   "Germany", "Brazil",    "Japan",
                                             "Denmark", "Nigeria", "Canada",    "India",
                                             "Spain",   "Sweden",  "Australia", "the United States",
                                             "Korea",   "France",  "Mexico"};
const std::vector<std::string> kSurnames = {"Smith",
                                            "Zhang",
                                            "Wang",
                                            "Li",
                                            "Garc\xC3\xAD"
                                            "a",
                                            "M\xC3\xBCller",
                                            "Kim",
                                            "Nguyen",
                                            "Johnson",
                                            "\xC3\x98stergaard",
                                            "O'Brien",
                                            "Rossi",
                                            "Silva",
                                            "Kowalski",
                                            "Tanaka",
                                            "Andersson",
                                            "Dubois",
                                            "Novak",
                                            "Haddad",
                                            "Okafor",
                                            "Ivanova",
                                            "Chen",
                                            "Patel",
                                            "Cohen",
                                            "Sch\xC3\xA4"
                                            "fer",
                                            "Lef\xC3\xA8vre",
                                            "Yamamoto",
                                            "Hern\xC3\xA1ndez",
                                            "Brown",
                                            "Singh"};
const std::vector<std::string> kRareTerms = {
    "xenodiagnosis",   "calciphylaxis",           "trichotillomania",   "sarcocystosis",
    "erythromelalgia", "pseudohypoaldosteronism", "neurocysticercosis", "chromhidrosis"};

std::string Capitalised(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
        text[0] = static_cast<char>(text[0] - 32);
    return text;
}

struct Topic {
    std::string condition, intervention, outcome, population, design, country;
};

std::string Title(Random& r, const Topic& t) {
    switch (r.Below(5)) {
    case 0:
        return Capitalised(t.intervention) + " and " + t.outcome + " in " + t.condition + ": " +
               t.design + ".";
    case 1:
        return "Effect of " + t.intervention + " on " + t.outcome + " among " + t.population +
               " with " + t.condition + ".";
    case 2:
        return Capitalised(t.condition) + " in " + t.country + ": trends in " + t.outcome + " (" +
               t.design.substr(2) + ").";
    case 3:
        return "Is " + t.intervention + " associated with lower " + t.outcome + "? Evidence from " +
               t.country + ".";
    default:
        return Capitalised(t.outcome) + " after " + t.intervention + " for " + t.condition +
               " & related conditions.";
    }
}

std::string Sentence(Random& r, const Topic& t) {
    const int n = 40 + r.Below(900);
    const int pct = 5 + r.Below(60);
    switch (r.Below(8)) {
    case 0:
        return "We enrolled " + std::to_string(n) + " " + t.population + " with " + t.condition +
               " in " + t.country + ".";
    case 1:
        return "Patients were randomly assigned to " + t.intervention +
               " or usual care and followed for " + std::to_string(6 + r.Below(60)) + " months.";
    case 2:
        return "The primary outcome was " + t.outcome + "; secondary outcomes included " +
               r.Pick(kOutcomes) + " and " + r.Pick(kOutcomes) + ".";
    case 3:
        return Capitalised(t.intervention) + " reduced " + t.outcome + " by " +
               std::to_string(pct) + "% (95% CI " + std::to_string(pct / 2) + " to " +
               std::to_string(pct + 7) + "; p<0.05).";
    case 4:
        return "No significant difference in " + r.Pick(kOutcomes) +
               " was observed between the groups.";
    case 5:
        return "Adverse events occurred in " + std::to_string(pct / 3 + 1) +
               "% of participants and were mostly mild.";
    case 6:
        return "These findings were consistent across subgroups defined by age, sex and baseline " +
               r.Pick(kOutcomes) + ".";
    default:
        return "Data were analysed with multivariable regression adjusted for comorbidities and "
               "treatment centre.";
    }
}

std::string Paragraph(Random& r, const Topic& t, int sentences) {
    std::string text;
    for (int i = 0; i < sentences; ++i)
        text += (i ? " " : "") + Sentence(r, t);
    return text;
}

void WriteRecord(std::ostream& out, Random& r, std::int64_t pmid) {
    Topic t{r.Pick(kConditions),  r.Pick(kInterventions), r.Pick(kOutcomes),
            r.Pick(kPopulations), r.Pick(kDesigns),       r.Pick(kCountries)};
    std::string title = Title(r, t);
    if (r.Chance(1)) title = Capitalised(r.Pick(kRareTerms)) + ": " + title;
    const int year = 1990 + r.Below(36);
    const int month = 1 + r.Below(12);
    const int day = 1 + r.Below(28);
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

    out << "<PubmedArticle><MedlineCitation Status=\"MEDLINE\" Owner=\"NLM\"><PMID Version=\"1\">"
        << pmid << "</PMID><Article PubModel=\"Print\"><Journal><ISSN IssnType=\"Electronic\">"
        << "0000-0000</ISSN><JournalIssue CitedMedium=\"Internet\"><Volume>" << (year - 1989)
        << "</Volume><Issue>" << month << "</Issue><PubDate><Year>" << year << "</Year><Month>"
        << kMonths[month - 1] << "</Month><Day>" << day << "</Day></PubDate></JournalIssue>"
        << "<Title>TAMIX Sample Data</Title><ISOAbbreviation>TAMIX Sample Data</ISOAbbreviation>"
        << "</Journal><ArticleTitle>" << HtmlEscape(title) << "</ArticleTitle>";
    const bool hasDoi = !r.Chance(20);
    if (hasDoi)
        out << "<ELocationID EIdType=\"doi\" ValidYN=\"Y\">10.5555/tamix." << pmid
            << "</ELocationID>";
    const int kind = r.Below(10);
    if (kind < 7) {
        static const char* const kLabels[] = {"BACKGROUND", "METHODS", "RESULTS", "CONCLUSIONS"};
        out << "<Abstract>";
        for (const char* label : kLabels)
            out << "<AbstractText Label=\"" << label << "\" NlmCategory=\"" << label << "\">"
                << HtmlEscape(Paragraph(r, t, 2 + r.Below(3))) << "</AbstractText>";
        out << "</Abstract>";
    } else if (kind < 9) {
        out << "<Abstract><AbstractText>" << HtmlEscape(Paragraph(r, t, 5 + r.Below(4)))
            << "</AbstractText></Abstract>";
    }
    out << "<AuthorList CompleteYN=\"Y\">";
    const int authors = 1 + r.Below(8);
    for (int i = 0; i < authors; ++i) {
        const char first = static_cast<char>('A' + r.Below(26));
        const bool middle = r.Chance(40);
        out << "<Author ValidYN=\"Y\"><LastName>" << HtmlEscape(r.Pick(kSurnames))
            << "</LastName><ForeName>" << first << "."
            << "</ForeName><Initials>" << first;
        if (middle) out << static_cast<char>('A' + r.Below(26));
        out << "</Initials></Author>";
    }
    out << "</AuthorList><Language>eng</Language></Article></MedlineCitation><PubmedData>"
        << "<ArticleIdList><ArticleId IdType=\"pubmed\">" << pmid << "</ArticleId>";
    if (hasDoi) out << "<ArticleId IdType=\"doi\">10.5555/tamix." << pmid << "</ArticleId>";
    if (r.Chance(30))
        out << "<ArticleId IdType=\"pmc\">PMC" << (9000000 + pmid % 1000000) << "</ArticleId>";
    out << "</ArticleIdList></PubmedData></PubmedArticle>\n";
}

} // namespace

std::int64_t SamplePmid(int i) {
    constexpr std::int64_t kAbove = 99999999 - kFirstSamplePmid + 1;
    return i < kAbove ? kFirstSamplePmid + i : kFirstSamplePmid - 1 - (i - kAbove);
}

void WriteSampleCorpus(std::ostream& out, int count) {
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!-- TAMIX Sample Data: synthetic records for demonstrations and tests. "
           "Not real literature. -->\n<PubmedArticleSet>\n";
    Random random(20261206);
    for (int i = 0; i < count; ++i)
        WriteRecord(out, random, SamplePmid(i));
    out << "</PubmedArticleSet>\n";
}

} // namespace tamix::server
