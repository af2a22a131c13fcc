#include <gtest/gtest.h>
#include <sys/resource.h>

#include <random>
#include <string>

#include "aslib/ASMimeMessage.h"
#include "aslib/ASVariableBuffer.h"
#include "aslib/CPBase64.h"
#include "tests/TestSupport.h"

namespace zel {
namespace {

const std::string kData = std::string(ZEL_TEST_DATA) + "/mime/";

std::unique_ptr<ASVariableBuffer> BufferOf(const std::string& bytes) {
  auto buffer = std::make_unique<ASVariableBuffer>();
  if (!bytes.empty()) buffer->append(bytes);
  return buffer;
}

std::string Bytes(ASVariableBuffer* buffer) {
  if (!buffer) return "<none>";
  buffer->setReadPosition(0);
  return buffer->unreadBytes();
}

std::string Body(ASVariableBuffer& buffer, const mimePart& part) {
  std::string body(size_t(part.length), '\0');
  buffer.copyOut(part.offset, body.data(), part.length);
  return body;
}

std::unique_ptr<ASVariableBuffer> Decode(const mimePart& part, ASVariableBuffer& buffer) {
  auto encoding = ASMimeMessage::getHeader(std::make_shared<mimePart>(part), "Content-Transfer-Encoding");
  if (!encoding) return nullptr;
  if (strcasecmp(encoding->value.c_str(), "base64") == 0) return ASMimeMessage::decodeBase64Body(part, buffer);
  return ASMimeMessage::decodeQuotedPrintableBody(part, buffer);
}

// Messages made by real mail producers (tests/aslib/data/mime/make.sh): the attachment decodes to the
// bytes that were attached.
TEST(ASMimeMessage, AttachmentsOfRealProducersDecodeToTheOriginalBytes) {
  struct Case {
    const char* file;
    const char* original;
    size_t parts;
  } const cases[] = {
      {"python-base64.eml", "document.xml", 2},  {"python-qp.eml", "document.xml", 2},
      {"python-qp-text.eml", "document.xml", 2}, {"python-preamble-epilogue.eml", "image.bin", 2},
      {"swaks-base64.eml", "document.xml", 2},   {"s-nail-base64.eml", "document.xml", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    auto buffer = BufferOf(test::ReadFile(kData + c.file));
    buffer->setReadPosition(7);
    ASMimeMessage message;
    ASSERT_TRUE(message.parse(*buffer));
    EXPECT_EQ(buffer->readPosition(), 7);
    EXPECT_EQ(message.parts().size(), c.parts);
    auto subject = ASMimeMessage::getHeader(message.rootPart(), "subject");
    ASSERT_TRUE(subject);
    EXPECT_EQ(subject->value, "EDS");
    auto attachment = message.findAttachment();
    ASSERT_TRUE(attachment);
    auto decoded = Decode(*attachment, *buffer);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(Bytes(decoded.get()), test::ReadFile(kData + c.original));
  }
}

TEST(ASMimeMessage, HeadersFoldAndCarryOneParameter) {
  mimePart part;
  ASSERT_TRUE(
      ASMimeMessage::ParseHeaders("Content-Type: multipart/mixed;\r\n\tboundary=\"b 1\"\r\n"
                                  "X-Two: text/plain; charset=utf-8; boundary=zz\r\n"
                                  "X-Bare: value ; justtext\r\n"
                                  "X-High: a\r\n\xC3\xA9t\xC3\xA9\r\n"
                                  "no colon here\r\n"
                                  "Spaced-Name \t:   v  \r\n",
                                  part));
  ASSERT_EQ(part.headers.size(), 5u);
  EXPECT_EQ(part.headers[0]->value, "multipart/mixed");
  EXPECT_EQ(*part.headers[0]->parameter->name, "boundary");
  EXPECT_EQ(part.headers[0]->parameter->value, "b 1");
  EXPECT_EQ(*part.headers[1]->parameter->name, "charset");
  EXPECT_EQ(part.headers[1]->parameter->value, "utf-8; boundary=zz");
  EXPECT_FALSE(part.headers[2]->parameter->name);
  EXPECT_EQ(part.headers[2]->value, "value");
  EXPECT_EQ(part.headers[2]->parameter->value, "justtext");
  // A line that starts with a byte of 0x80 or above continues the header before it.
  EXPECT_EQ(part.headers[3]->value, "a\r\n\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(part.headers[4]->name, "Spaced-Name");
  EXPECT_EQ(part.headers[4]->value, "v");
  EXPECT_FALSE(part.headers[4]->parameter);
  EXPECT_FALSE(ASMimeMessage::ParseHeaders("no colon\r\n", part = mimePart{}));
}

const std::string kHead = "Subject: EDS\r\nContent-Type: multipart/mixed; boundary=BB\r\n\r\n";
const std::string kText = "--BB\r\nContent-Type: text/plain\r\n\r\nhello\r\n";
const std::string kAttached =
    "--BB\r\nContent-Type: application/xml\r\nContent-Disposition: attachment; filename=a.xml\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\nPGE+MTwvYT4=\r\n";

TEST(ASMimeMessage, SplitsTheTopLevelMultipartOnly) {
  struct Case {
    const char* name;
    std::string message;
    bool parsed;
    std::vector<std::string> bodies;
  } const cases[] = {
      {"plain two parts", kHead + kText + kAttached + "--BB--\r\n", true, {"hello", "PGE+MTwvYT4="}},
      {"folded boundary in quotes",
       "Subject: EDS\r\nContent-Type: multipart/mixed;\r\n boundary=\"BB\"\r\n\r\n" + kText + "--BB--\r\n",
       true,
       {"hello"}},
      {"boundary as second parameter is not one",
       "Content-Type: multipart/mixed; charset=x; boundary=BB\r\n\r\n" + kText + "--BB--\r\n",
       true,
       {}},
      {"multipart is case-sensitive",
       "Content-Type: Multipart/mixed; boundary=BB\r\n\r\n" + kText + "--BB--\r\n",
       true,
       {}},
      {"preamble and epilogue",
       kHead + "preamble\r\n--BBnot\r\nmore\r\n" + kText + kAttached +
           "--BB--\r\nepilogue\r\n--BB\r\nX: y\r\n\r\nlate\r\n--BB--\r\n",
       true,
       {"hello", "PGE+MTwvYT4="}},
      {"no closing delimiter fails although parts were found",
       kHead + kText + kAttached + "--BB\r\n",
       false,
       {"hello", "PGE+MTwvYT4="}},
      {"no delimiter at all", kHead + "just text\r\n", false, {}},
      {"a part without a blank line is skipped",
       kHead + "--BB\r\nContent-Type: text/plain\r\nno blank\r\n" + kText + "--BB--\r\n",
       true,
       {"hello"}},
      {"a part whose blank line lies in the next part is skipped",
       kHead + "--BB\r\nX: 1\r\n" + "--BB\r\nY: 2\r\n\r\nbody\r\n--BB--\r\n",
       true,
       {"body"}},
      {"headers straight before a delimiter give an empty body", kHead + "--BB\r\nX: 1\r\n\r\n--BB--\r\n", true, {""}},
      {"only a closing delimiter", kHead + "--BB--\r\n", false, {}},
      {"no blank line after the head", "Subject: EDS\r\n", false, {}},
      {"an empty head", "\r\n\r\nbody", false, {}},
      {"a head without a header", "just words\r\n\r\nbody", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto buffer = BufferOf(c.message);
    ASMimeMessage message;
    EXPECT_EQ(message.parse(*buffer), c.parsed);
    std::vector<std::string> bodies;
    for (const auto& part : message.parts()) bodies.push_back(Body(*buffer, *part));
    EXPECT_EQ(bodies, c.bodies);
  }
}

TEST(ASMimeMessage, FindsTheFirstPartMarkedAttachment) {
  const std::string second = "--BB\r\nContent-Type: text/xml\r\nContent-Disposition: attachment\r\n\r\nsecond\r\n";
  const std::string capital = "--BB\r\nContent-Type: text/xml\r\nContent-Disposition: Attachment\r\n\r\ncap\r\n";
  const std::string untyped = "--BB\r\nContent-Disposition: attachment\r\n\r\nuntyped\r\n";
  struct Case {
    const char* name;
    std::string parts;
    std::string found;
  } const cases[] = {
      {"the first of two", kText + kAttached + second, "PGE+MTwvYT4="},
      {"a capital A is not an attachment", capital + second, "second"},
      {"an attachment needs a content type", untyped + second, "second"},
      {"none", kText + capital, "<none>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto buffer = BufferOf(kHead + c.parts + "--BB--\r\n");
    ASMimeMessage message;
    ASSERT_TRUE(message.parse(*buffer));
    auto part = message.findAttachment();
    EXPECT_EQ(part ? Body(*buffer, *part) : "<none>", c.found);
  }
}

TEST(ASMimeMessage, QuotedPrintableDecodesOrRefuses) {
  const std::string longLine(130, 'a'), lastLine(128, 'a');
  struct Case {
    const char* name;
    std::string body;
    std::optional<std::string> decoded;  // none: refused
  } const cases[] = {
      {"=3D is an equals sign, hex in either case", "a=3Db=3db=E2=82=AC\r\nx", "a=b=b\xE2\x82\xAC\r\nx"},
      {"a soft break joins lines", "joi=\r\nned\r\nnext", "joined\r\nnext"},
      {"a raw byte 0xE0", "caf\xE0", std::nullopt},
      {"a NUL byte", std::string("a\0b", 3), std::nullopt},
      {"= at the end", "abc=", std::nullopt},
      {"= with one byte left in the line", "ab=4\r\nx", std::nullopt},
      {"= CR and not LF", "ab=\rx\r\n", std::nullopt},
      {"= and a non-hex character", "a=G1\r\n", std::nullopt},
      {"a line over 127 bytes before the end", longLine + "\r\nx", std::nullopt},
      {"a last line of 128 bytes", "x\r\n" + lastLine, "x\r\n" + lastLine},
      {"a last line of 130 bytes", "x\r\n" + longLine, std::nullopt},
      {"an empty body", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto buffer = BufferOf(c.body);
    mimePart part;
    part.length = int64_t(c.body.size());
    auto decoded = ASMimeMessage::decodeQuotedPrintableBody(part, *buffer);
    EXPECT_EQ(Bytes(decoded.get()), c.decoded.value_or("<none>"));
  }
}

std::string Fold(const std::string& text, size_t width) {
  std::string folded;
  for (size_t at = 0; at < text.size(); at += width) folded += text.substr(at, width) + "\r\n";
  return folded;
}

// A body of several collection blocks, spilled to disk, with lines of every width a producer might
// choose: the decoded bytes are the encoded ones, whatever the line width.
TEST(ASMimeMessage, Base64BodiesSpillAndDecodeAcrossBlocks) {
  std::mt19937 random(7);
  std::string original(400000, '\0');
  for (auto& c : original) c = char(random());
  const std::string encoded = CPBase64().encode(original);
  for (size_t width : {76u, 74u, 64u, 1u, 200u}) {
    SCOPED_TRACE(width);
    auto buffer = BufferOf(kHead +
                           "--BB\r\nContent-Type: application/octet-stream\r\n"
                           "Content-Disposition: attachment\r\n\r\n" +
                           Fold(encoded, width) + "--BB--\r\n");
    ASSERT_TRUE(buffer->spilled());
    ASMimeMessage message;
    ASSERT_TRUE(message.parse(*buffer));
    auto decoded = ASMimeMessage::decodeBase64Body(*message.findAttachment(), *buffer);
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(Bytes(decoded.get()) == original);
  }
}

long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// A 1 GB attachment is parsed and decoded where it lies, with memory that does not grow with it.
TEST(ASMimeMessage, AGigabyteAttachmentDecodesInFlatMemory) {
#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "runs in the optimised build only";
#endif
  constexpr size_t kChunk = 57 * 1024;  // 76-character lines
  constexpr size_t kChunks = (size_t(1) << 30) / kChunk + 1;
  auto chunk = [](size_t i) {
    std::string bytes(kChunk, '\0');
    uint64_t x = i * 0x9E3779B97F4A7C15ull + 1;
    for (auto& c : bytes) c = char((x ^= x << 13, x ^= x >> 7, x ^= x << 17));
    return bytes;
  };
  const long before = PeakRssKiB();
  ASVariableBuffer buffer;
  buffer.append(kHead + "--BB\r\nContent-Type: application/xml\r\nContent-Disposition: attachment\r\n\r\n");
  CPBase64 encoder;
  for (size_t i = 0; i < kChunks; ++i) ASSERT_GT(buffer.append(Fold(encoder.encode(chunk(i)), 76)), 0);
  buffer.append(std::string("--BB--\r\n"));

  ASMimeMessage message;
  ASSERT_TRUE(message.parse(buffer));
  auto decoded = ASMimeMessage::decodeBase64Body(*message.findAttachment(), buffer);
  ASSERT_TRUE(decoded);
  ASSERT_EQ(decoded->length(), int64_t(kChunks * kChunk));
  std::string piece(kChunk, '\0');
  for (size_t i = 0; i < kChunks; ++i) {
    ASSERT_EQ(decoded->read(piece.data(), int64_t(kChunk)), int64_t(kChunk));
    ASSERT_TRUE(piece == chunk(i)) << "chunk " << i;
  }
  EXPECT_LT(PeakRssKiB() - before, 16 * 1024) << "peak RSS grew with the attachment";
}

}  // namespace
}  // namespace zel
