#!/usr/bin/python3
"""Maps and an animation from the snapshot file of a plume run, or from the
files of its NetCDF series.

    plot_snapshots.py [FILE] [--scenario SCENARIO] [--species NAME] [--time T | --snapshot K] [-o OUT.png]
                      [--animate OUT.gif] [--region R]
    plot_snapshots.py RUN_0000.nc RUN_0001.nc ... [--species NAME] ...

For one snapshot (the last one unless --time or --snapshot says otherwise) it
draws one PNG with four maps: pollutant, height, vorticity and wind speed,
axes in km, colour bars with units and the model time in the title. With
--animate it draws an animated GIF of the pollutant over all snapshots.
--region limits the maps to part of the domain ('auto': where the pollutant
goes). --scenario names the TOML scenario of the run that wrote FILE, for its
grid, spacing, species and snapshot times; without it, the file is read as
one of the reference case. A NetCDF series (one file per snapshot, as the run
writes with --output RUN.nc) holds its scenario: no --scenario. --species
picks the species whose pollutant is drawn, by default the first declared.

Runs on Debian's python3 with python3-numpy, python3-matplotlib and (for the
GIF) python3-pil. The file is mapped into memory, not read whole; its framing
is checked first, and a damaged file is reported with the byte offset of the
damage.
"""
import argparse
import math
import os
import re
import sys
import tempfile

import numpy as np

POLLUTANT_FIELDS = ["q", "dqdt"]  # the records of each species
FLOW_FIELDS = ["h", "us", "vs", "div", "vort"]  # then the flow's, once
PANEL_FIGSIZE, PANEL_DPI = (12.0, 10.0), 100  # 1200 x 1000 pixels
ANIMATION_FIGSIZE, ANIMATION_DPI = (7.0, 6.0), 100  # 700 x 600 pixels
SPECIES_MAP_SIZE = (6.0, 5.0)  # each species' map with --all-species: 600 x 500 pixels


class DamagedFile(Exception):
    pass


class OtherRun(Exception):
    """A file that does not fit the layout: of another grid, or with more
    snapshots than the scenario writes."""


# ---------------------------------------------------------------------------
# The run's scenario. The snapshot file has no header: its grid, spacing and
# snapshot times come from the TOML scenario of the run that wrote it (read
# here with the same keys, reference defaults and refusals as the program),
# or, without one, from the reference case.

REFERENCE = {
    "grid": {"nx": 401, "ny": 401, "spacing_m": 1000.0},
    "time": {"duration_s": 57600, "progress_every": 100, "snapshot_every_s": 1800.0},
    "wind": {"speed_m_s": 6.0, "towards_deg": 120.0},
    "emission": {"first_s": 43200, "every_s": 3600.0},
    "source": [{"x_m": 10000.0, "y_m": 200000.0, "radius_m": 2000.0, "peak": 1.0, "species": None},
               {"x_m": 180000.0, "y_m": 200000.0, "radius_m": 2000.0, "peak": 1.0, "species": None}],
    # [[species]]: none declared is one unnamed pollutant that every source feeds.
    "species": [],
}
SOURCE_DEFAULTS = {"radius_m": 2000.0, "peak": 1.0}
SOURCE_KEYS = ("x_m", "y_m", "radius_m", "peak", "species")
SOURCE_NUMBERS = ("x_m", "y_m", "radius_m", "peak")
SPECIES_KEYS = ("name", "first_s", "every_s")
SPECIES_NAME = re.compile(r"[A-Za-z][A-Za-z0-9_]*")
MIN_POINTS = 4  # the model's stencils need this many points in x and in y
MAX_DURATION = 16777216  # 2^24 s: past it the model time is not exact in a float
MAX_RECORD_BYTES = 2147483639  # the largest field held by one record


class ScenarioError(Exception):
    """A scenario the program would refuse: "FILE:LINE:COLUMN: what is wrong"."""


def _float_text(f):
    """The shortest text of a float32 value: 1000, 1012.5, 0.699999988079071."""
    d = float(f)
    if d.is_integer() and abs(d) < 1e16:
        return str(int(d))
    return repr(d)


def _type_name(v):
    if isinstance(v, bool):
        return "a boolean"
    if isinstance(v, int):
        return "an integer"
    if isinstance(v, float):
        return "a floating-point number"
    if isinstance(v, str):
        return "a string"
    if isinstance(v, dict):
        return "a table"
    if isinstance(v, list):
        return "an array"
    return {"datetime": "a date-time", "date": "a date", "time": "a time"}.get(type(v).__name__, "a value")


class _Positions:
    """Where the tables and keys of a TOML text stand, found line by line:
    enough to point at the line and column of a key written as `key = value`
    under a [table] or [[table]] header; 1:1 for anything else."""

    HEADER = re.compile(r"\s*(\[\[?)\s*([A-Za-z0-9_.\-\"' ]+?)\s*\]\]?\s*(#.*)?$")
    KEY = re.compile(r"(\s*)([A-Za-z0-9_\-]+|\"[^\"]*\"|'[^']*')\s*=\s*")

    def __init__(self, text):
        self.keys = {}  # (table, index, key) -> (line, key column, value column)
        self.headers = {}  # (table, index) -> (line, column of the bracket, column of the name)
        table, counts = None, {}
        for number, line in enumerate(text.splitlines(), start=1):
            m = self.HEADER.match(line)
            if m:
                table = m.group(2).strip().strip("\"'")
                index = counts.get(table, 0)
                if m.group(1) == "[[":
                    counts[table] = index + 1
                self.headers.setdefault((table, index), (number, m.start(1) + 1, m.start(2) + 1))
                continue
            m = self.KEY.match(line)
            if m:
                key = m.group(2).strip("\"'")
                index = counts.get(table, 1) - 1 if table in counts else 0
                self.keys.setdefault((table, index, key), (number, len(m.group(1)) + 1, m.end() + 1))

    def key(self, table, key, index=0):
        line, column, _ = self.keys.get((table, index, key), (None, None, None))
        return (line, column) if line else self.header(table, index)

    def value(self, table, key, index=0):
        line, _, column = self.keys.get((table, index, key), (None, None, None))
        return (line, column) if line else self.header(table, index)

    def header(self, table, index=0):
        """Where the [table] or the index-th [[table]] header begins."""
        line, column, _ = self.headers.get((table, index), (1, 1, 1))
        return (line, column)

    def table_name(self, table):
        """Where the name in the [table] header stands."""
        line, _, column = self.headers.get((table, 0), (1, 1, 1))
        return (line, column)


