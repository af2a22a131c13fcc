// The fuzz entry point: the first byte picks the parser (0xF0 the POP3 command loop, 0xF1 mail
// composition, 'M' the MIME parser with both decoders, 'S' the SMTP command loop fed as a byte
// stream; otherwise, modulo 6: 0 config, 1 envelope, 2 ticket, 3 chunked, 4 response, 5 Base64),
// the rest is its input.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zel::fuzz {
constexpr uint8_t kPop3Selector = 0xF0;
constexpr uint8_t kCompositionSelector = 0xF1;
void Run(const uint8_t* data, size_t size);
}  // namespace zel::fuzz
