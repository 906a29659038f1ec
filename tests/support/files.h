// Whole files read and written at once, and where the Biopython package keeps NCBI's real
// answers.
#pragma once

#include <zlib.h>

#include <fstream>
#include <sstream>
#include <string>

namespace tamix::test {

// NCBI's own esearch and efetch answers (python-biopython-doc's test data).
inline const std::string kBiopythonEntrez = "/usr/share/doc/python-biopython-doc/Tests/Entrez/";

// The bytes of a file as they are on disk; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The text of a file, decompressed when it is gzip-compressed (zlib reads a plain file as
// it is).
inline std::string ReadText(const std::string& path) {
    std::string text;
    gzFile file = gzopen(path.c_str(), "rb");
    if (!file) return text;
    char buffer[65536];
    for (int n; (n = gzread(file, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    gzclose(file);
    return text;
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

} // namespace tamix::test
