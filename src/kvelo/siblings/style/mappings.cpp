// Variable mappings: how the columns of a network's observation CSV files are
// named and timed, and which data variable of a model field holds a variable.
//
// The tables are constant data; every call builds a fresh dict from them, so
// the loader's worker threads may call at once and callers may change what
// they get without touching anyone else's mapping.
#include <optional>
#include <string>

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/siblings/style/style.hpp"

namespace kvelo::style {

namespace {

struct VariableEntry {
    const char* column;  // the column in the network's files
    const char* mapped;  // the common variable name
    const char* unit;
};

struct Network {
    const char* key;  // lower case; lookups ignore the caller's letter case
    const char* time_col;
    const char* lat_col;
    const char* lon_col;
    const char* time_format;  // nullptr: let the table library infer it
    const char* time_units;   // nullptr: no units attribute on the time coordinate
    const char* calendar;
    const VariableEntry* variables;
    size_t n_variables;
};

constexpr VariableEntry kHourlyNetworkVars[] = {
    {"OZONE", "O3", "ppb"}, {"NO2", "NO2", "ppb"},      {"CO", "CO", "ppm"},
    {"SO2", "SO2", "ppb"},  {"PM25", "PM2.5", "ug/m3"}, {"PM10", "PM10", "ug/m3"},
};

constexpr VariableEntry kRegulatoryVars[] = {
    {"O3", "O3", "ppb"},       {"NO2", "NO2", "ppb"}, {"NOX", "NOx", "ppb"},
    {"CO", "CO", "ppm"},       {"SO2", "SO2", "ppb"}, {"PM2.5", "PM2.5", "ug/m3"},
    {"PM10", "PM10", "ug/m3"},
};

constexpr VariableEntry kBackgroundVars[] = {
    {"o3", "O3", "ppb"},
    {"co", "CO", "ppb"},
    {"ch4", "CH4", "ppb"},
    {"co2", "CO2", "ppm"},
};

// Files of unknown networks: the loader's own default column names and the
// usual species columns.
constexpr VariableEntry kDefaultVars[] = {
    {"O3", "O3", "ppb"},   {"NO2", "NO2", "ppb"},      {"CO", "CO", "ppm"},
    {"SO2", "SO2", "ppb"}, {"PM25", "PM2.5", "ug/m3"}, {"PM10", "PM10", "ug/m3"},
};

template <size_t N>
constexpr size_t count(const VariableEntry (&)[N]) {
    return N;
}

constexpr Network kNetworks[] = {
    {"hourly", "DATEON", "LATITUDE", "LONGITUDE", "%Y-%m-%d %H:%M:%S",
     "seconds since 1970-01-01 00:00:00", "standard", kHourlyNetworkVars,
     count(kHourlyNetworkVars)},
    {"regulatory", "DATEON", "LATITUDE", "LONGITUDE", "%Y-%m-%d %H:%M", "hours since 1970-01-01",
     "gregorian", kRegulatoryVars, count(kRegulatoryVars)},
    {"background", "time", "latitude", "longitude", "%Y-%m-%dT%H:%M:%S", "hours since 1900-01-01",
     nullptr, kBackgroundVars, count(kBackgroundVars)},
};

constexpr Network kDefaultNetwork = {"default", "DATEON", "LATITUDE",   "LONGITUDE",        nullptr,
                                     nullptr,   nullptr,  kDefaultVars, count(kDefaultVars)};

// Model fields name a variable as the driver does; only the unit is looked up.
struct ModelUnit {
    const char* variable;  // upper case
    const char* unit;
};
constexpr ModelUnit kModelUnits[] = {
    {"O3", "ppb"},      {"NO2", "ppb"},    {"NOX", "ppb"},    {"CO", "ppb"},  {"SO2", "ppb"},
    {"PM2.5", "ug/m3"}, {"PM25", "ug/m3"}, {"PM10", "ug/m3"}, {"CH4", "ppb"}, {"CO2", "ppm"},
};

py::object text_or_none(const char* s) {
    return s ? py::object(py::str(s)) : py::object(py::none());
}

py::dict network_mapping(const Network& n) {
    py::dict coords;
    coords["time"] = n.time_col;
    coords["lat"] = n.lat_col;
    coords["lon"] = n.lon_col;
    py::dict variables;
    for (size_t i = 0; i < n.n_variables; ++i) {
        const VariableEntry& v = n.variables[i];
        variables[py::str(v.column)] = py::make_tuple(v.mapped, v.unit);
    }
    py::dict mapping;
    mapping["coords"] = coords;
    mapping["time_format"] = text_or_none(n.time_format);
    mapping["time_units"] = text_or_none(n.time_units);
    mapping["calendar"] = text_or_none(n.calendar);
    mapping["variables"] = variables;
    return mapping;
}

py::dict model_mapping(py::handle data_type, py::handle region, py::handle variable) {
    py::dict mapping;
    py::object name = variable.is_none() ? py::object(py::none()) : py::object(py::str(variable));
    mapping["mapped_name"] = name;
    py::object unit = py::none();
    if (!name.is_none()) {
        auto key = folded_key(name, "upper");
        for (const ModelUnit& u : kModelUnits) {
            if (key && *key == u.variable) unit = py::str(u.unit);
        }
    }
    mapping["unit"] = unit;
    mapping["data_type"] = data_type;
    mapping["region"] = region;
    return mapping;
}

py::object get_variable_mapping(const binding::Call& c) {
    py::handle data_type = c.arg("data_type"), region = c.arg("region"),
               variable = c.arg("variable");
    if (!region.is_none() || !variable.is_none()) return model_mapping(data_type, region, variable);
    if (!data_type.is_none()) {
        auto key = folded_key(data_type, "lower");
        for (const Network& n : kNetworks) {
            if (key && *key == n.key) return network_mapping(n);
        }
    }
    return network_mapping(kDefaultNetwork);
}

}  // namespace

void add_mappings(py::module_& m) {
    binding::def(
        m, {.name = "get_variable_mapping",
            .params = {{"data_type", py::none()}, {"region", py::none()}, {"variable", py::none()}},
            .impl = get_variable_mapping,
            .doc = "get_variable_mapping(data_type=None, region=None, variable=None)\n\n"
                   "With only data_type: the mapping of a network's observation CSV files "
                   "(coords, time_format, time_units, calendar, variables), the default "
                   "one for unknown networks.  With region or variable: the model "
                   "mapping, whose mapped_name is the data variable of the field."});
}

std::optional<std::string> folded_key(py::handle value, const char* fold) {
    py::object text = py::str(value).attr(fold)();
    if (auto bytes = binding::utf8(text)) return std::string(*bytes);
    return std::nullopt;
}

}  // namespace kvelo::style
