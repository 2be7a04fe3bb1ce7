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
  // Each written out as the library's headers define it, not derived from the scheme.
  const std::pair<GUID, const char16_t*> ids[] = {
      {TInterfaceId<IProgress>::Value, u"{23170F69-40C1-278A-0000-000000050000}"},
      {TInterfaceId<ISequentialInStream>::Value, u"{23170F69-40C1-278A-0000-000300010000}"},
      {TInterfaceId<ISequentialOutStream>::Value, u"{23170F69-40C1-278A-0000-000300020000}"},
      {TInterfaceId<IInStream>::Value, u"{23170F69-40C1-278A-0000-000300030000}"},
      {TInterfaceId<IOutStream>::Value, u"{23170F69-40C1-278A-0000-000300040000}"},
      {TInterfaceId<IStreamGetSize>::Value, u"{23170F69-40C1-278A-0000-000300060000}"},
      {TInterfaceId<ICompressProgressInfo>::Value, u"{23170F69-40C1-278A-0000-000400040000}"},
      {TInterfaceId<IHasher>::Value, u"{23170F69-40C1-278A-0000-000400C00000}"},
      {TInterfaceId<ICryptoGetTextPassword>::Value, u"{23170F69-40C1-278A-0000-000500100000}"},
      {TInterfaceId<IArchiveOpenCallback>::Value, u"{23170F69-40C1-278A-0000-000600100000}"},
      {TInterfaceId<IArchiveExtractCallback>::Value, u"{23170F69-40C1-278A-0000-000600200000}"},
      {TInterfaceId<IArchiveOpenVolumeCallback>::Value,
       u"{23170F69-40C1-278A-0000-000600300000}"},
      {TInterfaceId<IInArchive>::Value, u"{23170F69-40C1-278A-0000-000600600000}"},
      {CLSID_Format7z, u"{23170F69-40C1-278A-1000-000110070000}"},
  };
  for (const auto& [id, text] : ids) {
    EXPECT_EQ(ToUtf8(GuidToString(id)), ToUtf8(text));
  }
}

}  // namespace
