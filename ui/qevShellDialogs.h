// The program's message box: a task-dialog-like modal box that takes MessageBox flags,
// shows the system's own translated button captions and a stock shell icon, and copies
// its whole text to the clipboard with Ctrl+C.
//
// ShowMessageBoxForm builds a TqevShellMessageBoxForm from the flags (button set, icon,
// default button, Help), shows it modally over its owner and returns the result code of
// the button that closed it (IDOK ... IDNO). Layout is in dialog units of the system
// message font: a text column beside the icon, content blocks split by separator lines,
// and a footer with the right-aligned button row.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ui/qevForms.h"

class TqevShellButtonList;

// One button of a box: caption, result code, default and cancel marks, and a group tag
// (buttons with equal tags get equal widths).
struct TqevShellButton {
  // The list the button was made in.
  TqevShellButtonList* FList = nullptr;
  // The caption, "&" marking its accelerator.
  std::wstring FCaption;
  // What ShowMessageBoxForm returns when the button closes the box.
  int FResult = 0;
  // Enter presses it; it has the focus when the box shows.
  bool FDefault = false;
  // Esc presses it.
  bool FCancel = false;
  // Buttons with equal tags get equal widths.
  std::uint64_t FTag = 0;
};

// The standard buttons of a box, with their system captions.
enum TqevShellButtonKind : std::uint8_t {
  sbOK,
  sbCancel,
  sbAbort,
  sbRetry,
  sbIgnore,
  sbYes,
  sbNo,
  sbHelp,
  sbSkip,
};

// The result code of the Help button; it never closes the box.
inline constexpr int kHelpResult = 9;

// The ordered button descriptions of a box.
class TqevShellButtonList {
 public:
  // Appends a button with a caption of its own.
  TqevShellButton& Add(const std::wstring& caption,
                       int result,
                       bool isDefault,
                       bool isCancel,
                       std::uint64_t tag = 0);
  // Appends a standard button with the system's caption for Kind.
  TqevShellButton& Add(TqevShellButtonKind kind, bool isDefault, bool isCancel);
  // Appends the buttons of a MessageBox button set (the low four bits of the flags),
  // DefaultIndex naming the default one.
  void AddSet(unsigned buttonSet, unsigned defaultIndex);

  // The buttons in the order they were added, which is their order on the screen.
  const std::vector<TqevShellButton>& Items() const { return FItems; }

  // The caption of a standard button as the system words it (user32's string table,
  // shell32's for Skip), or the fallback text when it cannot be loaded.
  std::wstring SystemCaption(TqevShellButtonKind kind);

 private:
  std::vector<TqevShellButton> FItems;
  // The system string source, loaded on first use.
  HMODULE FUser32 = nullptr;
};

// Shows a modal message box owned by Owner and returns the result code of the button
// that closed it (the close box returns IDCANCEL). Flags are MessageBox flags: button set
// 0x000F, icon 0x00F0, default button 0x0F00, Help 0x4000. An empty caption becomes the
// program file's name. Site, when it offers IOleWindow, names the owner instead.
// VerificationChecked, when given, sets the verification check box and receives its state.
int ShowMessageBoxForm(IUnknown* site,
                       HWND owner,
                       const std::wstring& mainInstruction,
                       const std::wstring& content,
                       const std::wstring& caption,
                       const std::wstring& verificationText,
                       UINT flags,
                       bool* verificationChecked = nullptr);

// The window class name of the box, for finding it on the screen.
inline constexpr wchar_t kMessageBoxClassName[] = L"TqevShellMessageBoxForm";

// The push button of the box.
class TqevShellDialogButton {
 public:
  // Creates the button control for Description in Parent, with control ID Id and Font.
  TqevShellDialogButton(const TqevShellButton& description, HWND parent, int id, HFONT font);
  // The button control; the box destroys it with itself.
  HWND Handle() const { return FHandle; }
  // What the button was made from.
  const TqevShellButton& Description() const { return FDescription; }

 private:
  TqevShellButton FDescription;
  HWND FHandle;
};

