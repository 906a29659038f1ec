#include "server/upstream/fetch.h"

#include <curl/curl.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#ifndef TAMIX_VERSION
#define TAMIX_VERSION "0"
#endif

namespace tamix::upstream {

namespace {

struct CurlCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

CurlHandle NewHandle() {
    // Not thread-safe on its own, and downloads and listings may start on two threads.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    return CurlHandle(curl_easy_init());
}

// What every transfer shares: the headers seen and the way out.
struct Transfer {
    CURL* handle = nullptr;
    const FetchControl* control = nullptr;
    std::int64_t rangeStart = -1, rangeTotal = -1;
    int retryAfter = -1;
    char errors[CURL_ERROR_SIZE] = {};
};

long Status(CURL* handle) {
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

bool StartsWithNoCase(const char* text, std::size_t size, const char* prefix) {
    const std::size_t n = std::strlen(prefix);
    return size >= n && strncasecmp(text, prefix, n) == 0;
}

// Headers of every response on the way (redirects too); a status line starts afresh.
size_t OnHeader(char* data, size_t, size_t size, void* context) {
    auto& t = *static_cast<Transfer*>(context);
    if (StartsWithNoCase(data, size, "HTTP/")) {
        t.rangeStart = t.rangeTotal = -1;
        t.retryAfter = -1;
    } else if (StartsWithNoCase(data, size, "Retry-After:")) {
        // Seconds; the HTTP-date form is not used by the services we ask, and is ignored.
        const std::string value(data + 12, size - 12);
        const auto digits = value.find_first_not_of(" \t");
        if (digits != std::string::npos && value[digits] >= '0' && value[digits] <= '9')
            t.retryAfter = static_cast<int>(std::min(std::atol(value.c_str() + digits), 3600L));
    } else if (StartsWithNoCase(data, size, "Content-Range:")) {
        // "bytes 100-199/200" or, answering a range past the end, "bytes */200".
        const std::string value(data + 14, size - 14);
        const auto bytes = value.find("bytes");
        const auto slash = value.find('/');
        if (bytes != std::string::npos && slash != std::string::npos) {
            const std::string first = value.substr(bytes + 5, slash - bytes - 5);
            const auto start = first.find_first_of("0123456789");
            t.rangeStart = start == std::string::npos ? -1 : std::atoll(first.c_str() + start);
            t.rangeTotal = std::atoll(value.c_str() + slash + 1);
            if (value.compare(slash + 1, 1, "*") == 0) t.rangeTotal = -1;
        }
    }
    return size;
}

int OnTransferInfo(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto& t = *static_cast<Transfer*>(context);
    return t.control->stop && t.control->stop->load() ? 1 : 0;
}

void Configure(CURL* h, const std::string& url, Transfer& t) {
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    static const std::string agent = UserAgent();
    curl_easy_setopt(h, CURLOPT_USERAGENT, agent.c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(t.control->connectLimit.count()));
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(t.control->stallLimit.count()));
    if (t.control->timeLimit.count() > 0)
        curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(t.control->timeLimit.count()));
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, t.errors);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, OnTransferInfo);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &t);
}

// The result of a transfer that did not end with CURLE_OK.
FetchResult TransportError(CURLcode code, const Transfer& t) {
    FetchResult result;
    if (code == CURLE_ABORTED_BY_CALLBACK && t.control->stop && t.control->stop->load())
        result.error = "stopped";
    else
        result.error = t.errors[0] ? t.errors : curl_easy_strerror(code);
    return result;
}

FetchResult StatusError(long status) {
    FetchResult result;
    result.error = "HTTP " + std::to_string(status);
    result.permanent = status >= 400 && status < 500 && status != 408 && status != 429;
    return result;
}

struct TextTransfer : Transfer {
    std::string* text = nullptr;
    std::size_t limit = 0;
};

size_t OnText(char* data, size_t, size_t size, void* context) {
    auto& t = *static_cast<TextTransfer*>(context);
    if (t.text->size() + size > t.limit) return 0;
    t.text->append(data, size);
    return size;
}

struct FileTransfer : Transfer {
    int fd = -1;
    std::int64_t start = 0;  // bytes on disk before the transfer
    std::int64_t offset = 0; // where the next byte goes
    std::int64_t total = -1;
    bool started = false, writing = false, refused = false;
    FetchResult* result = nullptr;
};

