// The glue the engine binding stands on: engine results turned into exceptions and
// exceptions back into results, PROPVARIANT values turned into the program's own types,
// the engine's strings, and the engine stream over a borrowed file handle.
//
// The conversions are portable; what depends on the system (the user's decimal
// separator, short date and long time formats, the ANSI code page, the messages of
// result codes, the file calls behind the stream) is gathered in one section per
// platform at the top. Linux takes the user's formats from ICU's default locale.
#include "engine/qev7zUtils.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/vrnErrors.h"
#include "platform/vrnTime.h"

#if !defined(_WIN32)
#include <unicode/udat.h>
#include <unicode/uloc.h>
#include <unicode/unum.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace {

constexpr std::uint64_t kTicksPerMillisecond = 10000;
constexpr std::uint64_t kMillisecondsPerDay = 86400000;
constexpr std::uint64_t kTicksPerDay = kTicksPerMillisecond * kMillisecondsPerDay;
// Days from 1601-01-01 (FILETIME 0) to 1899-12-30 (DATE 0).
constexpr std::int64_t kDateEpochDays = 109205;
// The last day a DATE may name: 9999-12-31.
constexpr std::int64_t kDateLastDay = 2958465;

// The result for a failed system call with Win32 error Code; never success.
HRESULT FailureFromOSError(DWORD code) {
  return code == 0 ? E_FAIL : HResultFromWin32(code);
}

// The generic text of a result code the system has no text for.
UString GenericResultMessage(HRESULT result) {
  return u"Error " + HexToUStr(static_cast<std::uint32_t>(result), 8);
}

struct TResultText {
  HRESULT Result;
  const char16_t* Text;
};

// The codes this program meets, worded as Windows words them, for a system that has no
// text of its own for them.
constexpr TResultText kResultTexts[] = {
    {S_FALSE, u"S_FALSE"},
    {E_NOTIMPL, u"Not implemented"},
    {E_NOINTERFACE, u"No such interface supported"},
    {E_POINTER, u"Invalid pointer"},
    {E_ABORT, u"Operation aborted"},
    {E_FAIL, u"Unspecified error"},
    {E_UNEXPECTED, u"Catastrophic failure"},
    {E_OUTOFMEMORY, u"Not enough memory resources are available to complete this operation"},
    {E_INVALIDARG, u"The parameter is incorrect"},
    {kResultCancelled, u"The operation was canceled by the user"},
};

// The text of one of the codes above; empty for any other.
UString KnownResultMessage(HRESULT result) {
  for (const auto& entry : kResultTexts) {
    if (entry.Result == result) {
      return entry.Text;
    }
  }
  return UString();
}

// ---------------------------------------------------------------------------------------
// What the platform provides.

#if defined(_WIN32)

BSTR STDMETHODCALLTYPE DefaultSysAllocString(const wchar_t* text) {
  return ::SysAllocString(text);
}
void STDMETHODCALLTYPE DefaultSysFreeString(BSTR text) {
  ::SysFreeString(text);
}

// The system's text for a result code, else ours; empty when neither has one.
UString SystemResultMessage(HRESULT result) {
  UString text = FormatSystemMessage(static_cast<DWORD>(result));
  return text.empty() ? KnownResultMessage(result) : text;
}

// The user's decimal separator.
UString DecimalSeparator() {
  wchar_t buffer[8] = {};
  int length = ::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, buffer, 8);
  if (length <= 1) {
    return u".";
  }
  return UString(reinterpret_cast<const char16_t*>(buffer), static_cast<std::size_t>(length - 1));
}

// Text from a Get*FormatEx call, asked once for the size and once for the text.
template <typename Call>
UString FormatWithSystem(Call call) {
  int length = call(nullptr, 0);
  if (length <= 0) {
    RaiseLastOSError();
  }
  std::wstring buffer(static_cast<std::size_t>(length), L'\0');
  length = call(buffer.data(), length);
  if (length <= 0) {
    RaiseLastOSError();
  }
  return UString(reinterpret_cast<const char16_t*>(buffer.data()),
                 static_cast<std::size_t>(length - 1));
}

