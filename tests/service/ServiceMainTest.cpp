#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <thread>

#include "common/StopRequest.h"
#include "config/CPConfig.h"
#include "config/ConfigBackup.h"
#include "service/EngineSteps.h"
#include "service/ServiceLog.h"
#include "service/ServiceMain.h"
#include "tests/TestSupport.h"

namespace zel {
namespace {

using namespace std::chrono_literals;

// A base folder with a valid config.xml, the service run under test, and a record of what it did.
class ServiceLoop : public testing::Test {
 protected:
  void SetUp() override {
    events = test::EventRecorder::Install();
    std::filesystem::create_directory(dir / "state");
    setenv("ZEL_STATE_DIR", (dir / "state").c_str(), 1);
    for (const char* name : {"in", "out", "bad", "queue", "temp", "log"}) std::filesystem::create_directory(dir / name);
    WriteConfig("60", "false");
  }
  void TearDown() override {
    unsetenv("ZEL_STATE_DIR");
    SetEventSink(nullptr);
  }

  void WriteConfig(const std::string& refresh, const std::string& mail) {
    test::WriteFile(dir / "config.xml",
                    "<config><Basedir path='" + dir.path() +
                        "'/><Inbound path='$basedir/in'/><Outbound path='$basedir/out'/><Bad path='$basedir/bad'/>"
                        "<Queue path='$basedir/queue'/><Temp path='$basedir/temp'/>"
                        "<Logfile path='$basedir/log/zel.log'/><Mailserver enabled='" +
                        mail +
                        "'/>"
                        "<Server port='443' refresh='" +
                        refresh +
                        "' list='/l' get='/g' post='/p' remove='/r'/>"
                        "</config>");
  }

  ServiceOptions Options(bool serviceMode) {
    ServiceOptions options;
    options.serviceMode = serviceMode;
    options.arguments = {"zel", "-c", dir / "config.xml"};
    options.tick = 5ms;
    options.report = [this](const std::string& state) {
      std::lock_guard<std::mutex> hold(lock);
      reports.push_back(state);
    };
    return options;
  }

  // Steps that record every call as a letter: R retrieve, S scan, Q queue.
  ServiceSteps RecordingSteps() {
    ServiceSteps steps;
    auto record = [this](char c) {
      std::lock_guard<std::mutex> hold(lock);
      calls.push_back(c);
      changed.notify_all();
    };
    steps.retrieveLists = [record](ServiceContext&) { record('R'); };
    steps.scanOutbound = [record](ServiceContext& c) {
      EXPECT_TRUE(c.config.paths.Inbound.has_value());
      record('S');
    };
    steps.processQueue = [record](ServiceContext&) { record('Q'); };
    return steps;
  }

  void WaitForCalls(size_t n) {
    std::unique_lock<std::mutex> hold(lock);
    ASSERT_TRUE(changed.wait_for(hold, 10s, [&] { return calls.size() >= n; })) << calls;
  }
  size_t Reported(const std::string& state) {
    std::lock_guard<std::mutex> hold(lock);
    return size_t(std::count(reports.begin(), reports.end(), state));
  }
  std::string Log() { return test::ReadFile(dir / "log/zel.log"); }
  std::string Calls() {
    std::lock_guard<std::mutex> hold(lock);
    return calls;
  }

  test::ScratchDir dir;
  std::shared_ptr<test::EventRecorder> events;
  std::mutex lock;
  std::condition_variable changed;
  std::string calls;
  std::vector<std::string> reports;
};

// Passes between retrievals, counting from the first; steps that take no time.
std::vector<size_t> RetrievalPasses(const std::string& calls) {
  std::vector<size_t> passes;
  size_t pass = 0;
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i] == 'R') passes.push_back(pass);
    if (calls[i] == 'Q') ++pass;
  }
  return passes;
}

