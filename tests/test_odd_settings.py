"""Odd settings and scalar arguments: every public function, every argument and every
`config` key it reads, fed a table of odd values (None, bools, 0, -1, huge ints,
floats, NaN, numpy scalars, empty, non-ASCII and lone-surrogate texts, bytes,
lists, dicts, a Path, objects whose __bool__/__index__/__str__/__eq__ raise, a
config that is only a Mapping or whose get raises, odd format words), plus a
seeded sample of calls that change two or three of them at once.

Each call must return or raise an ordinary Python exception (an Exception, not
SystemError) whose text, causes and contexts included, names nothing of the
binding layer or of C++; the package's last-resort translation of a C++ failure
may answer a value of the wrong kind, never a value of the very type that belongs
in that place (text, int, float, bool).  The cases run in child interpreters
(odd_campaign.py): a crash or a hang is reported with the case and the child's
traceback, and the campaign goes on with the next case, so one run lists every
failure.
"""
import collections
import json
import os
import queue
import select
import signal
import subprocess
import sys
import threading
import time

import pytest

import odd_campaign

HERE = os.path.dirname(os.path.abspath(__file__))
WORKERS = 2
# Beyond the child's own per-call limit (it dumps its traceback and exits), the
# parent waits this much longer before it kills a child that no longer answers.
GRACE = 30.0
START_TIMEOUT = 300.0


class Child:
    """One child interpreter that runs cases on request."""

    def __init__(self, workdir, natural_earth_dir, log_path):
        os.makedirs(workdir, exist_ok=True)
        read_end, write_end = os.pipe()
        self.log_path = log_path
        self.log = open(log_path, "ab")
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "odd_campaign.py"), workdir,
             str(natural_earth_dir), str(write_end)],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=self.log,
            pass_fds=(write_end,), cwd=workdir, text=True, env=child_environment())
        os.close(write_end)
        self.answers = os.fdopen(read_end, "r")
        self.buffer = ""
        line = self.read_line(START_TIMEOUT)
        if line != "ready":
            raise RuntimeError(f"the campaign child did not start: {line!r}\n{self.tail()}")

    def read_line(self, timeout):
        """The child's next answer, or None when it ends or stays silent past timeout."""
        deadline = time.monotonic() + timeout
        fd = self.answers.fileno()
        while "\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 65536).decode()
                if not chunk:
                    return None
                self.buffer += chunk
        line, self.buffer = self.buffer.split("\n", 1)
        return line

    def run(self, index):
        """(failed, outcome, trace, seconds) of the case; None when the child had
        already ended before it (after its previous answer)."""
        try:
            self.proc.stdin.write(f"{index}\n")
            self.proc.stdin.flush()
        except BrokenPipeError:
            self.close()
            return None
        line = self.read_line(odd_campaign.CALL_TIMEOUT + GRACE)
        if line is not None:
            answer = json.loads(line)
            assert answer["i"] == index, answer
            return answer["failed"], answer["outcome"], "", answer["seconds"]
        # The child crashed, exited or hangs beyond its own limit.
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            outcome = "hang: no answer, the child was killed"
        else:
            outcome = exit_text(self.proc.returncode)
        trace = self.case_trace(index)
        if "Timeout (" in trace and outcome.startswith("exit status 1 "):
            outcome = f"hang: still running after {odd_campaign.CALL_TIMEOUT:g} s"
        self.close()
        return True, outcome, trace, None

    def case_trace(self, index):
        self.log.flush()
        with open(self.log_path, "rb") as f:
            text = f.read().decode(errors="replace")
        marker = f"@@ case {index}\n"
        text = text[text.rfind(marker) + len(marker):] if marker in text else text
        lines = [t for t in text.strip("\n").splitlines()
                 if not t.startswith("Extension modules:")]
        return "\n".join(lines[-60:])

    def tail(self):
        self.log.flush()
        with open(self.log_path, "rb") as f:
            return f.read().decode(errors="replace")[-4000:]

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
                self.proc.wait(timeout=30)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        self.answers.close()
        self.log.close()


