#include "history/HistoryStore.h"

#include "Schema.h"
#include "SqliteDb.h"

#include "foundation/CLogFile.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <ctime>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <variant>
#include <vector>

namespace history {

namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

std::atomic<HistoryStore*> gProgramHistory{nullptr};

// A transaction holds at most this many records, so that a reader never
// waits long for the writer and a refused batch is small to put back.
constexpr std::size_t kBatchRecords = 2000;
// Retention removes at most this many rows per transaction.
constexpr std::int64_t kPruneRows = 1000;
// A retention pass starts this often while the program runs.
constexpr auto kPruneEvery = std::chrono::minutes(10);
// How long Stop keeps trying while the disk refuses.
constexpr auto kStopPatience = std::chrono::seconds(3);
constexpr std::int64_t kMsPerDay = 86400000;

struct Item {
    std::uint64_t seq = 0;
    std::variant<SampleRecord, DeviceEvent> record;
};

// The event log may be off (its default); a service's standard error goes to
// the journal, so a history that stops being written is told there too. The
// entries are few: one per episode.
void Log(const std::string& text) {
    std::fprintf(stderr, "vok history: %s\n", text.c_str());
    CLogFile& log = EventLog();
    log.Append(text);
    log.Commit(CLogFile::kWrite);
}

// 20261210T070000Z, for the name of a database moved aside.
std::string UtcStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
    return text;
}

bool IsDamage(int code) { return code == SQLITE_NOTADB || code == SQLITE_CORRUPT; }

}  // namespace

struct HistoryStore::Writer {
    explicit Writer(const HistoryOptions& opts) : options(opts) {
        status.path = options.path;
        if (!options.clock) options.clock = [] { return NowUtcMs(); };
        if (options.memoryLimit == 0) options.memoryLimit = 1;
        if (options.commitIntervalMs <= 0) options.commitIntervalMs = 1000;
        if (options.retryIntervalMs <= 0) options.retryIntervalMs = 5000;
    }

    HistoryOptions options;

    // Shared with the poll threads and the callers; guarded by mutex.
    mutable std::mutex mutex;
    std::condition_variable wake;  // the writer's
    std::condition_variable done;  // the callers' of Flush and PruneNow
    std::deque<Item> queue;
    std::vector<Item> inFlight;     // the batch being written, oldest first
    std::uint64_t lastSeq = 0;      // of the newest record handed in
    std::uint64_t episodeDropped = 0;
    int flushWaiters = 0;
    std::uint64_t droppedAtFlush = 0;  // status.dropped when a flush last returned
    std::uint64_t pruneRequests = 0;
    std::uint64_t pruneServed = 0;
    std::uint64_t pruneResult = 0;
    bool stopping = false;
    bool failing = false;  // the last attempt to write failed
    HistoryStatus status;
    std::thread thread;

    // The writer thread's own.
    std::unique_ptr<sql::Connection> db;
    bool openedOnce = false;
    bool dropLogged = false;
    std::map<std::string, std::int64_t> deviceIds;
    std::map<schema::Setup, std::int64_t> setupIds;
    bool pruneActive = false;
    SteadyClock::time_point nextPrune{};

    std::uint64_t DoneThrough() const {
        if (!inFlight.empty()) return inFlight.front().seq - 1;
        if (!queue.empty()) return queue.front().seq - 1;
        return lastSeq;
    }

    // Mutex held. Drops the oldest waiting records beyond the memory limit
    // (only those not being written at this moment).
    void TrimLocked() {
        bool any = false;
        while (queue.size() + inFlight.size() > options.memoryLimit && !queue.empty()) {
            queue.pop_front();
            ++status.dropped;
            ++episodeDropped;
            any = true;
        }
        status.waiting = queue.size() + inFlight.size();
        if (any) done.notify_all();
    }

    void Push(std::variant<SampleRecord, DeviceEvent> record) {
        std::lock_guard lock(mutex);
        queue.push_back(Item{++lastSeq, std::move(record)});
        TrimLocked();
        if (queue.size() == kBatchRecords) wake.notify_one();
    }

