// The program's window.
#include "app/MainFormUnit.h"

#include <commctrl.h>
#include <commdlg.h>
#include <dbt.h>
#include <shellapi.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "platform/vrnLocale.h"
#include "ui/qevShellDialogs.h"

namespace {

// The poll timer's ID on the window.
constexpr UINT_PTR kPollTimerId = 1;
// Posted to the window to append the messages reported since the last turn of the
// message loop to MessagesMemo.
constexpr UINT kFlushMessages = WM_APP + 1;
// The mask of the password box.
constexpr wchar_t kPasswordChar = L'\x25CF';
// The range of the progress bar.
constexpr int kProgressMax = 1000;
// The smallest font height the window shrinks to when it must fit its monitor.
constexpr int kSmallestFontHeight = 10;

constexpr wchar_t kStatusOpening[] = L"Opening archive...";
constexpr wchar_t kStatusExtracting[] = L"Data extraction...";

// The parts of a control of the table below.
struct TControlInfo {
  TMainFormControl FId;
  const wchar_t* FClass;
  const wchar_t* FText;
  DWORD FStyle;
  DWORD FExStyle;
};

// Every control in creation (and tab) order.
constexpr TControlInfo kControls[] = {
    {mcDriveLabel, L"STATIC", L"&Drive:", SS_LEFT, 0},
    {mcDriveComboBox, L"COMBOBOX", L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, 0},
    {mcArchiveFileNameLabel, L"STATIC", L"&Archive file name:", SS_LEFT, 0},
    {mcArchiveFileNameEdit, L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE},
    {mcSelectButton, L"BUTTON", L"&Select", WS_TABSTOP | BS_PUSHBUTTON, 0},
    {mcPasswordLabel, L"STATIC", L"&Password:", SS_LEFT, 0},
    {mcPasswordEdit, L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD, WS_EX_CLIENTEDGE},
    {mcShowPasswordCheckBox, L"BUTTON", L"S&how password", WS_TABSTOP | BS_AUTOCHECKBOX, 0},
    {mcExtractToLabel, L"STATIC", L"&Extract compressed files to:", SS_LEFT, 0},
    {mcExtractToComboBox, L"COMBOBOX", L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, 0},
    {mcMountButton, L"BUTTON", L"&Mount", WS_TABSTOP | BS_DEFPUSHBUTTON, 0},
    {mcUnmountButton, L"BUTTON", L"&Unmount", WS_TABSTOP | BS_PUSHBUTTON, 0},
    {mcStatusLabel, L"STATIC", kStatusOpening, SS_CENTER, 0},
    {mcProgressBar, PROGRESS_CLASSW, L"", 0, 0},
    {mcMessagesMemo, L"EDIT", L"",
     WS_TABSTOP | ES_MULTILINE | ES_AUTOHSCROLL | ES_AUTOVSCROLL | WS_HSCROLL | WS_VSCROLL,
     WS_EX_CLIENTEDGE},
};

// The items of the store list; the index is the TvrnStoreKind.
constexpr const wchar_t* kStoreKindTexts[] = {L"Temp file", L"Memory and temp file", L"Memory"};

// The file dialog's filter: "7z archives|*.7z|All files|*.*".
constexpr wchar_t kArchiveFilter[] = L"7z archives\0*.7z\0All files\0*.*\0";

bool OwnVisible(HWND control) {
  return (::GetWindowLongPtrW(control, GWL_STYLE) & WS_VISIBLE) != 0;
}

int WindowHeight(HWND control) {
  RECT rect{};
  ::GetWindowRect(control, &rect);
  return rect.bottom - rect.top;
}

// The window height of a control whose client area is Height high.
int FrameHeight(HWND control, int height) {
  return WindowSizeForClient(control, SIZE{0, height}).cy;
}

// Removes the characters up to U+0020 from both ends.
std::wstring Trimmed(const std::wstring& text) {
  auto blank = [](wchar_t c) { return c <= L' '; };
  auto first = std::find_if_not(text.begin(), text.end(), blank);
  auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
  return first < last ? std::wstring(first, last) : std::wstring();
}

UString ToU(const std::wstring& text) {
  return UString(AsU16(text.c_str()), text.size());
}

std::wstring ToW(const UString& text) {
  return std::wstring(AsWChar(text), text.size());
}

}  // namespace

