// The engine glue: result checks and the exception mapping, PROPVARIANT conversions,
// engine strings, the file stream over a real temporary file, and the two stream
// adapters. BSTRs come from the real engine library's allocator (oleaut32 on Windows).
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/QuorelSevenZipEx.h"
#include "engine/qev7zUtils.h"
#include "engine/vrn7zPlugin.h"
#include "platform/vrnErrors.h"
#include "platform/vrnFiles.h"
#include "platform/vrnLibrary.h"
#include "platform/vrnTime.h"

#if !defined(_WIN32)
#include <unicode/uloc.h>
#include <unicode/unum.h>
#endif

namespace {

static_assert(offsetof(PROPVARIANT, filetime) == 8, "the value sits at offset 8");

// A variant of tag Vt whose 8-byte value starts with the bytes of Bits.
template <typename T = std::uint64_t>
PROPVARIANT Var(VARTYPE vt, T bits = T{}) {
  static_assert(sizeof(T) <= 8);
  PROPVARIANT value;
  std::memset(&value, 0, sizeof(value));
  value.vt = vt;
  std::memcpy(reinterpret_cast<unsigned char*>(&value) + 8, &bits, sizeof(T));
  return value;
}

FILETIME FileTimeOf(std::uint64_t ticks) {
  return UInt64ToFileTime(ticks);
}

constexpr std::uint64_t kTicksPerSecond = 10000000;
constexpr std::uint64_t kTicksPerDay = 86400 * kTicksPerSecond;
// 2024-03-15 00:00:00 as a FILETIME, and as a DATE (days since 1899-12-30).
constexpr std::uint64_t kMarch15 = 154571 * kTicksPerDay;
constexpr double kMarch15Date = 45366.0;

// The user's decimal separator, as the platform reports it.
UString PlatformDecimalSeparator() {
#if defined(_WIN32)
  wchar_t buffer[8] = {};
  int length = ::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, buffer, 8);
  return UString(reinterpret_cast<const char16_t*>(buffer), length > 1 ? length - 1 : 0);
#else
  UErrorCode status = U_ZERO_ERROR;
  UNumberFormat* format = unum_open(UNUM_DECIMAL, nullptr, 0, nullptr, nullptr, &status);
  UChar buffer[8] = {};
  int32_t length = unum_getSymbol(format, UNUM_DECIMAL_SEPARATOR_SYMBOL, buffer, 8, &status);
  unum_close(format);
  return UString(buffer, static_cast<std::size_t>(length));
#endif
}

// ---------------------------------------------------------------------------------------
// Result checks and the exception mapping.

TEST(QevResultTest, CheckResultPassesOnlyOk) {
  EXPECT_NO_THROW(CheckResult(S_OK));

  try {
    CheckResult(S_FALSE);
    FAIL() << "S_FALSE passed";
  } catch (const EFalseError& e) {
    EXPECT_EQ(e.ErrorCode(), 1);
    EXPECT_NE(e.Message().find(u"S_FALSE"), UString::npos);
    EXPECT_NE(e.Message().find(u"0x00000001"), UString::npos);
  }

  // Other success codes fail too, as plain OLE errors with the system's message.
  for (HRESULT code : {HRESULT(2), E_FAIL, E_NOTIMPL}) {
    try {
      CheckResult(code);
      ADD_FAILURE() << "passed " << code;
    } catch (const EFalseError&) {
      ADD_FAILURE() << "EFalseError for " << code;
    } catch (const EOleError& e) {
      EXPECT_EQ(e.ErrorCode(), code);
      EXPECT_EQ(e.Message(), OleErrorMessage(code));
    }
  }
}

TEST(QevResultTest, CheckResultExLetsOnlyNotImplementedThroughWhenAllowed) {
  EXPECT_NO_THROW(CheckResultEx(E_NOTIMPL, true));
  EXPECT_NO_THROW(CheckResultEx(S_OK, true));
  EXPECT_THROW(CheckResultEx(E_NOTIMPL, false), EOleError);
  EXPECT_THROW(CheckResultEx(E_FAIL, true), EOleError);
  EXPECT_THROW(CheckResultEx(S_FALSE, true), EFalseError);
}

TEST(QevResultTest, CheckSucceededRaisesOnlyForFailureCodes) {
  for (HRESULT code : {S_OK, S_FALSE, HRESULT(2)}) {
    EXPECT_NO_THROW(CheckSucceeded(code)) << code;
  }
  try {
    CheckSucceeded(E_ABORT);
    FAIL() << "E_ABORT passed";
  } catch (const EFalseError&) {
    FAIL() << "EFalseError for a failure code";
  } catch (const EOleError& e) {
    EXPECT_EQ(e.ErrorCode(), E_ABORT);
  }
}

TEST(QevResultTest, ExceptionToResultMapsEveryKind) {
  struct TCase {
    const char* Name;
    std::exception_ptr Error;
    HRESULT Expected;
  };
  const TCase cases[] = {
      {"abort", std::make_exception_ptr(EAbort()), HRESULT(0x800704C7)},
      {"OLE error", std::make_exception_ptr(EOleError(E_NOTIMPL, u"x")), E_NOTIMPL},
      {"S_FALSE", std::make_exception_ptr(EFalseError()), S_FALSE},
      {"OLE error of code 0", std::make_exception_ptr(EOleError(S_OK, u"x")), E_FAIL},
      {"out of memory", std::make_exception_ptr(EOutOfMemory()), E_OUTOFMEMORY},
      {"bad_alloc", std::make_exception_ptr(std::bad_alloc()), E_OUTOFMEMORY},
      {"OS error", std::make_exception_ptr(EOSError(ERROR_ACCESS_DENIED, u"x")),
       HRESULT(0x80070005)},
      {"OS error, high bits", std::make_exception_ptr(EOSError(0x12345, u"x")),
       HRESULT(0x80072345)},
      {"OS error of code 0", std::make_exception_ptr(EOSError(0, u"x")), E_FAIL},
      {"argument", std::make_exception_ptr(EArgumentError(u"x")), E_INVALIDARG},
      {"invalid pointer", std::make_exception_ptr(EInvalidPointer()), E_POINTER},
      {"other error of ours", std::make_exception_ptr(EListError(u"x")), E_UNEXPECTED},
      {"std exception", std::make_exception_ptr(std::runtime_error("x")), E_UNEXPECTED},
      {"not an exception class", std::make_exception_ptr(42), E_UNEXPECTED},
      {"no exception", std::exception_ptr(), E_UNEXPECTED},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExceptionToResult(c.Error), c.Expected) << c.Name;
  }
}

