// The OPC UA user list: a text file of names, roles and Argon2id hashes,
// read again when it changed, written whole and renamed into place.
#include "ua/UserStore.h"

#include "PasswordHashing.h"
#include "platform/FileStamp.h"
#include "platform/PrivateFile.h"
#include "platform/Registry.h"

#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace ua {

namespace passwords {
// Made once with crypto_pwhash_str at kOpsLimit/kMemLimit from 32 random
// bytes that were thrown away.
const char* const kStandIn =
    "$argon2id$v=19$m=65536,t=2,p=1$7z7TIALUNIJmJ/gA28V5bA$CaYTIFuP8SIAISKckE2vguDFiO99q5Ba7famgrHEX2s";
}  // namespace passwords

namespace {

// A user list larger than this is not one an administrator made with
// `vok ua users`; it is refused rather than read into memory.
constexpr std::uintmax_t kMaxFileBytes = 1 << 20;
constexpr std::size_t kMaxNameCharacters = 64;
constexpr std::size_t kMinPasswordBytes = 8;
constexpr std::size_t kMaxPasswordBytes = 256;

bool SodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

struct Account {
    Role role = Role::Viewer;
    std::string hash;
};

// One reading of the file: its users, or why it was refused.
struct UserList {
    std::optional<platform::FileStamp> stamp;  // nullopt: absent or not readable
    std::string error;                         // empty: the users are the file's
    std::map<std::string, Account> users;
};

// The number of code points when the bytes are UTF-8 without control
// characters, blanks or tabs; nullopt otherwise.
std::optional<std::size_t> PrintableCharacters(const std::string& text) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++count) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            if (lead <= 0x20 || lead == 0x7f) return std::nullopt;
            ++i;
            continue;
        }
        std::size_t length;
        char32_t point;
        if (lead >= 0xc2 && lead <= 0xdf) {
            length = 2;
            point = lead & 0x1f;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            length = 3;
            point = lead & 0x0f;
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            length = 4;
            point = lead & 0x07;
        } else {
            return std::nullopt;
        }
        if (text.size() - i < length) return std::nullopt;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) return std::nullopt;
            point = (point << 6) | (next & 0x3f);
        }
        const char32_t smallest = length == 3 ? 0x800 : 0x10000;
        if ((length > 2 && point < smallest) || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff))
            return std::nullopt;
        // C1 controls and the blanks beyond ASCII (no-break space and kin).
        if (point <= 0xa0 || point == 0x2028 || point == 0x2029 || point == 0x3000 ||
            (point >= 0x2000 && point <= 0x200b) || point == 0x1680 || point == 0x202f || point == 0x205f ||
            point == 0xfeff)
            return std::nullopt;
        i += length;
    }
    return count;
}

// A hash as libsodium writes it for Argon2id; anything else (another
// algorithm, a truncated string) would never verify and hides a damaged file.
bool ValidHash(const std::string& hash) {
    if (hash.size() >= crypto_pwhash_STRBYTES || hash.rfind("$argon2id$", 0) != 0) return false;
    for (const char c : hash)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f) return false;
    return crypto_pwhash_str_needs_rehash(hash.c_str(), passwords::kOpsLimit, passwords::kMemLimit) >= 0;
}

std::string ParseList(const std::string& text, const std::string& file, std::map<std::string, Account>& users) {
    std::size_t lineNumber = 0;
    for (std::size_t start = 0; start < text.size();) {
        ++lineNumber;
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const std::string where = file + " line " + std::to_string(lineNumber) + ": ";
        const std::size_t tab1 = line.find('\t');
        const std::size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
        if (tab2 == std::string::npos || line.find('\t', tab2 + 1) != std::string::npos)
            return where + "not \"name<TAB>role<TAB>hash\"";
        const std::string name = line.substr(0, tab1);
        const std::string roleText = line.substr(tab1 + 1, tab2 - tab1 - 1);
        std::string hash = line.substr(tab2 + 1);
        if (!UserStore::ValidName(name)) return where + "the user name is not valid";
        const std::optional<Role> role = ParseRole(roleText);
        if (!role) return where + "the role is not viewer, operator or engineer";
        if (!ValidHash(hash)) return where + "the password hash is not an Argon2id hash";
        if (!users.emplace(name, Account{*role, std::move(hash)}).second)
            return where + "the user " + name + " is listed twice";
    }
    return {};
}

