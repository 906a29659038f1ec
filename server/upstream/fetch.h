// Downloads for the mirror, through libcurl: small texts into memory, files onto disk
// with resumption of a cut transfer by an HTTP byte range, and the MD5 of a file.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace tamix::upstream {

// "tamix-server/1.0.0": NLM asks that automated downloads say who they are.
std::string UserAgent();

struct FetchControl {
    // Checked while the transfer runs; once set, it ends (not ok, error "stopped").
    const std::atomic<bool>* stop = nullptr;
    // While a file comes in: its bytes on disk and its whole size (-1 while unknown).
    std::function<void(std::int64_t have, std::int64_t total)> onProgress;
    // A transfer that moves no byte for this long is given up.
    std::chrono::seconds stallLimit{60};
    std::chrono::seconds connectLimit{30};
    // The whole transfer is given up after this long (0: no bound but the stall limit).
    std::chrono::milliseconds timeLimit{0};
};

struct FetchResult {
    bool ok = false;
    // Why not, for messages ("HTTP 404", "Connection refused", "stopped").
    std::string error;
    // A status that will not change by asking again (4xx but 408 and 429).
    bool permanent = false;
    // Where the server went on with a partial file; -1 when it sent the file whole.
    std::int64_t resumedAt = -1;
    // Bytes of body received by this transfer.
    std::int64_t received = 0;
    // The final HTTP status (0 when none came), and its Retry-After in seconds (-1: none).
    long status = 0;
    int retryAfter = -1;
};

// GET into text (up to limit bytes); ok only for a final status of 200.
FetchResult FetchText(const std::string& url, std::string& text, const FetchControl& control = {},
                      std::size_t limit = 16u << 20);

// Downloads url into path. When path already holds bytes (a cut transfer), asks for the
// rest with a byte range and appends it; a server that sends the whole file instead starts
// the file over. ok when the server's whole file is in path.
FetchResult FetchFile(const std::string& url, const std::string& path,
                      const FetchControl& control = {});

// MD5 of the file's bytes in lower-case hex; empty when it cannot be read.
std::string Md5OfFile(const std::string& path);

} // namespace tamix::upstream
