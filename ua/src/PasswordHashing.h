#pragma once
// The cost of one user-list password hash, and the stand-in hash an unknown
// name is checked against so that it answers as slowly as a wrong password.
// Shared with the tests, which hold the stand-in to the same cost.

#include <cstddef>

namespace ua::passwords {

// Argon2id at 2 passes over 64 MiB: about 0.13 s per check on the build
// machine (two cores), slow enough against guessing from a stolen file,
// quick enough for a sign-in.
constexpr unsigned long long kOpsLimit = 2;
constexpr std::size_t kMemLimit = std::size_t{64} << 20;

// The hash of a random password nobody knows, made with the limits above.
extern const char* const kStandIn;

}  // namespace ua::passwords
