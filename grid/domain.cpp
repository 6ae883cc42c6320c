#include "grid/domain.hpp"

#include <array>

#include "grid/storage.hpp"

namespace domain {

int ids, ide, jds, jde;
int ims, ime, jms, jme;
int ips, ipe, jps, jpe;

float *u, *v, *us, *vs, *h, *q, *qc, *qr, *dqdt, *forceu, *forcev, *gpx, *gpy, *div, *vort;
float *x, *y, *fx, *fy;

namespace {
// Owning storage behind the module's pointers, in allocation order.
std::array<float_block, 19> blocks;
}  // namespace

void gridpara(int nx, int ny) { gridpara(nx, ny, {1, nx, 1, ny}); }

void gridpara(int nx, int ny, const patch_bounds& patch) {
  ids = 1;
  ide = nx;
  jds = 1;
  jde = ny;
  ips = patch.ips;
  ipe = patch.ipe;
  jps = patch.jps;
  jpe = patch.jpe;
  ims = ips - halo;
  ime = ipe + halo;
  jms = jps - halo;
  jme = jpe + halo;

  for (auto& b : blocks) b.reset();

  const long long ni = static_cast<long long>(ime) - ims + 1;
  const long long nj = static_cast<long long>(jme) - jms + 1;
  struct entry {
    const char* name;
    float** field;
  };
  const std::array<entry, 15> fields{{{"field u", &u},
                                      {"field v", &v},
                                      {"field us", &us},
                                      {"field vs", &vs},
                                      {"field h", &h},
                                      {"field q", &q},
                                      {"field qc", &qc},
                                      {"field qr", &qr},
                                      {"field dqdt", &dqdt},
                                      {"field forceu", &forceu},
                                      {"field forcev", &forcev},
                                      {"field gpx", &gpx},
                                      {"field gpy", &gpy},
                                      {"field div", &div},
                                      {"field vort", &vort}}};
  std::size_t k = 0;
  for (const auto& f : fields) {
    blocks[k] = allocate_zeroed(f.name, ni, nj);
    *f.field = blocks[k++].get();
  }
  blocks[k] = allocate_zeroed("array x", ni, 1);
  x = blocks[k++].get();
  const std::array<entry, 3> rows{{{"array y", &y}, {"array fx", &fx}, {"array fy", &fy}}};
  for (const auto& r : rows) {
    blocks[k] = allocate_zeroed(r.name, nj, 1);
    *r.field = blocks[k++].get();
  }
}

}  // namespace domain
