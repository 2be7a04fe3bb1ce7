#include "platform/vrnThread.h"

#if defined(VRN_LOCK_CHECKS)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// The multi-reader locks this thread holds, in either mode.
thread_local std::vector<const TMultiReadLock*> tHeldLocks;

}  // namespace

void TMultiReadLock::Acquiring() {
  if (std::find(tHeldLocks.begin(), tHeldLocks.end(), this) != tHeldLocks.end()) {
    std::fprintf(stderr, "vornmount: a multi-reader lock was taken twice by one thread\n");
    std::abort();
  }
  tHeldLocks.push_back(this);
}

void TMultiReadLock::Released() {
  auto held = std::find(tHeldLocks.begin(), tHeldLocks.end(), this);
  if (held != tHeldLocks.end()) {
    tHeldLocks.erase(held);
  }
}
#endif

void TEvent::Set() {
  {
    std::lock_guard<std::mutex> guard(FMutex);
    FSet = true;
  }
  FChanged.notify_all();
}

bool TEvent::WaitFor(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(FMutex);
  if (timeout == std::chrono::milliseconds::max()) {
    FChanged.wait(lock, [this] { return FSet; });
    return true;
  }
  return FChanged.wait_for(lock, timeout, [this] { return FSet; });
}

bool TEvent::IsSet() const {
  std::lock_guard<std::mutex> guard(FMutex);
  return FSet;
}

TThread::~TThread() {
  if (FThread.joinable()) {
    FThread.join();
  }
}

void TThread::Start() {
  FThread = std::thread([this] {
    Execute();
    FFinishedEvent.Set();
  });
}

bool TThread::WaitFor(std::chrono::milliseconds timeout) {
  return FFinishedEvent.WaitFor(timeout);
}