TEST(QevResultTest, OleErrorMessageNamesUnknownCodes) {
  for (HRESULT code : {E_FAIL, E_ABORT, E_INVALIDARG, E_OUTOFMEMORY, HRESULT(0x800704C7)}) {
    UString text = OleErrorMessage(code);
    EXPECT_FALSE(text.empty()) << code;
    EXPECT_EQ(text.find(u"Error 0x"), UString::npos) << ToUtf8(text);
  }
  EXPECT_EQ(OleErrorMessage(HResultFromWin32(ERROR_ACCESS_DENIED)),
            SysErrorMessage(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OleErrorMessage(HRESULT(0x8123ABCD)), u"Error 0x8123ABCD");
}

// ---------------------------------------------------------------------------------------
// Conversions of tags that hold no pointer.

template <typename T>
struct TExpect {
  HRESULT Result;
  T Value;
};
constexpr TExpect<std::uint32_t> kNoUInt32{E_INVALIDARG, 0};
constexpr TExpect<std::uint64_t> kNoUInt64{E_INVALIDARG, 0};
constexpr TExpect<bool> kNoBoolean{E_INVALIDARG, false};

struct TConversionCase {
  const char* Name;
  PROPVARIANT Value;
  std::optional<UString> Text;  // nothing: locale-dependent, checked elsewhere
  TExpect<std::uint32_t> UInt32;
  TExpect<std::uint64_t> UInt64;
  TExpect<bool> Boolean;
};

TEST(PropVariantTest, TagTable) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const TConversionCase cases[] = {
      {"empty", Var(VT_EMPTY), u"", {S_OK, 0}, {S_OK, 0}, {S_OK, false}},
      {"null", Var(VT_NULL), u"", {S_OK, 0}, {S_OK, 0}, {S_OK, false}},
      {"I1",
       Var(VT_I1, std::int8_t(-5)),
       u"-5",
       {S_OK, 0xFFFFFFFB},
       {S_OK, 0xFFFFFFFFFFFFFFFB},
       {S_OK, true}},
      {"I2",
       Var(VT_I2, std::int16_t(-300)),
       u"-300",
       {S_OK, 0xFFFFFED4},
       {S_OK, 0xFFFFFFFFFFFFFED4},
       {S_OK, true}},
      {"I4 -1",
       Var(VT_I4, std::int32_t(-1)),
       u"-1",
       {S_OK, 0xFFFFFFFF},
       {S_OK, 0xFFFFFFFFFFFFFFFF},
       {S_OK, true}},
      {"I4 0", Var(VT_I4, std::int32_t(0)), u"0", {S_OK, 0}, {S_OK, 0}, {S_OK, false}},
      {"ERROR",
       Var(VT_ERROR, std::int32_t(E_FAIL)),
       u"-2147467259",
       {S_OK, 0x80004005},
       {S_OK, 0xFFFFFFFF80004005},
       {S_OK, true}},
      {"UI1", Var(VT_UI1, std::uint8_t(200)), u"200", {S_OK, 200}, {S_OK, 200}, {S_OK, true}},
      {"UI2",
       Var(VT_UI2, std::uint16_t(65535)),
       u"65535",
       {S_OK, 65535},
       {S_OK, 65535},
       {S_OK, true}},
      {"UI4",
       Var(VT_UI4, std::uint32_t(0xFFFFFFFF)),
       u"4294967295",
       {S_OK, 0xFFFFFFFF},
       {S_OK, 0xFFFFFFFF},
       {S_OK, true}},
      {"I8",
       Var(VT_I8, std::int64_t(-2)),
       u"-2",
       kNoUInt32,
       {S_OK, 0xFFFFFFFFFFFFFFFE},
       {S_OK, true}},
      {"UI8 small", Var(VT_UI8, std::uint64_t(5)), u"5", kNoUInt32, {S_OK, 5}, {S_OK, true}},
      {"UI8 all bits",
       Var(VT_UI8, ~std::uint64_t(0)),
       u"18446744073709551615",
       kNoUInt32,
       {S_OK, ~std::uint64_t(0)},
       {S_OK, true}},
      {"BOOL true", Var(VT_BOOL, VARIANT_BOOL(-1)), u"True", {S_OK, 1}, {S_OK, 1}, {S_OK, true}},
      {"BOOL false", Var(VT_BOOL, VARIANT_BOOL(0)), u"False", {S_OK, 0}, {S_OK, 0}, {S_OK, false}},
      // Floats round half to even; out of range and NaN are refused, not cut to bits.
      {"R8 2.5", Var(VT_R8, 2.5), std::nullopt, {S_OK, 2}, {S_OK, 2}, {S_OK, true}},
      {"R8 3.5", Var(VT_R8, 3.5), std::nullopt, {S_OK, 4}, {S_OK, 4}, {S_OK, true}},
      {"R8 -1",
       Var(VT_R8, -1.0),
       u"-1",
       {S_OK, 0xFFFFFFFF},
       {S_OK, 0xFFFFFFFFFFFFFFFF},
       {S_OK, true}},
      {"R8 1e10", Var(VT_R8, 1e10), std::nullopt, kNoUInt32, {S_OK, 10000000000}, {S_OK, true}},
      {"R8 2^64",
       Var(VT_R8, 18446744073709551616.0),
       std::nullopt,
       kNoUInt32,
       kNoUInt64,
       {S_OK, true}},
      {"R8 NaN", Var(VT_R8, nan), std::nullopt, kNoUInt32, kNoUInt64, {S_OK, true}},
      {"R8 0", Var(VT_R8, 0.0), u"0", {S_OK, 0}, {S_OK, 0}, {S_OK, false}},
      {"R8 -0", Var(VT_R8, -0.0), u"0", {S_OK, 0}, {S_OK, 0}, {S_OK, false}},
      {"R4 1.5", Var(VT_R4, 1.5f), std::nullopt, {S_OK, 2}, {S_OK, 2}, {S_OK, true}},
      // Currency is scaled by 10000.
      {"CY 2.5", Var(VT_CY, std::int64_t(25000)), std::nullopt, {S_OK, 2}, {S_OK, 2}, kNoBoolean},
      {"CY 3.5", Var(VT_CY, std::int64_t(35000)), std::nullopt, {S_OK, 4}, {S_OK, 4}, kNoBoolean},
      {"CY -1.5",
       Var(VT_CY, std::int64_t(-15000)),
       std::nullopt,
       {S_OK, 0xFFFFFFFE},
       {S_OK, 0xFFFFFFFFFFFFFFFE},
       kNoBoolean},
      {"CY 7", Var(VT_CY, std::int64_t(70000)), u"7", {S_OK, 7}, {S_OK, 7}, kNoBoolean},
      {"DATE",
       Var(VT_DATE, kMarch15Date + 0.5),
       std::nullopt,
       {S_OK, 45366},
       {S_OK, 45366},
       kNoBoolean},
      {"FILETIME", Var(VT_FILETIME, FileTimeOf(kMarch15)), std::nullopt, kNoUInt32, kNoUInt64,
       kNoBoolean},
      {"CLSID nil", Var(VT_CLSID), std::nullopt, kNoUInt32, kNoUInt64, kNoBoolean},
      {"INT (not ours)", Var(VT_INT, std::int32_t(1)), std::nullopt, kNoUInt32, kNoUInt64,
       kNoBoolean},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    if (c.Text) {
      UString text = u"stale";
      EXPECT_EQ(PropVariantToString(c.Value, text), S_OK);
      EXPECT_EQ(text, *c.Text);
    }
    std::uint32_t u32 = 77;
    EXPECT_EQ(PropVariantToUInt32(c.Value, u32), c.UInt32.Result);
    EXPECT_EQ(u32, c.UInt32.Value);
    std::uint64_t u64 = 77;
    EXPECT_EQ(PropVariantToUInt64(c.Value, u64), c.UInt64.Result);
    EXPECT_EQ(u64, c.UInt64.Value);
    bool flag = true;
    EXPECT_EQ(PropVariantToBoolean(c.Value, flag), c.Boolean.Result);
    EXPECT_EQ(flag, c.Boolean.Value);
  }
  UString text = u"stale";
  EXPECT_EQ(PropVariantToString(Var(VT_INT, std::int32_t(1)), text), E_INVALIDARG);
  EXPECT_EQ(text, u"");
  EXPECT_EQ(PropVariantToString(Var(VT_CLSID), text), E_INVALIDARG);
}

