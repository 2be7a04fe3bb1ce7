// The file-system thread: the callback table reaches overridable handlers, errors become
// NTSTATUS values, the base answers and defaults, and a mount's lifecycle with its
// result messages. The mount tests use whatever dokan2 library the build links: our
// FUSE implementation on Linux, the test stand-in under Wine.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>

#include "platform/vrnErrors.h"
#include "vfs/vrnDrivo.h"

#if defined(_WIN32)
#include "tests/dokan_standin/dokan_standin.h"
#else
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#endif

namespace {

using namespace std::chrono_literals;

// A thread whose handlers can be called without a mount, and which mounts where told.
class TTestDrivo : public TvrnDrivoThread {
 public:
  UString FRequestedMountPoint = u"M:\\";
  ULONG FRequestedOptions = 0;
  bool FFailInFillOptions = false;
  bool FThrowInHandlers = false;
  ULONG FSeenVersion = 0;
  ULONG FSeenOptions = 0;

  using TvrnDrivoThread::FillOperations;
  using TvrnDrivoThread::FStopRequested;
  using TvrnDrivoThread::FVolumeName;
  using TvrnDrivoThread::FVolumeSerial;

  // The options a callback test hands to the table, set up as Run would.
  DOKAN_OPTIONS& CallbackOptions() {
    FOptions.GlobalContext = reinterpret_cast<std::uintptr_t>(static_cast<TvrnDrivoThread*>(this));
    return FOptions;
  }

 protected:
  void FillOptions(DOKAN_OPTIONS& options) override {
    if (FFailInFillOptions) {
      throw EvrnError(u"The mount could not be prepared");
    }
    options.MountPoint = AsWChar(FRequestedMountPoint);
    options.Options = FRequestedOptions;
    options.Version = 1;  // Run must replace both of these
    options.GlobalContext = 42;
  }

  NTSTATUS DoMounted(LPCWSTR mountPoint, PDOKAN_FILE_INFO info) override {
    FSeenVersion = info->DokanOptions->Version;
    FSeenOptions = info->DokanOptions->Options;
    return TvrnDrivoThread::DoMounted(mountPoint, info);
  }

  NTSTATUS DoReadFile(LPCWSTR fileName,
                      LPVOID buffer,
                      DWORD bufferLength,
                      LPDWORD readLength,
                      LONGLONG offset,
                      PDOKAN_FILE_INFO info) override {
    if (FThrowInHandlers) {
      throw EOSError(ERROR_ACCESS_DENIED, u"denied");
    }
    if (UString(AsU16(fileName)) == u"\\readme.txt" && offset == 0 && bufferLength >= 2) {
      static_cast<char*>(buffer)[0] = 'h';
      static_cast<char*>(buffer)[1] = 'i';
      *readLength = 2;
      return STATUS_SUCCESS;
    }
    return TvrnDrivoThread::DoReadFile(fileName, buffer, bufferLength, readLength, offset, info);
  }

  void DoCloseFile(LPCWSTR, PDOKAN_FILE_INFO) override {
    if (FThrowInHandlers) {
      throw std::runtime_error("close failed");
    }
  }

 private:
  DOKAN_OPTIONS FOptions{};
};

// A thread object with its callback table and a file info that leads back to it.
struct TCallbackRig {
  TTestDrivo thread;
  DOKAN_OPERATIONS ops{};
  DOKAN_FILE_INFO info{};

