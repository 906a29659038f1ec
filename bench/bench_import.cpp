// Import at scale: sample records into a new index, as `tamix-server import` does, timing
// each slice of records as it goes in. Prints the rate of every slice, the final merge,
// the overall rate and the index's size per record, one line each, so that two builds'
// runs can be set side by side (bench/import_bench.sh does).
//
//   tamix_bench_import RECORDS.xml INDEX [SLICE [MORE.xml...]]
//       RECORDS.xml "-" reads standard input; SLICE: records a slice, default 250000; MORE
//       files are imported after RECORDS.xml
#include "server/index/importer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace tamix::server;

long long FileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s RECORDS.xml INDEX [SLICE]\n", argv[0]);
        return 2;
    }
    const std::string records = argv[1], index = argv[2];
    const long slice = argc > 3 ? std::atol(argv[3]) : 250000;
    for (const char* suffix : {"", "-wal", "-shm", ".lock"})
        ::unlink((index + suffix).c_str());

    // Progress after every batch: a slice ends within a few hundred records of its mark.
    ImportOptions options;
    options.progressEvery = std::chrono::milliseconds(0);
    long nextMark = slice;
    double sliceStart = 0, lastSeconds = 0;
    long lastRecords = 0;
    ImportObserver observer;
    observer.onProgress = [&](const ImportStats& s, bool final) {
        if (final) return;
        lastSeconds = s.seconds;
        lastRecords = s.records;
        while (s.records >= nextMark) {
            std::printf("slice %8ld..%8ld: %8.0f records/s\n", nextMark - slice, nextMark,
                        static_cast<double>(slice) / (s.seconds - sliceStart));
            std::fflush(stdout);
            sliceStart = s.seconds;
            nextMark += slice;
        }
    };
    observer.onProblem = [](const std::string& message) {
        std::fprintf(stderr, "%s\n", message.c_str());
    };
    std::vector<std::string> files = {records};
    for (int i = 4; i < argc; ++i)
        files.push_back(argv[i]);
    const ImportStats stats = ImportFiles(index, files, observer, options);
    // What came after the last report: the rest of the records, then the merge.
    const double merge = stats.seconds - lastSeconds;
    if (lastRecords < stats.records)
        std::printf("(%ld records after the last slice)\n", stats.records - lastRecords);
    std::printf("records loaded: %.1f s; final merge and commit: %.1f s\n", lastSeconds, merge);
    const long long bytes = FileSize(index) + FileSize(index + "-wal");
    std::printf("overall: %ld records in %.1f s: %.0f records/s; index %.0f bytes/record\n",
                stats.records, stats.seconds, stats.records / stats.seconds,
                stats.records > 0 ? static_cast<double>(bytes) / stats.records : 0.0);
    return stats.filesFailed == 0 && stats.records > 0 ? 0 : 1;
}
