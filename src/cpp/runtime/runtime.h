// The native runtime layer shared by quorvix's extension modules.
//
// Module logic is written against nanobind's object API (nb::object for every
// reference, Python errors as nb::python_error). On top of that this layer gives
// what a binding generator does not:
//
//  * a function type of our own that behaves like a Python function: vectorcall,
//    binds as a method of a plain class (and under staticmethod), carries
//    __name__/__qualname__/__module__/__doc__/__annotations__/__dict__ and a lazily
//    built __signature__;
//  * a table-driven argument binder with typed parameters (exact str/list,
//    int/float/bool conversions, nullable parameters, **kwargs) raising the
//    project's fixed error texts;
//  * plain classes built by calling type(name, (), namespace), and dataclasses;
//  * a multi-phase module definition helper.
//
// A Python error raised anywhere below an entry point travels as
// nb::python_error and is restored unchanged at the boundary.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

// Like nanobind's own namespace, the runtime layer is private to each module.
#pragma GCC visibility push(hidden)

namespace qrt {

namespace nb = nanobind;

// ---------------------------------------------------------------------------
// Errors

// Inside a catch block: turn the exception in flight into the matching Python
// error (a Python error is restored unchanged). Used at every boundary.
void restore_exception() noexcept;

// Raise the currently set Python error as a C++ exception.
[[noreturn]] void throw_error();

// Check a new reference returned by the C API: NULL means a Python error is set.
inline nb::object check(PyObject *o) {
    if (!o) throw_error();
    return nb::steal(o);
}
inline int check_int(int r) {
    if (r < 0) throw_error();
    return r;
}

// Set `type` with a printf-style message (PyErr_Format rules) and throw it.
[[noreturn]] void raise(PyObject *type, const char *fmt, ...);

// warnings.warn(message, category, stacklevel); a warning turned into an error
// by the filters propagates as that error.
void warn(PyObject *category, const std::string &message, int stacklevel = 1);

// ---------------------------------------------------------------------------
// The object protocol, eagerly
//
// nanobind's `o.attr("x")` and `o[key]` return lazy accessors that look the
// value up only when it is first used. Used as an argument of a call, a tuple,
// a list or a keyword argument, that lookup runs inside a noexcept conversion,
// so a lookup that raises terminates the process. Module code therefore never
// uses the accessors: these helpers do the lookup at once and return a new
// reference (or raise the Python error as nb::python_error). A source rule in
// the test suite keeps it that way.

// o.name (and o.a.b.c: each name looked up on the result of the one before).
inline nb::object get(nb::handle o, const char *name) { return nb::getattr(o, name); }
inline nb::object get(nb::handle o, nb::handle name) { return nb::getattr(o, name); }
template <typename... Names>
nb::object get(nb::handle o, const char *first, const char *second, Names... rest) {
    return get(nb::getattr(o, first), second, rest...);
}

// o[key]; the key is converted as nanobind converts call arguments.
inline nb::object item(nb::handle o, nb::handle key) {
    return check(PyObject_GetItem(o.ptr(), key.ptr()));
}
template <typename K>
nb::object item(nb::handle o, K &&key) {
    nb::object k = nb::cast(std::forward<K>(key));
    return check(PyObject_GetItem(o.ptr(), k.ptr()));
}

// o.name = value
template <typename V>
void set_attr(nb::handle o, const char *name, V &&value) {
    nb::object v = nb::cast(std::forward<V>(value));
    check_int(PyObject_SetAttrString(o.ptr(), name, v.ptr()));
}

// o[key] = value (for a pandas table use assign_item below).
template <typename K, typename V>
void set_item(nb::handle o, K &&key, V &&value) {
    nb::object k = nb::cast(std::forward<K>(key));
    nb::object v = nb::cast(std::forward<V>(value));
    check_int(PyObject_SetItem(o.ptr(), k.ptr(), v.ptr()));
}

// for (nb::handle x : each(container)): the iterator protocol, as a Python for
// loop runs it. nanobind's own iteration of an nb::list walks a raw pointer
// into the list's storage and that of an nb::dict hands out borrowed
// references, so a callback in the loop body that changes the container
// (or drops its last reference to an item) leaves them reading freed memory.
// Here each step holds a strong reference to its item, and a container changed
// underway is seen, or refused, exactly as Python's own loop would.
inline nb::iterator each(nb::handle container) { return nb::iter(container); }

// `a, b = value`, with the interpreter's own errors and messages.
std::pair<nb::object, nb::object> unpack2(nb::handle value);

// ---------------------------------------------------------------------------
// Signatures and typed parameters

enum class Type : std::uint8_t {
    Any,    // not checked
    Str,    // exactly str (a subclass is refused)
    List,   // exactly list (a subclass is refused)
    Int,    // int as is; other numbers converted with int()
    Float,  // converted as float() does for numbers; the interpreter's own TypeError otherwise
    Bool,   // any object; its truth value
};

struct Param {
    const char *name;
    Type type = Type::Any;
    const char *annotation = nullptr;  // stored in __annotations__ when set
    bool nullable = false;             // None passes (the default is None)
};

struct Call;
using Impl = nb::object (*)(Call &);

// The static description of one Python-visible function. Lives for the life of
// the process (declare it `static`); function objects point at it.
struct Signature {
    const char *name;
    const char *qualname;
    const char *doc;  // nullptr: __doc__ is None
    std::vector<Param> params;
    Impl impl;
    const char *return_annotation = nullptr;  // "return" key of __annotations__
    const char *var_kwargs = nullptr;         // name of the **kwargs parameter, if any
    const char *var_kwargs_annotation = nullptr;
};

// The bound arguments of one call, as the implementation sees them.
struct Call {
    nb::handle func;               // the function object being called
    std::vector<nb::object> args;  // one per parameter, converted, defaults applied
    nb::dict kwargs;               // the **kwargs dict (empty when the signature has none)

