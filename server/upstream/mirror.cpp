#include "server/upstream/mirror.h"

#include "server/index/importer.h"
#include "server/index/index.h"
#include "server/index/lock.h"
#include "server/upstream/fetch.h"
#include "server/upstream/listing.h"
#include "server/upstream/progress.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace tamix::upstream {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Tries of one transfer before the run gives up on it; the waits between grow 1, 2, 4, 8 s.
constexpr int kTries = 5;

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A file downloaded and checked, ready for the import.
struct Ready {
    std::size_t k = 0; // 1-based place in the plan
    PubmedFile file;
    std::string path, md5;
    std::int64_t bytes = 0;
};

// Hands checked files from the downloading thread to the importing one, in order; at most
// one waits, so the disk holds no more than the file being imported and the next two.
class Handoff {
public:
    // False when the run is ending and the file is not wanted.
    bool Put(Ready ready) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return !ready_ || closed_; });
        if (closed_) return false;
        ready_ = std::move(ready);
        changed_.notify_all();
        return true;
    }
    // No more files: all are in, or the downloads failed with this message.
    void Finish(const std::string& failure = {}) {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
        failure_ = failure;
        changed_.notify_all();
    }
    // The next file, or nothing once there are no more.
    std::optional<Ready> Take() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return ready_ || finished_ || closed_; });
        if (closed_ || !ready_) return std::nullopt;
        std::optional<Ready> taken = std::move(ready_);
        ready_.reset();
        changed_.notify_all();
        return taken;
    }
    // The importing side stops: whatever waits gives up.
    void Close() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }
    // Waits up to the time given unless the run ends first; false when it ended.
    bool Pause(std::chrono::seconds time) {
        std::unique_lock<std::mutex> lock(mutex_);
        return !changed_.wait_for(lock, time, [&] { return closed_; });
    }
    std::string Failure() {
        std::lock_guard<std::mutex> lock(mutex_);
        return failure_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<Ready> ready_;
    bool finished_ = false, closed_ = false;
    std::string failure_;
};

// SIGINT and SIGTERM, taken by a thread of their own: every other thread of the run starts
// after the signals are blocked and inherits that.
class SignalWatch {
public:
    template <typename OnSignal> explicit SignalWatch(OnSignal onSignal) {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set_, &previous_);
        thread_ = std::thread([this, onSignal] {
            const timespec step{0, 100 * 1000 * 1000};
            while (!done_) {
                const int signal = sigtimedwait(&set_, nullptr, &step);
                if (signal > 0) {
                    received_ = signal;
                    onSignal();
                    return;
                }
            }
        });
    }
    ~SignalWatch() {
        done_ = true;
        thread_.join();
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    int received() const { return received_; }

private:
    sigset_t set_{}, previous_{};
    std::atomic<bool> done_{false};
    std::atomic<int> received_{0};
    std::thread thread_;
};

struct Totals {
    std::size_t files = 0;
    long added = 0, replaced = 0, deleted = 0, skipped = 0;
    std::int64_t bytes = 0;
};

class Mirror {
public:
    Mirror(const MirrorOptions& options, MirrorProgress& progress)
        : options_(options), progress_(progress) {
        from_ = options.from;
        if (from_.empty() || from_.back() != '/') from_ += '/';
        folder_ = options.files.empty() ? DefaultDownloadFolder(options.index) : options.files;
        control_.stop = &cancel_;
    }