def read_scenario(path):
    """The scenario of the TOML file `path` as a dict of tables like
    REFERENCE, with float values rounded to float32 as the program reads
    them. Raises ScenarioError."""
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except OSError as e:
        raise ScenarioError(f"{path}: cannot read the scenario: {e.strerror}") from None
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        raise ScenarioError(f"{path}:1:1: not a TOML file: {e.reason}") from None
    return parse_scenario(text, path)


def parse_scenario(text, path):
    """The scenario of a TOML text, as read_scenario reads a file; `path`
    stands for the file in the messages."""
    import tomllib

    try:
        doc = tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        m = re.search(r"^(.*) \(at line (\d+), column (\d+)\)$", str(e))
        where, what = (f"{m.group(2)}:{m.group(3)}", m.group(1)) if m else ("1:1", str(e))
        raise ScenarioError(f"{path}:{where}: not a TOML file: {what}") from None
    pos = _Positions(text)

    def fail(at, what):
        raise ScenarioError(f"{path}:{at[0]}:{at[1]}: {what}")

    def real(value, name, at):
        if isinstance(value, int) and not isinstance(value, bool):
            return np.float32(value)
        if not isinstance(value, float):
            fail(at, f"{name} must be a number, not {_type_name(value)}")
        if not math.isfinite(value):
            fail(at, f"{name} must be finite, not {value!r}")
        with np.errstate(over="ignore"):
            f = np.float32(value)
        if not np.isfinite(f):
            fail(at, f"{name} = {value!r} is too large for single precision")
        return f

    def whole(value, name, at):
        if not isinstance(value, int) or isinstance(value, bool):
            fail(at, f"{name} must be an integer, not {_type_name(value)}")
        if not -2 ** 31 <= value < 2 ** 31:
            fail(at, f"{name} = {value} is out of range")
        return value

    def read_keys(table, values, into, index=0):
        for key, value in values.items():
            if key not in into:
                fail(pos.key(table, key, index),
                     f"unknown key '{key}' in [{table}]; its keys are {', '.join(into)}")
            at = pos.value(table, key, index)
            name = f"{table}.{key}"
            into[key] = real(value, name, at) if isinstance(into[key], (float, np.floating)) else whole(value, name, at)

    s = {table: dict(v) if isinstance(v, dict) else [dict(x) for x in v] for table, v in REFERENCE.items()}
    source_at = []
    for key, value in doc.items():
        if key in ("grid", "time", "wind", "emission"):
            if not isinstance(value, dict):
                fail(pos.value(None, key), f"[{key}] must be a table, not {_type_name(value)}")
            read_keys(key, value, s[key])
        elif key == "source":
            if not isinstance(value, list):
                fail(pos.value(None, key), f"source must be a list of [[source]] tables, not {_type_name(value)}")
            if not value:
                fail(pos.value(None, key), "no source: the list of sources is empty; give at least one [[source]]")
            s["source"] = []
            for n, item in enumerate(value):
                name = f"source {n + 1}"
                here = pos.header("source", n)
                if not isinstance(item, dict):
                    fail(here, f"{name} must be a table, not {_type_name(item)}")
                p = {"x_m": None, "y_m": None, **{k: np.float32(v) for k, v in SOURCE_DEFAULTS.items()},
                     "species": None}
                for k, v in item.items():
                    if k not in SOURCE_KEYS:
                        fail(pos.key("source", k, n), f"unknown key '{k}' in [source]; its keys are "
                                                      f"{', '.join(SOURCE_KEYS)}")
                    if k == "species":
                        if not isinstance(v, str):
                            fail(pos.value("source", k, n), f"source.species must be a string, not {_type_name(v)}")
                        p[k] = v
                    else:
                        p[k] = real(v, f"source.{k}", pos.value("source", k, n))
                for k in ("x_m", "y_m"):
                    if p[k] is None:
                        fail(here, f"{name} has no {k}")
                for k in ("radius_m", "peak"):
                    if not p[k] > 0:
                        fail(pos.value("source", k, n) if k in item else here,
                             f"{name}: {k} must be positive, not {_float_text(p[k])}")
                s["source"].append(p)
                source_at.append(here)
        elif key == "species":
            if not isinstance(value, list):
                fail(pos.value(None, key), f"species must be a list of [[species]] tables, not {_type_name(value)}")
            for n, item in enumerate(value):
                if not isinstance(item, dict):
                    fail(pos.header("species", n), f"species {n + 1} must be a table, not {_type_name(item)}")
                sp = {"name": None, "first_s": None, "every_s": None}
                for k, v in item.items():
                    if k not in SPECIES_KEYS:
                        fail(pos.key("species", k, n), f"unknown key '{k}' in [species]; its keys are "
                                                       f"{', '.join(SPECIES_KEYS)}")
                    at, name = pos.value("species", k, n), f"species.{k}"
                    if k == "name":
                        if not isinstance(v, str):
                            fail(at, f"{name} must be a string, not {_type_name(v)}")
                        sp[k] = v
                    else:
                        sp[k] = whole(v, name, at) if k == "first_s" else real(v, name, at)
                s["species"].append(sp)
        elif isinstance(value, dict) or (isinstance(value, list) and value and all(isinstance(x, dict) for x in value)):
            fail(pos.table_name(key), f"unknown table [{key}]; the tables are [grid], [time], [wind], [emission], "
                                  "[[source]] and [[species]]")
        else:
            fail(pos.key(None, key), f"unknown key '{key}'; the keys belong to the tables [grid], [time], [wind], "
                                     "[emission], [[source]] and [[species]]")
    for k in ("spacing_m",):
        s["grid"][k] = np.float32(s["grid"][k])
    for table, key in (("time", "snapshot_every_s"), ("wind", "speed_m_s"), ("wind", "towards_deg"),
                       ("emission", "every_s")):
        s[table][key] = np.float32(s[table][key])
    for p in s["source"]:
        for k in SOURCE_NUMBERS:
            p[k] = np.float32(p[k])
    _check(s, doc, pos, fail)
    _check_species(s, doc, pos, fail)
    return s


