#include <gtest/gtest.h>

#include "aslib/ASVariableBuffer.h"
#include "config/XmlDepthLimit.h"
#include "document/EnvelopeReader.h"
#include "tests/TestSupport.h"

namespace zel {
namespace {

using Opt = std::optional<std::string>;

struct EnvelopeCase {
  const char* name;
  std::string document;
  bool record;
  Opt participant, envelope, sender, receiver;
};

std::string Doc(const std::string& body, const std::string& decl = "<?xml version=\"1.0\" encoding=\"utf-8\"?>") {
  return decl + "\n" + body;
}

TEST(EnvelopeReader, ReadsTheRoutingHeader) {
  const EnvelopeCase cases[] = {
      {"prefixed mixed-case names",
       Doc("<env:Envelope xmlns:env='e'><env:Header><ed:EDHeader><ed:ParticipantID>PID-1</ed:ParticipantID>"
           "</ed:EDHeader><roi:RoutingInf><roi:EnvelopeID>a1b2-c3</roi:EnvelopeID>"
           "<roi:SenderInformation>SMTP://Customs.Example/Declarant</roi:SenderInformation>"
           "<roi:ReceiverInformation>smtp://edh.example/gateway</roi:ReceiverInformation></roi:RoutingInf>"
           "</env:Header></env:Envelope>"),
       true, "PID-1", "a1b2-c3", "declarant@customs.example", "gateway@edh.example"},
      {"two prefixes are not recognised",
       Doc("<Envelope><EDHeader><a:b:ParticipantID>X</a:b:ParticipantID></EDHeader></Envelope>"), true, std::nullopt,
       std::nullopt, std::nullopt, std::nullopt},
      {"participantid outside edheader, and before the envelope, are ignored",
       Doc("<root><EDHeader><ParticipantID>early</ParticipantID></EDHeader><Envelope><ParticipantID>stray"
           "</ParticipantID><RoutingInf><ParticipantID>r</ParticipantID></RoutingInf></Envelope></root>"),
       true, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
      {"only bytes 0x21..0x7F of the first piece",
       Doc("<Envelope><EDHeader><ParticipantID> 1234 </ParticipantID></EDHeader><RoutingInf><EnvelopeID>"
           "12&amp;34</EnvelopeID><SenderInformation>\nsmtp://a/b</SenderInformation></RoutingInf></Envelope>"),
       true, "1234", "12", std::nullopt, std::nullopt},
      {"Cyrillic is dropped", Doc("<Envelope><EDHeader><ParticipantID>ИД-77а</ParticipantID></EDHeader></Envelope>"),
       true, "-77", std::nullopt, std::nullopt, std::nullopt},
      {"sender without a path after the host",
       Doc("<Envelope><RoutingInf><SenderInformation>smtp://Host.Example</SenderInformation>"
           "<ReceiverInformation>mailto:x@y</ReceiverInformation></RoutingInf></Envelope>"),
       true, std::nullopt, std::nullopt, "host.example@host.example", std::nullopt},
      {"windows-1251",
       "<?xml version='1.0' encoding='windows-1251'?><Envelope><EDHeader><ParticipantID>\xC8\xC4-9"
       "</ParticipantID></EDHeader></Envelope>",
       true, "-9", std::nullopt, std::nullopt, std::nullopt},
      {"not XML", "PARTICIPANT=1\n", false, {}, {}, {}, {}},
      {"truncated after the value",
       Doc("<Envelope><EDHeader><ParticipantID>P</ParticipantID></EDHeader>"),
       false,
       {},
       {},
       {},
       {}},
      {"unknown encoding", "<?xml version='1.0' encoding='koi8-r'?><Envelope/>", false, {}, {}, {}, {}},
  };
  test::ScratchDir dir;
  for (const auto& c : cases) {
    test::WriteFile(dir / "doc.xml", c.document);
    ASVariableBuffer buffer;
    buffer.append(c.document);
    // From a file, from a buffer, and handed over in pieces of 7 bytes as a decoder would.
    for (int via = 0; via < 3; ++via) {
      std::unique_ptr<envelopeInfo> info;
      if (via < 2) {
        info = via ? ReadEnvelopeBuffer(buffer) : ReadEnvelopeFile(dir / "doc.xml");
      } else {
        EnvelopeFeed feed;
        for (size_t at = 0; at < c.document.size(); at += 7)
          feed.feed(c.document.data() + at, int64_t(std::min<size_t>(7, c.document.size() - at)));
        const Opt early = feed.envelopeId();
        info = feed.finish();
        if (info) {
          EXPECT_EQ(early, c.envelope) << c.name << ": known before the end";
        }
      }
      ASSERT_EQ(info != nullptr, c.record) << c.name << " via " << via;
      if (!info) continue;
      EXPECT_EQ(info->participantId, c.participant) << c.name;
      EXPECT_EQ(info->envelopeId, c.envelope) << c.name;
      EXPECT_EQ(info->senderAddress, c.sender) << c.name;
      EXPECT_EQ(info->receiverAddress, c.receiver) << c.name;
    }
    EXPECT_EQ(buffer.readPosition(), buffer.length()) << "the read position is left at the end";
  }
}

TEST(EnvelopeReader, AValueOnTheNextLineIsPresentAndEmpty) {
  ASVariableBuffer buffer;
  buffer.append("<Envelope><EDHeader><ParticipantID>\n  P1\n</ParticipantID></EDHeader></Envelope>");
  auto info = ReadEnvelopeBuffer(buffer);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->participantId, std::string());
}

// The reader takes its input in pieces; a value that a piece's border cuts is still read whole.
TEST(EnvelopeReader, AValueAcrossAPieceBorderIsReadWhole) {
  test::ScratchDir dir;
  const std::string head = "<Envelope><pad>", value = "ID-0123456789", routing = "</pad><RoutingInf><EnvelopeID>";
  for (size_t border : {size_t(32768), size_t(65536)}) {
    for (size_t cut = 1; cut < value.size(); cut += 4) {
      std::string doc = head + std::string(border - cut - head.size() - routing.size(), 'x') + routing;
      doc += value + "</EnvelopeID></RoutingInf></Envelope>";
      ASSERT_EQ(doc.substr(border - cut, value.size()), value);
      test::WriteFile(dir / "doc.xml", doc);
      ASVariableBuffer buffer;
      buffer.append(doc);
      EnvelopeFeed feed;
      for (size_t at = 0; at < doc.size(); at += 65536)
        feed.feed(doc.data() + at, int64_t(std::min<size_t>(65536, doc.size() - at)));
      std::unique_ptr<envelopeInfo> read[] = {ReadEnvelopeFile(dir / "doc.xml"), ReadEnvelopeBuffer(buffer),
                                              feed.finish()};
      for (const auto& info : read) {
        ASSERT_TRUE(info);
        EXPECT_EQ(info->envelopeId, value) << border << " " << cut << " via " << (&info - read);
      }
    }
  }
}

TEST(EnvelopeReader, LargeAndBrokenDocuments) {
  test::ScratchDir dir;
  // 65536 bytes, root never closed: no record, the parser learns the end after the second piece.
  std::string unclosed = "<Envelope><EDHeader><ParticipantID>P</ParticipantID></EDHeader><pad>";
  unclosed += std::string(65536 - unclosed.size(), 'x');
  test::WriteFile(dir / "big.xml", unclosed);
  EXPECT_EQ(ReadEnvelopeFile(dir / "big.xml"), nullptr);
  // A large, well-formed document with its header at the start.
  std::string large = "<Envelope><EDHeader><ParticipantID>P9</ParticipantID></EDHeader><body>";
  large += std::string(5 << 20, 'y') + "</body></Envelope>";
  test::WriteFile(dir / "large.xml", large);
  auto info = ReadEnvelopeFile(dir / "large.xml");
  ASSERT_TRUE(info);
  EXPECT_EQ(info->participantId, "P9");
  test::WriteFile(dir / "empty.xml", "");
  EXPECT_EQ(ReadEnvelopeFile(dir / "empty.xml"), nullptr);
  EXPECT_EQ(ReadEnvelopeFile(dir / "missing.xml"), nullptr);
  ASVariableBuffer empty;
  EXPECT_EQ(ReadEnvelopeBuffer(empty), nullptr);
}

// Keeps the file channel's messages, without their time stamps, while it is attached.
class MessageLog : public LogWriter {
 public:
  explicit MessageLog(std::string& messages) : messages_(messages) {}
  void writeLine(std::string_view line) override { messages_ += std::string(line.substr(24, line.size() - 26)) + "\n"; }

