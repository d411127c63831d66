#!/usr/bin/env python3
"""Mutation check: do the tests notice a one-line change to the C++ sources?

universalmutator generates every mutant of each source file (the five module
sources and the frame in common/), leaving out changes inside comments.  Per
file, mutants are taken in a seeded random order, each built into
build/mutants and run against the suite (tests/ without tests/refs, with -x),
until N of them have compiled.  A mutant is killed when the suite fails (or
runs past its time limit) and survives when it passes; one that does not
compile is reported but not counted.

    .venv/bin/python tools/mutants.py [--per-file N] [--seed S] [--files NAME ...]
    .venv/bin/python tools/mutants.py --mutant waiters.cpp:1234 ...

The second form runs the named mutants only (file and number as the report
gives them), for instance the survivors of a run once a test is written.

N and S default to MUTANTS_PER_FILE (8) and MUTANTS_SEED (1).  The build is
incremental: build/mutants/tree holds a copy of the sources and the suite,
taken when the run starts, configured once with CMake and Ninja, whose
modules are built straight into that copy's package folder; the copied
suite runs there and imports the package from there (PYTHONPATH), so
neither later edits nor the installed package in .venv reach it.  Each mutant is copied over
its file in the copy, the affected modules rebuilt, and the original put
back, whatever happens (a backup in build/mutants/backup is restored by the
next run should this one be killed outright).

The report goes to build/mutants/report.md, a summary to stdout.  Survivors
listed in tools/mutants-allow.txt (file, mutated line, why it is equivalent)
are reported as equivalent; the exit status is 1 while any other survives.
"""

import argparse
import difflib
import os
import random
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
RUNTIME = Path("src/kelvra_runtime/core/runtime")
WORK = ROOT / "build/mutants"
TREE = WORK / "tree"
BUILD = WORK / "build"
BACKUP = WORK / "backup"
ALLOW = ROOT / "tools/mutants-allow.txt"
VENV_BIN = ROOT / ".venv/bin"
MUTATE = ROOT / ".venv-mutants/bin/mutate"


def module_names():
    """The compiled modules, as src/kelvra_runtime/core/runtime/modules.txt lists them."""
    lines = (ROOT / RUNTIME / "modules.txt").read_text().splitlines()
    return [line for line in lines if line and not line.startswith("#")]


def sources():
    modules = [RUNTIME / f"{name}.cpp" for name in module_names()]
    common = sorted((ROOT / RUNTIME / "common").rglob("*"))
    return modules + [p.relative_to(ROOT) for p in common if p.suffix in (".cpp", ".hpp")]


@dataclass
class Mutant:
    source: Path  # relative to ROOT
    number: int
    text: bytes
    line: int
    original: str
    mutated: str
    outcome: str = ""
    seconds: float = 0.0
    failed: str = ""  # the test that killed it

    @property
    def where(self):
        return f"{self.source.name}:{self.line}"

    @property
    def key(self):
        """What the allow-list names a mutant by."""
        return (self.source.name, self.line, self.mutated)


class Interrupted(Exception):
    pass


def run(cmd, **kwargs):
    return subprocess.run(cmd, capture_output=True, text=True, **kwargs)


def copy_if_changed(src: Path, dst: Path):
    """Copies src over dst unless their bytes are equal, so that an unchanged
    file keeps its time stamp and Ninja does not rebuild what it feeds."""
    if dst.exists() and dst.read_bytes() == src.read_bytes():
        return
    dst.parent.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(src, dst)


def restore_backups():
    if not BACKUP.exists():
        return
    for saved in BACKUP.rglob("*"):
        if saved.is_file():
            target = TREE / saved.relative_to(BACKUP)
            shutil.copyfile(saved, target)
            saved.unlink()
            print(f"restored {target.relative_to(ROOT)} left mutated by an earlier run")


