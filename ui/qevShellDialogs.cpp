// The task-dialog-like message box.
#include "ui/qevShellDialogs.h"

#include <oleidl.h>
#include <shellapi.h>
#include <uxtheme.h>

#include <algorithm>
#include <cstring>

namespace {

// Parts and properties of the TASKDIALOG theme class.
constexpr int kPartPrimaryPanel = 1;
constexpr int kPartMainInstruction = 2;
constexpr int kPartFootnotePane = 15;
constexpr int kPartFootnoteSeparator = 17;
constexpr int kPropFont = 210;
constexpr int kPropTextColor = 3803;

// The first control ID of the buttons; button I has kFirstButtonId + I.
constexpr int kFirstButtonId = 100;
constexpr int kVerificationId = 99;

// A standard button: its user32 string, fallback caption and result.
struct TButtonText {
  UINT FStringId;
  const wchar_t* FFallback;
  int FResult;
};
constexpr TButtonText kButtonTexts[] = {
    {800, L"OK", IDOK},        {801, L"Cancel", IDCANCEL},   {802, L"&Abort", IDABORT},
    {803, L"&Retry", IDRETRY}, {804, L"&Ignore", IDIGNORE},  {805, L"&Yes", IDYES},
    {806, L"&No", IDNO},       {808, L"&Help", kHelpResult}, {13602, L"&Skip", IDIGNORE},
};

// A string of Module's string table; empty when it cannot be loaded.
std::wstring LoadModuleString(HMODULE module, UINT id) {
  if (module == nullptr) {
    return {};
  }
  const wchar_t* text = nullptr;
  int length = ::LoadStringW(module, id, reinterpret_cast<LPWSTR>(&text), 0);
  return length > 0 && text != nullptr ? std::wstring(text, static_cast<std::size_t>(length))
                                       : std::wstring();
}

// The program file's name, with extension, without folder.
std::wstring ProgramFileName() {
  wchar_t path[MAX_PATH] = {};
  DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring name(path, length);
  std::size_t slash = name.find_last_of(L"\\/");
  return slash == std::wstring::npos ? name : name.substr(slash + 1);
}

// How the box lays out its texts, one flag set for measuring and drawing alike: "&" as
// typed, tabs expanded to tab stops, lines broken as an edit control breaks them.
constexpr UINT kTextFormat = DT_NOPREFIX | DT_EXPANDTABS | DT_EDITCONTROL;
constexpr UINT kWrappedFormat = kTextFormat | DT_WORDBREAK;

// The size of Text in Font as the box draws it: each line on one line (Width 0), or
// word-wrapped within Width.
SIZE MeasureBoxText(HFONT font, const std::wstring& text, int width) {
  HDC dc = ::GetDC(nullptr);
  HGDIOBJ old = ::SelectObject(dc, font);
  RECT rect{0, 0, width, 0};
  ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rect,
              DT_CALCRECT | (width > 0 ? kWrappedFormat : kTextFormat));
  ::SelectObject(dc, old);
  ::ReleaseDC(nullptr, dc);
  return SIZE{rect.right - rect.left, rect.bottom - rect.top};
}

// Draws Text word-wrapped into Rect, as MeasureBoxText measured it.
void DrawWrapped(HDC dc, HFONT font, COLORREF color, const std::wstring& text, RECT rect) {
  HGDIOBJ old = ::SelectObject(dc, font);
  ::SetTextColor(dc, color);
  ::SetBkMode(dc, TRANSPARENT);
  ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rect, kWrappedFormat);
  ::SelectObject(dc, old);
}

void FillColor(HDC dc, const RECT& rect, int colorIndex) {
  ::FillRect(dc, &rect, ::GetSysColorBrush(colorIndex));
}

