#include "history/history.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "archive/archive_download.h"
#include "archive/workbook_cells.h"
#include "fileio/safe_replace.h"
#include "history/sqlite_db.h"

namespace velorix {
namespace {

// The layout this program writes and reads, as PRAGMA user_version.
constexpr int SCHEMA_VERSION = 1;
// Another download storing at the same moment holds the file for a few
// milliseconds; a program reading it, longer. Beyond this, give up.
constexpr int BUSY_WAIT_MS = 5000;

constexpr const char* SCHEMA = R"(
CREATE TABLE downloads (
  id          INTEGER PRIMARY KEY,
  finished    TEXT NOT NULL,     -- local time of the PC, YYYY-MM-DD HH:MM:SS
  port        TEXT NOT NULL,     -- COM number and device
  kind        TEXT NOT NULL,     -- last N, new records, whole archive ...
  pointer     INTEGER NOT NULL,  -- the instrument's archive pointer
  first_index INTEGER NOT NULL,  -- ring index of the first slot read
  slots       INTEGER NOT NULL,  -- ring slots read
  records     INTEGER NOT NULL,  -- of them, slots that held a result
  new_records INTEGER NOT NULL,  -- of them, records the history did not have
  last_image  BLOB NOT NULL,     -- the 32 bytes of the slot before the pointer
  empty_cells BLOB NOT NULL      -- the empty-cell table as it came, 48 bytes; empty when not read
);
CREATE TABLE records (
  id          INTEGER PRIMARY KEY,
  ring_index  INTEGER NOT NULL,
  image       BLOB NOT NULL,     -- the record's 32 bytes as the instrument sent them
  download    INTEGER NOT NULL REFERENCES downloads (id),  -- the first to read it
  kind        TEXT NOT NULL,     -- 'sample' or 'empty cell'
  cell        INTEGER NOT NULL,  -- Nc, the measuring cell
  sample      INTEGER NOT NULL,
  temperature INTEGER,           -- degrees Celsius; NULL without a sensor
  tested      TEXT,              -- YYYY-MM-DD HH:MM:SS; NULL when the clock bytes are no date
  u           REAL,              -- volts
  f           REAL,              -- hertz
  ex_co       REAL,              -- Ex of a sample, Co in pF of an empty cell
  tg_d        REAL,              -- tgDx of a sample, tgDo of an empty cell
  UNIQUE (ring_index, image)
);
CREATE INDEX records_by_test ON records (tested);
CREATE TABLE empty_cells (
  download    INTEGER NOT NULL REFERENCES downloads (id),
  cell        INTEGER NOT NULL,  -- 1..6
  co_pf       REAL,
  tg_do       REAL,
  PRIMARY KEY (download, cell)
);
)";

std::filesystem::path FileSystemPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// Why the file at `path` (links already followed) can't be read as a
// history; empty when it can.
std::string InputFileProblem(const std::string& path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(FileSystemPath(path), error);
  if (error) return error.value() == ENOENT || status.type() == std::filesystem::file_type::not_found
                        ? SystemErrorText(ENOENT)
                        : error.message();
  if (status.type() == std::filesystem::file_type::directory) return SystemErrorText(EISDIR);
  if (status.type() != std::filesystem::file_type::regular) return "Not a regular file";
  return {};
}

// "YYYY-MM-DD HH:MM:SS", whatever the process locale.
std::string DateTimeText(int year, int month, int day, int hour, int minute, int second) {
  std::string text;
  const auto put = [&text](int value, int digits, char after) {
    std::string number = std::to_string(value < 0 ? 0 : value);
    if (static_cast<int>(number.size()) < digits) number.insert(0, static_cast<std::size_t>(digits) - number.size(), '0');
    text += number;
    if (after != '\0') text += after;
  };
  put(year, 4, '-');
  put(month, 2, '-');
  put(day, 2, ' ');
  put(hour, 2, ':');
  put(minute, 2, ':');
  put(second, 2, '\0');
  return text;
}

std::string TestTimeText(const ArchiveRecord& record) {
  const std::optional<TestTime> t = TestTimeOf(record);
  if (!t) return {};
  return DateTimeText(t->year, t->month, t->day, t->hour, t->minute, t->second);
}

}  // namespace

