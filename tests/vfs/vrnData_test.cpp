// The stores of extracted bytes: where each byte lands (memory part, region of the
// temporary file), what a write beyond the announced size does, how failures of the
// temporary file reach the engine and the file system, which store each kind and size
// gets, and that readers on several threads see correct bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <sys/resource.h>

#include <csignal>
#endif

#include "platform/vrnErrors.h"
#include "vfs/dokan2.h"
#include "vfs/vrnData.h"

namespace {

using TBytes = std::vector<std::uint8_t>;

// Bytes whose value depends on their position beyond a period of 256, so a byte placed
// at the wrong offset shows.
TBytes Pattern(std::size_t size, std::uint8_t seed) {
  TBytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>((i * 131) ^ (i >> 8) ^ (i >> 16) ^ seed);
  }
  return bytes;
}

TBytes Slice(const TBytes& bytes, std::size_t offset, std::size_t count) {
  return TBytes(bytes.begin() + offset, bytes.begin() + offset + count);
}

// Writes Bytes through the store's stream in chunks of Chunk bytes, each fully accepted.
void WriteAll(const TComPtr<IvrnData>& store, const TBytes& bytes, std::uint32_t chunk) {
  TComPtr<ISequentialOutStream> stream = store.Query<ISequentialOutStream>();
  ASSERT_TRUE(stream);
  for (std::size_t at = 0; at < bytes.size(); at += chunk) {
    auto n = static_cast<UInt32>(std::min<std::size_t>(chunk, bytes.size() - at));
    UInt32 processed = 0;
    ASSERT_EQ(stream->Write(bytes.data() + at, n, &processed), S_OK) << "at " << at;
    ASSERT_EQ(processed, n) << "at " << at;
  }
}

// One Write call; the result and ProcessedSize.
std::pair<HRESULT, UInt32> WriteOnce(const TComPtr<IvrnData>& store, const TBytes& bytes) {
  UInt32 processed = 12345;
  HRESULT result = store.Query<ISequentialOutStream>()->Write(
      bytes.data(), static_cast<UInt32>(bytes.size()), &processed);
  return {result, processed};
}

// What one ReadAt gives: the status and the bytes read.
struct TRead {
  NTSTATUS Status;
  TBytes Bytes;
};

TRead ReadAt(IvrnData& store, std::uint64_t offset, std::uint32_t count) {
  TRead read{STATUS_SUCCESS, TBytes(count)};
  std::uint32_t done = 0;
  read.Status = store.ReadAt(read.Bytes.data(), offset, count, done);
  read.Bytes.resize(done);
  return read;
}

class vrnDataTest : public ::testing::Test {
 protected:
  std::uint64_t TempSize() { return FTemp->GetSize(); }

  TComPtr<IvrnData> FTemp = MakeCounted<TvrnTempFile>();
};

TEST_F(vrnDataTest, MemoryStoreHoldsTheAnnouncedSizeAndRefusesMore) {
  TComPtr<IvrnData> store = MakeCounted<TvrnMemoryData>(10);
  const TBytes data = Pattern(13, 7);

  struct {
    std::size_t From, Size;
    HRESULT Result;
    UInt32 Processed;
  } const writes[] = {{0, 6, S_OK, 6}, {6, 6, S_OK, 4}, {10, 1, E_FAIL, 0}, {10, 0, S_OK, 0}};
  for (const auto& w : writes) {
    auto [result, processed] = WriteOnce(store, Slice(data, w.From, w.Size));
    EXPECT_EQ(result, w.Result) << "write of " << w.Size;
    EXPECT_EQ(processed, w.Processed) << "write of " << w.Size;
  }
  // The engine may pass no ProcessedSize.
  EXPECT_EQ(store.Query<ISequentialOutStream>()->Write(data.data(), 1, nullptr), E_FAIL);
  EXPECT_EQ(store->GetSize(), 10u);

  struct {
    std::uint64_t Offset;
    std::uint32_t Count, Done;
  } const reads[] = {{0, 10, 10}, {8, 5, 2}, {10, 1, 0}, {3, 0, 0}, {1ull << 40, 5, 0}};
  for (const auto& r : reads) {
    TRead read = ReadAt(*store, r.Offset, r.Count);
    EXPECT_EQ(read.Status, STATUS_SUCCESS) << "offset " << r.Offset;
    EXPECT_EQ(read.Bytes, Slice(data, std::min<std::uint64_t>(r.Offset, 10), r.Done))
        << "offset " << r.Offset;
  }

  TComPtr<IvrnMemoryData> memory = store.Query<IvrnMemoryData>();
  ASSERT_TRUE(memory);
  EXPECT_EQ(TBytes(memory->GetMemory(), memory->GetMemory() + 10), Slice(data, 0, 10));
  std::uint32_t done = 99;
  EXPECT_EQ(store->WriteAt(data.data(), 0, 1, done), STATUS_DATA_ERROR);
  EXPECT_EQ(done, 0u);
}

