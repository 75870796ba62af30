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
using qrt::get;
using qrt::item;
using qrt::set_attr;
using qrt::set_item;
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
    get(self, "_rules", "append")(rule);
    nb::object parsed = get(self, "_parse_rule")(rule);
    get(self, "_parsed_rules", "append")(parsed);
    return nb::borrow(self);
}

nb::object rulix_parse_rule(Call &c) {
    nb::object text = get(c[1], "strip")();
    nb::object match = get(c.capture(0), "match")(text);
    nb::dict parsed;
    if (!match.is_none()) {
        set_item(parsed, "type", "conditional");
        set_item(parsed, "condition", get(get(match, "group")(1), "strip")());
        set_item(parsed, "consequence", get(get(match, "group")(2), "strip")());
        set_item(parsed, "raw", text);
    } else {
        set_item(parsed, "type", "comparison");
        set_item(parsed, "expr", text);
        set_item(parsed, "raw", text);
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
    rulix::Tokenized t = rulix::tokenize_rule(rulix::to_u32(text), resolve);
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
    nb::object labels = get(item(get(df, "index"), mask), "tolist")();
    qrt::check(PyObject_CallMethod(all_violating.ptr(), "update", "O", labels.ptr()));
}

// Labels sorted ascending; labels that cannot be ordered against each other
// keep the order in which they first appear in the table's index.
nb::object ordered_labels(nb::set &all_violating, nb::handle df) {
    nb::object builtins = nb::module_::import_("builtins");
    try {
        return get(builtins, "sorted")(all_violating);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_TypeError)) throw;
    }
    nb::list out;
    nb::set seen;
    for (nb::handle label : get(df, "index")) {
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
    nb::object arr = get(np, "empty")(n, "dtype"_a = "int64");
    Py_buffer view;
    qrt::check_int(PyObject_GetBuffer(arr.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS));
    fill(static_cast<std::int64_t *>(view.buf));
    PyBuffer_Release(&view);
    return arr;
}

// Writes f(i) for every row i flagged in `marks` (ascending) to out, which
// has room for `count` values, the number of flagged rows.
template <class F>
void compact(const std::vector<std::uint8_t> &marks, size_t count, F &&f, std::int64_t *out) {
    if (count == 0) return;
    size_t end = marks.size();
    while (end > 0 && !marks[end - 1]) --end;  // rows up to the last flagged one: k < count below
    const std::uint8_t *m = marks.data();
    size_t k = 0;
    for (size_t i = 0; i < end;) {
        if (i + 8 <= end) {
            std::uint64_t word;
            std::memcpy(&word, m + i, 8);
            if (word == 0) {  // eight rows at once where nothing is flagged
                i += 8;
                continue;
            }
            for (size_t stop = i + 8; i < stop; ++i) {  // branch-free
                out[k] = f(i);
                k += m[i];
            }
        } else {
            out[k] = f(i);
            k += m[i];
            ++i;
        }
    }
}

// The sorted labels of the rows flagged in `marks` (`count` of them),
// computed without going through Python objects when the index is a plain
// increasing integer index: a RangeIndex with a positive step, or an int64
// Index whose values strictly increase. The result equals
// pd.Index(sorted(set(labels))).
nb::object increasing_int_labels(nb::handle index, const std::vector<std::uint8_t> &marks, size_t count) {
    nb::object pd = pandas();
    nb::handle index_type = reinterpret_cast<PyObject *>(Py_TYPE(index.ptr()));
    nb::object labels;
    if (index_type.is(get(pd, "RangeIndex"))) {
        nb::object start_obj = get(index, "start"), step_obj = get(index, "step");
        long long start = nb::cast<long long>(start_obj);
        long long step = nb::cast<long long>(step_obj);
        if (step <= 0 || marks.size() > nb::len(index)) return nb::object();
        labels = int64_array(count, [&](std::int64_t *out) {
            compact(marks, count, [&](size_t i) { return start + static_cast<std::int64_t>(i) * step; }, out);
        });
    } else if (index_type.is(get(pd, "Index")) && qrt::to_string(get(index, "dtype")) == "int64") {
        nb::object values = get(index, "to_numpy")();
        Py_buffer view;
        if (PyObject_GetBuffer(values.ptr(), &view, PyBUF_C_CONTIGUOUS) < 0) {
            PyErr_Clear();
            return nb::object();
        }
        const auto *v = static_cast<const std::int64_t *>(view.buf);
        size_t n = static_cast<size_t>(view.len) / sizeof(std::int64_t);
        bool increasing = marks.size() <= n;
        for (size_t i = 1; i < n && increasing; ++i) increasing = v[i - 1] < v[i];
        if (increasing)
            labels = int64_array(count, [&](std::int64_t *out) { compact(marks, count, [&](size_t i) { return v[i]; }, out); });
        PyBuffer_Release(&view);
        if (!increasing) return nb::object();
    } else {
        return nb::object();
    }
    return get(pd, "Index")(labels, "copy"_a = false);
}

