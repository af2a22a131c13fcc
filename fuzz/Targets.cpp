// Fuzz targets for everything zel parses from outside: config.xml, document envelopes, ticket
// files, chunked bodies, response heads and bodies, Base64. One entry point; the first byte picks
// the target, so one corpus per target can be replayed by the same program.
#include "fuzz/Targets.h"

#include <unistd.h>

#include <cstdint>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "aslib/ASChunkReader.h"
#include "aslib/ASHttp.h"
#include "aslib/ASMimeMessage.h"
#include "aslib/ASVariableBuffer.h"
#include "aslib/CPBase64.h"
#include "config/CPConfig.h"
#include "mail/MailSession.h"
#include "mail/SmtpSession.h"
#include "engine/CPTicket.h"
#include "document/EnvelopeReader.h"
#include "platform/Files.h"

namespace zel::fuzz {
namespace {

std::string ScratchFile(const std::string& bytes, const char* suffix) {
  std::string path = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/zelfuzz-" +
                     std::to_string(getpid()) + suffix;
  int error = 0;
  WriteFileAtomically(path, bytes, &error);
  return path;
}

class Pieces : public ASReceiver {
 public:
  Pieces(const std::string& data, size_t size) : data_(data), size_(size ? size : 1) {}
  int64_t receive(ASVariableBuffer& into) override {
    if (at_ >= data_.size()) return 0;
    size_t n = std::min(size_, data_.size() - at_);
    into.append(data_.data() + at_, int64_t(n));
    at_ += n;
    return int64_t(n);
  }

 private:
  const std::string& data_;
  size_t size_, at_ = 0;
};

}  // namespace

void Config(const std::string& bytes) {
  const std::string path = ScratchFile(bytes, ".xml");
  CPConfig config;
  LoadConfig(config, path);
  ASVariableBuffer out;
  WriteConfig(config, out);
  unlink(path.c_str());
}

void Envelope(const std::string& bytes) {
  ASVariableBuffer buffer;
  buffer.append(bytes);
  ReadEnvelopeBuffer(buffer);
}

void Ticket(const std::string& bytes) {
  const std::string path = ScratchFile(bytes, ".ticket");
  CPTicket ticket;
  LoadTicket(path, ticket);
  unlink(path.c_str());
}

void Chunked(const std::string& bytes) {
  if (bytes.empty()) return;
  const size_t piece = size_t(uint8_t(bytes[0])) + 1;
  ASChunkReader reader;
  std::string pending;
  for (size_t at = 1; at < bytes.size() || !pending.empty();) {
    size_t take = std::min(piece, bytes.size() - std::min(at, bytes.size()));
    pending.append(bytes, std::min(at, bytes.size()), take);
    at += take;
    if (pending.empty()) break;
    int64_t left = reader.feed(pending.data(), int64_t(pending.size()));
    reader.clearOutput();
    if (left < 0 || reader.state() == ASChunkReader::kFinished) break;
    if (size_t(left) == pending.size() && take == 0) break;
    pending.erase(0, pending.size() - size_t(left));
  }
}

void Response(const std::string& bytes) {
  if (bytes.empty()) return;
  const std::string data = bytes.substr(1);
  Pieces receiver(data, size_t(uint8_t(bytes[0])) * 7 + 1);
  ASVariableBuffer received, body;
  readResponse(receiver, received, body);
}

void Base64(const std::string& bytes) {
  std::string decoded = CPBase64::decode(bytes);
  if (CPBase64::decode(CPBase64().encode(decoded)) != decoded) std::abort();
}

void Mime(const std::string& bytes) {
  ASVariableBuffer buffer;
  if (!bytes.empty()) buffer.append(bytes);
  ASMimeMessage message;
  message.parse(buffer);
  std::vector<std::shared_ptr<mimePart>> parts = message.parts();
  if (message.rootPart()) parts.push_back(message.rootPart());
  for (const auto& part : parts) {
    if (part->offset < 0 || part->length < 0 || part->offset + part->length > buffer.length()) std::abort();
    auto base64 = ASMimeMessage::decodeBase64Body(*part, buffer);
    auto quoted = ASMimeMessage::decodeQuotedPrintableBody(*part, buffer);
    if (!base64 || base64->length() > part->length) std::abort();
    if (quoted && quoted->length() > part->length) std::abort();
  }
  message.findAttachment();
}

// A client that sends the input in pieces of a size its first byte picks, takes every reply, and
// hangs up at the end of the input.
class ScriptedClient : public ByteStream {
 public:
  ScriptedClient(std::string data, size_t piece) : data_(std::move(data)), piece_(piece ? piece : 1) {}
  int wait(bool, int, int*) override { return 1; }
  int64_t send(const void*, size_t n, int*) override { return int64_t(n); }
  int64_t recv(void* into, size_t n, int*) override {
    const size_t take = std::min({n, piece_, data_.size() - at_});
    std::memcpy(into, data_.data() + at_, take);
    at_ += take;
    return int64_t(take);
  }

 private:
  std::string data_;
  size_t piece_, at_ = 0;
};

void Smtp(const std::string& bytes) {
  if (bytes.empty()) return;
  SetLoginFailureDelay(std::chrono::milliseconds(0));
  static const std::string outbound = [] {
    std::string pattern = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/zelfuzz-smtpXXXXXX";
    return std::string(mkdtemp(pattern.data()));
  }();
  auto alice = std::make_shared<CPConfigAccount>();
  alice->login = "alice";
  alice->plainPassword = SecretString("secretA");
  CPConfigPaths folders;
  folders.Outbound = outbound;
  folders.subdirsByLogin = bytes[0] & 1;
  auto session = std::make_unique<MailSession>(
      std::make_unique<ScriptedClient>(bytes.substr(1), size_t(uint8_t(bytes[0])) * 97 + 1), "127.0.0.1", 1,
      std::vector<std::shared_ptr<CPConfigAccount>>{alice}, folders, std::make_shared<MailerShared>());
  RunSmtpSession(std::move(session));
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(outbound, ec))
    std::filesystem::remove_all(entry.path(), ec);
}

void Run(const uint8_t* data, size_t size) {
  if (size == 0) return;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  // 'M' picks the MIME parser, 'S' the SMTP command loop; every other first byte keeps its place among the first six targets.
  if (data[0] == 'M') return Mime(bytes);
  if (data[0] == 'S') return Smtp(bytes);
  switch (data[0] % 6) {
    case 0: Config(bytes); break;
    case 1: Envelope(bytes); break;
    case 2: Ticket(bytes); break;
    case 3: Chunked(bytes); break;
    case 4: Response(bytes); break;
    case 5: Base64(bytes); break;
  }
}

}  // namespace zel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zel::fuzz::Run(data, size);
  return 0;
}
