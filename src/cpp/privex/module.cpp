// quorvix.core_generator.privex: calibrated random noise for the numeric and
// categorical columns of a preprocessed table (Laplace, Gaussian and a
// "minimal" mode of small fixed noise).
//
// Every draw comes from numpy's global legacy random state, in the order the
// passes document, so a seeded run is reproducible draw for draw. The methods
// look up the module's globals (np, logger, ...) at call time, as module-level
// Python code would.
#include "runtime/runtime.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace nb = nanobind;
using namespace nb::literals;
using qrt::get;
using qrt::item;
using qrt::set_attr;
using qrt::set_item;
using qrt::Call;
using qrt::Signature;
using qrt::Type;

constexpr const char *kModuleDoc =
    "Differential privacy noise for preprocessed DataFrames: the Laplace and Gaussian\n"
    "mechanisms and a minimal-noise mode, applied through PrivexProcessor or apply_privex.\n"
    "\n"
    "Importing the module suppresses all warnings in the process and configures logging\n"
    "at INFO. The demonstration runs with `python -m quorvix.core_generator.privex_demo`.\n";

constexpr const char *kProcessorDoc =
    "\n"
    "    Minimal differential privacy processor for preprocessed DataFrames.\n"
    "\n"
    "    Applies differential privacy with minimal noise addition while preserving\n"
    "    data utility for synthetic data generation.\n"
    "    ";

// ---------------------------------------------------------------------------
// Small helpers over the object protocol

nb::object pyfloat(double v) { return qrt::check(PyFloat_FromDouble(v)); }

nb::object true_divide(nb::handle a, nb::handle b) {
    return qrt::check(PyNumber_TrueDivide(a.ptr(), b.ptr()));
}
nb::object multiply(nb::handle a, nb::handle b) {
    return qrt::check(PyNumber_Multiply(a.ptr(), b.ptr()));
}
nb::object add(nb::handle a, nb::handle b) { return qrt::check(PyNumber_Add(a.ptr(), b.ptr())); }
nb::object subtract(nb::handle a, nb::handle b) {
    return qrt::check(PyNumber_Subtract(a.ptr(), b.ptr()));
}

bool compare(nb::handle a, nb::handle b, int op) {
    return qrt::check_int(PyObject_RichCompareBool(a.ptr(), b.ptr(), op)) != 0;
}
bool truth(nb::handle o) { return qrt::check_int(PyObject_IsTrue(o.ptr())) != 0; }
bool contains(nb::handle container, nb::handle item) {
    return qrt::check_int(PySequence_Contains(container.ptr(), item.ptr())) != 0;
}
Py_ssize_t length(nb::handle o) {
    Py_ssize_t n = PyObject_Length(o.ptr());
    if (n < 0) qrt::throw_error();
    return n;
}

// df[col] = value. pandas 2 guesses chained assignment (df[a][b] = v) from the
// reference count of the table being set; a call from native code holds one
// reference fewer than the interpreter's own `df[col] = value` does, so one more
// is held for the duration of the call.
void set_column(nb::handle df, nb::handle col, nb::handle value) {
    nb::object held = nb::borrow(df);
    qrt::check_int(PyObject_SetItem(held.ptr(), col.ptr(), value.ptr()));
}

nb::object builtin(const char *name) { return get(nb::module_::import_("builtins"), name); }

// A module global looked up at call time; a missing name is a NameError.
nb::object global(nb::handle globals, const char *name) {
    PyObject *value = nullptr;
    if (qrt::check_int(PyDict_GetItemStringRef(globals.ptr(), name, &value)) == 0)
        qrt::raise(PyExc_NameError, "name '%s' is not defined", name);
    return nb::steal(value);
}
nb::object global(const Call &c, const char *name) { return global(c.capture(0), name); }

void log_info(const Call &c, nb::handle message) { get(global(c, "logger"), "info")(message); }

// The dtype selection of categorical columns. "string" takes in text columns of
// pandas' string dtype, which "object" leaves out.
nb::list categorical_kinds() {
    nb::list kinds;
    for (const char *k : {"object", "string", "category", "bool"}) kinds.append(k);
    return kinds;
}

nb::list numeric_kinds(nb::handle np) {
    nb::list kinds;
    kinds.append(get(np, "number"));
    return kinds;
}

nb::object is_integer_dtype(nb::handle pd) {
    return get(pd, "api", "types", "is_integer_dtype");
}

using qrt::unpack2;

// max(col) - min(col) of a column's non-missing values. For integer columns the
// difference is taken on Python integers, so a narrow dtype cannot wrap around
// (an int8 column from -100 to 100 has range 200, not -56).
nb::object value_range(const Call &c, nb::handle col_data) {
    nb::object high = get(col_data, "max")();
    nb::object low = get(col_data, "min")();
    if (nb::hasattr(col_data, "dtype") &&
        truth(is_integer_dtype(global(c, "pd"))(get(col_data, "dtype")))) {
        nb::object high_int = qrt::check(PyNumber_Long(high.ptr()));
        nb::object low_int = qrt::check(PyNumber_Long(low.ptr()));
        return subtract(high_int, low_int);
    }
    return subtract(high, low);
}

// Whether noisy float64 values written into a column of this dtype need the
// column widened to float64 first: integer columns (numpy or pandas' nullable
// ones), sparse columns and numpy floats narrower than float64. pandas 2
// widened these implicitly when the values were written; pandas 3 refuses the
// write.
bool needs_float64(const Call &c, nb::handle np, nb::handle dtype) {
    nb::object pd = global(c, "pd");
    if (truth(is_integer_dtype(pd)(dtype))) return true;
    // A sparse column cannot take values cell by cell; its noisy values are
    // dense anyway (every stored cell gets its own noise).
    if (nb::isinstance(dtype, get(pd, "SparseDtype"))) return true;
    if (!nb::isinstance(dtype, get(np, "dtype"))) return false;
    std::string kind = qrt::to_string(get(dtype, "kind"));
    return kind == "f" && nb::cast<long>(get(dtype, "itemsize")) < 8;
}

// Whether a dtype is a duration (timedelta64, numpy's or pyarrow's).
bool is_duration(nb::handle dtype) {
    PyObject *kind = nullptr;
    if (qrt::check_int(PyObject_GetOptionalAttrString(dtype.ptr(), "kind", &kind)) == 0)
        return false;
    nb::object held = nb::steal(kind);
    return PyUnicode_Check(kind) && PyUnicode_EqualToUTF8(kind, "m");
}

// Write `noisy` into the non-missing cells of column `col` of `df_dp`.
// `source` is the column the non-missing cells were taken from; its rows are
// in the same order as df_dp's. The cells are addressed by position, so a
// table whose index repeats labels is written correctly.
void write_noisy(const Call &c, nb::handle df_dp, nb::handle col, nb::handle source,
                 nb::handle noisy) {
    nb::object np = global(c, "np");
    nb::object positions = get(np, "flatnonzero")(get(get(source, "notna")(), "to_numpy")());
    nb::object where = get(df_dp, "columns", "get_loc")(col);
    if (!PyLong_Check(where.ptr())) {
        // A label that names several columns: addressed by label, as the
        // passes' own reading of such a column would be.
        nb::object index = get(get(source, "dropna")(), "index");
        set_item(get(df_dp, "loc"), nb::make_tuple(index, col), noisy);
        return;
    }
    nb::object all_rows = nb::slice(nb::none(), nb::none(), nb::none());
    nb::object column = item(get(df_dp, "iloc"), nb::make_tuple(all_rows, where));
    if (needs_float64(c, np, get(column, "dtype")))
        get(df_dp, "isetitem")(where, get(column, "astype")("float64"));
    set_item(get(df_dp, "iloc"), nb::make_tuple(positions, where), noisy);
}

