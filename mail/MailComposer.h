// The mail a POP3 client sees for one document: the record that describes it (addresses from the
// envelope, a fresh boundary, the date of the load, the envelope identifier as unique id), the
// size announced before anything is encoded, and the composed text: a multipart message with an
// empty text part and the document as a base64 attachment, or only its head.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace zel {

class ASVariableBuffer;
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

}  // namespace zel
