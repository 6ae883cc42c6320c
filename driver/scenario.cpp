#include "driver/scenario.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <numbers>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <toml++/toml.h>

namespace {

using position = toml::source_region;

// The shortest text that reads back as exactly this float: the shortest
// decimal of the double that equals it, which a reader rounding through
// double then float turns back into the same bits.
// Plain decimals are preferred while they stay short.
std::string float_text(float f) {
  char buf[512];
  const auto fixed = std::to_chars(buf, buf + sizeof buf, static_cast<double>(f), std::chars_format::fixed);
  if (fixed.ec == std::errc{} && fixed.ptr - buf <= 16) return std::string(buf, fixed.ptr);
  const auto r = std::to_chars(buf, buf + sizeof buf, static_cast<double>(f));
  return std::string(buf, r.ptr);
}

// The same, always spelt as a TOML float.
std::string toml_float(float f) {
  std::string s = float_text(f);
  if (s.find_first_of(".en") == std::string::npos) s += ".0";
  return s;
}

std::string double_text(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, r.ptr);
}

const char* type_name(toml::node_type t) {
  switch (t) {
    case toml::node_type::table:
      return "a table";
    case toml::node_type::array:
      return "an array";
    case toml::node_type::string:
      return "a string";
    case toml::node_type::integer:
      return "an integer";
    case toml::node_type::floating_point:
      return "a floating-point number";
    case toml::node_type::boolean:
      return "a boolean";
    case toml::node_type::date:
      return "a date";
    case toml::node_type::time:
      return "a time";
    case toml::node_type::date_time:
      return "a date-time";
    default:
      return "nothing";
  }
}

// Reads the whole file, reporting the system's reason when it cannot.
std::string read_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw scenario_error(path + ": cannot read the scenario: " + std::strerror(errno));
  std::string text;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int e = errno;
      ::close(fd);
      throw scenario_error(path + ": cannot read the scenario: " + std::strerror(e));
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

class reader {
 public:
  explicit reader(std::string path) : path_(std::move(path)) {}

  std::string at(const position& p) const {
    return path_ + ":" + std::to_string(p.begin.line) + ":" + std::to_string(p.begin.column);
  }
  [[noreturn]] void fail(const position& p, const std::string& what) const {
    throw scenario_error(at(p) + ": " + what);
  }

  // A value where a float is expected: a TOML float or integer, finite, and
  // within the range of a float once rounded to the nearest one.
  float real(const toml::node& n, const std::string& name) const {
    if (const auto* i = n.as_integer()) return static_cast<float>(i->get());
    const auto* d = n.as_floating_point();
    if (d == nullptr) fail(n.source(), name + " must be a number, not " + type_name(n.type()));
    const double x = d->get();
    if (!std::isfinite(x)) fail(n.source(), name + " must be finite, not " + double_text(x));
    const float f = static_cast<float>(x);
    if (!std::isfinite(f)) fail(n.source(), name + " = " + double_text(x) + " is too large for single precision");
    return f;
  }

  // A value where a whole number is expected: a TOML integer that fits 32 bits.
  std::int32_t whole(const toml::node& n, const std::string& name) const {
    const auto* i = n.as_integer();
    if (i == nullptr) fail(n.source(), name + " must be an integer, not " + type_name(n.type()));
    const std::int64_t v = i->get();
    if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) {
      fail(n.source(), name + " = " + std::to_string(v) + " is out of range");
    }
    return static_cast<std::int32_t>(v);
  }

  // A value where a text is expected: a TOML string.
  std::string text(const toml::node& n, const std::string& name) const {
    const auto* t = n.as_string();
    if (t == nullptr) fail(n.source(), name + " must be a string, not " + type_name(n.type()));
    return t->get();
  }

  struct key_target {
    const char* key;
    float* real = nullptr;
    std::int32_t* whole = nullptr;
    std::string* text = nullptr;
  };

  // Reads the keys of one table into their targets, refusing any other key;
  // remembers where each given key stands under "table.key".
  void keys(const toml::table& t, const std::string& table, std::initializer_list<key_target> targets) {
    for (auto&& [k, v] : t) {
      const key_target* found = nullptr;
      for (const auto& kt : targets) {
        if (k.str() == kt.key) found = &kt;
      }
      const std::string name = table + "." + std::string(k.str());
      if (found == nullptr) {
        std::string known;
        for (const auto& kt : targets) known += (known.empty() ? "" : ", ") + std::string(kt.key);
        fail(k.source(), "unknown key '" + std::string(k.str()) + "' in [" + table + "]; its keys are " + known);
      }
      if (found->real != nullptr) *found->real = real(v, name);
      if (found->whole != nullptr) *found->whole = whole(v, name);
      if (found->text != nullptr) *found->text = text(v, name);
      given_[name] = v.source();
    }
  }

  const toml::table& table(const toml::node& n, const std::string& name) const {
    const auto* t = n.as_table();
    if (t == nullptr) fail(n.source(), "[" + name + "] must be a table, not " + type_name(n.type()));
    return *t;
  }

  std::optional<position> given(const std::string& name) const {
    const auto it = given_.find(name);
    if (it == given_.end()) return std::nullopt;
    return it->second;
  }

  // The position of the first of the keys the file gives; the first key's
  // position is used when the file gives none (it then names a default).
  position first_given(std::initializer_list<const char*> names, const position& otherwise) const {
    for (const char* n : names) {
      if (auto p = given(n)) return *p;
    }
    return otherwise;
  }

 private:
  std::string path_;
  std::map<std::string, position> given_;
};

