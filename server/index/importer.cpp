#include "server/index/importer.h"

#include "server/index/index.h"
#include "server/index/lock.h"
#include "server/records/readers.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <variant>

namespace tamix::server {

namespace {

using Clock = std::chrono::steady_clock;

// Records per transaction: large enough to be fast, small enough that readers see
// progress and a failure loses little.
constexpr long kCommitEvery = 50000;
constexpr std::size_t kBatch = 256;
// The writer holds back a run of records and then writes them all at once; room for as
// many again lets the reader go on meanwhile rather than wait, the two threads taking
// turns.
constexpr std::size_t kQueuedBatches = (IndexWriter::kPendingRecords + kBatch - 1) / kBatch;

struct Deletion {
    std::int64_t pmid;
};
struct Problem {
    std::string message;
    bool recordSkipped; // else a file that could not be read to its end
};
struct FileDone {
    std::string path;
    bool failed;
};
using Event = std::variant<PreparedRecord, Deletion, Problem, FileDone>;
using Batch = std::vector<Event>;

// Hands batches from the reading thread to the writing one, in order.
class BatchQueue {
public:
    void Push(Batch batch) {
        std::unique_lock<std::mutex> lock(mutex_);
        notFull_.wait(lock, [&] { return queue_.size() < kQueuedBatches || abandoned_; });
        if (abandoned_) return;
        queue_.push_back(std::move(batch));
        notEmpty_.notify_one();
    }
    // False when the reader has finished and everything was taken.
    bool Pop(Batch& batch) {
        std::unique_lock<std::mutex> lock(mutex_);
        notEmpty_.wait(lock, [&] { return !queue_.empty() || finished_; });
        if (queue_.empty()) return false;
        batch = std::move(queue_.front());
        queue_.pop_front();
        notFull_.notify_one();
        return true;
    }
    void Finish() {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
        notEmpty_.notify_one();
    }
    // The writer gave up: let the reader run out without waiting.
    void Abandon() {
        std::lock_guard<std::mutex> lock(mutex_);
        abandoned_ = true;
        queue_.clear();
        notFull_.notify_one();
    }
    bool Abandoned() {
        std::lock_guard<std::mutex> lock(mutex_);
        return abandoned_;
    }

private:
    std::mutex mutex_;
    std::condition_variable notFull_, notEmpty_;
    std::deque<Batch> queue_;
    bool finished_ = false;
    bool abandoned_ = false;
};

// Reads the next source (a file, a text) into the sink, naming it; ok false with a message
// when it cannot be read to its end. False when there is none left.
using ReadNext =
    std::function<bool(const RecordSink&, std::string& name, bool& ok, std::string& error)>;

void ReadAll(const ReadNext& readNext, BatchQueue& queue) {
    Batch batch;
    const auto add = [&](Event event) {
        batch.push_back(std::move(event));
        if (batch.size() >= kBatch) {
            queue.Push(std::move(batch));
            batch = Batch{};
        }
    };
    RecordSink sink;
    // The writer's thread is the busier one: what can be made of a record without the
    // index is made here.
    sink.onArticle = [&](Article&& a) { add(Prepare(std::move(a))); };
    sink.onDelete = [&](std::int64_t pmid) { add(Deletion{pmid}); };
    sink.onSkip = [&](const SourcePosition& where, const std::string& why) {
        add(Problem{where.file + ":" + std::to_string(where.line) + ": record skipped: " + why,
                    true});
    };
    while (!queue.Abandoned()) {
        std::string name, error;
        bool ok = true;
        if (!readNext(sink, name, ok, error)) break;
        if (!ok) add(Problem{error, false});
        add(FileDone{name, !ok});
        // The file commits now, not once the next one (perhaps still downloading) fills
        // the batch.
        if (!batch.empty()) queue.Push(std::move(batch));
        batch = Batch{};
    }
    if (!batch.empty()) queue.Push(std::move(batch));
    queue.Finish();
}

// giveUp, when given, makes a readNext that waits return at once.
ImportStats Import(const std::string& index, const ReadNext& readNext,
                   const ImportObserver& observer, const ImportOptions& options,
                   const std::function<void()>& giveUp = {}) {
    std::unique_ptr<IndexLock> ownLock;
    if (!options.lock) ownLock = std::make_unique<IndexLock>(index);
    IndexWriter writer(index);
    ImportStats stats;
    FileImport file;
    const auto start = Clock::now();
    auto lastReport = start;
    const auto report = [&](bool final) {
        stats.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (observer.onProgress) observer.onProgress(stats, final);
    };
    const auto stopping = [&] { return options.stop && options.stop->load(); };

    BatchQueue queue;
    const auto abandon = [&] {
        queue.Abandon();
        if (giveUp) giveUp();
    };
    std::thread reader([&] { ReadAll(readNext, queue); });
    try {
        long sinceCommit = 0;
        bool ended = false;
        Batch batch;
        while (!ended && queue.Pop(batch)) {
            if (stopping()) {
                stats.stopped = true;
                break;
            }
            for (Event& event : batch) {
                if (auto* record = std::get_if<PreparedRecord>(&event)) {
                    ++(writer.Put(std::move(*record)) ? file.replaced : file.added);
                    ++stats.records;
                    if (++sinceCommit >= kCommitEvery && !options.wholeFiles) {
                        writer.Commit();
                        sinceCommit = 0;
                    }
                } else if (auto* deletion = std::get_if<Deletion>(&event)) {
                    if (writer.Delete(deletion->pmid)) {
                        ++stats.deletions;
                        ++file.deleted;
                    }
                } else if (auto* problem = std::get_if<Problem>(&event)) {
                    if (problem->recordSkipped) {
                        ++stats.skipped;
                        ++file.skipped;
                    }
                    if (!problem->recordSkipped)
                        problem->message += options.wholeFiles
                                                ? " (nothing of this file is imported)"
                                                : " (records read before this point are kept)";
                    if (observer.onProblem) observer.onProblem(problem->message);
                } else {
                    auto& done = std::get<FileDone>(event);
                    ++stats.filesDone;
                    file.path = std::move(done.path);
                    file.failed = done.failed;
                    if (file.failed) ++stats.filesFailed;
                    if (file.failed && options.wholeFiles) {
                        writer.Rollback();
                        stats.records -= file.added + file.replaced;
                        stats.deletions -= file.deleted;
                        stats.skipped -= file.skipped;
                        abandon();
                        ended = true;
                        break;
                    }
                    if (observer.beforeFileCommit) observer.beforeFileCommit(file, writer);
                    writer.Commit();
                    sinceCommit = 0;
                    if (observer.afterFileCommit) observer.afterFileCommit(file);
                    file = FileImport{};
                }
            }
            if (Clock::now() - lastReport > options.progressEvery) {
                lastReport = Clock::now();
                report(false);
            }
        }
    } catch (...) {
        abandon();
        reader.join();
        try {
            writer.Rollback();
        } catch (const SqliteError&) {
            // The error being thrown says more.
        }
        throw;
    }
    if (stats.stopped) {
        abandon();
        writer.Rollback();
    }
    reader.join();
    if (options.merge)
        writer.MergeIfDue();
    else
        writer.Commit();
    report(true);
    return stats;
}

} // namespace

ImportStats ImportFiles(const std::string& index, const std::vector<std::string>& files,
                        const ImportObserver& observer, const ImportOptions& options) {
    std::size_t i = 0;
    return Import(
        index,
        [&](const RecordSink& sink, std::string& name, bool& ok, std::string& error) {
            if (i == files.size()) return false;
            name = files[i++];
            ok = ReadRecordFile(name, sink, error);
            return true;
        },
        observer, options);
}

ImportStats ImportArriving(const std::string& index, const std::function<std::string()>& next,
                           const std::function<void()>& giveUp, const ImportObserver& observer,
                           ImportOptions options) {
    options.wholeFiles = true;
    return Import(
        index,
        [&](const RecordSink& sink, std::string& name, bool& ok, std::string& error) {
            name = next();
            if (name.empty()) return false;
            ok = ReadRecordFile(name, sink, error);
            return true;
        },
        observer, options, giveUp);
}

ImportStats ImportTexts(const std::string& index, const std::vector<RecordText>& texts,
                        const ImportObserver& observer, const ImportOptions& options) {
    std::size_t i = 0;
    return Import(
        index,
        [&](const RecordSink& sink, std::string& name, bool& ok, std::string& error) {
            if (i == texts.size()) return false;
            const RecordText& text = texts[i++];
            name = text.name;
            ok = ReadRecordText(text.text, text.name, sink, error);
            return true;
        },
        observer, options);
}

} // namespace tamix::server
