// wintext: what a running program's windows show, for end-to-end runs that judge the program
// by its windows as a person would.
//   wintext [--repaint] [IMAGE]   IMAGE: the program's file name (default pATU.exe), any case
// Prints, in UTF-8, one record per line, for every top-level window of every process of that
// image and then for each of its descendant controls:
//   window <hwnd> class=<class> visible=0|1 enabled=0|1 rect=<x>,<y>,<w>,<h> title=<text>
//   control <hwnd> parent=<hwnd> class=<class> visible=0|1 enabled=0|1 focus=0|1
//       rect=<x>,<y>,<w>,<h> [pos=<n> max=<n>] text=<first line>
//   + <line>               each further line of a multi-line text
// (a control record is one line). A window's rect is its client area on the screen; a
// control's rect is relative to its top-level window's client area. pos and max belong to
// progress bars. Texts are read with WM_GETTEXT, which the program answers whenever it
// handles its messages; a program busy for longer than a few seconds reads "?busy".
// --repaint first asks for every window of the program to be painted afresh, whole, so that
// what the screen then shows can be set against what it showed before.
// Exit status 0, also when no window was found (nothing printed); 2 on a usage error.
//   wintext --foreground TITLE
// plays another program that the user works in: shows a window titled TITLE, takes the
// foreground, prints "foreground" once it has it (or "background"), and runs until the
// window is closed.
//   wintext --activate TITLE
// does what a click on a program's taskbar button does: brings the shown top-level window
// titled TITLE to the foreground; then, once the foreground has settled, prints
// "foreground <hwnd> title=<text>" of the window that has it and "focus <hwnd> text=<text>"
// of that window's focused control ("none" when there is none). Exit status 1 when no such
// window is shown.
//   wintext --xonxoff N
// plays a terminal program that leaves XON/XOFF flow control on COM N, as such programs do by
// default: opens the port, turns XON/XOFF on in both directions and closes it. Prints
// "xonxoff COM<N> on" once the driver reports it held; exit status 1 when the port cannot be
// opened or set.
//   wintext --ask TITLE MS
// plays what keeps asking a window whether it answers (Windows itself, other programs): for
// MS milliseconds, every 50 ms, sends the shown top-level window titled TITLE a message
// (SendMessageTimeout, waiting up to 10 s for the answer), then prints "asked <n> times,
// longest wait <ms> ms", and for each wait over 250 ms "late <start> ms: <ms> ms", the start
// counted from the first ask. Exit status 1 when no such window is shown.

#include <windows.h>
// after windows.h, which it needs
#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr UINT kReplyLimitMs = 4000;

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                      nullptr, nullptr);
  return out;
}

void emit(const std::string& line) {
  const std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
}

std::string handle_text(HWND hwnd) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(hwnd)));
  return text;
}

std::string class_of(HWND hwnd) {
  wchar_t name[256] = {};
  GetClassNameW(hwnd, name, 256);
  return utf8(name);
}

// Asks the window itself, so that edit controls answer as well as labels and buttons.
bool ask(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, DWORD_PTR& result) {
  return SendMessageTimeoutW(hwnd, msg, wp, lp, SMTO_ABORTIFHUNG, kReplyLimitMs, &result) != 0;
}

std::wstring text_of(HWND hwnd, bool& answered) {
  DWORD_PTR length = 0;
  answered = ask(hwnd, WM_GETTEXTLENGTH, 0, 0, length);
  if (!answered) return L"?busy";
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  answered = ask(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), copied);
  if (!answered) return L"?busy";
  text.resize(copied);
  return text;
}

std::vector<std::string> lines_of(const std::wstring& text) {
  std::vector<std::string> lines;
  std::wstring line;
  for (wchar_t c : text) {
    if (c == L'\r') continue;
    if (c == L'\n') {
      lines.push_back(utf8(line));
      line.clear();
    } else {
      line += c;
    }
  }
  lines.push_back(utf8(line));
  return lines;
}

std::string rect_text(const RECT& r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + "," +
         std::to_string(r.right - r.left) + "," + std::to_string(r.bottom - r.top);
}

