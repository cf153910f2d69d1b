// kq_winspy: reads the state of another process's top-level window for the
// end-to-end tests, printing JSON on stdout. Wine draws a window's child
// controls into one X window, so X tools see none of them; from inside the
// Wine session the controls are ordinary windows again.
//
//   kq_winspy state TITLE             window, children, list box rows, hint
//   kq_winspy watch TITLE MS          one JSON line per change of hint
//                                     visibility, selection or row count
//   kq_winspy hittest TITLE X Y       WM_NCHITTEST at a screen point
//   kq_winspy closebox TITLE          a screen point that hit-tests HTCLOSE
//   kq_winspy clipboard               CF_UNICODETEXT and its block size in bytes
//   kq_winspy ping TITLE MS           WM_NULL once a second for MS ms or until the
//                                     window goes: one JSON line per sample with
//                                     the time it took to be answered
//   kq_winspy post TITLE MSG WP LP    PostMessageW with those numbers
//
// Exit code 0 on success, 2 when no window has that exact title, 3 on bad use.
// Cross-process LB_GETTEXT works because the system marshals the list-box
// messages that carry buffers; SendMessageTimeoutW keeps a hung target from
// hanging the spy.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "base/json_text.h"
#include "base/utf8.h"

namespace {

const UINT kTimeoutMs = 2000;

// JSON string literal in UTF-8. A character beyond the Basic Multilingual
// Plane stays one character: its surrogate pair is encoded together.
std::string quote(const std::wstring& text) { return kq::encodeUtf8(kq::jsonString(text)); }

std::string rect(const RECT& r) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "[%ld,%ld,%ld,%ld]", r.left, r.top, r.right, r.bottom);
  return buf;
}

void emit(const std::string& text) {
  // WriteFile rather than stdio: the harness reads a pipe line by line while
  // `watch` runs, and the C runtime would buffer it.
  DWORD written = 0;
  std::string line = text + "\n";
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()),
            &written, nullptr);
}

bool send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  DWORD_PTR value = 0;
  if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kTimeoutMs,
                           &value)) {
    return false;
  }
  *result = static_cast<LRESULT>(value);
  return true;
}

std::wstring windowText(HWND window) {
  wchar_t buf[512] = {};
  GetWindowTextW(window, buf, 512);
  return buf;
}

std::wstring className(HWND window) {
  wchar_t buf[256] = {};
  GetClassNameW(window, buf, 256);
  return buf;
}

RECT screenClientRect(HWND window) {
  RECT client = {};
  GetClientRect(window, &client);
  POINT origin = {0, 0};
  ClientToScreen(window, &origin);
  OffsetRect(&client, origin.x, origin.y);
  return client;
}

BOOL CALLBACK collectChild(HWND child, LPARAM param) {
  reinterpret_cast<std::vector<HWND>*>(param)->push_back(child);
  return TRUE;
}

std::vector<HWND> children(HWND parent) {
  std::vector<HWND> found;
  EnumChildWindows(parent, collectChild, reinterpret_cast<LPARAM>(&found));
  return found;
}

HWND findChild(HWND parent, const wchar_t* cls) {
  for (HWND child : children(parent)) {
    if (_wcsicmp(className(child).c_str(), cls) == 0) return child;
  }
  return nullptr;
}

struct ListState {
  bool ok = false;
  std::vector<std::wstring> rows;
  LRESULT cursel = -1;
  LRESULT top = 0;
  LRESULT itemHeight = 0;
};

