// Shared by the zel-config tests: a Prompter that records every box and answers from queues, and a
// valid configuration in a scratch folder to start each case from.
#pragma once

#include <QString>
#include <deque>
#include <filesystem>
#include <optional>
#include <vector>

#include "config/CPConfig.h"
#include "tests/TestSupport.h"
#include "tool/Prompter.h"

namespace zel::test {

struct Shown {
  QString kind;  // "error", "information", "question"
  QString text;
};

class RecordingPrompter : public Prompter {
 public:
  void error(QWidget*, const QString& text) override { shown.push_back({"error", text}); }
  void information(QWidget*, const QString& text) override { shown.push_back({"information", text}); }
  bool question(QWidget*, const QString& text) override {
    shown.push_back({"question", text});
    if (answers.empty()) return true;
    bool yes = answers.front();
    answers.pop_front();
    return yes;
  }
  std::optional<QString> pickFolder(QWidget*, const QString& title, const QString& start) override {
    shown.push_back({"folder", title + "|" + start});
    auto answer = folders.empty() ? std::nullopt : folders.front();
    if (!folders.empty()) folders.pop_front();
    return answer;
  }
  std::optional<QString> pickSaveFile(QWidget*, const QString& title, const QString& folder,
                                      const QString& name) override {
    shown.push_back({"save", title + "|" + folder + "|" + name});
    auto answer = saves.empty() ? std::nullopt : saves.front();
    if (!saves.empty()) saves.pop_front();
    return answer;
  }
  QString texts() const {
    QString all;
    for (const auto& s : shown) all += s.kind + ": " + s.text + "\n";
    return all;
  }

  std::vector<Shown> shown;
  std::deque<bool> answers;
  std::deque<std::optional<QString>> folders, saves;
};

// A configuration whose folders exist under `base`, with one account.
inline CPConfig ValidConfig(const std::string& base) {
  namespace fs = std::filesystem;
  for (const char* sub : {"in", "out", "bad", "queue", "temp", "copy"}) fs::create_directories(base + "/" + sub);
  CPConfig c;
  c.paths.Basedir = base;
  c.paths.Inbound = base + "/in";
  c.paths.Outbound = base + "/out";
  c.paths.Bad = base + "/bad";
  c.paths.Queue = base + "/queue";
  c.paths.Temp = base + "/temp";
  c.paths.Logfile = base + "/zel.log";
  c.paths.Copy = base + "/copy";
  c.server.port = 443;
  c.server.list = "/EDAP/list.php";
  c.server.get = "/EDAP/get.php";
  c.server.post = "/EDAP/send.php";
  c.server.remove = "/EDAP/rm.php";
  auto account = std::make_shared<CPConfigAccount>();
  account->name = "Первый";
  account->ParticipantID = "P1";
  account->login = "user1";
  account->password = "Daa5X2pY6jM=";  // "secret" under user1
  account->plainPassword = SecretString("secret");
  c.accounts.push_back(account);
  AppendDefaultMessages(c);
  return c;
}

inline std::shared_ptr<CPConfigAccount> Account(const char* name, const char* login, const char* id, int hostid = 0) {
  auto a = std::make_shared<CPConfigAccount>();
  a->name = name;
  a->login = login;
  a->ParticipantID = id;
  a->hostid = hostid;
  return a;
}

}  // namespace zel::test