TEST(PropVariantTest, FloatTextUsesFifteenDigitsAndTheUsersSeparator) {
  const UString sep = PlatformDecimalSeparator();
  ASSERT_FALSE(sep.empty());
  struct TCase {
    PROPVARIANT Value;
    UString Expected;
  };
  const TCase cases[] = {
      {Var(VT_R8, 1234.5), u"1234" + sep + u"5"},
      {Var(VT_R8, 1.0 / 3.0), u"0" + sep + u"333333333333333"},
      {Var(VT_R8, 0.1 + 0.2), u"0" + sep + u"3"},  // 15 digits hide the binary noise
      {Var(VT_R8, -0.125), u"-0" + sep + u"125"},
      {Var(VT_R8, 42.0), u"42"},
      {Var(VT_R8, 1e20), u"1e+20"},
      {Var(VT_R4, 0.1f), u"0" + sep + u"100000001490116"},  // the float's own value
      {Var(VT_CY, std::int64_t(12345678)), u"1234" + sep + u"5678"},
  };
  for (const auto& c : cases) {
    UString text;
    EXPECT_EQ(PropVariantToString(c.Value, text), S_OK);
    EXPECT_EQ(text, c.Expected);
  }
}

TEST(PropVariantTest, DateTextIsShortDateAndLongTimeWithoutTimeAtMidnight) {
  const std::uint64_t afternoon = kMarch15 + (13 * 3600 + 45 * 60 + 30) * kTicksPerSecond;
  UString midnight, withTime, dateOnly, lateDate;
  ASSERT_EQ(PropVariantToString(Var(VT_FILETIME, FileTimeOf(kMarch15)), midnight), S_OK);
  ASSERT_EQ(PropVariantToString(Var(VT_FILETIME, FileTimeOf(afternoon)), withTime), S_OK);
  ASSERT_EQ(PropVariantToString(Var(VT_DATE, kMarch15Date), dateOnly), S_OK);
  ASSERT_EQ(PropVariantToString(Var(VT_DATE, kMarch15Date + 0.999), lateDate), S_OK);

  EXPECT_NE(midnight.find(u"15"), UString::npos) << ToUtf8(midnight);
  EXPECT_EQ(midnight.find(u"00"), UString::npos) << "no time at midnight: " << ToUtf8(midnight);
  ASSERT_GT(withTime.size(), midnight.size() + 1);
  EXPECT_EQ(withTime.substr(0, midnight.size() + 1), midnight + u" ");
  EXPECT_NE(withTime.find(u"45", midnight.size()), UString::npos) << ToUtf8(withTime);
  EXPECT_NE(withTime.find(u"30", midnight.size()), UString::npos) << ToUtf8(withTime);
  // A DATE shows its day only, however late in the day.
  EXPECT_EQ(dateOnly, midnight);
  EXPECT_EQ(lateDate, midnight);
}

