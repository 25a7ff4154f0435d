#!/usr/bin/env python3
"""Writes docs/performance.md (or, for a run with AVX2 forced, docs/performance-avx2.md) from the JSON
output of bench_filter (medians of the repetitions).

Usage: make_report.py BENCH_JSON OUTPUT_MD [--run-info JSON] [--python MD] [--notes MD]
  --run-info  the run's wall time (written by run_benchmarks.sh)
  --python    the section bench/python_bench.py wrote, placed after the equal-window tables
  --notes     hand-written analysis placed after the square-window table (bench/avx2_notes.md)
A time is flagged (*) when other work on the machine competed with the benchmark: other processes
kept more than OTHER_CORES cores busy on average while it ran (counter other_cores).
Benchmark names are family/variant/WxH/N<window>/T<threads>[/options added by the harness]; family
ours weighs the whole N x N square, disc only the disc of radius floor(N/2) (zero weights elsewhere).
"""
import argparse
import json
import os
import re
import subprocess

NAME = re.compile(r"^(ours|disc|opencv|oracle)/(\w+)/(\d+)x(\d+)/N(\d+)/T(\d+)")
# Equal windows: ours with the disc weights over OpenCV with d = N (time ratio), 1920x1080, 2 threads,
# at N = 5, 9, 15; on a CPU whose best target has AVX-512, and on one whose best is AVX2.
EQUAL_GOALS = {
    "AVX-512": {"gray_single": (0.30, 0.28, 0.28), "RGB_single": (0.25, 0.22, 0.22),
                "gray_uint8": (0.40, 0.30, 0.30), "RGB_uint8": (0.45, 0.40, 0.40)},
    "AVX2": {"gray_single": (0.35, 0.33, 0.33), "RGB_single": (0.30, 0.27, 0.27),
             "gray_uint8": (0.75, 0.70, 0.70), "RGB_uint8": (0.55, 0.50, 0.50)}}
# Of what N = 15 adds over N = 5 with the square, the disc should add at most this share: its taps
# grow by 149 - 13 where the square's grow by 225 - 25, with 10 % to spare.
SKIP_SHARE_GOAL = 0.75
# Square-window times may move this much from an earlier commit's (bench/compare_square.sh writes
# bench/reference_square.json).
REFERENCE_TOLERANCE = 0.05
REFERENCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "reference_square.json")
# Ours over OpenCV (time ratio) that each layout and type should reach, at N = 5, 9, 15.
GOALS = {"gray_single": (0.55, 0.50, 0.45), "RGB_single": (0.50, 0.40, 0.40),
         "gray_uint8": (1.00, 1.00, 0.95), "RGB_uint8": (1.00, 0.90, 0.85)}
# The same on a CPU whose best target is AVX2, at N = 5 and 9, for 1920x1080 and 512x512 with one and
# two threads; a 64x64 call should cost at most SMALL_GOAL times OpenCV's.
AVX2_GOALS = {"gray_single": (0.45, 0.40), "RGB_single": (0.45, 0.40),
              "gray_uint8": (1.00, 0.90), "RGB_uint8": (0.90, 0.80)}
AVX2_WINDOWS, AVX2_SIZES, SMALL_GOAL = (5, 9), ((1920, 1080), (512, 512)), 2.0
CV_TYPES = {"gray_single": "CV_32FC1", "RGB_single": "CV_32FC3",
            "gray_uint8": "CV_8UC1", "RGB_uint8": "CV_8UC3",
            "gray_uint16": "CV_16UC1 via CV_32FC1", "RGB_uint16": "CV_16UC3 via CV_32FC3"}
TYPES = list(CV_TYPES)
# 16-bit over float32 (time ratio, same layout and picture) that each window should stay within.
U16_WINDOWS, U16_GOAL = (5, 9), 1.10
PADDINGS = ("constant", "replicate", "symmetric")
WINDOWS = (5, 9, 15)
SCALE = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}
OTHER_CORES = 0.25


