#include "Schema.h"

#include "SqliteDb.h"

#include <cstring>
#include <tuple>

namespace history::schema {

const char* const kSelectDeviceSamplesForward =
    "SELECT time_ms, setup_id, flags, comm, counts, analog FROM samples"
    " WHERE device_id = ?1 AND time_ms >= ?2 AND time_ms <= ?3 ORDER BY time_ms ASC LIMIT ?4";
const char* const kSelectDeviceSamplesBackward =
    "SELECT time_ms, setup_id, flags, comm, counts, analog FROM samples"
    " WHERE device_id = ?1 AND time_ms >= ?2 AND time_ms <= ?3 ORDER BY time_ms DESC LIMIT ?4";
const char* const kSelectDeviceEvents =
    "SELECT time_ms, kind, comm, port, address, text FROM events"
    " WHERE device_id = ?1 AND time_ms >= ?2 AND time_ms <= ?3 ORDER BY time_ms, id";

bool Create(sql::Connection& db, std::string& error) {
    const std::string sql =
        "BEGIN;"
        "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;"
        "CREATE TABLE devices(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);"
        "CREATE TABLE setups(id INTEGER PRIMARY KEY, port INTEGER NOT NULL, address INTEGER NOT NULL,"
        " flow REAL NOT NULL, interval_s INTEGER NOT NULL, bins BLOB NOT NULL);"
        "CREATE TABLE samples(device_id INTEGER NOT NULL, time_ms INTEGER NOT NULL, setup_id INTEGER NOT NULL,"
        " flags INTEGER NOT NULL, comm INTEGER NOT NULL, counts BLOB NOT NULL, analog BLOB,"
        " PRIMARY KEY(device_id, time_ms)) WITHOUT ROWID;"
        "CREATE TABLE events(id INTEGER PRIMARY KEY, device_id INTEGER NOT NULL, time_ms INTEGER NOT NULL,"
        " kind INTEGER NOT NULL, comm INTEGER NOT NULL, port INTEGER NOT NULL, address INTEGER NOT NULL,"
        " text TEXT NOT NULL);"
        "CREATE INDEX events_by_device ON events(device_id, time_ms);"
        "INSERT INTO meta VALUES('layout', '" + std::to_string(kVersion) + "');"
        "INSERT INTO meta VALUES('writer', 'vok-explorer');"
        "PRAGMA application_id = " + std::to_string(kApplicationId) + ";"
        "PRAGMA user_version = " + std::to_string(kVersion) + ";"
        "COMMIT;";
    if (db.Exec(sql, error)) return true;
    std::string ignored;
    db.Exec("ROLLBACK", ignored);
    return false;
}

Kind Identify(sql::Connection& db, std::string& error) {
    std::int64_t application = 0, version = 0, tables = 0;
    if (!db.QueryInt("PRAGMA application_id", application, error)) return Kind::Failed;
    if (!db.QueryInt("PRAGMA user_version", version, error)) return Kind::Failed;
    if (!db.QueryInt("SELECT count(*) FROM sqlite_schema", tables, error)) return Kind::Failed;
    if (application == 0 && version == 0 && tables == 0) return Kind::Empty;
    if (application != kApplicationId) {
        error = "not a history database (an SQLite database of another program)";
        return Kind::NotOurs;
    }
    if (version > kVersion) {
        error = "a history database of a newer program (layout " + std::to_string(version) + ")";
        return Kind::Newer;
    }
    std::int64_t wanted = 0;
    if (!db.QueryInt("SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name IN"
                     " ('meta', 'devices', 'setups', 'samples', 'events')",
                     wanted, error) ||
        wanted != 5) {
        error = "not a history database (its tables are missing)";
        return Kind::NotOurs;
    }
    return Kind::Ours;
}

bool Setup::operator<(const Setup& other) const {
    return std::tie(port, address, flow, intervalSeconds, binSizes) <
           std::tie(other.port, other.address, other.flow, other.intervalSeconds, other.binSizes);
}

namespace {

void PutVarint(std::vector<std::uint8_t>& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

bool GetVarint(const std::vector<std::uint8_t>& in, std::size_t& at, std::uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (at >= in.size()) return false;
        const std::uint8_t byte = in[at++];
        value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) return true;
    }
    return false;
}

std::uint64_t ZigZag(std::int64_t value) {
    return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
}
std::int64_t UnZigZag(std::uint64_t value) {
    return static_cast<std::int64_t>(value >> 1) ^ -static_cast<std::int64_t>(value & 1);
}

void PutDouble(std::vector<std::uint8_t>& out, double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}

double GetDouble(const std::vector<std::uint8_t>& in, std::size_t at) {
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(in[at + static_cast<std::size_t>(i)]) << (8 * i);
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace

std::vector<std::uint8_t> PackCounts(const std::vector<std::int32_t>& counts) {
    std::vector<std::uint8_t> out;
    out.reserve(counts.size() * 2 + 2);
    std::int64_t below = 0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        // The first bin as it is, each other as its step down from the bin below.
        PutVarint(out, ZigZag(i == 0 ? counts[i] : below - counts[i]));
        below = counts[i];
    }
    return out;
}

bool UnpackCounts(const std::vector<std::uint8_t>& bytes, std::vector<std::int32_t>& counts) {
    counts.clear();
    std::size_t at = 0;
    std::int64_t below = 0;
    while (at < bytes.size()) {
        std::uint64_t raw = 0;
        if (!GetVarint(bytes, at, raw)) return false;
        const std::int64_t value = counts.empty() ? UnZigZag(raw) : below - UnZigZag(raw);
        if (value < INT32_MIN || value > INT32_MAX) return false;
        counts.push_back(static_cast<std::int32_t>(value));
        below = value;
    }
    return true;
}

std::vector<std::uint8_t> PackBins(const std::vector<double>& bins) {
    std::vector<std::uint8_t> out;
    for (double bin : bins) PutDouble(out, bin);
    return out;
}

bool UnpackBins(const std::vector<std::uint8_t>& bytes, std::vector<double>& bins) {
    bins.clear();
    if (bytes.size() % 8 != 0) return false;
    for (std::size_t at = 0; at < bytes.size(); at += 8) bins.push_back(GetDouble(bytes, at));
    return true;
}

std::vector<std::uint8_t> PackAnalog(const std::array<std::optional<double>, SampleRecord::kAnalogInputs>& analog) {
    std::uint8_t mask = 0;
    for (std::size_t i = 0; i < analog.size(); ++i)
        if (analog[i]) mask = static_cast<std::uint8_t>(mask | (1u << i));
    if (mask == 0) return {};
    std::vector<std::uint8_t> out{mask};
    for (const auto& value : analog)
        if (value) PutDouble(out, *value);
    return out;
}

bool UnpackAnalog(const std::vector<std::uint8_t>& bytes,
                  std::array<std::optional<double>, SampleRecord::kAnalogInputs>& analog) {
    analog.fill(std::nullopt);
    if (bytes.empty()) return true;
    const std::uint8_t mask = bytes[0];
    std::size_t at = 1;
    for (std::size_t i = 0; i < analog.size(); ++i) {
        if ((mask & (1u << i)) == 0) continue;
        if (at + 8 > bytes.size()) return false;
        analog[i] = GetDouble(bytes, at);
        at += 8;
    }
    return at == bytes.size();
}

}  // namespace history::schema
