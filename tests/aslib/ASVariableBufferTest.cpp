#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <random>

#include "aslib/ASVariableBuffer.h"
#include "tests/TestSupport.h"

namespace zel {
namespace {

// Spill files this process holds open in TMPDIR. They never have a name there, so that a process
// that is killed leaves nothing behind.
size_t SpillFiles() {
  const std::string folder = std::string(getenv("TMPDIR")) + "/";
  EXPECT_EQ(test::CountFiles(folder), 0u) << "a spill file with a name";
  size_t open = 0;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
    if (!ec && target.rfind(folder, 0) == 0) ++open;
  }
  return open;
}

std::string Pattern(size_t n, uint32_t seed = 7) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = char('a' + rng() % 26);
  return s;
}

TEST(ASVariableBuffer, SpillsAtExactlyTheMemoryBorderAndResetRemovesTheFile) {
  ASVariableBuffer buffer;
  std::string block(65536, 'm');
  EXPECT_EQ(buffer.append(block), 65536);
  EXPECT_FALSE(buffer.spilled());
  EXPECT_EQ(SpillFiles(), 0u);
  EXPECT_EQ(buffer.append("z", 1), 1);
  EXPECT_TRUE(buffer.spilled());
  EXPECT_EQ(SpillFiles(), 1u);
  EXPECT_EQ(buffer.append(block), 65536);
  EXPECT_EQ(SpillFiles(), 1u) << "one spill file per buffer";
  EXPECT_EQ(buffer.length(), 131073);
  buffer.reset();
  EXPECT_EQ(SpillFiles(), 0u);
  EXPECT_EQ(buffer.length(), 0);
  EXPECT_EQ(buffer.readPosition(), 0);
}

TEST(ASVariableBuffer, DestructionRemovesTheSpillFile) {
  {
    ASVariableBuffer buffer;
    buffer.append(std::string(100000, 'x'));
    EXPECT_EQ(SpillFiles(), 1u);
  }
  EXPECT_EQ(SpillFiles(), 0u);
}

TEST(ASVariableBuffer, ReadsAcrossTheBorderInOrder) {
  const std::string data = Pattern(200000);
  ASVariableBuffer buffer;
  // Appends of odd sizes so pieces straddle the border.
  for (size_t at = 0; at < data.size(); at += 4999) buffer.append(data.substr(at, 4999));
  ASSERT_EQ(buffer.length(), int64_t(data.size()));
  std::string back;
  char piece[7777];
  int64_t n;
  while ((n = buffer.read(piece, sizeof piece)) > 0) back.append(piece, size_t(n));
  EXPECT_EQ(n, 0);
  EXPECT_EQ(back, data);
  buffer.setReadPosition(65530);
  char across[12];
  ASSERT_EQ(buffer.read(across, 12), 12);
  EXPECT_EQ(std::string(across, 12), data.substr(65530, 12));
}

TEST(ASVariableBuffer, ArgumentErrors) {
  ASVariableBuffer buffer;
  char c;
  EXPECT_EQ(buffer.append(nullptr, 3), -1);
  EXPECT_EQ(buffer.append("x", 0), -1);
  EXPECT_EQ(buffer.read(&c, 1), 0) << "nothing unread";
  buffer.append("x", 1);
  EXPECT_EQ(buffer.read(nullptr, 1), -1);
  EXPECT_EQ(buffer.read(&c, 0), -1);
}

TEST(ASVariableBuffer, AppendFormatCutsAt16383Bytes) {
  ASVariableBuffer buffer;
  EXPECT_EQ(buffer.appendFormat("%s=%d\r\n", "port", 443), 10);
  EXPECT_EQ(buffer.unreadBytes(), "port=443\r\n");
  buffer.reset();
  std::string big(20000, 'q');
  EXPECT_EQ(buffer.appendFormat("%s", big.c_str()), 16383);
}

TEST(ASVariableBuffer, FindSeesPatternsStraddlingTheBorderAndKeepsTheReadPosition) {
  std::string data = Pattern(150000);
  const std::string needle = "<<NEEDLE>>";
  data.replace(65531, needle.size(), needle);  // 65531..65540 straddles 65536
  data.replace(140000, needle.size(), needle);
  ASVariableBuffer buffer;
  buffer.append(data);
  buffer.setReadPosition(100);
  EXPECT_EQ(buffer.find(needle, 0), 65531);
  EXPECT_EQ(buffer.find(needle, 65531), 65531);
  EXPECT_EQ(buffer.find(needle, 65532), 140000);
  EXPECT_EQ(buffer.find(needle, 140001), -1);
  EXPECT_EQ(buffer.find("", 0), -1);
  EXPECT_EQ(buffer.find(needle, 1 << 20), -1);
  EXPECT_EQ(buffer.readPosition(), 100);
  // Every window border inside the spill file: a needle at each 64 KiB step minus a few bytes.
  std::string big = Pattern(600000, 3);
  for (int64_t border = 65536 * 2; border < 600000; border += 65536) big.replace(size_t(border - 4), 9, "#BORDER#!");
  ASVariableBuffer spilled;
  spilled.append(big);
  int64_t at = 0, hits = 0;
  while ((at = spilled.find("#BORDER#!", at)) >= 0) {
    EXPECT_EQ(at, int64_t(big.find("#BORDER#!", size_t(at))));
    ++hits;
    ++at;
  }
  EXPECT_EQ(hits, 8);
}

TEST(ASVariableBuffer, FindAtLineStartTakesOnlyPositionsAfterALineFeed) {
  ASVariableBuffer buffer;
  buffer.append("--b\r\nx --b\r\n--b tail");
  // The pattern stands at 0 and after the second line feed: the later one is found.
  EXPECT_EQ(buffer.findAtLineStart("--b", 0), 12);
  // A line that begins exactly at `from` does not count.
  EXPECT_EQ(buffer.findAtLineStart("--b", 12), -1);
  EXPECT_EQ(buffer.findAtLineStart("--b", 11), 12);
  EXPECT_EQ(buffer.findAtLineStart("tail", 0), -1);

  std::string data = Pattern(100000);
  data[65535] = '\n';
  data.replace(65536, 5, "--END");
  ASVariableBuffer spilled;
  spilled.append(data);
  EXPECT_EQ(spilled.findAtLineStart("--END", 0), 65536);
}

// Truncation inside the spill file and inside memory: later appends continue right after the cut.
TEST(ASVariableBuffer, TruncateForgetsTheTailAndAppendsContinueAfterTheCut) {
  const std::string data = Pattern(70000);
  for (int64_t cut : {int64_t(65540), int64_t(100), int64_t(0)}) {
    SCOPED_TRACE(cut);
    ASVariableBuffer buffer;
    buffer.append(data);
    buffer.setReadPosition(69000);
    buffer.truncate(cut);
    EXPECT_EQ(buffer.length(), cut);
    EXPECT_EQ(buffer.readPosition(), cut);
    buffer.truncate(cut + 10);
    EXPECT_EQ(buffer.length(), cut);
    buffer.append(data);
    buffer.setReadPosition(0);
    EXPECT_TRUE(buffer.unreadBytes() == data.substr(0, size_t(cut)) + data);
  }
}

}  // namespace
}  // namespace zel