TEST_F(vrnDataTest, MemoryAndTempFileStorePlacesBytesExactly) {
  const TBytes before = Pattern(5000, 1);
  std::uint32_t done = 0;
  ASSERT_EQ(FTemp->WriteAt(before.data(), 0, 5000, done), STATUS_SUCCESS);
  const TBytes data = Pattern(100000, 2);
  TComPtr<IvrnData> store = MakeCounted<TvrnMemoryAndTempFileData>(100000, FTemp, 32768);

  WriteAll(store, data, 7001);  // chunks that straddle the memory part's end

  EXPECT_EQ(store->GetSize(), 100000u);
  EXPECT_EQ(TempSize(), 72232u);
  EXPECT_EQ(ReadAt(*FTemp, 0, 5000).Bytes, before);
  EXPECT_EQ(ReadAt(*FTemp, 5000, 67232).Bytes, Slice(data, 32768, 67232));

  struct {
    std::uint64_t Offset;
    std::uint32_t Count, Done;
  } const reads[] = {{0, 100000, 100000}, {32760, 16, 16}, {40000, 100, 100},
                     {99990, 100, 10},    {100000, 1, 0},  {32767, 0, 0}};
  for (const auto& r : reads) {
    TRead read = ReadAt(*store, r.Offset, r.Count);
    EXPECT_EQ(read.Status, STATUS_SUCCESS) << "offset " << r.Offset;
    EXPECT_EQ(read.Bytes, Slice(data, std::min<std::uint64_t>(r.Offset, 100000), r.Done))
        << "offset " << r.Offset;
  }

  // Marking the file's first bytes shows that one read takes 8 bytes from memory and the
  // next 8 from offset 5,000 of the temporary file.
  const TBytes mark(8, 0xEE);
  ASSERT_EQ(FTemp->WriteAt(mark.data(), 5000, 8, done), STATUS_SUCCESS);
  TBytes expected = Slice(data, 32760, 8);
  expected.insert(expected.end(), mark.begin(), mark.end());
  EXPECT_EQ(ReadAt(*store, 32760, 16).Bytes, expected);

  EXPECT_EQ(store->WriteAt(data.data(), 0, 1, done), STATUS_NOT_IMPLEMENTED);
}

TEST_F(vrnDataTest, StoresOverflowingInTurnGetAdjacentRegions) {
  const TBytes first = Pattern(40000, 3), second = Pattern(50000, 4);
  TComPtr<IvrnData> a = MakeCounted<TvrnMemoryAndTempFileData>(40000, FTemp, 32768);
  TComPtr<IvrnData> b = MakeCounted<TvrnMemoryAndTempFileData>(50000, FTemp, 32768);

  WriteAll(a, first, 4096);
  WriteAll(b, second, 4096);

  EXPECT_EQ(TempSize(), 7232u + 17232u);
  EXPECT_EQ(ReadAt(*FTemp, 0, 7232).Bytes, Slice(first, 32768, 7232));
  EXPECT_EQ(ReadAt(*FTemp, 7232, 17232).Bytes, Slice(second, 32768, 17232));
  EXPECT_EQ(ReadAt(*a, 0, 40000).Bytes, first);
  EXPECT_EQ(ReadAt(*b, 0, 50000).Bytes, second);
}

