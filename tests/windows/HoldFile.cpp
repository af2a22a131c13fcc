// Another program that holds a file open with no sharing, for the service test:
//   hold_file PATH
// Opens PATH with share mode 0, creates PATH.held once it holds it, and lets go (and ends) when
// PATH.release appears. Exits 1 when the file cannot be opened.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const std::wstring path = argv[1];
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  HANDLE held = CreateFileW((path + L".held").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  CloseHandle(held);
  while (GetFileAttributesW((path + L".release").c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(100);
  CloseHandle(file);
  return 0;
}
