// Function objects that behave like Python functions.
//
// Every entry point of the package is built from a parameter table: Python's
// argument binding (positional or keyword, defaults created once, TypeError
// on a missing, extra or doubled argument), inspect.signature(), __doc__,
// __defaults__, __kwdefaults__, __annotations__, and __get__ so the same
// object can serve as a method of a class.  The implementation is a C++
// callable that receives the bound arguments and the module globals, which it
// reads at call time so that a name replaced on the module takes effect.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kvelo::glue {

namespace py = pybind11;

// One positional-or-keyword parameter.
struct Param {
    std::string name;
    std::optional<py::object> default_value;  // created once, when the table is built
    std::optional<std::string> annotation;    // stored as the quoted text

    Param(const char* n) : name(n) {}  // NOLINT: a bare name reads best in the tables
    Param(const char* n, py::object d) : name(n), default_value(std::move(d)) {}
    Param(const char* n, py::object d, std::string ann)
        : name(n), default_value(std::move(d)), annotation(std::move(ann)) {}
};

// A parameter with only an annotation and no default.
inline Param annotated(const char* n, std::string ann) {
    Param p(n);
    p.annotation = std::move(ann);
    return p;
}

// The bound arguments of one call, in parameter order, and the globals of the
// module that owns the function.
class Call {
  public:
    Call(const std::vector<py::object>& args, py::dict globals, const std::string& qualname)
        : args_(args), globals_(std::move(globals)), qualname_(qualname) {}

    // The bound argument at a parameter's place; a place beyond the table is a
    // fault of ours, reported as an internal error.
    const py::object& operator[](size_t i) const {
        if (i >= args_.size()) throw std::out_of_range("argument place beyond the parameters");
        return args_[i];
    }
    size_t size() const { return args_.size(); }
    // A module global (falls back to builtins), looked up now: NameError when missing.
    py::object g(const char* name) const;
    const py::dict& globals() const { return globals_; }
    const std::string& qualname() const { return qualname_; }

  private:
    const std::vector<py::object>& args_;
    py::dict globals_;
    const std::string& qualname_;
};

using Impl = std::function<py::object(const Call&)>;

struct FunctionSpec {
    std::string name{};
    std::vector<Param> params{};
    Impl impl{};
    std::string doc{};                               // __doc__; empty gives None
    std::optional<std::string> return_annotation{};  // stored as the quoted text
    std::string qualname{};                          // defaults to name
};

// Builds a function object whose globals are `globals` and whose __module__ is
// `module` (any object, as a nested function takes its globals' __name__).
// Used at module load for the entry points, and at call time for nested
// functions (closures capture what they need in `impl`).
py::object make_function(FunctionSpec spec, py::dict globals, py::object module);

// Sets the Python error for a C++ exception that ends a call of `qualname`,
// so that no C++ or binding-library wording reaches the user: a failed
// conversion becomes TypeError, a failed allocation MemoryError.  Call from
// a catch block (it rethrows the exception in flight to classify it).
void set_error_from_exception(const std::string& qualname);
// The same error, fetched: for a caller that reports it or lets it pass.
py::error_already_set error_from_exception(const std::string& qualname);

// Builds the function and binds it as a module attribute under its name.
py::object def(py::module_& m, FunctionSpec spec);

// "name(a, b, c=None, d=False)": the signature line that opens an entry
// point's documentation, defaults written as repr() writes them.
std::string signature_line(const std::string& name, const std::vector<Param>& params);

}  // namespace kvelo::glue
