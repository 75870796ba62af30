// The function type of the runtime layer, modelled on CPython's own function
// object: vectorcall, method binding through tp_descr_get, a real __dict__ for
// __annotations__ and user attributes, GC support, and a lazily built
// inspect.Signature for help() and inspect.signature().
//
// Raw reference counting is confined to this file's type slots; everything else
// goes through nb::object.
#include "runtime/runtime.h"

#include <structmember.h>

#include <cstdarg>
#include <new>

namespace qrt {

using namespace nb::literals;

namespace {

struct FuncObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Signature *sig;
    PyObject *name;       // str
    PyObject *qualname;   // str
    PyObject *module;     // str
    PyObject *doc;        // str or None
    PyObject *dict;       // instance __dict__ (holds __annotations__)
    PyObject *defaults;   // tuple
    PyObject *captures;   // tuple
    PyObject *signature;  // inspect.Signature, built on first use, or NULL
    PyObject *weakreflist;
};

PyTypeObject *func_type = nullptr;

}  // namespace

void restore_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const nb::builtin_exception &e) {
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
            case nb::exception_type::import_error: type = PyExc_ImportError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (const std::exception &e) {
        PyErr_Format(PyExc_SystemError, "internal error in a quorvix native function: %s",
                     e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError,
                        "internal error in a quorvix native function: unknown C++ exception");
    }
}

namespace {

PyObject *func_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                          PyObject *kwnames) noexcept {
    auto *f = reinterpret_cast<FuncObject *>(self);
    try {
        Call call;
        call.func = self;
        bind(*f->sig, f->defaults, args, PyVectorcall_NARGS(nargsf), kwnames, call);
        nb::object result = f->sig->impl(call);
        if (!result.is_valid()) return Py_NewRef(Py_None);
        return result.release().ptr();
    } catch (...) {
        restore_exception();
    }
    return nullptr;
}

int func_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<FuncObject *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->defaults);
    Py_VISIT(f->captures);
    Py_VISIT(f->signature);
    return 0;
}

int func_clear(PyObject *self) {
    auto *f = reinterpret_cast<FuncObject *>(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->captures);
    Py_CLEAR(f->signature);
    return 0;
}