// A FILETIME as the user's short date, and with WithTime a blank and the long time.
// Raises EOSError when the system refuses the FILETIME.
UString FormatDateTime(std::uint64_t ticks, bool withTime) {
  FILETIME time = UInt64ToFileTime(ticks);
  SYSTEMTIME parts{};
  if (!::FileTimeToSystemTime(&time, &parts)) {
    DWORD error = ::GetLastError();
    RaiseOSError(error != 0 ? error : ERROR_INVALID_PARAMETER);
  }
  UString text = FormatWithSystem([&parts](wchar_t* buffer, int size) {
    return ::GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &parts, nullptr, buffer,
                             size, nullptr);
  });
  if (withTime) {
    text += u' ';
    text += FormatWithSystem([&parts](wchar_t* buffer, int size) {
      return ::GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &parts, nullptr, buffer, size);
    });
  }
  return text;
}

// Text in the ANSI code page as UTF-16.
UString AnsiToUString(const char* text) {
  int length = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (length <= 1) {
    return UString();
  }
  std::wstring buffer(static_cast<std::size_t>(length), L'\0');
  length = ::MultiByteToWideChar(CP_ACP, 0, text, -1, buffer.data(), length);
  return UString(reinterpret_cast<const char16_t*>(buffer.data()),
                 static_cast<std::size_t>(length > 0 ? length - 1 : 0));
}

