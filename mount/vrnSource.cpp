// The mount controller: starts and ends the two worker threads of a mount, and turns
// what its poll sees in them into states, messages and progress for the clients.
#include "mount/vrnSource.h"

#include <algorithm>
#include <exception>

#include "platform/vrnErrors.h"

namespace {

// The user's text for the exception being handled.
UString CurrentErrorText() {
  try {
    throw;
  } catch (const EvrnError& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return FromUtf8(e.what());
  } catch (...) {
    return u"Unknown error";
  }
}

}  // namespace

TvrnSource::~TvrnSource() {
  Unmount(true);
}

void TvrnSource::AddClient(IUnknown* client) {
  FClients.push_back(client);
  Deliver(client, [this](IvrnSourceClient* c) { SendState(c); });
}

void TvrnSource::RemoveClient(IUnknown* client) {
  auto found = std::find(FClients.begin(), FClients.end(), client);
  if (found != FClients.end()) {
    FClients.erase(found);
  }
}

void TvrnSource::Mount(const UString& mountPoint,
                       const UString& archiveFileName,
                       const UString& password,
                       TvrnStoreKind storeKind) {
  Unmount(true);

  // Both threads are built before either starts, so a failure here leaves nothing
  // running: the file-system thread's temporary file is the one thing that can fail.
  std::unique_ptr<TvrnArchiveThread> archiveThread;
  std::unique_ptr<TvrnDrivoArchiveThread> drivoThread;
  bool archiveStarted = false;
  try {
    archiveThread = std::make_unique<TvrnArchiveThread>(archiveFileName, password);
    drivoThread =
        std::make_unique<TvrnDrivoArchiveThread>(mountPoint, archiveThread.get(), storeKind);
    archiveThread->Start();
    archiveStarted = true;
    drivoThread->Start();
  } catch (...) {
    FErrorText = CurrentErrorText();
    if (archiveStarted) {
      archiveThread->Stop();
      archiveThread->WaitFor();
    }
    drivoThread.reset();
    archiveThread.reset();
    // The state is already ssStopped, so SetState would send nothing.
    Broadcast([this](IvrnSourceClient* c) { c->SourceStopped(FErrorText); });
    return;
  }
  FArchiveThread = std::move(archiveThread);
  FDrivoThread = std::move(drivoThread);
  FPollEnabled = true;
  SetState(ssOpening);
}

void TvrnSource::Unmount(bool clearError) {
  FPollEnabled = false;
  // The failed reads since the last poll are told before the mount ends, however it
  // ends; those that the unmount itself cuts short are not the user's to see.
  DeliverMessages();
  if (FArchiveThread) {
    FArchiveThread->Stop();
    FArchiveThread->WaitFor();
  }
  if (FDrivoThread) {
    FDrivoThread->UnmountDrive();
    FDrivoThread->WaitFor();
  }

  if (clearError) {
    FErrorText.clear();
  } else if (FArchiveThread && FArchiveThread->Failed()) {
    FErrorText = FArchiveThread->ErrorText();
  } else if (FDrivoThread && FDrivoThread->ResultCode() != 0) {
    FErrorText = FDrivoThread->ErrorMessage();
  } else {
    FErrorText.clear();
  }

  // Each field is cleared before its object goes; the file-system thread first, since it
  // refers to the archive-open thread.
  std::unique_ptr<TvrnDrivoArchiveThread> drivoThread = std::move(FDrivoThread);
  drivoThread.reset();
  std::unique_ptr<TvrnArchiveThread> archiveThread = std::move(FArchiveThread);
  archiveThread.reset();

  SetState(ssStopped);
}

void TvrnSource::Poll() {
  // A disabled timer does not fire: without a mount there is nothing to look at, and the
  // last failure's text must stay.
  if (!FPollEnabled) {
    return;
  }
  if (!FDrivoThread || FDrivoThread->Finished()) {
    Unmount(false);
    return;
  }
  if (!FArchiveThread->Finished()) {
    SetState(ssOpening);
    return;
  }
  if (FDrivoThread->State() != dsMounted) {
    return;  // the archive is open, the volume not up yet
  }
  if (FState == ssOpening) {
    SetState(ssMounted);  // this poll delivers no messages and no progress
    return;
  }
  SetState(ssRunning);
  DeliverMessages();
  std::uint64_t done = 0;
  std::uint64_t total = 0;
  const bool active = FDrivoThread->GetProgress(done, total);
  Broadcast([&](IvrnSourceClient* c) { c->SourceProgress(active, done, total); });
}

void TvrnSource::DeliverMessages() {
  if (!FDrivoThread) {
    return;
  }
  for (UString text = FDrivoThread->TakeMessage(); !text.empty();
       text = FDrivoThread->TakeMessage()) {
    Broadcast([&text](IvrnSourceClient* c) { c->SourceMessage(text); });
  }
}

void TvrnSource::SetState(TvrnSourceState state) {
  if (state == FState) {
    return;
  }
  FState = state;
  Broadcast([this](IvrnSourceClient* c) { SendState(c); });
}

template <typename Send>
void TvrnSource::Broadcast(Send send) {
  // By index, and checked on each step: a client may remove itself, or another, while
  // it is being told something.
  for (std::size_t i = FClients.size(); i > 0; --i) {
    if (i <= FClients.size()) {
      Deliver(FClients[i - 1], send);
    }
  }
}

template <typename Send>
void TvrnSource::Deliver(IUnknown* client, Send send) {
  try {
    TComPtr<IvrnSourceClient> target;
    if (client == nullptr ||
        client->QueryInterface(TInterfaceId<IvrnSourceClient>::Value,
                               reinterpret_cast<void**>(target.Receive())) != S_OK ||
        !target) {
      return;  // not a client of the controller: skipped without notice
    }
    send(target.Get());
  } catch (...) {
    // A client's failure is its own; the others are still told.
  }
}

void TvrnSource::SendState(IvrnSourceClient* client) {
  switch (FState) {
    case ssStopped:
      client->SourceStopped(FErrorText);
      break;
    case ssOpening:
      client->SourceOpening();
      break;
    case ssMounted:
      client->SourceMounted(FDrivoThread ? FDrivoThread->MountPoint() : UString());
      break;
    case ssRunning:
      client->SourceRunning();
      break;
  }
}
