// File-system services the core needs beyond the C++ standard library.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zel {

// The running program's own full path.
std::optional<std::string> ProgramPath();

// Replaces `path` with `bytes` so that a crash leaves either the old file or the new one, whole:
// temporary name in the same folder, fsync, rename, fsync of the folder. On failure returns false
// with errno in *error and leaves no temporary file behind.
bool WriteFileAtomically(const std::string& path, std::string_view bytes, int* error);

}  // namespace zel
