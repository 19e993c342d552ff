#include "kvelo/binding/function.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>

#include "kvelo/binding/errors.hpp"
#include "kvelo/binding/values.hpp"

namespace kvelo::binding {

namespace {

struct FnObject {
    PyObject_HEAD FunctionSpec* spec;
    PyObject* dict;
    PyObject* globals;
    PyObject* weakrefs;
};

void fn_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FnObject*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    delete f->spec;
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// The function's table.  Objects are made only by make_function (the type
// refuses instantiation from Python), which sets the table before anything
// else can see the object; the check keeps a table-less object harmless.
const FunctionSpec* spec_of(PyObject* self) {
    const FunctionSpec* spec = reinterpret_cast<FnObject*>(self)->spec;
    if (spec == nullptr) {
        PyErr_Format(PyExc_TypeError, "uninitialized %s object", Py_TYPE(self)->tp_name);
    }
    return spec;
}

PyObject* fn_repr(PyObject* self) {
    const FunctionSpec* spec = spec_of(self);
    if (spec == nullptr) return nullptr;
    return PyUnicode_FromFormat("<function %s at %p>", spec->qualname.c_str(), self);
}

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

// Pickled (and so copied) by reference, under the module and qualified
// name, as the interpreter does with its own functions.
PyObject* fn_reduce(PyObject* self, PyObject*) {
    return PyObject_GetAttrString(self, "__qualname__");
}

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

std::string quoted_list(const std::vector<std::string>& names) {
    // Python's wording: 'a'  /  'a' and 'b'  /  'a', 'b', and 'c'
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                out += " and ";
            } else {
                out += (i + 1 == names.size()) ? ", and " : ", ";
            }
        }
        out += "'" + names[i] + "'";
    }
    return out;
}

// Python's argument binding for positional-or-keyword parameters, with the
// interpreter's own messages and order of checks.
bool bind_arguments(const FunctionSpec& spec, PyObject* args, PyObject* kwargs,
                    std::vector<py::object>& bound) {
    const size_t nparams = spec.params.size();
    const auto nargs = static_cast<size_t>(PyTuple_GET_SIZE(args));
    bound.assign(nparams, py::object());
    for (size_t i = 0; i < nargs && i < nparams; ++i) {
        bound[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(args, i));
    }
    if (kwargs != nullptr) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%s() keywords must be strings",
                             spec.qualname.c_str());
                return false;
            }
            // Compared as text: a key that is no valid UTF-8 (a lone
            // surrogate) is simply no parameter's name.
            size_t idx = nparams;
            for (size_t i = 0; i < nparams; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, spec.params[i].name.c_str()) == 0) {
                    idx = i;
                    break;
                }
            }
            if (idx == nparams) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             spec.qualname.c_str(), key);
                return false;
            }
            if (bound[idx]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                             spec.qualname.c_str(), key);
                return false;
            }
            bound[idx] = py::reinterpret_borrow<py::object>(value);
        }
    }
    if (nargs > nparams) {
        size_t ndefaults = 0;
        for (const auto& p : spec.params) ndefaults += p.default_value.has_value();
        std::string sig = ndefaults ? "from " + std::to_string(nparams - ndefaults) + " to " +
                                          std::to_string(nparams)
                                    : std::to_string(nparams);
        PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zu %s given",
                     spec.qualname.c_str(), sig.c_str(), (ndefaults || nparams != 1) ? "s" : "",
                     nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    std::vector<std::string> missing;
    for (size_t i = 0; i < nparams; ++i) {
        if (bound[i]) continue;
        if (spec.params[i].default_value) {
            bound[i] = *spec.params[i].default_value;
        } else {
            missing.push_back(spec.params[i].name);
        }
    }
    if (!missing.empty()) {
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                     spec.qualname.c_str(), missing.size(), missing.size() == 1 ? "" : "s",
                     quoted_list(missing).c_str());
        return false;
    }
    return true;
}

PyObject* fn_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    const FunctionSpec* spec = spec_of(self);
    if (spec == nullptr) return nullptr;
    auto* f = reinterpret_cast<FnObject*>(self);
    try {
        std::vector<py::object> bound;
        if (!bind_arguments(*spec, args, kwargs, bound)) return nullptr;
        Call call(*spec, bound, py::reinterpret_borrow<py::dict>(f->globals));
        py::object result = spec->impl(call);
        if (!result) result = py::none();
        return result.release().ptr();
    } catch (...) {
        set_error_from_exception(spec->qualname);
    }
    return nullptr;
}

PyObject* fn_get_signature(PyObject* self, void*) {
    const FunctionSpec* spec = spec_of(self);
    if (spec == nullptr) return nullptr;
    try {
        py::module_ inspect = py::module_::import("inspect");
        py::object Parameter = inspect.attr("Parameter");
        py::object empty = Parameter.attr("empty");
        py::list params;
        for (const auto& p : spec->params) {
            params.append(
                Parameter(p.name, Parameter.attr("POSITIONAL_OR_KEYWORD"),
                          py::arg("default") = p.default_value ? *p.default_value : empty,
                          py::arg("annotation") = p.annotation ? py::str(*p.annotation) : empty));
        }
        py::object ret = spec->return_annotation ? py::str(*spec->return_annotation) : empty;
        return inspect.attr("Signature")(params, py::arg("return_annotation") = ret)
            .release()
            .ptr();
    } catch (...) {
        set_error_from_exception(spec->qualname);
    }
    return nullptr;
}

