"""Reading what a call logged, from pytest's caplog."""


def messages(caplog, level=None):
    """The messages of every record, at `level` only where one is given."""
    return [r.getMessage() for r in caplog.records if level is None or r.levelno == level]


def own_records(caplog):
    """The records of the root logger alone (the libraries log through their own)."""
    return [r for r in caplog.records if r.name == "root"]


def own_messages(caplog, level=None):
    """The messages of the root logger alone (the libraries log at debug level
    too), at `level` only where one is given."""
    return [r.getMessage() for r in own_records(caplog) if level is None or r.levelno == level]
