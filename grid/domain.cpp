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
// Owning storage behind the module's pointers: the fields a run uses, and
// the other arrays in allocation order.
float_blocks used;
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
  used = {};
  species.clear();

  const long long ni = static_cast<long long>(ime) - ims + 1;
  const long long nj = static_cast<long long>(jme) - jms + 1;
  struct entry {
    const char* name;
    float** field;
    bool used;  // read or written by a run
  };
  const std::array<entry, shared_fields + fields_per_species> fields{{{"field u", &u, true},
                                                                      {"field v", &v, true},
                                                                      {"field us", &us, true},
                                                                      {"field vs", &vs, true},
                                                                      {"field h", &h, true},
                                                                      {"field q", &q, true},
                                                                      {"field qc", &qc, false},
                                                                      {"field qr", &qr, false},
                                                                      {"field dqdt", &dqdt, true},
                                                                      {"field forceu", &forceu, false},
                                                                      {"field forcev", &forcev, false},
                                                                      {"field gpx", &gpx, false},
                                                                      {"field gpy", &gpy, false},
                                                                      {"field div", &div, true},
                                                                      {"field vort", &vort, true}}};
  const auto take = [](float_block b) {
    blocks.push_back(std::move(b));
    return blocks.back().get();
  };
  // The fields that a run uses lie one after another in one allocation
  // (float_blocks): the shared ones in the order above, then each further
  // species' q and dqdt. The others have an allocation each, which a run
  // never touches and which so takes no memory.
  const auto field_floats = static_cast<std::size_t>(ni) * static_cast<std::size_t>(nj);
  std::vector<std::size_t> counts;
  for (const auto& f : fields) {
    if (f.used) counts.push_back(field_floats);
  }
  counts.insert(counts.end(), fields_per_species * static_cast<std::size_t>(species_count - 1), field_floats);
  used = float_blocks("the model's fields", counts);
  std::size_t next = 0;
  blocks.reserve(fields.size() + line_arrays);
  for (const auto& f : fields) *f.field = f.used ? used[next++] : take(allocate_zeroed(f.name, ni, nj));
  species.push_back({q, dqdt});
  for (int k = 1; k < species_count; ++k, next += fields_per_species) species.push_back({used[next], used[next + 1]});
  x = take(allocate_zeroed("array x", ni, 1));
  struct line {
    const char* name;
    float** array;
  };
  const std::array<line, line_arrays - 1> rows{{{"array y", &y}, {"array fx", &fx}, {"array fy", &fy}}};
  for (const auto& r : rows) *r.array = take(allocate_zeroed(r.name, nj, 1));
}

}  // namespace domain
