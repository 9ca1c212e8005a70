// console_parent PROGRAM [ARGS...]: starts PROGRAM as cmd.exe starts a
// program with windows: sharing this process's console, with no standard
// handles of its own.  Exits with the program's exit status (120 when it
// cannot be started, 121 when it does not end within 60 s).
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
  std::wstring command;
  for (int i = 1; i < argc; ++i) command += L"\"" + std::wstring(argv[i]) + L"\" ";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;  // all three null
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    std::fprintf(stderr, "console_parent: cannot start the program (error %lu)\n", GetLastError());
    return 120;
  }
  DWORD status = 121;
  if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}
