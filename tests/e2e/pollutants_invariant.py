#!/usr/bin/env python3
"""Several species on one flow are exact copies of single-species runs.

A run with species s1..sn must write, for each species k, the q and dqdt of
the run of the same scenario with only species k's sources and species k's
schedule as its [emission], bit for bit; its h, us, vs, div and vort, and
its console log, are those of every one of these runs. Each scenario blows
the puffs across a boundary: the west wall and the periodic south edge, or
the east boundary and the periodic north edge; the species' schedules all
differ, and one species has two sources. A third case carries twenty species,
each from a source of its own on a schedule of its own.

Usage: pollutants_invariant.py PLUME [--threads N ...] [--mpirun MPIRUN --layouts PXxPY ...]

The single-species runs use one thread and one process; the run with the
species is made with each thread count given (default 1 and 2), and with
--mpirun, also under mpirun in each layout given (default 2x1, 1x3, 2x2:
blocks side by side, in rows, and both).
"""
import argparse
import array
import os
import subprocess
import sys
import tempfile

GRID = {"nx": 36, "ny": 28, "spacing_m": 1000.0}
TIME = {"duration_s": 900, "progress_every": 50, "snapshot_every_s": 150.0}
# [emission] is the third species' schedule, which gives none of its own.
EMISSION = {"first_s": 30, "every_s": 400.0}
SPECIES = [
    {"name": "so2", "first_s": 450, "every_s": 150.0},
    {"name": "nox", "first_s": 60, "every_s": 210.5},
    {"name": "co2"},
]

SCENARIOS = {
    # South-west: puffs reach the west wall and cross the periodic south edge.
    "west_wall_and_south_edge": {
        # (species, the edge its pollutant must reach): a column i or row j
        # of cells (the last cells are i = nx - 1, j = ny - 1).
        "reaches": [("so2", "i", 1), ("so2", "j", 27), ("co2", "j", 27)],
        "wind": {"speed_m_s": 30.0, "towards_deg": 225.0},
        "sources": [
            {"x_m": 8000.0, "y_m": 6000.0, "species": "so2"},
            {"x_m": 5000.0, "y_m": 20000.0, "species": "nox"},
            {"x_m": 8000.0, "y_m": 6000.0, "radius_m": 3000.0, "peak": 2.0, "species": "so2"},
            {"x_m": 20000.0, "y_m": 3000.0, "species": "co2"},
        ],
    },
    # East-north-east: puffs leave through the east boundary and cross the
    # periodic north edge.
    "east_boundary_and_north_edge": {
        "reaches": [("nox", "i", 35), ("co2", "i", 35), ("co2", "j", 1)],
        "wind": {"speed_m_s": 30.0, "towards_deg": 20.0},
        "sources": [
            {"x_m": 30000.0, "y_m": 22000.0, "species": "nox"},
            {"x_m": 33000.0, "y_m": 25000.0, "radius_m": 2500.0, "species": "co2"},
            {"x_m": 28000.0, "y_m": 10000.0, "species": "so2"},
            {"x_m": 34000.0, "y_m": 26000.0, "peak": 0.5, "species": "so2"},
        ],
    },
}


def table(header, values):
    """A TOML table under the given header ("[grid]", "[[source]]")."""
    lines = [header]
    for key, value in values.items():
        lines.append(f'{key} = "{value}"' if isinstance(value, str) else f"{key} = {value!r}")
    return "\n".join(lines) + "\n"


def scenario_text(case, species, sources, emission):
    text = table("[grid]", GRID) + table("[time]", TIME) + table("[wind]", case["wind"])
    text += table("[emission]", emission)
    text += "".join(table("[[species]]", s) for s in species)
    return text + "".join(table("[[source]]", s) for s in sources)


def records(path, per_snapshot):
    """The file's records, by snapshot, each its framed bytes."""
    data = open(path, "rb").read()
    out, at = [], 0
    while at < len(data):
        n = int.from_bytes(data[at:at + 4], "little", signed=True)
        out.append(data[at:at + 8 + n])
        at += 8 + n
    if len(out) % per_snapshot != 0:
        raise SystemExit(f"{path}: {len(out)} records are not whole snapshots of {per_snapshot}")
    return [out[k:k + per_snapshot] for k in range(0, len(out), per_snapshot)]


def reaches(snapshots, column_or_row, index):
    """Whether the q of some snapshot is not zero somewhere in column i or row
    j = index (1-based) of the grid."""
    nx, ny = GRID["nx"], GRID["ny"]
    for snapshot in snapshots:
        q = array.array("f", snapshot[0][4:-4])
        cells = ([q[(index - 1) + nx * j] for j in range(ny)] if column_or_row == "i"
                 else [q[i + nx * (index - 1)] for i in range(nx)])
        if any(value != 0.0 for value in cells):
            return True
    return False


