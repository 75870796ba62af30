// quorvix.tabular.rulix: constraint rules as short texts, validation of a table
// against them, and repair of the rows that break them.
#include "runtime/runtime.h"
#include "rulix/tokenizer.h"

#include <cmath>
#include <cstring>
#include <optional>
#include <unordered_map>
#include "rulix/native.h"

namespace {

namespace nb = nanobind;
using namespace nb::literals;
using qrt::Call;
using qrt::Param;
using qrt::Signature;
using qrt::Type;

constexpr const char *kModule = "quorvix.tabular.rulix";

constexpr const char *kModuleDoc =
    "\n"
    "quorvix.tabular.rulix\n"
    "~~~~~~~~~~~~~~~~~~~~~~\n"
    "\n"
    "Rulix: rule-based constraint validation and fixing.\n";

constexpr const char *kRulixDoc =
    "Parse and validate rule-based constraints on DataFrames.\n\n"
    "    Usage::\n\n"
    "        engine = Rulix()\n"
    "        engine.add_rule(\"age > 0\").add_rule(\"income >= 0\")\n"
    "        report = engine.validate(df)\n"
    "        fixed = report.fix(df, strategy=\"resample\")\n"
    "    ";

// "if <condition> then <consequence>", matched from the start of the stripped text.
constexpr const char *kConditionalPattern = "if\\s+(.+?)\\s+then\\s+(.+)";
// "<column> <op> <bound>" at the start of a rule, for the clip repair.
constexpr const char *kBoundPattern = "(\\w+)\\s*(>=|<=|>|<)\\s*(\\S+)";

nb::module_ pandas() { return nb::module_::import_("pandas"); }

std::u32string to_u32(nb::handle s) {
    Py_ssize_t n = PyUnicode_GetLength(s.ptr());
    if (n < 0) qrt::throw_error();
    std::u32string out(static_cast<size_t>(n), U'\0');
    if (n > 0 && !PyUnicode_AsUCS4(s.ptr(), reinterpret_cast<Py_UCS4 *>(out.data()), n, 0))
        qrt::throw_error();
    return out;
}

std::string repr_str(nb::handle o) { return qrt::to_string(nb::repr(o)); }

// ---------------------------------------------------------------------------
// Rulix

nb::object rulix_init(Call &c) {
    nb::setattr(c[0], "_rules", nb::list());
    nb::setattr(c[0], "_parsed_rules", nb::list());
    return nb::none();
}

nb::object rulix_add_rule(Call &c) {
    nb::handle self = c[0], rule = c[1];
    self.attr("_rules").attr("append")(rule);
    nb::object parsed = self.attr("_parse_rule")(rule);
    self.attr("_parsed_rules").attr("append")(parsed);
    return nb::borrow(self);
}

nb::object rulix_parse_rule(Call &c) {
    nb::object text = c[1].attr("strip")();
    nb::object match = c.capture(0).attr("match")(text);
    nb::dict parsed;
    if (!match.is_none()) {
        parsed["type"] = "conditional";
        parsed["condition"] = match.attr("group")(1).attr("strip")();
        parsed["consequence"] = match.attr("group")(2).attr("strip")();
        parsed["raw"] = text;
    } else {
        parsed["type"] = "comparison";
        parsed["expr"] = text;
        parsed["raw"] = text;
    }
    return parsed;
}

// Tokenize a rule text against the allowlist, resolving its names against the
// table. A text that is not a string is refused too.
rulix::Tokenized check_text(nb::handle text, rulix::Frame &frame) {
    if (!PyUnicode_Check(text.ptr())) {
        rulix::Tokenized t;
        t.reason = "the rule text is not a string";
        return t;
    }
    auto resolve = [&](std::u32string &name, bool backticked, std::string &why) {
        return frame.resolve(name, backticked, why);
    };
    rulix::Tokenized t = rulix::tokenize_rule(to_u32(text), resolve);
    if (t.ok && rulix::literal_power_too_large(t.tokens)) {
        t.ok = false;
        t.reason = "it raises a number to a power whose result would take more than a million bits";
    }
    return t;
}

// The text DataFrame.eval is given: whitespace between tokens made plain spaces.
nb::object eval_text(const rulix::Tokenized &t) {
    return qrt::check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, t.normalized.data(),
                                                static_cast<Py_ssize_t>(t.normalized.size())));
}

