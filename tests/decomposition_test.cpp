// The split of the grid into blocks, and what the blocks send each other:
// carried between blocks in one process here, the messages of every layout
// must leave each block holding exactly what set_bdy gives the whole grid at
// its stored points, and the shared halo exactly the grid's interior values.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "decomposition/block_halo.hpp"
#include "decomposition/layout.hpp"
#include "grid/domain.hpp"
#include "kernels/kernels.hpp"

namespace {

TEST(Layout, ParsesOnlyTwoPositiveWholeNumbers) {
  EXPECT_EQ(parse_layout("2x3"), (block_layout{2, 3}));
  EXPECT_EQ(parse_layout("1x1"), (block_layout{1, 1}));
  EXPECT_EQ(parse_layout("16x64"), (block_layout{16, 64}));
  for (const char* bad : {"", "x", "2x", "x3", "0x2", "2x0", "-1x2", "2x3x4", " 2x3", "2X3", "2*3", "2x3 ", "ax3"})
    EXPECT_FALSE(parse_layout(bad)) << bad;
}

TEST(Layout, BlocksCoverTheInteriorOnceAndDifferByAtMostOnePoint) {
  for (int nx : {4, 7, 61, 401}) {
    for (int parts = 1; parts <= nx / min_block_points && parts <= 9; ++parts) {
      int smallest = nx, largest = 0;
      EXPECT_EQ(block_start(nx, parts, 0), 1);
      EXPECT_EQ(block_start(nx, parts, parts), nx + 1);
      for (int k = 0; k < parts; ++k) {
        const int n = block_start(nx, parts, k + 1) - block_start(nx, parts, k);
        smallest = std::min(smallest, n), largest = std::max(largest, n);
      }
      EXPECT_LE(largest - smallest, 1) << nx << " points in " << parts;
    }
  }
  // Rank r holds block (r mod px, r / px).
  const block_layout l{3, 2};
  EXPECT_EQ(block_patch(l, 0, 10, 8), (patch_bounds{1, 3, 1, 4}));
  EXPECT_EQ(block_patch(l, 2, 10, 8), (patch_bounds{7, 10, 1, 4}));
  EXPECT_EQ(block_patch(l, 4, 10, 8), (patch_bounds{4, 6, 5, 8}));
}

TEST(Layout, RefusesBlocksSmallerThanThreePointsEachWay) {
  EXPECT_EQ(layout_problem({2, 2}, 6, 6), "");
  EXPECT_EQ(layout_problem({3, 1}, 8, 6),
            "a 8 x 6 grid split 3x1 has blocks of 2 x 6 points; each block needs at least 3 x 3");
  EXPECT_NE(layout_problem({1, 2}, 6, 5), "");
}

TEST(Layout, ChoosesTheSplitThatExchangesTheFewestPoints) {
  EXPECT_EQ(choose_layout(1, 401, 401), (block_layout{1, 1}));
  EXPECT_EQ(choose_layout(2, 401, 401), (block_layout{1, 2}));  // a tie with 2x1: rows
  EXPECT_EQ(choose_layout(4, 401, 401), (block_layout{1, 4}));
  EXPECT_EQ(choose_layout(64, 401, 401), (block_layout{8, 8}));
  EXPECT_EQ(choose_layout(4, 400, 20), (block_layout{4, 1}));  // a narrow strip splits along it
  EXPECT_EQ(choose_layout(3, 10, 5), (block_layout{3, 1}));    // 5 rows cannot make 3 blocks
  EXPECT_FALSE(choose_layout(7, 10, 10));
}

// The boundary fields of three species: u, v, h and three q.
constexpr int species_carried = 3;
constexpr int fields_carried = boundary_fields(species_carried);

// A grid of nx x ny points whole, and as blocks, carried by value.
struct split_grid {
  int nx, ny;
  block_layout layout;
  grid_bounds whole;
  std::vector<float> fields[fields_carried];  // u, v, h, then each q, of the whole grid