def prepare_tree():
    """The copy of the sources, synchronised with the work tree, and its
    CMake configuration (made once)."""
    restore_backups()
    copy_if_changed(ROOT / "CMakeLists.txt", TREE / "CMakeLists.txt")
    # The suite and what it reads are copied too: the work tree may change
    # while mutants run, and a test written meanwhile must not meet the
    # sources of before.
    for folder in ("src", "tests", "examples"):
        for path in (ROOT / folder).rglob("*"):
            if path.is_file() and "__pycache__" not in path.parts:
                copy_if_changed(path, TREE / path.relative_to(ROOT))
    for name in ("pyproject.toml", "README.md", "DESCRIPTION.md", "tools/declare.py"):
        copy_if_changed(ROOT / name, TREE / name)
    # The stand-in's package folders and `exceptions` module make the copy a
    # whole package, which the suite then imports instead of the one the
    # stand-in installed into the venv.
    for path in (ROOT / "standin" / "kelvra_runtime").rglob("*.py"):
        copy_if_changed(path, TREE / "src" / path.relative_to(ROOT / "standin"))
    if not (BUILD / "build.ninja").exists():
        python = VENV_BIN / "python"
        configure = run([
            VENV_BIN / "cmake", "-S", TREE, "-B", BUILD, "-G", "Ninja",
            f"-DCMAKE_MAKE_PROGRAM={VENV_BIN / 'ninja'}",
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython_EXECUTABLE={python}",
            f"-DCMAKE_LIBRARY_OUTPUT_DIRECTORY={TREE / RUNTIME}",
        ])
        if configure.returncode:
            sys.exit("cmake configure failed:\n" + configure.stdout + configure.stderr)


def build():
    done = run([VENV_BIN / "ninja", "-C", BUILD, "-j2"])
    # The stubs are built too, and belong beside the modules, as installed.
    for stub in (BUILD / "generated").glob("*.pyi"):
        copy_if_changed(stub, TREE / RUNTIME / stub.name)
    return done


def test_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = str(TREE / "src")
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return env


