#include "SqliteDb.h"

namespace history::sql {

Statement::~Statement() {
    if (stmt_) sqlite3_finalize(stmt_);
}

Statement::Statement(Statement&& other) noexcept : db_(other.db_), stmt_(other.stmt_) { other.stmt_ = nullptr; }

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        if (stmt_) sqlite3_finalize(stmt_);
        db_ = other.db_;
        stmt_ = other.stmt_;
        other.stmt_ = nullptr;
    }
    return *this;
}

Statement& Statement::Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    return *this;
}

Statement& Statement::Bind(int index, std::int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
}

Statement& Statement::Bind(int index, double value) {
    sqlite3_bind_double(stmt_, index, value);
    return *this;
}

Statement& Statement::Bind(int index, const std::string& text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
}

Statement& Statement::BindBlob(int index, const std::vector<std::uint8_t>& bytes) {
    // An empty blob is still a blob (zero bins), not NULL.
    static const std::uint8_t kNone = 0;
    sqlite3_bind_blob(stmt_, index, bytes.empty() ? &kNone : bytes.data(), static_cast<int>(bytes.size()),
                      SQLITE_TRANSIENT);
    return *this;
}

Statement& Statement::BindNull(int index) {
    sqlite3_bind_null(stmt_, index);
    return *this;
}

int Statement::Step() { return sqlite3_step(stmt_); }

bool Statement::IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
std::int64_t Statement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }
double Statement::Real(int column) const { return sqlite3_column_double(stmt_, column); }

std::string Statement::Text(int column) const {
    const auto* text = sqlite3_column_text(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    return text ? std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size)) : std::string();
}

std::vector<std::uint8_t> Statement::Blob(int column) const {
    const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
    const int size = sqlite3_column_bytes(stmt_, column);
    if (!bytes || size <= 0) return {};
    return std::vector<std::uint8_t>(bytes, bytes + size);
}

std::unique_ptr<Connection> Connection::Open(const std::string& path, int flags, std::string& error, int* code) {
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (code) *code = rc;
    if (rc != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db) : CodeText(rc);
        if (db) sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_extended_result_codes(db, 0);
    return std::unique_ptr<Connection>(new Connection(db));
}

Connection::~Connection() {
    cache_.clear();  // statements first, so that the close is not deferred
    sqlite3_close_v2(db_);
}

bool Connection::Exec(const std::string& sql, std::string& error) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
    if (rc == SQLITE_OK) return true;
    error = message ? message : CodeText(rc);
    sqlite3_free(message);
    return false;
}

bool Connection::QueryInt(const std::string& sql, std::int64_t& value, std::string& error) {
    Statement stmt = Prepare(sql, error);
    if (!stmt) return false;
    const int rc = stmt.Step();
    if (rc == SQLITE_ROW) {
        value = stmt.Int(0);
        return true;
    }
    if (rc == SQLITE_DONE) {
        error = "no value from: " + sql;
        return false;
    }
    error = LastError();
    return false;
}

Statement* Connection::Cached(std::string_view sql) {
    auto found = cache_.find(sql);
    if (found != cache_.end()) {
        found->second.Reset();
        return &found->second;
    }
    std::string error;
    Statement stmt = Prepare(sql, error);
    if (!stmt) return nullptr;
    return &cache_.emplace(std::string(sql), std::move(stmt)).first->second;
}

Statement Connection::Prepare(std::string_view sql, std::string& error) {
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &stmt,
                                      nullptr);
    if (rc != SQLITE_OK) {
        error = sqlite3_errmsg(db_);
        return {};
    }
    return Statement(db_, stmt);
}

std::string Connection::LastError() const { return sqlite3_errmsg(db_); }
int Connection::LastCode() const { return sqlite3_errcode(db_); }

std::string CodeText(int code) { return std::string(sqlite3_errstr(code)) + " (code " + std::to_string(code) + ")"; }

}  // namespace history::sql
