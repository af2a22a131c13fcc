// The configuration model shared by both programs: one CPConfig per config.xml, built by LoadConfig,
// checked by ValidateConfig and then only read. Strings are UTF-8 and may be absent (std::nullopt)
// or present and empty; the two are different things here. Accounts and messages are shared records
// that never change after loading, so a copy of the model can go to another thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/SecretString.h"

namespace zel {

using OptString = std::optional<std::string>;

struct CPConfigPaths {
  OptString Basedir, Inbound, Outbound, Bad, Queue, Temp, Logfile;
  bool subdirsEnabled = false;
  bool subdirsByLogin = false;
  bool copyEnabled = false;
  OptString Copy;
};

struct CPConfigAccount {
  OptString name;
  OptString ParticipantID;
  OptString login;
  OptString password;       // the stored, encrypted form exactly as in the file
  OptSecret plainPassword;  // decrypted, held only in memory
  bool notify = false;
  OptString phone;
  int32_t timeout = 15;
  int32_t hostid = 0;
};

struct CPConfigServer {
  uint16_t port = 0;
  int32_t refresh = 60;
  OptString list, get, post, remove;
  bool textmessage = false;
  bool compression = false;
};

struct CPConfigProxy {
  OptString host;
  uint16_t port = 0;
  OptString login;
  OptString password;  // stored form
  OptSecret plainPassword;
  bool enabled = false;
  bool auth = false;
  bool ad = false;
};

struct CPConfigMessage {
  OptString type;
  OptString description;
};

struct CPConfigMailserver {
  bool enabled = false;
  uint16_t smtp_port = 25;
  uint16_t pop3_port = 110;
};

struct CPConfig {
  CPConfigPaths paths;
  std::vector<std::shared_ptr<CPConfigAccount>> accounts;
  CPConfigServer server;
  CPConfigProxy proxy;
  std::vector<std::shared_ptr<CPConfigMessage>> messages;
  CPConfigMailserver mailserver;
  // Reader state, all false outside a read.
  bool inConfig = false;
  bool inAccounts = false;
  bool inMessages = false;
};

class ASVariableBuffer;

// 0 read, 1 file cannot be opened, 2 the XML library reported an error (what was read stays).
int LoadConfig(CPConfig& config, const std::string& path);
// Appends the whole file text to the buffer.
void WriteConfig(const CPConfig& config, ASVariableBuffer& out);
// Replaces the file at `path` with the whole text, once it is on disk; a replaced file keeps its
// owner and loses any group and other permission bits. False with errno in *error.
bool WriteConfigFile(const CPConfig& config, const std::string& path, int* error);
// The start checks of the service; may create per-account subfolders. False after the first failure.
bool ValidateConfig(const CPConfig& config);
// Replaces the first "$basedir" of path with basedir, when both are there.
void ExpandBasedir(const OptString& basedir, OptString& path);

// First account, in file order, whose field equals the key without regard to ASCII case.
std::shared_ptr<CPConfigAccount> FindAccountByParticipantId(const CPConfig& config, const OptString& id);
std::shared_ptr<CPConfigAccount> FindAccountByLogin(const CPConfig& config, const OptString& login);

// The 18 message types a file without any Message gets.
void AppendDefaultMessages(CPConfig& config);

}  // namespace zel