    int Run();
    void Stop() {
        stop_ = true;
        EndTransfers();
    }

private:
    std::string UrlOf(const PubmedFile& file) const {
        return from_ + (file.update ? "updatefiles/" : "baseline/") + file.name;
    }
    bool ReadListing(const std::string& folder, bool update, std::vector<PubmedFile>& files);
    void RemoveImportedDownloads(const std::vector<std::string>& imported);
    void DownloadAll(const std::vector<PubmedFile>& plan);
    std::string FetchMd5(const PubmedFile& file, std::string& md5);
    std::string FetchChecked(std::size_t k, const PubmedFile& file, Ready& ready);
    FetchResult Download(std::size_t k, const PubmedFile& file, const std::string& part);
    std::string ImportAll(std::size_t planned, const server::IndexLock& lock, Totals& totals);
    int NewBaseline(int indexYear, int newerYear);
    // Whatever downloads or waits gives up.
    void EndTransfers() {
        cancel_ = true;
        handoff_.Close();
    }
    int Fail(const std::string& message) {
        progress_.End();
        std::fprintf(stderr, "tamix-server: %s\n", message.c_str());
        return 1;
    }

    const MirrorOptions& options_;
    MirrorProgress& progress_;
    std::string from_, folder_;
    std::atomic<bool> stop_{false};   // a signal came
    std::atomic<bool> cancel_{false}; // the run is ending
    FetchControl control_;
    Handoff handoff_;
};

bool Mirror::ReadListing(const std::string& folder, bool update, std::vector<PubmedFile>& files) {
    const std::string url = from_ + folder;
    std::string html;
    FetchResult result;
    for (int attempt = 1; attempt <= kTries; ++attempt) {
        result = FetchText(url, html, control_);
        if (result.ok || result.permanent || stop_) break;
        if (attempt < kTries) {
            progress_.Note("reading " + url + ": " + result.error + "; trying again");
            if (!handoff_.Pause(std::chrono::seconds(1 << (attempt - 1)))) break;
        }
    }
    if (!result.ok) {
        if (!stop_)
            std::fprintf(stderr, "tamix-server: cannot read the listing %s: %s\n", url.c_str(),
                         result.error.c_str());
        return false;
    }
    files = ParseListing(html, update);
    return true;
}

void Mirror::RemoveImportedDownloads(const std::vector<std::string>& imported) {
    // Left behind when a run ended between a file's commit and its removal.
    const std::set<std::string> names(imported.begin(), imported.end());
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder_, error)) {
        std::string name = entry.path().filename().string();
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0)
            name.resize(name.size() - 5);
        if (names.count(name)) fs::remove(entry.path(), error);
    }
}

FetchResult Mirror::Download(std::size_t k, const PubmedFile& file, const std::string& part) {
    FetchControl control = control_;
    control.onProgress = [&](std::int64_t have, std::int64_t total) {
        progress_.Downloading(k, file.name, have, total);
    };
    FetchResult result;
    for (int attempt = 1; attempt <= kTries; ++attempt) {
        std::error_code error;
        const auto before = fs::exists(part) ? fs::file_size(part, error) : 0;
        progress_.Downloading(k, file.name, static_cast<std::int64_t>(before), -1);
        result = FetchFile(UrlOf(file), part, control);
        if (result.ok) {
            if (result.resumedAt > 0)
                progress_.Note(file.name + ": resumed at byte " + std::to_string(result.resumedAt) +
                               " with a byte range");
            return result;
        }
        if (result.permanent || stop_) return result;
        if (attempt < kTries) {
            const auto have = fs::exists(part) ? fs::file_size(part, error) : 0;
            const int wait = 1 << (attempt - 1);
            progress_.Note(file.name + ": " + result.error + " after " +
                           FormatBytes(static_cast<std::int64_t>(have)) + "; trying again in " +
                           std::to_string(wait) + " s" +
                           (have > 0 ? ", going on from there with a byte range" : ""));
            if (!handoff_.Pause(std::chrono::seconds(wait))) return result;
        }
    }
    return result;
}

std::string Mirror::FetchMd5(const PubmedFile& file, std::string& md5) {
    const std::string url = UrlOf(file) + ".md5";
    std::string text;
    FetchResult result;
    for (int attempt = 1; attempt <= kTries; ++attempt) {
        result = FetchText(url, text, control_, 4096);
        if (result.ok || result.permanent || stop_) break;
        if (attempt < kTries && !handoff_.Pause(std::chrono::seconds(1 << (attempt - 1)))) break;
    }
    if (!result.ok) return "cannot fetch " + url + ": " + result.error;
    md5 = ParseMd5File(text, file.name);
    if (md5.empty()) return url + " holds no MD5 checksum of " + file.name;
    return {};
}

