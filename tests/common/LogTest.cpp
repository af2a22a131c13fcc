#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "common/Log.h"
#include "tests/TestSupport.h"

namespace zel {
namespace {

class MemoryLog : public LogWriter {
 public:
  explicit MemoryLog(std::shared_ptr<std::vector<std::string>> lines) : lines_(std::move(lines)) {}
  void writeLine(std::string_view line) override { lines_->emplace_back(line); }

 private:
  std::shared_ptr<std::vector<std::string>> lines_;
};

class LogChannels : public testing::Test {
 protected:
  void SetUp() override {
    lines = std::make_shared<std::vector<std::string>>();
    AttachLogFile(std::make_unique<MemoryLog>(lines));
  }
  void TearDown() override {
    AttachLogFile(nullptr);
    SetEventSink(nullptr);
    SetForeground(false);
    SetDebugLogging(false);
  }
  std::shared_ptr<std::vector<std::string>> lines;
};

const std::regex kLine(R"(\[([IWED])\] \d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d (.*)\r\n)");

// The order of writes and syncs, as the log file would see them.
class SyncRecorder : public LogWriter {
 public:
  explicit SyncRecorder(std::shared_ptr<std::string> trace) : trace_(std::move(trace)) {}
  void writeLine(std::string_view line) override { *trace_ += line.substr(1, 1); }
  void sync() override { *trace_ += "|"; }
  ~SyncRecorder() override { *trace_ += "closed"; }

 private:
  std::shared_ptr<std::string> trace_;
};

TEST_F(LogChannels, InformationLinesWaitForTheNextSyncWarningsAndErrorsDoNot) {
  auto trace = std::make_shared<std::string>();
  AttachLogFile(std::make_unique<SyncRecorder>(trace));
  SetDebugLogging(true);
  LogInfo("a");
  LogDebug("b");
  LogWarning("c");
  LogInfo("d");
  LogError("e");
  LogInfo("f");
  SyncLogFile();
  LogInfo("g");
  AttachLogFile(nullptr);
  EXPECT_EQ(*trace, "IDW|IE|I|Iclosed");
}

TEST_F(LogChannels, FileLinesCarryLevelTimeAndMessage) {
  LogInfo("%s started", "CarvossService");
  LogWarning("w %d", 2);
  LogError("e");
  ASSERT_EQ(lines->size(), 3u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match((*lines)[0], m, kLine)) << (*lines)[0];
  EXPECT_EQ(m[1], "I");
  EXPECT_EQ(m[2], "CarvossService started");
  EXPECT_EQ((*lines)[1].substr(0, 3), "[W]");
  EXPECT_EQ((*lines)[2].substr(0, 3), "[E]");
}

TEST_F(LogChannels, DebugLinesOnlyWithTheDebugSwitch) {
  LogDebug("hidden %s", "x");
  EXPECT_TRUE(lines->empty());
  SetDebugLogging(true);
  LogDebug("shown");
  ASSERT_EQ(lines->size(), 1u);
  EXPECT_EQ((*lines)[0].substr(0, 3), "[D]");
}

TEST_F(LogChannels, ForegroundEchoesBothChannelsToTheConsole) {
  auto recorder = test::EventRecorder::Install();
  SetForeground(true);
  testing::internal::CaptureStdout();
  LogInfo("to file and console");
  EventError("Unable to parse config file %s\n%s", "/x/config.xml", "syntax error");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find(" to file and console\r\n"), std::string::npos);
  // The two-line message is one console line with its line break inside, tagged E.
  EXPECT_NE(out.find("[E] "), std::string::npos);
  EXPECT_NE(out.find(" Unable to parse config file /x/config.xml\nsyntax error\r\n"), std::string::npos);
  EXPECT_TRUE(recorder->events().empty()) << "foreground events stay off the sink";
  EXPECT_EQ(lines->size(), 1u) << "event messages never reach the file channel";
}

TEST_F(LogChannels, EventsGoToTheSinkOutsideForeground) {
  auto recorder = test::EventRecorder::Install();
  testing::internal::CaptureStdout();
  EventWarning("Cannot open log file %s", "(null)");
  LogInfo("file only");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_EQ(recorder->events().size(), 1u);
  EXPECT_EQ(recorder->events()[0].level, LogLevel::Warning);
  EXPECT_EQ(recorder->events()[0].message, "Cannot open log file (null)");
}

// The sink (the journal, in a service) also gets the file log's warnings and errors, with their
// level, so the service manager shows why the service is unhappy; information and debug lines and
// the foreground console stay as they were.
class FileLineRecorder : public test::EventRecorder {
 public:
  void fileLine(LogLevel level, const std::string& message) override {
    fileLines.push_back(std::string(1, char(level)) + ":" + message);
  }
  std::vector<std::string> fileLines;
};

TEST_F(LogChannels, WarningAndErrorLinesOfTheFileReachTheSinkWithTheirLevel) {
  auto recorder = std::make_shared<FileLineRecorder>();
  SetEventSink(recorder);
  SetDebugLogging(true);
  LogInfo("info");
  LogDebug("debug");
  LogWarning("Cannot connect to %s", "edh1");
  LogError("Server said %d %s", 500, "Internal");
  EXPECT_EQ(recorder->fileLines, (std::vector<std::string>{"W:Cannot connect to edh1", "E:Server said 500 Internal"}));
  EXPECT_TRUE(recorder->events().empty()) << "they are not events";
  EXPECT_EQ(lines->size(), 4u);
  SetForeground(true);
  testing::internal::CaptureStdout();
  LogError("foreground");
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(recorder->fileLines.size(), 2u) << "the console shows them already";
}

TEST_F(LogChannels, LongMessagesAreCutAt2047Bytes) {
  std::string big(5000, 'x');
  LogInfo("%s", big.c_str());
  std::smatch m;
  ASSERT_TRUE(std::regex_match((*lines)[0], m, kLine));
  EXPECT_EQ(m[2].length(), 2047);
}

TEST_F(LogChannels, LinesFromTwoThreadsStayWhole) {
  auto worker = [](char tag) {
    for (int i = 0; i < 2000; ++i) LogInfo("%c%c%c%c%c%c%c%c", tag, tag, tag, tag, tag, tag, tag, tag);
  };
  std::thread a(worker, 'a'), b(worker, 'b');
  a.join();
  b.join();
  ASSERT_EQ(lines->size(), 4000u);
  for (const auto& line : *lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
    ASSERT_TRUE(m[2] == "aaaaaaaa" || m[2] == "bbbbbbbb") << line;
  }
}

}  // namespace
}  // namespace zel

namespace zel {
namespace {

TEST(SplitInsertionStrings, OneStringPerLineWithTheFinalFeedAddingNone) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"A", {"A"}},
      {"A\n", {"A\n"}},
      {"A\n\nB", {"A", "", "B"}},
      {"Unable to parse config file x\nsyntax error", {"Unable to parse config file x", "syntax error"}},
      {"A\r\nB\n", {"A\r", "B"}},
      {"", {""}},
      {"\n\n", {"", ""}},
  };
  for (const auto& [message, strings] : cases) EXPECT_EQ(SplitInsertionStrings(message), strings) << message;
}

}  // namespace
}  // namespace zel
