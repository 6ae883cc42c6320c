#pragma once
// Emission pattern and derived fields. Arguments as for the kernels: arrays
// first, then scalars, then the eight bounds, all by reference.
#include "grid/spacing.hpp"

// Writes the cone of one point source centred at (x0, y0) into src at the
// interior cells i = ids..ide-1, j = jds..jde-1: peak x (1 - |r / radius|)
// within the radius of the centre, 0 beyond. Nothing else of src is written.
void tracer(float* src, const float& x0, const float& y0, const float& radius, const float& peak, const float* x,
            const float* y, const int& ids, const int& ide, const int& jds, const int& jde, const int& ims,
            const int& ime, const int& jms, const int& jme);

// Cell-centred velocities us, vs on i = ids..ide-1, j = jds..jde-1, and the
// divergence and vorticity one cell further in. `spare` is not read.
void div_vort(float* div, float* vort, float* us, float* vs, const float* spare, const float* u, const float* v,
              const grid_spacing& s, const int& ids, const int& ide, const int& jds, const int& jde, const int& ims,
              const int& ime, const int& jms, const int& jme);

// Rows first..last of a field.
struct row_range {
  int first, last;
};

// div_vort over the rows of `rows` alone: each point's values depend on u
// and v only, so calls over rows that cover the stored extent write the
// same values as one div_vort, however the rows are split among them.
void div_vort_rows(const row_range& rows, float* div, float* vort, float* us, float* vs, const float* spare,
                   const float* u, const float* v, const grid_spacing& s, const int& ids, const int& ide,
                   const int& jds, const int& jde, const int& ims, const int& ime, const int& jms, const int& jme);

// Replaces h on i = ids..ide-1, j = jds..jde-1 by the height diagnosed from
// the divergence of (u, v).
void diagh(float* h, const float* u, const float* v, const grid_spacing& s, const int& ids, const int& ide,
           const int& jds, const int& jde, const int& ims, const int& ime, const int& jms, const int& jme);
