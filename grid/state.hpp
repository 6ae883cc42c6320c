#pragma once
// The model's state as the step advances it: the flow (u, v, h) and a list
// of species, each its pollutant q and the rate dqdt of its last step. The
// pollutant never feeds back into the flow: every species is carried by the
// same flow, each by the same arithmetic on its own q.
//
// Every count of fields follows from this layout:
//  - the step, its boundary values and the halo exchange take the flow's
//    three fields and each species' q (boundary_fields);
//  - a checkpoint holds u, v, h, then q and dqdt of each species
//    (state_fields);
//  - a snapshot holds q and dqdt of each species, then h and the four
//    fields derived from u and v (snapshot_records).
#include <cstddef>
#include <span>
#include <vector>

// The fields of the flow: u, v, h, in that order wherever they are listed.
inline constexpr int flow_fields = 3;
// The fields of one species: q and dqdt.
inline constexpr int fields_per_species = 2;
// The fields a snapshot derives from u and v: us, vs, div, vort.
inline constexpr int derived_fields = 4;

inline constexpr int boundary_fields(int species) noexcept { return flow_fields + species; }
inline constexpr int state_fields(int species) noexcept { return flow_fields + fields_per_species * species; }
inline constexpr int snapshot_records(int species) noexcept {
  return fields_per_species * species + 1 + derived_fields;
}

// The pollutant of one species.
struct species_fields {
  float* q;
  float* dqdt;
};

// The state the step advances, pointing into arrays that the caller owns.
struct model_state {
  float* u;
  float* v;
  float* h;
  std::span<const species_fields> species;

  // Every field of the state, as a checkpoint holds them: u, v, h, then q
  // and dqdt of each species (state_fields of them).
  std::vector<float*> fields() const {
    std::vector<float*> all{u, v, h};
    for (const species_fields& k : species) {
      all.push_back(k.q);
      all.push_back(k.dqdt);
    }
    return all;
  }
};