TEST_F(vrnDataTest, StoreWithoutMemoryPartSpillsEverything) {
  struct {
    std::uint64_t Size;
    std::int32_t Threshold;
  } const cases[] = {{0, 32768}, {100, 0}, {100, -1}};
  const TBytes data = Pattern(100, 5);
  for (const auto& c : cases) {
    std::uint64_t base = TempSize();
    TComPtr<IvrnData> store = MakeCounted<TvrnMemoryAndTempFileData>(c.Size, FTemp, c.Threshold);
    WriteAll(store, data, 30);
    EXPECT_EQ(TempSize(), base + 100) << "size " << c.Size << ", threshold " << c.Threshold;
    EXPECT_EQ(ReadAt(*FTemp, base, 100).Bytes, data);
    EXPECT_EQ(ReadAt(*store, 0, 100).Bytes, data);
  }
  EXPECT_THROW(TvrnMemoryAndTempFileData(100, nullptr, 32768), EInvalidPointer);
}

TEST_F(vrnDataTest, MoreBytesThanAnnounced) {
  const TBytes data = Pattern(20, 6);

  TComPtr<IvrnData> memory = MakeCounted<TvrnMemoryData>(10);
  EXPECT_EQ(WriteOnce(memory, data), std::make_pair(S_OK, UInt32{10}));
  EXPECT_EQ(WriteOnce(memory, Slice(data, 10, 10)), std::make_pair(E_FAIL, UInt32{0}));
  EXPECT_EQ(ReadAt(*memory, 0, 20).Bytes, Slice(data, 0, 10));

  TComPtr<IvrnData> spilling = MakeCounted<TvrnMemoryAndTempFileData>(10, FTemp, 32768);
  EXPECT_EQ(WriteOnce(spilling, data), std::make_pair(S_OK, UInt32{20}));
  EXPECT_EQ(TempSize(), 10u);
  EXPECT_EQ(ReadAt(*spilling, 0, 20).Bytes, data);
}