  TCallbackRig() {
    thread.FillOperations(ops);
    info.DokanOptions = &thread.CallbackOptions();
  }
};

TEST(DrivoTest, ResultMessages) {
  struct Case {
    int result;
    UString message;
  };
  const Case cases[] = {
      {0, u""},
      {-1, u"Error"},
      {-2, u"Bad Drive letter"},
      {-3, u"Can't install driver"},
      {-4, u"Driver something wrong"},
      {-5, u"Can't assign a drive letter or mount point"},
      {-6, u"Mount point error"},
      {-7, u"Version error"},
      {3, u"Unknown error 3"},
      {-8, u"Unknown error -8"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TvrnDrivoThread::ResultMessage(c.result), c.message) << c.result;
  }
}

TEST(DrivoTest, ExceptionsMapToStatusesByKind) {
  struct Case {
    std::exception_ptr error;
    NTSTATUS status;
  };
  const Case cases[] = {
      {std::make_exception_ptr(EAbort()), DokanNtStatusFromWin32(ERROR_CANCELLED)},
      {std::make_exception_ptr(EOutOfMemory()), STATUS_NO_MEMORY},
      {std::make_exception_ptr(std::bad_alloc()), STATUS_NO_MEMORY},
      {std::make_exception_ptr(EOSError(ERROR_ACCESS_DENIED, u"x")), STATUS_ACCESS_DENIED},
      {std::make_exception_ptr(EOSError(ERROR_FILE_NOT_FOUND, u"x")), STATUS_OBJECT_NAME_NOT_FOUND},
      {std::make_exception_ptr(EOSError(ERROR_DISK_FULL, u"x")), STATUS_DISK_FULL},
      {std::make_exception_ptr(EOSError(ERROR_SUCCESS, u"x")), STATUS_UNSUCCESSFUL},
      {std::make_exception_ptr(EArgumentError(u"x")), STATUS_INVALID_PARAMETER},
      {std::make_exception_ptr(EInvalidPointer()), STATUS_INVALID_PARAMETER},
      {std::make_exception_ptr(EListError(u"x")), STATUS_UNSUCCESSFUL},
      {std::make_exception_ptr(EvrnError(u"x")), STATUS_UNSUCCESSFUL},
      {std::make_exception_ptr(std::runtime_error("x")), STATUS_UNSUCCESSFUL},
      {std::make_exception_ptr(7), STATUS_UNSUCCESSFUL},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(NtStatusFromException(cases[i].error), cases[i].status) << "case " << i;
  }
  // Cancellation is not in the library's table, so it is answered as access denied.
  EXPECT_EQ(DokanNtStatusFromWin32(ERROR_CANCELLED), STATUS_ACCESS_DENIED);
}

TEST(DrivoTest, BaseTableAnswersNotImplementedAndItsDefaults) {
  TCallbackRig rig;
  auto& ops = rig.ops;
  auto* info = &rig.info;
  const WCHAR* name = AsWChar(u"\\a.txt");
  char buffer[16];
  DWORD done = 0;
  ULONG needed = 0;
  FILETIME time{};
  BY_HANDLE_FILE_INFORMATION fileInfo{};

  EXPECT_EQ(ops.FindFilesWithPattern, nullptr);
  const NTSTATUS notImplemented[] = {
      ops.ZwCreateFile(name, nullptr, GENERIC_READ, 0, 7, FILE_OPEN, 0, info),
      ops.ReadFile(name, buffer, 16, &done, 0, info),
      ops.WriteFile(name, buffer, 16, &done, 0, info),
      ops.GetFileInformation(name, &fileInfo, info),
      ops.FindFiles(name, nullptr, info),
      ops.SetFileAttributes(name, 0, info),
      ops.SetFileTime(name, &time, &time, &time, info),
      ops.DeleteFile(name, info),
      ops.DeleteDirectory(name, info),
      ops.MoveFile(name, name, TRUE, info),
      ops.SetEndOfFile(name, 0, info),
      ops.SetAllocationSize(name, 0, info),
      ops.LockFile(name, 0, 1, info),
      ops.UnlockFile(name, 0, 1, info),
      ops.GetFileSecurity(name, nullptr, nullptr, 0, &needed, info),
      ops.SetFileSecurity(name, nullptr, nullptr, 0, info),
      ops.FindStreams(name, nullptr, nullptr, info),
  };
  for (std::size_t i = 0; i < std::size(notImplemented); ++i) {
    EXPECT_EQ(notImplemented[i], STATUS_NOT_IMPLEMENTED) << "operation " << i;
  }
  EXPECT_EQ(ops.FlushFileBuffers(name, info), STATUS_SUCCESS);
  // The library's word that the volume is gone stops whatever work is under way.
  EXPECT_FALSE(rig.thread.FStopRequested);
  EXPECT_EQ(ops.Unmounted(info), STATUS_SUCCESS);
  EXPECT_TRUE(rig.thread.FStopRequested);

  ULONGLONG available = 0, total = 0, free = 0;
  EXPECT_EQ(ops.GetDiskFreeSpace(&available, &total, &free, info), STATUS_SUCCESS);
  EXPECT_EQ(available, 0x20000000u);
  EXPECT_EQ(total, 0x7FFFFFFFFFFFFFFFu);
  EXPECT_EQ(free, 0x7FFFFFFFFFFFFFFFu);
  EXPECT_EQ(ops.GetDiskFreeSpace(nullptr, nullptr, nullptr, info), STATUS_SUCCESS);
}

TEST(DrivoTest, VolumeInformation) {
  TCallbackRig rig;
  rig.thread.FVolumeSerial = 0x1234ABCD;
  WCHAR label[8];
  WCHAR fsName[4];
  DWORD serial = 0, maxLength = 0, flags = 0;

  // Without a label the label buffer is left as it was; a nil buffer is skipped.
  label[0] = WCHAR('#');
  ASSERT_EQ(
      rig.ops.GetVolumeInformation(label, 8, &serial, &maxLength, &flags, fsName, 4, &rig.info),
      STATUS_SUCCESS);
  EXPECT_EQ(label[0], WCHAR('#'));
  EXPECT_EQ(serial, 0x1234ABCDu);
  EXPECT_EQ(maxLength, DWORD(kMaxNameLength));  // 259 on Windows, 255 on Linux
  EXPECT_EQ(flags, 0x00088006u);
  EXPECT_EQ(UString(AsU16(fsName)), u"FAT");  // "FAT32" cut to the buffer's 4 characters

  rig.thread.FVolumeName = u"holiday.photos";
  serial = 0;
  EXPECT_EQ(
      rig.ops.GetVolumeInformation(nullptr, 0, &serial, nullptr, nullptr, nullptr, 0, &rig.info),
      STATUS_SUCCESS);
  EXPECT_EQ(serial, 0x1234ABCDu);
  EXPECT_EQ(
      rig.ops.GetVolumeInformation(label, 8, nullptr, nullptr, nullptr, nullptr, 0, &rig.info),
      STATUS_SUCCESS);
  EXPECT_EQ(UString(AsU16(label)), u"holiday");
}

TEST(DrivoTest, OverridesRunAndErrorsStayInsideTheCallbacks) {
  TCallbackRig rig;
  char buffer[8] = {};
  DWORD done = 0;
  EXPECT_EQ(rig.ops.ReadFile(AsWChar(u"\\readme.txt"), buffer, 8, &done, 0, &rig.info),
            STATUS_SUCCESS);
  EXPECT_EQ(done, 2u);
  EXPECT_EQ(rig.ops.ReadFile(AsWChar(u"\\other"), buffer, 8, &done, 0, &rig.info),
            STATUS_NOT_IMPLEMENTED);

  rig.thread.FThrowInHandlers = true;
  EXPECT_EQ(rig.ops.ReadFile(AsWChar(u"\\readme.txt"), buffer, 8, &done, 0, &rig.info),
            DokanNtStatusFromWin32(ERROR_ACCESS_DENIED));
  rig.ops.CloseFile(AsWChar(u"\\readme.txt"), &rig.info);  // must not throw
}

// Where a test mounts: a new empty folder on Linux, a drive letter on Windows.
class DrivoMountTest : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(_WIN32)
    FMountPoint = u"M:\\";
#else
    char pattern[] = "/tmp/vrn-drivo-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    FFolder = pattern;
    FMountPoint = FromUtf8(FFolder);
#endif
  }
  void TearDown() override {
#if !defined(_WIN32)
    std::error_code ignored;
    std::filesystem::remove(FFolder, ignored);
#endif
  }

  // Waits until Thread leaves dsMounting, for at most ten seconds.
  static bool WaitWhileMounting(const TvrnDrivoThread& thread) {
    for (int i = 0; i < 1000 && thread.State() == dsMounting; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    return thread.State() != dsMounting;
  }

  // Runs Call while a bystander volume is mounted at the test's mount point, and expects
  // the bystander to stay mounted: Call asked for no unmount there, and returned at once.
  void ExpectNoUnmountRequest(const std::function<void()>& call) {
    auto bystander = std::make_unique<TTestDrivo>();
    bystander->FRequestedMountPoint = FMountPoint;
    bystander->Start();
    ASSERT_TRUE(WaitWhileMounting(*bystander));
    ASSERT_EQ(bystander->State(), dsMounted) << ToUtf8(bystander->ErrorMessage());
    const auto start = std::chrono::steady_clock::now();
    call();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_FALSE(bystander->WaitFor(300ms)) << "the bystander was unmounted";
    bystander->UnmountDrive();
    EXPECT_TRUE(bystander->WaitFor(10s));
  }

  UString FMountPoint;
  std::string FFolder;
};

