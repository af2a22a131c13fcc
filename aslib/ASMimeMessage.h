// A small MIME parser for mailed documents: the message head, one parameter per header, the
// top-level multipart split (one level deep, CR LF line ends), the first attachment, and streaming
// Base64 and quoted-printable decoders. Parts are offsets into the message buffer, never copies, so a
// message that spilled to disk is parsed where it lies. Failures are false or null; nothing is logged.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel {

class ASVariableBuffer;

// The one parameter of a header: the text after its first ';'. Without an '=' it has no name.
struct mimeParameter {
  std::optional<std::string> name;
  std::string value;
};

struct mimeHeader {
  std::string name;
  std::string value;  // up to the first ';', trimmed
  std::optional<mimeParameter> parameter;
};

struct mimePart {
  int64_t offset = 0;  // where the body starts in the message buffer
  int64_t length = 0;  // body bytes
  std::vector<std::shared_ptr<mimeHeader>> headers;
};

class ASMimeMessage {
 public:
  // A head larger than this is not a mail head: the parse fails rather than hold it in memory.
  static constexpr int64_t kHeadLimit = 1 << 20;

  ASMimeMessage() = default;
  virtual ~ASMimeMessage() = default;
  ASMimeMessage(const ASMimeMessage&) = delete;
  ASMimeMessage& operator=(const ASMimeMessage&) = delete;

  // Parses the whole buffer; its read position is restored. True when the head has a header and,
  // for a multipart/ message with a boundary parameter, the split found a closing delimiter and a part.
  bool parse(ASVariableBuffer& buffer);

  const std::shared_ptr<mimePart>& rootPart() const { return root_; }
  const std::vector<std::shared_ptr<mimePart>>& parts() const { return parts_; }

  // The first header named `name`, ignoring ASCII case; null for no part or no such header.
  static std::shared_ptr<mimeHeader> getHeader(const std::shared_ptr<mimePart>& part, std::string_view name);
  // The first part with a Content-Type value whose Content-Disposition value is exactly "attachment".
  std::shared_ptr<mimePart> findAttachment() const;

  // Where a decoder hands its output, in pieces of up to 65537 bytes; false stops the decoding.
  using Sink = std::function<bool(const char*, int64_t)>;
  enum class Decoded {
    kOk,
    kInvalid,  // not valid quoted-printable
    kFailed,   // the message buffer could not deliver the body, or the sink refused a piece
  };
  // The part's body decoded from Base64 (characters outside the alphabet skipped) into `sink`.
  static Decoded decodeBase64Body(const mimePart& part, ASVariableBuffer& buffer, const Sink& sink);
  // The part's body decoded from quoted-printable into `sink`; what went before a fault is handed
  // over already.
  static Decoded decodeQuotedPrintableBody(const mimePart& part, ASVariableBuffer& buffer, const Sink& sink);

  // The part's body decoded from Base64 (characters outside the alphabet skipped); null only when the
  // output cannot be kept (its spill file failed).
  static std::unique_ptr<ASVariableBuffer> decodeBase64Body(const mimePart& part, ASVariableBuffer& buffer);
  // The part's body decoded from quoted-printable; null when it is not valid quoted-printable or the
  // output cannot be kept.
  static std::unique_ptr<ASVariableBuffer> decodeQuotedPrintableBody(const mimePart& part, ASVariableBuffer& buffer);

  // Header-block parsing on its own (folded lines, the one-parameter rule); true when a header resulted.
  static bool ParseHeaders(std::string_view block, mimePart& part);

 private:
  bool split(ASVariableBuffer& buffer, const std::string& boundary);

  std::shared_ptr<mimePart> root_;
  std::vector<std::shared_ptr<mimePart>> parts_;
};

}  // namespace zel
