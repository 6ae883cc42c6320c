#!/usr/bin/python3
"""Maps and an animation from the snapshot file of a plume run.

    plot_snapshots.py [FILE] [--time T | --snapshot K] [-o OUT.png] [--animate OUT.gif] [--region R]

For one snapshot (the last one unless --time or --snapshot says otherwise) it
draws one PNG with four maps: pollutant, height, vorticity and wind speed,
axes in km, colour bars with units and the model time in the title. With
--animate it draws an animated GIF of the pollutant over all snapshots.
--region limits the maps to part of the domain ('auto': where the pollutant
goes).

Runs on Debian's python3 with python3-numpy, python3-matplotlib and (for the
GIF) python3-pil. The file is mapped into memory, not read whole; its framing
is checked first, and a damaged file is reported with the byte offset of the
damage.
"""
import argparse
import os
import re
import sys
import tempfile

import numpy as np

N = 401  # cells in x and in y, 1 km each
RECORD_BYTES = N * N * 4
FRAME_BYTES = RECORD_BYTES + 8
FIELDS = ("q", "dqdt", "h", "us", "vs", "div", "vort")
SECONDS_PER_SNAPSHOT = 1800
PANEL_FIGSIZE, PANEL_DPI = (12.0, 10.0), 100  # 1200 x 1000 pixels
ANIMATION_FIGSIZE, ANIMATION_DPI = (7.0, 6.0), 100  # 700 x 600 pixels

RECORD = np.dtype([("lead", "<i4"), ("data", "<f4", (N, N)), ("trail", "<i4")])


class DamagedFile(Exception):
    pass


def record_name(r):
    return f"record {FIELDS[r % 7]} of snapshot {r // 7}"