def _check_species(s, doc, pos, fail):
    """The declared species, their schedules (by default [emission]'s) and
    the species each source names, checked as the program checks them."""
    if "species" in doc and not s["species"]:
        fail(pos.value(None, "species"), "no species: the list of species is empty; leave species out for one "
                                         "pollutant or give at least one [[species]]")
    names = []
    for n, sp in enumerate(s["species"]):
        label = f"species {n + 1}"
        if sp["name"] is None:
            fail(pos.header("species", n), f"{label} has no name")
        at = pos.value("species", "name", n)
        if not SPECIES_NAME.fullmatch(sp["name"]):
            fail(at, f"{label}: name '{sp['name']}' is not a species name: letters, digits and _, starting with "
                     "a letter")
        if sp["name"] in names:
            fail(at, f"{label}: name '{sp['name']}' is already the name of species {names.index(sp['name']) + 1}")
        names.append(sp["name"])
        if sp["first_s"] is None:
            sp["first_s"] = s["emission"]["first_s"]
        if sp["every_s"] is None:
            sp["every_s"] = np.float32(s["emission"]["every_s"])
        if sp["first_s"] < 0:
            fail(pos.value("species", "first_s", n), f"{label}: first_s must not be negative, not {sp['first_s']}")
        if not sp["every_s"] > 0:
            fail(pos.value("species", "every_s", n),
                 f"{label}: every_s must be positive, not {_float_text(sp['every_s'])}")
    # The sources the file gives; the reference's, kept when it gives none,
    # feed no declared species.
    given = s["source"] if "source" in doc else []
    for n, p in enumerate(given):
        label = f"source {n + 1}"
        if not names:
            if p["species"] is not None:
                fail(pos.value("source", "species", n),
                     f"{label} names species '{p['species']}', but the scenario declares no species; declare it in "
                     "a [[species]] table or leave species out")
            continue
        if p["species"] is None:
            fail(pos.header("source", n),
                 f"{label} names no species; with [[species]] declared, every source gives species = NAME")
        if p["species"] not in names:
            fail(pos.value("source", "species", n),
                 f"{label}: species '{p['species']}' is not declared; the species are {', '.join(names)}")
    for n, name in enumerate(names):
        if not any(p["species"] == name for p in given):
            fail(pos.header("species", n),
                 f"species {n + 1} ('{name}') has no source; give it a [[source]] with species = \"{name}\"")


def _check(s, doc, pos, fail):
    """The limits of the model, as the program checks them."""
    def where(table, key):
        return pos.value(table, key) if key in doc.get(table, {}) else (1, 1)

    g, t, w, e = s["grid"], s["time"], s["wind"], s["emission"]
    for key, axis in (("nx", "x"), ("ny", "y")):
        if g[key] < MIN_POINTS:
            fail(where("grid", key), f"grid.{key} = {g[key]} is too small: the model's stencils need at least "
                                     f"{MIN_POINTS} points in {axis}")
        if g[key] > 2 ** 31 - 1 - 4:
            fail(where("grid", key), f"grid.{key} = {g[key]} is too large for the grid's indices")
    dx = g["spacing_m"]
    if not dx > 0:
        fail(where("grid", "spacing_m"), f"grid.spacing_m must be positive, not {_float_text(dx)}")
    number = (196200.0 + 200.0) * (1.0 / (float(dx) * float(dx)) + 1.0 / (float(dx) * float(dx)))
    if number > 0.5:
        fail(where("grid", "spacing_m"),
             f"grid.spacing_m = {_float_text(dx)} m makes the momentum equations unstable: (196200 + 200) m^2/s x "
             f"1 s x (1/dx^2 + 1/dy^2) = {number:.3g}, more than 0.5; the spacing must be at least 886.3 m")
    if t["duration_s"] <= 0:
        fail(where("time", "duration_s"), f"time.duration_s must be positive, not {t['duration_s']}")
    if t["duration_s"] > MAX_DURATION:
        fail(where("time", "duration_s"), f"time.duration_s = {t['duration_s']} is past 16777216 s (2^24 s), where "
                                          "the model time stops being exact in single precision")
    if t["progress_every"] <= 0:
        fail(where("time", "progress_every"), f"time.progress_every must be positive, not {t['progress_every']}")
    if not t["snapshot_every_s"] > 0:
        fail(where("time", "snapshot_every_s"),
             f"time.snapshot_every_s must be positive, not {_float_text(t['snapshot_every_s'])}")
    if e["first_s"] < 0:
        fail(where("emission", "first_s"), f"emission.first_s must not be negative, not {e['first_s']}")
    if not e["every_s"] > 0:
        fail(where("emission", "every_s"), f"emission.every_s must be positive, not {_float_text(e['every_s'])}")
    if w["speed_m_s"] < 0:
        fail(where("wind", "speed_m_s"), f"wind.speed_m_s must not be negative, not {_float_text(w['speed_m_s'])}")
    # The wind components in single precision (numpy's float32 cos and sin
    # may differ from the C library's in the last bit; the program decides
    # the cases that close to the limit).
    f32 = np.float32
    angle = w["towards_deg"] * (f32(np.pi) / f32(180.0))
    u, v = w["speed_m_s"] * np.cos(angle), w["speed_m_s"] * np.sin(angle)
    courant = (abs(f32(u)) + abs(f32(v))) * f32(1.0) / dx
    if courant > 1:
        given = [k for k in (("wind", "speed_m_s"), ("wind", "towards_deg"), ("grid", "spacing_m"))
                 if k[1] in doc.get(k[0], {})]
        fail(where(*given[0]) if given else (1, 1),
             f"a wind of {_float_text(w['speed_m_s'])} m/s towards {_float_text(w['towards_deg'])} degrees moves "
             f"the pollutant {float(courant):.3g} cells per step on a {_float_text(dx)} m grid "
             "((|u| + |v|) x 1 s / spacing_m), more than 1")
    x_end, y_end = f32(g["nx"] - 1) * dx, f32(g["ny"] - 1) * dx
    for n, p in enumerate(s["source"]):
        if not (0 <= p["x_m"] <= x_end and 0 <= p["y_m"] <= y_end):
            grid_keys = [k for k in ("nx", "ny", "spacing_m") if k in doc.get("grid", {})]
            at = (pos.header("source", n) if "source" in doc
                  else where("grid", grid_keys[0]) if grid_keys else (1, 1))
            fail(at,
                 f"source {n + 1} at ({_float_text(p['x_m'])}, {_float_text(p['y_m'])}) m lies outside the domain "
                 f"[0, {_float_text(x_end)}] x [0, {_float_text(y_end)}] m")


