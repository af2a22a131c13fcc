#include "platform/Terminal.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>

namespace zel {
namespace {

// Echo off on standard input's terminal for as long as it lives (the line feed still shows).
class EchoOff {
 public:
  EchoOff() {
    if (::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    quiet.c_lflag |= ECHONL;
    active_ = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  termios saved_{};
  bool active_ = false;
};

}  // namespace

std::optional<size_t> ReadTypedLine(const char* prompt, bool echo, char* buffer, size_t capacity) {
  const bool terminal = ::isatty(STDIN_FILENO) == 1;
  // Echo goes off before the prompt shows: what is typed once the prompt is there is never echoed,
  // nor thrown away with the input the terminal held before.
  std::optional<EchoOff> hidden;
  if (terminal && !echo) hidden.emplace();
  if (terminal) {
    std::fputs(prompt, stderr);
    std::fflush(stderr);
  }
  // Byte by byte, so nothing after the line is taken from the input and no copy of a secret stays
  // behind in a stdio buffer.
  size_t length = 0;
  bool any = false;
  for (;;) {
    char c;
    ssize_t got = ::read(STDIN_FILENO, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    any = true;
    if (c == '\n') break;
    if (length < capacity) buffer[length++] = c;
  }
  if (length > 0 && buffer[length - 1] == '\r') --length;
  if (!any) return std::nullopt;
  return length;
}

}  // namespace zel
