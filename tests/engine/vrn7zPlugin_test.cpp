// Loading the real 7-Zip library: its exports, its formats and the 7z class ID.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/vrn7zPlugin.h"

namespace {

TEST(EngineLibraryTest, RealLibraryOffersExactlyOne7zFormat) {
  Tvrn7zDll dll(EngineLibraryPath());
  ASSERT_TRUE(dll.Loaded()) << ToUtf8(EngineLibraryPath());
  ASSERT_TRUE(dll.Valid());
  EXPECT_NE(dll.GetIsArc, nullptr);
  UInt32 count = dll.FormatCount();
  ASSERT_GT(count, 0u);
  int sevenZip = 0;
  for (UInt32 i = 0; i < count; ++i) {
    if (dll.FormatGUIDProperty(i, kHandlerPropClassID) == CLSID_Format7z) {
      ++sevenZip;
    }
  }
  EXPECT_EQ(sevenZip, 1);
  PROPVARIANT none = dll.FormatProperty(count + 100, kHandlerPropClassID);
  EXPECT_EQ(none.vt, VT_EMPTY);
}

TEST(EngineLibraryTest, MissingOrForeignLibrariesAreNotValid) {
  Tvrn7zDll missing(u"no-such-engine-library.bin");
  EXPECT_FALSE(missing.Loaded());
  EXPECT_FALSE(missing.Valid());
  EXPECT_EQ(missing.FormatCount(), 0u);
  EXPECT_EQ(missing.FormatProperty(0, kHandlerPropClassID).vt, VT_EMPTY);

#if defined(_WIN32)
  Tvrn7zDll foreign(u"kernel32.dll");
#else
  Tvrn7zDll foreign(u"libm.so.6");
#endif
  EXPECT_TRUE(foreign.Loaded());
  EXPECT_FALSE(foreign.Valid());
  EXPECT_EQ(foreign.FormatCount(), 0u);
}

TEST(EngineLibraryTest, InterfaceIdsFollowTheLibraryScheme) {
  EXPECT_EQ(GuidToString(TInterfaceId<IInArchive>::Value),
            u"{23170F69-40C1-278A-0000-000600600000}");
  EXPECT_EQ(GuidToString(TInterfaceId<ICryptoGetTextPassword>::Value),
            u"{23170F69-40C1-278A-0000-000500100000}");
  EXPECT_EQ(GuidToString(TInterfaceId<IHasher>::Value), u"{23170F69-40C1-278A-0000-000400C00000}");
  EXPECT_EQ(GuidToString(CLSID_Format7z), u"{23170F69-40C1-278A-1000-000110070000}");
}

}  // namespace