TEST_F(vrnDataTest, TempFileTransfers) {
  const TBytes data = Pattern(300, 8);
  std::uint32_t done = 0;
  ASSERT_EQ(FTemp->WriteAt(data.data(), 100, 300, done), STATUS_SUCCESS);
  EXPECT_EQ(done, 300u);
  EXPECT_EQ(TempSize(), 400u);
  EXPECT_EQ(ReadAt(*FTemp, 100, 300).Bytes, data);
  EXPECT_EQ(ReadAt(*FTemp, 350, 100).Bytes, Slice(data, 250, 50));  // short at the end
  EXPECT_EQ(ReadAt(*FTemp, 400, 100).Status, STATUS_SUCCESS);

  // An offset the system refuses: Count 0 never reaches the file, Count 1 comes back as
  // a status and never as an exception.
  const std::uint64_t refused = 0x8000000000000000ull;
  EXPECT_EQ(FTemp->ReadAt(nullptr, refused, 0, done), STATUS_SUCCESS);
  EXPECT_EQ(FTemp->WriteAt(nullptr, refused, 0, done), STATUS_SUCCESS);
  TBytes one(1);
  done = 99;
  EXPECT_EQ(FTemp->ReadAt(one.data(), refused, 1, done),
            DokanNtStatusFromWin32(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(done, 0u);
  done = 99;
  EXPECT_EQ(FTemp->WriteAt(one.data(), refused, 1, done),
            DokanNtStatusFromWin32(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(TempSize(), 400u);
}

// Small writes at the end gather and reach the file in one piece; a read sees them
// wherever they are, also across the file and the gathered bytes, and a write elsewhere
// (or too large to gather) lands after them, never under them.
TEST_F(vrnDataTest, TempFileGathersSmallWritesAndReadsThemBack) {
  const TBytes data = Pattern(3 * kTempFilePending, 9);
  std::uint32_t done = 0;
  std::uint64_t end = 0;
  auto append = [&](std::size_t from, std::size_t count) {
    ASSERT_EQ(FTemp->WriteAt(data.data() + from, end, static_cast<std::uint32_t>(count), done),
              STATUS_SUCCESS);
    ASSERT_EQ(done, count);
    end += count;
  };
  for (std::size_t at = 0; at + 1000 <= kTempFilePending + 5000; at += 1000) {
    append(at, 1000);  // past the gathering size once: one piece goes to the file
  }
  append(end, kTempFilePending);  // too large to gather
  append(end, 300);
  EXPECT_EQ(TempSize(), end);
  for (const auto& [offset, count] : {std::pair<std::uint64_t, std::uint32_t>{0, 4000},
                                      {kTempFilePending - 500, 2000},
                                      {end - 1000, 1000},
                                      {0, static_cast<std::uint32_t>(end)},
                                      {end - 10, 100}}) {
    SCOPED_TRACE(::testing::Message() << "at " << offset << ", " << count);
    const std::uint64_t expected = std::min<std::uint64_t>(count, end - offset);
    EXPECT_EQ(ReadAt(*FTemp, offset, count).Bytes, Slice(data, offset, expected));
  }
  // Rewriting gathered bytes in place: the later flush must not undo it.
  const TBytes other = Pattern(100, 77);
  ASSERT_EQ(FTemp->WriteAt(other.data(), end - 200, 100, done), STATUS_SUCCESS);
  append(end, 10);
  TBytes expected = Slice(data, end - 210, 210);
  std::copy(other.begin(), other.end(), expected.begin());
  EXPECT_EQ(ReadAt(*FTemp, end - 210, 210).Bytes, expected);
}

#if !defined(_WIN32)
// A write that the system cuts short and then refuses (here a file size limit; a full
// disk does the same) reports the bytes that reached the file, and a store counts them.
TEST_F(vrnDataTest, ATempFileWriteFailingPartWayCountsWhatItWrote) {
  constexpr rlim_t kLimit = 4096;
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*savedHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = kLimit;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);

  // A write too large to gather goes to the file at once and fails there part-way.
  const TBytes data = Pattern(kTempFilePending + 200, 11);
  const auto size = static_cast<std::uint32_t>(data.size());
  std::uint32_t done = 0;
  NTSTATUS status = FTemp->WriteAt(data.data(), 0, size, done);
  TComPtr<IvrnData> store =
      MakeCounted<TvrnMemoryAndTempFileData>(data.size(), MakeCounted<TvrnTempFile>(), 100);
  std::pair<HRESULT, UInt32> stored = WriteOnce(store, data);

  // Gathered writes fail when they go to the file: the write that needs their room fails,
  // and the bytes that did not reach the file stay readable.
  TComPtr<IvrnData> gathering = MakeCounted<TvrnTempFile>();
  const std::uint32_t piece = kTempFilePending / 3 + 1;
  std::uint32_t gathered[3] = {};
  NTSTATUS statuses[3] = {};
  for (int i = 0; i < 3; ++i) {
    statuses[i] = gathering->WriteAt(data.data() + i * piece, i * piece, piece, gathered[i]);
  }

  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, savedHandler);
  EXPECT_NE(status, STATUS_SUCCESS);
  EXPECT_EQ(done, kLimit);
  EXPECT_EQ(ReadAt(*FTemp, 0, size).Bytes, Slice(data, 0, kLimit));
  EXPECT_EQ(stored, std::make_pair(E_FAIL, UInt32(100 + kLimit)));
  EXPECT_EQ(store->GetSize(), 100 + kLimit);
  EXPECT_EQ(ReadAt(*store, 0, size).Bytes, Slice(data, 0, 100 + kLimit));

  EXPECT_EQ(statuses[0], STATUS_SUCCESS);
  EXPECT_EQ(statuses[1], STATUS_SUCCESS);
  EXPECT_NE(statuses[2], STATUS_SUCCESS);
  EXPECT_EQ(gathered[2], 0u);
  EXPECT_EQ(gathering->GetSize(), 2u * piece);
  EXPECT_EQ(ReadAt(*gathering, 0, 3 * piece).Bytes, Slice(data, 0, 2 * piece));
}
#endif

// A temporary file held in a vector, which fails as told and notes any use outside its
// lock.
class TFakeTempFile : public TInterfacedObject<IvrnData> {
 public:
  TBytes FBytes;
  std::uint32_t FWriteStep = 0xFFFFFFFF;  // most bytes one WriteAt takes
  std::uint64_t FCapacity = ~0ull;        // writes beyond it fail with STATUS_DISK_FULL
  bool FFailAtCapacity = false;  // the write that reaches FCapacity fails with its count
  bool FWriteNothing = false;             // WriteAt answers success having written nothing
  bool FThrowInGetSize = false;
  NTSTATUS FReadStatus = STATUS_SUCCESS;
  int FDepth = 0;  // holds of the lock
  int FLocks = 0;  // Lock calls
  bool FUsedUnlocked = false;

  void Lock() override {
    ++FDepth;
    ++FLocks;
  }
  void Unlock() override { --FDepth; }
  std::uint64_t GetSize() override {
    Use();
    if (FThrowInGetSize) {
      throw EvrnError(u"size query failed");
    }
    return FBytes.size();
  }
  NTSTATUS ReadAt(void* buffer,
                  std::uint64_t offset,
                  std::uint32_t count,
                  std::uint32_t& done) override {
    Use();
    done = 0;
    if (FReadStatus != STATUS_SUCCESS) {
      return FReadStatus;
    }
    if (offset < FBytes.size()) {
      done = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, FBytes.size() - offset));
      std::memcpy(buffer, FBytes.data() + offset, done);
    }
    return STATUS_SUCCESS;
  }
  NTSTATUS WriteAt(const void* buffer,
                   std::uint64_t offset,
                   std::uint32_t count,
                   std::uint32_t& done) override {
    Use();
    done = 0;
    if (FWriteNothing) {
      return STATUS_SUCCESS;
    }
    if (offset >= FCapacity) {
      return STATUS_DISK_FULL;
    }
    auto n = static_cast<std::uint32_t>(
        std::min<std::uint64_t>({count, FWriteStep, FCapacity - offset}));
    FBytes.resize(std::max<std::size_t>(FBytes.size(), offset + n));
    std::memcpy(FBytes.data() + offset, buffer, n);
    done = n;
    return FFailAtCapacity && n < count ? STATUS_DISK_FULL : STATUS_SUCCESS;
  }

 private:
  void Use() { FUsedUnlocked = FUsedUnlocked || FDepth == 0; }
};

