#include "kvelo/binding/values.hpp"

#include <climits>

#include "kvelo/binding/errors.hpp"

namespace kvelo::binding {

py::int_ index(py::handle v) {
    PyObject* r = PyNumber_Index(v.ptr());
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::int_>(r);
}

py::int_ exact_int(py::handle v) {
    PyObject* r = PyNumber_Long(v.ptr());
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::int_>(r);
}

long long saturated(py::handle int_value) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(int_value.ptr(), &overflow);
    if (overflow > 0) return LLONG_MAX;
    if (overflow < 0) return LLONG_MIN;
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

long long index_saturated(py::handle v) { return saturated(index(v)); }

double as_double(py::handle v) {
    // PyNumber_Float is float(v): __float__, __index__, or the text of a number.
    PyObject* f = PyNumber_Float(v.ptr());
    if (f == nullptr) throw py::error_already_set();
    const double d = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    return d;
}

bool truthy(py::handle v) {
    const int r = PyObject_IsTrue(v.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool float_list_values(py::handle list, std::vector<double>& out) {
    // A list subclass may read differently through its own methods.
    if (!PyList_CheckExact(list.ptr())) return false;
    const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    out.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(list.ptr(), i);
        if (!PyFloat_Check(item)) return false;
        out[static_cast<size_t>(i)] = PyFloat_AS_DOUBLE(item);
    }
    return true;
}

bool contains(py::handle container, py::handle key) {
    const int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

py::object compare(py::handle a, py::handle b, int op) {
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

bool holds(py::handle a, py::handle b, int op) {
    py::object r = compare(a, b, op);
    const int t = PyObject_IsTrue(r.ptr());
    if (t < 0) throw py::error_already_set();
    return t == 1;
}

bool equals(py::handle a, py::handle b) { return holds(a, b, Py_EQ); }

bool same_item(py::handle a, py::handle b) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

py::object power(py::handle a, py::handle b) {
    PyObject* r = PyNumber_Power(a.ptr(), b.ptr(), Py_None);
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object binary(PyObject* (*op)(PyObject*, PyObject*), py::handle a, py::handle b) {
    PyObject* r = op(a.ptr(), b.ptr());
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object slice(py::handle start, py::handle stop) {
    PyObject* s = PySlice_New(start.ptr(), stop.ptr(), nullptr);
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(s);
}

py::object getattr_or(py::handle obj, const char* name, py::handle default_value) {
    PyObject* r = PyObject_GetAttrString(obj.ptr(), name);
    if (r != nullptr) return py::reinterpret_steal<py::object>(r);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::reinterpret_borrow<py::object>(default_value);
}

void set_add(py::handle s, py::handle key) {
    if (PySet_Add(s.ptr(), key.ptr()) != 0) throw py::error_already_set();
}

bool text_is(py::handle v, const char* ascii) {
    return PyUnicode_Check(v.ptr()) && PyUnicode_CompareWithASCIIString(v.ptr(), ascii) == 0;
}

bool str_is(py::handle v, const char* ascii) {
    py::str s(py::reinterpret_borrow<py::object>(v));
    return text_is(s, ascii);
}

std::optional<std::string_view> utf8(py::handle s) {
    if (!PyUnicode_Check(s.ptr())) return std::nullopt;
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (p == nullptr) {
        // A lone surrogate has no UTF-8 form; any other failure (memory) is raised.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(p, static_cast<size_t>(n));
}

std::string text_key(py::handle s) {
    if (auto v = utf8(s)) return std::string(*v);
    PyObject* b = PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass");
    if (b == nullptr) throw py::error_already_set();
    // The same bytes as the fast path for valid text; a lone surrogate's bytes
    // never occur in valid UTF-8, so the keys of two texts never meet.
    std::string key(PyBytes_AS_STRING(b), static_cast<size_t>(PyBytes_GET_SIZE(b)));
    Py_DECREF(b);
    return key;
}

py::str text(std::string_view utf8_bytes) {
    PyObject* s = PyUnicode_DecodeUTF8(utf8_bytes.data(),
                                       static_cast<Py_ssize_t>(utf8_bytes.size()), nullptr);
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

py::object get(py::handle mapping, const char* key) { return mapping.attr("get")(key); }

py::object get(py::handle mapping, const char* key, py::handle default_value) {
    return mapping.attr("get")(key, default_value);
}

py::object get(py::handle mapping, py::handle key) { return mapping.attr("get")(key); }

py::object get(py::handle mapping, py::handle key, py::handle default_value) {
    return mapping.attr("get")(key, default_value);
}

std::vector<py::object> unpack(py::handle value, size_t n) {
    py::object it = py::reinterpret_steal<py::object>(PyObject_GetIter(value.ptr()));
    if (!it) {
        // As the interpreter words it: only for a type that cannot iterate at
        // all (an __iter__ that raises keeps its own error), named by its
        // tp_name ("numpy.float64").
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value.ptr())->tp_iter == nullptr &&
            !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    std::vector<py::object> items;
    auto next = [&]() {
        py::object item = py::reinterpret_steal<py::object>(PyIter_Next(it.ptr()));
        if (!item && PyErr_Occurred()) throw py::error_already_set();
        return item;
    };
    while (items.size() < n) {
        py::object item = next();
        if (!item) {
            raise(PyExc_ValueError,
                  fmt("not enough values to unpack (expected {}, got {})", n, items.size()));
        }
        items.push_back(std::move(item));
    }
    if (next()) {
        raise(PyExc_ValueError, fmt("too many values to unpack (expected {})", n));
    }
    return items;
}

namespace {

// What the interpreter writes for a callable in call errors: "mod.qualname()".
py::object function_text(py::handle fn) {
    py::object qualname = getattr_or(fn, "__qualname__", py::none());
    if (!PyUnicode_Check(qualname.ptr())) return py::str(fn);
    py::object module = getattr_or(fn, "__module__", py::none());
    if (PyUnicode_Check(module.ptr()) && !text_is(module, "builtins")) {
        return py::str("{}.{}()").format(module, qualname);
    }
    return py::str("{}()").format(qualname);
}

}  // namespace

py::object call_kw(py::handle fn, const py::tuple& args, const py::dict& own, py::handle extra) {
    PyObject* merged = PyDict_Copy(own.ptr());
    if (merged == nullptr) throw py::error_already_set();
    py::dict kwargs = py::reinterpret_steal<py::dict>(merged);
    py::object keys;
    if (PyDict_Check(extra.ptr())) {
        // A snapshot of the keys: reading a value may run code that changes the mapping.
        keys = py::reinterpret_steal<py::object>(PyDict_Keys(extra.ptr()));
    } else {
        PyObject* k = PyObject_GetAttrString(extra.ptr(), "keys");
        if (k == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
            PyErr_Clear();
            raise(PyExc_TypeError,
                  py::str("{} argument after ** must be a mapping, not {}")
                      .format(function_text(fn), py::type::of(extra).attr("__name__")));
        }
        keys = py::reinterpret_steal<py::object>(k)();
    }
    if (!keys) throw py::error_already_set();
    for (py::handle key : keys) {
        if (!PyUnicode_Check(key.ptr()))
            raise(PyExc_TypeError, py::str("keywords must be strings"));
        const int has = PyDict_Contains(kwargs.ptr(), key.ptr());
        if (has < 0) throw py::error_already_set();
        if (has == 1) {
            raise(PyExc_TypeError, py::str("{} got multiple values for keyword argument '{}'")
                                       .format(function_text(fn), key));
        }
        PyObject* value = PyObject_GetItem(extra.ptr(), key.ptr());
        if (value == nullptr) throw py::error_already_set();
        const int set = PyDict_SetItem(kwargs.ptr(), key.ptr(), value);
        Py_DECREF(value);
        if (set < 0) throw py::error_already_set();
    }
    PyObject* r = PyObject_Call(fn.ptr(), args.ptr(), kwargs.ptr());
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

}  // namespace kvelo::binding
