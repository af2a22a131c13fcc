// Table-driven codec; the decoder's table marks characters outside the alphabet with 0xFF.
#include "aslib/CPBase64.h"

#include <array>
#include <cstdint>

namespace zel {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> table{};
  for (auto& v : table) v = 0xFF;
  for (int i = 0; i < 64; ++i) table[uint8_t(kAlphabet[i])] = uint8_t(i);
  return table;
}
constexpr std::array<uint8_t, 256> kDecode = MakeDecodeTable();

void EncodeGroups(const uint8_t* in, size_t groups, char* out) {
  for (size_t g = 0; g < groups; ++g, in += 3, out += 4) {
    uint32_t v = (uint32_t(in[0]) << 16) | (uint32_t(in[1]) << 8) | in[2];
    out[0] = kAlphabet[v >> 18];
    out[1] = kAlphabet[(v >> 12) & 63];
    out[2] = kAlphabet[(v >> 6) & 63];
    out[3] = kAlphabet[v & 63];
  }
}

}  // namespace

std::optional<std::string> CPBase64::encodePart(const void* data, size_t n) {
  if (!data || n == 0) return std::nullopt;
  const uint8_t* in = static_cast<const uint8_t*>(data);
  std::string out;
  out.reserve((leftoverCount_ + n) / 3 * 4);
  // Complete the group begun by an earlier call.
  if (leftoverCount_ > 0) {
    uint8_t group[3] = {leftover_[0], leftover_[1], 0};
    while (leftoverCount_ < 3 && n > 0) {
      group[leftoverCount_++] = *in++;
      --n;
    }
    if (leftoverCount_ < 3) {
      leftover_[0] = group[0];
      leftover_[1] = group[1];
      return std::nullopt;
    }
    out.resize(4);
    EncodeGroups(group, 1, out.data());
    leftoverCount_ = 0;
  }
  size_t groups = n / 3;
  size_t before = out.size();
  out.resize(before + groups * 4);
  EncodeGroups(in, groups, out.data() + before);
  in += groups * 3;
  leftoverCount_ = n - groups * 3;
  for (size_t i = 0; i < leftoverCount_; ++i) leftover_[i] = in[i];
  if (out.empty()) return std::nullopt;
  return out;
}

std::optional<std::string> CPBase64::finish() {
  if (leftoverCount_ == 0) return std::nullopt;
  uint32_t v = uint32_t(leftover_[0]) << 16;
  if (leftoverCount_ == 2) v |= uint32_t(leftover_[1]) << 8;
  std::string out(4, '=');
  out[0] = kAlphabet[v >> 18];
  out[1] = kAlphabet[(v >> 12) & 63];
  if (leftoverCount_ == 2) out[2] = kAlphabet[(v >> 6) & 63];
  leftoverCount_ = 0;
  return out;
}

std::string CPBase64::encode(const void* data, size_t n) {
  leftoverCount_ = 0;
  std::string out;
  out.reserve(n / 3 * 4 + 4);
  if (auto body = encodePart(data, n)) out = std::move(*body);
  if (auto tail = finish()) out += *tail;
  return out;
}

std::string CPBase64::decode(std::string_view text) {
  std::string out;
  out.resize(text.size() / 4 * 3 + 3);
  char* o = out.data();
  uint32_t group = 0;
  int fill = 0;
  for (unsigned char c : text) {
    uint8_t v = kDecode[c];
    if (v == 0xFF) continue;
    group = (group << 6) | v;
    if (++fill == 4) {
      o[0] = char(group >> 16);
      o[1] = char(group >> 8);
      o[2] = char(group);
      o += 3;
      fill = 0;
      group = 0;
    }
  }
  if (fill == 2) {
    *o++ = char(group >> 4);
  } else if (fill == 3) {
    *o++ = char(group >> 10);
    *o++ = char(group >> 2);
  }
  out.resize(size_t(o - out.data()));
  return out;
}

}  // namespace zel
