#include "decomposition/halo_exchange.hpp"

#include "kernels/kernels.hpp"

void whole_grid_exchange::boundary(float* u, float* v, float* h, float* q, float u_in, float v_in,
                                   const unsigned char* row_rules) {
  set_bdy_where(u, v, h, q, u_in, v_in, b_.ids, b_.ide, b_.jds, b_.jde, b_.ims, b_.ime, b_.jms, b_.jme, row_rules);
}