TEST(PropVariantTest, TimesOutsideTheSystemsRange) {
  UString text;
  // The system refuses a FILETIME with the top bit set: that is raised, not answered.
  EXPECT_THROW(PropVariantToString(Var(VT_FILETIME, FileTimeOf(~std::uint64_t(0))), text),
               EOSError);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double date : {nan, -109206.0, 2958466.0}) {  // NaN, the day before 1601, after 9999
    EXPECT_EQ(PropVariantToString(Var(VT_DATE, date), text), E_INVALIDARG) << date;
    FILETIME time{1, 1};
    EXPECT_EQ(PropVariantToFileTime(Var(VT_DATE, date), time), E_INVALIDARG) << date;
    EXPECT_EQ(FileTimeToUInt64(time), 0u);
  }
}

#if !defined(_WIN32)
// Sets ICU's default locale, which stands for the user's, for one scope.
class TDefaultLocale {
 public:
  explicit TDefaultLocale(const char* id) : FSaved(uloc_getDefault()) {
    UErrorCode status = U_ZERO_ERROR;
    uloc_setDefault(id, &status);
  }
  ~TDefaultLocale() {
    UErrorCode status = U_ZERO_ERROR;
    uloc_setDefault(FSaved.c_str(), &status);
  }

 private:
  std::string FSaved;
};

TEST(PropVariantTest, GermanLocaleTextIsExact) {
  TDefaultLocale german("de_DE");
  const std::uint64_t afternoon = kMarch15 + (13 * 3600 + 45 * 60 + 30) * kTicksPerSecond;
  struct TCase {
    PROPVARIANT Value;
    UString Expected;
  };
  const TCase cases[] = {
      {Var(VT_R8, 1234.5), u"1234,5"},
      {Var(VT_FILETIME, FileTimeOf(afternoon)), u"15.03.24 13:45:30"},
      {Var(VT_FILETIME, FileTimeOf(kMarch15)), u"15.03.24"},
      {Var(VT_DATE, kMarch15Date + 0.75), u"15.03.24"},
  };
  for (const auto& c : cases) {
    UString text;
    EXPECT_EQ(PropVariantToString(c.Value, text), S_OK);
    EXPECT_EQ(text, c.Expected);
  }
}
#endif

TEST(PropVariantTest, FileTimeConversions) {
  struct TCase {
    const char* Name;
    PROPVARIANT Value;
    HRESULT Result;
    std::uint64_t Ticks;
  };
  const TCase cases[] = {
      {"FILETIME", Var(VT_FILETIME, FileTimeOf(0x0123456789ABCDEF)), S_OK, 0x0123456789ABCDEF},
      {"empty", Var(VT_EMPTY), S_OK, 0},
      {"null", Var(VT_NULL), S_OK, 0},
      {"DATE", Var(VT_DATE, kMarch15Date + 0.75), S_OK, kMarch15 + 18 * 3600 * kTicksPerSecond},
      // A negative DATE counts days back, but its fraction is still the time of day.
      {"DATE -1.25", Var(VT_DATE, -1.25), S_OK,
       (109205 - 1) * kTicksPerDay + 6 * 3600 * kTicksPerSecond},
      {"DATE first day", Var(VT_DATE, -109205.0), S_OK, 0},
      {"UI8", Var(VT_UI8, std::uint64_t(5)), E_INVALIDARG, 0},
      {"BSTR", Var(VT_BSTR), E_INVALIDARG, 0},
  };
  for (const auto& c : cases) {
    FILETIME time{7, 7};
    EXPECT_EQ(PropVariantToFileTime(c.Value, time), c.Result) << c.Name;
    EXPECT_EQ(FileTimeToUInt64(time), c.Ticks) << c.Name;
  }
}

TEST(PropVariantTest, GuidConversions) {
  GUID id = CLSID_Format7z;
  UString text;
  EXPECT_EQ(PropVariantToString(Var(VT_CLSID, &id), text), S_OK);
  EXPECT_EQ(text, u"{23170F69-40C1-278A-1000-000110070000}");

  GUID guid{};
  EXPECT_EQ(PropVariantToGUID(Var(VT_CLSID, &id), guid), S_OK);
  EXPECT_EQ(guid, CLSID_Format7z);
  struct TCase {
    const char* Name;
    PROPVARIANT Value;
    HRESULT Result;
  };
  const TCase cases[] = {
      {"empty", Var(VT_EMPTY), S_OK},
      {"null", Var(VT_NULL), E_INVALIDARG},
      {"nil CLSID", Var(VT_CLSID), E_INVALIDARG},
      {"nil BSTR", Var(VT_BSTR), E_INVALIDARG},
      {"UI4", Var(VT_UI4, std::uint32_t(1)), E_INVALIDARG},
  };
  for (const auto& c : cases) {
    guid = CLSID_Format7z;
    EXPECT_EQ(PropVariantToGUID(c.Value, guid), c.Result) << c.Name;
    EXPECT_EQ(guid, GUID{}) << c.Name;
  }
}

TEST(PropVariantTest, NarrowAndWideTextTags) {
  std::wstring wide = ToEngineString(u" 42 x\U0001F600");
  char ascii[] = " 17\t";
  struct TCase {
    PROPVARIANT Value;
    UString Text;
    TExpect<std::uint32_t> UInt32;
  };
  const TCase cases[] = {
      {Var(VT_LPWSTR, wide.data()), u" 42 x\U0001F600", kNoUInt32},
      {Var(VT_LPSTR, static_cast<char*>(ascii)), u" 17\t", {S_OK, 17}},
      {Var(VT_LPWSTR), u"", kNoUInt32},
  };
  for (const auto& c : cases) {
    UString text;
    EXPECT_EQ(PropVariantToString(c.Value, text), S_OK);
    EXPECT_EQ(text, c.Text);
    std::uint32_t number = 5;
    EXPECT_EQ(PropVariantToUInt32(c.Value, number), c.UInt32.Result);
    EXPECT_EQ(number, c.UInt32.Value);
    bool flag = true;
    EXPECT_EQ(PropVariantToBoolean(c.Value, flag), E_INVALIDARG);  // only a BSTR has words
  }
#if !defined(_WIN32)
  char utf8[] = "caf\xC3\xA9";
  UString text;
  EXPECT_EQ(PropVariantToString(Var(VT_LPSTR, static_cast<char*>(utf8)), text), S_OK);
  EXPECT_EQ(text, u"caf\u00E9");
#endif
}