UserList ReadList(const std::string& file) {
    UserList list;
    list.stamp = platform::FileStampOf(file);
    std::error_code ec;
    if (!list.stamp) {
        const bool there = std::filesystem::exists(file, ec);
        if (ec || there) list.error = "cannot look at " + file + (ec ? ": " + ec.message() : std::string());
        return list;  // absent: no users
    }
    if (list.stamp->size > kMaxFileBytes) {
        list.error = file + " is larger than a user list can be (" + std::to_string(kMaxFileBytes) + " bytes)";
        return list;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        list.error = "cannot read " + file + ": " + std::strerror(errno);
        return list;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        list.error = "cannot read " + file;
        return list;
    }
    list.error = ParseList(text.str(), file, list.users);
    if (!list.error.empty()) list.users.clear();
    return list;
}

// The cached reading while the file is the one it was read from; a new
// reading otherwise. Called with the store's lock held. (A template so that
// it works on the store's private cache type.)
template <class CachedList>
std::shared_ptr<const CachedList> Current(const std::string& file, std::shared_ptr<const CachedList>& cache) {
    const std::optional<platform::FileStamp> stamp = platform::FileStampOf(file);
    if (cache && stamp && cache->stamp == stamp && cache->error.empty()) return cache;
    auto fresh = std::make_shared<CachedList>();
    static_cast<UserList&>(*fresh) = ReadList(file);
    cache = fresh;
    return cache;
}

std::string Serialize(const std::map<std::string, Account>& users) {
    std::string text;
    for (const auto& [name, account] : users) text += name + '\t' + RoleName(account.role) + '\t' + account.hash + '\n';
    return text;
}

std::optional<std::string> Hash(const std::string& password, std::string& error) {
    if (!SodiumReady()) {
        error = "the password library did not start";
        return std::nullopt;
    }
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(), passwords::kOpsLimit, passwords::kMemLimit) != 0) {
        error = "the password could not be hashed (out of memory)";
        return std::nullopt;
    }
    return std::string(out);
}

// Reads the file afresh, lets `change` edit its users (false with the reason
// refuses), and writes the result. A file that cannot be read or is damaged
// is left as it is: rewriting it would drop what could not be read.
template <class CachedList, class Change>
bool Modify(const std::string& file, std::mutex& lock, std::shared_ptr<const CachedList>& cache, Change change,
            std::string& error) {
    std::lock_guard<std::mutex> guard(lock);
    UserList list = ReadList(file);
    if (!list.error.empty()) {
        error = list.error;
        return false;
    }
    if (!change(list.users, error)) return false;
    const std::filesystem::path parent = std::filesystem::path(file).parent_path();
    std::error_code ec;
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    if (ec) {
        error = "cannot make the folder " + parent.string() + ": " + ec.message();
        return false;
    }
    // Read again at the next use: another program may write between this
    // rename and any look this one takes at the file.
    cache.reset();
    std::string why;
    if (!platform::WritePrivateFile(file, Serialize(list.users), why)) {
        error = "cannot write " + file + ": " + why;
        return false;
    }
    return true;
}

}  // namespace

struct UserStore::Cached : UserList {};

const char* RoleName(Role role) {
    switch (role) {
    case Role::Viewer: return "viewer";
    case Role::Operator: return "operator";
    case Role::Engineer: return "engineer";
    }
    return "viewer";
}

std::optional<Role> ParseRole(const std::string& text) {
    for (const Role role : {Role::Viewer, Role::Operator, Role::Engineer})
        if (text == RoleName(role)) return role;
    return std::nullopt;
}

std::string UserStore::DefaultFile() {
    const std::filesystem::path registry = std::filesystem::path(platform::RegistryFolder()).lexically_normal();
    // "…/registry/" normalizes to a trailing empty name; its parent is the folder itself.
    const std::filesystem::path folder = registry.has_filename() ? registry : registry.parent_path();
    return (folder.parent_path() / "ua-users").string();
}

bool UserStore::ValidName(const std::string& name) {
    const std::optional<std::size_t> characters = PrintableCharacters(name);
    return characters && *characters >= 1 && *characters <= kMaxNameCharacters;
}

bool UserStore::ValidPassword(const std::string& password, std::string& why) {
    if (password.size() < kMinPasswordBytes) {
        why = "a password has at least " + std::to_string(kMinPasswordBytes) + " characters";
        return false;
    }
    if (password.size() > kMaxPasswordBytes) {
        why = "a password has at most " + std::to_string(kMaxPasswordBytes) + " bytes";
        return false;
    }
    return true;
}

