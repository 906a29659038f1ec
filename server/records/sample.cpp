#include "server/records/sample.h"

#include "pubmed/text.h"

#include <algorithm>
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

// The MeSH headings of the conditions and interventions above, in the same order.
const std::vector<std::string> kConditionHeadings = {"Heart Failure",
                                                     "Atrial Fibrillation",
                                                     "Diabetes Mellitus, Type 2",
                                                     "Hypertension",
                                                     "Breast Neoplasms",
                                                     "Colorectal Neoplasms",
                                                     "Carcinoma, Non-Small-Cell Lung",
                                                     "Renal Insufficiency, Chronic",
                                                     "Asthma",
                                                     "Pulmonary Disease, Chronic Obstructive",
                                                     "Depressive Disorder, Major",
                                                     "Alzheimer Disease",
                                                     "Parkinson Disease",
                                                     "Arthritis, Rheumatoid",
                                                     "Sepsis",
                                                     "Stroke",
                                                     "Obesity",
                                                     "HIV Infections",
                                                     "Tuberculosis",
                                                     "Malaria",
                                                     "COVID-19",
                                                     "Osteoporosis",
                                                     "Psoriasis",
                                                     "Migraine Disorders",
                                                     "Epilepsy",
                                                     "Myocardial Infarction",
                                                     "Pancreatic Neoplasms",
                                                     "Carcinoma, Hepatocellular",
                                                     "Influenza, Human",
                                                     "Coronary Artery Disease"};
const std::vector<std::string> kInterventionHeadings = {
    "Metformin",
    "Benzhydryl Compounds",
    "Adrenergic beta-Antagonists",
    "Adrenergic beta-Antagonists",
    "Hydroxymethylglutaryl-CoA Reductase Inhibitors",
    "Aspirin",
    "Exercise Therapy",
    "Cognitive Behavioral Therapy",
    "Vitamin D",
    "Early Ambulation",
    "Immunotherapy",
    "Antibodies, Monoclonal, Humanized",
    "Interleukin-6",
    "Anticoagulants",
    "Diet, Sodium-Restricted",
    "Telemedicine",
    "Acupuncture Therapy",
    "Mindfulness",
    "Anti-Bacterial Agents",
    "Bariatric Surgery",
    "Radiotherapy",
    "CRISPR-Cas Systems"};
const std::vector<std::string> kConditionQualifiers = {
    "therapy", "drug therapy", "epidemiology", "mortality", "diagnosis", "complications"};
const std::vector<std::string> kInterventionQualifiers = {
    "therapeutic use", "administration & dosage", "adverse effects", "methods"};
// The age and sex headings each population is indexed with.
const std::vector<std::vector<std::string>> kPopulationHeadings = {{"Aged"},
                                                                   {"Child"},
                                                                   {"Adolescent"},
                                                                   {"Female", "Pregnancy"},
                                                                   {"Intensive Care Units"},
                                                                   {"Outpatients"},
                                                                   {"Nursing Homes", "Aged"},
                                                                   {"Aged"},
                                                                   {"Rural Population"},
                                                                   {"Health Personnel"},
                                                                   {"Veterans"},
                                                                   {"Postoperative Period"}};
const std::vector<std::vector<std::string>> kDesignTypes = {{"Randomized Controlled Trial"},
                                                            {"Observational Study"},
                                                            {"Observational Study"},
                                                            {"Systematic Review", "Meta-Analysis"},
                                                            {},
                                                            {},
                                                            {"Clinical Trial"},
                                                            {"Multicenter Study", "Clinical Trial"},
                                                            {}};
const std::vector<std::string> kOtherLanguages = {"ger", "fre", "spa", "chi", "jpn",
                                                  "por", "rus", "ita", "dut", "pol"};
const std::vector<std::string> kDepartments = {
    "Cardiology",    "Endocrinology",     "Oncology",     "Nephrology",          "Pulmonology",
    "Psychiatry",    "Neurology",         "Rheumatology", "Infectious Diseases", "Epidemiology",
    "Public Health", "Internal Medicine", "Surgery",      "Paediatrics",         "Geriatrics"};
