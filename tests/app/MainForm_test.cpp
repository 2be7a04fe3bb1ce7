// The program's window as a user meets it, under Wine on a virtual display: its controls,
// layout, drive list, keys, drops and file dialog, what it shows for each report of the
// mount controller, and whole mounts through the real 7-Zip library and the stand-in
// dokan2.dll, with the error boxes a user gets. Everything is driven through Win32
// messages; the program itself is also started as a second process and driven from here.
#include "app/MainFormUnit.h"

#include <commctrl.h>
#include <dbt.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <memory>

#include "tests/dokan_standin/dokan_standin.h"
#include "tests/support/vrnFixtures.h"
#include "tests/support/vrnWindowDriver.h"
#include "ui/qevShellDialogs.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr DWORD Letters(std::initializer_list<wchar_t> letters) {
  DWORD mask = 0;
  for (wchar_t letter : letters) {
    mask |= 1u << (letter - L'A');
  }
  return mask;
}
constexpr DWORD kAllLetters = (1u << 26) - 1;

// The drive letters in use as the tests pretend.
DWORD gDrivesInUse = 0;
DWORD FakeLogicalDrives() {
  return gDrivesInUse;
}

std::wstring W(const UString& text) {
  return std::wstring(AsWChar(text), text.size());
}

// The test program's file name, the caption of a box with none of its own.
std::wstring ProgramName() {
  wchar_t path[MAX_PATH] = {};
  std::wstring name(path, ::GetModuleFileNameW(nullptr, path, MAX_PATH));
  return name.substr(name.find_last_of(L'\\') + 1);
}

// The text Ctrl+C copies from a box with Caption and Content and one OK button.
std::wstring OkBoxText(const std::wstring& caption, const std::wstring& content) {
  return L"[Window Title]\r\n" + caption + L"\r\n\r\n[Content]\r\n" + content + L"\r\n\r\n[OK]\r\n";
}

// The measured units of a font, computed here independently of the window's code.
struct TUnits {
  double CxExact;
  int Cx;
  int Cy;
  int DLUx(int n) const { return ::MulDiv(n, Cx, 4); }
  int DLUy(int n) const { return ::MulDiv(n, Cy, 8); }
  int Chars(double n) const { return static_cast<int>(std::lround(n * CxExact)); }
};
TUnits UnitsOf(HFONT font) {
  HDC dc = ::GetDC(nullptr);
  HGDIOBJ old = ::SelectObject(dc, font);
  SIZE size{};
  ::GetTextExtentPoint32W(dc, L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ", 52, &size);
  ::SelectObject(dc, old);
  ::ReleaseDC(nullptr, dc);
  return TUnits{size.cx / 52.0, static_cast<int>(size.cx / 52), static_cast<int>(size.cy)};
}

// Sets the system message font to a pixel height for the life of the object.
class TMessageFontScope {
 public:
  explicit TMessageFontScope(int height) {
    FSaved.cbSize = sizeof(FSaved);
    ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(FSaved), &FSaved, 0);
    NONCLIENTMETRICSW metrics = FSaved;
    metrics.lfMessageFont.lfHeight = -height;
    FSet = ::SystemParametersInfoW(SPI_SETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0);
  }
  ~TMessageFontScope() {
    ::SystemParametersInfoW(SPI_SETNONCLIENTMETRICS, sizeof(FSaved), &FSaved, 0);
  }
  bool Set() const { return FSet; }

 private:
  NONCLIENTMETRICSW FSaved{};
  bool FSet = false;
};

// Sets the work area of the primary monitor for the life of the object.
class TWorkAreaScope {
 public:
  explicit TWorkAreaScope(RECT area) {
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &FSaved, 0);
    FSet = ::SystemParametersInfoW(SPI_SETWORKAREA, 0, &area, 0);
  }
  ~TWorkAreaScope() { ::SystemParametersInfoW(SPI_SETWORKAREA, 0, &FSaved, 0); }
  bool Set() const { return FSet; }

 private:
  RECT FSaved{};
  bool FSet = false;
};

int FontHeight(HWND control) {
  LOGFONTW font{};
  ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0)), sizeof(font),
               &font);
  return std::abs(font.lfHeight);
}

class MainForm : public ::testing::Test {
 protected:
  void SetUp() override {
    gDrivesInUse = Letters({L'C', L'Z'});
    Form = std::make_unique<TMainForm>(false);
    Form->SetLogicalDrivesSource(FakeLogicalDrives);
    Window = Form->Handle();
    DeviceChange(DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME);
    ::ShowWindow(Window, SW_SHOWNORMAL);
    Pump(milliseconds(100));
  }
  void TearDown() override {
    Form.reset();
    Pump(milliseconds(50));
  }

  HWND C(TMainFormControl id) const { return ::GetDlgItem(Window, id); }
  TMessageFilter Filter() {
    return [this](MSG& msg) { return Form->PreTranslateMessage(msg); };
  }
  void Pump(milliseconds duration) { PumpFor(duration, Filter()); }
  bool Until(const std::function<bool()>& done, milliseconds timeout = seconds(20)) {
    return PumpUntil(done, timeout, Filter());
  }
  // Sends WM_DEVICECHANGE as the system does for a volume (or another device type).
  void DeviceChange(WPARAM event, DWORD deviceType) {
    DEV_BROADCAST_VOLUME volume{};
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = deviceType;
    ::SendMessageW(Window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&volume));
  }
  std::wstring SelectedDrive() {
    const int index = ComboSelection(C(mcDriveComboBox));
    return index < 0 ? L"" : ComboItems(C(mcDriveComboBox)).at(static_cast<std::size_t>(index));
  }
  void ChooseDrive(const wchar_t* item) {
    ::SendMessageW(C(mcDriveComboBox), CB_SELECTSTRING, static_cast<WPARAM>(-1),
                   reinterpret_cast<LPARAM>(item));
  }
  bool InputsEnabled() {
    for (int id = mcDriveLabel; id <= mcMountButton; ++id) {
      if (!::IsWindowEnabled(C(static_cast<TMainFormControl>(id)))) {
        return false;
      }
    }
    return true;
  }
  bool InputsDisabled() {
    for (int id = mcDriveLabel; id <= mcMountButton; ++id) {
      if (::IsWindowEnabled(C(static_cast<TMainFormControl>(id)))) {
        return false;
      }
    }
    return true;
  }
  // Steps that answer a message box: keep its caption, copy its text with Ctrl+C into
  // Copied, then close it with Close.
  static std::vector<TModalStep> CopyBoxAndClose(std::wstring& caption,
                                                 std::wstring& copied,
                                                 TModalStep close) {
    return {[&caption](HWND box) {
              caption = TextOf(box);
              ClearClipboard();
              PostKey(FocusIn(box), 'C', true);
              return true;
            },
            [&copied](HWND) {
              copied = ClipboardText();
              return !copied.empty();
            },
            std::move(close)};
  }
  // Presses Key in Focus and answers the message box that comes up with Steps; the
  // number of steps that ran.
  std::size_t KeyWithBox(HWND focus, UINT key, std::vector<TModalStep> steps) {
    bool finished = false;
    TModalStep last = steps.back();
    steps.back() = [&finished, last](HWND box) { return finished = last(box); };
    const std::size_t run = WhileModal(kMessageBoxClassName, std::move(steps), [&] {
      ::SetFocus(focus);
      PostKey(focus, key);
      Until([&finished] { return finished; }, seconds(20));
    });
    Pump(milliseconds(100));
    return run;
  }
  // Clicks Mount and answers the box that the mount ends in, copying its text.
  std::wstring MountIntoErrorBox(std::wstring& caption) {
    std::wstring copied;
    bool finished = false;
    WhileModal(kMessageBoxClassName,
               CopyBoxAndClose(caption, copied,
                               [&finished](HWND box) {
                                 PostKey(FocusIn(box), VK_RETURN);
                                 finished = true;
                                 return true;
                               }),
               [&] {
                 ::SendMessageW(C(mcMountButton), BM_CLICK, 0, 0);
                 Until([&finished] { return finished; }, seconds(30));
               });
    Pump(milliseconds(100));
    return copied;
  }

  std::unique_ptr<TMainForm> Form;
  HWND Window = nullptr;
};