// ---------------------------------------------------------------------------
// numpy arrays

// The data of a one-dimensional, C-contiguous numpy array of 8-byte floats
// ('d') or 8-byte integers ('q'), read or written in place through the buffer
// protocol. ok() is false, with no error set, for anything else.
class ArrayView {
public:
    ArrayView(nb::handle array, char kind, bool writable) {
        int flags = PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(array.ptr(), &view_, flags) < 0) {
            PyErr_Clear();
            return;
        }
        held_ = true;
        const char *fmt = view_.format ? view_.format : "B";
        if (*fmt == '@' || *fmt == '=' || *fmt == '<') ++fmt;
        const bool int64 = fmt[0] == 'q' || fmt[0] == 'l';
        const bool matches = fmt[0] != 0 && fmt[1] == 0 && view_.itemsize == 8 &&
                             view_.ndim == 1 && (kind == 'd' ? fmt[0] == 'd' : int64);
        if (!matches) release();
    }
    ~ArrayView() { release(); }
    ArrayView(const ArrayView &) = delete;
    ArrayView &operator=(const ArrayView &) = delete;

    bool ok() const { return held_; }
    Py_ssize_t size() const { return view_.len / 8; }
    template <class T>
    T *data() const {
        return static_cast<T *>(view_.buf);
    }

private:
    void release() {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    Py_buffer view_{};
    bool held_ = false;
};

nb::object new_array(nb::handle np, Py_ssize_t n, const char *dtype) {
    return get(np, "empty")(n, "dtype"_a = dtype);
}

// The values of a numpy-backed numeric Series (exactly pandas' Series, of a
// numpy integer or 4- or 8-byte float dtype), read in place through the
// buffer protocol with their stride. ok() is false, with no error set, for
// anything else; callers then take the general way.
class NumericValues {
public:
    NumericValues(nb::handle np, nb::handle series) {
        nb::object pd = nb::module_::import_("pandas");
        if (Py_TYPE(series.ptr()) != reinterpret_cast<PyTypeObject *>(get(pd, "Series").ptr()))
            return;
        nb::object dtype = get(series, "dtype");
        if (!nb::isinstance(dtype, get(np, "dtype"))) return;
        const std::string kind = qrt::to_string(get(dtype, "kind"));
        if (kind != "i" && kind != "u" && kind != "f") return;
        array_ = get(series, "to_numpy")();
        if (PyObject_GetBuffer(array_.ptr(), &view_, PyBUF_RECORDS_RO) < 0) {
            PyErr_Clear();
            return;
        }
        held_ = true;
        const char *fmt = view_.format ? view_.format : "B";
        if (*fmt == '@' || *fmt == '=' || *fmt == '<') ++fmt;
        const Py_ssize_t size = view_.itemsize;
        bool known = view_.ndim == 1 && fmt[0] != 0 && fmt[1] == 0;
        if (known) {
            switch (fmt[0]) {
            case 'b': case 'h': case 'i': case 'l': case 'q':
                kind_ = 'i';
                break;
            case 'B': case 'H': case 'I': case 'L': case 'Q':
                kind_ = 'u';
                break;
            case 'f': case 'd':
                kind_ = 'f';
                break;
            default:
                known = false;
            }
        }
        known = known && (size == 1 || size == 2 || size == 4 || size == 8) &&
                (kind_ != 'f' || size == 4 || size == 8) && kind_ == kind[0];
        if (!known) {
            PyBuffer_Release(&view_);
            held_ = false;
        }
    }
    ~NumericValues() {
        if (held_) PyBuffer_Release(&view_);
    }
    NumericValues(const NumericValues &) = delete;
    NumericValues &operator=(const NumericValues &) = delete;

    bool ok() const { return held_; }
    char kind() const { return kind_; }  // 'i', 'u' or 'f'

    // f(value) for every value in order, as a double (floats), std::int64_t
    // or std::uint64_t; stops early when f returns false.
    template <class F>
    void each(F &&f) const {
        switch (kind_) {
        case 'f':
            if (view_.itemsize == 8) return scan<double, double>(f);
            return scan<float, double>(f);
        case 'i':
            switch (view_.itemsize) {
            case 1: return scan<std::int8_t, std::int64_t>(f);
            case 2: return scan<std::int16_t, std::int64_t>(f);
            case 4: return scan<std::int32_t, std::int64_t>(f);
            default: return scan<std::int64_t, std::int64_t>(f);
            }
        default:
            switch (view_.itemsize) {
            case 1: return scan<std::uint8_t, std::uint64_t>(f);
            case 2: return scan<std::uint16_t, std::uint64_t>(f);
            case 4: return scan<std::uint32_t, std::uint64_t>(f);
            default: return scan<std::uint64_t, std::uint64_t>(f);
            }
        }
    }

private:
    template <class Stored, class As, class F>
    void scan(F &f) const {
        const char *p = static_cast<const char *>(view_.buf);
        for (Py_ssize_t i = 0; i < view_.shape[0]; ++i, p += view_.strides[0]) {
            Stored v;
            std::memcpy(&v, p, sizeof v);
            if (!f(static_cast<As>(v))) return;
        }
    }

    nb::object array_;
    Py_buffer view_{};
    bool held_ = false;
    char kind_ = 0;
};

// Whether the Series has at most `limit` distinct non-missing values, i.e.
// series.nunique() <= limit, decided as soon as the answer is known. Equal
// values are those pandas counts as one: integers by value, floats by ==
// (0.0 and -0.0 are one value), NaN left out.
template <class T>
bool few_distinct(const NumericValues &values, double limit) {
    std::vector<T> seen;
    bool few = true;
    values.each([&](auto raw) {
        const T v = static_cast<T>(raw);
        if (v != v) return true;  // NaN is missing
        if (std::find(seen.begin(), seen.end(), v) != seen.end()) return true;
        seen.push_back(v);
        few = static_cast<double>(seen.size()) <= limit;
        return few;
    });
    return few;
}

// 1 or 0: whether series.nunique() <= limit. -1: not a numpy numeric Series.
int at_most_distinct(nb::handle np, nb::handle series, double limit) {
    NumericValues values(np, series);
    if (!values.ok()) return -1;
    switch (values.kind()) {
    case 'f': return few_distinct<double>(values, limit);
    case 'i': return few_distinct<std::int64_t>(values, limit);
    default: return few_distinct<std::uint64_t>(values, limit);
    }
}

// np.all(np.mod(series.dropna(), 1) == 0) for a Series with at least one
// non-missing value: integers always are whole; floats are when every
// non-NaN value is (for a finite value a zero remainder modulo 1 means just
// that). -1: not a numpy numeric Series, or infinities (left to numpy).
int whole_numbers(nb::handle np, nb::handle series) {
    NumericValues values(np, series);
    if (!values.ok()) return -1;
    if (values.kind() != 'f') return 1;
    int result = 1;
    values.each([&](auto raw) {
        const double v = static_cast<double>(raw);
        if (v != v) return true;
        if (std::isinf(v)) {
            result = -1;
            return false;
        }
        if (v != std::trunc(v)) result = 0;  // keep looking for infinities
        return true;
    });
    return result;
}

// ---------------------------------------------------------------------------
// PrivexProcessor: configuration and column typing

