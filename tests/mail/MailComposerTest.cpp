#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "aslib/ASHttpDate.h"
#include "aslib/ASVariableBuffer.h"
#include "aslib/CPBase64.h"
#include "document/FilePlacement.h"
#include "mail/MailComposer.h"
#include "tests/TestSupport.h"

namespace zel {
namespace {

const std::optional<std::string> kFrom = "a@b", kTo = "c@d", kBoundary = "B", kDate = "D", kName = "doc.xml";

std::string Compose(const std::string& document, bool headOnly = false,
                    const std::optional<std::string>& name = kName) {
  ASVariableBuffer buffer;
  buffer.append(document);
  auto message = ComposeMailMessage(kFrom, kTo, kBoundary, kDate, name, document.empty() ? nullptr : &buffer, headOnly);
  return message ? message->unreadBytes() : "<none>";
}

// The body between the attachment's blank line and the closing "\r\n\r\n--B--\r\n".
std::string Body(const std::string& message) {
  const std::string start = "base64\r\n\r\n", end = "\r\n\r\n--B--\r\n";
  size_t from = message.find(start) + start.size();
  return message.substr(from, message.size() - end.size() - from);
}

TEST(MailComposer, TheWholeMessageByteForByte) {
  EXPECT_EQ(Compose("abc"),
            "From: <a@b>\r\nTo: <c@d>\r\nSubject: EDS\r\nDate: D\r\nMIME-Version: 1.0\r\n"
            "Content-Type: multipart/mixed;\n\tboundary=\"B\"\r\n\r\n"
            "--B\r\nContent-Transfer-Encoding: 7bit\r\nContent-Type: text/plain;\n\tcharset=\"utf-8\"\r\n\r\n"
            "--B\r\nContent-Type: application/xml;\n\tname=\"doc.xml\"\r\n"
            "Content-Disposition: attachment;\n\tfilename=\"doc.xml\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
            "YWJj\r\n\r\n--B--\r\n");
  EXPECT_EQ(Compose("abc", true),
            "From: <a@b>\r\nTo: <c@d>\r\nSubject: EDS\r\nDate: D\r\nMIME-Version: 1.0\r\n"
            "Content-Type: multipart/mixed;\n\tboundary=\"B\"\r\n\r\n");
  ASVariableBuffer document;
  EXPECT_EQ(ComposeMailMessage(kFrom, std::nullopt, kBoundary, kDate, kName, &document, false), nullptr);
  EXPECT_EQ(ComposeMailMessage(kFrom, kTo, kBoundary, kDate, std::nullopt, nullptr, true), nullptr);
}

TEST(MailComposer, BodyLinesAndTheAnnouncedEstimate) {
  struct Case {
    size_t size;
    int64_t estimate;
    std::string body;
  } cases[] = {
      {3, 4, "YWFh"},
      {1, 2, "YQ=="},
      {57, 78, std::string(CPBase64().encode(std::string(57, 'a'))) + "\r\n"},
      {58, 80, std::string(CPBase64().encode(std::string(57, 'a'))) + "\r\nYQ=="},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EstimateBodySize(int64_t(c.size)), c.estimate) << c.size;
    EXPECT_EQ(Body(Compose(std::string(c.size, 'a'))), c.body) << c.size;
  }
}

TEST(MailComposer, TheStreamedBodyIsTheWholeDocumentInLinesOf76AcrossPieceBorders) {
  for (size_t size : {32767u, 32768u, 32769u, 65536u + 5, 300001u}) {
    std::string document(size, '\0');
    for (size_t i = 0; i < size; ++i) document[i] = char(i * 7 + i / 251);
    const std::string body = Body(Compose(document));
    std::string expected, whole = CPBase64().encode(document);
    for (size_t at = 0; at < whole.size(); at += 76)
      expected += whole.substr(at, 76) + (at + 76 <= whole.size() ? "\r\n" : "");
    EXPECT_TRUE(body == expected) << size;
    EXPECT_TRUE(CPBase64::decode(body) == document) << size;
  }
}

TEST(MailComposer, TheMessageMadeWhileSentIsTheComposedOneWithTheLengthToldBefore) {
  // Sizes around the borders of the runs the document is read in (4096 lines of 57 bytes), read
  // back in pieces shorter than a run.
  for (size_t size : {0u, 1u, 2u, 3u, 57u, 58u, 32768u, 32769u, 100000u, 233471u, 233472u, 233473u, 467001u}) {
    std::string document(size, 'q');
    for (size_t i = 0; i < size; ++i) document[i] = char(i * 13);
    const std::string composed = size ? Compose(document) : Compose("");
    size_t at = 0;
    auto read = [&](char* to, int64_t n) {
      int64_t got = std::min<int64_t>({n, int64_t(document.size() - at), 100003});
      std::memcpy(to, document.data() + at, size_t(got));
      at += size_t(got);
      return got;
    };
    std::string streamed;
    EXPECT_TRUE(StreamMailMessage(kFrom, kTo, kBoundary, kDate, kName, int64_t(size), read,
                                  [&](const char* d, size_t n) { return streamed.append(d, n), true; }));
    EXPECT_TRUE(streamed == composed) << size;
    EXPECT_EQ(ComposedLength(kFrom, kTo, kBoundary, kDate, kName, int64_t(size)), int64_t(composed.size())) << size;
  }
  // A document that ends early, cannot be read, or a peer that takes nothing more: no message.
  auto none = [](char*, int64_t) { return int64_t(0); };
  auto broken = [](char*, int64_t) { return int64_t(-1); };
  auto take = [](const char*, size_t) { return true; };
  EXPECT_FALSE(StreamMailMessage(kFrom, kTo, kBoundary, kDate, kName, 10, none, take));
  EXPECT_FALSE(StreamMailMessage(kFrom, kTo, kBoundary, kDate, kName, 10, broken, take));
  EXPECT_FALSE(
      StreamMailMessage(kFrom, kTo, kBoundary, kDate, kName, 0, none, [](const char*, size_t) { return false; }));
  EXPECT_EQ(ComposedLength(kFrom, std::nullopt, kBoundary, kDate, kName, 1), -1);
}

TEST(MailComposer, AnAttachmentNameNeverBreaksALine) {
  const std::string message = Compose("abc", false, std::string("a\r\n.\r\n\"b\\.xml"));
  EXPECT_NE(message.find("name=\"a__.___b_.xml\""), std::string::npos) << message;
}

TEST(MailComposer, BoundariesAreFreshAnd51Characters) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    std::optional<std::string> b = MakeBoundary();
    ASSERT_TRUE(b);
    ASSERT_EQ(b->size(), 51u);
    EXPECT_EQ(b->substr(0, 15), "----=_NextPart_");
    for (size_t at : {23u, 28u, 33u, 38u}) EXPECT_EQ((*b)[at], '_') << *b;
    EXPECT_EQ(b->find_first_not_of("0123456789abcdef_", 15), std::string::npos) << *b;
    seen.insert(*b);
  }
  EXPECT_EQ(seen.size(), 100u);
}