// Checks every rule of the layout against the units of the window's font.
void ExpectLayout(HWND window) {
  auto c = [window](TMainFormControl id) { return ::GetDlgItem(window, id); };
  auto r = [&c](TMainFormControl id) { return ChildRect(c(id)); };
  const TUnits u =
      UnitsOf(reinterpret_cast<HFONT>(::SendMessageW(c(mcDriveLabel), WM_GETFONT, 0, 0)));
  const int mx = u.DLUx(7);
  const int my = u.DLUy(7);
  RECT client{};
  ::GetClientRect(window, &client);
  const int w = client.right;
  auto mid = [](const RECT& rect) { return rect.top + (rect.bottom - rect.top) / 2; };
  auto height = [](const RECT& rect) { return rect.bottom - rect.top; };
  auto width = [](const RECT& rect) { return rect.right - rect.left; };

  EXPECT_EQ(w, u.Chars(70));
  const RECT driveLabel = r(mcDriveLabel);
  EXPECT_EQ(driveLabel.left, mx);
  EXPECT_EQ(driveLabel.top, my);
  const RECT drive = r(mcDriveComboBox);
  EXPECT_EQ(drive.left, mx);
  EXPECT_EQ(drive.top, driveLabel.bottom + u.DLUy(3));
  EXPECT_EQ(width(drive), u.Chars(8));
  const RECT archiveLabel = r(mcArchiveFileNameLabel);
  EXPECT_EQ(archiveLabel.left, drive.right + u.DLUx(7));
  EXPECT_EQ(archiveLabel.top, driveLabel.top);
  const RECT edit = r(mcArchiveFileNameEdit);
  const RECT select = r(mcSelectButton);
  EXPECT_EQ(edit.left, archiveLabel.left);
  EXPECT_EQ(edit.top, mid(drive) - height(edit) / 2);
  EXPECT_EQ(edit.right, select.left - u.DLUx(4));
  EXPECT_EQ(select.right, w - mx);
  EXPECT_EQ(select.top, mid(edit) - height(select) / 2);
  EXPECT_GE(width(select), u.DLUx(50));
  EXPECT_GE(height(select), u.DLUy(14));
  // The gap below the drive list is 7 horizontal units, as the window has always had.
  const RECT passwordLabel = r(mcPasswordLabel);
  EXPECT_EQ(passwordLabel.left, mx);
  EXPECT_EQ(passwordLabel.top, drive.bottom + u.DLUx(7));
  const RECT password = r(mcPasswordEdit);
  EXPECT_EQ(password.top, passwordLabel.bottom + u.DLUy(3));
  EXPECT_EQ(width(password), u.Chars(30));
  EXPECT_EQ(height(password), height(edit));
  const RECT show = r(mcShowPasswordCheckBox);
  EXPECT_EQ(show.left, password.left);
  EXPECT_EQ(show.top, password.bottom + u.DLUy(4));
  const RECT extractLabel = r(mcExtractToLabel);
  EXPECT_EQ(extractLabel.top, show.bottom + u.DLUy(7));
  const RECT extract = r(mcExtractToComboBox);
  EXPECT_EQ(extract.top, extractLabel.bottom + u.DLUx(3));
  EXPECT_EQ(width(extract), u.Chars(30));
  const RECT mount = r(mcMountButton);
  const RECT unmount = r(mcUnmountButton);
  EXPECT_EQ(mount.top, extract.bottom + 2 * my);
  EXPECT_EQ(width(mount), width(unmount));
  EXPECT_EQ(unmount.left, mount.right + u.DLUx(7));
  EXPECT_EQ(unmount.top, mount.top);
  EXPECT_EQ(mount.left, (w - (width(mount) + u.DLUx(7) + width(unmount))) / 2);
  // Mount and Unmount in the font at twice the size.
  const TUnits big =
      UnitsOf(reinterpret_cast<HFONT>(::SendMessageW(c(mcMountButton), WM_GETFONT, 0, 0)));
  EXPECT_GT(big.Cy, u.Cy * 3 / 2);
  EXPECT_GE(height(mount), big.DLUy(14));
  EXPECT_GE(width(mount), big.DLUx(50));
  // Stopped: the status area is hidden and the window ends below the buttons.
  EXPECT_EQ(client.bottom, mount.bottom + my);
}

// A drop of Files on Window, as the shell posts it.
void DropFiles(HWND window, const std::vector<std::wstring>& files) {
  std::wstring list;
  for (const std::wstring& file : files) {
    list += file + L'\0';
  }
  list += L'\0';
  HGLOBAL memory = ::GlobalAlloc(GHND, sizeof(DROPFILES) + list.size() * sizeof(wchar_t));
  auto* drop = static_cast<DROPFILES*>(::GlobalLock(memory));
  drop->pFiles = sizeof(DROPFILES);
  drop->fWide = TRUE;
  std::memcpy(drop + 1, list.data(), list.size() * sizeof(wchar_t));
  ::GlobalUnlock(memory);
  ::PostMessageW(window, WM_DROPFILES, reinterpret_cast<WPARAM>(memory), 0);
}

}  // namespace