constexpr const char *kSettingNames[] = {"epsilon",          "delta",
                                         "noise_scale",      "categorical_noise_prob",
                                         "numerical_noise_std", "random_state"};

nb::object processor_init(Call &c) {
    nb::handle self = c[0];
    for (size_t i = 0; i < 6; ++i) nb::setattr(self, kSettingNames[i], c[i + 1]);
    if (!c[6].is_none()) get(global(c, "np"), "random", "seed")(c[6]);
    nb::setattr(self, "original_stats", nb::dict());
    nb::setattr(self, "scalers", nb::dict());
    nb::object epsilon = nb::getattr(self, "epsilon");
    nb::object delta = nb::getattr(self, "delta");
    log_info(c, qrt::check(PyUnicode_FromFormat("Initialized DP processor with epsilon=%S, delta=%S",
                                                epsilon.ptr(), delta.ptr())));
    return nb::none();
}

nb::object detect_column_types(Call &c) {
    nb::handle df = c[1];
    nb::object np = global(c, "np");
    nb::object numerical_cols =
        get(get(df, "select_dtypes")("include"_a = numeric_kinds(np)), "columns", "tolist")();
    nb::object categorical_cols =
        get(get(df, "select_dtypes")("include"_a = categorical_kinds()), "columns", "tolist")();

    double threshold = static_cast<double>(length(df)) * 0.1;
    if (10.0 < threshold) threshold = 10.0;
    nb::object limit = pyfloat(threshold);

    nb::object candidates = qrt::check(PySequence_List(numerical_cols.ptr()));
    for (nb::handle col : candidates) {
        nb::object series = item(df, col);
        // Only whether nunique() reaches the limit matters, which a numpy
        // column usually shows within its first few values.
        const int few = at_most_distinct(np, series, threshold);
        const bool move = few >= 0 ? few == 1 : compare(get(series, "nunique")(), limit, Py_LE);
        if (move) {
            get(numerical_cols, "remove")(col);
            get(categorical_cols, "append")(col);
        }
    }
    return nb::make_tuple(numerical_cols, categorical_cols);
}

nb::object get_privacy_info(Call &c) {
    nb::handle self = c[0];
    nb::dict info;
    for (const char *key : {"epsilon", "delta", "noise_scale", "categorical_noise_prob",
                            "numerical_noise_std", "original_stats"})
        set_item(info, key, nb::getattr(self, key));
    return info;
}

// ---------------------------------------------------------------------------
// Noise mechanisms

nb::object add_laplace_noise(Call &c) {
    nb::handle self = c[0], data = c[1], sensitivity = c[2];
    nb::object scale = true_divide(sensitivity, nb::getattr(self, "epsilon"));
    nb::object noise = get(global(c, "np"), "random", "laplace")(0, scale, get(data, "shape"));
    return add(data, noise);
}

nb::object add_gaussian_noise(Call &c) {
    nb::handle self = c[0], data = c[1], sensitivity = c[2];
    nb::object np = global(c, "np");
    // sqrt(2 ln(1.25 / delta)) * sensitivity / epsilon. The logarithm and the
    // root are numpy's; the product and the division are done on Python floats,
    // so a zero epsilon raises ZeroDivisionError like a zero delta does.
    nb::object ratio = true_divide(pyfloat(1.25), nb::getattr(self, "delta"));
    nb::object twice_log = multiply(nb::int_(2), get(np, "log")(ratio));
    nb::object factor = qrt::check(PyNumber_Float(get(np, "sqrt")(twice_log).ptr()));
    nb::object sigma = true_divide(multiply(factor, sensitivity), nb::getattr(self, "epsilon"));
    nb::object noise = get(np, "random", "normal")(0, sigma, get(data, "shape"));
    return add(data, noise);
}

// ---------------------------------------------------------------------------
// Numerical pass (Laplace)

// The numerical pass over `df`. `in_place`: df is a table of our own that
// nobody else sees and every label names a different column, so the noisy
// values are written into df itself instead of into a copy of it. Each column
// is read before it is written, and no column is written twice.
nb::object numerical_pass(const Call &c, nb::handle df, nb::handle numerical_cols, bool in_place) {
    nb::handle self = c[0];
    nb::object np = global(c, "np");
    nb::object df_dp = in_place ? nb::borrow(df) : get(df, "copy")();
    nb::object columns = get(df, "columns");
    nb::object tenth = pyfloat(0.1);

    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(numerical_cols.ptr()); ++i) {
        nb::object col = nb::borrow(PyList_GET_ITEM(numerical_cols.ptr(), i));
        if (!contains(columns, col)) continue;
        nb::object source = item(df, col);
        nb::object col_data = get(source, "dropna")();
        if (length(col_data) == 0) continue;

        const int known_whole = whole_numbers(np, source);
        bool is_integer = known_whole == 1;
        if (known_whole < 0) {
            try {
                nb::object remainder = get(np, "mod")(col_data, 1);
                nb::object whole =
                    qrt::check(PyObject_RichCompare(remainder.ptr(), nb::int_(0).ptr(), Py_EQ));
                is_integer = truth(get(np, "all")(whole));
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_Exception)) throw;
                is_integer = false;
            }
        }

        nb::object data_range = value_range(c, col_data);
        if (compare(data_range, nb::int_(0), Py_EQ)) data_range = pyfloat(1.0);
        nb::object sensitivity = multiply(data_range, nb::getattr(self, "noise_scale"));
        nb::object noisy =
            get(self, "_add_laplace_noise")(get(col_data, "values"), sensitivity);
        write_noisy(c, df_dp, col, source, noisy);

        nb::object margin = multiply(data_range, tenth);
        nb::object lower = subtract(get(col_data, "min")(), margin);
        nb::object upper = add(get(col_data, "max")(), margin);
        set_column(df_dp, col, get(np, "clip")(item(df_dp, col), lower, upper));
        if (is_integer) set_column(df_dp, col, get(item(df_dp, col), "round")());
    }
    return df_dp;
}

nb::object apply_numerical_dp(Call &c) { return numerical_pass(c, c[1], c[2], false); }

// ---------------------------------------------------------------------------
// Categorical pass

// The array the drawn indices select from: numpy's own array of the distinct
// values, unless numpy would turn them into text although not all of them are
// text (ints mixed with strings), or would not give a flat array of them; then
// an object array that keeps every value as it is.
nb::object distinct_pool(nb::handle np, nb::handle values) {
    const Py_ssize_t n = PyTuple_GET_SIZE(values.ptr());
    bool keep_objects = false;
    nb::object pool;
    try {
        pool = get(np, "array")(values);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError)) throw;  // values of uneven shapes
        keep_objects = true;
    }
    if (!keep_objects) {
        if (nb::cast<long>(get(pool, "ndim")) != 1) {
            keep_objects = true;
        } else {
            std::string kind = qrt::to_string(get(pool, "dtype", "kind"));
            if (kind == "U" || kind == "S") {
                for (Py_ssize_t i = 0; i < n && !keep_objects; ++i) {
                    PyObject *v = PyTuple_GET_ITEM(values.ptr(), i);
                    keep_objects = kind == "U" ? !PyUnicode_Check(v) : !PyBytes_Check(v);
                }
            }
        }
    }
    if (!keep_objects) return pool;
    pool = get(np, "empty")(n, "dtype"_a = builtin("object"));
    for (Py_ssize_t i = 0; i < n; ++i)
        qrt::check_int(PySequence_SetItem(pool.ptr(), i, PyTuple_GET_ITEM(values.ptr(), i)));
    return pool;
}

