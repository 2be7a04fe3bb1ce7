// What the program's forms share: the system message font, its measured units (average
// character width and text height, dialog units), text measuring and the size rule of
// command buttons.
//
// Every size of the main window and the message box comes from the form's font: cx, the
// average width of the 52 letters a-z and A-Z, and cy, their height. A form that changes
// its font measures afresh.
//
// DPI: the program declares itself per-monitor aware, so each form scales its own font
// to its DPI. The per-monitor functions of newer systems (GetDpiForWindow,
// SystemParametersInfoForDpi, GetSystemMetricsForDpi, AdjustWindowRectExForDpi) are
// looked up at run time; where they are missing the system-DPI values are used, as the
// program did before it knew of DPI.
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

// The system DPI: the screen's logical pixels per inch (96 on an unscaled display).
UINT SystemDpi();
// The DPI the system gives Window (GetDpiForWindow), or the system DPI where that function
// is missing or Window is null.
UINT WindowDpi(HWND window);
// GetSystemMetrics(Index) at Dpi: GetSystemMetricsForDpi where the system has it,
// otherwise the system-DPI value scaled from the system DPI to Dpi.
int SystemMetricForDpi(int index, UINT dpi);
// GetSystemMetrics(Index) at the DPI the system draws Window in (WindowDpi).
int WindowMetric(HWND window, int index);
// The window size of Window for a client area of Client, its frame as the system draws
// it at the window's DPI (AdjustWindowRectExForDpi, else AdjustWindowRectEx).
SIZE WindowSizeForClient(HWND window, SIZE client);
// For tests: behave as on a system without the per-monitor DPI functions (true), or use
// them where the system has them (false, the default).
void PretendNoPerMonitorDpiFunctions(bool pretend);

// The system message font (lfMessageFont) at Dpi (0: the system DPI), its height
// multiplied by Scale; a form that must shrink passes its own pixel height (a positive
// value, in place of the system's, already at Dpi).
TqevFont CreateMessageFont(int scale = 1, int pixelHeight = 0, UINT dpi = 0);
// The pixel height of the system message font at Dpi (0: the system DPI).
int MessageFontHeight(UINT dpi = 0);
// A copy of Font in bold.
TqevFont CreateBoldFont(HFONT font);

// The size of Text in Font on one line; "&" marks an accelerator unless NoPrefix.
SIZE MeasureText(HFONT font, const std::wstring& text, bool noPrefix = false);
// The command-button rule in the button's own font: the larger of 50 DLUx and the
// caption's width plus 3 cx wide, the larger of 14 DLUy and the caption's height high.
SIZE CommandButtonSize(HFONT font, const std::wstring& caption);

// Answers WM_NEXTDLGCTL for a form that is not a dialog (dialog navigation sends it for
// Tab and for a label's accelerator): focuses the control named, or the next or previous
// one in tab order. A disabled or hidden control named is not focused.
void MoveDialogFocus(HWND form, WPARAM wParam, LPARAM lParam);

// The work area of the monitor nearest to Window, or of the primary monitor for none;
// false when it cannot be read.
bool MonitorWorkArea(HWND window, RECT& area);
// The text of a window.
std::wstring WindowText(HWND window);
