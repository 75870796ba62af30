// Shared pieces of quorvix.tabular.evaluator.evaluator: the module name, the
// small object-protocol helpers both source files use, and the two HTML entry
// points defined in html.cpp.
#pragma once

#include "runtime/runtime.h"

#include <string>
#include <utility>

#pragma GCC visibility push(hidden)

namespace qev {

namespace nb = nanobind;

inline constexpr const char *kModule = "quorvix.tabular.evaluator.evaluator";
inline constexpr const char *kLoggerName = "tabular.evaluator";

// `from <module> import <name>`, with the interpreter's ImportError when the
// name is missing. Goes through builtins.__import__, like the statement.
nb::object import_from(const char *module, const char *name);

// A module-level name looked up at call time (module globals, then builtins),
// like a global name read inside a Python function. `globals` is the module's
// __dict__, captured when the function object was made.
nb::object global(nb::handle globals, const char *name);

// `o.name`, `o[key]` and their stores, eagerly (see runtime.h).
using qrt::get;
using qrt::item;
using qrt::set_attr;
using qrt::set_item;

// Truth value and `item in container`, raising the interpreter's errors.
bool truthy(nb::handle o);
bool contains(nb::handle container, nb::handle item);

// `a, b = value`: exactly two items, with the interpreter's unpacking errors.
using qrt::unpack2;

// logging.getLogger("tabular.evaluator").warning(msg[, arg]); `logging` is
// imported at the point of use.
void log_warning(const char *msg);
void log_warning(const char *msg, nb::handle arg);

// Implementations of TabularEvaluator.to_html and the static method
// TabularEvaluator._generate_plot_html (html.cpp).
nb::object to_html(qrt::Call &c);
nb::object generate_plot_html(qrt::Call &c);

// html.escape(text, quote=True) on UTF-8 text.
std::string html_escape(const std::string &text);

}  // namespace qev

#pragma GCC visibility pop
