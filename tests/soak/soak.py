#!/usr/bin/env python3
"""The soak's driver: runs each face's worker for the budget, watches it for
crashes and hangs, shrinks what fails and writes the repro. See README.md
beside it for the workers' protocol."""

import argparse
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
FACES = ("lib", "lines", "python")

# A sanitizer's report ends the process with this status, so that it is told
# apart from a test's own failure (1) and from a defect (3).
SANITIZER_STATUS = 86
SANITIZER_ENV = {
    "ASAN_OPTIONS": f"exitcode={SANITIZER_STATUS}:detect_leaks=1:abort_on_error=0:allocator_may_return_null=1",
    "UBSAN_OPTIONS": f"halt_on_error=1:print_stacktrace=1:exitcode={SANITIZER_STATUS}",
}


def sub_seed(seed, *parts):
    digest = hashlib.sha256(repr((seed,) + parts).encode()).digest()
    return int.from_bytes(digest[:6], "little")


def read_known(path):
    known = set()
    if path and os.path.exists(path):
        with open(path) as f:
            for line in f:
                line = line.split("#", 1)[0].strip()
                if line:
                    known.add(line)
    return known


class Outcome:
    """What one worker run ended with."""

    def __init__(self):
        self.defect = None  # (signature, detail) of the first unknown defect
        self.known = []  # (signature, detail) of known ones
        self.steps = []  # the steps it ran, as logged
        self.seconds = 0.0

    def signature(self):
        return self.defect[0] if self.defect else None


class Face:
    def __init__(self, name, args):
        self.name = name
        self.args = args

    def command(self):
        a = self.args
        if self.name == "lib":
            return [os.path.join(a.build, "tests", "soak", "soak_lib")]
        return [sys.executable, os.path.join(HERE, f"face_{self.name}.py"), "--build", a.build] + (
            ["--python-path", a.python_path] if a.python_path else []
        )

    def available(self):
        if self.name == "lib":
            exe = self.command()[0]
            return os.access(exe, os.X_OK), f"{exe} is not built"
        if self.name == "lines":
            exe = os.path.join(self.args.build, "lines", "lines")
            return os.access(exe, os.X_OK), f"{exe} is not built"
        return bool(self.args.python_path), "the Python module is not built (no _line_reader beside the build)"

    def run(self, seed, seconds, steps=None, known=(), step_limit=None, quiet=False):
        """One worker run; its steps from `seed` for `seconds`, or exactly `steps`."""
        outcome = Outcome()
        work = tempfile.mkdtemp(prefix=f"soak-{self.name}-", dir=self.args.scratch)
        log = os.path.join(work, "steps.jsonl")
        known_file = os.path.join(work, "known.txt")
        with open(known_file, "w") as f:
            f.write("".join(k + "\n" for k in sorted(known)))
        cmd = self.command() + ["--seed", str(seed), "--seconds", str(seconds), "--workdir",
                                os.path.join(work, "w"), "--log", log, "--known", known_file]
        if steps is not None:
            replay = os.path.join(work, "replay.jsonl")
            with open(replay, "w") as f:
                f.write("".join(json.dumps(s) + "\n" for s in steps))
            cmd += ["--steps", replay]
        os.makedirs(os.path.join(work, "w"))
        env = dict(os.environ, **SANITIZER_ENV)
        env["XDG_CACHE_HOME"] = os.path.join(work, "cache")
        env["LINE_READER_SOAK"] = "1"
        started = time.monotonic()
        errors = open(os.path.join(work, "stderr"), "w+b")
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=errors, stdin=subprocess.DEVNULL,
                                env=env, start_new_session=True)
        lines = []
        reader = threading.Thread(target=lambda: lines.extend(proc.stdout), daemon=True)
        reader.start()
        limit = step_limit or self.args.step_limit
        hung = False
        while proc.poll() is None:
            time.sleep(0.2)
            # A step that has run longer than its limit is a hang; so is a
            # worker that ran well past its budget.
            try:
                last = os.stat(log).st_mtime
            except FileNotFoundError:
                last = os.path.getmtime(work)
            overdue = steps is None and time.monotonic() - started > seconds + 2 * limit
            if time.time() - last > limit or overdue:
                hung = True
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
        reader.join(5)
        outcome.seconds = time.monotonic() - started
        outcome.steps = read_steps(log)
        last_op = outcome.steps[-1].get("op", "?") if outcome.steps else "start"
        for raw in lines:
            text = raw.decode("utf-8", "replace").rstrip("\n")
            kind, _, rest = text.partition(" ")
            if kind not in ("DEFECT", "KNOWN"):
                if text and not quiet and self.args.verbose:
                    print(f"[{self.name}] {text}")
                continue
            sig, _, detail = rest.partition(" ")
            try:
                detail = json.loads(detail)
            except ValueError:
                pass
            if kind == "KNOWN":
                outcome.known.append((sig, detail))
            elif outcome.defect is None:
                outcome.defect = (sig, detail)
        errors.seek(0)
        stderr = errors.read().decode("utf-8", "replace")
        errors.close()
        status = proc.returncode
        if outcome.defect is None:
            if hung:
                outcome.defect = (f"{self.name}.{last_op}.hang", f"step {len(outcome.steps)} ran over {limit} s")
            elif status == SANITIZER_STATUS or status < 0 or status not in (0, 3):
                tail = stderr[-3000:]
                what = f"signal {-status}" if status < 0 else f"status {status}"
                outcome.defect = (f"{self.name}.{last_op}.crash", f"{what} in step {len(outcome.steps)}: {tail}")
            elif status == 3:
                outcome.defect = (f"{self.name}.{last_op}.crash", "status 3 with no DEFECT line: " + stderr[-2000:])
        if outcome.defect and outcome.defect[0] in known:
            outcome.known.append(outcome.defect)
            outcome.defect = None
        if not self.args.keep:
            shutil.rmtree(work, ignore_errors=True)
        return outcome


