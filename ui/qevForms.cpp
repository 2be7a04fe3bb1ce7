// Fonts, measured units and text measuring shared by the program's forms.
#include "ui/qevForms.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

// The 52 letters whose average width is a font's cx.
constexpr wchar_t kAlphabet[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

// A screen device context with Font selected, restored and released with the object.
class TScreenDC {
 public:
  explicit TScreenDC(HFONT font) : FDC(::GetDC(nullptr)) {
    FOld = ::SelectObject(FDC, font != nullptr ? font : ::GetStockObject(DEFAULT_GUI_FONT));
  }
  ~TScreenDC() {
    ::SelectObject(FDC, FOld);
    ::ReleaseDC(nullptr, FDC);
  }
  TScreenDC(const TScreenDC&) = delete;
  TScreenDC& operator=(const TScreenDC&) = delete;
  HDC Get() const { return FDC; }

 private:
  HDC FDC;
  HGDIOBJ FOld;
};

LOGFONTW MessageLogFont() {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  if (!::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
    ::GetObjectW(::GetStockObject(DEFAULT_GUI_FONT), sizeof(LOGFONTW), &metrics.lfMessageFont);
  }
  return metrics.lfMessageFont;
}

}  // namespace

TqevFontUnits TqevFontUnits::Measure(HFONT font) {
  TScreenDC dc(font);
  SIZE size{};
  ::GetTextExtentPoint32W(dc.Get(), kAlphabet, 52, &size);
  TqevFontUnits units;
  units.FCxExact = size.cx / 52.0;
  units.FCx = size.cx / 52;
  units.FCy = size.cy;
  return units;
}

int TqevFontUnits::Chars(double n) const {
  return static_cast<int>(std::lround(n * FCxExact));
}

int TqevFontUnits::Lines(double n) const {
  return static_cast<int>(std::lround(n * FCy));
}

TqevFont& TqevFont::operator=(TqevFont&& other) noexcept {
  std::swap(FFont, other.FFont);
  return *this;
}

TqevFont::~TqevFont() {
  if (FFont != nullptr) {
    ::DeleteObject(FFont);
  }
}

TqevFont CreateMessageFont(int scale, int pixelHeight) {
  LOGFONTW font = MessageLogFont();
  if (pixelHeight > 0) {
    font.lfHeight = font.lfHeight < 0 ? -pixelHeight : pixelHeight;
  }
  font.lfHeight *= scale;
  return TqevFont(::CreateFontIndirectW(&font));
}

int MessageFontHeight() {
  LOGFONTW font = MessageLogFont();
  return font.lfHeight < 0 ? -font.lfHeight : font.lfHeight;
}

TqevFont CreateBoldFont(HFONT font) {
  LOGFONTW log{};
  ::GetObjectW(font, sizeof(log), &log);
  log.lfWeight = FW_BOLD;
  return TqevFont(::CreateFontIndirectW(&log));
}

SIZE MeasureText(HFONT font, const std::wstring& text, bool noPrefix) {
  TScreenDC dc(font);
  RECT rect{0, 0, 0, 0};
  const std::wstring measured = text.empty() ? L" " : text;
  ::DrawTextW(dc.Get(), measured.c_str(), static_cast<int>(measured.size()), &rect,
              DT_CALCRECT | DT_SINGLELINE | (noPrefix ? DT_NOPREFIX : 0));
  SIZE size{rect.right - rect.left, rect.bottom - rect.top};
  if (text.empty()) {
    size.cx = 0;
  }
  return size;
}

SIZE MeasureWrapped(HFONT font, const std::wstring& text, int width) {
  TScreenDC dc(font);
  RECT rect{0, 0, width, 0};
  ::DrawTextW(dc.Get(), text.c_str(), static_cast<int>(text.size()), &rect,
              DT_CALCRECT | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX);
  return SIZE{rect.right - rect.left, rect.bottom - rect.top};
}

SIZE CommandButtonSize(HFONT font, const std::wstring& caption) {
  const TqevFontUnits units = TqevFontUnits::Measure(font);
  const SIZE text = MeasureText(font, caption);
  return SIZE{std::max(units.DLUx(50), static_cast<int>(text.cx) + 3 * units.FCx),
              std::max(units.DLUy(14), static_cast<int>(text.cy))};
}

void MoveDialogFocus(HWND form, WPARAM wParam, LPARAM lParam) {
  HWND target = LOWORD(lParam) != 0
                    ? reinterpret_cast<HWND>(wParam)
                    : ::GetNextDlgTabItem(form, ::GetFocus(), wParam != 0 ? TRUE : FALSE);
  if (target != nullptr) {
    ::SetFocus(target);
  }
}

bool MonitorWorkArea(HWND window, RECT& area) {
  if (window == nullptr) {
    return ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0) != FALSE;
  }
  HMONITOR monitor = ::MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST);
  MONITORINFO info{};
  info.cbSize = sizeof(info);
  if (monitor == nullptr || !::GetMonitorInfoW(monitor, &info)) {
    return false;
  }
  area = info.rcWork;
  return true;
}

std::wstring WindowText(HWND window) {
  std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(
      ::GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return text;
}