std::string Mirror::FetchChecked(std::size_t k, const PubmedFile& file, Ready& ready) {
    const std::string checked = (fs::path(folder_) / file.name).string();
    const std::string part = checked + ".part";
    std::error_code error;
    std::string expected, got;
    for (int round = 1; round <= 2; ++round) {
        // Asked again the second time: NLM may have replaced the file and its checksum.
        if (const std::string failure = FetchMd5(file, expected); !failure.empty()) return failure;
        ready = Ready{k, file, checked, expected, 0};
        // Checked by a run that ended before importing it.
        if (round == 1 && fs::exists(checked)) {
            if (Md5OfFile(checked) == expected) {
                ready.bytes = static_cast<std::int64_t>(fs::file_size(checked, error));
                return {};
            }
            fs::remove(checked, error);
        }
        // The second time from scratch: the bytes kept from before may be what is wrong.
        if (round == 2) fs::remove(part, error);
        const FetchResult result = Download(k, file, part);
        if (!result.ok)
            return stop_ ? "stopped" : "cannot download " + UrlOf(file) + ": " + result.error;
        got = Md5OfFile(part);
        if (got == expected) {
            fs::rename(part, checked, error);
            if (error) return "cannot rename " + part + ": " + error.message();
            ready.bytes = static_cast<std::int64_t>(fs::file_size(checked, error));
            return {};
        }
        if (round == 1)
            progress_.Note(file.name + ": its MD5 is " + got + " where NLM gives " + expected +
                           "; downloading it once more from scratch");
    }
    fs::remove(part, error);
    return file.name + ": the checksum is wrong again after a second download from scratch (MD5 " +
           got + ", NLM gives " + expected +
           "); nothing of it was imported. NLM may be replacing the file: run again later.";
}

void Mirror::DownloadAll(const std::vector<PubmedFile>& plan) {
    for (std::size_t i = 0; i < plan.size() && !stop_; ++i) {
        Ready ready;
        const std::string failure = FetchChecked(i + 1, plan[i], ready);
        if (!failure.empty()) {
            handoff_.Finish(stop_ ? std::string() : failure);
            progress_.DownloadIdle("stopped");
            return;
        }
        progress_.DownloadIdle(i + 1 < plan.size() ? "waiting: " + plan[i].name + " is ready"
                                                   : "all files are in");
        if (!handoff_.Put(std::move(ready))) return;
    }
    handoff_.Finish();
}