class Layout:
    """What the snapshot file does not say: its grid, spacing, snapshot times
    and sources, from the run's scenario."""

    def __init__(self, s, scenario_file=None, origin=None):
        self.nx, self.ny = s["grid"]["nx"], s["grid"]["ny"]
        self.spacing_km = float(s["grid"]["spacing_m"]) / 1000.0
        self.duration_s = s["time"]["duration_s"]
        # Where the maps draw each source, in km. The model puts point i at
        # (i - 1) x spacing; the maps draw it as the cell centred half a cell
        # further on, (i - 1) x spacing + spacing / 2, and so the source too.
        half = self.spacing_km / 2.0
        self.sources = [(float(p["x_m"]) / 1000.0 + half, float(p["y_m"]) / 1000.0 + half, p["species"])
                        for p in s["source"]]
        # The declared species' names; none: one unnamed pollutant.
        self.species = [sp["name"] for sp in s["species"]]
        # The records of a snapshot: q and dqdt of each species in the order
        # declared, then the flow's fields.
        self.fields = [self.pollutant(f, name) for name in (self.species or [None]) for f in POLLUTANT_FIELDS]
        self.fields += FLOW_FIELDS
        self.scenario_file = scenario_file
        if origin is None:
            origin = f"the scenario {scenario_file}" if scenario_file else "the reference case"
        self.origin = origin  # what the layout comes from, for messages
        # The passes n = 0 .. duration_s whose time, a float, the cadence
        # divides exactly (float remainder zero).
        passes = np.arange(self.duration_s + 1, dtype=np.float32)
        every = np.float32(s["time"]["snapshot_every_s"])
        self.times = [int(n) for n in np.flatnonzero(np.fmod(passes, every) == 0)]
        self.record_bytes = 4 * self.nx * self.ny
        if self.record_bytes > MAX_RECORD_BYTES:
            raise ScenarioError(f"the fields of {self.origin} ({self.nx} x {self.ny}) hold {self.record_bytes} bytes, "
                                f"more than the {MAX_RECORD_BYTES} of one record; the tools do not read fields split "
                                "into sub-records")
        self.frame_bytes = self.record_bytes + 8
        self.record = np.dtype([("lead", "<i4"), ("data", "<f4", (self.ny, self.nx)), ("trail", "<i4")])

    @staticmethod
    def pollutant(field, species):
        """The record of a pollutant field of a species: "q", or "q_so2"."""
        return field if species is None else f"{field}_{species}"

    def sources_of(self, species):
        """Where the sources that feed a species are drawn, in km."""
        return [(x, y) for x, y, of in self.sources if of == species]

    @property
    def extent_km(self):
        return (0.0, self.nx * self.spacing_km, 0.0, self.ny * self.spacing_km)

    def centres_km(self, n):
        return (np.arange(n) + 0.5) * self.spacing_km

    def hint(self):
        return ("if it comes from a run of another scenario, give that scenario with --scenario FILE"
                if self.scenario_file is None else "give the scenario of the run that wrote it with --scenario FILE")

    def record_size_mismatch(self, found):
        return (f"its records hold {found} bytes (a field of {found // 4} float32 values), not the "
                f"{self.record_bytes} bytes of a field of {self.nx} x {self.ny} cells of {self.origin}; {self.hint()}")

    def too_many_snapshots(self):
        return (f"it holds more snapshots than the {len(self.times)} of {self.origin} "
                f"(t = 0 .. {self.times[-1]} s); {self.hint()}")


def layout_of(scenario_file):
    """The layout of a run of scenario_file, or of the reference case when
    it is None. Raises ScenarioError."""
    if scenario_file is None:
        return Layout(REFERENCE)
    return Layout(read_scenario(scenario_file), scenario_file)


# ---------------------------------------------------------------------------
# The snapshot file.

class Snapshots:
    """The snapshots at hand of a run, from its snapshot file or its NetCDF
    series: the i-th is snapshot numbers[i] of the run, at times[i] s, and
    field(i, name) is its field `name` as a [j, i] array."""

    def __init__(self, layout, numbers, read, source):
        self.layout = layout
        self.numbers = list(numbers)
        self.times = [layout.times[k] for k in self.numbers]
        self._read = read
        self.source = source  # what the title names: the file, or the first and last of the series

    def __len__(self):
        return len(self.numbers)

    def field(self, i, name):
        return self._read(i, name)


def record_name(r, layout):
    F = len(layout.fields)
    return f"record {layout.fields[r % F]} of snapshot {r // F}"


