#include <cstring>

#include "grid/constant.hpp"
#include "grid/domain.hpp"
#include "kernels/kernels.hpp"

namespace {
// Copies one stored row onto another (the rows may coincide when the domain
// is a single row high).
void copy_row(const float* from, int nx, float* to) { std::memmove(to, from, static_cast<std::size_t>(nx) * sizeof(float)); }
}  // namespace

void set_bdy(float* u, float* v, float* h, float* q, const float& u_in, const float& v_in, const int& ids,
             const int& ide, const int& jds, const int& jde, const int& ims, const int& ime, const int& jms,
             const int& jme) {
  const auto p = [&](int i, int j) { return at(i, j, ims, ime, jms); };
  const int nx = ime - ims + 1;

  // 1. West halo: q mirrored about the wall face, h and v with zero
  //    gradient, u the negated first face east of the wall (0 - u, so a zero
  //    source gives +0).
  for (int j = jms; j <= jme; ++j) {
    for (int i = ims; i <= ids - 1; ++i) {
      q[p(i, j)] = q[p(ids - i, j)];
      h[p(i, j)] = h[p(ids, j)];
      v[p(i, j)] = v[p(ids, j)];
      u[p(i, j)] = 0.0f - u[p(ids + 1, j)];
    }
  }
  // 2. West wall: no flow through it.
  for (int j = jms; j <= jme; ++j) u[p(ids, j)] = 0.0f;
  // 3. East inflow velocity beyond the last face; u(ide, j) keeps its value.
  for (int j = jms; j <= jme; ++j) {
    for (int i = ide + 1; i <= ime; ++i) u[p(i, j)] = u_in;
  }
  // 4. East boundary columns, from the last advanced cell and the inflow v.
  for (int j = jms; j <= jme; ++j) {
    for (int i = ide; i <= ime; ++i) {
      h[p(i, j)] = h[p(ide - 1, j)];
      v[p(i, j)] = v_in;
      q[p(i, j)] = q[p(ide - 1, j)];
    }
  }
  // 5. South halo rows, whole rows: h and q from their periodic images, u
  //    from row jde-1 and v from row jde as it stands before step 6.
  if (nx > 0) {
    for (int j = jms; j <= jds - 1; ++j) {
      copy_row(q + p(ims, j + jde - 1), nx, q + p(ims, j));
      copy_row(h + p(ims, j + jde - 1), nx, h + p(ims, j));
      copy_row(u + p(ims, jde - 1), nx, u + p(ims, j));
      copy_row(v + p(ims, jde), nx, v + p(ims, j));
    }
    // 6. North rows from jde on: row jde becomes a copy of row jds, the rows
    //    beyond it of h and q the periodic images, of u and v row jds.
    for (int j = jde; j <= jme; ++j) {
      copy_row(q + p(ims, j - jde + jds), nx, q + p(ims, j));
      copy_row(h + p(ims, j - jde + jds), nx, h + p(ims, j));
      copy_row(u + p(ims, jds), nx, u + p(ims, j));
      copy_row(v + p(ims, jds), nx, v + p(ims, j));
    }
  }
}