def child_environment():
    """The parent's environment, with PYTHONPATH made absolute (the child runs in its
    own directory) and the package the parent imported named, so that the child
    checks that it loads the same build."""
    import kvelo.py
    env = dict(os.environ)
    paths = [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    env["KVELO_ODD_PACKAGE"] = os.path.dirname(os.path.abspath(kvelo.py.__file__))
    return env


def exit_text(code):
    if code < 0:
        try:
            name = signal.Signals(-code).name
        except ValueError:
            name = f"signal {-code}"
        return f"crash: killed by {name}"
    # A sanitizer that halts exits with a status and writes its report to its log.
    return f"exit status {code} (a sanitizer's report, where one runs, is in its log)"


def run_campaign(indices, root, natural_earth_dir):
    """Runs the cases (indices into CASES) on WORKERS children; returns
    {index: (failed, outcome, trace, seconds)}."""
    todo = queue.Queue()
    for i in indices:
        todo.put(i)
    results = {}
    errors = []
    retried = set()

    def worker(n):
        child, started = None, 0
        try:
            while True:
                try:
                    i = todo.get_nowait()
                except queue.Empty:
                    break
                if child is None:
                    started += 1
                    child = Child(os.path.join(root, f"w{n}-{started}"), natural_earth_dir,
                                  os.path.join(root, f"w{n}-{started}.log"))
                result = child.run(i)
                if result is None or result[2]:
                    child = None  # it ended; the next case gets a new one
                if result is None and i not in retried:
                    retried.add(i)
                    todo.put(i)
                    continue
                if result is None:
                    result = True, "the child ended before the case ran, twice", "", None
                results[i] = result
        except BaseException as e:  # noqa: B902 - reported by the test
            errors.append(e)
        finally:
            if child is not None:
                child.close()

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(WORKERS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return results


CASES = odd_campaign.all_cases()


class Outcomes(collections.defaultdict):
    """Module -> [(case, failed, outcome, trace, seconds)], shown briefly."""

    def __repr__(self):
        return f"<odd value outcomes of {sum(len(v) for v in self.values())} cases>"


@pytest.fixture(scope="session")
def campaign(request, natural_earth_dir, tmp_path_factory):
    """The outcome of every case of the modules whose test is selected, run once."""
    wanted = {item.callspec.params["module"] for item in request.session.items
              if item.originalname == "test_odd_values_get_python_answers"}
    indices = [i for i, c in enumerate(CASES) if c.module in wanted]
    root = tmp_path_factory.mktemp("odd_campaign")
    started = time.monotonic()
    results = run_campaign(indices, str(root), natural_earth_dir)
    by_module = Outcomes(list)
    for i in indices:
        by_module[CASES[i].module].append((CASES[i], *results[i]))
    dump = os.environ.get("KVELO_ODD_RESULTS")
    if dump:  # every outcome, for a findings list or a look at the costs
        with open(dump, "w") as f:
            for i in indices:
                failed, outcome, trace, seconds = results[i]
                f.write(json.dumps({"case": CASES[i].describe(), "fn": CASES[i].fn,
                                    "failed": failed, "outcome": outcome, "trace": trace,
                                    "seconds": seconds}) + "\n")
            f.write(json.dumps({"wall": time.monotonic() - started}) + "\n")
    return by_module


def report(failures):
    lines = [f"{len(failures)} odd value case(s) not answered as Python would:"]
    for case, _, outcome, trace, _ in failures:
        lines.append(f"- {case.describe()}: {outcome}")
        if trace:
            lines += ["    " + t for t in trace.splitlines()[-25:]]
    return "\n".join(lines)


@pytest.mark.parametrize("module", odd_campaign.MODULES)
def test_odd_values_get_python_answers(module, campaign):
    outcomes = campaign[module]
    assert outcomes, f"no case for {module}"
    failures = [o for o in outcomes if o[1]]
    assert not failures, report(failures)
