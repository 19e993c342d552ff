// Python's operations on values, one helper each, so that an odd value fails
// as Python itself would fail on it (TypeError, ValueError, OverflowError,
// UnicodeEncodeError, ...) and never as a failed C++ conversion.  Arithmetic
// that pybind11 writes as an operator (+ - * / & | unary -) is written so; the
// helpers here cover what it does not.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kvelo::binding {

namespace py = pybind11;

// ---- numbers -------------------------------------------------------------------

// operator.index(v): the interpreter's TypeError for a value that is no integer.
py::int_ index(py::handle v);
// int(v): always an exact int, so that arithmetic on it is the int's own,
// never a subclass's operators.
py::int_ exact_int(py::handle v);
// A Python int as a C++ integer, held at the ends of long long's range: for
// counts and bounds, where a value beyond 2^63 acts as any huge value would.
long long saturated(py::handle int_value);
// operator.index(v), then held at the ends of long long's range.
long long index_saturated(py::handle v);
// float(v), as the interpreter converts it.
double as_double(py::handle v);
// `if v:`: Python's truth test; an error raised by __bool__ propagates.
bool truthy(py::handle v);
// The values of a plain list whose items are all floats (numpy's float64 is
// one), read without building an array and without calling back into Python;
// false for any other item or object, which the table library then converts.
bool float_list_values(py::handle list, std::vector<double>& out);

// ---- comparisons and operators -------------------------------------------------

// `key in container`, as the interpreter tests it.
bool contains(py::handle container, py::handle key);
// `if a == b:` as Python reads it: the comparison's result truth-tested, with
// no identity shortcut (NaN == NaN is false).
bool equals(py::handle a, py::handle b);
// How a list or dict lookup (and so `in`) compares two items: identity first,
// then ==.  For code that finds an item among others as such a lookup would.
bool same_item(py::handle a, py::handle b);
// `a <op> b` (op: Py_LT, Py_EQ, ...): the comparison's own result, which for
// arrays and tables is an elementwise mask.
py::object compare(py::handle a, py::handle b, int op);
// `if a <op> b:`: the comparison's result truth-tested, with no identity
// shortcut (NaN == NaN is false here, as in Python).
bool holds(py::handle a, py::handle b, int op);
// A binary operator that pybind11 does not spell, as the interpreter applies
// it: a checked PyNumber_* call (PyNumber_Remainder, PyNumber_FloorDivide).
py::object binary(PyObject* (*op)(PyObject*, PyObject*), py::handle a, py::handle b);
// a ** b.
py::object power(py::handle a, py::handle b);
// slice(start, stop), with any objects as its ends (None for an open end).
py::object slice(py::handle start, py::handle stop);

// ---- attributes and sets -------------------------------------------------------

// getattr(obj, name, default): only an AttributeError gives the default; any
// other error of the lookup propagates, as in Python (pybind11's getattr with
// a default swallows every error).
py::object getattr_or(py::handle obj, const char* name, py::handle default_value);
// s.add(key): an unhashable key raises the interpreter's TypeError (pybind11's
// set::add only reports the failure by its return value).
void set_add(py::handle s, py::handle key);

// ---- text ----------------------------------------------------------------------

// True when `v` is a str equal to the ASCII text `ascii`; never raises.
bool text_is(py::handle v, const char* ascii);
// str(v) == ascii, with str() as the interpreter calls it.
bool str_is(py::handle v, const char* ascii);
// The UTF-8 bytes of a str, or nullopt for a non-str or a str that is not
// valid UTF-8 (a lone surrogate), with no error set; any other failure of the
// encoding (memory) is raised.  The view lives as long as the str.
std::optional<std::string_view> utf8(py::handle s);
// A lossless byte key for a str (lone surrogates kept), for C++ maps keyed by
// text; never decoded back into text.
std::string text_key(py::handle s);
// A str from UTF-8 bytes the caller knows to be valid (literals, C++ texts).
py::str text(std::string_view utf8_bytes);

// ---- mappings and unpacking -----------------------------------------------------

// mapping.get(key) / mapping.get(key, default), as Python calls them (any
// mapping: its own get is called).
py::object get(py::handle mapping, const char* key);
py::object get(py::handle mapping, const char* key, py::handle default_value);
py::object get(py::handle mapping, py::handle key);
py::object get(py::handle mapping, py::handle key, py::handle default_value);

// `a, b, ... = value` for `n` names: the items of any iterable, or the
// interpreter's own TypeError / ValueError (raised as error_already_set) for a
// non-iterable or a wrong count.
std::vector<py::object> unpack(py::handle value, size_t n);

// ---- text forms ----------------------------------------------------------------

// Python's str.format on a template: "{}" is str(value), "{:.1f}" format().
template <typename... Args>
py::str fmt(const char* tmpl, Args&&... args) {
    return py::str(tmpl).format(std::forward<Args>(args)...);
}

// ---- calls ---------------------------------------------------------------------

// fn(*args, **own, **extra) as the interpreter makes that call: `extra` may be
// any mapping; a key that is no str or that `own` holds already raises the
// interpreter's TypeError naming the function and the key.
py::object call_kw(py::handle fn, const py::tuple& args, const py::dict& own, py::handle extra);

}  // namespace kvelo::binding
