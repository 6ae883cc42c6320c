// The progress line: its text, when it is written, the rate and time left
// it measures (from given times), on a terminal (a pseudo-terminal) and
// elsewhere, and a descriptor that refuses it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <limits>
#include <string>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "driver/progress.hpp"

namespace {

using clock_type = progress_meter::clock;
using std::chrono::milliseconds;
using std::chrono::seconds;
using mode = progress_settings::mode;

// Everything written so far to the descriptor's other end (non-blocking).
std::string drain(int fd) {
  std::string got;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

// A pipe whose read end does not block.
struct pipe_ends {
  int read_end = -1, write_end = -1;
  pipe_ends() {
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    read_end = fds[0];
    write_end = fds[1];
    fcntl(read_end, F_SETFL, O_NONBLOCK);
  }
  ~pipe_ends() {
    if (read_end >= 0) close(read_end);
    if (write_end >= 0) close(write_end);
  }
};

// A pseudo-terminal in raw mode (no translation of line ends), 60 columns
// wide; the meter writes to its terminal side, the test reads the other.
struct pseudo_terminal {
  int master = -1, terminal = -1;
  pseudo_terminal() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) std::abort();
    terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (terminal < 0) std::abort();
    termios mode{};
    tcgetattr(terminal, &mode);
    cfmakeraw(&mode);
    tcsetattr(terminal, TCSANOW, &mode);
    winsize size{};
    size.ws_col = 60;
    size.ws_row = 24;
    ioctl(terminal, TIOCSWINSZ, &size);
    fcntl(master, F_SETFL, O_NONBLOCK);
  }
  ~pseudo_terminal() {
    close(terminal);
    close(master);
  }
};

TEST(ProgressText, NamesEveryQuantityWithTheShareDoneRoundedDown) {
  progress_state s;
  s.pass = 45000;
  s.last_pass = 57600;
  s.snapshots = 26;
  s.passes_per_s = 3120.4;
  s.elapsed_s = 14.2;
  s.left_s = 4.04;
  // 45001 of 57601 passes: 78.12%.
  EXPECT_EQ(progress_text(s),
            "78.1%  0:04 left  0:14 elapsed  3120 passes/s  pass 45000/57600  t=12:30:00  26 snapshots");
  // The last pass but one is not yet 100%; the first is a share of all.
  s.pass = 57599;
  EXPECT_EQ(progress_text(s).substr(0, 6), "99.9% ");
  s.pass = 57600;
  EXPECT_EQ(progress_text(s).substr(0, 7), "100.0% ");
  s.pass = 0;
  s.last_pass = 9;
  s.snapshots = 1;
  s.passes_per_s = 2.54;
  s.left_s = -1.0;
  EXPECT_EQ(progress_text(s), "10.0%  ? left  0:14 elapsed  2.5 passes/s  pass 0/9  t=0:00:00  1 snapshot");
  s.passes_per_s = 0.0;
  EXPECT_NE(progress_text(s).find("  ? passes/s  "), std::string::npos);
  // The longest run: 2^24 passes.
  s.pass = s.last_pass = 16777216;
  EXPECT_NE(progress_text(s).find("pass 16777216/16777216  t=4660:20:16  "), std::string::npos);
}

TEST(ProgressText, ClockTextInMinutesThenHoursAndNothingForTheUnknown) {
  EXPECT_EQ(clock_text(0.0), "0:00");
  EXPECT_EQ(clock_text(59.4), "0:59");
  EXPECT_EQ(clock_text(59.6), "1:00");
  EXPECT_EQ(clock_text(3599.0), "59:59");
  EXPECT_EQ(clock_text(3600.0), "1:00:00");
  EXPECT_EQ(clock_text(36610.0), "10:10:10");
  EXPECT_EQ(clock_text(-1.0), "?");
  EXPECT_EQ(clock_text(std::numeric_limits<double>::quiet_NaN()), "?");
  EXPECT_EQ(clock_text(std::numeric_limits<double>::infinity()), "?");
  EXPECT_EQ(clock_text(1e8), "?");
}

TEST(ProgressMeter, PlainLinesOnlyWhenDueWithTheRecentRateAndOnlyThePassesStillToGo) {
  pipe_ends p;
  const clock_type::time_point t0{};
  // A run gone on from a checkpoint after pass 999: passes 1000..2999.
  progress_meter meter({.when = mode::periodic, .every_s = 2, .fd = p.write_end}, 1000, 2999, -1, t0);
  ASSERT_TRUE(meter.on());
  meter.after_pass(1000, 5, t0 + milliseconds(10));
  meter.after_pass(1198, 5, t0 + milliseconds(1999));
  EXPECT_EQ(drain(p.read_end), "");
  // 200 passes in 2 s: 100 passes/s, 1800 passes left, 18 s.
  meter.after_pass(1199, 6, t0 + seconds(2));
  EXPECT_EQ(drain(p.read_end),
            "plume: 40.0%  0:18 left  0:02 elapsed  100 passes/s  pass 1199/2999  t=0:19:59  6 snapshots\n");
  // 40 passes in the next 4 s, 10 passes/s: the rate moves 4/5 of the way
  // there, 100 + 0.8 (10 - 100) = 28; 1760 passes left, 62.9 s.
  meter.after_pass(1239, 6, t0 + seconds(6));
  EXPECT_EQ(drain(p.read_end),
            "plume: 41.3%  1:03 left  0:06 elapsed  28 passes/s  pass 1239/2999  t=0:20:39  6 snapshots\n");
  // The end: the average rate of the passes this process ran, 2000 in 20 s.
  meter.complete(7, t0 + seconds(20));
  EXPECT_EQ(drain(p.read_end),
            "plume: 100.0%  0:00 left  0:20 elapsed  100 passes/s  pass 2999/2999  t=0:49:59  7 snapshots\n");
  EXPECT_FALSE(meter.on());
  meter.after_pass(2999, 6, t0 + seconds(40));
  EXPECT_EQ(drain(p.read_end), "");
}