// Test tools read a callable's signature off its __call__ (mock's autospec):
// answering with the function itself gives them the real parameters.
PyObject* fn_get_call(PyObject* self, void*) { return Py_NewRef(self); }

// Reported as the interpreter's type of compiled functions, so that inspect
// and pydoc treat these as the compiled functions they are (help() then
// names the function).  type() still gives the real type.
PyObject* fn_get_class(PyObject*, void*) {
    return Py_NewRef(reinterpret_cast<PyObject*>(&PyCFunction_Type));
}

PyGetSetDef fn_getset[] = {
    {"__signature__", fn_get_signature, nullptr, nullptr, nullptr},
    {"__class__", fn_get_class, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef fn_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(FnObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FnObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject* function_type() {
    // One type per extension module (each links its own copy of this layer).
    static PyTypeObject* type = [] {
        PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(fn_dealloc)},
            {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
            {Py_tp_call, reinterpret_cast<void*>(fn_call)},
            {Py_tp_descr_get, reinterpret_cast<void*>(fn_descr_get)},
            {Py_tp_getset, fn_getset},
            {Py_tp_members, fn_members},
            {Py_tp_methods, fn_methods},
            {0, nullptr},
        };
        // Not instantiable from Python, as the interpreter's own function
        // types: an object made by type(f)() would have no table.
        PyType_Spec spec = {"kvelo.py.function", sizeof(FnObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
        PyObject* t = PyType_FromSpec(&spec);
        if (t == nullptr) throw py::error_already_set();
        auto* tp = reinterpret_cast<PyTypeObject*>(t);
        // The slot wrapper of tp_call takes the name __call__ before any
        // getset could; the descriptor replaces it in the type's dict only,
        // so the call slot itself stays fn_call.
        static PyGetSetDef call_getset = {"__call__", fn_get_call, nullptr, nullptr, nullptr};
        PyObject* descr = PyDescr_NewGetSet(tp, &call_getset);
        if (descr == nullptr || PyDict_SetItemString(tp->tp_dict, "__call__", descr) < 0) {
            Py_XDECREF(descr);
            throw py::error_already_set();
        }
        Py_DECREF(descr);
        PyType_Modified(tp);
        return tp;
    }();
    return type;
}

}  // namespace

size_t FunctionSpec::place(std::string_view name) const {
    auto at = std::lower_bound(places.begin(), places.end(), name,
                               [](const auto& p, std::string_view n) { return p.first < n; });
    if (at == places.end() || at->first != name) {
        throw std::logic_error(qualname + "() has no parameter " + std::string(name));
    }
    return at->second;
}

const py::object& Call::arg(std::string_view name) const { return args_[spec_.place(name)]; }

py::object Call::g(const char* name) const {
    // As the interpreter looks up a global: an error of the lookup itself
    // (a key whose comparison raises) propagates.
    py::str key(name);
    PyObject* v = PyDict_GetItemWithError(globals_.ptr(), key.ptr());
    if (v != nullptr) return py::reinterpret_borrow<py::object>(v);
    if (PyErr_Occurred()) throw py::error_already_set();
    py::object builtins = py::module_::import("builtins");
    py::object found = getattr_or(builtins, name, py::handle());
    if (found) return found;
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
}

py::object make_function(FunctionSpec spec, py::dict globals, py::object module) {
    if (spec.qualname.empty()) spec.qualname = spec.name;
    PyTypeObject* tp = function_type();
    auto* f = PyObject_New(FnObject, tp);
    if (f == nullptr) throw py::error_already_set();
    // Every field set before the object is owned, so that its deallocation
    // on any failure below finds nothing undefined.
    f->spec = nullptr;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->globals = globals.inc_ref().ptr();
    py::object self = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
    spec.places.clear();
    for (size_t i = 0; i < spec.params.size(); ++i)
        spec.places.emplace_back(spec.params[i].name, i);
    std::sort(spec.places.begin(), spec.places.end());
    f->spec = new FunctionSpec(std::move(spec));

    const FunctionSpec& s = *f->spec;
    py::dict d;
    d["__name__"] = s.name;
    d["__qualname__"] = s.qualname;
    d["__module__"] = module;
    d["__doc__"] = s.doc.empty() ? py::object(py::none()) : py::object(py::str(s.doc));
    py::list defaults;
    for (const auto& p : s.params) {
        if (p.default_value) defaults.append(*p.default_value);
    }
    d["__defaults__"] = defaults.empty() ? py::object(py::none()) : py::object(py::tuple(defaults));
    d["__kwdefaults__"] = py::none();
    py::dict annotations;
    for (const auto& p : s.params) {
        if (p.annotation) annotations[py::str(p.name)] = *p.annotation;
    }
    if (s.return_annotation) annotations["return"] = *s.return_annotation;
    d["__annotations__"] = annotations;
    d["__globals__"] = globals;
    f->dict = d.release().ptr();
    return self;
}

py::object def(py::module_& m, FunctionSpec spec) {
    std::string name = spec.name;
    py::object fn = make_function(std::move(spec), m.attr("__dict__"), py::str(m.attr("__name__")));
    m.attr(name.c_str()) = fn;
    return fn;
}

std::string signature_line(const std::string& name, const std::vector<Param>& params) {
    std::string line = name + "(";
    for (size_t i = 0; i < params.size(); ++i) {
        if (i > 0) line += ", ";
        line += params[i].name;
        if (params[i].default_value) {
            line += '=';
            line += py::repr(*params[i].default_value).cast<std::string>();
        }
    }
    return line + ")";
}

}  // namespace kvelo::binding
