#pragma once
// The run's progress on standard error, for the person waiting on it: how
// far the run is (percentage, pass, model time, snapshots written), how fast
// it goes (passes per second) and how long it has taken and will take.
//
// On a terminal it is one line, redrawn in place a few times a second and
// ended when the run ends. Elsewhere (a batch job's log) nothing is printed,
// unless a plain line every so many seconds is asked for. Standard output,
// the run's log, is never touched: the meter only ever writes to its own
// descriptor. A failure to write there stops the meter, never the run.
//
// The meter reads the clock once per pass, and only when it is on; it runs
// no thread of its own. A descriptor closed when the meter is made keeps it
// off, so that a file opened later under that number never receives a line.
#include <chrono>
#include <cstdint>
#include <string>

// The system's coarse monotonic clock: a few milliseconds of resolution,
// plenty for a line redrawn every 250 ms. It is read from memory that the
// kernel keeps up to date, never by a system call, which the precise clock
// needs on some virtual machines (hundreds of nanoseconds a read, where the
// coarse clock takes tens).
struct coarse_clock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<coarse_clock>;
  static constexpr bool is_steady = true;
  static time_point now() noexcept;
};

// How the run reports its progress.
struct progress_settings {
  enum class mode {
    off,        // nothing
    automatic,  // a line kept up to date when the descriptor is a terminal, else nothing
    periodic,   // a plain line every `every_s` seconds of wall time, terminal or not
  };
  mode when = mode::off;
  int every_s = 0;  // periodic: seconds between lines (at least 1)
  int fd = 2;       // where the meter writes: standard error
};

// What one progress line says.
struct progress_state {
  int pass = 0;                 // the last pass finished
  int last_pass = 0;            // the run's last pass (its duration in seconds)
  std::uint64_t snapshots = 0;  // snapshots in the file, those before a restart included
  double passes_per_s = 0;      // 0 when not measured yet
  double elapsed_s = 0;         // since this process started the loop
  double left_s = -1;           // the passes still to go at the rate; < 0 when unknown
};

// The line's text, without a line end, what matters most first (a narrow
// terminal shows the start), for example
// "78.1%  0:04 left  0:14 elapsed  3120 passes/s  pass 45000/57600  t=12:30:00  26 snapshots".
// The percentage counts the passes 0..last_pass and is rounded down, so that
// 100.0% means the last pass is done.
std::string progress_text(const progress_state& s);

// Seconds as m:ss, or h:mm:ss from an hour on; "?" when negative or beyond
// reason (a rate near zero).
std::string clock_text(double seconds);

class progress_meter {
 public:
  using clock = coarse_clock;

  // A meter for the passes first_pass..last_pass of a run whose snapshot
  // file holds `snapshots` snapshots before them (a run gone on from a
  // checkpoint starts after pass 0). `console_fd` is the run's log: when it
  // is the same terminal, the line is moved out of the way of each log line.
  progress_meter(const progress_settings& settings, int first_pass, int last_pass, int console_fd,
                 clock::time_point start = clock::now());
  progress_meter(const progress_meter&) = delete;
  progress_meter& operator=(const progress_meter&) = delete;
  // Ends a terminal line, so that what follows (an error, the shell's
  // prompt) starts on a line of its own.
  ~progress_meter();

  // Whether the meter prints anything at all.
  bool on() const noexcept { return on_; }

  // After pass n, with the snapshot file holding `snapshots` snapshots.
  void after_pass(int n, std::uint64_t snapshots) {
    if (on_) after_pass(n, snapshots, clock::now());
  }
  // The same at a given time (the tests give the time).
  void after_pass(int n, std::uint64_t snapshots, clock::time_point now);
  // The run is complete, its snapshot file holding `snapshots` snapshots:
  // the final line, at the given time.
  void complete(std::uint64_t snapshots, clock::time_point now = clock::now());

  // Runs `write_log`, which writes a line of the run's log; with the log on
  // the meter's terminal, the progress line is taken away first and drawn
  // again after it, below the log.
  template <class Write>
  void above(Write write_log) {
    if (!shares_terminal_ || !showing_) {
      write_log();
      return;
    }
    erase();
    write_log();
    draw();
  }

 private:
  bool due(clock::time_point now) const noexcept;
  void measure(int n, std::uint64_t snapshots, clock::time_point now);
  // Draws the line of the state measured, or writes it as a plain line.
  void show();
  void erase();
  void draw();
  void put(const std::string& bytes);

  clock::duration interval_;
  bool on_ = false;
  bool terminal_ = false;
  bool shares_terminal_ = false;
  bool showing_ = false;  // a terminal line is on the screen, not yet ended
  std::size_t width_ = 80;
  int fd_;
  int first_pass_;
  progress_state state_{};
  clock::time_point start_;
  clock::time_point last_line_;
  int last_line_pass_ = 0;
  std::string line_;  // the last line drawn, for drawing it again
};