def load(path):
    """Context, repetition counts and {(family, variant, w, h, n, threads): (ms per call,
    tap-pixels per second, disturbed)} from the medians."""
    with open(path) as f:
        data = json.load(f)
    runs, reps = {}, set()
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        m = NAME.match(b.get("run_name", b["name"]))
        if not m:
            continue
        reps.add(b.get("repetitions", 1))
        fam, var, w, h, n, t = m.groups()
        ms = b["real_time"] * SCALE[b.get("time_unit", "ns")]
        disturbed = b.get("other_cores", 0.0) > OTHER_CORES
        runs[(fam, var, int(w), int(h), int(n), int(t))] = (ms, b.get("tap_pixels_per_s", 0.0), disturbed)
    return data.get("context", {}), reps, runs


def cpu_model():
    """Model name (as lscpu gives it, with family and model), logical CPUs and the AVX2 / AVX-512 flags
    of this machine's CPU."""
    info = {}
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        info = dict(tuple(part.strip() for part in l.split(":", 1)) for l in out.splitlines() if ":" in l)
    except (OSError, subprocess.CalledProcessError):
        pass
    flags = info.get("Flags", "").split()
    if not flags:
        try:
            with open("/proc/cpuinfo") as f:
                flags = next((l.split(":", 1)[1].split() for l in f if l.startswith("flags")), [])
        except OSError:
            pass
    model = info.get("Model name", "unknown")
    if "CPU family" in info and "Model" in info:
        model += f" (family {info['CPU family']}, model {info['Model']})"
    avx512 = sorted(f[len("avx512"):].strip("_") for f in flags if f.startswith("avx512"))
    vector = ("AVX2" if "avx2" in flags else "no AVX2") + (
        f", AVX-512 ({' '.join(avx512)})" if avx512 else ", no AVX-512")
    return model, int(info.get("CPU(s)", "0") or 0), vector, bool(avx512)


def fmt(v, digits=2):
    return "–" if v is None else f"{v:.{digits}f}"


def fmt_ms(r, scale=1.0, digits=2):
    """A run's time, flagged when other work competed with it."""
    return "–" if not r else fmt(r[0] * scale, digits) + ("*" if r[2] else "")


def machine_section(ctx, runs):
    model, cpus, vector, _ = cpu_model()
    forced = ctx.get("hwy_target_forced")
    target = ctx.get("hwy_target", "unknown") + (
        f" (forced with BF_BENCH_TARGET={forced}: AVX2 forced on an AVX-512 CPU)" if forced else "")
    mhz = ctx.get("mhz_per_cpu")
    load = ctx.get("load_avg")
    flagged = sum(1 for r in runs.values() if r[2])
    busy = [f"- Load average when the run started: {', '.join(f'{v:.2f}' for v in load)}"] if load else []
    busy.append(f"- Benchmarks that other work on the machine competed with (more than {OTHER_CORES} cores "
                f"busy elsewhere on average; times marked *): {flagged} of {len(runs)}")
    return ["## Machine", "",
            f"- CPU: {model}, {cpus} logical CPUs" + (f", {mhz} MHz" if mhz else "") + f"; {vector}",
            f"- Compiler: {ctx.get('compiler', 'unknown')}, {ctx.get('build', 'unknown build')}",
            f"- Highway target the library dispatches to: {target}",
            f"- OpenCV: {' '.join(ctx.get('opencv', 'unknown').split())}",
            f"- Entry points against the scalar oracle before timing: {ctx.get('oracle_check', 'not checked')}",
            f"- Date: {ctx.get('date', 'unknown')}"] + busy + [
            "- arm64: no timing exists; the arm64 builds (NEON, SVE, SVE2) are tested only under an emulator "
            "(scripts/cross-test.sh), which says nothing about speed.", ""]


def verdict(ratio, goal):
    return "–" if ratio is None else ("met" if ratio <= goal else "not met")


def against_opencv(runs, typ, w, h, n, t, goal):
    """Table cells of our replicate entry point against OpenCV: ours, OpenCV, ratio, goal, verdict."""
    ours = runs.get(("ours", typ + "_replicate", w, h, n, t))
    cv = runs.get(("opencv", typ, w, h, n, t))
    ratio = ours[0] / cv[0] if ours and cv else None
    return f"{fmt_ms(ours)} | {fmt_ms(cv)} | {fmt(ratio)} | {goal:.2f} | {verdict(ratio, goal)}"


