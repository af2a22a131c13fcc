// The message table in zel.exe, read the way the event viewer reads it: FormatMessageW on the
// program's module with the event's insertion strings shows the first string as the whole text,
// ended by CR LF, for each of the three event identifiers, in English (United States).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

TEST(EventMessages, EachIdentifierShowsItsFirstInsertionString) {
  // The Linux path of the build tree, seen through Wine's drive Z:.
  const std::string program = std::string("Z:") + ZEL_BINARY_DIR + "/service/zel.exe";
  HMODULE module = LoadLibraryExA(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr) << program << " error " << GetLastError();
  for (DWORD id : {DWORD(0x40020BB8), DWORD(0x800207D0), DWORD(0xC00203E8)}) {
    DWORD_PTR strings[] = {DWORD_PTR(L"Velmor Carvoss v. 2.1.0444 started"), DWORD_PTR(L"second")};
    wchar_t text[256] = {};
    DWORD n =
        FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id,
                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, 256, reinterpret_cast<va_list*>(strings));
    EXPECT_EQ(std::wstring(text, n), L"Velmor Carvoss v. 2.1.0444 started\r\n") << std::hex << id;
  }
  FreeLibrary(module);
}

}  // namespace