bool IsUsableHandle(HANDLE handle) {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

HRESULT NativeRead(HANDLE handle, void* data, UInt32 size, UInt32& done) {
  DWORD count = 0;
  if (!::ReadFile(handle, data, size, &count, nullptr)) {
    return FailureFromOSError(::GetLastError());
  }
  done = count;
  return S_OK;
}

HRESULT NativeWrite(HANDLE handle, const void* data, UInt32 size, UInt32& done) {
  DWORD count = 0;
  if (!::WriteFile(handle, data, size, &count, nullptr)) {
    return FailureFromOSError(::GetLastError());
  }
  done = count;
  return S_OK;
}

// Origin is 0, 1 or 2: FILE_BEGIN, FILE_CURRENT, FILE_END.
HRESULT NativeSeek(HANDLE handle, Int64 offset, UInt32 origin, UInt64& position) {
  LARGE_INTEGER distance{};
  distance.QuadPart = offset;
  LARGE_INTEGER moved{};
  if (!::SetFilePointerEx(handle, distance, &moved, origin)) {
    return FailureFromOSError(::GetLastError());
  }
  position = static_cast<UInt64>(moved.QuadPart);
  return S_OK;
}

#else  // Linux

constexpr TSysAllocStringFunc DefaultSysAllocString = nullptr;
constexpr TSysFreeStringFunc DefaultSysFreeString = nullptr;

// The text of a result code; empty when it is not one of ours.
UString SystemResultMessage(HRESULT result) {
  UString text = KnownResultMessage(result);
  if (!text.empty()) {
    return text;
  }
  if ((static_cast<std::uint32_t>(result) & 0xFFFF0000u) == 0x80070000u) {
    return SysErrorMessage(static_cast<DWORD>(result) & 0xFFFFu);
  }
  return UString();
}

// The decimal separator of ICU's default locale, which follows the user's.
UString DecimalSeparator() {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UNumberFormat, decltype(&unum_close)> format(
      unum_open(UNUM_DECIMAL, nullptr, 0, nullptr, nullptr, &status), &unum_close);
  UChar buffer[8] = {};
  int32_t length = U_SUCCESS(status) ? unum_getSymbol(format.get(), UNUM_DECIMAL_SEPARATOR_SYMBOL,
                                                      buffer, 8, &status)
                                     : 0;
  if (U_FAILURE(status) || length <= 0 || length > 8) {
    return u".";
  }
  return UString(buffer, static_cast<std::size_t>(length));
}

// Formats Moment (milliseconds since 1970, shown as UTC so the fields are the
// FILETIME's own) with one ICU style for the time and one for the date.
UString IcuFormat(UDateFormatStyle timeStyle, UDateFormatStyle dateStyle, UDate moment) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UDateFormat, decltype(&udat_close)> format(
      udat_open(timeStyle, dateStyle, nullptr, u"UTC", -1, nullptr, 0, &status), &udat_close);
  UString text(64, u'\0');
  int32_t length = 0;
  if (U_SUCCESS(status)) {
    length = udat_format(format.get(), moment, text.data(), static_cast<int32_t>(text.size()),
                         nullptr, &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      status = U_ZERO_ERROR;
      text.resize(static_cast<std::size_t>(length));
      length = udat_format(format.get(), moment, text.data(), length, nullptr, &status);
    }
  }
  if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) {
    throw EOleError(E_FAIL, u"Cannot format a date: " + FromUtf8(u_errorName(status)));
  }
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// A FILETIME as the user's short date, and with WithTime a blank and the long time
// (ICU's medium time: hours, minutes and seconds, no zone). Raises EOSError for a
// FILETIME beyond the system's range, as Windows does.
UString FormatDateTime(std::uint64_t ticks, bool withTime) {
  if (ticks > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    RaiseOSError(ERROR_INVALID_PARAMETER);
  }
  std::int64_t sinceUnix =
      static_cast<std::int64_t>(ticks) - static_cast<std::int64_t>(kFileTimeUnixEpoch);
  std::int64_t milliseconds = sinceUnix / static_cast<std::int64_t>(kTicksPerMillisecond);
  if (sinceUnix % static_cast<std::int64_t>(kTicksPerMillisecond) < 0) {
    --milliseconds;  // towards the past, as Windows cuts a FILETIME to milliseconds
  }
  UDate moment = static_cast<UDate>(milliseconds);
  UString text = IcuFormat(UDAT_NONE, UDAT_SHORT, moment);
  if (withTime) {
    text += u' ';
    text += IcuFormat(UDAT_MEDIUM, UDAT_NONE, moment);
  }
  return text;
}

// The Linux library's narrow strings are UTF-8.
UString AnsiToUString(const char* text) {
  return FromUtf8(text);
}

bool IsUsableHandle(int handle) {
  return handle >= 0;
}

HRESULT NativeRead(int handle, void* data, UInt32 size, UInt32& done) {
  for (;;) {
    ssize_t count = ::read(handle, data, size);
    if (count >= 0) {
      done = static_cast<UInt32>(count);
      return S_OK;
    }
    if (errno != EINTR) {
      return FailureFromOSError(GetLastOSError());
    }
  }
}

HRESULT NativeWrite(int handle, const void* data, UInt32 size, UInt32& done) {
  for (;;) {
    ssize_t count = ::write(handle, data, size);
    if (count >= 0) {
      done = static_cast<UInt32>(count);
      return S_OK;
    }
    if (errno != EINTR) {
      return FailureFromOSError(GetLastOSError());
    }
  }
}

// Origin is 0, 1 or 2: SEEK_SET, SEEK_CUR, SEEK_END.
HRESULT NativeSeek(int handle, Int64 offset, UInt32 origin, UInt64& position) {
  static constexpr int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  off_t moved = ::lseek(handle, static_cast<off_t>(offset), kWhence[origin]);
  if (moved < 0) {
    return FailureFromOSError(GetLastOSError());
  }
  position = static_cast<UInt64>(moved);
  return S_OK;
}

#endif

// ---------------------------------------------------------------------------------------
// Values in a PROPVARIANT.

