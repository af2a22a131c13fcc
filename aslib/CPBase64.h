// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks): a block and a stream encoder,
// and a tolerant decoder that skips every character outside the alphabet. It never fails.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zel {

class CPBase64 {
 public:
  // Resets the stream state and encodes the whole block.
  std::string encode(const void* data, size_t n);
  std::string encode(std::string_view bytes) { return encode(bytes.data(), bytes.size()); }
  // Encodes every complete group of 3 bytes (leftover from earlier calls first), keeps 0 to 2 bytes.
  std::optional<std::string> encodePart(const void* data, size_t n);
  // The leftover as one padded group, or none.
  std::optional<std::string> finish();

  // Bytes of the text, skipping characters outside the alphabet; a final group of 2 or 3 characters
  // gives 1 or 2 bytes. Empty when nothing decodes.
  static std::string decode(std::string_view text);

 private:
  unsigned char leftover_[2] = {0, 0};
  size_t leftoverCount_ = 0;
};

}  // namespace zel