// Whether every value is a plain str that comes back unchanged from numpy's
// fixed-width unicode array: numpy drops trailing NUL characters, and a lone
// surrogate cannot be stored as text by pandas either way.
bool plain_text(nb::handle values) {
    const Py_ssize_t n = PyTuple_GET_SIZE(values.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *v = PyTuple_GET_ITEM(values.ptr(), i);
        if (!PyUnicode_CheckExact(v)) return false;
        const Py_ssize_t len = PyUnicode_GET_LENGTH(v);
        if (len == 0) continue;
        const int kind = PyUnicode_KIND(v);
        const void *data = PyUnicode_DATA(v);
        if (PyUnicode_READ(kind, data, len - 1) == 0) return false;
        if (kind == PyUnicode_1BYTE_KIND) continue;
        for (Py_ssize_t j = 0; j < len; ++j) {
            Py_UCS4 ch = PyUnicode_READ(kind, data, j);
            if (ch >= 0xD800 && ch <= 0xDFFF) return false;
        }
    }
    return true;
}

// The new column: the distinct values at the drawn positions.
//
// Plain text values are what numpy's unicode array of them would give back,
// and pandas makes the same column of them whether it gets that array or an
// object array of the str objects (object dtype or its string dtype, as its
// options say). pandas is asked once, on the distinct values, which it makes;
// when that is a text extension array, the rows are taken from it directly,
// so no row is converted to text storage one by one.
nb::object drawn_column(nb::handle np, nb::handle values, nb::handle drawn) {
    if (!plain_text(values)) return item(distinct_pool(np, values), drawn);
    const Py_ssize_t n = PyTuple_GET_SIZE(values.ptr());
    nb::object pool = get(np, "empty")(n, "dtype"_a = builtin("object"));
    for (Py_ssize_t i = 0; i < n; ++i)
        qrt::check_int(PySequence_SetItem(pool.ptr(), i, PyTuple_GET_ITEM(values.ptr(), i)));
    nb::object as_series = get(nb::module_::import_("pandas"), "Series")(pool);
    nb::object dtype = get(as_series, "dtype");
    if (nb::isinstance(dtype, get(np, "dtype"))) return item(pool, drawn);
    nb::object array = get(as_series, "array");
    return get(array, "take")(drawn);
}

// np.random.choice(n_values, size=n_rows, p=probs) for probabilities numpy
// accepts, computed here the way numpy does it: the same n_rows uniforms from
// the legacy stream (random_sample), the same cumulative distribution (the
// running sum divided by its last value) and, for every uniform, the index
// searchsorted(side="right") gives, i.e. how many cumulative values are at or
// below it. A table of the first index per 1/n_values-wide slice of [0, 1)
// finds it in a step or two instead of a binary search. Probabilities numpy
// could reject (or judges near its tolerance) go to numpy's choice.
nb::object draw_indices(nb::handle np, nb::handle random, nb::handle probs, Py_ssize_t n_values,
                        Py_ssize_t n_rows) {
    auto numpy_choice = [&] {
        return get(random, "choice")(n_values, "size"_a = n_rows, "p"_a = probs);
    };
    std::vector<double> cdf;
    {
        ArrayView p(probs, 'd', false);
        if (!p.ok() || p.size() != n_values || n_values == 0) return numpy_choice();
        const double *pv = p.data<double>();
        // numpy's acceptance: no NaN, nothing negative, and the compensated sum
        // within sqrt(machine epsilon) of 1; only sums well inside it are taken.
        bool usable = std::isfinite(pv[0]) && pv[0] >= 0;
        double sum = pv[0], carry = 0.0;
        for (Py_ssize_t i = 1; i < n_values; ++i) {
            usable = usable && std::isfinite(pv[i]) && pv[i] >= 0;
            const double y = pv[i] - carry;
            const double t = sum + y;
            carry = (t - sum) - y;
            sum = t;
        }
        const double tolerance = std::sqrt(std::numeric_limits<double>::epsilon());
        if (!usable || !(std::fabs(sum - 1.0) <= tolerance / 2)) return numpy_choice();
        cdf.resize(static_cast<size_t>(n_values));
        cdf[0] = pv[0];
        for (Py_ssize_t i = 1; i < n_values; ++i) cdf[i] = cdf[i - 1] + pv[i];
    }
    const double last = cdf.back();
    if (!(last > 0)) return numpy_choice();
    for (double &v : cdf) v /= last;

    // first[j]: the first index whose cumulative value exceeds j / n_values.
    const size_t m = cdf.size();
    std::vector<size_t> first(m);
    for (size_t j = 0, i = 0; j < m; ++j) {
        const double edge = static_cast<double>(j) / static_cast<double>(m);
        while (cdf[i] <= edge) ++i;  // cdf's last value is 1 > edge
        first[j] = i;
    }

    nb::object uniforms = get(random, "random_sample")(n_rows);
    ArrayView u(uniforms, 'd', false);
    if (!u.ok() || u.size() != n_rows)
        qrt::raise(PyExc_RuntimeError, "random_sample returned an unexpected array");
    nb::object drawn = new_array(np, n_rows, "int64");
    ArrayView out(drawn, 'q', true);
    if (!out.ok() || out.size() != n_rows)
        qrt::raise(PyExc_RuntimeError, "could not write the drawn indices");
    const double *uv = u.data<double>();
    auto *dst = out.data<std::int64_t>();
    for (Py_ssize_t r = 0; r < n_rows; ++r) {
        const double x = uv[r];
        size_t i;
        if (x >= 0 && x < 1) {
            size_t j = static_cast<size_t>(x * static_cast<double>(m));
            i = first[j < m ? j : m - 1];
            while (i > 0 && cdf[i - 1] > x) --i;
            while (cdf[i] <= x) ++i;  // stops at the last value, 1 > x
        } else {
            i = static_cast<size_t>(std::upper_bound(cdf.begin(), cdf.end(), x) - cdf.begin());
        }
        dst[r] = static_cast<std::int64_t>(i);
    }
    return drawn;
}

// The distinct values of value_counts in the order iterating its index gives
// them, as Series.items() pairs them with the counts. A numpy-backed index
// gives the same Python scalars from tolist(), and an index of pandas' string
// dtype the same str objects from to_numpy(), without boxing one value at a
// time; any other index is iterated.
nb::object distinct_values(nb::handle np, nb::handle index) {
    nb::object dtype = get(index, "dtype");
    nb::object values;
    if (nb::isinstance(dtype, get(np, "dtype"))) {
        const std::string kind = qrt::to_string(get(dtype, "kind"));
        if (kind.size() == 1 && std::string("biufcO").find(kind[0]) != std::string::npos)
            values = get(index, "tolist")();
    } else if (nb::isinstance(dtype, get(nb::module_::import_("pandas"), "StringDtype"))) {
        values = get(get(index, "to_numpy")(), "tolist")();
    }
    // A tuple of our own: read item by item natively, it cannot change size
    // (or be something other than a sequence) under a callback.
    return qrt::check(PySequence_Tuple(values.is_valid() ? values.ptr() : index.ptr()));
}