TEST(vrnDataSpillTest, FailedSpillWritesKeepWhatWasWritten) {
  struct {
    const char* Name;
    void (*Setup)(TFakeTempFile&);
    HRESULT Result;
    UInt32 Processed;
  } const cases[] = {
      {"short writes", [](TFakeTempFile& f) { f.FWriteStep = 7; }, S_OK, 100},
      // HRESULT_FROM_WIN32(ERROR_DISK_FULL): extraction tells a full disk by it.
      {"disk full part-way", [](TFakeTempFile& f) { f.FCapacity = 30; },
       static_cast<HRESULT>(0x80070070u), 40},
      {"a write that fails after part of it",
       [](TFakeTempFile& f) {
         f.FCapacity = 30;
         f.FFailAtCapacity = true;
       },
       static_cast<HRESULT>(0x80070070u), 40},
      {"nothing written", [](TFakeTempFile& f) { f.FWriteNothing = true; }, E_FAIL, 10},
      {"size query throws", [](TFakeTempFile& f) { f.FThrowInGetSize = true; }, E_FAIL, 10},
  };
  const TBytes data = Pattern(100, 9);
  for (const auto& c : cases) {
    TComPtr<TFakeTempFile> fake = MakeCounted<TFakeTempFile>();
    c.Setup(*fake);
    TComPtr<IvrnData> store = MakeCounted<TvrnMemoryAndTempFileData>(100, fake, 10);

    EXPECT_EQ(WriteOnce(store, data), std::make_pair(c.Result, c.Processed)) << c.Name;
    EXPECT_EQ(store->GetSize(), c.Processed) << c.Name;
    EXPECT_EQ(ReadAt(*store, 0, 100).Bytes, Slice(data, 0, c.Processed)) << c.Name;
    EXPECT_EQ(fake->FDepth, 0) << c.Name;
    EXPECT_FALSE(fake->FUsedUnlocked) << c.Name;
  }
}