// The icon of each kind: the stock shell icon and the classic system icon.
struct TIconSource {
  SHSTOCKICONID FStock;
  LPCWSTR FClassic;
};
const TIconSource kIconSources[] = {
    {SIID_ERROR, IDI_HAND},
    {SIID_HELP, IDI_QUESTION},
    {SIID_WARNING, IDI_EXCLAMATION},
    {SIID_INFO, IDI_ASTERISK},
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Buttons.

TqevShellButton& TqevShellButtonList::Add(const std::wstring& caption,
                                          int result,
                                          bool isDefault,
                                          bool isCancel,
                                          std::uint64_t tag) {
  FItems.push_back(TqevShellButton{this, caption, result, isDefault, isCancel, tag});
  return FItems.back();
}

TqevShellButton& TqevShellButtonList::Add(TqevShellButtonKind kind, bool isDefault, bool isCancel) {
  return Add(SystemCaption(kind), kButtonTexts[kind].FResult, isDefault, isCancel);
}

void TqevShellButtonList::AddSet(unsigned buttonSet, unsigned defaultIndex) {
  auto isDefault = [defaultIndex](unsigned index) { return defaultIndex == index; };
  switch (buttonSet) {
    case MB_OK:
      Add(sbOK, true, true);
      break;
    case MB_OKCANCEL:
      Add(sbOK, isDefault(0), false);
      Add(sbCancel, isDefault(1), true);
      break;
    case MB_ABORTRETRYIGNORE:
      Add(sbAbort, isDefault(0), false);
      Add(sbRetry, isDefault(1), false);
      Add(sbIgnore, isDefault(2), false);
      break;
    case MB_YESNOCANCEL:
      Add(sbYes, isDefault(0), false);
      Add(sbNo, isDefault(1), false);
      Add(sbCancel, isDefault(2), true);
      break;
    case MB_YESNO:
      Add(sbYes, isDefault(0), false);
      Add(sbNo, isDefault(1), false);
      break;
    case MB_RETRYCANCEL:
      Add(sbRetry, isDefault(0), false);
      Add(sbCancel, isDefault(1), true);
      break;
    case 6:  // this library's own: Skip, Cancel
      Add(sbSkip, isDefault(0), false);
      Add(sbCancel, isDefault(1), true);
      break;
    case 7:  // this library's own: Retry, Skip, Cancel
      Add(sbRetry, isDefault(0), false);
      Add(sbSkip, isDefault(1), false);
      Add(sbCancel, isDefault(2), true);
      break;
    default:
      break;
  }
}

std::wstring TqevShellButtonList::SystemCaption(TqevShellButtonKind kind) {
  const TButtonText& text = kButtonTexts[kind];
  std::wstring caption;
  if (kind == sbSkip) {
    // Skip is worded by the shell, on every system this program runs on (version 6 on).
    caption = LoadModuleString(::GetModuleHandleW(L"shell32.dll"), text.FStringId);
  } else {
    if (FUser32 == nullptr) {
      FUser32 = ::GetModuleHandleW(L"user32.dll");
    }
    caption = LoadModuleString(FUser32, text.FStringId);
  }
  return caption.empty() ? std::wstring(text.FFallback) : caption;
}

TqevShellDialogButton::TqevShellDialogButton(const TqevShellButton& description,
                                             HWND parent,
                                             int id,
                                             HFONT font)
    : FDescription(description),
      FHandle(::CreateWindowExW(0,
                                L"BUTTON",
                                description.FCaption.c_str(),
                                WS_CHILD | WS_VISIBLE | WS_TABSTOP |
                                    (description.FDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON),
                                0,
                                0,
                                0,
                                0,
                                parent,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                ::GetModuleHandleW(nullptr),
                                nullptr)) {
  ::SendMessageW(FHandle, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
}

// ---------------------------------------------------------------------------------------
// The box.

TqevShellMessageBoxForm::TqevShellMessageBoxForm(HWND owner,
                                                 const std::wstring& caption,
                                                 const std::wstring& mainInstruction,
                                                 const std::wstring& content,
                                                 const std::wstring& verificationText,
                                                 TIconKind icon,
                                                 const TqevShellButtonList& buttons)
    : FOwner(owner),
      FCaption(caption.empty() ? ProgramFileName() : caption),
      FMainInstruction(mainInstruction),
      FContent(SplitBlocks(content)),
      FVerificationText(verificationText),
      FIconKind(icon),
      FButtonDescriptions(buttons.Items()),
      FMainColor(::GetSysColor(COLOR_WINDOWTEXT)) {
  static const ATOM windowClass = [] {
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof(cls);
    cls.style = CS_HREDRAW | CS_VREDRAW;
    cls.lpfnWndProc = &TqevShellMessageBoxForm::WindowProc;
    cls.hInstance = ::GetModuleHandleW(nullptr);
    cls.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    cls.lpszClassName = kMessageBoxClassName;
    return ::RegisterClassExW(&cls);
  }();
  (void)windowClass;
  FHandle = ::CreateWindowExW(
      WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, kMessageBoxClassName, FCaption.c_str(),
      WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT, 100, 100,
      owner, nullptr, ::GetModuleHandleW(nullptr), this);
  // The box shows over its owner, so it starts at the owner's DPI.
  FDpi = WindowDpi(owner != nullptr ? owner : FHandle);
  OpenTheme();
  CreateFonts();
  LoadBoxIcon();
  CreateControls();
  FCloseAllowed = CloseAllowed();
  if (!FCloseAllowed) {
    ::EnableMenuItem(::GetSystemMenu(FHandle, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
  }
}

TqevShellMessageBoxForm::~TqevShellMessageBoxForm() {
  if (FHandle != nullptr) {
    ::DestroyWindow(FHandle);
  }
  CloseTheme();
  if (FIcon != nullptr) {
    ::DestroyIcon(FIcon);
  }
}

std::vector<std::wstring> TqevShellMessageBoxForm::SplitBlocks(const std::wstring& content) {
  std::vector<std::wstring> blocks;
  std::wstring block;
  bool blockHasLines = false;
  auto endBlock = [&] {
    if (!block.empty()) {
      blocks.push_back(block);
    }
    block.clear();
    blockHasLines = false;
  };
  const std::wstring text = content + L"\r\n";
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(L'\n', start);
    std::wstring line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == L'\r') {
      line.pop_back();
    }
    if (!line.empty() && (line[0] == L'\x0001' || line[0] == L'\x0002')) {
      endBlock();
      continue;
    }
    if (blockHasLines) {
      block += L"\r\n";
    }
    block += line;
    blockHasLines = true;
  }
  endBlock();
  return blocks;
}

void TqevShellMessageBoxForm::OpenTheme() {
  CloseTheme();
  if (::IsThemeActive() && ::IsAppThemed()) {
    FTheme = ::OpenThemeData(FHandle, L"TASKDIALOG");
  }
}

void TqevShellMessageBoxForm::CloseTheme() {
  if (FTheme != nullptr) {
    ::CloseThemeData(FTheme);
    FTheme = nullptr;
  }
}

void TqevShellMessageBoxForm::CreateFonts() {
  TqevFont font = CreateMessageFont(1, 0, FDpi);
  FMainColor = ::GetSysColor(COLOR_WINDOWTEXT);
  LOGFONTW themed{};
  if (FTheme != nullptr &&
      SUCCEEDED(::GetThemeFont(FTheme, nullptr, kPartMainInstruction, 0, kPropFont, &themed))) {
    // The theme of a per-monitor window is at the window's DPI already.
    FMainFont = TqevFont(::CreateFontIndirectW(&themed));
    COLORREF color = 0;
    if (SUCCEEDED(::GetThemeColor(FTheme, kPartMainInstruction, 0, kPropTextColor, &color))) {
      FMainColor = color;
    }
  } else {
    FMainFont = CreateBoldFont(font.Get());
  }
  // The controls take the new font before the old one goes.
  for (const TqevShellDialogButton& button : FButtons) {
    ::SendMessageW(button.Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(font.Get()), FALSE);
  }
  if (FVerification != nullptr) {
    ::SendMessageW(FVerification, WM_SETFONT, reinterpret_cast<WPARAM>(font.Get()), FALSE);
  }
  FFont = std::move(font);
}

void TqevShellMessageBoxForm::LoadBoxIcon() {
  if (FIconKind == ikNone) {
    return;
  }
  const TIconSource& source = kIconSources[FIconKind - 1];
  SHSTOCKICONINFO info{};
  info.cbSize = sizeof(info);
  if (SUCCEEDED(::SHGetStockIconInfo(source.FStock, SHGSI_ICON | SHGSI_LARGEICON, &info)) &&
      info.hIcon != nullptr) {
    FIcon = info.hIcon;
  } else if (HICON classic = ::LoadIconW(nullptr, source.FClassic)) {
    FIcon = ::CopyIcon(classic);
  }
  SizeIcon();
}

void TqevShellMessageBoxForm::SizeIcon() {
  // The system icon size at the box's DPI; the icon is drawn scaled to it.
  FIconSize = FIcon != nullptr
                  ? SIZE{SystemMetricForDpi(SM_CXICON, FDpi), SystemMetricForDpi(SM_CYICON, FDpi)}
                  : SIZE{0, 0};
}

void TqevShellMessageBoxForm::CreateControls() {
  if (!FVerificationText.empty()) {
    FVerification =
        ::CreateWindowExW(0, L"BUTTON", FVerificationText.c_str(),
                          WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, 0, 0, 0, 0, FHandle,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(kVerificationId)),
                          ::GetModuleHandleW(nullptr), nullptr);
    ::SendMessageW(FVerification, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.Get()), FALSE);
  }
  FButtons.reserve(FButtonDescriptions.size());
  for (std::size_t i = 0; i < FButtonDescriptions.size(); ++i) {
    FButtons.emplace_back(FButtonDescriptions[i], FHandle, kFirstButtonId + static_cast<int>(i),
                          FFont.Get());
  }
}

