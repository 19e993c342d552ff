"""Running test code in a fresh interpreter: for cases that used to crash or hang
the process that ran them, and for what only a new process shows (what loading
a module imports, a locale, a memory limit)."""
import os
import subprocess
import sys
import textwrap

import pytest

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run_python(code, *args, timeout=300, env=None, options=(), encoding=None):
    """Runs `code` (dedented) in a new interpreter that can import the test
    modules, with `options` before the code on its command line and `args` as
    its sys.argv[1:]; returns the finished process.  A child still running
    after `timeout` seconds fails the test."""
    script = f"import sys\nsys.path.insert(0, {TESTS!r})\n" + textwrap.dedent(code)
    try:
        return subprocess.run([sys.executable, *options, "-c", script, *args],
                              capture_output=True, text=True, encoding=encoding,
                              timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        pytest.fail(f"no result within {timeout} s")


def output(code, *args, **kw):
    """What `code` prints, run as run_python runs it; a child that does not
    end normally fails the test with its exit status and error output."""
    proc = run_python(code, *args, **kw)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stderr[-3000:]}"
    return proc.stdout


def printed_lines(code, *args, **kw):
    """The lines `code` prints, as `output` runs it."""
    return output(code, *args, **kw).splitlines()


def assert_prints_same(*pieces, timeout=600):
    """Runs the code pieces (each dedented), one after the other in one child;
    the code prints "same" and nothing else once its checks hold."""
    out = output("".join(textwrap.dedent(p) for p in pieces), timeout=timeout)
    assert out.split() == ["same"], out[-2000:]
