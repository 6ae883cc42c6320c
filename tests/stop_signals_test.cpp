// The notes the signal handlers leave for the time loop.
#include <gtest/gtest.h>

#include <csignal>

#include "driver/stop_signals.hpp"

namespace {

TEST(StopSignals, CheckpointRequestsAreTakenOnceAndTheFirstStopIsKept) {
  stop_signals signals;
  EXPECT_FALSE(signals.take_checkpoint_request());
  EXPECT_EQ(signals.stop(), 0);
  std::raise(SIGUSR1);
  std::raise(SIGUSR1);
  EXPECT_TRUE(signals.take_checkpoint_request());
  EXPECT_FALSE(signals.take_checkpoint_request());
  std::raise(SIGTERM);
  EXPECT_EQ(signals.stop(), SIGTERM);
  EXPECT_FALSE(signals.take_checkpoint_request());
}

TEST(StopSignals, SecondStopEndsTheProcessAtOnce) {
  EXPECT_EXIT(
      {
        stop_signals signals;
        std::raise(SIGINT);
        std::raise(SIGTERM);
      },
      testing::ExitedWithCode(128 + SIGTERM), "");
}

TEST(StopSignals, SignalIgnoredAtTheStartStaysIgnored) {
  struct sigaction ignore {};
  struct sigaction before {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, &before);
  {
    stop_signals signals;
    std::raise(SIGINT);
    EXPECT_EQ(signals.stop(), 0);
  }
  struct sigaction after {};
  sigaction(SIGINT, &before, &after);
  EXPECT_EQ(after.sa_handler, SIG_IGN);
}

}  // namespace
