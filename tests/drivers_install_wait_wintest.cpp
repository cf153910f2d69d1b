#include <gtest/gtest.h>

#include <windows.h>

#include "base/win_handles.h"
#include "drivers/install_wait.h"

namespace kq::test {

namespace {

constexpr UINT kPosted = WM_APP;
constexpr UINT kSent = WM_APP + 1;

struct Counts {
  int posted = 0;
  int sent = 0;
};

LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* counts = reinterpret_cast<Counts*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (counts && message == kPosted) {
    ++counts->posted;
    return 0;
  }
  if (counts && message == kSent) {
    ++counts->sent;
    return 42;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// A message-only window of this thread that counts what reaches it.
struct CountingWindow {
  Counts counts;
  HWND window;
  CountingWindow() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = CountingProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"KqPumpingWaitTest";
    RegisterClassW(&windowClass);
    window = CreateWindowW(windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           windowClass.hInstance, nullptr);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&counts));
  }
  ~CountingWindow() { DestroyWindow(window); }
  CountingWindow(const CountingWindow&) = delete;
  CountingWindow& operator=(const CountingWindow&) = delete;
};

// What another thread (for the dialog: another process) does while the
// flow waits: posts, then sends and times the answer, then maybe signals.
struct Caller {
  HWND window;
  HANDLE signalAfter = nullptr;
  bool answered = false;
  DWORD answerMs = 0;
};

DWORD WINAPI CallDuringTheWait(void* parameter) {
  auto* caller = static_cast<Caller*>(parameter);
  Sleep(100);
  PostMessageW(caller->window, kPosted, 0, 0);
  const DWORD sent = GetTickCount();
  DWORD_PTR result = 0;
  caller->answered =
      SendMessageTimeoutW(caller->window, kSent, 0, 0, SMTO_NORMAL, 1000, &result) && result == 42;
  caller->answerMs = GetTickCount() - sent;
  if (caller->signalAfter) {
    Sleep(100);
    SetEvent(caller->signalAfter);
  }
  return 0;
}

UniqueKernelHandle StartCaller(Caller& caller) {
  return UniqueKernelHandle(CreateThread(nullptr, 0, CallDuringTheWait, &caller, 0, nullptr));
}

// A Sleep would answer nothing until it ends (SendMessageTimeoutW would give
// up after 1000 ms), and would dispatch nothing at all.
TEST(PumpingWait, AnswersAndDispatchesWhileItLastsItsLength) {
  CountingWindow target;
  Caller caller{target.window};
  const UniqueKernelHandle thread = StartCaller(caller);
  PostQuitMessage(7);
  const DWORD start = GetTickCount();
  EXPECT_FALSE(PumpingWait(700));
  const DWORD took = GetTickCount() - start;
  WaitForSingleObject(thread.get(), INFINITE);

  EXPECT_GE(took, 700u);
  EXPECT_LT(took, 1500u);  // loose: a loaded machine; the length itself is InstallWait's
  EXPECT_TRUE(caller.answered);
  EXPECT_LT(caller.answerMs, 500u);
  EXPECT_EQ(target.counts.posted, 1);
  EXPECT_EQ(target.counts.sent, 1);
  // A quit request taken on the way is left for the message loop after it.
  MSG message;
  ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(message.wParam, 7u);
}

TEST(PumpingWait, EndsWhenTheAwaitedObjectIsSignalledAndOnlyThen) {
  CountingWindow target;
  const UniqueKernelHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Caller caller{target.window, event.get()};
  const UniqueKernelHandle thread = StartCaller(caller);
  DWORD start = GetTickCount();
  EXPECT_TRUE(PumpingWait(5000, event.get()));
  const DWORD untilSignalled = GetTickCount() - start;
  WaitForSingleObject(thread.get(), INFINITE);
  EXPECT_GE(untilSignalled, 150u);  // not before: the messages did not end it
  EXPECT_LT(untilSignalled, 2000u);
  EXPECT_TRUE(caller.answered);

  const UniqueKernelHandle never(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  start = GetTickCount();
  EXPECT_FALSE(PumpingWait(300, never.get()));
  EXPECT_GE(GetTickCount() - start, 300u);
}

}  // namespace

}  // namespace kq::test
