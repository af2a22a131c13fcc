// Every search over the message is bounded and moves forward, so parsing stays linear in the size of
// the message wherever it lies (memory or spill file). The decoders read the body through a 64 KiB
// window cut into pieces of at most 128 bytes, each ending at its first line feed.
#include "aslib/ASMimeMessage.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "aslib/ASVariableBuffer.h"
#include "aslib/CPBase64.h"
#include "common/FindBytes.h"

namespace zel {
namespace {

constexpr int64_t kPiece = 128;
constexpr int64_t kBlock = 65537;
constexpr int64_t kFlushAt = 65408;

std::string_view Trim(std::string_view text) {
  auto blank = [](char c) { return c >= 0x01 && c <= 0x20; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string ReadRange(ASVariableBuffer& buffer, int64_t from, int64_t n) {
  std::string text(size_t(std::max<int64_t>(n, 0)), '\0');
  text.resize(size_t(buffer.copyOut(from, text.data(), int64_t(text.size()))));
  return text;
}

// The first occurrence of `pattern` starting at or after `from` and before `before`, or -1. Reads
// only the bytes such an occurrence could cover.
int64_t FindBefore(ASVariableBuffer& buffer, std::string_view pattern, int64_t from, int64_t before) {
  const int64_t m = int64_t(pattern.size());
  const int64_t end = std::min(buffer.length(), before + m - 1);
  constexpr int64_t kWindow = 65536;
  std::string window;
  for (int64_t start = std::max<int64_t>(from, 0); end - start >= m;) {
    int64_t span = std::min(kWindow + m - 1, end - start);
    window.resize(size_t(span));
    span = buffer.copyOut(start, window.data(), span);
    if (span < m) return -1;
    const void* hit = FindBytes(window.data(), size_t(span), pattern.data(), size_t(m));
    if (hit) return start + (static_cast<const char*>(hit) - window.data());
    start += span - m + 1;
  }
  return -1;
}

// Cuts a body into pieces of at most 128 bytes, each ending at the first line feed it contains.
class PieceReader {
 public:
  PieceReader(ASVariableBuffer& buffer, const mimePart& part)
      : buffer_(buffer),
        next_(part.offset),
        end_(part.offset + std::max<int64_t>(part.length, 0)),
        window_(new char[kWindow]) {}

  // False at the end of the body (or when the buffer cannot deliver it).
  bool next(std::string_view& piece) {
    if (at_ + kPiece > filled_ && next_ < end_) refill();
    if (at_ >= filled_) return false;
    const int64_t span = std::min(kPiece, filled_ - at_);
    const char* start = window_.get() + at_;
    const void* feed = std::memchr(start, '\n', size_t(span));
    const int64_t n = feed ? static_cast<const char*>(feed) - start + 1 : span;
    piece = std::string_view(start, size_t(n));
    at_ += n;
    return true;
  }
  // True when every byte of the body has been handed out.
  bool atEnd() const { return at_ >= filled_ && next_ >= end_; }
  // True when the buffer could not deliver part of the body (its spill file failed).
  bool failed() const { return failed_; }

 private:
  static constexpr int64_t kWindow = 65536;

  void refill() {
    const int64_t keep = filled_ - at_;
    std::memmove(window_.get(), window_.get() + at_, size_t(keep));
    filled_ = keep;
    at_ = 0;
    const int64_t want = std::min(kWindow - keep, end_ - next_);
    const int64_t got = buffer_.copyOut(next_, window_.get() + keep, want);
    if (got < want) {
      failed_ = true;
      next_ = end_;
    } else {
      next_ += got;
    }
    if (got > 0) filled_ += got;
  }

  ASVariableBuffer& buffer_;
  int64_t next_, end_;
  std::unique_ptr<char[]> window_;
  int64_t at_ = 0, filled_ = 0;
  bool failed_ = false;
};

// Collects decoded bytes and hands them to the sink whenever 65408 or more are waiting.
class Collector {
 public:
  explicit Collector(const ASMimeMessage::Sink& sink) : block_(new char[kBlock]), sink_(sink) {}
  char* space() { return block_.get() + used_; }
  void grow(int64_t n) { used_ += n; }
  int64_t used() const { return used_; }
  char* data() { return block_.get(); }
  bool deliver(const char* bytes, int64_t n) { return n <= 0 || sink_(bytes, n); }
  // Drops the first `consumed` bytes and moves the rest to the front.
  void consume(int64_t consumed) {
    std::memmove(block_.get(), block_.get() + consumed, size_t(used_ - consumed));
    used_ -= consumed;
  }

 private:
  std::unique_ptr<char[]> block_;
  int64_t used_ = 0;
  const ASMimeMessage::Sink& sink_;
};

// A sink that appends to a buffer.
ASMimeMessage::Sink Into(ASVariableBuffer& out) {
  return [&out](const char* bytes, int64_t n) { return out.append(bytes, n) == n; };
}

bool IsBase64Character(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Decodes one quoted-printable piece into `out`; the count written, or -1 when it is not valid.
int64_t DecodeQuotedPrintablePiece(std::string_view piece, char* out) {
  char* o = out;
  for (size_t i = 0; i < piece.size();) {
    const unsigned char c = static_cast<unsigned char>(piece[i]);
    if (c == 0 || c >= 0x80) return -1;
    if (c != '=') {
      *o++ = char(c);
      ++i;
      continue;
    }
    if (i + 2 >= piece.size()) return -1;
    const unsigned char a = static_cast<unsigned char>(piece[i + 1]);
    const unsigned char b = static_cast<unsigned char>(piece[i + 2]);
    if (a == '\r') {
      if (b != '\n') return -1;
    } else {
      const int high = HexValue(a), low = HexValue(b);
      if (high < 0 || low < 0) return -1;
      *o++ = char(high * 16 + low);
    }
    i += 3;
  }
  return o - out;
}

}  // namespace

bool ASMimeMessage::ParseHeaders(std::string_view block, mimePart& part) {
  size_t start = 0;
  while (start < block.size()) {
    // A logical line ends at a CR LF followed by a byte above 0x20 (signed) or by the end.
    size_t end = start;
    for (;;) {
      const size_t crlf = block.find("\r\n", end);
      if (crlf == std::string_view::npos) {
        end = block.size();
        break;
      }
      if (crlf + 2 >= block.size() || static_cast<signed char>(block[crlf + 2]) > 0x20) {
        end = crlf;
        break;
      }
      end = crlf + 2;
    }
    const std::string_view line = block.substr(start, end - start);
    start = std::min(block.size(), end + 2);

    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    auto header = std::make_shared<mimeHeader>();
    header->name = std::string(Trim(line.substr(0, colon)));
    std::string_view value = Trim(line.substr(colon + 1));
    const size_t semicolon = value.find(';');
    header->value = std::string(Trim(value.substr(0, semicolon)));
    if (semicolon != std::string_view::npos) {
      const std::string_view text = Trim(value.substr(semicolon + 1));
      mimeParameter parameter;
      const size_t equals = text.find('=');
      if (equals == std::string_view::npos) {
        parameter.value = std::string(text);
      } else {
        parameter.name = std::string(Trim(text.substr(0, equals)));
        std::string_view v = Trim(text.substr(equals + 1));
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
        parameter.value = std::string(v);
      }
      header->parameter = std::move(parameter);
    }
    part.headers.push_back(std::move(header));
  }
  return !part.headers.empty();
}

bool ASMimeMessage::parse(ASVariableBuffer& buffer) {
  const int64_t savedPosition = buffer.readPosition();
  root_.reset();
  parts_.clear();

  const int64_t blank = FindBefore(buffer, "\r\n\r\n", 0, kHeadLimit);
  if (blank <= 0) {
    buffer.setReadPosition(savedPosition);
    return false;
  }
  auto root = std::make_shared<mimePart>();
  root->offset = blank + 4;
  root->length = buffer.length() - root->offset;
  const bool headed = ParseHeaders(ReadRange(buffer, 0, blank + 2), *root);
  root_ = root;
  bool result = headed;
  if (headed) {
    auto type = getHeader(root_, "Content-Type");
    if (type && type->value.rfind("multipart/", 0) == 0 && type->parameter && type->parameter->name &&
        EqualsIgnoringCase(*type->parameter->name, "boundary")) {
      result = split(buffer, type->parameter->value);
    }
  }
  buffer.setReadPosition(savedPosition);
  return result;
}

bool ASMimeMessage::split(ASVariableBuffer& buffer, const std::string& boundary) {
  const std::string delimiter = "--" + boundary;
  const int64_t d = int64_t(delimiter.size());
  int64_t current = buffer.findAtLineStart(delimiter, root_->offset - 1);
  if (current < 0) return false;
  int64_t base = root_->offset - 1;
  for (;;) {
    const int64_t next = buffer.findAtLineStart(delimiter, base + 2 + d);
    if (next < 0) return false;
    char dashes[2] = {0, 0};
    const bool closing = buffer.copyOut(next + d, dashes, 2) == 2 && dashes[0] == '-' && dashes[1] == '-';

    const int64_t headStart = current + d + 2;
    const int64_t blank = FindBefore(buffer, "\r\n\r\n", headStart, next);
    if (blank >= 0 && blank + 2 - headStart <= kHeadLimit) {
      auto part = std::make_shared<mimePart>();
      part->offset = blank + 4;
      part->length = std::max<int64_t>(next - part->offset - 2, 0);
      if (ParseHeaders(ReadRange(buffer, headStart, blank + 2 - headStart), *part)) parts_.push_back(part);
    }
    current = base = next;
    if (closing) return !parts_.empty();
  }
}

std::shared_ptr<mimeHeader> ASMimeMessage::getHeader(const std::shared_ptr<mimePart>& part, std::string_view name) {
  if (!part) return nullptr;
  for (const auto& header : part->headers)
    if (EqualsIgnoringCase(header->name, name)) return header;
  return nullptr;
}

std::shared_ptr<mimePart> ASMimeMessage::findAttachment() const {
  for (const auto& part : parts_) {
    if (part->headers.empty()) continue;
    auto type = getHeader(part, "Content-Type");
    auto disposition = getHeader(part, "Content-Disposition");
    if (type && !type->value.empty() && disposition && disposition->value == "attachment") return part;
  }
  return nullptr;
}

ASMimeMessage::Decoded ASMimeMessage::decodeBase64Body(const mimePart& part, ASVariableBuffer& buffer,
                                                       const Sink& sink) {
  PieceReader pieces(buffer, part);
  Collector collected(sink);
  // Only alphabet characters are collected, and only whole groups of four are decoded at a time, so
  // a line length that is not a multiple of four never shifts the bits at a block border.
  auto flush = [&](bool last) {
    const int64_t whole = last ? collected.used() : collected.used() / 4 * 4;
    const std::string bytes = CPBase64::decode(std::string_view(collected.data(), size_t(whole)));
    collected.consume(whole);
    return collected.deliver(bytes.data(), int64_t(bytes.size()));
  };
  std::string_view piece;
  while (pieces.next(piece)) {
    // A line feed, and the carriage return before it, end a line and carry nothing.
    if (!piece.empty() && piece.back() == '\n') {
      piece.remove_suffix(1);
      if (!piece.empty() && piece.back() == '\r') piece.remove_suffix(1);
    }
    char* out = collected.space();
    int64_t n = 0;
    for (char c : piece)
      if (IsBase64Character(static_cast<unsigned char>(c))) out[n++] = c;
    collected.grow(n);
    if (collected.used() >= kFlushAt && !flush(false)) return Decoded::kFailed;
  }
  if (pieces.failed() || !flush(true)) return Decoded::kFailed;
  buffer.setReadPosition(part.offset + part.length);
  return Decoded::kOk;
}

ASMimeMessage::Decoded ASMimeMessage::decodeQuotedPrintableBody(const mimePart& part, ASVariableBuffer& buffer,
                                                                const Sink& sink) {
  PieceReader pieces(buffer, part);
  Collector collected(sink);
  std::string_view piece;
  while (pieces.next(piece)) {
    // A line longer than 127 bytes is valid only as the last of the body.
    if (piece.back() != '\n' && !pieces.atEnd()) return Decoded::kInvalid;
    const int64_t n = DecodeQuotedPrintablePiece(piece, collected.space());
    if (n < 0) return Decoded::kInvalid;
    collected.grow(n);
    if (collected.used() >= kFlushAt) {
      if (!collected.deliver(collected.data(), collected.used())) return Decoded::kFailed;
      collected.consume(collected.used());
    }
  }
  if (pieces.failed() || !collected.deliver(collected.data(), collected.used())) return Decoded::kFailed;
  buffer.setReadPosition(part.offset + part.length);
  return Decoded::kOk;
}

std::unique_ptr<ASVariableBuffer> ASMimeMessage::decodeBase64Body(const mimePart& part, ASVariableBuffer& buffer) {
  auto out = std::make_unique<ASVariableBuffer>();
  if (decodeBase64Body(part, buffer, Into(*out)) != Decoded::kOk) return nullptr;
  return out;
}

std::unique_ptr<ASVariableBuffer> ASMimeMessage::decodeQuotedPrintableBody(const mimePart& part,
                                                                           ASVariableBuffer& buffer) {
  auto out = std::make_unique<ASVariableBuffer>();
  if (decodeQuotedPrintableBody(part, buffer, Into(*out)) != Decoded::kOk) return nullptr;
  return out;
}

}  // namespace zel