std::string flags(HWND hwnd) {
  // Built from a std::string: "literal" + std::to_string(...) trips GCC 12's -Wrestrict at
  // -O3 on i686, a false alarm.
  std::string text = " visible=";
  text += IsWindowVisible(hwnd) ? '1' : '0';
  text += " enabled=";
  text += IsWindowEnabled(hwnd) ? '1' : '0';
  return text;
}

struct Walk {
  HWND top;
  HWND focus;
};

BOOL CALLBACK print_control(HWND hwnd, LPARAM param) {
  const Walk& walk = *reinterpret_cast<const Walk*>(param);
  RECT r{};
  GetWindowRect(hwnd, &r);
  MapWindowPoints(HWND_DESKTOP, walk.top, reinterpret_cast<POINT*>(&r), 2);
  std::string record = "control " + handle_text(hwnd) + " parent=" + handle_text(GetParent(hwnd)) +
                       " class=" + class_of(hwnd) + flags(hwnd) +
                       " focus=" + (hwnd == walk.focus ? "1" : "0") + " rect=" + rect_text(r);
  if (class_of(hwnd) == "msctls_progress32") {
    DWORD_PTR pos = 0, max = 0;
    if (ask(hwnd, PBM_GETPOS, 0, 0, pos) && ask(hwnd, PBM_GETRANGE, FALSE, 0, max)) {
      record += " pos=" + std::to_string(pos) + " max=" + std::to_string(max);
    }
  }
  bool answered = false;
  const std::vector<std::string> lines = lines_of(text_of(hwnd, answered));
  emit(record + " text=" + lines.front());
  for (std::size_t i = 1; i < lines.size(); ++i) emit("+ " + lines[i]);
  return TRUE;
}

struct Search {
  std::wstring image;
  std::vector<HWND> windows;
};

bool same_image(DWORD pid, const std::wstring& image) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return false;
  wchar_t path[MAX_PATH] = {};
  DWORD size = MAX_PATH;
  const bool named = QueryFullProcessImageNameW(process, 0, path, &size) != 0;
  CloseHandle(process);
  if (!named) return false;
  const wchar_t* base = path;
  for (const wchar_t* p = path; *p; ++p) {
    if (*p == L'\\' || *p == L'/') base = p + 1;
  }
  return lstrcmpiW(base, image.c_str()) == 0;
}

BOOL CALLBACK collect(HWND hwnd, LPARAM param) {
  auto& search = *reinterpret_cast<Search*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (same_image(pid, search.image)) search.windows.push_back(hwnd);
  return TRUE;
}

LRESULT CALLBACK other_program(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcW(hwnd, msg, wp, lp);
}

int hold_foreground(const wchar_t* title) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = other_program;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = L"wintext.OtherProgram";
  RegisterClassW(&wc);
  // At the lower left, clear of pATU's windows in the middle of the screen.
  HWND window = CreateWindowExW(0, wc.lpszClassName, title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 8,
                                560, 300, 180, nullptr, nullptr, wc.hInstance, nullptr);
  SetForegroundWindow(window);
  emit(GetForegroundWindow() == window ? "foreground" : "background");
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}

// The shown top-level window titled `title`, topmost first; null when none is.
HWND find_shown(const wchar_t* title) {
  for (HWND w = GetTopWindow(nullptr); w; w = GetWindow(w, GW_HWNDNEXT)) {
    bool answered = false;
    if (IsWindowVisible(w) && text_of(w, answered) == title) return w;
  }
  return nullptr;
}

int activate(const wchar_t* title) {
  HWND target = find_shown(title);
  if (!target) {
    emit("none");
    return 1;
  }
  SetForegroundWindow(target);
  // The program hands the activation on in messages of its own: let them run.
  Sleep(1000);
  HWND foreground = GetForegroundWindow();
  bool answered = false;
  emit("foreground " + handle_text(foreground) + " title=" + utf8(text_of(foreground, answered)));
  GUITHREADINFO gui{};
  gui.cbSize = sizeof gui;
  GetGUIThreadInfo(GetWindowThreadProcessId(foreground, nullptr), &gui);
  emit(gui.hwndFocus ? "focus " + handle_text(gui.hwndFocus) +
                           " text=" + utf8(text_of(gui.hwndFocus, answered))
                     : std::string("focus none"));
  return 0;
}

