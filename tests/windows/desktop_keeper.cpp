// desktop_keeper [SECONDS]: keeps Wine's desktop open while the Windows
// tests run.  Wine closes the desktop (explorer.exe /desktop ends) about a
// second after the last program that used it has ended, and the next
// program with a window starts a new one; a test whose program came while
// the old one was closing was seen to take 10 or 20 s instead of a fraction
// of one.  This program holds a message-only window, which shows nothing
// and never takes the focus, until it is killed (scripts/wine-env.sh stops
// it with the server) or SECONDS (default 3600) have passed.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  const unsigned long seconds = argc > 1 ? std::wcstoul(argv[1], nullptr, 10) : 3600;
  HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  if (!window) return 1;
  SetTimer(window, 1, seconds * 1000, nullptr);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0 && message.message != WM_TIMER) DispatchMessageW(&message);
  DestroyWindow(window);
  return 0;
}
