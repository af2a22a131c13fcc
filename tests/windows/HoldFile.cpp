// Another program that holds a file open with no sharing, for the service test:
//   hold_file PATH [SOURCE]
// Opens PATH with share mode 0 (with SOURCE, creates it and writes SOURCE's bytes into it while it
// holds it, so nobody ever sees it free before it is let go), creates PATH.held once it holds it,
// and lets go (and ends) when PATH.release appears. Exits 1 when the file cannot be opened.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const std::wstring path = argv[1];
  const bool create = argc > 2;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, create ? CREATE_NEW : OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  if (create) {
    HANDLE source = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (source == INVALID_HANDLE_VALUE) return 1;
    char block[65536];
    DWORD got = 0, put = 0;
    while (ReadFile(source, block, sizeof block, &got, nullptr) && got > 0)
      if (!WriteFile(file, block, got, &put, nullptr) || put != got) return 1;
    CloseHandle(source);
  }
  HANDLE held = CreateFileW((path + L".held").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  CloseHandle(held);
  while (GetFileAttributesW((path + L".release").c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(100);
  CloseHandle(file);
  return 0;
}