std::string Mirror::ImportAll(std::size_t planned, const server::IndexLock& lock, Totals& totals) {
    // Files the reading thread has taken and whose transaction has not committed yet, in
    // order: the first is the one being written.
    std::mutex mutex;
    std::deque<Ready> taken;
    const auto current = [&] {
        std::lock_guard<std::mutex> guard(mutex);
        return taken.front();
    };
    long recordsBefore = 0;      // of the files committed
    Clock::time_point fileStart; // when the writer turned to the first file taken
    std::string problem;

    server::ImportObserver observer;
    observer.onProgress = [&](const server::ImportStats& stats, bool) {
        std::lock_guard<std::mutex> guard(mutex);
        if (!taken.empty())
            progress_.Importing(taken.front().k, taken.front().file.name,
                                stats.records - recordsBefore);
    };
    observer.onProblem = [&](const std::string& message) {
        progress_.Note(message);
        problem = message;
    };
    observer.beforeFileCommit = [&](const server::FileImport& c, server::IndexWriter& writer) {
        const Ready ready = current();
        server::ImportedFile row;
        row.name = ready.file.name;
        row.md5 = ready.md5;
        row.added = c.added;
        row.replaced = c.replaced;
        row.deleted = c.deleted;
        row.skipped = c.skipped;
        writer.RecordImportedFile(row);
    };
    observer.afterFileCommit = [&](const server::FileImport& c) {
        Ready ready;
        double seconds = 0;
        {
            std::lock_guard<std::mutex> guard(mutex);
            ready = std::move(taken.front());
            taken.pop_front();
            seconds = Since(fileStart);
            fileStart = Clock::now();
        }
        ++totals.files;
        totals.added += c.added;
        totals.replaced += c.replaced;
        totals.deleted += c.deleted;
        totals.skipped += c.skipped;
        totals.bytes += ready.bytes;
        recordsBefore += c.added + c.replaced;
        progress_.Imported(ready.k, ready.file.name, c, ready.bytes, seconds);
        if (!options_.keep) {
            std::error_code error;
            fs::remove(ready.path, error);
        }
        progress_.ImportIdle(totals.files < planned ? "waiting for the next file" : "done");
    };
    server::ImportOptions importOptions;
    importOptions.lock = &lock;
    importOptions.stop = &stop_;
    importOptions.progressEvery = std::chrono::milliseconds(200);
    // Merging after each file rewrote the whole full-text index every few files of a
    // baseline (a sixteenth of the index changed): once, after the last file, is enough.
    importOptions.merge = false;
    // One import over all files, so that the next file is read while this one is written.
    const server::ImportStats stats = server::ImportArriving(
        options_.index,
        [&]() -> std::string {
            std::optional<Ready> ready = handoff_.Take();
            if (!ready) return {};
            std::lock_guard<std::mutex> guard(mutex);
            if (taken.empty()) fileStart = Clock::now(); // the writer waited for it
            taken.push_back(std::move(*ready));
            return taken.back().path;
        },
        [&] { handoff_.Close(); }, observer, importOptions);
    if (stats.stopped || stop_) return "stopped";
    if (stats.filesFailed > 0)
        return current().file.name + " could not be read to its end, though its checksum is " +
               "NLM's (" + problem + "); nothing of it was imported";
    return {};
}

int Mirror::NewBaseline(int indexYear, int newerYear) {
    const fs::path index(options_.index);
    const std::string fresh =
        (index.parent_path() / ("pubmed-20" + std::to_string(newerYear) + ".sqlite")).string();
    progress_.End();
    std::fprintf(
        stderr,
        "tamix-server: NLM has published a new year's baseline: the listing holds pubmed%02dn "
        "files, and %s holds the 20%02d baseline and its updates.\n"
        "A new baseline replaces every record, so it goes into a fresh index; this one stays as "
        "it is and keeps serving meanwhile. To switch:\n"
        "  1. build the fresh index beside this one (it takes hours):\n"
        "       tamix-server mirror --index %s --from %s\n"
        "  2. restart the server on it (tamix-server serve --index %s), and run the mirror on it "
        "from then on;\n"
        "  3. then delete %s with its companions (-wal, -shm, .lock, .downloads).\n"
        "With the packaged service: set TAMIX_INDEX=%s in /etc/default/tamix-server, run "
        "`systemctl start tamix-mirror.service`, and when it has finished `systemctl restart "
        "tamix-server.service`.\n"
        "Until then this index gets no more updates.\n",
        newerYear, options_.index.c_str(), indexYear, fresh.c_str(), from_.c_str(), fresh.c_str(),
        options_.index.c_str(), fresh.c_str());
    return kNewBaselineStatus;
}

