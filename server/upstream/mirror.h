// `tamix-server mirror`: brings an index up to date with NLM's PubMed download area. Reads
// the listings of baseline/ and updatefiles/, and for every file of the index's year not
// imported yet, in order (the baseline by number, then the update files by number):
// downloads it with its .md5 file (resuming a cut transfer with a byte range), checks it,
// and imports it in one transaction together with its row in the index's table of imported
// files. The next file downloads while the current one is imported.
#pragma once

#include <string>

namespace tamix::upstream {

inline constexpr const char* kNlmPubmed = "https://ftp.ncbi.nlm.nih.gov/pubmed/";

// Exit statuses besides 0 (done, or nothing new) and 1 (failed; the message says why).
inline constexpr int kNewBaselineStatus = 3;

struct MirrorOptions {
    std::string index;
    std::string from = kNlmPubmed;
    // Where the downloads go; empty: DefaultDownloadFolder(index).
    std::string files;
    // Keep the downloaded files after their import.
    bool keep = false;
};

// FILE.downloads beside the index FILE.
std::string DefaultDownloadFolder(const std::string& index);

// Runs the mirror, reporting on standard error (live lines when it is a terminal). SIGINT
// and SIGTERM end it at once with what was committed kept; it then dies of that signal.
int RunMirror(const MirrorOptions& options);

} // namespace tamix::upstream
