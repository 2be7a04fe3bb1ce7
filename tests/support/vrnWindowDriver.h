// Driving real windows of this thread as a user would, through Win32 messages: pumping
// the message queue, waiting for a state, answering a modal window step by step, keys,
// clipboard, control texts, states and rectangles, and screenshots taken from outside.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// Dispatches this thread's messages for Duration; Filter, when given, sees each message
// first and returns true for one it handled (a window's dialog navigation).
using TMessageFilter = std::function<bool(MSG&)>;
void PumpFor(std::chrono::milliseconds duration, const TMessageFilter& filter = nullptr);
// Pumps until Done returns true or Timeout passes; whether Done came true.
bool PumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(20),
               const TMessageFilter& filter = nullptr);

// One step of answering a modal window: called on every tick (50 ms) with the window
// until it returns true; then the next step runs.
using TModalStep = std::function<bool(HWND window)>;
// Runs Action, which shows a modal window of class ClassName on this thread, and plays
// Steps against that window from a thread timer inside its modal loop. Returns how many
// steps ran to completion.
std::size_t WhileModal(const wchar_t* className,
                       std::vector<TModalStep> steps,
                       const std::function<void()>& action);

// Posts a key press to Window as the keyboard would, with Ctrl held when Ctrl is true
// (the thread's key state says so until the next Key call).
void PostKey(HWND window, UINT key, bool ctrl = false);
// Presses Key as a user does: posted to the window that has the keyboard focus, to go
// through the message loop (and its dialog navigation) from there. False when no window
// of this thread has the focus, so that the key goes nowhere, as a user's would.
bool PressKey(UINT key, bool ctrl = false);
// The control of Window that has the focus, or Window itself: where a key goes.
HWND FocusIn(HWND window);
// The text of the clipboard; empty when there is none.
std::wstring ClipboardText();
// Empties the clipboard.
void ClearClipboard();

// The text of a window, of this process or another.
std::wstring TextOf(HWND window);
// Whether the window itself is marked visible (its parent may be hidden).
bool OwnVisible(HWND window);
// The rectangle of Child in its parent's client coordinates.
RECT ChildRect(HWND child);
// The items of a combo box and the selected index.
std::vector<std::wstring> ComboItems(HWND combo);
int ComboSelection(HWND combo);

// Asks the screenshot watcher (tests/app/screenshots.sh, through the folder named by
// VRN_SCREENSHOT_DIR) to take a picture of the screen as Name.png, pumping messages until
// it is there; false when no watcher is set up or it did not answer in time.
bool TakeScreenshot(const std::string& name);
// Whether a screenshot watcher is set up.
bool ScreenshotsWanted();
// The request and answer files of a screenshot, as this program sees them.
std::wstring ScreenshotRequestPath(const std::string& name);
std::wstring ScreenshotPath(const std::string& name);
