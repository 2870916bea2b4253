// Re-entrant critical sections and their scope guard: the one lock type of
// the engine, the component layer and the storage layer. Beside each lock
// member stands what it guards; a function that must run with a lock held
// says so with "REQUIRES:". Nested locks are taken in one fixed order:
// session, database-manager registry, table-manager registry, table manager,
// plain-file-system registry.
#pragma once

#include <mutex>

namespace kivo {

// A lock the owning thread may take again; each Enter needs its Leave.
class TCriticalSection {
 public:
  TCriticalSection() = default;
  TCriticalSection(const TCriticalSection&) = delete;
  TCriticalSection& operator=(const TCriticalSection&) = delete;

  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  // Takes the lock when it is free or already held by this thread.
  bool TryEnter() { return mutex_.try_lock(); }

  // BasicLockable, for std::lock_guard and std::unique_lock.
  void lock() { Enter(); }
  void unlock() { Leave(); }
  bool try_lock() { return TryEnter(); }

 private:
  std::recursive_mutex mutex_;
};

// Holds a critical section for the guard's scope, on every exit path.
class TCriticalSectionGuard {
 public:
  explicit TCriticalSectionGuard(TCriticalSection& section) : section_(section) {
    section_.Enter();
  }
  ~TCriticalSectionGuard() { section_.Leave(); }
  TCriticalSectionGuard(const TCriticalSectionGuard&) = delete;
  TCriticalSectionGuard& operator=(const TCriticalSectionGuard&) = delete;

 private:
  TCriticalSection& section_;
};

}  // namespace kivo