  struct block {
    grid_bounds b;
    patch_bounds p;
    std::vector<float> fields[fields_carried];
    float* pointers[fields_carried];
  };
  std::vector<block> blocks;

  split_grid(int nx_, int ny_, block_layout l, std::uint32_t seed) : nx(nx_), ny(ny_), layout(l) {
    whole = {1, nx, 1, ny, -1, nx + 2, -1, ny + 2};
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(-100.0f, 100.0f);
    for (auto& f : fields) {
      f.resize(field_size(whole.ims, whole.ime, whole.jms, whole.jme));
      for (float& x : f) x = value(random);
    }
    for (int r = 0; r < l.blocks(); ++r) {
      block k;
      k.p = block_patch(l, r, nx, ny);
      k.b = {1, nx, 1, ny, k.p.ips - 2, k.p.ipe + 2, k.p.jps - 2, k.p.jpe + 2};
      for (int f = 0; f < fields_carried; ++f) {
        k.fields[f].assign(field_size(k.b.ims, k.b.ime, k.b.jms, k.b.jme), -12345.0f);
        // The block holds its own points; its halo holds garbage.
        for (int j = k.p.jps; j <= k.p.jpe; ++j)
          for (int i = k.p.ips; i <= k.p.ipe; ++i) k.fields[f][at_in(k.b, i, j)] = fields[f][at_in(whole, i, j)];
      }
      blocks.push_back(std::move(k));
    }
    for (auto& k : blocks)
      for (int f = 0; f < fields_carried; ++f) k.pointers[f] = k.fields[f].data();
  }
  static std::size_t at_in(const grid_bounds& b, int i, int j) {
    return static_cast<std::size_t>(at(i, j, b.ims, b.ime, b.jms));
  }
  block_halo halo(int r) const { return block_halo(blocks[r].b, blocks[r].p, layout, r); }