// Whether one of the first cells of an object column holds a str: a cell
// pandas never counts as missing, so count() is above zero. Saves counting
// every cell of a text column just to learn that it is not all missing.
bool starts_with_text(nb::handle np, nb::handle series) {
    nb::object dtype = get(series, "dtype");
    if (!nb::isinstance(dtype, get(np, "dtype")) || qrt::to_string(get(dtype, "kind")) != "O")
        return false;
    nb::object cells = get(series, "to_numpy")();
    const Py_ssize_t n = std::min<Py_ssize_t>(length(cells), 64);
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object cell = qrt::check(PySequence_GetItem(cells.ptr(), i));
        if (PyUnicode_Check(cell.ptr())) return true;
    }
    return false;
}

// One column's resampling.
void resample_column(const Call &c, nb::handle np, nb::handle df, nb::handle df_dp,
                     nb::handle col, Py_ssize_t n_rows) {
    nb::handle self = c[0];
    nb::object random = get(np, "random");
    nb::object zero = nb::int_(0);
    nb::object source = item(df, col);
    nb::object value_counts = get(source, "value_counts")();
    nb::object series_type = get(nb::module_::import_("pandas"), "Series");
    if (Py_TYPE(source.ptr()) == reinterpret_cast<PyTypeObject *>(series_type.ptr())) {
        // A Series' count() is the number of cells dropna() keeps.
        if (!starts_with_text(np, source) && !compare(get(source, "count")(), zero, Py_GT)) return;
    } else if (length(get(source, "dropna")()) == 0) {
        return;
    }

    // One Laplace draw per distinct value, in value_counts order, made as one
    // vector draw: it consumes the random state as that many scalar draws
    // would and gives the same numbers.
    const Py_ssize_t n_values = length(value_counts);
    nb::object noise;
    if (n_values > 0) {
        nb::object scale = true_divide(pyfloat(1.0), nb::getattr(self, "epsilon"));
        noise = get(random, "laplace")(0, scale, n_values);
    }

    // noisy_counts[value] = max(0, count + noise): a float above zero, else
    // the int 0. With int64 counts (Python ints one by one) this is done on
    // doubles, which is what int + float computes; other counts go through the
    // objects themselves.
    nb::dict noisy_counts;
    bool plain = false;
    if (n_values > 0 && qrt::to_string(get(value_counts, "dtype")) == "int64") {
        nb::object values = distinct_values(np, get(value_counts, "index"));
        nb::object counts_array = get(value_counts, "to_numpy")();
        ArrayView counts(counts_array, 'q', false);
        ArrayView drawn_noise(noise, 'd', false);
        if (PyTuple_GET_SIZE(values.ptr()) == n_values && counts.ok() &&
            counts.size() == n_values && drawn_noise.ok() && drawn_noise.size() == n_values) {
            const auto *cv = counts.data<std::int64_t>();
            const double *nv = drawn_noise.data<double>();
            for (Py_ssize_t k = 0; k < n_values; ++k) {
                const double noisy = static_cast<double>(cv[k]) + nv[k];
                nb::object held = noisy > 0 ? pyfloat(noisy) : zero;
                qrt::check_int(PyDict_SetItem(noisy_counts.ptr(), PyTuple_GET_ITEM(values.ptr(), k),
                                              held.ptr()));
            }
            plain = true;
        }
    }
    if (!plain) {
        nb::object noise_values = n_values > 0 ? get(noise, "tolist")() : nb::list();
        nb::object noise_list = qrt::check(PySequence_Tuple(noise_values.ptr()));
        Py_ssize_t k = 0;
        for (nb::handle item : get(value_counts, "items")()) {
            auto [value, count] = unpack2(item);
            if (k >= n_values) qrt::raise(PyExc_RuntimeError, "value_counts changed size");
            nb::object noisy = add(count, nb::borrow(PyTuple_GET_ITEM(noise_list.ptr(), k++)));
            set_item(noisy_counts, value, compare(noisy, zero, Py_GT) ? noisy : zero);
        }
    }

    // The keys of noisy_counts are those of the probabilities in either case
    // (value_counts' index iterated in order, equal values merged).
    // Tuples of our own: read natively below, while numpy and the values'
    // own methods run.
    nb::object key_list = qrt::check(PyDict_Keys(noisy_counts.ptr()));
    nb::object count_list = qrt::check(PyDict_Values(noisy_counts.ptr()));
    nb::object values = qrt::check(PySequence_Tuple(key_list.ptr()));
    nb::object held = qrt::check(PySequence_Tuple(count_list.ptr()));
    const Py_ssize_t n_keys = PyTuple_GET_SIZE(values.ptr());
    nb::object total_noisy = builtin("sum")(held);  // Python's float sum (compensated)
    const bool positive = compare(total_noisy, zero, Py_GT);

    // probs = np.array(weights) / np.sum(weights)
    nb::object weights;
    if (plain || !positive) {
        // The weights are Python floats: noisy / total_noisy, or
        // 1.0 / len(value_counts) each when every count fell to zero. The
        // divisions are IEEE double divisions either way.
        weights = new_array(np, n_keys, "float64");
        ArrayView w(weights, 'd', true);
        if (!w.ok() || w.size() != n_keys || PyTuple_GET_SIZE(held.ptr()) != n_keys)
            qrt::raise(PyExc_RuntimeError, "could not write the weights");
        double *wv = w.data<double>();
        if (positive) {
            const double total = PyFloat_AsDouble(total_noisy.ptr());
            if (total == -1.0 && PyErr_Occurred()) qrt::throw_error();
            for (Py_ssize_t k = 0; k < n_keys; ++k) {
                PyObject *v = PyTuple_GET_ITEM(held.ptr(), k);
                const double noisy = PyFloat_CheckExact(v) ? PyFloat_AS_DOUBLE(v) : 0.0;
                wv[k] = noisy / total;
            }
        } else {
            const double uniform = 1.0 / static_cast<double>(n_values);
            for (Py_ssize_t k = 0; k < n_keys; ++k) wv[k] = uniform;
        }
    } else {
        nb::list divided;
        for (nb::handle noisy : held) divided.append(true_divide(noisy, total_noisy));
        weights = get(np, "array")(divided);
    }
    nb::object probs = true_divide(weights, get(np, "sum")(weights));
    nb::object drawn = draw_indices(np, random, probs, n_keys, n_rows);
    set_column(df_dp, col, drawn_column(np, values, drawn));
}

// The categorical pass over `df`. `in_place`: df is a table of our own that
// nobody else sees (apply_dp's working copy) and every label names a
// different column, so the columns are replaced in df itself instead of in a
// copy of it.
nb::object categorical_pass(const Call &c, nb::handle df, nb::handle categorical_cols,
                            bool in_place) {
    nb::object np = global(c, "np");
    nb::object df_dp = in_place ? nb::borrow(df) : get(df, "copy")();
    nb::object columns = get(df, "columns");
    const Py_ssize_t n_rows = length(df);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(categorical_cols.ptr()); ++i) {
        nb::object col = nb::borrow(PyList_GET_ITEM(categorical_cols.ptr(), i));
        if (!contains(columns, col)) continue;
        resample_column(c, np, df, df_dp, col, n_rows);
    }
    return df_dp;
}

nb::object apply_categorical_dp(Call &c) { return categorical_pass(c, c[1], c[2], false); }

// ---------------------------------------------------------------------------
// Minimal pass