void warn_rule(nb::handle rule_str, const std::string &what) {
    qrt::warn(PyExc_RuntimeWarning, "Rule " + repr_str(rule_str) + " " + what, 1);
}

void warn_failed(nb::handle rule_str, const nb::python_error &e) {
    nb::handle exc = e.value();
    warn_rule(rule_str, std::string("could not be evaluated and counts 0 violations: ") +
                            qrt::type_name(exc) + ": " + qrt::to_string(exc));
}

// df.index[mask].tolist() added to the set of violating labels.
void add_labels(nb::set &all_violating, nb::handle df, nb::handle mask) {
    nb::object labels = df.attr("index")[mask].attr("tolist")();
    qrt::check(PyObject_CallMethod(all_violating.ptr(), "update", "O", labels.ptr()));
}

// Labels sorted ascending; labels that cannot be ordered against each other
// keep the order in which they first appear in the table's index.
nb::object ordered_labels(nb::set &all_violating, nb::handle df) {
    nb::object builtins = nb::module_::import_("builtins");
    try {
        return builtins.attr("sorted")(all_violating);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_TypeError)) throw;
    }
    nb::list out;
    nb::set seen;
    for (nb::handle label : df.attr("index")) {
        if (qrt::check_int(PySet_Contains(all_violating.ptr(), label.ptr())) &&
            !qrt::check_int(PySet_Contains(seen.ptr(), label.ptr()))) {
            seen.add(label);
            out.append(label);
        }
    }
    return out;
}

// A new one-dimensional int64 numpy array of `n` values, filled by `fill`
// through its buffer.
template <class Fill>
nb::object int64_array(size_t n, Fill &&fill) {
    nb::object np = nb::module_::import_("numpy");
    nb::object arr = np.attr("empty")(n, "dtype"_a = "int64");
    Py_buffer view;
    qrt::check_int(PyObject_GetBuffer(arr.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS));
    fill(static_cast<std::int64_t *>(view.buf));
    PyBuffer_Release(&view);
    return arr;
}

// The sorted labels of the rows at `positions` (ascending), computed without
// going through Python objects when the index is a plain increasing integer
// index: a RangeIndex with a positive step, or an int64 Index whose values
// strictly increase. The result equals pd.Index(sorted(set(labels))).
nb::object increasing_int_labels(nb::handle df, const std::vector<std::int64_t> &positions) {
    nb::object pd = pandas();
    nb::object index = df.attr("index");
    nb::handle index_type = reinterpret_cast<PyObject *>(Py_TYPE(index.ptr()));
    const size_t k = positions.size();
    nb::object labels;
    if (index_type.is(pd.attr("RangeIndex"))) {
        nb::object start_obj = index.attr("start"), step_obj = index.attr("step");
        long long start = nb::cast<long long>(start_obj);
        long long step = nb::cast<long long>(step_obj);
        if (step <= 0) return nb::object();
        labels = int64_array(k, [&](std::int64_t *out) {
            for (size_t j = 0; j < k; ++j) out[j] = start + positions[j] * step;
        });
    } else if (index_type.is(pd.attr("Index")) && qrt::to_string(index.attr("dtype")) == "int64") {
        nb::object values = index.attr("to_numpy")();
        Py_buffer view;
        if (PyObject_GetBuffer(values.ptr(), &view, PyBUF_C_CONTIGUOUS) < 0) {
            PyErr_Clear();
            return nb::object();
        }
        const auto *v = static_cast<const std::int64_t *>(view.buf);
        size_t n = static_cast<size_t>(view.len) / sizeof(std::int64_t);
        bool increasing = true;
        for (size_t i = 1; i < n && increasing; ++i) increasing = v[i - 1] < v[i];
        if (increasing)
            labels = int64_array(k, [&](std::int64_t *out) {
                for (size_t j = 0; j < k; ++j) out[j] = v[positions[j]];
            });
        PyBuffer_Release(&view);
        if (!increasing) return nb::object();
    } else {
        return nb::object();
    }
    return pd.attr("Index")(labels, "copy"_a = false);
}

