// An HTTP proxy for tests that only opens CONNECT tunnels, and only after NTLM authentication
// through GSSAPI (gss_accept_sec_context with gss-ntlmssp; users from NTLM_USER_FILE):
//   ntlm_proxy --port-file F [--second-407]
// Negotiate -> "407" with the challenge (and a short body, most of it sent 100 ms after the head)
// -> authenticate -> "200" and a relay.
// --second-407 answers the authenticate step with another 407, as a confused proxy would.
#include <arpa/inet.h>
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ntlmssp.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "testing/Loopback.h"

namespace {

gss_OID_desc kNtlm = {GSS_NTLMSSP_OID_LENGTH, const_cast<char*>(GSS_NTLMSSP_OID_STRING)};

std::string B64Decode(const std::string& text) {
  std::string out(text.size(), '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()), int(text.size()));
  if (n < 0) return {};
  size_t pad = 0;
  for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) ++pad;
  out.resize(size_t(n) - pad);
  return out;
}
std::string B64Encode(const std::string& data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(data.data()), int(data.size()));
  out.resize(size_t(n));
  return out;
}

bool ReadHead(int fd, std::string& head) {
  head.clear();
  char c;
  while (head.find("\r\n\r\n") == std::string::npos) {
    if (recv(fd, &c, 1, 0) != 1) return false;
    head.push_back(c);
  }
  return true;
}

std::string Header(const std::string& head, const std::string& name) {
  size_t at = head.find("\r\n" + name + ": ");
  if (at == std::string::npos) return {};
  at += name.size() + 4;
  return head.substr(at, head.find("\r\n", at) - at);
}

void Send(int fd, const std::string& text) { send(fd, text.data(), text.size(), MSG_NOSIGNAL); }

void Relay(int client, const std::string& target) {
  size_t colon = target.rfind(':');
  int upstream = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(uint16_t(std::atoi(target.c_str() + colon + 1)));
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(upstream, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    Send(client, "HTTP/1.0 502 Bad Gateway\r\n\r\n");
    close(upstream);
    return;
  }
  Send(client, "HTTP/1.0 200 Connection established\r\n\r\n");
  std::thread up([&] {
    char b[65536];
    ssize_t n;
    while ((n = recv(client, b, sizeof b, 0)) > 0) send(upstream, b, size_t(n), MSG_NOSIGNAL);
    shutdown(upstream, SHUT_WR);
  });
  char b[65536];
  ssize_t n;
  while ((n = recv(upstream, b, sizeof b, 0)) > 0) send(client, b, size_t(n), MSG_NOSIGNAL);
  shutdown(client, SHUT_WR);
  up.join();
  close(upstream);
}

void Serve(int fd, bool second407) {
  gss_ctx_id_t context = GSS_C_NO_CONTEXT;
  gss_cred_id_t credentials = GSS_C_NO_CREDENTIAL;
  OM_uint32 minor;
  gss_OID_set_desc mechs = {1, &kNtlm};
  gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &mechs, GSS_C_ACCEPT, &credentials, nullptr, nullptr);
  std::string head;
  int round = 0;
  while (ReadHead(fd, head)) {
    ++round;
    std::string target = head.substr(8, head.find(' ', 8) - 8);
    std::string auth = Header(head, "Proxy-Authorization");
    if (auth.rfind("NTLM ", 0) != 0) {
      Send(fd, "HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM\r\nContent-Length: 0\r\n\r\n");
      continue;
    }
    std::string token = B64Decode(auth.substr(5));
    gss_buffer_desc in = {token.size(), token.data()}, out = GSS_C_EMPTY_BUFFER;
    OM_uint32 major = gss_accept_sec_context(&minor, &context, credentials, &in, GSS_C_NO_CHANNEL_BINDINGS, nullptr,
                                             nullptr, &out, nullptr, nullptr, nullptr);
    std::string reply(static_cast<const char*>(out.value), out.length);
    gss_release_buffer(&minor, &out);
    if (major == GSS_S_CONTINUE_NEEDED) {
      // Part of the body comes with the head and the rest later, so the client must drain both
      // what it already holds and what is still on the way before its next request.
      const std::string body = "authentication required";
      Send(fd, "HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM " + B64Encode(reply) +
                   "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body.substr(0, 5));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      Send(fd, body.substr(5));
      continue;
    }
    if (major != GSS_S_COMPLETE || second407) {
      Send(fd, "HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM\r\nContent-Length: 0\r\n\r\n");
      break;
    }
    Relay(fd, target);
    break;
  }
  if (context != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
  if (credentials != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, &credentials);
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  std::string portFile;
  bool second407 = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--port-file" && i + 1 < argc)
      portFile = argv[++i];
    else if (a == "--second-407")
      second407 = true;
  }
  uint16_t port = 0;
  int listener = zel::testing::ListenOnLoopback(&port, 8);
  if (listener < 0) return 1;
  zel::testing::WritePortFile(portFile, port);
  for (;;) {
    int fd = accept(listener, nullptr, nullptr);
    if (fd >= 0) std::thread(Serve, fd, second407).detach();
  }
}
