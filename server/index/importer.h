// `tamix-server import` and the mirror: records from files into the index. Reading and
// parsing run on a thread of their own while this one writes, so both cores work.
#pragma once

#include "server/records/article.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace tamix::server {

class IndexLock;
class IndexWriter;

struct ImportStats {
    long records = 0;
    long deletions = 0;
    long skipped = 0;
    std::size_t filesDone = 0;
    std::size_t filesFailed = 0;
    double seconds = 0;
    // ImportOptions::stop was set: what was not committed then was rolled back.
    bool stopped = false;
};

// What one file brought into the index.
struct FileImport {
    std::string path;
    long added = 0;    // records of PMIDs the index did not hold
    long replaced = 0; // records that replaced an earlier one of the same PMID
    long deleted = 0;  // DeleteCitation entries that removed a record
    long skipped = 0;  // records that could not be indexed
    bool failed = false;
};

struct ImportObserver {
    // Now and then while records go in, and once at the end.
    std::function<void(const ImportStats&, bool final)> onProgress;
    // A record that was not indexed, or a file that could not be read to its end.
    std::function<void(const std::string& message)> onProblem;
    // A file has been read to its end: called inside the transaction that commits its last
    // records, so what is written through the writer here commits with them or not at all.
    std::function<void(const FileImport&, IndexWriter&)> beforeFileCommit;
    // After that transaction has committed.
    std::function<void(const FileImport&)> afterFileCommit;
};

struct ImportOptions {
    // One transaction per file, and a file that cannot be read to its end is rolled back
    // whole and ends the import. Otherwise transactions of many records, and a damaged
    // file keeps what was read before the damage.
    bool wholeFiles = false;
    // The index's lock, held by the caller for longer than this import; when null the
    // import takes the lock itself.
    const IndexLock* lock = nullptr;
    // Set from another thread to stop soon; what is not committed then is rolled back.
    const std::atomic<bool>* stop = nullptr;
    std::chrono::milliseconds progressEvery{2000};
    // Merges the full-text index at the end when it is due (IndexWriter::MergeIfDue). A
    // caller that imports file after file into one index merges once, after the last.
    bool merge = true;
};

// Imports the files in order. Throws IndexBusy when another process writes the index, and
// SqliteError when the index cannot be written.
ImportStats ImportFiles(const std::string& index, const std::vector<std::string>& files,
                        const ImportObserver& observer = {}, const ImportOptions& options = {});

// Files that arrive one at a time, as downloads do: next() waits for the next one and gives
// its path, or an empty string when there are no more. Each is read while the one before
// is written, in a transaction of its own (wholeFiles is implied). When the import gives up
// early (an error, a file it cannot read, a stop), giveUp() is called from the writing
// thread so that a next() that waits returns at once.
ImportStats ImportArriving(const std::string& index, const std::function<std::string()>& next,
                           const std::function<void()>& giveUp, const ImportObserver& observer,
                           ImportOptions options);

// Records already in memory (answers of NCBI's E-utilities), each a document of PubMed XML
// or MEDLINE text, imported as files are: name stands for the file in messages.
struct RecordText {
    std::string name;
    std::string text;
};
ImportStats ImportTexts(const std::string& index, const std::vector<RecordText>& texts,
                        const ImportObserver& observer = {}, const ImportOptions& options = {});

} // namespace tamix::server
