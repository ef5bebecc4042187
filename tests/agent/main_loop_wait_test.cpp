// The main loop's wait ends on a wake, also one that came first, and on the parent's end.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "agent/platform/main_loop_wait.h"
#include "agent/platform/parent_process.h"

namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point t0) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

TEST(MainLoopWait, EndsOnAWakeOrTheParentsEndAndOtherwiseSleeps) {
  tunelight::initMainLoopWake();

  // A wake from another thread ends a wait without a time limit.
  auto t0 = Clock::now();
  std::thread waker([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    tunelight::wakeMainLoop();
  });
  tunelight::waitMainLoop(nullptr, 10000);
  waker.join();
  EXPECT_LT(msSince(t0), 5000);

  // A wake that came before the wait is not lost; it is used up by that wait.
  tunelight::wakeMainLoop();
  tunelight::wakeMainLoop();
  t0 = Clock::now();
  tunelight::waitMainLoop(nullptr, 10000);
  EXPECT_LT(msSince(t0), 5000);
  t0 = Clock::now();
  tunelight::waitMainLoop(nullptr, 100);
  EXPECT_GE(msSince(t0), 90);

  // The parent's end ends the wait where the platform can watch for it.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    pause();
    _exit(0);
  }
  auto parent = tunelight::openParentProcess(child);
  ASSERT_TRUE(parent->running());
  kill(child, SIGKILL);
  t0 = Clock::now();
  tunelight::waitMainLoop(parent.get(), parent->endSignal() >= 0 ? 10000 : 300);
  EXPECT_LT(msSince(t0), 5000);
  EXPECT_FALSE(parent->running());
  waitpid(child, nullptr, 0);
}

}  // namespace
