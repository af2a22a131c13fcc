#include "aslib/ASHttpDate.h"

#include <cstdio>
#include <ctime>

namespace zel {

namespace {
constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
}  // namespace

ASHttpDate::ASHttpDate() : time_(int64_t(std::time(nullptr))) {}

std::optional<std::string> ASHttpDate::format() const {
  if (time_ == 0) return std::nullopt;
  std::time_t t = std::time_t(time_);
  std::tm utc{};
  if (!gmtime_r(&t, &utc)) return std::nullopt;
  char text[256];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[utc.tm_wday], utc.tm_mday,
                kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return std::string(text);
}

}  // namespace zel
