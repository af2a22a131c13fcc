// The test exchange server: real HTTPS (cpp-httplib on OpenSSL) with the four operations of the
// exchange protocol, so tests and the demo run zel against something that is not zel's own code.
//   exchange_server --cert C --key K --port-file F --accounts A --mailboxes DIR --journal J
//                   [--faults FILE] [--chunked] [--extra-list FILE] [--requests-per-connection N]
//                   [--chaos-port-file F2 --chaos-rate R --seed S]
// Accounts: one "login password participant" per line. Mailboxes: DIR/<login>/inbox holds the
// files waiting for the account; posted documents land in DIR/<login>/posted/<envelope id>.xml.
// Statuses: 552 no credentials, 553 wrong credentials, 554 no file parameter, 555 no such file,
// 557 no envelope id, 558 an envelope id posted before. Faults: lines "<op> <what> <count>", op
// list|get|remove|post, what a status number or "truncate" (a get body cut short); each use counts
// one down. The journal gets one line per request. The chaos relay forwards to the HTTPS port and
// cuts a share of its connections at a random byte (log-uniform up to 256 KiB, so handshakes,
// requests and bodies are all hit), either way (mid-handshake, mid-request or mid-body).
// --requests-per-connection N: the Nth request of a connection is answered with
// "Connection: close", and the server then closes that connection.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "testing/Loopback.h"

namespace fs = std::filesystem;

namespace {

struct Account {
  std::string password, participant;
};
std::map<std::string, Account> accounts;
std::string mailboxes, journalPath, faultsPath, extraListPath;
bool chunked = false;
std::mutex lock;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The fault for this request, if one is armed: a status, or "truncate".
std::string TakeFault(const std::string& op) {
  if (faultsPath.empty()) return {};
  std::lock_guard<std::mutex> hold(lock);
  std::ifstream in(faultsPath);
  std::vector<std::string> lines;
  std::string line, taken;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string o, what;
    int count = 0;
    words >> o >> what >> count;
    if (taken.empty() && o == op && count > 0) {
      taken = what;
      --count;
      line = o + " " + what + " " + std::to_string(count);
    }
    lines.push_back(line);
  }
  if (!taken.empty()) {
    std::ofstream out(faultsPath + ".tmp");
    for (const auto& l : lines) out << l << "\n";
    out.close();
    fs::rename(faultsPath + ".tmp", faultsPath);
  }
  return taken;
}

void Journal(const std::string& op, const httplib::Request& req, int status, size_t bodySize) {
  std::lock_guard<std::mutex> hold(lock);
  std::ofstream out(journalPath, std::ios::app);
  auto h = [&](const char* name) { return req.has_header(name) ? req.get_header_value(name) : std::string("-"); };
  out << op << " status=" << status << " login=" << h("ED-LOGIN") << " pass=" << h("ED-PASS")
      << " file=" << (req.has_param("file") ? req.get_param_value("file") : "-")
      << " id=" << (req.has_param("id") ? req.get_param_value("id") : "-") << " host=" << h("Host")
      << " connection=" << h("Connection") << " accept-encoding=" << h("Accept-Encoding")
      << " content-encoding=" << h("Content-Encoding") << " content-type=" << h("Content-Type") << " body=" << bodySize
      << "\n";
}

// The account a request speaks for, or the status that refuses it.
int Authorise(const httplib::Request& req, std::string* login) {
  if (!req.has_header("ED-LOGIN") || !req.has_header("ED-PASS")) return 552;
  *login = req.get_header_value("ED-LOGIN");
  auto a = accounts.find(*login);
  if (a == accounts.end() || a->second.password != req.get_header_value("ED-PASS")) return 553;
  return 200;
}

void Answer(httplib::Response& res, int status, const std::string& body = {}) {
  res.status = status;
  res.set_content(body, "text/plain");
}