nb::object rulix_validate(Call &c) {
    nb::handle self = c[0], df = c[1];
    nb::object exceptions = nb::module_::import_("quorvix.exceptions");
    if (!nb::hasattr(exceptions, "QuorvixInputError"))
        qrt::raise(PyExc_ImportError,
                   "cannot import name 'QuorvixInputError' from 'quorvix.exceptions'");

    nb::object frame_type = pandas().attr("DataFrame");
    if (!qrt::check_int(PyObject_IsInstance(df.ptr(), frame_type.ptr())))
        qrt::raise(PyExc_TypeError, "validate() expects a pandas DataFrame, got %.200s",
                   Py_TYPE(df.ptr())->tp_name);

    nb::dict violations;
    nb::set all_violating;
    rulix::Frame table(df);
    nb::object zero = nb::int_(0);
    // Rows broken by rules evaluated natively; their labels join the set at the end.
    std::vector<std::uint8_t> native_rows;
    size_t native_count = 0;

    nb::object rules = nb::iter(self.attr("_rules"));
    nb::object parsed_rules = nb::iter(self.attr("_parsed_rules"));
    while (true) {
        nb::object rule_str = nb::steal(PyIter_Next(rules.ptr()));
        if (!rule_str.is_valid()) {
            if (PyErr_Occurred()) qrt::throw_error();
            break;
        }
        nb::object parsed = nb::steal(PyIter_Next(parsed_rules.ptr()));
        if (!parsed.is_valid()) {
            if (PyErr_Occurred()) qrt::throw_error();
            break;
        }

        if (nb::object(parsed["type"]).equal(nb::str("conditional"))) {
            nb::object cond_str = parsed["condition"];
            nb::object cons_str = parsed["consequence"];
            rulix::Tokenized cond_tokens = check_text(cond_str, table);
            rulix::Tokenized cons_tokens = cond_tokens.ok ? check_text(cons_str, table) : rulix::Tokenized();
            if (!cond_tokens.ok || !cons_tokens.ok) {
                const std::string &why = cond_tokens.ok ? cons_tokens.reason : cond_tokens.reason;
                violations[rule_str] = zero;
                warn_rule(rule_str, "was refused and counts 0 violations: " + why + ".");
                continue;
            }
            if (table.conditional(cond_tokens.tokens, cons_tokens.tokens, native_rows, native_count)) {
                violations[rule_str] = nb::int_(native_count);
                continue;
            }
            try {
                nb::object cond_mask = df.attr("eval")(eval_text(cond_tokens));
                nb::object cons_mask = df.attr("eval")(eval_text(cons_tokens));
                nb::object violating_mask = cond_mask & ~cons_mask;
                violations[rule_str] = qrt::check(PyNumber_Long(violating_mask.attr("sum")().ptr()));
                add_labels(all_violating, df, violating_mask);
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_Exception)) throw;
                violations[rule_str] = zero;
                warn_failed(rule_str, e);
            }
        } else {
            nb::object expr = parsed["expr"];
            rulix::Tokenized tokens = check_text(expr, table);
            if (!tokens.ok) {
                violations[rule_str] = zero;
                warn_rule(rule_str, "was refused and counts 0 violations: " + tokens.reason + ".");
                continue;
            }
            if (table.expression(tokens.tokens, native_rows, native_count)) {
                violations[rule_str] = nb::int_(native_count);
                continue;
            }
            try {
                nb::object result = df.attr("eval")(eval_text(tokens));
                if (nb::hasattr(result, "__iter__")) {
                    nb::object violating_mask = ~result.attr("astype")(nb::handle(
                        reinterpret_cast<PyObject *>(&PyBool_Type)));
                    violations[rule_str] =
                        qrt::check(PyNumber_Long(violating_mask.attr("sum")().ptr()));
                    add_labels(all_violating, df, violating_mask);
                } else {
                    violations[rule_str] = zero;
                    warn_rule(rule_str, "refers to no column (it evaluates to the single value " +
                                            repr_str(result) + ") and counts 0 violations.");
                }
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_Exception)) throw;
                violations[rule_str] = zero;
                warn_failed(rule_str, e);
            }
        }
    }

    nb::object total = zero;
    for (auto [key, value] : violations) total = total + value;

    nb::object violating_index;
    size_t n_positions = 0;
    for (std::uint8_t m : native_rows) n_positions += m;
    std::vector<std::int64_t> positions(n_positions + 1);
    for (size_t i = 0, k = 0; i < native_rows.size(); ++i) {  // branch-free compaction
        positions[k] = static_cast<std::int64_t>(i);
        k += native_rows[i];
    }
    positions.pop_back();
    if (!positions.empty()) {
        if (PySet_GET_SIZE(all_violating.ptr()) == 0)
            violating_index = increasing_int_labels(df, positions);
        if (!violating_index.is_valid()) {
            nb::object taken = int64_array(positions.size(), [&](std::int64_t *out) {
                std::memcpy(out, positions.data(), positions.size() * sizeof(std::int64_t));
            });
            nb::object labels = df.attr("index").attr("take")(taken).attr("tolist")();
            qrt::check(PyObject_CallMethod(all_violating.ptr(), "update", "O", labels.ptr()));
        }
    }
    if (!violating_index.is_valid())
        violating_index = pandas().attr("Index")(ordered_labels(all_violating, df));
    Py_ssize_t n_rows = PyObject_Length(df.ptr());
    if (n_rows < 0) qrt::throw_error();
    Py_ssize_t n_violating = PyObject_Length(violating_index.ptr());
    if (n_violating < 0) qrt::throw_error();
    double rate = n_rows == 0 ? 0.0 : static_cast<double>(n_violating) / static_cast<double>(n_rows);

    nb::handle globals = c.capture(0);
    nb::object report_cls = nb::borrow(PyDict_GetItemWithError(globals.ptr(), nb::str("ConstraintViolationReport").ptr()));
    if (!report_cls.is_valid()) {
        if (PyErr_Occurred()) qrt::throw_error();
        qrt::raise(PyExc_NameError, "name 'ConstraintViolationReport' is not defined");
    }
    return report_cls("violations"_a = violations, "total_violations"_a = total,
                      "violation_rate"_a = rate, "violating_rows"_a = violating_index);
}