void func_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto *f = reinterpret_cast<FuncObject *>(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    func_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *func_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *func_repr(PyObject *self) {
    auto *f = reinterpret_cast<FuncObject *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

// inspect.Signature built from the static description, with the defaults and
// annotation strings of this function object.
PyObject *func_get_signature(PyObject *self, void *) {
    auto *f = reinterpret_cast<FuncObject *>(self);
    if (f->signature) return Py_NewRef(f->signature);
    try {
        nb::module_ inspect = nb::module_::import_("inspect");
        nb::object Parameter = get(inspect, "Parameter");
        nb::object empty = get(Parameter, "empty");
        nb::object kind_pk = get(Parameter, "POSITIONAL_OR_KEYWORD");
        const Signature &sig = *f->sig;
        nb::tuple defaults = nb::borrow<nb::tuple>(f->defaults);
        size_t n = sig.params.size(), nd = nb::len(defaults);
        nb::list params;
        for (size_t i = 0; i < n; ++i) {
            const Param &p = sig.params[i];
            nb::object def = i + nd >= n ? item(defaults, i + nd - n) : empty;
            nb::object ann = p.annotation ? nb::object(nb::str(p.annotation)) : empty;
            params.append(Parameter(p.name, kind_pk, "default"_a = def, "annotation"_a = ann));
        }
        if (sig.var_kwargs) {
            nb::object ann = sig.var_kwargs_annotation
                                 ? nb::object(nb::str(sig.var_kwargs_annotation))
                                 : empty;
            params.append(Parameter(sig.var_kwargs, get(Parameter, "VAR_KEYWORD"),
                                    "annotation"_a = ann));
        }
        nb::object ret = sig.return_annotation ? nb::object(nb::str(sig.return_annotation))
                                               : get(inspect, "Signature", "empty");
        nb::object s = get(inspect, "Signature")(params, "return_annotation"_a = ret);
        f->signature = s.release().ptr();
        return Py_NewRef(f->signature);
    } catch (...) {
        restore_exception();
        return nullptr;
    }
}

PyObject *func_get_defaults(PyObject *self, void *) {
    auto *f = reinterpret_cast<FuncObject *>(self);
    if (PyTuple_GET_SIZE(f->defaults) == 0) Py_RETURN_NONE;
    return Py_NewRef(f->defaults);
}

// Functions pickle by reference, like Python functions: module + qualified name.
PyObject *func_reduce(PyObject *self, PyObject *) {
    auto *f = reinterpret_cast<FuncObject *>(self);
    return Py_NewRef(f->qualname);
}

// __name__ and __qualname__ are always strings (repr and pickling rely on it);
// like a Python function's, they can be replaced by another string but neither
// deleted nor set to anything else. __doc__ and __module__ take any object, and
// deleting them leaves None.
PyObject *func_get_name(PyObject *self, void *) {
    return Py_NewRef(reinterpret_cast<FuncObject *>(self)->name);
}
PyObject *func_get_qualname(PyObject *self, void *) {
    return Py_NewRef(reinterpret_cast<FuncObject *>(self)->qualname);
}
int set_string_member(PyObject **slot, PyObject *value, const char *what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}
int func_set_name(PyObject *self, PyObject *value, void *) {
    return set_string_member(&reinterpret_cast<FuncObject *>(self)->name, value, "__name__");
}
int func_set_qualname(PyObject *self, PyObject *value, void *) {
    return set_string_member(&reinterpret_cast<FuncObject *>(self)->qualname, value,
                             "__qualname__");
}
PyObject *func_get_doc(PyObject *self, void *) {
    PyObject *doc = reinterpret_cast<FuncObject *>(self)->doc;
    return Py_NewRef(doc ? doc : Py_None);
}
int func_set_doc(PyObject *self, PyObject *value, void *) {
    Py_XSETREF(reinterpret_cast<FuncObject *>(self)->doc, Py_XNewRef(value));
    return 0;
}
PyObject *func_get_module(PyObject *self, void *) {
    PyObject *module = reinterpret_cast<FuncObject *>(self)->module;
    return Py_NewRef(module ? module : Py_None);
}
int func_set_module(PyObject *self, PyObject *value, void *) {
    Py_XSETREF(reinterpret_cast<FuncObject *>(self)->module, Py_XNewRef(value));
    return 0;
}

PyMemberDef func_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FuncObject, vectorcall), Py_READONLY,
     nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FuncObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FuncObject, weakreflist), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef func_getset[] = {
    {"__name__", func_get_name, func_set_name, nullptr, nullptr},
    {"__qualname__", func_get_qualname, func_set_qualname, nullptr, nullptr},
    {"__doc__", func_get_doc, func_set_doc, nullptr, nullptr},
    {"__module__", func_get_module, func_set_module, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__signature__", func_get_signature, nullptr, nullptr, nullptr},
    {"__defaults__", func_get_defaults, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef func_methods[] = {
    {"__reduce__", func_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot func_slots[] = {
    {Py_tp_dealloc, (void *)func_dealloc},
    {Py_tp_traverse, (void *)func_traverse},
    {Py_tp_clear, (void *)func_clear},
    {Py_tp_repr, (void *)func_repr},
    {Py_tp_call, (void *)PyVectorcall_Call},
    {Py_tp_descr_get, (void *)func_descr_get},
    {Py_tp_members, (void *)func_members},
    {Py_tp_getset, (void *)func_getset},
    {Py_tp_methods, (void *)func_methods},
    {0, nullptr}};

PyType_Spec func_spec = {
    "quorvix.function",
    sizeof(FuncObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    func_slots};

PyTypeObject *get_func_type() {
    if (!func_type) {
        func_type = reinterpret_cast<PyTypeObject *>(check(PyType_FromSpec(&func_spec)).release().ptr());
    }
    return func_type;
}

}  // namespace

[[noreturn]] void throw_error() { throw nb::python_error(); }

[[noreturn]] void raise(PyObject *type, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    PyErr_FormatV(type, fmt, ap);
    va_end(ap);
    throw nb::python_error();
}

void warn(PyObject *category, const std::string &message, int stacklevel) {
    if (PyErr_WarnEx(category, message.c_str(), stacklevel) < 0) throw_error();
}

bool is_function(nb::handle o) { return func_type && Py_TYPE(o.ptr()) == func_type; }

nb::handle Call::capture(size_t i) const {
    auto *f = reinterpret_cast<FuncObject *>(func.ptr());
    return PyTuple_GET_ITEM(f->captures, static_cast<Py_ssize_t>(i));
}

nb::object make_function(const Signature &sig, const char *module, nb::tuple defaults,
                          nb::tuple captures) {
    if (nb::len(defaults) > sig.params.size())
        raise(PyExc_SystemError, "%s(): more defaults than parameters", sig.name);
    PyTypeObject *tp = get_func_type();
    auto *f = PyObject_GC_New(FuncObject, tp);
    if (!f) throw_error();
    f->vectorcall = func_vectorcall;
    f->sig = &sig;
    f->name = f->qualname = f->module = f->doc = f->dict = nullptr;
    f->defaults = f->captures = f->signature = f->weakreflist = nullptr;
    nb::object self = nb::steal(reinterpret_cast<PyObject *>(f));

    f->name = nb::str(sig.name).release().ptr();
    PyUnicode_InternInPlace(&f->name);
    f->qualname = nb::str(sig.qualname).release().ptr();
    f->module = nb::str(module).release().ptr();
    f->doc = sig.doc ? nb::str(sig.doc).release().ptr() : Py_NewRef(Py_None);
    f->defaults = defaults.release().ptr();
    f->captures = captures.release().ptr();

    nb::dict annotations;
    for (const Param &p : sig.params)
        if (p.annotation) set_item(annotations, p.name, nb::str(p.annotation));
    if (sig.var_kwargs && sig.var_kwargs_annotation)
        set_item(annotations, sig.var_kwargs, nb::str(sig.var_kwargs_annotation));
    if (sig.return_annotation) set_item(annotations, "return", nb::str(sig.return_annotation));
    nb::dict d;
    set_item(d, "__annotations__", annotations);
    f->dict = d.release().ptr();
    PyObject_GC_Track(reinterpret_cast<PyObject *>(f));
    return self;
}

}  // namespace qrt