nb::object rulix_validate(Call &c) {
    nb::handle self = c[0], df = c[1];
    nb::object exceptions = nb::module_::import_("quorvix.exceptions");
    if (!nb::hasattr(exceptions, "QuorvixInputError"))
        qrt::raise(PyExc_ImportError,
                   "cannot import name 'QuorvixInputError' from 'quorvix.exceptions'");

    nb::object frame_type = get(pandas(), "DataFrame");
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

    // One rule evaluated on its own: natively as a whole, or by DataFrame.eval.
    auto one_conditional = [&](nb::handle rule_str, const rulix::Tokenized &cond_tokens,
                               const rulix::Tokenized &cons_tokens) {
        if (table.conditional(cond_tokens.tokens, cons_tokens.tokens, native_rows, native_count)) {
            set_item(violations, rule_str, nb::int_(native_count));
            return;
        }
        try {
            nb::object cond_mask = get(df, "eval")(eval_text(cond_tokens));
            nb::object cons_mask = get(df, "eval")(eval_text(cons_tokens));
            nb::object violating_mask = cond_mask & ~cons_mask;
            set_item(violations, rule_str, qrt::check(PyNumber_Long(get(violating_mask, "sum")().ptr())));
            add_labels(all_violating, df, violating_mask);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            set_item(violations, rule_str, zero);
            warn_failed(rule_str, e);
        }
    };
    auto one_expression = [&](nb::handle rule_str, const rulix::Tokenized &tokens) {
        if (table.expression(tokens.tokens, native_rows, native_count)) {
            set_item(violations, rule_str, nb::int_(native_count));
            return;
        }
        try {
            nb::object result = get(df, "eval")(eval_text(tokens));
            if (nb::hasattr(result, "__iter__")) {
                nb::object violating_mask =
                    ~get(result, "astype")(nb::handle(reinterpret_cast<PyObject *>(&PyBool_Type)));
                set_item(violations, rule_str, qrt::check(PyNumber_Long(get(violating_mask, "sum")().ptr())));
                add_labels(all_violating, df, violating_mask);
            } else {
                set_item(violations, rule_str, zero);
                warn_rule(rule_str, "refers to no column (it evaluates to the single value " + repr_str(result) +
                                        ") and counts 0 violations.");
            }
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            set_item(violations, rule_str, zero);
            warn_failed(rule_str, e);
        }
    };

    // Consecutive rules that the table can evaluate together wait in its
    // batch; they are run in one pass before any other rule is handled (and
    // at the end), so counts, labels and warnings come in the rules' order.
    struct Pending {
        nb::object rule_str;
        rulix::Tokenized a, b;  // b: a conditional's consequence
        bool conditional;
    };
    std::vector<Pending> pending;
    auto flush = [&]() {
        if (pending.empty()) return;
        std::vector<size_t> counts;
        if (table.run_batch(native_rows, counts)) {
            for (size_t k = 0; k < pending.size(); ++k) set_item(violations, pending[k].rule_str, nb::int_(counts[k]));
        } else {
            for (const Pending &p : pending) {
                if (p.conditional) one_conditional(p.rule_str, p.a, p.b);
                else one_expression(p.rule_str, p.a);
            }
        }
        pending.clear();
    };

    nb::object rules = nb::iter(get(self, "_rules"));
    nb::object parsed_rules = nb::iter(get(self, "_parsed_rules"));
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

        if (item(parsed, "type").equal(nb::str("conditional"))) {
            nb::object cond_str = item(parsed, "condition");
            nb::object cons_str = item(parsed, "consequence");
            rulix::Tokenized cond_tokens = check_text(cond_str, table);
            rulix::Tokenized cons_tokens = cond_tokens.ok ? check_text(cons_str, table) : rulix::Tokenized();
            if (cond_tokens.ok && cons_tokens.ok && table.add_conditional(cond_tokens.tokens, cons_tokens.tokens)) {
                pending.push_back(Pending{rule_str, std::move(cond_tokens), std::move(cons_tokens), true});
                continue;
            }
            flush();
            if (!cond_tokens.ok || !cons_tokens.ok) {
                const std::string &why = cond_tokens.ok ? cons_tokens.reason : cond_tokens.reason;
                set_item(violations, rule_str, zero);
                warn_rule(rule_str, "was refused and counts 0 violations: " + why + ".");
                continue;
            }
            one_conditional(rule_str, cond_tokens, cons_tokens);
        } else {
            nb::object expr = item(parsed, "expr");
            rulix::Tokenized tokens = check_text(expr, table);
            if (tokens.ok && table.add_expression(tokens.tokens)) {
                pending.push_back(Pending{rule_str, std::move(tokens), rulix::Tokenized(), false});
                continue;
            }
            flush();
            if (!tokens.ok) {
                set_item(violations, rule_str, zero);
                warn_rule(rule_str, "was refused and counts 0 violations: " + tokens.reason + ".");
                continue;
            }
            one_expression(rule_str, tokens);
        }
    }
    flush();

    nb::object total = zero;
    for (nb::handle value : qrt::each(get(violations, "values")())) total = total + value;

    nb::object violating_index;
    size_t n_positions = 0;
    for (std::uint8_t m : native_rows) n_positions += m;
    if (n_positions > 0) {
        if (PySet_GET_SIZE(all_violating.ptr()) == 0)
            violating_index = increasing_int_labels(table.index(), native_rows, n_positions);
        if (!violating_index.is_valid()) {
            nb::object taken = int64_array(n_positions, [&](std::int64_t *out) {
                compact(native_rows, n_positions, [](size_t i) { return static_cast<std::int64_t>(i); }, out);
            });
            nb::object labels = get(get(table.index(), "take")(taken), "tolist")();
            qrt::check(PyObject_CallMethod(all_violating.ptr(), "update", "O", labels.ptr()));
        }
    }
    if (!violating_index.is_valid())
        violating_index = get(pandas(), "Index")(ordered_labels(all_violating, df));
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

