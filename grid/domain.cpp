#include "grid/domain.hpp"

#include <array>
#include <string>

#include "grid/storage.hpp"

namespace domain {

int ids, ide, jds, jde;
int ims, ime, jms, jme;
int ips, ipe, jps, jpe;

float *u, *v, *us, *vs, *h, *q, *qc, *qr, *dqdt, *forceu, *forcev, *gpx, *gpy, *div, *vort;
std::vector<species_fields> species;
float *x, *y, *fx, *fy;

namespace {
// Owning storage behind the module's pointers, in allocation order.
std::vector<float_block> blocks;
}  // namespace

void gridpara(int nx, int ny, int species_count) { gridpara(nx, ny, {1, nx, 1, ny}, species_count); }

void gridpara(int nx, int ny, const patch_bounds& patch, int species_count) {
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

  blocks.clear();
  species.clear();

  const long long ni = static_cast<long long>(ime) - ims + 1;
  const long long nj = static_cast<long long>(jme) - jms + 1;
  struct entry {
    const char* name;
    float** field;
  };
  const std::array<entry, shared_fields + fields_per_species> fields{{{"field u", &u},
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
  const auto take = [](float_block b) {
    blocks.push_back(std::move(b));
    return blocks.back().get();
  };
  blocks.reserve(fields.size() + fields_per_species * static_cast<std::size_t>(species_count - 1) + line_arrays);
  for (const auto& f : fields) *f.field = take(allocate_zeroed(f.name, ni, nj));
  species.push_back({q, dqdt});
  for (int k = 1; k < species_count; ++k) {
    const std::string n = std::to_string(k + 1);
    float* const qk = take(allocate_zeroed(("field q of species " + n).c_str(), ni, nj));
    float* const dqdtk = take(allocate_zeroed(("field dqdt of species " + n).c_str(), ni, nj));
    species.push_back({qk, dqdtk});
  }
  x = take(allocate_zeroed("array x", ni, 1));
  const std::array<entry, line_arrays - 1> rows{{{"array y", &y}, {"array fx", &fx}, {"array fy", &fy}}};
  for (const auto& r : rows) *r.field = take(allocate_zeroed(r.name, nj, 1));
}

}  // namespace domain
