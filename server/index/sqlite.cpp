#include "server/index/sqlite.h"

#include <cerrno>

namespace tamix::server {

namespace {

// The connection's last error; prefix names what failed. callErrno is errno read at once
// after the failed call: SQLite does not record it for a write that fails in a COMMIT.
SqliteError LastError(sqlite3* db, const std::string& prefix, int callErrno) {
    if (!db) return SqliteError(prefix + "out of memory", SQLITE_NOMEM);
    const int code = sqlite3_extended_errcode(db);
    const int recorded = sqlite3_system_errno(db);
    const bool fileError = (code & 0xff) == SQLITE_IOERR || (code & 0xff) == SQLITE_FULL ||
                           (code & 0xff) == SQLITE_CANTOPEN;
    return SqliteError(prefix + sqlite3_errmsg(db), code,
                       recorded    ? recorded
                       : fileError ? callErrno
                                   : 0);
}

} // namespace

bool SqliteError::NoSpace() const {
    // SQLite says SQLITE_FULL for ENOSPC only; other refusals to grow a file come as a
    // write error that carries the errno.
    if ((code_ & 0xff) == SQLITE_FULL) return true;
    return (code_ & 0xff) == SQLITE_IOERR &&
           (systemErrno_ == ENOSPC || systemErrno_ == EFBIG || systemErrno_ == EDQUOT);
}

Statement::Statement(sqlite3* db, std::string_view sql) {
    if (sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                           &stmt_, nullptr) != SQLITE_OK) {
        const int callErrno = errno;
        throw LastError(db, "prepare " + std::string(sql) + ": ", callErrno);
    }
}

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(stmt_);
        stmt_ = other.stmt_;
        other.stmt_ = nullptr;
    }
    return *this;
}

Statement& Statement::Bind(int index, std::int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
}

Statement& Statement::Bind(int index, std::string_view value) {
    sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
}

Statement& Statement::BindStatic(int index, std::string_view value) {
    sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
    return *this;
}

Statement& Statement::BindBlobStatic(int index, std::string_view bytes) {
    sqlite3_bind_blob(stmt_, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC);
    return *this;
}

Statement& Statement::BindBlob(int index, std::string_view bytes) {
    sqlite3_bind_blob(stmt_, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    return *this;
}

Statement& Statement::BindDouble(int index, double value) {
    sqlite3_bind_double(stmt_, index, value);
    return *this;
}

bool Statement::Step() {
    const int rc = sqlite3_step(stmt_);
    const int callErrno = errno;
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    const SqliteError error = LastError(sqlite3_db_handle(stmt_), "", callErrno);
    sqlite3_reset(stmt_);
    throw error;
}

void Statement::Run() {
    while (Step()) {
    }
    Reset();
}

void Statement::Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

std::string Statement::Text(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                : std::string();
}

std::string_view Statement::Blob(int column) const {
    const void* bytes = sqlite3_column_blob(stmt_, column);
    return bytes ? std::string_view(static_cast<const char*>(bytes),
                                    static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                 : std::string_view();
}

Database::Database(const std::string& path, int flags) {
    if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const int callErrno = errno;
        const SqliteError error = LastError(db_, path + ": ", callErrno);
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw error;
    }
    sqlite3_busy_timeout(db_, 10000);
}

void Database::Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        const int callErrno = errno;
        throw LastError(db_, std::string(sql) + ": ", callErrno);
    }
}

ReadTransaction::ReadTransaction(Database& db) {
    if (!sqlite3_get_autocommit(db.Handle())) return;
    db.Exec("BEGIN");
    db_ = db.Handle();
}

ReadTransaction::~ReadTransaction() {
    // A read has nothing to commit; should its end fail, a rollback ends it all the same,
    // lest the connection keep reading an old commit.
    if (db_ && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

} // namespace tamix::server