    nb::handle operator[](size_t i) const { return args[i]; }
    // Objects captured when the function object was made (closures).
    nb::handle capture(size_t i) const;
};

// Make a function object. `defaults` supplies the defaults of the last
// len(defaults) parameters, as a Python function's __defaults__ does.
nb::object make_function(const Signature &sig, const char *module,
                          nb::tuple defaults = nb::tuple(),
                          nb::tuple captures = nb::tuple());

// Bind `args` onto `sig` exactly as a call of the function would (used by the
// function type; exposed for tests of the binder through a module function).
void bind(const Signature &sig, PyObject *defaults, PyObject *const *args,
          size_t nargs, PyObject *kwnames, Call &call);

// Whether `o` is one of our function objects.
bool is_function(nb::handle o);

// ---------------------------------------------------------------------------
// Classes and modules

// type(name, (), ns) with __module__, __qualname__ and __doc__ set in ns first.
nb::object make_class(const char *name, const char *module, const char *qualname,
                      const char *doc, nb::dict ns);

// dataclasses.dataclass(make_class(...)).
nb::object make_dataclass(const char *name, const char *module, const char *qualname,
                          const char *doc, nb::dict ns);

// Add a method built from `sig` to a class namespace under sig.name.
void add_method(nb::dict ns, const Signature &sig, const char *module,
                nb::tuple defaults = nb::tuple());

// obj[key] = value, exactly as the statement runs in Python code. While the
// interpreter executes `obj[key] = value` its evaluation stack holds a reference
// of its own to `obj`; pandas counts references in DataFrame.__setitem__ to tell
// an assignment to a named table from a chained assignment to a temporary, so a
// plain PyObject_SetItem from C++ would be mistaken for the latter and warned
// about. This holds that extra reference for the duration of the store.
void assign_item(nb::handle obj, nb::handle key, nb::handle value);

// The interpreter's str of an object, as std::string (UTF-8).
std::string to_string(nb::handle o);

// Type name of an object, as the interpreter prints it (tp_name).
const char *type_name(nb::handle o);

// Multi-phase module initialisation: `exec` fills the module. Errors raised in
// `exec` propagate unchanged as the import error.
using ModuleExec = void (*)(nb::module_ m);
PyObject *module_init(PyModuleDef *def);
int module_exec_boundary(PyObject *m, ModuleExec exec);

}  // namespace qrt

#pragma GCC visibility pop

// Defines PyInit_<name> for a multi-phase module whose body is `exec_fn`.
#define QRT_MODULE(name, doc, exec_fn)                                              \
    static int qrt_exec_##name(PyObject *m) {                                       \
        return qrt::module_exec_boundary(m, exec_fn);                               \
    }                                                                               \
    static PyModuleDef_Slot qrt_slots_##name[] = {                                  \
        {Py_mod_exec, (void *)qrt_exec_##name},                                     \
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED}, \
        {0, nullptr}};                                                              \
    static PyModuleDef qrt_def_##name = {PyModuleDef_HEAD_INIT, #name, doc, 0,      \
                                         nullptr, qrt_slots_##name, nullptr,        \
                                         nullptr, nullptr};                         \
    extern "C" NB_EXPORT PyObject *PyInit_##name() {                                \
        return qrt::module_init(&qrt_def_##name);                                   \
    }