def disc_taps(n):
    """Window positions of an N x N window inside the disc of radius floor(N/2)."""
    r = n // 2
    return sum(1 for i in range(-r, n - r) for j in range(-r, n - r) if i * i + j * j <= r * r)


def goal_set(ctx):
    """Which equal-window goals apply to the target the library ran: AVX-512, AVX2 or none."""
    target = ctx.get("hwy_target", "")
    return "AVX-512" if target.startswith("AVX3") else "AVX2" if target.startswith("AVX2") else None


def equal_section(runs, goals_name):
    goals = EQUAL_GOALS.get(goals_name, {})
    out = ["## Equal windows against OpenCV: 1920x1080, 2 threads", "",
           "Both weigh the same window. OpenCV: `cv::bilateralFilter` with d = N and `BORDER_REPLICATE`. "
           "Ours: the `replicate` entry points with the front ends' default weights, the Gaussian on the "
           "disc of radius ⌊N/2⌋ and exact zeros elsewhere, which the library skips. Taps = window positions "
           "weighed per pixel. Ratio = our time / OpenCV's time; a goal is met when the ratio is at or below "
           "it" + (f" (goals for a CPU whose best target is {goals_name})." if goals else "; this target has no goals.") +
           " OpenCV has no 16-bit filter: its 16-bit rows convert to float32, filter and convert back.", "",
           "| layout, type | OpenCV type | N | taps | ours ms | OpenCV ms | ratio | goal | |",
           "|---|---|---:|---:|---:|---:|---:|---:|---|"]
    met = total = 0
    short = []
    for typ in TYPES:
        for i, n in enumerate(WINDOWS):
            ours = runs.get(("disc", typ + "_replicate", 1920, 1080, n, 2))
            cv = runs.get(("opencv", typ, 1920, 1080, n, 2))
            ratio = ours[0] / cv[0] if ours and cv else None
            goal = goals[typ][i] if typ in goals else None
            if goal is not None:
                total += 1
                met += ratio is not None and ratio <= goal
                if ratio is not None and ratio > goal:
                    short.append(f"- {typ}, N = {n}: {ours[0]:.2f} ms where the goal allows {goal * cv[0]:.2f} ms" +
                                 made_of(runs, typ, disc_taps(n), goal * cv[0]) + ".")
            out.append(f"| {typ} | {CV_TYPES[typ]} | {n} | {disc_taps(n)} | {fmt_ms(ours)} | {fmt_ms(cv)} "
                       f"| {fmt(ratio)} | {fmt(goal)} | {'' if goal is None else verdict(ratio, goal)} |")
    if total:
        out += ["", f"Goals met: {met} of {total}."]
    if short:
        out += ["", "Not met, and what the time is made of (a part beside the taps and a part per tap, fitted to the "
                "square's N = 5 and N = 15 times, next section):", ""] + short
    return out + [""]


def tap_fit(runs, typ):
    """Milliseconds per call that do not depend on the taps, and milliseconds per tap per pixel, from the
    square window's times at N = 5 (25 taps) and N = 15 (225 taps); None when either is missing."""
    sq5, sq15 = (runs.get(("ours", typ + "_replicate", 1920, 1080, n, 2)) for n in (5, 15))
    if not sq5 or not sq15:
        return None
    per_tap = (sq15[0] - sq5[0]) / 200
    return sq5[0] - 25 * per_tap, per_tap


def made_of(runs, typ, taps, allowed):
    """What the fit of the square's times says about a disc time: its two parts, and the cost per tap
    the goal would need with the part beside the taps unchanged."""
    fit = tap_fit(runs, typ)
    if not fit:
        return ""
    fixed, per_tap = fit
    return (f"; the square's fit gives {fixed:.2f} ms beside the taps and {per_tap:.3f} ms per tap, "
            f"{fixed + taps * per_tap:.2f} ms for {taps} taps; the goal needs {(allowed - fixed) / taps:.3f} ms per tap")


