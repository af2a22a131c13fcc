// The restart against a fake systemd manager on a private D-Bus bus: the order stop, wait for the
// stop job, 3000 ms, start; and each of the three error boxes with its errno value.
#include <QCoreApplication>
#include <QTest>
#include <cerrno>
#include <chrono>
#include <sstream>
#include <thread>

#include "platform/ServiceControl.h"
#include "tests/ChildProcess.h"
#include "tests/tool/ToolTestSupport.h"
#include "tool/CPConfigApp.h"

namespace zel {
namespace {

using test::RecordingPrompter;
using test::ScratchDir;
namespace fs = std::filesystem;

struct Event {
  double at;
  std::string what;
};

std::vector<Event> ReadLog(const std::string& path) {
  std::vector<Event> events;
  std::istringstream in(test::ReadFile(path));
  std::string line;
  while (std::getline(in, line)) {
    size_t space = line.find(' ');
    events.push_back({std::stod(line.substr(0, space)), line.substr(space + 1)});
  }
  return events;
}

bool WaitFor(const std::function<bool()>& ready) {
  for (int i = 0; i < 1000; ++i) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// A private bus, and on it the fake manager playing one scenario (none: the bus alone).
class FakeSystemd {
 public:
  explicit FakeSystemd(const char* scenario)
      : address_("unix:path=" + dir_.path() + "/bus"),
        bus_({"/usr/bin/dbus-daemon", "--session", "--nofork", "--address=" + address_}, {}, dir_ / "bus.txt") {
    ok_ = WaitFor([&] { return fs::exists(dir_ / "bus"); });
    if (ok_ && scenario) {
      manager_ = std::make_unique<test::ChildProcess>(
          std::vector<std::string>{"/usr/bin/python3", ZEL_TOOL_TEST_DIR "/fake_systemd.py", address_, dir_ / "log",
                                   scenario},
          std::vector<std::string>{}, dir_ / "manager.txt");
      ok_ = WaitFor([&] { return test::ReadFile(dir_ / "log").find("ready") != std::string::npos; });
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
  }
  bool ok() const { return ok_; }
  std::vector<Event> events() const { return ReadLog(dir_ / "log"); }
  std::string output() const { return test::ReadFile(dir_ / "manager.txt") + test::ReadFile(dir_ / "bus.txt"); }

 private:
  ScratchDir dir_;
  std::string address_;
  test::ChildProcess bus_;
  std::unique_ptr<test::ChildProcess> manager_;
  bool ok_ = false;
};

const Event* Find(const std::vector<Event>& events, const std::string& prefix) {
  for (const auto& e : events)
    if (e.what.rfind(prefix, 0) == 0) return &e;
  return nullptr;
}

class ToolRestartTest : public QObject {
  Q_OBJECT
 private slots:
  void stopWaitStart() {
    FakeSystemd systemd("ok");
    QVERIFY2(systemd.ok(), systemd.output().c_str());
    RecordingPrompter prompter;
    RestartService(*MakeSystemServiceManager(), prompter);
    QCOMPARE(prompter.texts(), QString());
    auto events = systemd.events();
    const Event* load = Find(events, "LoadUnit CarvossService.service");
    const Event* stop = Find(events, "StopUnit CarvossService.service replace");
    const Event* stopped = Find(events, "JobRemoved /org/freedesktop/systemd1/job/1 done");
    const Event* start = Find(events, "StartUnit CarvossService.service replace");
    QVERIFY(load && stop && stopped && start);
    QVERIFY(load->at <= stop->at);
    QVERIFY2(start->at - stopped->at >= 2.95, "3000 ms after the stop job ended");
    QVERIFY2(start->at - stop->at >= 3.25, "the stop job was waited for before the pause");
    QVERIFY(Find(events, "JobRemoved /org/freedesktop/systemd1/job/2 done"));
  }

  void errorBoxes_data() {
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("box");
    QTest::addColumn<bool>("startCalled");
    QTest::newRow("no system bus") << "nobus" << QString("OpenSCManager failed, error %1\n").arg(ENOENT) << false;
    QTest::newRow("no manager on the bus")
        << "" << QString("OpenSCManager failed, error %1\n").arg(EHOSTUNREACH) << false;
    QTest::newRow("no such unit") << "nounit" << QString("OpenService failed, error %1\n").arg(ENOENT) << false;
    QTest::newRow("start job failed") << "startfails" << QString("StartService failed, error %1\n").arg(EIO) << true;
    QTest::newRow("start refused") << "startdenied" << QString("StartService failed, error %1\n").arg(EACCES) << true;
    QTest::newRow("does not stop in time") << "stuck" << QString("StartService failed, error %1\n").arg(EBUSY) << false;
  }
  void errorBoxes() {
    QFETCH(QString, scenario);
    QFETCH(QString, box);
    QFETCH(bool, startCalled);
    std::string s = scenario.toStdString();
    FakeSystemd systemd(s.empty() || s == "nobus" ? nullptr : s.c_str());
    QVERIFY2(systemd.ok(), systemd.output().c_str());
    if (s == "nobus") setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/zel-bus", 1);
    RecordingPrompter prompter;
    auto started = std::chrono::steady_clock::now();
    RestartService(*MakeSystemServiceManager(), prompter);
    QCOMPARE(prompter.texts(), "error: " + box + "\n");
    auto events = systemd.events();
    QCOMPARE(Find(events, "StartUnit") != nullptr, startCalled);
    if (s == "nounit") QVERIFY(!Find(events, "StopUnit"));
    if (s == "stuck")
      QVERIFY2(std::chrono::steady_clock::now() - started >= std::chrono::milliseconds(3900),
               "the stop time-out of 1 s, then 3000 ms");
  }
};

}  // namespace
}  // namespace zel

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  zel::ToolRestartTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "ToolRestartTest.moc"
