#include "history/HistoryReader.h"

#include "Schema.h"
#include "SqliteDb.h"

#include <algorithm>
#include <limits>
#include <chrono>
#include <filesystem>
#include <map>
#include <queue>
#include <thread>

namespace history {

namespace {

// A device's samples are keyed by time, so a cursor over them meets each time
// once, in order. A damaged file can break that; a reader that went on could
// go round the same rows for ever.
bool InKeyOrder(std::int64_t previous, std::int64_t time, bool backward) {
    return backward ? time < previous : time > previous;
}

std::string OutOfOrder(const std::string& device, std::int64_t timeMs) {
    return "the history is damaged: the samples of " + device + " are out of order at " + std::to_string(timeMs) + " ms";
}

namespace fs = std::filesystem;

// file:<path>?immutable=1 for a copy the reader cannot attach a WAL index to
// (a read-only folder without the -shm file).
std::string ImmutableUri(const std::string& path) {
    std::string uri = "file:";
    for (char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            static const char* hex = "0123456789ABCDEF";
            uri += '%';
            uri += hex[(static_cast<unsigned char>(c) >> 4) & 0xF];
            uri += hex[static_cast<unsigned char>(c) & 0xF];
        } else {
            uri += c;
        }
    }
    return uri + "?immutable=1";
}

// Opens a history database read-only and checks that it is one.
std::unique_ptr<sql::Connection> OpenForReading(const std::string& path, std::string& error) {
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        error = "no such file: " + path;
        return nullptr;
    }
    if (fs::is_directory(path, ec)) {
        error = path + " is a folder, not a history database";
        return nullptr;
    }
    auto db = sql::Connection::Open(path, SQLITE_OPEN_READONLY, error);
    if (!db) {
        error = "cannot open " + path + ": " + error;
        return nullptr;
    }
    sqlite3_busy_timeout(db->Handle(), 5000);
    schema::Kind kind = schema::Identify(*db, error);
    if (kind == schema::Kind::Failed && db->LastCode() == SQLITE_CANTOPEN) {
        // A WAL database in a folder where the reader may not create the
        // shared-memory file: read the file as it is.
        std::string again;
        auto fixed = sql::Connection::Open(ImmutableUri(path), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, again);
        if (fixed) {
            db = std::move(fixed);
            kind = schema::Identify(*db, error);
        }
    }
    switch (kind) {
    case schema::Kind::Ours: return db;
    case schema::Kind::Empty: error = path + " is not a history database (an empty database)"; return nullptr;
    case schema::Kind::Failed:
        if (db->LastCode() == SQLITE_NOTADB)
            error = path + " is not a history database (not an SQLite database)";
        else
            error = "cannot read " + path + ": " + error;
        return nullptr;
    default: error = path + " is " + error; return nullptr;
    }
}

}  // namespace

struct HistoryReader::Db {
    std::unique_ptr<sql::Connection> conn;
    std::map<std::int64_t, schema::Setup> setups;
    // Statements kept for reuse; one taken out is in use (a callback may
    // query the reader again while a cursor is open).
    std::multimap<std::string, sql::Statement> idle;

    sql::Statement Take(const std::string& text, std::string& error) {
        auto found = idle.find(text);
        if (found != idle.end()) {
            sql::Statement stmt = std::move(found->second);
            idle.erase(found);
            stmt.Reset();
            return stmt;
        }
        return conn->Prepare(text, error);
    }
    void Give(const std::string& text, sql::Statement stmt) {
        if (!stmt) return;
        stmt.Reset();
        idle.emplace(text, std::move(stmt));
    }

    // The device's id; 0 when the history has no device by that name.
    bool DeviceId(const std::string& name, std::int64_t& id, std::string& error) {
        const std::string text = "SELECT id FROM devices WHERE name = ?1";
        sql::Statement stmt = Take(text, error);
        if (!stmt) return false;
        stmt.Bind(1, name);
        const int rc = stmt.Step();
        id = rc == SQLITE_ROW ? stmt.Int(0) : 0;
        bool ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
        if (!ok) error = conn->LastError();
        Give(text, std::move(stmt));
        return ok;
    }