    // --- opening -----------------------------------------------------------

    // Opens the database, creating it (and its folder) when missing, and moves
    // a damaged one aside on the first open. Empty when it is open.
    std::string Open(int& code) {
        code = SQLITE_OK;
        db.reset();
        deviceIds.clear();
        setupIds.clear();
        const fs::path path(options.path);
        if (options.path.empty()) return "no history file is set";
        std::error_code ec;
        if (path.has_parent_path() && !fs::is_directory(path.parent_path(), ec)) {
            fs::create_directories(path.parent_path(), ec);
            if (ec) {
                code = SQLITE_CANTOPEN;
                return "cannot create the folder " + path.parent_path().string() + ": " + ec.message();
            }
        }
        if (fs::is_directory(path, ec)) {
            code = SQLITE_CANTOPEN;
            return options.path + " is a folder";
        }
        std::string error;
        // SQLite itself resets a -wal it cannot use, and deletes the -wal of an
        // empty file: a file that is no database is moved aside before SQLite
        // touches it, so that what its -wal holds stays for a look.
        std::string damage = ForeignHeader();
        if (!damage.empty()) {
            if (!openedOnce) return MoveAsideAndOpen(damage, code);
            code = SQLITE_CORRUPT;
            return options.path + " is damaged: " + damage;
        }
        auto conn = sql::Connection::Open(options.path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error, &code);
        if (!conn) return "cannot open " + options.path + ": " + error;
        sqlite3_busy_timeout(conn->Handle(), 5000);

        const schema::Kind kind = schema::Identify(*conn, error);
        if (kind == schema::Kind::Failed) {
            code = conn->LastCode();
            if (!IsDamage(code)) return "cannot read " + options.path + ": " + error;
            damage = error;
        } else if (kind == schema::Kind::NotOurs) {
            damage = error;
        } else if (kind == schema::Kind::Newer) {
            code = SQLITE_READONLY;
            return options.path + " is " + error + "; it is left as it is";
        } else if (kind == schema::Kind::Ours) {
            std::string check;
            auto stmt = conn->Prepare("PRAGMA quick_check", error);
            if (!stmt) {
                code = conn->LastCode();
                if (!IsDamage(code)) return "cannot read " + options.path + ": " + error;
                damage = error;
            } else {
                const int rc = stmt.Step();
                if (rc == SQLITE_ROW) {
                    check = stmt.Text(0);
                    if (check != "ok") damage = "the quick check found: " + check;
                } else if (IsDamage(rc)) {
                    damage = conn->LastError();
                } else {
                    code = rc;
                    return "cannot read " + options.path + ": " + conn->LastError();
                }
            }
        }
        if (!damage.empty()) {
            if (openedOnce) {
                // Damage found while running is not ours to act on behind the
                // writer's back; it waits for the next start.
                code = SQLITE_CORRUPT;
                return options.path + " is damaged: " + damage;
            }
            conn.reset();
            return MoveAsideAndOpen(damage, code);
        }

        if (kind == schema::Kind::Empty) {
            // auto_vacuum takes effect only on a database without tables, so it
            // is set before they are made; it lets the size bound shrink the file.
            if (!conn->Exec("PRAGMA auto_vacuum = INCREMENTAL", error)) {
                code = conn->LastCode();
                return "cannot create " + options.path + ": " + error;
            }
        }
        // WAL: readers (vok history, the trend, HistoryRead) never wait for the
        // writer, and a killed program loses no committed transaction.
        // synchronous=FULL syncs the WAL at every commit: with NORMAL a
        // power loss could take back everything since the last checkpoint
        // (thousands of pages, hours of samples), with FULL only what waited
        // for the next commit, at most a commit interval (a second). One
        // sync a second costs the writer nothing that polling would notice.
        auto mode = conn->Prepare("PRAGMA journal_mode = WAL", error);
        if (!mode || mode.Step() != SQLITE_ROW || mode.Text(0) != "wal") {
            code = conn->LastCode() == SQLITE_OK ? SQLITE_CANTOPEN : conn->LastCode();
            return "cannot use " + options.path + " in WAL mode: " + conn->LastError();
        }
        mode = sql::Statement();
        if (!conn->Exec("PRAGMA synchronous = FULL; PRAGMA journal_size_limit = 16777216", error)) {
            code = conn->LastCode();
            return "cannot set up " + options.path + ": " + error;
        }
        if (kind == schema::Kind::Empty && !schema::Create(*conn, error)) {
            code = conn->LastCode();
            return "cannot create " + options.path + ": " + error;
        }
        db = std::move(conn);
        if (!openedOnce) {
            openedOnce = true;
            pruneActive = true;  // one retention pass soon after the start
            nextPrune = SteadyClock::now() + kPruneEvery;
        }
        return {};
    }