nb::object report_empty_index(Call &) { return get(pandas(), "Index")(nb::list()); }

nb::object report_summary(Call &c) {
    nb::list lines;
    nb::object violations = get(c[0], "violations");
    for (nb::handle entry : get(violations, "items")()) {
        nb::object rule = item(entry, 0), count = item(entry, 1);
        lines.append(
            get(nb::str("Rule '{}': {} violations"), "format")(nb::str(rule), nb::str(count)));
    }
    return get(nb::str("\n"), "join")(lines);
}

// A bound moved off `bound` by 1e-6 in `direction`; when the offset is lost to
// rounding (large bounds) the next representable double beyond it is used, so
// clipped values really satisfy the strict comparison.
double strict_bound(double bound, double direction) {
    double moved = bound + direction * 1e-6;
    if (moved == bound && std::isfinite(bound)) moved = std::nextafter(bound, direction * INFINITY);
    return moved;
}

// The clip of an integer column (numpy or nullable integers, booleans): to the
// nearest value of the column's own type inside the bound (`> 0` gives 1,
// `> 0.5` gives 1, `< 5` gives 4, `<= 4.5` gives 4), so the dtype is kept.
// Empty optional: not an integer column (clipped as floats are). An invalid
// object: nothing to do, because every value of the type is inside the bound,
// or none is (no such value can be written, so the column is left as it is).
std::optional<nb::object> clip_whole(nb::handle col, const std::string &op, double bound) {
    nb::object dtype = get(col, "dtype");
    PyObject *kind_obj = nullptr;
    if (qrt::check_int(PyObject_GetOptionalAttrString(dtype.ptr(), "kind", &kind_obj)) == 0)
        return std::nullopt;
    nb::object kind_held = nb::steal(kind_obj);
    if (!PyUnicode_Check(kind_obj)) return std::nullopt;
    const std::string kind = qrt::to_string(kind_held);
    if (kind != "i" && kind != "u" && kind != "b") return std::nullopt;

    const bool lower = op[0] == '>';
    double limit = op == ">"    ? std::floor(bound) + 1.0
                   : op == ">=" ? std::ceil(bound)
                   : op == "<"  ? std::ceil(bound) - 1.0
                                : std::floor(bound);
    if (!std::isfinite(limit)) return nb::object();  // NaN or infinite bound
    nb::object lim = qrt::check(PyLong_FromDouble(limit));
    nb::object lo, hi;
    if (kind == "b") {
        lo = nb::int_(0);
        hi = nb::int_(1);
    } else {
        nb::object np_dtype = nb::hasattr(dtype, "numpy_dtype") ? get(dtype, "numpy_dtype") : dtype;
        nb::object info = get(nb::module_::import_("numpy"), "iinfo")(np_dtype);
        lo = get(info, "min");
        hi = get(info, "max");
    }
    auto cmp = [](nb::handle a, nb::handle b, int op_id) {
        return qrt::check_int(PyObject_RichCompareBool(a.ptr(), b.ptr(), op_id)) != 0;
    };
    // Every value inside the bound, or none: nothing to clip.
    if (lower ? (cmp(lim, lo, Py_LE) || cmp(lim, hi, Py_GT))
              : (cmp(lim, hi, Py_GE) || cmp(lim, lo, Py_LT)))
        return nb::object();
    nb::object value = kind == "b" ? nb::object(nb::bool_(cmp(lim, hi, Py_EQ))) : lim;
    nb::object clipped =
        lower ? get(col, "clip")("lower"_a = value) : get(col, "clip")("upper"_a = value);
    nb::object clipped_dtype = get(clipped, "dtype");
    if (!clipped_dtype.equal(dtype)) clipped = get(clipped, "astype")(dtype);
    return clipped;
}

