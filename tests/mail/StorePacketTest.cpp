#include <gtest/gtest.h>

#include <filesystem>

#include "aslib/ASVariableBuffer.h"
#include "aslib/CPBase64.h"
#include "config/CPConfig.h"
#include "mail/LocalHostName.h"
#include "mail/StorePacket.h"
#include "tests/TestSupport.h"

namespace zel {
namespace {

namespace fs = std::filesystem;
const std::string kMime = fs::path(ZEL_TEST_DATA).parent_path().parent_path().string() + "/aslib/data/mime/";

std::string Document(const std::string& envelopeId) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<Envelope><Header><RoutingInf><EnvelopeID>" + envelopeId +
         "</EnvelopeID></RoutingInf><EDHeader><ParticipantID>PID-1</ParticipantID></EDHeader></Header>"
         "<Body>\r\n.line with a period\r\n</Body></Envelope>\r\n";
}

std::string Mail(const std::string& subject, const std::string& disposition, const std::string& encoding,
                 const std::string& body) {
  return "From: a@b\r\nSubject: " + subject +
         "\r\nContent-Type: multipart/mixed; boundary=\"XX\"\r\n\r\n"
         "--XX\r\nContent-Type: text/plain\r\n\r\nsee attachment\r\n"
         "--XX\r\nContent-Type: application/xml\r\nContent-Disposition: " +
         disposition + "; filename=d.xml\r\nContent-Transfer-Encoding: " + encoding + "\r\n\r\n" + body +
         "\r\n--XX--\r\n";
}

std::string Base64Lines(const std::string& bytes) {
  const std::string text = CPBase64().encode(bytes);
  std::string lines;
  for (size_t at = 0; at < text.size(); at += 76) lines += text.substr(at, 76) + "\r\n";
  return lines;
}

struct World {
  test::ScratchDir dir;
  CPConfigPaths folders;
  std::shared_ptr<CPConfigAccount> account = std::make_shared<CPConfigAccount>();
  World() {
    folders.Outbound = dir / "outbound";
    fs::create_directory(*folders.Outbound);
    account->login = "Alice";
  }
  StoreResult store(const std::string& mail) {
    ASVariableBuffer buffer;
    buffer.append(mail);
    return StorePacket(buffer, folders, account, std::string("alice"));
  }
  // Every file below the outbound folder, by path relative to it.
  std::map<std::string, std::string> files() {
    std::map<std::string, std::string> found;
    for (auto& e : fs::recursive_directory_iterator(*folders.Outbound))
      if (e.is_regular_file())
        found[fs::relative(e.path(), *folders.Outbound).string()] = test::ReadFile(e.path().string());
    return found;
  }
};

TEST(StorePacket, StoresTheFirstAttachmentUnderItsEnvelopeIdentifier) {
  const std::string doc = Document("ID-1");
  const std::string qp =
      "<?xml version=3D\"1.0\"?>\r\n<Envelope><RoutingInf><EnvelopeID>ID-=\r\nQP</EnvelopeID>"
      "</RoutingInf>\r\n.dot=E2=82=AC</Envelope>";
  const std::string qpDecoded =
      "<?xml version=\"1.0\"?>\r\n<Envelope><RoutingInf><EnvelopeID>ID-QP</EnvelopeID></RoutingInf>\r\n"
      ".dot\xE2\x82\xAC</Envelope>";
  const std::string late = "<?xml version=\"1.0\"?><Envelope><Pad>" + std::string(200000, 'p') +
                           "</Pad><RoutingInf><EnvelopeID>ID-LATE</EnvelopeID></RoutingInf>" +
                           std::string(300000, ' ') + "</Envelope>";
  using Files = std::map<std::string, std::string>;
  struct Case {
    const char* name;
    std::string mail;
    bool byLogin;
    StoreResult result;
    Files files;
  } const cases[] = {
      {"base64", Mail("EDS", "attachment", "base64", Base64Lines(doc)), false, StoreResult::kOk, {{"ID-1.xml", doc}}},
      {"base64 in capitals, as swaks writes it",
       Mail("EDS", "attachment", "BASE64", Base64Lines(doc)),
       false,
       StoreResult::kOk,
       {{"ID-1.xml", doc}}},
      {"quoted-printable",
       Mail("EDS", "attachment", "quoted-printable", qp),
       false,
       StoreResult::kOk,
       {{"ID-QP.xml", qpDecoded}}},
      {"into the login's subfolder",
       Mail("EDS", "attachment", "base64", Base64Lines(doc)),
       true,
       StoreResult::kOk,
       {{"Alice/ID-1.xml", doc}}},
      {"a colon becomes a hyphen",
       Mail("EDS", "attachment", "base64", Base64Lines(Document("a:b:c"))),
       false,
       StoreResult::kOk,
       {{"a-b-c.xml", Document("a:b:c")}}},
      {"subject eds is not a packet",
       Mail("eds", "attachment", "base64", Base64Lines(doc)),
       false,
       StoreResult::kOk,
       {}},
      {"no attachment", Mail("EDS", "inline", "base64", Base64Lines(doc)), false, StoreResult::kOk, {}},
      {"another transfer encoding", Mail("EDS", "attachment", "7bit", doc), false, StoreResult::kOk, {}},
      {"invalid quoted-printable",
       Mail("EDS", "attachment", "quoted-printable", "caf\xE9"),
       false,
       StoreResult::kOk,
       {}},
      {"no envelope identifier",
       Mail("EDS", "attachment", "base64", Base64Lines("<a>no envelope</a>")),
       false,
       StoreResult::kOk,
       {}},
      {"not multipart", "Subject: EDS\r\n\r\n" + doc, false, StoreResult::kOk, {}},
      {"a path as identifier",
       Mail("EDS", "attachment", "base64", Base64Lines(Document("../../etc/x"))),
       false,
       StoreResult::kRefused,
       {}},
      {"a backslash",
       Mail("EDS", "attachment", "base64", Base64Lines(Document("a\\b"))),
       false,
       StoreResult::kRefused,
       {}},
      {"dot dot", Mail("EDS", "attachment", "base64", Base64Lines(Document(".."))), false, StoreResult::kRefused, {}},
      {"a name too long for a file",
       Mail("EDS", "attachment", "base64", Base64Lines(Document(std::string(252, 'n')))),
       false,
       StoreResult::kRefused,
       {}},
      // The document is written as it is decoded: the pieces before the identifier wait, and
      // whatever comes after it decides as much as if it had been read whole first.
      {"the identifier after 200,000 bytes",
       Mail("EDS", "attachment", "base64", Base64Lines(late)),
       false,
       StoreResult::kOk,
       {{"ID-LATE.xml", late}}},
      {"broken after the identifier",
       Mail("EDS", "attachment", "base64", Base64Lines(Document("ID-1") + "</Broken>")),
       false,
       StoreResult::kOk,
       {}},
      {"broken far after the identifier",
       Mail("EDS", "attachment", "base64", Base64Lines(late + "<")),
       true,
       StoreResult::kOk,
       {}},
      {"a path as identifier in a broken document",
       Mail("EDS", "attachment", "base64", Base64Lines(Document("../x") + "</Broken>")),
       false,
       StoreResult::kOk,
       {}},
      {"the longest name",
       Mail("EDS", "attachment", "base64", Base64Lines(Document(std::string(251, 'n')))),
       false,
       StoreResult::kOk,
       {{std::string(251, 'n') + ".xml", Document(std::string(251, 'n'))}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    World world;
    world.folders.subdirsByLogin = c.byLogin;
    EXPECT_EQ(world.store(c.mail), c.result);
    EXPECT_EQ(world.files(), c.files);
  }
}

TEST(StorePacket, AttachmentsOfRealProducersLandByteForByte) {
  const std::string original = test::ReadFile(kMime + "document.xml");
  for (const char* file :
       {"python-base64.eml", "python-qp.eml", "python-qp-text.eml", "swaks-base64.eml", "s-nail-base64.eml"}) {
    SCOPED_TRACE(file);
    World world;
    EXPECT_EQ(world.store(test::ReadFile(kMime + file)), StoreResult::kOk);
    EXPECT_EQ(world.files(),
              (std::map<std::string, std::string>{{"7c1e0a52-3b6f-4f3a-9e21-5d0c2b8e4a11.xml", original}}));
  }
}

TEST(StorePacket, AFailedWriteIsReportedAndLeavesNothing) {
  World world;
  const std::string mail = Mail("EDS", "attachment", "base64", Base64Lines(Document("ID-1")));
  fs::permissions(*world.folders.Outbound, fs::perms::owner_read | fs::perms::owner_exec);
  if (geteuid() == 0) {
    // root writes anyway: take the folder away instead.
    fs::remove(*world.folders.Outbound);
    test::WriteFile(*world.folders.Outbound, "a file where the folder should be");
    EXPECT_EQ(world.store(mail), StoreResult::kFailed);
    // A file where the login's subfolder should be.
    World byLogin;
    byLogin.folders.subdirsByLogin = true;
    test::WriteFile(*byLogin.folders.Outbound + "/Alice", "a file where the subfolder should be");
    EXPECT_EQ(byLogin.store(mail), StoreResult::kFailed);
    EXPECT_EQ(byLogin.files().size(), 1u);
    return;
  }
  EXPECT_EQ(world.store(mail), StoreResult::kFailed);
  fs::permissions(*world.folders.Outbound, fs::perms::owner_all);
  EXPECT_TRUE(world.files().empty());
}

TEST(LocalHostName, IsTheResolversNameOrTheHostName) {
  auto name = LocalHostName();
  ASSERT_TRUE(name);
  EXPECT_FALSE(name->empty());
}

}  // namespace
}  // namespace zel
