#include "kvelo/shared/replot.hpp"

#include <string>
#include <utility>

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/module.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/shared/figures.hpp"
#include "kvelo/shared/libraries.hpp"
#include "kvelo/shared/log.hpp"
#include "kvelo/shared/tables.hpp"

namespace kvelo::shared {

using namespace kvelo::binding;

using namespace pybind11::literals;

namespace {

bool ends_with(py::handle path, const char* ending) {
    return truthy(path.attr("endswith")(ending));
}

py::object run_replot(const Call& c, const ReplotForm& form, const ReplotDraw& draw) {
    const py::object& table_file = c.arg(form.file_param);
    log_debug(c, py::str(start_banner_text(form.name)));

    SavedTable saved;
    if (ends_with(table_file, ".csv")) {
        saved.table = c.g("pd").attr("read_csv")(table_file);
    } else if (ends_with(table_file, ".nc")) {
        saved.table = read_netcdf_table(c, table_file, &saved.units);
    } else {
        print_out(c, fmt("[ERROR] Could not load {} file: {}", form.kind, table_file));
        return py::none();
    }

    py::object plt = c.g("plt");
    FigureGuard guard(plt,
                      plt.attr("figure")("figsize"_a = py::make_tuple(form.width, form.height)));
    draw(c, saved);
    plt.attr("title")(fmt(form.title, c.arg("var")));
    plt.attr("tight_layout")();
    py::str stem =
        fmt("{}_region_{}_time_avg_{}_exp", c.arg("output_base"), c.arg("var"), form.tag);
    save_each_format(c, plt.attr("savefig"), stem, c.arg("save_formats"),
                     (std::string("Saved ") + form.kind + " plot: ").c_str());
    guard.close();

    log_debug(c, py::str(end_banner_text(form.name)));
    return py::none();
}

FunctionSpec replot_spec(const ReplotForm& form, ReplotDraw draw) {
    py::list formats;
    formats.append("png");
    formats.append("pdf");
    std::string doc = std::string(form.name) + "(" + form.file_param +
                      ", var, output_base, save_formats=[\"png\", \"pdf\"])\n\n" + form.summary;
    return {
        .name = form.name,
        .params = {form.file_param, "var", "output_base", {"save_formats", formats}},
        .impl = [form, draw = std::move(draw)](const Call& c) { return run_replot(c, form, draw); },
        .doc = doc};
}

}  // namespace

void load_replot_module(py::module_& m, const ReplotForm& form, ReplotDraw draw) {
    import_base_libraries(m);
    import_plot_libraries(m);
    import_from(m, "datetime", "datetime");
    import_from(m, "mpl_toolkits.axes_grid1", "make_axes_locatable");
    import_names(m, "kvelo.py.io", {"read_data", "save_data"});
    def(m, replot_spec(form, std::move(draw)));
}

}  // namespace kvelo::shared