// Each country's city, for affiliations.
const std::vector<std::string> kCities = {"Shanghai", "Heidelberg", "S\xC3\xA3o Paulo", "Osaka",
                                          "Aarhus",   "Ibadan",     "Toronto",          "Pune",
                                          "Sevilla",  "Uppsala",    "Melbourne",        "Boston",
                                          "Seoul",    "Lyon",       "Guadalajara"};

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

// Which of the lists a topic's words were picked from, for its headings.
struct TopicIndex {
    int condition, intervention, population, design, country;
};

std::string Affiliation(Random& x, int country) {
    std::string place = kCountries[country];
    if (place == "the United States") place = "USA";
    return "Department of " + x.Pick(kDepartments) + ", TAMIX Sample University Hospital, " +
           kCities[country] + ", " + place + ".";
}

void WriteMesh(std::ostream& out, Random& x, const TopicIndex& ti) {
    const auto heading = [&](const std::string& descriptor, bool major,
                             const std::vector<std::string>& qualifiers,
                             const std::vector<bool>& majors) {
        out << "<MeshHeading><DescriptorName MajorTopicYN=\"" << (major ? 'Y' : 'N') << "\">"
            << HtmlEscape(descriptor) << "</DescriptorName>";
        for (std::size_t i = 0; i < qualifiers.size(); ++i)
            out << "<QualifierName MajorTopicYN=\"" << (majors[i] ? 'Y' : 'N') << "\">"
                << HtmlEscape(qualifiers[i]) << "</QualifierName>";
        out << "</MeshHeading>";
    };
    // Headings in NLM's order: alphabetical, which the sample does not bother with.
    out << "<MeshHeadingList>";
    std::vector<std::string> qualifiers;
    std::vector<bool> majors;
    for (int i = x.Below(3); i > 0; --i) {
        const std::string& q = x.Pick(kConditionQualifiers);
        if (std::find(qualifiers.begin(), qualifiers.end(), q) != qualifiers.end()) continue;
        qualifiers.push_back(q);
        majors.push_back(x.Chance(60));
    }
    const bool anyMajor = std::find(majors.begin(), majors.end(), true) != majors.end();
    heading(kConditionHeadings[ti.condition], !anyMajor, qualifiers, majors);
    const bool interventionMajor = x.Chance(50);
    if (x.Chance(70))
        heading(kInterventionHeadings[ti.intervention], false, {x.Pick(kInterventionQualifiers)},
                {interventionMajor});
    else
        heading(kInterventionHeadings[ti.intervention], interventionMajor, {}, {});
    heading("Humans", false, {}, {});
    if (x.Chance(50)) heading("Female", false, {}, {});
    if (x.Chance(50)) heading("Male", false, {}, {});
    for (const std::string& descriptor : kPopulationHeadings[ti.population])
        heading(descriptor, false, {}, {});
    std::string country = kCountries[ti.country];
    if (country == "the United States") country = "United States";
    if (country == "Korea") country = "Republic of Korea";
    if (x.Chance(40)) heading(country, false, {"epidemiology"}, {false});
    out << "</MeshHeadingList>";
}

