// Classes, dataclasses, modules and small conversions of the runtime layer.
#include "runtime/runtime.h"

namespace qrt {

nb::object make_class(const char *name, const char *module, const char *qualname,
                      const char *doc, nb::dict ns) {
    set_item(ns, "__module__", nb::str(module));
    set_item(ns, "__qualname__", nb::str(qualname));
    set_item(ns, "__doc__", doc ? nb::object(nb::str(doc)) : nb::none());
    nb::handle type = reinterpret_cast<PyObject *>(&PyType_Type);
    return type(nb::str(name), nb::tuple(), ns);
}

nb::object make_dataclass(const char *name, const char *module, const char *qualname,
                          const char *doc, nb::dict ns) {
    nb::object cls = make_class(name, module, qualname, doc, ns);
    return get(nb::module_::import_("dataclasses"), "dataclass")(cls);
}

void add_method(nb::dict ns, const Signature &sig, const char *module, nb::tuple defaults) {
    set_item(ns, sig.name, make_function(sig, module, std::move(defaults)));
}

void assign_item(nb::handle obj, nb::handle key, nb::handle value) {
    nb::object stack_reference = nb::borrow(obj);
    check_int(PyObject_SetItem(stack_reference.ptr(), key.ptr(), value.ptr()));
}

std::pair<nb::object, nb::object> unpack2(nb::handle value) {
    nb::object it = nb::steal(PyObject_GetIter(value.ptr()));
    if (!it.is_valid()) {
        PyTypeObject *tp = Py_TYPE(value.ptr());
        if (PyErr_ExceptionMatches(PyExc_TypeError) && tp->tp_iter == nullptr &&
            !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", tp->tp_name);
        }
        throw_error();
    }
    nb::object items[2];
    for (int i = 0; i < 2; ++i) {
        items[i] = nb::steal(PyIter_Next(it.ptr()));
        if (!items[i].is_valid()) {
            if (PyErr_Occurred()) throw_error();
            raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
    }
    nb::object extra = nb::steal(PyIter_Next(it.ptr()));
    if (extra.is_valid()) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) throw_error();
    return {std::move(items[0]), std::move(items[1])};
}

std::string to_string(nb::handle o) {
    nb::str s = nb::str(o);
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!data) throw_error();
    return std::string(data, static_cast<size_t>(size));
}

const char *type_name(nb::handle o) { return Py_TYPE(o.ptr())->tp_name; }

PyObject *module_init(PyModuleDef *def) { return PyModuleDef_Init(def); }

int module_exec_boundary(PyObject *m, ModuleExec exec) {
    try {
        nanobind::detail::init(nullptr);
        exec(nb::borrow<nb::module_>(m));
        return 0;
    } catch (...) {
        restore_exception();
    }
    return -1;
}

}  // namespace qrt