TEST(vrnDataSpillTest, FailedFileReadKeepsTheMemoryBytesCounted) {
  TComPtr<TFakeTempFile> fake = MakeCounted<TFakeTempFile>();
  TComPtr<IvrnData> store = MakeCounted<TvrnMemoryAndTempFileData>(30, fake, 10);
  const TBytes data = Pattern(30, 10);
  WriteAll(store, data, 30);
  fake->FReadStatus = STATUS_IO_DEVICE_ERROR;

  std::uint32_t done = 0;
  TBytes buffer(20);
  EXPECT_EQ(store->ReadAt(buffer.data(), 5, 20, done), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(done, 5u);
  EXPECT_EQ(Slice(buffer, 0, 5), Slice(data, 5, 5));

  // A read wholly in memory does not touch the file, but still runs under its lock.
  int locks = fake->FLocks;
  EXPECT_EQ(ReadAt(*store, 0, 10).Bytes, Slice(data, 0, 10));
  EXPECT_EQ(fake->FLocks, locks + 1);
  EXPECT_EQ(fake->FDepth, 0);
  EXPECT_FALSE(fake->FUsedUnlocked);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Allocations fail on request, to see what a store does when memory runs out. The
// sanitizers keep their own allocator, so these builds leave operator new alone.
thread_local int tFailingAllocations = 0;

}  // namespace

void* operator new(std::size_t size) {
  if (tFailingAllocations > 0) {
    --tFailingAllocations;
    throw std::bad_alloc();
  }
  if (void* memory = std::malloc(size != 0 ? size : 1)) {
    return memory;
  }
  throw std::bad_alloc();
}
// GCC pairs the replaced operator new with malloc only where it sees both; the pair is
// right here, so its mismatch warning is not.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}
#pragma GCC diagnostic pop

namespace {

// A memory store whose object cannot be allocated gives way to a memory-and-temp-file
// store, as when its block cannot be; the engine never sees the failure.
TEST_F(vrnDataTest, AMemoryStoreThatCannotBeAllocatedFallsBack) {
  tFailingAllocations = 1;  // the memory store object itself
  TComPtr<IvrnData> store;
  try {
    store = CreateFileStore(100, skMemory, FTemp);
  } catch (const std::bad_alloc&) {
  }
  tFailingAllocations = 0;
  ASSERT_TRUE(store);
  EXPECT_FALSE(store.Query<IvrnMemoryData>());
  const TBytes data = Pattern(100, 12);
  EXPECT_EQ(WriteOnce(store, data), std::make_pair(S_OK, UInt32(100)));
  EXPECT_EQ(ReadAt(*store, 0, 100).Bytes, data);
}
#endif

TEST_F(vrnDataTest, StoreChoiceByKindAndSize) {
  struct {
    TvrnStoreKind Kind;
    std::uint64_t Size;
    bool MemoryStore;
    std::uint32_t MemoryPart;  // checked by where written bytes land; 0: not written
  } const cases[] = {
      {skMemory, kMemoryStoreLimit, true, 0},
      {skMemory, 100, true, 100},
      {skMemory, kMemoryStoreLimit + 1, false, 0x8000},
      {skTempFile, 1 << 20, false, 0x8000},
      {skTempFile, 100, false, 100},
      {skMemoryAndTempFile, kMemoryStoreLimit, false, 0xA00000},
  };
  const TBytes data = Pattern(0xA00000, 11);
  const TBytes one(1, 0x5A);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "kind " << int(c.Kind) << ", size " << c.Size);
    TComPtr<IvrnData> store = CreateFileStore(c.Size, c.Kind, FTemp);
    ASSERT_TRUE(store);
    EXPECT_EQ(bool(store.Query<IvrnMemoryData>()), c.MemoryStore);
    EXPECT_EQ(store->GetSize(), 0u);
    if (c.MemoryPart == 0) {
      continue;
    }
    std::uint64_t base = TempSize();
    WriteAll(store, Slice(data, 0, c.MemoryPart), c.MemoryPart);
    EXPECT_EQ(TempSize(), base);
    if (c.MemoryStore) {
      EXPECT_EQ(WriteOnce(store, one), std::make_pair(E_FAIL, UInt32{0}));
    } else {
      EXPECT_EQ(WriteOnce(store, one), std::make_pair(S_OK, UInt32{1}));
      EXPECT_EQ(TempSize(), base + 1);
    }
  }
}

