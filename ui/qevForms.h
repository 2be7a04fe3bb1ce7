// What the program's forms share: the system message font, its measured units (average
// character width and text height, dialog units), text measuring and the size rule of
// command buttons.
//
// Every size of the main window and the message box comes from the form's font: cx, the
// average width of the 52 letters a-z and A-Z, and cy, their height. A form that changes
// its font measures afresh.
#pragma once

#include <windows.h>

#include <string>

// The measured units of one font.
struct TqevFontUnits {
  // The average character width, exact and as the integer quotient of dialog units.
  double FCxExact = 0;
  int FCx = 0;
  // The text height.
  int FCy = 0;

  // Measures Font on the screen.
  static TqevFontUnits Measure(HFONT font);

  // N horizontal and vertical dialog units.
  int DLUx(int n) const { return ::MulDiv(n, FCx, 4); }
  int DLUy(int n) const { return ::MulDiv(n, FCy, 8); }
  // N average characters and N text lines, rounded.
  int Chars(double n) const;
  int Lines(double n) const;
  // The margins of a form.
  int Mx() const { return DLUx(7); }
  int My() const { return DLUy(7); }
};

// A font handle freed with the object.
class TqevFont {
 public:
  TqevFont() = default;
  explicit TqevFont(HFONT font) : FFont(font) {}
  TqevFont(TqevFont&& other) noexcept : FFont(other.FFont) { other.FFont = nullptr; }
  TqevFont& operator=(TqevFont&& other) noexcept;
  TqevFont(const TqevFont&) = delete;
  TqevFont& operator=(const TqevFont&) = delete;
  ~TqevFont();

  HFONT Get() const { return FFont; }

 private:
  HFONT FFont = nullptr;
};

// The system message font (lfMessageFont), its height multiplied by Scale; a form that
// must shrink passes its own pixel height (a positive value, in place of the system's).
TqevFont CreateMessageFont(int scale = 1, int pixelHeight = 0);
// The pixel height of the system message font.
int MessageFontHeight();
// A copy of Font in bold.
TqevFont CreateBoldFont(HFONT font);

// The size of Text in Font on one line; "&" marks an accelerator unless NoPrefix.
SIZE MeasureText(HFONT font, const std::wstring& text, bool noPrefix = false);
// The size of Text in Font word-wrapped within Width, "&" as typed.
SIZE MeasureWrapped(HFONT font, const std::wstring& text, int width);
// The command-button rule in the button's own font: the larger of 50 DLUx and the
// caption's width plus 3 cx wide, the larger of 14 DLUy and the caption's height high.
SIZE CommandButtonSize(HFONT font, const std::wstring& caption);

// Answers WM_NEXTDLGCTL for a form that is not a dialog (dialog navigation sends it for
// Tab and for a label's accelerator): focuses the control named, or the next or previous
// one in tab order.
void MoveDialogFocus(HWND form, WPARAM wParam, LPARAM lParam);

// The work area of the monitor nearest to Window, or of the primary monitor for none;
// false when it cannot be read.
bool MonitorWorkArea(HWND window, RECT& area);
// The text of a window.
std::wstring WindowText(HWND window);
