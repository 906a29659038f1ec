// A record's every field as text, so that two records compare whole and a difference
// shows as a diff of lines; and one record with every field, as PubMed exports it.
#pragma once

#include "server/records/article.h"

#include <string>
#include <vector>

namespace tamix::test {

using server::Article;
using server::Author;
using server::MeshHeading;
using server::MeshQualifier;

inline std::string Join(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items)
        out += (out.empty() ? "" : "; ") + item;
    return out;
}

inline std::string Headings(const Article& a) {
    std::vector<std::string> out;
    for (const MeshHeading& h : a.mesh) {
        std::string text = (h.major ? "*" : "") + h.descriptor;
        for (const MeshQualifier& q : h.qualifiers)
            text += "/" + std::string(q.major ? "*" : "") + q.name;
        out.push_back(text);
    }
    return Join(out);
}

inline std::string People(const Article& a) {
    std::vector<std::string> out;
    for (const Author& x : a.authorList)
        out.push_back(x.lastName + "|" + x.foreName + "|" + x.initials + "|" + x.suffix + "|" +
                      x.collectiveName + "|" + Join(x.affiliations));
    return Join(out);
}

// Every field, so that two records can be compared whole.
inline std::string Describe(const Article& a) {
    return std::to_string(a.pmid) + "\n" + a.title + "\n" + a.authors + "\n" + a.journal + "\n" +
           a.pubdate + "\n" + std::to_string(a.year) + "-" + std::to_string(a.month) + "-" +
           std::to_string(a.day) + "\n" + a.abstract + "\n" + a.doi + "\n" + a.pmcid + "\n" +
           People(a) + "\n" + a.journalTitle + "|" + a.isoAbbreviation + "|" + a.medlineTa + "\n" +
           a.issnPrint + "|" + a.issnElectronic + "|" + a.volume + "|" + a.issue + "|" + a.pages +
           "\n" + std::to_string(a.electronicYear) + "-" + std::to_string(a.electronicMonth) + "-" +
           std::to_string(a.electronicDay) + "\n" + Join(a.languages) + "\n" +
           Join(a.publicationTypes) + "\n" + Join(a.keywords) + "\n" + Headings(a);
}

inline const std::string kRecordWithEveryField = R"(PMID- 31000001
OWN - NLM
STAT- MEDLINE
IS  - 1234-5678 (Print)
IS  - 1234-5679 (Electronic)
IS  - 1234-5678 (Linking)
VI  - 44
IP  - 7
DP  - 2021 Jun 14
TI  - Empagliflozin & {SGLT2} at 5% ~ 10_mg: $2 #1 ^ \ in heart failure -- ``a
      trial'' (phase 3).
PG  - 1201-10
LID - 10.1000/cq.2021.44 [doi]
AB  - BACKGROUND: Few options for "HFpEF". RESULTS: Fewer admissions in a trial whose
      abstract is long enough to be wrapped on export, as NLM wraps its lines.
FAU - Hernández, María José
AU  - Hernández MJ
AD  - Hospital Clínic, Barcelona,
      Spain.
AD  - CIBERCV, Madrid, Spain.
FAU - Smith, John, Jr
AU  - Smith J Jr
AD  - Hospital Clínic, Barcelona, Spain.
FAU - Beane Freeman, Laura E
AU  - Beane Freeman LE
CN  - EMPA-HF Investigators
LA  - eng
LA  - spa
PT  - Journal Article
PT  - Randomized Controlled Trial
DEP - 20210502
TA  - Cardiol Quart
JT  - Cardiology quarterly
MH  - Heart Failure/*drug therapy/physiopathology
MH  - *Benzhydryl Compounds
MH  - Humans
OT  - HFpEF
OT  - SGLT2 inhibitors
PMC - PMC8000001
AID - 10.1000/cq.2021.44 [doi]
SO  - Cardiol Quart. 2021 Jun 14;44(7):1201-10.

)";

inline const std::string kEveryFieldTitle =
    "Empagliflozin & {SGLT2} at 5% ~ 10_mg: $2 #1 ^ \\ in heart failure "
    "-- ``a trial''\xC2\xA0(phase 3).";
inline const std::string kEveryFieldAbstract =
    "BACKGROUND: Few options for \"HFpEF\". RESULTS: Fewer admissions in a trial whose "
    "abstract is long enough to be wrapped on export, as NLM wraps its lines.";

} // namespace tamix::test