std::atomic<TSysAllocStringFunc> gSysAllocString{DefaultSysAllocString};
std::atomic<TSysFreeStringFunc> gSysFreeString{DefaultSysFreeString};

std::int64_t SignedInt64Of(const PROPVARIANT& value) {
#if defined(_WIN32)
  return value.hVal.QuadPart;
#else
  return value.hVal;
#endif
}

std::uint64_t UnsignedInt64Of(const PROPVARIANT& value) {
#if defined(_WIN32)
  return value.uhVal.QuadPart;
#else
  return value.uhVal;
#endif
}

// The value of an integer tag as a signed 64-bit number (VT_UI8 as its bits).
std::optional<std::int64_t> IntegerOf(const PROPVARIANT& value) {
  switch (value.vt) {
    case VT_I1:
      return static_cast<signed char>(value.cVal);
    case VT_I2:
      return value.iVal;
    case VT_I4:
      return value.lVal;
    case VT_ERROR:
      return value.scode;
    case VT_UI1:
      return value.bVal;
    case VT_UI2:
      return value.uiVal;
    case VT_UI4:
      return value.ulVal;
    case VT_I8:
      return SignedInt64Of(value);
    case VT_UI8:
      return static_cast<std::int64_t>(UnsignedInt64Of(value));
    default:
      return std::nullopt;
  }
}

// Engine text as UTF-16. The Linux library keeps UTF-16 units in its 4-byte wchar_t,
// surrogates included (its 7z names and the password it derives keys from are UTF-16),
// so the units are taken as they are; a whole code point beyond the BMP, which it does
// not produce itself, is split into its pair.
UString EngineText(std::wstring_view text) {
#if defined(_WIN32)
  return FromWide(text);
#else
  UString out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    auto unit = static_cast<std::uint32_t>(c);
    if (unit <= 0xFFFF) {
      out += static_cast<char16_t>(unit);
    } else if (unit <= 0x10FFFF) {
      unit -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (unit >> 10));
      out += static_cast<char16_t>(0xDC00 + (unit & 0x3FF));
    } else {
      out += u'\uFFFD';
    }
  }
  return out;
#endif
}

// The text a BSTR holds, as long as its length prefix says.
UString BstrText(BSTR text) {
  if (text == nullptr) {
    return UString();
  }
  return EngineText(std::wstring_view(text, EngineStringByteLength(text) / sizeof(wchar_t)));
}

// Decimal text of an unsigned number.
UString UnsignedText(std::uint64_t number) {
  std::string digits = std::to_string(number);
  return UString(digits.begin(), digits.end());
}

// General float format with 15 significant digits and the user's decimal separator.
UString FloatText(double number) {
  if (number == 0) {
    number = 0;  // no "-0"
  }
  char buffer[64];
  auto converted =
      std::to_chars(buffer, buffer + sizeof(buffer), number, std::chars_format::general, 15);
  UString separator = DecimalSeparator();
  UString text;
  for (const char* c = buffer; c != converted.ptr; ++c) {
    if (*c == '.') {
      text += separator;
    } else {
      text += static_cast<char16_t>(*c);
    }
  }
  return text;
}

// Rounds to the nearest integer, a tie to the even one.
double RoundHalfEven(double number) {
  double rounded = std::round(number);
  if (std::fabs(number - std::trunc(number)) == 0.5) {
    rounded = 2.0 * std::round(number / 2.0);
  }
  return rounded;
}

// Stores a signed whole number as Unsigned: its bits when negative within the signed
// range of the width (as for sign extension), itself up to the unsigned maximum.
template <typename Unsigned>
HRESULT StoreWhole(std::int64_t number, Unsigned& out) {
  using Signed = std::make_signed_t<Unsigned>;
  if (number < std::numeric_limits<Signed>::min() ||
      (number > 0 && static_cast<std::uint64_t>(number) > std::numeric_limits<Unsigned>::max())) {
    return E_INVALIDARG;
  }
  out = static_cast<Unsigned>(number);
  return S_OK;
}

