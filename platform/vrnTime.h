// FILETIME helpers: 100-nanosecond ticks since 1601-01-01 UTC, as the engine gives them.
#pragma once

#include <cstdint>
#include <ctime>

#include "platform/vrnWinTypes.h"

// Ticks between 1601-01-01 and 1970-01-01.
inline constexpr std::uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;

inline std::uint64_t FileTimeToUInt64(const FILETIME& time) {
  return (std::uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

inline FILETIME UInt64ToFileTime(std::uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// Seconds and nanoseconds since the Unix epoch; times before 1970 give negative seconds.
inline timespec FileTimeToTimespec(const FILETIME& time) {
  std::int64_t ticks = static_cast<std::int64_t>(FileTimeToUInt64(time) - kFileTimeUnixEpoch);
  std::int64_t seconds = ticks / 10000000;
  std::int64_t rest = ticks % 10000000;
  if (rest < 0) {
    rest += 10000000;
    --seconds;
  }
  timespec result{};
  result.tv_sec = static_cast<time_t>(seconds);
  result.tv_nsec = static_cast<long>(rest * 100);
  return result;
}

// The FILETIME of a time since the Unix epoch; times before 1601 give zero.
inline FILETIME TimespecToFileTime(const timespec& time) {
  std::int64_t ticks = static_cast<std::int64_t>(time.tv_sec) * 10000000 + time.tv_nsec / 100 +
                       static_cast<std::int64_t>(kFileTimeUnixEpoch);
  return UInt64ToFileTime(ticks > 0 ? static_cast<std::uint64_t>(ticks) : 0);
}