    const schema::Setup* SetupOf(std::int64_t id, std::string& error) {
        if (auto found = setups.find(id); found != setups.end()) return &found->second;
        const std::string text = "SELECT port, address, flow, interval_s, bins FROM setups WHERE id = ?1";
        sql::Statement stmt = Take(text, error);
        if (!stmt) return nullptr;
        stmt.Bind(1, id);
        const schema::Setup* result = nullptr;
        if (stmt.Step() == SQLITE_ROW) {
            schema::Setup setup;
            setup.port = static_cast<std::int32_t>(stmt.Int(0));
            setup.address = static_cast<std::int32_t>(stmt.Int(1));
            setup.flow = stmt.Real(2);
            setup.intervalSeconds = static_cast<std::int32_t>(stmt.Int(3));
            if (schema::UnpackBins(stmt.Blob(4), setup.binSizes))
                result = &setups.emplace(id, std::move(setup)).first->second;
            else
                error = "the stored setup " + std::to_string(id) + " cannot be read";
        } else {
            error = "a sample names the setup " + std::to_string(id) + ", which the history does not hold";
        }
        Give(text, std::move(stmt));
        return result;
    }

    // The sample in the current row of a statement selecting
    // time_ms, setup_id, flags, comm, counts, analog.
    bool Record(const sql::Statement& stmt, const std::string& device, SampleRecord& sample, std::string& error) {
        sample = SampleRecord{};
        sample.device = device;
        sample.timeMs = stmt.Int(0);
        const schema::Setup* setup = SetupOf(stmt.Int(1), error);
        if (!setup) return false;
        sample.port = setup->port;
        sample.address = setup->address;
        sample.flow = setup->flow;
        sample.intervalSeconds = setup->intervalSeconds;
        sample.binSizes = setup->binSizes;
        sample.counterFlags = static_cast<std::uint8_t>(stmt.Int(2));
        sample.commStatus = static_cast<std::int32_t>(stmt.Int(3));
        // A count per bin size, or the sample is not one the writer made: a
        // reader would otherwise pair counts with the wrong sizes or none.
        if (!schema::UnpackCounts(stmt.Blob(4), sample.cumulativeRaw) ||
            sample.cumulativeRaw.size() != sample.binSizes.size() ||
            (!stmt.IsNull(5) && !schema::UnpackAnalog(stmt.Blob(5), sample.analog))) {
            error = "the stored sample of " + device + " at " + std::to_string(sample.timeMs) + " ms cannot be read";
            return false;
        }
        return true;
    }
};

HistoryReader::HistoryReader(std::unique_ptr<Db> db) : db_(std::move(db)) {}
HistoryReader::~HistoryReader() = default;

std::unique_ptr<HistoryReader> HistoryReader::Open(const std::string& path, std::string& error) {
    auto conn = OpenForReading(path, error);
    if (!conn) return nullptr;
    auto db = std::make_unique<Db>();
    db->conn = std::move(conn);
    return std::unique_ptr<HistoryReader>(new HistoryReader(std::move(db)));
}

std::vector<std::string> HistoryReader::DeviceNames() {
    lastError_.clear();
    std::vector<std::string> names;
    sql::Statement* all = db_->conn->Cached("SELECT name FROM devices ORDER BY name");
    if (!all) {
        lastError_ = db_->conn->LastError();
        return names;
    }
    while (all->Step() == SQLITE_ROW) names.push_back(all->Text(0));
    all->Reset();
    return names;
}

std::vector<DeviceSpan> HistoryReader::Devices() {
    lastError_.clear();
    std::vector<DeviceSpan> spans;
    std::vector<std::pair<std::int64_t, std::string>> devices;
    sql::Connection& conn = *db_->conn;
    sql::Statement* all = conn.Cached("SELECT id, name FROM devices ORDER BY name");
    if (!all) {
        lastError_ = conn.LastError();
        return spans;
    }
    while (all->Step() == SQLITE_ROW) devices.emplace_back(all->Int(0), all->Text(1));
    all->Reset();
    for (const auto& [id, name] : devices) {
        DeviceSpan span;
        span.device = name;
        sql::Statement* range = conn.Cached("SELECT min(time_ms), max(time_ms), count(*) FROM samples WHERE device_id = ?1");
        sql::Statement* newest =
            conn.Cached("SELECT setup_id FROM samples WHERE device_id = ?1 ORDER BY time_ms DESC LIMIT 1");
        sql::Statement* event =
            conn.Cached("SELECT port, address FROM events WHERE device_id = ?1 ORDER BY time_ms DESC LIMIT 1");
        if (!range || !newest || !event) {
            lastError_ = conn.LastError();
            return spans;
        }
        range->Bind(1, id);
        if (range->Step() == SQLITE_ROW && !range->IsNull(0)) {
            span.firstMs = range->Int(0);
            span.lastMs = range->Int(1);
            span.samples = static_cast<std::uint64_t>(range->Int(2));
        }
        newest->Bind(1, id);
        event->Bind(1, id);
        if (newest->Step() == SQLITE_ROW) {
            std::string error;
            if (const schema::Setup* setup = db_->SetupOf(newest->Int(0), error)) {
                span.port = setup->port;
                span.address = setup->address;
            }
        } else if (event->Step() == SQLITE_ROW) {
            span.port = static_cast<std::int32_t>(event->Int(0));
            span.address = static_cast<std::int32_t>(event->Int(1));
        }
        range->Reset();
        newest->Reset();
        event->Reset();
        spans.push_back(std::move(span));
    }
    return spans;
}