bool TqevShellMessageBoxForm::CloseAllowed() const {
  if (FButtons.empty()) {
    return true;
  }
  int okButtons = 0;
  for (const TqevShellDialogButton& button : FButtons) {
    if (button.Description().FResult == IDCANCEL) {
      return true;
    }
    okButtons += button.Description().FResult == IDOK ? 1 : 0;
  }
  return okButtons == 1 && FButtons.size() == 1;
}

const TqevShellDialogButton* TqevShellMessageBoxForm::CancelButton() const {
  for (const TqevShellDialogButton& button : FButtons) {
    if (button.Description().FCancel) {
      return &button;
    }
  }
  return nullptr;
}

const TqevShellDialogButton* TqevShellMessageBoxForm::DefaultButton() const {
  for (const TqevShellDialogButton& button : FButtons) {
    if (button.Description().FDefault) {
      return &button;
    }
  }
  return nullptr;
}

SIZE TqevShellMessageBoxForm::Arrange() {
  const TqevFontUnits units = TqevFontUnits::Measure(FFont.Get());
  const int mx = units.Mx();
  const int my = units.My();

  // Buttons by the command-button rule; equal tags, equal widths.
  std::vector<SIZE> sizes;
  for (const TqevShellDialogButton& button : FButtons) {
    sizes.push_back(CommandButtonSize(FFont.Get(), button.Description().FCaption));
  }
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    for (std::size_t j = 0; j < sizes.size(); ++j) {
      if (FButtons[i].Description().FTag == FButtons[j].Description().FTag) {
        sizes[i].cx = std::max(sizes[i].cx, sizes[j].cx);
      }
    }
  }
  int rowWidth = 2 * mx;
  int buttonHeight = 0;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    rowWidth += sizes[i].cx + (i > 0 ? units.DLUx(4) : 0);
    buttonHeight = std::max(buttonHeight, static_cast<int>(sizes[i].cy));
  }
  SIZE check{0, 0};
  if (FVerification != nullptr) {
    const SIZE text = MeasureText(FFont.Get(), FVerificationText);
    // The check mark as the control draws it, at the DPI the system gives the box.
    check = SIZE{WindowMetric(FHandle, SM_CXMENUCHECK) + units.FCx + text.cx,
                 std::max(WindowMetric(FHandle, SM_CYMENUCHECK), static_cast<int>(text.cy))};
  }

  // The width: buttons, check box, 75 characters, then each text on one line (clamped to
  // half the work area), then each text wrapped (never beyond the work area).
  FTextLeft = FIcon != nullptr ? mx + FIconSize.cx + units.DLUx(7) : mx;
  RECT work{};
  const bool haveWork = MonitorWorkArea(FOwner != nullptr ? FOwner : FHandle, work);
  const int halfWork = haveWork ? (work.right - work.left) / 2 : 512;
  const int fullWork = haveWork ? work.right - work.left : 1024;
  const int minWidth = units.Chars(75);
  int width =
      std::max(rowWidth, FVerification != nullptr ? 2 * mx + static_cast<int>(check.cx) : 0);
  width = std::max(width, minWidth);
  struct TText {
    HFONT FFont;
    const std::wstring* FText;
  };
  std::vector<TText> texts;
  if (!FMainInstruction.empty()) {
    texts.push_back({FMainFont.Get(), &FMainInstruction});
  }
  for (const std::wstring& block : FContent) {
    texts.push_back({FFont.Get(), &block});
  }
  for (const TText& text : texts) {
    const int right = FTextLeft + MeasureBoxText(text.FFont, *text.FText, 0).cx + mx;
    width = std::max(width, std::clamp(right, minWidth, std::max(minWidth, halfWork)));
  }
  const int wrapWidth = width;
  for (const TText& text : texts) {
    const SIZE wrapped = MeasureBoxText(text.FFont, *text.FText, wrapWidth - mx - FTextLeft);
    width = std::max(width, std::min(FTextLeft + static_cast<int>(wrapped.cx) + mx, fullWork));
  }
  FTextRight = width - mx;

  // Texts from the top, a separator between two content blocks.
  int y = my;
  const int column = FTextRight - FTextLeft;
  FMainRect = RECT{FTextLeft, y, FTextRight, y};
  if (!FMainInstruction.empty()) {
    FMainRect.bottom = y + MeasureBoxText(FMainFont.Get(), FMainInstruction, column).cy;
    y = FMainRect.bottom;
  }
  FBlockRects.clear();
  FSeparators.clear();
  for (const std::wstring& block : FContent) {
    if (!FBlockRects.empty()) {
      y += units.DLUy(7);
      FSeparators.push_back(y);
      y += 1 + units.DLUy(7);
    }
    const int height = MeasureBoxText(FFont.Get(), block, column).cy;
    FBlockRects.push_back(RECT{FTextLeft, y, FTextRight, y + height});
    y += height;
  }
  const int contentBottom = std::max(y, FIcon != nullptr ? my + static_cast<int>(FIconSize.cy) : 0);

  // The footer: separator, the check box row when it does not fit beside the buttons,
  // the buttons right-aligned in creation order.
  FFooterTop = contentBottom + my;
  FHasFooter = !FButtons.empty() || FVerification != nullptr;
  int height = FFooterTop;
  if (FHasFooter) {
    int rowTop = FFooterTop + 1 + my;
    const bool ownRow =
        FVerification != nullptr && width < 2 * mx + check.cx + units.DLUx(7) + rowWidth;
    if (FVerification != nullptr) {
      const int rowHeight = std::max(buttonHeight, static_cast<int>(check.cy));
      const int checkTop = ownRow ? rowTop : rowTop + (rowHeight - check.cy) / 2;
      ::MoveWindow(FVerification, mx, checkTop, check.cx, check.cy, FALSE);
      if (ownRow) {
        rowTop += check.cy + units.DLUy(4);
      }
    }
    int right = width - mx;
    for (std::size_t i = FButtons.size(); i > 0; --i) {
      const SIZE& size = sizes[i - 1];
      ::MoveWindow(FButtons[i - 1].Handle(), right - size.cx, rowTop, size.cx, size.cy, FALSE);
      right -= size.cx + units.DLUx(4);
    }
    height = rowTop + buttonHeight + my;
  }
  return SIZE{width, height};
}