def run_suite(timeout):
    """(True when the suite passes, None when it ran past the time limit;
    the test that failed, if one did)."""
    cmd = [VENV_BIN / "python", "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "tests", "--ignore=tests/refs"]
    try:
        done = run(cmd, cwd=TREE, env=test_env(), timeout=timeout)
    except subprocess.TimeoutExpired:
        return None, ""
    failed = [line.split()[1] for line in done.stdout.splitlines() if line.startswith(("FAILED ", "ERROR "))]
    return done.returncode == 0, failed[0] if failed else ""


def code(line):
    """A line without its comment (our sources put no // inside strings)."""
    line = line.split("//", 1)[0]
    return line.replace("/*", "").replace("*/", "").strip()


def changed_lines(original, changed):
    """(i1, i2, j1, j2): the first changed block of lines, or None."""
    if len(original) == len(changed):  # most mutants rewrite one line in place
        diff = [i for i, (a, b) in enumerate(zip(original, changed)) if a != b]
        return (diff[0], diff[-1] + 1, diff[0], diff[-1] + 1) if diff else None
    opcodes = difflib.SequenceMatcher(None, original, changed, autojunk=False).get_opcodes()
    return next((op[1:] for op in opcodes if op[0] != "equal"), None)


def generate(source: Path):
    """Every mutant universalmutator makes of `source`, in its own order."""
    out = WORK / "generated" / source.name
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    made = run([MUTATE, ROOT / source, "cpp", "--noCheck", "--mutantDir", out], cwd=out)
    if made.returncode:
        sys.exit(f"mutate failed on {source}:\n{made.stdout}{made.stderr}")
    stem, suffix = source.stem, source.suffix
    files = sorted(out.glob(f"{stem}.mutant.*{suffix}"), key=lambda p: int(p.name.split(".")[-2]))
    original = (ROOT / source).read_text().splitlines()
    mutants = []
    for path in files:
        text = path.read_bytes()
        changed = text.decode().splitlines()
        change = changed_lines(original, changed)
        if change is None:
            continue
        i1, i2, j1, j2 = change
        # Changes inside comments alter nothing that runs.
        if [code(line) for line in original[i1:i2]] == [code(line) for line in changed[j1:j2]]:
            continue
        before = "\n".join(original[i1:i2]).strip()
        if i1 == i2:  # a new line, shown with the one it goes before
            before = f"(new line before) {original[i1].strip()}" if i1 < len(original) else "(new last line)"
        mutants.append(Mutant(
            source=source, number=int(path.name.split(".")[-2]), text=text, line=i1 + 1,
            original=before, mutated="\n".join(changed[j1:j2]).strip(),
        ))
    return mutants


def shuffled(mutants, seed, source):
    order = list(mutants)
    random.Random(f"{seed}:{source.name}").shuffle(order)
    return order


def read_allow_list():
    """(file name, line, mutated line) -> why; one entry a line:
    `file.cpp:LINE: mutated line ## why it is equivalent`."""
    allowed = {}
    if not ALLOW.exists():
        return allowed
    for raw in ALLOW.read_text().splitlines():
        if not raw.strip() or raw.lstrip().startswith("#"):
            continue
        head, _, why = raw.partition(" ## ")
        where, _, mutated = head.partition(": ")
        name, _, line = where.partition(":")
        allowed[(name, int(line), mutated.strip())] = why.strip()
    return allowed


def try_mutant(mutant: Mutant, timeout):
    target = TREE / mutant.source
    saved = BACKUP / mutant.source
    saved.parent.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(target, saved)
    started = time.monotonic()
    try:
        target.write_bytes(mutant.text)
        if build().returncode:
            mutant.outcome = "not compiling"
        else:
            passed, mutant.failed = run_suite(timeout)
            mutant.outcome = "timeout" if passed is None else "survived" if passed else "killed"
    finally:
        shutil.copyfile(saved, target)
        saved.unlink()
        mutant.seconds = time.monotonic() - started


def write_report(chosen_per_file, args, allowed, elapsed):
    lines = [
        "# Mutation check", "",
        f"Seed {args.seed}, {args.per_file} compiling mutants per file, {elapsed / 60:.1f} minutes.", "",
        "| file | generated | sampled | compiled | killed | survived | equivalent | not compiling |",
        "|---|---|---|---|---|---|---|---|",
    ]
    totals = [0] * 7
    unexplained = []
    for source, (generated, chosen) in chosen_per_file.items():
        compiled = [m for m in chosen if m.outcome != "not compiling"]
        killed = [m for m in compiled if m.outcome in ("killed", "timeout")]
        survived = [m for m in compiled if m.outcome == "survived"]
        equivalent = [m for m in survived if m.key in allowed]
        row = [generated, len(chosen), len(compiled), len(killed), len(survived), len(equivalent), len(chosen) - len(compiled)]
        totals = [a + b for a, b in zip(totals, row)]
        lines.append(f"| {source.name} | " + " | ".join(map(str, row)) + " |")
        unexplained += [m for m in survived if m.key not in allowed]
    lines.append("| all | " + " | ".join(map(str, totals)) + " |")
    compiled, killed, equivalent = totals[2], totals[3], totals[5]
    # The score leaves out the equivalent mutants, which no test can kill.
    killable = compiled - equivalent
    score = 100.0 * killed / killable if killable else 100.0
    lines += [
        "",
        f"Killed {killed} of {compiled} compiling mutants; {equivalent} equivalent, so {killed} of the "
        f"{killable} others ({score:.1f} %).",
    ]
    survivors = [m for _, chosen in chosen_per_file.values() for m in chosen if m.outcome == "survived"]
    if survivors:
        lines += ["", "## Survivors", ""]
        for m in survivors:
            why = allowed.get(m.key)
            lines.append(f"- `{m.where}` (mutant {m.number}): `{m.original}` → `{m.mutated}`"
                         + (f" — equivalent: {why}" if why else " — **no test notices this**"))
    lines += ["", "## Every sampled mutant", ""]
    for _, chosen in chosen_per_file.values():
        for m in chosen:
            by = f", by {m.failed}" if m.failed else ""
            lines.append(f"- {m.outcome}: `{m.where}` (mutant {m.number}, {m.seconds:.0f} s{by}): "
                         f"`{m.original}` → `{m.mutated}`")
    report = WORK / "report.md"
    report.write_text("\n".join(lines) + "\n")
    return report, score, unexplained, totals


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--per-file", type=int, default=int(os.environ.get("MUTANTS_PER_FILE", 8)))
    parser.add_argument("--seed", default=os.environ.get("MUTANTS_SEED", "1"))
    parser.add_argument("--files", nargs="*", help="source file names to mutate (default: all)")
    parser.add_argument("--mutant", action="append", default=[], help="FILE:NUMBER, a mutant to run alone")
    parser.add_argument("--timeout", type=float, help="seconds per suite run (default: 4 times the unmutated run, at least 120)")
    args = parser.parse_args()

    if not MUTATE.exists():
        sys.exit(f"{MUTATE.relative_to(ROOT)} is missing; `make mutants` installs it")
    WORK.mkdir(parents=True, exist_ok=True)

    def interrupt(signum, frame):
        raise Interrupted(signal.Signals(signum).name)

    signal.signal(signal.SIGTERM, interrupt)
    signal.signal(signal.SIGHUP, interrupt)

    prepare_tree()
    print("building the unmutated modules into build/mutants ...", flush=True)
    first = build()
    if first.returncode:
        sys.exit("the unmutated sources do not build:\n" + first.stdout + first.stderr)
    # The suite must import the copy, or no mutant could ever be noticed.
    where = run(
        [VENV_BIN / "python", "-c", "from kelvra_runtime.core.runtime import spawn; print(spawn.__file__)"],
        cwd=TREE,
        env=test_env(),
    )
    if not where.stdout.strip().startswith(str(TREE)):
        sys.exit(f"the suite would import {where.stdout.strip() or where.stderr}, not the copy in {TREE}")
    started = time.monotonic()
    if not run_suite(timeout=None)[0]:
        sys.exit("the suite fails on the unmutated build; fix that first")
    baseline = time.monotonic() - started
    timeout = args.timeout or max(120.0, 4 * baseline)
    print(f"unmutated suite: {baseline:.0f} s; time limit per mutant {timeout:.0f} s", flush=True)

    # Per file, mutants are taken in a seeded random order until N of them
    # compile (or 6 N have been tried: most mutants of declarations do not).
    chosen_per_file = {}
    run_started = time.monotonic()
    try:
        named = {}
        for item in args.mutant:
            name, _, number = item.partition(":")
            named.setdefault(name, set()).add(int(number))
        for source in sources():
            if (args.files and source.name not in args.files) or (named and source.name not in named):
                continue
            generated = generate(source)
            chosen = []
            chosen_per_file[source] = (len(generated), chosen)
            compiled = 0
            order = shuffled(generated, args.seed, source)
            if named:
                order = [m for m in generated if m.number in named[source.name]]
            for mutant in order:
                if compiled == args.per_file or len(chosen) == 6 * args.per_file:
                    break
                chosen.append(mutant)
                try_mutant(mutant, timeout)
                compiled += mutant.outcome != "not compiling"
                by = f"  [{mutant.failed}]" if mutant.failed else ""
                print(f"{mutant.outcome:13} {mutant.where}: {mutant.mutated}{by}", flush=True)
    except (KeyboardInterrupt, Interrupted):
        print("interrupted; the sources are restored", flush=True)
        for _, chosen in chosen_per_file.values():
            chosen[:] = [m for m in chosen if m.outcome]
    elapsed = time.monotonic() - run_started

    allowed = read_allow_list()
    report, score, unexplained, totals = write_report(chosen_per_file, args, allowed, elapsed)
    print()
    print(f"{'file':16} killed / compiled / sampled (generated)")
    for source, (generated, chosen) in chosen_per_file.items():
        compiled = [m for m in chosen if m.outcome != "not compiling"]
        killed = [m for m in compiled if m.outcome in ("killed", "timeout")]
        print(f"{source.name:16} {len(killed):3} / {len(compiled):3} / {len(chosen):3} ({generated})")
    print(f"killed {totals[3]} of {totals[2]} compiling mutants, {totals[5]} equivalent: {score:.1f} % of the others "
          f"(seed {args.seed}, {args.per_file} per file)")
    for m in unexplained:
        print(f"survived: {m.where}: {m.original}  ->  {m.mutated}")
    print(f"report: {report.relative_to(ROOT)}")
    return 1 if unexplained else 0


if __name__ == "__main__":
    sys.exit(main())