ListState readList(HWND list) {
  ListState state;
  LRESULT count = 0;
  if (!list || !send(list, LB_GETCOUNT, 0, 0, &count) || count < 0) return state;
  for (LRESULT i = 0; i < count; ++i) {
    LRESULT length = 0;
    if (!send(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0, &length) || length < 0) return state;
    std::wstring row(static_cast<size_t>(length) + 1, L'\0');
    LRESULT copied = 0;
    if (!send(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(row.data()),
              &copied) ||
        copied < 0) {
      return state;  // the list changed under us (a refresh); the caller retries
    }
    row.resize(static_cast<size_t>(copied));
    state.rows.push_back(row);
  }
  send(list, LB_GETCURSEL, 0, 0, &state.cursel);
  send(list, LB_GETTOPINDEX, 0, 0, &state.top);
  send(list, LB_GETITEMHEIGHT, 0, 0, &state.itemHeight);
  state.ok = true;
  return state;
}

// The hint label is the one static control of the main window.
HWND hintLabel(HWND main) { return findChild(main, L"Static"); }

int commandState(HWND main) {
  DWORD pid = 0;
  GetWindowThreadProcessId(main, &pid);
  RECT window = {};
  GetWindowRect(main, &window);
  std::string out = "{";
  char head[160];
  std::snprintf(head, sizeof head, "\"hwnd\":%lu,\"pid\":%lu,\"style\":%lu,\"exstyle\":%lu,",
                static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(main)),
                static_cast<unsigned long>(pid),
                static_cast<unsigned long>(GetWindowLongW(main, GWL_STYLE)),
                static_cast<unsigned long>(GetWindowLongW(main, GWL_EXSTYLE)));
  out += head;
  out += "\"class\":" + quote(className(main)) + ",\"title\":" + quote(windowText(main));
  char metrics[160];
  std::snprintf(metrics, sizeof metrics,
                ",\"metrics\":{\"paddedBorder\":%d,\"frameY\":%d,\"captionY\":%d}",
                GetSystemMetrics(SM_CXPADDEDBORDER), GetSystemMetrics(SM_CYFRAME),
                GetSystemMetrics(SM_CYCAPTION));
  out += metrics;
  out += ",\"window\":" + rect(window) + ",\"client\":" + rect(screenClientRect(main));
  out += ",\"children\":[";
  bool first = true;
  for (HWND child : children(main)) {
    RECT r = {};
    GetWindowRect(child, &r);
    char fields[160];
    std::snprintf(fields, sizeof fields, "\"id\":%d,\"style\":%lu,\"visible\":%s,",
                  GetDlgCtrlID(child), static_cast<unsigned long>(GetWindowLongW(child, GWL_STYLE)),
                  IsWindowVisible(child) ? "true" : "false");
    out += first ? "{" : ",{";
    first = false;
    out += fields;
    out += "\"class\":" + quote(className(child)) + ",\"text\":" + quote(windowText(child)) +
           ",\"rect\":" + rect(r) + ",\"client\":" + rect(screenClientRect(child)) + "}";
  }
  out += "]";
  HWND list = findChild(main, L"ListBox");
  ListState state;
  for (int attempt = 0; attempt < 5 && list && !state.ok; ++attempt) state = readList(list);
  if (state.ok) {
    char fields[160];
    std::snprintf(fields, sizeof fields, "\"cursel\":%ld,\"top\":%ld,\"itemHeight\":%ld,",
                  static_cast<long>(state.cursel), static_cast<long>(state.top),
                  static_cast<long>(state.itemHeight));
    out += ",\"list\":{";
    out += fields;
    out += "\"client\":" + rect(screenClientRect(list)) + ",\"rows\":[";
    for (size_t i = 0; i < state.rows.size(); ++i) {
      out += (i ? "," : "") + quote(state.rows[i]);
    }
    out += "]}";
  } else {
    out += ",\"list\":null";
  }
  HWND hint = hintLabel(main);
  out += std::string(",\"hintVisible\":") + (hint && IsWindowVisible(hint) ? "true" : "false");
  out += "}";
  emit(out);
  return 0;
}