int TqevShellMessageBoxForm::ShowModal(bool* verificationChecked) {
  if (FVerification != nullptr && verificationChecked != nullptr) {
    ::SendMessageW(FVerification, BM_SETCHECK, *verificationChecked ? BST_CHECKED : BST_UNCHECKED,
                   0);
  }
  // Sized and centred over the owner (or the work area), kept inside the work area.
  const SIZE frame = WindowSizeForClient(FHandle, Arrange());
  const int frameWidth = frame.cx;
  const int frameHeight = frame.cy;
  RECT work{0, 0, 1024, 768};
  MonitorWorkArea(FOwner, work);
  RECT around = work;
  if (FOwner != nullptr && ::IsWindowVisible(FOwner) && !::IsIconic(FOwner)) {
    ::GetWindowRect(FOwner, &around);
  }
  int left = around.left + (around.right - around.left - frameWidth) / 2;
  int top = around.top + (around.bottom - around.top - frameHeight) / 2;
  left = std::max(static_cast<int>(work.left),
                  std::min(left, static_cast<int>(work.right) - frameWidth));
  top = std::max(static_cast<int>(work.top),
                 std::min(top, static_cast<int>(work.bottom) - frameHeight));
  ::SetWindowPos(FHandle, nullptr, left, top, frameWidth, frameHeight,
                 SWP_NOZORDER | SWP_NOACTIVATE);

  static constexpr UINT kIconSounds[] = {0, MB_ICONERROR, MB_ICONQUESTION, MB_ICONWARNING,
                                         MB_ICONINFORMATION};
  if (FIconKind != ikNone) {
    ::MessageBeep(kIconSounds[FIconKind]);
  }

  const bool ownerEnabled = FOwner != nullptr && ::IsWindowEnabled(FOwner);
  if (ownerEnabled) {
    ::EnableWindow(FOwner, FALSE);
  }
  ::ShowWindow(FHandle, SW_SHOWNORMAL);
  ::UpdateWindow(FHandle);
  const TqevShellDialogButton* focus = DefaultButton();
  if (focus == nullptr && !FButtons.empty()) {
    focus = &FButtons.front();
  }
  if (focus != nullptr) {
    ::SetFocus(focus->Handle());
  }

  MSG msg;
  while (!FDone) {
    BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      ::PostQuitMessage(static_cast<int>(msg.wParam));  // for the loop that ends the program
      break;
    }
    if (got < 0) {
      break;
    }
    const bool inBox = msg.hwnd == FHandle || ::IsChild(FHandle, msg.hwnd);
    if (inBox && msg.message == WM_KEYDOWN && msg.wParam == 'C' && ::GetKeyState(VK_CONTROL) < 0 &&
        ::GetKeyState(VK_SHIFT) >= 0 && ::GetKeyState(VK_MENU) >= 0) {
      CopyToClipboard();
      continue;
    }
    if (!::IsDialogMessageW(FHandle, &msg)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
  }

  if (FVerification != nullptr && verificationChecked != nullptr) {
    *verificationChecked = ::SendMessageW(FVerification, BM_GETCHECK, 0, 0) == BST_CHECKED;
  }
  // The owner is enabled again before the box goes, so that it gets the activation back.
  if (ownerEnabled) {
    ::EnableWindow(FOwner, TRUE);
  }
  ::DestroyWindow(FHandle);
  FHandle = nullptr;
  return FResult;
}

