#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/locks.h"
#include "platform/memory_status.h"

namespace kivo {
namespace {

TEST(MemoryStatusTest, ParsesMemAvailable) {
  EXPECT_EQ(ParseMemAvailable("MemTotal:  100 kB\nMemFree:  5 kB\nMemAvailable:   2048 kB\n"),
            std::optional<std::uint64_t>(2048u * 1024u));
  EXPECT_EQ(ParseMemAvailable("MemAvailable: 7\r\n"), std::optional<std::uint64_t>(7u));
  EXPECT_EQ(ParseMemAvailable("MemTotal: 100 kB\n"), std::nullopt);
  EXPECT_EQ(ParseMemAvailable("MemAvailable: kB\n"), std::nullopt);
  EXPECT_EQ(ParseMemAvailable("MemAvailable: 12 MB\n"), std::nullopt);
  EXPECT_EQ(ParseMemAvailable("MemAvailable: 99999999999999999999999 kB\n"), std::nullopt);
  EXPECT_EQ(ParseMemAvailable(""), std::nullopt);
}

TEST(MemoryStatusTest, SystemFigures) {
  const std::uint64_t total = TotalPhysicalMemory();
  const std::uint64_t available = AvailablePhysicalMemory();
  EXPECT_GT(total, 0u);
  EXPECT_GT(available, 0u);
  EXPECT_LE(available, total);
}

TEST(LocksTest, ReentrantAndExclusive) {
  TCriticalSection cs;
  cs.Enter();
  EXPECT_TRUE(cs.TryEnter());  // the owner may enter again
  {
    TCriticalSectionGuard guard(cs);
    std::atomic<bool> other_got_it{true};
    std::thread t([&] { other_got_it = cs.TryEnter(); });
    t.join();
    EXPECT_FALSE(other_got_it);
  }
  cs.Leave();
  cs.Leave();
  std::atomic<bool> free_now{false};
  std::thread t([&] {
    free_now = cs.TryEnter();
    if (free_now) cs.Leave();
  });
  t.join();
  EXPECT_TRUE(free_now);
}

TEST(LocksTest, GuardReleasesOnException) {
  TCriticalSection cs;
  try {
    TCriticalSectionGuard guard(cs);
    throw 1;
  } catch (int) {
  }
  std::atomic<bool> got{false};
  std::thread t([&] {
    got = cs.TryEnter();
    if (got) cs.Leave();
  });
  t.join();
  EXPECT_TRUE(got);
}

TEST(LocksTest, SerialisesCounters) {
  TCriticalSection cs;
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      TCriticalSectionGuard outer(cs);
      TCriticalSectionGuard inner(cs);
      ++counter;
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);
}

}  // namespace
}  // namespace kivo
