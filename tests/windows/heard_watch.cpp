// heard_watch.exe LOG PROGRAM [ARGS...]: starts PROGRAM and listens to it as
// a Windows screen reader does, from another process: a WinEvent hook for
// the focus, name-change and value-change events it raises, each object
// asked through oleacc for its name and states.  Each time the keyboard
// enters another window, every control of that window is listed as oleacc
// gives it (name, unavailable, focused, keyboard shortcut), in z-order.
// Writes one line per event to LOG (UTF-8) and exits with PROGRAM's exit
// status once it has ended.
#include <windows.h>
#include <oleacc.h>

#include <cstdio>
#include <deque>
#include <string>

namespace {

FILE* g_log = nullptr;
DWORD g_process = 0;
HWND g_lastTop = nullptr;

std::string Utf8(const wchar_t* text, int length = -1) {
  if (text == nullptr) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  if (length == -1 && !out.empty()) out.pop_back();  // the terminating zero
  return out;
}

std::string Bstr(BSTR text) {
  std::string out = text == nullptr ? std::string() : Utf8(text, static_cast<int>(SysStringLen(text)));
  SysFreeString(text);
  return out;
}

std::string WindowText(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return Utf8(text);
}

std::string ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return Utf8(name);
}

// What oleacc says of one object: "name" [states] key=shortcut.
std::string Describe(IAccessible* object, VARIANT child) {
  BSTR name = nullptr;
  object->get_accName(child, &name);
  std::string line = "\"" + Bstr(name) + "\"";
  VARIANT state;
  VariantInit(&state);
  if (SUCCEEDED(object->get_accState(child, &state)) && state.vt == VT_I4) {
    if (state.lVal & STATE_SYSTEM_UNAVAILABLE) line += " unavailable";
    if (state.lVal & STATE_SYSTEM_FOCUSED) line += " focused";
    if (state.lVal & STATE_SYSTEM_DEFAULT) line += " default";
  }
  BSTR key = nullptr;
  if (SUCCEEDED(object->get_accKeyboardShortcut(child, &key)) && key != nullptr) {
    const std::string shortcut = Bstr(key);
    if (!shortcut.empty()) line += " key=" + shortcut;
  }
  return line;
}

std::string DescribeWindow(HWND window) {
  IAccessible* object = nullptr;
  VARIANT self;
  VariantInit(&self);
  if (FAILED(AccessibleObjectFromEvent(window, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, &object, &self)) ||
      object == nullptr) {
    return "(no object)";
  }
  std::string line = Describe(object, self);
  object->Release();
  return line;
}

// Every control of a window the keyboard has just entered, as a screen
// reader finds them.
void ListControls(HWND top) {
  std::fprintf(g_log, "window \"%s\"\n", WindowText(top).c_str());
  for (HWND child = GetWindow(top, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    // Its own style: a box takes the keyboard before it is shown.
    if ((GetWindowLongW(child, GWL_STYLE) & WS_VISIBLE) == 0) continue;
    std::fprintf(g_log, "  %s %s\n", ClassOf(child).c_str(), DescribeWindow(child).c_str());
  }
}

struct Event {
  DWORD event;
  HWND window;
  LONG objectId;
  LONG childId;
};

void Report(const Event& e) {
  const HWND top = GetAncestor(e.window, GA_ROOT);
  if (e.event == EVENT_OBJECT_VALUECHANGE) {
    // Many and quick: the position alone, as the bar has it now.
    if (!IsWindow(e.window)) {
      std::fprintf(g_log, "value of a window that is gone\n");
    } else if (ClassOf(e.window) == "msctls_progress32") {
      const int position = static_cast<int>(SendMessageW(e.window, 0x0408 /* PBM_GETPOS */, 0, 0));
      std::fprintf(g_log, "value %d%% msctls_progress32 in \"%s\"\n", position, WindowText(top).c_str());
    } else {
      std::fprintf(g_log, "value %s in \"%s\"\n", ClassOf(e.window).c_str(), WindowText(top).c_str());
    }
    std::fflush(g_log);
    return;
  }
  if (e.event == EVENT_OBJECT_FOCUS && top != g_lastTop) {
    g_lastTop = top;
    ListControls(top);
  }
  IAccessible* object = nullptr;
  VARIANT child;
  VariantInit(&child);
  std::string described = "(no object)";
  if (SUCCEEDED(AccessibleObjectFromEvent(e.window, static_cast<DWORD>(e.objectId), static_cast<DWORD>(e.childId),
                                          &object, &child)) &&
      object != nullptr) {
    described = Describe(object, child);
    object->Release();
  }
  const char* kind = e.event == EVENT_OBJECT_FOCUS ? "focus" : "name";
  std::string where = e.window == top ? "the window" : ClassOf(e.window);
  if (!IsWindow(e.window)) where = "a window that is gone";
  std::fprintf(g_log, "%s %s %s in \"%s\"\n", kind, described.c_str(), where.c_str(), WindowText(top).c_str());
  std::fflush(g_log);
}

// Asking oleacc sends messages to the program, and events that arrive
// meanwhile come into the hook again: they wait their turn, in order.
std::deque<Event> g_events;
bool g_reporting = false;

void CALLBACK OnEvent(HWINEVENTHOOK, DWORD event, HWND window, LONG objectId, LONG childId, DWORD, DWORD) {
  if (window == nullptr || objectId != OBJID_CLIENT || event == EVENT_OBJECT_DESCRIPTIONCHANGE) return;
  g_events.push_back(Event{event, window, objectId, childId});
  if (g_reporting) return;
  g_reporting = true;
  while (!g_events.empty()) {
    const Event next = g_events.front();
    g_events.pop_front();
    Report(next);
  }
  g_reporting = false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fputs("usage: heard_watch LOG PROGRAM [ARGS...]\n", stderr);
    return 2;
  }
  g_log = _wfopen(argv[1], L"w");
  if (g_log == nullptr) return 2;
  CoInitialize(nullptr);
  std::wstring command;
  for (int i = 2; i < argc; ++i) command += (i > 2 ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                      &started)) {
    std::fprintf(stderr, "heard_watch: cannot start the program (%lu)\n", GetLastError());
    return 2;
  }
  g_process = started.dwProcessId;
  // Hooked before the program runs: nothing it raises is missed.
  const HWINEVENTHOOK focus = SetWinEventHook(EVENT_OBJECT_FOCUS, EVENT_OBJECT_FOCUS, nullptr, OnEvent, g_process, 0,
                                              WINEVENT_OUTOFCONTEXT);
  const HWINEVENTHOOK changes = SetWinEventHook(EVENT_OBJECT_NAMECHANGE, EVENT_OBJECT_VALUECHANGE, nullptr, OnEvent,
                                                g_process, 0, WINEVENT_OUTOFCONTEXT);
  ResumeThread(started.hThread);
  CloseHandle(started.hThread);
  for (;;) {
    const DWORD woken = MsgWaitForMultipleObjects(1, &started.hProcess, FALSE, INFINITE, QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    if (woken == WAIT_OBJECT_0) break;
  }
  DWORD status = 1;
  GetExitCodeProcess(started.hProcess, &status);
  UnhookWinEvent(focus);
  UnhookWinEvent(changes);
  std::fprintf(g_log, "exit %lu\n", status);
  std::fclose(g_log);
  return static_cast<int>(status);
}
