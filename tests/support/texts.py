"""Texts the package writes that several test files expect: the banners a
function logs as it starts and ends, the advice the examples print without map
data, and characters the odd-text tests put into names."""

STARS = "*" * 24


def banner(label, name):
    """The line a function logs as it starts or ends: `label` as the function
    writes it ("Start: ", "End:   "; the bias figures and the collocated series
    figure end with "End: "), 24 stars, the function's name, 24 stars."""
    return f"{label}{STARS} {name} {STARS}"


def start(name):
    return banner("Start: ", name)


def end(name):
    return banner("End:   ", name)


def short_end(name):
    """The end banner of the bias figures and the collocated series figure."""
    return banner("End: ", name)


# What the bias figures log where no station gives a bias to draw.
NO_VALID_BIAS_DATA = "No stations had valid data for bias plotting. Skipping."

# What both examples advise, in the same words, when the map data cannot be had.
NATURAL_EARTH_ADVICE = (
    "put a local copy of the Natural Earth shapefiles under "
    "DIR/shapefiles/natural_earth/{physical,cultural}/ and pass --natural-earth DIR "
    '(it becomes cartopy.config["pre_existing_data_dir"]).')

# What os.fsdecode gives for the Latin-1 byte 0xE9 of a file name: a lone surrogate.
SURROGATE = "\udce9"

DASH = "\u2014"  # between the subject and the dates of a title
