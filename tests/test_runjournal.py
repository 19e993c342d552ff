"""Run log set-up, console handler, start banner and input-availability report."""
import inspect
import logging
import re
import types

import pytest

from kvelo.py import runjournal
from support.child import run_python

LINE = re.compile(r"^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] (DEBUG|INFO|WARNING|ERROR): ")


def file_lines(path):
    return path.read_text().splitlines()


@pytest.fixture
def log_path(tmp_path, clean_root_logger):
    return tmp_path / "run.log"


# ---- setup_logging --------------------------------------------------------

def test_two_setups_leave_two_handlers_and_append(log_path):
    log_path.write_text("earlier run\n")
    runjournal.setup_logging(log_path)
    first = logging.getLogger().handlers[:]
    runjournal.setup_logging(log_path)
    root = logging.getLogger()
    assert not set(first) & set(root.handlers)
    assert not first[0].stream.closed  # detached, not closed
    assert [type(h).__name__ for h in root.handlers] == ["FileHandler", "TqdmLoggingHandler"]
    assert root.handlers[0].mode == "a"
    logging.info("once")
    lines = file_lines(log_path)
    assert lines[0] == "earlier run"
    assert [l[LINE.match(l).end():] for l in lines[1:]] == [
        f"Logging initialized: {log_path}", f"Logging initialized: {log_path}", "once"]
    first[0].close()


def test_handler_attached_before_is_detached_not_closed(log_path, tmp_path):
    root = logging.getLogger()
    earlier = logging.FileHandler(tmp_path / "earlier.log")
    root.addHandler(earlier)
    runjournal.setup_logging(str(log_path))
    assert earlier not in root.handlers
    assert earlier.stream is not None and not earlier.stream.closed
    earlier.close()


@pytest.mark.parametrize("debug, level", [
    (True, logging.DEBUG), (1, logging.DEBUG), ("yes", logging.DEBUG),
    (False, logging.INFO), (0, logging.INFO), ("", logging.INFO), (None, logging.INFO),
])
def test_debug_flag_is_tested_for_truth(log_path, debug, level):
    runjournal.setup_logging(log_path, debug)
    assert logging.getLogger().level == level
    logging.debug("a debug line")
    assert ("a debug line" in log_path.read_text()) == (level == logging.DEBUG)


def test_console_line_equals_file_line(log_path, capsys):
    runjournal.setup_logging(log_path, debug=True)
    logging.warning("station %s has %d rows", "ST1", 3)
    console = capsys.readouterr().err.splitlines()
    assert console == file_lines(log_path)
    assert LINE.match(console[-1]) and console[-1].endswith("WARNING: station ST1 has 3 rows")


def test_records_from_several_threads_arrive_whole(log_path, capsys):
    from concurrent.futures import ThreadPoolExecutor
    runjournal.setup_logging(log_path)

    def work(t):
        for i in range(50):
            logging.info("thread %d record %d", t, i)

    with ThreadPoolExecutor(4) as pool:
        list(pool.map(work, range(4)))
    console = capsys.readouterr().err.splitlines()[1:]
    in_file = file_lines(log_path)[1:]
    assert len(console) == len(in_file) == 200
    assert sorted(console) == sorted(in_file)
    assert all(LINE.match(l) for l in console)


def test_library_loggers_are_quieted(log_path):
    runjournal.setup_logging(log_path)
    for name in ("matplotlib", "PIL", "fiona", "fiona.env", "rasterio", "gdal"):
        assert logging.getLogger(name).level == logging.WARNING
    logging.getLogger("matplotlib.font_manager").info("font chatter")
    logging.getLogger("matplotlib.font_manager").warning("font trouble")
    logging.getLogger("urllib3").info("other library")
    text = log_path.read_text()
    assert "font chatter" not in text
    assert "font trouble" in text and "other library" in text


def test_record_that_does_not_fit_its_format_does_not_raise(log_path, capsys):
    runjournal.setup_logging(log_path)
    logging.info("value %d", "not a number")
    logging.info("next record")
    err = capsys.readouterr().err
    # Both handlers report through handleError, with the offending call's traceback.
    assert err.count("--- Logging error ---") == 2
    assert "TypeError" in err and "Message: 'value %d'" in err
    assert err.splitlines()[-1].endswith("INFO: next record")
    assert file_lines(log_path)[-1].endswith("INFO: next record")


