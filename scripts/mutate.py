#!/usr/bin/env python3
"""Mutation check of the test suite: which small faults in src/ does it miss?

Applies a fixed, seeded set of single-token mutants to the C++ sources under
src/ one at a time (relational operators flipped, + and - swapped, integer
constants off by one, statements dropped), rebuilds the optimised test build,
runs the suite, and reports which mutants survived (the suite still passed).

The set is chosen by content, not by position: every candidate site gets a key
hashed from the seed, the file, the text of its line and the mutation, and the
N smallest keys are taken. Editing one file therefore leaves the mutants of
every other line where they were, so runs before and after a change of the
tests (or of unrelated code) are comparable mutant by mutant.

    scripts/mutate.py [--count N] [--seed S] [--build DIR] [--list] [--only K,...] [--no-check]

Exit status 0 once every mutant has been tried (survivors are reported, not
failures); 1 when the unmutated suite does not pass; 2 on bad usage.
"""
import argparse
import hashlib
import os
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Operators are recognised with the blanks around them that the code's layout
# gives binary operators, so template brackets, pointers and unary minus are
# never mistaken for them.
RELATIONAL = {" < ": " <= ", " <= ": " < ", " > ": " >= ", " >= ": " > ", " == ": " != ", " != ": " == "}
ARITHMETIC = {" + ": " - ", " - ": " + "}
INTEGER = re.compile(r"(?<![\w.])(\d+)(?![\w.'])")
# A statement worth dropping: an assignment, a compound assignment, an
# increment or a call, alone on its line; never a declaration.
STATEMENT = re.compile(r"^[A-Za-z_][\w:.\->\[\]()*, ]*(\s*([+\-*/|&]?=|\+\+|--)\s*[^=].*|\(.*\))\s*;$")
DECLARATION = re.compile(r"^[A-Za-z_][\w:]*(<.*>)?[*&]?\s+[*&]?[A-Za-z_]\w*\s*(=|\{|\(|;|\[)")
NOT_DROPPABLE = re.compile(r"^(return|const|constexpr|auto|static|using|case|break|continue|goto|throw|else|if|for|"
                           r"while|do|switch|typedef|struct|class|enum)\b")


def droppable(code):
    s = code.strip()
    return bool(STATEMENT.match(s)) and not DECLARATION.match(s) and not NOT_DROPPABLE.match(s) and "{" not in s


SKIP_LINE = re.compile(r"^\s*(#|static_assert|template|namespace|case\b|default:)")