int commandWatch(HWND main, DWORD durationMs) {
  HWND list = findChild(main, L"ListBox");
  HWND hint = hintLabel(main);
  DWORD start = GetTickCount();
  int lastVisible = -1;
  LRESULT lastSel = -2, lastCount = -2;
  // A change reported at t (after the sample's reads) happened after `since`,
  // when the sample before began its reads.
  DWORD lastSample = 0;
  emit("{\"event\":\"start\",\"t\":0}");
  while (GetTickCount() - start < durationMs && IsWindow(main)) {
    DWORD sampled = GetTickCount() - start;
    int visible = hint && IsWindowVisible(hint) ? 1 : 0;
    LRESULT sel = -1, count = -1;
    if (list) {
      send(list, LB_GETCURSEL, 0, 0, &sel);
      send(list, LB_GETCOUNT, 0, 0, &count);
    }
    if (visible != lastVisible || sel != lastSel || count != lastCount) {
      char line[192];
      std::snprintf(line, sizeof line,
                    "{\"event\":\"change\",\"t\":%lu,\"since\":%lu,\"hintVisible\":%s,"
                    "\"cursel\":%ld,\"count\":%ld}",
                    static_cast<unsigned long>(GetTickCount() - start),
                    static_cast<unsigned long>(lastSample),
                    visible ? "true" : "false", static_cast<long>(sel), static_cast<long>(count));
      emit(line);
      lastVisible = visible;
      lastSel = sel;
      lastCount = count;
    }
    lastSample = sampled;
    Sleep(10);
  }
  char line[64];
  std::snprintf(line, sizeof line, "{\"event\":\"end\",\"t\":%lu}",
                static_cast<unsigned long>(GetTickCount() - start));
  emit(line);
  return 0;
}

int commandHitTest(HWND main, int x, int y) {
  LRESULT hit = 0;
  if (!send(main, WM_NCHITTEST, 0, MAKELPARAM(x, y), &hit)) return 1;
  char line[64];
  std::snprintf(line, sizeof line, "{\"hit\":%ld}", static_cast<long>(hit));
  emit(line);
  return 0;
}

// Scans the caption band from the right for the close box; with the window
// drawn by Wine itself its position depends on the theme's metrics.
int commandCloseBox(HWND main) {
  RECT window = {};
  GetWindowRect(main, &window);
  for (int y = window.top + 1; y < window.top + 40; y += 2) {
    for (int x = window.right - 2; x > window.right - 80; --x) {
      LRESULT hit = 0;
      if (send(main, WM_NCHITTEST, 0, MAKELPARAM(x, y), &hit) && hit == HTCLOSE) {
        // Aim at the middle of the box: walk on to its far edge.
        int left = x;
        while (left > window.left && send(main, WM_NCHITTEST, 0, MAKELPARAM(left - 1, y), &hit) &&
               hit == HTCLOSE) {
          --left;
        }
        char line[64];
        std::snprintf(line, sizeof line, "{\"x\":%d,\"y\":%d}", (left + x) / 2, y + 3);
        emit(line);
        return 0;
      }
    }
  }
  return 1;
}

// Whether the window's thread answers: sends WM_NULL every 1000 ms (from the
// start of one sample to the next) and prints when it was sent and how long
// the answer took, or null when none came within 1000 ms. A thread that
// pumps no messages answers no sent message at all.
int commandPing(HWND window, DWORD durationMs) {
  LARGE_INTEGER frequency, origin;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&origin);
  const auto elapsedMs = [&] {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - origin.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
  };
  emit("{\"event\":\"start\",\"t\":0}");
  for (int sample = 0;; ++sample) {
    const double due = sample * 1000.0;
    const double now = elapsedMs();
    if (now < due) Sleep(static_cast<DWORD>(due - now));
    const double sent = elapsedMs();
    if (sent >= durationMs || !IsWindow(window)) break;
    DWORD_PTR result = 0;
    const bool answered =
        SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result) != 0;
    const double took = elapsedMs() - sent;
    char line[128];
    if (answered) {
      std::snprintf(line, sizeof line, "{\"event\":\"sample\",\"t\":%.1f,\"ms\":%.2f}", sent, took);
    } else {
      std::snprintf(line, sizeof line, "{\"event\":\"sample\",\"t\":%.1f,\"ms\":null,\"waited\":%.1f}",
                    sent, took);
    }
    emit(line);
  }
  char line[64];
  std::snprintf(line, sizeof line, "{\"event\":\"end\",\"t\":%.1f}", elapsedMs());
  emit(line);
  return 0;
}

