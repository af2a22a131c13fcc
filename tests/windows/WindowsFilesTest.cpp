// The Windows file backend against a second process: a file another process holds open without
// sharing is not taken until it lets go; moves replace their target; Cyrillic folder and file names
// reach the disk as the same names; the log file stays readable by others while it is written.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "common/Utf8Path.h"
#include "platform/Files.h"
#include "platform/ServiceHost.h"
#include "platform/TempFile.h"
#include "tests/TestSupport.h"

namespace zel {
namespace {

// Another holder of `path`, open with no sharing until released: share modes apply between handles,
// so this stands for another program (the service's own test shows it with a second process).
class Holder {
 public:
  explicit Holder(const std::string& path) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    handle_ = CreateFileW(Utf8Path(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr);
  }
  ~Holder() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  bool holding() const { return handle_ != INVALID_HANDLE_VALUE; }
  void release() {
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

TEST(WindowsFiles, AFileHeldWithoutSharingIsNotTakenUntilReleased) {
  test::ScratchDir dir;
  const std::string path = dir / "doc.xml";
  test::WriteFile(path, "<a/>");
  {
    Holder other(path);
    ASSERT_TRUE(other.holding());
    int error = 0;
    EXPECT_EQ(ExclusiveFile::Open(path, &error), nullptr);
    EXPECT_EQ(error, EBUSY);
    other.release();
    auto mine = ExclusiveFile::Open(path, &error);
    ASSERT_NE(mine, nullptr) << error;
    // While held, nobody else opens it, for reading or for writing.
    HANDLE reader = CreateFileW(Utf8Path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(reader, INVALID_HANDLE_VALUE);
    if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
    char text[8] = {};
    EXPECT_EQ(mine->read(text, sizeof text), 4);
    EXPECT_STREQ(text, "<a/>");
  }
  int error = 0;
  SetFileAttributesW(Utf8Path(path).c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(ExclusiveFile::Open(path, &error), nullptr) << "a read-only file is never taken";
  EXPECT_EQ(error, EACCES);
  SetFileAttributesW(Utf8Path(path).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(WindowsFiles, CyrillicNamesMoveAndReplace) {
  test::ScratchDir dir;
  const std::string folder = dir / "\xd0\x92\xd1\x85\xd0\xbe\xd0\xb4\xd1\x8f\xd1\x89\xd0\xb8\xd0\xb5";  // Входящие
  ASSERT_TRUE(std::filesystem::create_directory(Utf8Path(folder)));
  const std::string from = folder + "/\xd0\xb4\xd0\xbe\xd0\xba.xml", to = folder + "/target.xml";  // док.xml
  int error = 0;
  ASSERT_TRUE(WriteFileAtomically(from, "new", &error)) << error;
  ASSERT_TRUE(WriteFileAtomically(to, "old", &error)) << error;
  // The names on disk are the UTF-16 form of the UTF-8 text.
  const std::wstring wide = Utf8Path(from).wstring();
  EXPECT_NE(wide.find(L"\x0412\x0445\x043e\x0434\x044f\x0449\x0438\x0435"), std::wstring::npos);
  EXPECT_NE(GetFileAttributesW(wide.c_str()), INVALID_FILE_ATTRIBUTES);

  auto held = ExclusiveFile::Open(from, &error);
  ASSERT_NE(held, nullptr) << error;
  ASSERT_TRUE(held->moveTo(to, true, &error)) << error;
  held.reset();
  EXPECT_TRUE(PathVacant(from));
  EXPECT_EQ(test::ReadFile(to), "new");
  EXPECT_EQ(test::TemporaryLeftovers(folder).size(), 0u);

  // Identity tells a replaced file from the one before.
  auto before = IdentifyFile(to);
  ASSERT_TRUE(before);
  ASSERT_TRUE(WriteFileAtomically(to, "newer", &error));
  auto after = IdentifyFile(to);
  ASSERT_TRUE(after);
  EXPECT_NE(*before, *after);
  EXPECT_EQ(after->size, 5);
  EXPECT_FALSE(IdentifyFile(folder + "/none.xml"));
}

TEST(WindowsFiles, LeftoverTemporaryFilesAreRemovedAndNothingElse) {
  test::ScratchDir dir;
  test::WriteFile(dir / ".zel-abcdefghijkl", "half");
  test::WriteFile(dir / ".zel-short", "keep");
  test::WriteFile(dir / "doc.xml", "keep");
  RemoveStaleTemporaryFiles(dir.path());
  EXPECT_TRUE(PathVacant(dir / ".zel-abcdefghijkl"));
  EXPECT_FALSE(PathVacant(dir / ".zel-short"));
  EXPECT_FALSE(PathVacant(dir / "doc.xml"));
}

TEST(WindowsFiles, LinkNeverReplacesAndRemoveReportsMissing) {
  test::ScratchDir dir;
  test::WriteFile(dir / "a", "a");
  test::WriteFile(dir / "b", "b");
  int error = 0;
  EXPECT_FALSE(LinkFile(dir / "a", dir / "b", &error));
  EXPECT_EQ(error, EEXIST);
  EXPECT_TRUE(RemoveFile(dir / "a", &error));
  EXPECT_FALSE(RemoveFile(dir / "a", &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(PeekFile(dir / "b", 100).value_or(""), "b");
}

TEST(WindowsFiles, TempFilesSpillAndVanish) {
  auto file = MakeTempFile();
  ASSERT_TRUE(file->open());
  const std::string block(100000, 'x');
  EXPECT_EQ(file->write(block.data(), int64_t(block.size())), int64_t(block.size()));
  EXPECT_TRUE(file->atEnd());
  ASSERT_TRUE(file->seek(0, 0));
  std::string back(block.size(), '\0');
  EXPECT_EQ(file->read(back.data(), int64_t(back.size())), int64_t(back.size()));
  EXPECT_EQ(back, block);
  file->close();  // the test main fails when the temporary folder is not empty at the end
}

TEST(WindowsFiles, TheLogFileIsReadableWhileWrittenAndRotatesWithoutReplacing) {
  test::ScratchDir dir;
  int error = 0;
  auto log = OpenLogFile(dir / "zel.log", true, &error);
  ASSERT_NE(log, nullptr) << error;
  log->writeLine("one\r\n");
  EXPECT_EQ(test::ReadFile(dir / "zel.log"), "one\r\n");
  log.reset();
  test::WriteFile(dir / "old.log", "old");
  EXPECT_FALSE(RenameNoReplace(dir / "zel.log", dir / "old.log", &error));
  EXPECT_EQ(error, EEXIST);
  EXPECT_TRUE(RenameNoReplace(dir / "zel.log", dir / "new.log", &error));
  EXPECT_FALSE(RenameNoReplace(dir / "zel.log", dir / "newer.log", &error));
  EXPECT_EQ(error, ENOENT);
}

TEST(WindowsFiles, ProgramPathAndArgumentsAreUtf8) {
  auto program = ProgramPath();
  ASSERT_TRUE(program);
  EXPECT_NE(program->find("windows_unit_tests.exe"), std::string::npos) << *program;
  EXPECT_EQ(program->find('\\'), std::string::npos) << "cut at slashes like every other path";
  char* argv[] = {const_cast<char*>("x")};
  auto arguments = ProgramArguments(1, argv);
  ASSERT_FALSE(arguments.empty());
  EXPECT_NE(arguments[0].find("windows_unit_tests"), std::string::npos);
}

}  // namespace
}  // namespace zel
