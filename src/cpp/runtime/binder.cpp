// The argument binder: maps a vectorcall's positional and keyword arguments
// onto a Signature, applies defaults and converts typed parameters.
//
// Order of checks, which decides the error a caller sees when several things
// are wrong at once:
//   1. too many positional arguments;
//   2. each missing parameter, in order, is looked up among the keywords; the
//      first required one that is still missing is an arity error;
//   3. the remaining keywords, in the order given: one naming a parameter that
//      was passed by position is "multiple values", an unknown one goes to
//      **kwargs or is "unexpected";
//   4. numeric and truth-value conversions (int, float, bool), in parameter order;
//   5. exact-type checks (str, list), in parameter order.
#include "runtime/runtime.h"

#include <unordered_map>

namespace qrt {

namespace {

// Interned parameter names per signature, made on first use and kept for the
// life of the process, so keywords usually match by identity.
const std::vector<PyObject *> &interned_names(const Signature &sig) {
    static std::unordered_map<const Signature *, std::vector<PyObject *>> cache;
    auto it = cache.find(&sig);
    if (it != cache.end()) return it->second;
    std::vector<PyObject *> names;
    names.reserve(sig.params.size());
    for (const Param &p : sig.params) {
        PyObject *s = PyUnicode_InternFromString(p.name);
        if (!s) {
            for (PyObject *o : names) Py_DECREF(o);
            throw_error();
        }
        names.push_back(s);
    }
    return cache.emplace(&sig, std::move(names)).first->second;
}

Py_ssize_t find_param(const Signature &sig, const std::vector<PyObject *> &names,
                      PyObject *key) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(names.size());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (names[static_cast<size_t>(i)] == key) return i;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_EqualToUTF8(key, sig.params[static_cast<size_t>(i)].name)) return i;
    return -1;
}

[[noreturn]] Py_NO_INLINE void arity_error(const Signature &sig, size_t nmin, size_t nmax,
                                           size_t found) {
    const char *more_or_less;
    size_t expected;
    if (found < nmin) {
        expected = nmin;
        more_or_less = "at least";
    } else {
        expected = nmax;
        more_or_less = "at most";
    }
    if (nmin == nmax) more_or_less = "exactly";
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
          sig.name, more_or_less, static_cast<Py_ssize_t>(expected), expected == 1 ? "" : "s",
          static_cast<Py_ssize_t>(found));
}

[[noreturn]] Py_NO_INLINE void typed_error(const Param &p, const char *expected,
                                           PyObject *value, bool subclass) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", p.name,
                 expected, Py_TYPE(value)->tp_name);
    if (subclass) {
        nb::object exc = nb::steal(PyErr_GetRaisedException());
        std::string note = std::string("Subclasses of built-in types are not accepted: pass a ") +
                           expected + " (for example " + expected + "(value)).";
        nb::object r = nb::steal(PyObject_CallMethod(exc.ptr(), "add_note", "s", note.c_str()));
        if (!r.is_valid()) throw_error();
        PyErr_SetRaisedException(exc.release().ptr());
    }
    throw_error();
}

nb::object convert_int(const Param &p, PyObject *v) {
    if (PyLong_CheckExact(v)) return nb::borrow(v);
    if (PyNumber_Check(v)) return check(PyNumber_Long(v));
    typed_error(p, "int", v, false);
}

nb::object convert_float(PyObject *v) {
    if (PyFloat_CheckExact(v)) return nb::borrow(v);
    double d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) throw_error();
    return check(PyFloat_FromDouble(d));
}

}  // namespace

void bind(const Signature &sig, PyObject *defaults, PyObject *const *args, size_t nargs,
          PyObject *kwnames, Call &call) {
    const size_t n = sig.params.size();
    const size_t nd = static_cast<size_t>(PyTuple_GET_SIZE(defaults));
    const size_t nreq = n - nd;
    if (nargs > n) arity_error(sig, nreq, n, nargs);

    call.args.resize(n);
    for (size_t i = 0; i < nargs; ++i) call.args[i] = nb::borrow(args[i]);
    if (sig.var_kwargs) call.kwargs = nb::dict();

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject *const *kwvalues = args + nargs;
    std::vector<bool> used(static_cast<size_t>(nkw), false);
    size_t kw_used = 0;

    if (nkw > 0) {
        const std::vector<PyObject *> &names = interned_names(sig);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key))
                raise(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            Py_ssize_t i = find_param(sig, names, key);
            if (i >= 0 && static_cast<size_t>(i) >= nargs) {
                call.args[static_cast<size_t>(i)] = nb::borrow(kwvalues[k]);
                used[static_cast<size_t>(k)] = true;
                ++kw_used;
            }
        }
    }
    for (size_t i = nargs; i < nreq; ++i)
        if (!call.args[i].is_valid()) arity_error(sig, nreq, n, i);

    if (kw_used < static_cast<size_t>(nkw)) {
        const std::vector<PyObject *> &names = interned_names(sig);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (used[static_cast<size_t>(k)]) continue;
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            if (find_param(sig, names, key) >= 0)
                raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                      sig.name, key);
            if (!sig.var_kwargs)
                raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                      key);
            check_int(PyDict_SetItem(call.kwargs.ptr(), key, kwvalues[k]));
        }
    }
    for (size_t i = nreq; i < n; ++i)
        if (!call.args[i].is_valid())
            call.args[i] = nb::borrow(PyTuple_GET_ITEM(defaults, static_cast<Py_ssize_t>(i - nreq)));

    // Conversions first, then exact-type checks, each in parameter order.
    for (size_t i = 0; i < n; ++i) {
        const Param &p = sig.params[i];
        PyObject *v = call.args[i].ptr();
        if (p.nullable && v == Py_None) continue;
        switch (p.type) {
            case Type::Int: call.args[i] = convert_int(p, v); break;
            case Type::Float: call.args[i] = convert_float(v); break;
            case Type::Bool:
                call.args[i] = nb::borrow(check_int(PyObject_IsTrue(v)) ? Py_True : Py_False);
                break;
            default: break;
        }
    }
    for (size_t i = 0; i < n; ++i) {
        const Param &p = sig.params[i];
        PyObject *v = call.args[i].ptr();
        if (p.nullable && v == Py_None) continue;
        if (p.type == Type::Str && !PyUnicode_CheckExact(v))
            typed_error(p, "str", v, PyUnicode_Check(v));
        if (p.type == Type::List && !PyList_CheckExact(v))
            typed_error(p, "list", v, PyList_Check(v));
    }
}

}  // namespace qrt
