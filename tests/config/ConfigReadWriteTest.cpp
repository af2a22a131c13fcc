#include <gtest/gtest.h>

#include "aslib/ASVariableBuffer.h"
#include "config/CPConfig.h"
#include "config/PasswordCipher.h"
#include "config/XmlDepthLimit.h"
#include "tests/TestSupport.h"

namespace zel {
namespace {

class ConfigFile : public testing::Test {
 protected:
  void SetUp() override { events = test::EventRecorder::Install(); }
  void TearDown() override { SetEventSink(nullptr); }

  int Load(const std::string& text, CPConfig& config) {
    test::WriteFile(path(), text);
    return LoadConfig(config, path());
  }
  std::string path() const { return dir / "config.xml"; }
  static std::string Written(const CPConfig& config) {
    ASVariableBuffer out;
    WriteConfig(config, out);
    return out.unreadBytes();
  }

  test::ScratchDir dir;
  std::shared_ptr<test::EventRecorder> events;
};

CPConfig TrickyModel() {
  CPConfig c;
  c.paths.Basedir = "/srv/zel";
  c.paths.Inbound = "/srv/zel/in";
  c.paths.Outbound = "/srv/zel/out";
  c.paths.Bad = "/srv/zel/bad";
  c.paths.Queue = "/srv/zel/queue";
  c.paths.Temp = "/srv/zel/temp";
  c.paths.Copy = "/srv/zel/copy";
  c.paths.copyEnabled = true;
  c.paths.Logfile = "/srv/zel/log/zel.log";
  c.paths.subdirsEnabled = true;
  auto a = std::make_shared<CPConfigAccount>();
  a->name = "ООО \"Рога & Копыта\" <главный>";
  a->ParticipantID = "PID-1";
  a->login = "иванов";
  a->password = EncryptText(a->login, std::string_view("пароль & \"secret\""));
  a->notify = true;
  a->phone = "+7 (495) 123-45-67";
  a->timeout = -3;
  a->hostid = 4;
  c.accounts.push_back(a);
  auto b = std::make_shared<CPConfigAccount>();
  b->ParticipantID = "PID-2";
  b->name = "tab\there, line\nbreak";
  c.accounts.push_back(b);
  c.server = {8443, 45, "/l?a=1&b=2", "/g", "/p", "/r", true, true};
  c.proxy.host = "proxy.local";
  c.proxy.port = 3128;
  c.proxy.login = "px";
  c.proxy.password = EncryptText(c.proxy.login, std::string_view("pxpass"));
  c.proxy.enabled = c.proxy.auth = true;
  c.mailserver = {true, 2525, 1110};
  auto m = std::make_shared<CPConfigMessage>();
  m->type = "T<1>";
  m->description = "описание";
  c.messages.push_back(m);
  return c;
}

TEST_F(ConfigFile, WrittenFileReadsBackToTheSameModel) {
  const CPConfig model = TrickyModel();
  const std::string text = Written(model);
  CPConfig read;
  ASSERT_EQ(Load(text, read), 0) << events->messages();
  EXPECT_EQ(Written(read), text) << "write, read, write again gives the same bytes";
  ASSERT_EQ(read.accounts.size(), 2u);
  const auto& a = *read.accounts[0];
  EXPECT_EQ(a.name, model.accounts[0]->name);
  EXPECT_EQ(a.login, "иванов");
  ASSERT_TRUE(a.plainPassword);
  EXPECT_EQ(a.plainPassword->str(), "пароль & \"secret\"");
  EXPECT_TRUE(a.notify);
  EXPECT_EQ(a.timeout, -3);
  EXPECT_EQ(a.hostid, 4);
  EXPECT_EQ(read.accounts[1]->name, "tab\there, line\nbreak") << "control characters survive";
  EXPECT_FALSE(read.accounts[1]->plainPassword);
  EXPECT_EQ(read.server.list, "/l?a=1&b=2");
  EXPECT_EQ(read.server.port, 8443);
  EXPECT_TRUE(read.server.textmessage && read.server.compression);
  ASSERT_TRUE(read.proxy.plainPassword);
  EXPECT_EQ(read.proxy.plainPassword->str(), "pxpass");
  EXPECT_EQ(read.mailserver.smtp_port, 2525);
  ASSERT_EQ(read.messages.size(), 1u);
  EXPECT_EQ(read.messages[0]->type, "T<1>");
  EXPECT_TRUE(read.paths.copyEnabled && read.paths.subdirsEnabled && !read.paths.subdirsByLogin);
}

TEST_F(ConfigFile, WriterProducesTheExactLines) {
  CPConfig c;
  c.paths.Basedir = "/b";
  auto a = std::make_shared<CPConfigAccount>();
  a->ParticipantID = "P";
  a->name = "x\"&<>y";
  c.accounts.push_back(a);
  const std::string text = Written(c);
  EXPECT_EQ(text.substr(0, 51), "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\r\n<config>\r\n");
  for (const char* line : {
           "  <Basedir path=\"/b\" />\r\n",
           "  <Inbound path=\"\" />\r\n",
           "  <Copy path=\"\" enabled=\"false\" />\r\n",
           "  <Subdirs enabled=\"false\" bylogin=\"false\" />\r\n",
           "  <Accounts>\r\n    <Account name=\"x&quot;&amp;&lt;>y\" ParticipantID=\"P\" login=\"\" password=\"\" "
           "notify=\"false\" phone=\"\" timeout=\"15\" hostid=\"0\" />\r\n  </Accounts>\r\n",
           "  <Server port=\"0\" refresh=\"60\" list=\"\" get=\"\" post=\"\" remove=\"\" textmessage=\"false\" "
           "compression=\"false\" />\r\n",
           "  <Proxy enabled=\"false\" auth=\"false\" ad=\"false\" />\r\n",
           "  <Mailserver enabled=\"false\" smtp_port=\"25\" pop3_port=\"110\" />\r\n",
           "  <Messages>\r\n  </Messages>\r\n</config>\r\n",
       })
    EXPECT_NE(text.find(line), std::string::npos) << line;
  // Optional proxy pieces follow the strings, not the switches; no port without a host.
  c.proxy.port = 8080;
  c.proxy.password = "stored";
  EXPECT_NE(Written(c).find("  <Proxy enabled=\"false\" auth=\"false\" ad=\"false\" password=\"stored\" />\r\n"),
            std::string::npos);
  c.proxy.host = "h";
  c.proxy.login = "l";
  EXPECT_NE(Written(c).find("ad=\"false\" host=\"h\" port=\"8080\" login=\"l\" password=\"stored\" />\r\n"),
            std::string::npos);
}

TEST_F(ConfigFile, LongValuesAreWrittenWhole) {
  CPConfig c;
  auto a = std::make_shared<CPConfigAccount>();
  a->ParticipantID = "P";
  a->name = std::string(100000, 'n');
  c.accounts.push_back(a);
  CPConfig read;
  ASSERT_EQ(Load(Written(c), read), 0);
  ASSERT_EQ(read.accounts.size(), 1u);
  EXPECT_EQ(read.accounts[0]->name->size(), 100000u);
}

std::string Wrap(const std::string& inner) { return "<?xml version=\"1.0\"?>\n<config>\n" + inner + "\n</config>\n"; }

TEST_F(ConfigFile, ValueSyntaxAndElementRules) {
  CPConfig c;
  ASSERT_EQ(Load(Wrap("<Basedir path=' /base/ '/><INBOUND PATH='$basedir/in/'/><outbound path='$basedir/o$basedir'/>"
                      "<Bad path=''/><Logfile path='$basedir/log/'/><Copy path='/c/' enabled='YES'/>"
                      "<Subdirs enabled=' true' bylogin='1'/>"
                      "<SERVER PORT='70000' refresh=' -12abc' list=' /l ' textmessage='True'/>"
                      "<Mailserver smtp_port='-1' pop3_port='x'/>"
                      "<Account ParticipantID='outside'/>"
                      "<accounts><Account ParticipantID='P1'/><Account login='nopid'/>"
                      "<Account participantid='P2' notify='yes' timeout='2147483648' hostid='-7'/></accounts>"
                      "<Server post='/p'/><Proxy host='h' port='65536'/><Proxy port='1'/><messages/>"),
                 c),
            0)
      << events->messages();
  EXPECT_EQ(c.paths.Basedir, "/base") << "trimmed, then one trailing separator dropped";
  EXPECT_EQ(c.paths.Inbound, "/base/in");
  EXPECT_EQ(c.paths.Outbound, "/base/o$basedir") << "only the first $basedir is replaced";
  EXPECT_EQ(c.paths.Bad, "") << "an empty value is present and empty";
  EXPECT_FALSE(c.paths.Queue);
  EXPECT_EQ(c.paths.Logfile, "/base/log/") << "the log path keeps its trailing separator";
  EXPECT_EQ(c.paths.Copy, "/c");
  EXPECT_TRUE(c.paths.copyEnabled);
  EXPECT_FALSE(c.paths.subdirsEnabled) << "a boolean is not trimmed";
  EXPECT_TRUE(c.paths.subdirsByLogin);
  EXPECT_EQ(c.server.port, 4464) << "70000 keeps its low 16 bits";
  EXPECT_EQ(c.server.refresh, -12);
  EXPECT_EQ(c.server.list, "/l");
  EXPECT_EQ(c.server.post, "/p") << "a later occurrence replaces attribute by attribute";
  EXPECT_TRUE(c.server.textmessage);
  EXPECT_EQ(c.mailserver.smtp_port, 65535);
  EXPECT_EQ(c.mailserver.pop3_port, 0);
  ASSERT_EQ(c.accounts.size(), 2u) << "outside Accounts, and without ParticipantID, accounts are dropped";
  EXPECT_EQ(c.accounts[0]->ParticipantID, "P1");
  EXPECT_EQ(c.accounts[0]->timeout, 15);
  EXPECT_EQ(c.accounts[0]->hostid, 0);
  EXPECT_FALSE(c.accounts[0]->notify);
  EXPECT_FALSE(c.accounts[0]->password);
  EXPECT_EQ(c.accounts[1]->timeout, INT32_MAX);
  EXPECT_EQ(c.accounts[1]->hostid, -7);
  EXPECT_EQ(c.proxy.host, "h");
  EXPECT_EQ(c.proxy.port, 1);
  EXPECT_EQ(c.messages.size(), 18u) << "an empty Messages element gets the default table";
  EXPECT_EQ(c.messages[0]->type, "CMN.00001");
  EXPECT_EQ(c.messages[17]->description, "Подтверждение регистрации предварительной информации");
}

TEST_F(ConfigFile, MessagesAndRootRules) {
  CPConfig one;
  ASSERT_EQ(Load(Wrap("<Messages><Message type='A' description='d'/></Messages><Message type='outside'/>"), one), 0);
  ASSERT_EQ(one.messages.size(), 1u);
  EXPECT_EQ(one.messages[0]->type, "A");

  CPConfig noRoot;
  ASSERT_EQ(Load("<settings><Basedir path='/x'/><Server port='1'/></settings>", noRoot), 0);
  EXPECT_FALSE(noRoot.paths.Basedir);
  EXPECT_EQ(noRoot.server.port, 0);
  EXPECT_FALSE(ValidateConfig(noRoot));
  EXPECT_EQ(events->messages(), "E:Parameter Basedir path not found in config file\n");
}

TEST_F(ConfigFile, Windows1251DocumentsAreHeldAsUtf8) {
  // "Проверка" in windows-1251, and the undefined byte 0x98.
  const std::string text =
      "<?xml version=\"1.0\" encoding=\"Windows-1251\"?><config><Messages>"
      "<Message type='T' description='\xCF\xF0\xEE\xE2\xE5\xF0\xEA\xE0 \x98'/>"
      "</Messages></config>";
  CPConfig c;
  ASSERT_EQ(Load(text, c), 0) << events->messages();
  ASSERT_EQ(c.messages.size(), 1u);
  EXPECT_EQ(c.messages[0]->description, "Проверка \xEF\xBF\xBD");
  EXPECT_NE(Written(c).find("description=\"Проверка \xEF\xBF\xBD\""), std::string::npos);
}

TEST_F(ConfigFile, BadInputIsReportedAndWhatWasReadStays) {
  struct Case {
    const char* name;
    std::string text;
    const char* errorText;
  };
  std::string exact = "<config><Basedir path='/kept'/>";
  exact += std::string(2048 - exact.size() - 1, ' ') + "\n";
  const Case cases[] = {
      {"truncated", "<config><Basedir path='/kept'/><Inbound pa", "unclosed token"},
      {"exactly 2048 bytes and unclosed", exact, "no element found"},
      {"unknown encoding", "<?xml version='1.0' encoding='koi8-r'?><config/>", "unknown encoding"},
      {"not XML", "Basedir=/kept\n", "not well-formed (invalid token)"},
      {"text before the root", "x<config/>", "not well-formed (invalid token)"},
      {"empty", "", "no element found"},
  };
  ASSERT_EQ(exact.size(), 2048u);
  for (const auto& c : cases) {
    events->clear();
    CPConfig config;
    EXPECT_EQ(Load(c.text, config), 2) << c.name;
    EXPECT_EQ(events->messages(), "E:Unable to parse config file " + path() + "\n" + c.errorText + "\n") << c.name;
    if (c.text.rfind("<config><Basedir path='/kept'/>", 0) == 0) {
      EXPECT_EQ(config.paths.Basedir, "/kept") << c.name;
    }
    EXPECT_FALSE(config.inConfig || config.inAccounts || config.inMessages);
  }
}

TEST_F(ConfigFile, NestingBeyondTheLimitIsAParseError) {
  // <config> and the Server element inside `depth - 2` levels of padding.
  auto nested = [](int depth) {
    std::string pad, unpad;
    for (int i = 2; i < depth; ++i) pad += "<n>", unpad += "</n>";
    return "<config>" + pad + "<Server port='7'/>" + unpad + "</config>";
  };
  CPConfig deepest;
  ASSERT_EQ(Load(nested(kMaxXmlDepth), deepest), 0);
  EXPECT_EQ(deepest.server.port, 7) << "a known element is read at any depth up to the limit";
  EXPECT_EQ(events->messages(), "");
  for (int depth : {kMaxXmlDepth + 1, 1000000}) {
    events->clear();
    CPConfig tooDeep;
    EXPECT_EQ(Load(nested(depth), tooDeep), 2) << depth;
    EXPECT_EQ(events->messages(),
              "E:Unable to parse config file " + path() + "\nelements nested deeper than 256 levels\n");
  }
}

TEST_F(ConfigFile, MissingFileFolderAndHugeAttribute) {
  CPConfig none;
  EXPECT_EQ(LoadConfig(none, dir / "nowhere/config.xml"), 1);
  EXPECT_EQ(events->messages(), "E:Cannot open config file " + (dir / "nowhere/config.xml") + "\n");
  events->clear();
  CPConfig folder;
  EXPECT_EQ(LoadConfig(folder, dir.path()), 1) << "a folder is no config file";
  EXPECT_EQ(events->messages(), "E:Cannot open config file " + dir.path() + "\n");
  CPConfig huge;
  ASSERT_EQ(Load(Wrap("<Basedir path='" + std::string(3 << 20, 'p') + "'/>"), huge), 0);
  EXPECT_EQ(huge.paths.Basedir->size(), size_t(3 << 20));
}

TEST(AccountLookup, FirstMatchWithoutRegardToCase) {
  CPConfig c;
  for (auto [pid, login] : {std::pair{"Pid-A", "User"}, {"PID-a", "second"}, {"P3", ""}}) {
    auto a = std::make_shared<CPConfigAccount>();
    a->ParticipantID = pid;
    if (*login) a->login = login;
    c.accounts.push_back(a);
  }
  EXPECT_EQ(FindAccountByParticipantId(c, std::string("pid-a")), c.accounts[0]);
  EXPECT_EQ(FindAccountByLogin(c, std::string("USER")), c.accounts[0]);
  EXPECT_EQ(FindAccountByLogin(c, std::string("SECOND")), c.accounts[1]);
  EXPECT_EQ(FindAccountByLogin(c, std::string("")), nullptr) << "accounts without a login never match";
  EXPECT_EQ(FindAccountByParticipantId(c, std::nullopt), nullptr);
  EXPECT_EQ(FindAccountByParticipantId(c, std::string("none")), nullptr);
}

}  // namespace
}  // namespace zel