// ---------------------------------------------------------------------------
// ConstraintViolationReport

nb::object report_empty_index(Call &) { return pandas().attr("Index")(nb::list()); }

nb::object report_summary(Call &c) {
    nb::list lines;
    nb::object violations = c[0].attr("violations");
    for (nb::handle item : violations.attr("items")()) {
        nb::object rule = item[0], count = item[1];
        lines.append(nb::str("Rule '{}': {} violations").attr("format")(nb::str(rule), nb::str(count)));
    }
    return nb::str("\n").attr("join")(lines);
}

// A bound moved off `bound` by 1e-6 in `direction`; when the offset is lost to
// rounding (large bounds) the next representable double beyond it is used, so
// clipped values really satisfy the strict comparison.
double strict_bound(double bound, double direction) {
    double moved = bound + direction * 1e-6;
    if (moved == bound && std::isfinite(bound)) moved = std::nextafter(bound, direction * INFINITY);
    return moved;
}

nb::object clip_repair(Call &c, nb::handle df) {
    nb::handle self = c[0];
    nb::handle bound_re = c.capture(0);
    nb::object result = df.attr("copy")();
    nb::object is_numeric = pandas().attr("api").attr("types").attr("is_numeric_dtype");
    for (nb::handle rule : self.attr("violations")) {
        nb::object m = bound_re.attr("match")(rule.attr("strip")());
        if (m.is_none()) continue;
        nb::object column = m.attr("group")(1);
        std::string op = qrt::to_string(m.attr("group")(2));
        nb::object bound_obj = nb::steal(PyFloat_FromString(m.attr("group")(3).ptr()));
        if (!bound_obj.is_valid()) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) qrt::throw_error();
            PyErr_Clear();
            continue;
        }
        double bound = PyFloat_AS_DOUBLE(bound_obj.ptr());
        if (!qrt::check_int(PySequence_Contains(result.attr("columns").ptr(), column.ptr())))
            continue;
        nb::object col = result[column];
        if (!nb::bool_(is_numeric(col))) continue;
        nb::object clipped;
        if (op == ">")
            clipped = col.attr("clip")("lower"_a = strict_bound(bound, 1.0));
        else if (op == ">=")
            clipped = col.attr("clip")("lower"_a = bound_obj);
        else if (op == "<")
            clipped = col.attr("clip")("upper"_a = strict_bound(bound, -1.0));
        else
            clipped = col.attr("clip")("upper"_a = bound_obj);
        qrt::assign_item(result, column, clipped);
    }
    return result;
}

