#pragma once
// The fields a snapshot derives from the flow.
#include "grid/spacing.hpp"

class step_team;

// Sets the module's us, vs, div and vort from its u and v as div_vort does,
// the rows shared among the threads of `team`: each point's values depend
// on u and v alone, so they are the same bits for every thread count.
void derive_snapshot_fields(const grid_spacing& s, step_team& team);