void TqevShellMessageBoxForm::Rebuild(const RECT* suggested) {
  OpenTheme();
  CreateFonts();
  const SIZE frame = WindowSizeForClient(FHandle, Arrange());
  if (suggested != nullptr) {
    ::SetWindowPos(FHandle, nullptr, suggested->left, suggested->top, frame.cx, frame.cy,
                   SWP_NOZORDER | SWP_NOACTIVATE);
  } else {
    ::SetWindowPos(FHandle, nullptr, 0, 0, frame.cx, frame.cy,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ::InvalidateRect(FHandle, nullptr, TRUE);
}

void TqevShellMessageBoxForm::End(int result) {
  FResult = result;
  FDone = true;
}

void TqevShellMessageBoxForm::Press(const TqevShellDialogButton& button) {
  if (button.Description().FResult == kHelpResult) {
    SendHelp();
  } else {
    End(button.Description().FResult);
  }
}

void TqevShellMessageBoxForm::SendHelp() {
  if (FOwner == nullptr) {
    return;
  }
  HELPINFO info{};
  info.cbSize = sizeof(info);
  info.iContextType = HELPINFO_WINDOW;
  info.hItemHandle = FHandle;
  ::GetCursorPos(&info.MousePos);
  ::SendMessageW(FOwner, WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
}

std::wstring TqevShellMessageBoxForm::ClipboardText() const {
  std::wstring text = L"[Window Title]\r\n";
  if (!FCaption.empty()) {
    text += FCaption + L"\r\n";
  }
  text += L"\r\n[Content]\r\n";
  if (!FMainInstruction.empty()) {
    text += FMainInstruction + L"\r\n";
  }
  for (std::size_t i = 0; i < FContent.size(); ++i) {
    text += FContent[i] + L"\r\n";
    if (i + 1 < FContent.size()) {
      text += std::wstring(40, L'-') + L"\r\n";
    }
  }
  text += L"\r\n";
  if (!FVerificationText.empty()) {
    text += FVerificationText + L"\r\n\r\n";
  }
  if (!FButtons.empty()) {
    std::wstring row;
    for (const TqevShellDialogButton& button : FButtons) {
      std::wstring caption = button.Description().FCaption;
      caption.erase(std::remove(caption.begin(), caption.end(), L'&'), caption.end());
      row += (row.empty() ? L"[" : L" [") + caption + L"]";
    }
    text += row + L"\r\n";
  }
  return text;
}

void TqevShellMessageBoxForm::CopyToClipboard() {
  const std::wstring text = ClipboardText();
  if (::OpenClipboard(FHandle)) {
    ::EmptyClipboard();
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    if (HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes)) {
      bool handedOver = false;
      if (void* target = ::GlobalLock(memory)) {
        std::memcpy(target, text.c_str(), bytes);
        ::GlobalUnlock(memory);
        handedOver = ::SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
      }
      if (!handedOver) {
        ::GlobalFree(memory);
      }
    }
    ::CloseClipboard();
  }
  ::MessageBeep(0);
}

void TqevShellMessageBoxForm::Paint(HDC dc) {
  RECT client{};
  ::GetClientRect(FHandle, &client);
  RECT panel{0, 0, client.right, FHasFooter ? FFooterTop : client.bottom};
  RECT separator{0, FFooterTop, client.right, FFooterTop + 1};
  RECT footer{0, FFooterTop + 1, client.right, client.bottom};
  if (FTheme != nullptr) {
    ::DrawThemeBackground(FTheme, dc, kPartPrimaryPanel, 0, &panel, nullptr);
    if (FHasFooter) {
      ::DrawThemeBackground(FTheme, dc, kPartFootnoteSeparator, 0, &separator, nullptr);
      ::DrawThemeBackground(FTheme, dc, kPartFootnotePane, 0, &footer, nullptr);
    }
  } else {
    FillColor(dc, panel, COLOR_WINDOW);
    if (FHasFooter) {
      FillColor(dc, separator, COLOR_GRAYTEXT);
      FillColor(dc, footer, COLOR_BTNFACE);
    }
  }
  if (FIcon != nullptr) {
    const TqevFontUnits units = TqevFontUnits::Measure(FFont.Get());
    ::DrawIconEx(dc, units.Mx(), units.My(), FIcon, FIconSize.cx, FIconSize.cy, 0, nullptr,
                 DI_NORMAL);
  }
  if (!FMainInstruction.empty()) {
    DrawWrapped(dc, FMainFont.Get(), FMainColor, FMainInstruction, FMainRect);
  }
  for (std::size_t i = 0; i < FContent.size(); ++i) {
    DrawWrapped(dc, FFont.Get(), ::GetSysColor(COLOR_WINDOWTEXT), FContent[i], FBlockRects[i]);
  }
  for (int top : FSeparators) {
    RECT line{FTextLeft, top, FTextRight, top + 1};
    FillColor(dc, line, COLOR_GRAYTEXT);
  }
}

LRESULT CALLBACK TqevShellMessageBoxForm::WindowProc(HWND window,
                                                     UINT message,
                                                     WPARAM wParam,
                                                     LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    auto* form = static_cast<TqevShellMessageBoxForm*>(create->lpCreateParams);
    form->FHandle = window;
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
  }
  auto* form =
      reinterpret_cast<TqevShellMessageBoxForm*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (form == nullptr || form->FHandle != window) {
    return ::DefWindowProcW(window, message, wParam, lParam);
  }
  return form->HandleMessage(message, wParam, lParam);
}

LRESULT TqevShellMessageBoxForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      if (id >= kFirstButtonId && id < kFirstButtonId + static_cast<int>(FButtons.size())) {
        if (HIWORD(wParam) == BN_CLICKED) {
          Press(FButtons[static_cast<std::size_t>(id - kFirstButtonId)]);
        }
      } else if (id == IDCANCEL) {  // Esc
        if (const TqevShellDialogButton* cancel = CancelButton()) {
          Press(*cancel);
        }
      }
      return 0;
    }
    case DM_GETDEFID:
      for (std::size_t i = 0; i < FButtons.size(); ++i) {
        if (FButtons[i].Description().FDefault) {
          return MAKELRESULT(kFirstButtonId + static_cast<int>(i), DC_HASDEFID);
        }
      }
      return 0;
    case WM_NEXTDLGCTL:
      MoveDialogFocus(FHandle, wParam, lParam);  // Tab between the buttons
      return 0;
    case WM_CLOSE:
      if (FCloseAllowed) {
        End(IDCANCEL);
      }
      return 0;
    case WM_COPY:
      CopyToClipboard();
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = ::BeginPaint(FHandle, &paint);
      Paint(dc);
      ::EndPaint(FHandle, &paint);
      return 0;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      // Controls sit in the footer, which is button face without a theme.
      ::SetBkColor(reinterpret_cast<HDC>(wParam), ::GetSysColor(COLOR_BTNFACE));
      return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
    case WM_THEMECHANGED:
    case WM_SYSCOLORCHANGE:
      Rebuild(nullptr);
      return 0;
    case WM_DPICHANGED:
      // Moved to a monitor of another DPI: fonts, icon and layout at the new DPI, at the
      // place the system suggests.
      FDpi = HIWORD(wParam) != 0 ? HIWORD(wParam) : FDpi;
      SizeIcon();
      Rebuild(reinterpret_cast<const RECT*>(lParam));
      return 0;
    default:
      return ::DefWindowProcW(FHandle, message, wParam, lParam);
  }
}