void WriteRecord(std::ostream& out, Random& r, std::int64_t pmid) {
    TopicIndex ti{};
    const auto pick = [&](const std::vector<std::string>& items, int& index) -> std::string {
        index = r.Below(static_cast<int>(items.size()));
        return items[index];
    };
    Topic t;
    // In the order of the original generator, so that the same seed gives the same texts.
    t.condition = pick(kConditions, ti.condition);
    t.intervention = pick(kInterventions, ti.intervention);
    t.outcome = r.Pick(kOutcomes);
    t.population = pick(kPopulations, ti.population);
    t.design = pick(kDesigns, ti.design);
    t.country = pick(kCountries, ti.country);
    // The fields added later come from a stream of their own, so the texts above and
    // below stay those of earlier samples.
    Random x(static_cast<std::uint64_t>(pmid) * 0x9E3779B97F4A7C15ull ^ 0x5A17u);
    std::string title = Title(r, t);
    if (r.Chance(1)) title = Capitalised(r.Pick(kRareTerms)) + ": " + title;
    const int year = 1990 + r.Below(36);
    const int month = 1 + r.Below(12);
    const int day = 1 + r.Below(28);
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const int firstPage = 1 + x.Below(1900);

    out << "<PubmedArticle><MedlineCitation Status=\"MEDLINE\" Owner=\"NLM\"><PMID Version=\"1\">"
        << pmid << "</PMID><Article PubModel=\"Print\"><Journal><ISSN IssnType=\"Electronic\">"
        << "0000-0000</ISSN><JournalIssue CitedMedium=\"Internet\"><Volume>" << (year - 1989)
        << "</Volume><Issue>" << month << "</Issue><PubDate><Year>" << year << "</Year><Month>"
        << kMonths[month - 1] << "</Month><Day>" << day << "</Day></PubDate></JournalIssue>"
        << "<Title>TAMIX Sample Data</Title><ISOAbbreviation>TAMIX Sample Data</ISOAbbreviation>"
        << "</Journal><ArticleTitle>" << HtmlEscape(title) << "</ArticleTitle><Pagination>"
        << "<MedlinePgn>" << firstPage << "-" << firstPage + 3 + x.Below(12)
        << "</MedlinePgn></Pagination>";
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
    // Co-authors mostly share the first author's affiliation.
    const std::string home = Affiliation(x, ti.country);
    for (int i = 0; i < authors; ++i) {
        const char first = static_cast<char>('A' + r.Below(26));
        const bool middle = r.Chance(40);
        out << "<Author ValidYN=\"Y\"><LastName>" << HtmlEscape(r.Pick(kSurnames))
            << "</LastName><ForeName>" << first << "."
            << "</ForeName><Initials>" << first;
        if (middle) out << static_cast<char>('A' + r.Below(26));
        out << "</Initials>";
        if (!x.Chance(10)) {
            const std::string affiliation =
                i == 0 || x.Chance(60) ? home : Affiliation(x, x.Below(kCountries.size()));
            out << "<AffiliationInfo><Affiliation>" << HtmlEscape(affiliation)
                << "</Affiliation></AffiliationInfo>";
        }
        out << "</Author>";
    }
    out << "</AuthorList>";
    if (x.Chance(92)) {
        out << "<Language>eng</Language>";
        if (x.Chance(3)) out << "<Language>" << x.Pick(kOtherLanguages) << "</Language>";
    } else {
        out << "<Language>" << x.Pick(kOtherLanguages) << "</Language>";
    }
    out << "<PublicationTypeList><PublicationType>Journal Article</PublicationType>";
    for (const std::string& type : kDesignTypes[ti.design])
        out << "<PublicationType>" << type << "</PublicationType>";
    if (ti.design == 3) out << "<PublicationType>Review</PublicationType>";
    if (x.Chance(30))
        out << "<PublicationType>Research Support, Non-U.S. Gov&apos;t</PublicationType>";
    out << "</PublicationTypeList>";
    if (x.Chance(50)) {
        // Published online some weeks before the issue (a year earlier in January).
        const int back = 1 + x.Below(8);
        const int eMonth = month > back / 4 + 1 ? month - back / 4 - 1 : 12;
        out << "<ArticleDate DateType=\"Electronic\"><Year>" << (eMonth > month ? year - 1 : year)
            << "</Year><Month>" << (eMonth < 10 ? "0" : "") << eMonth << "</Month><Day>"
            << 1 + x.Below(28) << "</Day></ArticleDate>";
    }
    out << "</Article><MedlineJournalInfo><Country>Denmark</Country><MedlineTA>TAMIX Sample "
           "Data</MedlineTA></MedlineJournalInfo>";
    // Records still in process have no headings yet.
    if (x.Chance(85)) WriteMesh(out, x, ti);
    if (x.Chance(60)) {
        out << "<KeywordList Owner=\"NOTNLM\">";
        std::vector<std::string> words = {t.condition, t.intervention, t.outcome,
                                          t.design.substr(2), t.country};
        for (int n = 3 + x.Below(3); n > 0 && !words.empty(); --n) {
            const int at = x.Below(static_cast<int>(words.size()));
            out << "<Keyword MajorTopicYN=\"N\">" << HtmlEscape(words[at]) << "</Keyword>";
            words.erase(words.begin() + at);
        }
        out << "</KeywordList>";
    }
    out << "</MedlineCitation><PubmedData><ArticleIdList><ArticleId IdType=\"pubmed\">" << pmid
        << "</ArticleId>";
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