// The box itself: built from its texts, icon kind and buttons, shown once, modally.
class TqevShellMessageBoxForm {
 public:
  // Icon kinds.
  enum TIconKind : std::uint8_t {
    ikNone = 0,
    ikError = 1,
    ikQuestion = 2,
    ikWarning = 3,
    ikInfo = 4
  };

  // Creates the box, hidden, with its texts, icon and buttons; an empty caption becomes
  // the program file's name.
  TqevShellMessageBoxForm(HWND owner,
                          const std::wstring& caption,
                          const std::wstring& mainInstruction,
                          const std::wstring& content,
                          const std::wstring& verificationText,
                          TIconKind icon,
                          const TqevShellButtonList& buttons);
  ~TqevShellMessageBoxForm();
  TqevShellMessageBoxForm(const TqevShellMessageBoxForm&) = delete;
  TqevShellMessageBoxForm& operator=(const TqevShellMessageBoxForm&) = delete;

  // Runs the box modally and returns the result of the button that closed it.
  // VerificationChecked, when given, is shown and written back.
  int ShowModal(bool* verificationChecked);

  // The text that Ctrl+C puts on the clipboard.
  std::wstring ClipboardText() const;
  // Splits Content into its blocks (lines starting with U+0001 or U+0002 end a block).
  static std::vector<std::wstring> SplitBlocks(const std::wstring& content);

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

  void CreateControls();
  void LoadBoxIcon();
  void OpenTheme();
  void CloseTheme();
  // The fonts at the box's DPI, handed to its controls.
  void CreateFonts();
  // The icon's size at the box's DPI.
  void SizeIcon();
  // After a theme, colour or DPI change: theme and fonts afresh, then sized again; moved
  // to Suggested's top-left corner when given.
  void Rebuild(const RECT* suggested);
  // Sizes the box and places its parts; returns the client size.
  SIZE Arrange();
  void Paint(HDC dc);
  // A button was pressed: Help tells the owner, any other ends the box with its result.
  void Press(const TqevShellDialogButton& button);
  void SendHelp();
  void CopyToClipboard();
  void End(int result);
  bool CloseAllowed() const;
  const TqevShellDialogButton* CancelButton() const;
  const TqevShellDialogButton* DefaultButton() const;

  // The window the box is modal to (disabled while it shows), and the box's own.
  HWND FOwner;
  HWND FHandle = nullptr;
  // The texts: caption, main instruction, content blocks, verification check box text.
  std::wstring FCaption;
  std::wstring FMainInstruction;
  std::vector<std::wstring> FContent;
  std::wstring FVerificationText;
  // The verification check box, when there is a text for it.
  HWND FVerification = nullptr;
  // The icon: its kind, the loaded icon (owned) and its size.
  TIconKind FIconKind;
  HICON FIcon = nullptr;
  SIZE FIconSize{0, 0};
  // The buttons as described and as created, in the same order.
  std::vector<TqevShellButton> FButtonDescriptions;
  std::vector<TqevShellDialogButton> FButtons;
  // Whether the close box and Alt+F4 may end the box (with IDCANCEL).
  bool FCloseAllowed = false;
  // The DPI the box is laid out for: its owner's at first, then as WM_DPICHANGED says.
  UINT FDpi = USER_DEFAULT_SCREEN_DPI;
  // The content font (the message font) and the main instruction's font and colour.
  TqevFont FFont;
  TqevFont FMainFont;
  COLORREF FMainColor;
  // The TASKDIALOG theme while themes are active.
  HANDLE FTheme = nullptr;
  // What Arrange found: the text rectangles, the separators between blocks (their tops),
  // the text column and the footer's top.
  RECT FMainRect{};
  std::vector<RECT> FBlockRects;
  std::vector<int> FSeparators;
  int FTextLeft = 0;
  int FTextRight = 0;
  int FFooterTop = 0;
  bool FHasFooter = false;
  // Set when a button (or the close box) ends the modal loop, with the result.
  bool FDone = false;
  int FResult = IDCANCEL;
};
