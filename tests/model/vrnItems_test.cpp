// The item tree: building from archive paths, lookups, duplicate numbering and the
// naming pass that makes every name valid, unique and within the platform's limit.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <random>

#include "model/vrnItems.h"
#include "platform/vrnErrors.h"
#include "platform/vrnLocale.h"

namespace {

// A root of a tree with Windows names, unless Rules says otherwise.
TComPtr<IvrnFolder> NewRoot(TvrnNameRules rules = nrWindows) {
  return TComPtr<IvrnFolder>(new TvrnFolder(rules));
}

// The names of a folder's entries in listing order: subfolders first, then files.
std::vector<UString> Names(IvrnFolder& folder) {
  std::vector<UString> names;
  for (std::int32_t i = 0; i < folder.GetFolderCount(); ++i) {
    names.push_back(folder.GetFolder(i)->GetName() + u"\\");
  }
  for (std::int32_t i = 0; i < folder.GetFileCount(); ++i) {
    names.push_back(folder.GetFile(i)->GetName());
  }
  return names;
}

std::string Joined(const std::vector<UString>& names) {
  std::string text;
  for (const UString& name : names) {
    text += (text.empty() ? "" : "|") + ToUtf8(name);
  }
  return text;
}

TEST(ItemTreeTest, PathsCreateImplicitFoldersThatAListingMakesExplicit) {
  TComPtr<IvrnFolder> root = NewRoot();
  TComPtr<IvrnBaseItem> file = root->AddItem(u"a\\b\\c.txt", false);
  EXPECT_FALSE(file->IsFolder());
  EXPECT_EQ(file->GetInfo()->Attributes, DWORD(FILE_ATTRIBUTE_NORMAL));

  TComPtr<IvrnFolder> a = root->FindItem(u"a").Query<IvrnFolder>();
  TComPtr<IvrnFolder> b = root->FindItem(u"a\\b").Query<IvrnFolder>();
  ASSERT_TRUE(a && b);
  for (IvrnFolder* folder : {a.Get(), b.Get()}) {
    EXPECT_TRUE(folder->GetImplicit());
    EXPECT_EQ(folder->GetIndex(), -1);
    WIN32_FIND_DATAW record;
    folder->GetFindData(record);
    EXPECT_EQ(record.dwFileAttributes, DWORD(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(record.ftLastWriteTime.dwLowDateTime | record.ftLastWriteTime.dwHighDateTime, 0u);
  }
  EXPECT_EQ(root->FindItem(u"a\\b\\c.txt").Get(), file.Get());

  TComPtr<IvrnBaseItem> listed = root->AddItem(u"a", true);
  EXPECT_EQ(listed.Get(), static_cast<IvrnBaseItem*>(a.Get()));
  EXPECT_FALSE(a->GetImplicit());
  EXPECT_EQ(Joined(Names(*root)), "a\\");
}

TEST(ItemTreeTest, DuplicatesAndCollisionsAreNumbered) {
  struct Case {
    std::vector<std::pair<UString, bool>> added;  // path, is folder
    std::string listing;                          // of the root
  };
  const Case cases[] = {
      {{{u"x", false}, {u"x", false}, {u"X", false}}, "x|x (2)|X (3)"},
      {{{u"readme.txt", false}, {u"readme.txt", false}}, "readme (2).txt|readme.txt"},
      {{{u"arch.tar.gz", false}, {u"arch.tar.gz", false}}, "arch.tar (2).gz|arch.tar.gz"},
      {{{u"a.verylongextension", false}, {u"a.verylongextension", false}},
       "a.verylongextension|a.verylongextension (2)"},
      {{{u".profile", false}, {u".profile", false}}, " (2).profile|.profile"},
      // A folder keeps the name; the file moves aside, whichever came first.
      {{{u"data", false}, {u"data", true}}, "data\\|data (2)"},
      {{{u"data", true}, {u"data", false}}, "data\\|data (2)"},
      {{{u"data", false}, {u"data\\x.bin", false}}, "data\\|data (2)"},
      {{{u"Docs\\A.txt", false}, {u"DOCS\\b.txt", false}}, "Docs\\"},
  };
  for (const Case& c : cases) {
    TComPtr<IvrnFolder> root = NewRoot();
    for (const auto& [path, isFolder] : c.added) {
      root->AddItem(path, isFolder);
    }
    EXPECT_EQ(Joined(Names(*root)), c.listing);
  }
}

// A folder of 100,000 files costs about as much in descending order as in ascending
// order, the listing comes out sorted either way, and a rename of every tenth file by
// FixNames leaves each one findable. (Inserting into a sorted array made the descending
// order, found by fuzzing, take minutes.)
TEST(ItemTreeTest, AFolderListedInAnyOrderBuildsAndRenamesInTheSameTime) {
  constexpr int kCount = 100000;
  auto nameOf = [](int i) {
    UString digits = IntToUStr(i);
    return u"f" + UString(6 - digits.size(), u'0') + digits;
  };
  auto build = [&](bool descending) {
    auto start = std::chrono::steady_clock::now();
    TComPtr<IvrnFolder> root = NewRoot();
    for (int k = 0; k < kCount; ++k) {
      int i = descending ? kCount - 1 - k : k;
      // Every tenth name ends in a blank, which FixNames trims: a rename of its own.
      root->AddItem(nameOf(i) + (i % 10 == 0 ? u" " : u""), false);
    }
    root->FixNames(kMaxNameLength);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(root->GetFileCount(), kCount);
    for (int i = 0; i < root->GetFileCount(); i += 997) {
      EXPECT_EQ(root->GetFile(i)->GetName(), nameOf(i));
      EXPECT_EQ(root->FindItem(nameOf(i)).Get(), static_cast<IvrnBaseItem*>(root->GetFile(i)));
    }
    return std::chrono::duration<double>(elapsed).count();
  };
  double ascending = build(false);
  double descending = build(true);
  EXPECT_LT(descending, 4 * ascending + 0.2) << "ascending " << ascending << " s";
}

// Many entries of one name, in any letter case, number up in the order they come and in
// linear time (a crafted archive of thousands of equal names must not stall the open),
// and the naming pass goes on counting from there.
TEST(ItemTreeTest, ManyEntriesOfOneNameNumberUpInOrder) {
  constexpr int kCount = 20000;
  TComPtr<IvrnFolder> root = NewRoot();
  std::vector<TComPtr<IvrnBaseItem>> items;
  for (int i = 0; i < kCount; ++i) {
    items.push_back(root->AddItem(i % 2 == 0 ? u"x.txt" : u"X.TXT", false));
  }
  TComPtr<IvrnBaseItem> blank = root->AddItem(u"x.txt ", false);  // equal once trimmed
  root->FixNames(kMaxNameLength);
  EXPECT_EQ(root->GetFileCount(), kCount + 1);
  EXPECT_EQ(items[0]->GetName(), u"x.txt");
  for (int i = 1; i < kCount; i += 999) {
    UString number = u" (" + IntToUStr(i + 1) + u")";
    EXPECT_EQ(items[i]->GetName(), i % 2 == 0 ? u"x" + number + u".txt" : u"X" + number + u".TXT");
  }
  EXPECT_EQ(blank->GetName(), u"x (" + IntToUStr(kCount + 1) + u").txt");
}

TEST(ItemTreeTest, LookupsIgnoreCaseAndNeverPassThroughFiles) {
  TComPtr<IvrnFolder> root = NewRoot();
  TComPtr<IvrnBaseItem> a = root->AddItem(u"Docs\\A.txt", false);
  root->AddItem(u"DOCS\\b.txt", false);
  root->AddItem(u"file.txt", false);
  TComPtr<IvrnFolder> docs = root->FindItem(u"docs").Query<IvrnFolder>();
  ASSERT_TRUE(docs);
  EXPECT_EQ(Joined(Names(*docs)), "A.txt|b.txt");
  EXPECT_EQ(root->FindItem(u"docs\\a.TXT").Get(), a.Get());
  for (UStringView missing : {u"", u"docs\\", u"file.txt\\x", u"nothing", u"docs\\c.txt"}) {
    EXPECT_FALSE(root->FindItem(missing)) << ToUtf8(missing);
  }
  EXPECT_THROW(docs->GetFile(2), EListError);
  EXPECT_THROW(docs->GetFolder(0), EListError);
}

TEST(ItemTreeTest, PathsOfAnyDepthBuildFixLookUpAndReleaseWithoutRecursion) {
  // Far deeper than a thread's stack would hold with a frame or two per level (a
  // Windows program's 2 MiB stack gave out at a few thousand levels).
  constexpr int kLevels = 50000;
  UString folders;
  for (int i = 0; i < kLevels; ++i) {
    folders += u"d\\";
  }
  TComPtr<IvrnFolder> root = NewRoot();
  TComPtr<IvrnBaseItem> bottom = root->AddItem(folders + u"con", false);
  root->AddItem(folders + u"other.txt", false);
  ASSERT_TRUE(bottom);
  EXPECT_EQ(root->FindItem(folders + u"con").Get(), bottom.Get());
  EXPECT_FALSE(root->FindItem(folders + u"con\\x"));
  EXPECT_FALSE(root->FindItem(folders + u"missing"));

  root->FixNames(255);
  EXPECT_EQ(ToUtf8(bottom->GetName()), "_con");
  EXPECT_EQ(root->FindItem(folders + u"_con").Get(), bottom.Get());

  // The bottom file outlives the tree that held it.
  root.Reset();
  EXPECT_EQ(ToUtf8(bottom->GetName()), "_con");
}

TEST(NamingTest, NormalizePath) {
  struct Case {
    UString Path;
    UString Windows;  // under nrWindows
    UString Exact;    // under nrExact
  };
  const Case cases[] = {
      {u"\\dir\\sub\\\\f?.txt\\", u"dir\\sub\\f_.txt", u"dir\\sub\\f?.txt"},
      {u"\\\\", u"Noname", u"Noname"},
      {u"", u"Noname", u"Noname"},
      {u"a\"b*c:d<e>f|g\x01h\x1Fi/j", u"a_b_c_d_e_f_g_h_i/j", u"a\"b*c:d<e>f|g\x01h\x1Fi/j"},
      {u"\\\\\\a\\\\\\b", u"a\\b", u"a\\b"},
      {UString(u"nul\0in", 6), u"nul_in", u"nul_in"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NormalizePath(c.Path, nrWindows), c.Windows) << ToUtf8(c.Path);
    EXPECT_EQ(NormalizePath(c.Path, nrExact), c.Exact) << ToUtf8(c.Path);
  }
}

TEST(NamingTest, SanitizeName) {
  struct Case {
    UString Name;
    UString Windows;  // under nrWindows
    UString Exact;    // under nrExact
  };
  const Case cases[] = {
      {u"con", u"_con", u"con"},
      {u"COM1.txt", u"_COM1.txt", u"COM1.txt"},
      {u"lpt9.", u"_lpt9.", u"lpt9."},
      {u"nul.tar.gz", u"_nul.tar.gz", u"nul.tar.gz"},
      {u"Aux", u"_Aux", u"Aux"},
      {u"CONSOLE.txt", u"CONSOLE.txt", u"CONSOLE.txt"},
      {u"COM10", u"COM10", u"COM10"},
      {u"..", u"_..", u"_.."},
      {u".", u"_.", u"_."},
      {u"...", u"_...", u"..."},
      {u"  padded name \t", u"padded name", u"  padded name \t"},
      {u"ends with a dot.", u"ends with a dot.", u"ends with a dot."},
      {u"   ", u"Noname", u"   "},
      {u"Mixed Case", u"Mixed Case", u"Mixed Case"},
      {u"a:b?c", u"a:b?c", u"a:b?c"},  // NormalizePath's business
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SanitizeName(c.Name, false, kMaxNameLength, nrWindows), c.Windows) << ToUtf8(c.Name);
    EXPECT_EQ(SanitizeName(c.Name, false, kMaxNameLength, nrExact), c.Exact) << ToUtf8(c.Name);
  }
}

// The archive's own names: case twins stay side by side and are found exactly, a path
// listed twice is still numbered, and a file still moves aside for a folder.
TEST(NamingTest, ExactNamesKeepCaseTwinsAndLookUpExactly) {
  TComPtr<IvrnFolder> root = NewRoot(nrExact);
  TComPtr<IvrnBaseItem> upper = root->AddItem(u"Makefile", false);
  TComPtr<IvrnBaseItem> lower = root->AddItem(u"makefile", false);
  root->AddItem(u"src\\_Exit.2.gz", false);
  root->AddItem(u"SRC\\_exit.2.gz", false);
  root->AddItem(u"x.txt", false);
  root->AddItem(u"x.txt", false);
  root->AddItem(u"data", false);
  root->AddItem(u"data\\in", false);
  root->AddItem(u"con", false);
  root->FixNames(kMaxNameLength);
  EXPECT_EQ(Joined(Names(*root)), "SRC\\|data\\|src\\|Makefile|con|data (2)|makefile|x (2).txt|x.txt");
  EXPECT_EQ(root->FindItem(u"Makefile").Get(), upper.Get());
  EXPECT_EQ(root->FindItem(u"makefile").Get(), lower.Get());
  EXPECT_FALSE(root->FindItem(u"MAKEFILE"));
  EXPECT_TRUE(root->FindItem(u"src\\_Exit.2.gz"));
  EXPECT_FALSE(root->FindItem(u"src\\_exit.2.gz"));
  EXPECT_TRUE(root->FindItem(u"SRC\\_exit.2.gz"));

  // The same names in a tree of Windows names: one folder, numbered twins.
  TComPtr<IvrnFolder> windows = NewRoot(nrWindows);
  windows->AddItem(u"Makefile", false);
  windows->AddItem(u"makefile", false);
  EXPECT_EQ(Joined(Names(*windows)), "Makefile|makefile (2)");
  EXPECT_EQ(windows->FindItem(u"MAKEFILE")->GetName(), u"Makefile");
}

// Nothing shows 1601: missing times are filled from the modification time, and a folder
// the archive never listed (and the root) from the archive file's own time.
TEST(NamingTest, FillMissingTimesLeavesNoZeroTime) {
  const FILETIME archiveTime{0x11111111, 0x01D00000};
  const FILETIME fileTime{0x22222222, 0x01C00000};
  TComPtr<IvrnFolder> root = NewRoot(nrExact);
  TComPtr<IvrnBaseItem> file = root->AddItem(u"implicit\\deeper\\file", false);
  TComPtr<IvrnBaseItem> bare = root->AddItem(u"bare", false);
  file->GetInfo()->LastWriteTime = fileTime;
  FillMissingTimes(*root, archiveTime);
  auto same = [](const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
  };
  for (const UString path : {u"", u"implicit", u"implicit\\deeper", u"bare"}) {
    IvrnBaseItem* item = path.empty() ? root.Get() : root->FindItem(path).Get();
    ASSERT_NE(item, nullptr) << ToUtf8(path);
    const TvrnItemInfo* record = item->GetInfo();
    for (const FILETIME* time :
         {&record->LastWriteTime, &record->LastAccessTime, &record->CreationTime}) {
      EXPECT_TRUE(same(*time, archiveTime)) << ToUtf8(path);
    }
  }
  const TvrnItemInfo* record = file->GetInfo();
  EXPECT_TRUE(same(record->LastWriteTime, fileTime));
  EXPECT_TRUE(same(record->LastAccessTime, fileTime));
  EXPECT_TRUE(same(record->CreationTime, fileTime));
  (void)bare;
}

TEST(NamingTest, LongNamesAreCutToThePlatformLimitWithoutSplittingCharacters) {
  UString longFile = UString(300, u'n') + u".dat";
  UString cutFile = SanitizeName(longFile, false, kMaxNameLength, nrWindows);
  EXPECT_EQ(NameMeasure(cutFile), kMaxNameLength);
  EXPECT_EQ(cutFile, UString(kMaxNameLength - 4, u'n') + u".dat");

  UString longFolder(300, u'f');
  EXPECT_EQ(SanitizeName(longFolder, true, kMaxNameLength, nrExact), UString(kMaxNameLength, u'f'));

  // Characters that take several units: 2 UTF-8 bytes, 3 UTF-8 bytes, a surrogate pair.
  for (UString piece : {UString(u"\u00E9"), UString(u"\u20AC"), UString(u"\U0001F600")}) {
    UString name;
    while (NameMeasure(name) < 2 * kMaxNameLength) {
      name += piece;
    }
    for (bool isFolder : {false, true}) {
      UString cut = TruncateName(name + u".txt", isFolder, kMaxNameLength);
      EXPECT_LE(NameMeasure(cut), kMaxNameLength);
      EXPECT_GT(NameMeasure(cut), kMaxNameLength - 4);
      EXPECT_EQ(FromUtf8(ToUtf8(cut)), cut) << "a character was split";
      EXPECT_EQ(cut.ends_with(u".txt"), !isFolder);
    }
  }
}

TEST(NamingTest, FixNamesRenamesIntoFreeNames) {
  TComPtr<IvrnFolder> root = NewRoot();
  root->AddItem(u"con", false);
  root->AddItem(u"_con", false);
  root->AddItem(u"..", true);
  root->AddItem(u"_..", true);
  root->FixNames(kMaxNameLength);
  EXPECT_EQ(Joined(Names(*root)), "_..\\|_.. (2)\\|_con|_con (2)");
}

TEST(NamingTest, NumberedNamesStayWithinTheLimit) {
  TComPtr<IvrnFolder> root = NewRoot();
  UString atLimit = UString(kMaxNameLength - 4, u'a') + u".txt";
  for (int i = 0; i < 3; ++i) {
    root->AddItem(atLimit, false);
  }
  root->AddItem(UString(kMaxNameLength + 20, u'b') + u".txt", false);
  root->AddItem(UString(kMaxNameLength + 30, u'b') + u".txt", false);
  root->FixNames(kMaxNameLength);
  ASSERT_EQ(root->GetFileCount(), 5);
  for (std::int32_t i = 0; i < root->GetFileCount(); ++i) {
    const UString& name = root->GetFile(i)->GetName();
    EXPECT_LE(NameMeasure(name), kMaxNameLength) << ToUtf8(name);
    EXPECT_TRUE(name.ends_with(u".txt"));
    EXPECT_EQ(root->FindItem(name).Get(), static_cast<IvrnBaseItem*>(root->GetFile(i)));
  }
}

// A name the platform accepts under Rules: within the limit, no separator and no NUL;
// on Linux also UTF-8-representable and without "/". Windows names also hold no
// forbidden character, are not made of dots alone and are no device name; exact names
// are not "." or "..".
::testing::AssertionResult IsValidName(const UString& name, TvrnNameRules rules) {
  if (name.empty() || NameMeasure(name) > kMaxNameLength) {
    return ::testing::AssertionFailure() << "length " << NameMeasure(name);
  }
  if (name.find_first_of(UStringView(u"\\\0", 2)) != UString::npos) {
    return ::testing::AssertionFailure() << "separator or NUL";
  }
#if !defined(_WIN32)
  if (name.find(u'/') != UString::npos || FromUtf8(ToUtf8(name)) != name) {
    return ::testing::AssertionFailure() << "not a Linux name";
  }
#endif
  if (rules == nrExact) {
    if (name == u"." || name == u"..") {
      return ::testing::AssertionFailure() << "a dot entry";
    }
    return ::testing::AssertionSuccess();
  }
  if (name.find_first_of(u"\\\"*:<>?|") != UString::npos ||
      std::any_of(name.begin(), name.end(), [](char16_t c) { return c < 0x20; })) {
    return ::testing::AssertionFailure() << "forbidden character";
  }
  if (name.find_first_not_of(u'.') == UString::npos) {
    return ::testing::AssertionFailure() << "dots only";
  }
  UString upper = UpperCaseLocale(name);
  UString stem = upper.substr(0, upper.find(u'.'));
  for (UStringView device : {u"CON", u"PRN", u"AUX", u"NUL"}) {
    if (stem == device) {
      return ::testing::AssertionFailure() << "device name";
    }
  }
  if (stem.size() == 4 && (stem.starts_with(u"COM") || stem.starts_with(u"LPT")) &&
      stem[3] >= u'0' && stem[3] <= u'9') {
    return ::testing::AssertionFailure() << "device name";
  }
  return ::testing::AssertionSuccess();
}

// Checks every folder below Folder: valid unique names, each found by lookup, and a
// record whose cFileName is the name. Returns the number of items.
int CheckFixedTree(IvrnFolder& folder) {
  int count = 0;
  std::vector<std::string> keys;
  auto check = [&](IvrnBaseItem* item) {
    const UString& name = item->GetName();
    EXPECT_TRUE(IsValidName(name, folder.GetNameRules())) << ToUtf8(name);
    EXPECT_EQ(folder.FindItem(name).Get(), item) << ToUtf8(name);
    WIN32_FIND_DATAW record;
    item->GetFindData(record);
    EXPECT_EQ(UString(AsU16(record.cFileName)), name);
    keys.push_back(NameKey(folder.GetNameRules(), name));
    ++count;
  };
  for (std::int32_t i = 0; i < folder.GetFolderCount(); ++i) {
    check(folder.GetFolder(i));
    count += CheckFixedTree(*folder.GetFolder(i));
  }
  for (std::int32_t i = 0; i < folder.GetFileCount(); ++i) {
    check(folder.GetFile(i));
  }
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(std::adjacent_find(keys.begin(), keys.end()), keys.end()) << "duplicate name";
  return count;
}

class NamingRulesTest : public testing::TestWithParam<TvrnNameRules> {};

TEST_P(NamingRulesTest, FixedRandomTreesHoldOnlyValidUniqueFindableNames) {
  const TvrnNameRules rules = GetParam();
  const UString pieces[] = {u"con",    u"CON",        u"nul.txt",
                            u"..",     u".",          u" ",
                            u"a",      u"A",          u"b.txt",
                            u"B.TXT",  u"\u00E9",     u"\u00C9",
                            u"\u20AC", u"\U0001F600", u"x.tar.gz",
                            u"lpt1.",  u"_con",       u" (2)",
                            u".txt",   u"/",          UString(1, char16_t(0xD800)),
                            u"\t",    UString(1, u'\0')};
  std::mt19937 random(20261210);
  for (int round = 0; round < 30; ++round) {
    TComPtr<IvrnFolder> root = NewRoot(rules);
    int added = 0;
    for (int entry = 0; entry < 150; ++entry) {
      UString path;
      int depth = 1 + static_cast<int>(random() % 3);
      for (int level = 0; level < depth; ++level) {
        UString name;
        int parts = 1 + static_cast<int>(random() % 3);
        for (int p = 0; p < parts; ++p) {
          name += pieces[random() % std::size(pieces)];
        }
        if (random() % 10 == 0) {
          name += UString(200 + random() % 150, u"\u00E9x"[random() % 2]);
        }
        path += (level ? u"\\" : u"") + name;
      }
      root->AddItem(NormalizePath(path, rules), random() % 4 == 0);
      ++added;
    }
    root->FixNames(kMaxNameLength);
    EXPECT_GE(CheckFixedTree(*root), 1);
    if (HasFailure()) {
      break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rules,
                         NamingRulesTest,
                         testing::Values(nrWindows, nrExact),
                         [](const testing::TestParamInfo<TvrnNameRules>& info) {
                           return std::string(info.param == nrWindows ? "Windows" : "Exact");
                         });

TEST(NamingTest, FixNamesVisitsEveryItemWhenRenamesReorderTheList) {
  TComPtr<IvrnFolder> root = NewRoot();
  // "aux" moves to "_aux", before "b"; " c " moves before "con"; each folder is visited.
  for (UStringView path :
       {u"aux\\con", u"b\\nul", u" c \\lpt1", u"con.txt", u"zz\\..", u" a", u"prn"}) {
    root->AddItem(UString(path), false);
  }
  root->FixNames(kMaxNameLength);
  EXPECT_EQ(Joined(Names(*root)), "_aux\\|b\\|c\\|zz\\|_con.txt|_prn|a");
  EXPECT_EQ(CheckFixedTree(*root), 11);
}

}  // namespace
