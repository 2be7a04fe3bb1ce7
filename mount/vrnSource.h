// The mount controller: one mount at a time, polled every 500 ms on the owner's thread.
//
// Mount starts an archive-open thread and a file-system thread; Poll, which the owner
// calls every kPollInterval while PollEnabled is true (the window from a timer, the
// command line from its loop), turns what the threads show into states, messages and
// progress for the registered clients. Every operation runs on the owner's thread;
// only Unmount blocks, until both threads have ended. Clients are told through
// IvrnSourceClient, found by QueryInterface at every send; the reference that
// QueryInterface hands out is released after the call, so a counted client must be
// held by its owner.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "mount/vrnArchiveThread.h"
#include "platform/vrnCom.h"
#include "vfs/vrnData.h"
#include "vfs/vrnDrivoArchive.h"

enum TvrnSourceState : std::uint8_t {
  ssStopped = 0,
  ssOpening = 1,
  ssMounted = 2,
  ssRunning = 3,
};

// What the controller tells its clients.
struct IvrnSourceClient : IUnknown {
  // No mount; ErrorText says why the last one ended (empty when it ended on request).
  virtual void SourceStopped(const UString& errorText) = 0;
  // The archive is being opened.
  virtual void SourceOpening() = 0;
  // The volume came up at MountPoint.
  virtual void SourceMounted(const UString& mountPoint) = 0;
  // Every later poll while the volume stays mounted.
  virtual void SourceRunning() = 0;
  // A failed read, "Data error: <path>".
  virtual void SourceMessage(const UString& text) = 0;
  // The extraction progress at every poll while running.
  virtual void SourceProgress(bool active, std::uint64_t done, std::uint64_t total) = 0;
};
VRN_DECLARE_IID(
    IvrnSourceClient,
    (GUID{0xAAFF2CDC, 0x43D0, 0x48A4, {0xB0, 0x96, 0xF0, 0xFF, 0xF9, 0x4D, 0x7F, 0x3F}}));

class TvrnSource {
 public:
  // How often the owner calls Poll while PollEnabled is true.
  static constexpr std::chrono::milliseconds kPollInterval{500};

  // A controller in ssStopped with no clients.
  TvrnSource() = default;
  TvrnSource(const TvrnSource&) = delete;
  TvrnSource& operator=(const TvrnSource&) = delete;
  // Unmounts with the error cleared (clients still registered are told).
  ~TvrnSource();

  // Appends Client (not counted: it must remove itself before it goes) and sends it the
  // current state's notification.
  void AddClient(IUnknown* client);
  // Takes Client out of the list, if it is there; nothing is sent.
  void RemoveClient(IUnknown* client);

  // Ends any running mount, then opens ArchiveFileName (as typed) in the background and
  // mounts it at MountPoint (Windows: a drive letter and ":\"; Linux: a folder). Never
  // raises: a mount that cannot be started leaves nothing running and is reported as
  // SourceStopped with the reason.
  void Mount(const UString& mountPoint,
             const UString& archiveFileName,
             const UString& password,
             TvrnStoreKind storeKind);
  // Sends the messages still queued, then ends the mount and waits for both threads;
  // ClearError drops the error text.
  void Unmount(bool clearError);
  // The timer's work: one look at the threads; does nothing while PollEnabled is false.
  void Poll();

  // The owner calls Poll every kPollInterval while this is true.
  bool PollEnabled() const { return FPollEnabled; }
  // The current state, as last sent to the clients.
  TvrnSourceState State() const { return FState; }
  // Why the last mount ended; empty when it ended without error or on request.
  const UString& ErrorText() const { return FErrorText; }

 private:
  // Stores State and sends its notification to every client, only when it changes.
  void SetState(TvrnSourceState state);
  // Sends to every client, the last added first; a client's exception is swallowed.
  template <typename Send>
  void Broadcast(Send send);
  // Sends to one client, if it offers IvrnSourceClient; its exception is swallowed.
  template <typename Send>
  void Deliver(IUnknown* client, Send send);
  // Sends the current state's notification to one client.
  void SendState(IvrnSourceClient* client);
  // Takes every message the file-system thread has queued and sends each to every
  // client, in queue order.
  void DeliverMessages();

  TvrnSourceState FState = ssStopped;
  std::unique_ptr<TvrnArchiveThread> FArchiveThread;
  std::unique_ptr<TvrnDrivoArchiveThread> FDrivoThread;
  UString FErrorText;
  bool FPollEnabled = false;
  std::vector<IUnknown*> FClients;
};