TEST_F(DrivoMountTest, MountsAndUnmounts) {
  auto thread = std::make_unique<TTestDrivo>();
  thread->FRequestedMountPoint = FMountPoint;
  thread->FRequestedOptions = DOKAN_OPTION_WRITE_PROTECT;
  thread->Start();
  ASSERT_TRUE(WaitWhileMounting(*thread));
  ASSERT_EQ(thread->State(), dsMounted) << ToUtf8(thread->ErrorMessage());
  EXPECT_EQ(thread->MountPoint(), FMountPoint);
  EXPECT_EQ(thread->FSeenVersion, 206u);
  EXPECT_EQ(thread->FSeenOptions, ULONG(DOKAN_OPTION_WRITE_PROTECT));

  thread->UnmountDrive();
  ASSERT_TRUE(thread->WaitFor(10s));
  EXPECT_EQ(thread->State(), dsFinished);
  EXPECT_EQ(thread->ResultCode(), 0);
  EXPECT_EQ(thread->ErrorMessage(), u"");
  // A second call has nothing left to unmount, whatever is mounted there now.
  ExpectNoUnmountRequest([&] { thread->UnmountDrive(); });
}

TEST_F(DrivoMountTest, FailedMountKeepsTheResultAndItsMessage) {
  auto thread = std::make_unique<TTestDrivo>();
#if defined(_WIN32)
  // The stand-in library fails the mount as the real one does without a free letter.
  auto setMainResult = StandinExport<TStandinSetMainResult>("StandinSetMainResult");
  ASSERT_NE(setMainResult, nullptr);
  setMainResult(DOKAN_MOUNT_ERROR);
  thread->FRequestedMountPoint = FMountPoint;
  const int expected = DOKAN_MOUNT_ERROR;
  const UString message = u"Can't assign a drive letter or mount point";
#else
  thread->FRequestedMountPoint = FMountPoint + u"/missing";
  const int expected = DOKAN_MOUNT_POINT_ERROR;
  const UString message = u"Mount point error";
#endif
  thread->Start();
  ASSERT_TRUE(thread->WaitFor(10s));
  EXPECT_EQ(thread->State(), dsFinished);
  EXPECT_EQ(thread->ResultCode(), expected);
  EXPECT_EQ(thread->ErrorMessage(), message);
  EXPECT_TRUE(thread->MountPoint().empty());
  ExpectNoUnmountRequest([&] { thread->UnmountDrive(); });  // never mounted
}

TEST_F(DrivoMountTest, PreparationErrorFinishesWithResultOne) {
  auto thread = std::make_unique<TTestDrivo>();
  thread->FFailInFillOptions = true;
  thread->Start();
  ASSERT_TRUE(thread->WaitFor(10s));
  EXPECT_EQ(thread->State(), dsFinished);
  EXPECT_EQ(thread->ResultCode(), 1);
  EXPECT_EQ(thread->ErrorMessage(), u"The mount could not be prepared");
  EXPECT_TRUE(thread->MountPoint().empty());
  ExpectNoUnmountRequest([&] { thread->UnmountDrive(); });  // never mounted
}

}  // namespace
