#pragma once
// The eight index bounds of a grid as one value: the interior (d) and the
// stored extent (m), in the order every procedure takes them.

struct grid_bounds {
  int ids, ide, jds, jde;
  int ims, ime, jms, jme;
  bool operator==(const grid_bounds&) const = default;
};
