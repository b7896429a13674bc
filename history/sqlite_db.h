#pragma once

// A thin owner of an SQLite connection and its prepared statements, with the
// library's result codes turned into texts an operator can act on.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace velorix {

class SqliteDb;

// One prepared statement; parameters are bound from 1, columns read from 0.
class SqliteStatement {
 public:
  SqliteStatement(SqliteDb& db, std::string_view sql);
  ~SqliteStatement();
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  bool ok() const { return statement_ != nullptr; }
  SqliteStatement& Bind(int index, long long value);
  SqliteStatement& Bind(int index, double value);
  SqliteStatement& Bind(int index, std::string_view text);
  SqliteStatement& Bind(int index, std::span<const std::uint8_t> blob);
  SqliteStatement& BindNull(int index);
  // One step: true while a row is there; false at the end or on an error
  // (the connection's Error() says which).
  bool Step();
  // Ready to run again with new parameters.
  void Reset();

  long long Integer(int column) const;
  double Real(int column) const;
  bool IsNull(int column) const;
  std::string Text(int column) const;
  std::span<const std::uint8_t> Blob(int column) const;

 private:
  SqliteDb& db_;
  sqlite3_stmt* statement_ = nullptr;
};

class SqliteDb {
 public:
  enum class Access { ReadOnly, ReadWrite };
  // Opens (ReadWrite: creates when missing; ReadOnly: only when there) the
  // database at `path`, a UTF-8 name; a symbolic link as its last part is
  // refused. Waits up to
  // `busyMs` for another connection's lock before giving up.
  SqliteDb(const std::string& path, Access access, int busyMs);
  ~SqliteDb();
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;

  bool ok() const { return db_ != nullptr && error_.empty(); }
  // Runs statements that return no rows; false on the first failure.
  bool Execute(std::string_view sql);
  long long Changes() const;
  long long LastRowId() const;

  // Why the last call failed, in words ("" when it did not); cleared by
  // ClearError.
  const std::string& Error() const { return error_; }
  void ClearError() { error_.clear(); }
  // Records the connection's latest failure (`code` from the library).
  bool Fail(int code);

  sqlite3* Handle() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
  std::string error_;
};

// The words for one of the library's result codes: the operator's own for
// those that happen to a file on a bench PC (locked, full disk, read-only,
// not a database), the library's text for the rest.
std::string SqliteErrorText(int code, const char* detail);

}  // namespace velorix