// A float rounded half to even, stored as StoreWhole does; NaN and overflow refused.
template <typename Unsigned>
HRESULT StoreRounded(double number, Unsigned& out) {
  using Signed = std::make_signed_t<Unsigned>;
  if (std::isnan(number)) {
    return E_INVALIDARG;
  }
  double rounded = RoundHalfEven(number);
  double lowest = static_cast<double>(std::numeric_limits<Signed>::min());
  double beyond = std::ldexp(1.0, std::numeric_limits<Unsigned>::digits);
  if (rounded < lowest || rounded >= beyond) {
    return E_INVALIDARG;
  }
  out = rounded < 0 ? static_cast<Unsigned>(static_cast<Signed>(rounded))
                    : static_cast<Unsigned>(rounded);
  return S_OK;
}

// A currency value / 10000, rounded half to even.
std::int64_t CurrencyUnits(std::int64_t scaled) {
  std::int64_t units = scaled / 10000;
  std::int64_t rest = scaled % 10000;
  bool odd = (units & 1) != 0;
  if (rest > 5000 || (rest == 5000 && odd)) {
    ++units;
  } else if (rest < -5000 || (rest == -5000 && odd)) {
    --units;
  }
  return units;
}

// Text trimmed of blanks and control characters and read as a signed decimal integer
// of Signed's width; nothing when it does not parse or overflows.
template <typename Signed>
std::optional<Signed> ParseInteger(UStringView text) {
  while (!text.empty() && text.front() <= u' ') {
    text.remove_prefix(1);
  }
  while (!text.empty() && text.back() <= u' ') {
    text.remove_suffix(1);
  }
  std::string ascii;
  for (char16_t c : text) {
    if (c > 0x7F) {
      return std::nullopt;
    }
    ascii += static_cast<char>(c);
  }
  std::string_view digits = ascii;
  if (!digits.empty() && digits.front() == '+') {
    digits.remove_prefix(1);
    if (!digits.empty() && digits.front() == '-') {
      return std::nullopt;
    }
  }
  Signed number{};
  auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (parsed.ec != std::errc() || parsed.ptr != digits.data() + digits.size()) {
    return std::nullopt;
  }
  return number;
}

// The text of a text tag (VT_BSTR, VT_LPWSTR, VT_LPSTR); nothing for other tags.
std::optional<UString> TextOf(const PROPVARIANT& value) {
  switch (value.vt) {
    case VT_BSTR:
      return BstrText(value.bstrVal);
    case VT_LPWSTR:
      return FromEngineString(value.pwszVal);
    case VT_LPSTR:
      return value.pszVal != nullptr ? AnsiToUString(value.pszVal) : UString();
    default:
      return std::nullopt;
  }
}

// A DATE as FILETIME ticks (no time-zone conversion; milliseconds rounded); nothing
// for NaN and for days outside 1601-01-01 to 9999-12-31. DatePartOnly drops the time.
std::optional<std::uint64_t> DateToTicks(double date, bool datePartOnly) {
  if (!std::isfinite(date)) {
    return std::nullopt;
  }
  // The whole days count from 1899-12-30; the fraction is the time of day whatever the
  // sign, so -1.25 is 1899-12-29 06:00.
  double days = std::trunc(date);
  if (days < -kDateEpochDays || days > kDateLastDay) {
    return std::nullopt;
  }
  std::uint64_t milliseconds =
      datePartOnly ? 0
                   : static_cast<std::uint64_t>(std::round(
                         std::fabs(date - days) * static_cast<double>(kMillisecondsPerDay)));
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(days) + kDateEpochDays) *
             kTicksPerDay +
         milliseconds * kTicksPerMillisecond;
}

