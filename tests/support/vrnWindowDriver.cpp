// Driving real windows through Win32 messages.
#include "tests/support/vrnWindowDriver.h"

#include <cstdlib>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// The modal window being answered and the steps left.
struct TModalScript {
  const wchar_t* FClassName = nullptr;
  std::vector<TModalStep> FSteps;
  std::size_t FNext = 0;
};
TModalScript* gScript = nullptr;

BOOL CALLBACK FindClassWindow(HWND window, LPARAM found) {
  wchar_t name[128] = {};
  ::GetClassNameW(window, name, 128);
  if (::IsWindowVisible(window) && std::wcscmp(name, gScript->FClassName) == 0) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

void CALLBACK ModalTick(HWND, UINT, UINT_PTR, DWORD) {
  if (gScript == nullptr || gScript->FNext >= gScript->FSteps.size()) {
    return;
  }
  HWND window = nullptr;
  ::EnumThreadWindows(::GetCurrentThreadId(), FindClassWindow, reinterpret_cast<LPARAM>(&window));
  if (window == nullptr) {
    return;
  }
  // The step may pump messages itself; it must not run again inside itself.
  TModalScript* script = gScript;
  gScript = nullptr;
  if (script->FSteps[script->FNext](window)) {
    ++script->FNext;
  }
  gScript = script;
}

// The folder of the screenshot watcher, as a Windows path; empty when there is none.
std::wstring ScreenshotFolder() {
  const char* folder = std::getenv("VRN_SCREENSHOT_DIR");
  if (folder == nullptr || *folder == '\0') {
    return {};
  }
  std::wstring path = L"Z:";
  for (const char* c = folder; *c != '\0'; ++c) {
    path += *c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*c));
  }
  return path;
}

}  // namespace

void PumpFor(std::chrono::milliseconds duration, const TMessageFilter& filter) {
  PumpUntil([] { return false; }, duration, filter);
}

bool PumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout,
               const TMessageFilter& filter) {
  const Clock::time_point end = Clock::now() + timeout;
  for (;;) {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (!filter || !filter(msg)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
      }
    }
    if (done()) {
      return true;
    }
    if (Clock::now() >= end) {
      return false;
    }
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
}

std::size_t WhileModal(const wchar_t* className,
                       std::vector<TModalStep> steps,
                       const std::function<void()>& action) {
  TModalScript script{className, std::move(steps), 0};
  TModalScript* outer = gScript;
  gScript = &script;
  const UINT_PTR timer = ::SetTimer(nullptr, 0, 50, ModalTick);
  action();
  ::KillTimer(nullptr, timer);
  gScript = outer;
  PostKey(nullptr, 0, false);  // Ctrl released
  return script.FNext;
}

void PostKey(HWND window, UINT key, bool ctrl) {
  BYTE keys[256] = {};
  ::GetKeyboardState(keys);
  const BYTE state = ctrl ? 0x80 : 0;
  keys[VK_CONTROL] = keys[VK_LCONTROL] = state;
  ::SetKeyboardState(keys);
  if (window != nullptr) {
    ::PostMessageW(window, WM_KEYDOWN, key, 1);
    ::PostMessageW(window, WM_KEYUP, key, 0xC0000001);
  }
}

bool PressKey(UINT key, bool ctrl) {
  HWND focus = ::GetFocus();
  PostKey(focus, key, ctrl);
  return focus != nullptr;
}

HWND FocusIn(HWND window) {
  HWND focus = ::GetFocus();
  return focus != nullptr && (focus == window || ::IsChild(window, focus)) ? focus : window;
}

std::wstring ClipboardText() {
  std::wstring text;
  if (!::OpenClipboard(nullptr)) {
    return text;
  }
  if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* chars = static_cast<const wchar_t*>(::GlobalLock(data))) {
      text = chars;
      ::GlobalUnlock(data);
    }
  }
  ::CloseClipboard();
  return text;
}

void ClearClipboard() {
  if (::OpenClipboard(nullptr)) {
    ::EmptyClipboard();
    ::CloseClipboard();
  }
}

std::wstring TextOf(HWND window) {
  // WM_GETTEXT rather than GetWindowText, which reads no control of another process.
  const LRESULT length = ::SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  text.resize(static_cast<std::size_t>(
      ::SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
  return text;
}

bool OwnVisible(HWND window) {
  return (::GetWindowLongPtrW(window, GWL_STYLE) & WS_VISIBLE) != 0;
}

RECT ChildRect(HWND child) {
  RECT rect{};
  ::GetWindowRect(child, &rect);
  ::MapWindowPoints(nullptr, ::GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

std::vector<std::wstring> ComboItems(HWND combo) {
  std::vector<std::wstring> items;
  const int count = static_cast<int>(::SendMessageW(combo, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    std::wstring item(static_cast<std::size_t>(::SendMessageW(combo, CB_GETLBTEXTLEN, i, 0)) + 1,
                      L'\0');
    item.resize(static_cast<std::size_t>(
        ::SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item.data()))));
    items.push_back(item);
  }
  return items;
}

int ComboSelection(HWND combo) {
  return static_cast<int>(::SendMessageW(combo, CB_GETCURSEL, 0, 0));
}

bool ScreenshotsWanted() {
  return !ScreenshotFolder().empty();
}

std::wstring ScreenshotRequestPath(const std::string& name) {
  return ScreenshotFolder() + L"\\" + std::wstring(name.begin(), name.end()) + L".request";
}

std::wstring ScreenshotPath(const std::string& name) {
  return ScreenshotFolder() + L"\\" + std::wstring(name.begin(), name.end()) + L".png";
}

bool TakeScreenshot(const std::string& name) {
  if (!ScreenshotsWanted()) {
    return false;
  }
  // Everything painted before the picture is asked for.
  PumpFor(std::chrono::milliseconds(300));
  ::DeleteFileW(ScreenshotPath(name).c_str());
  HANDLE request = ::CreateFileW(ScreenshotRequestPath(name).c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (request == INVALID_HANDLE_VALUE) {
    return false;
  }
  ::CloseHandle(request);
  return PumpUntil(
      [&name] {
        return ::GetFileAttributesW(ScreenshotPath(name).c_str()) != INVALID_FILE_ATTRIBUTES;
      },
      std::chrono::seconds(20));
}