def run(command, work, label, more=(), env=None, expect_ok=True):
    out = os.path.join(work, label + ".dat")
    done = subprocess.run(command + ["--output", out] + list(more), capture_output=True, cwd=work,
                          env=None if env is None else {**os.environ, **env})
    if expect_ok and done.returncode != 0:
        raise SystemExit(f"{label}: exit status {done.returncode}: {done.stderr.decode(errors='replace')}")
    return out, done.stdout


def log_upto(log, k):
    """The lines of a log of the passes up to k."""
    return b"".join(line for line in log.splitlines(keepends=True) if int(line.split()[1]) <= k)


def restart_matches(start, go_on, work, label, whole, whole_log, k):
    """A run of `start` killed at its second checkpoint (pass 2k), gone on with
    by `go_on` from its first (pass k): the uninterrupted run's bytes and log."""
    ckpt = os.path.join(work, label + ".ckpt")
    out, log1 = run(start, work, label, ["--checkpoint-every", str(k), "--checkpoint", ckpt],
                    env={"PLUME_TEST_CRASH_BEFORE_RENAME": "2"}, expect_ok=False)
    done = subprocess.run(go_on + ["--restart", ckpt, "--output", out, "--checkpoint", ckpt], capture_output=True,
                          cwd=work)
    if done.returncode != 0:
        return [f"the restart ended with {done.returncode}: {done.stderr.decode(errors='replace').strip()}"]
    problems = []
    if open(out, "rb").read() != open(whole, "rb").read():
        problems.append("the snapshot file differs from the uninterrupted run's")
    if log_upto(log1, k) + done.stdout != whole_log:
        problems.append("the log differs from the uninterrupted run's")
    return problems


# Many species on one flow: each from a source of its own, on a schedule of
# its own, blown across the west wall and the periodic south edge; the
# snapshots then hold 2 x MANY + 5 records.
MANY = 20


def many_species_case():
    species = [{"name": f"s{k}", "first_s": 20 * k, "every_s": 100.0 + 17.5 * k} for k in range(MANY)]
    sources = [{"x_m": 2000.0 + 1650.0 * k, "y_m": 3000.0 + 1150.0 * k, "species": f"s{k}"} for k in range(MANY)]
    return species, sources


