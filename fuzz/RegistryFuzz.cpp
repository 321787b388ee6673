// Any bytes as the registry file of a root key. The store keeps what it can
// read, lists the rest as problems and never crashes; and the file it writes
// for what it kept reads back to exactly the same keys and values, without a
// single problem.
#include "RegistryTree.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using platform::RegistryKey;
using platform::RegistryValue;

bool SameValue(const RegistryValue& a, const RegistryValue& b) {
    return a.name == b.name && a.type == b.type && a.data == b.data;
}

// Names must come back with their spelling, values in their order.
bool SameTree(const RegistryKey& a, const RegistryKey& b) {
    if (a.Name() != b.Name() || a.Values().size() != b.Values().size() || a.SubKeyCount() != b.SubKeyCount())
        return false;
    for (std::size_t i = 0; i < a.Values().size(); ++i)
        if (!SameValue(a.Values()[i], b.Values()[i])) return false;
    const auto subA = a.SubKeys();
    const auto subB = b.SubKeys();
    for (std::size_t i = 0; i < subA.size(); ++i)
        if (!SameTree(*subA[i], *subB[i])) return false;
    return true;
}

[[noreturn]] void Mismatch(const char* what, const std::string& written) {
    std::fprintf(stderr, "registry round trip: %s\n--- written ---\n%s\n", what, written.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string rootName = "HKEY_LOCAL_MACHINE";
    const std::string text(reinterpret_cast<const char*>(data), size);
    RegistryKey root(rootName);
    std::vector<std::string> problems;
    platform::ParseRegistryFile(text, rootName, root, &problems);

    const std::string written = platform::FormatRegistryFile(rootName, root);
    RegistryKey again(rootName);
    std::vector<std::string> againProblems;
    platform::ParseRegistryFile(written, rootName, again, &againProblems);
    if (!againProblems.empty()) Mismatch(againProblems.front().c_str(), written);
    if (!SameTree(root, again)) Mismatch("the keys or values differ", written);
    // Writing is stable: the second file is the first one.
    if (platform::FormatRegistryFile(rootName, again) != written) Mismatch("the second file differs", written);
    return 0;
}
