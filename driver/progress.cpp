#include "driver/progress.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string_view>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A terminal line is redrawn at most this often.
constexpr auto terminal_interval = std::chrono::milliseconds(250);
// The rate that gives the time left follows the recent passes: each new
// measurement weighs by its share of this many seconds (all of it beyond),
// so that a run whose passes grow dearer (a plume spreading) soon shows it.
constexpr double rate_memory_s = 5.0;
// Beyond this the time left is not worth a number.
constexpr double longest_shown_s = 1e7;

using seconds = std::chrono::duration<double>;

// Whether two descriptors lead to the same terminal.
bool same_terminal(int a, int b) {
  struct stat sa = {};
  struct stat sb = {};
  return isatty(a) == 1 && isatty(b) == 1 && fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_rdev == sb.st_rdev;
}

// The terminal's width in columns, 80 when it does not say.
std::size_t terminal_width(int fd) {
  winsize w{};
  return ioctl(fd, TIOCGWINSZ, &w) == 0 && w.ws_col > 0 ? w.ws_col : 80;
}

// The text between the given bytes (built by appending: GCC 12 warns
// wrongly of an overlap in "literal" + string).
std::string between(const char* before, std::string_view text, const char* after) {
  std::string bytes(before);
  bytes.append(text);
  bytes.append(after);
  return bytes;
}

}  // namespace

coarse_clock::time_point coarse_clock::now() noexcept {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
  return time_point(std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec));
}

std::string clock_text(double seconds_value) {
  if (!(seconds_value >= 0.0) || seconds_value > longest_shown_s) return "?";
  const long long s = std::llround(seconds_value);
  char text[32];
  if (s < 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  }
  return text;
}

std::string progress_text(const progress_state& s) {
  const long long done = static_cast<long long>(s.pass) + 1;
  const long long all = static_cast<long long>(s.last_pass) + 1;
  const long long permille = done * 1000 / all;
  // A pass is a second of model time.
  const long long t = s.pass;
  char rate[32];
  if (s.passes_per_s <= 0.0) {
    std::snprintf(rate, sizeof rate, "?");
  } else {
    std::snprintf(rate, sizeof rate, s.passes_per_s < 10.0 ? "%.1f" : "%.0f", s.passes_per_s);
  }
  char text[256];
  std::snprintf(text, sizeof text,
                "%lld.%lld%%  %s left  %s elapsed  %s passes/s  pass %d/%d  t=%lld:%02lld:%02lld  %llu snapshot%s",
                permille / 10, permille % 10, clock_text(s.left_s).c_str(), clock_text(s.elapsed_s).c_str(), rate,
                s.pass, s.last_pass, t / 3600, t / 60 % 60, t % 60, static_cast<unsigned long long>(s.snapshots),
                s.snapshots == 1 ? "" : "s");
  return text;
}

progress_meter::progress_meter(const progress_settings& settings, int first_pass, int last_pass, int console_fd,
                               clock::time_point start)
    : interval_(settings.when == progress_settings::mode::periodic
                    ? clock::duration(std::chrono::seconds(std::max(settings.every_s, 1)))
                    : clock::duration(terminal_interval)),
      fd_(settings.fd),
      first_pass_(first_pass),
      start_(start),
      last_line_(start),
      last_line_pass_(first_pass - 1) {
  state_.pass = first_pass - 1;
  state_.last_pass = last_pass;
  // A closed descriptor stays off: a file opened later could take its number.
  const bool open = fcntl(fd_, F_GETFD) != -1;
  switch (open ? settings.when : progress_settings::mode::off) {
    case progress_settings::mode::off: break;
    case progress_settings::mode::automatic:
      terminal_ = isatty(fd_) == 1;
      on_ = terminal_;
      break;
    case progress_settings::mode::periodic: on_ = true; break;
  }
  if (terminal_) {
    width_ = terminal_width(fd_);
    shares_terminal_ = console_fd >= 0 && same_terminal(fd_, console_fd);
  }
}

progress_meter::~progress_meter() {
  if (showing_) put("\n");
}

bool progress_meter::due(clock::time_point now) const noexcept { return now - last_line_ >= interval_; }

void progress_meter::measure(int n, std::uint64_t snapshots, clock::time_point now) {
  const double since_line = seconds(now - last_line_).count();
  const int passes = n - last_line_pass_;
  if (since_line > 0.0 && passes > 0) {
    const double recent = passes / since_line;
    const double weight = std::min(1.0, since_line / rate_memory_s);
    state_.passes_per_s = state_.passes_per_s > 0.0 ? state_.passes_per_s + weight * (recent - state_.passes_per_s)
                                                    : recent;
  }
  state_.pass = n;
  state_.snapshots = snapshots;
  state_.elapsed_s = seconds(now - start_).count();
  // Only the passes still to go count, whatever came before a restart.
  state_.left_s = state_.passes_per_s > 0.0 ? (state_.last_pass - n) / state_.passes_per_s : -1.0;
  last_line_ = now;
  last_line_pass_ = n;
}

void progress_meter::after_pass(int n, std::uint64_t snapshots, clock::time_point now) {
  if (!on_ || !due(now)) return;
  measure(n, snapshots, now);
  show();
}

void progress_meter::complete(std::uint64_t snapshots, clock::time_point now) {
  if (!on_) return;
  measure(state_.last_pass, snapshots, now);
  // The final line gives the average rate of the whole run.
  const double elapsed = state_.elapsed_s;
  if (elapsed > 0.0) state_.passes_per_s = (state_.last_pass - first_pass_ + 1) / elapsed;
  state_.left_s = 0.0;
  show();
  if (showing_) put("\n");
  showing_ = false;
  on_ = false;
}

void progress_meter::show() {
  line_ = progress_text(state_);
  if (terminal_) {
    draw();
  } else {
    put(between("plume: ", line_, "\n"));
  }
}

void progress_meter::erase() {
  put("\r\x1b[K");
  showing_ = false;
}

void progress_meter::draw() {
  // One row of the terminal: a longer line would wrap, and the carriage
  // return would then go back to its last row only.
  const std::size_t room = width_ > 1 ? width_ - 1 : 1;
  put(between("\r", std::string_view(line_).substr(0, room), "\x1b[K"));
  showing_ = on_;
}

void progress_meter::put(const std::string& bytes) {
  std::size_t done = 0;
  while (on_ && done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      // Nobody sees the line (a closed or full descriptor): the run goes on
      // without it.
      on_ = false;
      showing_ = false;
    }
  }
}