def skip_section(runs):
    grow_square, grow_disc = 15 * 15 - 5 * 5, disc_taps(15) - disc_taps(5)
    out = ["## What skipping the zero taps saves: 1920x1080, 2 threads", "",
           f"From N = 5 to N = 15 the square grows by {grow_square} taps per pixel and the disc by {grow_disc}. "
           "Share = (disc N=15 − disc N=5) / (square N=15 − square N=5), in time: the part of our time that "
           "grows with the taps should shrink with them, to at most "
           f"{SKIP_SHARE_GOAL:.2f} ({grow_disc}/{grow_square} with 10 % to spare). The last two columns split the "
           "square's time into a part per call that does not depend on the taps (staging, the per-pixel "
           "division, stores, threads) and a part per tap per pixel, fitted to its N = 5 and N = 15 times (a "
           "negative first part: each of the 25 taps at N = 5 costs more than the 200 added up to N = 15).", "",
           "| layout, type | square N=5 ms | square N=15 ms | disc N=5 ms | disc N=15 ms | share | goal | "
           "| beside the taps ms | per tap ms |",
           "|---|---:|---:|---:|---:|---:|---:|---|---:|---:|"]
    for typ in TYPES:
        sq5, sq15, d5, d15 = (runs.get((fam, typ + "_replicate", 1920, 1080, n, 2))
                              for fam, n in (("ours", 5), ("ours", 15), ("disc", 5), ("disc", 15)))
        share = (d15[0] - d5[0]) / (sq15[0] - sq5[0]) if sq5 and sq15 and d5 and d15 and sq15[0] > sq5[0] else None
        fit = tap_fit(runs, typ)
        out.append(f"| {typ} | {fmt_ms(sq5)} | {fmt_ms(sq15)} | {fmt_ms(d5)} | {fmt_ms(d15)} | {fmt(share)} "
                   f"| {SKIP_SHARE_GOAL:.2f} | {verdict(share, SKIP_SHARE_GOAL)} "
                   f"| {fmt(fit and fit[0])} | {fmt(fit and fit[1], 3)} |")
    return out + [""]


def reference_section(goals_name):
    """Square-window times of this code against an earlier commit's, from bench/compare_square.sh."""
    key = "AVX2" if goals_name == "AVX2" else "native"
    try:
        with open(REFERENCE) as f:
            ref = json.load(f).get(key)
    except OSError:
        ref = None
    out = ["## Square windows against an earlier commit: 1920x1080, 2 threads", ""]
    if not ref:
        return out + [f"No comparison recorded (`bench/compare_square.sh{' --avx2' if key == 'AVX2' else ''} COMMIT` "
                      "records one).", ""]
    model = cpu_model()[0]
    out += [f"The square-window `replicate` times of commit {ref['new_commit']} against commit {ref['old_commit']}, "
            f"on {ref['cpu']} on {ref['date']}: `bench/compare_square.sh{' --avx2' if key == 'AVX2' else ''} "
            f"{ref['old_commit']}` runs the two builds in turn, two rounds each, and each time is the mean of the "
            "rounds' medians. Change = new / old − 1; the goal is to stay within "
            f"±{REFERENCE_TOLERANCE:.0%}, and only a slowdown beyond it is a regression." + ("" if ref["cpu"] == model else
                                               f" That CPU is not this page's ({model}).") +
            " Times of one build move by a few per cent between runs that interleave different benchmarks, so "
            "this section compares runs of the same rows, not the tables above.", "",
            f"| layout, type | N | {ref['old_commit']} ms | {ref['new_commit']} ms | change | |",
            "|---|---:|---:|---:|---:|---|"]
    for typ in TYPES:
        for n in WINDOWS:
            was, now = (ref[side].get(typ, {}).get(str(n)) for side in ("old_ms", "new_ms"))
            if was is None or now is None:
                continue
            change = now / was - 1
            out.append(f"| {typ} | {n} | {was:.2f} | {now:.2f} | {change:+.1%} | " +
                       ("met" if abs(change) <= REFERENCE_TOLERANCE else
                        "faster, beyond the band" if change < 0 else "not met: slower") + " |")
    return out + [""]