def read_steps(log):
    steps = []
    try:
        with open(log) as f:
            for line in f:
                try:
                    steps.append(json.loads(line))
                except ValueError:
                    break
    except FileNotFoundError:
        pass
    return steps


def shrink(face, seed, steps, signature, budget, known):
    """Drops steps while the same signature still comes (chunks, then single
    steps), within `budget` seconds; the shortest list found."""
    deadline = time.monotonic() + budget
    best = list(steps)

    def fails(candidate):
        # Known defects met on the way are passed, as in the run that failed.
        outcome = face.run(seed, 0, steps=candidate, known=known, quiet=True)
        return outcome.signature() == signature

    chunk = max(1, len(best) // 2)
    while chunk >= 1 and time.monotonic() < deadline:
        i = 0
        changed = False
        while i < len(best) and time.monotonic() < deadline:
            candidate = best[:i] + best[i + chunk:]
            if candidate and fails(candidate):
                best = candidate
                changed = True
            else:
                i += chunk
        if not changed:
            chunk //= 2
    return best


def write_repro(args, face, seed, outcome, shrunk):
    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, f"{face.name}-{seed}.json")
    sig, detail = outcome.defect
    with open(path, "w") as f:
        json.dump({"face": face.name, "seed": seed, "signature": sig, "detail": detail,
                   "asan": args.asan, "steps": outcome.steps, "shrunk": shrunk}, f, indent=1)
    return path


def soak_face(face, args, known, report, lock):
    deadline = time.monotonic() + args.seconds
    round_ = 0
    while True:
        left = deadline - time.monotonic()
        if left < 1 and round_ > 0:
            break
        seed = sub_seed(args.seed, face.name, round_)
        round_ += 1
        outcome = face.run(seed, max(1, int(left)), known=known)
        with lock:
            report["runs"][face.name] = report["runs"].get(face.name, 0) + 1
            report["steps"][face.name] = report["steps"].get(face.name, 0) + len(outcome.steps)
            for sig, detail in outcome.known:
                report["known"].setdefault(sig, (face.name, seed, detail))
        if outcome.defect is None:
            continue
        sig, detail = outcome.defect
        print(f"[{face.name}] DEFECT {sig} (seed {seed}, step {len(outcome.steps)}): {str(detail)[:400]}",
              flush=True)
        shrunk = outcome.steps
        if not args.no_shrink:
            shrunk = shrink(face, seed, outcome.steps, sig, args.shrink_seconds, known)
        path = write_repro(args, face, seed, outcome, shrunk)
        print(f"[{face.name}]   {len(shrunk)} of {len(outcome.steps)} steps still fail; replay: "
              f"tests/soak/run --replay {path}{' --asan' if args.asan else ''}", flush=True)
        # The shrunk steps go to the log too: a CI run's folders are gone after it.
        if len(shrunk) <= 40:
            for step in shrunk:
                print(f"[{face.name}]     {json.dumps(step)}", flush=True)
        with lock:
            report["defects"].append((face.name, sig, path))
        if args.first:
            break


