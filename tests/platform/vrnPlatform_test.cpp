// The platform layer as the core relies on it: text conversions, the locale order of
// names, the temporary file, OS errors, GUIDs, FILETIMEs and counted references.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/vrnCom.h"
#include "platform/vrnErrors.h"
#include "platform/vrnFiles.h"
#include "platform/vrnLocale.h"
#include "platform/vrnTime.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace {

TEST(StringsTest, Utf8AndUtf16ConvertBothWays) {
  struct Case {
    std::string utf8;
    UString utf16;
  };
  const Case cases[] = {
      {"plain.txt", u"plain.txt"},
      {"caf\xC3\xA9", u"caf\u00E9"},
      {"\xE2\x82\xAC 5", u"\u20AC 5"},
      {"\xF0\x9F\x98\x80.png", u"\U0001F600.png"},  // a surrogate pair in UTF-16
      {"", u""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToUtf8(c.utf16), c.utf8);
    EXPECT_EQ(FromUtf8(c.utf8), c.utf16);
    EXPECT_EQ(FromWide(ToWide(c.utf16)), c.utf16);
  }
}

TEST(StringsTest, InvalidSequencesBecomeReplacementCharacters) {
  EXPECT_EQ(ToUtf8(UString(u"a") + char16_t(0xD800) + u"b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(ToUtf8(UString(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
  EXPECT_EQ(FromUtf8("a\xFF"
                     "b"),
            u"a\uFFFDb");
  EXPECT_EQ(FromUtf8("\xC3"), u"\uFFFD");            // truncated sequence
  EXPECT_EQ(FromUtf8("\xC0\xAF"), u"\uFFFD\uFFFD");  // overlong encoding of '/'
}

TEST(StringsTest, CopyToBufferTruncatesLikeLstrcpyn) {
  WCHAR buffer[6];
  std::fill(std::begin(buffer), std::end(buffer), WCHAR('x'));
  CopyToBuffer(buffer, 4, u"volume");
  EXPECT_EQ(UString(AsU16(buffer)), u"vol");
  EXPECT_EQ(buffer[4], WCHAR('x'));
}

TEST(LocaleTest, ComparisonIgnoresCaseAndFollowsTheAlphabet) {
  EXPECT_EQ(CompareTextLocale(u"Docs", u"DOCS"), 0);
  EXPECT_EQ(CompareTextLocale(u"\u00E9t\u00E9", u"\u00C9T\u00C9"), 0);
  const UString ordered[] = {u"a", u"B", u"c", u"c1", u"D"};
  for (std::size_t i = 0; i + 1 < std::size(ordered); ++i) {
    EXPECT_LT(CompareTextLocale(ordered[i], ordered[i + 1]), 0) << ToUtf8(ordered[i]);
    EXPECT_GT(CompareTextLocale(ordered[i + 1], ordered[i]), 0) << ToUtf8(ordered[i]);
  }
  EXPECT_NE(CompareTextLocale(u"e", u"\u00E9"), 0);
}

// Only case is ignored: forms that differ in width or as superscripts are other names.
TEST(LocaleTest, OnlyCaseMakesNamesEqual) {
  const struct {
    const char16_t* A;
    const char16_t* B;
    bool Equal;
  } cases[] = {
      {u"readme.TXT", u"README.txt", true},
      {u"\u0416\u0443\u043A", u"\u0436\u0423\u041A", true},  // Cyrillic
      {u"\u0391\u03B2", u"\u03B1\u0392", true},                // Greek
      {u"\uFF21", u"A", false},                                 // full-width A
      {u"\uFF41", u"a", false},
      {u"file\u00B2", u"file2", false},                          // superscript two
      {u"\uFF76", u"\u30AB", false},                             // half-width katakana
      {u"e", u"\u00E9", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToUtf8(c.A) + " / " + ToUtf8(c.B));
    EXPECT_EQ(CompareTextLocale(c.A, c.B) == 0, c.Equal);
    EXPECT_EQ(MakeSortKey(c.A) == MakeSortKey(c.B), c.Equal);
  }
}

TEST(LocaleTest, SortKeysOrderAsTheComparisonDoes) {
  const UString names[] = {u"",       u"a",           u"A",        u"b",         u"B.txt",
                           u"b.txt",  u"docs",        u"DOCS",     u"\u00E9t\u00E9", u"ete",
                           u"x (2)",  u"x",           u"x.tar.gz", u"_con",      u"10",
                           u"9",      u"\U0001F600",  u"z\u00FC",  u"ZU"};
  auto sign = [](int value) { return (value > 0) - (value < 0); };
  for (const UString& a : names) {
    for (const UString& b : names) {
      EXPECT_EQ(sign(MakeSortKey(a).compare(MakeSortKey(b))), sign(CompareTextLocale(a, b)))
          << ToUtf8(a) << " vs " << ToUtf8(b);
    }
  }
}

TEST(LocaleTest, UpperCasing) {
  EXPECT_EQ(UpperCaseLocale(u"report.pdf"), u"REPORT.PDF");
  EXPECT_EQ(UpperCaseLocale(u"\u00E9t\u00E9"), u"\u00C9T\u00C9");
}

TEST(GuidTest, NewGuidsAreDistinctAndPrintBraced) {
  GUID a = CreateGuid();
  GUID b = CreateGuid();
  EXPECT_FALSE(a == b);
  UString text = GuidToString(a);
  ASSERT_EQ(text.size(), 38u);
  EXPECT_EQ(text.front(), u'{');
  EXPECT_EQ(text.back(), u'}');
  for (std::size_t i : {9u, 14u, 19u, 24u}) {
    EXPECT_EQ(text[i], u'-');
  }
  EXPECT_EQ(UpperCaseLocale(text), text);
  const GUID known = {0x2C2FD16C, 0x04B2, 0x48F9, {0xB1, 0x0D, 0xFF, 0x76, 0x06, 0xCA, 0xC0, 0xCC}};
  EXPECT_EQ(GuidToString(known), u"{2C2FD16C-04B2-48F9-B10D-FF7606CAC0CC}");
}

TEST(TempFileTest, PositionedIoAndNothingLeftAfterClose) {
  TFileHandle file = CreateTempFile();
  ASSERT_TRUE(file.IsValid());
  const char text[] = "extracted bytes";
  EXPECT_EQ(FileWriteAt(file, text, sizeof(text), 100), sizeof(text));
  EXPECT_EQ(FileGetSize(file), 100 + sizeof(text));
  char back[sizeof(text)] = {};
  EXPECT_EQ(FileReadAt(file, back, sizeof(back), 100), sizeof(text));
  EXPECT_STREQ(back, text);
  char hole[4] = {1, 1, 1, 1};
  EXPECT_EQ(FileReadAt(file, hole, 4, 10), 4u);
  EXPECT_EQ(std::memcmp(hole, "\0\0\0\0", 4), 0);
  EXPECT_EQ(FileReadAt(file, back, sizeof(back), 1000), 0u);  // beyond the end
#if defined(_WIN32)
  wchar_t path[MAX_PATH];
  DWORD length = ::GetFinalPathNameByHandleW(file.Native(), path, MAX_PATH, 0);
  ASSERT_GT(length, 0u);
  std::wstring name(path, length);
  EXPECT_NE(name.find(L'{'), std::wstring::npos);
  file.Close();
  EXPECT_EQ(::GetFileAttributesW(name.c_str()), INVALID_FILE_ATTRIBUTES);
#else
  // Created private and already unlinked: nothing of it can outlive the process.
  struct stat info;
  ASSERT_EQ(::fstat(file.Native(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(info.st_nlink, 0u);
#endif
}

TEST(FilesTest, MissingFileRaisesTheWindowsErrorCode) {
  try {
    OpenFileDenyWrite(GetTempFolder() + u"no such archive.7z");
    FAIL() << "no error raised";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.ErrorCode(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(e.Message().empty());
  }
}

TEST(FilesTest, ArchiveHandleReadsSeeksAndSizes) {
  UString folder = GetTempFolder();
  ASSERT_FALSE(folder.empty());
  UString name = folder + GuidToString(CreateGuid()) + u".bin";
#if defined(_WIN32)
  HANDLE h = ::CreateFileW(reinterpret_cast<const wchar_t*>(name.c_str()), GENERIC_WRITE, 0,
                           nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ::WriteFile(h, "0123456789", 10, &written, nullptr);
  ::CloseHandle(h);
#else
  FILE* f = std::fopen(ToUtf8(name).c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite("0123456789", 1, 10, f);
  std::fclose(f);
#endif
  {
    TFileHandle file = OpenFileDenyWrite(name);
    EXPECT_EQ(FileGetSize(file), 10u);
    EXPECT_EQ(FileSeek(file, 4, 0), 4u);
    char buffer[8] = {};
    EXPECT_EQ(FileRead(file, buffer, 3), 3u);
    EXPECT_STREQ(buffer, "456");
    EXPECT_EQ(FileSeek(file, 0, 1), 7u);
    EXPECT_EQ(FileSeek(file, -2, 2), 8u);
  }
#if defined(_WIN32)
  ::DeleteFileW(reinterpret_cast<const wchar_t*>(name.c_str()));
#else
  std::remove(ToUtf8(name).c_str());
#endif
}

TEST(FilesTest, FreeSpaceOfTheTempFolder) {
  std::uint64_t available = 0, total = 0, free = 0;
  ASSERT_TRUE(QueryDiskFreeSpace(GetTempFolder(), &available, &total, &free));
  EXPECT_GT(total, 0u);
  EXPECT_LE(available, total);
  EXPECT_FALSE(QueryDiskFreeSpace(GetTempFolder() + u"missing folder/", nullptr, nullptr, nullptr));
}

TEST(FileTimeTest, ConvertsToUnixTime) {
  struct Case {
    std::uint64_t ticks;
    long long seconds;
    long nanoseconds;
  };
  const Case cases[] = {
      {kFileTimeUnixEpoch, 0, 0},
      {kFileTimeUnixEpoch + 15, 0, 1500},
      {kFileTimeUnixEpoch + 10000000ULL * 1700000000ULL, 1700000000, 0},
      {kFileTimeUnixEpoch - 5000000, -1, 500000000},
  };
  for (const Case& c : cases) {
    FILETIME time = UInt64ToFileTime(c.ticks);
    EXPECT_EQ(FileTimeToUInt64(time), c.ticks);
    timespec unixTime = FileTimeToTimespec(time);
    EXPECT_EQ(static_cast<long long>(unixTime.tv_sec), c.seconds);
    EXPECT_EQ(unixTime.tv_nsec, c.nanoseconds);
  }
}

}  // namespace

// Two interfaces on one counted object.
struct IFirstTest : IUnknown {
  virtual int STDMETHODCALLTYPE First() = 0;
};
VRN_DECLARE_IID(IFirstTest, (GUID{0x11111111, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}}));
struct IThirdTest : IFirstTest {
  virtual int STDMETHODCALLTYPE Third() = 0;
};
VRN_DECLARE_IID_EXTENDS(IThirdTest, IFirstTest, (GUID{0x44444444, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}}));
struct ISecondTest : IUnknown {
  virtual int STDMETHODCALLTYPE Second() = 0;
};
VRN_DECLARE_IID(ISecondTest, (GUID{0x22222222, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}}));

namespace {

class TBoth : public TInterfacedObject<IThirdTest, ISecondTest> {
 public:
  explicit TBoth(bool* freed) : FFreed(freed) {}
  ~TBoth() override { *FFreed = true; }
  int STDMETHODCALLTYPE First() override { return 1; }
  int STDMETHODCALLTYPE Second() override { return 2; }
  int STDMETHODCALLTYPE Third() override { return 3; }

 private:
  bool* FFreed;
};

TEST(ComTest, InterfacesAnswerAndTheLastReferenceFrees) {
  bool freed = false;
  TComPtr<ISecondTest> second;
  {
    TComPtr<IFirstTest> first = MakeCounted<TBoth>(&freed);
    second = first.Query<ISecondTest>();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->Second(), 2);
    EXPECT_EQ(second.Query<IThirdTest>()->Third(), 3);
    EXPECT_EQ(second.Query<IFirstTest>().Get(), first.Get());  // through the extended one
    TComPtr<IUnknown> unknown = second.Query<IUnknown>();
    EXPECT_EQ(unknown.Get(), static_cast<IUnknown*>(first.Get()));
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(first->QueryInterface(GUID{0x33333333, 0, 0, {0}}, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
  }
  EXPECT_FALSE(freed);
  second.Reset();
  EXPECT_TRUE(freed);
}

}  // namespace