SQUARE_NOTE = ("Our whole N × N square against OpenCV's disc for d = N: we weigh 25, 81 and 225 positions per pixel "
               "where OpenCV weighs 13, 49 and 149.")


def ratio_section(runs):
    out = ["## Square windows against OpenCV: 1920x1080, 2 threads", "",
           "`replicate` entry points against `cv::bilateralFilter` with `BORDER_REPLICATE` on the same "
           "picture (OpenCV reads interleaved channels, we read planar ones). " + SQUARE_NOTE + " Ratio = our "
           "time / OpenCV's time; a goal is met when the ratio is at or below it.", "",
           "| layout, type | OpenCV type | N | ours ms | OpenCV ms | ratio | goal | |",
           "|---|---|---:|---:|---:|---:|---:|---|"]
    for typ in GOALS:
        for n, goal in zip(WINDOWS, GOALS[typ]):
            out.append(f"| {typ} | {CV_TYPES[typ]} | {n} | {against_opencv(runs, typ, 1920, 1080, n, 2, goal)} |")
    return out + [""]


def avx2_section(runs):
    out = ["## Square windows against OpenCV on AVX2: 1920x1080 and 512x512, 1 and 2 threads", "",
           SQUARE_NOTE + " The square-window goals for CPUs without AVX-512, on both picture sizes and thread "
           "counts; the 64x64 rows "
           f"should stay within {SMALL_GOAL:.1f} times OpenCV's time. Ratio = our time / OpenCV's time.", "",
           "| layout, type | size | threads | N | ours ms | OpenCV ms | ratio | goal | |",
           "|---|---|---:|---:|---:|---:|---:|---:|---|"]
    cells = [(typ, w, h, t, n, goal) for typ in AVX2_GOALS for (w, h) in AVX2_SIZES for t in (1, 2)
             for n, goal in zip(AVX2_WINDOWS, AVX2_GOALS[typ])]
    cells += [(typ, 64, 64, 1, 5, SMALL_GOAL) for typ in ("gray_single", "RGB_uint8")]
    for typ, w, h, t, n, goal in cells:
        out.append(f"| {typ} | {w}x{h} | {t} | {n} | {against_opencv(runs, typ, w, h, n, t, goal)} |")
    return out + [""]


def uint16_section(runs):
    out = ["## 16-bit samples: against float32, and against OpenCV's float path: 1920x1080, 2 threads", "",
           "The same picture as 16-bit (0..65535, range σ 6553.5) and as float32 (0..1, range σ 0.1), "
           "`replicate`. uint16 / float = time of the uint16 entry point over the float32 one of the same "
           f"layout; the goal is to stay within {U16_GOAL:.2f}. OpenCV has no 16-bit bilateral filter: its "
           "column times what a caller does instead, `convertTo` float32, `cv::bilateralFilter` "
           "(`BORDER_REPLICATE`) on the 0..65535 values, `convertTo` back to 16-bit, all three steps.", "",
           "| layout | N | uint16 ms | float ms | uint16 / float | goal | | OpenCV 16→32F→16 ms "
           "| uint16 / OpenCV |",
           "|---|---:|---:|---:|---:|---:|---|---:|---:|"]
    for layout in ("gray", "RGB"):
        for n in U16_WINDOWS:
            u16 = runs.get(("ours", layout + "_uint16_replicate", 1920, 1080, n, 2))
            f32 = runs.get(("ours", layout + "_single_replicate", 1920, 1080, n, 2))
            cv = runs.get(("opencv", layout + "_uint16", 1920, 1080, n, 2))
            ratio = u16[0] / f32[0] if u16 and f32 else None
            out.append(f"| {layout} | {n} | {fmt_ms(u16)} | {fmt_ms(f32)} | {fmt(ratio)} | {U16_GOAL:.2f} "
                       f"| {verdict(ratio, U16_GOAL)} | {fmt_ms(cv)} | {fmt(u16[0] / cv[0] if u16 and cv else None)} |")
    return out + [""]


