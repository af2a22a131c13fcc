// The document is decoded straight into a file under a temporary name in the target folder, flushed,
// and renamed into place before StorePacket returns, so an answered mail is on disk and a
// half-written one is never visible to the outbound scanner.
#include "mail/StorePacket.h"

#include <strings.h>

#include <cerrno>

#include "aslib/ASMimeMessage.h"
#include "aslib/ASVariableBuffer.h"
#include "common/Log.h"
#include "common/Utf8Path.h"
#include "config/CPConfig.h"
#include "document/EnvelopeReader.h"
#include "document/FilePlacement.h"
#include "platform/Files.h"

namespace zel {
namespace {

constexpr size_t kNameMax = 255;

// Text from outside, fit for one log line: control bytes become "?".
std::string Printable(const std::string& text) {
  std::string shown = text;
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return shown;
}

// Takes the decoded document piece by piece: reads its envelope as the pieces pass and, as soon as
// the envelope identifier is known and names a storable file, writes the document under a temporary
// name beside its target, so it is written once and put in place at commit. Pieces that come before
// the identifier wait in a buffer (in memory for the first 64 KiB). A refused identifier or a target
// that cannot be had does not stop the reading: a document broken further on is dropped all the same.
class DocumentWriter {
 public:
  DocumentWriter(const CPConfigPaths& folders, const std::shared_ptr<CPConfigAccount>& account, std::string user)
      : folders_(folders), account_(account), user_(std::move(user)) {}

  // The decoders' sink; false stops the decoding (a broken document, or a write that failed).
  bool take(const char* data, int64_t n) {
    if (!envelope_.feed(data, n)) {
      broken_ = true;
      return false;
    }
    if (!decided_ && envelope_.envelopeId()) decide();
    if (writer_ && !writer_->write(data, n, &error_)) writeFailed_ = true;
    if (!decided_ && pending_.append(data, n) != n) {
      error_ = ENOSPC;  // the spill file of the waiting pieces
      writeFailed_ = true;
    }
    return !writeFailed_;
  }
  bool broken() const { return broken_; }
  bool writeFailed() const { return writeFailed_; }

  // After the whole document passed: commits it, or tells why not.
  StoreResult finish() {
    if (writeFailed_) return cannotWrite();  // stopped midway: whether the rest is sound is unknown
    std::unique_ptr<envelopeInfo> envelope = envelope_.finish();
    if (!envelope || !envelope->envelopeId) return StoreResult::kOk;
    if (refused_) {
      LogError("SMTP packet from user %s refused: envelope identifier %s is not a plain file name", user_.c_str(),
               Printable(*envelope->envelopeId).c_str());
      return StoreResult::kRefused;
    }
    if (!folderProblem_.empty()) {
      LogError("Cannot save SMTP packet %s from user %s: %s", name_.c_str(), user_.c_str(), folderProblem_.c_str());
      return StoreResult::kFailed;
    }
    if (folderFailed_) return StoreResult::kFailed;  // "Cannot create directory" told already
    if (!writer_ || !writer_->commit(&error_)) return cannotWrite();
    LogInfo("SMTP packet %s from user %s saved to outbound", Printable(name_).c_str(), user_.c_str());
    return StoreResult::kOk;
  }

 private:
  // The target, once the identifier is known; the pieces so far go into its writer.
  void decide() {
    decided_ = true;
    const std::string& id = *envelope_.envelopeId();
    name_ = id + ".xml";
    if (!IsStorableName(id) || name_.size() > kNameMax) {
      refused_ = true;
      return;
    }
    name_ = ColonsToHyphens(name_);
    if (!folders_.Outbound) {
      folderProblem_ = "no outbound folder";
      return;
    }
    std::string folder = *folders_.Outbound;
    if (folders_.subdirsByLogin) {
      const std::optional<std::string> login = account_ ? account_->login : std::nullopt;
      if (!login || !IsPlainName(*login)) {
        folderProblem_ = "the login cannot name a subfolder";
        return;
      }
      folder = JoinPath(folder, *login);
      if (!EnsureFolderExists(folder)) {
        folderFailed_ = true;
        return;
      }
    }
    target_ = JoinPath(folder, name_);
    writer_ = AtomicFileWriter::Create(target_, &error_);
    // A writer that cannot be had is told at the end, once the document proved sound.
    if (writer_ && !WriteBufferInto(*writer_, pending_, &error_)) writeFailed_ = true;
    pending_.reset();
  }

  StoreResult cannotWrite() {
    LogError("Cannot write to file %s, error 0x%08x", Printable(target_).c_str(), unsigned(error_));
    return StoreResult::kFailed;
  }

  const CPConfigPaths& folders_;
  const std::shared_ptr<CPConfigAccount>& account_;
  const std::string user_;
  EnvelopeFeed envelope_;
  ASVariableBuffer pending_;
  std::unique_ptr<AtomicFileWriter> writer_;
  std::string name_, target_, folderProblem_;
  bool decided_ = false, refused_ = false, folderFailed_ = false, broken_ = false, writeFailed_ = false;
  int error_ = 0;
};

}  // namespace

bool IsStorableName(const std::string& name) {
  return IsPlainName(name) && name.find('\\') == std::string::npos && IsXmlText(name);
}

StoreResult StorePacket(ASVariableBuffer& message, const CPConfigPaths& folders,
                        const std::shared_ptr<CPConfigAccount>& account, const std::optional<std::string>& authUser) {
  const std::string user = Printable(authUser.value_or("-"));
  ASMimeMessage mime;
  const bool parsed = mime.parse(message);
  auto subject = ASMimeMessage::getHeader(mime.rootPart(), "Subject");
  if (!parsed || mime.parts().empty() || !subject || subject->value != "EDS") {
    LogError("Not valid SMTP packet from user %s", user.c_str());
    return StoreResult::kOk;
  }
  auto attachment = mime.findAttachment();
  if (!attachment) return StoreResult::kOk;

  // Transfer encodings are compared without regard to case (swaks writes "BASE64").
  auto encoding = ASMimeMessage::getHeader(attachment, "Content-Transfer-Encoding");
  const bool quoted = encoding && strcasecmp(encoding->value.c_str(), "quoted-printable") == 0;
  if (!quoted && !(encoding && strcasecmp(encoding->value.c_str(), "base64") == 0)) return StoreResult::kOk;

  DocumentWriter writer(folders, account, user);
  const ASMimeMessage::Sink sink = [&](const char* data, int64_t n) { return writer.take(data, n); };
  const ASMimeMessage::Decoded decoded = quoted ? ASMimeMessage::decodeQuotedPrintableBody(*attachment, message, sink)
                                                : ASMimeMessage::decodeBase64Body(*attachment, message, sink);
  if (writer.broken() || decoded == ASMimeMessage::Decoded::kInvalid) return StoreResult::kOk;
  if (decoded == ASMimeMessage::Decoded::kFailed && !writer.writeFailed()) {
    LogError("Cannot keep the document of SMTP packet from user %s", user.c_str());
    return StoreResult::kFailed;
  }
  return writer.finish();
}

}  // namespace zel
