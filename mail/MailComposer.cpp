// The base64 body is encoded in 32768-byte pieces of the document, each piece's lines gathered
// in memory and appended at once, so a document of hundreds of megabytes costs one pass and a few
// kilobytes of memory beyond the buffer it is written into.
#include "mail/MailComposer.h"

#include "aslib/ASHttpDate.h"
#include "aslib/ASVariableBuffer.h"
#include "aslib/CPBase64.h"
#include "document/EnvelopeReader.h"
#include "document/FilePlacement.h"
#include "platform/Crypto.h"

namespace zel {
namespace {

constexpr int64_t kPiece = 32768;
constexpr size_t kLine = 76;
constexpr size_t kEmitRun = 262144;

// Appends base64 text broken into lines of 76, continuing the line `column` characters long.
void AppendLines(std::string_view text, size_t& column, std::string& out) {
  while (!text.empty()) {
    size_t take = std::min(kLine - column, text.size());
    out.append(text.substr(0, take));
    text.remove_prefix(take);
    column += take;
    if (column == kLine) {
      out.append("\r\n");
      column = 0;
    }
  }
}

bool AppendBody(ASVariableBuffer& document, ASVariableBuffer& out) {
  CPBase64 codec;
  size_t column = 0;
  std::unique_ptr<char[]> piece(new char[kPiece]);
  std::string lines;
  document.setReadPosition(0);
  int64_t got;
  while ((got = document.read(piece.get(), kPiece)) > 0) {
    lines.clear();
    if (auto text = codec.encodePart(piece.get(), size_t(got))) AppendLines(*text, column, lines);
    if (!lines.empty() && out.append(lines) < 0) return false;
  }
  lines.clear();
  if (auto text = codec.finish()) AppendLines(*text, column, lines);
  return lines.empty() || out.append(lines) >= 0;
}

// The name as it may stand inside a quoted header parameter: control characters, quotes and
// backslashes become "_", so that a file name never starts a line of its own in the message (a
// line "." would end a POP3 response early).
std::string AttachmentName(const std::string& name) {
  std::string safe = name;
  for (char& c : safe)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '"' || c == '\\') c = '_';
  return safe;
}

}  // namespace

int64_t EstimateBodySize(int64_t size) {
  const int64_t n = (4 * size + 2) / 3;
  return n + 2 * (n / 76);
}

std::optional<std::string> MakeBoundary() {
  unsigned char hash[16];
  if (!DigestOfRandomBytes(hash)) return std::nullopt;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string boundary = "----=_NextPart_";
  for (unsigned i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) boundary.push_back('_');
    boundary.push_back(kHex[hash[i] >> 4]);
    boundary.push_back(kHex[hash[i] & 15]);
  }
  return boundary;
}

namespace {

bool HasAll(const std::optional<std::string>& from, const std::optional<std::string>& to,
            const std::optional<std::string>& boundary, const std::optional<std::string>& date,
            const std::optional<std::string>& attachmentName) {
  return from && to && boundary && date && attachmentName;
}

// Everything before the base64 body, and everything after it.
std::string Opening(const std::string& from, const std::string& to, const std::string& boundary,
                    const std::string& date, const std::string& attachmentName, bool headOnly) {
  const std::string name = AttachmentName(attachmentName);
  std::string text = "From: <" + from + ">\r\nTo: <" + to + ">\r\nSubject: EDS\r\nDate: " + date +
                     "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed;\n\tboundary=\"" + boundary + "\"\r\n\r\n";
  if (!headOnly)
    text += "--" + boundary +
            "\r\nContent-Transfer-Encoding: 7bit\r\nContent-Type: text/plain;\n\tcharset=\"utf-8\"\r\n\r\n--" +
            boundary + "\r\nContent-Type: application/xml;\n\tname=\"" + name +
            "\"\r\nContent-Disposition: attachment;\n\tfilename=\"" + name +
            "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
  return text;
}

std::string Closing(const std::string& boundary) { return "\r\n\r\n--" + boundary + "--\r\n"; }

}  // namespace

int64_t ComposedLength(const std::optional<std::string>& from, const std::optional<std::string>& to,
                       const std::optional<std::string>& boundary, const std::optional<std::string>& date,
                       const std::optional<std::string>& attachmentName, int64_t documentSize) {
  if (!HasAll(from, to, boundary, date, attachmentName)) return -1;
  const int64_t encoded = (documentSize + 2) / 3 * 4;
  return int64_t(Opening(*from, *to, *boundary, *date, *attachmentName, false).size()) + encoded +
         2 * (encoded / int64_t(kLine)) + int64_t(Closing(*boundary).size());
}

bool StreamMailMessage(const std::optional<std::string>& from, const std::optional<std::string>& to,
                       const std::optional<std::string>& boundary, const std::optional<std::string>& date,
                       const std::optional<std::string>& attachmentName, int64_t documentSize, const MailReader& read,
                       const MailEmitter& emit) {
  if (!HasAll(from, to, boundary, date, attachmentName)) return false;
  std::string lines = Opening(*from, *to, *boundary, *date, *attachmentName, false);
  CPBase64 codec;
  size_t column = 0;
  std::unique_ptr<char[]> piece(new char[kPiece]);
  int64_t total = 0;
  for (;;) {
    const int64_t got = read(piece.get(), kPiece);
    if (got < 0) return false;
    if (got == 0) break;
    total += got;
    if (auto text = codec.encodePart(piece.get(), size_t(got))) AppendLines(*text, column, lines);
    // Handed on in runs of about 256 KiB, so that sending costs few calls.
    if (lines.size() >= kEmitRun) {
      if (!emit(lines.data(), lines.size())) return false;
      lines.clear();
    }
  }
  if (total != documentSize) return false;
  if (auto text = codec.finish()) AppendLines(*text, column, lines);
  lines += Closing(*boundary);
  return emit(lines.data(), lines.size());
}

std::unique_ptr<ASVariableBuffer> ComposeMailMessage(const std::optional<std::string>& from,
                                                     const std::optional<std::string>& to,
                                                     const std::optional<std::string>& boundary,
                                                     const std::optional<std::string>& date,
                                                     const std::optional<std::string>& attachmentName,
                                                     ASVariableBuffer* document, bool headOnly) {
  if (!HasAll(from, to, boundary, date, attachmentName)) return nullptr;
  auto out = std::make_unique<ASVariableBuffer>();
  const std::string text = Opening(*from, *to, *boundary, *date, *attachmentName, headOnly);
  if (out->append(text) < 0) return nullptr;
  if (headOnly) return out;
  if (document && !AppendBody(*document, *out)) return nullptr;
  if (out->append(Closing(*boundary)) < 0) return nullptr;
  return out;
}

std::shared_ptr<pop3PacketInfo> BuildMessageInfo(const fileEntry& entry) {
  std::unique_ptr<envelopeInfo> envelope = ReadEnvelopeFile(entry.path);
  if (!envelope) return nullptr;
  auto info = std::make_shared<pop3PacketInfo>();
  info->filePath = entry.path;
  info->fileName = entry.name;
  info->boundary = MakeBoundary();
  info->dateText = ASHttpDate().format();
  info->toAddress = envelope->receiverAddress;
  info->fromAddress = envelope->senderAddress;
  info->uid = envelope->envelopeId;
  std::unique_ptr<ASVariableBuffer> head = ComposeMailMessage(info->fromAddress, info->toAddress, info->boundary,
                                                              info->dateText, info->fileName, nullptr, false);
  if (!head) return nullptr;
  info->messageSize = head->length() + EstimateBodySize(entry.size);
  return info;
}

}  // namespace zel
