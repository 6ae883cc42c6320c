// Rows of a run under MPI: each process's block travels to or from rank 0
// as one message per field, described in place by a subarray type (no
// copy); rank 0 holds one band of the grid's rows at a time, the rows of
// one row of blocks.
#include <mpi.h>

#include <algorithm>
#include <vector>

#include "decomposition/field_rows.hpp"
#include "decomposition/process_group.hpp"
#include "grid/domain.hpp"

namespace field_rows {
namespace {

constexpr int tag_base = 100;  // apart from the halo exchange's tags

// A subarray type: rows x columns of floats at (row0, column0) of an array
// of `height` rows of `width` floats.
struct subarray {
  MPI_Datatype type = MPI_DATATYPE_NULL;
  subarray(int height, int width, int rows, int columns, int row0, int column0) {
    const int sizes[2] = {height, width}, sub[2] = {rows, columns}, starts[2] = {row0, column0};
    MPI_Type_create_subarray(2, sizes, sub, starts, MPI_ORDER_C, MPI_FLOAT, &type);
    MPI_Type_commit(&type);
  }
  ~subarray() { MPI_Type_free(&type); }
  subarray(const subarray&) = delete;
  subarray& operator=(const subarray&) = delete;
};

// This process's block within its own stored extent.
subarray own_block(const blocks& b) {
  const grid_bounds& g = b.bounds;
  const patch_bounds& p = b.patch;
  return subarray(g.jme - g.jms + 1, g.ime - g.ims + 1, p.jpe - p.jps + 1, p.ipe - p.ips + 1, p.jps - g.jms,
                  p.ips - g.ims);
}

// Rank 0's band: the rows of one row of blocks, whole.
class band {
 public:
  explicit band(const blocks& b)
      : b_(b), nx_(b.bounds.ide - b.bounds.ids + 1), ny_(b.bounds.jde - b.bounds.jds + 1) {
    int tallest = 0;
    for (int by = 0; by < b.layout.py; ++by) tallest = std::max(tallest, rows_of(by));
    rows_.resize(static_cast<std::size_t>(tallest) * static_cast<std::size_t>(nx_));
  }
  int row_of_blocks(int j) const {
    int by = 0;
    while (block_start(ny_, b_.layout.py, by + 1) <= j) ++by;
    return by;
  }
  int first_row(int by) const { return block_start(ny_, b_.layout.py, by); }
  int rows_of(int by) const { return block_start(ny_, b_.layout.py, by + 1) - first_row(by); }
  float* row(int by, int j) { return rows_.data() + static_cast<std::size_t>(j - first_row(by)) * nx_; }