bool WriteAt(int fd, const char* data, std::size_t size, std::int64_t offset) {
    while (size > 0) {
        const ssize_t n = pwrite(fd, data, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

// The final response's body: its status decides, at the first byte, where it goes.
size_t OnFileBody(char* data, size_t, size_t size, void* context) {
    auto& t = *static_cast<FileTransfer*>(context);
    if (!t.started) {
        t.started = true;
        const long status = Status(t.handle);
        if (status == 206) {
            // Only the rest of our own bytes may be appended.
            if (t.start == 0 || t.rangeStart != t.start) {
                t.refused = true;
                return 0;
            }
            t.offset = t.start;
            t.total = t.rangeTotal;
            t.result->resumedAt = t.start;
            t.writing = true;
        } else if (status == 200) {
            if (ftruncate(t.fd, 0) != 0) return 0;
            t.offset = 0;
            curl_off_t length = -1;
            curl_easy_getinfo(t.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
            t.total = length;
            t.writing = true;
        }
    }
    if (!t.writing) return size; // an error page: the status says it all
    if (!WriteAt(t.fd, data, size, t.offset)) return 0;
    t.offset += static_cast<std::int64_t>(size);
    t.result->received += static_cast<std::int64_t>(size);
    if (t.control->onProgress) t.control->onProgress(t.offset, t.total);
    return size;
}

} // namespace

std::string UserAgent() {
    return std::string("tamix-server/") + TAMIX_VERSION;
}

FetchResult FetchText(const std::string& url, std::string& text, const FetchControl& control,
                      std::size_t limit) {
    text.clear();
    const CurlHandle handle = NewHandle();
    if (!handle) return {false, "cannot start libcurl"};
    TextTransfer t;
    t.handle = handle.get();
    t.control = &control;
    t.text = &text;
    t.limit = limit;
    Configure(t.handle, url, t);
    curl_easy_setopt(t.handle, CURLOPT_WRITEFUNCTION, OnText);
    curl_easy_setopt(t.handle, CURLOPT_WRITEDATA, &t);
    const CURLcode code = curl_easy_perform(t.handle);
    if (code != CURLE_OK) {
        if (code == CURLE_WRITE_ERROR)
            return {false, "more than the limit of " + std::to_string(limit) + " bytes"};
        return TransportError(code, t);
    }
    const long status = Status(t.handle);
    if (status != 200) {
        FetchResult error = StatusError(status);
        error.status = status;
        error.retryAfter = t.retryAfter;
        return error;
    }
    FetchResult result;
    result.status = status;
    result.ok = true;
    result.received = static_cast<std::int64_t>(text.size());
    return result;
}

FetchResult FetchFile(const std::string& url, const std::string& path,
                      const FetchControl& control) {
    FetchResult result;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return {false, "cannot write " + path + ": " + std::strerror(errno)};
    struct stat info {};
    fstat(fd, &info);
    const std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* p) {
        ::close(*p);
        delete p;
    });

    const CurlHandle handle = NewHandle();
    if (!handle) return {false, "cannot start libcurl"};
    FileTransfer t;
    t.handle = handle.get();
    t.control = &control;
    t.fd = fd;
    t.start = info.st_size;
    t.result = &result;
    Configure(t.handle, url, t);
    // The files are gzip already: no other encoding is asked for.
    curl_easy_setopt(t.handle, CURLOPT_WRITEFUNCTION, OnFileBody);
    curl_easy_setopt(t.handle, CURLOPT_WRITEDATA, &t);
    const std::string range = std::to_string(t.start) + "-";
    if (t.start > 0) curl_easy_setopt(t.handle, CURLOPT_RANGE, range.c_str());

    const CURLcode code = curl_easy_perform(t.handle);
    const long status = Status(t.handle);
    if (t.refused) {
        result.error = "the server answered a byte range from " + std::to_string(t.start) +
                       " with another one";
        return result;
    }
    if (code != CURLE_OK) {
        const FetchResult error = TransportError(code, t);
        result.error = error.error;
        return result;
    }
    if (status == 416 && t.start > 0) {
        // Asked for bytes past the end: the file was complete, or is not the server's.
        if (t.rangeTotal == t.start) {
            result.ok = true;
            result.resumedAt = t.start;
            return result;
        }
        if (ftruncate(fd, 0) != 0) {
            // The next attempt truncates it when the server sends the file whole.
        }
        result.error = "the partial file is longer than the server's";
        return result;
    }
    if (status == 206 && !t.started) t.total = t.rangeTotal;
    if (status != 200 && status != 206) {
        const FetchResult error = StatusError(status);
        result.error = error.error;
        result.permanent = error.permanent;
        return result;
    }
    // An empty body never reached OnFileBody.
    if (!t.started && status == 200 && ftruncate(fd, 0) != 0) {
        result.error = std::string("cannot write ") + path + ": " + std::strerror(errno);
        return result;
    }
    // The server's own figures must add up; the checksum is the last word, not the first.
    const std::int64_t end = t.started ? t.offset : (status == 206 ? t.start : 0);
    if (t.total >= 0 && end != t.total) {
        result.error =
            "the transfer ended at byte " + std::to_string(end) + " of " + std::to_string(t.total);
        return result;
    }
    result.ok = true;
    return result;
}

std::string Md5OfFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok = context && EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) == 1;
    static constexpr std::size_t kChunk = 1 << 20;
    const std::unique_ptr<char[]> buffer(new char[kChunk]);
    while (ok) {
        const ssize_t n = ::read(fd, buffer.get(), kChunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        ok = EVP_DigestUpdate(context.get(), buffer.get(), static_cast<std::size_t>(n)) == 1;
    }
    ::close(fd);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!ok || EVP_DigestFinal_ex(context.get(), digest, &size) != 1) return {};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

} // namespace tamix::upstream
