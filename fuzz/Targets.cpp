// Fuzz targets for everything zel parses from outside: config.xml, document envelopes, ticket
// files, chunked bodies, response heads and bodies, Base64. One entry point; the first byte picks
// the target, so one corpus per target can be replayed by the same program.
#include "fuzz/Targets.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
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

void Run(const uint8_t* data, size_t size) {
  if (size == 0) return;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  // 'M' picks the MIME parser; every other first byte keeps its place among the first six targets.
  if (data[0] == 'M') return Mime(bytes);
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
