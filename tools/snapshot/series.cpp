#include "snapshot/series.hpp"

#include <netcdf.h>

#include <algorithm>
#include <utility>

namespace plume::snapshot {

namespace {

// One file of the series, open for reading; closed when it goes.
class NcInput {
 public:
  explicit NcInput(const std::string& path) : path_(path) {
    const int status = nc_open(path.c_str(), NC_NOWRITE, &id_);
    if (status != NC_NOERR) throw SeriesError("cannot open '" + path + "': " + nc_strerror(status));
  }
  ~NcInput() { nc_close(id_); }
  NcInput(const NcInput&) = delete;
  NcInput& operator=(const NcInput&) = delete;

  [[noreturn]] void fail(const std::string& what) const { throw SeriesError("'" + path_ + "': " + what); }

  [[noreturn]] void not_of_a_series(const std::string& what) const {
    fail("not a file of a plume run's NetCDF series: " + what);
  }

  std::string text_attribute(const char* name) const {
    nc_type type = NC_NAT;
    std::size_t length = 0;
    if (nc_inq_att(id_, NC_GLOBAL, name, &type, &length) != NC_NOERR) {
      not_of_a_series(std::string("it has no global attribute ") + name);
    }
    if (type == NC_CHAR) {
      std::string text(length, '\0');
      if (nc_get_att_text(id_, NC_GLOBAL, name, text.data()) != NC_NOERR) fail(std::string("cannot read ") + name);
      return text;
    }
    if (type == NC_STRING && length == 1) {
      char* value = nullptr;
      if (nc_get_att_string(id_, NC_GLOBAL, name, &value) != NC_NOERR) fail(std::string("cannot read ") + name);
      std::string text = value == nullptr ? std::string() : std::string(value);
      nc_free_string(1, &value);
      return text;
    }
    not_of_a_series(std::string("its global attribute ") + name + " is not text");
  }

  std::int64_t int_attribute(const char* name) const {
    nc_type type = NC_NAT;
    std::size_t length = 0;
    if (nc_inq_att(id_, NC_GLOBAL, name, &type, &length) != NC_NOERR) {
      not_of_a_series(std::string("it has no global attribute ") + name);
    }
    long long value = 0;
    if (length != 1 || (type != NC_INT && type != NC_INT64 && type != NC_SHORT && type != NC_UINT) ||
        nc_get_att_longlong(id_, NC_GLOBAL, name, &value) != NC_NOERR) {
      not_of_a_series(std::string("its global attribute ") + name + " is not one integer");
    }
    return value;
  }

  int dimension(const char* name, std::size_t& length) const {
    int dim = -1;
    if (nc_inq_dimid(id_, name, &dim) != NC_NOERR || nc_inq_dimlen(id_, dim, &length) != NC_NOERR) {
      fail(std::string("it has no dimension ") + name);
    }
    return dim;
  }

  int variable(const std::string& name) const {
    int var = -1;
    if (nc_inq_varid(id_, name.c_str(), &var) != NC_NOERR) fail("it has no variable " + name);
    return var;
  }

  double time() const {
    double t = 0.0;
    const std::size_t start = 0;
    if (nc_get_var1_double(id_, variable("time"), &start, &t) != NC_NOERR) fail("cannot read its time");
    return t;
  }

  // A float variable over (time, y, x) of this file's dimensions.
  void check_field(const std::string& name, const int (&dims)[3]) const {
    const int var = variable(name);
    nc_type type = NC_NAT;
    int ndims = 0;
    int found[NC_MAX_VAR_DIMS] = {};
    if (nc_inq_var(id_, var, nullptr, &type, &ndims, found, nullptr) != NC_NOERR) fail("cannot read variable " + name);
    if (type != NC_FLOAT || ndims != 3 || found[0] != dims[0] || found[1] != dims[1] || found[2] != dims[2]) {
      fail("its variable " + name + " is not a float field over (time, y, x)");
    }
  }

  void read_field(const std::string& name, std::size_t ny, std::size_t nx, std::span<float> values) const {
    const std::size_t start[3] = {0, 0, 0};
    const std::size_t count[3] = {1, ny, nx};
    const int status = nc_get_vara_float(id_, variable(name), start, count, values.data());
    if (status != NC_NOERR) fail("cannot read " + name + ": " + nc_strerror(status));
  }

