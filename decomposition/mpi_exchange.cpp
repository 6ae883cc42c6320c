// The halo exchange between the processes of a run: non-blocking MPI
// messages with the block's neighbours, packed and unpacked by block_halo.
#include <mpi.h>

#include <chrono>
#include <vector>

#include "decomposition/block_halo.hpp"
#include "decomposition/halo_exchange.hpp"
#include "decomposition/process_group.hpp"
#include "grid/state.hpp"

namespace {

// Message tags: the direction in which a message travels, so that the two
// messages between the same two processes (py = 2, or px = 2) never mix.
enum tag : int { eastward = 1, westward, northward, southward };

class mpi_exchange final : public halo_exchange {
 public:
  mpi_exchange(const grid_bounds& b, const patch_bounds& p, const block_layout& l, int species)
      : halo_(b, p, l, processes::rank()) {
    hold(boundary_fields(species));
  }

  void boundary(float* const* fields, int count, float u_in, float v_in,
                const boundary::row_rules* row_rules) override {
    hold(count);
    halo_.edge_columns(fields, count, u_in, v_in, row_rules);
    columns(fields, count);
    rows(fields, count, true);
  }

  void share(float* u, float* v) override {
    float* const fields[2] = {u, v};
    columns(fields, 2);
    rows(fields, 2, false);
  }

  exchange_totals totals() const noexcept override { return totals_; }

 private:
  // One round of messages: the receives are posted first, then the sends,
  // then all complete.
  struct round {
    std::vector<MPI_Request> requests;
    void receive(std::vector<float>& into, std::size_t n, int from, int t) {
      requests.emplace_back();
      MPI_Irecv(into.data(), static_cast<int>(n), MPI_FLOAT, from, t, MPI_COMM_WORLD, &requests.back());
    }
    void send(std::vector<float>& from, std::size_t n, int to, int t, exchange_totals& totals) {
      requests.emplace_back();
      MPI_Isend(from.data(), static_cast<int>(n), MPI_FLOAT, to, t, MPI_COMM_WORLD, &requests.back());
      totals.bytes_sent += n * sizeof(float);
      ++totals.messages_sent;
    }
    void complete(exchange_totals& totals) {
      const auto start = std::chrono::steady_clock::now();
      MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
      totals.seconds_waiting += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
  };

  void columns(float* const* f, int count) {
    const std::size_t n = halo_.column_floats(count);
    round r;
    if (halo_.west() >= 0) r.receive(from_west_, n, halo_.west(), eastward);
    if (halo_.east() >= 0) r.receive(from_east_, n, halo_.east(), westward);
    if (halo_.west() >= 0) {
      halo_.pack_west(f, count, to_west_.data());
      r.send(to_west_, n, halo_.west(), westward, totals_);
    }
    if (halo_.east() >= 0) {
      halo_.pack_east(f, count, to_east_.data());
      r.send(to_east_, n, halo_.east(), eastward, totals_);
    }
    r.complete(totals_);
    if (halo_.west() >= 0) halo_.unpack_west(f, count, from_west_.data());
    if (halo_.east() >= 0) halo_.unpack_east(f, count, from_east_.data());
  }

  // Whole rows with the neighbours to the south and north; across the
  // grid's periodic edge only with `periodic`.
  void rows(float* const* f, int count, bool periodic) {
    const bool south = periodic || !halo_.at_south_edge();
    const bool north = periodic || !halo_.at_north_edge();
    const std::size_t ns = halo_.south_floats(count, periodic), nn = halo_.north_floats(count, periodic);
    round r;
    if (south) r.receive(from_south_, ns, halo_.south(), northward);
    if (north) r.receive(from_north_, nn, halo_.north(), southward);
    if (south) {
      halo_.pack_south(f, count, periodic, to_south_.data());
      r.send(to_south_, ns, halo_.south(), southward, totals_);
    }
    if (north) {
      halo_.pack_north(f, count, periodic, to_north_.data());
      r.send(to_north_, nn, halo_.north(), northward, totals_);
    }
    r.complete(totals_);
    if (south) halo_.unpack_south(f, count, periodic, from_south_.data());
    if (north) halo_.unpack_north(f, count, periodic, from_north_.data());
  }

  // Makes the message buffers large enough for `count` fields (made for
  // the run's species at the start; a caller with more fields gets them
  // at its first exchange).
  void hold(int count) {
    const std::size_t columns = halo_.column_floats(count);
    const std::size_t south = halo_.south_floats(count, true), north = halo_.north_floats(count, true);
    if (to_west_.size() >= columns && to_south_.size() >= south && to_north_.size() >= north) return;
    for (auto* buffer : {&to_west_, &to_east_, &from_west_, &from_east_}) buffer->resize(columns);
    to_south_.resize(south), from_south_.resize(south);
    to_north_.resize(north), from_north_.resize(north);
  }

  block_halo halo_;
  std::vector<float> to_west_, to_east_, from_west_, from_east_, to_south_, from_south_, to_north_, from_north_;
  exchange_totals totals_;
};

}  // namespace

std::unique_ptr<halo_exchange> make_halo_exchange(const grid_bounds& b, const patch_bounds& p, const block_layout& l,
                                                  int species) {
  if (l.blocks() == 1) return std::make_unique<whole_grid_exchange>(b);
  return std::make_unique<mpi_exchange>(b, p, l, species);
}
