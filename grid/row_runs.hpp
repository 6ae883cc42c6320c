#pragma once
// Runs of consecutive rows: how a caller names the few rows of a tall grid
// where something happens, so that a pass over them costs the runs and
// their rows, not the grid's height.
#include <algorithm>
#include <span>
#include <vector>

// The rows first..last.
struct row_run {
  int first;
  int last;
  bool operator==(const row_run&) const = default;
};

// Runs in increasing order, none overlapping or touching another.
class row_runs {
 public:
  row_runs() = default;
  row_runs(int first, int last) { add(first, last); }

  // Adds rows first..last (nothing when first > last), merged with the
  // runs that they overlap or touch.
  void add(int first, int last) {
    if (first > last) return;
    // Rows at or after the start of the last run, as a stage adds them in
    // increasing order: the last run grows, or a new one follows it.
    if (runs_.empty() || runs_.back().last < first - 1) {
      runs_.push_back({first, last});
      return;
    }
    if (runs_.back().first <= first) {
      runs_.back().last = std::max(runs_.back().last, last);
      return;
    }
    auto lo = std::partition_point(runs_.begin(), runs_.end(), [&](const row_run& r) { return r.last < first - 1; });
    auto hi = lo;
    for (; hi != runs_.end() && hi->first <= last + 1; ++hi) {
      first = std::min(first, hi->first);
      last = std::max(last, hi->last);
    }
    runs_.insert(runs_.erase(lo, hi), {first, last});
  }
  void add(int row) { add(row, row); }
  void clear() noexcept { runs_.clear(); }

  std::span<const row_run> runs() const noexcept { return runs_; }
  std::size_t rows() const noexcept {
    std::size_t n = 0;
    for (const row_run& r : runs_) n += static_cast<std::size_t>(r.last - r.first + 1);
    return n;
  }

  // Calls f(j) for each row of the runs within from..to, in increasing order.
  template <class F>
  void for_each_row(int from, int to, F f) const {
    for (const row_run& r : runs_) {
      for (int j = std::max(r.first, from); j <= std::min(r.last, to); ++j) f(j);
    }
  }

  // Adds the runs of `other` widened by `by` rows each way and kept within
  // from..to.
  void add_widened(const row_runs& other, int by, int from, int to) {
    for (const row_run& r : other.runs_) add(std::max(r.first - by, from), std::min(r.last + by, to));
  }

 private:
  std::vector<row_run> runs_;
};
