// Where a reader's bytes come from: a file read through zlib (gzip-compressed or plain)
// or text already in memory. The readers take pieces and never see which it is.
#pragma once

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

} // namespace tamix::server