int ShowMessageBoxForm(IUnknown* site,
                       HWND owner,
                       const std::wstring& mainInstruction,
                       const std::wstring& content,
                       const std::wstring& caption,
                       const std::wstring& verificationText,
                       UINT flags,
                       bool* verificationChecked) {
  if (site != nullptr) {
    IOleWindow* oleWindow = nullptr;
    if (SUCCEEDED(site->QueryInterface(IID_IOleWindow, reinterpret_cast<void**>(&oleWindow)))) {
      HWND siteWindow = nullptr;
      if (SUCCEEDED(oleWindow->GetWindow(&siteWindow)) && siteWindow != nullptr) {
        owner = siteWindow;
      }
      oleWindow->Release();
    }
  }
  TqevShellMessageBoxForm::TIconKind icon = TqevShellMessageBoxForm::ikNone;
  switch (flags & MB_ICONMASK) {
    case MB_ICONERROR:
      icon = TqevShellMessageBoxForm::ikError;
      break;
    case MB_ICONQUESTION:
      icon = TqevShellMessageBoxForm::ikQuestion;
      break;
    case MB_ICONWARNING:
      icon = TqevShellMessageBoxForm::ikWarning;
      break;
    case MB_ICONINFORMATION:
      icon = TqevShellMessageBoxForm::ikInfo;
      break;
    default:
      break;
  }
  TqevShellButtonList buttons;
  buttons.AddSet(flags & MB_TYPEMASK, (flags & MB_DEFMASK) >> 8);
  if ((flags & MB_HELP) != 0) {
    buttons.Add(sbHelp, false, false);
  }
  TqevShellMessageBoxForm box(owner, caption, mainInstruction, content, verificationText, icon,
                              buttons);
  return box.ShowModal(verificationChecked);
}
