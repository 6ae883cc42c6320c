#pragma once
// The eight index bounds of a grid as one value: the interior (d) and the
// stored extent (m), in the order every procedure takes them.
//
// A process that holds only a block of the grid (a run over several
// processes) keeps the grid's own numbering: its d bounds are the whole
// grid's interior, its m bounds the block's points with their halo, and its
// patch (p) the interior points that the block owns.

struct grid_bounds {
  int ids, ide, jds, jde;
  int ims, ime, jms, jme;
  bool operator==(const grid_bounds&) const = default;
};

// The interior points i = ips..ipe, j = jps..jpe that one block owns.
struct patch_bounds {
  int ips, ipe, jps, jpe;
  bool operator==(const patch_bounds&) const = default;
};