  // Both phases, every message carried from sender to receiver.
  void exchange(int count, bool boundary, float u_in, float v_in) {
    const int n = layout.blocks();
    std::map<std::pair<int, int>, std::vector<float>> sent;  // (from, direction)
    enum { west, east, south, north };
    for (int r = 0; r < n; ++r) {
      const block_halo h = halo(r);
      if (boundary) h.edge_columns(blocks[r].pointers, count, u_in, v_in);
      if (h.west() >= 0) h.pack_west(blocks[r].pointers, count, (sent[{r, west}] = std::vector<float>(h.column_floats(count))).data());
      if (h.east() >= 0) h.pack_east(blocks[r].pointers, count, (sent[{r, east}] = std::vector<float>(h.column_floats(count))).data());
    }
    for (int r = 0; r < n; ++r) {
      const block_halo h = halo(r);
      if (h.west() >= 0) h.unpack_west(blocks[r].pointers, count, sent.at({h.west(), east}).data());
      if (h.east() >= 0) h.unpack_east(blocks[r].pointers, count, sent.at({h.east(), west}).data());
    }
    sent.clear();
    for (int r = 0; r < n; ++r) {
      const block_halo h = halo(r);
      if (boundary || !h.at_south_edge())
        h.pack_south(blocks[r].pointers, count, boundary, (sent[{r, south}] = std::vector<float>(h.south_floats(count, boundary))).data());
      if (boundary || !h.at_north_edge())
        h.pack_north(blocks[r].pointers, count, boundary, (sent[{r, north}] = std::vector<float>(h.north_floats(count, boundary))).data());
    }
    for (int r = 0; r < n; ++r) {
      const block_halo h = halo(r);
      if (boundary || !h.at_south_edge()) h.unpack_south(blocks[r].pointers, count, boundary, sent.at({h.south(), north}).data());
      if (boundary || !h.at_north_edge()) h.unpack_north(blocks[r].pointers, count, boundary, sent.at({h.north(), south}).data());
    }
  }
};

std::vector<block_layout> layouts_of(int nx, int ny) {
  std::vector<block_layout> all;
  for (int px = 1; px <= 4; ++px)
    for (int py = 1; py <= 4; ++py)
      if (layout_problem({px, py}, nx, ny).empty()) all.push_back({px, py});
  return all;
}

// Every species' q gets, in every block, what set_bdy gives the whole grid
// with that species alone, across the periodic edge too.
TEST(BlockHalo, BoundaryValuesOfEveryLayoutAreThoseOfTheWholeGrid) {
  const char* const names[fields_carried] = {"u", "v", "h", "q of species 1", "q of species 2", "q of species 3"};
  const float u_in = -3.0000005f, v_in = 5.196152f;
  for (auto [nx, ny] : {std::pair{7, 9}, {12, 10}, {13, 8}, {9, 14}}) {
    for (const block_layout& l : layouts_of(nx, ny)) {
      SCOPED_TRACE(testing::Message() << nx << " x " << ny << " split " << layout_text(l));
      split_grid g(nx, ny, l, static_cast<std::uint32_t>(nx * 100 + ny));
      g.exchange(fields_carried, true, u_in, v_in);
      const grid_bounds& w = g.whole;
      for (int k = species_carried - 1; k >= 0; --k) {
        // The flow of the last call (species 1) is the one compared; each
        // call starts from the flow as the grid held it.
        std::vector<float> flow[flow_fields] = {g.fields[0], g.fields[1], g.fields[2]};
        float* const q = g.fields[flow_fields + k].data();
        set_bdy(flow[0].data(), flow[1].data(), flow[2].data(), q, u_in, v_in, w.ids, w.ide, w.jds, w.jde, w.ims, w.ime,
                w.jms, w.jme);
        if (k == 0) {
          for (int f = 0; f < flow_fields; ++f) g.fields[f] = flow[f];
        }
      }
      for (const auto& k : g.blocks) {
        for (int f = 0; f < fields_carried; ++f) {
          for (int j = k.b.jms; j <= k.b.jme; ++j) {
            for (int i = k.b.ims; i <= k.b.ime; ++i) {
              const float got = k.fields[f][split_grid::at_in(k.b, i, j)];
              const float want = g.fields[f][split_grid::at_in(w, i, j)];
              ASSERT_EQ(std::bit_cast<std::uint32_t>(got), std::bit_cast<std::uint32_t>(want))
                  << names[f] << "(" << i << ", " << j << ") of the block owning " << k.p.ips << ".." << k.p.ipe
                  << " x " << k.p.jps << ".." << k.p.jpe;
            }
          }
        }
      }
    }
  }
}

TEST(BlockHalo, SharedHaloHoldsTheInteriorAroundEachBlock) {
  for (auto [nx, ny] : {std::pair{7, 9}, {12, 10}}) {
    for (const block_layout& l : layouts_of(nx, ny)) {
      SCOPED_TRACE(testing::Message() << nx << " x " << ny << " split " << layout_text(l));
      split_grid g(nx, ny, l, 7u);
      g.exchange(2, false, 0.0f, 0.0f);
      for (const auto& k : g.blocks) {
        for (int f = 0; f < 2; ++f) {
          for (int j = k.b.jms; j <= k.b.jme; ++j) {
            for (int i = k.b.ims; i <= k.b.ime; ++i) {
              const bool interior = i >= 1 && i <= nx && j >= 1 && j <= ny;
              const float got = k.fields[f][split_grid::at_in(k.b, i, j)];
              const float want = interior ? g.fields[f][split_grid::at_in(g.whole, i, j)] : -12345.0f;
              ASSERT_EQ(got, want) << (f == 0 ? "u" : "v") << "(" << i << ", " << j << ")";
            }
          }
        }
        // h and the pollutants are not shared.
        for (int f = 2; f < fields_carried; ++f) {
          for (int j = k.b.jms; j <= k.b.jme; ++j)
            ASSERT_EQ(k.fields[f][split_grid::at_in(k.b, k.b.ims, j)], -12345.0f);
        }
      }
    }
  }
}

}  // namespace