void List(const httplib::Request& req, httplib::Response& res) {
  std::string login;
  int status = Authorise(req, &login);
  if (std::string f = TakeFault("list"); !f.empty() && std::isdigit(f[0])) status = std::stoi(f);
  std::string body;
  if (status == 200) {
    std::vector<std::pair<std::string, uintmax_t>> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(mailboxes + "/" + login + "/inbox", ec))
      if (e.is_regular_file()) files.emplace_back(e.path().filename().string(), e.file_size());
    std::sort(files.begin(), files.end());
    for (const auto& [name, size] : files) body += std::to_string(size) + " " + name + "\n";
    if (!extraListPath.empty()) body += ReadWhole(extraListPath);  // names a hostile server would list
  }
  Answer(res, status, body);
  Journal("list", req, status, 0);
}

void Get(const httplib::Request& req, httplib::Response& res) {
  std::string login;
  int status = Authorise(req, &login);
  std::string fault = TakeFault("get");
  if (!fault.empty() && std::isdigit(fault[0])) status = std::stoi(fault);
  const std::string name = req.has_param("file") ? req.get_param_value("file") : "";
  const std::string path = mailboxes + "/" + login + "/inbox/" + name;
  if (status == 200 && name.empty()) status = 554;
  if (status == 200 && (name.find('/') != std::string::npos || !fs::is_regular_file(path))) status = 555;
  if (status != 200) {
    Answer(res, status);
    Journal("get", req, status, 0);
    return;
  }
  // httplib itself compresses the answer with gzip when the request accepts it.
  std::string body = ReadWhole(path);
  res.status = 200;
  auto shared = std::make_shared<std::string>(body);
  if (fault == "truncate") {
    // Announces the whole body, sends half of it, then the connection ends.
    res.set_content_provider(shared->size(), "application/xml",
                             [shared](size_t offset, size_t, httplib::DataSink& sink) {
                               if (offset == 0) sink.write(shared->data(), shared->size() / 2);
                               return offset == 0;
                             });
  } else if (chunked) {
    res.set_chunked_content_provider("application/xml", [shared](size_t offset, httplib::DataSink& sink) {
      if (offset >= shared->size()) {
        sink.done();
        return true;
      }
      sink.write(shared->data() + offset, std::min<size_t>(4000, shared->size() - offset));
      return true;
    });
  } else {
    res.set_content(body, "application/xml");
  }
  Journal("get", req, 200, body.size());
}

void Remove(const httplib::Request& req, httplib::Response& res) {
  std::string login;
  int status = Authorise(req, &login);
  if (std::string f = TakeFault("remove"); !f.empty() && std::isdigit(f[0])) status = std::stoi(f);
  const std::string name = req.has_param("file") ? req.get_param_value("file") : "";
  if (status == 200 && name.empty()) status = 554;
  std::error_code ec;
  if (status == 200 &&
      (name.find('/') != std::string::npos || !fs::remove(mailboxes + "/" + login + "/inbox/" + name, ec)))
    status = 555;
  Answer(res, status);
  Journal("remove", req, status, 0);
}

void Post(const httplib::Request& req, httplib::Response& res) {
  std::string login;
  int status = Authorise(req, &login);
  if (std::string f = TakeFault("post"); !f.empty() && std::isdigit(f[0])) status = std::stoi(f);
  const std::string id = req.has_param("id") ? req.get_param_value("id") : "";
  // httplib has already decompressed a gzip body; one that still is gzip was compressed twice.
  std::string document = req.body;
  if (document.size() >= 2 && uint8_t(document[0]) == 0x1f && uint8_t(document[1]) == 0x8b && status == 200)
    status = 556;
  if (status == 200 && id.empty()) status = 557;
  const std::string folder = mailboxes + "/" + login + "/posted";
  const std::string path = folder + "/" + id + ".xml";
  if (status == 200 && (id.find('/') != std::string::npos || id == "..")) status = 554;
  {
    std::lock_guard<std::mutex> hold(lock);
    if (status == 200 && fs::exists(path)) status = 558;
    if (status == 200) {
      fs::create_directories(folder);
      std::ofstream(path + ".tmp", std::ios::binary) << document;
      fs::rename(path + ".tmp", path);
    }
  }
  Answer(res, status);
  Journal("post", req, status, req.body.size());
}