nb::object clip_repair(Call &c, nb::handle df) {
    nb::handle self = c[0];
    nb::handle bound_re = c.capture(0);
    nb::object result = get(df, "copy")();
    nb::object is_numeric = get(pandas(), "api", "types", "is_numeric_dtype");
    for (nb::handle rule : get(self, "violations")) {
        nb::object m = get(bound_re, "match")(get(rule, "strip")());
        if (m.is_none()) continue;
        nb::object column = get(m, "group")(1);
        std::string op = qrt::to_string(get(m, "group")(2));
        nb::object bound_obj = nb::steal(PyFloat_FromString(get(m, "group")(3).ptr()));
        if (!bound_obj.is_valid()) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) qrt::throw_error();
            PyErr_Clear();
            continue;
        }
        double bound = PyFloat_AS_DOUBLE(bound_obj.ptr());
        if (!qrt::check_int(PySequence_Contains(get(result, "columns").ptr(), column.ptr())))
            continue;
        nb::object col = item(result, column);
        if (!nb::bool_(is_numeric(col))) continue;
        nb::object clipped;
        if (std::optional<nb::object> whole = clip_whole(col, op, bound)) {
            if (!whole->is_valid()) continue;
            clipped = *whole;
        } else if (op == ">")
            clipped = get(col, "clip")("lower"_a = strict_bound(bound, 1.0));
        else if (op == ">=")
            clipped = get(col, "clip")("lower"_a = bound_obj);
        else if (op == "<")
            clipped = get(col, "clip")("upper"_a = strict_bound(bound, -1.0));
        else
            clipped = get(col, "clip")("upper"_a = bound_obj);
        qrt::assign_item(result, column, clipped);
    }
    return result;
}

