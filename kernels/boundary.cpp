#include <cstring>

#include "grid/domain.hpp"
#include "kernels/boundary_rules.hpp"
#include "kernels/kernels.hpp"

namespace {
// Copies one stored row onto another (the rows may coincide when the domain
// is a single row high).
void copy_row(const float* from, int nx, float* to) {
  std::memmove(to, from, static_cast<std::size_t>(nx) * sizeof(float));
}
}  // namespace

void set_bdy(float* u, float* v, float* h, float* q, const float& u_in, const float& v_in, const int& ids,
             const int& ide, const int& jds, const int& jde, const int& ims, const int& ime, const int& jms,
             const int& jme) {
  set_bdy_where(u, v, h, q, u_in, v_in, ids, ide, jds, jde, ims, ime, jms, jme, nullptr);
}

void set_bdy_where(float* u, float* v, float* h, float* q, const float& u_in, const float& v_in, const int& ids,
                   const int& ide, const int& jds, const int& jde, const int& ims, const int& ime, const int& jms,
                   const int& jme, const unsigned char* row_rules) {
  float* const fields[boundary_fields(1)] = {u, v, h, q};
  if (row_rules == nullptr) {
    set_bdy_fields(fields, boundary_fields(1), u_in, v_in, {ids, ide, jds, jde, ims, ime, jms, jme}, nullptr);
    return;
  }
  const row_runs every_row(jms, jme);
  const boundary::row_rules rules{row_rules, &every_row};
  set_bdy_fields(fields, boundary_fields(1), u_in, v_in, {ids, ide, jds, jde, ims, ime, jms, jme}, &rules);
}

void set_bdy_fields(float* const* fields, int count, float u_in, float v_in, const grid_bounds& b,
                    const boundary::row_rules* row_rules, int first) {
  const auto p = [&](int i, int j) { return at(i, j, b.ims, b.ime, b.jms); };
  const int nx = b.ime - b.ims + 1;
  if (nx <= 0) return;

  // The west and east columns of every row with rules, halo rows included.
  // The rules of the fields in the list: those of the flow where it
  // starts with u, those of the pollutants where it holds any.
  const unsigned char listed = (first == 0 ? boundary::flow_columns : 0) |
                               (count > flow_fields ? boundary::pollutant_columns : 0);
  const auto columns = [&](int j, unsigned char rules, boundary::row_marks pollutants) {
    const auto which = static_cast<unsigned char>(rules & listed);
    if (which == 0) return;
    boundary::west_columns(fields, p(b.ims, j), count, b.ids, b.ims, which, pollutants, first);
    boundary::east_columns(fields, p(b.ims, j), count, b.ide, b.ime, b.ims, u_in, v_in, which, pollutants, first);
  };
  if (row_rules == nullptr) {
    for (int j = b.jms; j <= b.jme; ++j) columns(j, boundary::all_columns, {});
  } else {
    row_rules->rows->for_each_row(
        b.jms, b.jme, [&](int j) { columns(j, row_rules->of_row(j, b.jms), row_rules->pollutants_of_row(j, b.jms)); });
  }
  // The south halo rows, whole rows, then the north rows from jde on, each
  // from where the row it copies is stored.
  // A row that row_rules says holds its copy already is left as it is.
  const int* const flow_source = row_rules != nullptr ? row_rules->flow_source : nullptr;
  const unsigned char* const halo_held = row_rules != nullptr ? row_rules->halo_held : nullptr;
  const int halo_rows = boundary::halo_rows(b.jms, b.jds, b.jde, b.jme);
  for (int k = first; k < count; ++k) {
    float* const f = fields[k];
    const auto stored = [&](int j) { return k < flow_fields && flow_source != nullptr ? flow_source[j - b.jms] : j; };
    const auto held = [&](int j) {
      return halo_held != nullptr && halo_held[k * halo_rows + boundary::halo_row_index(j, b.jms, b.jds, b.jde)] != 0;
    };
    for (int j = b.jms; j <= b.jds - 1; ++j) {
      if (!held(j)) copy_row(f + p(b.ims, stored(boundary::south_source(k, j, b.jde))), nx, f + p(b.ims, j));
    }
    for (int j = b.jde; j <= b.jme; ++j) {
      if (!held(j)) copy_row(f + p(b.ims, stored(boundary::north_source(k, j, b.jds, b.jde))), nx, f + p(b.ims, j));
    }
  }
}