TEST_F(ServiceLoop, RetrievesAtOnceThenEveryRefreshButNeverUnder30) {
  for (auto [refresh, interval] : {std::pair{"10", 30}, {"60", 60}}) {
    calls.clear();
    WriteConfig(refresh, "false");
    // A second of 20 ms, so that a busy machine's delays of a millisecond or two at every pass do
    // not add up to a counted second.
    ServiceOptions options = Options(true);
    options.tick = 20ms;
    ServiceRun run(options, RecordingSteps());
    std::thread runner([&] { run.run(); });
    WaitForCalls(size_t(interval * 2 + 1) * 2 + 3);
    run.control(ControlSignal::Stop);
    runner.join();
    std::vector<size_t> passes = RetrievalPasses(Calls());
    ASSERT_GE(passes.size(), 2u) << Calls();
    EXPECT_EQ(passes[0], 0u) << "the first pass retrieves at once";
    // The counter also counts time spent working, so a slow pass can only bring a retrieval forward.
    EXPECT_LE(passes[1] - passes[0], size_t(interval)) << refresh;
    EXPECT_GE(passes[1] - passes[0], size_t(interval) * 2 / 3) << refresh;
  }
}

TEST_F(ServiceLoop, ARefreshBeyondTheStartCounterDelaysEvenTheFirstRetrieval) {
  WriteConfig("70000", "false");
  ServiceRun run(Options(true), RecordingSteps());
  std::thread runner([&] { run.run(); });
  WaitForCalls(40);
  run.control(ControlSignal::Stop);
  runner.join();
  EXPECT_EQ(Calls().find('R'), std::string::npos) << Calls();
}

TEST_F(ServiceLoop, PauseWaitsForThePassAndStopsFurtherPasses) {
  std::mutex gate;
  std::condition_variable opened;
  bool inside = false, release = false;
  ServiceSteps steps = RecordingSteps();
  auto recordQueue = steps.processQueue;
  steps.processQueue = [&, recordQueue](ServiceContext& c) {
    std::unique_lock<std::mutex> hold(gate);
    inside = true;
    opened.notify_all();
    opened.wait(hold, [&] { return release; });
    hold.unlock();
    recordQueue(c);
  };
  ServiceRun run(Options(true), steps);
  std::thread runner([&] { run.run(); });
  {
    std::unique_lock<std::mutex> hold(gate);
    ASSERT_TRUE(opened.wait_for(hold, 10s, [&] { return inside; }));
  }
  run.control(ControlSignal::Pause);  // mid-pass
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(Log().find("paused"), std::string::npos) << "a pass in progress is never cut";
  {
    std::lock_guard<std::mutex> hold(gate);
    release = true;
  }
  opened.notify_all();
  for (int i = 0; i < 400 && Log().find("paused") == std::string::npos; ++i) std::this_thread::sleep_for(5ms);
  const std::string before = Calls();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(Calls(), before) << "no pass runs while paused";
  run.control(ControlSignal::Continue);
  WaitForCalls(before.size() + 4);
  run.control(ControlSignal::Pause);
  for (int i = 0; i < 400 && Reported("STATUS=Paused") < 2; ++i) std::this_thread::sleep_for(5ms);
  run.control(ControlSignal::Stop);  // while paused
  runner.join();

  const std::string log = Log();
  const size_t started = log.find("Velmor Carvoss v. 2.1.0444 started\r\n");
  const size_t paused = log.find("Velmor Carvoss v. 2.1.0444 paused\r\n");
  const size_t resumed = log.find("Velmor Carvoss v. 2.1.0444 resumed\r\n");
  const size_t paused2 = log.find("Velmor Carvoss v. 2.1.0444 paused\r\n", resumed);
  const size_t stopped = log.find("Velmor Carvoss v. 2.1.0444 stopped\r\n");
  ASSERT_NE(stopped, std::string::npos) << log;
  EXPECT_TRUE(started < paused && paused < resumed && resumed < paused2 && paused2 < stopped) << log;
  EXPECT_EQ(log.find("resumed", paused2), std::string::npos) << "stop while paused: no resumed line";

  const std::vector<std::string> expected = {
      "STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000",
      "READY=1\nSTATUS=Running",
      "STATUS=Pausing",
      "STATUS=Pausing",
      "STATUS=Paused",
      "STATUS=Resuming",
      "STATUS=Resuming",
      "READY=1\nSTATUS=Running",
      "STATUS=Pausing",
      "STATUS=Pausing",
      "STATUS=Paused",
      "STOPPING=1",
      "STOPPING=1",
      "STATUS=Stopped",
  };
  // The handler reports the pending state, sets the event and reports it again; the loop may act
  // in between, so "Paused" may come before the second "Pausing", and "Running" before the
  // second "Resuming".
  std::vector<std::string> seen(reports.begin(), reports.end());
  for (size_t i = 0; i + 1 < seen.size(); ++i)
    if ((seen[i] == "STATUS=Paused" && seen[i + 1] == "STATUS=Pausing") ||
        (seen[i] == "READY=1\nSTATUS=Running" && seen[i + 1] == "STATUS=Resuming"))
      std::swap(seen[i], seen[i + 1]);
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(events->messages(),
            "I:Velmor Carvoss v. 2.1.0444 started\nI:Velmor Carvoss v. 2.1.0444 paused\n"
            "I:Velmor Carvoss v. 2.1.0444 resumed\nI:Velmor Carvoss v. 2.1.0444 paused\n"
            "I:Velmor Carvoss v. 2.1.0444 stopped\n");
}