TEST(PropVariantTest, ClearPropVariantKnowsItsTags) {
  for (VARTYPE vt : {VT_EMPTY, VT_NULL, VT_I2, VT_I4, VT_R4, VT_R8, VT_ERROR, VT_BOOL, VT_I1,
                     VT_UI1, VT_UI2, VT_UI4, VT_I8, VT_UI8, VT_FILETIME}) {
    PROPVARIANT value = Var(vt, std::uint64_t(0x1122334455667788));
    EXPECT_EQ(ClearPropVariant(value), S_OK) << vt;
    EXPECT_EQ(value.vt, VT_EMPTY) << vt;
  }
  // Tags it cannot free stay as they are, so whoever owns them still can.
  for (VARTYPE vt : {VT_CY, VT_DATE, VT_LPSTR, VT_LPWSTR, VT_CLSID, VT_INT}) {
    const PROPVARIANT original = Var(vt, std::uint64_t(0x1122334455667788));
    PROPVARIANT value = original;
    EXPECT_EQ(ClearPropVariant(value), E_INVALIDARG) << vt;
    EXPECT_EQ(std::memcmp(&value, &original, sizeof(value)), 0) << vt;
  }
}

// ---------------------------------------------------------------------------------------
// Tags that hold a BSTR of the engine's allocator.

// The engine library stays loaded for the whole run: strings it made must outlive any
// test that frees it. On Linux its own allocator is installed before each test.
class PropVariantBstrTest : public ::testing::Test {
 protected:
  static const TLibrary& Engine() {
    static const TLibrary* library = new TLibrary(EngineLibraryPath());
    return *library;
  }

  void SetUp() override {
    ASSERT_TRUE(Engine().IsLoaded()) << ToUtf8(EngineLibraryPath());
#if !defined(_WIN32)
    auto alloc = Engine().GetProcAs<TSysAllocStringFunc>("SysAllocString");
    auto free = Engine().GetProcAs<TSysFreeStringFunc>("SysFreeString");
    ASSERT_NE(alloc, nullptr);
    ASSERT_NE(free, nullptr);
    SetEngineStringAllocator(alloc, free);
#endif
  }

  // A VT_BSTR variant holding Text.
  static PROPVARIANT Text(UStringView text) {
    return Var(VT_BSTR, AllocEngineString(text));
  }
  // A VT_BSTR variant holding raw bytes, as the engine hands signatures and class IDs.
  static PROPVARIANT Bytes(const std::vector<std::uint8_t>& bytes) {
    const char* data = reinterpret_cast<const char*>(bytes.data());
    auto size = static_cast<UINT>(bytes.size());
#if defined(_WIN32)
    BSTR text = ::SysAllocStringByteLen(data, size);
#else
    using TAllocBytes = BSTR (*)(const char*, UINT);
    BSTR text = Engine().GetProcAs<TAllocBytes>("SysAllocStringByteLen")(data, size);
#endif
    return Var(VT_BSTR, text);
  }
};

TEST_F(PropVariantBstrTest, TextIsGivenUnchangedAndParsedTrimmed) {
  struct TCase {
    UString Text;
    TExpect<std::uint32_t> UInt32;
    TExpect<std::uint64_t> UInt64;
  };
  const TCase cases[] = {
      {u" 42 ", {S_OK, 42}, {S_OK, 42}},
      {u"\t+7\r\n", {S_OK, 7}, {S_OK, 7}},
      {u"-1", {S_OK, 0xFFFFFFFF}, {S_OK, 0xFFFFFFFFFFFFFFFF}},
      {u"4x", kNoUInt32, kNoUInt64},
      {u"2147483647", {S_OK, 2147483647}, {S_OK, 2147483647}},
      // Read as a signed number of the width: beyond its range is refused.
      {u"4294967295", kNoUInt32, {S_OK, 4294967295}},
      {u"-9223372036854775808", kNoUInt32, {S_OK, 0x8000000000000000}},
      {u"9223372036854775808", kNoUInt32, kNoUInt64},
      {u"1 2", kNoUInt32, kNoUInt64},
      {u"+-1", kNoUInt32, kNoUInt64},
      {u"+", kNoUInt32, kNoUInt64},
      {u"0x10", kNoUInt32, kNoUInt64},
      {u"\uFF14\uFF12", kNoUInt32, kNoUInt64},  // full-width digits
      {u"", kNoUInt32, kNoUInt64},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToUtf8(c.Text));
    PROPVARIANT value = Text(c.Text);
    UString text;
    EXPECT_EQ(PropVariantToString(value, text), S_OK);
    EXPECT_EQ(text, c.Text);
    std::uint32_t u32 = 5;
    EXPECT_EQ(PropVariantToUInt32(value, u32), c.UInt32.Result);
    EXPECT_EQ(u32, c.UInt32.Value);
    std::uint64_t u64 = 5;
    EXPECT_EQ(PropVariantToUInt64(value, u64), c.UInt64.Result);
    EXPECT_EQ(u64, c.UInt64.Value);
    EXPECT_EQ(ClearPropVariant(value), S_OK);
    EXPECT_EQ(value.vt, VT_EMPTY);
    EXPECT_EQ(value.bstrVal, nullptr);
  }
}

