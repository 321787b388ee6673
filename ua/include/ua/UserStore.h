#pragma once
// The OPC UA endpoint's users: a name, a role, and a slow, salted hash of the
// password (Argon2id from libsodium), kept in one file of mode 0600 beside
// the settings. The file is read again whenever it changed, so that a user
// added with `vok ua users add` can sign in without a restart. Thread-safe.
//
// The file is text, one user per line, "name<TAB>role<TAB>hash", the hash in
// libsodium's own string form ("$argon2id$v=19$m=...,t=...,p=1$salt$hash").

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ua {

// What a session may do. Anonymous sessions are viewers.
enum class Role { Viewer = 0, Operator = 1, Engineer = 2 };
const char* RoleName(Role role);  // "viewer", "operator", "engineer"
std::optional<Role> ParseRole(const std::string& text);

struct UserEntry {
    std::string name;
    Role role = Role::Viewer;
};

class UserStore {
public:
    // "<settings folder>/../ua-users" (~/.config/vok/ua-users, /var/lib/vok/ua-users).
    static std::string DefaultFile();
    // Names: 1 to 64 printable characters without blanks, tabs or control
    // characters; passwords: 8 to 256 bytes.
    static bool ValidName(const std::string& name);
    static bool ValidPassword(const std::string& password, std::string& why);

    explicit UserStore(std::string file);
    const std::string& File() const { return file_; }

    // The users, by name; an absent file is no users. False with the reason
    // for a file that cannot be read or holds a damaged line (nothing is
    // dropped silently: the whole file is refused).
    bool List(std::vector<UserEntry>& out, std::string& error) const;
    // Each writes the whole file anew (a new file of mode 0600 renamed over
    // the old, so that a crash leaves the old or the new); false with the
    // reason: an existing name for Add, an unknown one for the others, a
    // name or password that is not valid, a file that cannot be written.
    bool Add(const std::string& name, Role role, const std::string& password, std::string& error);
    bool SetPassword(const std::string& name, const std::string& password, std::string& error);
    bool SetRole(const std::string& name, Role role, std::string& error);
    bool Remove(const std::string& name, std::string& error);

    // The user's role when the password is theirs; nullopt otherwise (an
    // unknown name costs the same time as a wrong password).
    std::optional<Role> Check(const std::string& name, const std::string& password) const;

private:
    struct Cached;
    const std::string file_;
    mutable std::mutex lock_;
    mutable std::shared_ptr<const Cached> cache_;
};

// The delay before a failed sign-in is answered, per client address: none
// for the first failure, then doubling from 1 s up to 30 s; a success or 15
// quiet minutes forget the address. Thread-safe.
class SignInThrottle {
public:
    using Clock = std::chrono::steady_clock;
    // Records a failure and returns how long to wait before answering it.
    std::chrono::milliseconds Failure(const std::string& peerHost, Clock::time_point now);
    void Success(const std::string& peerHost);

private:
    struct Entry {
        unsigned failures = 0;
        Clock::time_point last;
    };
    std::mutex lock_;
    std::map<std::string, Entry> entries_;
};

}  // namespace ua
