// `tamix-server import`: records from files into the index. Reading and parsing run on a
// thread of their own while this one writes, so both cores work.
#pragma once

#include "server/records/article.h"

#include <functional>
#include <string>
#include <vector>

namespace tamix::server {

struct ImportStats {
    long records = 0;
    long deletions = 0;
    long skipped = 0;
    std::size_t filesDone = 0;
    std::size_t filesFailed = 0;
    double seconds = 0;
};

struct ImportObserver {
    // Now and then while records go in, and once at the end.
    std::function<void(const ImportStats&, bool final)> onProgress;
    // A record that was not indexed, or a file that could not be read to its end.
    std::function<void(const std::string& message)> onProblem;
};

// Imports the files in order, committing in large transactions; throws SqliteError when
// the index cannot be written.
ImportStats ImportFiles(const std::string& index, const std::vector<std::string>& files,
                        const ImportObserver& observer = {});

} // namespace tamix::server