nb::object report_fix(Call &c) {
    nb::handle self = c[0], df = c[1], strategy = c[2];
    nb::object violating_rows = self.attr("violating_rows");
    if (nb::len(violating_rows) == 0) return df.attr("copy")();

    nb::object bad_mask = df.attr("index").attr("isin")(violating_rows);
    nb::object good_mask = ~bad_mask;
    nb::object good_df = df[good_mask];
    nb::object bad_df = df.attr("loc")[bad_mask];

    std::string s = qrt::to_string(strategy);
    if (s == "drop") return good_df.attr("reset_index")("drop"_a = true);
    if (s == "resample") {
        if (nb::len(good_df) == 0) {
            qrt::warn(PyExc_RuntimeWarning,
                      "No row satisfies the rules, so 'resample' has no rows to draw from: "
                      "the table is returned unchanged, violating rows included.",
                      1);
            return df.attr("copy")();
        }
        size_t n_bad = nb::len(bad_df);
        nb::object replacement = good_df.attr("sample")("n"_a = n_bad, "replace"_a = true)
                                     .attr("reset_index")("drop"_a = true);
        nb::list parts;
        parts.append(good_df.attr("reset_index")("drop"_a = true));
        parts.append(replacement);
        return pandas().attr("concat")(parts, "ignore_index"_a = true);
    }
    if (s == "clip") return clip_repair(c, df);
    qrt::raise(PyExc_ValueError, "Unknown fix strategy '%U'. Valid: 'resample', 'drop', 'clip'.",
               strategy.ptr());
}

// ---------------------------------------------------------------------------
// Signatures

const Signature kRulixInit{"__init__", "Rulix.__init__", nullptr, {{"self"}}, rulix_init, "None"};

const Signature kAddRule{"add_rule",
                         "Rulix.add_rule",
                         "Parse and store a constraint rule. Returns self for chaining.",
                         {{"self"}, {"rule", Type::Str, "str"}},
                         rulix_add_rule,
                         "'Rulix'"};

const Signature kParseRule{"_parse_rule",
                           "Rulix._parse_rule",
                           "Parse a rule string into a structured representation.",
                           {{"self"}, {"rule", Type::Str, "str"}},
                           rulix_parse_rule,
                           "Dict[str, Any]"};

const Signature kValidate{"validate",
                          "Rulix.validate",
                          "Validate all rules against the DataFrame.",
                          {{"self"}, {"df", Type::Any, "pd.DataFrame"}},
                          rulix_validate,
                          "ConstraintViolationReport"};

