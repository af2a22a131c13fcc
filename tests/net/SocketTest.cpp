#include <gtest/gtest.h>

#include "common/StopRequest.h"
#include "net/CPHostCache.h"
#include "net/CPSocket.h"
#include "platform/Sockets.h"
#include "tests/net/NetTestSupport.h"

namespace zel {
namespace {

using namespace std::chrono_literals;

class Sockets : public testing::Test {
 protected:
  void SetUp() override { lines = test::LogRecorder::Install(); }
  void TearDown() override {
    SetDebugLogging(false);
    AttachLogFile(nullptr);
  }
  CPHostCache hosts;
  std::shared_ptr<std::vector<std::string>> lines;
};

TEST_F(Sockets, ARefusedAddressIsMarkedAndTriedLast) {
  const uint16_t closed = test::ClosedPort();
  CPSocket socket(&hosts);
  EXPECT_FALSE(socket.connect("127.0.0.1", closed));
  EXPECT_TRUE(test::HasLine(*lines, "[W] Unable to connect to address 127.0.0.1 - error 111")) << test::Joined(*lines);
  EXPECT_TRUE(test::HasLine(*lines, "[E] Unable to connect to host 127.0.0.1"));
  EXPECT_FALSE(socket.healthy());

  // Two addresses for one name; the first refuses. The next lookup offers it last.
  test::TcpListener listener([](int) {});
  hosts.resolve = [](const std::string&, int*) {
    return std::optional<std::vector<uint32_t>>({*ParseDottedIPv4("127.0.0.2"), *ParseDottedIPv4("127.0.0.1")});
  };
  CPSocket twice(&hosts);
  EXPECT_TRUE(twice.connect("edh.test", listener.port())) << test::Joined(*lines);
  EXPECT_EQ(hosts.lookup(std::string("edh.test")),
            (std::vector<uint32_t>{*ParseDottedIPv4("127.0.0.1"), *ParseDottedIPv4("127.0.0.2")}));
  EXPECT_FALSE(CPSocket(nullptr).connect("127.0.0.1", listener.port())) << "no cache: no addresses";
}

TEST_F(Sockets, OrderlyCloseAndTimeOutBothGiveZeroButHealthTellsThemApart) {
  test::TcpListener closer([](int fd) { shutdown(fd, SHUT_WR); });
  CPSocket a(&hosts);
  ASSERT_TRUE(a.connect("127.0.0.1", closer.port()));
  char c;
  EXPECT_EQ(a.recv(&c, 1), 0);
  EXPECT_TRUE(a.healthy()) << "orderly close";

  std::atomic<bool> release{false};
  test::TcpListener silent([&](int) {
    while (!release) std::this_thread::sleep_for(5ms);
  });
  CPSocket b(&hosts);
  b.setIdleSlices(5);
  ASSERT_TRUE(b.connect("127.0.0.1", silent.port()));
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(b.recv(&c, 1), 0);
  EXPECT_FALSE(b.healthy()) << "time-out";
  EXPECT_GE(std::chrono::steady_clock::now() - started, 450ms);
  EXPECT_TRUE(test::HasLine(*lines, "[W] Receiving data from remote host 127.0.0.1 timed out"));
  release = true;
}

TEST_F(Sockets, APeerThatTricklesIsNeverTimedOut) {
  // The peer reads every 100 ms through a 16 KiB window; a send gives up after 3 idle slices
  // (300 ms), so only progress measured byte by byte keeps it going.
  test::TcpListener trickle(
      [](int fd) {
        static char block[131072];
        for (;;) {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          if (recv(fd, block, sizeof block, 0) <= 0) return;
        }
      },
      16384);
  SetDebugLogging(true);
  CPSocket s(&hosts);
  s.setIdleSlices(3);
  ASSERT_TRUE(s.connect("127.0.0.1", trickle.port()));
  const std::string data(3 << 20, 't');
  EXPECT_EQ(s.send(data.data(), int64_t(data.size())), int64_t(data.size()));
  EXPECT_TRUE(s.healthy());
  s.disconnect();
  EXPECT_TRUE(test::HasLine(*lines, "[D] Disconnected from host 127.0.0.1")) << "still connected at the end";
}

TEST_F(Sockets, APeerAveragingUnder100BytesASecondIsTimedOutASilentOneWaitsItsSlices) {
  struct Case {
    const char* what;
    int bytesPerBeat;  // every 50 ms
    bool slow;
  };
  for (const Case& c : {Case{"trickle, 20 bytes/s", 1, true}, Case{"steady, 2000 bytes/s", 100, false}}) {
    lines->clear();
    std::atomic<bool> done{false};
    test::TcpListener peer([&](int fd) {
      const std::string beat(size_t(c.bytesPerBeat), 'x');
      while (!done && send(fd, beat.data(), beat.size(), MSG_NOSIGNAL) > 0) std::this_thread::sleep_for(50ms);
    });
    CPSocket s(&hosts);
    s.setLowSpeedWindow(1000);
    ASSERT_TRUE(s.connect("127.0.0.1", peer.port()));
    const auto started = std::chrono::steady_clock::now();
    char block[4096];
    int64_t got = 0, n;
    while ((n = s.recv(block, sizeof block)) > 0 && std::chrono::steady_clock::now() - started < 3s) got += n;
    done = true;
    EXPECT_EQ(n == 0 && !s.healthy(), c.slow) << c.what;
    EXPECT_EQ(test::HasLine(*lines, "[W] Receiving data from remote host 127.0.0.1 timed out"), c.slow)
        << c.what << test::Joined(*lines);
    if (c.slow) {
      EXPECT_LT(std::chrono::steady_clock::now() - started, 2500ms) << "abandoned after about one window";
    }
  }
  // A peer that sends nothing at all is no trickle: only the idle slices end the wait.
  lines->clear();
  std::atomic<bool> release{false};
  test::TcpListener silent([&](int) {
    while (!release) std::this_thread::sleep_for(5ms);
  });
  CPSocket quiet(&hosts);
  quiet.setLowSpeedWindow(200);
  quiet.setIdleSlices(10);
  ASSERT_TRUE(quiet.connect("127.0.0.1", silent.port()));
  char c;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(quiet.recv(&c, 1), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 900ms);
  EXPECT_FALSE(quiet.healthy());
  release = true;
}

TEST_F(Sockets, AStopEndsEveryWaitWithinASlice) {
  std::atomic<bool> release{false};
  test::TcpListener silent([&](int) {
    while (!release) std::this_thread::sleep_for(5ms);
  });
  CPSocket s(&hosts);
  ASSERT_TRUE(s.connect("127.0.0.1", silent.port()));
  std::thread stopper([] {
    std::this_thread::sleep_for(300ms);
    RequestStop();
  });
  const auto started = std::chrono::steady_clock::now();
  char c;
  EXPECT_EQ(s.recv(&c, 1), -1) << "a receive that would wait 180 s";
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
  EXPECT_FALSE(s.healthy());
  stopper.join();
  // A send into a full window, and any new connection, give up at once.
  const std::string data(64 << 20, 's');
  EXPECT_EQ(s.send(data.data(), int64_t(data.size())), -1);
  CPSocket late(&hosts);
  EXPECT_FALSE(late.connect("127.0.0.1", silent.port()));
  ClearStopRequest();
  release = true;
}

}  // namespace
}  // namespace zel