TMainForm::TMainForm(bool quitOnDestroy) : FQuitOnDestroy(quitOnDestroy) {
  static const ATOM windowClass = [] {
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof(cls);
    cls.lpfnWndProc = &TMainForm::WindowProc;
    cls.hInstance = ::GetModuleHandleW(nullptr);
    cls.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    cls.lpszClassName = kMainFormClassName;
    return ::RegisterClassExW(&cls);
  }();
  (void)windowClass;
  FHandle = ::CreateWindowExW(
      0, kMainFormClassName, kProgramCaption,
      WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN, CW_USEDEFAULT,
      CW_USEDEFAULT, 400, 300, nullptr, nullptr, ::GetModuleHandleW(nullptr), this);
  // The window shows on the primary monitor, at its DPI (where the system can tell).
  FDpi = WindowDpi(FHandle);
  CreateControls();
  FTaskbarMgr = std::make_unique<TwbxTaskbarMgr>(FHandle);
  FFontHeight = MessageFontHeight(FDpi);
  SetFonts();
  // The controller answers with SourceStopped: the stopped look before the first show.
  Source.AddClient(static_cast<IvrnSourceClient*>(this));
  SetClientSize(FUnits.Chars(70), FUnits.Lines(15));
  Relayout();
  FitAndCentre();
}

TMainForm::~TMainForm() {
  if (FHandle != nullptr) {
    ::DestroyWindow(FHandle);
  }
}

void TMainForm::SetLogicalDrivesSource(TLogicalDrivesSource source) {
  FLogicalDrives = source;
}