TEST_F(ServiceLoop, OfAPauseAndAContinueDuringOnePassTheLastWins) {
  struct Case {
    const char* name;
    ControlSignal first, second;
    bool staysPaused;
  };
  const Case cases[] = {
      {"pause, then continue", ControlSignal::Pause, ControlSignal::Continue, false},
      {"continue, then pause", ControlSignal::Continue, ControlSignal::Pause, true},
  };
  for (const Case& c : cases) {
    calls.clear();
    reports.clear();
    std::mutex gate;
    std::condition_variable opened;
    bool inside = false, release = false;
    ServiceSteps steps = RecordingSteps();
    auto recordQueue = steps.processQueue;
    steps.processQueue = [&, recordQueue](ServiceContext& context) {
      std::unique_lock<std::mutex> hold(gate);
      inside = true;
      opened.notify_all();
      opened.wait(hold, [&] { return release; });
      hold.unlock();
      recordQueue(context);
    };
    ServiceRun run(Options(true), steps);
    std::thread runner([&] { run.run(); });
    {
      std::unique_lock<std::mutex> hold(gate);
      ASSERT_TRUE(opened.wait_for(hold, 10s, [&] { return inside; })) << c.name;
    }
    run.control(c.first);  // both while the first pass runs
    run.control(c.second);
    {
      std::lock_guard<std::mutex> hold(gate);
      release = true;
    }
    opened.notify_all();
    if (c.staysPaused) {
      for (int i = 0; i < 2000 && Reported("STATUS=Paused") == 0; ++i) std::this_thread::sleep_for(5ms);
      const std::string before = Calls();
      std::this_thread::sleep_for(100ms);
      EXPECT_EQ(Calls(), before) << c.name << ": no pass runs while paused";
    } else {
      WaitForCalls(3 * 4);  // further passes
    }
    run.control(ControlSignal::Stop);
    runner.join();

    const std::string log = Log();
    const size_t paused = log.find("Velmor Carvoss v. 2.1.0444 paused\r\n");
    const size_t resumed = log.find("Velmor Carvoss v. 2.1.0444 resumed\r\n");
    EXPECT_NE(paused, std::string::npos) << c.name << "\n" << log;
    if (c.staysPaused) {
      EXPECT_EQ(resumed, std::string::npos) << c.name << ": a continue before the pause does not end it\n" << log;
      EXPECT_EQ(Calls(), "RSQ") << c.name;
    } else {
      EXPECT_TRUE(paused < resumed && resumed != std::string::npos) << c.name << "\n" << log;
      EXPECT_GE(Calls().size(), 12u) << c.name;
      EXPECT_EQ(Reported("READY=1\nSTATUS=Running"), 2u) << c.name << ": reported running again";
    }
  }
}