// The minimal pass over `df`. `in_place`: df is a table of our own that nobody
// else sees and whose column labels are unique, so the columns are written in
// df itself instead of in a copy of it. Both column selections are made
// before anything is written; a column is numeric or categorical, never both,
// and is read before it is written.
// `keep_durations`: leave timedelta columns unwritten (their draws are still
// made); apply_dp asks for it when such columns are preserved, as it refuses
// them otherwise, and puts the preserved columns back afterwards.
nb::object minimal_pass(const Call &c, nb::handle df, bool in_place, bool keep_durations = false) {
    nb::handle self = c[0];
    nb::object np = global(c, "np");
    nb::object random = get(np, "random");
    nb::object df_dp = in_place ? nb::borrow(df) : get(df, "copy")();
    nb::object columns = get(df, "columns");
    const Py_ssize_t n_rows = length(df);

    nb::object numerical =
        get(get(df, "select_dtypes")("include"_a = numeric_kinds(np)), "columns");
    nb::object categorical =
        get(get(df, "select_dtypes")("include"_a = categorical_kinds()), "columns");
    for (nb::handle col : numerical) {
        if (!contains(columns, col)) continue;
        nb::object noise =
            get(random, "normal")(0, nb::getattr(self, "numerical_noise_std"), n_rows);
        nb::object source = item(df, col);
        if (keep_durations && is_duration(get(source, "dtype"))) continue;
        set_column(df_dp, col, add(source, noise));
    }

    for (nb::handle col : categorical) {
        if (!contains(columns, col)) continue;
        nb::object mask = qrt::check(PyObject_RichCompare(
            get(random, "random")(n_rows).ptr(),
            nb::getattr(self, "categorical_noise_prob").ptr(), Py_LT));
        if (!truth(get(mask, "any")())) continue;
        nb::object unique_values = get(get(item(df, col), "dropna")(), "unique")();
        if (length(unique_values) < 2) continue;
        nb::object random_values =
            get(random, "choice")(unique_values, "size"_a = get(mask, "sum")());
        set_item(get(df_dp, "loc"), nb::make_tuple(mask, col), random_values);
    }
    return df_dp;
}

nb::object apply_minimal_noise(Call &c) { return minimal_pass(c, c[1], false); }

// ---------------------------------------------------------------------------
// Dispatch

// The Gaussian method's numerical loop, on df_dp itself.
void gaussian_numerical(const Call &c, nb::handle df_dp, nb::handle numerical_cols) {
    nb::handle self = c[0];
    for (nb::handle col : numerical_cols) {
        if (!contains(get(df_dp, "columns"), col)) continue;
        nb::object source = item(df_dp, col);
        nb::object col_data = get(source, "dropna")();
        if (length(col_data) == 0) continue;
        nb::object data_range = value_range(c, col_data);
        if (compare(data_range, nb::int_(0), Py_EQ)) data_range = pyfloat(1.0);
        nb::object sensitivity = multiply(data_range, nb::getattr(self, "noise_scale"));
        nb::object noisy =
            get(self, "_add_gaussian_noise")(get(col_data, "values"), sensitivity);
        write_noisy(c, df_dp, col, source, noisy);
    }
}

// Whether `bound` (self.<method> as the instance resolves it) is the
// processor's own method `own` bound to self, i.e. not replaced on a subclass
// or on the instance.
bool is_own(nb::handle bound, nb::handle self, nb::handle own) {
    return PyMethod_Check(bound.ptr()) && PyMethod_GET_FUNCTION(bound.ptr()) == own.ptr() &&
           PyMethod_GET_SELF(bound.ptr()) == self.ptr();
}

// Whether a pass of our own may work on df_dp itself: `owned` says df_dp is
// apply_dp's own copy, unseen by anyone else, and the column lists come from
// our own column typing, so they hold the table's own labels, each once if
// the table's labels are unique. The list must be a list: anything else is
// refused by the method's argument check, which the call through the method
// raises.
bool in_place_ok(nb::handle df_dp, nb::handle cols, bool owned) {
    return owned && PyList_CheckExact(cols.ptr()) && truth(get(df_dp, "columns", "is_unique"));
}

// df_dp = self._apply_categorical_dp(df_dp, categorical_cols), in place when
// the pass is ours and in_place_ok allows it.
void run_categorical(const Call &c, nb::object &df_dp, nb::handle categorical_cols, bool owned,
                     nb::handle own_categorical) {
    nb::handle self = c[0];
    nb::object categorical = nb::getattr(self, "_apply_categorical_dp");
    if (is_own(categorical, self, own_categorical) && in_place_ok(df_dp, categorical_cols, owned))
        df_dp = categorical_pass(c, df_dp, categorical_cols, true);
    else
        df_dp = categorical(df_dp, categorical_cols);
}

// [label for label in labels if label not in preserve_columns]
nb::list without(nb::handle labels, nb::handle preserve_columns) {
    nb::list kept;
    for (nb::handle label : labels)
        if (!contains(preserve_columns, label)) kept.append(label);
    return kept;
}

// Every column of the table needs a label of its own: a repeated label names
// several columns at once, and which of them a pass would read or write is
// anybody's guess. Refused before anything is drawn or changed.
void refuse_repeated_labels(nb::handle df) {
    nb::object columns = get(df, "columns");
    if (truth(get(columns, "is_unique"))) return;
    nb::object repeated = item(columns, get(columns, "duplicated")());
    nb::object label = item(repeated, 0);
    qrt::raise(PyExc_ValueError,
               "Column label %R appears more than once in the table; apply_dp needs a "
               "distinct label for every column",
               label.ptr());
}

// Durations (timedelta64) are numeric to pandas' dtype selection, but noise
// in numbers cannot be added to them. Refused, naming the column, before
// anything is drawn or changed. `preserved`: the labels left alone, or null.
void refuse_durations(nb::handle df, nb::handle labels, nb::handle preserved) {
    nb::object columns = get(df, "columns");
    nb::object dtypes = get(df, "dtypes");
    for (nb::handle label : qrt::each(labels)) {
        if (!contains(columns, label)) continue;
        if (preserved.is_valid() && contains(preserved, label)) continue;
        nb::object dtype = item(dtypes, label);
        if (is_duration(dtype))
            qrt::raise(PyExc_TypeError,
                       "Column %R has dtype %S: apply_dp cannot add numeric noise to durations "
                       "(convert the column to numbers, or name it in preserve_columns)",
                       label.ptr(), dtype.ptr());
    }
}