struct History::Connection {
  Connection(const std::string& path, History::Access access)
      : db(path, access == History::Access::ReadWrite ? SqliteDb::Access::ReadWrite : SqliteDb::Access::ReadOnly,
           BUSY_WAIT_MS) {}
  SqliteDb db;
  bool empty = false;  // no schema yet (read only: nothing stored)
};

std::string HistoryTimeText(std::time_t time) {
  std::tm local{};
  if (localtime_r(&time, &local) == nullptr) return "unknown";
  return DateTimeText(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                      local.tm_sec);
}

History::History(std::unique_ptr<Connection> connection) : connection_(std::move(connection)) {}
History::~History() = default;

std::unique_ptr<History> History::Open(const std::string& path, Access access, std::string& problem) {
  problem.clear();
  if (path.empty()) {
    problem = SystemErrorText(ENOENT);
    return nullptr;
  }
  // Written without asking anyone, like the settings file: a link another
  // user planted is not followed, and nothing but a regular file is opened.
  std::string resolved;
  problem = ResolveLinks(path, resolved, true);
  if (problem.empty()) problem = access == Access::ReadWrite ? CheckOutputTarget(resolved) : InputFileProblem(resolved);
  if (!problem.empty()) return nullptr;

  std::error_code ignored;
  const bool existed = std::filesystem::exists(FileSystemPath(resolved), ignored);
  auto connection = std::make_unique<Connection>(resolved, access);
  SqliteDb& db = connection->db;
  const auto fail = [&](std::string why) -> std::unique_ptr<History> {
    problem = std::move(why);
    connection.reset();
    // A file made here and left empty (a full disk, say) is no history: gone again.
    if (!existed && std::filesystem::file_size(FileSystemPath(resolved), ignored) == 0)
      std::filesystem::remove(FileSystemPath(resolved), ignored);
    return nullptr;
  };
  long long version = 0, tables = 0;
  {
    SqliteStatement read(db, "SELECT (SELECT user_version FROM pragma_user_version),"
                             " (SELECT count(*) FROM sqlite_master)");
    if (read.Step()) {
      version = read.Integer(0);
      tables = read.Integer(1);
    }
  }
  if (!db.ok()) return fail(db.Error());
  if (version > SCHEMA_VERSION) return fail("written by a newer version of the program");
  if (version == 0 && tables > 0) return fail("not a history file (an SQLite database with other tables)");
  if (version == 0 && access == Access::ReadOnly) connection->empty = true;
  if (version == 0 && access == Access::ReadWrite) {
    // Two programs may make it at once: the second finds it made.
    if (!db.Execute("BEGIN IMMEDIATE")) return fail(db.Error());
    long long again = 0;
    {
      SqliteStatement read(db, "SELECT user_version FROM pragma_user_version");
      if (read.Step()) again = read.Integer(0);
    }
    if ((again == 0 &&
         !(db.Execute(SCHEMA) && db.Execute("PRAGMA user_version = " + std::to_string(SCHEMA_VERSION)))) ||
        !db.Execute("COMMIT")) {
      const std::string why = db.Error();
      db.Execute("ROLLBACK");
      return fail(why);
    }
  }
  return std::unique_ptr<History>(new History(std::move(connection)));
}