TEST_F(MainForm, StartsStoppedWithEveryControlInTabOrder) {
  EXPECT_EQ(TextOf(Window), L"Vornmount");
  struct TControl {
    TMainFormControl Id;
    const wchar_t* Text;
    bool Enabled;
    bool Visible;
  };
  const TControl controls[] = {
      {mcDriveLabel, L"&Drive:", true, true},
      {mcDriveComboBox, L"D:", true, true},
      {mcArchiveFileNameLabel, L"&Archive file name:", true, true},
      {mcArchiveFileNameEdit, L"", true, true},
      {mcSelectButton, L"&Select", true, true},
      {mcPasswordLabel, L"&Password:", true, true},
      {mcPasswordEdit, L"", true, true},
      {mcShowPasswordCheckBox, L"S&how password", true, true},
      {mcExtractToLabel, L"&Extract compressed files to:", true, true},
      {mcExtractToComboBox, L"Temp file", true, true},
      {mcMountButton, L"&Mount", true, true},
      {mcUnmountButton, L"&Unmount", false, true},
      {mcStatusLabel, L"Opening archive...", true, false},
      {mcProgressBar, L"", true, false},
      {mcMessagesMemo, L"", true, false},
  };
  // Created in this order, which is also the order of the window's children.
  HWND child = ::GetWindow(Window, GW_CHILD);
  for (const TControl& control : controls) {
    HWND window = C(control.Id);
    ASSERT_NE(window, nullptr) << control.Id;
    EXPECT_EQ(child, window) << control.Id;
    child = ::GetWindow(child, GW_HWNDNEXT);
    EXPECT_EQ(TextOf(window), control.Text) << control.Id;
    EXPECT_EQ(::IsWindowEnabled(window) != FALSE, control.Enabled) << control.Id;
    EXPECT_EQ(OwnVisible(window), control.Visible) << control.Id;
  }
  // Tab walks the enabled inputs in creation order and comes back to the first.
  const TMainFormControl tabOrder[] = {mcDriveComboBox, mcArchiveFileNameEdit,  mcSelectButton,
                                       mcPasswordEdit,  mcShowPasswordCheckBox, mcExtractToComboBox,
                                       mcMountButton,   mcDriveComboBox};
  HWND tab = ::GetNextDlgTabItem(Window, nullptr, FALSE);
  for (TMainFormControl id : tabOrder) {
    EXPECT_EQ(::GetDlgCtrlID(tab), id);
    tab = ::GetNextDlgTabItem(Window, tab, FALSE);
  }
  // A label's accelerator moves the focus to the control it names.
  const std::pair<wchar_t, TMainFormControl> accelerators[] = {{L'a', mcArchiveFileNameEdit},
                                                               {L'p', mcPasswordEdit},
                                                               {L'e', mcExtractToComboBox},
                                                               {L'd', mcDriveComboBox}};
  for (const auto& [key, target] : accelerators) {
    ::PostMessageW(FocusIn(Window), WM_SYSCHAR, key, 1 << 29);
    Pump(milliseconds(50));
    EXPECT_EQ(::GetFocus(), C(target)) << "Alt+" << static_cast<char>(key);
  }
  // Tab moves on from the drive list to the archive name.
  PostKey(::GetFocus(), VK_TAB);
  Pump(milliseconds(50));
  EXPECT_EQ(::GetFocus(), C(mcArchiveFileNameEdit));
  EXPECT_EQ(ComboItems(C(mcExtractToComboBox)),
            (std::vector<std::wstring>{L"Temp file", L"Memory and temp file", L"Memory"}));
  EXPECT_EQ(::SendMessageW(C(mcPasswordEdit), EM_GETPASSWORDCHAR, 0, 0), 0x25CF);
  const LONG_PTR style = ::GetWindowLongPtrW(Window, GWL_STYLE);
  EXPECT_EQ(style & (WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME),
            WS_SYSMENU | WS_MINIMIZEBOX);
  for (TMainFormControl combo : {mcDriveComboBox, mcExtractToComboBox}) {
    EXPECT_EQ(::GetWindowLongPtrW(C(combo), GWL_STYLE) & 3, CBS_DROPDOWNLIST);
  }
  const LONG_PTR memo = ::GetWindowLongPtrW(C(mcMessagesMemo), GWL_STYLE);
  EXPECT_EQ(memo & (ES_MULTILINE | WS_HSCROLL | WS_VSCROLL | ES_AUTOHSCROLL),
            ES_MULTILINE | WS_HSCROLL | WS_VSCROLL | ES_AUTOHSCROLL);
  // The window cannot be sized with the mouse: it has no sizing frame, and even with one
  // its hit test answers the client area where the system would answer a sizing border.
  auto hitTests = [this](const wchar_t* what) {
    RECT frame{};
    ::GetWindowRect(Window, &frame);
    const POINT borders[] = {
        {frame.left, (frame.top + frame.bottom) / 2},        // HTLEFT
        {frame.right - 1, (frame.top + frame.bottom) / 2},   // HTRIGHT
        {(frame.left + frame.right) / 2, frame.bottom - 1},  // HTBOTTOM
        {frame.left, frame.top},                             // HTTOPLEFT
        {frame.right - 1, frame.bottom - 1},                 // HTBOTTOMRIGHT
    };
    for (const POINT& point : borders) {
      const LPARAM at = MAKELPARAM(point.x, point.y);
      const LRESULT system = ::DefWindowProcW(Window, WM_NCHITTEST, 0, at);
      const LRESULT hit = ::SendMessageW(Window, WM_NCHITTEST, 0, at);
      EXPECT_TRUE(hit < HTLEFT || hit > HTBOTTOMRIGHT) << what << ": " << hit;
      if (system >= HTLEFT && system <= HTBOTTOMRIGHT) {
        EXPECT_EQ(hit, HTCLIENT) << what << ": the system answers " << system;
      } else {
        EXPECT_EQ(hit, system) << what << ": the default answer is not kept";
      }
    }
    // Other answers are the system's: the caption stays the caption.
    const LPARAM caption =
        MAKELPARAM((frame.left + frame.right) / 2, frame.top + ::GetSystemMetrics(SM_CYFRAME) +
                                                       ::GetSystemMetrics(SM_CYCAPTION) / 2);
    EXPECT_EQ(::SendMessageW(Window, WM_NCHITTEST, 0, caption), HTCAPTION) << what;
  };
  hitTests(L"as created");
  // With a sizing frame the system answers sizing borders, which the window turns into its
  // client area; the style is put back afterwards.
  ::SetWindowLongPtrW(Window, GWL_STYLE, style | WS_THICKFRAME);
  ::SetWindowPos(Window, nullptr, 0, 0, 0, 0,
                 SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  RECT frame{};
  ::GetWindowRect(Window, &frame);
  EXPECT_EQ(::DefWindowProcW(Window, WM_NCHITTEST, 0, MAKELPARAM(frame.left, frame.top + 40)),
            HTLEFT)
      << "the system answers no sizing border, so the test shows nothing";
  hitTests(L"with a sizing frame");
  ::SetWindowLongPtrW(Window, GWL_STYLE, style);
  ::SetWindowPos(Window, nullptr, 0, 0, 0, 0,
                 SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

TEST_F(MainForm, LaysOutInUnitsOfItsFontAndFollowsAFontChange) {
  ExpectLayout(Window);
  // Centred in the primary monitor's work area.
  RECT work{};
  RECT frame{};
  ASSERT_TRUE(MonitorWorkArea(nullptr, work));
  ::GetWindowRect(Window, &frame);
  EXPECT_LE(std::abs((frame.left - work.left) - (work.right - frame.right)), 1);
  EXPECT_LE(std::abs((frame.top - work.top) - (work.bottom - frame.bottom)), 1);

  // A bigger message font, where the horizontal and the vertical unit differ; the
  // system's own is put back however the test ends.
  TMessageFontScope bigger(21);
  ASSERT_TRUE(bigger.Set());
  ::SendMessageW(Window, WM_SETTINGCHANGE, SPI_SETNONCLIENTMETRICS, 0);
  const TUnits u =
      UnitsOf(reinterpret_cast<HFONT>(::SendMessageW(C(mcDriveLabel), WM_GETFONT, 0, 0)));
  EXPECT_NE(u.DLUx(7), u.DLUy(7)) << "this font cannot tell the two units apart";
  ExpectLayout(Window);
}

// A move to a monitor of 144 dpi (150%), as the system reports it: the window takes the
// place it is given, the font of that DPI and the layout in its units; back at 96 dpi it
// is as before.
void ExpectDpiChange(HWND window) {
  HWND label = ::GetDlgItem(window, mcDriveLabel);
  const int height96 = FontHeight(label);
  RECT before{};
  ::GetWindowRect(window, &before);
  const int width = before.right - before.left;
  const int height = before.bottom - before.top;

  RECT suggested{100, 80, 100 + ::MulDiv(width, 3, 2), 80 + ::MulDiv(height, 3, 2)};
  ::SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
  EXPECT_EQ(FontHeight(label), ::MulDiv(height96, 144, 96));
  EXPECT_EQ(FontHeight(::GetDlgItem(window, mcMountButton)), 2 * ::MulDiv(height96, 144, 96));
  RECT after{};
  ::GetWindowRect(window, &after);
  EXPECT_EQ(after.left, suggested.left);
  EXPECT_EQ(after.top, suggested.top);
  // The size is the layout's at the new DPI, which is about the one suggested.
  EXPECT_NEAR(after.right - after.left, suggested.right - suggested.left, width / 10);
  EXPECT_NEAR(after.bottom - after.top, suggested.bottom - suggested.top, height / 10);
  ExpectLayout(window);

  RECT back{before.left, before.top, before.left + width, before.top + height};
  ::SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(96, 96), reinterpret_cast<LPARAM>(&back));
  EXPECT_EQ(FontHeight(label), height96);
  RECT restored{};
  ::GetWindowRect(window, &restored);
  EXPECT_EQ(restored.left, before.left);
  EXPECT_EQ(restored.top, before.top);
  EXPECT_EQ(restored.right - restored.left, width);
  EXPECT_EQ(restored.bottom - restored.top, height);
  ExpectLayout(window);
}

TEST_F(MainForm, FollowsADpiChangeToThePlaceItIsGiven) {
  ASSERT_EQ(WindowDpi(Window), 96u) << "the test display is not at 96 dpi";
  ExpectDpiChange(Window);
}

// Where the system lacks the per-monitor functions (before Windows 10 1607), the window
// starts at the system DPI and still follows a DPI change (Windows 8.1 sends it).
TEST(MainFormDpi, FallsBackWhereThePerMonitorFunctionsAreMissing) {
  const int systemHeight = MessageFontHeight();
  PretendNoPerMonitorDpiFunctions(true);
  struct TRestore {
    ~TRestore() { PretendNoPerMonitorDpiFunctions(false); }
  } restore;
  EXPECT_EQ(MessageFontHeight(144), ::MulDiv(systemHeight, 144, 96));
  EXPECT_EQ(SystemMetricForDpi(SM_CXICON, 144), ::MulDiv(::GetSystemMetrics(SM_CXICON), 144, 96));
  TMainForm form(false);
  EXPECT_EQ(WindowDpi(form.Handle()), SystemDpi());
  EXPECT_EQ(FontHeight(::GetDlgItem(form.Handle(), mcDriveLabel)), systemHeight);
  ExpectLayout(form.Handle());
  ExpectDpiChange(form.Handle());
}

// The program declares itself per-monitor DPI aware (version 2, and version 1 before
// Windows 10 1703), as Windows reads its manifest. The window tests carry the same
// manifest, so this process shows what the system made of it.
TEST(Program, DeclaresPerMonitorDpiAwareness) {
  wchar_t path[MAX_PATH] = {};
  std::wstring program(path, ::GetModuleFileNameW(nullptr, path, MAX_PATH));
  program = program.substr(0, program.find_last_of(L'\\') + 1) + L"vornmount.exe";
  ACTCTXW context{};
  context.cbSize = sizeof(context);
  context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  context.lpSource = program.c_str();
  context.lpResourceName = MAKEINTRESOURCEW(1);
  HANDLE actCtx = ::CreateActCtxW(&context);
  ASSERT_NE(actCtx, INVALID_HANDLE_VALUE) << "the program's manifest cannot be read";
  auto setting = [actCtx](const wchar_t* ns, const wchar_t* name) {
    wchar_t value[128] = {};
    SIZE_T written = 0;
    if (!::QueryActCtxSettingsW(0, actCtx, ns, name, value, 128, &written)) {
      return std::wstring(L"(none)");
    }
    return std::wstring(value);
  };
  EXPECT_EQ(setting(L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware"),
            L"true/pm");
  EXPECT_EQ(setting(L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness"),
            L"PerMonitorV2, PerMonitor");
  ::ReleaseActCtx(actCtx);

  // This process, which carries the same manifest, is per-monitor aware: version 2 where
  // the system knows it, else version 1 (Wine 8 knows only version 1).
  using TGetContext = HANDLE(WINAPI*)();
  using TAwareness = int(WINAPI*)(HANDLE);
  HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
  auto getContext = reinterpret_cast<TGetContext>(
      reinterpret_cast<void*>(::GetProcAddress(user32, "GetThreadDpiAwarenessContext")));
  auto awareness = reinterpret_cast<TAwareness>(
      reinterpret_cast<void*>(::GetProcAddress(user32, "GetAwarenessFromDpiAwarenessContext")));
  ASSERT_NE(getContext, nullptr);
  ASSERT_NE(awareness, nullptr);
  constexpr int kPerMonitorAware = 2;  // DPI_AWARENESS_PER_MONITOR_AWARE
  EXPECT_EQ(awareness(getContext()), kPerMonitorAware) << "this process is not per-monitor aware";
}

TEST(MainFormFit, ShrinksItsFontUntilItFitsTheWorkArea) {
  TMessageFontScope big(21);
  ASSERT_TRUE(big.Set());
  RECT full{};
  {
    TMainForm form(false);
    ::GetWindowRect(form.Handle(), &full);
  }
  const int fullWidth = full.right - full.left;
  const int fullHeight = full.bottom - full.top;
  TWorkAreaScope small(RECT{0, 0, fullWidth * 3 / 4, fullHeight * 3 / 4});
  ASSERT_TRUE(small.Set());
  RECT work{};
  ASSERT_TRUE(MonitorWorkArea(nullptr, work));
  ASSERT_EQ(work.right, fullWidth * 3 / 4) << "the work area could not be made smaller";
  TMainForm form(false);
  RECT frame{};
  ::GetWindowRect(form.Handle(), &frame);
  EXPECT_LE(frame.right - frame.left, work.right - work.left);
  EXPECT_LE(frame.bottom - frame.top, work.bottom - work.top);
  EXPECT_GE(frame.left, work.left);
  EXPECT_GE(frame.top, work.top);
  EXPECT_LT(FontHeight(::GetDlgItem(form.Handle(), mcDriveLabel)), 21);
  EXPECT_GE(FontHeight(::GetDlgItem(form.Handle(), mcDriveLabel)), 10);
  ExpectLayout(form.Handle());
}

TEST_F(MainForm, DriveListOffersFreeLettersAndKeepsTheChoice) {
  HWND drive = C(mcDriveComboBox);
  // Every letter in use: nothing to offer, nothing selected, and Mount does nothing.
  gDrivesInUse = kAllLetters;
  DeviceChange(DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_VOLUME);
  EXPECT_TRUE(ComboItems(drive).empty());
  ::SetWindowTextW(C(mcArchiveFileNameEdit), L"whatever.7z");
  ::SendMessageW(C(mcMountButton), BM_CLICK, 0, 0);
  EXPECT_FALSE(::IsWindowEnabled(C(mcUnmountButton)));

  // A, C and D in use, the list empty before: B: and E: to Z:, E: selected.
  gDrivesInUse = Letters({L'A', L'C', L'D'});
  DeviceChange(DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME);
  std::vector<std::wstring> expected{L"B:"};
  for (wchar_t letter = L'E'; letter <= L'Z'; ++letter) {
    expected.push_back(std::wstring{letter, L':'});
  }
  EXPECT_EQ(ComboItems(drive), expected);
  EXPECT_EQ(SelectedDrive(), L"E:");

  // Only A and B free: A: is selected.
  gDrivesInUse = kAllLetters & ~Letters({L'A', L'B'});
  DeviceChange(DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME);
  EXPECT_EQ(ComboItems(drive), (std::vector<std::wstring>{L"A:", L"B:"}));
  EXPECT_EQ(SelectedDrive(), L"A:");

  // K: chosen, then a volume arrives at G:: K: stays selected and G: is gone.
  gDrivesInUse = Letters({L'C'});
  DeviceChange(DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME);
  ChooseDrive(L"K:");
  gDrivesInUse = Letters({L'C', L'G'});
  DeviceChange(DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME);
  EXPECT_EQ(SelectedDrive(), L"K:");
  EXPECT_EQ(ComboItems(drive).size(), 24u);

  // Other devices, and any device while a mount runs, leave the list alone.
  gDrivesInUse = Letters({L'C', L'G', L'H'});
  DeviceChange(DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT);
  EXPECT_EQ(ComboItems(drive).size(), 24u);
  Form->SourceOpening();
  DeviceChange(DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME);
  EXPECT_EQ(ComboItems(drive).size(), 24u);
  // A mounted letter stays offered and selected although it is in use.
  gDrivesInUse = Letters({L'C', L'G', L'H', L'K'});
  Form->SourceMounted(u"K:\\");
  EXPECT_EQ(SelectedDrive(), L"K:");
  EXPECT_EQ(ComboItems(drive).size(), 23u);
  Form->SourceStopped(u"");
  EXPECT_EQ(SelectedDrive(), L"D:");
}

TEST_F(MainForm, EmptyNameWarnsWithTheProgramNameAndMountsNothing) {
  for (const wchar_t* name : {L"", L"  \t "}) {
    ::SetWindowTextW(C(mcArchiveFileNameEdit), name);
    std::wstring caption;
    std::wstring copied;
    // Enter in the password box is Mount.
    const std::size_t steps = KeyWithBox(C(mcPasswordEdit), VK_RETURN,
                                         CopyBoxAndClose(caption, copied, [](HWND box) {
                                           PostKey(FocusIn(box), VK_ESCAPE);
                                           return true;
                                         }));
    EXPECT_EQ(steps, 3u);
    EXPECT_EQ(caption, ProgramName());
    EXPECT_EQ(copied, OkBoxText(ProgramName(), L"Please enter archive name."));
    EXPECT_EQ(::GetFocus(), C(mcArchiveFileNameEdit));
    EXPECT_EQ(TextOf(Window), L"Vornmount");
    EXPECT_FALSE(::IsWindowEnabled(C(mcUnmountButton))) << "a mount was started";
  }
  // Esc while stopped does nothing.
  PostKey(C(mcArchiveFileNameEdit), VK_ESCAPE);
  Pump(milliseconds(100));
  EXPECT_TRUE(::IsWindow(Window));
  EXPECT_TRUE(InputsEnabled());
}

TEST_F(MainForm, TakesOneDroppedFileAndACancelledDialogChangesNothing) {
  HWND edit = C(mcArchiveFileNameEdit);
  const std::wstring first = W(FixturePath("plain.7z"));
  DropFiles(Window, {first});
  Pump(milliseconds(100));
  EXPECT_EQ(TextOf(edit), first);
  DropFiles(Window, {W(FixturePath("solid.7z")), W(FixturePath("names.7z"))});
  Pump(milliseconds(100));
  EXPECT_EQ(TextOf(edit), first);
  EXPECT_FALSE(::IsWindowEnabled(C(mcUnmountButton))) << "a drop mounted";

  const std::size_t steps = WhileModal(L"#32770", {[](HWND dialog) {
                                         ::PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
                                         return true;
                                       }},
                                       [&] { ::SendMessageW(C(mcSelectButton), BM_CLICK, 0, 0); });
  EXPECT_EQ(steps, 1u) << "no file dialog came up";
  EXPECT_EQ(TextOf(edit), first);

  // Show password unmasks the box; unchecking masks it again.
  ::SendMessageW(C(mcShowPasswordCheckBox), BM_CLICK, 0, 0);
  EXPECT_EQ(::SendMessageW(C(mcPasswordEdit), EM_GETPASSWORDCHAR, 0, 0), 0);
  ::SendMessageW(C(mcShowPasswordCheckBox), BM_CLICK, 0, 0);
  EXPECT_EQ(::SendMessageW(C(mcPasswordEdit), EM_GETPASSWORDCHAR, 0, 0), 0x25CF);
}

TEST_F(MainForm, ShowsProgressAndListsEachMessageOnce) {
  Form->SourceOpening();
  EXPECT_TRUE(OwnVisible(C(mcStatusLabel)));
  EXPECT_EQ(TextOf(C(mcStatusLabel)), L"Opening archive...");
  Form->SourceMounted(u"K:\\");
  EXPECT_EQ(TextOf(Window), L"K:\\ - Vornmount");
  EXPECT_FALSE(OwnVisible(C(mcStatusLabel)));
  RECT client{};
  ::GetClientRect(Window, &client);
  const int stoppedHeight = client.bottom;

  Form->SourceProgress(true, 1, 3);
  EXPECT_EQ(TextOf(C(mcStatusLabel)), L"Data extraction...");
  EXPECT_TRUE(OwnVisible(C(mcStatusLabel)));
  EXPECT_TRUE(OwnVisible(C(mcProgressBar)));
  EXPECT_EQ(::SendMessageW(C(mcProgressBar), PBM_GETPOS, 0, 0), 333);
  EXPECT_EQ(::SendMessageW(C(mcProgressBar), PBM_GETRANGE, FALSE, 0), 1000);
  EXPECT_TRUE(Form->TaskbarMgr().Active());
  EXPECT_EQ(Form->TaskbarMgr().ProgressValue(), 333u);
  EXPECT_EQ(Form->TaskbarMgr().ProgressValueMax(), 1000u);
  EXPECT_EQ(Form->TaskbarMgr().ProgressState(), TBPF_NORMAL);
  // Rounded to the nearest step, not cut: 2 of 3 is 666.67, shown as 667.
  Form->SourceProgress(true, 2, 3);
  EXPECT_EQ(::SendMessageW(C(mcProgressBar), PBM_GETPOS, 0, 0), 667);
  EXPECT_EQ(Form->TaskbarMgr().ProgressValue(), 667u);
  // The status area below the buttons, the window grown to hold it.
  const TUnits u =
      UnitsOf(reinterpret_cast<HFONT>(::SendMessageW(C(mcDriveLabel), WM_GETFONT, 0, 0)));
  const RECT label = ChildRect(C(mcStatusLabel));
  const RECT bar = ChildRect(C(mcProgressBar));
  ::GetClientRect(Window, &client);
  EXPECT_EQ(label.left, 0);
  EXPECT_EQ(label.right, client.right);
  EXPECT_EQ(label.top, ChildRect(C(mcMountButton)).bottom + u.DLUx(7));
  EXPECT_EQ(bar.top, label.bottom + u.DLUx(3));
  EXPECT_EQ(bar.bottom - bar.top, u.DLUy(8));
  EXPECT_EQ(client.bottom, bar.bottom + u.DLUy(7));
  // Large amounts are unsigned 64-bit values.
  Form->SourceProgress(true, 0xFFFFFFFFFFFFFFFFull / 2, 0xFFFFFFFFFFFFFFFFull);
  EXPECT_EQ(::SendMessageW(C(mcProgressBar), PBM_GETPOS, 0, 0), 500);

  // No total, or not active: the progress goes from the window and the taskbar.
  Form->SourceProgress(true, 5, 0);
  EXPECT_FALSE(OwnVisible(C(mcProgressBar)));
  EXPECT_FALSE(Form->TaskbarMgr().Active());
  ::GetClientRect(Window, &client);
  EXPECT_EQ(client.bottom, stoppedHeight);

  Form->SourceMessage(u"Data error: Docs\\Read me.txt");
  Form->SourceMessage(u"DATA ERROR: docs\\READ ME.TXT");
  Form->SourceMessage(u"Data error: other.bin");
  Form->SourceMessage(u"data error: Other.BIN");
  EXPECT_TRUE(OwnVisible(C(mcMessagesMemo)));
  Pump(milliseconds(50));  // the lines of one turn of the message loop come at the next
  EXPECT_EQ(TextOf(C(mcMessagesMemo)), L"Data error: Docs\\Read me.txt\r\nData error: other.bin");
  const RECT memo = ChildRect(C(mcMessagesMemo));
  ::GetClientRect(Window, &client);
  EXPECT_EQ(memo.top, ChildRect(C(mcMountButton)).bottom + u.DLUx(7));
  EXPECT_EQ(client.bottom, memo.bottom + u.DLUy(7));

  // A mount that ends during an extraction leaves no progress on the taskbar.
  Form->SourceProgress(true, 2, 3);
  EXPECT_TRUE(Form->TaskbarMgr().Active());
  Form->SourceStopped(u"");
  EXPECT_FALSE(Form->TaskbarMgr().Active());
  EXPECT_EQ(TextOf(Window), L"Vornmount");
  for (TMainFormControl id : {mcStatusLabel, mcProgressBar, mcMessagesMemo}) {
    EXPECT_FALSE(OwnVisible(C(id))) << id;
  }
}

TEST_F(MainForm, ListsThousandsOfMessagesInFullAndInOrder) {
  Form->SourceOpening();
  Form->SourceMounted(u"K:\\");
  // 3,000 distinct lines of 70 characters, some 210,000 characters in all: far beyond the
  // 30,000 an edit control holds by default. Every tenth is reported again in other case.
  constexpr int kLines = 3000;
  auto lineText = [](int i) {
    wchar_t number[16];
    std::swprintf(number, 16, L"%05d", i);
    std::wstring line = std::wstring(L"Data error: photos 2024\\beach\\IMG_") + number + L".jpg";
    line.resize(70, L'x');
    return line;
  };
  auto upper = [](std::wstring text) {
    for (wchar_t& c : text) {
      c = static_cast<wchar_t>(std::towupper(c));
    }
    return text;
  };
  std::wstring expected;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kLines; ++i) {
    const std::wstring line = lineText(i);
    Form->SourceMessage(UString(AsU16(line.c_str())));
    if (i % 10 == 9) {
      Form->SourceMessage(UString(AsU16(upper(lineText(i - 5)).c_str())));
    }
    expected += (i == 0 ? L"" : L"\r\n") + line;
  }
  const auto took = std::chrono::steady_clock::now() - start;
  Pump(milliseconds(100));  // the lines of one turn of the message loop come at the next
  const std::wstring listed = TextOf(C(mcMessagesMemo));
  EXPECT_EQ(listed.size(), expected.size());
  EXPECT_TRUE(listed == expected) << "the list is not every line once, in order";
  EXPECT_EQ(::SendMessageW(C(mcMessagesMemo), EM_GETLINECOUNT, 0, 0), kLines);
  // The check for a repeated line does not read the whole list each time.
  EXPECT_LT(std::chrono::duration_cast<milliseconds>(took).count(), 5000)
      << "listing " << kLines << " lines took too long";

  // The next Mount empties the list and forgets its lines: a line listed before is new.
  ChooseDrive(L"K:");
  ::SetWindowTextW(C(mcArchiveFileNameEdit), AsWChar(FixturePath("plain.7z")));
  Form->SourceStopped(u"");
  ::SendMessageW(C(mcMountButton), BM_CLICK, 0, 0);
  EXPECT_EQ(TextOf(C(mcMessagesMemo)), L"");
  Form->SourceMessage(UString(AsU16(lineText(7).c_str())));
  Form->SourceMessage(UString(AsU16(upper(lineText(7)).c_str())));
  Pump(milliseconds(50));
  EXPECT_EQ(TextOf(C(mcMessagesMemo)), lineText(7));
  ::SendMessageW(C(mcUnmountButton), BM_CLICK, 0, 0);
}

// ---------------------------------------------------------------------------------------
// Whole mounts: the real 7-Zip library and the stand-in dokan2.dll.

TEST_F(MainForm, MountsAGeneratedArchiveAndUnmountsWithEsc) {
  auto findMount = StandinExport<TStandinFindMount>("StandinFindMount");
  ASSERT_NE(findMount, nullptr) << "the stand-in dokan2.dll is not loaded";
  ChooseDrive(L"K:");
  ::SetWindowTextW(C(mcArchiveFileNameEdit), AsWChar(FixturePath("plain.7z")));
  ::SetWindowTextW(C(mcMessagesMemo), L"left over");
  ::SendMessageW(C(mcMountButton), BM_CLICK, 0, 0);
  // The library takes the letter.
  gDrivesInUse = Letters({L'C', L'K', L'Z'});
  EXPECT_TRUE(InputsDisabled());
  EXPECT_TRUE(::IsWindowEnabled(C(mcUnmountButton)));
  EXPECT_TRUE(OwnVisible(C(mcStatusLabel)));
  EXPECT_EQ(TextOf(C(mcStatusLabel)), L"Opening archive...");
  EXPECT_EQ(TextOf(C(mcMessagesMemo)), L"");

  ASSERT_TRUE(Until([this] { return TextOf(Window) == L"K:\\ - Vornmount"; }))
      << "caption: " << TextOf(Window);
  EXPECT_NE(findMount(L"K:\\", nullptr), nullptr);
  EXPECT_EQ(SelectedDrive(), L"K:");
  EXPECT_FALSE(OwnVisible(C(mcStatusLabel)));
  EXPECT_TRUE(InputsDisabled());
  // Dropping is refused while mounted.
  EXPECT_EQ(::GetWindowLongPtrW(Window, GWL_EXSTYLE) & WS_EX_ACCEPTFILES, 0);
  Pump(milliseconds(1200));  // running: polls go on without a change
  EXPECT_EQ(TextOf(Window), L"K:\\ - Vornmount");

  // Esc, pressed where the keyboard focus is (Mount had it and is disabled now), is
  // Unmount; the letter is free again and chosen again, and no box comes up.
  gDrivesInUse = Letters({L'C', L'Z'});
  bool pressed = false;
  const std::size_t boxes = WhileModal(kMessageBoxClassName, {[](HWND box) {
                                         PostKey(FocusIn(box), VK_RETURN);
                                         return true;
                                       }},
                                       [&] {
                                         pressed = PressKey(VK_ESCAPE);
                                         Until([this] { return TextOf(Window) == L"Vornmount"; });
                                         Pump(milliseconds(300));
                                       });
  EXPECT_TRUE(pressed) << "no window has the keyboard focus";
  EXPECT_EQ(boxes, 0u) << "an error box came up on Unmount";
  EXPECT_EQ(TextOf(Window), L"Vornmount") << "Esc did not unmount";
  EXPECT_EQ(findMount(L"K:\\", nullptr), nullptr);
  EXPECT_TRUE(InputsEnabled());
  EXPECT_FALSE(::IsWindowEnabled(C(mcUnmountButton)));
  EXPECT_EQ(SelectedDrive(), L"K:");
  EXPECT_NE(::GetWindowLongPtrW(Window, GWL_EXSTYLE) & WS_EX_ACCEPTFILES, 0);
}

// The keyboard as a user drives it, each key sent where the focus is: the focus moves on
// from a control that Mount or Unmount disables, so that Esc and Enter keep working.
TEST_F(MainForm, KeysKeepWorkingAcrossMountAndUnmount) {
  auto findMount = StandinExport<TStandinFindMount>("StandinFindMount");
  ASSERT_NE(findMount, nullptr);
  auto mounted = [this] { return TextOf(Window) == L"N:\\ - Vornmount"; };
  auto stopped = [this] { return TextOf(Window) == L"Vornmount"; };
  auto focused = [this](HWND control) {
    return Until([control] { return ::GetFocus() == control; }, milliseconds(500));
  };
  ChooseDrive(L"N:");
  ::SetWindowTextW(C(mcArchiveFileNameEdit), AsWChar(FixturePath("plain.7z")));
  ::SetFocus(C(mcArchiveFileNameEdit));

  // Enter in the archive name is Mount; the inputs are disabled, and the focus is on
  // Unmount, where Esc finds it.
  ASSERT_TRUE(PressKey(VK_RETURN));
  ASSERT_TRUE(Until([this] { return ::IsWindowEnabled(C(mcUnmountButton)) != FALSE; }));
  EXPECT_EQ(::GetFocus(), C(mcUnmountButton));
  ASSERT_TRUE(Until(mounted)) << "caption: " << TextOf(Window);
  EXPECT_EQ(::GetFocus(), C(mcUnmountButton));
  ASSERT_TRUE(PressKey(VK_ESCAPE)) << "no window has the focus after Mount";
  ASSERT_TRUE(Until(stopped)) << "Esc did not unmount";
  EXPECT_EQ(findMount(L"N:\\", nullptr), nullptr);

  // Stopped again: the focus is on Mount, Tab moves on from there, and Enter mounts.
  EXPECT_EQ(::GetFocus(), C(mcMountButton));
  ASSERT_TRUE(PressKey(VK_TAB)) << "no window has the focus after Unmount";
  EXPECT_TRUE(focused(C(mcDriveComboBox))) << "Tab from Mount";
  ASSERT_TRUE(PressKey(VK_RETURN));
  ASSERT_TRUE(Until(mounted)) << "Enter did not mount again";
  EXPECT_EQ(::GetFocus(), C(mcUnmountButton));

  // Esc in the list of messages is Unmount too, and the window stays.
  Form->SourceMessage(u"Data error: a.txt");
  ASSERT_TRUE(PressKey(VK_TAB));
  ASSERT_TRUE(focused(C(mcMessagesMemo))) << "Tab from Unmount";
  // Enter there names the default button, Mount, which is disabled: the focus stays.
  ASSERT_TRUE(PressKey(VK_RETURN));
  Pump(milliseconds(100));
  EXPECT_EQ(::GetFocus(), C(mcMessagesMemo)) << "Enter in the messages lost the focus";
  EXPECT_EQ(TextOf(C(mcMessagesMemo)), L"Data error: a.txt");
  ASSERT_TRUE(PressKey(VK_ESCAPE));
  EXPECT_TRUE(Until(stopped)) << "Esc in the messages did not unmount";
  Pump(milliseconds(200));
  ASSERT_TRUE(::IsWindow(Window)) << "Esc in the messages closed the window";
  EXPECT_FALSE(OwnVisible(C(mcMessagesMemo)));
  EXPECT_EQ(::GetFocus(), C(mcMountButton));
  // Esc while stopped does nothing.
  ASSERT_TRUE(PressKey(VK_ESCAPE));
  Pump(milliseconds(100));
  EXPECT_TRUE(::IsWindow(Window));
  EXPECT_TRUE(InputsEnabled());
}

// Reads the head of a file of the stand-in's mount at MountPoint as another program
// would; whether the read succeeded.
bool ReadThroughStandin(const wchar_t* mountPoint, const wchar_t* path) {
  auto findMount = StandinExport<TStandinFindMount>("StandinFindMount");
  PDOKAN_OPTIONS options = nullptr;
  PDOKAN_OPERATIONS operations = findMount != nullptr ? findMount(mountPoint, &options) : nullptr;
  if (operations == nullptr) {
    return false;
  }
  DOKAN_FILE_INFO info{};
  info.DokanOptions = options;
  info.ProcessId = ::GetCurrentProcessId();
  if (operations->ZwCreateFile(path, nullptr, FILE_GENERIC_READ, 0, FILE_SHARE_READ, FILE_OPEN, 0,
                               &info) != STATUS_SUCCESS) {
    return false;
  }
  char buffer[4096];
  DWORD done = 0;
  const bool read =
      operations->ReadFile(path, buffer, sizeof buffer, &done, 0, &info) == STATUS_SUCCESS;
  operations->CloseFile(path, &info);
  return read;
}

TEST_F(MainForm, ListsFailedReadsOfTheMountedArchiveOnce) {
  ChooseDrive(L"L:");
  ::SetWindowTextW(C(mcArchiveFileNameEdit), AsWChar(FixturePath("damaged.7z")));
  ::SendMessageW(C(mcMountButton), BM_CLICK, 0, 0);
  ASSERT_TRUE(Until([this] { return TextOf(Window) == L"L:\\ - Vornmount"; }));
  RECT client{};
  ::GetClientRect(Window, &client);
  const int mountedHeight = client.bottom;
  // The damaged first block: each of its files fails, the first one twice, the second
  // time named in other case; each is listed once, named as first asked for.
  EXPECT_FALSE(ReadThroughStandin(L"L:\\", L"\\s\\f1.txt"));
  EXPECT_FALSE(ReadThroughStandin(L"L:\\", L"\\S\\F1.TXT"));
  EXPECT_FALSE(ReadThroughStandin(L"L:\\", L"\\s\\f2.txt"));
  EXPECT_TRUE(ReadThroughStandin(L"L:\\", L"\\s\\f4.txt"));
  const std::wstring expected = L"Data error: s\\f1.txt\r\nData error: s\\f2.txt";
  EXPECT_TRUE(Until([this, &expected] { return TextOf(C(mcMessagesMemo)) == expected; }))
      << "messages: " << ToUtf8(UString(AsU16(TextOf(C(mcMessagesMemo)).c_str())));
  EXPECT_TRUE(OwnVisible(C(mcMessagesMemo)));
  ::GetClientRect(Window, &client);
  EXPECT_GT(client.bottom, mountedHeight);
  ::SendMessageW(C(mcUnmountButton), BM_CLICK, 0, 0);
  EXPECT_FALSE(OwnVisible(C(mcMessagesMemo)));
}

TEST_F(MainForm, FailedMountsEndInTheErrorBox) {
  auto setMainResult = StandinExport<TStandinSetMainResult>("StandinSetMainResult");
  ASSERT_NE(setMainResult, nullptr);
  struct TCase {
    std::string Fixture;
    int MainResult;
    std::wstring Content;
  };
  const TCase cases[] = {
      {"text.txt", 0, L"Cannot open file '" + W(FixturePath("text.txt")) + L"' as archive"},
      {"plain.7z", -5, L"Can't assign a drive letter or mount point"},
  };
  for (const TCase& c : cases) {
    ::SetWindowTextW(C(mcArchiveFileNameEdit), AsWChar(FixturePath(c.Fixture)));
    setMainResult(c.MainResult);
    std::wstring caption;
    const std::wstring copied = MountIntoErrorBox(caption);
    setMainResult(0);
    EXPECT_EQ(caption, L"Error") << c.Fixture;
    EXPECT_EQ(copied, OkBoxText(L"Error", c.Content)) << c.Fixture;
    // Back in the stopped look, ready for the next try, the keys on Mount again.
    EXPECT_EQ(TextOf(Window), L"Vornmount");
    EXPECT_TRUE(InputsEnabled());
    EXPECT_FALSE(::IsWindowEnabled(C(mcUnmountButton)));
    EXPECT_TRUE(Until([this] { return ::GetFocus() == C(mcMountButton); }, seconds(2)))
        << "focus: " << ::GetDlgCtrlID(::GetFocus());
  }
}

TEST_F(MainForm, UnmountButtonAndClosingWhileMountedRemoveTheDrive) {
  auto findMount = StandinExport<TStandinFindMount>("StandinFindMount");
  ASSERT_NE(findMount, nullptr);
  ChooseDrive(L"M:");
  ::SetWindowTextW(C(mcArchiveFileNameEdit), AsWChar(FixturePath("solid.7z")));
  // Unmount by its button, mount again, then close.
  ::SendMessageW(C(mcMountButton), BM_CLICK, 0, 0);
  ASSERT_TRUE(Until([this] { return TextOf(Window) == L"M:\\ - Vornmount"; }));
  ::SendMessageW(C(mcUnmountButton), BM_CLICK, 0, 0);
  EXPECT_EQ(TextOf(Window), L"Vornmount");
  EXPECT_EQ(findMount(L"M:\\", nullptr), nullptr);
  EXPECT_TRUE(InputsEnabled());
  ::SendMessageW(C(mcMountButton), BM_CLICK, 0, 0);
  ASSERT_TRUE(Until([this] { return TextOf(Window) == L"M:\\ - Vornmount"; }));
  ::PostMessageW(Window, WM_CLOSE, 0, 0);
  EXPECT_TRUE(Until([this] { return !::IsWindow(Window); }, seconds(20)));
  EXPECT_EQ(findMount(L"M:\\", nullptr), nullptr);
}

// The program itself, started as a second process and driven from here.
TEST(Program, StartsMountsAndEndsWhenClosed) {
  wchar_t path[MAX_PATH] = {};
  std::wstring program(path, ::GetModuleFileNameW(nullptr, path, MAX_PATH));
  program = program.substr(0, program.find_last_of(L'\\') + 1) + L"vornmount.exe";
  // Version 1.0.0.0, and a manifest that asks for common controls 6 and asInvoker.
  DWORD handle = 0;
  std::vector<BYTE> version(::GetFileVersionInfoSizeW(program.c_str(), &handle));
  ASSERT_FALSE(version.empty());
  ASSERT_TRUE(::GetFileVersionInfoW(program.c_str(), 0, static_cast<DWORD>(version.size()),
                                    version.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  ASSERT_TRUE(
      ::VerQueryValueW(version.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
  HMODULE image = ::LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(image, nullptr);
  HRSRC manifest = ::FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(manifest, nullptr);
  const std::string text(static_cast<const char*>(::LockResource(::LoadResource(image, manifest))),
                         ::SizeofResource(image, manifest));
  ::FreeLibrary(image);
  EXPECT_NE(text.find("Microsoft.Windows.Common-Controls"), std::string::npos);
  EXPECT_NE(text.find("version=\"6.0.0.0\""), std::string::npos);
  EXPECT_NE(text.find("level=\"asInvoker\""), std::string::npos);

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  std::wstring commandLine = L"\"" + program + L"\"";
  ASSERT_TRUE(::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                               nullptr, nullptr, &startup, &process));
  struct TFind {
    DWORD ProcessId;
    HWND Window;
  } find{process.dwProcessId, nullptr};
  auto findWindow = [&find] {
    ::EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
          auto* f = reinterpret_cast<TFind*>(param);
          DWORD owner = 0;
          ::GetWindowThreadProcessId(window, &owner);
          wchar_t name[64] = {};
          ::GetClassNameW(window, name, 64);
          if (owner == f->ProcessId && std::wstring(name) == kMainFormClassName &&
              ::IsWindowVisible(window)) {
            f->Window = window;
            return FALSE;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&find));
    return find.Window != nullptr;
  };
  ASSERT_TRUE(PumpUntil(findWindow, seconds(30))) << "the program showed no window";
  HWND window = find.Window;
  EXPECT_EQ(TextOf(window), L"Vornmount");

  HWND drive = ::GetDlgItem(window, mcDriveComboBox);
  const std::wstring letter = TextOf(drive);
  ASSERT_EQ(letter.size(), 2u) << "no free drive letter offered";
  const std::wstring archive = W(FixturePath("names.7z"));
  ::SendMessageW(::GetDlgItem(window, mcArchiveFileNameEdit), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(archive.c_str()));
  ::PostMessageW(::GetDlgItem(window, mcMountButton), BM_CLICK, 0, 0);
  const std::wstring mounted = letter + L"\\ - Vornmount";
  EXPECT_TRUE(PumpUntil([&] { return TextOf(window) == mounted; }, seconds(30)))
      << "caption: " << TextOf(window);

  ::PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(::WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
  DWORD exitCode = 1;
  ::GetExitCodeProcess(process.hProcess, &exitCode);
  EXPECT_EQ(exitCode, 0u);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
}

// Pictures of the window and its error box for a person to look at; run by
// tests/app/screenshots.sh, which takes them from outside.
TEST_F(MainForm, Screenshots) {
  ASSERT_TRUE(ScreenshotsWanted()) << "run through tests/app/screenshots.sh";
  ::SetWindowTextW(C(mcArchiveFileNameEdit), L"C:\\Users\\Public\\Documents\\photos 2024.7z");
  ::SetForegroundWindow(Window);
  EXPECT_TRUE(TakeScreenshot("main-stopped"));
  Form->SourceOpening();
  EXPECT_TRUE(TakeScreenshot("main-opening"));
  Form->SourceMounted(u"K:\\");
  Form->SourceRunning();
  Form->SourceMessage(u"Data error: photos 2024\\beach\\IMG_0412.jpg");
  Form->SourceMessage(u"Data error: photos 2024\\notes.txt");
  Form->SourceProgress(true, 1, 3);
  EXPECT_TRUE(TakeScreenshot("main-mounted"));
  bool shot = false;
  WhileModal(kMessageBoxClassName,
             {[&shot](HWND) {
                shot = TakeScreenshot("error-box");
                return true;
              },
              [](HWND box) {
                PostKey(FocusIn(box), VK_RETURN);
                return true;
              }},
             [&] {
               Form->SourceStopped(
                   u"Cannot open file 'C:\\Users\\Public\\Documents\\photos "
                   u"2024.7z' as archive:\r\n\r\nWrong password?");
             });
  EXPECT_TRUE(shot);
}