// apply_dp runs the passes through the instance, so that a subclass may
// replace them; each pass of our own copies the table it is given. apply_dp
// already works on its own copy of the input, so when a pass is ours and its
// columns are the table's own unique labels (from our column typing), the
// pass writes into that copy instead of copying it again: one copy of the
// table per call instead of one per pass. A pass that is not ours always
// gets a table it may keep or change, and the pass after it then copies.
nb::object apply_dp(Call &c) {
    nb::handle self = c[0], df = c[1], method = c[2], preserve_columns = c[3];
    nb::handle own_typing_fn = c.capture(1), own_numerical = c.capture(2),
               own_categorical = c.capture(3), own_minimal = c.capture(4);
    if (truth(get(df, "empty"))) {
        get(global(c, "logger"), "warning")("Input DataFrame is empty");
        return nb::borrow(df);
    }
    refuse_repeated_labels(df);
    nb::object shape = get(df, "shape");
    log_info(c, qrt::check(PyUnicode_FromFormat(
                    "Applying %U differential privacy to DataFrame of shape %S", method.ptr(),
                    shape.ptr())));

    nb::dict stats;
    set_item(stats, "shape", shape);
    set_item(stats, "columns", get(df, "columns", "tolist")());
    set_item(stats, "dtypes", get(df, "dtypes", "to_dict")());
    nb::setattr(self, "original_stats", stats);

    nb::object typing = nb::getattr(self, "_detect_column_types");
    const bool own_typing = is_own(typing, self, own_typing_fn);
    auto [numerical_cols, categorical_cols] = unpack2(typing(df));
    const bool preserving = !preserve_columns.is_none() && truth(preserve_columns);
    if (preserving) {
        numerical_cols = without(numerical_cols, preserve_columns);
        categorical_cols = without(categorical_cols, preserve_columns);
    }

    const bool minimal_method = PyUnicode_EqualToUTF8(method.ptr(), "minimal");
    if (minimal_method || PyUnicode_EqualToUTF8(method.ptr(), "laplace") ||
        PyUnicode_EqualToUTF8(method.ptr(), "gaussian")) {
        // The columns that get numeric noise: the minimal pass picks them by
        // dtype, the other methods take the column typing's.
        nb::object noised =
            minimal_method
                ? get(get(df, "select_dtypes")("include"_a = numeric_kinds(global(c, "np"))),
                      "columns")
                : numerical_cols;
        refuse_durations(df, noised, preserving ? preserve_columns : nb::handle());
    }

    nb::object df_dp = get(df, "copy")();
    if (PyUnicode_EqualToUTF8(method.ptr(), "minimal")) {
        nb::object minimal = nb::getattr(self, "_apply_minimal_noise");
        if (is_own(minimal, self, own_minimal))
            df_dp = minimal_pass(c, df_dp, truth(get(df_dp, "columns", "is_unique")), preserving);
        else
            df_dp = minimal(df_dp);
        // The pass draws for every column in its usual order; the preserved
        // columns are then put back as they came, so the draws of the other
        // columns do not depend on which columns are preserved.
        if (preserving)
            for (nb::handle label : get(df, "columns"))
                if (contains(preserve_columns, label)) set_column(df_dp, label, item(df, label));
    } else if (PyUnicode_EqualToUTF8(method.ptr(), "laplace")) {
        nb::object numerical = nb::getattr(self, "_apply_numerical_dp");
        // After a numerical pass that is not ours, df_dp is whatever it
        // returned, which it may keep: the categorical pass then copies it.
        const bool in_place = is_own(numerical, self, own_numerical) &&
                              in_place_ok(df_dp, numerical_cols, own_typing);
        df_dp = in_place ? numerical_pass(c, df_dp, numerical_cols, true)
                         : numerical(df_dp, numerical_cols);
        run_categorical(c, df_dp, categorical_cols, in_place, own_categorical);
    } else if (PyUnicode_EqualToUTF8(method.ptr(), "gaussian")) {
        gaussian_numerical(c, df_dp, numerical_cols);
        run_categorical(c, df_dp, categorical_cols, own_typing, own_categorical);
    } else {
        qrt::raise(PyExc_ValueError,
                   "Unknown method: %U. Use 'minimal', 'laplace', or 'gaussian'", method.ptr());
    }

    nb::object out_shape = get(df_dp, "shape");
    log_info(c, qrt::check(PyUnicode_FromFormat("Applied DP with method '%U'. Output shape: %S",
                                                method.ptr(), out_shape.ptr())));
    return df_dp;
}

nb::object apply_privex(Call &c) {
    nb::object processor = global(c, "PrivexProcessor")("epsilon"_a = c[1], "random_state"_a = c[4]);
    return get(processor, "apply_dp")(c[0], "method"_a = c[2], "preserve_columns"_a = c[3]);
}

// ---------------------------------------------------------------------------
// Demonstration

void run_demonstration(nb::handle globals) {
    nb::object print_fn = builtin("print");
    nb::object pd = nb::module_::import_("pandas");
    nb::object np = nb::module_::import_("numpy");
    set_item(globals, "pd", pd);
    set_item(globals, "np", np);
    nb::object random = get(np, "random");
    get(random, "seed")(42);
    nb::object n_samples = nb::int_(1000);
    set_item(globals, "n_samples", n_samples);

    nb::dict data;
    set_item(data, "feature_1", get(random, "normal")(0, 1, n_samples));
    set_item(data, "feature_2", get(random, "normal")(0, 1, n_samples));
    nb::list zero_one;
    zero_one.append(0);
    zero_one.append(1);
    set_item(data, "feature_3", get(random, "choice")(zero_one, n_samples));
    nb::list abc;
    for (const char *s : {"A", "B", "C"}) abc.append(s);
    set_item(data, "category_1", get(random, "choice")(abc, n_samples));
    nb::list xy;
    for (const char *s : {"X", "Y"}) xy.append(s);
    set_item(data, "category_2", get(random, "choice")(xy, n_samples));
    set_item(data, "target", get(random, "choice")(zero_one, n_samples));
    nb::object df_sample = get(pd, "DataFrame")(data);
    set_item(globals, "df_sample", df_sample);

    print_fn("Original DataFrame:");
    print_fn(get(df_sample, "head")());
    print_fn("Shape:", get(df_sample, "shape"));

    nb::list preserve;
    preserve.append("target");
    nb::object df_dp = global(globals, "apply_privex")(
        df_sample, "epsilon"_a = 1.0, "method"_a = "minimal", "preserve_columns"_a = preserve);
    set_item(globals, "df_dp", df_dp);
    print_fn("\nAfter applying differential privacy:");
    print_fn(get(df_dp, "head")());
    print_fn("Shape:", get(df_dp, "shape"));

    nb::object processor = global(globals, "PrivexProcessor")("epsilon"_a = 1.0);
    set_item(globals, "processor", processor);
    get(processor, "apply_dp")(df_sample, "method"_a = "minimal");
    nb::object privacy_info = get(processor, "get_privacy_info")();
    set_item(globals, "privacy_info", privacy_info);

    print_fn("\nPrivacy Information:");
    for (nb::handle item : get(privacy_info, "items")()) {
        auto [key, value] = unpack2(item);
        set_item(globals, "key", key);
        set_item(globals, "value", value);
        if (compare(key, nb::str("original_stats"), Py_NE))
            print_fn(qrt::check(PyUnicode_FromFormat("  %S: %S", key.ptr(), value.ptr())));
    }
}

nb::object demo(Call &c) {
    run_demonstration(c.capture(0));
    return nb::none();
}

// ---------------------------------------------------------------------------
// Signatures

const Signature kInit{
    "__init__",
    "PrivexProcessor.__init__",
    "\n"
    "        Initialize the differential privacy processor.\n"
    "\n"
    "        Args:\n"
    "            epsilon: Privacy budget (lower = more private, default: 1.0)\n"
    "            delta: Privacy parameter (default: 1e-5)\n"
    "            noise_scale: Scale factor for noise addition (default: 0.1)\n"
    "            categorical_noise_prob: Probability of flipping categorical values (default: 0.05)\n"
    "            numerical_noise_std: Standard deviation for numerical noise (default: 0.01)\n"
    "            random_state: Random seed for reproducibility\n"
    "        ",
    {{"self"},
     {"epsilon", Type::Float, "float"},
     {"delta", Type::Float, "float"},
     {"noise_scale", Type::Float, "float"},
     {"categorical_noise_prob", Type::Float, "float"},
     {"numerical_noise_std", Type::Float, "float"},
     {"random_state", Type::Int, "Optional[int]", true}},
    processor_init};

const Signature kDetect{"_detect_column_types",
                        "PrivexProcessor._detect_column_types",
                        "Detect numerical and categorical columns.",
                        {{"self"}, {"df", Type::Any, "pd.DataFrame"}},
                        detect_column_types,
                        "Tuple[List[str], List[str]]"};