// The smallest grid the model's stencils allow in each direction.
constexpr std::int32_t min_points = 4;
// Past this many seconds a float no longer holds every whole second.
constexpr std::int32_t max_duration = 16777216;
// The pressure gradient diffuses the velocity with 20000 x g m^2/s; with the
// viscosity this bounds the explicit one-second step.
constexpr double momentum_diffusion = 196200.0 + 200.0;

void check(const scenario& s, const reader& r, const position& whole_file) {
  const auto where = [&](const char* name) { return r.first_given({name}, whole_file); };
  for (const auto& [name, value, axis] : {std::tuple{"grid.nx", s.nx, "x"}, std::tuple{"grid.ny", s.ny, "y"}}) {
    if (value < min_points) {
      r.fail(where(name), std::string(name) + " = " + std::to_string(value) +
                              " is too small: the model's stencils need at least 4 points in " + axis);
    }
    if (value > std::numeric_limits<std::int32_t>::max() - 4) {
      r.fail(where(name), std::string(name) + " = " + std::to_string(value) + " is too large for the grid's indices");
    }
  }
  if (!(s.spacing_m > 0.0f)) {
    r.fail(where("grid.spacing_m"), "grid.spacing_m must be positive, not " + float_text(s.spacing_m));
  }
  {
    const double d = static_cast<double>(s.spacing_m);
    const double number = momentum_diffusion * (1.0 / (d * d) + 1.0 / (d * d));
    if (number > 0.5) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.3g", number);
      r.fail(where("grid.spacing_m"),
             "grid.spacing_m = " + float_text(s.spacing_m) +
                 " m makes the momentum equations unstable: (196200 + 200) m^2/s x 1 s x (1/dx^2 + 1/dy^2) = " + buf +
                 ", more than 0.5; the spacing must be at least 886.3 m");
    }
  }
  if (s.duration_s <= 0) {
    r.fail(where("time.duration_s"), "time.duration_s must be positive, not " + std::to_string(s.duration_s));
  }
  if (s.duration_s > max_duration) {
    r.fail(where("time.duration_s"), "time.duration_s = " + std::to_string(s.duration_s) +
                                         " is past 16777216 s (2^24 s), where the model time stops being exact in "
                                         "single precision");
  }
  if (s.progress_every <= 0) {
    r.fail(where("time.progress_every"),
           "time.progress_every must be positive, not " + std::to_string(s.progress_every));
  }
  if (!(s.snapshot_every_s > 0.0f)) {
    r.fail(where("time.snapshot_every_s"),
           "time.snapshot_every_s must be positive, not " + float_text(s.snapshot_every_s));
  }
  if (s.emission_first_s < 0) {
    r.fail(where("emission.first_s"),
           "emission.first_s must not be negative, not " + std::to_string(s.emission_first_s));
  }
  if (!(s.emission_every_s > 0.0f)) {
    r.fail(where("emission.every_s"), "emission.every_s must be positive, not " + float_text(s.emission_every_s));
  }
  if (s.wind_speed_m_s < 0.0f) {
    r.fail(where("wind.speed_m_s"), "wind.speed_m_s must not be negative, not " + float_text(s.wind_speed_m_s));
  }
  {
    const float courant = (std::fabs(s.wind_u()) + std::fabs(s.wind_v())) * 1.0f / s.spacing_m;
    if (courant > 1.0f) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.3g", static_cast<double>(courant));
      r.fail(r.first_given({"wind.speed_m_s", "wind.towards_deg", "grid.spacing_m"}, whole_file),
             "a wind of " + float_text(s.wind_speed_m_s) + " m/s towards " + float_text(s.wind_towards_deg) +
                 " degrees moves the pollutant " + buf + " cells per step on a " + float_text(s.spacing_m) +
                 " m grid ((|u| + |v|) x 1 s / spacing_m), more than 1");
    }
  }
}