TEST_F(ServiceLoop, StopCutsAPassShortWhereAPauseWouldLetItFinish) {
  for (bool serviceMode : {true, false}) {
    calls.clear();
    std::atomic<bool> inside{false};
    ServiceSteps steps = RecordingSteps();
    auto recordRetrieve = steps.retrieveLists;
    // A retrieval held by the network: it gives up only when the stop request tells it to.
    steps.retrieveLists = [&, recordRetrieve](ServiceContext& c) {
      recordRetrieve(c);
      inside = true;
      for (int i = 0; i < 3000 && !StopRequested(); ++i) std::this_thread::sleep_for(10ms);
    };
    ServiceRun run(Options(serviceMode), steps);
    EXPECT_FALSE(StopRequested()) << "a new run starts without a stop request";
    std::thread runner([&] { run.run(); });
    for (int i = 0; i < 1000 && !inside; ++i) std::this_thread::sleep_for(5ms);
    const auto stopped = std::chrono::steady_clock::now();
    run.control(ControlSignal::Stop);
    runner.join();
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 2s) << serviceMode;
    EXPECT_EQ(Calls(), "R") << "the rest of the pass is not run";
    EXPECT_NE(Log().find("Velmor Carvoss v. 2.1.0444 stopped\r\n"), std::string::npos);
  }
  ClearStopRequest();
}

