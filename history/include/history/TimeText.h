#pragma once
// Times as users type and read them: ISO 8601, local or UTC.

#include <cstdint>
#include <string>

namespace history {

// "2026-12-10T08:00", "2026-12-10 08:00:30", "2026-12-10T08:00:00.250Z",
// "2026-12-10T08:00+01:00", a date alone ("2026-12-10", local midnight);
// without a zone a time is local. Also "now" and a span back from now:
// "-90m", "-8h", "-7d". False with the reason for anything else.
bool ParseTime(const std::string& text, std::int64_t& ms, std::string& error);
// 2026-12-10T07:00:00.000Z
std::string FormatUtc(std::int64_t ms);
// 2026-12-10T08:00:00.000+01:00, in the machine's zone
std::string FormatLocal(std::int64_t ms);

}  // namespace history
