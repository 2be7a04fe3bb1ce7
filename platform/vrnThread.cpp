#include "platform/vrnThread.h"

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