bool HistoryReader::ForEachSample(const std::string& device, std::int64_t fromMs, std::int64_t toMs,
                                  std::size_t maxCount, bool backward,
                                  const std::function<bool(const SampleRecord&)>& each, std::string& error) {
    std::int64_t id = 0;
    if (!db_->DeviceId(device, id, error)) return false;
    if (id == 0 || fromMs > toMs) return true;
    const std::string text = backward ? schema::kSelectDeviceSamplesBackward : schema::kSelectDeviceSamplesForward;
    sql::Statement stmt = db_->Take(text, error);
    if (!stmt) return false;
    stmt.Bind(1, id).Bind(2, fromMs).Bind(3, toMs).Bind(4, maxCount == 0 ? std::int64_t{-1}
                                                                        : static_cast<std::int64_t>(maxCount));
    SampleRecord sample;
    bool ok = true;
    bool first = true;
    std::int64_t previous = 0;
    int rc;
    while ((rc = stmt.Step()) == SQLITE_ROW) {
        if (!db_->Record(stmt, device, sample, error)) {
            ok = false;
            break;
        }
        if (!first && !InKeyOrder(previous, sample.timeMs, backward)) {
            error = OutOfOrder(device, sample.timeMs);
            ok = false;
            break;
        }
        first = false;
        previous = sample.timeMs;
        if (!each(sample)) break;
    }
    if (ok && rc != SQLITE_ROW && rc != SQLITE_DONE) {
        error = "reading the history of " + device + ": " + db_->conn->LastError();
        ok = false;
    }
    db_->Give(text, std::move(stmt));
    return ok;
}

std::vector<SampleRecord> HistoryReader::Samples(const std::string& device, std::int64_t fromMs, std::int64_t toMs,
                                                 std::size_t maxCount, bool backward) {
    std::vector<SampleRecord> samples;
    std::string error;
    if (!ForEachSample(device, fromMs, toMs, maxCount, backward,
                       [&](const SampleRecord& sample) {
                           samples.push_back(sample);
                           return true;
                       },
                       error))
        lastError_ = error;
    else
        lastError_.clear();
    return samples;
}

bool HistoryReader::ForEachSampleOfAll(std::int64_t fromMs, std::int64_t toMs,
                                       const std::function<bool(const SampleRecord&)>& each, std::string& error) {
    // One cursor per device on its key range, merged by time (ties by name),
    // so that no sort of the whole range is needed.
    struct Cursor {
        std::string name;
        sql::Statement stmt;
        std::int64_t previous = std::numeric_limits<std::int64_t>::min();
    };
    std::vector<Cursor> cursors;
    {
        sql::Statement* all = db_->conn->Cached("SELECT id, name FROM devices ORDER BY name");
        if (!all) {
            error = db_->conn->LastError();
            return false;
        }
        std::vector<std::pair<std::int64_t, std::string>> devices;
        while (all->Step() == SQLITE_ROW) devices.emplace_back(all->Int(0), all->Text(1));
        all->Reset();
        for (auto& [id, name] : devices) {
            Cursor cursor{name, db_->Take(schema::kSelectDeviceSamplesForward, error), std::numeric_limits<std::int64_t>::min()};
            if (!cursor.stmt) return false;
            cursor.stmt.Bind(1, id).Bind(2, fromMs).Bind(3, toMs).Bind(4, std::int64_t{-1});
            cursors.push_back(std::move(cursor));
        }
    }
    // By name order the index breaks ties: the heap holds (time, index).
    using Head = std::pair<std::int64_t, std::size_t>;
    std::priority_queue<Head, std::vector<Head>, std::greater<>> heads;
    bool ok = true;
    auto advance = [&](std::size_t i) {
        const int rc = cursors[i].stmt.Step();
        if (rc == SQLITE_ROW) {
            const std::int64_t time = cursors[i].stmt.Int(0);
            if (time <= cursors[i].previous) {
                error = OutOfOrder(cursors[i].name, time);
                ok = false;
                return;
            }
            cursors[i].previous = time;
            heads.emplace(time, i);
        } else if (rc != SQLITE_DONE) {
            error = "reading the history of " + cursors[i].name + ": " + db_->conn->LastError();
            ok = false;
        }
    };
    for (std::size_t i = 0; i < cursors.size() && ok; ++i) advance(i);
    SampleRecord sample;
    while (ok && !heads.empty()) {
        const std::size_t i = heads.top().second;
        heads.pop();
        if (!db_->Record(cursors[i].stmt, cursors[i].name, sample, error)) {
            ok = false;
            break;
        }
        if (!each(sample)) break;
        advance(i);
    }
    for (auto& cursor : cursors) db_->Give(schema::kSelectDeviceSamplesForward, std::move(cursor.stmt));
    return ok;
}