std::optional<StoredDownload> History::Add(const DownloadFacts& download, std::string& problem) {
  SqliteDb& db = connection_->db;
  db.ClearError();
  StoredDownload stored;
  const auto failed = [&]() -> std::optional<StoredDownload> {
    problem = db.Error();
    db.ClearError();
    db.Execute("ROLLBACK");
    db.ClearError();
    return std::nullopt;
  };
  if (!db.Execute("BEGIN IMMEDIATE")) return failed();

  const int slots = static_cast<int>(download.slotsRead.size());
  const int lastSlot = slots - 1;
  // Where the next download of new records picks up: the slot before the
  // pointer, the last one read (or, when none was read, the one checked).
  const RecordImage& lastImage =
      lastSlot >= 0 ? download.slotsRead[static_cast<std::size_t>(lastSlot)].image : download.lastImage;
  {
    SqliteStatement insert(db,
                           // A download row deleted by hand (the way to move the mark back) leaves its
                           // empty-cell rows and records behind; a new row never takes its id, so they
                           // neither block this download nor pass for its own.
                           "INSERT INTO downloads (id, finished, port, kind, pointer, first_index, slots, records,"
                           " new_records, last_image, empty_cells) VALUES (1 + max("
                           "coalesce((SELECT max(id) FROM downloads), 0),"
                           " coalesce((SELECT max(download) FROM empty_cells), 0),"
                           " coalesce((SELECT download FROM records ORDER BY id DESC LIMIT 1), 0)),"
                           " ?, ?, ?, ?, ?, ?, 0, 0, ?, ?)");
    insert.Bind(1, HistoryTimeText(download.finished))
        .Bind(2, download.port)
        .Bind(3, download.kind)
        .Bind(4, static_cast<long long>(download.pointer))
        .Bind(5, static_cast<long long>(download.firstIndex))
        .Bind(6, static_cast<long long>(slots))
        .Bind(7, std::span<const std::uint8_t>(lastImage))
        .Bind(8, download.emptyCellBytes);
    insert.Step();
  }
  if (!db.Error().empty()) return failed();
  const long long id = db.LastRowId();

  if (download.emptyCellBytes.size() == EMPTY_CELL_TABLE_BYTES) {
    EmptyCellTable table{};
    for (int i = 0; i < EMPTY_CELL_COUNT; ++i) {
      table.co[i] = FloatFromLittleEndian(download.emptyCellBytes.data() + 4 * i);
      table.tgDo[i] = FloatFromLittleEndian(download.emptyCellBytes.data() + 4 * (EMPTY_CELL_COUNT + i));
    }
    SqliteStatement insert(db, "INSERT INTO empty_cells (download, cell, co_pf, tg_do) VALUES (?, ?, ?, ?)");
    for (int i = 0; i < EMPTY_CELL_COUNT && db.Error().empty(); ++i) {
      insert.Bind(1, id).Bind(2, static_cast<long long>(i + 1));
      insert.Bind(3, EmptyCellPicofarads(table, i)).Bind(4, static_cast<double>(table.tgDo[i]));
      insert.Step();
      insert.Reset();
    }
  }
  if (!db.Error().empty()) return failed();

  {
    SqliteStatement insert(db,
                           "INSERT OR IGNORE INTO records (ring_index, image, download, kind, cell, sample,"
                           " temperature, tested, u, f, ex_co, tg_d) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    for (int k = 0; k < slots && db.Error().empty(); ++k) {
      const ArchiveRecord& r = download.slotsRead[static_cast<std::size_t>(k)];
      if (!isResult(r)) continue;
      const long long index = (download.firstIndex + k) % ARCHIVE_RING_SIZE;
      insert.Bind(1, index).Bind(2, std::span<const std::uint8_t>(r.image)).Bind(3, id);
      insert.Bind(4, std::string_view(r.kind() == KIND_EMPTY_CELL ? "empty cell" : "sample"));
      insert.Bind(5, static_cast<long long>(r.nc())).Bind(6, static_cast<long long>(r.sample()));
      if (hasTemperature(r)) insert.Bind(7, static_cast<long long>(r.temp()));
      const std::string tested = TestTimeText(r);
      if (!tested.empty()) insert.Bind(8, tested);
      insert.Bind(9, static_cast<double>(r.u())).Bind(10, static_cast<double>(r.f()));
      insert.Bind(11, static_cast<double>(r.exCo())).Bind(12, static_cast<double>(r.tgD()));
      insert.Step();
      ++stored.records;
      if (db.Error().empty() && db.Changes() == 1) ++stored.fresh;
      insert.Reset();
    }
  }
  if (!db.Error().empty()) return failed();

  {
    SqliteStatement update(db, "UPDATE downloads SET records = ?, new_records = ? WHERE id = ?");
    update.Bind(1, static_cast<long long>(stored.records)).Bind(2, static_cast<long long>(stored.fresh)).Bind(3, id);
    update.Step();
  }
  if (!db.Error().empty() || !db.Execute("COMMIT")) return failed();
  return stored;
}