def full_tables(runs):
    out = ["## Every entry point", "",
           "Milliseconds per call and Gtap-pixels/s (N² × width × height per call, per second of wall "
           "time; N² taps per pixel, also for the disc rows, so that their Gtap/s shows what the skipped taps "
           "save). Square windows unless a row says disc. OpenCV rows at the end of each table for comparison.", ""]
    head = "| entry point | " + " | ".join(f"N={n} ms | N={n} Gtap/s" for n in WINDOWS) + " |"
    rule = "|---|" + "---:|" * (2 * len(WINDOWS))
    for w, h in ((1920, 1080), (3840, 2160), (512, 512)):
        for t in (1, 2):
            out += [f"### {w}x{h}, {t} thread{'s' if t > 1 else ''}", "", head, rule]
            rows = [("ours", f"{typ}_{pad}", f"{typ}_{pad}") for typ in TYPES for pad in PADDINGS]
            rows += [("disc", f"{typ}_replicate", f"{typ}_replicate, disc") for typ in TYPES]
            rows += [("opencv", typ, f"OpenCV {CV_TYPES[typ]}") for typ in TYPES]
            for fam, var, label in rows:
                cells = []
                for n in WINDOWS:
                    r = runs.get((fam, var, w, h, n, t))
                    cells += [fmt_ms(r), fmt(r and r[1] / 1e9)]
                if any(c != "–" for c in cells):
                    out.append(f"| {label} | " + " | ".join(cells) + " |")
            out.append("")
    return out


def oracle_section(runs):
    out = ["## Against the scalar oracle", "",
           "The per-sample oracle (one output sample at a time, every read through the boundary rule) on "
           "256x256, one thread, against our `replicate` entry points on 1920x1080 with one thread, "
           "compared per tap-pixel.", "",
           "| entry point | N | oracle ns/tap-pixel | oracle Mtap/s | ours Gtap/s | speed-up |",
           "|---|---:|---:|---:|---:|---:|"]
    for typ in TYPES:
        for n in WINDOWS:
            o = runs.get(("oracle", typ + "_replicate", 256, 256, n, 1))
            ours = runs.get(("ours", typ + "_replicate", 1920, 1080, n, 1))
            if not o:
                continue
            speedup = ours[1] / o[1] if ours and o[1] else None
            out.append(f"| {typ}_replicate | {n} | {fmt(1e9 / o[1])} | {fmt(o[1] / 1e6, 1)} "
                       f"| {fmt(ours and ours[1] / 1e9)} | {fmt(speedup, 0)}× |")
    return out + [""]


def small_section(runs):
    out = ["## Small pictures: 64x64, N=5, 1 thread", "",
           "What a call costs beyond its arithmetic: the fixed part is the 64x64 time less 4096 pixels at "
           "the 1920x1080 per-pixel rate (one thread).", "",
           "| entry point | ours µs | OpenCV µs | ours fixed cost µs |", "|---|---:|---:|---:|"]
    for typ in ("gray_single", "RGB_uint8"):
        small = runs.get(("ours", typ + "_replicate", 64, 64, 5, 1))
        cv = runs.get(("opencv", typ, 64, 64, 5, 1))
        big = runs.get(("ours", typ + "_replicate", 1920, 1080, 5, 1))
        fixed = small[0] * 1e3 - 4096 * big[0] * 1e3 / (1920 * 1080) if small and big else None
        out.append(f"| {typ}_replicate | {fmt_ms(small, 1e3, 1)} | {fmt_ms(cv, 1e3, 1)} "
                   f"| {fmt(fixed, 1)} |")
    return out + [""]


