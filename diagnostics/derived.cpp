#include <algorithm>
#include <cstddef>

#include "diagnostics/derived_terms.hpp"
#include "diagnostics/diagnostics.hpp"
#include "grid/domain.hpp"
#include "grid/storage.hpp"

void div_vort(float* div, float* vort, float* us, float* vs, const float* spare, const float* u, const float* v,
              const grid_spacing& s, const int& ids, const int& ide, const int& jds, const int& jde, const int& ims,
              const int& ime, const int& jms, const int& jme) {
  div_vort_rows({jms, jme}, div, vort, us, vs, spare, u, v, s, ids, ide, jds, jde, ims, ime, jms, jme);
}

void div_vort_rows(const row_range& rows, float* div, float* vort, float* us, float* vs, const float* /*spare*/,
                   const float* u, const float* v, const grid_spacing& s, const int& ids, const int& ide,
                   const int& jds, const int& jde, const int& ims, const int& ime, const int& jms, const int& jme) {
  const std::ptrdiff_t nx = ime - ims + 1;
  // Each pass covers its range of the interior where the stored extent
  // holds the whole stencil (all of it unless the extent is a block of the
  // grid, whose halo the caller has filled), within the rows asked for.
  const int i0 = std::max(ids, ims + 1), i1 = std::min(ide - 1, ime - 1);
  const int j0 = std::max({jds + 1, jms + 1, rows.first}), j1 = std::min({jde - 2, jme - 1, rows.last});
  for (int j = std::max({jds, jms, rows.first}); j <= std::min({jde - 1, jme - 1, rows.last}); ++j) {
    const std::ptrdiff_t row = at(0, j, ims, ime, jms);
    for (int i = std::max(ids, ims); i <= i1; ++i) {
      const std::ptrdiff_t k = row + i;
      us[k] = (u[k + 1] + u[k]) * 0.5f;
      vs[k] = (v[k] + v[k + nx]) * 0.5f;
    }
  }
  const int first = std::max(ids + 1, i0), last = std::min(ide - 2, i1);
  for (int j = j0; j <= j1; ++j) {
    const std::ptrdiff_t row = at(0, j, ims, ime, jms);
    store_changed(div, row + first, row + last + 1,
                  [&](std::ptrdiff_t k) { return terms::divergence(u, v, k, nx, s); });
    store_changed(vort, row + first, row + last + 1,
                  [&](std::ptrdiff_t k) { return terms::vorticity(u, v, k, nx, s); });
  }
}

void diagh(float* h, const float* u, const float* v, const grid_spacing& s, const int& ids, const int& ide,
           const int& jds, const int& jde, const int& ims, const int& ime, const int& jms, const int& /*jme*/) {
  const std::ptrdiff_t nx = ime - ims + 1;
  for (int j = jds; j <= jde - 1; ++j) {
    const std::ptrdiff_t row = at(0, j, ims, ime, jms);
    for (int i = ids; i <= ide - 1; ++i) h[row + i] = terms::diagnosed_height(u, v, row + i, nx, s);
  }
}
