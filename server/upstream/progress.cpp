#include "server/upstream/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace tamix::upstream {

namespace {

constexpr auto kRedrawEvery = std::chrono::milliseconds(150);

double Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

int TerminalWidth(std::FILE* out) {
    winsize size{};
    if (ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 20) return size.ws_col;
    return 80;
}

} // namespace

std::string FormatBytes(std::int64_t bytes) {
    if (bytes < 1000) return std::to_string(bytes) + " B";
    static const char* const kUnits[] = {"kB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    int unit = -1;
    while (value >= 1000 && unit < 3) {
        value /= 1000;
        ++unit;
    }
    return Fixed(value, value < 10 ? 2 : value < 100 ? 1 : 0) + " " + kUnits[unit];
}

std::string FormatDuration(double seconds) {
    const long total = seconds < 0 ? 0 : static_cast<long>(seconds + 0.5);
    const long h = total / 3600, m = total / 60 % 60, s = total % 60;
    char text[32];
    if (h > 0)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", h, m, s);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", m, s);
    return text;
}

std::string FormatCount(std::int64_t count) {
    std::string digits = std::to_string(count < 0 ? -count : count), text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
        text += digits[i];
    }
    return count < 0 ? "-" + text : text;
}

MirrorProgress::MirrorProgress(std::FILE* out, bool live) : out_(out), live_(live) {
}

void MirrorProgress::Begin(std::size_t files) {
    std::lock_guard<std::mutex> lock(mutex_);
    files_ = files;
    begun_ = Clock::now();
    Draw(true);
}

void MirrorProgress::Downloading(std::size_t k, const std::string& name, std::int64_t have,
                                 std::int64_t total) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A new file, or the same one started over: the rate counts from here.
    const bool next = k != downloadK_;
    if (next || have < have_) {
        downloadStart_ = Clock::now();
        rateFrom_ = have;
    }
    downloadK_ = k;
    downloadName_ = name;
    downloadIdle_.clear();
    have_ = have;
    total_ = total;
    Draw(next);
}

void MirrorProgress::DownloadIdle(const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    downloadIdle_ = why;
    Draw(true);
}

void MirrorProgress::Importing(std::size_t k, const std::string& name, long records) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool next = k != importK_ || !importIdle_.empty();
    if (next) importStart_ = Clock::now();
    importK_ = k;
    importName_ = name;
    importIdle_.clear();
    records_ = records;
    Draw(next);
}

void MirrorProgress::ImportIdle(const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    importIdle_ = why;
    Draw(true);
}

void MirrorProgress::Imported(std::size_t k, const std::string& name, const server::FileImport& c,
                              std::int64_t bytes, double importSeconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    imported_ = k;
    const long records = c.added + c.replaced;
    std::string line = name + " (" + std::to_string(k) + " of " + std::to_string(files_) +
                       "): " + FormatCount(records) + " records (" + FormatCount(c.added) +
                       " added, " + FormatCount(c.replaced) + " replaced), " +
                       FormatCount(c.deleted) + " deleted";
    if (c.skipped > 0) line += ", " + FormatCount(c.skipped) + " skipped";
    line += ", " + FormatBytes(bytes) + ", imported in " + Fixed(importSeconds, 1) + " s";
    if (importSeconds > 0)
        line += " (" + FormatCount(static_cast<long>(records / importSeconds)) + "/s)";
    Erase();
    std::fprintf(out_, "%s\n", line.c_str());
    Draw(true);
}

void MirrorProgress::Note(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    Erase();
    std::fprintf(out_, "%s\n", line.c_str());
    Draw(true);
}

void MirrorProgress::End() {
    std::lock_guard<std::mutex> lock(mutex_);
    Erase();
    live_ = false;
}

std::string MirrorProgress::DownloadLine() const {
    std::string line = "download ";
    if (!downloadIdle_.empty()) return line + downloadIdle_;
    line += std::to_string(downloadK_) + " of " + std::to_string(files_) + " " + downloadName_ +
            "  " + FormatBytes(have_);
    if (total_ > 0) line += " of " + FormatBytes(total_);
    const double seconds = Since(downloadStart_);
    if (seconds > 0.2 && have_ > rateFrom_) {
        const double rate = static_cast<double>(have_ - rateFrom_) / seconds;
        line += "  " + FormatBytes(static_cast<std::int64_t>(rate)) + "/s";
        if (total_ > have_)
            line += "  " + FormatDuration(static_cast<double>(total_ - have_) / rate) + " left";
    }
    return line;
}

std::string MirrorProgress::ImportLine() const {
    std::string line = "import   ";
    if (!importIdle_.empty()) {
        line += importIdle_;
    } else {
        line += std::to_string(importK_) + " of " + std::to_string(files_) + " " + importName_ +
                "  " + FormatCount(records_) + " records";
        const double seconds = Since(importStart_);
        if (seconds > 0.2) line += "  " + FormatCount(static_cast<long>(records_ / seconds)) + "/s";
    }
    // The slower of the two stages sets the pace: the files done so far tell it.
    if (imported_ > 0 && imported_ < files_)
        line += "  about " +
                FormatDuration(Since(begun_) / static_cast<double>(imported_) *
                               static_cast<double>(files_ - imported_)) +
                " left in all";
    return line;
}

void MirrorProgress::Erase() {
    if (drawn_ == 0) return;
    std::string out = "\r";
    if (drawn_ > 1) out += "\x1b[" + std::to_string(drawn_ - 1) + "A";
    out += "\x1b[J";
    std::fputs(out.c_str(), out_);
    drawn_ = 0;
}

void MirrorProgress::Draw(bool force) {
    if (!live_ || files_ == 0) {
        std::fflush(out_);
        return;
    }
    const auto now = Clock::now();
    if (!force && drawn_ > 0 && now - lastDraw_ < kRedrawEvery) return;
    lastDraw_ = now;
    const std::size_t width = static_cast<std::size_t>(TerminalWidth(out_)) - 1;
    std::string download = DownloadLine(), import = ImportLine();
    if (download.size() > width) download.resize(width);
    if (import.size() > width) import.resize(width);
    Erase();
    std::fprintf(out_, "%s\x1b[K\n%s\x1b[K", download.c_str(), import.c_str());
    std::fflush(out_);
    drawn_ = 2;
}

} // namespace tamix::upstream
