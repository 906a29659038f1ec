// What the mirror shows while it works. On a terminal: a live line for the download and
// one for the import, redrawn in place (file k of n, bytes and rate, records per second,
// time left). In a log (not a terminal): a line per file. Messages and the summary are
// lines in both. Safe to call from the downloading and the importing thread.
#pragma once

#include "server/index/importer.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace tamix::upstream {

// "950 B", "12.3 kB", "4.5 MB", "1.23 GB" (powers of 1,000).
std::string FormatBytes(std::int64_t bytes);
// "0:07", "12:34", "1:02:03".
std::string FormatDuration(double seconds);
// "1,234,567".
std::string FormatCount(std::int64_t count);

class MirrorProgress {
public:
    MirrorProgress(std::FILE* out, bool live);

    void Begin(std::size_t files);
    // File k (from 1) is coming in: have of total bytes (total -1 while unknown).
    void Downloading(std::size_t k, const std::string& name, std::int64_t have, std::int64_t total);
    // Nothing downloads now: every file is in, or the next waits for the import.
    void DownloadIdle(const std::string& why);
    // File k is going into the index: records so far.
    void Importing(std::size_t k, const std::string& name, long records);
    void ImportIdle(const std::string& why);
    // File k is in the index: its line.
    void Imported(std::size_t k, const std::string& name, const server::FileImport& counts,
                  std::int64_t bytes, double importSeconds);
    // A line of its own, above the live lines.
    void Note(const std::string& line);
    // Takes the live lines away.
    void End();

private:
    using Clock = std::chrono::steady_clock;
    void Draw(bool force);
    void Erase();
    std::string DownloadLine() const;
    std::string ImportLine() const;

    std::mutex mutex_;
    std::FILE* out_;
    bool live_;
    int drawn_ = 0;
    Clock::time_point lastDraw_{};
    Clock::time_point begun_{};
    std::size_t files_ = 0, imported_ = 0;

    std::size_t downloadK_ = 0;
    std::string downloadName_, downloadIdle_ = "starting";
    std::int64_t have_ = 0, total_ = -1, rateFrom_ = 0;
    Clock::time_point downloadStart_{};

    std::size_t importK_ = 0;
    std::string importName_, importIdle_ = "waiting for the first file";
    long records_ = 0;
    Clock::time_point importStart_{};
};

} // namespace tamix::upstream