// The disk store keeps no byte in memory; the memory limit gives later stores less
// memory or none, and a store that goes returns its memory; past the temporary file's
// limit a write fails with the limit's own result.
TEST_F(vrnDataTest, LimitsBoundMemoryAndTheTemporaryFile) {
  struct TRestore {
    TvrnStoreLimits Saved = GetStoreLimits();
    ~TRestore() { SetStoreLimits(Saved); }
  } restore;
  const std::uint64_t before = StoreMemoryInUse();
  const TBytes data = Pattern(100000, 21);

  TComPtr<IvrnData> disk = CreateFileStore(1000, skDisk, FTemp);
  EXPECT_EQ(StoreMemoryInUse(), before);
  std::uint64_t base = TempSize();
  WriteAll(disk, Slice(data, 0, 1000), 1000);
  EXPECT_EQ(TempSize(), base + 1000) << "a byte stayed in memory";
  EXPECT_EQ(ReadAt(*disk, 0, 1000).Bytes, Slice(data, 0, 1000));

  SetStoreLimits({.MaxMemory = before + 150000});
  TComPtr<IvrnData> whole = CreateFileStore(100000, skMemory, FTemp);
  EXPECT_TRUE(whole.Query<IvrnMemoryData>());
  EXPECT_EQ(StoreMemoryInUse(), before + 100000);
  // No room for a second whole file: it keeps its 32 KiB head in memory.
  TComPtr<IvrnData> head = CreateFileStore(100000, skMemory, FTemp);
  EXPECT_FALSE(head.Query<IvrnMemoryData>());
  EXPECT_EQ(StoreMemoryInUse(), before + 100000 + kTempFileThreshold);
  // No room for a 100,000-byte memory part: every byte goes to the temporary file.
  TComPtr<IvrnData> none = CreateFileStore(100000, skMemoryAndTempFile, FTemp);
  EXPECT_EQ(StoreMemoryInUse(), before + 100000 + kTempFileThreshold);
  base = TempSize();
  WriteAll(none, data, 4096);
  EXPECT_EQ(TempSize(), base + data.size());
  EXPECT_EQ(ReadAt(*none, 0, 100000).Bytes, data);
  whole.Reset();
  head.Reset();
  EXPECT_EQ(StoreMemoryInUse(), before);

  SetStoreLimits({.MaxTemp = TempSize() + 4096});
  TComPtr<IvrnData> limited = CreateFileStore(10000, skDisk, FTemp);
  EXPECT_EQ(WriteOnce(limited, Slice(data, 0, 4096)), std::make_pair(S_OK, UInt32(4096)));
  EXPECT_EQ(WriteOnce(limited, Slice(data, 0, 10)), std::make_pair(kTempLimitResult, UInt32(0)));
  std::uint32_t done = 7;
  EXPECT_EQ(FTemp->WriteAt(data.data(), TempSize(), 1, done), kStatusTempLimit);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(ReadAt(*limited, 0, 4096).Bytes, Slice(data, 0, 4096));
}

TEST_F(vrnDataTest, RepeatedExtractionReadsTheSecondWritingAlone) {
  const TBytes first = Pattern(40000, 12), second = Pattern(50000, 13);
  for (TvrnStoreKind kind : {skDisk, skTempFile, skMemoryAndTempFile, skMemory}) {
    // The first extraction stops after 40,000 bytes; the file's store is then replaced.
    TComPtr<IvrnData> fileData = CreateFileStore(50000, kind, FTemp);
    WriteAll(fileData, first, 8192);
    fileData = CreateFileStore(50000, kind, FTemp);
    WriteAll(fileData, second, 8192);

    EXPECT_EQ(fileData->GetSize(), 50000u) << "kind " << int(kind);
    EXPECT_EQ(ReadAt(*fileData, 0, 60000).Bytes, second) << "kind " << int(kind);
  }
}

TEST_F(vrnDataTest, ConcurrentReadersSeeCorrectBytes) {
  const TBytes first = Pattern(100000, 14), second = Pattern(60000, 15);
  TComPtr<IvrnData> a = MakeCounted<TvrnMemoryAndTempFileData>(100000, FTemp, 32768);
  TComPtr<IvrnData> b = MakeCounted<TvrnMemoryAndTempFileData>(60000, FTemp, 32768);
  WriteAll(a, first, 65536);
  WriteAll(b, second, 65536);

  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (unsigned t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      std::mt19937 random(t);
      for (int i = 0; i < 300; ++i) {
        const TBytes& expected = i % 2 ? first : second;
        IvrnData& store = i % 2 ? *a : *b;
        std::uint64_t offset = random() % expected.size();
        std::uint32_t count = 1 + random() % 40000;
        TRead read = ReadAt(store, offset, count);
        std::size_t n = std::min<std::size_t>(count, expected.size() - offset);
        if (read.Status != STATUS_SUCCESS || read.Bytes != Slice(expected, offset, n)) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& reader : readers) {
    reader.join();
  }
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
