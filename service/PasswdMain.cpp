// zel-passwd: reads a login and a password (typed without echo) and prints the form in which the
// configuration stores that password for that login, for administrators without the dialog:
//   <Account ... login="LOGIN" password="PRINTED FORM" ... />
// From a pipe it reads the two lines without prompts. Exit status 0, or 1 when input ended early.
#include <cstdio>
#include <string>

#include "config/PasswordCipher.h"
#include "config/SecretString.h"
#include "platform/Terminal.h"

namespace {

// A typed line in a buffer that is wiped when it goes.
struct TypedLine {
  char text[1024];
  std::optional<size_t> length;
  TypedLine(const char* prompt, bool echo) : length(zel::ReadTypedLine(prompt, echo, text, sizeof text)) {}
  ~TypedLine() { zel::WipeBytes(text, sizeof text); }
  std::string_view view() const { return {text, length.value_or(0)}; }
};

}  // namespace

int main() {
  TypedLine login("Login: ", true);
  if (!login.length || *login.length == 0) {
    std::fputs("zel-passwd: no login given\n", stderr);
    return 1;
  }
  TypedLine password("Password: ", false);
  if (!password.length) {
    std::fputs("zel-passwd: no password given\n", stderr);
    return 1;
  }
  std::optional<std::string> stored = zel::EncryptText(std::string(login.view()), password.view());
  if (!stored) {
    std::fputs("zel-passwd: the password cannot be enciphered\n", stderr);
    return 1;
  }
  std::printf("%s\n", stored->c_str());
  return 0;
}