 private:
  std::string& messages_;
};

// A well-formed envelope whose deepest element is `depth` levels down.
std::string NestedEnvelope(int depth) {
  std::string doc = "<Envelope><EDHeader><ParticipantID>P</ParticipantID></EDHeader>";
  for (int i = 1; i < depth; ++i) doc += "<n>";
  for (int i = 1; i < depth; ++i) doc += "</n>";
  return doc + "</Envelope>";
}

TEST(EnvelopeReader, NestingBeyondTheLimitIsAParseError) {
  std::string messages;
  AttachLogFile(std::make_unique<MessageLog>(messages));
  test::ScratchDir dir;
  for (int depth : {kMaxXmlDepth, kMaxXmlDepth + 1, 1000000}) {
    const bool accepted = depth <= kMaxXmlDepth;
    messages.clear();
    const std::string document = NestedEnvelope(depth);
    test::WriteFile(dir / "deep.xml", document);
    auto fromFile = ReadEnvelopeFile(dir / "deep.xml");
    ASVariableBuffer buffer;
    buffer.append(document);
    auto fromBuffer = ReadEnvelopeBuffer(buffer);
    EXPECT_EQ(fromFile != nullptr, accepted) << depth;
    EXPECT_EQ(fromBuffer != nullptr, accepted) << depth;
    if (accepted) {
      EXPECT_EQ(fromFile->participantId, "P");
      EXPECT_EQ(messages, "");
    } else {
      EXPECT_EQ(messages, "Error in XML file " + (dir / "deep.xml") +
                              " - elements nested deeper than 256 levels\n"
                              "Error in XML elements nested deeper than 256 levels\n")
          << depth;
    }
  }
  AttachLogFile(nullptr);
}

TEST(MailAddressFromSmtpUrl, Conversions) {
  EXPECT_EQ(MailAddressFromSmtpUrl(std::string("SMTP://Host/User")), "user@host");
  EXPECT_EQ(MailAddressFromSmtpUrl(std::string("x smtp://h.ru/a/b")), "b@h.ru/a");
  EXPECT_EQ(MailAddressFromSmtpUrl(std::string("smtp://only")), "only@only");
  EXPECT_EQ(MailAddressFromSmtpUrl(std::string("http://h/u")), std::nullopt);
  EXPECT_EQ(MailAddressFromSmtpUrl(std::nullopt), std::nullopt);
}

}  // namespace
}  // namespace zel