TEST_F(PropVariantBstrTest, BooleanWords) {
  struct TCase {
    UString Word;
    TExpect<bool> Expected;
  };
  const TCase cases[] = {
      {u"YES", {S_OK, true}},  {u"on", {S_OK, true}},  {u"+", {S_OK, true}},  {u"1", {S_OK, true}},
      {u"Off", {S_OK, false}}, {u"NO", {S_OK, false}}, {u"-", {S_OK, false}}, {u"0", {S_OK, false}},
      {u"2", kNoBoolean},      {u" yes", kNoBoolean},  {u"true", kNoBoolean}, {u"", kNoBoolean},
  };
  for (const auto& c : cases) {
    PROPVARIANT value = Text(c.Word);
    bool flag = !c.Expected.Value;
    EXPECT_EQ(PropVariantToBoolean(value, flag), c.Expected.Result) << ToUtf8(c.Word);
    EXPECT_EQ(flag, c.Expected.Value) << ToUtf8(c.Word);
    ClearPropVariant(value);
  }
}

TEST_F(PropVariantBstrTest, GuidOnlyFromSixteenBytes) {
  std::vector<std::uint8_t> raw(sizeof(GUID));
  std::memcpy(raw.data(), &CLSID_Format7z, sizeof(GUID));
  PROPVARIANT sixteen = Bytes(raw);
  GUID guid{};
  EXPECT_EQ(PropVariantToGUID(sixteen, guid), S_OK);
  EXPECT_EQ(guid, CLSID_Format7z);
  ClearPropVariant(sixteen);

  for (std::size_t length : {std::size_t(15), std::size_t(17)}) {
    raw.resize(length, 0xAB);
    PROPVARIANT other = Bytes(raw);
    guid = CLSID_Format7z;
    EXPECT_EQ(PropVariantToGUID(other, guid), E_INVALIDARG) << length;
    EXPECT_EQ(guid, GUID{});
    ClearPropVariant(other);
  }
}

TEST_F(PropVariantBstrTest, BytesFollowTheLengthPrefix) {
  const std::vector<std::uint8_t> raw = {0x37, 0x7A, 0x00, 0xBC, 0xAF};  // a zero inside
  PROPVARIANT value = Bytes(raw);
  std::vector<std::uint8_t> bytes = {9};
  EXPECT_EQ(PropVariantToBytes(value, bytes), S_OK);
  EXPECT_EQ(bytes, raw);
  ClearPropVariant(value);

  for (PROPVARIANT none : {Var(VT_UI4, std::uint32_t(7)), Var(VT_BSTR), Var(VT_EMPTY)}) {
    bytes = {9};
    EXPECT_EQ(PropVariantToBytes(none, bytes), S_OK);
    EXPECT_TRUE(bytes.empty());
  }
}

TEST_F(PropVariantBstrTest, EngineStringsRoundTrip) {
  const UString text = u"a\u00E9\U0001F600z";  // a pair of surrogates in the middle
  BSTR bstr = AllocEngineString(text);
  ASSERT_NE(bstr, nullptr);
  EXPECT_EQ(FromEngineString(bstr), text);
  EXPECT_EQ(EngineStringByteLength(bstr), ToEngineString(text).size() * sizeof(wchar_t));
  PROPVARIANT value = Var(VT_BSTR, bstr);
  UString converted;
  EXPECT_EQ(PropVariantToString(value, converted), S_OK);
  EXPECT_EQ(converted, text);
  ClearPropVariant(value);

#if !defined(_WIN32)
  // The Linux library keeps UTF-16 units in its wchar_t: a password beyond the BMP only
  // matches the archive's key as a surrogate pair, and names arrive that way.
  EXPECT_EQ(ToEngineString(u"\U0001F600"), (std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}));
  EXPECT_EQ(FromEngineString(L"\U0001F600"), u"\U0001F600");  // a whole code point too
#endif
  EXPECT_EQ(AllocEngineString(u""), nullptr);
  EXPECT_EQ(EngineStringByteLength(nullptr), 0u);
  EXPECT_EQ(FromEngineString(nullptr), u"");
  FreeEngineString(nullptr);
}

// ---------------------------------------------------------------------------------------
// The file stream.

std::string ReadAll(IInStream* stream) {
  std::string data(64, '\0');
  UInt32 done = 0;
  EXPECT_EQ(stream->Read(data.data(), static_cast<UInt32>(data.size()), &done), S_OK);
  data.resize(done);
  return data;
}

TEST(QevFileStreamTest, ReadsWritesAndSeeksAtTheHandlesPosition) {
  TFileHandle file = CreateTempFile();
  TComPtr<Tqev7zFileStream> stream = MakeCounted<Tqev7zFileStream>(file.Native());
  UInt32 done = 0;
  ASSERT_EQ(stream->Write("0123456789", 10, &done), S_OK);
  EXPECT_EQ(done, 10u);

  UInt64 position = 99;
  EXPECT_EQ(stream->Seek(3, 0, &position), S_OK);
  EXPECT_EQ(position, 3u);
  char buffer[16] = {};
  EXPECT_EQ(stream->Read(buffer, 4, &done), S_OK);
  EXPECT_EQ(std::string(buffer, done), "3456");
  EXPECT_EQ(stream->Seek(-2, 1, &position), S_OK);
  EXPECT_EQ(position, 5u);
  EXPECT_EQ(stream->Seek(-3, 2, &position), S_OK);
  EXPECT_EQ(position, 7u);
  EXPECT_EQ(ReadAll(stream.Get()), "789");  // short at the end
  EXPECT_EQ(stream->Read(buffer, 4, &done), S_OK);
  EXPECT_EQ(done, 0u);

  // GetSize puts the position back; the handle's own position is the stream's.
  EXPECT_EQ(stream->Seek(4, 0, nullptr), S_OK);
  UInt64 size = 0;
  EXPECT_EQ(stream->GetSize(&size), S_OK);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(FileSeek(file, 0, 1), 4u);

  // The whole 64-bit offset is used.
  EXPECT_EQ(stream->Seek(5000000000LL, 0, &position), S_OK);
  EXPECT_EQ(position, 5000000000u);
  EXPECT_EQ(stream->Read(buffer, 4, &done), S_OK);
  EXPECT_EQ(done, 0u);

  EXPECT_TRUE(FAILED(stream->Seek(-1, 0, &position)));
  EXPECT_TRUE(FAILED(stream->Seek(0, 3, &position)));
  EXPECT_EQ(stream->SetSize(0), E_NOTIMPL);
  EXPECT_EQ(stream->GetSize(nullptr), E_POINTER);
}