TEST_F(ServiceLoop, StopGivesABusyMailerItsGraceAndKeepsTheLogOpenForIt) {
  WriteConfig("60", "true");
  ServiceOptions options = Options(true);
  options.mailerGrace = 300ms;
  ServiceSteps steps = RecordingSteps();
  std::atomic<bool> sawStop{false}, mailerMayEnd{false};
  std::shared_ptr<const CPConfig> mailerConfig;
  steps.mailer = [&](std::shared_ptr<const CPConfig> config, const std::atomic<bool>& stop) {
    mailerConfig = config;
    while (!stop) std::this_thread::sleep_for(1ms);
    sawStop = true;
    while (!mailerMayEnd) std::this_thread::sleep_for(1ms);  // busy with a session
    LogInfo("mailer line after stop");
  };
  {
    ServiceRun run(options, steps);
    std::thread runner([&] { run.run(); });
    WaitForCalls(6);
    auto begun = std::chrono::steady_clock::now();
    run.control(ControlSignal::Stop);
    runner.join();
    EXPECT_LT(std::chrono::steady_clock::now() - begun, 3s);
  }
  EXPECT_TRUE(sawStop);
  ASSERT_TRUE(mailerConfig);
  EXPECT_TRUE(mailerConfig->mailserver.enabled) << "the mailer gets its own copy";
  mailerMayEnd = true;
  for (int i = 0; i < 400 && Log().find("mailer line") == std::string::npos; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_NE(Log().find("mailer line after stop"), std::string::npos) << "its lines still reach the log";
  std::this_thread::sleep_for(20ms);  // let the detached mailer return
  CloseServiceLog();
}

TEST_F(ServiceLoop, ABrokenConfigIsRestoredOnceFromTheBackup) {
  {
    ServiceRun first(Options(true), RecordingSteps());
    std::thread runner([&] { first.run(); });
    WaitForCalls(3);
    first.control(ControlSignal::Stop);
    runner.join();
  }
  ASSERT_TRUE(std::filesystem::exists(BackupLocation())) << "a good start refreshes the backup";
  struct stat st {};
  ASSERT_EQ(stat(BackupLocation().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u) << "the backup holds the passwords too";
  events->clear();
  calls.clear();
  test::WriteFile(dir / "config.xml", "<config><Basedir path='/nowhere/at/all'/></config>");
  // A file that holds passwords, owned by someone else: the restore keeps both owner and mode.
  ASSERT_EQ(chmod((dir / "config.xml").c_str(), 0600), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown((dir / "config.xml").c_str(), 65534, 65534), 0);
  }
  ServiceRun second(Options(true), RecordingSteps());
  std::thread runner([&] { second.run(); });
  WaitForCalls(3);
  second.control(ControlSignal::Stop);
  runner.join();
  EXPECT_EQ(events->messages(), "E:Basedir path /nowhere/at/all does not exist\nI:Restoring config file " +
                                    (dir / "config.xml") +
                                    "\nI:Velmor Carvoss v. 2.1.0444 started\nI:Velmor Carvoss v. 2.1.0444 stopped\n");
  EXPECT_NE(test::ReadFile(dir / "config.xml").find("<Inbound path=\"" + (dir / "in") + "\" />"), std::string::npos)
      << "the file is rewritten with the expanded paths";
  ASSERT_EQ(stat((dir / "config.xml").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  if (root) {
    EXPECT_EQ(st.st_uid, 65534u) << "the owner stays";
  }

  // When the restored file fails too, the run ends without a second restore.
  events->clear();
  calls.clear();
  std::filesystem::remove_all(dir / "temp");
  test::WriteFile(dir / "config.xml", "broken");
  ServiceRun third(Options(true), RecordingSteps());
  third.run();
  EXPECT_EQ(Calls(), "");
  EXPECT_EQ(events->messages(), "E:Unable to parse config file " + (dir / "config.xml") +
                                    "\nsyntax error\nI:Restoring config file " + (dir / "config.xml") +
                                    "\nE:Temp path " + (dir / "temp") + " does not exist\n");
  EXPECT_EQ(reports.back(), "STATUS=Stopped");
}

TEST_F(ServiceLoop, EveryEarlierLogIsKeptAndAnUnwritableLogFolderOnlyWarns) {
  for (int start = 0; start < 3; ++start) {
    ServiceRun run(Options(false), RecordingSteps());
    std::thread runner([&] { run.run(); });
    WaitForCalls(size_t(start + 1) * 3);
    run.control(ControlSignal::Stop);
    runner.join();
  }
  // Three starts within a second or two: the current log and two rotated ones, none lost.
  size_t logs = 0, startedLines = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir / "log")) {
    ++logs;
    std::string text = test::ReadFile(entry.path());
    startedLines += text.find("started") != std::string::npos;
  }
  EXPECT_EQ(logs, 3u);
  EXPECT_EQ(startedLines, 3u);

  std::filesystem::remove_all(dir / "log");
  events->clear();
  ServiceRun run(Options(true), RecordingSteps());
  std::thread runner([&] { run.run(); });
  WaitForCalls(size_t(9 + 3));
  run.control(ControlSignal::Stop);
  runner.join();
  EXPECT_EQ(events->messages().rfind("W:Cannot open log file " + (dir / "log/zel.log") + "\n", 0), 0u)
      << events->messages();
}

TEST(RotatedLogName, CutsAfterTheLastSeparator) {
  std::tm when{};
  when.tm_year = 124;
  when.tm_mon = 2;
  when.tm_mday = 5;
  when.tm_hour = 9;
  when.tm_min = 7;
  when.tm_sec = 3;
  EXPECT_EQ(RotatedLogName("/d/zel/log/zel.log", when, 1), "/d/zel/log/2024-03-05-09-07-03.log");
  EXPECT_EQ(RotatedLogName("zel.log", when, 1), "zel.log2024-03-05-09-07-03.log");
  EXPECT_EQ(RotatedLogName("/d/zel.log", when, 3), "/d/2024-03-05-09-07-03.3.log");
}

TEST(FindConfigPath, LastConfigArgumentWinsThenTheCommandLineThenBesideTheProgram) {
  EXPECT_EQ(FindConfigPath({"zel", "-c", "a", "--config", "b"}, std::string("x")), "b");
  EXPECT_EQ(FindConfigPath({"zel", "-c"}, std::string("x")), "x");
  EXPECT_EQ(FindConfigPath({"-c", "not-after-the-first"}, std::nullopt).value().substr(0, 1), "/");
  auto beside = FindConfigPath({"zel"}, std::nullopt);
  ASSERT_TRUE(beside);
  EXPECT_EQ(std::filesystem::path(*beside).filename(), "config.xml");
}

TEST(PassStatus, NamesTheQueueLengthAndTheLastExchangeInLocalTime) {
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(PassStatus(0, std::nullopt), "Running, 0 tickets queued, no exchange with the server yet");
  EXPECT_EQ(PassStatus(1, 1709629623), "Running, 1 ticket queued, last exchange 2024-03-05 09:07:03");
  unsetenv("TZ");
  tzset();
  test::ScratchDir dir;
  for (const char* name : {"a.ticket", "b.TICKET", "c.xml", "d.ticket.tmp1"}) test::WriteFile(dir / name, "");
  EXPECT_EQ(CountTickets(dir.path()), 2u);
  EXPECT_EQ(CountTickets(std::nullopt), 0u);
  EXPECT_EQ(CountTickets(dir / "missing"), 0u);
}

}  // namespace
}  // namespace zel
