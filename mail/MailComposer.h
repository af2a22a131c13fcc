// The mail a POP3 client sees for one document: the record that describes it (addresses from the
// envelope, a fresh boundary, the date of the load, the envelope identifier as unique id), the
// size announced before anything is encoded, and the composed text: a multipart message with an
// empty text part and the document as a base64 attachment, or only its head.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zel {

class ASVariableBuffer;
struct envelopeInfo;
struct fileEntry;

struct pop3PacketInfo {
  std::string filePath;
  int64_t messageSize = 0;  // what LIST and STAT announce
  std::optional<std::string> fromAddress;
  std::optional<std::string> toAddress;
  std::string fileName;
  std::optional<std::string> boundary;
  std::optional<std::string> dateText;
  std::optional<std::string> uid;  // the envelope identifier
  // The file as it was when described; only that file is ever deleted for this message.
  uint64_t device = 0, inode = 0;
  int64_t fileSize = 0, modifiedNs = 0;
};

// Reads the document's envelope once; none when it is not XML, has no envelope, or gives no
// sender or receiver mail address, or when no boundary can be made.
std::shared_ptr<pop3PacketInfo> BuildMessageInfo(const fileEntry& entry);
// The same from an envelope read before.
std::shared_ptr<pop3PacketInfo> DescribeMessage(const fileEntry& entry, const envelopeInfo& envelope);

// "----=_NextPart_" and the MD5 of 256 random bytes in hexadecimal, grouped 8-4-4-4-12 by "_":
// 51 characters. None when the random source fails.
std::optional<std::string> MakeBoundary();

// The base64 body length of a file of `size` bytes as announced: n = ceil(4s/3), n + 2 * (n / 76).
int64_t EstimateBodySize(int64_t size);

// The message text, from the document's start when `document` is given; with `headOnly` it ends
// after the Content-Type field and its blank line. None when any of the five texts is missing.
// Control characters, quotes and backslashes of the attachment name are written as "_".
std::unique_ptr<ASVariableBuffer> ComposeMailMessage(const std::optional<std::string>& from,
                                                     const std::optional<std::string>& to,
                                                     const std::optional<std::string>& boundary,
                                                     const std::optional<std::string>& date,
                                                     const std::optional<std::string>& attachmentName,
                                                     ASVariableBuffer* document, bool headOnly);

// The same text as ComposeMailMessage with a document of `documentSize` bytes, made piece by piece
// for sending as it is made: `read` gives the document's bytes (a count, 0 at its end, -1 on
// failure) and `emit` takes each piece. False when a text is missing, the document gives other
// than `documentSize` bytes, or `emit` refuses a piece. `ComposedLength` tells the length before.
using MailReader = std::function<int64_t(char*, int64_t)>;
using MailEmitter = std::function<bool(const char*, size_t)>;
bool StreamMailMessage(const std::optional<std::string>& from, const std::optional<std::string>& to,
                       const std::optional<std::string>& boundary, const std::optional<std::string>& date,
                       const std::optional<std::string>& attachmentName, int64_t documentSize, const MailReader& read,
                       const MailEmitter& emit);
// -1 when a text is missing.
int64_t ComposedLength(const std::optional<std::string>& from, const std::optional<std::string>& to,
                       const std::optional<std::string>& boundary, const std::optional<std::string>& date,
                       const std::optional<std::string>& attachmentName, int64_t documentSize);

}  // namespace zel