TEST(ProgressMeter, NothingUnlessAskedOrOnATerminal) {
  for (const mode m : {mode::off, mode::automatic}) {
    pipe_ends p;
    const clock_type::time_point t0{};
    {
      progress_meter meter({.when = m, .every_s = 0, .fd = p.write_end}, 0, 100, -1, t0);
      EXPECT_FALSE(meter.on());
      meter.after_pass(50, 0, t0 + seconds(10));
      meter.above([] {});
      meter.complete(0, t0 + seconds(20));
    }
    EXPECT_EQ(drain(p.read_end), "") << static_cast<int>(m);
  }
}

TEST(ProgressMeter, ADescriptorThatRefusesTheLineStopsTheMeterNotTheRun) {
  const clock_type::time_point t0{};
  // A closed descriptor: off from the start, so that no file opened later
  // under its number receives a line.
  {
    pipe_ends p;
    const int fd = p.write_end;
    close(p.write_end);
    p.write_end = -1;
    progress_meter meter({.when = mode::periodic, .every_s = 1, .fd = fd}, 0, 100, -1, t0);
    EXPECT_FALSE(meter.on());
  }
  // A reader that went away: the write fails (EPIPE, SIGPIPE ignored as the
  // program does) and the meter says no more.
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  {
    pipe_ends p;
    close(p.read_end);
    p.read_end = -1;
    progress_meter meter({.when = mode::periodic, .every_s = 1, .fd = p.write_end}, 0, 100, -1, t0);
    ASSERT_TRUE(meter.on());
    meter.after_pass(10, 0, t0 + seconds(1));
    EXPECT_FALSE(meter.on());
    meter.complete(0, t0 + seconds(2));
  }
  std::signal(SIGPIPE, previous);
  // A full device.
  const int full = open("/dev/full", O_WRONLY);
  if (full >= 0) {
    progress_meter meter({.when = mode::periodic, .every_s = 1, .fd = full}, 0, 100, -1, t0);
    meter.after_pass(10, 0, t0 + seconds(1));
    EXPECT_FALSE(meter.on());
    close(full);
  }
}

TEST(ProgressMeter, OnATerminalOneLineRedrawnInPlaceAtMostFourTimesASecondAndCutToItsWidth) {
  pseudo_terminal tty;
  const clock_type::time_point t0{};
  {
    progress_meter meter({.when = mode::automatic, .every_s = 0, .fd = tty.terminal}, 0, 999, -1, t0);
    ASSERT_TRUE(meter.on());
    meter.after_pass(10, 1, t0 + milliseconds(100));
    EXPECT_EQ(drain(tty.master), "");
    meter.after_pass(99, 1, t0 + milliseconds(250));
    // The 60-column terminal takes 59 characters of the line.
    const std::string first =
        std::string("10.0%  0:02 left  0:00 elapsed  400 passes/s  pass 99/999  t=0:01:39  1 snapshot").substr(0, 59);
    EXPECT_EQ(drain(tty.master), "\r" + first + "\x1b[K");
    meter.after_pass(100, 1, t0 + milliseconds(300));
    EXPECT_EQ(drain(tty.master), "");
    meter.complete(1, t0 + seconds(2));
    const std::string last =
        std::string("100.0%  0:00 left  0:02 elapsed  500 passes/s  pass 999/999  t=0:16:39  1 snapshot").substr(0, 59);
    EXPECT_EQ(drain(tty.master), "\r" + last + "\x1b[K\n");
  }
  // Complete, the line is ended once.
  EXPECT_EQ(drain(tty.master), "");
}

TEST(ProgressMeter, OnTheLogsTerminalTheLineStepsAsideForEachLogLineAndEndsWhenTheRunStops) {
  pseudo_terminal tty;
  const clock_type::time_point t0{};
  {
    progress_meter meter({.when = mode::automatic, .every_s = 0, .fd = tty.terminal}, 0, 99, tty.terminal, t0);
    meter.above([&] { ASSERT_EQ(write(tty.terminal, "log 0\n", 6), 6); });
    EXPECT_EQ(drain(tty.master), "log 0\n");
    meter.after_pass(9, 0, t0 + seconds(1));
    const std::string drawn = drain(tty.master);
    ASSERT_EQ(drawn.substr(0, 7), "\r10.0% ");
    meter.above([&] { ASSERT_EQ(write(tty.terminal, "log 10\n", 7), 7); });
    EXPECT_EQ(drain(tty.master), "\r\x1b[Klog 10\n" + drawn);
    // The run stops (a signal, a failure) with the line on the screen.
  }
  EXPECT_EQ(drain(tty.master), "\n");
}

}  // namespace