// The conversions to UInt32 and UInt64 share every rule but the width.
template <typename Unsigned>
HRESULT PropVariantToUnsigned(const PROPVARIANT& value, Unsigned& number) {
  using Signed = std::make_signed_t<Unsigned>;
  number = 0;
  switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return S_OK;
    case VT_I8:
    case VT_UI8:
      if constexpr (sizeof(Unsigned) < 8) {
        return E_INVALIDARG;
      }
      [[fallthrough]];
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_ERROR:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
      number = static_cast<Unsigned>(*IntegerOf(value));
      return S_OK;
    case VT_R4:
      return StoreRounded(static_cast<double>(value.fltVal), number);
    case VT_R8:
      return StoreRounded(value.dblVal, number);
    case VT_DATE:
      return StoreRounded(value.date, number);
    case VT_CY:
      return StoreWhole(CurrencyUnits(value.cyVal.int64), number);
    case VT_BOOL:
      number = value.boolVal != 0 ? 1 : 0;
      return S_OK;
    case VT_BSTR:
    case VT_LPWSTR:
    case VT_LPSTR:
      if (auto parsed = ParseInteger<Signed>(*TextOf(value))) {
        number = static_cast<Unsigned>(*parsed);
        return S_OK;
      }
      return E_INVALIDARG;
    default:
      return E_INVALIDARG;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Result checks.

void CheckResult(HRESULT result) {
  if (result == S_OK) {
    return;
  }
  if (result == S_FALSE) {
    throw EFalseError();
  }
  throw EOleError(result, OleErrorMessage(result));
}

void CheckResultEx(HRESULT result, bool allowNotImplemented) {
  if (allowNotImplemented && result == E_NOTIMPL) {
    return;
  }
  CheckResult(result);
}

void CheckSucceeded(HRESULT result) {
  if (FAILED(result)) {
    throw EOleError(result, OleErrorMessage(result));
  }
}

HRESULT ExceptionToResult(const std::exception_ptr& error) noexcept {
  if (!error) {
    return E_UNEXPECTED;
  }
  // A caught exception never becomes a success: a code of 0 turns into E_FAIL.
  try {
    std::rethrow_exception(error);
  } catch (const EAbort&) {
    return kResultCancelled;
  } catch (const EOleError& e) {
    return e.ErrorCode() == S_OK ? E_FAIL : e.ErrorCode();
  } catch (const EOutOfMemory&) {
    return E_OUTOFMEMORY;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const EOSError& e) {
    return FailureFromOSError(e.ErrorCode());
  } catch (const EArgumentError&) {
    return E_INVALIDARG;
  } catch (const EInvalidPointer&) {
    return E_POINTER;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

UString OleErrorMessage(HRESULT result) {
  UString text = SystemResultMessage(result);
  return text.empty() ? GenericResultMessage(result) : text;
}

// ---------------------------------------------------------------------------------------
// Conversions.

HRESULT PropVariantToString(const PROPVARIANT& value, UString& text) {
  text.clear();
  switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return S_OK;
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_ERROR:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
      text = IntToUStr(*IntegerOf(value));
      return S_OK;
    case VT_UI8:
      text = UnsignedText(UnsignedInt64Of(value));
      return S_OK;
    case VT_R4:
      text = FloatText(static_cast<double>(value.fltVal));
      return S_OK;
    case VT_R8:
      text = FloatText(value.dblVal);
      return S_OK;
    case VT_CY:
      text = FloatText(static_cast<double>(value.cyVal.int64) / 10000.0);
      return S_OK;
    case VT_DATE:
      if (auto ticks = DateToTicks(value.date, true)) {
        text = FormatDateTime(*ticks, false);
        return S_OK;
      }
      return E_INVALIDARG;
    case VT_BOOL:
      text = value.boolVal != 0 ? u"True" : u"False";
      return S_OK;
    case VT_BSTR:
    case VT_LPWSTR:
    case VT_LPSTR:
      text = *TextOf(value);
      return S_OK;
    case VT_FILETIME: {
      std::uint64_t ticks = FileTimeToUInt64(value.filetime);
      // The time is left out at exactly midnight (to the millisecond).
      text = FormatDateTime(ticks, (ticks / kTicksPerMillisecond) % kMillisecondsPerDay != 0);
      return S_OK;
    }
    case VT_CLSID:
      if (value.puuid == nullptr) {
        return E_INVALIDARG;
      }
      text = GuidToString(*value.puuid);
      return S_OK;
    default:
      return E_INVALIDARG;
  }
}

HRESULT PropVariantToUInt32(const PROPVARIANT& value, std::uint32_t& number) {
  return PropVariantToUnsigned(value, number);
}

HRESULT PropVariantToUInt64(const PROPVARIANT& value, std::uint64_t& number) {
  return PropVariantToUnsigned(value, number);
}

HRESULT PropVariantToBoolean(const PROPVARIANT& value, bool& flag) {
  flag = false;
  switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return S_OK;
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_ERROR:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
      flag = *IntegerOf(value) != 0;
      return S_OK;
    case VT_R4:
      flag = value.fltVal != 0.0f;  // a NaN counts as true
      return S_OK;
    case VT_R8:
      flag = value.dblVal != 0.0;
      return S_OK;
    case VT_BOOL:
      flag = value.boolVal != 0;
      return S_OK;
    case VT_BSTR: {
      UString word = BstrText(value.bstrVal);
      for (char16_t& c : word) {
        if (c >= u'A' && c <= u'Z') {
          c = static_cast<char16_t>(c - u'A' + u'a');
        }
      }
      for (UStringView yes : {u"on", u"yes", u"+", u"1"}) {
        if (word == yes) {
          flag = true;
          return S_OK;
        }
      }
      for (UStringView no : {u"off", u"no", u"-", u"0"}) {
        if (word == no) {
          return S_OK;
        }
      }
      return E_INVALIDARG;
    }
    default:
      return E_INVALIDARG;
  }
}

HRESULT PropVariantToFileTime(const PROPVARIANT& value, FILETIME& time) {
  time = FILETIME{};
  switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return S_OK;
    case VT_FILETIME:
      time = value.filetime;
      return S_OK;
    case VT_DATE:
      if (auto ticks = DateToTicks(value.date, false)) {
        time = UInt64ToFileTime(*ticks);
        return S_OK;
      }
      return E_INVALIDARG;
    default:
      return E_INVALIDARG;
  }
}

