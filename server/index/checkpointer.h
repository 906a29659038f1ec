#pragma once

#include "server/index/sqlite.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace tamix::server {

// Copies what a writer committed from the write-ahead log into the index, on a thread and a
// connection of its own, while the writer goes on with its next records: at 10 million
// records the copy took an eighth of the import's writing thread, which alone set its pace.
class Checkpointer {
public:
    // The index must exist, in WAL mode.
    explicit Checkpointer(const std::string& path);
    Checkpointer(const Checkpointer&) = delete;
    Checkpointer& operator=(const Checkpointer&) = delete;
    // Finishes the copy under way, not one only asked for.
    ~Checkpointer();

    // Copies what is committed by now, soon.
    void Request();
    // Returns once what was asked for is copied, or failed to be (the pages then stay in
    // the log, where readers find them, until a later copy or the last connection's
    // close). A writer that waits so before its next transaction finds the log copied
    // whole, and SQLite writes the log from its start again instead of growing it.
    void Wait();

private:
    void Run();

    Database db_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool requested_ = false, running_ = false, stopping_ = false;
    std::thread thread_;
};

} // namespace tamix::server
