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

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kvelo::binding {

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

struct FunctionSpec;

// One call: its bound arguments, read by parameter name, and the globals of
// the module that owns the function, read when the call needs them.
class Call {
  public:
    Call(const FunctionSpec& spec, const std::vector<py::object>& args, py::dict globals)
        : spec_(spec), args_(args), globals_(std::move(globals)) {}

    // The bound argument of the parameter `name`.  A name that is no
    // parameter of the function is a fault of ours (an internal error).
    const py::object& arg(std::string_view name) const;
    // Several bound arguments by name, in the order asked:
    //     const auto [config, data] = c.args("config", "data");
    template <typename... Names>
    std::array<py::object, sizeof...(Names)> args(const Names&... names) const {
        return {arg(names)...};
    }
    // A module global (falls back to builtins), looked up now: NameError when missing.
    py::object g(const char* name) const;
    const py::dict& globals() const { return globals_; }

  private:
    const FunctionSpec& spec_;
    const std::vector<py::object>& args_;
    py::dict globals_;
};

using Impl = std::function<py::object(const Call&)>;

struct FunctionSpec {
    std::string name{};
    std::vector<Param> params{};
    Impl impl{};
    std::string doc{};                               // __doc__; empty gives None
    std::optional<std::string> return_annotation{};  // stored as the quoted text
    std::string qualname{};                          // defaults to name

    // The parameter's place in `params`, by its name: made once, when the
    // function object is built.
    size_t place(std::string_view name) const;
    std::vector<std::pair<std::string, size_t>> places{};  // sorted by name
};

// Builds a function object whose globals are `globals` and whose __module__ is
// `module` (any object, as a nested function takes its globals' __name__).
// Used at module load for the entry points, and at call time for nested
// functions (closures capture what they need in `impl`).
py::object make_function(FunctionSpec spec, py::dict globals, py::object module);

// Builds the function and binds it as a module attribute under its name.
py::object def(py::module_& m, FunctionSpec spec);

// "name(a, b, c=None, d=False)": the signature line that opens an entry
// point's documentation, defaults written as repr() writes them.
std::string signature_line(const std::string& name, const std::vector<Param>& params);

}  // namespace kvelo::binding
