// A TLS test server on OpenSSL over memory BIOs, so that it decides how records reach TCP:
//   tls_server --cert C --key K --port-file F [--split]
// It listens on 127.0.0.1 (a free port, written to F), serves one connection at a time, and
// answers line commands after the handshake:
//   PUT n\n + n bytes  ->  "GOT n crc32\n"
//   GET n\n            ->  n bytes, byte i being (i * 7 + 3) & 0xFF
//   TWO\n              ->  two records in one TCP write
//   BYE\n              ->  "last words\n" and close_notify in one TCP write, then closes
//   SPLIT\n            ->  a record of 100 "A" and the first half of a record of 1000 "B" in one TCP
//                         write, the rest of the second record 300 ms later
//   HALF\n             ->  the first half of a record of 1000 "C", then the connection closes
//                         (no close_notify)
// --split writes every handshake flight in 7-byte TCP segments.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "testing/Loopback.h"

namespace {

bool split = false;

bool SendAll(int fd, const char* data, size_t n, size_t segment) {
  while (n > 0) {
    size_t k = std::min(n, segment);
    ssize_t put = send(fd, data, k, MSG_NOSIGNAL);
    if (put <= 0) return false;
    data += put;
    n -= size_t(put);
    if (segment < 1000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

struct Connection {
  int fd;
  SSL* ssl;
  BIO *in, *out;

  bool flush(size_t segment = 1 << 20) {
    char block[65536];
    std::string all;
    int n;
    while ((n = BIO_read(out, block, sizeof block)) > 0) all.append(block, size_t(n));
    return all.empty() || SendAll(fd, all.data(), all.size(), segment);
  }
  bool feed() {
    char block[65536];
    ssize_t got = recv(fd, block, sizeof block, 0);
    if (got <= 0) return false;
    BIO_write(in, block, int(got));
    return true;
  }
  bool handshake() {
    for (;;) {
      int rc = SSL_do_handshake(ssl);
      if (!flush(split ? 7 : 1 << 20)) return false;
      if (rc == 1) return true;
      if (SSL_get_error(ssl, rc) != SSL_ERROR_WANT_READ || !feed()) return false;
    }
  }
  // Exactly n plain bytes (n > 0), or false.
  bool read(char* to, size_t n) {
    while (n > 0) {
      int got = SSL_read(ssl, to, int(std::min<size_t>(n, 1 << 30)));
      if (got > 0) {
        to += got;
        n -= size_t(got);
        continue;
      }
      if (SSL_get_error(ssl, got) != SSL_ERROR_WANT_READ || !feed()) return false;
    }
    return true;
  }
  bool line(std::string& text) {
    text.clear();
    char c;
    while (read(&c, 1)) {
      if (c == '\n') return true;
      text.push_back(c);
    }
    return false;
  }
  // The record bytes of `data`, encrypted but not sent.
  std::string record(const std::string& data) {
    SSL_write(ssl, data.data(), int(data.size()));
    std::string bytes;
    char block[65536];
    int n;
    while ((n = BIO_read(out, block, sizeof block)) > 0) bytes.append(block, size_t(n));
    return bytes;
  }
  bool write(const std::string& data) {
    for (size_t at = 0; at < data.size(); at += 16384) {
      size_t k = std::min<size_t>(16384, data.size() - at);
      if (SSL_write(ssl, data.data() + at, int(k)) != int(k)) return false;
      if (BIO_ctrl_pending(out) > (1 << 20) && !flush()) return false;
    }
    return flush();
  }
};

void Serve(SSL_CTX* ctx, int fd) {
  Connection c{fd, SSL_new(ctx), BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem())};
  SSL_set_bio(c.ssl, c.in, c.out);
  SSL_set_accept_state(c.ssl);
  if (c.handshake()) {
    std::string command;
    while (c.line(command)) {
      if (command.rfind("PUT ", 0) == 0) {
        size_t n = std::strtoull(command.c_str() + 4, nullptr, 10);
        uLong crc = crc32(0, nullptr, 0);
        std::string block(65536, '\0');
        bool ok = true;
        for (size_t left = n; left > 0 && ok;) {
          size_t k = std::min(left, block.size());
          ok = c.read(block.data(), k);
          crc = crc32(crc, reinterpret_cast<const Bytef*>(block.data()), uInt(k));
          left -= k;
        }
        if (!ok || !c.write("GOT " + std::to_string(n) + " " + std::to_string(crc) + "\n")) break;
      } else if (command.rfind("GET ", 0) == 0) {
        size_t n = std::strtoull(command.c_str() + 4, nullptr, 10);
        std::string block;
        bool ok = true;
        for (size_t i = 0; i < n && ok;) {
          block.clear();
          for (; i < n && block.size() < (1 << 20); ++i) block.push_back(char((i * 7 + 3) & 0xFF));
          ok = c.write(block);
        }
        if (!ok) break;
      } else if (command == "TWO") {
        SSL_write(c.ssl, "first record\n", 13);
        SSL_write(c.ssl, "second record\n", 14);
        if (!c.flush()) break;
      } else if (command == "SPLIT") {
        const std::string first = c.record(std::string(100, 'A')), second = c.record(std::string(1000, 'B'));
        const std::string now = first + second.substr(0, second.size() / 2);
        if (!SendAll(fd, now.data(), now.size(), now.size())) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const std::string rest = second.substr(second.size() / 2);
        if (!SendAll(fd, rest.data(), rest.size(), rest.size())) break;
      } else if (command == "HALF") {
        const std::string bytes = c.record(std::string(1000, 'C'));
        SendAll(fd, bytes.data(), bytes.size() / 2, bytes.size());
        break;
      } else if (command == "BYE") {
        SSL_write(c.ssl, "last words\n", 11);
        SSL_shutdown(c.ssl);
        c.flush();
        break;
      }
    }
  }
  SSL_free(c.ssl);
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  std::string cert, key, portFile;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--cert" && i + 1 < argc)
      cert = argv[++i];
    else if (a == "--key" && i + 1 < argc)
      key = argv[++i];
    else if (a == "--port-file" && i + 1 < argc)
      portFile = argv[++i];
    else if (a == "--split")
      split = true;
  }
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (SSL_CTX_use_certificate_chain_file(ctx, cert.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
    ERR_print_errors_fp(stderr);
    return 1;
  }
  uint16_t port = 0;
  int listener = zel::testing::ListenOnLoopback(&port, 8);
  if (listener < 0) return 1;
  zel::testing::WritePortFile(portFile, port);
  for (;;) {
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Serve(ctx, fd);
  }
}
