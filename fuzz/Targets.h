// The fuzz entry point: the first byte picks the parser (0 config, 1 envelope, 2 ticket, 3 chunked,
// 4 response, 5 Base64, by the byte modulo 6; 'M' the MIME parser with both decoders, 'S' the SMTP
// command loop fed as a byte stream), the rest is its input.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zel::fuzz {
void Run(const uint8_t* data, size_t size);
}