HRESULT STDMETHODCALLTYPE TMainForm::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) {
    return E_POINTER;
  }
  if (iid == kIID_IUnknown || iid == TInterfaceId<IvrnSourceClient>::Value) {
    *object = static_cast<IvrnSourceClient*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

void TMainForm::CreateControls() {
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  for (const TControlInfo& info : kControls) {
    HWND control = ::CreateWindowExW(
        info.FExStyle, info.FClass, info.FText, WS_CHILD | WS_VISIBLE | info.FStyle, 0, 0, 0, 0,
        FHandle, reinterpret_cast<HMENU>(static_cast<INT_PTR>(info.FId)), instance, nullptr);
    FControls.push_back(control);
    if (info.FId <= mcMountButton) {
      InputControls.push_back(control);
    } else if (info.FId == mcUnmountButton) {
      UnmountControls.push_back(control);
    } else {
      ProgressControls.push_back(control);
    }
  }
  HWND extractTo = Control(mcExtractToComboBox);
  for (const wchar_t* text : kStoreKindTexts) {
    ::SendMessageW(extractTo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
  }
  ::SendMessageW(extractTo, CB_SETCURSEL, 0, 0);
  ::SendMessageW(Control(mcPasswordEdit), EM_SETPASSWORDCHAR, kPasswordChar, 0);
  // No limit on the list of messages: an edit control holds some 30,000 characters unless
  // told otherwise, and would drop every line beyond them.
  ::SendMessageW(Control(mcMessagesMemo), EM_SETLIMITTEXT, 0, 0);
  // Accelerators are shown underlined at once, not only after Alt is pressed.
  ::SendMessageW(FHandle, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEACCEL), 0);
}

void TMainForm::SetFonts() {
  TqevFont font = CreateMessageFont(1, FFontHeight, FDpi);
  TqevFont buttonFont = CreateMessageFont(2, FFontHeight, FDpi);
  for (HWND control : FControls) {
    const bool big = control == Control(mcMountButton) || control == Control(mcUnmountButton);
    ::SendMessageW(control, WM_SETFONT,
                   reinterpret_cast<WPARAM>(big ? buttonFont.Get() : font.Get()), FALSE);
  }
  FFont = std::move(font);
  FButtonFont = std::move(buttonFont);
  FUnits = TqevFontUnits::Measure(FFont.Get());
}

void TMainForm::Relayout() {
  SizeControls();
  ArrangeControls();
  ::InvalidateRect(FHandle, nullptr, TRUE);
}

void TMainForm::SizeControls() {
  FSizes.assign(FControls.size(), SIZE{0, 0});
  auto size = [this](TMainFormControl id) -> SIZE& { return FSizes[id - mcDriveLabel]; };
  for (TMainFormControl label :
       {mcDriveLabel, mcArchiveFileNameLabel, mcPasswordLabel, mcExtractToLabel, mcStatusLabel}) {
    size(label) = MeasureText(FFont.Get(), WindowText(Control(label)));
  }
  const int editHeight =
      FrameHeight(Control(mcArchiveFileNameEdit), MeasureText(FFont.Get(), L"qW").cy);
  size(mcDriveComboBox) = SIZE{FUnits.Chars(8), WindowHeight(Control(mcDriveComboBox))};
  size(mcArchiveFileNameEdit) = SIZE{0, editHeight};
  size(mcSelectButton) = CommandButtonSize(FFont.Get(), WindowText(Control(mcSelectButton)));
  size(mcPasswordEdit) = SIZE{FUnits.Chars(30), editHeight};
  // The check box measures itself (mark, gap and caption) where the controls can.
  HWND showPassword = Control(mcShowPasswordCheckBox);
  const SIZE check = MeasureText(FFont.Get(), WindowText(showPassword));
  SIZE ideal{0, 0};
  ::SendMessageW(showPassword, BCM_GETIDEALSIZE, 0, reinterpret_cast<LPARAM>(&ideal));
  // The check mark and the scroll bar below are drawn by the system, at the DPI it gives
  // the window.
  const int measured = WindowMetric(showPassword, SM_CXMENUCHECK) + 2 * FUnits.FCx + check.cx;
  size(mcShowPasswordCheckBox) =
      SIZE{std::max(static_cast<int>(ideal.cx), measured),
           std::max(WindowMetric(showPassword, SM_CYMENUCHECK), static_cast<int>(check.cy))};
  size(mcExtractToComboBox) = SIZE{FUnits.Chars(30), WindowHeight(Control(mcExtractToComboBox))};
  SIZE mount = CommandButtonSize(FButtonFont.Get(), WindowText(Control(mcMountButton)));
  SIZE unmount = CommandButtonSize(FButtonFont.Get(), WindowText(Control(mcUnmountButton)));
  mount.cx = unmount.cx = std::max(mount.cx, unmount.cx);
  size(mcMountButton) = mount;
  size(mcUnmountButton) = unmount;
  size(mcProgressBar) = SIZE{0, FUnits.DLUy(8)};
  HWND memo = Control(mcMessagesMemo);
  size(mcMessagesMemo) =
      SIZE{0, FrameHeight(memo, FUnits.Lines(10)) + WindowMetric(memo, SM_CYHSCROLL)};
}

void TMainForm::ArrangeControls() {
  RECT client{};
  ::GetClientRect(FHandle, &client);
  const int w = client.right;
  const int mx = FUnits.Mx();
  const int my = FUnits.My();
  std::vector<RECT> rects(FControls.size());
  auto rect = [&rects](TMainFormControl id) -> RECT& { return rects[id - mcDriveLabel]; };
  auto place = [&](TMainFormControl id, int left, int top, int width) {
    const SIZE& size = FSizes[id - mcDriveLabel];
    rect(id) = RECT{left, top, left + width, top + size.cy};
  };
  auto width = [this](TMainFormControl id) {
    return static_cast<int>(FSizes[id - mcDriveLabel].cx);
  };
  auto height = [this](TMainFormControl id) {
    return static_cast<int>(FSizes[id - mcDriveLabel].cy);
  };
  auto centreOn = [&](TMainFormControl id, TMainFormControl other) {
    const RECT& o = rect(other);
    return static_cast<int>(o.top + (o.bottom - o.top) / 2 - height(id) / 2);
  };

  place(mcDriveLabel, mx, my, width(mcDriveLabel));
  place(mcDriveComboBox, rect(mcDriveLabel).left, rect(mcDriveLabel).bottom + FUnits.DLUy(3),
        width(mcDriveComboBox));
  place(mcArchiveFileNameLabel, rect(mcDriveComboBox).right + FUnits.DLUx(7),
        rect(mcDriveLabel).top, width(mcArchiveFileNameLabel));
  const int editLeft = rect(mcArchiveFileNameLabel).left;
  place(mcArchiveFileNameEdit, editLeft, centreOn(mcArchiveFileNameEdit, mcDriveComboBox),
        w - mx - width(mcSelectButton) - FUnits.DLUx(4) - editLeft);
  place(mcSelectButton, w - mx - width(mcSelectButton),
        centreOn(mcSelectButton, mcArchiveFileNameEdit), width(mcSelectButton));
  // Measured in the horizontal unit, as the window has always been laid out.
  place(mcPasswordLabel, rect(mcDriveLabel).left, rect(mcDriveComboBox).bottom + FUnits.DLUx(7),
        width(mcPasswordLabel));
  place(mcPasswordEdit, rect(mcPasswordLabel).left, rect(mcPasswordLabel).bottom + FUnits.DLUy(3),
        width(mcPasswordEdit));
  place(mcShowPasswordCheckBox, rect(mcPasswordEdit).left,
        rect(mcPasswordEdit).bottom + FUnits.DLUy(4), width(mcShowPasswordCheckBox));
  place(mcExtractToLabel, rect(mcDriveLabel).left,
        rect(mcShowPasswordCheckBox).bottom + FUnits.DLUy(7), width(mcExtractToLabel));
  place(mcExtractToComboBox, rect(mcExtractToLabel).left,
        rect(mcExtractToLabel).bottom + FUnits.DLUx(3), width(mcExtractToComboBox));
  place(mcMountButton, (w - (width(mcMountButton) + FUnits.DLUx(7) + width(mcUnmountButton))) / 2,
        rect(mcExtractToComboBox).bottom + 2 * FUnits.DLUy(7), width(mcMountButton));
  place(mcUnmountButton, rect(mcMountButton).right + FUnits.DLUx(7), rect(mcMountButton).top,
        width(mcUnmountButton));

  int y = rect(mcMountButton).bottom;
  if (OwnVisible(Control(mcStatusLabel))) {
    place(mcStatusLabel, 0, y + FUnits.DLUx(7), w);
    y = rect(mcStatusLabel).bottom;
  }
  if (OwnVisible(Control(mcProgressBar))) {
    place(mcProgressBar, mx, y + FUnits.DLUx(3), w - 2 * mx);
    y = rect(mcProgressBar).bottom;
  }
  if (OwnVisible(Control(mcMessagesMemo))) {
    place(mcMessagesMemo, mx, y + FUnits.DLUx(7), w - 2 * mx);
    y = rect(mcMessagesMemo).bottom;
  }

  for (std::size_t i = 0; i < FControls.size(); ++i) {
    const RECT& r = rects[i];
    int controlHeight = r.bottom - r.top;
    // A drop-down list's height is its open list's; its closed height follows the font.
    if (i == mcDriveComboBox - mcDriveLabel || i == mcExtractToComboBox - mcDriveLabel) {
      controlHeight += FUnits.Lines(12);
    }
    ::MoveWindow(FControls[i], r.left, r.top, r.right - r.left, controlHeight, FALSE);
  }
  SetClientSize(w, y + my);
}

void TMainForm::SetClientSize(int width, int height) {
  const SIZE frame = WindowSizeForClient(FHandle, SIZE{width, height});
  ::SetWindowPos(FHandle, nullptr, 0, 0, frame.cx, frame.cy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TMainForm::FollowFont() {
  SetFonts();
  SetClientSize(FUnits.Chars(70), FUnits.Lines(15));
  Relayout();
}

void TMainForm::FitAndCentre() {
  for (;;) {
    RECT window{};
    RECT work{};
    ::GetWindowRect(FHandle, &window);
    if (!MonitorWorkArea(nullptr, work) || FFontHeight <= kSmallestFontHeight ||
        (window.right - window.left <= work.right - work.left &&
         window.bottom - window.top <= work.bottom - work.top)) {
      break;
    }
    --FFontHeight;
    FollowFont();
  }
  RECT window{};
  RECT work{};
  ::GetWindowRect(FHandle, &window);
  if (MonitorWorkArea(nullptr, work)) {
    const int width = window.right - window.left;
    const int height = window.bottom - window.top;
    ::SetWindowPos(FHandle, nullptr, work.left + (work.right - work.left - width) / 2,
                   work.top + (work.bottom - work.top - height) / 2, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void TMainForm::SetEnabled(const std::vector<HWND>& controls, bool enabled) {
  for (HWND control : controls) {
    ::EnableWindow(control, enabled ? TRUE : FALSE);
  }
}

bool TMainForm::HasFocus() const {
  HWND focus = ::GetFocus();
  return focus != nullptr && (focus == FHandle || ::IsChild(FHandle, focus));
}

void TMainForm::KeepFocus(bool hadFocus, TMainFormControl target) {
  auto canTakeKeys = [](HWND control) {
    return control != nullptr && ::IsWindowEnabled(control) && OwnVisible(control);
  };
  HWND focus = ::GetFocus();
  if (hadFocus && (focus == nullptr || focus == FHandle || !canTakeKeys(focus))) {
    ::SetFocus(Control(target));
  }
  // The same for the control that gets the focus back when the window is activated again.
  if (FLastFocus != nullptr && !canTakeKeys(FLastFocus)) {
    FLastFocus = Control(target);
  }
}

void TMainForm::SetVisible(const std::vector<HWND>& controls, bool visible) {
  for (HWND control : controls) {
    ::ShowWindow(control, visible ? SW_SHOWNA : SW_HIDE);
  }
}

void TMainForm::SyncPollTimer() {
  if (FHandle == nullptr) {
    return;
  }
  if (Source.PollEnabled() && !FPollTimer) {
    ::SetTimer(FHandle, kPollTimerId, static_cast<UINT>(TvrnSource::kPollInterval.count()),
               nullptr);
    FPollTimer = true;
  } else if (!Source.PollEnabled() && FPollTimer) {
    ::KillTimer(FHandle, kPollTimerId);
    FPollTimer = false;
  }
}

void TMainForm::ShowProgress(bool visible) {
  HWND status = Control(mcStatusLabel);
  HWND bar = Control(mcProgressBar);
  if (OwnVisible(status) == visible && OwnVisible(bar) == visible) {
    return;
  }
  SetVisible({status, bar}, visible);
  Relayout();
  FTaskbarMgr->SetActive(visible);
}

// ---------------------------------------------------------------------------------------
// What the controller reports.

void TMainForm::SourceStopped(const UString& errorText) {
  SyncPollTimer();
  ::SetWindowTextW(FHandle, kProgramCaption);
  const bool hadFocus = HasFocus();
  SetEnabled(InputControls, true);
  SetEnabled(UnmountControls, false);
  SetVisible(ProgressControls, false);
  KeepFocus(hadFocus, mcMountButton);
  // The drive is gone: a progress left on the taskbar button would mislead.
  FTaskbarMgr->SetActive(false);
  Relayout();
  RefreshDriveList(L' ');
  ::DragAcceptFiles(FHandle, TRUE);
  if (!errorText.empty()) {
    ShowMessageBoxForm(nullptr, FHandle, L"", ToW(errorText), L"Error", L"", MB_ICONERROR | MB_OK);
  }
}

void TMainForm::SourceOpening() {
  const bool hadFocus = HasFocus();
  SetEnabled(UnmountControls, true);
  SetEnabled(InputControls, false);
  SetVisible(ProgressControls, false);
  KeepFocus(hadFocus, mcUnmountButton);
  ::SetWindowTextW(Control(mcStatusLabel), kStatusOpening);
  SetVisible({Control(mcStatusLabel)}, true);
  Relayout();
  ::DragAcceptFiles(FHandle, FALSE);
}

void TMainForm::SourceMounted(const UString& mountPoint) {
  ::SetWindowTextW(FHandle, (ToW(mountPoint) + L" - " + kProgramCaption).c_str());
  SetVisible({Control(mcStatusLabel), Control(mcProgressBar)}, false);
  Relayout();
  if (!mountPoint.empty()) {
    RefreshDriveList(static_cast<wchar_t>(mountPoint[0]));
  }
}

void TMainForm::SourceRunning() {}

void TMainForm::SourceMessage(const UString& text) {
  HWND memo = Control(mcMessagesMemo);
  if (!OwnVisible(memo)) {
    SetVisible({memo}, true);
    Relayout();
  }
  // Equal sort keys mean equal texts to CompareTextLocale: listed already, whatever the case.
  if (!FListedLines.insert(MakeSortKey(text)).second) {
    return;
  }
  // The lines of one turn of the message loop (a poll may bring hundreds) are appended
  // together: each append costs the edit control a scroll and a repaint of its own.
  FPendingLines += (FPendingLines.empty() ? L"" : L"\r\n") + ToW(text);
  if (!FFlushPosted) {
    FFlushPosted = ::PostMessageW(FHandle, kFlushMessages, 0, 0) != FALSE;
    if (!FFlushPosted) {
      FlushMessages();
    }
  }
}

void TMainForm::FlushMessages() {
  if (FPendingLines.empty()) {
    return;
  }
  HWND memo = Control(mcMessagesMemo);
  const int length = ::GetWindowTextLengthW(memo);
  const std::wstring lines = (length == 0 ? L"" : L"\r\n") + FPendingLines;
  FPendingLines.clear();
  ::SendMessageW(memo, EM_SETSEL, length, length);
  ::SendMessageW(memo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(lines.c_str()));
}

void TMainForm::ClearMessages() {
  ::SetWindowTextW(Control(mcMessagesMemo), L"");
  FPendingLines.clear();
  FListedLines.clear();
}

void TMainForm::SourceProgress(bool active, std::uint64_t done, std::uint64_t total) {
  if (!active || total == 0) {
    ShowProgress(false);
    return;
  }
  ::SetWindowTextW(Control(mcStatusLabel), kStatusExtracting);
  ShowProgress(true);
  const int position = static_cast<int>(
      std::lround(static_cast<double>(done) / static_cast<double>(total) * kProgressMax));
  HWND bar = Control(mcProgressBar);
  ::SendMessageW(bar, PBM_SETRANGE32, 0, kProgressMax);
  ::SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
  FTaskbarMgr->SetProgressValueMax(kProgressMax);
  FTaskbarMgr->SetProgressValue(static_cast<std::uint64_t>(position));
}

// ---------------------------------------------------------------------------------------
// The drive list.

void TMainForm::RefreshDriveList(wchar_t preferred) {
  HWND combo = Control(mcDriveComboBox);
  const std::wstring remembered = WindowText(combo);
  ::SendMessageW(combo, WM_SETREDRAW, FALSE, 0);
  ::SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  const DWORD inUse = FLogicalDrives != nullptr ? FLogicalDrives() : ::GetLogicalDrives();
  int selected = -1;
  int firstFloppy = -1;
  for (int i = 0; i < 26; ++i) {
    const wchar_t letter = static_cast<wchar_t>(L'A' + i);
    if (letter != preferred && (inUse & (1u << i)) != 0) {
      continue;
    }
    const std::wstring item{letter, L':'};
    const int index = static_cast<int>(
        ::SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str())));
    if (letter == preferred || item == remembered) {
      selected = index;
    }
    if (i < 2) {
      if (firstFloppy == -1) {
        firstFloppy = index;
      }
    } else if (selected == -1) {
      selected = index;
    }
  }
  if (selected != -1) {
    ::SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
  } else if (firstFloppy != -1) {
    ::SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(firstFloppy), 0);
  }
  ::SendMessageW(combo, WM_SETREDRAW, TRUE, 0);
  ::InvalidateRect(combo, nullptr, TRUE);
}

// ---------------------------------------------------------------------------------------
// What the user does.

void TMainForm::SelectClick() {
  std::wstring fileName(32768, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof(dialog);
  dialog.hwndOwner = FHandle;
  dialog.lpstrFilter = kArchiveFilter;
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = fileName.data();
  dialog.nMaxFile = static_cast<DWORD>(fileName.size());
  dialog.lpstrDefExt = L"7z";
  dialog.Flags = OFN_EXPLORER | OFN_ENABLESIZING;
  if (::GetOpenFileNameW(&dialog)) {
    ::SetWindowTextW(Control(mcArchiveFileNameEdit), fileName.c_str());
  }
}

void TMainForm::ShowPasswordClick() {
  const bool show =
      ::SendMessageW(Control(mcShowPasswordCheckBox), BM_GETCHECK, 0, 0) == BST_CHECKED;
  HWND password = Control(mcPasswordEdit);
  ::SendMessageW(password, EM_SETPASSWORDCHAR, show ? 0 : kPasswordChar, 0);
  ::InvalidateRect(password, nullptr, TRUE);
}

void TMainForm::MountClick() {
  HWND drive = Control(mcDriveComboBox);
  const LRESULT driveIndex = ::SendMessageW(drive, CB_GETCURSEL, 0, 0);
  if (driveIndex == CB_ERR) {
    return;
  }
  HWND archive = Control(mcArchiveFileNameEdit);
  const std::wstring archiveName = WindowText(archive);
  if (Trimmed(archiveName).empty()) {
    ShowMessageBoxForm(nullptr, FHandle, L"", L"Please enter archive name.", L"", L"",
                       MB_ICONWARNING | MB_OK);
    ::SetFocus(archive);
    return;
  }
  HWND password = Control(mcPasswordEdit);
  ::SendMessageW(password, EM_SETPASSWORDCHAR, kPasswordChar, 0);
  ::SendMessageW(Control(mcShowPasswordCheckBox), BM_SETCHECK, BST_UNCHECKED, 0);
  ClearMessages();
  const std::wstring driveText = WindowText(drive);
  const UString mountPoint{static_cast<char16_t>(driveText.empty() ? L' ' : driveText[0]), u':',
                           u'\\'};
  const LRESULT kind = ::SendMessageW(Control(mcExtractToComboBox), CB_GETCURSEL, 0, 0);
  std::wstring secret = WindowText(password);
  Source.Mount(mountPoint, ToU(archiveName), ToU(secret),
               static_cast<TvrnStoreKind>(kind == CB_ERR ? 0 : kind));
  std::fill(secret.begin(), secret.end(), L'\0');
  SyncPollTimer();
}

void TMainForm::UnmountClick() {
  Source.Unmount(true);
  SyncPollTimer();
}

void TMainForm::DropFiles(HDROP drop) {
  if (::DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0) == 1) {
    std::wstring name(static_cast<std::size_t>(::DragQueryFileW(drop, 0, nullptr, 0)) + 1, L'\0');
    name.resize(::DragQueryFileW(drop, 0, name.data(), static_cast<UINT>(name.size())));
    ::SetWindowTextW(Control(mcArchiveFileNameEdit), name.c_str());
  }
  ::DragFinish(drop);
}

// ---------------------------------------------------------------------------------------
// Messages.

bool TMainForm::PreTranslateMessage(MSG& msg) {
  if (FHandle == nullptr || (msg.hwnd != FHandle && !::IsChild(FHandle, msg.hwnd))) {
    return false;
  }
  // Esc in the list of messages is Unmount, as everywhere in the window. The multi-line
  // edit control wants every key itself, and on Esc it would post WM_CLOSE to its parent,
  // which closes the program.
  if (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE && msg.hwnd == Control(mcMessagesMemo)) {
    ::SendMessageW(FHandle, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    return true;
  }
  return ::IsDialogMessageW(FHandle, &msg) != FALSE;
}

LRESULT CALLBACK TMainForm::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* form = static_cast<TMainForm*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    form->FHandle = window;
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
  }
  auto* form = reinterpret_cast<TMainForm*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (form == nullptr || form->FHandle != window) {
    return ::DefWindowProcW(window, message, wParam, lParam);
  }
  return form->HandleMessage(message, wParam, lParam);
}

LRESULT TMainForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (FTaskbarMgr) {
    FTaskbarMgr->HandleMessage(message);
  }
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED || lParam == 0) {
        switch (LOWORD(wParam)) {
          case mcSelectButton:
            SelectClick();
            break;
          case mcShowPasswordCheckBox:
            ShowPasswordClick();
            break;
          case mcMountButton:
            if (::IsWindowEnabled(Control(mcMountButton))) {
              MountClick();
            }
            break;
          case mcUnmountButton:
          case IDCANCEL:  // Esc
            if (::IsWindowEnabled(Control(mcUnmountButton))) {
              UnmountClick();
            }
            break;
          default:
            break;
        }
      }
      return 0;
    case DM_GETDEFID:
      return MAKELRESULT(mcMountButton, DC_HASDEFID);
    case kFlushMessages:
      FFlushPosted = false;
      FlushMessages();
      return 0;
    case WM_TIMER:
      if (wParam == kPollTimerId) {
        Source.Poll();
        SyncPollTimer();
      }
      return 0;
    case WM_DROPFILES:
      DropFiles(reinterpret_cast<HDROP>(wParam));
      return 0;
    case WM_DEVICECHANGE: {
      auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
      if ((wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) &&
          header != nullptr && header->dbch_devicetype == DBT_DEVTYP_VOLUME &&
          ::IsWindowEnabled(Control(mcDriveComboBox))) {
        RefreshDriveList(L' ');
      }
      return TRUE;
    }
    case WM_NCHITTEST: {
      const LRESULT hit = ::DefWindowProcW(FHandle, message, wParam, lParam);
      return hit >= HTLEFT && hit <= HTBOTTOMRIGHT ? HTCLIENT : hit;
    }
    case WM_CTLCOLORSTATIC: {
      // Labels and the check box on the window's own colour.
      HWND control = reinterpret_cast<HWND>(lParam);
      const int id = ::GetDlgCtrlID(control);
      if (id != mcArchiveFileNameEdit && id != mcPasswordEdit && id != mcMessagesMemo) {
        ::SetBkColor(reinterpret_cast<HDC>(wParam), ::GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_WINDOW));
      }
      break;
    }
    case WM_SETTINGCHANGE:
      if (wParam == SPI_SETNONCLIENTMETRICS) {
        FFontHeight = MessageFontHeight(FDpi);
        FollowFont();
      }
      break;
    case WM_DPICHANGED: {
      // Moved to a monitor of another DPI (or its scale changed): to the place the system
      // suggests, then the font of the new DPI and the layout in its units.
      FDpi = HIWORD(wParam) != 0 ? HIWORD(wParam) : WindowDpi(FHandle);
      if (const auto* suggested = reinterpret_cast<const RECT*>(lParam)) {
        ::SetWindowPos(FHandle, nullptr, suggested->left, suggested->top,
                       suggested->right - suggested->left, suggested->bottom - suggested->top,
                       SWP_NOZORDER | SWP_NOACTIVATE);
      }
      FFontHeight = MessageFontHeight(FDpi);
      FollowFont();
      return 0;
    }
    case WM_NEXTDLGCTL:
      // Dialog navigation: Tab, and a label's accelerator (the label, then the control
      // after it).
      MoveDialogFocus(FHandle, wParam, lParam);
      return 0;
    case WM_ACTIVATE:
      // As a dialog does: the focus goes back to the control that had it, or to the
      // first one, so that keys reach the controls from the start.
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = ::GetFocus();
        FLastFocus = focus != nullptr && ::IsChild(FHandle, focus) ? focus : nullptr;
      } else if (!::IsIconic(FHandle)) {
        HWND focus =
            FLastFocus != nullptr && ::IsWindowEnabled(FLastFocus) && ::IsWindowVisible(FLastFocus)
                ? FLastFocus
                : ::GetNextDlgTabItem(FHandle, nullptr, FALSE);
        if (focus != nullptr) {
          ::SetFocus(focus);
        }
      }
      return 0;
    case WM_CLOSE:
      ::DestroyWindow(FHandle);
      return 0;
    case WM_DESTROY:
      // Closing while mounted asks nothing: the drive is removed and the threads end.
      Source.RemoveClient(static_cast<IvrnSourceClient*>(this));
      Source.Unmount(true);
      SyncPollTimer();
      if (FQuitOnDestroy) {
        ::PostQuitMessage(0);
      }
      return 0;
    case WM_NCDESTROY: {
      HWND window = FHandle;
      ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      FHandle = nullptr;
      FControls.assign(FControls.size(), nullptr);
      return ::DefWindowProcW(window, message, wParam, lParam);
    }
    default:
      break;
  }
  return ::DefWindowProcW(FHandle, message, wParam, lParam);
}

int RunMessageLoop(TMainForm& form) {
  MSG msg{};
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!form.PreTranslateMessage(msg)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
  }
  return static_cast<int>(msg.wParam);
}
