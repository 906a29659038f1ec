// Where a reader's bytes come from: a file read through zlib (gzip-compressed or plain)
// or text already in memory. The readers take pieces and never see which it is.
#pragma once

#include "server/records/article.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace tamix::server {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to size bytes into buffer: how many, 0 at the end, -1 on an error (see Error()).
    virtual long Read(char* buffer, std::size_t size) = 0;
    virtual std::string Error() = 0;
};

class GzSource : public ByteSource {
public:
    explicit GzSource(const std::string& path) : file_(gzopen(path.c_str(), "rb")) {
        if (file_) gzbuffer(file_.get(), 1 << 17);
    }
    // An open file descriptor, which the source closes.
    explicit GzSource(int fd) : file_(fd >= 0 ? gzdopen(fd, "rb") : nullptr) {
        if (file_) gzbuffer(file_.get(), 1 << 17);
    }
    bool IsOpen() const { return file_ != nullptr; }

    long Read(char* buffer, std::size_t size) override {
        const unsigned piece = size > (1u << 30) ? 1u << 30 : static_cast<unsigned>(size);
        return gzread(file_.get(), buffer, piece);
    }
    // Also reports a damaged end that gzread took for the end of the data.
    std::string Error() override {
        int code = Z_OK;
        const char* message = gzerror(file_.get(), &code);
        return code == Z_OK || code == Z_STREAM_END ? std::string() : std::string(message);
    }

private:
    struct Closer {
        void operator()(gzFile_s* file) const { gzclose(file); }
    };
    std::unique_ptr<gzFile_s, Closer> file_;
};

class MemorySource : public ByteSource {
public:
    explicit MemorySource(std::string_view text) : text_(text) {}
    long Read(char* buffer, std::size_t size) override {
        const std::size_t n = std::min(size, text_.size());
        if (n > 0) std::memcpy(buffer, text_.data(), n);
        text_.remove_prefix(n);
        return static_cast<long>(n);
    }
    std::string Error() override { return {}; }

private:
    std::string_view text_;
};

// Bytes already read from a source (to tell what it holds), then the rest of it.
class ReplayedSource : public ByteSource {
public:
    ReplayedSource(std::string head, ByteSource& rest) : head_(std::move(head)), rest_(rest) {}
    long Read(char* buffer, std::size_t size) override {
        if (at_ < head_.size()) {
            const std::size_t n = std::min(size, head_.size() - at_);
            std::memcpy(buffer, head_.data() + at_, n);
            at_ += n;
            return static_cast<long>(n);
        }
        return rest_.Read(buffer, size);
    }
    std::string Error() override { return rest_.Error(); }

private:
    std::string head_;
    std::size_t at_ = 0;
    ByteSource& rest_;
};

// The XML reader over any source (pubmed_xml.cpp).
bool ReadPubmedXmlFrom(ByteSource& source, const std::string& name, const RecordSink& sink,
                       std::string& error);

} // namespace tamix::server