def open_snapshots(path, layout):
    """Checks the framing of the whole snapshot file and returns its
    Snapshots, read through a read-only memory map. Raises OtherRun for a
    file that does not fit the layout, DamagedFile naming the offset of the
    first damage, OSError when the file cannot be read."""
    R, F = layout.record_bytes, layout.frame_bytes
    per_snapshot = len(layout.fields)
    if os.path.isdir(path):
        raise OSError(f"cannot read '{path}': it is a directory")
    with open(path, "rb") as f:  # the error of a missing or unreadable file names the path
        size = os.fstat(f.fileno()).st_size
        records, rest = divmod(size, F)
        first = int.from_bytes(f.read(4), "little", signed=True) if size >= 4 else None
        if first is not None and first != R and first > 0 and first % 4 == 0 and first <= MAX_RECORD_BYTES:
            # The first record framed with another size, its trailing marker
            # matching where the file shows it: the file of another grid.
            trail = None
            if size >= first + 8:
                f.seek(4 + first)
                trail = int.from_bytes(f.read(4), "little", signed=True)
            if trail is None or trail == first:
                raise OtherRun(layout.record_size_mismatch(first))
        tail = b""
        if rest:
            f.seek(records * F)
            tail = f.read(4)
    if size == 0:
        raise DamagedFile(f"at byte 0: the file is empty; expected the leading marker {R} of {record_name(0, layout)}")
    frames = np.memmap(path, dtype=layout.record, mode="r", shape=(records,)) if records else np.empty(0, layout.record)

    bad = np.flatnonzero((frames["lead"] != R) | (frames["trail"] != R))
    if bad.size:
        r = int(bad[0])
        start = r * F
        if frames["lead"][r] != R:
            raise DamagedFile(f"at byte {start}: the leading marker of {record_name(r, layout)} is {frames['lead'][r]}; "
                              f"expected {R}, the size of one {layout.nx} x {layout.ny} float32 field")
        raise DamagedFile(f"at byte {start + 4 + R}: the trailing marker of {record_name(r, layout)} is "
                          f"{frames['trail'][r]}; expected {R}, equal to its leading marker")
    if rest:
        start = records * F
        lead = int.from_bytes(tail, "little", signed=True) if len(tail) == 4 else None
        if records % per_snapshot == 0 and records > 0 and lead != R:
            count = "1 byte follows" if rest == 1 else f"{rest} bytes follow"
            raise DamagedFile(f"at byte {start}: {count} the last complete snapshot and cannot start a record; "
                              f"expected the end of the file or the leading marker {R}")
        if lead is not None and lead != R:
            raise DamagedFile(f"at byte {start}: the leading marker of {record_name(records, layout)} is {lead}; "
                              f"expected {R}")
        raise DamagedFile(f"at byte {size}: the file ends inside {record_name(records, layout)} (which starts at byte "
                          f"{start}) after {rest} of its {F} bytes; expected the rest of the record")
    if records % per_snapshot:
        raise DamagedFile(f"at byte {size}: the file ends after {record_name(records - 1, layout)}, which has only "
                          f"{records % per_snapshot} of its {per_snapshot} records; expected the leading marker {R} "
                          f"of {record_name(records, layout)}")
    n = records // per_snapshot
    if n > len(layout.times):
        raise OtherRun(layout.too_many_snapshots())
    frames = frames.reshape(n, per_snapshot)
    return Snapshots(layout, range(n), lambda k, name: frames[k, layout.fields.index(name)]["data"],
                     os.path.basename(path))


# ---------------------------------------------------------------------------
# The NetCDF series a run writes with --output RUN.nc: one file per snapshot,
# each holding its fields at one time and, in global attributes, the run's
# scenario (scenario_toml), the snapshot's number and the run's number of
# snapshots. The series says what it holds: no --scenario.

class NotASeries(Exception):
    """Files that are not, or do not form, one run's series."""


def is_netcdf_path(path):
    return path.endswith(".nc") and len(path) > 3


def open_series(paths):
    """The Snapshots of the files of a series, given in any order, with the
    layout of the scenario they hold. Raises NotASeries naming the file and
    what is wrong."""
    import netCDF4

    def attribute(ds, path, name):
        if name not in ds.ncattrs():
            raise NotASeries(f"'{path}': not a file of a plume run's NetCDF series: it has no global attribute "
                             f"{name}")
        return ds.getncattr(name)

    members, text, layout = {}, None, None
    for path in paths:
        try:
            ds = netCDF4.Dataset(path)
        except OSError as e:
            raise NotASeries(f"cannot open '{path}': {e.strerror or e}") from None
        with ds:
            this_text = str(attribute(ds, path, "scenario_toml"))
            number = int(attribute(ds, path, "snapshot_number"))
            count = int(attribute(ds, path, "snapshot_count"))
            if layout is None:
                try:
                    s = parse_scenario(this_text, f"{path} (scenario_toml)")
                except ScenarioError as e:
                    raise NotASeries(str(e)) from None
                layout = Layout(s, origin="the scenario the files hold")
                text, run_count = this_text, count
                if count != len(layout.times):
                    raise NotASeries(f"'{path}': its snapshot_count is {count}, but its scenario writes "
                                     f"{len(layout.times)} snapshots")
            elif this_text != text or count != run_count:
                first = next(iter(members.values()))
                differ = "scenario_toml" if this_text != text else "snapshot_count"
                raise NotASeries(f"'{path}': it belongs to another run than '{first}': their {differ} differ")
            if not 0 <= number < len(layout.times):
                raise NotASeries(f"'{path}': its snapshot_number {number} is not one of the run's snapshots 0 .. "
                                 f"{len(layout.times) - 1}")
            for name in layout.fields:
                if name not in ds.variables:
                    raise NotASeries(f"'{path}': it has no variable {name}")
            times = ds["time"][:] if "time" in ds.variables else []
            if len(times) != 1:
                raise NotASeries(f"'{path}': it holds {len(times)} times; a file of the series holds one snapshot")
            if float(times[0]) != layout.times[number]:
                raise NotASeries(f"'{path}': its time is {float(times[0]):.17g} s, but snapshot {number} of its "
                                 f"scenario is at {layout.times[number]} s")
            if number in members:
                raise NotASeries(f"'{members[number]}' and '{path}' both hold snapshot {number}")
            members[number] = path
    numbers = sorted(members)
    missing = sorted(set(range(numbers[0], numbers[-1] + 1)) - set(numbers))
    if missing:
        raise NotASeries(f"{members[numbers[0]]} .. {members[numbers[-1]]}: the series lacks the file"
                         f"{' of snapshot' if len(missing) == 1 else 's of snapshots'} "
                         f"{', '.join(map(str, missing))}")

    def read(i, name):
        with netCDF4.Dataset(members[numbers[i]]) as ds:
            ds.set_auto_maskandscale(False)
            return np.asarray(ds[name][0], dtype="<f4")

    first, last = (os.path.basename(members[k]) for k in (numbers[0], numbers[-1]))
    return Snapshots(layout, numbers, read, first if first == last else f"{first} .. {last}")