  // The part of the band that process r's block holds, as a type over the band.
  subarray part_of(int by, int r) const {
    const patch_bounds p = block_patch(b_.layout, r, nx_, ny_);
    return subarray(rows_of(by), nx_, p.jpe - p.jps + 1, p.ipe - p.ips + 1, 0, p.ips - b_.bounds.ids);
  }
  // Moves field f of the block row `by` between the band and the processes.
  void receive(int f, int by) {
    for (int bx = 0; bx < b_.layout.px; ++bx) {
      const int r = by * b_.layout.px + bx;
      if (r == 0) {
        copy_own(f, by, true);
        continue;
      }
      const subarray part = part_of(by, r);
      MPI_Recv(rows_.data(), 1, part.type, r, tag_base + f, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    }
  }
  void send(int f, int by) {
    for (int bx = 0; bx < b_.layout.px; ++bx) {
      const int r = by * b_.layout.px + bx;
      if (r == 0) {
        copy_own(f, by, false);
        continue;
      }
      const subarray part = part_of(by, r);
      MPI_Send(rows_.data(), 1, part.type, r, tag_base + f, MPI_COMM_WORLD);
    }
  }

 private:
  // Rank 0's own block, between its fields and the band.
  void copy_own(int f, int by, bool into_band) {
    const grid_bounds& g = b_.bounds;
    const patch_bounds& p = b_.patch;
    const auto n = static_cast<std::size_t>(p.ipe - p.ips + 1);
    for (int j = p.jps; j <= p.jpe; ++j) {
      float* mine = b_.fields[f] + at(p.ips, j, g.ims, g.ime, g.jms);
      float* there = row(by, j) + (p.ips - g.ids);
      if (into_band) {
        std::copy_n(mine, n, there);
      } else {
        std::copy_n(there, n, mine);
      }
    }
  }
  const blocks& b_;
  int nx_, ny_;
  std::vector<float> rows_;
};

}  // namespace

std::uint64_t buffer_bytes(const block_layout& layout, int rank, int nx, int ny) noexcept {
  if (rank != 0) return 0;
  // Rank 0's band: the tallest row of blocks, whole.
  int tallest = 0;
  for (int by = 0; by < layout.py; ++by) {
    tallest = std::max(tallest, block_start(ny, layout.py, by + 1) - block_start(ny, layout.py, by));
  }
  return static_cast<std::uint64_t>(tallest) * static_cast<std::uint64_t>(nx) * sizeof(float);
}

void gather(const blocks& b, const std::function<void(const source& rows)>& write) {
  if (processes::rank() != 0) {
    const subarray block = own_block(b);
    std::vector<MPI_Request> sent(static_cast<std::size_t>(b.count));
    for (int f = 0; f < b.count; ++f) {
      MPI_Isend(b.fields[f], 1, block.type, 0, tag_base + f, MPI_COMM_WORLD, &sent[static_cast<std::size_t>(f)]);
    }
    // Rank 0 takes every message, whether or not its write succeeds.
    try {
      processes::together([] {});
    } catch (...) {
      MPI_Waitall(b.count, sent.data(), MPI_STATUSES_IGNORE);
      throw;
    }
    MPI_Waitall(b.count, sent.data(), MPI_STATUSES_IGNORE);
    return;
  }
  band rows(b);
  const int py = b.layout.py;
  std::vector<char> received(static_cast<std::size_t>(b.count * py), 0);
  int loaded_f = -1, loaded_by = -1;
  const auto load = [&](int f, int by) {
    if (f == loaded_f && by == loaded_by) return;
    rows.receive(f, by);
    received[static_cast<std::size_t>(f * py + by)] = 1;
    loaded_f = f, loaded_by = by;
  };
  // The rest of the messages, taken and dropped, after a write that stopped
  // short.
  const auto drain = [&] {
    for (int f = 0; f < b.count; ++f)
      for (int by = 0; by < py; ++by)
        if (received[static_cast<std::size_t>(f * py + by)] == 0) load(f, by);
  };
  processes::together([&] {
    try {
      write([&](int f, int j, float* row) {
        const int by = rows.row_of_blocks(j);
        load(f, by);
        std::copy_n(rows.row(by, j), static_cast<std::size_t>(b.bounds.ide - b.bounds.ids + 1), row);
      });
    } catch (...) {
      drain();
      throw;
    }
    drain();
  });
}

void scatter(const blocks& b, const std::function<void(const sink& rows)>& read) {
  if (processes::rank() != 0) {
    const subarray block = own_block(b);
    std::vector<MPI_Request> coming(static_cast<std::size_t>(b.count));
    for (int f = 0; f < b.count; ++f) {
      MPI_Irecv(b.fields[f], 1, block.type, 0, tag_base + f, MPI_COMM_WORLD, &coming[static_cast<std::size_t>(f)]);
    }
    try {
      processes::together([] {});
    } catch (...) {
      // Rank 0 stopped reading: what it did not send never comes.
      for (MPI_Request& r : coming) {
        int done = 0;
        MPI_Test(&r, &done, MPI_STATUS_IGNORE);
        if (done == 0) {
          MPI_Cancel(&r);
          MPI_Wait(&r, MPI_STATUS_IGNORE);
        }
      }
      throw;
    }
    MPI_Waitall(b.count, coming.data(), MPI_STATUSES_IGNORE);
    return;
  }
  band rows(b);
  const int nx = b.bounds.ide - b.bounds.ids + 1;
  processes::together([&] {
    read([&](int f, int j, const float* row) {
      const int by = rows.row_of_blocks(j);
      std::copy_n(row, static_cast<std::size_t>(nx), rows.row(by, j));
      if (j == rows.first_row(by) + rows.rows_of(by) - 1) rows.send(f, by);
    });
  });
}

}  // namespace field_rows
