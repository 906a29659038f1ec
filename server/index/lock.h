// One writer per index across processes: `import` and `mirror` hold an advisory lock on
// a file beside the index (FILE.lock) for as long as they write. The kernel drops the
// lock when its holder dies, however it dies, so a killed run never blocks the next.
#pragma once

#include <stdexcept>
#include <string>

namespace tamix::server {

// Another process holds the lock; what() names it (pid, command, since when).
class IndexBusy : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class IndexLock {
public:
    // Takes the lock without waiting. Throws IndexBusy when another process holds it, and
    // std::runtime_error when the lock file cannot be made.
    explicit IndexLock(const std::string& index);
    ~IndexLock();
    IndexLock(const IndexLock&) = delete;
    IndexLock& operator=(const IndexLock&) = delete;

    const std::string& index() const { return index_; }

private:
    std::string index_;
    int fd_ = -1;
};

// The lock file of an index.
std::string LockFileOf(const std::string& index);

} // namespace tamix::server
