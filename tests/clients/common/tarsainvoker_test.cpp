// The partner invoker's parts that need no partner process: the tray program's default location
// and the request sender against a window of this test.
#include "ipcmessages.h"
#include "tarsainvoker.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(DefaultUILocation, OnlyAProgramInAnX64FolderHasOne) {
  struct Case {
    const char* programPath;
    const char* expected;
  };
  const Case cases[] = {
      {"C:\\Program Files\\Cindravale\\x64\\CindravaleSVC.exe", "C:\\Program Files\\Cindravale\\x64\\CindravaleUI.exe"},
      // The folder's own spelling is not kept.
      {"C:\\Apps\\X64\\svc.exe", "C:\\Apps\\x64\\CindravaleUI.exe"},
      {"c:/apps/x64/svc.exe", "C:\\apps\\x64\\CindravaleUI.exe"},
      {"C:\\Apps\\x64\\..\\x64\\.\\svc.exe", "C:\\Apps\\x64\\CindravaleUI.exe"},
      {"C:\\x64\\svc.exe", "C:\\x64\\CindravaleUI.exe"},
      {"C:\\Apps\\x86\\svc.exe", ""},
      {"C:\\Apps\\x64x\\svc.exe", ""},
      {"C:\\Apps\\x64\\sub\\svc.exe", ""},
      {"C:\\Apps\\x64\\", ""},        // names no file
      {"C:\\Apps\\x64\\sv?c.exe", ""},  // not a valid path
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(DefaultUILocation(Str(c.programPath)), Str(c.expected)) << c.programPath;
}

TEST(UIProgramFileName, IsTheProductNameWithUI) { EXPECT_EQ(UIProgramFileName(), Str("CindravaleUI.exe")); }

TEST(TarsaInvoker, TargetsSwitchClassAndName) {
  TarsaInvoker invoker;
  EXPECT_EQ(invoker.WindowClass(), L"TARSAUIPU");
  EXPECT_TRUE(invoker.WindowName().IsEmpty());
  invoker.TargetCX(Str("https://d.example/x"), Str("u\xC3\xA9"));
  EXPECT_EQ(invoker.WindowClass(), L"TARSACXPU");
  EXPECT_EQ(invoker.WindowName(), L"https://d.example/x|u\u00E9");
  invoker.TargetUI();
  EXPECT_EQ(invoker.WindowClass(), L"TARSAUIPU");
  EXPECT_TRUE(invoker.WindowName().IsEmpty());
  EXPECT_EQ(invoker.DomainHref(), Str("https://d.example/x"));  // kept for the next IsCXPresent
}

// A window of this thread that records what WM_COPYDATA brought and answers a set reply.
struct Received {
  int count = 0;
  ULONG_PTR dwData = 0;
  std::string bytes;
  LRESULT reply = 1;
};
Received* s_received = nullptr;

LRESULT CALLBACK ReceiverProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COPYDATA && s_received) {
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    ++s_received->count;
    s_received->dwData = data->dwData;
    s_received->bytes.assign(static_cast<const char*>(data->lpData), data->cbData);
    return s_received->reply;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

class SendRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = ReceiverProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"InvokerTestReceiver";
    RegisterClassW(&windowClass);
    window_ = CreateWindowExW(0, L"InvokerTestReceiver", L"", WS_OVERLAPPED, 0, 0, 1, 1, nullptr, nullptr,
                              windowClass.hInstance, nullptr);
    ASSERT_NE(window_, nullptr);
    s_received = &received_;
  }
  void TearDown() override {
    s_received = nullptr;
    if (window_) DestroyWindow(window_);
  }
  HWND window_ = nullptr;
  Received received_;
};

TEST_F(SendRequestTest, NullWindowSendsNothingAndAnswersMinusOne) {
  EXPECT_EQ(TarsaInvoker::SendRequest(nullptr, IpcUiQuit, Str(), false), -1);
  EXPECT_EQ(TarsaInvoker::SendRequest(nullptr, IpcUiShowErrorText, Str("x"), true), -1);
  EXPECT_EQ(received_.count, 0);
}

TEST_F(SendRequestTest, EmptyTextIsOneZeroByte) {
  EXPECT_EQ(TarsaInvoker::SendRequest(window_, IpcUiQuit, Str(), false), 1);
  ASSERT_EQ(received_.count, 1);
  EXPECT_EQ(received_.dwData, 2104u);
  EXPECT_EQ(received_.bytes, std::string(1, '\0'));
}

TEST_F(SendRequestTest, RepliesPassThroughUnchanged) {
  // A positive reply means handled; 0 and negative replies are returned as they came.
  for (LRESULT reply : {LRESULT(7), LRESULT(0x123456789), LRESULT(0), LRESULT(-12345)}) {
    received_.reply = reply;
    EXPECT_EQ(TarsaInvoker::SendRequest(window_, IpcCxPing, Str("ping"), false), reply);
  }
  EXPECT_EQ(received_.bytes, std::string("ping", 5));
}

TEST_F(SendRequestTest, DestroyedWindowAnswersZero) {
  HWND gone = window_;
  DestroyWindow(window_);
  window_ = nullptr;
  EXPECT_EQ(TarsaInvoker::SendRequest(gone, IpcUiQuit, Str(), false), 0);
  EXPECT_EQ(received_.count, 0);
}

}  // namespace
