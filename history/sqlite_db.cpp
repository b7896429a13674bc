#include "history/sqlite_db.h"

#include <sqlite3.h>

namespace velorix {

std::string SqliteErrorText(int code, const char* detail) {
  switch (code & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return "locked by another program (another download, or a program reading it)";
    case SQLITE_FULL:
      return "No space left on device";
    case SQLITE_READONLY:
      return "read-only";
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return "Permission denied";
    case SQLITE_NOTADB:
      return "not a history file (not an SQLite database)";
    case SQLITE_CORRUPT:
      return "damaged (" + std::string(sqlite3_errstr(code)) + ")";
    case SQLITE_CANTOPEN:
      return "can't be opened";
    default:
      break;
  }
  std::string text = sqlite3_errstr(code);
  if (detail != nullptr && *detail != '\0' && text != detail) text += std::string(": ") + detail;
  return text;
}

SqliteStatement::SqliteStatement(SqliteDb& db, std::string_view sql) : db_(db) {
  if (db.Handle() == nullptr) return;
  const int code = sqlite3_prepare_v2(db.Handle(), sql.data(), static_cast<int>(sql.size()), &statement_, nullptr);
  if (code != SQLITE_OK) {
    db.Fail(code);
    sqlite3_finalize(statement_);
    statement_ = nullptr;
  }
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(statement_); }

SqliteStatement& SqliteStatement::Bind(int index, long long value) {
  if (statement_ != nullptr) sqlite3_bind_int64(statement_, index, value);
  return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, double value) {
  if (statement_ != nullptr) sqlite3_bind_double(statement_, index, value);
  return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, std::string_view text) {
  if (statement_ != nullptr)
    sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, std::span<const std::uint8_t> blob) {
  // An empty span has no address, which the library takes for NULL.
  if (statement_ != nullptr && blob.empty()) sqlite3_bind_zeroblob(statement_, index, 0);
  else if (statement_ != nullptr)
    sqlite3_bind_blob(statement_, index, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
  return *this;
}

SqliteStatement& SqliteStatement::BindNull(int index) {
  if (statement_ != nullptr) sqlite3_bind_null(statement_, index);
  return *this;
}

bool SqliteStatement::Step() {
  if (statement_ == nullptr) return false;
  const int code = sqlite3_step(statement_);
  if (code == SQLITE_ROW) return true;
  if (code != SQLITE_DONE) db_.Fail(code);
  return false;
}

void SqliteStatement::Reset() {
  if (statement_ == nullptr) return;
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

long long SqliteStatement::Integer(int column) const { return sqlite3_column_int64(statement_, column); }

double SqliteStatement::Real(int column) const { return sqlite3_column_double(statement_, column); }

bool SqliteStatement::IsNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }

std::string SqliteStatement::Text(int column) const {
  const unsigned char* text = sqlite3_column_text(statement_, column);
  if (text == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
}

std::span<const std::uint8_t> SqliteStatement::Blob(int column) const {
  const void* bytes = sqlite3_column_blob(statement_, column);
  const int size = sqlite3_column_bytes(statement_, column);
  if (bytes == nullptr || size <= 0) return {};
  return {static_cast<const std::uint8_t*>(bytes), static_cast<std::size_t>(size)};
}

SqliteDb::SqliteDb(const std::string& path, Access access, int busyMs) {
  // Read and write also to read: after a program was killed mid-transaction
  // the reader is the one that rolls it back (a write-protected file is
  // opened for reading alone all the same).
  const int flags = SQLITE_OPEN_READWRITE | (access == Access::ReadWrite ? SQLITE_OPEN_CREATE : 0) |
                    SQLITE_OPEN_NOFOLLOW;
  const int code = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (code != SQLITE_OK) {
    Fail(code);
    sqlite3_close(db_);
    db_ = nullptr;
    return;
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, busyMs);
}

SqliteDb::~SqliteDb() { sqlite3_close(db_); }

bool SqliteDb::Execute(std::string_view sql) {
  if (db_ == nullptr) return false;
  const std::string text(sql);
  const int code = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr);
  return code == SQLITE_OK || Fail(code);
}

long long SqliteDb::Changes() const { return db_ == nullptr ? 0 : sqlite3_changes64(db_); }

long long SqliteDb::LastRowId() const { return db_ == nullptr ? 0 : sqlite3_last_insert_rowid(db_); }

bool SqliteDb::Fail(int code) {
  if (error_.empty()) error_ = SqliteErrorText(code, db_ != nullptr ? sqlite3_errmsg(db_) : nullptr);
  return false;
}

}  // namespace velorix
