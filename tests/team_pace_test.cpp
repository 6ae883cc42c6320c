// When the team shares its sweeps: the kinds of sweeps, the order of a
// trial's sweeps alone and shared, the verdicts worked out by hand from
// simulated timings and how long each holds, and real teams whose other
// thread always slows a sweep down, or always speeds it up; which thread
// takes which part of a shared sweep.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "timestep/row_team.hpp"

namespace {

using namespace std::chrono_literals;
using choice = team_pace::choice;
using verdicts = pace_rules::verdicts;

const pace_rules rules{};
// The rules, but judging sweeps of any work.
const pace_rules any_work{.least_work = 0};

TEST(TeamPaceKinds, ArePowersOfTwoOfTheWork) {
  EXPECT_EQ(team_pace::kind_of(0), 0);
  EXPECT_EQ(team_pace::kind_of(-5), 0);
  EXPECT_EQ(team_pace::kind_of(1), 1);
  EXPECT_EQ(team_pace::kind_of(16383), 14);
  EXPECT_EQ(team_pace::kind_of(16384), 15);
  EXPECT_EQ(team_pace::kind_of(20000), 15);
  EXPECT_EQ(team_pace::kind_of(32767), 15);
  EXPECT_EQ(team_pace::kind_of(1L << 62), team_pace::kinds - 1);
  EXPECT_EQ(team_pace::kind_of(std::numeric_limits<long>::max()), team_pace::kinds - 1);
}

// Judges `n` sweeps of `work` units each, the ones chosen alone taking
// `alone` and the shared ones `shared`; returns how many were shared.
int judge_sweeps(team_pace& pace, int n, long work, std::chrono::nanoseconds alone, std::chrono::nanoseconds shared) {
  int shared_sweeps = 0;
  for (int k = 0; k < n; ++k) {
    const choice c = pace.choose(work);
    shared_sweeps += c.shared ? 1 : 0;
    pace.judge(c, c.shared ? shared : alone);
  }
  return shared_sweeps;
}

TEST(TeamPaceTrial, RunsAQuarterAloneThenHalfSharedThenAQuarterAlone) {
  team_pace pace;
  std::vector<bool> order;
  for (int k = 0; k < rules.trial; ++k) {
    const choice c = pace.choose(100000);
    EXPECT_EQ(c.kind, team_pace::kind_of(100000));
    EXPECT_EQ(c.work, 100000);
    order.push_back(c.shared);
    pace.judge(c, 100us);
  }
  for (int k = 0; k < rules.trial; ++k) {
    EXPECT_EQ(order[static_cast<std::size_t>(k)], k >= 4 && k < 12) << "sweep " << k << " of the trial";
  }
}

TEST(TeamPaceTrial, SharingWinsOnlyBelowTheTimeAloneLessTheMargin) {
  // 1.6 ns a unit alone; shared, 1.5 ns saves exactly a sixteenth: not
  // enough. 1.499 ns is.
  team_pace exact(any_work);
  judge_sweeps(exact, rules.trial, 1000, 1600ns, 1500ns);
  EXPECT_EQ(judge_sweeps(exact, rules.first_hold, 1000, 1600ns, 1500ns), 0);
  team_pace more(any_work);
  judge_sweeps(more, rules.trial, 1000, 1600ns, 1499ns);
  EXPECT_EQ(judge_sweeps(more, rules.first_hold, 1000, 1600ns, 1499ns), rules.first_hold);
}

TEST(TeamPaceTrial, ComparesTimePerUnitOfWork) {
  // Of the same kind (1024 to 2047 units): the sweeps alone of 1100
  // units take 1100 ns (1 ns a unit), the shared ones of 2000 units take
  // longer, 1500 ns, but 0.75 ns a unit: sharing wins.
  team_pace pace(any_work);
  for (int k = 0; k < rules.trial; ++k) {
    const bool shared_turn = k >= 4 && k < 12;
    const choice c = pace.choose(shared_turn ? 2000 : 1100);
    ASSERT_EQ(c.shared, shared_turn);
    pace.judge(c, c.shared ? 1500ns : 1100ns);
  }
  EXPECT_TRUE(pace.choose(1500).shared);
  // The sweeps left to the calling thread for the trial count as alone,
  // whatever they were chosen as: here the shared turn's were not handed
  // out (one part each), and took 2 ns a unit, more than alone's 1.
  team_pace unshared(any_work);
  for (int k = 0; k < rules.trial; ++k) {
    const choice c = unshared.choose(1100);
    unshared.judge({c.kind, c.work, false}, c.shared ? 2200ns : 1100ns);
  }
  EXPECT_FALSE(unshared.choose(1100).shared);
}

TEST(TeamPaceVerdicts, HoldFourTimesAsLongEachTimeATrialRepeatsThemUpToTheLongest) {
  team_pace pace;
  judge_sweeps(pace, rules.trial, 50000, 100us, 60us);
  int hold = rules.first_hold;
  for (int n = 0; n < 10; ++n) {
    SCOPED_TRACE(testing::Message() << "verdict " << n);
    EXPECT_EQ(judge_sweeps(pace, hold, 50000, 100us, 60us), hold);
    // The next trial: a quarter of it alone.
    EXPECT_FALSE(pace.choose(50000).shared);
    EXPECT_EQ(judge_sweeps(pace, rules.trial, 50000, 100us, 60us), rules.trial / 2);
    hold = std::min(4 * hold, rules.longest_hold);
  }
  EXPECT_EQ(hold, rules.longest_hold);
  // Sharing turns slow: the verdict changes and holds for the shortest
  // time, alone; then alone again, for four times that.
  EXPECT_EQ(judge_sweeps(pace, hold, 50000, 100us, 60us), hold);
  judge_sweeps(pace, rules.trial, 50000, 100us, 150us);
  EXPECT_EQ(judge_sweeps(pace, rules.first_hold, 50000, 100us, 150us), 0);
  EXPECT_EQ(judge_sweeps(pace, rules.trial, 50000, 100us, 150us), rules.trial / 2);
  EXPECT_EQ(judge_sweeps(pace, 4 * rules.first_hold, 50000, 100us, 150us), 0);
  EXPECT_FALSE(pace.choose(50000).shared);
  EXPECT_EQ(judge_sweeps(pace, rules.trial / 4, 50000, 100us, 150us), 0) << "the next trial starts alone";
  EXPECT_TRUE(pace.choose(50000).shared);
}

// A shared sweep that takes more than twice the time alone of its work
// (2 ns a unit: 100 us for 50,000 units, as measured in the trial's first
// quarter) is slow; one that takes exactly twice is not. Two slow ones
// among a kind's last four timed shared sweeps send it alone at once, for
// the shortest hold, in a trial or in a verdict's hold.
TEST(TeamPaceVerdicts, TwoSlowSharedSweepsInFourEndSharingAtOnce) {
  team_pace pace;
  judge_sweeps(pace, rules.trial / 4, 50000, 100us, 0us);
  ASSERT_TRUE(pace.choose(50000).shared);
  pace.judge(pace.choose(50000), 200us);
  pace.judge(pace.choose(50000), 200001ns);
  pace.judge(pace.choose(50000), 200us);
  ASSERT_TRUE(pace.choose(50000).shared) << "one slow sweep, and two at exactly twice";
  pace.judge(pace.choose(50000), 200001ns);
  EXPECT_EQ(judge_sweeps(pace, rules.first_hold, 50000, 100us, 60us), 0);
  // The next trial finds sharing faster. In its hold, a sweep of 40,000
  // units (of the same kind; 80 us alone) that takes 161 us, and two
  // sweeps later one of 50,000 units that takes 201 us, end it.
  EXPECT_EQ(judge_sweeps(pace, rules.trial, 50000, 100us, 60us), rules.trial / 2);
  EXPECT_EQ(judge_sweeps(pace, 10, 50000, 100us, 60us), 10);
  pace.judge(pace.choose(40000), 161us);
  EXPECT_EQ(judge_sweeps(pace, 2, 50000, 100us, 60us), 2);
  pace.judge(pace.choose(50000), 201us);
  EXPECT_EQ(judge_sweeps(pace, rules.first_hold, 50000, 100us, 60us), 0);
  // A verdict alone given again so holds four times as long, then sixteen.
  for (const int hold : {4 * rules.first_hold, 16 * rules.first_hold}) {
    EXPECT_EQ(judge_sweeps(pace, rules.trial / 4, 50000, 100us, 60us), 0);
    ASSERT_TRUE(pace.choose(50000).shared);
    pace.judge(pace.choose(50000), 201us);
    pace.judge(pace.choose(50000), 201us);
    EXPECT_EQ(judge_sweeps(pace, hold, 50000, 100us, 60us), 0);
    EXPECT_FALSE(pace.choose(50000).shared);
  }
  EXPECT_EQ(judge_sweeps(pace, rules.trial / 4, 50000, 100us, 60us), 0);
  EXPECT_TRUE(pace.choose(50000).shared) << "a trial after the longer hold";
}

// Slow shared sweeps now and then, one in eight, each 50 times the time
// alone (a thread losing its core for 5 ms, as a virtual machine's does
// when its host runs something else), among sweeps that save 40%: the kind
// stays shared, each slow one counting as twice its time alone (77.5 us a
// sweep on average, against 100 alone). One in two, and the kind goes
// alone within the trial.
TEST(TeamPaceVerdicts, ASlowSharedSweepNowAndThenIsCountedAsTwiceAlone) {
  const auto sweeps_with_slow = [](team_pace& pace, int n, int every) {
    int shared = 0;
    for (int k = 0; k < n; ++k) {
      const choice c = pace.choose(50000);
      shared += c.shared ? 1 : 0;
      pace.judge(c, !c.shared ? 100us : (k % every == every - 1 ? 5ms : 60us));
    }
    return shared;
  };
  team_pace sometimes;
  sweeps_with_slow(sometimes, rules.trial, 8);
  EXPECT_EQ(sweeps_with_slow(sometimes, rules.first_hold, 8), rules.first_hold);
  EXPECT_EQ(sweeps_with_slow(sometimes, rules.trial, 8), rules.trial / 2);
  EXPECT_EQ(sweeps_with_slow(sometimes, 4 * rules.first_hold, 8), 4 * rules.first_hold);
  team_pace often;
  EXPECT_LE(sweeps_with_slow(often, rules.trial, 2), 4);
  EXPECT_EQ(sweeps_with_slow(often, rules.first_hold - rules.trial, 2), 0);
}

// The first shared sweep of a trial finds the other thread asleep after
// the sweeps alone, and takes its wake-up: three times the time alone. It
// counts among the trial's sweeps but is not slow, nor weighs in the
// verdict, which the other shared sweeps (60 us against 100 alone, but the
// second as slow as the first) then give to sharing. The same slow sweep
// without a wake-up is the first of two slow ones in a row, which end
// sharing at once.
TEST(TeamPaceVerdicts, ASharedSweepThatWokeASleepingThreadIsNotTimed) {
  for (const bool woke : {true, false}) {
    SCOPED_TRACE(testing::Message() << "woke " << woke);
    team_pace pace;
    judge_sweeps(pace, rules.trial / 4, 50000, 100us, 0us);
    const choice first = pace.choose(50000);
    ASSERT_TRUE(first.shared);
    pace.judge(first, 300us, woke);
    const choice second = pace.choose(50000);
    ASSERT_TRUE(second.shared);
    pace.judge(second, 300us);
    if (woke) {
      EXPECT_EQ(judge_sweeps(pace, rules.trial / 2 - 2, 50000, 100us, 60us), rules.trial / 2 - 2);
      EXPECT_EQ(judge_sweeps(pace, rules.trial / 4, 50000, 100us, 60us), 0);
      EXPECT_EQ(judge_sweeps(pace, rules.first_hold, 50000, 100us, 60us), rules.first_hold);
    } else {
      EXPECT_EQ(judge_sweeps(pace, rules.first_hold, 50000, 100us, 60us), 0);
    }
  }
}

// A verdict to share is checked every 8 sweeps as it holds, against the
// trial's time alone (2 ns a unit): 93 us for 50,000 units (1.86 ns) still
// saves a sixteenth, 94 us (1.88 ns, above 1.875) no longer does, and the
// kind goes alone for the shortest hold.
TEST(TeamPaceVerdicts, AVerdictToShareIsCheckedAsItHolds) {
  team_pace pace;
  judge_sweeps(pace, rules.trial, 50000, 100us, 60us);
  EXPECT_EQ(judge_sweeps(pace, 4 * (rules.trial / 2), 50000, 100us, 93us), 4 * (rules.trial / 2));
  EXPECT_EQ(judge_sweeps(pace, rules.trial / 2 - 1, 50000, 100us, 93us), rules.trial / 2 - 1);
  EXPECT_EQ(judge_sweeps(pace, 1, 50000, 100us, 93us + (rules.trial / 2) * 1us), 1);
  EXPECT_EQ(judge_sweeps(pace, rules.first_hold, 50000, 100us, 60us), 0);
  EXPECT_EQ(judge_sweeps(pace, rules.trial, 50000, 100us, 60us), rules.trial / 2) << "then a trial";
}

TEST(TeamPaceVerdicts, EachKindHasItsOwn) {
  team_pace pace;
  // Sharing loses on small sweeps and wins on larger ones.
  judge_sweeps(pace, rules.trial, 30000, 20us, 40us);
  judge_sweeps(pace, rules.trial, 300000, 200us, 120us);
  EXPECT_FALSE(pace.choose(30000).shared);
  EXPECT_FALSE(pace.choose(17000).shared);
  EXPECT_TRUE(pace.choose(300000).shared);
  EXPECT_TRUE(pace.choose(270000).shared);
  // A kind not seen yet starts its own trial, alone.
  EXPECT_FALSE(pace.choose(3000000).shared);
  EXPECT_FALSE(pace.choose(60000).shared);
}

TEST(TeamPaceVerdicts, FixedByTheRulesAreNotMeasured) {
  pace_rules always;
  always.sharing = verdicts::always_shared;
  team_pace shared(always);
  EXPECT_EQ(judge_sweeps(shared, 3 * rules.trial, 50000, 1us, 1s), 3 * rules.trial);
  EXPECT_TRUE(shared.shares(choice{}));
  pace_rules never;
  never.sharing = verdicts::never_shared;
  team_pace alone(never);
  EXPECT_EQ(judge_sweeps(alone, 3 * rules.trial, 50000, 1s, 1us), 0);
  EXPECT_FALSE(alone.shares(choice{})) << "nor the sweeps that are not judged";
  // A sweep of less than the least work is neither shared nor judged,
  // whatever the rules fix.
  const choice small = shared.choose(always.least_work - 1);
  EXPECT_FALSE(small.shared);
  EXPECT_EQ(small.kind, -1);
  EXPECT_TRUE(shared.choose(always.least_work).shared);
  EXPECT_TRUE(team_pace{}.shares(choice{}));
}

// Holds the thread for `t`, awake.
void work_for(std::chrono::nanoseconds t) {
  for (const auto until = team_pace::clock::now() + t; team_pace::clock::now() < until;) {
  }
}

// Runs `sweeps` sweeps of 8 parts on a team, each sweep chosen as the team
// judges sweeps of `work` units; the parts that the calling thread takes
// take `own`, the others' `other`. Every part must run once in every sweep.
// Returns, for each sweep, how many parts the other threads took.
std::vector<int> sweeps_on(step_team& team, int sweeps, long work, std::chrono::nanoseconds own,
                           std::chrono::nanoseconds other) {
  constexpr int parts = 8;
  std::vector<int> others(static_cast<std::size_t>(sweeps), 0);
  for (int n = 0; n < sweeps; ++n) {
    std::vector<std::atomic<int>> runs(parts);
    std::atomic<int> taken{0};
    team.for_each_part(
        parts,
        [&](int k, int thread) {
          runs[static_cast<std::size_t>(k)].fetch_add(1);
          if (thread != 0) {
            taken.fetch_add(1);
            std::this_thread::sleep_for(other);
          } else {
            work_for(own);
          }
        },
        team.choose(work));
    for (int k = 0; k < parts; ++k) EXPECT_EQ(runs[static_cast<std::size_t>(k)].load(), 1) << n << " " << k;
    others[static_cast<std::size_t>(n)] = taken.load();
  }
  return others;
}

int sum(const std::vector<int>& v, int from, int to) {
  int s = 0;
  for (int n = from; n < to; ++n) s += v[static_cast<std::size_t>(n)];
  return s;
}

// A team of two whose second thread takes 20 ms over each part it takes,
// as if it lost its core in every one, where the calling thread's take
// 0.2 ms: after the second timed shared sweep that it slowed down (or a
// trial whose shared sweeps did not gain), the calling thread runs every
// part alone, and the other thread is never woken.
TEST(TeamPaceInATeam, AThreadAlwaysLateIsLeftOut) {
  pace_rules quick;
  quick.trial = 8;
  step_team team(2, quick);
  const std::vector<int> others = sweeps_on(team, quick.trial + 40, 100000, 200us, 20ms);
  EXPECT_EQ(sum(others, 0, quick.trial / 4), 0) << "the trial starts alone";
  EXPECT_EQ(sum(others, quick.trial, quick.trial + 40), 0);
  // It took one part in each of the two shared sweeps that ended the
  // trial, and one in the sweep before if that one had to wake it first
  // (not timed).
  EXPECT_GE(team.shared_sweeps(), 2);
  EXPECT_LE(team.shared_sweeps(), quick.trial / 2);
  EXPECT_LE(sum(others, 0, quick.trial), 3);
}

// Parts that wait (as on a slow device) rather than compute: two threads
// wait at once, and sharing halves a sweep however loaded the machine.
// The trial's shared half (its sweeps 2 to 5) is handed out; then, if a
// busy machine did not spoil the first trial, its verdict (sharing) holds
// for 16 sweeps, and otherwise that of the second.
TEST(TeamPaceInATeam, AThreadThatHelpsIsKept) {
  pace_rules quick;
  quick.trial = 8;
  quick.first_hold = 16;
  step_team team(2, quick);
  const auto waiting_sweep = [&] {
    team.for_each_part(
        8, [](int, int) { std::this_thread::sleep_for(2ms); }, team.choose(100000));
  };
  for (int n = 0; n < quick.trial; ++n) {
    EXPECT_EQ(team.choose(100000).shared, n >= 2 && n < 6) << "sweep " << n << " of the trial";
    waiting_sweep();
  }
  EXPECT_EQ(team.shared_sweeps(), quick.trial / 2);
  for (int n = 0; n < 2 * quick.first_hold + quick.trial; ++n) waiting_sweep();
  EXPECT_GE(team.shared_sweeps(), quick.trial / 2 + quick.first_hold);
}

TEST(TeamPaceInATeam, ATeamOfOneNeverShares) {
  step_team team(1);
  const team_pace::choice c = team.choose(1L << 30);
  EXPECT_FALSE(c.shared);
  int calls = 0;
  team.for_each_part(
      4, [&](int, int thread) { calls += thread == 0 ? 1 : 100; }, c);
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(team.shared_sweeps(), 0);
}

// A sweep's help: each thread with no part left calls it once at most (the
// calling thread always, in a sweep handed out), and the sweep returns only
// once every call has returned, however long one takes. A sweep alone
// calls it never.
TEST(TeamPaceInATeam, AThreadWithNoPartLeftHelpsOnceAndTheSweepWaitsForIt) {
  pace_rules shared;
  shared.sharing = pace_rules::verdicts::always_shared;
  step_team team(3, shared);
  for (int n = 0; n < 20; ++n) {
    std::atomic<int> parts_done{0}, entered{0}, returned{0};
    std::array<std::atomic<int>, 3> calls{};
    team.for_each_part(
        6,
        [&](int, int) {
          work_for(200us);
          parts_done.fetch_add(1);
        },
        team.choose(1L << 20),
        [&](int thread) {
          entered.fetch_add(1);
          calls[static_cast<std::size_t>(thread)].fetch_add(1);
          std::this_thread::sleep_for(n % 2 == 0 ? 3ms : 0ms);
          returned.fetch_add(1);
        });
    EXPECT_EQ(parts_done.load(), 6);
    EXPECT_EQ(returned.load(), entered.load()) << "sweep " << n << " returned before its help";
    EXPECT_EQ(calls[0].load(), 1) << "sweep " << n;
    for (const auto& c : calls) EXPECT_LE(c.load(), 1) << "sweep " << n;
  }
  pace_rules alone;
  alone.sharing = pace_rules::verdicts::never_shared;
  step_team lonely(2, alone);
  int helped = 0;
  lonely.for_each_part(4, [](int, int) {}, lonely.choose(1L << 20), [&](int) { ++helped; });
  EXPECT_EQ(helped, 0);
}

TEST(TeamHomeParts, CutTheSweepIntoOneRunPerThreadInOrder) {
  using range = step_team::parts_range;
  const auto home = [](int thread, int parts, int threads) {
    const range r = step_team::home_parts(thread, parts, threads);
    return std::pair{r.first, r.end};
  };
  EXPECT_EQ(home(0, 8, 1), std::pair(0, 8));
  EXPECT_EQ(home(0, 8, 2), std::pair(0, 4));
  EXPECT_EQ(home(1, 8, 2), std::pair(4, 8));
  EXPECT_EQ(home(0, 12, 3), std::pair(0, 4));
  EXPECT_EQ(home(1, 12, 3), std::pair(4, 8));
  EXPECT_EQ(home(2, 12, 3), std::pair(8, 12));
  // Uneven: the later threads get the extra parts; a thread may get none.
  EXPECT_EQ(home(0, 3, 2), std::pair(0, 1));
  EXPECT_EQ(home(1, 3, 2), std::pair(1, 3));
  EXPECT_EQ(home(0, 2, 3), std::pair(0, 0));
  EXPECT_EQ(home(1, 2, 3), std::pair(0, 1));
  EXPECT_EQ(home(2, 2, 3), std::pair(1, 2));
}

// Runs shared sweeps of `parts` parts and records which thread ran each
// part, in the order each thread ran them. The part `late` (if any) of
// each sweep holds its thread until every other part has run, or for
// `hold` at most; every other part holds its thread for `each`.
struct taken_parts {
  std::vector<int> runs;                // how many times each part ran
  std::vector<int> by;                  // the thread that ran each part
  std::vector<std::vector<int>> order;  // each thread's parts, in order
};
std::vector<taken_parts> share_sweeps(step_team& team, int sweeps, int parts, int late, std::chrono::nanoseconds hold,
                                      std::chrono::nanoseconds each) {
  std::vector<taken_parts> all;
  for (int n = 0; n < sweeps; ++n) {
    taken_parts t{std::vector<int>(static_cast<std::size_t>(parts), 0),
                  std::vector<int>(static_cast<std::size_t>(parts), -1),
                  std::vector<std::vector<int>>(static_cast<std::size_t>(team.size()))};
    std::mutex m;
    std::atomic<int> finished{0};
    team.for_each_part(
        parts,
        [&](int k, int thread) {
          {
            const std::lock_guard lock(m);
            ++t.runs[static_cast<std::size_t>(k)];
            t.by[static_cast<std::size_t>(k)] = thread;
            t.order[static_cast<std::size_t>(thread)].push_back(k);
          }
          if (k == late) {
            const auto until = std::chrono::steady_clock::now() + hold;
            while (finished.load() < parts - 1 && std::chrono::steady_clock::now() < until) {
              std::this_thread::sleep_for(50us);
            }
          } else {
            std::this_thread::sleep_for(each);
          }
          ++finished;
        },
        team_pace::choice{});
    all.push_back(std::move(t));
  }
  return all;
}

// The thread whose home part k is.
int home_of(int k, int parts, int threads) {
  for (int t = 0; t < threads; ++t) {
    const step_team::parts_range r = step_team::home_parts(t, parts, threads);
    if (k >= r.first && k < r.end) return t;
  }
  return -1;
}

// Every part of every sweep ran exactly once. Each thread's home parts that
// it ran itself come first in its run and in order, and the rest of the run
// went to the other threads, which took it from the far end: each thread
// starts with its own parts, then takes the others' backwards.
void expect_home_first(const taken_parts& t, int threads, int parts) {
  for (int k = 0; k < parts; ++k) ASSERT_EQ(t.runs[static_cast<std::size_t>(k)], 1) << "part " << k;
  for (int thread = 0; thread < threads; ++thread) {
    const step_team::parts_range home = step_team::home_parts(thread, parts, threads);
    int own = home.first;
    while (own < home.end && t.by[static_cast<std::size_t>(own)] == thread) ++own;
    for (int k = own; k < home.end; ++k) {
      EXPECT_NE(t.by[static_cast<std::size_t>(k)], thread) << "thread " << thread << " part " << k;
    }
    const std::vector<int>& mine = t.order[static_cast<std::size_t>(thread)];
    for (int n = 0; n < own - home.first; ++n) EXPECT_EQ(mine[static_cast<std::size_t>(n)], home.first + n);
    for (std::size_t n = static_cast<std::size_t>(own - home.first) + 1; n < mine.size(); ++n) {
      const int a = mine[n - 1], b = mine[n];
      if (home_of(a, parts, threads) == home_of(b, parts, threads)) {
        EXPECT_LT(b, a) << "thread " << thread << " takes another's parts from the far end";
      }
    }
  }
}

TEST(TeamHomeParts, EachPartRunsOnceHomeFirstThenStolenFromTheFarEnd) {
  for (const int threads : {1, 2, 3}) {
    for (const int parts : {2, 3, 8, 12}) {
      step_team team(threads, pace_rules{.sharing = verdicts::always_shared});
      for (const taken_parts& t : share_sweeps(team, 20, parts, -1, 0us, 50us)) {
        expect_home_first(t, threads, parts);
      }
    }
  }
}

// A thread held up in its first part (as if it lost its core) keeps only
// that part: the others take the rest of its run, from the far end. The
// part holds it until they have (a part left to it for 10 s fails).
TEST(TeamHomeParts, ALateThreadKeepsOnlyThePartItStarted) {
  for (const int threads : {2, 3}) {
    constexpr int parts = 12;
    step_team team(threads, pace_rules{.sharing = verdicts::always_shared});
    const int late = step_team::home_parts(1, parts, threads).first;
    for (const taken_parts& t : share_sweeps(team, 5, parts, late, 10s, 100us)) {
      expect_home_first(t, threads, parts);
      if (t.by[static_cast<std::size_t>(late)] != 1) continue;  // the caller stole it before the thread woke
      EXPECT_EQ(t.order[1].size(), 1u) << threads << " threads";
    }
  }
}

// Telling the team that a sweep may come (get_ready) hands out nothing: a
// worker woken by it finds no part, and the sweeps that follow, early or
// once the workers have gone back to sleep, still run every part once,
// home parts first. In a team of one, or before any sweep was handed out,
// it does nothing.
TEST(TeamHomeParts, AWakeUpBetweenSweepsTakesNoPart) {
  for (const int threads : {1, 2, 3}) {
    constexpr int parts = 8;
    step_team team(threads, pace_rules{.sharing = verdicts::always_shared});
    team.get_ready();
    for (int n = 0; n < 30; ++n) {
      for (const taken_parts& t : share_sweeps(team, 1, parts, -1, 0us, 20us)) expect_home_first(t, threads, parts);
      team.get_ready();
      team.get_ready();
      std::this_thread::sleep_for(n % 3 == 0 ? 1ms : n % 3 == 1 ? 20us : 0us);
    }
  }
}

}  // namespace
