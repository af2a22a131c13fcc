// Reads the routing header of a declaration envelope without building a tree: the participant
// identifier (edheader/participantid), the envelope identifier and the sender's and receiver's
// mail addresses (routinginf). Streams the document through expat in 32768-byte pieces.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zel {

class ASVariableBuffer;

struct envelopeInfo {
  std::optional<std::string> participantId;
  std::optional<std::string> envelopeId;
  std::optional<std::string> senderAddress;
  std::optional<std::string> receiverAddress;
};

// Null without a message when the file cannot be opened; null with "Error in XML file %s - %s"
// when the document is not well-formed.
std::unique_ptr<envelopeInfo> ReadEnvelopeFile(const std::string& path);
// Parses the whole buffer from its start; the read position is left at its end. Null for an empty
// buffer, or with "Error in XML %s" for a broken document.
std::unique_ptr<envelopeInfo> ReadEnvelopeBuffer(ASVariableBuffer& buffer);
// Parses what `read` delivers (bytes, 0 at the end, -1 on failure); `path` names it in messages.
std::unique_ptr<envelopeInfo> ReadEnvelopeStream(const std::function<int64_t(char*, int64_t)>& read,
                                                 const std::string& path);

// The same reading for a document handed over piece by piece while it is made (decoded from a
// mail, say): what the envelope gives so far can be asked at any time.
class EnvelopeFeed {
 public:
  EnvelopeFeed();
  ~EnvelopeFeed();
  EnvelopeFeed(const EnvelopeFeed&) = delete;
  EnvelopeFeed& operator=(const EnvelopeFeed&) = delete;

  // Parses the next piece; false once the document proved broken ("Error in XML %s" logged), after
  // which nothing more is parsed.
  bool feed(const char* data, int64_t n);
  // Ends the document: the record ReadEnvelopeBuffer gives for the same bytes (null for none, or
  // with "Error in XML %s" for a broken document).
  std::unique_ptr<envelopeInfo> finish();
  // The envelope identifier once its element's text has been read; it does not change after.
  const std::optional<std::string>& envelopeId() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// "smtp://host/user" (any case) gives "user@host"; no "smtp://" gives none.
std::optional<std::string> MailAddressFromSmtpUrl(const std::optional<std::string>& text);

}  // namespace zel
