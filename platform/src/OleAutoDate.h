#pragma once
// The DATE arithmetic shared by the variant conversions and the DATE functions.

#include "platform/OleAuto.h"

#include <cstdint>

namespace oleauto {

constexpr std::int64_t kMsPerDay = 86'400'000;

// A DATE split into the calendar day (days after 30 December 1899, negative before)
// and the milliseconds since that day's midnight. Fails outside years 100..9999.
bool SplitDate(DATE value, std::int64_t& day, std::int64_t& msOfDay);
// The inverse; fails outside years 100..9999 or for a time of day not below one day.
bool JoinDate(std::int64_t day, std::int64_t msOfDay, DATE& value);

std::int64_t DayFromCivil(std::int64_t year, unsigned month, unsigned dayOfMonth);
void CivilFromDay(std::int64_t day, std::int64_t& year, unsigned& month, unsigned& dayOfMonth);

}  // namespace oleauto