std::vector<DeviceEvent> HistoryReader::Events(const std::string& device, std::int64_t fromMs, std::int64_t toMs) {
    lastError_.clear();
    std::vector<DeviceEvent> events;
    sql::Statement* stmt = nullptr;
    if (device.empty()) {
        stmt = db_->conn->Cached(
            "SELECT e.time_ms, e.kind, e.comm, e.port, e.address, e.text, coalesce(d.name, '') FROM events e"
            " LEFT JOIN devices d ON d.id = e.device_id WHERE e.time_ms >= ?2 AND e.time_ms <= ?3"
            " ORDER BY e.time_ms, e.id");
        if (!stmt) {
            lastError_ = db_->conn->LastError();
            return events;
        }
    } else {
        std::int64_t id = 0;
        if (!db_->DeviceId(device, id, lastError_) || id == 0) return events;
        stmt = db_->conn->Cached(schema::kSelectDeviceEvents);
        if (!stmt) {
            lastError_ = db_->conn->LastError();
            return events;
        }
        stmt->Bind(1, id);
    }
    stmt->Bind(2, fromMs).Bind(3, toMs);
    int rc;
    while ((rc = stmt->Step()) == SQLITE_ROW) {
        DeviceEvent event;
        event.timeMs = stmt->Int(0);
        event.kind = static_cast<DeviceEventKind>(stmt->Int(1));
        event.commStatus = static_cast<std::int32_t>(stmt->Int(2));
        event.port = static_cast<std::int32_t>(stmt->Int(3));
        event.address = static_cast<std::int32_t>(stmt->Int(4));
        event.text = stmt->Text(5);
        event.device = device.empty() ? stmt->Text(6) : device;
        events.push_back(std::move(event));
    }
    if (rc != SQLITE_DONE) lastError_ = db_->conn->LastError();
    stmt->Reset();
    return events;
}