// What another program would paste: the text up to its NUL, and the size of
// the global block, which tells whether the block was sized to the text.
int commandClipboard() {
  if (!OpenClipboard(nullptr)) return 1;
  HANDLE data = GetClipboardData(CF_UNICODETEXT);
  std::string out = "{\"text\":null,\"bytes\":0}";
  if (data) {
    SIZE_T bytes = GlobalSize(data);
    const wchar_t* text = static_cast<const wchar_t*>(GlobalLock(data));
    if (text) {
      size_t length = 0;
      while (length * 2 + 2 <= bytes && text[length]) ++length;
      char size[64];
      std::snprintf(size, sizeof size, ",\"bytes\":%lu}", static_cast<unsigned long>(bytes));
      out = "{\"text\":" + quote(std::wstring(text, length)) + size;
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  emit(out);
  return 0;
}

// Copied under another name (a "certmgr.com" or "timeout.com" planted where a
// command shell might take it for a tool), the spy is a witness: it notes in
// C:\planted-ran.log that it was run, and as what, and does nothing else.
bool RunAsWitness() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring name(path, n < MAX_PATH ? n : 0);
  name = name.substr(name.find_last_of(L'\\') + 1);
  if (_wcsicmp(name.c_str(), L"kq_winspy.exe") == 0) return false;
  if (FILE* log = _wfopen(L"C:\\planted-ran.log", L"a")) {
    std::fwprintf(log, L"%ls\n", name.c_str());
    std::fclose(log);
  }
  return true;
}

// The window titled title once it is shown, looked for every 10 ms for at
// most waitMs; nullptr when it is not shown by then.
HWND waitShown(const wchar_t* title, DWORD waitMs) {
  const DWORD start = GetTickCount();
  do {
    HWND main = FindWindowW(nullptr, title);
    if (main && IsWindowVisible(main)) return main;
    Sleep(10);
  } while (GetTickCount() - start < waitMs);
  return nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (RunAsWitness()) return 0;
  if (argc >= 2 && std::wstring(argv[1]) == L"clipboard") return commandClipboard();
  if (argc < 3) return 3;
  std::wstring command = argv[1];
  // watch TITLE MS WAIT starts before the program: it says it waits, waits up
  // to WAIT ms for the window to be shown and watches from that moment on.
  if (command == L"watch" && argc >= 5) {
    emit("{\"event\":\"waiting\"}");
    HWND shown = waitShown(argv[2], wcstoul(argv[4], nullptr, 10));
    return shown ? commandWatch(shown, wcstoul(argv[3], nullptr, 10)) : 2;
  }
  HWND main = FindWindowW(nullptr, argv[2]);
  if (!main) return 2;
  if (command == L"state") return commandState(main);
  if (command == L"watch" && argc >= 4) return commandWatch(main, wcstoul(argv[3], nullptr, 10));
  if (command == L"hittest" && argc >= 5) {
    return commandHitTest(main, _wtoi(argv[3]), _wtoi(argv[4]));
  }
  if (command == L"closebox") return commandCloseBox(main);
  if (command == L"ping" && argc >= 4) return commandPing(main, wcstoul(argv[3], nullptr, 10));
  if (command == L"post" && argc >= 6) {
    return PostMessageW(main, wcstoul(argv[3], nullptr, 0), wcstoul(argv[4], nullptr, 0),
                        static_cast<LPARAM>(wcstol(argv[5], nullptr, 0)))
               ? 0
               : 1;
  }
  return 3;
}