HRESULT PropVariantToGUID(const PROPVARIANT& value, GUID& guid) {
  guid = GUID{};
  switch (value.vt) {
    case VT_EMPTY:
      return S_OK;
    case VT_CLSID:
      if (value.puuid == nullptr) {
        return E_INVALIDARG;
      }
      guid = *value.puuid;
      return S_OK;
    case VT_BSTR:
      if (value.bstrVal == nullptr || EngineStringByteLength(value.bstrVal) != sizeof(GUID)) {
        return E_INVALIDARG;
      }
      std::memcpy(&guid, value.bstrVal, sizeof(GUID));
      return S_OK;
    default:
      return E_INVALIDARG;
  }
}

HRESULT PropVariantToBytes(const PROPVARIANT& value, std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  if (value.vt == VT_BSTR && value.bstrVal != nullptr) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(value.bstrVal);
    bytes.assign(data, data + EngineStringByteLength(value.bstrVal));
  }
  return S_OK;
}

HRESULT ClearPropVariant(PROPVARIANT& value) {
  switch (value.vt) {
    case VT_BSTR:
      FreeEngineString(value.bstrVal);
      break;
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_ERROR:
    case VT_BOOL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_FILETIME:
      break;
    default:
      return E_INVALIDARG;
  }
  std::memset(&value, 0, sizeof(value));  // VT_EMPTY, and no stale pointer
  return S_OK;
}

// ---------------------------------------------------------------------------------------
// Engine strings.

