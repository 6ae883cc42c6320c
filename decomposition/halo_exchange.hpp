#pragma once
// How a block of the grid gets the values of its stored points that it does
// not compute: the boundary values that set_bdy gives the whole grid, and,
// where other blocks hold the grid's points (a run over several processes),
// the values of its halo from the blocks that own them.
//
// One implementation serves a process that holds the whole grid; a build
// with MPI adds the one that exchanges halos between the processes of a run
// (mpi_exchange.hpp). Every process of a run calls the same methods in the
// same order.
#include <cstdint>
#include <memory>

#include "decomposition/layout.hpp"
#include "grid/bounds.hpp"
#include "kernels/boundary_rules.hpp"

// What an exchange has sent so far, and how long its process waited for
// its neighbours' messages.
struct exchange_totals {
  std::uint64_t bytes_sent = 0;
  std::uint64_t messages_sent = 0;
  double seconds_waiting = 0.0;
};

class halo_exchange {
 public:
  virtual ~halo_exchange() = default;

  // Sets every stored point of the block's fields (u, v, h, then each
  // species' q: count in all, grid/state.hpp) that set_bdy sets on the whole
  // grid to the value set_bdy gives it, and every other point of the
  // block's halo to the value of the grid's point there. The block's own
  // points keep their values unless set_bdy sets them. With row_rules, the
  // west and east boundary columns of each own row get only the rules that
  // row_rules names for it, as in set_bdy_fields (the halo rows get their
  // values in any case).
  virtual void boundary(float* const* fields, int count, float u_in, float v_in,
                        const boundary::row_rules* row_rules = nullptr) = 0;

  // Whether boundary() reads the rows of u, v and h that it copies or sends
  // from where row_rules' flow_source says they are stored. Where it does
  // not, it reads each row's own storage, which must hold the row's values.
  virtual bool reads_flow_sources() const noexcept { return false; }

  // Whether boundary_part may give some of the fields their values apart
  // from the others, and side by side on several threads: where no
  // messages go between processes.
  virtual bool parts_apart() const noexcept { return false; }
  // boundary() for the fields [first, count) of the list alone (u, v and h
  // with first 0 and count flow_fields, or pollutants), each as in the
  // whole list. Only where parts_apart().
  virtual void boundary_part(float* const* fields, int first, int count, float u_in, float v_in,
                             const boundary::row_rules* row_rules);

  // Sets the halo points of u and v that lie in the grid's interior to the
  // values of the blocks that own them (no boundary values): what the
  // diagnostics read around the block.
  virtual void share(float* u, float* v) = 0;

  virtual exchange_totals totals() const noexcept { return {}; }
};

// The exchange of a process that holds the whole grid: set_bdy itself, and
// no halo to share.
class whole_grid_exchange final : public halo_exchange {
 public:
  explicit whole_grid_exchange(const grid_bounds& b) noexcept : b_(b) {}
  void boundary(float* const* fields, int count, float u_in, float v_in,
                const boundary::row_rules* row_rules = nullptr) override;
  bool reads_flow_sources() const noexcept override { return true; }
  bool parts_apart() const noexcept override { return true; }
  void boundary_part(float* const* fields, int first, int count, float u_in, float v_in,
                     const boundary::row_rules* row_rules) override;
  void share(float*, float*) override {}

 private:
  grid_bounds b_;
};

// The exchange of this process's block of a run laid out as l over
// processes::count() processes (the whole grid's when it is one), its
// messages made for the boundary fields of `species` species.
std::unique_ptr<halo_exchange> make_halo_exchange(const grid_bounds& b, const patch_bounds& p, const block_layout& l,
                                                  int species = 1);