 private:
  std::string path_;
  int id_ = -1;
};

}  // namespace

Series::Series(const std::vector<std::string>& paths) {
  if (paths.empty()) throw SeriesError("no file of the series given");
  std::string scenario_text;
  std::int64_t count = 0;
  for (const auto& path : paths) {
    const NcInput in(path);
    const std::string text = in.text_attribute("scenario_toml");
    const std::int64_t number = in.int_attribute("snapshot_number");
    const std::int64_t this_count = in.int_attribute("snapshot_count");
    if (members_.empty()) {
      scenario s;
      try {
        s = parse_scenario(text, path + " (scenario_toml)");
        layout_ = layout_of(s, "the scenario the files hold");
      } catch (const std::exception& e) {
        throw SeriesError(e.what());
      }
      scenario_text = text;
      count = this_count;
      if (count != layout_.snapshot_count()) {
        in.fail("its snapshot_count is " + std::to_string(count) + ", but its scenario writes " +
                std::to_string(layout_.snapshot_count()) + " snapshots");
      }
    } else if (text != scenario_text || this_count != count) {
      in.fail("it belongs to another run than '" + members_.front().path + "': their " +
              (text != scenario_text ? "scenario_toml" : "snapshot_count") + " differ");
    }
    if (number < 0 || number >= count) {
      in.fail("its snapshot_number " + std::to_string(number) + " is not one of the run's snapshots 0 .. " +
              std::to_string(count - 1));
    }
    std::size_t nt = 0, ny = 0, nx = 0;
    const int dims[3] = {in.dimension("time", nt), in.dimension("y", ny), in.dimension("x", nx)};
    if (nt != 1) in.fail("it holds " + std::to_string(nt) + " times; a file of the series holds one snapshot");
    if (ny != static_cast<std::size_t>(layout_.ny()) || nx != static_cast<std::size_t>(layout_.nx())) {
      in.fail("its fields are " + std::to_string(nx) + " x " + std::to_string(ny) + " cells, its scenario's " +
              std::to_string(layout_.nx()) + " x " + std::to_string(layout_.ny()));
    }
    for (const auto& f : layout_.fields) in.check_field(f.name, dims);
    const double t = in.time();
    const std::int32_t expected = layout_.snapshot_times_s[static_cast<std::size_t>(number)];
    if (t != static_cast<double>(expected)) {
      char found[32];
      std::snprintf(found, sizeof found, "%.17g", t);
      in.fail("its time is " + std::string(found) + " s, but snapshot " + std::to_string(number) +
              " of its scenario is at " + std::to_string(expected) + " s");
    }
    members_.push_back({path, number});
  }
  std::stable_sort(members_.begin(), members_.end(),
                   [](const Member& a, const Member& b) { return a.snapshot < b.snapshot; });
  const auto same = std::adjacent_find(members_.begin(), members_.end(),
                                       [](const Member& a, const Member& b) { return a.snapshot == b.snapshot; });
  if (same != members_.end()) {
    throw SeriesError("'" + same->path + "' and '" + std::next(same)->path + "' both hold snapshot " +
                      std::to_string(same->snapshot));
  }
}

std::vector<std::int64_t> Series::missing() const {
  std::vector<std::int64_t> gaps;
  for (std::size_t m = 1; m < members_.size(); ++m) {
    for (std::int64_t k = members_[m - 1].snapshot + 1; k < members_[m].snapshot; ++k) gaps.push_back(k);
  }
  return gaps;
}

void Series::read(const Member& m, const std::function<void(std::size_t, std::span<const float>)>& each) const {
  const NcInput in(m.path);
  std::vector<float> values(layout_.values_per_field());
  for (std::size_t f = 0; f < layout_.fields.size(); ++f) {
    in.read_field(layout_.fields[f].name, static_cast<std::size_t>(layout_.ny()),
                  static_cast<std::size_t>(layout_.nx()), values);
    each(f, values);
  }
}

}  // namespace plume::snapshot