def test_log_path_in_missing_directory_raises_and_leaves_no_handlers(tmp_path, clean_root_logger):
    root = logging.getLogger()
    root.addHandler(logging.NullHandler())
    before = logging.getLogger("matplotlib").level
    with pytest.raises(FileNotFoundError):
        runjournal.setup_logging(tmp_path / "missing" / "run.log", debug=True)
    assert root.handlers == []
    assert root.level == logging.DEBUG
    assert logging.getLogger("matplotlib").level == before
    assert not (tmp_path / "missing").exists()


def test_log_file_is_utf8_under_an_ascii_locale(tmp_path):
    # The report lines begin with emoji; under a locale whose encoding cannot
    # hold them, the file must still receive every line.
    import os
    log = tmp_path / "run.log"
    code = (
        "import logging\n"
        "from kvelo.py import runjournal\n"
        f"runjournal.setup_logging({str(log)!r})\n"
        "logging.info('\\U0001f4c1 Observation data: ok \\u00b5g')\n"
    )
    env = dict(os.environ, LC_ALL="C", PYTHONCOERCECLOCALE="0", PYTHONUTF8="0")
    out = run_python(code, options=("-X", "utf8=0"), env=env, encoding="utf-8")
    assert out.returncode == 0, out.stderr
    assert "Logging error" not in out.stderr
    lines = log.read_text(encoding="utf-8").splitlines()
    assert lines[-1].endswith("INFO: \U0001f4c1 Observation data: ok \u00b5g")


def test_log_file_keeps_lines_with_surrogate_escaped_names(tmp_path, clean_root_logger,
                                                           monkeypatch):
    # As os.fsdecode gives a Latin-1 file name: the line is kept, backslashed.
    # (The console is a text buffer here; the interpreter's own stderr
    # backslashes such text too.)
    import io
    import sys
    monkeypatch.setattr(sys, "stderr", io.StringIO())
    runjournal.setup_logging(tmp_path / "run.log")
    logging.info("Saved: /data/caf\udce9/O3.png")
    assert "Logging error" not in sys.stderr.getvalue()
    assert file_lines(tmp_path / "run.log")[-1].endswith(r"INFO: Saved: /data/caf\udce9/O3.png")


# ---- TqdmLoggingHandler ---------------------------------------------------

def test_handler_class_shape():
    cls = runjournal.TqdmLoggingHandler
    assert issubclass(cls, logging.Handler) and cls.__bases__ == (logging.Handler,)
    assert cls.__doc__ == "Redirects logging to `tqdm.write()`."
    assert cls.__module__ == "kvelo.py.runjournal"
    assert cls.emit.__qualname__ == "TqdmLoggingHandler.emit"
    assert str(inspect.signature(cls.__init__)) == "(self, level=0)"
    assert str(inspect.signature(cls)) == "(level=0)"
    assert cls().level == logging.NOTSET
    assert cls(logging.ERROR).level == cls(level=logging.ERROR).level == logging.ERROR
    for name in ("format", "flush", "handleError", "setFormatter", "close"):
        assert getattr(cls, name) is getattr(logging.Handler, name)


def make_record(msg="hello", args=()):
    return logging.LogRecord("kvelo", logging.INFO, __file__, 1, msg, args, None)


class FakeTqdm:
    def __init__(self, error=None):
        self.error, self.calls = error, []

    def write(self, msg, file=None):
        self.calls.append((msg, file))
        if self.error is not None:
            raise self.error


def test_emit_looks_up_tqdm_and_stderr_per_record(monkeypatch):
    import io
    import sys
    fake = FakeTqdm()
    monkeypatch.setattr(runjournal, "tqdm", fake)
    handler = runjournal.TqdmLoggingHandler()
    handler.setFormatter(logging.Formatter("%(levelname)s %(message)s"))
    first, second = io.StringIO(), io.StringIO()
    monkeypatch.setattr(sys, "stderr", first)
    handler.handle(make_record("to %s", ("console",)))
    monkeypatch.setattr(sys, "stderr", second)
    handler.handle(make_record("again"))
    assert fake.calls == [("INFO to console", first), ("INFO again", second)]