    std::string MoveAsideAndOpen(const std::string& damage, int& code) {
        std::string aside, error;
        if (!MoveAside(aside, error)) {
            code = SQLITE_CANTOPEN;
            return options.path + " is damaged (" + damage + ") and cannot be moved aside: " + error;
        }
        {
            std::lock_guard lock(mutex);
            status.movedAside = aside;
        }
        Log("History database damaged, moved aside to " + aside + "; a new one was started (" + damage + ")");
        return Open(code);
    }

    // Why the file is no SQLite database by its first bytes; empty when it
    // is one, or missing, or empty with no -wal.
    std::string ForeignHeader() const {
        std::error_code ec;
        if (!fs::is_regular_file(options.path, ec)) return {};
        const auto size = fs::file_size(options.path, ec);
        if (ec) return {};
        if (size == 0) {
            const auto wal = fs::file_size(options.path + "-wal", ec);
            return !ec && wal > 0 ? "an empty file with a write-ahead log" : "";
        }
        std::ifstream in(options.path, std::ios::binary);
        char header[16] = {};
        in.read(header, sizeof header);
        if (in.gcount() == sizeof header && std::memcmp(header, "SQLite format 3", 16) == 0) return {};
        return "not an SQLite database";
    }

    // Renames the database and its WAL companions to <name>.damaged-<stamp>.
    bool MoveAside(std::string& aside, std::string& error) {
        std::error_code ec;
        std::string base = options.path + ".damaged-" + UtcStamp();
        aside = base;
        for (int n = 2; fs::exists(aside, ec); ++n) aside = base + "-" + std::to_string(n);
        fs::rename(options.path, aside, ec);
        if (ec) {
            error = ec.message();
            return false;
        }
        for (const char* suffix : {"-wal", "-shm"}) {
            if (fs::exists(options.path + suffix, ec)) fs::rename(options.path + suffix, aside + suffix, ec);
        }
        return true;
    }

    // --- writing -----------------------------------------------------------

    bool DeviceId(const std::string& name, std::int64_t& id) {
        if (name.empty()) {
            id = 0;
            return true;
        }
        if (auto found = deviceIds.find(name); found != deviceIds.end()) {
            id = found->second;
            return true;
        }
        sql::Statement* select = db->Cached("SELECT id FROM devices WHERE name = ?1");
        if (!select) return false;
        select->Bind(1, name);
        int rc = select->Step();
        if (rc == SQLITE_ROW) {
            id = select->Int(0);
        } else if (rc == SQLITE_DONE) {
            sql::Statement* insert = db->Cached("INSERT INTO devices(name) VALUES(?1)");
            if (!insert) return false;
            insert->Bind(1, name);
            if (insert->Step() != SQLITE_DONE) return false;
            id = sqlite3_last_insert_rowid(db->Handle());
        } else {
            return false;
        }
        deviceIds.emplace(name, id);
        return true;
    }