// A species name: letters, digits and _, starting with a letter (ASCII), so
// that it can stand in the names of fields and variables.
bool is_species_name(std::string_view name) {
  const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (name.empty() || !letter(name.front())) return false;
  for (const char c : name) {
    if (!letter(c) && !digit(c) && c != '_') return false;
  }
  return true;
}

// Where the file gives a [[species]] table and its keys; a schedule key left
// out takes the [emission] value, which may stand anywhere in the file.
struct species_given {
  position table;
  std::optional<position> name;
  std::optional<position> first_s;
  std::optional<position> every_s;
};

// Where a [[source]] table names its species, and the name it gives.
struct source_species {
  std::string name;
  std::optional<position> at;
};

// Resolves the species' schedules and the sources' species names into
// indices; refuses every fault of the declared species and of the sources'
// species keys. `list` is where the file gives `species`, if it does.
void resolve_species(scenario& s, const reader& r, const std::optional<position>& list,
                     const std::vector<species_given>& declared, const std::vector<position>& source_at,
                     const std::vector<source_species>& named) {
  if (list && s.species.empty()) {
    r.fail(*list,
           "no species: the list of species is empty; leave species out for one pollutant or give at least "
           "one [[species]]");
  }
  // Each species' index by name: the scenario may declare thousands (a
  // species a source), and every source looks its species up.
  std::unordered_map<std::string_view, std::int32_t> index_of;
  for (std::size_t k = 0; k < s.species.size(); ++k) {
    species_info& sp = s.species[k];
    const species_given& at = declared[k];
    const std::string label = "species " + std::to_string(k + 1);
    if (!at.name) r.fail(at.table, label + " has no name");
    if (!is_species_name(sp.name)) {
      r.fail(*at.name,
             label + ": name '" + sp.name + "' is not a species name: letters, digits and _, starting with a letter");
    }
    if (sp.name.size() > longest_species_name) {
      r.fail(*at.name, label + ": its name has " + std::to_string(sp.name.size()) + " characters, more than " +
                           std::to_string(longest_species_name) + " (its field dqdt_NAME must fit a NetCDF name)");
    }
    if (const auto [earlier, first] = index_of.try_emplace(sp.name, static_cast<std::int32_t>(k)); !first) {
      r.fail(*at.name,
             label + ": name '" + sp.name + "' is already the name of species " + std::to_string(earlier->second + 1));
    }
    if (!at.first_s) sp.first_s = s.emission_first_s;
    if (!at.every_s) sp.every_s = s.emission_every_s;
    if (sp.first_s < 0) {
      r.fail(*at.first_s, label + ": first_s must not be negative, not " + std::to_string(sp.first_s));
    }
    if (!(sp.every_s > 0.0f)) r.fail(*at.every_s, label + ": every_s must be positive, not " + float_text(sp.every_s));
  }
  // The reference's sources, kept when the file gives none, feed no
  // declared species.
  if (!s.species.empty() && named.empty()) {
    for (point_source& p : s.sources) p.species = -1;
  }
  for (std::size_t n = 0; n < named.size(); ++n) {
    const std::string label = "source " + std::to_string(n + 1);
    const source_species& given = named[n];
    if (s.species.empty()) {
      if (given.at) {
        r.fail(*given.at, label + " names species '" + given.name +
                              "', but the scenario declares no species; declare it in a [[species]] table or "
                              "leave species out");
      }
      continue;
    }
    if (!given.at) {
      r.fail(source_at[n], label + " names no species; with [[species]] declared, every source gives species = NAME");
    }
    const auto found = index_of.find(given.name);
    if (found == index_of.end()) {
      std::string known;
      for (const species_info& sp : s.species) known += (known.empty() ? "" : ", ") + sp.name;
      r.fail(*given.at, label + ": species '" + given.name + "' is not declared; the species are " + known);
    }
    s.sources[n].species = found->second;
  }
  std::vector<bool> fed(s.species.size(), false);
  for (const point_source& p : s.sources) {
    const auto k = static_cast<std::size_t>(p.species);
    if (p.species >= 0 && k < fed.size()) fed[k] = true;
  }
  for (std::size_t k = 0; k < s.species.size(); ++k) {
    if (!fed[k]) {
      const std::string& name = s.species[k].name;
      r.fail(declared[k].table, "species " + std::to_string(k + 1) + " ('" + name +
                                    "') has no source; give it a [[source]] with species = \"" + name + "\"");
    }
  }
}

}  // namespace