void SetEngineStringAllocator(TSysAllocStringFunc alloc, TSysFreeStringFunc free) {
  gSysAllocString.store(alloc);
  gSysFreeString.store(free);
}

BSTR AllocEngineString(UStringView text) {
  if (text.empty()) {
    return nullptr;
  }
  TSysAllocStringFunc alloc = gSysAllocString.load();
  if (alloc == nullptr) {
    throw EOleError(E_UNEXPECTED, u"The engine library's string allocator is not installed");
  }
  BSTR result = alloc(ToEngineString(text).c_str());
  if (result == nullptr) {
    throw EOutOfMemory();
  }
  return result;
}

void FreeEngineString(BSTR text) {
  TSysFreeStringFunc free = gSysFreeString.load();
  if (text != nullptr && free != nullptr) {
    free(text);
  }
}

std::uint32_t EngineStringByteLength(BSTR text) {
  if (text == nullptr) {
    return 0;
  }
  std::uint32_t length = 0;
  std::memcpy(&length, reinterpret_cast<const char*>(text) - sizeof(length), sizeof(length));
  return length;
}

UString FromEngineString(const wchar_t* text) {
  return text != nullptr ? EngineText(text) : UString();
}

std::wstring ToEngineString(UStringView text) {
#if defined(_WIN32)
  return ToWide(text);
#else
  return std::wstring(text.begin(), text.end());  // each UTF-16 unit widened
#endif
}

// ---------------------------------------------------------------------------------------
// The file stream.

Tqev7zFileStream::Tqev7zFileStream(TFileHandle::TNative handle) : FHandle(handle) {
  if (!IsUsableHandle(handle)) {
    throw EOleError(E_INVALIDARG, OleErrorMessage(E_INVALIDARG));
  }
}

HRESULT Tqev7zFileStream::Read(void* data, UInt32 size, UInt32* processedSize) noexcept {
  if (processedSize != nullptr) {
    *processedSize = 0;
  }
  if (size == 0) {
    return S_OK;
  }
  UInt32 done = 0;
  HRESULT result = NativeRead(FHandle, data, size, done);
  if (result == S_OK && processedSize != nullptr) {
    *processedSize = done;
  }
  return result;
}

HRESULT Tqev7zFileStream::Write(const void* data, UInt32 size, UInt32* processedSize) noexcept {
  if (processedSize != nullptr) {
    *processedSize = 0;
  }
  if (size == 0) {
    return S_OK;
  }
  UInt32 done = 0;
  HRESULT result = NativeWrite(FHandle, data, size, done);
  if (result == S_OK && processedSize != nullptr) {
    *processedSize = done;
  }
  return result;
}

HRESULT Tqev7zFileStream::Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) noexcept {
  if (seekOrigin > 2) {
    return HResultFromWin32(ERROR_INVALID_PARAMETER);
  }
  UInt64 position = 0;
  HRESULT result = NativeSeek(FHandle, offset, seekOrigin, position);
  if (result == S_OK && newPosition != nullptr) {
    *newPosition = position;
  }
  return result;
}

HRESULT Tqev7zFileStream::SetSize(UInt64) noexcept {
  return E_NOTIMPL;
}

HRESULT Tqev7zFileStream::GetSize(UInt64* size) noexcept {
  if (size == nullptr) {
    return E_POINTER;
  }
  *size = 0;
  UInt64 position = 0;
  HRESULT result = Seek(0, 1, &position);
  if (result != S_OK) {
    return result;
  }
  UInt64 end = 0;
  HRESULT atEnd = Seek(0, 2, &end);
  // The position goes back even when the seek to the end failed, and a failed return
  // is reported: a moved position would misplace the engine's next read.
  HRESULT back = Seek(static_cast<Int64>(position), 0, nullptr);
  if (atEnd != S_OK) {
    return atEnd;
  }
  if (back != S_OK) {
    return back;
  }
  *size = end;
  return S_OK;
}