    bool SetupId(const SampleRecord& sample, std::int64_t& id) {
        schema::Setup setup{sample.port, sample.address, sample.flow, sample.intervalSeconds, sample.binSizes};
        if (auto found = setupIds.find(setup); found != setupIds.end()) {
            id = found->second;
            return true;
        }
        const auto bins = schema::PackBins(setup.binSizes);
        sql::Statement* select = db->Cached(
            "SELECT id FROM setups WHERE port = ?1 AND address = ?2 AND flow = ?3 AND interval_s = ?4 AND bins = ?5");
        if (!select) return false;
        select->Bind(1, std::int64_t{setup.port}).Bind(2, std::int64_t{setup.address}).Bind(3, setup.flow);
        select->Bind(4, std::int64_t{setup.intervalSeconds}).BindBlob(5, bins);
        int rc = select->Step();
        if (rc == SQLITE_ROW) {
            id = select->Int(0);
        } else if (rc == SQLITE_DONE) {
            sql::Statement* insert =
                db->Cached("INSERT INTO setups(port, address, flow, interval_s, bins) VALUES(?1, ?2, ?3, ?4, ?5)");
            if (!insert) return false;
            insert->Bind(1, std::int64_t{setup.port}).Bind(2, std::int64_t{setup.address}).Bind(3, setup.flow);
            insert->Bind(4, std::int64_t{setup.intervalSeconds}).BindBlob(5, bins);
            if (insert->Step() != SQLITE_DONE) return false;
            id = sqlite3_last_insert_rowid(db->Handle());
        } else {
            return false;
        }
        setupIds.emplace(std::move(setup), id);
        return true;
    }

