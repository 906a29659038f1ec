// A gzip-or-plain file read through zlib, closed however the reader leaves.
#pragma once

#include <zlib.h>

#include <memory>
#include <string>

namespace tamix::server {

struct GzCloser {
    void operator()(gzFile_s* file) const { gzclose(file); }
};
using GzFile = std::unique_ptr<gzFile_s, GzCloser>;

inline GzFile OpenGz(const std::string& path) {
    return GzFile(gzopen(path.c_str(), "rb"));
}

} // namespace tamix::server
