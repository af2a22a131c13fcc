// One TLS client session driven by buffers: the engine never touches a socket. The channel feeds it
// the bytes it received and sends the bytes it hands back, so every byte passes through the
// channel's socket with its time-outs and logs. Statuses are SSPI values on every system (0 done);
// each engine logs its own failures at debug level, and the channel logs the failing step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zel {

// The handshake needs more bytes from the server (SEC_I_CONTINUE_NEEDED).
constexpr uint32_t kTlsWantInput = 0x00090312;

class TlsEngine {
 public:
  enum class Read { Data, WantInput, Closed, Failed };
  struct StreamSizes {
    int header = 0, message = 0, trailer = 0;
  };
  virtual ~TlsEngine() = default;

  // Credentials and a client for `host` (the name sent to the server and the one its certificate
  // must match); `sessionKey` names the server whose earlier session may be resumed. 0 or a status.
  virtual uint32_t begin(const std::string& host, const std::string& sessionKey) = 0;
  // Bytes received from the server, for the handshake or as records.
  virtual void feed(const char* data, size_t n) = 0;
  // How many bytes feed() takes now; 0 when a message does not fit the engine's buffer.
  virtual size_t room() const = 0;
  // Advances the handshake, appending the bytes to send to `out`: 0 when complete, kTlsWantInput
  // when it waits for the server, another status otherwise (negative ones are failures).
  virtual uint32_t handshake(std::string& out) = 0;
  virtual bool resumed() const = 0;
  // Takes hold of the server's certificate: 0 or a status.
  virtual uint32_t serverCertificate() = 0;
  // Checks the chain to a trusted root, the server-auth usage and the host name, no revocation:
  // 0, a policy error (*policyError true), or a status when the check itself could not run.
  virtual uint32_t verify(bool* policyError) = 0;
  // Forgets the saved session of this server, after a failed handshake or certificate check.
  virtual void forgetSession() = 0;
  // Record sizes of the session: 0 or a status.
  virtual uint32_t streamSizes(StreamSizes* sizes) = 0;
  // Plain bytes per record this engine takes in one encrypt().
  virtual size_t plainPerRecord() const = 0;
  // One record of `n` plain bytes appended to `out`: 0 or a status.
  virtual uint32_t encrypt(const char* plain, size_t n, std::string& out) = 0;
  // Plain bytes of the records fed so far into `block`: Data (*n bytes), WantInput (no whole record
  // left), Closed (the server's close notification) or Failed (*failure). Bytes the session must
  // send (renegotiation, key updates) are appended to `out`.
  virtual Read read(char* block, size_t capacity, size_t* n, std::string& out, uint32_t* failure) = 0;
  // Whether bytes of an incomplete record wait inside the engine.
  virtual bool partial() const = 0;
};

// The system's engine: OpenSSL on Linux, SChannel on Windows.
std::unique_ptr<TlsEngine> MakeTlsEngine();

}  // namespace zel