    bool WriteSample(SampleRecord& sample) {
        std::int64_t device = 0, setup = 0;
        if (!DeviceId(sample.device, device) || !SetupId(sample, setup)) return false;
        sql::Statement* insert = db->Cached(
            "INSERT INTO samples(device_id, time_ms, setup_id, flags, comm, counts, analog)"
            " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
        if (!insert) return false;
        const auto counts = schema::PackCounts(sample.cumulativeRaw);
        const auto analog = schema::PackAnalog(sample.analog);
        // Two samples of a device in the same millisecond (a clock set back, a
        // burst after a reconnect) are both kept: the later one a millisecond on.
        for (;;) {
            insert->Reset();
            insert->Bind(1, device).Bind(2, sample.timeMs).Bind(3, setup);
            insert->Bind(4, std::int64_t{sample.counterFlags}).Bind(5, std::int64_t{sample.commStatus});
            insert->BindBlob(6, counts);
            if (analog.empty())
                insert->BindNull(7);
            else
                insert->BindBlob(7, analog);
            const int rc = insert->Step();
            if (rc == SQLITE_DONE) return true;
            if (rc != SQLITE_CONSTRAINT) return false;
            ++sample.timeMs;
        }
    }

    bool WriteEvent(const DeviceEvent& event) {
        std::int64_t device = 0;
        if (!DeviceId(event.device, device)) return false;
        sql::Statement* insert = db->Cached(
            "INSERT INTO events(device_id, time_ms, kind, comm, port, address, text) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
        if (!insert) return false;
        insert->Bind(1, device).Bind(2, event.timeMs).Bind(3, static_cast<std::int64_t>(event.kind));
        insert->Bind(4, std::int64_t{event.commStatus}).Bind(5, std::int64_t{event.port});
        insert->Bind(6, std::int64_t{event.address}).Bind(7, event.text);
        return insert->Step() == SQLITE_DONE;
    }

    // Writes the batch in one transaction; on failure rolls it back whole.
    bool WriteBatch(std::string& error, int& code) {
        std::string ignored;
        if (!db->Exec("BEGIN IMMEDIATE", error)) {
            code = db->LastCode();
            return false;
        }
        bool ok = true;
        for (Item& item : inFlight) {
            ok = std::holds_alternative<SampleRecord>(item.record) ? WriteSample(std::get<SampleRecord>(item.record))
                                                                   : WriteEvent(std::get<DeviceEvent>(item.record));
            if (!ok) break;
        }
        if (ok && db->Exec("COMMIT", error)) return true;
        code = db->LastCode();
        if (ok) {
            // The commit itself failed.
        } else {
            error = db->LastError();
        }
        db->Exec("ROLLBACK", ignored);
        return false;
    }

    // Puts a refused batch back in front of the queue and notes the problem;
    // the event log hears of it once per episode.
    void Refused(const std::string& reason) {
        db.reset();  // a fresh connection on the next attempt
        bool first = false;
        {
            std::lock_guard lock(mutex);
            for (auto it = inFlight.rbegin(); it != inFlight.rend(); ++it) queue.push_front(std::move(*it));
            inFlight.clear();
            TrimLocked();
            first = !failing;
            failing = true;
            status.writable = false;
            status.problem = reason;
        }
        if (first) Log("History not written: " + reason + "; samples wait in memory");
    }

    void Written(std::size_t count) {
        bool resumed = false;
        std::uint64_t waited = 0, dropped = 0;
        {
            std::lock_guard lock(mutex);
            waited = queue.size() + inFlight.size();
            status.written += count;
            inFlight.clear();
            status.waiting = queue.size();
            resumed = failing || (episodeDropped > 0);
            dropped = episodeDropped;
            failing = false;
            episodeDropped = 0;
            status.writable = true;
            status.problem.clear();
            done.notify_all();
        }
        if (resumed) {
            Log("History written again: " + std::to_string(waited) + " samples waited, " + std::to_string(dropped) +
                " dropped");
            dropLogged = false;
        }
    }

    // Takes the next batch from the queue; false when nothing waits.
    bool TakeBatch() {
        std::lock_guard lock(mutex);
        const std::size_t n = std::min(queue.size(), kBatchRecords);
        for (std::size_t i = 0; i < n; ++i) {
            inFlight.push_back(std::move(queue.front()));
            queue.pop_front();
        }
        return !inFlight.empty();
    }

    // One attempt: open if needed, write one batch. False when refused.
    bool WriteOnce() {
        int code = SQLITE_OK;
        if (!db) {
            std::string error = Open(code);
            if (!db) {
                Refused(error);
                return false;
            }
        }
        if (!TakeBatch()) {
            // Opened again with nothing waiting (all dropped): the episode ends here.
            bool wasFailing = false;
            {
                std::lock_guard lock(mutex);
                wasFailing = failing;
            }
            if (wasFailing) Written(0);
            return true;
        }
        const std::size_t count = inFlight.size();
        std::string error;
        if (!WriteBatch(error, code)) {
            Refused(error + " (" + options.path + ")");
            return false;
        }
        Written(count);
        return true;
    }

    void NoteDropsOnce() {
        std::uint64_t dropped = 0;
        {
            std::lock_guard lock(mutex);
            dropped = episodeDropped;
        }
        if (dropped > 0 && !dropLogged) {
            dropLogged = true;
            Log("History memory full: the oldest waiting samples are dropped (" + std::to_string(dropped) +
                " so far)");
        }
    }

    // --- retention ---------------------------------------------------------

    // Deletes one device's samples at or before cutoff (inclusive when
    // inclusive, else strictly before), at most kPruneRows; the rows removed.
    bool PruneDeviceBefore(std::int64_t device, std::int64_t cutoff, std::int64_t& removed, bool& more) {
        sql::Statement* nth = db->Cached(
            "SELECT time_ms FROM samples WHERE device_id = ?1 AND time_ms < ?2 ORDER BY time_ms LIMIT 1 OFFSET ?3");
        if (!nth) return false;
        nth->Bind(1, device).Bind(2, cutoff).Bind(3, kPruneRows - 1);
        const int rc = nth->Step();
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
        std::int64_t limit = cutoff;  // exclusive
        if (rc == SQLITE_ROW) {
            limit = nth->Int(0) + 1;
            more = true;
        }
        nth->Reset();
        sql::Statement* erase = db->Cached("DELETE FROM samples WHERE device_id = ?1 AND time_ms < ?2");
        if (!erase) return false;
        erase->Bind(1, device).Bind(2, limit);
        if (erase->Step() != SQLITE_DONE) return false;
        removed += sqlite3_changes(db->Handle());
        return true;
    }

    bool DeviceList(std::vector<std::int64_t>& ids) {
        sql::Statement* all = db->Cached("SELECT id FROM devices ORDER BY id");
        if (!all) return false;
        int rc;
        while ((rc = all->Step()) == SQLITE_ROW) ids.push_back(all->Int(0));
        return rc == SQLITE_DONE;
    }

    // Age: every sample and event older than the retention goes; at most
    // about kPruneRows per call.
    bool PruneAge(std::int64_t& removed, bool& more) {
        if (options.retentionDays <= 0) return true;
        const std::int64_t cutoff = options.clock() - options.retentionDays * kMsPerDay;
        std::vector<std::int64_t> devices;
        if (!DeviceList(devices)) return false;
        for (std::int64_t device : devices) {
            if (!PruneDeviceBefore(device, cutoff, removed, more)) return false;
            if (removed >= kPruneRows) {
                more = true;
                return true;
            }
        }
        sql::Statement* events = db->Cached(
            "DELETE FROM events WHERE id IN (SELECT id FROM events WHERE time_ms < ?1 LIMIT ?2)");
        if (!events) return false;
        events->Bind(1, cutoff).Bind(2, kPruneRows);
        if (events->Step() != SQLITE_DONE) return false;
        const int changed = sqlite3_changes(db->Handle());
        removed += changed;
        if (changed >= kPruneRows) more = true;
        return true;
    }

    bool FileBytes(std::int64_t& bytes) {
        std::int64_t pages = 0, size = 0, free = 0;
        std::string error;
        if (!db->QueryInt("PRAGMA page_count", pages, error) || !db->QueryInt("PRAGMA page_size", size, error) ||
            !db->QueryInt("PRAGMA freelist_count", free, error))
            return false;
        bytes = (pages - free) * size;
        return true;
    }

    // Size: the oldest records go, about kPruneRows at a time, while the
    // file is larger than the bound.
    bool PruneSize(std::int64_t& removed, bool& more) {
        if (options.maxBytes <= 0) return true;
        std::int64_t bytes = 0;
        if (!FileBytes(bytes)) return false;
        if (bytes <= options.maxBytes) return true;
        std::vector<std::int64_t> devices;
        if (!DeviceList(devices)) return false;
        // Each device's n-th oldest sample; below the smallest of them lie at
        // most n samples of each device, and they are the oldest of all.
        const std::int64_t n = std::max<std::int64_t>(1, kPruneRows / std::max<std::int64_t>(1, devices.size()));
        std::optional<std::int64_t> cutoff;
        sql::Statement* nth = db->Cached(
            "SELECT time_ms FROM samples WHERE device_id = ?1 ORDER BY time_ms LIMIT 1 OFFSET ?2");
        sql::Statement* last = db->Cached("SELECT max(time_ms) FROM samples WHERE device_id = ?1");
        if (!nth || !last) return false;
        for (std::int64_t device : devices) {
            nth->Reset();
            nth->Bind(1, device).Bind(2, n - 1);
            int rc = nth->Step();
            std::optional<std::int64_t> t;
            if (rc == SQLITE_ROW) {
                t = nth->Int(0);
            } else if (rc == SQLITE_DONE) {
                last->Reset();
                last->Bind(1, device);
                if (last->Step() == SQLITE_ROW && !last->IsNull(0)) t = last->Int(0);
            } else {
                return false;
            }
            if (t && (!cutoff || *t < *cutoff)) cutoff = t;
        }
        std::int64_t before = removed;
        if (cutoff) {
            for (std::int64_t device : devices) {
                bool ignored = false;
                if (!PruneDeviceBefore(device, *cutoff + 1, removed, ignored)) return false;
            }
        }
        // The events of the time that went go with it; with no samples left,
        // the oldest events.
        sql::Statement* events =
            cutoff ? db->Cached("DELETE FROM events WHERE id IN (SELECT id FROM events WHERE time_ms <= ?1 LIMIT ?2)")
                   : db->Cached("DELETE FROM events WHERE id IN (SELECT id FROM events ORDER BY time_ms LIMIT ?2)");
        if (!events) return false;
        if (cutoff) events->Bind(1, *cutoff);
        events->Bind(2, kPruneRows);
        if (events->Step() != SQLITE_DONE) return false;
        removed += sqlite3_changes(db->Handle());
        std::string error;
        if (!db->Exec("PRAGMA incremental_vacuum", error)) return false;
        more = removed > before;
        return true;
    }

    // One step of retention in one short transaction: age first, then size.
    // False when it failed (the transaction is rolled back).
    bool PruneStep(std::int64_t& removed, bool& more) {
        more = false;
        std::string error;
        if (!db->Exec("BEGIN IMMEDIATE", error)) return false;
        std::int64_t step = 0;
        bool ok = PruneAge(step, more);
        if (ok && !more) ok = PruneSize(step, more);
        if (ok && db->Exec("COMMIT", error)) {
            removed += step;
            return true;
        }
        db->Exec("ROLLBACK", error);
        more = false;
        return false;
    }

    std::uint64_t PruneAll() {
        std::int64_t removed = 0;
        bool more = true;
        while (db && more)
            if (!PruneStep(removed, more)) break;
        Checkpoint();
        return static_cast<std::uint64_t>(removed);
    }

    // Lets the file shrink after pruning (WAL pages reach the file at a checkpoint).
    void Checkpoint() {
        if (db) sqlite3_wal_checkpoint_v2(db->Handle(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    }

    void AddPruned(std::int64_t removed) {
        std::lock_guard lock(mutex);
        status.pruned += static_cast<std::uint64_t>(removed);
    }

    // --- the thread --------------------------------------------------------

    void Run() {
        for (;;) {
            bool prune = false;
            {
                std::unique_lock lock(mutex);
                const auto wait = std::chrono::milliseconds(failing ? options.retryIntervalMs : options.commitIntervalMs);
                wake.wait_for(lock, wait, [&] {
                    if (stopping || pruneRequests > pruneServed) return true;
                    if (failing) return false;
                    return queue.size() >= kBatchRecords || (flushWaiters > 0 && !queue.empty()) || pruneActive;
                });
                if (stopping) break;
                prune = pruneRequests > pruneServed;
            }
            // Everything waiting, batch by batch, then retention.
            bool ok = true;
            do {
                ok = WriteOnce();
            } while (ok && Waiting() >= kBatchRecords && !Stopping());
            NoteDropsOnce();
            if (prune) {
                std::uint64_t removed = 0;
                if (ok && db) removed = PruneAll();
                pruneActive = false;  // this pass went to the end
                AddPruned(static_cast<std::int64_t>(removed));
                std::lock_guard lock(mutex);
                pruneServed = pruneRequests;
                pruneResult = removed;
                done.notify_all();
            } else if (ok && db) {
                if (!pruneActive && SteadyClock::now() >= nextPrune) {
                    pruneActive = true;
                    nextPrune = SteadyClock::now() + kPruneEvery;
                }
                if (pruneActive) {
                    std::int64_t removed = 0;
                    bool more = false;
                    if (PruneStep(removed, more)) AddPruned(removed);
                    pruneActive = more;
                    if (!more) Checkpoint();
                }
            }
        }
        // Stopping: what waits is written, with a few tries while the disk refuses.
        const auto deadline = SteadyClock::now() + kStopPatience;
        while (Waiting() > 0) {
            if (WriteOnce()) continue;
            if (SteadyClock::now() >= deadline) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(options.retryIntervalMs, 500)));
        }
        std::uint64_t lost = 0;
        std::string problem;
        {
            std::lock_guard lock(mutex);
            lost = queue.size();
            problem = status.problem;
        }
        if (lost > 0)
            Log("History not written at the end: " + std::to_string(lost) + " samples are lost (" + problem + ")");
        db.reset();
        std::lock_guard lock(mutex);
        status.running = false;
        pruneServed = pruneRequests;
        done.notify_all();
    }

    std::size_t Waiting() const {
        std::lock_guard lock(mutex);
        return queue.size();
    }
    bool Stopping() const {
        std::lock_guard lock(mutex);
        return stopping;
    }
};

HistoryStore::HistoryStore(HistoryOptions options)
    : options_(std::move(options)), writer_(std::make_unique<Writer>(options_)) {}

HistoryStore::~HistoryStore() {
    Stop();
    HistoryStore* self = this;
    gProgramHistory.compare_exchange_strong(self, nullptr);
}

bool HistoryStore::Start(std::string& error) {
    Writer& w = *writer_;
    {
        std::lock_guard lock(w.mutex);
        if (w.status.running) return true;
    }
    int code = SQLITE_OK;
    error = w.Open(code);
    {
        std::lock_guard lock(w.mutex);
        w.stopping = false;
        w.status.running = true;
        w.status.writable = w.db != nullptr;
        w.status.problem = error;
        if (!w.db) w.failing = true;
    }
    if (!w.db) Log("History not written: " + error + "; samples wait in memory");
    w.thread = std::thread([&w] { w.Run(); });
    return error.empty();
}

void HistoryStore::Stop() {
    Writer& w = *writer_;
    {
        std::lock_guard lock(w.mutex);
        w.stopping = true;
        w.wake.notify_all();
    }
    if (w.thread.joinable()) w.thread.join();
}

bool HistoryStore::Flush(int timeoutMs) {
    Writer& w = *writer_;
    std::unique_lock lock(w.mutex);
    const std::uint64_t target = w.lastSeq;
    ++w.flushWaiters;
    w.wake.notify_all();
    const bool reached = w.done.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return w.DoneThrough() >= target || !w.status.running;
    });
    --w.flushWaiters;
    // Records dropped since the last flush were never committed: not a success.
    const bool lost = w.status.dropped > w.droppedAtFlush;
    w.droppedAtFlush = w.status.dropped;
    return reached && w.DoneThrough() >= target && !lost;
}

