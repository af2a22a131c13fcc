#include "document/EnvelopeReader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "aslib/ASVariableBuffer.h"
#include "common/Log.h"
#include "common/TextConv.h"
#include "config/Windows1251EncodingHook.h"
#include "config/XmlDepthLimit.h"
#include "platform/Files.h"

namespace zel {
namespace {

enum Field { kParticipant = 0, kEnvelope, kSender, kReceiver, kFieldCount };

struct ParseState {
  bool inEnvelope = false;
  bool inEdHeader = false;
  bool inRoutingInf = false;
  bool open[kFieldCount] = {};
  std::optional<std::string> captured[kFieldCount];
  XmlDepthLimit depth;
};

// The element name without its first prefix ("ed:EDHeader" is "EDHeader").
std::string_view LocalName(const XML_Char* name) {
  std::string_view n(name);
  size_t colon = n.find(':');
  return colon == std::string_view::npos ? n : n.substr(colon + 1);
}

// The elements the reader tracks. Names are told apart by their length first, so that the many
// other elements of a document cost one comparison of lengths each.
enum class Element { kOther, kEnvelope, kEdHeader, kRoutingInf, kParticipantId, kEnvelopeId, kSender, kReceiver };

Element Classify(const XML_Char* name) {
  const std::string_view n = LocalName(name);
  switch (n.size()) {
    case 8:
      return EqualsNoCase(n, "envelope")   ? Element::kEnvelope
             : EqualsNoCase(n, "edheader") ? Element::kEdHeader
                                           : Element::kOther;
    case 10:
      return EqualsNoCase(n, "routinginf")   ? Element::kRoutingInf
             : EqualsNoCase(n, "envelopeid") ? Element::kEnvelopeId
                                             : Element::kOther;
    case 13: return EqualsNoCase(n, "participantid") ? Element::kParticipantId : Element::kOther;
    case 17: return EqualsNoCase(n, "senderinformation") ? Element::kSender : Element::kOther;
    case 19: return EqualsNoCase(n, "receiverinformation") ? Element::kReceiver : Element::kOther;
    default: return Element::kOther;
  }
}

// The text-bearing field an element fills, and whether it sits under routinginf (else edheader).
struct TextField {
  Field field;
  bool underRouting;
};
std::optional<TextField> FieldOf(Element e) {
  switch (e) {
    case Element::kParticipantId: return TextField{kParticipant, false};
    case Element::kEnvelopeId: return TextField{kEnvelope, true};
    case Element::kSender: return TextField{kSender, true};
    case Element::kReceiver: return TextField{kReceiver, true};
    default: return std::nullopt;
  }
}

void XMLCALL Start(void* data, const XML_Char* name, const XML_Char**) {
  auto& s = *static_cast<ParseState*>(data);
  if (!s.depth.enter()) return;
  const Element e = Classify(name);
  if (e == Element::kEnvelope) s.inEnvelope = true;
  if (!s.inEnvelope) return;
  if (e == Element::kEdHeader) s.inEdHeader = true;
  if (e == Element::kRoutingInf) s.inRoutingInf = true;
  if (auto f = FieldOf(e); f && (f->underRouting ? s.inRoutingInf : s.inEdHeader)) s.open[f->field] = true;
}

void XMLCALL End(void* data, const XML_Char* name) {
  auto& s = *static_cast<ParseState*>(data);
  s.depth.leave();
  const Element e = Classify(name);
  if (e == Element::kEnvelope) s.inEnvelope = false;
  if (e == Element::kEdHeader) s.inEdHeader = false;
  if (e == Element::kRoutingInf) s.inRoutingInf = false;
  if (auto f = FieldOf(e)) s.open[f->field] = false;
}

// Only the first piece of text inside an element is taken, and of it only bytes 0x21 to 0x7F.
void XMLCALL Text(void* data, const XML_Char* text, int length) {
  auto& s = *static_cast<ParseState*>(data);
  for (int f = 0; f < kFieldCount; ++f) {
    if (!s.open[f] || s.captured[f]) continue;
    std::string kept;
    for (int i = 0; i < length; ++i)
      if (static_cast<signed char>(text[i]) > 32) kept.push_back(text[i]);
    s.captured[f] = std::move(kept);
  }
}

struct ParserFree {
  void operator()(XML_Parser p) const { XML_ParserFree(p); }
};

using Parser = std::unique_ptr<XML_ParserStruct, ParserFree>;

Parser MakeParser(ParseState& state) {
  Parser parser(XML_ParserCreate(nullptr));
  if (!parser) return parser;
  XML_SetUnknownEncodingHandler(parser.get(), Windows1251EncodingHook, nullptr);
  XML_SetElementHandler(parser.get(), Start, End);
  XML_SetCharacterDataHandler(parser.get(), Text);
  XML_SetUserData(parser.get(), &state);
  state.depth.attach(parser.get());
  return parser;
}

std::unique_ptr<envelopeInfo> Build(ParseState& s) {
  auto info = std::make_unique<envelopeInfo>();
  info->participantId = std::move(s.captured[kParticipant]);
  info->envelopeId = std::move(s.captured[kEnvelope]);
  info->senderAddress = MailAddressFromSmtpUrl(s.captured[kSender]);
  info->receiverAddress = MailAddressFromSmtpUrl(s.captured[kReceiver]);
  return info;
}

constexpr int64_t kPiece = 32768;
constexpr size_t kWaitLimit = 65536;

// Hands bytes to expat so that no text is cut where one piece of input ends and the next begins
// (expat reports the text of each parse call apart, and only an element's first text is taken):
// each parse ends just before the last "<" that has come, and the bytes from there wait for the
// next piece. A text of 64 KiB with no "<", far longer than any routing value, is parsed as it stands.
class Feeder {
 public:
  explicit Feeder(ParseState& state) : parser_(MakeParser(state)) {}
  bool ready() const { return parser_ != nullptr; }
  // False on a parse error (the parser's own, not logged here).
  bool feed(const char* data, int64_t n) {
    if (!parser_ || broken_) return false;
    waiting_.append(data, size_t(n));
    size_t cut = waiting_.rfind('<');
    if (cut == std::string::npos || cut == 0) {
      if (waiting_.size() < kWaitLimit) return true;
      cut = waiting_.size();
    }
    const bool ok = parse(cut, false);
    waiting_.erase(0, cut);
    return ok;
  }
  bool finish() { return parser_ && !broken_ && parse(waiting_.size(), true); }
  // The last piece, and the end: parsed where it lies when nothing waits before it (a document that
  // comes in one piece is never copied).
  bool feedLast(const char* data, int64_t n) {
    if (!parser_ || broken_) return false;
    if (!waiting_.empty()) return feed(data, n) && finish();
    broken_ = XML_Parse(parser_.get(), data, int(n), 1) == XML_STATUS_ERROR;
    return !broken_;
  }