UserStore::UserStore(std::string file) : file_(std::move(file)) {}

bool UserStore::List(std::vector<UserEntry>& out, std::string& error) const {
    std::shared_ptr<const Cached> list;
    {
        std::lock_guard<std::mutex> guard(lock_);
        list = Current(file_, cache_);
    }
    out.clear();
    if (!list->error.empty()) {
        error = list->error;
        return false;
    }
    for (const auto& [name, account] : list->users) out.push_back(UserEntry{name, account.role});
    return true;
}

bool UserStore::Add(const std::string& name, Role role, const std::string& password, std::string& error) {
    if (!ValidName(name)) {
        error = "a user name is 1 to 64 characters without blanks or control characters";
        return false;
    }
    if (!ValidPassword(password, error)) return false;
    // Hashed before the file is locked: the slow part holds up no sign-in.
    const std::optional<std::string> hash = Hash(password, error);
    if (!hash) return false;
    return Modify(
        file_, lock_, cache_,
        [&](std::map<std::string, Account>& users, std::string& why) {
            if (!users.emplace(name, Account{role, *hash}).second) {
                why = "the user " + name + " exists already";
                return false;
            }
            return true;
        },
        error);
}

bool UserStore::SetPassword(const std::string& name, const std::string& password, std::string& error) {
    if (!ValidPassword(password, error)) return false;
    const std::optional<std::string> hash = Hash(password, error);
    if (!hash) return false;
    return Modify(
        file_, lock_, cache_,
        [&](std::map<std::string, Account>& users, std::string& why) {
            const auto found = users.find(name);
            if (found == users.end()) {
                why = "there is no user " + name;
                return false;
            }
            found->second.hash = *hash;
            return true;
        },
        error);
}

bool UserStore::SetRole(const std::string& name, Role role, std::string& error) {
    return Modify(
        file_, lock_, cache_,
        [&](std::map<std::string, Account>& users, std::string& why) {
            const auto found = users.find(name);
            if (found == users.end()) {
                why = "there is no user " + name;
                return false;
            }
            found->second.role = role;
            return true;
        },
        error);
}

bool UserStore::Remove(const std::string& name, std::string& error) {
    return Modify(
        file_, lock_, cache_,
        [&](std::map<std::string, Account>& users, std::string& why) {
            if (users.erase(name) == 0) {
                why = "there is no user " + name;
                return false;
            }
            return true;
        },
        error);
}

std::optional<Role> UserStore::Check(const std::string& name, const std::string& password) const {
    std::shared_ptr<const Cached> list;
    {
        std::lock_guard<std::mutex> guard(lock_);
        list = Current(file_, cache_);
    }
    // Every answer costs one verification: an unknown name, a refused file or
    // an overlong password is checked against the stand-in and then refused.
    const char* hash = passwords::kStandIn;
    std::optional<Role> role;
    const auto found = list->users.find(name);
    if (found != list->users.end() && password.size() <= kMaxPasswordBytes) {
        hash = found->second.hash.c_str();
        role = found->second.role;
    }
    if (!SodiumReady()) return std::nullopt;
    const bool match = crypto_pwhash_str_verify(hash, password.data(), password.size()) == 0;
    if (!match) return std::nullopt;
    return role;
}

std::chrono::milliseconds SignInThrottle::Failure(const std::string& peerHost, Clock::time_point now) {
    using namespace std::chrono;
    constexpr auto kForget = minutes(15);
    constexpr auto kLongest = milliseconds(30000);
    // Addresses that stopped failing are dropped, so that a sweep of
    // addresses cannot grow the table without bound.
    constexpr std::size_t kPruneAbove = 1024;
    std::lock_guard<std::mutex> guard(lock_);
    if (entries_.size() > kPruneAbove)
        std::erase_if(entries_, [&](const auto& item) { return now - item.second.last >= kForget; });
    Entry& entry = entries_[peerHost];
    if (entry.failures > 0 && now - entry.last >= kForget) entry.failures = 0;
    entry.last = now;
    if (entry.failures < 1000) ++entry.failures;
    if (entry.failures == 1) return milliseconds(0);
    // 1 s, 2 s, 4 s ... doubled no further than past the cap, so that the
    // shift never overflows however often an address fails.
    const unsigned doublings = std::min(entry.failures - 2, 5u);
    return std::min(milliseconds(1000) * (1u << doublings), kLongest);
}

void SignInThrottle::Success(const std::string& peerHost) {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.erase(peerHost);
}

}  // namespace ua
