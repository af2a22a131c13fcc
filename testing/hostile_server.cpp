// A hostile exchange server for tests: real HTTPS on a chosen address and port that answers the
// list and get operations with one abusive case, to show that zel stays bounded and stoppable.
//   hostile_server --cert C --key K --bind ADDR --port P --journal J --case NAME [--trickle-ms N]
//                  [--size BYTES]
// The journal gets "list", "get NAME" and "rm NAME", one line per request as it arrives. Cases:
//   head    every answer is an endless head of "a:" lines
//   length  get answers Content-Length 4294967306 and ten bytes
//   status  get answers status 4294967496 with a ten-byte body
//   lf      the list is --size line feeds, gzipped
//   names   the list holds --size names
//   note    the list is NOTE.TXT; get answers --size bytes of text, gzipped
//   bomb    get answers --size zero bytes, gzipped and chunked
//   chunk   get announces a chunk of ffffffffffffff bytes and streams
//   trickle get announces 100000 bytes and sends one every --trickle-ms
// Every other list names one file, "<case>.xml"; rm answers 200; a get of anything the case does
// not serve answers 555.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::string kase, journalPath;
uint64_t size = 0;
int trickleMs = 500;
std::mutex journalLock;

void Journal(const std::string& line) {
  std::lock_guard<std::mutex> hold(journalLock);
  std::ofstream(journalPath, std::ios::app) << line << "\n" << std::flush;
}

