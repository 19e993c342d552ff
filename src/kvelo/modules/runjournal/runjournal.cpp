// Run environment: the process-wide log (file and console), the start banner
// and the input-availability report.
#include <pybind11/pybind11.h>

#include <memory>

#include "kvelo/binding/function.hpp"
#include "kvelo/binding/module.hpp"
#include "kvelo/binding/values.hpp"
#include "kvelo/shared/log.hpp"

namespace py = pybind11;
using namespace kvelo::binding;
using namespace kvelo::shared;
using namespace pybind11::literals;

namespace {

const char* const kModuleName = "kvelo.py.runjournal";
const char* const kRecordFormat = "[%(asctime)s] %(levelname)s: %(message)s";
const char* const kDateFormat = "%Y-%m-%d %H:%M:%S";

// The libraries whose debug and info chatter would drown the run's own lines.
const char* const kQuietLoggers[] = {"matplotlib", "PIL", "fiona", "fiona.env", "rasterio", "gdal"};

// sys.exc_info() as seen by handleError: the base class prints the traceback
// of the error being handled, so it must be the current one while it runs.
class HandledException {
  public:
    explicit HandledException(const py::error_already_set& e) {
        // The interpreter (3.11+) reads the traceback from the exception
        // itself, which a fetched error does not carry yet.
        PyObject* value = e.value().ptr();
        if (e.trace() && PyException_SetTraceback(value, e.trace().ptr()) < 0) {
            throw py::error_already_set();
        }
        give_traceback(value);
        PyErr_GetExcInfo(&type_, &value_, &trace_);
        PyErr_SetExcInfo(Py_NewRef(PyExceptionInstance_Class(value)), Py_NewRef(value),
                         PyException_GetTraceback(value));
    }
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;
    ~HandledException() { PyErr_SetExcInfo(type_, value_, trace_); }