float scenario::wind_u() const noexcept {
  return wind_speed_m_s * std::cos(wind_towards_deg * (std::numbers::pi_v<float> / 180.0f));
}

float scenario::wind_v() const noexcept {
  return wind_speed_m_s * std::sin(wind_towards_deg * (std::numbers::pi_v<float> / 180.0f));
}

std::vector<std::int32_t> scenario::snapshot_passes() const {
  std::vector<std::int32_t> passes;
  for (std::int32_t n = 0; n <= duration_s; ++n) {
    if (std::fmod(static_cast<float>(n), snapshot_every_s) == 0.0f) passes.push_back(n);
  }
  return passes;
}

scenario read_scenario(const std::string& path, std::string* grid_position) {
  return parse_scenario(read_file(path), path, grid_position);
}

scenario parse_scenario(std::string_view text, const std::string& name, std::string* grid_position) {
  toml::table root;
  try {
    root = toml::parse(text, name);
  } catch (const toml::parse_error& e) {
    throw scenario_error(name + ":" + std::to_string(e.source().begin.line) + ":" +
                         std::to_string(e.source().begin.column) +
                         ": not a TOML file: " + std::string(e.description()));
  }
  reader r(name);
  const position whole_file{{1, 1}, {1, 1}, {}};
  scenario s;
  std::optional<position> grid_at;
  std::vector<position> source_at;
  std::vector<source_species> source_named;
  std::optional<position> species_list;
  std::vector<species_given> species_at;
  for (auto&& [k, v] : root) {
    const std::string key(k.str());
    if (key == "grid") {
      r.keys(r.table(v, key), key, {{"nx", nullptr, &s.nx}, {"ny", nullptr, &s.ny}, {"spacing_m", &s.spacing_m}});
      grid_at = v.source();
    } else if (key == "time") {
      r.keys(r.table(v, key), key,
             {{"duration_s", nullptr, &s.duration_s},
              {"progress_every", nullptr, &s.progress_every},
              {"snapshot_every_s", &s.snapshot_every_s}});
    } else if (key == "wind") {
      r.keys(r.table(v, key), key, {{"speed_m_s", &s.wind_speed_m_s}, {"towards_deg", &s.wind_towards_deg}});
    } else if (key == "emission") {
      r.keys(r.table(v, key), key, {{"first_s", nullptr, &s.emission_first_s}, {"every_s", &s.emission_every_s}});
    } else if (key == "source") {
      const auto* list = v.as_array();
      if (list == nullptr)
        r.fail(v.source(), "source must be a list of [[source]] tables, not " + std::string(type_name(v.type())));
      if (list->empty()) r.fail(v.source(), "no source: the list of sources is empty; give at least one [[source]]");
      s.sources.clear();
      for (std::size_t n = 0; n < list->size(); ++n) {
        const toml::node& item = *list->get(n);
        const std::string name = "source " + std::to_string(n + 1);
        const auto* t = item.as_table();
        if (t == nullptr) r.fail(item.source(), name + " must be a table, not " + type_name(item.type()));
        point_source p;
        float x = std::numeric_limits<float>::quiet_NaN();
        float y = std::numeric_limits<float>::quiet_NaN();
        source_species named;
        r.keys(*t, "source",
               {{"x_m", &x},
                {"y_m", &y},
                {"radius_m", &p.radius_m},
                {"peak", &p.peak},
                {"species", nullptr, nullptr, &named.name}});
        const position here = item.source();
        const auto key_at = [&](const char* k) {
          const toml::node* node = t->get(k);
          return node != nullptr ? node->source() : here;
        };
        if (std::isnan(x)) r.fail(here, name + " has no x_m");
        if (std::isnan(y)) r.fail(here, name + " has no y_m");
        p.x_m = x;
        p.y_m = y;
        if (!(p.radius_m > 0.0f))
          r.fail(key_at("radius_m"), name + ": radius_m must be positive, not " + float_text(p.radius_m));
        if (!(p.peak > 0.0f)) r.fail(key_at("peak"), name + ": peak must be positive, not " + float_text(p.peak));
        if (const toml::node* node = t->get("species")) named.at = node->source();
        s.sources.push_back(p);
        source_at.push_back(here);
        source_named.push_back(std::move(named));
      }
    } else if (key == "species") {
      const auto* list = v.as_array();
      if (list == nullptr)
        r.fail(v.source(), "species must be a list of [[species]] tables, not " + std::string(type_name(v.type())));
      species_list = v.source();
      for (std::size_t n = 0; n < list->size(); ++n) {
        const toml::node& item = *list->get(n);
        const auto* t = item.as_table();
        if (t == nullptr) {
          r.fail(item.source(), "species " + std::to_string(n + 1) + " must be a table, not " + type_name(item.type()));
        }
        species_info sp;
        r.keys(*t, "species",
               {{"name", nullptr, nullptr, &sp.name}, {"first_s", nullptr, &sp.first_s}, {"every_s", &sp.every_s}});
        const auto key_at = [&](const char* k) -> std::optional<position> {
          if (const toml::node* node = t->get(k)) return node->source();
          return std::nullopt;
        };
        s.species.push_back(std::move(sp));
        species_at.push_back({item.source(), key_at("name"), key_at("first_s"), key_at("every_s")});
      }
    } else if (v.is_table() || v.is_array_of_tables()) {
      r.fail(k.source(), "unknown table [" + key +
                             "]; the tables are [grid], [time], [wind], [emission], [[source]] and [[species]]");
    } else {
      r.fail(k.source(), "unknown key '" + key +
                             "'; the keys belong to the tables [grid], [time], [wind], [emission], "
                             "[[source]] and [[species]]");
    }
  }
  check(s, r, whole_file);
  // The sources lie on the grid: x(1) <= x <= x(nx), y(1) <= y <= y(ny),
  // with the coordinates as the model computes them.
  const float x_end = static_cast<float>(s.nx - 1) * s.spacing_m;
  const float y_end = static_cast<float>(s.ny - 1) * s.spacing_m;
  for (std::size_t n = 0; n < s.sources.size(); ++n) {
    const point_source& p = s.sources[n];
    if (!(p.x_m >= 0.0f && p.x_m <= x_end && p.y_m >= 0.0f && p.y_m <= y_end)) {
      const position here =
          n < source_at.size() ? source_at[n] : r.first_given({"grid.nx", "grid.ny", "grid.spacing_m"}, whole_file);
      r.fail(here, "source " + std::to_string(n + 1) + " at (" + float_text(p.x_m) + ", " + float_text(p.y_m) +
                       ") m lies outside the domain [0, " + float_text(x_end) + "] x [0, " + float_text(y_end) + "] m");
    }
  }
  resolve_species(s, r, species_list, species_at, source_at, source_named);
  if (grid_position != nullptr) *grid_position = grid_at ? r.at(*grid_at) : std::string();
  return s;
}

