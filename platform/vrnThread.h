// Threads, events and locks of the core, on the standard library (MinGW's posix
// thread model on Windows).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>

// A critical section: a re-entrant lock held by one thread at a time.
using TCriticalSection = std::recursive_mutex;
// A multi-reader, single-writer lock. A thread that holds it, in either mode, must not
// take it again: that is undefined for a shared mutex, and a deadlock once a writer
// queues between the two. Builds with VRN_LOCK_CHECKS (the sanitizer builds) end the
// program with a message when it happens; other builds only forward to the mutex.
class TMultiReadLock {
 public:
  void lock() {
    Acquiring();
    FMutex.lock();
  }
  bool try_lock() {
    Acquiring();
    return Acquired(FMutex.try_lock());
  }
  void unlock() {
    FMutex.unlock();
    Released();
  }
  void lock_shared() {
    Acquiring();
    FMutex.lock_shared();
  }
  bool try_lock_shared() {
    Acquiring();
    return Acquired(FMutex.try_lock_shared());
  }
  void unlock_shared() {
    FMutex.unlock_shared();
    Released();
  }

 private:
#if defined(VRN_LOCK_CHECKS)
  // Ends the program when this thread holds the lock already; records it as held.
  void Acquiring();
  // Forgets the record of a try that failed.
  bool Acquired(bool taken) {
    if (!taken) {
      Released();
    }
    return taken;
  }
  void Released();
#else
  void Acquiring() {}
  static bool Acquired(bool taken) { return taken; }
  void Released() {}
#endif

  std::shared_mutex FMutex;
};

// A manual-reset event: once set it stays set, and every wait returns at once.
class TEvent {
 public:
  // Signals the event and wakes every waiter.
  void Set();
  // Waits until the event is set; false when TimeoutMs ran out first.
  bool WaitFor(std::chrono::milliseconds timeout = std::chrono::milliseconds::max());
  bool IsSet() const;

 private:
  mutable std::mutex FMutex;
  std::condition_variable FChanged;
  bool FSet = false;
};

// A thread object with a body, a terminate request, a wait for its end and a finished
// flag. The object is constructed first and started afterwards (Start, or the Spawn
// factory), so the body never runs before the whole construction chain is complete.
class TThread {
 public:
  TThread() = default;
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  // Waits for the body to end, if it was started.
  virtual ~TThread();

  // Constructs a T and starts its thread.
  template <typename T, typename... Args>
  static std::unique_ptr<T> Spawn(Args&&... args) {
    auto thread = std::make_unique<T>(std::forward<Args>(args)...);
    thread->Start();
    return thread;
  }

  // Starts the body on a new thread; called once.
  void Start();
  // Asks the body to end; the body polls Terminated.
  void Terminate() { FTerminated = true; }
  bool Terminated() const { return FTerminated; }
  // Waits until the body has returned; true when it has within Timeout.
  bool WaitFor(std::chrono::milliseconds timeout = std::chrono::milliseconds::max());
  // True once the body has returned.
  bool Finished() const { return FFinishedEvent.IsSet(); }

 protected:
  // The thread body. Exceptions must not leave it.
  virtual void Execute() = 0;

 private:
  std::thread FThread;
  std::atomic<bool> FTerminated{false};
  TEvent FFinishedEvent;
};
