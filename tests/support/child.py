"""Running test code in a fresh interpreter, for cases that used to crash or hang
the process that ran them."""
import os
import subprocess
import sys
import textwrap

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run_python(code, *args, timeout=300, env=None):
    """Runs `code` (dedented) in a new interpreter that can import the test
    modules, with `args` as its sys.argv[1:]; returns the finished process."""
    script = f"import sys\nsys.path.insert(0, {TESTS!r})\n" + textwrap.dedent(code)
    return subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True,
                          timeout=timeout, env=env)


def printed_lines(code, *args, **kw):
    """The lines `code` prints, run as run_python runs it; a child that does not
    end normally fails the test with its exit status and error output."""
    proc = run_python(code, *args, **kw)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stderr[-3000:]}"
    return proc.stdout.splitlines()