// Forwards one connection; when `cutAt` is set, ends both sides after that many bytes one way.
void Relay(int client, uint16_t target, std::optional<std::pair<bool, size_t>> cut) {
  int server = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(target);
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(server, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    close(client);
    close(server);
    return;
  }
  std::atomic<bool> ended{false};
  auto pump = [&](int from, int to, bool upward) {
    char block[16384];
    size_t moved = 0;
    for (;;) {
      ssize_t n = recv(from, block, sizeof block, 0);
      if (n <= 0) break;
      size_t k = size_t(n);
      if (cut && cut->first == upward && moved + k >= cut->second) {
        send(to, block, cut->second - moved, MSG_NOSIGNAL);
        break;
      }
      if (send(to, block, k, MSG_NOSIGNAL) <= 0) break;
      moved += k;
    }
    ended = true;
    shutdown(from, SHUT_RDWR);
    shutdown(to, SHUT_RDWR);
  };
  std::thread up(pump, client, server, true);
  pump(server, client, false);
  up.join();
  close(client);
  close(server);
}

}  // namespace

int main(int argc, char** argv) {
  std::string cert, key, portFile, accountsPath, chaosPortFile;
  double chaosRate = 0;
  size_t requestsPerConnection = 1000;
  unsigned seed = 1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
    if (a == "--cert")
      cert = next();
    else if (a == "--key")
      key = next();
    else if (a == "--port-file")
      portFile = next();
    else if (a == "--accounts")
      accountsPath = next();
    else if (a == "--mailboxes")
      mailboxes = next();
    else if (a == "--journal")
      journalPath = next();
    else if (a == "--faults")
      faultsPath = next();
    else if (a == "--chunked")
      chunked = true;
    else if (a == "--extra-list")
      extraListPath = next();
    else if (a == "--chaos-port-file")
      chaosPortFile = next();
    else if (a == "--chaos-rate")
      chaosRate = std::stod(next());
    else if (a == "--requests-per-connection")
      requestsPerConnection = std::stoul(next());
    else if (a == "--seed")
      seed = unsigned(std::stoul(next()));
  }
  std::ifstream list(accountsPath);
  std::string login, password, participant;
  while (list >> login >> password >> participant) {
    accounts[login] = {password, participant};
    fs::create_directories(mailboxes + "/" + login + "/inbox");
  }

  httplib::SSLServer server(cert.c_str(), key.c_str());
  if (!server.is_valid()) return 1;
  server.set_keep_alive_max_count(requestsPerConnection);
  server.set_read_timeout(30, 0);
  server.Get("/EDAP/list.php", List);
  server.Get("/EDAP/get.php", Get);
  server.Get("/EDAP/rm.php", Remove);
  server.Post("/EDAP/send.php", Post);
  uint16_t port = 0;
  int fd = zel::testing::ListenOnLoopback(&port);
  close(fd);
  if (!server.bind_to_port("127.0.0.1", port)) return 1;

  std::thread chaos;
  if (!chaosPortFile.empty()) {
    uint16_t chaosPort = 0;
    int listener = zel::testing::ListenOnLoopback(&chaosPort);
    chaos = std::thread([listener, port, chaosRate, seed] {
      std::mt19937 rng(seed);
      for (;;) {
        int c = accept(listener, nullptr, nullptr);
        if (c < 0) continue;
        std::optional<std::pair<bool, size_t>> cut;
        if (std::uniform_real_distribution<double>(0, 1)(rng) < chaosRate)
          cut = std::make_pair(bool(rng() % 2), size_t(rng() % (size_t(2) << (rng() % 18))));
        std::thread(Relay, c, port, cut).detach();
      }
    });
    zel::testing::WritePortFile(chaosPortFile, chaosPort);
  }
  zel::testing::WritePortFile(portFile, port);
  server.listen_after_bind();
  return 0;
}