int leave_xonxoff(const wchar_t* number) {
  const std::wstring name = std::wstring(L"COM") + number;
  const HANDLE port = CreateFileW((L"\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    emit("xonxoff " + utf8(name) + " not opened");
    return 1;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  DCB held{};
  held.DCBlength = sizeof held;
  bool on = false;
  if (GetCommState(port, &dcb)) {
    dcb.fOutX = TRUE;
    dcb.fInX = TRUE;
    on = SetCommState(port, &dcb) && GetCommState(port, &held) && held.fOutX && held.fInX;
  }
  CloseHandle(port);
  emit("xonxoff " + utf8(name) + (on ? " on" : " refused"));
  return on ? 0 : 1;
}

int ask(const wchar_t* title, const wchar_t* span) {
  constexpr UINT kAnswerLimitMs = 10000;
  constexpr double kLateMs = 250;
  HWND target = find_shown(title);
  if (!target) {
    emit("none");
    return 1;
  }
  using Steady = std::chrono::steady_clock;
  const auto ms_since = [](Steady::time_point t) {
    return std::chrono::duration<double, std::milli>(Steady::now() - t).count();
  };
  const double span_ms = _wtof(span);
  const auto start = Steady::now();
  int asked = 0;
  double longest = 0;
  std::vector<std::string> late;
  while (ms_since(start) < span_ms) {
    const double at = ms_since(start);
    const auto sent = Steady::now();
    DWORD_PTR result = 0;
    SendMessageTimeoutW(target, WM_NULL, 0, 0, SMTO_NORMAL, kAnswerLimitMs, &result);
    const double waited = ms_since(sent);
    ++asked;
    longest = std::max(longest, waited);
    if (waited > kLateMs) {
      late.push_back("late " + std::to_string(static_cast<long>(at)) +
                     " ms: " + std::to_string(static_cast<long>(waited)) + " ms");
    }
    Sleep(50);
  }
  emit("asked " + std::to_string(asked) + " times, longest wait " +
       std::to_string(static_cast<long>(longest + 0.5)) + " ms");
  for (const std::string& line : late) emit(line);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring_view(argv[1]) == L"--foreground") return hold_foreground(argv[2]);
  if (argc == 3 && std::wstring_view(argv[1]) == L"--activate") return activate(argv[2]);
  if (argc == 3 && std::wstring_view(argv[1]) == L"--xonxoff") return leave_xonxoff(argv[2]);
  if (argc == 4 && std::wstring_view(argv[1]) == L"--ask") return ask(argv[2], argv[3]);
  int next = 1;
  const bool repaint = argc > 1 && std::wstring_view(argv[1]) == L"--repaint";
  if (repaint) ++next;
  if (argc - next > 1) {
    emit(
        "usage: wintext [--repaint] [IMAGE] | wintext --foreground TITLE | wintext --activate "
        "TITLE | wintext --xonxoff N | wintext --ask TITLE MS");
    return 2;
  }
  Search search{next < argc ? argv[next] : L"pATU.exe", {}};
  EnumWindows(collect, reinterpret_cast<LPARAM>(&search));
  for (HWND top : search.windows) {
    if (repaint) {
      RedrawWindow(top, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
    }
    RECT client{};
    GetClientRect(top, &client);
    MapWindowPoints(top, HWND_DESKTOP, reinterpret_cast<POINT*>(&client), 2);
    bool answered = false;
    const std::vector<std::string> title = lines_of(text_of(top, answered));
    emit("window " + handle_text(top) + " class=" + class_of(top) + flags(top) +
         " rect=" + rect_text(client) + " title=" + title.front());
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    GetGUIThreadInfo(GetWindowThreadProcessId(top, nullptr), &gui);
    Walk walk{top, gui.hwndFocus};
    EnumChildWindows(top, print_control, reinterpret_cast<LPARAM>(&walk));
  }
  return 0;
}