def expand_files(names):
    """The files named, a glob such as 'run_*.nc' standing for the files it
    matches (for a shell that left it unexpanded). Raises NotASeries when
    a glob matches nothing."""
    import glob

    files = []
    for name in names:
        if glob.has_magic(name) and not os.path.exists(name):
            matched = sorted(glob.glob(name))
            if not matched:
                raise NotASeries(f"no file matches '{name}'")
            files += matched
        else:
            files.append(name)
    return files


def parse_time(text):
    """'16h', '90min', '1800s' or '1800' (seconds) -> seconds."""
    m = re.fullmatch(r"\s*([0-9]*\.?[0-9]+)\s*(h|min|s)?\s*", text)
    if not m:
        raise ValueError(f"cannot read the time '{text}': give e.g. 16h, 90min or 1800s")
    return float(m.group(1)) * {"h": 3600.0, "min": 60.0, "s": 1.0, None: 1.0}[m.group(2)]


def parse_region(text, snaps, layout, q_names):
    """'X0:X1,Y0:Y1' in km, or 'auto': the area the pollutants q_names reach
    in any snapshot, with a margin of 10 km (the whole domain while there is
    none). 'Reaches' means above a thousandth of that pollutant's largest
    concentration: the advection leaves traces of order 1e-13 far from the
    puffs."""
    _, width, _, height = layout.extent_km
    if text == "auto":
        reached = np.zeros((layout.ny, layout.nx), dtype=bool)
        for q_name in q_names:
            q_all = [snaps.field(i, q_name) for i in range(len(snaps))]
            peak = max(float(np.nanmax(np.abs(np.where(np.isfinite(q), q, 0.0)))) for q in q_all)
            for q in q_all:
                reached |= np.abs(q) > 1e-3 * peak
        if not reached.any():
            return layout.extent_km
        js, is_ = np.nonzero(reached)
        dx = layout.spacing_km
        return (max(0.0, is_.min() * dx - 10.0), min(width, (is_.max() + 1) * dx + 10.0),
                max(0.0, js.min() * dx - 10.0), min(height, (js.max() + 1) * dx + 10.0))
    number = r"\s*([0-9]*\.?[0-9]+)\s*"
    m = re.fullmatch(f"{number}:{number},{number}:{number}", text)
    if not m:
        raise ValueError(f"cannot read the region '{text}': give X0:X1,Y0:Y1 in km (e.g. 0:250,150:300) or auto")
    x0, x1, y0, y1 = map(float, m.groups())
    if not (x0 < x1 <= width and y0 < y1 <= height):
        domain = (f"0 .. {width:g} km in x and y" if width == height
                  else f"0 .. {width:g} km in x, 0 .. {height:g} km in y")
        raise ValueError(f"the region '{text}' is empty or leaves the domain ({domain})")
    return (x0, x1, y0, y1)


def time_label(t):
    return f"t = {t} s ({t / 3600:g} h)"


def finite_limits(a, symmetric):
    finite = a[np.isfinite(a)]
    if finite.size == 0:
        return (-1.0, 1.0), True
    if symmetric:
        m = float(np.abs(finite).max())
        return ((-m, m) if m > 0 else (-1.0, 1.0)), m == 0
    lo, hi = float(finite.min()), float(finite.max())
    return ((lo, hi) if hi > lo else (lo, lo + 1.0)), hi == lo


def draw_map(fig, ax, data, title, unit, cmap, symmetric, extent, scale_from=None):
    """scale_from: the part of data that sets the colour range (default all)."""
    (lo, hi), constant = finite_limits(data if scale_from is None else scale_from, symmetric)
    im = ax.imshow(data, origin="lower", extent=extent, cmap=cmap, vmin=lo, vmax=hi, interpolation="nearest")
    ax.set_title(title)
    ax.set_xlabel("x (km)")
    ax.set_ylabel("y (km)")
    fig.colorbar(im, ax=ax, label=unit, shrink=0.9)
    if constant:
        value = data.flat[0]
        ax.text(0.5, 0.5, f"{value:g} everywhere", transform=ax.transAxes, ha="center", va="center",
                bbox=dict(facecolor="white", alpha=0.8))
    return im


def show_region(ax, region):
    if region is not None:
        ax.set_xlim(region[0], region[1])
        ax.set_ylim(region[2], region[3])


def mark_sources(ax, layout, species):
    """The point sources of a species, as small crosses at their centres."""
    xs, ys = zip(*layout.sources_of(species))
    ax.plot(xs, ys, "+", color="tab:cyan", markersize=7, markeredgewidth=1.2, linestyle="none")


def pollutant_title(species):
    return "pollutant q" if species is None else f"pollutant q_{species}"


