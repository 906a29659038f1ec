#include "server/index/checkpointer.h"

namespace tamix::server {

Checkpointer::Checkpointer(const std::string& path) : db_(path, SQLITE_OPEN_READWRITE) {
    // A connection opens the log when it first reads; a checkpoint before that copies
    // nothing.
    db_.Exec("SELECT count(*) FROM sqlite_master");
    thread_ = std::thread([this] { Run(); });
}

Checkpointer::~Checkpointer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void Checkpointer::Request() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requested_ = true;
    }
    changed_.notify_all();
}

void Checkpointer::Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !requested_ && !running_; });
}

void Checkpointer::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        changed_.wait(lock, [this] { return requested_ || stopping_; });
        if (stopping_) break;
        requested_ = false;
        running_ = true;
        lock.unlock();
        // Passive: it never holds up the writer, and copies only what is committed.
        sqlite3_wal_checkpoint_v2(db_.Handle(), "main", SQLITE_CHECKPOINT_PASSIVE, nullptr,
                                  nullptr);
        lock.lock();
        running_ = false;
        changed_.notify_all();
    }
}

} // namespace tamix::server
