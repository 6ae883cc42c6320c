#include <cstring>

#include "grid/domain.hpp"
#include "kernels/boundary_rules.hpp"
#include "kernels/kernels.hpp"

namespace {
// Copies one stored row onto another (the rows may coincide when the domain
// is a single row high).
void copy_row(const float* from, int nx, float* to) { std::memmove(to, from, static_cast<std::size_t>(nx) * sizeof(float)); }
}  // namespace

void set_bdy(float* u, float* v, float* h, float* q, const float& u_in, const float& v_in, const int& ids,
             const int& ide, const int& jds, const int& jde, const int& ims, const int& ime, const int& jms,
             const int& jme) {
  set_bdy_where(u, v, h, q, u_in, v_in, ids, ide, jds, jde, ims, ime, jms, jme, nullptr);
}

void set_bdy_where(float* u, float* v, float* h, float* q, const float& u_in, const float& v_in, const int& ids,
                   const int& ide, const int& jds, const int& jde, const int& ims, const int& ime, const int& jms,
                   const int& jme, const unsigned char* row_rules) {
  const auto p = [&](int i, int j) { return at(i, j, ims, ime, jms); };
  const int nx = ime - ims + 1;
  if (nx <= 0) return;

  // The west and east columns of every row, halo rows included.
  for (int j = jms; j <= jme; ++j) {
    const auto r = p(ims, j);
    const unsigned char which = row_rules != nullptr ? row_rules[j - jms] : boundary::all_columns;
    if (which == 0) continue;
    const boundary::row_set rows{u + r, v + r, h + r, q + r};
    boundary::west_columns(rows, ids, ims, which);
    boundary::east_columns(rows, ide, ime, ims, u_in, v_in, which);
  }
  // The south halo rows, whole rows, then the north rows from jde on.
  for (int j = jms; j <= jds - 1; ++j) {
    copy_row(q + p(ims, boundary::south_source_hq(j, jde)), nx, q + p(ims, j));
    copy_row(h + p(ims, boundary::south_source_hq(j, jde)), nx, h + p(ims, j));
    copy_row(u + p(ims, boundary::south_source_u(jde)), nx, u + p(ims, j));
    copy_row(v + p(ims, boundary::south_source_v(jde)), nx, v + p(ims, j));
  }
  for (int j = jde; j <= jme; ++j) {
    copy_row(q + p(ims, boundary::north_source_hq(j, jds, jde)), nx, q + p(ims, j));
    copy_row(h + p(ims, boundary::north_source_hq(j, jds, jde)), nx, h + p(ims, j));
    copy_row(u + p(ims, boundary::north_source_uv(jds)), nx, u + p(ims, j));
    copy_row(v + p(ims, boundary::north_source_uv(jds)), nx, v + p(ims, j));
  }
}
