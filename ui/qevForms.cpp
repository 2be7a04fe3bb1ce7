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

// The per-monitor DPI functions of user32 (Windows 10 1607 on), null where the system
// lacks them; looked up once, so that the program still starts on older systems.
struct TDpiFunctions {
  using TGetDpiForWindow = UINT(WINAPI*)(HWND);
  using TSystemParametersInfoForDpi = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
  using TGetSystemMetricsForDpi = int(WINAPI*)(int, UINT);
  using TAdjustWindowRectExForDpi = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
  TGetDpiForWindow FGetDpiForWindow = nullptr;
  TSystemParametersInfoForDpi FSystemParametersInfoForDpi = nullptr;
  TGetSystemMetricsForDpi FGetSystemMetricsForDpi = nullptr;
  TAdjustWindowRectExForDpi FAdjustWindowRectExForDpi = nullptr;
};

template <typename T>
T UserFunction(const char* name) {
  HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
  return user32 != nullptr
             ? reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(user32, name)))
             : nullptr;
}

const TDpiFunctions& SystemDpiFunctions() {
  static const TDpiFunctions functions = [] {
    TDpiFunctions f;
    f.FGetDpiForWindow = UserFunction<TDpiFunctions::TGetDpiForWindow>("GetDpiForWindow");
    f.FSystemParametersInfoForDpi =
        UserFunction<TDpiFunctions::TSystemParametersInfoForDpi>("SystemParametersInfoForDpi");
    f.FGetSystemMetricsForDpi =
        UserFunction<TDpiFunctions::TGetSystemMetricsForDpi>("GetSystemMetricsForDpi");
    f.FAdjustWindowRectExForDpi =
        UserFunction<TDpiFunctions::TAdjustWindowRectExForDpi>("AdjustWindowRectExForDpi");
    return f;
  }();
  return functions;
}

bool gPretendNoDpiFunctions = false;

const TDpiFunctions& DpiFunctions() {
  static const TDpiFunctions none;
  return gPretendNoDpiFunctions ? none : SystemDpiFunctions();
}

// lfMessageFont at Dpi (0: the system DPI).
LOGFONTW MessageLogFont(UINT dpi) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  const TDpiFunctions& functions = DpiFunctions();
  if (dpi != 0 && functions.FSystemParametersInfoForDpi != nullptr &&
      functions.FSystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0,
                                            dpi)) {
    return metrics.lfMessageFont;
  }
  if (!::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
    ::GetObjectW(::GetStockObject(DEFAULT_GUI_FONT), sizeof(LOGFONTW), &metrics.lfMessageFont);
  }
  // The system's metrics are at the system DPI.
  if (dpi != 0 && dpi != SystemDpi()) {
    metrics.lfMessageFont.lfHeight = ::MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(dpi),
                                              static_cast<int>(SystemDpi()));
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

UINT SystemDpi() {
  HDC dc = ::GetDC(nullptr);
  const int dpi = dc != nullptr ? ::GetDeviceCaps(dc, LOGPIXELSY) : 0;
  if (dc != nullptr) {
    ::ReleaseDC(nullptr, dc);
  }
  return dpi > 0 ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

UINT WindowDpi(HWND window) {
  const TDpiFunctions& functions = DpiFunctions();
  if (window != nullptr && functions.FGetDpiForWindow != nullptr) {
    const UINT dpi = functions.FGetDpiForWindow(window);
    if (dpi != 0) {
      return dpi;
    }
  }
  return SystemDpi();
}

int SystemMetricForDpi(int index, UINT dpi) {
  const TDpiFunctions& functions = DpiFunctions();
  if (functions.FGetSystemMetricsForDpi != nullptr) {
    return functions.FGetSystemMetricsForDpi(index, dpi);
  }
  return ::MulDiv(::GetSystemMetrics(index), static_cast<int>(dpi), static_cast<int>(SystemDpi()));
}

int WindowMetric(HWND window, int index) {
  const TDpiFunctions& functions = DpiFunctions();
  if (functions.FGetDpiForWindow == nullptr || functions.FGetSystemMetricsForDpi == nullptr) {
    return ::GetSystemMetrics(index);
  }
  return SystemMetricForDpi(index, WindowDpi(window));
}

SIZE WindowSizeForClient(HWND window, SIZE client) {
  RECT rect{0, 0, client.cx, client.cy};
  const auto style = static_cast<DWORD>(::GetWindowLongPtrW(window, GWL_STYLE));
  const auto exStyle = static_cast<DWORD>(::GetWindowLongPtrW(window, GWL_EXSTYLE));
  const TDpiFunctions& functions = DpiFunctions();
  if (functions.FGetDpiForWindow == nullptr || functions.FAdjustWindowRectExForDpi == nullptr ||
      !functions.FAdjustWindowRectExForDpi(&rect, style, FALSE, exStyle, WindowDpi(window))) {
    rect = RECT{0, 0, client.cx, client.cy};
    ::AdjustWindowRectEx(&rect, style, FALSE, exStyle);
  }
  return SIZE{rect.right - rect.left, rect.bottom - rect.top};
}

void PretendNoPerMonitorDpiFunctions(bool pretend) {
  gPretendNoDpiFunctions = pretend;
}

TqevFont CreateMessageFont(int scale, int pixelHeight, UINT dpi) {
  LOGFONTW font = MessageLogFont(dpi);
  if (pixelHeight > 0) {
    font.lfHeight = font.lfHeight < 0 ? -pixelHeight : pixelHeight;
  }
  font.lfHeight *= scale;
  return TqevFont(::CreateFontIndirectW(&font));
}

int MessageFontHeight(UINT dpi) {
  LOGFONTW font = MessageLogFont(dpi);
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
  // A disabled or hidden control takes no keys: the focus stays where it is rather than
  // go where no key reaches (Enter in a multi-line edit names the default button, which
  // may be disabled).
  if (target != nullptr && ::IsWindowEnabled(target) && ::IsWindowVisible(target)) {
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