def blank_literals_and_comments(text):
    """The text with string and character literals and comments replaced by
    blanks (line breaks kept), so no mutant lands inside them."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif text.startswith('R"(', i):
            j = text.find(')"', i + 3)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            out.append(" " * (j - i))
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


class Mutant:
    def __init__(self, path, line, col, old, new, kind, key):
        self.path, self.line, self.col, self.old, self.new, self.kind, self.key = path, line, col, old, new, kind, key

    def describe(self):
        rel = os.path.relpath(self.path, ROOT)
        if self.kind == "drop":
            return f"{rel}:{self.line}: drop statement"
        return f"{rel}:{self.line}: {self.kind} '{self.old.strip()}' -> '{self.new.strip()}'"


def sites(path, seed):
    with open(path, encoding="utf-8") as f:
        original = f.read()
    code = blank_literals_and_comments(original).split("\n")
    lines = original.split("\n")
    rel = os.path.relpath(path, ROOT)
    for number, (masked, real) in enumerate(zip(code, lines), start=1):
        if SKIP_LINE.match(masked) or not masked.strip():
            continue
        found = []
        for table, kind in ((RELATIONAL, "relational"), (ARITHMETIC, "arithmetic")):
            for old, new in table.items():
                start = 0
                while (col := masked.find(old, start)) >= 0:
                    found.append((col, old, new, kind))
                    start = col + 1
        for m in INTEGER.finditer(masked):
            found.append((m.start(), m.group(1), str(int(m.group(1)) + 1), "constant"))
        if droppable(masked):
            found.append((len(real) - len(real.lstrip()), real.strip(), ";", "drop"))
        seen = {}
        for col, old, new, kind in sorted(found):
            tag = f"{kind}|{old}|{new}"
            seen[tag] = seen.get(tag, 0) + 1
            digest = hashlib.sha256(f"{seed}|{rel}|{real.strip()}|{tag}|{seen[tag]}".encode()).hexdigest()
            yield Mutant(path, number, col, old, new, kind, digest)


def choose(count, seed, only):
    files = []
    for base, _, names in os.walk(os.path.join(ROOT, "src")):
        files += [os.path.join(base, n) for n in names if n.endswith(".cpp")]
    every = [m for f in sorted(files) for m in sites(f, seed)]
    every.sort(key=lambda m: m.key)
    chosen = every[:count]
    chosen.sort(key=lambda m: (m.path, m.line, m.col))
    for k, m in enumerate(chosen, start=1):
        m.index = k
    if only:
        chosen = [m for m in chosen if m.index in only]
    return chosen, len(every)


def apply(m):
    with open(m.path, encoding="utf-8") as f:
        original = f.read()
    lines = original.split("\n")
    text = lines[m.line - 1]
    if m.kind == "drop":
        lines[m.line - 1] = text[: m.col] + ";"
    else:
        assert text[m.col : m.col + len(m.old)] == m.old, m.describe()
        lines[m.line - 1] = text[: m.col] + m.new + text[m.col + len(m.old) :]
    with open(m.path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))
    return original


def run(cmd, log, timeout=None):
    with open(log, "a") as out:
        out.write(f"\n$ {' '.join(cmd)}\n")
        out.flush()
        try:
            return subprocess.run(cmd, cwd=ROOT, stdout=out, stderr=subprocess.STDOUT, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return 124


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--count", type=int, default=64)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--build", default="build-mutate")
    ap.add_argument("--list", action="store_true", help="only list the chosen mutants")
    ap.add_argument("--only", default="", help="comma-separated mutant numbers to try")
    ap.add_argument("--test-timeout", type=int, default=120, help="seconds a single test may take")
    ap.add_argument("--no-check", action="store_true",
                    help="skip the run of the unmutated suite (when it has just passed in this build directory)")
    a = ap.parse_args()
    if a.count < 1:
        ap.error("--count must be positive")
    only = {int(x) for x in a.only.split(",") if x.strip()}
    mutants, candidates = choose(a.count, a.seed, only)
    print(f"{len(mutants)} mutants (seed {a.seed}) from {candidates} candidate sites in src/*.cpp")
    if a.list:
        for m in mutants:
            print(f"{m.index:4d} {m.describe()}")
        return 0

    build = os.path.join(ROOT, a.build)
    log = os.path.join(build, "mutation.log")
    os.makedirs(build, exist_ok=True)
    open(log, "w").close()
    jobs = str(os.cpu_count() or 2)
    configure = ["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo"]
    compile_ = ["cmake", "--build", build, "-j", jobs]
    suite = ["ctest", "--test-dir", build, "-j", jobs, "--stop-on-failure", "--timeout", str(a.test_timeout)]
    cost_data = os.path.join(build, "Testing", "Temporary", "CTestCostData.txt")

    def run_suite():
        # ctest starts the tests that took longest last time first: the
        # end-to-end runs. Without its cost data it keeps the order of the
        # folders, the quick unit tests first, so that a mutant they kill is
        # known in seconds instead of after minutes of simulated fields.
        if os.path.exists(cost_data):
            os.remove(cost_data)
        return run(suite, log)

    if run(configure, log) or run(compile_, log) or (not a.no_check and run_suite()):
        print(f"the unmutated suite does not build or pass; see {log}", file=sys.stderr)
        return 1

    pending = {}
    # An interrupted run puts the file it was mutating back.
    def restore(*_):
        for path, text in pending.items():
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
        sys.exit(130)
    signal.signal(signal.SIGINT, restore)
    signal.signal(signal.SIGTERM, restore)

    killed, survived, invalid = [], [], []
    start = time.time()
    for m in mutants:
        pending[m.path] = apply(m)
        try:
            if run(compile_, log) != 0:
                outcome, bucket = "does not build", invalid
            else:
                at = os.path.getsize(log)
                if run_suite() == 0:
                    outcome, bucket = "SURVIVED", survived
                else:
                    # A test that only ran out of time may have been slowed by
                    # a busy machine rather than by the mutant: say so, so that
                    # such a kill can be checked by hand (--only).
                    with open(log, encoding="utf-8", errors="replace") as f:
                        f.seek(at)
                        timed_out = "***Timeout" in f.read()
                    outcome, bucket = ("killed (timeout)" if timed_out else "killed"), killed
        finally:
            with open(m.path, "w", encoding="utf-8") as f:
                f.write(pending.pop(m.path))
        bucket.append(m)
        print(f"{m.index:4d} {outcome:16s} {m.describe()}", flush=True)
    run(compile_, log)  # leave the build matching the sources

    valid = len(killed) + len(survived)
    print(f"\nkilled {len(killed)} of {valid} buildable mutants ({len(invalid)} did not build), "
          f"{time.time() - start:.0f} s")
    if survived:
        print("survivors:")
        for m in survived:
            print(f"  {m.index:4d} {m.describe()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
