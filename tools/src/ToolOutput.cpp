#include "tools/ToolOutput.h"

#include <cstdio>
#include <exception>

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace

std::string ValidUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            out += static_cast<char>(lead);
            ++i;
            continue;
        }
        // The length the lead byte announces and the range of its first
        // continuation byte, which rules out overlong forms, surrogates and
        // code points past U+10FFFF.
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        }
        std::size_t valid = 1;
        while (valid < length && i + valid < bytes.size()) {
            const auto next = static_cast<unsigned char>(bytes[i + valid]);
            if (next < (valid == 1 ? low : 0x80) || next > (valid == 1 ? high : 0xBF)) break;
            ++valid;
        }
        if (length != 0 && valid == length)
            out.append(bytes.substr(i, length));
        else
            out.append(kReplacement);  // the lead and the continuation bytes that fitted it
        i += valid;
    }
    return out;
}

std::string JsonText(const nlohmann::json& value, int indent) {
    return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

int RunGuarded(const std::function<int()>& command) {
    try {
        return command();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vok: %s\n", ValidUtf8(e.what()).c_str());
    } catch (...) {
        std::fputs("vok: unexpected failure\n", stderr);
    }
    return 1;
}