const Signature kEmptyIndex{"<lambda>", "ConstraintViolationReport.<lambda>", nullptr, {},
                            report_empty_index};

const Signature kSummary{"summary",
                         "ConstraintViolationReport.summary",
                         "Return one line per rule: the rule text and its number of violating rows.",
                         {{"self"}},
                         report_summary,
                         "str"};

const Signature kFix{"fix",
                     "ConstraintViolationReport.fix",
                     "Return a repaired copy of df.\n\n"
                     "    strategy is one of:\n\n"
                     "    - \"drop\": remove the violating rows and renumber the index;\n"
                     "    - \"resample\": replace the violating rows with rows drawn, with\n"
                     "      replacement, from the non-violating ones (numpy's global random\n"
                     "      state); the result is renumbered;\n"
                     "    - \"clip\": clip numeric columns into the bounds of simple rules such\n"
                     "      as \"age > 0\" or \"score <= 100\", keeping the index.\n\n"
                     "    df itself is never changed.\n"
                     "    ",
                     {{"self"}, {"df", Type::Any, "pd.DataFrame"}, {"strategy", Type::Str, "str"}},
                     report_fix,
                     "pd.DataFrame"};

// ---------------------------------------------------------------------------
// Module body

void exec_module(nb::module_ m) {
    nb::object re = nb::module_::import_("re");
    m.attr("re") = re;
    nb::object dataclasses = nb::module_::import_("dataclasses");
    m.attr("dataclass") = dataclasses.attr("dataclass");
    m.attr("field") = dataclasses.attr("field");
    nb::object typing = nb::module_::import_("typing");
    for (const char *name : {"Any", "Dict", "List", "Optional"}) m.attr(name) = typing.attr(name);
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("pd") = nb::module_::import_("pandas");

    nb::list all;
    all.append("Rulix");
    all.append("ConstraintViolationReport");
    m.attr("__all__") = all;

    nb::object field = dataclasses.attr("field");
    nb::dict report_ns;
    nb::dict annotations;
    annotations["violations"] = "Dict[str, int]";
    annotations["total_violations"] = "int";
    annotations["violation_rate"] = "float";
    annotations["violating_rows"] = "pd.Index";
    report_ns["__annotations__"] = annotations;
    report_ns["violations"] =
        field("default_factory"_a = nb::handle(reinterpret_cast<PyObject *>(&PyDict_Type)));
    report_ns["total_violations"] = 0;
    report_ns["violation_rate"] = 0.0;
    report_ns["violating_rows"] =
        field("default_factory"_a = qrt::make_function(kEmptyIndex, kModule));
    qrt::add_method(report_ns, kSummary, kModule);
    report_ns["fix"] = qrt::make_function(kFix, kModule, nb::make_tuple("resample"),
                                          nb::make_tuple(re.attr("compile")(kBoundPattern)));
    m.attr("ConstraintViolationReport") =
        qrt::make_dataclass("ConstraintViolationReport", kModule, "ConstraintViolationReport",
                            "Report of constraint violations in a DataFrame.", report_ns);

    nb::dict rulix_ns;
    qrt::add_method(rulix_ns, kRulixInit, kModule);
    qrt::add_method(rulix_ns, kAddRule, kModule);
    nb::object ignorecase = re.attr("IGNORECASE");
    nb::object conditional = re.attr("compile")(kConditionalPattern, ignorecase);
    rulix_ns["_parse_rule"] =
        qrt::make_function(kParseRule, kModule, nb::tuple(), nb::make_tuple(conditional));
    nb::object globals = m.attr("__dict__");
    rulix_ns["validate"] =
        qrt::make_function(kValidate, kModule, nb::tuple(), nb::make_tuple(globals));
    m.attr("Rulix") = qrt::make_class("Rulix", kModule, "Rulix", kRulixDoc, rulix_ns);
}

}  // namespace

QRT_MODULE(rulix, kModuleDoc, exec_module)
