// The program's window: drive letter, archive file, password and store choice, Mount
// and Unmount, and the status area that shows opening, extraction progress and failed
// reads. It owns the mount controller and is its only client.
//
// Plain Win32: the window and its controls are created in tab order; IsDialogMessage in
// the message loop (PreTranslateMessage) gives Tab, the label accelerators, Enter (Mount,
// the default button) and Esc (Unmount, the cancel button). Every size comes from the
// system message font in dialog units (SizeControls, ArrangeControls); the height follows
// the status area. The poll timer of the controller runs on this window.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "mount/vrnSource.h"
#include "ui/qevForms.h"
#include "ui/wbxTaskbar.h"

// The control IDs, in creation (and tab) order.
enum TMainFormControl : int {
  mcDriveLabel = 101,
  mcDriveComboBox,
  mcArchiveFileNameLabel,
  mcArchiveFileNameEdit,
  mcSelectButton,
  mcPasswordLabel,
  mcPasswordEdit,
  mcShowPasswordCheckBox,
  mcExtractToLabel,
  mcExtractToComboBox,
  mcMountButton,
  mcUnmountButton,
  mcStatusLabel,
  mcProgressBar,
  mcMessagesMemo,
};

// The window class name of the main window.
inline constexpr wchar_t kMainFormClassName[] = L"TMainForm";
// The window's caption while nothing is mounted, and the tail of it while mounted.
inline constexpr wchar_t kProgramCaption[] = L"Vornmount";

class TMainForm : public IvrnSourceClient {
 public:
  // Where the set of drive letters in use comes from (bit 0 = A:); GetLogicalDrives
  // unless a test feeds its own.
  using TLogicalDrivesSource = DWORD (*)();

  // Creates the window in its stopped look, sized and centred on the primary monitor's
  // work area, not yet shown. QuitOnDestroy ends the thread's message loop when the
  // window goes (the program's window does; a test's does not).
  explicit TMainForm(bool quitOnDestroy);
  // Unmounts (waiting for the worker threads) and destroys the window if it still exists.
  ~TMainForm();
  TMainForm(const TMainForm&) = delete;
  TMainForm& operator=(const TMainForm&) = delete;

  HWND Handle() const { return FHandle; }
  // The taskbar progress, as last set.
  const TwbxTaskbarMgr& TaskbarMgr() const { return *FTaskbarMgr; }
  // Feeds the drive letters in use from Source (nullptr: GetLogicalDrives again).
  void SetLogicalDrivesSource(TLogicalDrivesSource source);

  // The message loop's filter: true when Msg was handled as dialog navigation (Tab,
  // accelerators, Enter, Esc) and must not be dispatched.
  bool PreTranslateMessage(MSG& msg);

  // IUnknown, for the controller's look-up; the window's life is its own, not counted.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  // IvrnSourceClient.
  void SourceStopped(const UString& errorText) override;
  void SourceOpening() override;
  void SourceMounted(const UString& mountPoint) override;
  void SourceRunning() override;
  // Shows MessagesMemo and lists Text in it, unless a line equal to it (ignoring case, in
  // the user's locale) is listed already; the lines reported in one turn of the message
  // loop are appended together at its next turn.
  void SourceMessage(const UString& text) override;
  void SourceProgress(bool active, std::uint64_t done, std::uint64_t total) override;

  // Refills the drive list with the free letters and Preferred (a space for none), and
  // selects the preferred letter, the one chosen before, or the first free from C: on.
  void RefreshDriveList(wchar_t preferred);

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

  void CreateControls();
  HWND Control(TMainFormControl id) const { return FControls[id - mcDriveLabel]; }
  // The window's fonts at FFontHeight, handed to the controls, and their units.
  void SetFonts();
  // After a change of font or DPI: SetFonts, the initial client size (70 average
  // characters by 15 lines) in the new units, then Relayout.
  void FollowFont();
  // SizeControls then ArrangeControls.
  void Relayout();
  void SizeControls();
  void ArrangeControls();
  // Sets the client size, keeping the window's top-left corner.
  void SetClientSize(int width, int height);
  // Shrinks the font until the window fits the primary monitor's work area, where it is
  // shown, then centres it there.
  void FitAndCentre();
  // Shows or hides the status line and the progress bar together, and the taskbar
  // progress with them.
  void ShowProgress(bool visible);
  void SetEnabled(const std::vector<HWND>& controls, bool enabled);
  // Whether the keyboard focus is in the window (on it or on one of its controls).
  bool HasFocus() const;
  // After controls were disabled or hidden: when the focus was in the window (HadFocus)
  // and is now on no control that takes keys (the system drops it to none when it
  // disables the control that has it), it goes to Target, so that the keys keep working:
  // Unmount once a mount starts (Esc), Mount when stopped (Enter). The control that gets
  // the focus back on activation is mended alike.
  void KeepFocus(bool hadFocus, TMainFormControl target);
  void SetVisible(const std::vector<HWND>& controls, bool visible);
  // Starts or stops the poll timer as the controller asks.
  void SyncPollTimer();
  // Appends the messages reported since the last flush to MessagesMemo, in one piece.
  void FlushMessages();
  // Empties MessagesMemo and forgets its lines, pending ones too.
  void ClearMessages();

  void SelectClick();
  void ShowPasswordClick();
  void MountClick();
  void UnmountClick();
  void DropFiles(HDROP drop);

  HWND FHandle = nullptr;
  // Whether destroying the window ends the thread's message loop.
  bool FQuitOnDestroy;
  // The mount controller; the window is its only client.
  TvrnSource Source;
  // The groups: enabled only while stopped, enabled only while a mount runs, hidden
  // whenever a mount starts or ends.
  std::vector<HWND> InputControls;
  std::vector<HWND> UnmountControls;
  std::vector<HWND> ProgressControls;
  // Every control, in creation order (index = ID - mcDriveLabel).
  std::vector<HWND> FControls;
  // The taskbar button's progress.
  std::unique_ptr<TwbxTaskbarMgr> FTaskbarMgr;
  // The test seam for the letters in use; nullptr for GetLogicalDrives.
  TLogicalDrivesSource FLogicalDrives = nullptr;
  // The window's font and the big font of Mount and Unmount; FFontHeight is the pixel
  // height the window uses (lowered when it must shrink to fit its monitor).
  int FFontHeight = 0;
  // The DPI the window is laid out for: the primary monitor's at first, then as
  // WM_DPICHANGED says.
  UINT FDpi = USER_DEFAULT_SCREEN_DPI;
  TqevFont FFont;
  TqevFont FButtonFont;
  TqevFontUnits FUnits;
  // The sizes SizeControls found, by control.
  std::vector<SIZE> FSizes;
  // Whether the poll timer runs.
  bool FPollTimer = false;
  // The control that had the focus when the window was last deactivated.
  HWND FLastFocus = nullptr;
  // The sort keys (MakeSortKey) of the lines in MessagesMemo, so that a repeated message is
  // found without reading the list; cleared with the list.
  std::unordered_set<std::string> FListedLines;
  // The messages not yet in MessagesMemo (lines joined by CR LF), and whether the message
  // that appends them has been posted.
  std::wstring FPendingLines;
  bool FFlushPosted = false;
};

// Runs the thread's message loop for Form until WM_QUIT; returns its exit code.
int RunMessageLoop(TMainForm& form);
