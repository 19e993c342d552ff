"""Stand-ins for the functions a module calls through its attributes."""


def stand_in(result, calls):
    """A function that records each call as (args, kwargs) in `calls` and
    raises `result` where it is an exception, else returns it."""
    def function(*args, **kwargs):
        calls.append((args, kwargs))
        if isinstance(result, BaseException):
            raise result
        return result
    return function