def open_snapshots(path):
    """Checks the framing of the whole file and returns a read-only memory map
    of shape (snapshots, 7); element [k, f]["data"] is field f of snapshot k
    as a [j, i] array. Raises DamagedFile naming the offset of the first
    damage, OSError when the file cannot be read."""
    if os.path.isdir(path):
        raise OSError(f"cannot read '{path}': it is a directory")
    with open(path, "rb") as f:  # the error of a missing or unreadable file names the path
        size = os.fstat(f.fileno()).st_size
        records, rest = divmod(size, FRAME_BYTES)
        tail = b""
        if rest:
            f.seek(records * FRAME_BYTES)
            tail = f.read(4)
    if size == 0:
        raise DamagedFile(f"at byte 0: the file is empty; expected the leading marker {RECORD_BYTES} of {record_name(0)}")
    frames = np.memmap(path, dtype=RECORD, mode="r", shape=(records,)) if records else np.empty(0, RECORD)

    bad = np.flatnonzero((frames["lead"] != RECORD_BYTES) | (frames["trail"] != RECORD_BYTES))
    if bad.size:
        r = int(bad[0])
        start = r * FRAME_BYTES
        if frames["lead"][r] != RECORD_BYTES:
            raise DamagedFile(f"at byte {start}: the leading marker of {record_name(r)} is {frames['lead'][r]}; "
                              f"expected {RECORD_BYTES}, the size of one {N} x {N} float32 field")
        raise DamagedFile(f"at byte {start + 4 + RECORD_BYTES}: the trailing marker of {record_name(r)} is "
                          f"{frames['trail'][r]}; expected {RECORD_BYTES}, equal to its leading marker")
    if rest:
        start = records * FRAME_BYTES
        lead = int.from_bytes(tail, "little", signed=True) if len(tail) == 4 else None
        if records % 7 == 0 and records > 0 and lead != RECORD_BYTES:
            count = "1 byte follows" if rest == 1 else f"{rest} bytes follow"
            raise DamagedFile(f"at byte {start}: {count} the last complete snapshot and cannot start a record; "
                              f"expected the end of the file or the leading marker {RECORD_BYTES}")
        if lead is not None and lead != RECORD_BYTES:
            raise DamagedFile(f"at byte {start}: the leading marker of {record_name(records)} is {lead}; "
                              f"expected {RECORD_BYTES}")
        raise DamagedFile(f"at byte {size}: the file ends inside {record_name(records)} (which starts at byte "
                          f"{start}) after {rest} of its {FRAME_BYTES} bytes; expected the rest of the record")
    if records % 7:
        raise DamagedFile(f"at byte {size}: the file ends after {record_name(records - 1)}, which has only "
                          f"{records % 7} of its 7 records; expected the leading marker {RECORD_BYTES} "
                          f"of {record_name(records)}")
    return frames.reshape(records // 7, 7)


def field(snaps, k, name):
    return snaps[k, FIELDS.index(name)]["data"]


def parse_time(text):
    """'16h', '90min', '1800s' or '1800' (seconds) -> seconds."""
    m = re.fullmatch(r"\s*([0-9]*\.?[0-9]+)\s*(h|min|s)?\s*", text)
    if not m:
        raise ValueError(f"cannot read the time '{text}': give e.g. 16h, 90min or 1800s")
    return float(m.group(1)) * {"h": 3600.0, "min": 60.0, "s": 1.0, None: 1.0}[m.group(2)]


def parse_region(text, snaps):
    """'X0:X1,Y0:Y1' in km, or 'auto': the area the pollutant reaches in any
    snapshot, with a margin of 10 km (the whole domain while there is none).
    'Reaches' means above a thousandth of the largest concentration: the
    advection leaves traces of order 1e-13 far from the puffs."""
    if text == "auto":
        q_all = [field(snaps, k, "q") for k in range(snaps.shape[0])]
        peak = max(float(np.nanmax(np.abs(np.where(np.isfinite(q), q, 0.0)))) for q in q_all)
        reached = np.zeros((N, N), dtype=bool)
        for q in q_all:
            reached |= np.abs(q) > 1e-3 * peak
        if not reached.any():
            return (0.0, float(N), 0.0, float(N))
        js, is_ = np.nonzero(reached)
        return (max(0.0, is_.min() - 10.0), min(float(N), is_.max() + 11.0),
                max(0.0, js.min() - 10.0), min(float(N), js.max() + 11.0))
    number = r"\s*([0-9]*\.?[0-9]+)\s*"
    m = re.fullmatch(f"{number}:{number},{number}:{number}", text)
    if not m:
        raise ValueError(f"cannot read the region '{text}': give X0:X1,Y0:Y1 in km (e.g. 0:250,150:300) or auto")
    x0, x1, y0, y1 = map(float, m.groups())
    if not (x0 < x1 <= N and y0 < y1 <= N):
        raise ValueError(f"the region '{text}' is empty or leaves the domain (0 .. {N} km in x and y)")
    return (x0, x1, y0, y1)


def time_label(k):
    t = k * SECONDS_PER_SNAPSHOT
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


def draw_map(fig, ax, data, title, unit, cmap, symmetric, scale_from=None):
    """scale_from: the part of data that sets the colour range (default all)."""
    (lo, hi), constant = finite_limits(data if scale_from is None else scale_from, symmetric)
    im = ax.imshow(data, origin="lower", extent=(0, N, 0, N), cmap=cmap, vmin=lo, vmax=hi, interpolation="nearest")
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


def plot_snapshot(snaps, k, path, source, region=None):
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 2, figsize=PANEL_FIGSIZE, dpi=PANEL_DPI, layout="constrained")
    q = field(snaps, k, "q")
    us, vs = field(snaps, k, "us"), field(snaps, k, "vs")
    speed = np.hypot(us.astype(np.float64), vs.astype(np.float64))
    draw_map(fig, axes[0, 0], q, "pollutant q", "concentration (model units)", "magma_r", False)
    draw_map(fig, axes[0, 1], field(snaps, k, "h"), "height h", "m", "RdBu_r", True)
    draw_map(fig, axes[1, 0], field(snaps, k, "vort"), "relative vorticity", "s⁻¹", "PuOr_r", True)
    # us and vs are stored as zero in the last column and row: leave them out
    # of the colour range, or they squeeze the flow into a narrow band.
    draw_map(fig, axes[1, 1], speed, "wind speed √(us² + vs²)", "m s⁻¹", "viridis", False, speed[:-1, :-1])
    # Wind arrows every 25 km on the speed map, at the cell centres.
    s = slice(12, N - 1, 25)
    xc = np.arange(N) + 0.5
    axes[1, 1].quiver(xc[s], xc[s], us[s, s], vs[s, s], color="white", width=0.003)
    for ax in axes.flat:
        show_region(ax, region)
    fig.suptitle(f"plume: {time_label(k)}, snapshot {k} of 0 .. {snaps.shape[0] - 1} ({os.path.basename(source)})")
    save_atomically(path, lambda tmp: fig.savefig(tmp, format="png", dpi=PANEL_DPI))
    plt.close(fig)