std::uint64_t HistoryStore::PruneNow() {
    Writer& w = *writer_;
    std::unique_lock lock(w.mutex);
    if (!w.status.running) return 0;
    const std::uint64_t request = ++w.pruneRequests;
    w.wake.notify_all();
    w.done.wait(lock, [&] { return w.pruneServed >= request; });
    return w.pruneResult;
}

HistoryStatus HistoryStore::Status() const {
    std::lock_guard lock(writer_->mutex);
    HistoryStatus status = writer_->status;
    status.waiting = writer_->queue.size() + writer_->inFlight.size();
    return status;
}

void HistoryStore::OnSample(const SampleRecord& sample) { writer_->Push(sample); }

void HistoryStore::OnDeviceEvent(const DeviceEvent& event) { writer_->Push(event); }

HistoryStore* ProgramHistory() { return gProgramHistory.load(std::memory_order_acquire); }

void SetProgramHistory(HistoryStore* store) { gProgramHistory.store(store, std::memory_order_release); }

std::string DescribeStatus(const HistoryStatus& status) {
    if (!status.running) return status.problem.empty() ? "Stopped" : "Stopped: " + status.problem;
    if (!status.problem.empty())
        return "Not writing: " + status.problem + "; " + std::to_string(status.waiting) + " records wait in memory, " +
               std::to_string(status.dropped) + " dropped";
    std::string text = "Writing to " + status.path;
    if (status.written != 0) text += " (" + std::to_string(status.written) + " records since the start)";
    if (!status.movedAside.empty()) text += "; a damaged database was moved aside to " + status.movedAside;
    return text;
}

}  // namespace history