std::string scenario_toml(const scenario& s) {
  std::ostringstream o;
  o << "[grid]\n"
    << "nx = " << s.nx << "\n"
    << "ny = " << s.ny << "\n"
    << "spacing_m = " << toml_float(s.spacing_m) << "\n\n"
    << "[time]\n"
    << "duration_s = " << s.duration_s << "\n"
    << "progress_every = " << s.progress_every << "\n"
    << "snapshot_every_s = " << toml_float(s.snapshot_every_s) << "\n\n"
    << "[wind]\n"
    << "speed_m_s = " << toml_float(s.wind_speed_m_s) << "\n"
    << "towards_deg = " << toml_float(s.wind_towards_deg) << "\n\n"
    << "[emission]\n"
    << "first_s = " << s.emission_first_s << "\n"
    << "every_s = " << toml_float(s.emission_every_s) << "\n";
  for (const species_info& sp : s.species) {
    o << "\n[[species]]\n"
      << "name = \"" << sp.name << "\"\n"
      << "first_s = " << sp.first_s << "\n"
      << "every_s = " << toml_float(sp.every_s) << "\n";
  }
  for (const point_source& p : s.sources) {
    o << "\n[[source]]\n"
      << "x_m = " << toml_float(p.x_m) << "\n"
      << "y_m = " << toml_float(p.y_m) << "\n"
      << "radius_m = " << toml_float(p.radius_m) << "\n"
      << "peak = " << toml_float(p.peak) << "\n";
    if (!s.species.empty()) o << "species = \"" << s.species[static_cast<std::size_t>(p.species)].name << "\"\n";
  }
  return o.str();
}
