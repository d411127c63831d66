"""The benchmark command (`make bench`): every case of `cases.py` timed with
pyperf for ours, the baseline and the floor, then one table of ns per call
(the minimum over pyperf's values; loop overhead included, as timeit does)
with the two ratios, and the scans as ns per entry.

    python bench/run.py [pyperf options] [--instructions] [--only TEXT]

--instructions adds instructions per call counted by callgrind, which is
stable where timings are noisy (two runs per figure, so it is slow)."""

import itertools
import os
import re
import subprocess
import sys
import sysconfig
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
FLOOR_DIR = HERE.parent / "build" / "bench"
sys.path[:0] = [str(HERE), str(FLOOR_DIR)]

IMPLS = ("ours", "baseline", "floor")


def build_floor():
    """Compiles floor.cpp into build/bench/ when it is missing or stale."""
    source = HERE / "floor.cpp"
    target = FLOOR_DIR / ("floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    if target.exists() and target.stat().st_mtime >= source.stat().st_mtime:
        return
    FLOOR_DIR.mkdir(parents=True, exist_ok=True)
    compiler = os.environ.get("CXX", "g++")
    include = sysconfig.get_path("include")
    subprocess.run(
        [compiler, "-O2", "-std=c++20", "-shared", "-fPIC", f"-I{include}", str(source), "-o", str(target)],
        check=True,
    )


def loop_function(timed):
    """`run(loops)` timing `loops` executions of the statement, its setup
    made on the first call (pyperf's calibration) and kept."""
    state = {}

    def run(loops):
        if not state:
            names = timed.setup()
            params = ", ".join(names)
            source = (
                f"def inner(loops, perf_counter, repeat, {params}):\n"
                "    t0 = perf_counter()\n"
                "    for _ in repeat(None, loops):\n"
                f"        {timed.stmt}\n"
                "    return perf_counter() - t0\n"
            )
            scope = {}
            exec(compile(source, f"<bench {timed.stmt}>", "exec"), scope)
            state["inner"] = scope["inner"]
            state["args"] = tuple(names.values())
        return state["inner"](loops, time.perf_counter, itertools.repeat, *state["args"])

    return run


def selected(cases, only):
    return [c for c in cases if only is None or only in c.name]


def implementations(case):
    return [(impl, getattr(case, impl)) for impl in IMPLS if getattr(case, impl) is not None]


# ---------------------------------------------------------------------------
# Instruction counts


def count_instructions(case_index, impl, loops):
    """Instructions of one process running a statement `loops` times."""
    command = [
        "valgrind",
        "--tool=callgrind",
        "--callgrind-out-file=/dev/null",
        sys.executable,
        __file__,
        "--run-once",
        f"{case_index}:{impl}:{loops}",
    ]
    # A fixed hash seed makes the two runs' dictionaries alike.
    env = dict(os.environ, PYTHONHASHSEED="0")
    done = subprocess.run(command, capture_output=True, text=True, check=True, env=env)
    found = re.search(r"Collected : (\d+)", done.stderr)
    return int(found.group(1))


def instructions_per_call(case_index, case, impl, entries=20000):
    # The difference of two runs cancels start-up, setup and calibration;
    # the longer one walks about `entries` entries (calls, for most cases).
    loops = max(1, entries // case.entries)
    more = count_instructions(case_index, impl, loops)
    less = count_instructions(case_index, impl, 0)
    return (more - less) / loops / case.entries


def run_once(spec):
    import cases

    index, impl, loops = spec.split(":")
    case = (cases.CASES + cases.SCANS)[int(index)]
    run = loop_function(getattr(case, impl))
    run(1)
    run(int(loops))


# ---------------------------------------------------------------------------
# The table


def ratio(a, b):
    return f"{a / b:.1f}x" if a and b else "—"


def ns(value):
    return "—" if value is None else (f"{value:.1f}" if value < 100 else f"{value:.0f}")


def table(cases, figures, instructions):
    counted = bool(instructions)
    head = "| operation | ours ns | baseline ns | floor ns | baseline / ours | ours / floor | target |"
    if counted:
        head += " instructions ours / baseline / floor |"
    lines = [head, "|" + "---|" * (head.count("|") - 1)]
    for case in cases:
        ours, base, floor = (figures.get((case.name, impl)) for impl in IMPLS)
        row = (
            f"| {case.name} | {ns(ours)} | {ns(base)} | {ns(floor)} | {ratio(base, ours)} |"
            f" {ratio(ours, floor)} | {case.target} |"
        )
        if counted:
            counts = (instructions.get((case.name, impl)) for impl in IMPLS)
            row += " " + " / ".join("—" if c is None else f"{c:.0f}" for c in counts) + " |"
        lines.append(row)
    return "\n".join(lines)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--run-once":
        run_once(sys.argv[2])
        return

    import pyperf

    import cases

    def forward(cmd, args):
        if args.only:
            cmd.extend(("--only", args.only))

    runner = pyperf.Runner(processes=4, values=3, min_time=0.05, add_cmdline_args=forward)
    runner.argparser.add_argument("--only", help="only the cases whose name holds this text")
    runner.argparser.add_argument("--instructions", action="store_true", help="count instructions with callgrind")
    runner.argparser.set_defaults(quiet=True)
    args = runner.parse_args()
    if not args.worker:
        build_floor()

    main_cases = selected(cases.CASES, args.only)
    scans = selected(cases.SCANS, args.only)
    figures = {}
    for case in main_cases + scans:
        for impl, timed in implementations(case):
            result = runner.bench_time_func(f"{case.name} [{impl}]", loop_function(timed))
            if result is not None and not args.worker:
                figures[(case.name, impl)] = min(result.get_values()) * 1e9 / case.entries
    if args.worker:
        return

    instructions = {}
    if args.instructions:
        everything = cases.CASES + cases.SCANS
        counted = [(case, impl) for case in main_cases + scans for impl, _ in implementations(case)]
        with ThreadPoolExecutor(os.cpu_count()) as pool:
            counts = pool.map(lambda c: instructions_per_call(everything.index(c[0]), *c), counted)
            for (case, impl), count in zip(counted, counts):
                instructions[(case.name, impl)] = count

    print()
    print("Per call (min of pyperf values, ns; loop overhead included):")
    print()
    print(table(main_cases, figures, instructions))
    if scans:
        print()
        print("Scans, per entry (ns):")
        print()
        print(table(scans, figures, instructions))


if __name__ == "__main__":
    main()