def header(ctx, avx2_forced):
    model, cpus, _, avx512 = cpu_model()
    target = ctx.get("hwy_target", "unknown")
    cpu = (f"CPU: {model}, {cpus} logical CPUs, AVX-512: {'yes' if avx512 else 'no'}; "
           f"the library's target: {target}" + (" (AVX2 forced on an AVX-512 CPU)" if avx2_forced else "") + ".")
    if avx2_forced:
        return ["# Performance on a CPU without AVX-512", "", cpu, "",
                "What the library does with AVX2 and no AVX-512, measured with AVX2 forced on both sides on "
                "this AVX-512 CPU: our `BF_BENCH_TARGET=AVX2` and OpenCV's `OPENCV_CPU_DISABLE=AVX512-SKX` "
                "(OpenCV 4.6's spelling with a hyphen; `AVX512_SKX` is ignored as unknown, and its bilateral "
                "filter is dispatched for SSE2 and AVX2 only, so its time barely moves). Clocks and caches are "
                "those of the AVX-512 machine, not of an AVX2-only CPU. `bench/run_benchmarks.sh --avx2` "
                "regenerates this page; the analysis in the middle comes from `bench/avx2_notes.md`. "
                "Repetitions run in random interleaved order.", ""]
    return ["# Performance", "", cpu, "",
            "Wall-clock time per call of the eighteen entry points on generated pictures (smooth shading, "
            "flat shapes with sharp edges, Gaussian noise), float32 in [0, 1], 8-bit and 16-bit (the same "
            "picture rounded to 0..255 and 0..65535). Gaussian spatial weights with σs = (N − 1)/4, over the "
            "disc of radius ⌊N/2⌋ (the front ends' default, OpenCV's window for d = N) or the whole N × N "
            "square; range σ = 10 % of the sample range: 0.1 (float), 25.5 (8-bit), 6553.5 (16-bit). Threads: "
            "`halide_set_num_threads` for ours (one thread runs the tasks in order on the calling thread, "
            "since the runtime's pool never retires a worker), `cv::setNumThreads` for OpenCV; the oracle "
            "runs on one thread. Repetitions of all benchmarks run in random interleaved order, so a slow "
            "spell of the machine touches single repetitions rather than whole rows. "
            "`docs/performance-avx2.md` has the same with AVX2 forced.", ""]


def read(path):
    with open(path) as f:
        return f.read().rstrip("\n").split("\n") + [""]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("bench_json")
    parser.add_argument("output_md")
    parser.add_argument("--run-info")
    parser.add_argument("--python")
    parser.add_argument("--notes")
    args = parser.parse_args()
    ctx, reps, runs = load(args.bench_json)
    info = {}
    if args.run_info:
        with open(args.run_info) as f:
            info = json.load(f)
    goals_name = goal_set(ctx)
    avx2_forced = ctx.get("hwy_target_forced") == "AVX2"
    lines = header(ctx, avx2_forced)
    lines[-2] += f" Every number is the median of {' or '.join(str(r) for r in sorted(reps)) or 'several'} repetitions."
    if not any(k[0] == "opencv" for k in runs):
        lines += ["OpenCV was not found when the benchmark was built: no peer rows.", ""]
    lines += equal_section(runs, goals_name) + skip_section(runs)
    if args.python:
        lines += read(args.python)
    lines += avx2_section(runs) if goals_name == "AVX2" else ratio_section(runs)
    lines += reference_section(goals_name)
    if args.notes:
        lines += read(args.notes)
    lines += machine_section(ctx, runs) + uint16_section(runs)
    if avx2_forced:
        lines += small_section(runs) + full_tables(runs)
    else:
        lines += full_tables(runs) + oracle_section(runs) + small_section(runs)
    command = "bench/run_benchmarks.sh" + (" --avx2" if avx2_forced else "")
    lines += ["## Reproducing", "",
              f"`{command}` (as root: it installs what is missing, builds Release in "
              "`build-bench/`, runs the benchmarks and rewrites this file)" +
              (f"; this run took {info['wall_seconds'] / 60:.1f} minutes." if "wall_seconds" in info else ".") +
              f" `bench/compare_square.sh{' --avx2' if avx2_forced else ''} COMMIT` then records the square-window "
              "comparison with an earlier commit.", ""]
    os.makedirs(os.path.dirname(os.path.abspath(args.output_md)), exist_ok=True)
    with open(args.output_md, "w") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    main()