def animate(snaps, path, fps, region=None):
    import matplotlib.pyplot as plt
    from matplotlib.animation import FuncAnimation, PillowWriter

    n = snaps.shape[0]
    q_all = snaps[:, 0]["data"]
    vmax = max((float(np.nanmax(np.where(np.isfinite(q), q, np.nan), initial=0.0)) for q in q_all), default=0.0)
    vmax = vmax if vmax > 0 else 1.0
    # A fixed layout: the frames are drawn by the writer, where a layout
    # engine would not settle before the first frame.
    fig, ax = plt.subplots(figsize=ANIMATION_FIGSIZE, dpi=ANIMATION_DPI)
    fig.subplots_adjust(left=0.1, right=0.97, bottom=0.09, top=0.94)
    im = ax.imshow(q_all[0], origin="lower", extent=(0, N, 0, N), cmap="magma_r", vmin=0.0, vmax=vmax,
                   interpolation="nearest")
    ax.set_xlabel("x (km)")
    ax.set_ylabel("y (km)")
    fig.colorbar(im, ax=ax, label="concentration (model units)", shrink=0.9)
    title = ax.set_title("")
    show_region(ax, region)

    def frame(k):
        im.set_data(q_all[k])
        title.set_text(f"pollutant q, {time_label(k)}")
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
        description="Maps of one snapshot (PNG) and an animation of the pollutant (GIF) from a plume snapshot file.")
    p.add_argument("file", nargs="?", default="test_withPollutant.dat",
                   help="snapshot file (default: ./test_withPollutant.dat)")
    which = p.add_mutually_exclusive_group()
    which.add_argument("--time", help="model time of the snapshot to draw: e.g. 16h, 90min, 1800s (multiples of 1800 s)")
    which.add_argument("--snapshot", type=int, help="number of the snapshot to draw, from 0; negative counts from the end")
    p.add_argument("-o", "--output", help="PNG to write (default: plume_<hours>h.png)")
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

    try:
        snaps = open_snapshots(args.file)
    except DamagedFile as e:
        print(f"plot_snapshots.py: {args.file}: damaged file {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"plot_snapshots.py: {e.strerror and f'cannot open {args.file!r}: {e.strerror}' or e}", file=sys.stderr)
        return 1
    n = snaps.shape[0]
    last = f"snapshots 0 .. {n - 1}, t = 0 .. {(n - 1) * SECONDS_PER_SNAPSHOT} s"

    k = n - 1
    if args.time is not None:
        try:
            t = parse_time(args.time)
        except ValueError as e:
            p.error(str(e))
        k = int(round(t / SECONDS_PER_SNAPSHOT))
        if abs(k * SECONDS_PER_SNAPSHOT - t) > 1e-6 or not 0 <= k < n:
            p.error(f"no snapshot at t = {t:g} s: the file has one every {SECONDS_PER_SNAPSHOT} s ({last})")
    elif args.snapshot is not None:
        k = args.snapshot + n if args.snapshot < 0 else args.snapshot
        if not 0 <= k < n:
            p.error(f"no snapshot {args.snapshot}: the file has {last}")

    region = None
    if args.region is not None:
        try:
            region = parse_region(args.region, snaps)
        except ValueError as e:
            p.error(str(e))

    import matplotlib
    matplotlib.use("Agg")
    try:
        if args.animate is None or args.output or args.time is not None or args.snapshot is not None:
            out = args.output or f"plume_{k * SECONDS_PER_SNAPSHOT / 3600:g}h.png"
            plot_snapshot(snaps, k, out, args.file, region)
            print(f"plot_snapshots.py: {time_label(k)} drawn to {out}")
        if args.animate:
            animate(snaps, args.animate, args.fps, region)
            print(f"plot_snapshots.py: {n} snapshots animated in {args.animate}")
    except OSError as e:
        print(f"plot_snapshots.py: cannot write '{e.filename}': {e.strerror}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