  private:
    // An error raised by C code called straight from emit has no traceback,
    // and handleError walks the traceback's frame: give it the frame of the
    // code that logged, where a Python emit's own frame would begin.
    static void give_traceback(PyObject* value) {
        PyObject* trace = PyException_GetTraceback(value);
        if (trace != nullptr) {
            Py_DECREF(trace);
            return;
        }
        PyObject* frame = reinterpret_cast<PyObject*>(PyEval_GetFrame());
        if (frame == nullptr) return;
        try {
            py::object f = py::reinterpret_borrow<py::object>(frame);
            py::object tb = py::module_::import("types").attr("TracebackType")(
                py::none(), f, f.attr("f_lasti"), f.attr("f_lineno"));
            if (PyException_SetTraceback(value, tb.ptr()) < 0) throw py::error_already_set();
        } catch (py::error_already_set&) {
            // Left without one: the report then fails as it would anyway.
        }
    }

    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* trace_ = nullptr;
};

py::object make_handler_class(py::module_& m) {
    py::object logging = m.attr("logging");
    py::object base = logging.attr("Handler");
    // The class itself, for super() in __init__; set once the class exists.
    auto cls = std::make_shared<py::object>();

    py::object init =
        make_function({.name = "__init__",
                       .params = {"self", {"level", logging.attr("NOTSET")}},
                       .impl =
                           [cls](const Call& c) {
                               c.g("super")(*cls, c.arg("self")).attr("__init__")(c.arg("level"));
                               return py::none();
                           },
                       .qualname = "TqdmLoggingHandler.__init__"},
                      m.attr("__dict__"), py::str(kModuleName));

    py::object emit = make_function(
        {.name = "emit",
         .params = {"self", "record"},
         .impl =
             [](const Call& c) {
                 const py::object& self = c.arg("self");
                 const py::object& record = c.arg("record");
                 try {
                     py::object msg = self.attr("format")(record);
                     // tqdm and sys.stderr are looked up per record, so a
                     // redirected stream or a replaced tqdm takes effect.
                     c.g("tqdm").attr("write")(msg, py::arg("file") = c.g("sys").attr("stderr"));
                     self.attr("flush")();
                 } catch (py::error_already_set& e) {
                     if (e.matches(PyExc_KeyboardInterrupt) || e.matches(PyExc_SystemExit) ||
                         !e.matches(PyExc_Exception)) {
                         throw;
                     }
                     HandledException handled(e);
                     self.attr("handleError")(record);
                 }
                 return py::none();
             },
         .qualname = "TqdmLoggingHandler.emit"},
        m.attr("__dict__"), py::str(kModuleName));

    py::dict ns;
    ns["__module__"] = kModuleName;
    ns["__qualname__"] = "TqdmLoggingHandler";
    ns["__doc__"] = "Redirects logging to `tqdm.write()`.";
    ns["__init__"] = init;
    ns["emit"] = emit;
    // inspect takes compiled functions for the base class's own, so the
    // class names its constructor's parameters (without self) itself.
    py::object sig = py::module_::import("inspect").attr("signature")(init);
    py::list params(sig.attr("parameters").attr("values")());
    ns["__signature__"] =
        sig.attr("replace")("parameters"_a = params[py::slice(1, std::nullopt, std::nullopt)]);
    // Made as a class statement makes it: by the metaclass of its base.
    *cls = py::type::of(base)("TqdmLoggingHandler", py::make_tuple(base), ns);
    return *cls;
}

py::object new_formatter(const py::object& logging) {
    return logging.attr("Formatter")(kRecordFormat, py::arg("datefmt") = kDateFormat);
}

py::object setup_logging(const Call& c) {
    const py::object& log_file_path = c.arg("log_file_path");
    py::object logging = c.g("logging");
    py::object level = truthy(c.arg("debug")) ? logging.attr("DEBUG") : logging.attr("INFO");

    py::object root = logging.attr("getLogger")();
    root.attr("setLevel")(level);
    // Over a copy: removing shrinks the logger's own list.
    py::list attached = root.attr("handlers").attr("copy")();
    for (py::handle h : attached) root.attr("removeHandler")(h);

    // Opening the file may fail (missing directory): the root logger is then
    // left without handlers and nothing else is changed.
    // A surrogate-escaped file name in a message is written as the console
    // writes it (backslashed), not lost with a logging error.
    py::object file_handler = logging.attr("FileHandler")(log_file_path, py::arg("mode") = "a",
                                                          py::arg("encoding") = "utf-8",
                                                          py::arg("errors") = "backslashreplace");
    file_handler.attr("setFormatter")(new_formatter(logging));
    root.attr("addHandler")(file_handler);

    py::object console_handler = c.g("TqdmLoggingHandler")();
    console_handler.attr("setFormatter")(new_formatter(logging));
    root.attr("addHandler")(console_handler);

    for (const char* name : kQuietLoggers) {
        logging.attr("getLogger")(name).attr("setLevel")(logging.attr("WARNING"));
    }
    logging.attr("info")(fmt("Logging initialized: {}", log_file_path));
    return py::none();
}

py::object log_kvelo_banner(const Call& c) {
    const char* const rule = "=================================================================";
    py::object logging = c.g("logging");
    logging.attr("info")(rule);
    logging.attr("info")(fmt("KVELO Version       : {}", c.g("KVELO_VERSION")));
    logging.attr("info")(fmt("KVELO Release Date  : {}", c.g("KVELO_RELEASE_DATE")));
    logging.attr("info")(fmt("KVELO Mode          : {}", c.g("KVELO_DISTRIBUTION")));
    logging.attr("info")(rule);
    return py::none();
}

struct InputRow {
    const char* flag;
    const char* path_key;
    const char* available;  // template with the path
    const char* missing;
};

const InputRow kInputRows[] = {
    {"use_mod", "mod_path", "\u2705 Model input path available: {}",
     "\u2139\uFE0F  No model input path ('mod_path') provided. Model processing will be skipped."},
    {"use_obs", "obs_path", "\u2705 Observation input path available: {}",
     "\u2139\uFE0F  No observation input path ('obs_path') provided. Observation processing will "
     "be skipped."},
    {"use_station_file", "station_file", "\u2705 Station file available: {}",
     "\u2139\uFE0F  No station file provided. Region-based station selection will be used if "
     "needed."},
};

py::object log_input_availability(const Call& c) {
    const py::object& config = c.arg("config");
    for (const InputRow& row : kInputRows) {
        if (truthy(get(config, row.flag))) {
            // Read by subscription: a set flag without its path is the
            // caller's error and propagates as the mapping's KeyError.
            py::object path = config[py::str(row.path_key)];
            log_info(c, fmt(row.available, path));
        } else {
            log_info(c, py::str(row.missing));
        }
    }
    return py::none();
}

}  // namespace

KVELO_MODULE(runjournal, m) {
    import_as(m, "logging", "logging");
    import_as(m, "sys", "sys");
    import_from(m, "tqdm", "tqdm");
    import_names(m, "kvelo.py.version",
                 {"KVELO_VERSION", "KVELO_RELEASE_DATE", "KVELO_DISTRIBUTION"});

    m.attr("TqdmLoggingHandler") = make_handler_class(m);

    def(m, {.name = "setup_logging",
            .params = {"log_file_path", {"debug", py::bool_(false)}},
            .impl = setup_logging,
            .doc = "Configures logging to file and console with TQDM handler."});
    def(m, {.name = "log_kvelo_banner",
            .params = {},
            .impl = log_kvelo_banner,
            .doc = "log_kvelo_banner()\n\n"
                   "Log the version, release date and mode of kvelo.py (from kvelo.py.version)\n"
                   "as five info lines between two rules of '='. Returns None."});
    def(m, {.name = "log_input_availability",
            .params = {"config"},
            .impl = log_input_availability,
            .doc = "log_input_availability(config)\n\n"
                   "Log one info line each for the model input, the observation input and the\n"
                   "station file: whether it is configured, and its path when it is. Reads the\n"
                   "flags use_mod, use_obs and use_station_file with config.get; a true flag\n"
                   "reads its path by subscription (config['mod_path'], config['obs_path'],\n"
                   "config['station_file']), so a set flag without its path raises KeyError.\n"
                   "Nothing is checked on disk. Returns None."});
}
