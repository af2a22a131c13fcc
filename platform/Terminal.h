// Reading a line typed by a person: when standard input is a terminal, a prompt is shown on
// standard error and, for secrets, echo is off while the line is typed (and back on afterwards,
// whatever happens). From a pipe, lines are read as they come, without prompts.
#pragma once

#include <cstddef>
#include <optional>

namespace zel {

// One line, without its line feed (and carriage return), into `buffer` (cut at `capacity`); its
// length, or absent at the end of the input. The caller wipes the buffer of a secret.
std::optional<size_t> ReadTypedLine(const char* prompt, bool echo, char* buffer, size_t capacity);

}  // namespace zel