TEST(MailComposer, DateText) {
  EXPECT_EQ(ASHttpDate(1420070400).format(), "Thu, 01 Jan 2015 00:00:00 +0000");
  EXPECT_EQ(ASHttpDate(951868799).format(), "Tue, 29 Feb 2000 23:59:59 +0000");
  EXPECT_EQ(ASHttpDate(0).format(), std::nullopt);
  EXPECT_EQ(ASHttpDate().format()->size(), 31u);
}

TEST(MailComposer, ADocumentIsDescribedFromItsEnvelopeOrRefused) {
  test::ScratchDir dir;
  auto entry = [&](const std::string& name, const std::string& bytes) {
    test::WriteFile(dir / name, bytes);
    return fileEntry{dir / name, 0, uint32_t(bytes.size()), name};
  };
  const std::string routing =
      "<Envelope><RoutingInf><EnvelopeID>E1</EnvelopeID>"
      "<SenderInformation>smtp://Host.Example/Sender</SenderInformation>";
  auto info = BuildMessageInfo(entry(
      "good.xml", routing + "<ReceiverInformation>smtp://r.example/to</ReceiverInformation></RoutingInf></Envelope>"));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->fromAddress, "sender@host.example");
  EXPECT_EQ(info->toAddress, "to@r.example");
  EXPECT_EQ(info->uid, "E1");
  EXPECT_EQ(info->fileName, "good.xml");
  auto head = ComposeMailMessage(info->fromAddress, info->toAddress, info->boundary, info->dateText, info->fileName,
                                 nullptr, false);
  EXPECT_EQ(info->messageSize, head->length() + EstimateBodySize(std::filesystem::file_size(dir / "good.xml")));
  EXPECT_FALSE(BuildMessageInfo(entry("noreceiver.xml", routing + "</RoutingInf></Envelope>")));
  EXPECT_FALSE(BuildMessageInfo(entry("broken.xml", routing)));
  EXPECT_FALSE(BuildMessageInfo(entry("plain.xml", "not XML at all")));
}

}  // namespace
}  // namespace zel