@pytest.mark.parametrize("error, escapes", [
    (KeyboardInterrupt(), True),
    (SystemExit(2), True),
    (GeneratorExit(), True),
    (OSError("stream closed"), False),
    (ValueError("bad"), False),
])
def test_emit_catches_only_the_exception_family(monkeypatch, error, escapes):
    monkeypatch.setattr(runjournal, "tqdm", FakeTqdm(error))
    handler = runjournal.TqdmLoggingHandler()
    handled = []
    handler.handleError = handled.append
    record = make_record()
    if escapes:
        with pytest.raises(type(error)):
            handler.emit(record)
        assert handled == []
    else:
        assert handler.emit(record) is None
        assert handled == [record]


def test_error_raised_in_c_code_is_still_handled(monkeypatch, capsys):
    # A console writer without Python frames of its own: its error carries no
    # traceback, which the base class's report must still be able to walk.
    monkeypatch.setattr(runjournal, "tqdm", types.SimpleNamespace(write=int))
    handler = runjournal.TqdmLoggingHandler()
    assert handler.emit(make_record("lost line")) is None
    err = capsys.readouterr().err
    assert "--- Logging error ---" in err
    assert "'file' is an invalid keyword argument" in err
    assert "Message: 'lost line'" in err


# ---- banner and input availability -----------------------------------------

def info_messages(caplog):
    return [r.getMessage() for r in caplog.records if r.levelno == logging.INFO]


RULE = "=" * 65


def test_banner_lines(caplog, monkeypatch):
    caplog.set_level(logging.INFO)
    monkeypatch.setattr(runjournal, "KVELO_VERSION", 2)
    monkeypatch.setattr(runjournal, "KVELO_RELEASE_DATE", "2026-01-02")
    monkeypatch.setattr(runjournal, "KVELO_DISTRIBUTION", "lab")
    assert runjournal.log_kvelo_banner() is None
    lines = info_messages(caplog)
    assert lines == [RULE, "KVELO Version       : 2", "KVELO Release Date  : 2026-01-02",
                     "KVELO Mode          : lab", RULE]
    assert len({line.index(":") for line in lines[1:4]}) == 1


def test_banner_reads_the_version_module(caplog):
    from kvelo.py import version
    caplog.set_level(logging.INFO)
    runjournal.log_kvelo_banner()
    assert info_messages(caplog)[1] == f"KVELO Version       : {version.KVELO_VERSION}"


MOD_MISSING = ("\u2139\ufe0f  No model input path ('mod_path') provided. "
               "Model processing will be skipped.")
OBS_MISSING = ("\u2139\ufe0f  No observation input path ('obs_path') provided. "
               "Observation processing will be skipped.")
STATION_MISSING = ("\u2139\ufe0f  No station file provided. "
                   "Region-based station selection will be used if needed.")


@pytest.mark.parametrize("config, expected", [
    ({}, [MOD_MISSING, OBS_MISSING, STATION_MISSING]),
    ({"use_mod": True, "mod_path": "/data/mod", "use_obs": 1, "obs_path": "/data/obs",
      "use_station_file": "yes", "station_file": "st.csv"},
     ["\u2705 Model input path available: /data/mod",
      "\u2705 Observation input path available: /data/obs",
      "\u2705 Station file available: st.csv"]),
    ({"use_mod": False, "mod_path": "/m", "use_obs": 0, "obs_path": "/o",
      "use_station_file": "", "station_file": "s"}, [MOD_MISSING, OBS_MISSING, STATION_MISSING]),
    ({"use_mod": None, "use_obs": "false", "obs_path": None},
     [MOD_MISSING, "\u2705 Observation input path available: None", STATION_MISSING]),
])
def test_input_availability_lines(caplog, config, expected):
    caplog.set_level(logging.INFO)
    assert runjournal.log_input_availability(config) is None
    assert info_messages(caplog) == expected


def test_set_flag_without_path_raises_after_earlier_rows(caplog):
    caplog.set_level(logging.INFO)
    config = {"use_mod": True, "mod_path": "/m", "use_obs": True, "use_station_file": True,
              "station_file": "s"}
    with pytest.raises(KeyError, match="obs_path"):
        runjournal.log_input_availability(config)
    assert info_messages(caplog) == ["\u2705 Model input path available: /m"]
