#pragma once
#include "grid/bounds.hpp"
#include "grid/spacing.hpp"

namespace boundary {
struct row_rules;
}

// The dynamics kernels: stateless grid operators over plain field arrays.
//
// Every procedure takes its arrays (the ones it writes first) and scalars by
// reference, then the eight bounds ids, ide, jds, jde, ims, ime, jms, jme.
// Arrays are passed as the address of their first stored element. Each
// procedure writes only the index ranges it documents.

// Lateral boundary values of u, v, h, q: a wall in the west, the fixed inflow
// wind (u_in, v_in) in the east, periodic rows between south and north. Six
// steps in a fixed order; the halo and the boundary rows and columns are
// overwritten.
void set_bdy(float* u, float* v, float* h, float* q, const float& u_in, const float& v_in, const int& ids,
             const int& ide, const int& jds, const int& jde, const int& ims, const int& ime, const int& jms,
             const int& jme);

// The same, but in each row j only the west and east column rules that
// row_rules[j - jms] names (boundary::flow_columns, pollutant_columns, both
// or neither): for a caller that knows the rest to hold their values
// already or to be read from elsewhere (the production step's repeated
// rows). row_rules == nullptr applies every rule, as set_bdy.
void set_bdy_where(float* u, float* v, float* h, float* q, const float& u_in, const float& v_in, const int& ids,
                   const int& ide, const int& jds, const int& jde, const int& ims, const int& ime, const int& jms,
                   const int& jme, const unsigned char* row_rules);

// The same for the flow and any number of pollutants: `fields` lists u, v,
// h, then each q (grid/state.hpp), `count` of them in all; every pollutant
// takes q's rules. row_rules == nullptr applies every rule; otherwise only
// the rows it holds take any column rule, so that the rules cost those rows
// alone. With `first`, only the fields [first, count) of the list get
// their values: u, v and h with first 0, or pollutants alone (first at
// least flow_fields), each field as in the whole list.
void set_bdy_fields(float* const* fields, int count, float u_in, float v_in, const grid_bounds& b,
                    const boundary::row_rules* row_rules, int first = 0);

// Momentum tendencies (pressure gradient, advection, diffusion) of u on the
// faces i = ids..ide, j = jds..jde-1 and of v on i = ids..ide-1, j = jds..jde;
// both outputs are zero everywhere else. gpx, gpy, fx, fy are not read.
void force(float* forceu, float* forcev, const float* u, const float* v, const float* h, const float* gpx,
           const float* gpy, const float* fx, const float* fy, const grid_spacing& s, const int& ids, const int& ide,
           const int& jds, const int& jde, const int& ims, const int& ime, const int& jms, const int& jme);

// Jump of q across x face (i, j) and the limiter's smoothness ratio.
void flux_limiterx(float& jump, float& ratio, const float* q, const float* u, const int& i, const int& j,
                   const int& ims, const int& ime, const int& jms, const int& jme);
// The same for y face (i, j).
void flux_limitery(float& jump, float& ratio, const float* q, const float* v, const int& i, const int& j,
                   const int& ims, const int& ime, const int& jms, const int& jme);

// Flux-limited pollutant fluxes over dt through the x faces i = ids..ide,
// j = jds..jde-1 and the y faces i = ids..ide-1, j = jds..jde.
void flux(float* flux_x, float* flux_y, const float* q, const float* u, const float* v, const float& dt,
          const grid_spacing& s, const int& ids, const int& ide, const int& jds, const int& jde, const int& ims,
          const int& ime, const int& jms, const int& jme);

// Advances q by dt on the interior cells i = ids..ide-1, j = jds..jde-1 and
// writes the rate of change there into dqdt.
void adv_air(float* q, float* dqdt, const float* u, const float* v, const float& dt, const grid_spacing& s,
             const int& ids, const int& ide, const int& jds, const int& jde, const int& ims, const int& ime,
             const int& jms, const int& jme);

// The increment adv_air would make, into dq, and twice it into dqdt, on the
// interior cells; q itself is not changed.
void force_air(float* dq, const float* q, float* dqdt, const float* u, const float* v, const float& dt,
               const grid_spacing& s, const int& ids, const int& ide, const int& jds, const int& jde, const int& ims,
               const int& ime, const int& jms, const int& jme);
