#pragma once
// The whole content of a file as a string (empty when it cannot be read), for
// tests that look at what a program wrote.

#include <fstream>
#include <sstream>
#include <string>

inline std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}
