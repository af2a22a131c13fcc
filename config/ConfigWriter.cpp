// WriteConfig: the config.xml text, line by line, CR LF. Values are appended piece by piece rather
// than through the 16 KiB format scratch, so no long value is ever cut short. Besides the three
// predefined entities, tab, line feed and carriage return are written as character references (a
// reader would otherwise fold them into spaces), and the other control characters, which XML 1.0
// cannot carry at all, are left out so the file always reads back.

#include <cinttypes>
#include <cstdio>

#include "aslib/ASVariableBuffer.h"
#include "config/CPConfig.h"
#include "platform/Files.h"

namespace zel {
namespace {

class Line {
 public:
  explicit Line(ASVariableBuffer& out) : out_(out) {}
  ~Line() { out_.append(text_); }

  Line& raw(std::string_view s) {
    text_.append(s);
    return *this;
  }
  Line& attr(std::string_view name, const OptString& value) { return attrText(name, value ? *value : ""); }
  Line& attr(std::string_view name, bool value) { return attrText(name, value ? "true" : "false"); }
  Line& attr(std::string_view name, int64_t value) { return attrText(name, std::to_string(value)); }

 private:
  Line& attrText(std::string_view name, std::string_view value) {
    text_.append(name).append("=\"");
    for (char ch : value) {
      switch (ch) {
        case '&': text_.append("&amp;"); break;
        case '<': text_.append("&lt;"); break;
        case '"': text_.append("&quot;"); break;
        case '\t': text_.append("&#9;"); break;
        case '\n': text_.append("&#10;"); break;
        case '\r': text_.append("&#13;"); break;
        default:
          if (static_cast<unsigned char>(ch) >= 0x20) text_.push_back(ch);
      }
    }
    text_.append("\" ");
    return *this;
  }

  ASVariableBuffer& out_;
  std::string text_;
};

void PathLine(ASVariableBuffer& out, const char* element, const OptString& path) {
  Line(out).raw("  <").raw(element).raw(" ").attr("path", path).raw("/>\r\n");
}

}  // namespace

void WriteConfig(const CPConfig& c, ASVariableBuffer& out) {
  const CPConfigPaths& p = c.paths;
  out.append("<?xml version=\"1.0\" encoding=\"utf-8\" ?>\r\n");
  out.append("<config>\r\n");
  PathLine(out, "Basedir", p.Basedir);
  PathLine(out, "Inbound", p.Inbound);
  PathLine(out, "Outbound", p.Outbound);
  PathLine(out, "Bad", p.Bad);
  PathLine(out, "Queue", p.Queue);
  PathLine(out, "Temp", p.Temp);
  Line(out).raw("  <Copy ").attr("path", p.Copy).attr("enabled", p.copyEnabled).raw("/>\r\n");
  PathLine(out, "Logfile", p.Logfile);
  Line(out).raw("  <Subdirs ").attr("enabled", p.subdirsEnabled).attr("bylogin", p.subdirsByLogin).raw("/>\r\n");

  out.append("  <Accounts>\r\n");
  for (const auto& a : c.accounts) {
    Line(out)
        .raw("    <Account ")
        .attr("name", a->name)
        .attr("ParticipantID", a->ParticipantID)
        .attr("login", a->login)
        .attr("password", a->password)
        .attr("notify", a->notify)
        .attr("phone", a->phone)
        .attr("timeout", int64_t(a->timeout))
        .attr("hostid", int64_t(a->hostid))
        .raw("/>\r\n");
  }
  out.append("  </Accounts>\r\n");

  const CPConfigServer& s = c.server;
  Line(out)
      .raw("  <Server ")
      .attr("port", int64_t(s.port))
      .attr("refresh", int64_t(s.refresh))
      .attr("list", s.list)
      .attr("get", s.get)
      .attr("post", s.post)
      .attr("remove", s.remove)
      .attr("textmessage", s.textmessage)
      .attr("compression", s.compression)
      .raw("/>\r\n");

  const CPConfigProxy& x = c.proxy;
  {
    Line proxy(out);
    proxy.raw("  <Proxy ").attr("enabled", x.enabled).attr("auth", x.auth).attr("ad", x.ad);
    if (x.host) proxy.attr("host", x.host).attr("port", int64_t(x.port));
    if (x.login) proxy.attr("login", x.login);
    if (x.password) proxy.attr("password", x.password);
    proxy.raw("/>\r\n");
  }

  const CPConfigMailserver& m = c.mailserver;
  Line(out)
      .raw("  <Mailserver ")
      .attr("enabled", m.enabled)
      .attr("smtp_port", int64_t(m.smtp_port))
      .attr("pop3_port", int64_t(m.pop3_port))
      .raw("/>\r\n");

  out.append("  <Messages>\r\n");
  for (const auto& msg : c.messages)
    Line(out).raw("    <Message ").attr("type", msg->type).attr("description", msg->description).raw("/>\r\n");
  out.append("  </Messages>\r\n");
  out.append("</config>\r\n");
}

bool WriteConfigFile(const CPConfig& config, const std::string& path, int* error) {
  const std::optional<FileOwnership> before = OwnershipOf(path);
  ASVariableBuffer text;
  WriteConfig(config, text);
  if (!WriteFileAtomically(path, text.unreadBytes(), error)) return false;
  // The file holds passwords keyed by the logins beside them: nobody but its owner reads it.
  // A process that may not give the file back to its owner at least keeps it to itself.
  if (before) RestoreOwnerOnly(path, *before);
  return true;
}

}  // namespace zel
