// NLM's PubMed download area as the mirror reads it: the Apache index pages of baseline/
// and updatefiles/, the names of the files, their .md5 companions, and the order in which
// files go into an index. Pure functions, no network.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tamix::upstream {

struct PubmedFile {
    std::string name;    // "pubmed26n0001.xml.gz"
    int year = 0;        // 26: the baseline year the file belongs to
    int number = 0;      // 1
    bool update = false; // in updatefiles/, else in baseline/
};

// "pubmedYYnNNNN.xml.gz" (four digits of number, or more without a leading zero) into
// year and number; false for any other name.
bool ParsePubmedFileName(std::string_view name, PubmedFile& file);

// The PubMed files an index page links to (href="..."), each once, in page order. Only the
// last path segment of a link counts, so the files are always fetched from the same folder.
std::vector<PubmedFile> ParseListing(std::string_view html, bool update);

// The checksum an .md5 file gives for name, in NLM's form "MD5(name)= hex" or md5sum's
// "hex  name": 32 lower-case hex digits, or empty when the text holds none for that name.
std::string ParseMd5File(std::string_view text, std::string_view name);

struct MirrorPlan {
    // The baseline year of the index: that of the files it holds, or for an empty index the
    // latest in the baseline listing; 0 when neither has one.
    int year = 0;
    // Files of that year not imported yet: the baseline by number, then the update files by
    // number.
    std::vector<PubmedFile> files;
    // A later year found in the listings (a new baseline), or 0.
    int newerYear = 0;
    // Files of earlier years in the listings, left alone.
    std::size_t olderFiles = 0;
};

MirrorPlan PlanImports(const std::vector<PubmedFile>& baseline,
                       const std::vector<PubmedFile>& updates,
                       const std::vector<std::string>& imported);

} // namespace tamix::upstream
