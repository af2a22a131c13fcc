// A string for clear passwords and keys: its bytes are overwritten with zeros when it is freed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zel {

void WipeBytes(void* data, size_t n);

class SecretString {
 public:
  SecretString() = default;
  explicit SecretString(std::string_view text) : text_(text) {}
  SecretString(const SecretString& other) : text_(other.text_) {}
  SecretString(SecretString&& other) noexcept : text_(std::move(other.text_)) { other.wipe(); }
  SecretString& operator=(const SecretString& other) {
    if (this != &other) {
      wipe();
      text_ = other.text_;
    }
    return *this;
  }
  SecretString& operator=(SecretString&& other) noexcept {
    if (this != &other) {
      wipe();
      text_ = std::move(other.text_);
      other.wipe();
    }
    return *this;
  }
  ~SecretString() { wipe(); }

  const std::string& str() const { return text_; }
  std::string_view view() const { return text_; }
  size_t size() const { return text_.size(); }
  bool empty() const { return text_.empty(); }
  bool operator==(std::string_view other) const { return text_ == other; }

 private:
  void wipe() {
    WipeBytes(text_.data(), text_.capacity());
    text_.clear();
  }
  std::string text_;
};

using OptSecret = std::optional<SecretString>;

}  // namespace zel