int Mirror::Run() {
    std::unique_ptr<server::IndexLock> lock;
    try {
        lock = std::make_unique<server::IndexLock>(options_.index);
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    std::error_code error;
    fs::create_directories(folder_, error);
    if (error) return Fail("cannot make the download folder " + folder_ + ": " + error.message());

    std::vector<std::string> imported;
    for (const server::ImportedFile& file : server::ReadImportedFiles(options_.index))
        imported.push_back(file.name);
    std::vector<PubmedFile> baseline, updates;
    if (!ReadListing("baseline/", false, baseline) || !ReadListing("updatefiles/", true, updates))
        return 1;
    const MirrorPlan plan = PlanImports(baseline, updates, imported);
    if (plan.year == 0)
        return Fail("the listing " + from_ + "baseline/ names no pubmedYYnNNNN.xml.gz file");
    if (!options_.keep) RemoveImportedDownloads(imported);
    if (plan.olderFiles > 0)
        progress_.Note("leaving " + std::to_string(plan.olderFiles) +
                       " files of earlier years alone");

    const auto start = Clock::now();
    Totals totals;
    std::string failure;
    if (!plan.files.empty()) {
        progress_.Note("mirror: " + std::to_string(plan.files.size()) + " new files from " + from_ +
                       " into " + options_.index + " (downloads in " + folder_ + ")");
        progress_.Begin(plan.files.size());
        std::thread downloader([&] { DownloadAll(plan.files); });
        try {
            failure = ImportAll(plan.files.size(), *lock, totals);
        } catch (const std::exception& e) {
            failure = e.what();
        }
        EndTransfers();
        downloader.join();
        if (failure.empty()) failure = handoff_.Failure();
        if (!stop_ && totals.files > 0) {
            // What was imported is merged even when a later file failed; a stopped run
            // leaves it to the next, which finds the changes counted in the index.
            progress_.Note("merging the full-text index");
            server::IndexWriter(options_.index).MergeIfDue();
        }
    }
    progress_.End();
    if (stop_) {
        std::fprintf(stderr,
                     "tamix-server: stopped after importing %zu of %zu files; the next run goes "
                     "on from there\n",
                     totals.files, plan.files.size());
        return 1;
    }
    if (!failure.empty()) {
        std::fprintf(stderr, "tamix-server: %zu of %zu files imported, then: %s\n", totals.files,
                     plan.files.size(), failure.c_str());
        return 1;
    }
    const std::size_t held = imported.size() + totals.files;
    const std::string last = totals.files > 0   ? plan.files[totals.files - 1].name
                             : imported.empty() ? std::string("none")
                                                : imported.back();
    std::string summary;
    if (plan.files.empty()) {
        summary = options_.index + " is up to date: nothing new at " + from_;
    } else {
        summary = std::to_string(totals.files) + " files imported in " +
                  FormatDuration(Since(start)) + ": " + FormatCount(totals.added) +
                  " records added, " + FormatCount(totals.replaced) + " replaced, " +
                  FormatCount(totals.deleted) + " deleted";
        if (totals.skipped > 0) summary += ", " + FormatCount(totals.skipped) + " skipped";
        summary += "; " + FormatBytes(totals.bytes) + " downloaded";
    }
    std::fprintf(stderr, "tamix-server: %s. The index holds %zu files, the last %s\n",
                 summary.c_str(), held, last.c_str());
    if (plan.newerYear > 0) return NewBaseline(plan.year, plan.newerYear);
    return 0;
}

} // namespace

std::string DefaultDownloadFolder(const std::string& index) {
    return index + ".downloads";
}

int RunMirror(const MirrorOptions& options) {
    std::signal(SIGPIPE, SIG_IGN);
    MirrorProgress progress(stderr, isatty(STDERR_FILENO) == 1);
    Mirror mirror(options, progress);
    int status = 1, signal = 0;
    {
        SignalWatch signals([&] { mirror.Stop(); });
        try {
            status = mirror.Run();
        } catch (const std::exception& e) {
            // An index that cannot be read or written: nothing more this run can do.
            progress.End();
            std::fprintf(stderr, "tamix-server: %s\n", e.what());
        }
        signal = signals.received();
    }
    if (signal != 0) {
        // Die of the signal, as the caller who sent it expects.
        std::signal(signal, SIG_DFL);
        raise(signal);
    }
    return status;
}

} // namespace tamix::upstream
