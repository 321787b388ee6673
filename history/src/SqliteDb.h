#pragma once
// A thin owner of an SQLite connection and its prepared statements, for the
// history's writer and readers: statements are prepared once and reused, and
// every failure carries SQLite's own words and result code.

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace history::sql {

class Statement {
public:
    Statement() = default;
    Statement(sqlite3* db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;

    explicit operator bool() const { return stmt_ != nullptr; }
    sqlite3_stmt* Get() const { return stmt_; }

    // Clears the bindings and readies the statement for another run.
    Statement& Reset();
    Statement& Bind(int index, std::int64_t value);
    Statement& Bind(int index, double value);
    Statement& Bind(int index, const std::string& text);
    Statement& BindBlob(int index, const std::vector<std::uint8_t>& bytes);
    Statement& BindNull(int index);

    // SQLITE_ROW, SQLITE_DONE or the error code.
    int Step();

    bool IsNull(int column) const;
    std::int64_t Int(int column) const;
    double Real(int column) const;
    std::string Text(int column) const;
    std::vector<std::uint8_t> Blob(int column) const;

private:
    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
};

class Connection {
public:
    // Opens with the flags of sqlite3_open_v2; null and the reason on failure.
    static std::unique_ptr<Connection> Open(const std::string& path, int flags, std::string& error, int* code = nullptr);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    sqlite3* Handle() const { return db_; }
    // Runs statements without results; false with the reason.
    bool Exec(const std::string& sql, std::string& error);
    // The one value of a query that yields one (a pragma); false with the reason.
    bool QueryInt(const std::string& sql, std::int64_t& value, std::string& error);
    // A statement prepared once for this connection and reset for each use;
    // null with the reason in LastError().
    Statement* Cached(std::string_view sql);
    // A statement of its own (for cursors that stay open side by side).
    Statement Prepare(std::string_view sql, std::string& error);

    std::string LastError() const;
    int LastCode() const;

private:
    explicit Connection(sqlite3* db) : db_(db) {}
    sqlite3* db_;
    std::map<std::string, Statement, std::less<>> cache_;
};

// "disk I/O error (code 10)" style text for a result code.
std::string CodeText(int code);

}  // namespace history::sql