HistoryCheck HistoryReader::Check() {
    lastError_.clear();
    HistoryCheck check;
    sql::Connection& conn = *db_->conn;
    std::string error;
    {
        sql::Statement stmt = conn.Prepare("PRAGMA integrity_check", error);
        if (!stmt) {
            check.problems.push_back(error);
        } else {
            int rc;
            while ((rc = stmt.Step()) == SQLITE_ROW) {
                const std::string line = stmt.Text(0);
                if (line != "ok") check.problems.push_back(line);
            }
            if (rc != SQLITE_DONE) check.problems.push_back(conn.LastError());
        }
        check.intact = check.problems.empty();
    }
    std::int64_t count = 0;
    if (conn.QueryInt("SELECT count(*) FROM samples", count, error)) check.samples = static_cast<std::uint64_t>(count);
    if (conn.QueryInt("SELECT count(*) FROM events", count, error)) check.events = static_cast<std::uint64_t>(count);
    std::int64_t lastRecord = 0;
    conn.QueryInt("SELECT max(coalesce((SELECT max(time_ms) FROM events), 0),"
                  " coalesce((SELECT max(time_ms) FROM samples), 0))",
                  lastRecord, error);

    struct Mark {
        std::int64_t timeMs;
        DeviceEventKind kind;
    };
    std::vector<Mark> program;
    {
        sql::Statement stmt = conn.Prepare("SELECT time_ms, kind FROM events WHERE device_id = 0 ORDER BY time_ms, id", error);
        while (stmt && stmt.Step() == SQLITE_ROW)
            program.push_back({stmt.Int(0), static_cast<DeviceEventKind>(stmt.Int(1))});
    }
    std::vector<std::pair<std::int64_t, std::string>> devices;
    {
        sql::Statement stmt = conn.Prepare("SELECT id, name FROM devices ORDER BY name", error);
        while (stmt && stmt.Step() == SQLITE_ROW) devices.emplace_back(stmt.Int(0), stmt.Text(1));
    }
    for (const auto& [id, name] : devices) {
        // The events that explain a gap: the device's own and the program's.
        std::vector<Mark> marks = program;
        {
            sql::Statement stmt = conn.Prepare("SELECT time_ms, kind FROM events WHERE device_id = ?1", error);
            if (stmt) {
                stmt.Bind(1, id);
                while (stmt.Step() == SQLITE_ROW)
                    marks.push_back({stmt.Int(0), static_cast<DeviceEventKind>(stmt.Int(1))});
            }
        }
        std::stable_sort(marks.begin(), marks.end(), [](const Mark& a, const Mark& b) { return a.timeMs < b.timeMs; });
        auto reasonBetween = [&](std::int64_t from, std::int64_t to) -> std::string {
            auto it = std::upper_bound(marks.begin(), marks.end(), from,
                                       [](std::int64_t t, const Mark& m) { return t < m.timeMs; });
            for (; it != marks.end() && it->timeMs <= to; ++it) {
                if (it->kind == DeviceEventKind::CommLost || it->kind == DeviceEventKind::PollStopped ||
                    it->kind == DeviceEventKind::ProgramStopped)
                    return DeviceEventName(it->kind);
            }
            return "no record";
        };

        sql::Statement stmt = conn.Prepare("SELECT time_ms, setup_id FROM samples WHERE device_id = ?1 ORDER BY time_ms", error);
        if (!stmt) break;
        stmt.Bind(1, id);
        bool any = false;
        std::int64_t last = 0, lastInterval = 0;
        while (stmt.Step() == SQLITE_ROW) {
            const std::int64_t time = stmt.Int(0);
            if (any && time <= last) {
                check.intact = false;
                check.problems.push_back(OutOfOrder(name, time));
                break;
            }
            const schema::Setup* setup = db_->SetupOf(stmt.Int(1), error);
            const std::int64_t interval = setup ? setup->intervalSeconds : 0;
            // Twice the interval and a second of slack: a sample a little late
            // is no gap.
            if (any && lastInterval > 0 && time - last > 2 * lastInterval * 1000 + 1000)
                check.gaps.push_back({name, last, time, reasonBetween(last, time)});
            any = true;
            last = time;
            lastInterval = interval;
        }
        if (!any || lastInterval <= 0) continue;
        // A comm loss with no sample after it: open up to the last record.
        const bool lostSince = std::any_of(marks.begin(), marks.end(), [&](const Mark& m) {
            return m.timeMs >= last && m.kind == DeviceEventKind::CommLost;
        });
        if (lostSince && lastRecord - last > 2 * lastInterval * 1000 + 1000)
            check.gaps.push_back({name, last, lastRecord, "comm lost"});
    }
    return check;
}

bool BackupHistory(const std::string& source, const std::string& target, std::string& error) {
    std::error_code ec;
    if (fs::exists(target, ec)) {
        error = target + " exists; the copy needs a new file";
        return false;
    }
    auto from = OpenForReading(source, error);
    if (!from) return false;
    auto to = sql::Connection::Open(target, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error);
    if (!to) {
        error = "cannot create " + target + ": " + error;
        return false;
    }
    sqlite3_backup* backup = sqlite3_backup_init(to->Handle(), "main", from->Handle(), "main");
    if (!backup) {
        error = "cannot copy to " + target + ": " + to->LastError();
        to.reset();
        fs::remove(target, ec);
        return false;
    }
    // In steps, so that the writer is never held off for long.
    int rc;
    int waits = 0;
    do {
        rc = sqlite3_backup_step(backup, 256);
        if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
            if (++waits > 600) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    } while (rc == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED);
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE) {
        error = "copying " + source + " to " + target + " failed: " + sql::CodeText(rc);
        to.reset();
        fs::remove(target, ec);
        for (const char* suffix : {"-wal", "-shm", "-journal"}) fs::remove(target + suffix, ec);
        return false;
    }
    return true;
}

}  // namespace history