// A raw deflate piece of `data` from a fresh state, ending byte-aligned and not final, so that
// copies of it can follow one another.
std::string DeflatePiece(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, uLong(data.size())) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = uInt(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  deflate(&z, Z_FULL_FLUSH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// The gzip stream of `total` copies of `byte`, made from one compressed megabyte repeated, so a
// gigabyte costs a moment.
std::string RepeatedGzip(char byte, uint64_t total) {
  const size_t segment = 1 << 20;
  const std::string block(segment, byte);
  const std::string piece = DeflatePiece(block);
  const uLong blockCrc = crc32(0, reinterpret_cast<const Bytef*>(block.data()), uInt(segment));
  std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
  uLong crc = crc32(0, nullptr, 0);
  for (uint64_t i = 0; i < total / segment; ++i) {
    out += piece;
    crc = crc32_combine(crc, blockCrc, segment);
  }
  if (const size_t rest = size_t(total % segment)) {
    const std::string tail(rest, byte);
    out += DeflatePiece(tail);
    crc = crc32_combine(crc, crc32(0, reinterpret_cast<const Bytef*>(tail.data()), uInt(rest)), rest);
  }
  out += std::string("\x03\x00", 2);  // an empty final block
  for (int i = 0; i < 4; ++i) out.push_back(char((crc >> (8 * i)) & 0xFF));
  for (int i = 0; i < 4; ++i) out.push_back(char((total >> (8 * i)) & 0xFF));
  return out;
}

bool Write(SSL* ssl, const std::string& data) {
  for (size_t at = 0; at < data.size(); at += 16384) {
    int k = int(std::min<size_t>(16384, data.size() - at));
    if (SSL_write(ssl, data.data() + at, k) != k) return false;
  }
  return true;
}

std::string Chunked(const std::string& data) {
  std::string out;
  for (size_t at = 0; at < data.size(); at += 65536) {
    const size_t k = std::min<size_t>(65536, data.size() - at);
    char line[32];
    std::snprintf(line, sizeof line, "%zx\r\n", k);
    out += line + data.substr(at, k) + "\r\n";
  }
  return out + "0\r\n\r\n";
}

std::string Whole(const std::string& body, const char* extra = "") {
  return "HTTP/1.1 200 OK\r\nConnection: close\r\n" + std::string(extra) +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

void Answer(SSL* ssl, const std::string& op, const std::string& file) {
  if (kase == "head") {
    Write(ssl, "HTTP/1.1 200 OK\r\n");
    std::string block;
    for (size_t i = 0; i < 65536 / 3; ++i) block += "a:\n";
    for (uint64_t sent = 0; sent < (uint64_t(1) << 30) && Write(ssl, block); sent += block.size()) {
    }
    return;
  }
  if (op == "rm") {
    Write(ssl, Whole("ok"));
    return;
  }
  if (op == "list") {
    if (kase == "lf") {
      Write(ssl, Whole(RepeatedGzip('\n', size), "Content-Encoding: gzip\r\n"));
    } else if (kase == "names") {
      std::string list;
      for (uint64_t i = 0; i < size; ++i) list += std::to_string(i) + " n" + std::to_string(i) + ".xml\n";
      Write(ssl, Whole(list));
    } else if (kase == "note") {
      Write(ssl, Whole("1 NOTE.TXT\n"));
    } else {
      Write(ssl, Whole("1 " + kase + ".xml\n"));
    }
    return;
  }
  if (op != "get") {
    Write(ssl, "HTTP/1.1 554 Invalid Parameter\r\nContent-Length: 0\r\n\r\n");
    return;
  }
  if (kase == "length") {
    Write(ssl, "HTTP/1.1 200 OK\r\nContent-Length: 4294967306\r\n\r\n0123456789");
  } else if (kase == "status") {
    Write(ssl, "HTTP/1.1 4294967496 OK\r\nContent-Length: 10\r\n\r\n0123456789");
  } else if (kase == "note") {
    Write(ssl, Whole(RepeatedGzip('a', size), "Content-Encoding: gzip\r\n"));
  } else if (kase == "bomb") {
    Write(ssl, "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" +
                   Chunked(RepeatedGzip('\0', size)));
  } else if (kase == "chunk") {
    Write(ssl, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffff\r\n");
    const std::string block(65536, 'x');
    for (uint64_t sent = 0; sent < (uint64_t(4) << 30) && Write(ssl, block); sent += block.size()) {
    }
  } else if (kase == "trickle") {
    Write(ssl, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
    for (int i = 0; i < 100000 && Write(ssl, "<"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(trickleMs));
  } else {
    Write(ssl, "HTTP/1.1 555 No Data\r\nContent-Length: 0\r\n\r\n");  // a name it never listed
  }
  (void)file;
}

void Serve(SSL_CTX* ctx, int fd) {
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  if (SSL_accept(ssl) == 1) {
    std::string head;
    char block[4096];
    int n;
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536 &&
           (n = SSL_read(ssl, block, sizeof block)) > 0)
      head.append(block, size_t(n));
    const std::string target = head.substr(0, head.find(" HTTP/"));
    std::string op = target.find("list") != std::string::npos  ? "list"
                     : target.find("get") != std::string::npos ? "get"
                     : target.find("rm") != std::string::npos  ? "rm"
                                                               : "other";
    std::string file;
    if (size_t at = target.find("file="); at != std::string::npos) file = target.substr(at + 5);
    Journal(file.empty() ? op : op + " " + file);
    Answer(ssl, op, file);
    SSL_shutdown(ssl);
  }
  SSL_free(ssl);
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  std::string cert, key, bind = "127.0.0.1";
  int port = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i], v = argv[i + 1];
    if (a == "--cert")
      cert = v;
    else if (a == "--key")
      key = v;
    else if (a == "--bind")
      bind = v;
    else if (a == "--port")
      port = std::atoi(v.c_str());
    else if (a == "--journal")
      journalPath = v;
    else if (a == "--case")
      kase = v;
    else if (a == "--trickle-ms")
      trickleMs = std::atoi(v.c_str());
    else if (a == "--size")
      size = std::strtoull(v.c_str(), nullptr, 10);
  }
  signal(SIGPIPE, SIG_IGN);
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (SSL_CTX_use_certificate_chain_file(ctx, cert.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
    ERR_print_errors_fp(stderr);
    return 1;
  }
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(uint16_t(port));
  inet_pton(AF_INET, bind.c_str(), &at.sin_addr);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(listener, 16) != 0) {
    std::perror("bind");
    return 1;
  }
  Journal("ready");
  for (;;) {
    int fd = accept(listener, nullptr, nullptr);
    if (fd >= 0) std::thread(Serve, ctx, fd).detach();
  }
}
