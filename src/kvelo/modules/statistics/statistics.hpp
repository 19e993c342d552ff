// Module statistics: per-station and regional statistics tables, Pearson
// variants, the one-row statistics file and the statistics bar charts.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kvelo/binding/function.hpp"
#include "kvelo/core/stats.hpp"

namespace kvelo::statistics {

namespace py = pybind11;
using binding::Call;
using binding::FunctionSpec;

FunctionSpec spec_compute_statistics_from_collocated_df();
FunctionSpec spec_compute_statistics_from_collocated_df_with_obs_entry();
FunctionSpec spec_compute_pearson_r();
FunctionSpec spec_compute_regional_statistics();
FunctionSpec spec_compute_regional_statistics_from_collocated_dict();
FunctionSpec spec_compute_pearson_r_with_shift();
FunctionSpec spec_compute_pearson_r_with_shift2();
FunctionSpec spec_compute_pearson_r2();
FunctionSpec spec_save_stats();
FunctionSpec spec_plot_statistics();

// The objects bound at load.  The native routes are taken only while the
// module globals still hold them; a replaced name is called as it is.
struct Originals {
    PyObject* statistics_df = nullptr;
    PyObject* with_obs_entry = nullptr;
    PyObject* pearson_r = nullptr;
    PyObject* pearsonr = nullptr;
    PyObject* np = nullptr;
    PyObject* pd = nullptr;
};
Originals& originals();
bool is_original(const Call& c, const char* name, PyObject* original);
// compute_pearson_r and scipy's pearsonr both untouched.
bool native_pearson(const Call& c);
// np and pd untouched: the native kernels stand in for their numbers.
bool native_libraries(const Call& c);

// A float64 column read through the buffer protocol, to the length the
// buffer itself reports.
struct Column {
    core::stats::ColumnView view;
    py::object owner;  // keeps the memory alive
};

// One flag per row, 1 where the row's time is present.
struct RowFlags {
    const std::uint8_t* data = nullptr;
    std::size_t n = 0;
};

// What the statistics read from a collocated frame: a pandas table, or the
// regional pool gathered natively from the station-wise dictionary, with its
// rows in the order the table would hold them.
class Frame {
  public:
    virtual ~Frame() = default;
    virtual bool has_column(py::handle name) = 0;
    // `selection` is the column list the library formulation selects, so that
    // a frame without `time` fails with the library's own error.  nullopt:
    // use the library formulation.
    virtual std::optional<RowFlags> time_ok(const py::list& selection) = 0;
    // nullopt: the column is not plain float64; use the library formulation.
    virtual std::optional<Column> numeric(py::handle name) = 0;
    // The pandas table for the library formulation.
    virtual py::object table() = 0;
};

// A pandas table as a Frame.
class DataFrameFrame : public Frame {
  public:
    DataFrameFrame(const Call& c, py::object df) : c_(c), df_(std::move(df)) {}
    bool has_column(py::handle name) override;
    std::optional<RowFlags> time_ok(const py::list& selection) override;
    std::optional<Column> numeric(py::handle name) override;
    py::object table() override { return df_; }

  private:
    const Call& c_;
    py::object df_;
    bool time_read_ = false;
    std::optional<RowFlags> time_ok_;
    py::array_t<std::uint8_t> time_flags_;
    std::vector<std::pair<py::object, std::optional<Column>>> numeric_;
};

struct TableArgs {
    py::object station_metadata, variable, experiments, tavg, debug;
};

// The statistics table of one collocated frame (experiment rows only).
py::object statistics_table(const Call& c, Frame& f, const TableArgs& a);
// The same, preceded by the observation row.
py::object statistics_table_with_obs(const Call& c, Frame& f, const TableArgs& a);

py::object nan();

}  // namespace kvelo::statistics
