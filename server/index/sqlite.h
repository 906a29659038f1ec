// A thin RAII layer over SQLite's C API: a connection and prepared statements.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tamix::server {

class SqliteError : public std::runtime_error {
public:
    // code: SQLite's extended result code; systemErrno: the errno of a failed file call.
    explicit SqliteError(const std::string& what, int code = SQLITE_ERROR, int systemErrno = 0)
        : std::runtime_error(what), code_(code), systemErrno_(systemErrno) {}

    int Code() const { return code_; }
    int SystemErrno() const { return systemErrno_; }
    // The disk is full, or a file size limit (quota, RLIMIT_FSIZE) was reached.
    bool NoSpace() const;

private:
    int code_;
    int systemErrno_;
};

class Statement {
public:
    Statement() = default;
    Statement(sqlite3* db, std::string_view sql);
    Statement(Statement&& other) noexcept : stmt_(other.stmt_) { other.stmt_ = nullptr; }
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { sqlite3_finalize(stmt_); }

    Statement& Bind(int index, std::int64_t value);
    Statement& Bind(int index, std::string_view value);
    Statement& BindBlob(int index, std::string_view bytes);
    // As Bind and BindBlob without a copy: the bytes must outlive the next Reset or Run.
    Statement& BindStatic(int index, std::string_view value);
    Statement& BindBlobStatic(int index, std::string_view bytes);
    Statement& BindDouble(int index, double value);
    // True while a row is ready; false when done. Throws on error.
    bool Step();
    // Runs to the end and resets, for statements that return nothing.
    void Run();
    void Reset();
    sqlite3_stmt* Handle() const { return stmt_; }

    std::int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
    double Double(int column) const { return sqlite3_column_double(stmt_, column); }
    // Text or blob, as bytes.
    std::string Text(int column) const;
    // A blob's bytes without a copy, valid until the next Step or Reset.
    std::string_view Blob(int column) const;

private:
    sqlite3_stmt* stmt_ = nullptr;
};

class Database {
public:
    // Opens (creating when allowed) the file; throws SqliteError on failure.
    Database(const std::string& path, int flags);
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    ~Database() { sqlite3_close_v2(db_); }

    void Exec(const char* sql);
    Statement Prepare(std::string_view sql) { return Statement(db_, sql); }
    sqlite3* Handle() const { return db_; }

private:
    sqlite3* db_ = nullptr;
};

// One read transaction over the statements in its scope: they read one commit, and lock
// the file once rather than once each. Within a transaction already open it does nothing.
class ReadTransaction {
public:
    explicit ReadTransaction(Database& db);
    ReadTransaction(const ReadTransaction&) = delete;
    ReadTransaction& operator=(const ReadTransaction&) = delete;
    ~ReadTransaction();

private:
    sqlite3* db_ = nullptr; // the transaction's, null when nested
};

} // namespace tamix::server
