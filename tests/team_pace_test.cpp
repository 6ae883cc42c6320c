// When the team shares its sweeps: what a shared sweep gained or lost,
// worked out by hand from simulated timings, how the windows of shared
// sweeps send the team to the calling thread alone and back, and a real
// team whose other thread is always late.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "timestep/row_team.hpp"

namespace {

using namespace std::chrono_literals;
using clock_type = team_pace::clock;
using sweep = team_pace::shared_sweep;

// A sweep of `parts` parts over two threads that started at `start` and
// took `took`; the calling thread's parts took `own` in all, the longest
// of them `longest`.
sweep timed(clock_type::time_point start, clock_type::duration took, int parts, int own_parts, clock_type::duration own,
            clock_type::duration longest) {
  sweep s;
  s.start = start;
  s.end = start + took;
  s.own = own;
  s.longest = longest;
  s.own_parts = own_parts;
  s.parts = parts;
  s.threads = 2;
  return s;
}

const clock_type::time_point t0{};
const int window = pace_rules{}.window;

// Two threads sharing evenly: 8 parts of 1 ms, half each, done in 4.2 ms.
sweep even(clock_type::time_point start) { return timed(start, 4200us, 8, 4, 4000us, 1000us); }
// The other thread woke too late to take a part: the calling thread took
// all 8 (0.9 ms each, one of 1.4 ms) and the handing out cost 0.3 ms.
sweep unhelped(clock_type::time_point start) { return timed(start, 8000us, 8, 8, 7700us, 1400us); }

TEST(TeamPaceGain, IsTheTimeAloneLessTheTimeSharedFromTheCallersParts) {
  // 8 x 1 ms alone against 4.2 ms shared.
  EXPECT_EQ(team_pace::gain(even(t0)), 3800us);
  // (7.7 - 1.4) / 7 = 0.9 ms a part, 7.2 ms alone against 8 ms.
  EXPECT_EQ(team_pace::gain(unhelped(t0)), -800us);
  // The other thread took one part and lost its core in it: the sweep
  // waited until 10 ms for it, where the calling thread alone takes 8.
  EXPECT_EQ(team_pace::gain(timed(t0, 10ms, 8, 7, 7ms, 1ms)), -2ms);
}

TEST(TeamPaceGain, LeavesOutTheCallersLongestPartAndIsBoundedByTheOtherThreads) {
  // The calling thread lost its core for 4 ms in one of its 4 parts: its
  // others give 1 ms a part, 8 ms alone against 8.5 ms.
  EXPECT_EQ(team_pace::gain(timed(t0, 8500us, 8, 4, 8ms, 5ms)), -500us);
  // One part of the calling thread's, of 2 ms, in a sweep of 2.5 ms: 16 ms
  // alone, but one other thread saves at most the sweep's own time.
  EXPECT_EQ(team_pace::gain(timed(t0, 2500us, 8, 1, 2ms, 2ms)), 2500us);
  sweep four = timed(t0, 2500us, 8, 1, 2ms, 2ms);
  four.threads = 4;
  EXPECT_EQ(team_pace::gain(four), 7500us);
  // The others took every part: nothing to judge the time alone by.
  EXPECT_EQ(team_pace::gain(timed(t0, 3ms, 8, 0, 0ms, 0ms)), 0ms);
}

// Judges a window of sweeps, one every 10 ms from `start`, the first
// `losing` of them unhelped and the rest even; returns the end of the last.
clock_type::time_point judge_window(team_pace& pace, clock_type::time_point start, int losing) {
  clock_type::time_point at = start;
  for (int n = 0; n < window; ++n, at += 10ms) {
    EXPECT_TRUE(pace.shares(at)) << "sweep " << n << " of the window";
    pace.judge(n < losing ? unhelped(at) : even(at));
  }
  return at - 10ms + (losing == window ? 8000us : 4200us);
}

TEST(TeamPaceWindows, ATeamThatGainsKeepsSharing) {
  team_pace pace;
  clock_type::time_point at = t0;
  for (int w = 0; w < 20; ++w) at = judge_window(pace, at + 10ms, 0);
  EXPECT_TRUE(pace.shares(at));
  // A window whose few late sweeps cost less than the others gained.
  at = judge_window(pace, at + 10ms, 4);
  EXPECT_TRUE(pace.shares(at));
}

TEST(TeamPaceWindows, AWindowLostGoesAloneTwiceAsLongEachTimeUpToTheLongest) {
  team_pace pace;
  // Until its window is full the team keeps sharing, even when losing.
  clock_type::time_point at = t0;
  for (int n = 0; n + 1 < window; ++n, at += 10ms) pace.judge(unhelped(at));
  EXPECT_TRUE(pace.shares(at));
  pace.judge(unhelped(at));
  clock_type::time_point end = at + 8000us;
  clock_type::duration alone = 2ms;
  for (int w = 0; w < 10; ++w) {
    EXPECT_FALSE(pace.shares(end)) << "window " << w;
    EXPECT_FALSE(pace.shares(end + alone - 1ns)) << "window " << w;
    EXPECT_TRUE(pace.shares(end + alone)) << "window " << w;
    end = judge_window(pace, end + alone, window);
    alone = std::min(2 * alone, clock_type::duration{256ms});
  }
  EXPECT_EQ(alone, 256ms);
  EXPECT_FALSE(pace.shares(end + 255ms));
  EXPECT_TRUE(pace.shares(end + 256ms));
}

TEST(TeamPaceWindows, AWindowWonStartsTheNextTimeAloneAtTheShortest) {
  team_pace pace;
  clock_type::time_point end = judge_window(pace, t0, window);
  end = judge_window(pace, end + 2ms, window);
  end = judge_window(pace, end + 4ms, window);
  EXPECT_FALSE(pace.shares(end + 8ms - 1ns));
  end = judge_window(pace, end + 8ms, 0);
  EXPECT_TRUE(pace.shares(end));
  // A late part that cost more than the window's sharing gained.
  clock_type::time_point at = end + 10ms;
  for (int n = 0; n + 1 < window; ++n, at += 10ms) pace.judge(even(at));
  pace.judge(timed(at, 70ms, 8, 7, 7ms, 1ms));  // waited 62 ms past the 8 alone
  EXPECT_FALSE(pace.shares(at + 70ms));
  EXPECT_TRUE(pace.shares(at + 72ms));
}

// Holds the thread for `t`, awake.
void work_for(clock_type::duration t) {
  for (const auto until = clock_type::now() + t; clock_type::now() < until;) {
  }
}

// A team of two whose second thread takes 5 ms over each part it takes, as
// if it lost its core in every one, where the calling thread's take 0.2 ms:
// after a window of shared sweeps (each one lost) the calling thread runs
// every part alone, here for a minute. Every part runs once in every sweep.
TEST(TeamPaceInATeam, AThreadAlwaysLateIsLeftOut) {
  pace_rules rules;
  rules.first_alone = std::chrono::minutes(1);
  step_team team(2, rules);
  const int sweeps = window + 40, parts = 8;
  std::vector<int> late_parts(sweeps, 0);
  for (int n = 0; n < sweeps; ++n) {
    std::vector<std::atomic<int>> runs(parts);
    team.for_each_part(parts, [&](int k, int thread) {
      runs[static_cast<std::size_t>(k)].fetch_add(1);
      if (thread != 0) {
        ++late_parts[static_cast<std::size_t>(n)];
        std::this_thread::sleep_for(5ms);
      } else {
        work_for(200us);
      }
    });
    for (int k = 0; k < parts; ++k) ASSERT_EQ(runs[static_cast<std::size_t>(k)].load(), 1) << n << " " << k;
  }
  int after_the_first_window = 0;
  for (int n = window; n < sweeps; ++n) after_the_first_window += late_parts[static_cast<std::size_t>(n)];
  EXPECT_EQ(after_the_first_window, 0);
}

}  // namespace