TEST(QevFileStreamTest, BorrowsTheHandleAndReportsItsFailures) {
  TFileHandle file = CreateTempFile();
  FileWriteAt(file, "abc", 3, 0);
  FileSeek(file, 0, 0);  // a positioned write moves the position on Windows
  {
    TComPtr<IInStream> stream = MakeCounted<Tqev7zFileStream>(file.Native());
    EXPECT_EQ(ReadAll(stream.Get()), "abc");
  }
  // Released: the handle is still open.
  char byte = 0;
  EXPECT_EQ(FileReadAt(file, &byte, 1, 1), 1u);
  EXPECT_EQ(byte, 'b');

  TComPtr<Tqev7zFileStream> stream = MakeCounted<Tqev7zFileStream>(file.Native());
  file.Close();
  UInt32 done = 77;
  // A read of nothing does not reach the system, so the dead handle goes unnoticed...
  EXPECT_EQ(stream->Read(nullptr, 0, &done), S_OK);
  EXPECT_EQ(done, 0u);
  // ...while every call that does reach it fails with the system's code.
  done = 77;
  EXPECT_EQ(stream->Read(&byte, 1, &done), HResultFromWin32(ERROR_INVALID_HANDLE));
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(stream->Write(&byte, 1, &done), HResultFromWin32(ERROR_INVALID_HANDLE));
  UInt64 size = 77;
  EXPECT_EQ(stream->GetSize(&size), HResultFromWin32(ERROR_INVALID_HANDLE));
  EXPECT_EQ(size, 0u);
}

TEST(QevFileStreamTest, RefusesAnInvalidHandle) {
  try {
    Tqev7zFileStream stream(TFileHandle::Invalid());
    FAIL() << "accepted an invalid handle";
  } catch (const EOleError& e) {
    EXPECT_EQ(e.ErrorCode(), E_INVALIDARG);
  }
#if defined(_WIN32)
  EXPECT_THROW(Tqev7zFileStream stream(nullptr), EOleError);
#endif
}

TEST(QevFileStreamTest, AnswersForItsInterfaces) {
  TFileHandle file = CreateTempFile();
  TComPtr<IInStream> stream = MakeCounted<Tqev7zFileStream>(file.Native());
  EXPECT_TRUE(stream.Query<IUnknown>());
  EXPECT_TRUE(stream.Query<ISequentialInStream>());
  EXPECT_TRUE(stream.Query<ISequentialOutStream>());
  EXPECT_TRUE(stream.Query<IOutStream>());
  EXPECT_TRUE(stream.Query<IStreamGetSize>());
  EXPECT_FALSE(stream.Query<IInArchive>());
}

// ---------------------------------------------------------------------------------------
// The stream adapters.

// A temporary file holding Data, and an engine stream over it.
struct TTempStream {
  explicit TTempStream(const std::string& data) : File(CreateTempFile()) {
    if (!data.empty()) {
      FileWriteAt(File, data.data(), static_cast<std::uint32_t>(data.size()), 0);
      FileSeek(File, 0, 0);
    }
    Stream = MakeCounted<Tqev7zFileStream>(File.Native());
  }
  TFileHandle File;
  TComPtr<IInStream> Stream;
};

TEST(QuorelStreamTest, OneMemberBehavesLikeTheMember) {
  const std::string data = "The quick brown fox";
  TTempStream plain(data), member(data);
  TComPtr<IInStream> joined = MakeCounted<TQuorel7ZipInStream>(member.Stream);
  struct TStep {
    char Kind;  // 's' seek, 'r' read, 'g' size
    Int64 Offset;
    UInt32 Origin;
    UInt32 Size;
  };
  const TStep steps[] = {{'s', 3, 0, 0},  {'r', 0, 0, 4},  {'s', -2, 1, 0}, {'r', 0, 0, 100},
                         {'r', 0, 0, 5},  {'s', -4, 2, 0}, {'r', 0, 0, 2},  {'g', 0, 0, 0},
                         {'s', 50, 0, 0}, {'r', 0, 0, 3},  {'s', 0, 1, 0},  {'s', -1, 0, 0}};
  for (const auto& step : steps) {
    UInt64 a = 1, b = 2;
    std::string bytesA(step.Size, '\0'), bytesB(step.Size, '\0');
    HRESULT resultA, resultB;
    if (step.Kind == 's') {
      resultA = plain.Stream->Seek(step.Offset, step.Origin, &a);
      resultB = joined->Seek(step.Offset, step.Origin, &b);
    } else if (step.Kind == 'r') {
      UInt32 doneA = 0, doneB = 0;
      resultA = plain.Stream->Read(bytesA.data(), step.Size, &doneA);
      resultB = joined->Read(bytesB.data(), step.Size, &doneB);
      a = doneA;
      b = doneB;
    } else {
      resultA = plain.Stream.Query<IStreamGetSize>()->GetSize(&a);
      resultB = joined.Query<IStreamGetSize>()->GetSize(&b);
    }
    SCOPED_TRACE(testing::Message() << step.Kind << " " << step.Offset << " " << step.Origin);
    EXPECT_EQ(resultA, resultB);
    if (SUCCEEDED(resultA)) {
      EXPECT_EQ(a, b);
      EXPECT_EQ(bytesA, bytesB);
    }
  }
}

