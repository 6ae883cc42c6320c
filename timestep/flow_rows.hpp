#pragma once
// Which rows of the flow repeat the row below: what lets the production step
// compute a row of u, v and h once for every row that holds the same values,
// and store it once.
//
// In every scenario of this model the flow is the same in every row: the
// start and the boundaries are uniform from south to north, and the
// pollutant never feeds back into the flow. The step keeps that as
// knowledge rather than finding it afresh, and is exact for any state:
//
// - The u and v of a row after a stage depend only on the stage's input
//   rows one row each way, and on nothing but their values (the same
//   operations on the same bits give the same bits, NaN, infinities and
//   signed zeros included). So where the input rows j-2 .. j+2 each hold the
//   same values as the row below (all of u, v and h, over the whole row as
//   the stage reads it: its boundary and halo columns included), row j's u
//   and v are those of row j-1. The second row below keeps the first cell
//   row r0 out, whose row below holds boundary or halo values. In the
//   second stage the entry values of row j that the average reads must
//   repeat row j-1's too.
// - The height of row j reads the v of row j+1: it repeats row j-1's where
//   the u and v of rows j and j+1 repeat. A row whose u and v repeat but
//   whose row above does not is copied and gets its own height.
// - Of the stage's input rows, those that the step knows to repeat are
//   checked in the columns that the boundary values and the halo exchange
//   wrote (a few per row); the others that it cannot know (the halo rows,
//   the first cell row) are compared in full. A row of the output that was
//   computed is compared with the row below once it is done, so that rows
//   that came to hold the same values again repeat again.
//
// A row that repeats the row below need not hold its values: its storage is
// left as it was, and every read of the row goes to its source, a row below
// that is stored and holds the same values (the nearest one, once a stage
// has written the set). It is written out where something reads it as
// data: the rows at the block's south and north edges before each exchange
// that sends them (the whole grid's copies its halo rows from the rows'
// sources instead), a row whose boundary or halo columns turn out
// to differ, and a row that the second stage computes from its entry
// values. For a caller that reads the arrays (the snapshot, the
// diagnostics, a checkpoint, a test) every row's storage gets its values
// (materialize), the rows staying left to their sources. The columns next
// to the block's west and east edges are written in every row, since the
// boundary values and the neighbours' halos are made from them.
#include <vector>

struct flow_rows {
  // Per stored row, index j - jms:
  std::vector<unsigned char> same;    // holds the same values as the row below
  std::vector<unsigned char> stored;  // its storage holds its values
  std::vector<int> source;            // the row whose storage holds them
};