std::optional<DownloadMark> History::LastMark(std::string& problem) {
  if (connection_->empty) return std::nullopt;
  SqliteDb& db = connection_->db;
  db.ClearError();
  SqliteStatement read(db, "SELECT pointer, last_image FROM downloads ORDER BY id DESC LIMIT 1");
  if (!read.Step()) {
    problem = db.Error();
    return std::nullopt;
  }
  const std::span<const std::uint8_t> image = read.Blob(1);
  const long long pointer = read.Integer(0);
  if (image.size() != RECORD_BYTES || pointer < 0 || pointer >= ARCHIVE_RING_SIZE) return std::nullopt;
  DownloadMark mark;
  mark.pointer = static_cast<int>(pointer);
  std::copy(image.begin(), image.end(), mark.lastImage.begin());
  return mark;
}

std::optional<SelectedRecords> History::Select(const TestTimeRange& range, std::string& problem) {
  SelectedRecords selected;
  if (connection_->empty) return selected;
  SqliteDb& db = connection_->db;
  db.ClearError();
  {
    SqliteStatement read(db,
                         "SELECT image FROM records WHERE (?1 = '' OR tested >= ?1) AND (?2 = '' OR tested <= ?2)"
                         " ORDER BY id");
    read.Bind(1, range.from).Bind(2, range.to);
    while (read.Step()) {
      const std::span<const std::uint8_t> image = read.Blob(0);
      ArchiveRecord record;
      std::copy_n(image.begin(), std::min<std::size_t>(image.size(), RECORD_BYTES), record.image.begin());
      selected.records.push_back(record);
    }
  }
  if (db.Error().empty()) {
    // The table as it stood at the range's end: the latest download up to
    // then, or the first one when all came later.
    SqliteStatement latest(db,
                           "SELECT empty_cells FROM downloads WHERE length(empty_cells) = 48 AND (?1 = '' OR finished <= ?1)"
                           " ORDER BY id DESC LIMIT 1");
    latest.Bind(1, range.to);
    std::span<const std::uint8_t> bytes;
    std::vector<std::uint8_t> copy;
    if (latest.Step()) {
      bytes = latest.Blob(0);
    } else if (db.Error().empty()) {
      SqliteStatement first(db, "SELECT empty_cells FROM downloads WHERE length(empty_cells) = 48 ORDER BY id LIMIT 1");
      if (first.Step()) {
        const std::span<const std::uint8_t> b = first.Blob(0);
        copy.assign(b.begin(), b.end());
        bytes = copy;
      }
    }
    if (bytes.size() == EMPTY_CELL_TABLE_BYTES) {
      for (int i = 0; i < EMPTY_CELL_COUNT; ++i) {
        selected.emptyCells.co[i] = FloatFromLittleEndian(bytes.data() + 4 * i);
        selected.emptyCells.tgDo[i] = FloatFromLittleEndian(bytes.data() + 4 * (EMPTY_CELL_COUNT + i));
      }
      selected.hasTable = true;
    }
  }
  if (!db.Error().empty()) {
    problem = db.Error();
    return std::nullopt;
  }
  return selected;
}

std::optional<HistorySummary> History::Summarize(std::string& problem) {
  HistorySummary summary;
  if (connection_->empty) return summary;
  SqliteDb& db = connection_->db;
  db.ClearError();
  {
    SqliteStatement read(db,
                         "SELECT count(*), total(kind = 'sample'), total(kind = 'empty cell'), total(tested IS NULL),"
                         " min(tested), max(tested), (SELECT count(*) FROM downloads) FROM records");
    if (read.Step()) {
      summary.records = read.Integer(0);
      summary.samples = read.Integer(1);
      summary.emptyCellRecords = read.Integer(2);
      summary.undated = read.Integer(3);
      summary.firstTest = read.Text(4);
      summary.lastTest = read.Text(5);
      summary.downloads = read.Integer(6);
    }
  }
  {
    SqliteStatement read(db,
                         "SELECT finished, port, kind, pointer, records, new_records FROM downloads"
                         " ORDER BY id DESC LIMIT 1");
    if (read.Step()) {
      summary.lastFinished = read.Text(0);
      summary.lastPort = read.Text(1);
      summary.lastKind = read.Text(2);
      summary.lastPointer = static_cast<int>(read.Integer(3));
      summary.lastRecords = static_cast<int>(read.Integer(4));
      summary.lastFresh = static_cast<int>(read.Integer(5));
    }
  }
  if (!db.Error().empty()) {
    problem = db.Error();
    return std::nullopt;
  }
  return summary;
}

}  // namespace velorix