def check_many_species(plume, work, runs_of):
    """Each of MANY species in one run against its run alone, for each run that
    runs_of(path) gives: (label, command)."""
    case = SCENARIOS["west_wall_and_south_edge"]
    species, sources = many_species_case()
    path = os.path.join(work, "many.toml")
    with open(path, "w") as f:
        f.write(scenario_text(case, species, sources, EMISSION))
    singles = []
    for s, src in zip(species, sources):
        single = os.path.join(work, f"many_{s['name']}.toml")
        with open(single, "w") as f:
            f.write(scenario_text(case, [], [{k: v for k, v in src.items() if k != "species"}],
                                  {"first_s": s["first_s"], "every_s": s["every_s"]}))
        out, log = run([plume, "--scenario", single, "--threads", "1"], work, f"many_{s['name']}")
        singles.append((records(out, 7), log))
    failures = 0
    if len({repr(single) for single, _ in singles}) != MANY:
        print(f"{MANY} species: two species alone write the same file; the case cannot tell them apart")
        failures += 1
    # Every species' puffs cross the periodic south edge, and most reach the
    # west wall.
    across = sum(reaches(single, "j", GRID["ny"] - 1) for single, _ in singles)
    walled = sum(reaches(single, "i", 1) for single, _ in singles)
    if across < MANY or 2 * walled < MANY:
        print(f"{MANY} species: {across} cross the south edge and {walled} reach the west wall alone; "
              "the case tests less than it says")
        failures += 1
    for label, command in runs_of(path):
        out, log = run(command, work, f"many_{label.replace(' ', '_')}")
        snapshots = records(out, 2 * MANY + 5)
        different = [species[k]["name"] for k, (single, single_log) in enumerate(singles)
                     if log != single_log or len(snapshots) != len(single) or
                     any(mine[2 * k:2 * k + 2] != theirs[:2] or mine[2 * MANY:] != theirs[2:]
                         for mine, theirs in zip(snapshots, single))]
        verdict = "identical" if not different else "DIFFERENT for " + ", ".join(different)
        print(f"west_wall_and_south_edge, {MANY} species, {label}: {verdict}")
        failures += bool(different)
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("plume")
    parser.add_argument("--threads", type=int, nargs="*", default=[1, 2])
    parser.add_argument("--mpirun")
    parser.add_argument("--layouts", nargs="*", default=["2x1", "1x3", "2x2"])
    args = parser.parse_args()
    plume = os.path.realpath(args.plume)

    def runs_of(path):
        """The runs of a scenario with species: (label, command), on each
        thread count and, with --mpirun, in each layout."""
        runs = [(f"{t} threads", [plume, "--scenario", path, "--threads", str(t)]) for t in args.threads]
        if args.mpirun:
            for layout in args.layouts:
                px, py = (int(x) for x in layout.split("x"))
                runs.append((f"{px * py} processes ({layout})",
                             [args.mpirun, "--oversubscribe", "-np", str(px * py), plume, "--scenario", path,
                              "--threads", "1", "--layout", layout]))
        return runs

    failures = 0
    with tempfile.TemporaryDirectory() as work:
        for name, case in SCENARIOS.items():
            path = os.path.join(work, name + ".toml")
            with open(path, "w") as f:
                f.write(scenario_text(case, SPECIES, case["sources"], EMISSION))
            # Each species alone: its sources, its schedule as [emission].
            singles = []
            for s in SPECIES:
                schedule = {k: s.get(k, EMISSION[k]) for k in ("first_s", "every_s")}
                mine = [{k: v for k, v in src.items() if k != "species"} for src in case["sources"]
                        if src["species"] == s["name"]]
                single = os.path.join(work, f"{name}_{s['name']}.toml")
                with open(single, "w") as f:
                    f.write(scenario_text(case, [], mine, schedule))
                out, log = run([plume, "--scenario", single, "--threads", "1"], work, f"{name}_{s['name']}")
                singles.append((records(out, 7), log))
            # The puffs reach the boundaries the case is about, and the
            # species differ.
            for species, axis, index in case["reaches"]:
                k = [s["name"] for s in SPECIES].index(species)
                if not reaches(singles[k][0], axis, index):
                    print(f"{name}: {species} alone never reaches {axis} = {index}; the case tests less than it says")
                    failures += 1
            if singles[0][0] == singles[1][0] or singles[1][0] == singles[2][0]:
                print(f"{name}: two species alone write the same file; the case cannot tell them apart")
                failures += 1
            n = len(SPECIES)
            whole = None
            for label, command in runs_of(path):
                out, log = run(command, work, f"{name}_{label.replace(' ', '_')}")
                whole = whole or (out, log)
                snapshots = records(out, 2 * n + 5)
                problems = []
                for k, (single, single_log) in enumerate(singles):
                    species = SPECIES[k]["name"]
                    if log != single_log:
                        problems.append(f"the log differs from that of {species} alone")
                    if len(snapshots) != len(single):
                        problems.append(f"{len(snapshots)} snapshots, {species} alone {len(single)}")
                        continue
                    for t, (mine, theirs) in enumerate(zip(snapshots, single)):
                        if mine[2 * k] != theirs[0] or mine[2 * k + 1] != theirs[1]:
                            problems.append(f"snapshot {t}: q or dqdt of {species} differ from {species} alone")
                        if mine[2 * n:] != theirs[2:]:
                            problems.append(f"snapshot {t}: h, us, vs, div or vort differ from {species} alone")
                verdict = "identical" if not problems else "DIFFERENT: " + "; ".join(problems[:3])
                print(f"{name}, {n} species, {label}: {verdict}")
                failures += bool(problems)
            # A checkpoint of every species at pass 300, gone on with on
            # another thread count (or another layout).
            restarts = [("2 threads, restarted on 1", [plume, "--scenario", path, "--threads", "2"], [plume, "--threads", "1"])]
            if args.mpirun:
                mpi = [args.mpirun, "--oversubscribe", "-np"]
                restarts.append(("2 processes (2x1), restarted on 3 (1x3)",
                                 mpi + ["2", plume, "--scenario", path, "--threads", "1", "--layout", "2x1"],
                                 mpi + ["3", plume, "--threads", "1", "--layout", "1x3"]))
            for label, start, go_on in restarts:
                problems = restart_matches(start, go_on, work, f"{name}_restart_{len(label)}", *whole, 300)
                verdict = "identical" if not problems else "DIFFERENT: " + "; ".join(problems)
                print(f"{name}, {n} species, checkpoint at pass 300 on {label}: {verdict}")
                failures += bool(problems)
        failures += check_many_species(plume, work, runs_of)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