const Signature kPrivacyInfo{"get_privacy_info",
                             "PrivexProcessor.get_privacy_info",
                             "Get information about the applied privacy parameters.",
                             {{"self"}},
                             get_privacy_info,
                             "Dict"};

const Signature kLaplace{"_add_laplace_noise",
                         "PrivexProcessor._add_laplace_noise",
                         "Add Laplace noise for differential privacy.",
                         {{"self"}, {"data", Type::Any, "np.ndarray"}, {"sensitivity", Type::Float, "float"}},
                         add_laplace_noise,
                         "np.ndarray"};

const Signature kGaussian{"_add_gaussian_noise",
                          "PrivexProcessor._add_gaussian_noise",
                          "Add Gaussian noise for differential privacy.",
                          {{"self"}, {"data", Type::Any, "np.ndarray"}, {"sensitivity", Type::Float, "float"}},
                          add_gaussian_noise,
                          "np.ndarray"};

const Signature kNumerical{"_apply_numerical_dp",
                           "PrivexProcessor._apply_numerical_dp",
                           "Apply Laplace noise to the numerical columns, scaled by each column's range.",
                           {{"self"},
                            {"df", Type::Any, "pd.DataFrame"},
                            {"numerical_cols", Type::List, "List[str]"}},
                           apply_numerical_dp,
                           "pd.DataFrame"};

const Signature kCategorical{"_apply_categorical_dp",
                             "PrivexProcessor._apply_categorical_dp",
                             "Resample the categorical columns from noisy value frequencies.",
                             {{"self"},
                              {"df", Type::Any, "pd.DataFrame"},
                              {"categorical_cols", Type::List, "List[str]"}},
                             apply_categorical_dp,
                             "pd.DataFrame"};

const Signature kMinimal{"_apply_minimal_noise",
                         "PrivexProcessor._apply_minimal_noise",
                         "Apply minimal noise addition for very conservative privacy.",
                         {{"self"}, {"df", Type::Any, "pd.DataFrame"}},
                         apply_minimal_noise,
                         "pd.DataFrame"};

const Signature kApplyDp{
    "apply_dp",
    "PrivexProcessor.apply_dp",
    "\n"
    "        Apply differential privacy to the DataFrame.\n"
    "\n"
    "        Args:\n"
    "            df: Input DataFrame (should be preprocessed)\n"
    "            method: DP method (\"minimal\", \"laplace\", \"gaussian\")\n"
    "            preserve_columns: Columns to preserve without modification\n"
    "\n"
    "        Returns:\n"
    "            DataFrame with differential privacy applied\n"
    "        ",
    {{"self"},
     {"df", Type::Any, "pd.DataFrame"},
     {"method", Type::Str, "str"},
     {"preserve_columns", Type::List, "Optional[List[str]]", true}},
    apply_dp,
    "pd.DataFrame"};

const Signature kApplyPrivex{
    "apply_privex",
    "apply_privex",
    "\n"
    "    Quick function to apply differential privacy to a DataFrame.\n"
    "\n"
    "    Args:\n"
    "        df: Input DataFrame (should be preprocessed)\n"
    "        epsilon: Privacy budget (default: 1.0)\n"
    "        method: DP method (\"minimal\", \"laplace\", \"gaussian\")\n"
    "        preserve_columns: Columns to preserve without modification\n"
    "        random_state: Random seed for reproducibility\n"
    "\n"
    "    Returns:\n"
    "        DataFrame with differential privacy applied\n"
    "    ",
    {{"df", Type::Any, "pd.DataFrame"},
     {"epsilon", Type::Float, "float"},
     {"method", Type::Str, "str"},
     {"preserve_columns", Type::List, "Optional[List[str]]", true},
     {"random_state", Type::Int, "Optional[int]", true}},
    apply_privex,
    "pd.DataFrame"};

const Signature kDemo{"_demo",
                      "_demo",
                      "Run the demonstration: perturb a small random table with the minimal\n"
                      "    method and print it before and after, then the privacy settings.\n"
                      "    This is what the module does when it runs as the main program.\n"
                      "    ",
                      {},
                      demo,
                      "None"};

// ---------------------------------------------------------------------------
// Module body

void exec_module(nb::module_ m) {
    nb::object globals = get(m, "__dict__");
    const std::string name = qrt::to_string(get(m, "__name__"));
    const char *module = name.c_str();

    set_attr(m, "pd", nb::module_::import_("pandas"));
    set_attr(m, "np", nb::module_::import_("numpy"));
    nb::object typing = nb::module_::import_("typing");
    for (const char *n : {"Dict", "List", "Optional", "Union", "Tuple"})
        set_attr(m, n, get(typing, n));
    nb::object warnings = nb::module_::import_("warnings");
    set_attr(m, "warnings", warnings);
    nb::object preprocessing = nb::module_::import_("sklearn.preprocessing");
    set_attr(m, "StandardScaler", get(preprocessing, "StandardScaler"));
    set_attr(m, "MinMaxScaler", get(preprocessing, "MinMaxScaler"));
    nb::object stats = nb::module_::import_("scipy.stats");
    set_attr(m, "laplace", get(stats, "laplace"));
    set_attr(m, "gaussian_kde", get(stats, "gaussian_kde"));
    nb::object logging = nb::module_::import_("logging");
    set_attr(m, "logging", logging);

    get(warnings, "filterwarnings")("ignore");
    get(logging, "basicConfig")("level"_a = get(logging, "INFO"));
    set_attr(m, "logger", get(logging, "getLogger")(get(m, "__name__")));

    nb::tuple captures = nb::make_tuple(globals);
    auto method = [&](const Signature &sig, nb::tuple defaults = nb::tuple()) {
        return qrt::make_function(sig, module, std::move(defaults), captures);
    };
    nb::dict ns;
    set_item(ns, "__init__", method(kInit, nb::make_tuple(1.0, 1e-5, 0.1, 0.05, 0.01, nb::none())));
    nb::object column_typing = method(kDetect);
    set_item(ns, "_detect_column_types", column_typing);
    set_item(ns, "get_privacy_info", method(kPrivacyInfo));
    set_item(ns, "_add_laplace_noise", method(kLaplace));
    set_item(ns, "_add_gaussian_noise", method(kGaussian));
    nb::object numerical = method(kNumerical), categorical = method(kCategorical),
               minimal = method(kMinimal);
    set_item(ns, "_apply_numerical_dp", numerical);
    set_item(ns, "_apply_categorical_dp", categorical);
    set_item(ns, "_apply_minimal_noise", minimal);
    // apply_dp knows the passes it was built with (see apply_dp).
    set_item(ns, "apply_dp",
             qrt::make_function(
                 kApplyDp, module, nb::make_tuple("minimal", nb::none()),
                 nb::make_tuple(globals, column_typing, numerical, categorical, minimal)));
    set_attr(m, "PrivexProcessor",
             qrt::make_class("PrivexProcessor", module, "PrivexProcessor", kProcessorDoc, ns));

    set_attr(m, "apply_privex",
             method(kApplyPrivex, nb::make_tuple(1.0, "minimal", nb::none(), nb::none())));
    set_attr(m, "_demo", method(kDemo));

    if (name == "__main__") run_demonstration(globals);
}

}  // namespace

QRT_MODULE(privex, kModuleDoc, exec_module)

// Loading this file as the program's main module (importlib with the name
// "__main__") looks for this entry point; the module body then runs the
// demonstration, as a Python script run as the main program would.
extern "C" NB_EXPORT PyObject *PyInit___main__() { return PyInit_privex(); }
