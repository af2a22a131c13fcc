// LoadConfig: config.xml through expat in 2048-byte blocks. Element and attribute names match
// without regard to case; a known element is read wherever it stands inside <config>, Account only
// inside Accounts and Message only inside Messages.
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/Log.h"
#include "common/TextConv.h"
#include "config/CPConfig.h"
#include "config/PasswordCipher.h"
#include "config/Windows1251EncodingHook.h"
#include "config/XmlDepthLimit.h"
#include "platform/Files.h"

namespace zel {

int XMLCALL Windows1251EncodingHook(void*, const XML_Char* name, XML_Encoding* info) {
  if (!name || !EqualsNoCase(name, "windows-1251")) return XML_STATUS_ERROR;
  for (int byte = 0; byte < 256; ++byte) info->map[byte] = Cp1251ToChar(static_cast<unsigned char>(byte));
  info->data = nullptr;
  info->convert = nullptr;
  info->release = nullptr;
  return XML_STATUS_OK;
}

namespace {

OptString Text(const char* value) {
  std::string text(value);
  TrimSpaces(text);
  return text;
}

bool Boolean(const char* value) {
  return EqualsNoCase(value, "true") || EqualsNoCase(value, "yes") || EqualsNoCase(value, "1");
}

// Decimal with leading white space and one sign; stops at the first non-digit; saturates like atoi.
int32_t Integer(const char* value) {
  const char* p = value;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int64_t n = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    n = n * 10 + (*p - '0');
    if (n > int64_t(INT32_MAX) + 1) n = int64_t(INT32_MAX) + 1;
  }
  if (negative) n = -n;
  if (n > INT32_MAX) n = INT32_MAX;
  return int32_t(n);
}

uint16_t Port(const char* value) { return uint16_t(uint32_t(Integer(value)) & 0xFFFF); }

bool Is(const XML_Char* name, const char* expected) { return EqualsNoCase(name, expected); }

// Runs `apply(name, value)` for every attribute pair.
template <typename Apply>
void ForEachAttribute(const XML_Char** atts, Apply apply) {
  for (int i = 0; atts[i] && atts[i + 1]; i += 2) apply(atts[i], atts[i + 1]);
}

OptSecret PlainPassword(const OptString& login, const OptString& stored) {
  if (!login || login->empty() || !stored) return std::nullopt;
  return DecryptText(login, stored);
}

void ReadPath(const char* element, const XML_Char** atts, CPConfigPaths& paths) {
  struct Slot {
    const char* element;
    OptString CPConfigPaths::*field;
  };
  static constexpr Slot kSlots[] = {
      {"basedir", &CPConfigPaths::Basedir},   {"inbound", &CPConfigPaths::Inbound},
      {"outbound", &CPConfigPaths::Outbound}, {"bad", &CPConfigPaths::Bad},
      {"queue", &CPConfigPaths::Queue},       {"temp", &CPConfigPaths::Temp},
      {"logfile", &CPConfigPaths::Logfile},
  };
  for (const Slot& slot : kSlots) {
    if (!Is(element, slot.element)) continue;
    ForEachAttribute(atts, [&](const char* n, const char* v) {
      if (Is(n, "path")) paths.*slot.field = Text(v);
    });
  }
}

// What the handlers are given: the model being filled and the nesting bound of this read.
struct ConfigParse {
  CPConfig& config;
  XmlDepthLimit depth;
};

void XMLCALL StartElement(void* data, const XML_Char* name, const XML_Char** atts) {
  auto& parse = *static_cast<ConfigParse*>(data);
  if (!parse.depth.enter()) return;
  CPConfig& c = parse.config;
  if (Is(name, "config")) c.inConfig = true;
  if (!c.inConfig) return;

  ReadPath(name, atts, c.paths);
  if (Is(name, "copy")) {
    ForEachAttribute(atts, [&](const char* n, const char* v) {
      if (Is(n, "path"))
        c.paths.Copy = Text(v);
      else if (Is(n, "enabled"))
        c.paths.copyEnabled = Boolean(v);
    });
  } else if (Is(name, "subdirs")) {
    ForEachAttribute(atts, [&](const char* n, const char* v) {
      if (Is(n, "enabled"))
        c.paths.subdirsEnabled = Boolean(v);
      else if (Is(n, "bylogin"))
        c.paths.subdirsByLogin = Boolean(v);
    });
  } else if (Is(name, "accounts")) {
    c.inAccounts = true;
  } else if (Is(name, "account") && c.inAccounts) {
    auto a = std::make_shared<CPConfigAccount>();
    ForEachAttribute(atts, [&](const char* n, const char* v) {
      if (Is(n, "name"))
        a->name = Text(v);
      else if (Is(n, "participantid"))
        a->ParticipantID = Text(v);
      else if (Is(n, "login"))
        a->login = Text(v);
      else if (Is(n, "password"))
        a->password = Text(v);
      else if (Is(n, "notify"))
        a->notify = Boolean(v);
      else if (Is(n, "phone"))
        a->phone = Text(v);
      else if (Is(n, "timeout"))
        a->timeout = Integer(v);
      else if (Is(n, "hostid"))
        a->hostid = Integer(v);
    });
    a->plainPassword = PlainPassword(a->login, a->password);
    if (a->ParticipantID) c.accounts.push_back(std::move(a));
  } else if (Is(name, "server")) {
    ForEachAttribute(atts, [&](const char* n, const char* v) {
      if (Is(n, "port"))
        c.server.port = Port(v);
      else if (Is(n, "refresh"))
        c.server.refresh = Integer(v);
      else if (Is(n, "list"))
        c.server.list = Text(v);
      else if (Is(n, "get"))
        c.server.get = Text(v);
      else if (Is(n, "post"))
        c.server.post = Text(v);
      else if (Is(n, "remove"))
        c.server.remove = Text(v);
      else if (Is(n, "textmessage"))
        c.server.textmessage = Boolean(v);
      else if (Is(n, "compression"))
        c.server.compression = Boolean(v);
    });
  } else if (Is(name, "proxy")) {
    ForEachAttribute(atts, [&](const char* n, const char* v) {
      if (Is(n, "enabled"))
        c.proxy.enabled = Boolean(v);
      else if (Is(n, "auth"))
        c.proxy.auth = Boolean(v);
      else if (Is(n, "ad"))
        c.proxy.ad = Boolean(v);
      else if (Is(n, "host"))
        c.proxy.host = Text(v);
      else if (Is(n, "port"))
        c.proxy.port = Port(v);
      else if (Is(n, "login"))
        c.proxy.login = Text(v);
      else if (Is(n, "password"))
        c.proxy.password = Text(v);
    });
    c.proxy.plainPassword = PlainPassword(c.proxy.login, c.proxy.password);
  } else if (Is(name, "messages")) {
    c.inMessages = true;
  } else if (Is(name, "message") && c.inMessages) {
    auto m = std::make_shared<CPConfigMessage>();
    ForEachAttribute(atts, [&](const char* n, const char* v) {
      if (Is(n, "type"))
        m->type = Text(v);
      else if (Is(n, "description"))
        m->description = Text(v);
    });
    c.messages.push_back(std::move(m));
  } else if (Is(name, "mailserver")) {
    ForEachAttribute(atts, [&](const char* n, const char* v) {
      if (Is(n, "enabled"))
        c.mailserver.enabled = Boolean(v);
      else if (Is(n, "smtp_port"))
        c.mailserver.smtp_port = Port(v);
      else if (Is(n, "pop3_port"))
        c.mailserver.pop3_port = Port(v);
    });
  }
}

// One trailing separator goes, but the root folder stays the root folder.
void DropTrailingSeparator(OptString& path) {
  if (path && path->size() > 1 && path->back() == '/') path->pop_back();
}

void FinishPaths(CPConfigPaths& p) {
  for (OptString* path : {&p.Basedir, &p.Inbound, &p.Outbound, &p.Bad, &p.Queue, &p.Temp, &p.Copy})
    DropTrailingSeparator(*path);
  for (OptString* path : {&p.Inbound, &p.Outbound, &p.Bad, &p.Queue, &p.Temp, &p.Logfile, &p.Copy})
    ExpandBasedir(p.Basedir, *path);
}

void XMLCALL EndElement(void* data, const XML_Char* name) {
  auto& parse = *static_cast<ConfigParse*>(data);
  parse.depth.leave();
  CPConfig& c = parse.config;
  if (Is(name, "accounts")) {
    c.inAccounts = false;
  } else if (Is(name, "messages")) {
    c.inMessages = false;
  } else if (Is(name, "config")) {
    if (c.inConfig) FinishPaths(c.paths);
    c.inConfig = false;
  }
}

struct ParserFree {
  void operator()(XML_Parser p) const { XML_ParserFree(p); }
};
struct FileClose {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

void ExpandBasedir(const OptString& basedir, OptString& path) {
  if (!basedir || !path) return;
  size_t at = path->find("$basedir");
  if (at != std::string::npos) path->replace(at, 8, *basedir);
}

int LoadConfig(CPConfig& config, const std::string& path) {
  std::unique_ptr<std::FILE, FileClose> file(OpenForReading(path));
  if (!file) {
    EventError("Cannot open config file %s", path.c_str());
    return 1;
  }
  std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate(nullptr));
  if (!parser) return 2;
  XML_SetUnknownEncodingHandler(parser.get(), Windows1251EncodingHook, nullptr);
  XML_SetElementHandler(parser.get(), StartElement, EndElement);
  ConfigParse parse{config, XmlDepthLimit(parser.get())};
  XML_SetUserData(parser.get(), &parse);

  char block[2048];
  for (;;) {
    size_t n = std::fread(block, 1, sizeof block, file.get());
    // A path that names a folder opens but cannot be read: it is not a file to parse.
    if (std::ferror(file.get())) {
      EventError("Cannot open config file %s", path.c_str());
      config.inConfig = config.inAccounts = config.inMessages = false;
      return 1;
    }
    bool final = n < sizeof block;
    if ((n > 0 || final) && XML_Parse(parser.get(), block, int(n), final) == XML_STATUS_ERROR) {
      EventError("Unable to parse config file %s\n%s", path.c_str(), parse.depth.errorText());
      config.inConfig = config.inAccounts = config.inMessages = false;
      return 2;
    }
    if (final) break;
  }
  config.inConfig = config.inAccounts = config.inMessages = false;
  if (config.messages.empty()) AppendDefaultMessages(config);
  return 0;
}

}  // namespace zel