 private:
  bool parse(size_t n, bool final) {
    broken_ = XML_Parse(parser_.get(), waiting_.data(), int(n), final) == XML_STATUS_ERROR;
    return !broken_;
  }

  Parser parser_;
  std::string waiting_;
  bool broken_ = false;
};

// Parses what `read` gives, in 32768-byte pieces, until `last(got)` says the piece just read was
// the final one; a parse error goes to `report` and gives no record.
template <typename Read, typename Last, typename Report>
std::unique_ptr<envelopeInfo> Parse(Read read, Last last, Report report) {
  ParseState state;
  Feeder feeder(state);
  if (!feeder.ready()) return nullptr;
  std::unique_ptr<char[]> piece(new char[kPiece]);
  for (;;) {
    int64_t got = read(piece.get(), kPiece);
    if (got < 0) got = 0;
    const bool final = last(got);
    if (!(final ? feeder.feedLast(piece.get(), got) : feeder.feed(piece.get(), got))) {
      report(state.depth.errorText());
      return nullptr;
    }
    if (final) return Build(state);
  }
}

}  // namespace

std::unique_ptr<envelopeInfo> ReadEnvelopeStream(const std::function<int64_t(char*, int64_t)>& read,
                                                 const std::string& path) {
  return Parse(
      read, [](int64_t got) { return got < kPiece; },
      [&](const char* error) { LogError("Error in XML file %s - %s", path.c_str(), error); });
}

std::unique_ptr<envelopeInfo> ReadEnvelopeFile(const std::string& path) {
  std::FILE* file = OpenForReading(path);
  if (!file) return nullptr;
  auto info =
      ReadEnvelopeStream([file](char* to, int64_t n) { return int64_t(std::fread(to, 1, size_t(n), file)); }, path);
  std::fclose(file);
  return info;
}

std::unique_ptr<envelopeInfo> ReadEnvelopeBuffer(ASVariableBuffer& buffer) {
  if (buffer.length() == 0) return nullptr;
  buffer.setReadPosition(0);
  return Parse([&](char* to, int64_t n) { return buffer.read(to, n); }, [&](int64_t) { return buffer.unread() == 0; },
               [](const char* error) { LogError("Error in XML %s", error); });
}

struct EnvelopeFeed::State {
  ParseState parse;
  Feeder feeder{parse};
  bool any = false, broken = false;

  bool fail() {
    if (!broken && feeder.ready()) LogError("Error in XML %s", parse.depth.errorText());
    broken = true;
    return false;
  }
};

EnvelopeFeed::EnvelopeFeed() : state_(std::make_unique<State>()) {}
EnvelopeFeed::~EnvelopeFeed() = default;

bool EnvelopeFeed::feed(const char* data, int64_t n) {
  if (state_->broken) return false;
  if (n <= 0) return true;
  state_->any = true;
  return state_->feeder.feed(data, n) || state_->fail();
}

std::unique_ptr<envelopeInfo> EnvelopeFeed::finish() {
  if (!state_->any || state_->broken) return nullptr;
  if (!state_->feeder.finish()) {
    state_->fail();
    return nullptr;
  }
  return Build(state_->parse);
}

const std::optional<std::string>& EnvelopeFeed::envelopeId() const { return state_->parse.captured[kEnvelope]; }

std::optional<std::string> MailAddressFromSmtpUrl(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  std::string lower = *text;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  size_t scheme = lower.find("smtp://");
  if (scheme == std::string::npos) return std::nullopt;
  size_t lastSlash = lower.rfind('/');
  std::string host = lower.substr(scheme + 7, lastSlash >= scheme + 7 ? lastSlash - (scheme + 7) : 0);
  std::string user = lower.substr(lastSlash + 1);
  if (lastSlash < scheme + 7) host = user;  // no slash after the host: the host stands on both sides
  return user + "@" + host;
}

}  // namespace zel