nb::object report_fix(Call &c) {
    nb::handle self = c[0], df = c[1], strategy = c[2];
    nb::object violating_rows = get(self, "violating_rows");
    if (nb::len(violating_rows) == 0) return get(df, "copy")();

    nb::object bad_mask = get(df, "index", "isin")(violating_rows);
    nb::object good_mask = ~bad_mask;
    nb::object good_df = item(df, good_mask);
    nb::object bad_df = item(get(df, "loc"), bad_mask);

    std::string s = qrt::to_string(strategy);
    if (s == "drop") return get(good_df, "reset_index")("drop"_a = true);
    if (s == "resample") {
        if (nb::len(good_df) == 0) {
            qrt::warn(PyExc_RuntimeWarning,
                      "No row satisfies the rules, so 'resample' has no rows to draw from: "
                      "the table is returned unchanged, violating rows included.",
                      1);
            return get(df, "copy")();
        }
        size_t n_bad = nb::len(bad_df);
        nb::object replacement = get(get(good_df, "sample")("n"_a = n_bad, "replace"_a = true),
                                     "reset_index")("drop"_a = true);
        nb::list parts;
        parts.append(get(good_df, "reset_index")("drop"_a = true));
        parts.append(replacement);
        return get(pandas(), "concat")(parts, "ignore_index"_a = true);
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
    set_attr(m, "re", re);
    nb::object dataclasses = nb::module_::import_("dataclasses");
    set_attr(m, "dataclass", get(dataclasses, "dataclass"));
    set_attr(m, "field", get(dataclasses, "field"));
    nb::object typing = nb::module_::import_("typing");
    for (const char *name : {"Any", "Dict", "List", "Optional"})
        set_attr(m, name, get(typing, name));
    set_attr(m, "np", nb::module_::import_("numpy"));
    set_attr(m, "pd", nb::module_::import_("pandas"));

    nb::list all;
    all.append("Rulix");
    all.append("ConstraintViolationReport");
    set_attr(m, "__all__", all);

    nb::object field = get(dataclasses, "field");
    nb::dict report_ns;
    nb::dict annotations;
    set_item(annotations, "violations", "Dict[str, int]");
    set_item(annotations, "total_violations", "int");
    set_item(annotations, "violation_rate", "float");
    set_item(annotations, "violating_rows", "pd.Index");
    set_item(report_ns, "__annotations__", annotations);
    set_item(report_ns, "violations",
             field("default_factory"_a = nb::handle(reinterpret_cast<PyObject *>(&PyDict_Type))));
    set_item(report_ns, "total_violations", 0);
    set_item(report_ns, "violation_rate", 0.0);
    set_item(report_ns, "violating_rows",
             field("default_factory"_a = qrt::make_function(kEmptyIndex, kModule)));
    qrt::add_method(report_ns, kSummary, kModule);
    set_item(report_ns, "fix",
             qrt::make_function(kFix, kModule, nb::make_tuple("resample"),
                                nb::make_tuple(get(re, "compile")(kBoundPattern))));
    set_attr(m, "ConstraintViolationReport",
             qrt::make_dataclass("ConstraintViolationReport", kModule, "ConstraintViolationReport",
                                 "Report of constraint violations in a DataFrame.", report_ns));

    nb::dict rulix_ns;
    qrt::add_method(rulix_ns, kRulixInit, kModule);
    qrt::add_method(rulix_ns, kAddRule, kModule);
    nb::object ignorecase = get(re, "IGNORECASE");
    nb::object conditional = get(re, "compile")(kConditionalPattern, ignorecase);
    set_item(rulix_ns, "_parse_rule",
             qrt::make_function(kParseRule, kModule, nb::tuple(), nb::make_tuple(conditional)));
    nb::object globals = get(m, "__dict__");
    set_item(rulix_ns, "validate",
             qrt::make_function(kValidate, kModule, nb::tuple(), nb::make_tuple(globals)));
    set_attr(m, "Rulix", qrt::make_class("Rulix", kModule, "Rulix", kRulixDoc, rulix_ns));
}

}  // namespace

QRT_MODULE(rulix, kModuleDoc, exec_module)
