// The program's version, as the command line, the log and the mail services' greetings show it.
#pragma once

namespace zel {

inline constexpr const char* kProgramVersion = "2.1.0444";

}  // namespace zel
