// A record's every field as text, so that two records compare whole and a difference
// shows as a diff of lines.
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

} // namespace tamix::test
