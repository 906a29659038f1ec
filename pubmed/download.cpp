#include "pubmed/download.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace tamix {

namespace {

using Clock = std::chrono::steady_clock;

struct CurlCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

class FileDescriptor {
public:
    FileDescriptor() = default;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { Close(); }

    bool Open(const std::string& name, int flags) {
        fd_ = ::open(name.c_str(), flags | O_CLOEXEC, 0666);
        return fd_ >= 0;
    }
    bool IsOpen() const { return fd_ >= 0; }
    int Get() const { return fd_; }
    bool Close() {
        if (fd_ < 0) return true;
        const bool ok = ::close(fd_) == 0;
        fd_ = -1;
        return ok;
    }

private:
    int fd_ = -1;
};

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

struct Transfer {
    CURL* handle;
    const std::string& fileName;
    FileDescriptor file;
    std::chrono::milliseconds stallLimit;
    std::size_t bodyBytes = 0;
    curl_off_t lastBytes = -1;
    Clock::time_point lastMove = Clock::now();
};

bool IsFinalStatusOk(CURL* handle) {
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    return status == 200;
}

// libcurl hands over only the final response's body, so the first call may decide
// whether the file is created at all.
size_t OnBody(char* data, size_t, size_t size, void* context) {
    auto& t = *static_cast<Transfer*>(context);
    if (size > kMaxBodyBytes - t.bodyBytes) return 0;
    t.bodyBytes += size;
    if (!t.file.IsOpen()) {
        if (!IsFinalStatusOk(t.handle)) return 0;
        if (!t.file.Open(t.fileName, O_WRONLY | O_CREAT | O_TRUNC)) return 0;
    }
    return WriteAll(t.file.Get(), data, size) ? size : 0;
}

int OnProgress(void* context, curl_off_t downTotal, curl_off_t downNow, curl_off_t upTotal,
               curl_off_t upNow) {
    (void)downTotal;
    (void)upTotal;
    auto& t = *static_cast<Transfer*>(context);
    const curl_off_t moved = downNow + upNow;
    const auto now = Clock::now();
    if (moved != t.lastBytes) {
        t.lastBytes = moved;
        t.lastMove = now;
        return 0;
    }
    return now - t.lastMove > t.stallLimit ? 1 : 0;
}

CURLcode Perform(CURL* handle, Transfer& transfer) {
    transfer.lastBytes = -1;
    transfer.lastMove = Clock::now();
    return curl_easy_perform(handle);
}

bool NeverConnected(CURL* handle, CURLcode result) {
    if (result == CURLE_COULDNT_CONNECT) return true;
    if (result != CURLE_OPERATION_TIMEDOUT) return false;
    curl_off_t connectTime = 0;
    curl_easy_getinfo(handle, CURLINFO_CONNECT_TIME_T, &connectTime);
    return connectTime == 0;
}

} // namespace

bool DownloadToFile(const std::string& address, const std::string& fileName,
                    std::chrono::milliseconds stallLimit) {
    const CurlHandle handle(curl_easy_init());
    if (!handle) return false;
    CURL* h = handle.get();
    Transfer transfer{h, fileName, {}, stallLimit};

    curl_easy_setopt(h, CURLOPT_URL, address.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 20L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "tamix");
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, 2000L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, static_cast<long>(kTransferChunk));
    // Refuses a declared length past the bound before any of the body arrives; OnBody
    // counts the bytes of a body that declares none.
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxBodyBytes));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);

    CURLcode result = Perform(h, transfer);
    // One more attempt when the server could not be reached at all; nothing was written.
    if (result != CURLE_OK && !transfer.file.IsOpen() && NeverConnected(h, result))
        result = Perform(h, transfer);

    if (result != CURLE_OK || !IsFinalStatusOk(h)) return false;
    // An empty body never reached OnBody: the file still has to be emptied.
    if (!transfer.file.IsOpen() && !transfer.file.Open(fileName, O_WRONLY | O_CREAT | O_TRUNC))
        return false;
    return transfer.file.Close();
}

std::string ReadScratchFile(const std::string& fileName) {
    FileDescriptor file;
    if (!file.Open(fileName, O_RDONLY)) return {};
    std::string text(kReadBackLimit, '\0');
    std::size_t filled = 0;
    while (filled < text.size()) {
        const ssize_t got = ::read(file.Get(), text.data() + filled, text.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
    }
    text.resize(filled);
    const std::size_t zero = text.find('\0');
    if (zero != std::string::npos) text.resize(zero);
    return text;
}

} // namespace tamix
