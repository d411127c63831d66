"""The benchmark command (`make bench`): every case of `cases.py` timed with
pyperf for ours, the two baselines (the plain-Python rendering and its
Cython build) and the floor, then one table of ns per call (the minimum
over pyperf's values; loop overhead included, as timeit does) with the
ratios, and the scans as ns per entry.

    python bench/run.py [pyperf options] [--instructions | --instructions-only] [--only TEXT]

--instructions adds instructions per call counted by callgrind, which is
stable where timings are noisy (two runs per figure, so it is slow);
--instructions-only counts them and times nothing.  The targets are in
instructions, against the cheaper of the two baselines.

Before any case runs, the floor extension and the Cython build of the
renderings are compiled into build/bench/ when missing or stale."""

import itertools
import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
FLOOR_DIR = HERE.parent / "build" / "bench"
# The renderings' loader is the tests' own.
sys.path[:0] = [str(HERE), str(FLOOR_DIR), str(HERE.parent / "tests")]

IMPLS = ("ours", "rendering", "cython", "floor")


def build_floor():
    """Compiles floor.cpp into build/bench/ when it is missing or stale."""
    source = HERE / "floor.cpp"
    target = FLOOR_DIR / ("floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not stale(target, source):
        return
    FLOOR_DIR.mkdir(parents=True, exist_ok=True)
    compiler = os.environ.get("CXX", "g++")
    include = sysconfig.get_path("include")
    subprocess.run(
        [compiler, "-O2", "-std=c++20", "-shared", "-fPIC", f"-I{include}", str(source), "-o", str(target)],
        check=True,
    )


def stale(target, *sources):
    return not target.exists() or any(target.stat().st_mtime < source.stat().st_mtime for source in sources)


def build_cython():
    """Compiles each rendering, unchanged, with Cython into an extension
    module of build/bench/cython/, as a setuptools build would: cythonize to
    C, then the interpreter's own compiler and flags (-O2, as ours)."""
    import Cython

    import cases
    import rendering

    cases.CYTHON_DIR.mkdir(parents=True, exist_ok=True)
    compiler = shlex.split(sysconfig.get_config_var("CC"))
    if shutil.which(compiler[0]) is None:
        compiler = ["gcc"]
    flags = shlex.split(sysconfig.get_config_var("CFLAGS")) + shlex.split(sysconfig.get_config_var("CCSHARED"))
    include = sysconfig.get_path("include")

    def build(module):
        source, target = rendering.path(module), cases.cython_file(module)
        if not stale(target, source, Path(Cython.__file__)):
            return
        c_file = cases.CYTHON_DIR / f"cython_{module}.c"
        cythonize = [sys.executable, "-m", "cython", "-3", "--module-name", f"{rendering.PACKAGE}.cython_{module}"]
        subprocess.run([*cythonize, str(source), "-o", str(c_file)], check=True)
        subprocess.run([*compiler, *flags, "-shared", f"-I{include}", str(c_file), "-o", str(target)], check=True)

    with ThreadPoolExecutor(2) as pool:
        list(pool.map(build, cases.MODULES))


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


def ratio(a, b, digits=1):
    return f"{a / b:.{digits}f}x" if a and b else "—"


def ns(value):
    return "—" if value is None else (f"{value:.1f}" if value < 100 else f"{value:.0f}")


def meets(target, cheaper, ours):
    """Whether `ours` reaches `target` against the cheaper baseline."""
    if not cheaper or not ours:
        return "—"
    if target.endswith("±1%"):
        return "yes" if ours <= cheaper * 1.01 else "no"
    return "yes" if cheaper / ours >= float(target.rstrip("x")) else "no"


def table(cases, figures, instructions):
    """ns per call (or per entry) of ours, both baselines and the floor, and
    the cheaper baseline's ratio to ours; with instruction counts, their
    figures, the same ratio in instructions and whether the target is met."""
    counted = bool(instructions)
    head = "| operation | ours ns | rendering ns | Cython ns | floor ns | cheaper / ours | target |"
    if counted:
        head += " instructions ours / rendering / Cython / floor | cheaper / ours (instr.) | met |"
    lines = [head, "|" + "---|" * (head.count("|") - 1)]
    for case in cases:
        ours, python, cython, floor = (figures.get((case.name, impl)) for impl in IMPLS)
        cheaper = min((v for v in (python, cython) if v), default=None)
        row = (
            f"| {case.name} | {ns(ours)} | {ns(python)} | {ns(cython)} | {ns(floor)} | {ratio(cheaper, ours)} |"
            f" {case.target} |"
        )
        if counted:
            counts = [instructions.get((case.name, impl)) for impl in IMPLS]
            least = min((c for c in counts[1:3] if c), default=None)
            row += " " + " / ".join("—" if c is None else f"{c:.0f}" for c in counts) + " |"
            row += f" {ratio(least, counts[0], 2)} | {meets(case.target, least, counts[0])} |"
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
    runner.argparser.add_argument(
        "--instructions-only", action="store_true", help="count instructions with callgrind, and time nothing"
    )
    runner.argparser.set_defaults(quiet=True)
    args = runner.parse_args()
    if not args.worker:
        build_floor()
        build_cython()

    main_cases = selected(cases.CASES, args.only)
    scans = selected(cases.SCANS, args.only)
    figures = {}
    for case in [] if args.instructions_only else main_cases + scans:
        for impl, timed in implementations(case):
            result = runner.bench_time_func(f"{case.name} [{impl}]", loop_function(timed))
            if result is not None and not args.worker:
                figures[(case.name, impl)] = min(result.get_values()) * 1e9 / case.entries
    if args.worker:
        return

    instructions = {}
    if args.instructions or args.instructions_only:
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
