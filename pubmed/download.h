// One HTTP GET into a scratch file, and the scratch file read back as text.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace tamix {

inline constexpr std::size_t kTransferChunk = 10240;
inline constexpr std::size_t kReadBackLimit = 499999;
inline constexpr std::chrono::milliseconds kDefaultStallLimit{30000};
// No page comes near this; a body that goes past it is a hostile or broken server.
inline constexpr std::size_t kMaxBodyBytes = std::size_t{64} << 20;

// True only when the final status (redirects followed) was 200 and the whole body is in
// fileName. Any other status leaves the file untouched; it is created only after the
// status is known. A transfer that moves no byte for stallLimit is given up, and so is a
// body past kMaxBodyBytes: one that declares such a length leaves the file untouched, one
// that goes past it leaves what came before, never more than kMaxBodyBytes.
bool DownloadToFile(const std::string& address, const std::string& fileName,
                    std::chrono::milliseconds stallLimit = kDefaultStallLimit);

// The file's bytes up to its first zero byte, at most kReadBackLimit of them;
// empty when the file cannot be read.
std::string ReadScratchFile(const std::string& fileName);

} // namespace tamix
