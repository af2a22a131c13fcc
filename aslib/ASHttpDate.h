// A moment in seconds since 1970 (the current time when made) and its mail and HTTP date text
// "Thu, 01 Jan 2015 00:00:00 +0000", in UTC with English day and month names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zel {

class ASHttpDate {
 public:
  ASHttpDate();
  explicit ASHttpDate(int64_t secondsSince1970) : time_(secondsSince1970) {}

  // None for the time 0.
  std::optional<std::string> format() const;
  int64_t time() const { return time_; }

 private:
  int64_t time_;
};

}  // namespace zel