def replay(args):
    with open(args.replay) as f:
        repro = json.load(f)
    face = Face(repro["face"], args)
    steps = repro["steps"] if args.full else repro["shrunk"]
    outcome = face.run(repro["seed"], 0, steps=steps, known=set())
    print(f"replayed {len(outcome.steps)} of {len(steps)} steps of {args.replay}")
    if outcome.defect:
        print(f"DEFECT {outcome.defect[0]}: {str(outcome.defect[1])[:2000]}")
        return 1
    print(f"no defect (it was {repro['signature']})")
    return 0


def find_python_module(build):
    for root, _, files in os.walk(os.path.join(build, "python")):
        if any(f.startswith("_line_reader") and f.endswith(".so") for f in files):
            return root
    return None


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--seconds", type=float, default=60, help="the budget of each face (they run side by side)")
    p.add_argument("--seed", type=int, default=None, help="the run's seed (default: from the clock, printed)")
    p.add_argument("--faces", default=",".join(FACES), help="a comma-separated subset of " + ",".join(FACES))
    p.add_argument("--asan", action="store_true", help="the sanitize preset's build")
    p.add_argument("--build", help="the build folder (default build/default, with --asan build/sanitize)")
    p.add_argument("--python-path", help="the folder of the Python module's _line_reader (default: found in the build)")
    p.add_argument("--replay", help="a repro file to run again")
    p.add_argument("--full", action="store_true", help="with --replay: the whole step list, not the shrunk one")
    p.add_argument("--known", default=os.path.join(HERE, "known.txt"))
    p.add_argument("--strict", action="store_true", help="known defects fail the run too")
    p.add_argument("--out", default="soak-repros", help="where repros are written")
    p.add_argument("--step-limit", type=float, default=60, help="seconds a step may take before it is a hang")
    p.add_argument("--shrink-seconds", type=float, default=120)
    p.add_argument("--no-shrink", action="store_true")
    p.add_argument("--first", action="store_true", help="stop a face at its first defect")
    p.add_argument("--keep", action="store_true", help="keep the workers' folders")
    p.add_argument("--verbose", "-v", action="store_true")
    args = p.parse_args()
    if args.build is None:
        args.build = os.path.join(ROOT, "build", "sanitize" if args.asan else "default")
    args.build = os.path.abspath(args.build)
    if args.python_path is None:
        args.python_path = find_python_module(args.build) or find_python_module(os.path.join(ROOT, "build", "default"))
    args.scratch = tempfile.mkdtemp(prefix="soak-")
    try:
        if args.replay:
            return replay(args)
        if args.seed is None:
            args.seed = int(time.time() * 1000) % 1000000007
        known = set() if args.strict else read_known(args.known)
        faces = []
        for name in args.faces.split(","):
            if name not in FACES:
                p.error(f"no face '{name}' (the faces: {','.join(FACES)})")
            face = Face(name, args)
            ok, why = face.available()
            if not ok:
                print(f"soak: {why}: the {name} face is skipped", file=sys.stderr)
                if os.environ.get("LINE_READER_REQUIRE_ALL") == "1":
                    return 2
                continue
            faces.append(face)
        print(f"soak: seed {args.seed}, {args.seconds:g} s a face, faces {','.join(f.name for f in faces)}"
              f"{', sanitizers' if args.asan else ''}", flush=True)
        report = {"runs": {}, "steps": {}, "known": {}, "defects": []}
        lock = threading.Lock()
        threads = [threading.Thread(target=soak_face, args=(f, args, known, report, lock)) for f in faces]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for face in faces:
            print(f"soak: {face.name}: {report['steps'].get(face.name, 0)} steps in "
                  f"{report['runs'].get(face.name, 0)} runs")
        for sig, (face, seed, detail) in sorted(report["known"].items()):
            print(f"soak: known, not yet mended: {sig} ({str(detail)[:160]})")
        if report["defects"]:
            print(f"soak: {len(report['defects'])} defects:")
            for face, sig, path in report["defects"]:
                print(f"  {sig}: tests/soak/run --replay {path}")
            return 1
        print("soak: no defect")
        return 0
    finally:
        shutil.rmtree(args.scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
