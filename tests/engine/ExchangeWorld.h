// A whole exchange on this machine for end-to-end tests: the test exchange server (HTTPS with the
// test PKI, optionally behind its chaos relay) with mailboxes for alice (hostid 0), bob (hostid 1)
// and carol (hostid 0, whose stored password cannot be decrypted), and a zel base folder whose
// config.xml points at it. zel runs as a real process.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>

#include "config/PasswordCipher.h"
#include "tests/ChildProcess.h"
#include "tests/TestSupport.h"

namespace zel::test {

struct WorldOptions {
  bool chunked = false;
  double chaos = 0;
  std::string faults;
  std::string extraList;
  bool subdirs = false, byLogin = false, copy = false;
  bool fastRetry = true;
  std::string queue = "queue";  // the queue folder as config.xml spells it, under the base folder
  int requestsPerConnection = 0;  // 0: the server's own limit
  std::string extraConfig;        // elements added at the end of config.xml (a Mailserver element, ...)
};

class ExchangeWorld {
 public:
  explicit ExchangeWorld(WorldOptions options) : options_(std::move(options)) {
    namespace fs = std::filesystem;
    for (const char* f : {"base/in", "base/out", "base/bad", "base/queue", "base/temp", "base/log", "base/copy",
                          "base/state", "mb", "server"})
      fs::create_directories(dir / f);
    fs::create_directories(dir / ("base/" + options_.queue));
    WriteFile(dir / "server/accounts", "alice secretA PID-A\nbob secretB PID-B\ncarol secretC PID-C\n");
    std::vector<std::string> argv = {std::string(ZEL_BINARY_DIR) + "/testing/exchange_server",
                                     "--cert",
                                     std::string(ZEL_BINARY_DIR) + "/pki/good.pem",
                                     "--key",
                                     std::string(ZEL_BINARY_DIR) + "/pki/good-key.pem",
                                     "--port-file",
                                     dir / "server/port",
                                     "--accounts",
                                     dir / "server/accounts",
                                     "--mailboxes",
                                     dir / "mb",
                                     "--journal",
                                     dir / "server/journal",
                                     "--faults",
                                     dir / "server/faults"};
    WriteFile(dir / "server/faults", options_.faults);
    if (options_.chunked) argv.push_back("--chunked");
    if (options_.requestsPerConnection > 0)
      argv.insert(argv.end(), {"--requests-per-connection", std::to_string(options_.requestsPerConnection)});
    if (!options_.extraList.empty()) {
      WriteFile(dir / "server/extra", options_.extraList);
      argv.insert(argv.end(), {"--extra-list", dir / "server/extra"});
    }
    if (options_.chaos > 0)
      argv.insert(argv.end(), {"--chaos-port-file", dir / "server/chaos-port", "--chaos-rate",
                               std::to_string(options_.chaos), "--seed", "7"});
    server_ = std::make_unique<ChildProcess>(argv, std::vector<std::string>{}, dir / "server/out.txt");
    const std::string portFile = options_.chaos > 0 ? dir / "server/chaos-port" : dir / "server/port";
    for (int i = 0; i < 1000 && ReadFile(portFile).empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    port = std::atoi(ReadFile(portFile).c_str());
    for (int i = 0; i < 1000 && ReadFile(dir / "server/port").empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::filesystem::copy_file(std::string(ZEL_BINARY_DIR) + "/service/zel", dir / "base/zel");
    WriteConfig();
  }

  void WriteConfig() {
    auto account = [](const char* name, const char* pid, const char* login, const std::string& stored, int hostid) {
      return std::string("<Account name='") + name + "' ParticipantID='" + pid + "' login='" + login + "' password='" +
             stored + "' hostid='" + std::to_string(hostid) + "'/>";
    };
    const std::string b = dir / "base";
    WriteFile(
        dir / "base/config.xml",
        "<config><Basedir path='" + b +
            "'/><Inbound path='$basedir/in'/><Outbound path='$basedir/out'/>"
            "<Bad path='$basedir/bad'/><Queue path='$basedir/" +
            options_.queue +
            "'/><Temp path='$basedir/temp'/>"
            "<Logfile path='$basedir/log/zel.log'/><Copy path='$basedir/copy' enabled='" +
            std::string(options_.copy ? "true" : "false") + "'/><Subdirs enabled='" +
            (options_.subdirs ? "true" : "false") + "' bylogin='" + (options_.byLogin ? "true" : "false") +
            "'/><Accounts>" +
            account("Alice", "PID-A", "alice", *EncryptText(std::string("alice"), std::string_view("secretA")), 0) +
            account("Bob", "PID-B", "bob", *EncryptText(std::string("bob"), std::string_view("secretB")), 1) +
            account("Carol", "PID-C", "carol", "bm90IGEgY2lwaGVydGV4dA==", 0) + "</Accounts><Server port='" +
            std::to_string(port) +
            "' refresh='30' list='/EDAP/list.php' get='/EDAP/get.php' post='/EDAP/send.php' "
            "remove='/EDAP/rm.php' textmessage='true' compression='true'/>" +
            options_.extraConfig + "</config>");
  }

  static std::string Envelope(const std::string& participant, const std::string& id, size_t padding) {
    return "<?xml version=\"1.0\"?><ed:Envelope xmlns:ed='urn:e'><ed:EDHeader><ed:ParticipantID>" + participant +
           "</ed:ParticipantID></ed:EDHeader><ed:RoutingInf><ed:EnvelopeID>" + id +
           "</ed:EnvelopeID></ed:RoutingInf><Body>" + std::string(padding, 'x') + "</Body></ed:Envelope>";
  }
  // A document dropped into the outbound folder; returns its bytes.
  // `folder` is "out", or "out/<login>" in per-login mode.
  std::string Drop(const std::string& name, const std::string& participant, const std::string& id,
                   size_t padding = 2000, const std::string& folder = "out") {
    std::string doc = Envelope(participant, id, padding);
    std::filesystem::create_directories(dir / ("base/" + folder));
    WriteFile(dir / ("base/" + folder + "/" + name + ".part"), doc);
    std::filesystem::rename(dir / ("base/" + folder + "/" + name + ".part"), dir / ("base/" + folder + "/" + name));
    return doc;
  }
  void PutInbox(const std::string& login, const std::string& name, const std::string& content) {
    WriteFile(dir / ("mb/" + login + "/inbox/" + name), content);
  }
  std::string Posted(const std::string& login, const std::string& id) {
    return ReadFile(dir / ("mb/" + login + "/posted/" + id + ".xml"));
  }
  bool OnServer(const std::string& login, const std::string& name) {
    return std::filesystem::exists(dir / ("mb/" + login + "/inbox/" + name));
  }

  std::unique_ptr<ChildProcess> StartZel(const std::vector<std::string>& extraEnv = {}) {
    if (!TestKnobsEnabled())
      ADD_FAILURE() << "zel ignores ZEL_TEST_TICK_MS here: begin the test with ZEL_REQUIRE_TEST_KNOBS()";
    std::vector<std::string> env = {"SSL_CERT_FILE=" + std::string(ZEL_BINARY_DIR) + "/pki/ca.pem",
                                    "ZEL_SERVER_HOSTS=localhost,127.0.0.1,127.0.0.1,127.0.0.1,127.0.0.1",
                                    "ZEL_CONSOLE_RECORD=" + (dir / "console"),
                                    "ZEL_STATE_DIR=" + (dir / "base/state"),
                                    "ZEL_TEST_TICK_MS=20",
                                    "NOTIFY_SOCKET="};
    if (options_.fastRetry) env.push_back("ZEL_TEST_RETRY_SECONDS=1");
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{dir / "base/zel", "-f", "-d", "-c", dir / "base/config.xml"}, env, dir / "zel.out");
  }
  bool WaitFor(const std::function<bool()>& done, int seconds) {
    for (int i = 0; i < seconds * 50; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
  }
  std::string Log() {
    std::string all;
    for (const auto& e : std::filesystem::directory_iterator(dir / "base/log")) all += ReadFile(e.path());
    return all;
  }
  std::string Journal() { return ReadFile(dir / "server/journal"); }
  size_t Count(const std::string& folder) { return CountFiles(dir / folder); }

  ScratchDir dir;
  int port = 0;

 private:
  WorldOptions options_;
  std::unique_ptr<ChildProcess> server_;
};

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace zel::test