def plot_snapshot(snaps, i, path, species, region=None):
    """Four maps of the i-th snapshot, the pollutant of the given species."""
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 2, figsize=PANEL_FIGSIZE, dpi=PANEL_DPI, layout="constrained")
    layout = snaps.layout
    extent = layout.extent_km
    q = snaps.field(i, layout.pollutant("q", species))
    us, vs = snaps.field(i, "us"), snaps.field(i, "vs")
    speed = np.hypot(us.astype(np.float64), vs.astype(np.float64))
    draw_map(fig, axes[0, 0], q, f"{pollutant_title(species)} (+: sources)", "concentration (model units)",
             "magma_r", False, extent)
    mark_sources(axes[0, 0], layout, species)
    draw_map(fig, axes[0, 1], snaps.field(i, "h"), "height h", "m", "RdBu_r", True, extent)
    draw_map(fig, axes[1, 0], snaps.field(i, "vort"), "relative vorticity", "s⁻¹", "PuOr_r", True, extent)
    # us and vs are stored as zero in the last column and row: leave them out
    # of the colour range, or they squeeze the flow into a narrow band.
    draw_map(fig, axes[1, 1], speed, "wind speed √(us² + vs²)", "m s⁻¹", "viridis", False, extent,
             speed[:-1, :-1])
    # Wind arrows at the cell centres, about 16 across the longer side
    # (every 25 km on the reference grid).
    step = max(1, round(max(layout.nx, layout.ny) / 16))
    sx, sy = slice(step // 2, layout.nx - 1, step), slice(step // 2, layout.ny - 1, step)
    axes[1, 1].quiver(layout.centres_km(layout.nx)[sx], layout.centres_km(layout.ny)[sy], us[sy, sx], vs[sy, sx],
                      color="white", width=0.003)
    for ax in axes.flat:
        show_region(ax, region)
    fig.suptitle(f"plume: {time_label(snaps.times[i])}, snapshot {snaps.numbers[i]} of 0 .. {snaps.numbers[-1]} "
                 f"({snaps.source})")
    save_atomically(path, lambda tmp: fig.savefig(tmp, format="png", dpi=PANEL_DPI))
    plt.close(fig)


def plot_species(snaps, i, path, region=None):
    """One map of the pollutant of each declared species at the i-th
    snapshot, side by side (three to a row), each with its own sources."""
    import matplotlib.pyplot as plt

    layout = snaps.layout
    n = len(layout.species)
    columns = min(n, 3)
    rows = math.ceil(n / columns)
    fig, axes = plt.subplots(rows, columns, figsize=(SPECIES_MAP_SIZE[0] * columns, SPECIES_MAP_SIZE[1] * rows),
                             dpi=PANEL_DPI, layout="constrained", squeeze=False)
    for ax, species in zip(axes.flat, layout.species):
        draw_map(fig, ax, snaps.field(i, layout.pollutant("q", species)), f"{pollutant_title(species)} (+: sources)",
                 "concentration (model units)", "magma_r", False, layout.extent_km)
        mark_sources(ax, layout, species)
        show_region(ax, region)
    for ax in axes.flat[n:]:
        ax.set_visible(False)
    fig.suptitle(f"plume: {time_label(snaps.times[i])}, snapshot {snaps.numbers[i]} of 0 .. {snaps.numbers[-1]} "
                 f"({snaps.source})")
    save_atomically(path, lambda tmp: fig.savefig(tmp, format="png", dpi=PANEL_DPI))
    plt.close(fig)


def animate(snaps, path, fps, species, region=None):
    import matplotlib.pyplot as plt
    from matplotlib.animation import FuncAnimation, PillowWriter

    layout = snaps.layout
    n = len(snaps)
    q_all = [snaps.field(i, layout.pollutant("q", species)) for i in range(n)]
    vmax = max((float(np.nanmax(np.where(np.isfinite(q), q, np.nan), initial=0.0)) for q in q_all), default=0.0)
    vmax = vmax if vmax > 0 else 1.0
    # A fixed layout: the frames are drawn by the writer, where a layout
    # engine would not settle before the first frame.
    fig, ax = plt.subplots(figsize=ANIMATION_FIGSIZE, dpi=ANIMATION_DPI)
    fig.subplots_adjust(left=0.1, right=0.97, bottom=0.09, top=0.94)
    im = ax.imshow(q_all[0], origin="lower", extent=layout.extent_km, cmap="magma_r", vmin=0.0, vmax=vmax,
                   interpolation="nearest")
    mark_sources(ax, layout, species)
    ax.set_xlabel("x (km)")
    ax.set_ylabel("y (km)")
    fig.colorbar(im, ax=ax, label="concentration (model units)", shrink=0.9)
    title = ax.set_title("")
    show_region(ax, region)

    def frame(k):
        im.set_data(q_all[k])
        title.set_text(f"{pollutant_title(species)}, {time_label(snaps.times[k])}")
        return im, title

    anim = FuncAnimation(fig, frame, frames=n, blit=False)
    save_atomically(path, lambda tmp: anim.save(tmp, writer=PillowWriter(fps=fps), dpi=ANIMATION_DPI))
    plt.close(fig)


def save_atomically(path, write):
    """Writes through write(temporary path) and renames the result to path,
    so that a failure leaves no half-written image under the final name."""
    directory = os.path.dirname(os.path.abspath(path))
    base, ext = os.path.splitext(os.path.basename(path))
    tmp = None
    try:
        fd, tmp = tempfile.mkstemp(prefix=f".{base}.", suffix=f".partial{ext}", dir=directory)
        os.close(fd)
        write(tmp)
        os.chmod(tmp, 0o666 & ~_umask())
        os.replace(tmp, path)
    except OSError as e:
        raise OSError(e.errno, e.strerror or str(e), path) from e
    finally:
        if tmp is not None and os.path.exists(tmp):
            os.unlink(tmp)


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def main(argv=None):
    p = argparse.ArgumentParser(
        description="Maps of one snapshot (PNG) and an animation of the pollutant (GIF) from a plume snapshot file "
                    "or from the files of a NetCDF series.")
    p.add_argument("file", nargs="*",
                   help="snapshot file (default: ./test_withPollutant.dat), or the .nc files of a run's NetCDF series "
                        "(RUN_0000.nc ...; a glob such as 'RUN_*.nc' is expanded)")
    p.add_argument("--scenario", metavar="SCENARIO",
                   help="the TOML scenario of the run that wrote the snapshot file, for its grid, species and snapshot "
                        "times (default: the reference case, 401 x 401 cells of 1000 m, a snapshot every 1800 s for "
                        "16 h); a NetCDF series holds its own")
    species_choice = p.add_mutually_exclusive_group()
    species_choice.add_argument("--species", metavar="NAME",
                                help="the species whose pollutant is drawn (default: the first declared)")
    species_choice.add_argument("--all-species", action="store_true",
                                help="draw the PNG as one map of the pollutant of each declared species "
                                     "(plume_species_<hours>h.png by default)")
    which = p.add_mutually_exclusive_group()
    which.add_argument("--time", help="model time of the snapshot to draw: e.g. 16h, 90min, 1800s (a snapshot time)")
    which.add_argument("--snapshot", type=int, help="number of the snapshot to draw, from 0; negative counts from the end")
    p.add_argument("-o", "--output", help="PNG to write (default: plume_<hours>h.png, plume_<species>_<hours>h.png "
                                          "for a run of declared species)")
    p.add_argument("--animate", metavar="OUT.gif", help="also write an animated GIF of the pollutant over all snapshots")
    p.add_argument("--fps", type=float, default=4.0, help="frames per second of the animation (default: 4)")
    p.add_argument("--region", metavar="X0:X1,Y0:Y1",
                   help="draw only this part of the domain, in km, or 'auto' for the area the pollutant reaches")
    args = p.parse_args(argv)
    if args.fps <= 0:
        p.error("--fps must be positive")
    for name, suffix in ((args.output, ".png"), (args.animate, ".gif")):
        if name is not None and not name.lower().endswith(suffix):
            p.error(f"'{name}' should end in {suffix}")
    if args.scenario == "":
        p.error("the scenario file name is empty")
    try:
        files = expand_files(args.file or ["test_withPollutant.dat"])
    except NotASeries as e:
        print(f"plot_snapshots.py: {e}", file=sys.stderr)
        return 1
    series = any(is_netcdf_path(f) for f in files)
    if series and not all(is_netcdf_path(f) for f in files):
        p.error("give one snapshot file, or the .nc files of one series")
    if series and args.scenario is not None:
        p.error("the .nc files of a series hold their scenario: give them without --scenario")
    if not series and len(files) > 1:
        p.error("give one snapshot file, or the .nc files of one series")

    if series:
        try:
            snaps = open_series(files)
        except NotASeries as e:
            print(f"plot_snapshots.py: {e}", file=sys.stderr)
            return 1
        layout = snaps.layout
    else:
        try:
            layout = layout_of(args.scenario)
        except ScenarioError as e:
            print(f"plot_snapshots.py: {e}", file=sys.stderr)
            return 2
        try:
            snaps = open_snapshots(files[0], layout)
        except OtherRun as e:
            print(f"plot_snapshots.py: {files[0]}: {e}", file=sys.stderr)
            return 1
        except DamagedFile as e:
            print(f"plot_snapshots.py: {files[0]}: damaged file {e}", file=sys.stderr)
            return 1
        except OSError as e:
            print(f"plot_snapshots.py: {e.strerror and f'cannot open {files[0]!r}: {e.strerror}' or e}",
                  file=sys.stderr)
            return 1

    species = layout.species[0] if layout.species else None
    if args.all_species and not layout.species:
        p.error("--all-species: the run declares no species; its one pollutant is q")
    if args.species is not None:
        if not layout.species:
            p.error(f"--species {args.species}: the run declares no species; its one pollutant is q")
        if args.species not in layout.species:
            p.error(f"no species '{args.species}': the run's species are {', '.join(layout.species)}")
        species = args.species

    n = len(snaps)
    times = snaps.times
    held = "the files have" if series else "the file has"
    last = f"snapshots {snaps.numbers[0]} .. {snaps.numbers[-1]}, t = {times[0]} .. {times[-1]} s"

    k = n - 1
    if args.time is not None:
        try:
            t = parse_time(args.time)
        except ValueError as e:
            p.error(str(e))
        near = [j for j, tj in enumerate(times) if abs(tj - t) <= 1e-6]
        if not near:
            every = f"one every {layout.times[1]} s" if n > 1 else "only the one"
            p.error(f"no snapshot at t = {t:g} s: {held} {every} ({last})")
        k = near[0]
    elif args.snapshot is not None:
        if args.snapshot < 0:
            k = args.snapshot + n
        else:
            k = snaps.numbers.index(args.snapshot) if args.snapshot in snaps.numbers else -1
        if not 0 <= k < n:
            p.error(f"no snapshot {args.snapshot}: {held} {last}")

    drawn = layout.species if args.all_species else [species]
    region = None
    if args.region is not None:
        try:
            region = parse_region(args.region, snaps, layout, [layout.pollutant("q", sp) for sp in drawn])
        except ValueError as e:
            p.error(str(e))

    import matplotlib
    matplotlib.use("Agg")
    try:
        if args.animate is None or args.output or args.time is not None or args.snapshot is not None:
            name = "plume" if species is None else f"plume_{'species' if args.all_species else species}"
            out = args.output or f"{name}_{times[k] / 3600:g}h.png"
            if args.all_species:
                plot_species(snaps, k, out, region)
            else:
                plot_snapshot(snaps, k, out, species, region)
            print(f"plot_snapshots.py: {time_label(times[k])} drawn to {out}")
        if args.animate:
            animate(snaps, args.animate, args.fps, species, region)
            print(f"plot_snapshots.py: {n} snapshots animated in {args.animate}")
    except OSError as e:
        print(f"plot_snapshots.py: cannot write '{e.filename}': {e.strerror}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