TEST(QuorelStreamTest, MembersJoinEndToEnd) {
  TTempStream first("abc"), empty(""), last("defgh");
  TComPtr<TQuorel7ZipInStream> joined = MakeCounted<TQuorel7ZipInStream>(first.Stream);
  joined->Add(empty.Stream);
  joined->Add(last.Stream);
  ASSERT_EQ(joined->Count(), 3u);
  EXPECT_EQ(joined->StreamDatas(2).Size, 5u);

  UInt64 size = 0;
  EXPECT_EQ(joined->GetSize(&size), S_OK);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(ReadAll(joined.Get()), "abcdefgh");

  // A member's end is the next member's start, past empty ones.
  UInt64 position = 0;
  EXPECT_EQ(joined->Seek(3, 0, &position), S_OK);
  EXPECT_EQ(joined->CurrentIndex(), 2u);

  // A read crossing members, past the empty one.
  EXPECT_EQ(joined->Seek(1, 0, &position), S_OK);
  char buffer[8] = {};
  UInt32 done = 0;
  EXPECT_EQ(joined->Read(buffer, 4, &done), S_OK);
  EXPECT_EQ(std::string(buffer, done), "bcde");
  EXPECT_EQ(joined->CurrentIndex(), 2u);

  EXPECT_EQ(joined->Seek(-3, 1, &position), S_OK);  // from 5 back into the first member
  EXPECT_EQ(position, 2u);
  EXPECT_EQ(joined->CurrentIndex(), 0u);
  EXPECT_EQ(joined->Read(buffer, 1, &done), S_OK);
  EXPECT_EQ(std::string(buffer, done), "c");
  EXPECT_EQ(joined->Seek(-1, 2, &position), S_OK);
  EXPECT_EQ(position, 7u);
  EXPECT_EQ(ReadAll(joined.Get()), "h");

  // Beyond the end: the last member, at the excess offset.
  EXPECT_EQ(joined->Seek(100, 0, &position), S_OK);
  EXPECT_EQ(position, 100u);
  EXPECT_EQ(joined->CurrentIndex(), 2u);
  UInt64 inMember = 0;
  EXPECT_EQ(joined->Streams(2)->Seek(0, 1, &inMember), S_OK);
  EXPECT_EQ(inMember, 97u);
  EXPECT_EQ(ReadAll(joined.Get()), "");
}

// An input stream that has given up.
class TAbortedInStream : public TQuorel7ZipInStream {
 public:
  using TQuorel7ZipInStream::TQuorel7ZipInStream;

 protected:
  bool Aborted() override { return true; }
};

TEST(QuorelStreamTest, InStreamGuards) {
  TTempStream member("abc");
  TComPtr<TQuorel7ZipInStream> joined = MakeCounted<TQuorel7ZipInStream>(member.Stream);
  char byte = 0;
  UInt32 done = 77;
  EXPECT_EQ(joined->Read(nullptr, 1, &done), E_POINTER);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(joined->Read(&byte, 0, &done), S_OK);
  EXPECT_EQ(joined->GetSize(nullptr), E_POINTER);
  EXPECT_EQ(joined->Seek(0, 7, nullptr), STG_E_INVALIDFUNCTION);
  EXPECT_THROW(TQuorel7ZipInStream{TComPtr<IInStream>()}, EInvalidPointer);

  TComPtr<IInStream> aborted = MakeCounted<TAbortedInStream>(member.Stream);
  UInt64 size = 0;
  EXPECT_EQ(aborted->Read(&byte, 1, &done), E_ABORT);
  EXPECT_EQ(aborted->Seek(0, 0, nullptr), E_ABORT);
  EXPECT_EQ(aborted.Query<IStreamGetSize>()->GetSize(&size), E_ABORT);

  TComPtr<IInStream> bare = MakeCounted<TQuorel7ZipBaseInStream>();
  EXPECT_EQ(bare->Read(&byte, 1, &done), E_NOTIMPL);
  EXPECT_EQ(bare->Seek(0, 0, nullptr), E_NOTIMPL);
}

// A target that takes at most Accept bytes a call and counts the calls.
class TCountingTarget : public TInterfacedObject<ISequentialOutStream> {
 public:
  explicit TCountingTarget(UInt32 accept) : FAccept(accept) {}
  HRESULT STDMETHODCALLTYPE Write(const void*, UInt32 size, UInt32* processedSize) override {
    ++Calls;
    *processedSize = size < FAccept ? size : FAccept;
    return S_OK;
  }
  int Calls = 0;

 private:
  UInt32 FAccept;
};

TEST(QuorelStreamTest, OutStreamForwardsToItsTarget) {
  TTempStream target("");
  TComPtr<IOutStream> file = target.Stream.Query<IOutStream>();
  TComPtr<IOutStream> out = MakeCounted<TQuorel7ZipOutStream>(TComPtr<ISequentialOutStream>(file));
  UInt32 done = 0;
  EXPECT_EQ(out->Write("hello", 5, &done), S_OK);
  EXPECT_EQ(done, 5u);
  UInt64 position = 0;
  EXPECT_EQ(out->Seek(1, 0, &position), S_OK);
  EXPECT_EQ(position, 1u);
  EXPECT_EQ(out->Write("E", 1, &done), S_OK);
  EXPECT_EQ(out->SetSize(2), E_NOTIMPL);  // the file stream's own answer
  char buffer[8] = {};
  EXPECT_EQ(FileReadAt(target.File, buffer, 8, 0), 5u);
  EXPECT_EQ(std::string(buffer, 5), "hEllo");

  // A target that takes nothing: S_FALSE. A write of nothing is not passed on.
  TComPtr<TCountingTarget> stuck = MakeCounted<TCountingTarget>(0);
  TComPtr<IOutStream> toStuck =
      MakeCounted<TQuorel7ZipOutStream>(TComPtr<ISequentialOutStream>(stuck.Get()));
  EXPECT_EQ(toStuck->Write("abc", 3, &done), S_FALSE);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(toStuck->Write("abc", 0, &done), S_OK);
  EXPECT_EQ(stuck->Calls, 1);
  EXPECT_EQ(toStuck->Seek(0, 0, nullptr), E_NOTIMPL);  // no IOutStream to seek

  // No target: everything is taken.
  TComPtr<IOutStream> nowhere = MakeCounted<TQuorel7ZipOutStream>(nullptr);
  EXPECT_EQ(nowhere->Write("abcd", 4, &done), S_OK);
  EXPECT_EQ(done, 4u);
  EXPECT_EQ(nowhere->SetSize(0), E_NOTIMPL);
}

}  // namespace
