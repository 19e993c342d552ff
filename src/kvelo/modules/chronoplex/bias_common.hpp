// What the bias figure functions share: the settings every one of them takes,
// a station's series and its bias against one experiment (paired natively for
// plain float lists), the regional mean with its station spread, the spread of
// one series, the styled lines and bands and the save loop.  What differs
// between the functions (sign, counting, bands, titles, layouts) stays with
// each of them.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "kvelo/binding/function.hpp"
#include "kvelo/modules/chronoplex/regional.hpp"

namespace kvelo::chronoplex::bias {

namespace py = pybind11;
using binding::Call;

// The arguments every bias function reads, and the libraries looked up when
// the call starts.
struct Run {
    explicit Run(const Call& call);
    const Call& c;
    py::object pd, np, plt;
    py::object config, data, plot_file_base, formats, variable, unit, tavg;
    py::object debug_flag;  // as given, for the banners
    bool debug;
    py::str obs_key;  // "{variable}_obs"
    py::str prefix;   // "{variable}_"
};

// The station identifiers sorted ascending, and their station_data mappings.
struct Stations {
    py::list ids;
    std::vector<py::object> data;
};
Stations sorted_stations(const Run& r);  // the stations of r.data in sorted order

// The settings the first and second variants read alike, in their order:
// region label, "[{start_date} to {end_date}] ({tavg})" and force_full_year;
// then the seaborn theme.
struct RegionSettings {
    py::object region_label, date_range, force_full_year;
};
RegionSettings region_settings(const Run& r);  // read off r.config

// Keys of the given station_data mappings that start with "{variable}_" and
// are not the observation key, without repeats, sorted ascending.
std::vector<py::object> experiment_keys(const Run& r, const std::vector<py::object>& stations);

// A key takes part at a station only when present and its list is non-empty.
bool takes_part(py::handle sd, py::handle key);

// One station's time index and observations.
struct Station {
    py::object times;     // pandas to_datetime of `time`
    py::object obs_list;  // the observation values as given
    bool as_float64 = false;
    bool native = false;  // observations held as plain floats below
    std::vector<double> obs;
    py::object obs_series;  // the table library's series, made when needed

    const py::object& series(const Run& r);
};

// The station's `time` (an empty list when absent) and `obs_values`.  With
// `as_float64` the library series are converted to float64.  Unless the
// observations are plain floats of the right length, the library series is
// made at once, so a list of the wrong length raises here.
Station station_series(const Run& r, py::handle sd, py::handle obs_values, bool as_float64 = false);

enum class Sign { ModelMinusObs, ObsMinusModel };

// The difference at the time stamps where observation and model are both
// present, in the station's order.
struct Bias {
    py::object mod_values;       // the model values as the library's series holds them
    py::object bias;             // series on those time stamps
    long long n_valid = 0;       // stamps with both values present
    long long finite_count = 0;  // of those, differences that are not NaN (inf - inf is)
};

// Plain float lists are paired natively, with the values and index of the
// table library's formulation that serves every other list.
Bias station_bias(const Run& r, Station& s, py::handle values, Sign sign);

// sqrt(mean((x - mean(x))**2)) of a series, NaN skipped: the population
// standard deviation.
py::object population_spread(const Run& r, py::handle series);

// The station series side by side over the union of their time stamps (a
// station's repeated stamps averaged first), reduced per time stamp as `how`
// says.  Computed natively where the series allow, to the library's bits;
// `keep_table` (the table is dumped) takes the library's route.
RegionalSeries regional_series(const Run& r, const py::list& series, const Reduction& how,
                               bool keep_table = false);

// style = get_line_style(key) with "linewidth" 1.5: the mapping as returned.
py::object line_style(const Run& r, py::handle key);
// ax.fill_between(x, low, high) in the style's colour ("gray" without one).
void fill_band(py::handle ax, py::handle x, py::handle low, py::handle high, py::handle style,
               py::handle label);

// A new figure of `width` by 6 inches with constrained layout: (fig, ax).
py::tuple new_figure(const Run& r, int width);

// "{plot_file_base}{stem}.{fmt}" for every format word: saved at 300 dpi with
// a tight box, then "Saved: {fname}".
void save_figure(const Run& r, py::handle fig, py::handle stem);

}  // namespace kvelo::chronoplex::bias
