// The document is written under a temporary name in the target folder, flushed, and renamed into
// place before StorePacket returns, so an answered mail is on disk and a half-written one is never
// visible to the outbound scanner.
#include "mail/StorePacket.h"

#include <strings.h>

#include <cerrno>
#include <filesystem>

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

// Writes the whole buffer as `path`, durable and in place, or nothing at all.
bool WriteDurably(const std::string& path, ASVariableBuffer& buffer, int* error) {
  auto writer = AtomicFileWriter::Create(path, error);
  if (!writer) return false;
  char piece[32768];
  int64_t written = 0;
  for (int64_t at = 0; at < buffer.length();) {
    const int64_t got = buffer.copyOut(at, piece, int64_t(sizeof piece));
    if (got <= 0) {
      *error = EIO;  // the message's own spill file could not be read back
      return false;
    }
    if (!writer->write(piece, got, error)) return false;
    at += got;
    written += got;
  }
  return written == buffer.length() && writer->commit(error);
}

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
  std::unique_ptr<ASVariableBuffer> document;
  if (encoding && strcasecmp(encoding->value.c_str(), "quoted-printable") == 0) {
    document = ASMimeMessage::decodeQuotedPrintableBody(*attachment, message);
  } else if (encoding && strcasecmp(encoding->value.c_str(), "base64") == 0) {
    document = ASMimeMessage::decodeBase64Body(*attachment, message);
    if (!document) {
      LogError("Cannot keep the document of SMTP packet from user %s", user.c_str());
      return StoreResult::kFailed;
    }
  }
  if (!document) return StoreResult::kOk;

  auto envelope = ReadEnvelopeBuffer(*document);
  if (!envelope || !envelope->envelopeId) return StoreResult::kOk;
  const std::string& id = *envelope->envelopeId;
  std::string name = id + ".xml";
  if (!IsStorableName(id) || name.size() > kNameMax) {
    LogError("SMTP packet from user %s refused: envelope identifier %s is not a plain file name", user.c_str(),
             Printable(id).c_str());
    return StoreResult::kRefused;
  }
  for (char& c : name)
    if (c == ':') c = '-';

  if (!folders.Outbound) {
    LogError("Cannot save SMTP packet %s from user %s: no outbound folder", name.c_str(), user.c_str());
    return StoreResult::kFailed;
  }
  std::string folder = *folders.Outbound;
  if (folders.subdirsByLogin) {
    const std::optional<std::string> login = account ? account->login : std::nullopt;
    if (!login || !IsPlainName(*login)) {
      LogError("Cannot save SMTP packet %s from user %s: the login cannot name a subfolder", name.c_str(),
               user.c_str());
      return StoreResult::kFailed;
    }
    folder = JoinPath(folder, *login);
    std::error_code ec;
    if (!std::filesystem::is_directory(Utf8Path(folder), ec) &&
        !std::filesystem::create_directory(Utf8Path(folder), ec)) {
      LogError("Cannot create directory %s, error 0x%08x", folder.c_str(), unsigned(ec.value()));
      return StoreResult::kFailed;
    }
  }
  const std::string target = JoinPath(folder, name);
  int error = 0;
  if (!WriteDurably(target, *document, &error)) {
    LogError("Cannot write to file %s, error 0x%08x", Printable(target).c_str(), unsigned(error));
    return StoreResult::kFailed;
  }
  LogInfo("SMTP packet %s from user %s saved to outbound", Printable(name).c_str(), user.c_str());
  return StoreResult::kOk;
}

}  // namespace zel
