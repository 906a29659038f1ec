#include "server/index/lock.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace tamix::server {

namespace {

// This process's command line, arguments joined by spaces.
std::string OwnCommand() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!raw.empty() && raw.back() == '\0')
        raw.pop_back();
    for (char& c : raw)
        if (c == '\0') c = ' ';
    return raw;
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string ReadHolder(int fd) {
    // The holder writes its line just after taking the lock: give it a moment.
    std::string text;
    for (int attempt = 0; attempt < 20 && text.empty(); ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        char buffer[4096];
        const ssize_t n = pread(fd, buffer, sizeof buffer - 1, 0);
        if (n > 0) text.assign(buffer, static_cast<std::size_t>(n));
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0'))
        text.pop_back();
    return text;
}

// "1234 2026-01-05T04:12:33Z tamix-server mirror ..." as a sentence.
std::string DescribeHolder(const std::string& line) {
    const auto first = line.find(' ');
    const auto second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos) return "another process";
    return "pid " + line.substr(0, first) + " (" + line.substr(second + 1) + "), since " +
           line.substr(first + 1, second - first - 1);
}

} // namespace

std::string LockFileOf(const std::string& index) {
    // Beside the file itself, so that two names of one index (a symbolic link) share a lock.
    std::error_code error;
    const auto real = std::filesystem::weakly_canonical(index, error);
    return (error ? index : real.string()) + ".lock";
}

IndexLock::IndexLock(const std::string& index) : index_(index) {
    const std::string path = LockFileOf(index);
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0)
        throw std::runtime_error("cannot make the lock file " + path + ": " + std::strerror(errno));
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        const std::string holder = error == EWOULDBLOCK ? ReadHolder(fd_) : std::string();
        ::close(fd_);
        fd_ = -1;
        if (error != EWOULDBLOCK)
            throw std::runtime_error("cannot lock " + path + ": " + std::strerror(error));
        throw IndexBusy(index + " is being written by " + DescribeHolder(holder) +
                        "; one import or mirror at a time writes an index, so try again when "
                        "it has finished");
    }
    const std::string line = std::to_string(getpid()) + " " + UtcNow() + " " + OwnCommand() + "\n";
    if (ftruncate(fd_, 0) != 0 || pwrite(fd_, line.data(), line.size(), 0) < 0) {
        // The lock is held all the same; only the description of its holder is missing.
    }
}

IndexLock::~IndexLock() {
    if (fd_ < 0) return;
    if (ftruncate(fd_, 0) != 0) {
        // Nobody reads the line without failing to take the lock first.
    }
    ::close(fd_);
}

} // namespace tamix::server
