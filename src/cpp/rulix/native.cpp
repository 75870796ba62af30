// See native.h.
#include "rulix/native.h"

#include "runtime/runtime.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <unordered_set>
#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <type_traits>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <system_error>
#include <thread>

namespace rulix {

using namespace nb::literals;

// Row-sized byte buffers reused across the rules of one validate call, so
// evaluation does not page in fresh memory for every intermediate result.
class BufferPool {
public:
    std::vector<std::uint8_t> take(std::size_t n) {
        if (spare_.empty()) return std::vector<std::uint8_t>(n);
        std::vector<std::uint8_t> v = std::move(spare_.back());
        spare_.pop_back();
        v.resize(n);
        return v;
    }
    void give(std::vector<std::uint8_t> &&v) {
        if (v.capacity() > 0 && spare_.size() < 16) spare_.push_back(std::move(v));
    }

private:
    std::vector<std::vector<std::uint8_t>> spare_;
};

std::u32string to_u32(nb::handle s) {
    Py_ssize_t n = PyUnicode_GetLength(s.ptr());
    if (n < 0) qrt::throw_error();
    std::u32string out(static_cast<size_t>(n), U'\0');
    if (n > 0 && !PyUnicode_AsUCS4(s.ptr(), reinterpret_cast<Py_UCS4 *>(out.data()), n, 0))
        qrt::throw_error();
    return out;
}

namespace {

nb::handle type_of(nb::handle o) { return nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(o.ptr()))); }

nb::object from_u32(const std::u32string &s) {
    return qrt::check(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, s.data(), static_cast<Py_ssize_t>(s.size())));
}

// A buffer of a Python object, released when it goes out of scope.
class Buffer {
public:
    Buffer() = default;
    ~Buffer() {
        if (view_.obj) PyBuffer_Release(&view_);
    }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;

    // False (and no error set) when the object does not export such a buffer.
    bool acquire(nb::handle o, int flags) {
        if (view_.obj) PyBuffer_Release(&view_);
        if (PyObject_GetBuffer(o.ptr(), &view_, flags) < 0) {
            PyErr_Clear();
            view_ = Py_buffer{};
            return false;
        }
        return true;
    }
    const Py_buffer &view() const { return view_; }

private:
    Py_buffer view_{};
};

// ---------------------------------------------------------------------------
// Numeric buffers

// A one-dimensional numeric buffer: numpy's type character ('?', b h i l q,
// B H I L Q, f d) with its item size.
struct NumView {
    const char *data = nullptr;
    std::ptrdiff_t stride = 0;
    char kind = 0;  // 'b' bool, 'i' signed, 'u' unsigned, 'f' float
    std::size_t itemsize = 0;
};

bool num_view_of(const Buffer &b, std::size_t rows, NumView &out) {
    const Py_buffer &v = b.view();
    if (v.ndim != 1 || static_cast<std::size_t>(v.shape[0]) != rows) return false;
    const char *fmt = v.format ? v.format : "B";
    if (*fmt == '@' || *fmt == '=' || *fmt == '<') ++fmt;
    if (fmt[0] == 0 || fmt[1] != 0) return false;
    std::size_t size = static_cast<std::size_t>(v.itemsize);
    char kind;
    switch (fmt[0]) {
        case '?': kind = 'b'; break;
        case 'b': case 'h': case 'i': case 'l': case 'q': kind = 'i'; break;
        case 'B': case 'H': case 'I': case 'L': case 'Q': kind = 'u'; break;
        case 'f': case 'd': kind = 'f'; break;
        default: return false;
    }
    if (kind == 'b' && size != 1) return false;
    if ((kind == 'i' || kind == 'u') && size != 1 && size != 2 && size != 4 && size != 8) return false;
    if (kind == 'f' && size != 4 && size != 8) return false;
    out = NumView{static_cast<const char *>(v.buf), v.strides[0], kind, size};
    return true;
}

template <class T>
struct Strided {
    const char *p;
    std::ptrdiff_t stride;
    T operator[](size_t i) const {
        T v;
        std::memcpy(&v, p + static_cast<std::ptrdiff_t>(i) * stride, sizeof(T));
        return v;
    }
};

template <class T>
struct Contiguous {
    const char *p;
    T operator[](size_t i) const {
        T v;
        std::memcpy(&v, p + i * sizeof(T), sizeof(T));
        return v;
    }
};

template <class T>
struct Constant {
    T v;
    T operator[](size_t) const { return v; }
};

// Calls f with an indexable view of the buffer's C type.
template <class F>
void with_num(const NumView &c, F &&f) {
    bool contiguous = c.stride == static_cast<std::ptrdiff_t>(c.itemsize);
    auto go = [&](auto tag) {
        using T = decltype(tag);
        if (contiguous) f(Contiguous<T>{c.data});
        else f(Strided<T>{c.data, c.stride});
    };
    switch (c.kind) {
        case 'b': go(std::uint8_t()); break;
        case 'f':
            if (c.itemsize == 4) go(float());
            else go(double());
            break;
        case 'i':
            switch (c.itemsize) {
                case 1: go(std::int8_t()); break;
                case 2: go(std::int16_t()); break;
                case 4: go(std::int32_t()); break;
                default: go(std::int64_t()); break;
            }
            break;
        default:
            switch (c.itemsize) {
                case 1: go(std::uint8_t()); break;
                case 2: go(std::uint16_t()); break;
                case 4: go(std::uint32_t()); break;
                default: go(std::uint64_t()); break;
            }
            break;
    }
}

enum class Cmp : std::uint8_t { Gt, Ge, Lt, Le, Eq, Ne };

Cmp flip(Cmp op) {
    switch (op) {
        case Cmp::Gt: return Cmp::Lt;
        case Cmp::Ge: return Cmp::Le;
        case Cmp::Lt: return Cmp::Gt;
        case Cmp::Le: return Cmp::Ge;
        default: return op;
    }
}

template <class D, class A, class B, class Op>
void loop(const A &a, const B &b, size_t n, std::uint8_t *out, Op op) {
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>(op(static_cast<D>(a[i]), static_cast<D>(b[i])));
}

template <class D, class A, class B>
void compare(const A &a, const B &b, Cmp op, size_t n, std::uint8_t *out) {
    switch (op) {
        case Cmp::Gt: loop<D>(a, b, n, out, std::greater<D>()); break;
        case Cmp::Ge: loop<D>(a, b, n, out, std::greater_equal<D>()); break;
        case Cmp::Lt: loop<D>(a, b, n, out, std::less<D>()); break;
        case Cmp::Le: loop<D>(a, b, n, out, std::less_equal<D>()); break;
        case Cmp::Eq: loop<D>(a, b, n, out, std::equal_to<D>()); break;
        case Cmp::Ne: loop<D>(a, b, n, out, std::not_equal_to<D>()); break;
    }
}


// Comparisons of float64 buffers, eight rows at a time with SSE2 (part of every
// x86-64 CPU): four two-lane compares, their sign masks joined into one byte,
// spread to eight 0/1 bytes through a table. The predicates are IEEE's, as
// numpy's: ordered for > >= < <= == (false with NaN), unordered for != (true).
#if defined(__SSE2__)
struct SpreadTable {
    std::uint64_t bytes[256];
    SpreadTable() {
        for (unsigned m = 0; m < 256; ++m) {
            std::uint64_t v = 0;
            for (unsigned k = 0; k < 8; ++k)
                if (m & (1u << k)) v |= std::uint64_t(1) << (8 * k);
            bytes[m] = v;
        }
    }
};
const SpreadTable kSpread;

template <int Op, bool ConstantRight>
void compare_f64_sse2(const double *a, const double *b, double c, size_t n, std::uint8_t *out) {
    auto cmp = [](__m128d x, __m128d y) {
        if constexpr (Op == 0) return _mm_cmpgt_pd(x, y);
        else if constexpr (Op == 1) return _mm_cmpge_pd(x, y);
        else if constexpr (Op == 2) return _mm_cmplt_pd(x, y);
        else if constexpr (Op == 3) return _mm_cmple_pd(x, y);
        else if constexpr (Op == 4) return _mm_cmpeq_pd(x, y);
        else return _mm_cmpneq_pd(x, y);
    };
    const __m128d cv = _mm_set1_pd(c);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        unsigned bits = 0;
        for (unsigned k = 0; k < 4; ++k) {
            __m128d x = _mm_loadu_pd(a + i + 2 * k);
            __m128d y = ConstantRight ? cv : _mm_loadu_pd(b + i + 2 * k);
            bits |= static_cast<unsigned>(_mm_movemask_pd(cmp(x, y))) << (2 * k);
        }
        std::memcpy(out + i, &kSpread.bytes[bits], 8);
    }
    for (; i < n; ++i) {
        double x = a[i], y = ConstantRight ? c : b[i];
        bool r;
        if constexpr (Op == 0) r = x > y;
        else if constexpr (Op == 1) r = x >= y;
        else if constexpr (Op == 2) r = x < y;
        else if constexpr (Op == 3) r = x <= y;
        else if constexpr (Op == 4) r = x == y;
        else r = x != y;
        out[i] = r;
    }
}

template <bool ConstantRight>
void compare_f64(const double *a, const double *b, double c, Cmp op, size_t n, std::uint8_t *out) {
    switch (op) {
        case Cmp::Gt: compare_f64_sse2<0, ConstantRight>(a, b, c, n, out); break;
        case Cmp::Ge: compare_f64_sse2<1, ConstantRight>(a, b, c, n, out); break;
        case Cmp::Lt: compare_f64_sse2<2, ConstantRight>(a, b, c, n, out); break;
        case Cmp::Le: compare_f64_sse2<3, ConstantRight>(a, b, c, n, out); break;
        case Cmp::Eq: compare_f64_sse2<4, ConstantRight>(a, b, c, n, out); break;
        case Cmp::Ne: compare_f64_sse2<5, ConstantRight>(a, b, c, n, out); break;
    }
}

// The float64 cases of compare<double>: contiguous buffers against a constant
// or each other.
template <class D, std::enable_if_t<std::is_same_v<D, double>, int> = 0>
void compare(const Contiguous<double> &a, const Constant<double> &b, Cmp op, size_t n, std::uint8_t *out) {
    compare_f64<true>(reinterpret_cast<const double *>(a.p), nullptr, b.v, op, n, out);
}
template <class D, std::enable_if_t<std::is_same_v<D, double>, int> = 0>
void compare(const Contiguous<double> &a, const Contiguous<double> &b, Cmp op, size_t n, std::uint8_t *out) {
    compare_f64<false>(reinterpret_cast<const double *>(a.p), reinterpret_cast<const double *>(b.p), 0.0, op, n,
                       out);
}
#endif

template <class T>
bool compare_values(T a, T b, Cmp op) {
    switch (op) {
        case Cmp::Gt: return a > b;
        case Cmp::Ge: return a >= b;
        case Cmp::Lt: return a < b;
        case Cmp::Le: return a <= b;
        case Cmp::Eq: return a == b;
        default: return a != b;
    }
}

// How numpy compares two numeric types: in double precision when a float is
// involved (float32 with an integer of up to 16 bits compares in float32, which
// is exact for those integers, so double gives the same answer), otherwise
// exactly as integers. Signed against uint64 is left to numpy.
enum class Domain : std::uint8_t { Double, Int64, UInt64, Numpy };

Domain domain(const NumView &a, const NumView &b) {
    if (a.kind == 'f' || b.kind == 'f') return Domain::Double;
    bool a64u = a.kind == 'u' && a.itemsize == 8, b64u = b.kind == 'u' && b.itemsize == 8;
    if (!a64u && !b64u) return Domain::Int64;
    if (a.kind == 'i' || b.kind == 'i') return Domain::Numpy;
    return Domain::UInt64;
}

void compare_columns(const NumView &a, const NumView &b, Domain d, Cmp op, size_t n, std::uint8_t *out) {
    with_num(a, [&](const auto &va) {
        with_num(b, [&](const auto &vb) {
            if (d == Domain::Double) compare<double>(va, vb, op, n, out);
            else if (d == Domain::Int64) compare<std::int64_t>(va, vb, op, n, out);
            else compare<std::uint64_t>(va, vb, op, n, out);
        });
    });
}

// ---------------------------------------------------------------------------
// Boolean results with pandas' NA

BufferPool &pool_of(Frame &f);

struct Mask {
    Mask() = default;
    // A mask of n rows whose values the caller writes in full.
    Mask(BufferPool &pool, std::size_t n) : v(pool.take(n)), pool_(&pool) {}
    ~Mask() {
        if (pool_) {
            pool_->give(std::move(v));
            pool_->give(std::move(na));
        }
    }
    Mask(Mask &&o) noexcept : v(std::move(o.v)), na(std::move(o.na)), rep(o.rep), pool_(o.pool_) {}
    Mask &operator=(Mask &&o) noexcept {
        if (this != &o) {
            if (pool_) {
                pool_->give(std::move(v));
                pool_->give(std::move(na));
            }
            v = std::move(o.v);
            na = std::move(o.na);
            rep = o.rep;
            pool_ = o.pool_;
        }
        return *this;
    }
    Mask(const Mask &) = delete;
    Mask &operator=(const Mask &) = delete;

    std::vector<std::uint8_t> v;   // 1 = true (0 where na)
    std::vector<std::uint8_t> na;  // empty, or 1 = NA
    // What pandas holds the result in: a numpy bool array, a nullable boolean
    // array, or a pyarrow-backed bool array (string[pyarrow] comparisons).
    enum Rep : std::uint8_t { Numpy, Masked, Arrow } rep = Numpy;
    bool has_na() const { return !na.empty(); }

private:
    BufferPool *pool_ = nullptr;
};

// pandas' nullable boolean cannot take a pyarrow bool holding NA as its right
// operand (it raises); the rule is then left to pandas.
bool logic_supported(const Mask &a, const Mask &b) {
    return !(a.rep == Mask::Masked && b.rep == Mask::Arrow && b.has_na());
}

void drop_empty_na(Mask &m) {
    for (std::uint8_t x : m.na)
        if (x) return;
    m.na.clear();
}

// Kleene logic, as pandas' nullable booleans do it.
void mask_and(Mask &a, const Mask &b) {
    size_t n = a.v.size();
    if (!a.has_na() && !b.has_na()) {
        for (size_t i = 0; i < n; ++i) a.v[i] &= b.v[i];
        return;
    }
    if (!a.has_na()) a.na.assign(n, 0);
    for (size_t i = 0; i < n; ++i) {
        std::uint8_t bna = b.has_na() ? b.na[i] : 0;
        bool a_false = !a.v[i] && !a.na[i], b_false = !b.v[i] && !bna;
        a.na[i] = static_cast<std::uint8_t>((a.na[i] | bna) && !a_false && !b_false);
        a.v[i] &= b.v[i];
    }
    drop_empty_na(a);
}

void mask_or(Mask &a, const Mask &b) {
    size_t n = a.v.size();
    if (!a.has_na() && !b.has_na()) {
        for (size_t i = 0; i < n; ++i) a.v[i] |= b.v[i];
        return;
    }
    if (!a.has_na()) a.na.assign(n, 0);
    for (size_t i = 0; i < n; ++i) {
        std::uint8_t bna = b.has_na() ? b.na[i] : 0;
        a.v[i] |= b.v[i];
        a.na[i] = static_cast<std::uint8_t>((a.na[i] | bna) && !a.v[i]);
    }
    drop_empty_na(a);
}

void mask_not(Mask &a) {
    size_t n = a.v.size();
    if (!a.has_na()) {
        for (size_t i = 0; i < n; ++i) a.v[i] ^= 1;
        return;
    }
    for (size_t i = 0; i < n; ++i) a.v[i] = static_cast<std::uint8_t>(!a.v[i] && !a.na[i]);
}

}  // namespace

// ---------------------------------------------------------------------------
// Columns

// Text of a column as the comparisons read it.
struct TextColumn {
    enum Source : std::uint8_t { Object, Arrow, Categorical } source = Object;
    // pd.NA as missing value: ordering comparisons and comparisons between
    // columns give NA for missing values. Otherwise they give False (True for !=).
    bool na_results = false;
    std::string dtype;  // str(dtype), to tell whether two columns compare alike

    // Object: the array's items; present[i] = 1 when item i is a str (else missing).
    PyObject *const *items = nullptr;
    std::ptrdiff_t item_stride = 0;
    std::vector<std::uint8_t> present;

    // Arrow: the chunks of a string / large_string array.
    struct Chunk {
        std::size_t length = 0, offset = 0;
        const std::uint8_t *validity = nullptr;
        const void *offsets = nullptr;
        bool large = false;
        const char *data = nullptr;
        std::size_t data_len = 0;
    };
    std::vector<Chunk> chunks;
    std::vector<std::size_t> chunk_start;  // first row of each chunk

    // Categorical: codes and the categories (all str).
    NumView codes;
    std::vector<nb::object> categories;

    PyObject *item(size_t i) const {
        return *reinterpret_cast<PyObject *const *>(reinterpret_cast<const char *>(items) +
                                                     static_cast<std::ptrdiff_t>(i) * item_stride);
    }
};

struct Column {
    enum Kind : std::uint8_t { Unsupported, Numeric, Masked, Text, Time } kind = Unsupported;
    nb::object array;  // Numeric: the ndarray; Masked: its data; Time: an int64 view
    Buffer buffer;
    NumView view;
    nb::object mask_array;  // Masked: the NA flags
    Buffer mask_buffer;
    const std::uint8_t *na = nullptr;
    std::string time_dtype;  // Time: str(dtype)
    TextColumn text;
    std::vector<nb::object> keep;  // objects whose buffers are read
    std::vector<std::unique_ptr<Buffer>> buffers;
};

namespace {

bool is_missing_item(PyObject *o, PyObject *na) {
    if (o == Py_None || o == na) return true;
    if (PyFloat_Check(o)) return std::isnan(PyFloat_AS_DOUBLE(o));
    return false;
}

// Object items: only str (exactly) and missing values are compared natively.
bool load_object_text(Column &c, nb::handle array, std::size_t rows, nb::handle na) {
    auto buf = std::make_unique<Buffer>();
    if (!buf->acquire(array, PyBUF_RECORDS_RO)) return false;
    const Py_buffer &v = buf->view();
    if (v.ndim != 1 || static_cast<std::size_t>(v.shape[0]) != rows || !v.format ||
        std::strcmp(v.format, "O") != 0 || v.itemsize != sizeof(PyObject *))
        return false;
    TextColumn &t = c.text;
    t.items = static_cast<PyObject *const *>(v.buf);
    t.item_stride = v.strides[0];
    t.present.resize(rows);
    for (size_t i = 0; i < rows; ++i) {
        PyObject *o = t.item(i);
        if (PyUnicode_CheckExact(o)) t.present[i] = 1;
        else if (is_missing_item(o, na.ptr())) t.present[i] = 0;
        else return false;
    }
    c.keep.push_back(nb::borrow(array));
    c.buffers.push_back(std::move(buf));
    return true;
}

bool load_arrow_text(Column &c, nb::handle chunked, std::size_t rows) {
    nb::object chunks = qrt::get(chunked, "chunks");
    std::size_t total = 0;
    for (nb::handle chunk : chunks) {
        nb::object chunk_type = qrt::get(chunk, "type");
        nb::object type_str = nb::str(chunk_type);
        std::string type = qrt::to_string(type_str);
        if (type != "string" && type != "large_string") return false;
        TextColumn::Chunk ch;
        ch.large = type == "large_string";
        ch.length = nb::len(chunk);
        nb::object offset = qrt::get(chunk, "offset");
        ch.offset = nb::cast<std::size_t>(offset);
        nb::object buffers = qrt::get(chunk, "buffers")();
        if (nb::len(buffers) != 3) return false;
        const void *ptrs[3] = {nullptr, nullptr, nullptr};
        size_t lens[3] = {0, 0, 0};
        for (size_t k = 0; k < 3; ++k) {
            nb::object b = qrt::item(buffers, nb::int_(k));
            if (b.is_none()) continue;
            auto buf = std::make_unique<Buffer>();
            if (!buf->acquire(b, PyBUF_SIMPLE)) return false;
            ptrs[k] = buf->view().buf;
            lens[k] = static_cast<size_t>(buf->view().len);
            c.keep.push_back(std::move(b));
            c.buffers.push_back(std::move(buf));
        }
        if (!ptrs[1] && ch.length > 0) return false;
        ch.validity = static_cast<const std::uint8_t *>(ptrs[0]);
        ch.offsets = ptrs[1];
        ch.data = ptrs[2] ? static_cast<const char *>(ptrs[2]) : "";
        ch.data_len = lens[2];
        // Everything the kernels read must lie inside the buffers.
        if (ch.length > 0) {
            size_t width = ch.large ? 8 : 4;
            if (lens[1] < (ch.offset + ch.length + 1) * width) return false;
            if (ch.validity && lens[0] * 8 < ch.offset + ch.length) return false;
            // Each row's offsets are checked where the kernels read them.
        }
        c.text.chunk_start.push_back(total);
        total += ch.length;
        c.text.chunks.push_back(ch);
    }
    c.keep.push_back(nb::borrow(chunked));
    return total == rows;
}

}  // namespace

Frame::Frame(nb::handle df) : df_(df), pool_(std::make_unique<BufferPool>()) {}

namespace {
BufferPool &pool_of(Frame &f) { return f.pool(); }
}  // namespace

nb::handle Frame::numpy() {
    if (!numpy_.is_valid()) numpy_ = nb::module_::import_("numpy");
    return numpy_;
}

nb::handle Frame::errstate() {
    if (!errstate_.is_valid()) {
        nb::object make = qrt::get(numpy(), "errstate");
        errstate_ = make("all"_a = "ignore");
    }
    return errstate_;
}

bool Frame::has_math_function(const std::u32string &name) {
    if (!mathops_.is_valid()) {
        nb::object ops = nb::module_::import_("pandas.core.computation.ops");
        mathops_ = qrt::get(ops, "MATHOPS");
    }
    return qrt::check_int(PySequence_Contains(mathops_.ptr(), from_u32(name).ptr())) == 1;
}

bool Frame::native_allowed() {
    if (native_ < 0) {
        nb::object frame_type = qrt::get(nb::module_::import_("pandas"), "DataFrame");
        native_ = frame_type.is(type_of(df_));
        if (native_) {
            rows_ = nb::len(df_);
            index_ = qrt::get(df_, "index");
        }
    }
    return native_ == 1;
}

namespace {

bool is_ascii(const std::u32string &s) {
    for (char32_t c : s)
        if (c >= 128) return false;
    return true;
}

std::u32string nfkc(const std::u32string &s) {
    if (is_ascii(s)) return s;
    nb::object normalize = qrt::get(nb::module_::import_("unicodedata"), "normalize");
    nb::object out = normalize("NFKC", from_u32(s));
    return to_u32(out);
}

bool is_identifier(const std::u32string &s) {
    nb::object o = from_u32(s);
    return qrt::check_int(PyUnicode_IsIdentifier(o.ptr())) == 1;
}

// pandas gives backticked names that are not identifiers this prefix when it
// turns them into Python names.
constexpr char32_t kBacktickPrefix[] = U"BACKTICK_QUOTED_STRING_";

}  // namespace

bool Frame::resolve(std::u32string &name, bool backticked, std::string &why) {
    // Python's parser reads identifiers in NFKC form; pandas' evaluator sees
    // them so. A backticked label that is not an identifier is matched as
    // written, so a label whose normal form differs could name two columns.
    if (!backticked || is_identifier(name)) {
        name = nfkc(name);
    } else if (nfkc(name) != name) {
        why = "`" + to_utf8(name) + "` is not in Unicode normal form (NFKC), so it could name " +
              "another column than the one written; use the label in NFKC form";
        return false;
    }
    auto it = names_.find(name);
    if (it != names_.end()) return it->second;
    if (!columns_obj_.is_valid()) {
        columns_obj_ = qrt::get(df_, "columns");
        nb::object nlevels = qrt::get(columns_obj_, "nlevels");
        single_level_ = nb::cast<int>(nlevels) == 1;
    }
    bool found = single_level_ &&
                 qrt::check_int(PySequence_Contains(columns_obj_.ptr(), from_u32(name).ptr())) == 1;
    if (found && label_forms_.empty()) {
        // pandas finds a column through the text form of its label: labels such
        // as "5" and 5 read alike, and a backticked label that is not an
        // identifier is read through a Python name with this prefix, which a
        // column could also bear. Which of two such columns pandas takes depends
        // on its version, so such names are refused.
        label_forms_.emplace_back();
        for (nb::handle label : columns_obj_) {
            if (PyUnicode_Check(label.ptr())) {
                std::u32string text = to_u32(label);
                if (text.compare(0, std::char_traits<char32_t>::length(kBacktickPrefix), kBacktickPrefix) == 0)
                    backtick_clash_ = 1;
            } else {
                nb::object text = nb::str(label);
                label_forms_.push_back(to_u32(text));
            }
        }
    }
    if (found) {
        for (size_t k = 1; k < label_forms_.size(); ++k) {
            if (label_forms_[k] == name) {
                why = "`" + to_utf8(name) + "` is ambiguous: another column's label reads the same as text";
                return false;
            }
        }
    }
    if (found && backticked && !is_identifier(name) && backtick_clash_ == 1) {
        why = "`" + to_utf8(name) + "` is ambiguous: the table also has a column named like " +
              "pandas' internal name for backticked labels (" + to_utf8(kBacktickPrefix) + "...)";
        return false;
    }
    names_.emplace(name, found);
    return found;
}

const Column *Frame::column(const std::u32string &label) {
    auto it = columns_.find(label);
    if (it != columns_.end()) return it->second->kind == Column::Unsupported ? nullptr : it->second.get();
    Column &c = *columns_.emplace(label, std::make_unique<Column>()).first->second;
    nb::object loc = qrt::get(columns_obj_, "get_loc")(from_u32(label));
    if (!PyLong_CheckExact(loc.ptr())) return nullptr;  // duplicated label
    nb::object array;
    if (nb::hasattr(df_, "_get_column_array")) {
        array = qrt::get(df_, "_get_column_array")(loc);
    } else {
        nb::object iloc = qrt::get(df_, "iloc");
        nb::object series = qrt::item(iloc, nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), loc));
        array = qrt::get(series, "array");
    }
    nb::object np = nb::borrow(numpy());
    nb::object pd = nb::module_::import_("pandas");
    nb::object ndarray = qrt::get(np, "ndarray");
    nb::object dtype = qrt::get(array, "dtype");
    nb::object na = qrt::get(pd, "NA");

    auto numeric = [&](nb::handle data, Column::Kind kind) {
        if (!ndarray.is(type_of(data)) || !c.buffer.acquire(data, PyBUF_RECORDS_RO) ||
            !num_view_of(c.buffer, rows_, c.view))
            return false;
        c.array = nb::borrow(data);
        c.kind = kind;
        return true;
    };

    if (ndarray.is(type_of(array))) {
        nb::object kind = qrt::get(dtype, "kind");
        std::string k = qrt::to_string(kind);
        if (k == "b" || k == "i" || k == "u" || k == "f") {
            numeric(array, Column::Numeric);
        } else if (k == "O") {
            if (load_object_text(c, array, rows_, na)) {
                c.text.source = TextColumn::Object;
                c.text.dtype = "object";
                c.kind = Column::Text;
            }
        } else if (k == "M" || k == "m") {
            nb::object view = qrt::get(array, "view")("int64");
            if (numeric(view, Column::Time)) c.time_dtype = qrt::to_string(nb::str(dtype));
        }
        return c.kind == Column::Unsupported ? nullptr : &c;
    }

    nb::object arrays = qrt::get(pd, "arrays");
    nb::handle t = type_of(array);
    nb::object integer_array = qrt::get(arrays, "IntegerArray"), floating_array = qrt::get(arrays, "FloatingArray"),
               boolean_array = qrt::get(arrays, "BooleanArray");
    if (t.is(integer_array) || t.is(floating_array) || t.is(boolean_array)) {
        nb::object data = qrt::get(array, "_data"), mask = qrt::get(array, "_mask");
        if (!numeric(data, Column::Masked)) return nullptr;
        NumView mv;
        if (!ndarray.is(type_of(mask)) || !c.mask_buffer.acquire(mask, PyBUF_RECORDS_RO) ||
            !num_view_of(c.mask_buffer, rows_, mv) || mv.kind != 'b' || mv.stride != 1) {
            c.kind = Column::Unsupported;
            return nullptr;
        }
        c.na = reinterpret_cast<const std::uint8_t *>(mv.data);
        c.mask_array = std::move(mask);
        return &c;
    }
    nb::object string_dtype = qrt::get(pd, "StringDtype");
    if (nb::isinstance(dtype, string_dtype)) {
        nb::object storage = qrt::get(dtype, "storage"), na_value = qrt::get(dtype, "na_value");
        std::string st = qrt::to_string(storage);
        c.text.na_results = na_value.is(na);
        c.text.dtype = qrt::to_string(nb::str(dtype));
        bool ok = false;
        if (st == "pyarrow") {
            c.text.source = TextColumn::Arrow;
            nb::object chunked = qrt::get(array, "__arrow_array__")();
            ok = load_arrow_text(c, chunked, rows_);
        } else if (st == "python") {
            c.text.source = TextColumn::Object;
            nb::object items = qrt::get(np, "asarray")(array);
            ok = ndarray.is(type_of(items)) && load_object_text(c, items, rows_, na);
        }
        if (ok) c.kind = Column::Text;
        return ok ? &c : nullptr;
    }
    nb::object categorical = qrt::get(pd, "Categorical");
    if (t.is(categorical)) {
        nb::object codes = qrt::get(array, "codes");
        nb::object categories = qrt::get(array, "categories");
        nb::object values = qrt::get(categories, "tolist")();
        for (nb::handle v : values) {
            if (!PyUnicode_CheckExact(v.ptr())) return nullptr;
            c.text.categories.push_back(nb::borrow(v));
        }
        if (!numeric(codes, Column::Text) || c.view.kind != 'i') {
            c.kind = Column::Unsupported;
            return nullptr;
        }
        c.text.codes = c.view;
        c.text.source = TextColumn::Categorical;
        c.text.dtype = "category";
        return &c;
    }
    // Timezone-naive datetimes and timedeltas: their numpy values.
    nb::object numpy_dtype = qrt::get(np, "dtype");
    if (nb::isinstance(dtype, numpy_dtype)) {
        nb::object kind = qrt::get(dtype, "kind");
        std::string k = qrt::to_string(kind);
        if (k == "M" || k == "m") {
            nb::object values = qrt::get(np, "asarray")(array);
            if (ndarray.is(type_of(values))) {
                nb::object view = qrt::get(values, "view")("int64");
                if (numeric(view, Column::Time)) c.time_dtype = qrt::to_string(nb::str(dtype));
            }
        }
    }
    return c.kind == Column::Unsupported ? nullptr : &c;
}

// ---------------------------------------------------------------------------
// Syntax tree

struct Expr {
    enum Kind : std::uint8_t { Column, Number, String, Bool, List, Unary, Binary, Call } kind;
    // Unary: '-', '+', '!' (not / ~). Binary: + - * / F(//) % P(**), comparisons
    // > G(>=) < L(<=) E(==) N(!=) I(in) J(not in), and & |.
    char op = 0;
    std::u32string name;  // Column: label; Call: function
    std::string text;     // Number: as written
    std::u32string str;   // String: its value
    bool flag = false;    // Bool: its value
    std::vector<std::unique_ptr<Expr>> args;

    std::unique_ptr<Expr> clone() const {
        auto e = std::make_unique<Expr>();
        e->kind = kind;
        e->op = op;
        e->name = name;
        e->text = text;
        e->str = str;
        e->flag = flag;
        for (const auto &a : args) e->args.push_back(a->clone());
        return e;
    }
};

namespace {

using ExprPtr = std::unique_ptr<Expr>;

ExprPtr make(Expr::Kind k, char op = 0) {
    auto e = std::make_unique<Expr>();
    e->kind = k;
    e->op = op;
    return e;
}

// Python's expression grammar over the allowlisted tokens, with pandas'
// reading of & and | as `and` and `or`.
class Parser {
public:
    explicit Parser(const std::vector<Token> &t) : t_(t) {}

    ExprPtr run() {
        auto e = or_expr();
        if (!e || i_ != t_.size()) return nullptr;
        return e;
    }

private:
    bool op(const char32_t *s) const {
        return i_ < t_.size() && t_[i_].kind == TokKind::Op && t_[i_].text == s;
    }
    bool kw(const char32_t *s) const {
        return i_ < t_.size() && t_[i_].kind == TokKind::Keyword && t_[i_].text == s;
    }
    static ExprPtr binary(char o, ExprPtr a, ExprPtr b) {
        auto e = make(Expr::Binary, o);
        e->args.push_back(std::move(a));
        e->args.push_back(std::move(b));
        return e;
    }

    ExprPtr or_expr() {
        auto left = and_expr();
        while (left && (kw(U"or") || op(U"|"))) {
            ++i_;
            auto right = and_expr();
            if (!right) return nullptr;
            left = binary('|', std::move(left), std::move(right));
        }
        return left;
    }
    ExprPtr and_expr() {
        auto left = not_expr();
        while (left && (kw(U"and") || op(U"&"))) {
            ++i_;
            auto right = not_expr();
            if (!right) return nullptr;
            left = binary('&', std::move(left), std::move(right));
        }
        return left;
    }
    ExprPtr not_expr() {
        if (kw(U"not")) {
            ++i_;
            auto inner = not_expr();
            if (!inner) return nullptr;
            auto e = make(Expr::Unary, '!');
            e->args.push_back(std::move(inner));
            return e;
        }
        return comparison();
    }
    bool cmp_op(char &o) {
        if (i_ >= t_.size()) return false;
        const Token &t = t_[i_];
        if (t.kind == TokKind::Keyword) {
            if (t.text == U"in") {
                o = 'I';
                ++i_;
                return true;
            }
            if (t.text == U"not" && i_ + 1 < t_.size() && t_[i_ + 1].kind == TokKind::Keyword &&
                t_[i_ + 1].text == U"in") {
                o = 'J';
                i_ += 2;
                return true;
            }
            return false;
        }
        if (t.kind != TokKind::Op) return false;
        const std::u32string &s = t.text;
        if (s == U">") o = '>';
        else if (s == U">=") o = 'G';
        else if (s == U"<") o = '<';
        else if (s == U"<=") o = 'L';
        else if (s == U"==") o = 'E';
        else if (s == U"!=") o = 'N';
        else return false;
        ++i_;
        return true;
    }
    // a < b < c is (a < b) and (b < c), with b read twice, as pandas does.
    ExprPtr comparison() {
        auto left = arith();
        if (!left) return nullptr;
        char o;
        std::vector<ExprPtr> parts;
        while (cmp_op(o)) {
            auto right = arith();
            if (!right) return nullptr;
            ExprPtr next = right->clone();
            parts.push_back(binary(o, std::move(left), std::move(right)));
            left = std::move(next);
        }
        if (parts.empty()) return left;
        ExprPtr out = std::move(parts[0]);
        for (size_t k = 1; k < parts.size(); ++k) out = binary('&', std::move(out), std::move(parts[k]));
        return out;
    }
    ExprPtr arith() {
        auto left = term();
        while (left && (op(U"+") || op(U"-"))) {
            char o = static_cast<char>(t_[i_].text[0]);
            ++i_;
            auto right = term();
            if (!right) return nullptr;
            left = binary(o, std::move(left), std::move(right));
        }
        return left;
    }
    ExprPtr term() {
        auto left = factor();
        while (left) {
            char o;
            if (op(U"*")) o = '*';
            else if (op(U"/")) o = '/';
            else if (op(U"//")) o = 'F';
            else if (op(U"%")) o = '%';
            else break;
            ++i_;
            auto right = factor();
            if (!right) return nullptr;
            left = binary(o, std::move(left), std::move(right));
        }
        return left;
    }
    ExprPtr factor() {
        if (op(U"-") || op(U"+") || op(U"~")) {
            char o = t_[i_].text == U"~" ? '!' : static_cast<char>(t_[i_].text[0]);
            ++i_;
            auto inner = factor();
            if (!inner) return nullptr;
            auto e = make(Expr::Unary, o);
            e->args.push_back(std::move(inner));
            return e;
        }
        return power();
    }
    ExprPtr power() {
        auto base = atom();
        if (base && op(U"**")) {
            ++i_;
            auto exponent = factor();
            if (!exponent) return nullptr;
            return binary('P', std::move(base), std::move(exponent));
        }
        return base;
    }
    ExprPtr atom() {
        if (i_ >= t_.size()) return nullptr;
        const Token &t = t_[i_];
        switch (t.kind) {
            case TokKind::Column:
            case TokKind::Backtick: {
                auto e = make(Expr::Column);
                e->name = t.text;
                ++i_;
                return e;
            }
            case TokKind::Number: return number();
            case TokKind::String: return string();
            case TokKind::Keyword:
                if (t.text == U"True" || t.text == U"False") {
                    auto e = make(Expr::Bool);
                    e->flag = t.text == U"True";
                    ++i_;
                    return e;
                }
                return nullptr;
            case TokKind::Func: {
                auto e = make(Expr::Call);
                e->name = t.text;
                ++i_;
                if (!op(U"(")) return nullptr;
                ++i_;
                while (!op(U")")) {
                    auto a = or_expr();
                    if (!a) return nullptr;
                    e->args.push_back(std::move(a));
                    if (op(U",")) ++i_;
                    else if (!op(U")")) return nullptr;
                }
                ++i_;
                return e;
            }
            case TokKind::Op:
                if (t.text == U"(") {
                    ++i_;
                    auto inner = or_expr();
                    if (!inner || !op(U")")) return nullptr;
                    ++i_;
                    return inner;
                }
                if (t.text == U"[") return list();
                return nullptr;
        }
        return nullptr;
    }
    ExprPtr number() {
        std::string text = to_utf8(t_[i_].text);
        bool is_float = false;
        for (char c : text) {
            if (c == '.' || c == 'e' || c == 'E') is_float = true;
            else if (!(c >= '0' && c <= '9') && c != '_' && c != '+' && c != '-') return nullptr;
        }
        // "007" is a syntax error in Python; leave it to pandas to say so.
        if (!is_float && text[0] == '0' && text.find_first_of("123456789") != std::string::npos)
            return nullptr;
        auto e = make(Expr::Number);
        e->text = text;
        ++i_;
        return e;
    }
    // A plain one-line literal without escapes (anything else goes to pandas).
    ExprPtr string() {
        const std::u32string &s = t_[i_].text;
        size_t q = 0;
        if (s[0] == 'u' || s[0] == 'U' || s[0] == 'r' || s[0] == 'R') q = 1;
        if (s.size() < q + 2) return nullptr;
        std::u32string body = s.substr(q + 1, s.size() - q - 2);
        if (body.size() >= 2 && body[0] == s[q] && body[1] == s[q]) return nullptr;  // triple quotes
        if (body.find(U'\\') != std::u32string::npos) return nullptr;
        auto e = make(Expr::String);
        e->str = body;
        ++i_;
        return e;
    }
    ExprPtr list() {
        ++i_;  // '['
        auto e = make(Expr::List);
        while (!op(U"]")) {
            ExprPtr item;
            bool negative = false;
            if (op(U"-") || op(U"+")) {
                negative = op(U"-");
                ++i_;
                if (i_ >= t_.size() || t_[i_].kind != TokKind::Number) return nullptr;
            }
            if (i_ >= t_.size()) return nullptr;
            if (t_[i_].kind == TokKind::Number) item = number();
            else if (t_[i_].kind == TokKind::String && !negative) item = string();
            if (!item) return nullptr;
            if (negative) item->text = "-" + item->text;
            e->args.push_back(std::move(item));
            if (op(U",")) ++i_;
            else if (!op(U"]")) return nullptr;
        }
        ++i_;
        return e;
    }

    const std::vector<Token> &t_;
    size_t i_ = 0;
};

}  // namespace

// ---------------------------------------------------------------------------
// Evaluation

namespace {

// Thrown when a rule's outcome is to be left to DataFrame.eval.
struct Bail {};

[[noreturn]] void bail() { throw Bail(); }

struct Val {
    enum Kind : std::uint8_t { Num, Masked, Bool, Text, Time, Scalar, List } kind = Scalar;
    nb::object obj;  // Num: the ndarray; Masked: its data; Scalar: the Python value
    std::shared_ptr<Buffer> buffer;  // buffer of a temporary array
    NumView view;
    const std::uint8_t *na = nullptr;  // Masked: NA flags
    const Column *col = nullptr;
    Mask mask;  // Bool
    const Expr *list = nullptr;
};

// numpy's errstate(all="ignore") while array arithmetic runs, as pandas does.
class IgnoreFloatErrors {
public:
    explicit IgnoreFloatErrors(Frame &f) {
        nb::object make = qrt::get(f.numpy(), "errstate");
        ctx_ = make("all"_a = "ignore");
        nb::object enter = qrt::get(ctx_, "__enter__");
        enter();
    }
    ~IgnoreFloatErrors() {
        nb::error_scope scope;
        nb::object r = nb::steal(PyObject_CallMethod(ctx_.ptr(), "__exit__", "OOO", Py_None, Py_None, Py_None));
        if (!r.is_valid()) PyErr_Clear();
    }
    IgnoreFloatErrors(const IgnoreFloatErrors &) = delete;
    IgnoreFloatErrors &operator=(const IgnoreFloatErrors &) = delete;

private:
    nb::object ctx_;
};

bool is_arith(char op) { return std::strchr("+-*/F%P", op) != nullptr; }
bool is_term(const Expr &e) {
    return e.kind == Expr::Column || e.kind == Expr::Number || e.kind == Expr::String ||
           e.kind == Expr::Bool || e.kind == Expr::List;
}

Cmp cmp_of(char op) {
    switch (op) {
        case '>': return Cmp::Gt;
        case 'G': return Cmp::Ge;
        case '<': return Cmp::Lt;
        case 'L': return Cmp::Le;
        case 'E': return Cmp::Eq;
        default: return Cmp::Ne;
    }
}

int py_cmp_op(Cmp op) {
    switch (op) {
        case Cmp::Gt: return Py_GT;
        case Cmp::Ge: return Py_GE;
        case Cmp::Lt: return Py_LT;
        case Cmp::Le: return Py_LE;
        case Cmp::Eq: return Py_EQ;
        default: return Py_NE;
    }
}

// Equality of short byte strings, inlined (the rows of a text column are
// mostly a few bytes long, where a call to memcmp costs more than the compare).
inline bool same_bytes(const char *a, const char *b, size_t n) {
    while (n >= 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a, 8);
        std::memcpy(&y, b, 8);
        if (x != y) return false;
        a += 8;
        b += 8;
        n -= 8;
    }
    while (n > 0) {
        if (*a != *b) return false;
        ++a;
        ++b;
        --n;
    }
    return true;
}

bool unicode_equal(PyObject *a, PyObject *b) {
    if (a == b) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return same_bytes(static_cast<const char *>(PyUnicode_DATA(a)), static_cast<const char *>(PyUnicode_DATA(b)),
                      static_cast<size_t>(n) * PyUnicode_KIND(a));
}

int bytes_compare(const char *a, size_t an, const std::string &b) {
    int c = std::memcmp(a, b.data(), std::min(an, b.size()));
    if (c != 0) return c;
    return an < b.size() ? -1 : (an > b.size() ? 1 : 0);
}

bool cmp_result(int c, Cmp op) { return compare_values(c, 0, op); }

// Offsets that point outside the data (a malformed array) hand the rule to pandas.
template <class Offset>
bool row_in_bounds(const TextColumn::Chunk &ch, Offset start, Offset end) {
    return start >= 0 && start <= end && static_cast<size_t>(end) <= ch.data_len;
}

// Rows [start, start + len) of an Arrow text column, chunk by chunk: calls
// f(chunk, offsets of the chunk's first row, j0, j1, first) for the chunk's rows
// j0..j1-1, which are the rows first.. of the range.
template <class F>
void arrow_span(const TextColumn &t, size_t start, size_t len, F &&f) {
    if (len == 0 || t.chunks.empty()) return;
    const size_t end = start + len;
    size_t k = static_cast<size_t>(std::upper_bound(t.chunk_start.begin(), t.chunk_start.end(), start) -
                                   t.chunk_start.begin());
    k = k == 0 ? 0 : k - 1;
    for (; k < t.chunks.size() && t.chunk_start[k] < end; ++k) {
        const auto &ch = t.chunks[k];
        const size_t cs = t.chunk_start[k];
        const size_t j0 = start > cs ? start - cs : 0, j1 = std::min(ch.length, end - cs);
        if (j0 >= j1) continue;
        const size_t first = cs + j0 - start;
        if (ch.large) f(ch, static_cast<const std::int64_t *>(ch.offsets) + ch.offset, j0, j1, first);
        else f(ch, static_cast<const std::int32_t *>(ch.offsets) + ch.offset, j0, j1, first);
    }
}

// Calls f(i, present, bytes, length) for the rows [start, start + len) of an
// Arrow text column, i counted from start.
template <class F>
void arrow_rows(const TextColumn &t, size_t start, size_t len, F &&f) {
    arrow_span(t, start, len, [&](const TextColumn::Chunk &ch, const auto *o, size_t j0, size_t j1, size_t first) {
        for (size_t j = j0; j < j1; ++j) {
            size_t k = ch.offset + j;
            bool valid = !ch.validity || ((ch.validity[k >> 3] >> (k & 7)) & 1);
            if (!row_in_bounds(ch, o[j], o[j + 1])) bail();
            f(first + (j - j0), valid, ch.data + o[j], static_cast<size_t>(o[j + 1] - o[j]));
        }
    });
}

// Order of two str objects by code points (what PyUnicode_Compare gives),
// reading their data only: no call into the interpreter.
int unicode_order(PyObject *a, PyObject *b) {
    if (a == b) return 0;
    const Py_ssize_t an = PyUnicode_GET_LENGTH(a), bn = PyUnicode_GET_LENGTH(b);
    const int ak = PyUnicode_KIND(a), bk = PyUnicode_KIND(b);
    const void *ad = PyUnicode_DATA(a), *bd = PyUnicode_DATA(b);
    const Py_ssize_t m = std::min(an, bn);
    if (ak == 1 && bk == 1) {
        int c = std::memcmp(ad, bd, static_cast<size_t>(m));
        if (c != 0) return c < 0 ? -1 : 1;
    } else {
        for (Py_ssize_t i = 0; i < m; ++i) {
            Py_UCS4 x = PyUnicode_READ(ak, ad, i), y = PyUnicode_READ(bk, bd, i);
            if (x != y) return x < y ? -1 : 1;
        }
    }
    return an < bn ? -1 : (an > bn ? 1 : 0);
}

// The low `n` bytes of a word (all of them from 8 on).
constexpr std::uint64_t kLowBytes[9] = {0,
                                        0xff,
                                        0xffff,
                                        0xffffff,
                                        0xffffffff,
                                        0xffffffffff,
                                        0xffffffffffff,
                                        0xffffffffffffff,
                                        ~std::uint64_t(0)};

// Membership of rows j0..j1-1 of an Arrow chunk in literals of at most 8
// bytes, branch-free: each row's first 8 bytes, cut to the row's length,
// against each literal with the same length (rows are mostly short and
// random, so branching on them mispredicts). K literals (0: `count` of them).
template <size_t K, class Offset>
void isin_short(const TextColumn::Chunk &ch, const Offset *o, size_t j0, size_t j1, std::uint8_t *dst,
                const std::uint64_t *word_list, const std::uint64_t *len_list, size_t count = K) {
    std::uint64_t words[K ? K : 1], lens[K ? K : 1];
    if constexpr (K > 0)
        for (size_t q = 0; q < K; ++q) {
            words[q] = word_list[q];
            lens[q] = len_list[q];
        }
    const std::uint8_t *validity = ch.validity;
    const char *data = ch.data;
    const size_t data_len = ch.data_len, base = ch.offset;
    for (size_t j = j0; j < j1; ++j) {
        const Offset begin = o[j], end = o[j + 1];
        if (!row_in_bounds(ch, begin, end)) bail();
        const std::uint64_t n = static_cast<std::uint64_t>(end - begin);
        std::uint64_t w = 0;
        if (static_cast<size_t>(begin) + 8 <= data_len) std::memcpy(&w, data + begin, 8);
        else std::memcpy(&w, data + begin, std::min<size_t>(n, 8));
        w &= kLowBytes[n < 8 ? n : 8];
        std::uint8_t h = 0;
        if constexpr (K > 0) {
            for (size_t q = 0; q < K; ++q) h |= static_cast<std::uint8_t>((w == words[q]) & (n == lens[q]));
        } else {
            for (size_t q = 0; q < count; ++q)
                h |= static_cast<std::uint8_t>((w == word_list[q]) & (n == len_list[q]));
        }
        const size_t k = base + j;
        const std::uint8_t valid = validity ? static_cast<std::uint8_t>((validity[k >> 3] >> (k & 7)) & 1) : 1;
        dst[j - j0] = h & valid;
    }
}

// Text membership (== and `in` with string literals): missing values never
// match. Prepared once (with the interpreter), then run on row ranges without it.
struct TextMatcher {
    std::vector<std::string> utf8;
    bool short_literals = false;
    std::vector<std::uint64_t> words, lens;  // literals of up to 8 bytes, zero-padded, and their lengths
    std::vector<nb::object> objs;   // Object source: the literals as str
    std::vector<std::uint8_t> hit;  // Categorical source: which categories match

    TextMatcher(const TextColumn &t, const std::vector<std::u32string> &values) {
        if (t.source == TextColumn::Arrow) {
            for (const auto &v : values) utf8.push_back(to_utf8(v));
            short_literals = !utf8.empty();
            for (const auto &v : utf8) short_literals = short_literals && v.size() <= 8;
            if (short_literals) {
                for (const auto &v : utf8) {
                    std::uint64_t w = 0;
                    std::memcpy(&w, v.data(), v.size());
                    words.push_back(w);
                    lens.push_back(v.size());
                }
            }
            return;
        }
        for (const auto &v : values) objs.push_back(from_u32(v));
        if (t.source == TextColumn::Categorical) {
            hit.resize(t.categories.size());
            for (size_t k = 0; k < hit.size(); ++k) hit[k] = matches(t.categories[k].ptr());
        }
    }

    bool matches(PyObject *o) const {
        for (const auto &v : objs)
            if (unicode_equal(o, v.ptr())) return true;
        return false;
    }

    void run(const TextColumn &t, size_t start, size_t len, std::uint8_t *out) const {
        if (t.source == TextColumn::Arrow) {
            if (short_literals) {
                arrow_span(t, start, len, [&](const TextColumn::Chunk &ch, const auto *o, size_t j0, size_t j1,
                                              size_t first) {
                    switch (words.size()) {
                        case 1: isin_short<1>(ch, o, j0, j1, out + first, words.data(), lens.data()); break;
                        case 2: isin_short<2>(ch, o, j0, j1, out + first, words.data(), lens.data()); break;
                        case 3: isin_short<3>(ch, o, j0, j1, out + first, words.data(), lens.data()); break;
                        case 4: isin_short<4>(ch, o, j0, j1, out + first, words.data(), lens.data()); break;
                        default: isin_short<0>(ch, o, j0, j1, out + first, words.data(), lens.data(), words.size());
                    }
                });
                return;
            }
            arrow_rows(t, start, len, [&](size_t i, bool valid, const char *p, size_t n) {
                bool h = false;
                if (valid)
                    for (const auto &v : utf8)
                        if (v.size() == n && same_bytes(v.data(), p, n)) {
                            h = true;
                            break;
                        }
                out[i] = h;
            });
            return;
        }
        if (t.source == TextColumn::Categorical) {
            NumView codes = t.codes;
            codes.data += static_cast<std::ptrdiff_t>(start) * codes.stride;
            with_num(codes, [&](const auto &c) {
                for (size_t i = 0; i < len; ++i) {
                    auto code = static_cast<std::int64_t>(c[i]);
                    out[i] = code >= 0 && static_cast<size_t>(code) < hit.size() && hit[static_cast<size_t>(code)];
                }
            });
            return;
        }
        for (size_t i = 0; i < len; ++i) out[i] = t.present[start + i] && matches(t.item(start + i));
    }
};

// Ordering of a text column against a literal (not categorical), rows
// [start, start + len): v gets the result, na (when the column gives NA for
// missing values) the NA flags.
struct TextLiteralOrder {
    Cmp op;
    std::string utf8;  // Arrow source
    nb::object obj;    // Object source

    TextLiteralOrder(const TextColumn &t, Cmp c, const std::u32string &lit) : op(c) {
        if (t.source == TextColumn::Arrow) utf8 = to_utf8(lit);
        else obj = from_u32(lit);
    }

    void run(const TextColumn &t, size_t start, size_t len, std::uint8_t *v, std::uint8_t *na) const {
        std::memset(v, 0, len);
        if (na) std::memset(na, 0, len);
        if (t.source == TextColumn::Arrow) {
            arrow_rows(t, start, len, [&](size_t i, bool valid, const char *p, size_t n) {
                if (valid) v[i] = cmp_result(bytes_compare(p, n, utf8), op);
                else if (na) na[i] = 1;
            });
        } else {
            for (size_t i = 0; i < len; ++i) {
                if (t.present[start + i]) v[i] = cmp_result(unicode_order(t.item(start + i), obj.ptr()), op);
                else if (na) na[i] = 1;
            }
        }
    }
};

// Two text columns of the same source and dtype compared row by row.
void text_compare_columns(const TextColumn &a, const TextColumn &b, Cmp op, size_t start, size_t len,
                          std::uint8_t *v, std::uint8_t *na) {
    std::memset(v, 0, len);
    if (na) std::memset(na, 0, len);
    auto missing = [&](size_t i) {
        if (na) na[i] = 1;
        else v[i] = op == Cmp::Ne;
    };
    if (a.source == TextColumn::Arrow) {
        std::vector<const char *> ptr(len);
        std::vector<size_t> lens(len);
        std::vector<std::uint8_t> valid(len);
        arrow_rows(b, start, len, [&](size_t i, bool ok, const char *p, size_t l) {
            ptr[i] = p;
            lens[i] = l;
            valid[i] = ok;
        });
        arrow_rows(a, start, len, [&](size_t i, bool ok, const char *p, size_t l) {
            if (!ok || !valid[i]) return missing(i);
            int c = std::memcmp(p, ptr[i], std::min(l, lens[i]));
            if (c == 0) c = l < lens[i] ? -1 : (l > lens[i] ? 1 : 0);
            v[i] = cmp_result(c, op);
        });
    } else {
        for (size_t i = 0; i < len; ++i) {
            if (!a.present[start + i] || !b.present[start + i]) missing(i);
            else v[i] = cmp_result(unicode_order(a.item(start + i), b.item(start + i)), op);
        }
    }
}


// ---------------------------------------------------------------------------
// Fused arithmetic
//
// Comparisons of arithmetic over float64 / int64 columns and Python number
// literals (+ - * / unary minus, abs, and integer % or // by a non-zero integer
// literal) are computed block by block in C++ without column-sized temporaries.
// The types follow numpy's rules for these operands (int64 op int64 stays
// int64 and wraps around, a float anywhere gives float64, / gives float64, a
// Python int next to an int64 array stays int64), and every operation is a
// single correctly rounded IEEE operation or exact integer arithmetic, so the
// values are bit for bit numpy's. This file is compiled without floating-point
// contraction (no fused multiply-add).

constexpr size_t kBlock = 512;

struct FNode {
    char op = 0;  // 'c' column, 'k' literal, + - * / % F(//) n(negate) a(abs)
    bool flt = false;  // float64 result (else int64)
    NumView view;
    bool lit_float = false;
    double d = 0.0;
    std::int64_t i = 0;
    std::unique_ptr<FNode> a, b;
    std::vector<double> dbuf;
    std::vector<std::int64_t> ibuf;

    // A copy with scratch buffers of its own (for another thread).
    std::unique_ptr<FNode> clone() const {
        auto c = std::make_unique<FNode>();
        c->op = op;
        c->flt = flt;
        c->view = view;
        c->lit_float = lit_float;
        c->d = d;
        c->i = i;
        if (a) c->a = a->clone();
        if (b) c->b = b->clone();
        c->dbuf.resize(dbuf.size());
        c->ibuf.resize(ibuf.size());
        return c;
    }
};

struct DVec {
    const double *p;
    double operator[](size_t k) const { return p[k]; }
};
struct IVec {
    const std::int64_t *p;
    std::int64_t operator[](size_t k) const { return p[k]; }
};
struct IasD {
    const std::int64_t *p;
    double operator[](size_t k) const { return static_cast<double>(p[k]); }
};

std::int64_t wrap_add(std::int64_t x, std::int64_t y) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(x) + static_cast<std::uint64_t>(y));
}
std::int64_t wrap_sub(std::int64_t x, std::int64_t y) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(x) - static_cast<std::uint64_t>(y));
}
std::int64_t wrap_mul(std::int64_t x, std::int64_t y) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(x) * static_cast<std::uint64_t>(y));
}
// numpy's integer remainder and floor division (Python's sign rules; the
// overflowing MIN // -1 gives MIN and MIN % -1 gives 0). Hardware integer
// division is slow, so while both operands are within 2**53 the quotient is
// taken in double precision (off by at most one) and then corrected exactly.
inline void int_divmod(std::int64_t x, std::int64_t y, std::int64_t &q, std::int64_t &r) {
    constexpr std::int64_t kExact = std::int64_t(1) << 53;
    if (y == -1) {
        q = wrap_sub(0, x);
        r = 0;
        return;
    }
    if (x >= -kExact && x <= kExact && y >= -kExact && y <= kExact) {
        // floor() without a library call: truncate, then step down for
        // negative non-integral quotients (|quotient| <= 2**53 here).
        const double t = static_cast<double>(x) / static_cast<double>(y);
        q = static_cast<std::int64_t>(t);
        q -= static_cast<double>(q) > t;
        r = x - q * y;
        if (y > 0) {
            if (r < 0) { r += y; --q; }
            else if (r >= y) { r -= y; ++q; }
        } else {
            if (r > 0) { r += y; --q; }
            else if (r <= y) { r -= y; ++q; }
        }
        return;
    }
    q = x / y;
    r = x % y;
    if (r != 0 && ((r < 0) != (y < 0))) {
        r += y;
        --q;
    }
}
inline std::int64_t int_mod(std::int64_t x, std::int64_t y) {
    std::int64_t q, r;
    int_divmod(x, y, q, r);
    return r;
}
inline std::int64_t int_floordiv(std::int64_t x, std::int64_t y) {
    std::int64_t q, r;
    int_divmod(x, y, q, r);
    return q;
}

// x % y (Remainder) or x // y for the rows of a block and a literal y != 0.
// While |x| and |y| are below 2**31, x times 1/y is within 2**-21 of the
// exact quotient, so its floor is off by at most one; the remainder tells
// which way and both are corrected exactly, without branches (y often
// divides x, where the product falls just below the integer).
template <bool Remainder, class X>
void divmod_by_literal(const X &x, std::int64_t y, size_t len, std::int64_t *out) {
    constexpr std::int64_t kSmall = std::int64_t(1) << 31;
    if (y <= -kSmall || y >= kSmall) {
        for (size_t k = 0; k < len; ++k) out[k] = Remainder ? int_mod(x[k], y) : int_floordiv(x[k], y);
        return;
    }
    const double inv = 1.0 / static_cast<double>(y);
    for (size_t k = 0; k < len; ++k) {
        const std::int64_t v = x[k];
        if (v <= -kSmall || v >= kSmall) {
            out[k] = Remainder ? int_mod(v, y) : int_floordiv(v, y);
            continue;
        }
        const double t = static_cast<double>(v) * inv;
        std::int64_t q = static_cast<std::int64_t>(t);
        q -= static_cast<double>(q) > t;
        std::int64_t r = v - q * y;
        // Python's sign rule: 0 <= r < y for y > 0, y < r <= 0 for y < 0.
        const std::int64_t low = y > 0 ? (r < 0) : (r > 0), high = y > 0 ? (r >= y) : (r <= y);
        q += high - low;
        r += (low - high) * y;
        out[k] = Remainder ? r : q;
    }
}

struct Out {
    const double *d = nullptr;
    const std::int64_t *i = nullptr;
};

Out fused_eval(FNode &n, size_t start, size_t len);

template <class T, class F>
void fused_operand(FNode &c, size_t start, size_t len, F &&f) {
    if constexpr (std::is_same_v<T, double>) {
        if (c.op == 'k') return f(Constant<double>{c.d});
        Out o = fused_eval(c, start, len);
        if (c.flt) f(DVec{o.d});
        else f(IasD{o.i});
    } else {
        if (c.op == 'k') return f(Constant<std::int64_t>{c.i});
        Out o = fused_eval(c, start, len);
        f(IVec{o.i});
    }
}

Out fused_eval(FNode &n, size_t start, size_t len) {
    Out out;
    if (n.op == 'c') {
        bool contiguous = n.view.stride == 8;
        if (n.flt) {
            if (contiguous) {
                out.d = reinterpret_cast<const double *>(n.view.data) + start;
            } else {
                for (size_t k = 0; k < len; ++k)
                    std::memcpy(&n.dbuf[k], n.view.data + static_cast<std::ptrdiff_t>(start + k) * n.view.stride, 8);
                out.d = n.dbuf.data();
            }
        } else {
            if (contiguous) {
                out.i = reinterpret_cast<const std::int64_t *>(n.view.data) + start;
            } else {
                for (size_t k = 0; k < len; ++k)
                    std::memcpy(&n.ibuf[k], n.view.data + static_cast<std::ptrdiff_t>(start + k) * n.view.stride, 8);
                out.i = n.ibuf.data();
            }
        }
        return out;
    }
    if (n.flt) {
        double *r = n.dbuf.data();
        if (n.op == 'n' || n.op == 'a') {
            fused_operand<double>(*n.a, start, len, [&](const auto &x) {
                if (n.op == 'n')
                    for (size_t k = 0; k < len; ++k) r[k] = -x[k];
                else
                    for (size_t k = 0; k < len; ++k) r[k] = std::fabs(x[k]);
            });
        } else {
            fused_operand<double>(*n.a, start, len, [&](const auto &x) {
                fused_operand<double>(*n.b, start, len, [&](const auto &y) {
                    switch (n.op) {
                        case '+': for (size_t k = 0; k < len; ++k) r[k] = x[k] + y[k]; break;
                        case '-': for (size_t k = 0; k < len; ++k) r[k] = x[k] - y[k]; break;
                        case '*': for (size_t k = 0; k < len; ++k) r[k] = x[k] * y[k]; break;
                        default: for (size_t k = 0; k < len; ++k) r[k] = x[k] / y[k]; break;
                    }
                });
            });
        }
        out.d = r;
        return out;
    }
    std::int64_t *r = n.ibuf.data();
    if (n.op == 'n' || n.op == 'a') {
        fused_operand<std::int64_t>(*n.a, start, len, [&](const auto &x) {
            if (n.op == 'n')
                for (size_t k = 0; k < len; ++k) r[k] = wrap_sub(0, x[k]);
            else
                for (size_t k = 0; k < len; ++k) r[k] = x[k] < 0 ? wrap_sub(0, x[k]) : x[k];
        });
    } else {
        fused_operand<std::int64_t>(*n.a, start, len, [&](const auto &x) {
            fused_operand<std::int64_t>(*n.b, start, len, [&](const auto &y) {
                switch (n.op) {
                    case '+': for (size_t k = 0; k < len; ++k) r[k] = wrap_add(x[k], y[k]); break;
                    case '-': for (size_t k = 0; k < len; ++k) r[k] = wrap_sub(x[k], y[k]); break;
                    case '*': for (size_t k = 0; k < len; ++k) r[k] = wrap_mul(x[k], y[k]); break;
                    case '%':
                        if (n.b->op == 'k') divmod_by_literal<true>(x, n.b->i, len, r);
                        else
                            for (size_t k = 0; k < len; ++k) r[k] = int_mod(x[k], y[k]);
                        break;
                    default:
                        if (n.b->op == 'k') divmod_by_literal<false>(x, n.b->i, len, r);
                        else
                            for (size_t k = 0; k < len; ++k) r[k] = int_floordiv(x[k], y[k]);
                        break;
                }
            });
        });
    }
    out.i = r;
    return out;
}

#if defined(__SSE2__)
template <class D, std::enable_if_t<std::is_same_v<D, double>, int> = 0>
void compare(const DVec &a, const Constant<double> &b, Cmp op, size_t n, std::uint8_t *out) {
    compare_f64<true>(a.p, nullptr, b.v, op, n, out);
}
template <class D, std::enable_if_t<std::is_same_v<D, double>, int> = 0>
void compare(const DVec &a, const DVec &b, Cmp op, size_t n, std::uint8_t *out) {
    compare_f64<false>(a.p, b.p, 0.0, op, n, out);
}
template <class D, std::enable_if_t<std::is_same_v<D, double>, int> = 0>
void compare(const Constant<double> &a, const DVec &b, Cmp op, size_t n, std::uint8_t *out) {
    compare_f64<true>(b.p, nullptr, a.v, flip(op), n, out);
}
#endif

// Rows [first, first + n) compared; out[0..n) gets the results.
void fused_compare(FNode &l, FNode &r, Cmp op, size_t first, size_t n, std::uint8_t *out) {
    bool dbl = l.flt || r.flt;
    for (size_t done = 0; done < n; done += kBlock) {
        size_t len = std::min(kBlock, n - done), start = first + done;
        std::uint8_t *o = out + done;
        if (dbl)
            fused_operand<double>(l, start, len, [&](const auto &x) {
                fused_operand<double>(r, start, len, [&](const auto &y) { compare<double>(x, y, op, len, o); });
            });
        else
            fused_operand<std::int64_t>(l, start, len, [&](const auto &x) {
                fused_operand<std::int64_t>(r, start, len, [&](const auto &y) {
                    compare<std::int64_t>(x, y, op, len, o);
                });
            });
    }
}


// ---------------------------------------------------------------------------
// Row-block programs
//
// A rule whose every step runs in C++ without the interpreter (comparisons of
// columns with literals or with each other, fused arithmetic, text tests,
// and / or / not) is compiled into a tree of nodes that evaluate any range of
// rows. All such rules of one validate call then run together, block by block
// over the rows, so the columns several rules share are read from memory once
// and no column-sized temporary is made. Each node gives exactly what the
// whole-column evaluation below gives for those rows.

// Row-block sized byte buffers, taken and given back in stack order.
class Scratch {
public:
    explicit Scratch(size_t block) : block_(block) {}
    std::uint8_t *push() {
        if (top_ == bufs_.size()) bufs_.emplace_back(block_);
        return bufs_[top_++].data();
    }
    void pop(size_t k = 1) { top_ -= k; }

private:
    size_t block_, top_ = 0;
    std::vector<std::vector<std::uint8_t>> bufs_;
};

struct BNode {
    virtual ~BNode() = default;
    // Rows [start, start + len): v[i] = 1 where true (0 where NA); na[i] = 1
    // where NA. na is given exactly when may_na.
    virtual void run(size_t start, size_t len, std::uint8_t *v, std::uint8_t *na, Scratch &s) = 0;
    virtual std::unique_ptr<BNode> clone() const = 0;
    bool may_na = false;
    Mask::Rep rep = Mask::Numpy;
    bool reads_objects = false;  // reads str objects of object arrays
};
using BPtr = std::unique_ptr<BNode>;

NumView shifted(const NumView &v, size_t start) {
    NumView out = v;
    out.data += static_cast<std::ptrdiff_t>(start) * v.stride;
    return out;
}

template <class Self>
struct BNodeOf : BNode {
    BPtr clone() const override { return std::make_unique<Self>(static_cast<const Self &>(*this)); }
};

struct FusedNode : BNode {
    std::unique_ptr<FNode> l, r;
    Cmp op = Cmp::Eq;
    void run(size_t start, size_t len, std::uint8_t *v, std::uint8_t *, Scratch &) override {
        fused_compare(*l, *r, op, start, len, v);
    }
    BPtr clone() const override {
        auto c = std::make_unique<FusedNode>();
        c->l = l->clone();
        c->r = r->clone();
        c->op = op;
        return c;
    }
};

// A numeric comparison with numpy's promotion, and pandas' NA for nullable
// operands (NA where either side is NA or a plain float operand is NaN).
struct NumCmpNode : BNodeOf<NumCmpNode> {
    enum Against : std::uint8_t { Double, Int, UInt, Fill, Column } against = Double;
    NumView a, b;  // b: Column
    Domain domain = Domain::Double;
    double d = 0.0;
    std::int64_t i = 0;
    std::uint64_t u = 0;
    bool fill = false;
    Cmp op = Cmp::Eq;
    const std::uint8_t *na_a = nullptr, *na_b = nullptr;  // nullable operands' NA flags
    std::vector<NumView> nan_views;                       // plain float operands

    void run(size_t start, size_t len, std::uint8_t *v, std::uint8_t *na, Scratch &) override {
        NumView x = shifted(a, start);
        switch (against) {
            case Double: with_num(x, [&](const auto &p) { compare<double>(p, Constant<double>{d}, op, len, v); }); break;
            case Int:
                with_num(x, [&](const auto &p) { compare<std::int64_t>(p, Constant<std::int64_t>{i}, op, len, v); });
                break;
            case UInt:
                with_num(x, [&](const auto &p) { compare<std::uint64_t>(p, Constant<std::uint64_t>{u}, op, len, v); });
                break;
            case Fill: std::memset(v, fill, len); break;
            case Column: compare_columns(x, shifted(b, start), domain, op, len, v); break;
        }
        if (!na) return;
        std::memset(na, 0, len);
        for (const std::uint8_t *m : {na_a, na_b})
            if (m)
                for (size_t k = 0; k < len; ++k) na[k] |= m[start + k];
        for (const NumView &nv : nan_views)
            with_num(shifted(nv, start), [&](const auto &p) {
                for (size_t k = 0; k < len; ++k) na[k] |= std::isnan(static_cast<double>(p[k]));
            });
        for (size_t k = 0; k < len; ++k) v[k] &= static_cast<std::uint8_t>(na[k] ^ 1);
    }
};

// How numpy compares a numeric buffer with a Python number (or numpy float32)
// scalar, set up in `n`: Native when C++ gives numpy's answer, Numpy when
// numpy must compare (out-of-range integers), Pandas when pandas' path must
// run (numpy warns there).
enum class Via : std::uint8_t { Native, Numpy, Pandas };

Via scalar_comparison(const NumView &x, PyObject *sc, Cmp c, NumCmpNode &n) {
    n.a = x;
    n.op = c;
    if (PyFloat_CheckExact(sc)) {  // a Python float: weak, takes the array's float type
        double d = PyFloat_AS_DOUBLE(sc);
        if (x.kind == 'f' && x.itemsize == 4) {
            // numpy warns when the float overflows float32 on its way in:
            // pandas' own path gives that warning.
            if (std::isfinite(d) && std::fabs(d) > static_cast<double>(std::numeric_limits<float>::max()))
                return Via::Pandas;
            d = static_cast<float>(d);
        }
        n.against = NumCmpNode::Double;
        n.d = d;
        return Via::Native;
    }
    if (std::strcmp(Py_TYPE(sc)->tp_name, "numpy.float32") == 0) {
        double d = PyFloat_AsDouble(sc);
        if (d == -1.0 && PyErr_Occurred()) qrt::throw_error();
        n.against = NumCmpNode::Double;
        n.d = d;
        return Via::Native;
    }
    if (!(PyLong_Check(sc) && (PyLong_CheckExact(sc) || PyBool_Check(sc)))) return Via::Numpy;
    // A weak Python int / bool.
    int overflow = 0;
    long long iv = PyLong_AsLongLongAndOverflow(sc, &overflow);
    if (overflow) return Via::Numpy;
    if (x.kind == 'f') {
        if (std::llabs(iv) > (1LL << (x.itemsize == 4 ? 24 : 53))) return Via::Numpy;
        n.against = NumCmpNode::Double;
        n.d = static_cast<double>(iv);
    } else if (x.kind == 'u' && x.itemsize == 8) {
        if (iv < 0) {
            n.against = NumCmpNode::Fill;
            n.fill = c == Cmp::Gt || c == Cmp::Ge || c == Cmp::Ne;
        } else {
            n.against = NumCmpNode::UInt;
            n.u = static_cast<std::uint64_t>(iv);
        }
    } else {
        n.against = NumCmpNode::Int;
        n.i = iv;
    }
    return Via::Native;
}

struct TimeNode : BNodeOf<TimeNode> {
    NumView a, b;
    Cmp op = Cmp::Eq;
    void run(size_t start, size_t len, std::uint8_t *v, std::uint8_t *, Scratch &) override {
        const std::int64_t nat = std::numeric_limits<std::int64_t>::min();
        with_num(shifted(a, start), [&](const auto &x) {
            with_num(shifted(b, start), [&](const auto &y) {
                for (size_t k = 0; k < len; ++k) {
                    auto p = static_cast<std::int64_t>(x[k]), q = static_cast<std::int64_t>(y[k]);
                    v[k] = (p == nat || q == nat) ? op == Cmp::Ne : compare_values(p, q, op);
                }
            });
        });
    }
};

struct TextInNode : BNodeOf<TextInNode> {
    const TextColumn *t = nullptr;
    std::shared_ptr<const TextMatcher> matcher;  // shared by the threads' copies
    bool negate = false;
    void run(size_t start, size_t len, std::uint8_t *v, std::uint8_t *, Scratch &) override {
        if (matcher) matcher->run(*t, start, len, v);
        else std::memset(v, 0, len);
        if (negate)
            for (size_t k = 0; k < len; ++k) v[k] ^= 1;
    }
};

struct TextOrderNode : BNodeOf<TextOrderNode> {
    const TextColumn *t = nullptr, *other = nullptr;  // other: a column, else the literal
    std::shared_ptr<const TextLiteralOrder> literal;
    Cmp op = Cmp::Eq;
    void run(size_t start, size_t len, std::uint8_t *v, std::uint8_t *na, Scratch &) override {
        if (other) text_compare_columns(*t, *other, op, start, len, v, na);
        else literal->run(*t, start, len, v, na);
    }
};

struct NumInNode : BNodeOf<NumInNode> {
    NumView x;
    std::vector<std::int64_t> ints;
    std::vector<double> doubles;
    const std::uint8_t *na_flags = nullptr;
    bool negate = false;
    void run(size_t start, size_t len, std::uint8_t *v, std::uint8_t *, Scratch &) override {
        const bool unsigned64 = x.kind == 'u' && x.itemsize == 8;
        with_num(shifted(x, start), [&](const auto &p) {
            for (size_t k = 0; k < len; ++k) {
                auto val = p[k];
                bool hit = false;
                if (x.kind == 'f') {
                    for (double dd : doubles) hit = hit || static_cast<double>(val) == dd;
                } else if (unsigned64) {
                    for (std::int64_t q : ints)
                        hit = hit || (q >= 0 && static_cast<std::uint64_t>(val) == static_cast<std::uint64_t>(q));
                } else {
                    for (std::int64_t q : ints) hit = hit || static_cast<std::int64_t>(val) == q;
                }
                v[k] = hit;
            }
        });
        if (na_flags)
            for (size_t k = 0; k < len; ++k) v[k] &= static_cast<std::uint8_t>(na_flags[start + k] ^ 1);
        if (negate)
            for (size_t k = 0; k < len; ++k) v[k] ^= 1;
    }
};

// A bool column used as a condition.
struct BoolColumnNode : BNodeOf<BoolColumnNode> {
    NumView x;
    const std::uint8_t *na_flags = nullptr;
    void run(size_t start, size_t len, std::uint8_t *v, std::uint8_t *na, Scratch &) override {
        with_num(shifted(x, start), [&](const auto &p) {
            for (size_t k = 0; k < len; ++k) v[k] = p[k] != 0;
        });
        if (!na) return;
        for (size_t k = 0; k < len; ++k) {
            na[k] = na_flags[start + k] != 0;
            v[k] &= static_cast<std::uint8_t>(na[k] ^ 1);
        }
    }
};

// and / or with Kleene logic where NA is involved, as in mask_and / mask_or.
struct LogicNode : BNode {
    BPtr l, r;
    bool is_and = true;
    void run(size_t start, size_t len, std::uint8_t *v, std::uint8_t *na, Scratch &s) override {
        l->run(start, len, v, l->may_na ? na : nullptr, s);
        std::uint8_t *bv = s.push(), *bna = s.push();
        r->run(start, len, bv, r->may_na ? bna : nullptr, s);
        if (!na) {
            if (is_and)
                for (size_t k = 0; k < len; ++k) v[k] &= bv[k];
            else
                for (size_t k = 0; k < len; ++k) v[k] |= bv[k];
        } else {
            if (!l->may_na) std::memset(na, 0, len);
            if (!r->may_na) std::memset(bna, 0, len);
            for (size_t k = 0; k < len; ++k) {
                if (is_and) {
                    bool a_false = !v[k] && !na[k], b_false = !bv[k] && !bna[k];
                    na[k] = static_cast<std::uint8_t>((na[k] | bna[k]) && !a_false && !b_false);
                    v[k] &= bv[k];
                } else {
                    v[k] |= bv[k];
                    na[k] = static_cast<std::uint8_t>((na[k] | bna[k]) && !v[k]);
                }
            }
        }
        s.pop(2);
    }
    BPtr clone() const override {
        auto c = std::make_unique<LogicNode>();
        c->l = l->clone();
        c->r = r->clone();
        c->is_and = is_and;
        c->may_na = may_na;
        c->rep = rep;
        c->reads_objects = reads_objects;
        return c;
    }
};

struct NotNode : BNode {
    BPtr a;
    void run(size_t start, size_t len, std::uint8_t *v, std::uint8_t *na, Scratch &s) override {
        a->run(start, len, v, na, s);
        if (!na)
            for (size_t k = 0; k < len; ++k) v[k] ^= 1;
        else
            for (size_t k = 0; k < len; ++k) v[k] = static_cast<std::uint8_t>(!v[k] && !na[k]);
    }
    BPtr clone() const override {
        auto c = std::make_unique<NotNode>();
        c->a = a->clone();
        c->may_na = may_na;
        c->rep = rep;
        c->reads_objects = reads_objects;
        return c;
    }
};

class Evaluator {
public:
    Evaluator(Frame &f) : f_(f), n_(f.rows()) {}

    // Static pass, in the order pandas' parser builds its terms: which literals
    // pandas narrows to numpy float32 (a scalar next to an operand whose
    // declared type is float32), and which shapes are refused outright.
    struct Info {
        bool scalar = false;
        // The operand's declared type is float32 (pandas' return_type).
        bool f32 = false;
        // Leaves all of a type that keeps float32 (float32, bool, 8/16-bit ints), some float32.
        bool leaves_small = true, leaves_any_f32 = false;
    };

    // numpy may warn while the rule is evaluated (math functions, arithmetic
    // between scalars), as it does on pandas' path.
    bool may_warn = false;

    Info analyze(Expr &e) {
        Info info;
        switch (e.kind) {
            case Expr::Column: {
                const Column *c = f_.column(e.name);
                if (!c) bail();
                bool num = c->kind == Column::Numeric;
                info.f32 = num && c->view.kind == 'f' && c->view.itemsize == 4;
                info.leaves_any_f32 = info.f32;
                info.leaves_small = num && (info.f32 || c->view.kind == 'b' ||
                                            (c->view.kind != 'f' && c->view.itemsize <= 2));
                return info;
            }
            case Expr::Number:
            case Expr::String:
                info.scalar = true;
                info.leaves_small = false;
                if (downcast_.count(&e)) {
                    info.leaves_small = true;
                    info.leaves_any_f32 = true;
                }
                return info;
            case Expr::Bool:
                info.scalar = true;
                if (downcast_.count(&e)) info.leaves_any_f32 = true;
                return info;
            case Expr::List:
                info.leaves_small = false;
                return info;
            case Expr::Unary: {
                Info a = analyze(*e.args[0]);
                info.scalar = a.scalar;
                info.leaves_small = a.leaves_small;
                info.leaves_any_f32 = a.leaves_any_f32;
                return info;  // declared bool or int: never float32
            }
            case Expr::Call: {
                may_warn = true;
                info.scalar = true;
                for (auto &a : e.args) {
                    Info ai = analyze(*a);
                    info.scalar = info.scalar && ai.scalar;
                    info.leaves_small = info.leaves_small && ai.leaves_small;
                    info.leaves_any_f32 = info.leaves_any_f32 || ai.leaves_any_f32;
                }
                info.f32 = info.leaves_small && info.leaves_any_f32;
                return info;
            }
            case Expr::Binary: {
                Info a = analyze(*e.args[0]);
                Info b = analyze(*e.args[1]);
                if (e.op == '&' || e.op == '|') {
                    if (a.scalar || b.scalar) bail();  // pandas refuses scalar-only bool ops
                } else {
                    bool rewritten = (e.op == 'E' || e.op == 'N') && is_term(*e.args[0]) &&
                                     is_term(*e.args[1]) &&
                                     (e.args[0]->kind == Expr::String || e.args[1]->kind == Expr::String ||
                                      e.args[0]->kind == Expr::List || e.args[1]->kind == Expr::List);
                    if (!rewritten) {
                        if (narrowable(*e.args[0]) && a.scalar && !b.scalar && b.f32) mark_downcast(*e.args[0], a);
                        if (narrowable(*e.args[1]) && b.scalar && !a.scalar && a.f32) mark_downcast(*e.args[1], b);
                    }
                }
                info.scalar = a.scalar && b.scalar;
                if (info.scalar && is_arith(e.op)) may_warn = true;
                info.leaves_small = a.leaves_small && b.leaves_small;
                info.leaves_any_f32 = a.leaves_any_f32 || b.leaves_any_f32;
                info.f32 = is_arith(e.op) && info.leaves_small && info.leaves_any_f32;
                return info;
            }
        }
        return info;
    }

    Val eval(const Expr &e) {
        switch (e.kind) {
            case Expr::Column: return column(e);
            case Expr::Number:
            case Expr::Bool: {
                Val v;
                v.kind = Val::Scalar;
                v.obj = literal(e);
                return v;
            }
            case Expr::String: {
                Val v;
                v.kind = Val::Scalar;
                v.obj = from_u32(e.str);
                return v;
            }
            case Expr::List: {
                Val v;
                v.kind = Val::List;
                v.list = &e;
                return v;
            }
            case Expr::Unary: return unary(e);
            case Expr::Call: return call(e);
            case Expr::Binary:
                if (e.op == '&' || e.op == '|') {
                    Mask a = to_mask(eval(*e.args[0]));
                    Mask b = to_mask(eval(*e.args[1]));
                    if (!logic_supported(a, b)) bail();
                    if (a.rep == Mask::Numpy) a.rep = b.rep;
                    if (e.op == '&') mask_and(a, b);
                    else mask_or(a, b);
                    return bool_val(std::move(a));
                }
                if (is_arith(e.op)) return arith(e);
                return comparison(e);
        }
        bail();
    }

    Mask to_mask(Val v) {
        if (v.kind == Val::Bool) return std::move(v.mask);
        if ((v.kind == Val::Num || v.kind == Val::Masked) && v.view.kind == 'b') {
            Mask m(pool_of(f_), n_);
            with_num(v.view, [&](const auto &x) {
                for (size_t i = 0; i < n_; ++i) m.v[i] = x[i] != 0;
            });
            if (v.kind == Val::Masked) {
                m.rep = Mask::Masked;
                m.na.assign(v.na, v.na + n_);
                for (size_t i = 0; i < n_; ++i)
                    if (m.na[i]) m.v[i] = 0;
                drop_empty_na(m);
            }
            return m;
        }
        bail();
    }

private:
    static bool narrowable(const Expr &e) {
        return e.kind == Expr::Number || e.kind == Expr::Bool || e.kind == Expr::String;
    }
    void mark_downcast(Expr &e, Info &info) {
        if (e.kind == Expr::String) bail();  // np.float32('text') fails in pandas
        downcast_.insert(&e);
        info.leaves_small = true;
        info.leaves_any_f32 = true;
    }

    static Val bool_val(Mask m) {
        Val v;
        v.kind = Val::Bool;
        v.mask = std::move(m);
        return v;
    }

    Val column(const Expr &e) {
        const Column *c = f_.column(e.name);
        if (!c) bail();
        Val v;
        v.col = c;
        switch (c->kind) {
            case Column::Numeric: v.kind = Val::Num; break;
            case Column::Masked: v.kind = Val::Masked; break;
            case Column::Text: v.kind = Val::Text; return v;
            case Column::Time: v.kind = Val::Time; break;
            default: bail();
        }
        v.obj = c->array;
        v.view = c->view;
        v.na = c->na;
        return v;
    }

    // A number or bool literal as pandas passes it: a Python int / float / bool,
    // or numpy float32 where pandas narrows it.
    nb::object literal(const Expr &e) {
        nb::object value;
        if (e.kind == Expr::Bool) {
            value = nb::bool_(e.flag);
        } else {
            nb::object s = nb::str(e.text.c_str());
            bool is_float = e.text.find_first_of(".eE") != std::string::npos;
            value = nb::steal(is_float ? PyFloat_FromString(s.ptr()) : PyLong_FromUnicodeObject(s.ptr(), 0));
            if (!value.is_valid()) {
                PyErr_Clear();
                bail();
            }
        }
        if (downcast_.count(&e)) {
            double d = PyFloat_AsDouble(value.ptr());
            if (d == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
                bail();
            }
            // numpy warns when the value overflows float32.
            if (std::isfinite(d) && std::fabs(d) > static_cast<double>(std::numeric_limits<float>::max()))
                bail();
            nb::object f32 = qrt::get(f_.numpy(), "float32");
            value = f32(value);
        }
        return value;
    }

    bool is_numpy_scalar(nb::handle o) {
        nb::object number = qrt::get(f_.numpy(), "number"), bool_ = qrt::get(f_.numpy(), "bool_");
        return nb::isinstance(o, number) || nb::isinstance(o, bool_);
    }

    Val from_array(nb::object arr) {
        nb::object ndarray = qrt::get(f_.numpy(), "ndarray");
        if (!ndarray.is(type_of(arr))) {
            if (PyLong_Check(arr.ptr()) || PyFloat_Check(arr.ptr()) ||
                is_numpy_scalar(arr)) {
                Val v;
                v.kind = Val::Scalar;
                v.obj = std::move(arr);
                return v;
            }
            bail();
        }
        Val v;
        v.kind = Val::Num;
        v.buffer = std::make_shared<Buffer>();
        if (!v.buffer->acquire(arr, PyBUF_RECORDS_RO) || !num_view_of(*v.buffer, n_, v.view)) bail();
        v.obj = std::move(arr);
        return v;
    }

    static bool is_number_scalar(const Val &v) {
        return v.kind == Val::Scalar && !PyUnicode_Check(v.obj.ptr());
    }

    Val unary(const Expr &e) {
        Val a = eval(*e.args[0]);
        if (e.op == '!') {
            Mask m = to_mask(std::move(a));
            mask_not(m);
            return bool_val(std::move(m));
        }
        if (is_number_scalar(a)) {
            nb::object r = qrt::check(e.op == '-' ? PyNumber_Negative(a.obj.ptr()) : PyNumber_Positive(a.obj.ptr()));
            return from_array(std::move(r));
        }
        // pandas negates a bool column with ~; leave that to it.
        if (a.kind != Val::Num || a.view.kind == 'b') bail();
        nb::object r;
        {
            IgnoreFloatErrors quiet(f_);
            r = qrt::check(e.op == '-' ? PyNumber_Negative(a.obj.ptr()) : PyNumber_Positive(a.obj.ptr()));
        }
        return from_array(std::move(r));
    }

    Val call(const Expr &e) {
        if (!f_.has_math_function(e.name)) bail();
        size_t arity = e.name == U"arctan2" ? 2 : 1;
        if (e.args.size() != arity) bail();
        nb::list args;
        for (const auto &a : e.args) {
            Val v = eval(*a);
            if (!(v.kind == Val::Num || is_number_scalar(v))) bail();
            args.append(v.obj);
        }
        nb::object func = qrt::get(f_.numpy(), to_utf8(e.name).c_str());
        nb::object r = qrt::check(PyObject_CallObject(func.ptr(), nb::tuple(args).ptr()));
        return from_array(std::move(r));
    }

    static bool is_bool_value(const Val &v) {
        if (v.kind == Val::Num) return v.view.kind == 'b';
        return v.kind == Val::Scalar && (PyBool_Check(v.obj.ptr()) ||
                                         std::strcmp(Py_TYPE(v.obj.ptr())->tp_name, "numpy.bool") == 0);
    }

    Val arith(const Expr &e) {
        Val a = eval(*e.args[0]);
        Val b = eval(*e.args[1]);
        bool a_ok = a.kind == Val::Num || is_number_scalar(a), b_ok = b.kind == Val::Num || is_number_scalar(b);
        if (!a_ok || !b_ok) bail();
        // pandas refuses /, // and ** between booleans.
        if ((e.op == '/' || e.op == 'F' || e.op == 'P') && is_bool_value(a) && is_bool_value(b)) bail();
        auto apply = [&]() {
            PyObject *x = a.obj.ptr(), *y = b.obj.ptr();
            switch (e.op) {
                case '+': return qrt::check(PyNumber_Add(x, y));
                case '-': return qrt::check(PyNumber_Subtract(x, y));
                case '*': return qrt::check(PyNumber_Multiply(x, y));
                case '/': return qrt::check(PyNumber_TrueDivide(x, y));
                case 'F': return qrt::check(PyNumber_FloorDivide(x, y));
                case '%': return qrt::check(PyNumber_Remainder(x, y));
                default: return qrt::check(PyNumber_Power(x, y, Py_None));
            }
        };
        nb::object r;
        if (a.kind == Val::Scalar && b.kind == Val::Scalar) {
            r = apply();
            return from_array(std::move(r));
        }
        {
            IgnoreFloatErrors quiet(f_);
            r = apply();
        }
        Val out = from_array(std::move(r));
        // pandas turns an integer // or % by zero into a float result with
        // inf / NaN; leave such rows to it.
        if ((e.op == 'F' || e.op == '%') && out.kind == Val::Num && out.view.kind != 'f') {
            if (b.kind == Val::Scalar) {
                if (!qrt::check_int(PyObject_IsTrue(b.obj.ptr()))) bail();
            } else {
                bool zero = false;
                with_num(b.view, [&](const auto &x) {
                    for (size_t i = 0; i < n_ && !zero; ++i) zero = x[i] == 0;
                });
                if (zero) bail();
            }
        }
        return out;
    }

    // ---- comparisons

    // `==`/`!=` between a term and a text or a list mean membership, as in
    // pandas: they become `in`/`not in`.
    static char comparison_op(const Expr &le, const Expr &re, char op) {
        const bool membership = (op == 'E' || op == 'N') && is_term(le) && is_term(re) &&
                                (le.kind == Expr::String || re.kind == Expr::String ||
                                 le.kind == Expr::List || re.kind == Expr::List);
        return membership ? (op == 'E' ? 'I' : 'J') : op;
    }

    Val comparison(const Expr &e) {
        const Expr &le = *e.args[0], &re = *e.args[1];
        const char op = comparison_op(le, re, e.op);
        if (op == 'I' || op == 'J') return membership(le, re, op == 'J');
        if (auto fl = fuse(le)) {
            if (auto fr = fuse(re)) {
                if (fl->op != 'k' || fr->op != 'k') {
                    Mask m(pool_of(f_), n_);
                    fused_compare(*fl, *fr, cmp_of(op), 0, n_, m.v.data());
                    return bool_val(std::move(m));
                }
            }
        }
        Val a = eval(le);
        Val b = eval(re);
        Cmp c = cmp_of(op);
        if (a.kind == Val::Scalar && b.kind != Val::Scalar) {
            std::swap(a, b);
            c = flip(c);
        }
        Mask m(pool_of(f_), n_);
        if (a.kind == Val::Text) {
            if (a.col->text.source == TextColumn::Categorical) bail();
            if (a.col->text.na_results)
                m.rep = a.col->text.source == TextColumn::Arrow ? Mask::Arrow : Mask::Masked;
            if (a.col->text.na_results) m.na.resize(n_);
            std::uint8_t *na = a.col->text.na_results ? m.na.data() : nullptr;
            if (b.kind == Val::Scalar && PyUnicode_CheckExact(b.obj.ptr())) {
                TextLiteralOrder(a.col->text, c, to_u32(b.obj)).run(a.col->text, 0, n_, m.v.data(), na);
            } else if (b.kind == Val::Text && b.col->text.source == a.col->text.source &&
                       b.col->text.dtype == a.col->text.dtype) {
                text_compare_columns(a.col->text, b.col->text, c, 0, n_, m.v.data(), na);
            } else {
                bail();
            }
            drop_empty_na(m);
            return bool_val(std::move(m));
        }
        if (a.kind == Val::Time) {
            if (b.kind != Val::Time || b.col->time_dtype != a.col->time_dtype) bail();
            const std::int64_t nat = std::numeric_limits<std::int64_t>::min();
            with_num(a.view, [&](const auto &x) {
                with_num(b.view, [&](const auto &y) {
                    for (size_t i = 0; i < n_; ++i) {
                        auto p = static_cast<std::int64_t>(x[i]), q = static_cast<std::int64_t>(y[i]);
                        m.v[i] = (p == nat || q == nat) ? c == Cmp::Ne : compare_values(p, q, c);
                    }
                });
            });
            return bool_val(std::move(m));
        }
        if (a.kind != Val::Num && a.kind != Val::Masked) bail();
        if (b.kind == Val::Scalar) {
            if (!is_number_scalar(b)) bail();
            numeric_vs_scalar(a, b, c, m);
        } else if (b.kind == Val::Num || b.kind == Val::Masked) {
            numeric_vs_numeric(a, b, c, m);
        } else {
            bail();
        }
        // pandas' masked comparisons: NA where either side is missing, a float
        // NaN of a plain numpy operand included.
        if (a.kind == Val::Masked || b.kind == Val::Masked) {
            m.rep = Mask::Masked;
            m.na.assign(n_, 0);
            for (const Val *v : {&a, &b}) {
                if (v->kind == Val::Masked) {
                    for (size_t i = 0; i < n_; ++i) m.na[i] |= v->na[i];
                } else if (v->kind == Val::Num && v->view.kind == 'f') {
                    with_num(v->view, [&](const auto &x) {
                        for (size_t i = 0; i < n_; ++i) m.na[i] |= std::isnan(static_cast<double>(x[i]));
                    });
                }
            }
            for (size_t i = 0; i < n_; ++i)
                if (m.na[i]) m.v[i] = 0;
            drop_empty_na(m);
        }
        return bool_val(std::move(m));
    }

    void numpy_compare(const Val &a, nb::handle b, Cmp c, Mask &m) {
        nb::object r;
        {
            IgnoreFloatErrors quiet(f_);
            r = qrt::check(PyObject_RichCompare(a.obj.ptr(), b.ptr(), py_cmp_op(c)));
        }
        Val v = from_array(std::move(r));
        if (v.kind != Val::Num || v.view.kind != 'b') bail();
        with_num(v.view, [&](const auto &x) {
            for (size_t i = 0; i < n_; ++i) m.v[i] = x[i] != 0;
        });
    }

    void numeric_vs_scalar(const Val &a, const Val &b, Cmp c, Mask &m) {
        NumCmpNode node;
        switch (scalar_comparison(a.view, b.obj.ptr(), c, node)) {
            case Via::Native: {
                Scratch unused(0);
                node.run(0, n_, m.v.data(), nullptr, unused);
                return;
            }
            case Via::Numpy: return numpy_compare(a, b.obj, c, m);
            case Via::Pandas: bail();
        }
    }

    void numeric_vs_numeric(const Val &a, const Val &b, Cmp c, Mask &m) {
        Domain d = domain(a.view, b.view);
        if (d == Domain::Numpy) return numpy_compare(a, b.obj, c, m);
        compare_columns(a.view, b.view, d, c, n_, m.v.data());
    }

    // `in` / `not in`, and == / != with a text literal or a list (pandas'
    // Series.isin): never NA.
    Val membership(const Expr &le, const Expr &re, bool negate) {
        const Expr *series = &le, *values = &re;
        bool l_list = le.kind == Expr::List || le.kind == Expr::String;
        bool r_list = re.kind == Expr::List || re.kind == Expr::String;
        if (l_list == r_list) bail();
        if (l_list) std::swap(series, values);
        Val a = eval(*series);
        std::vector<const Expr *> items;
        if (values->kind == Expr::String) items.push_back(values);
        else
            for (const auto &it : values->args) items.push_back(it.get());
        Mask m(pool_of(f_), n_);
        std::fill(m.v.begin(), m.v.end(), 0);
        if (a.kind == Val::Text) {
            std::vector<std::u32string> strings;
            // Numbers in the list: pandas' handling depends on the text dtype.
            for (const Expr *it : items) {
                if (it->kind != Expr::String) bail();
                strings.push_back(it->str);
            }
            if (!strings.empty()) TextMatcher(a.col->text, strings).run(a.col->text, 0, n_, m.v.data());
        } else if ((a.kind == Val::Num || a.kind == Val::Masked) && a.view.kind != 'b' &&
                   !(a.view.kind == 'f' && a.view.itemsize == 4)) {
            NumInNode node;
            numeric_isin_values(a.view, items, node);
            node.na_flags = a.kind == Val::Masked ? a.na : nullptr;
            Scratch unused(0);
            node.run(0, n_, m.v.data(), nullptr, unused);
            if (a.kind == Val::Masked) m.rep = Mask::Masked;
        } else {
            bail();
        }
        if (negate) mask_not(m);
        return bool_val(std::move(m));
    }

    // The lists of numbers a numeric column is tested against (`in`), as
    // numpy compares them.
    void numeric_isin_values(const NumView &x, const std::vector<const Expr *> &items, NumInNode &node) {
        bool unsigned64 = x.kind == 'u' && x.itemsize == 8;
        for (const Expr *it : items) {
            if (it->kind != Expr::Number) bail();
            nb::object v = literal(*it);
            if (PyFloat_Check(v.ptr())) {
                if (x.kind != 'f') bail();
                node.doubles.push_back(PyFloat_AS_DOUBLE(v.ptr()));
                continue;
            }
            int overflow = 0;
            long long iv = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
            if (overflow) {
                // pandas 2.x compares int64 values with an integer above their
                // range in float64 (2**63 - 1 matches 2**63), 3.x exactly: its call.
                if (x.kind == 'f' || (overflow > 0 && (unsigned64 || (x.kind == 'i' && x.itemsize == 8)))) bail();
                continue;  // outside the column's range: matches nothing
            }
            if (x.kind == 'f') {
                if (std::llabs(iv) > (1LL << 53)) bail();
                node.doubles.push_back(static_cast<double>(iv));
            } else {
                node.ints.push_back(iv);
            }
        }
        node.x = x;
    }

    // ---- compilation into row-block programs: nullptr when a part needs the
    // interpreter (the rule is then evaluated as a whole, above)

public:
    BPtr compile_mask(const Expr &e) {
        switch (e.kind) {
            case Expr::Binary: {
                if (e.op == '&' || e.op == '|') {
                    BPtr a = compile_mask(*e.args[0]);
                    if (!a) return nullptr;
                    BPtr b = compile_mask(*e.args[1]);
                    if (!b) return nullptr;
                    if (a->rep == Mask::Masked && b->rep == Mask::Arrow && b->may_na) return nullptr;
                    auto n = std::make_unique<LogicNode>();
                    n->rep = a->rep == Mask::Numpy ? b->rep : a->rep;
                    n->may_na = a->may_na || b->may_na;
                    n->reads_objects = a->reads_objects || b->reads_objects;
                    n->is_and = e.op == '&';
                    n->l = std::move(a);
                    n->r = std::move(b);
                    return n;
                }
                if (is_arith(e.op)) return nullptr;
                return compile_comparison(e);
            }
            case Expr::Unary: {
                if (e.op != '!') return nullptr;
                BPtr a = compile_mask(*e.args[0]);
                if (!a) return nullptr;
                auto n = std::make_unique<NotNode>();
                n->may_na = a->may_na;
                n->rep = a->rep;
                n->reads_objects = a->reads_objects;
                n->a = std::move(a);
                return n;
            }
            case Expr::Column: {
                const Column *c = f_.column(e.name);
                if (!c || (c->kind != Column::Numeric && c->kind != Column::Masked) || c->view.kind != 'b')
                    return nullptr;
                auto n = std::make_unique<BoolColumnNode>();
                n->x = c->view;
                if (c->kind == Column::Masked) {
                    n->na_flags = c->na;
                    n->may_na = true;
                    n->rep = Mask::Masked;
                }
                return n;
            }
            default: return nullptr;
        }
    }

private:
    // A comparison operand: a column, or a scalar as eval() gives it.
    struct Operand {
        const Column *col = nullptr;
        nb::object scalar;
        bool ok = false;
    };

    Operand operand(const Expr &e) {
        Operand o;
        switch (e.kind) {
            case Expr::Column:
                o.col = f_.column(e.name);
                o.ok = o.col != nullptr;
                return o;
            case Expr::Number:
            case Expr::Bool: o.scalar = literal(e); o.ok = true; return o;
            case Expr::String: o.scalar = from_u32(e.str); o.ok = true; return o;
            case Expr::Unary: {
                if (e.op != '-' && e.op != '+') return o;
                Operand a = operand(*e.args[0]);
                if (!a.ok || a.col || PyUnicode_Check(a.scalar.ptr())) return o;
                nb::object r = qrt::check(e.op == '-' ? PyNumber_Negative(a.scalar.ptr())
                                                      : PyNumber_Positive(a.scalar.ptr()));
                if (!(PyLong_Check(r.ptr()) || PyFloat_Check(r.ptr()) || is_numpy_scalar(r))) return o;
                o.scalar = std::move(r);
                o.ok = true;
                return o;
            }
            default: return o;
        }
    }

    BPtr compile_comparison(const Expr &e) {
        const Expr &le = *e.args[0], &re = *e.args[1];
        const char op = comparison_op(le, re, e.op);
        if (op == 'I' || op == 'J') return compile_membership(le, re, op == 'J');
        if (auto fl = fuse(le)) {
            if (auto fr = fuse(re)) {
                if (fl->op != 'k' || fr->op != 'k') {
                    auto n = std::make_unique<FusedNode>();
                    n->l = std::move(fl);
                    n->r = std::move(fr);
                    n->op = cmp_of(op);
                    return n;
                }
            }
        }
        Operand a = operand(le), b = operand(re);
        if (!a.ok || !b.ok) return nullptr;
        Cmp c = cmp_of(op);
        if (!a.col && b.col) {
            std::swap(a, b);
            c = flip(c);
        }
        if (!a.col) return nullptr;
        if (a.col->kind == Column::Text) {
            const TextColumn &t = a.col->text;
            if (t.source == TextColumn::Categorical) return nullptr;
            auto n = std::make_unique<TextOrderNode>();
            n->t = &t;
            n->op = c;
            if (!b.col && PyUnicode_CheckExact(b.scalar.ptr())) {
                n->literal = std::make_shared<const TextLiteralOrder>(t, c, to_u32(b.scalar));
            } else if (b.col && b.col->kind == Column::Text && b.col->text.source == t.source &&
                       b.col->text.dtype == t.dtype) {
                n->other = &b.col->text;
            } else {
                return nullptr;
            }
            n->may_na = t.na_results;
            if (t.na_results) n->rep = t.source == TextColumn::Arrow ? Mask::Arrow : Mask::Masked;
            n->reads_objects = t.source == TextColumn::Object;
            return n;
        }
        if (a.col->kind == Column::Time) {
            if (!b.col || b.col->kind != Column::Time || b.col->time_dtype != a.col->time_dtype) return nullptr;
            auto n = std::make_unique<TimeNode>();
            n->a = a.col->view;
            n->b = b.col->view;
            n->op = c;
            return n;
        }
        if (a.col->kind != Column::Numeric && a.col->kind != Column::Masked) return nullptr;
        auto n = std::make_unique<NumCmpNode>();
        n->a = a.col->view;
        n->op = c;
        const NumView &x = a.col->view;
        if (!b.col) {
            if (PyUnicode_Check(b.scalar.ptr()) || scalar_comparison(x, b.scalar.ptr(), c, *n) != Via::Native)
                return nullptr;
        } else if (b.col->kind == Column::Numeric || b.col->kind == Column::Masked) {
            Domain d = domain(x, b.col->view);
            if (d == Domain::Numpy) return nullptr;
            n->against = NumCmpNode::Column;
            n->b = b.col->view;
            n->domain = d;
        } else {
            return nullptr;
        }
        if (a.col->kind == Column::Masked || (b.col && b.col->kind == Column::Masked)) {
            n->may_na = true;
            n->rep = Mask::Masked;
            for (const Column *col : {a.col, b.col}) {
                if (!col) continue;
                if (col->kind == Column::Masked) (n->na_a ? n->na_b : n->na_a) = col->na;
                else if (col->view.kind == 'f') n->nan_views.push_back(col->view);
            }
        }
        return n;
    }

    BPtr compile_membership(const Expr &le, const Expr &re, bool negate) {
        const Expr *series = &le, *values = &re;
        bool l_list = le.kind == Expr::List || le.kind == Expr::String;
        bool r_list = re.kind == Expr::List || re.kind == Expr::String;
        if (l_list == r_list) return nullptr;
        if (l_list) std::swap(series, values);
        if (series->kind != Expr::Column) return nullptr;
        const Column *c = f_.column(series->name);
        if (!c) return nullptr;
        std::vector<const Expr *> items;
        if (values->kind == Expr::String) items.push_back(values);
        else
            for (const auto &it : values->args) items.push_back(it.get());
        if (c->kind == Column::Text) {
            std::vector<std::u32string> strings;
            for (const Expr *it : items) {
                if (it->kind != Expr::String) return nullptr;
                strings.push_back(it->str);
            }
            auto n = std::make_unique<TextInNode>();
            n->t = &c->text;
            if (!strings.empty()) n->matcher = std::make_shared<const TextMatcher>(c->text, strings);
            n->negate = negate;
            n->reads_objects = c->text.source == TextColumn::Object;
            return n;
        }
        if ((c->kind == Column::Numeric || c->kind == Column::Masked) && c->view.kind != 'b' &&
            !(c->view.kind == 'f' && c->view.itemsize == 4)) {
            auto n = std::make_unique<NumInNode>();
            numeric_isin_values(c->view, items, *n);
            if (c->kind == Column::Masked) {
                n->na_flags = c->na;
                n->rep = Mask::Masked;
            }
            n->negate = negate;
            return n;
        }
        return nullptr;
    }

private:
    // The fused form of a numeric subexpression, or nullptr.
    std::unique_ptr<FNode> fuse(const Expr &e) {
        auto n = std::make_unique<FNode>();
        switch (e.kind) {
            case Expr::Column: {
                const Column *c = f_.column(e.name);
                if (!c || c->kind != Column::Numeric || c->view.itemsize != 8 ||
                    (c->view.kind != 'f' && c->view.kind != 'i'))
                    return nullptr;
                n->op = 'c';
                n->view = c->view;
                n->flt = c->view.kind == 'f';
                if (c->view.stride != 8) {
                    if (n->flt) n->dbuf.resize(kBlock);
                    else n->ibuf.resize(kBlock);
                }
                return n;
            }
            case Expr::Number: {
                nb::object v = literal(e);
                n->op = 'k';
                if (PyFloat_CheckExact(v.ptr())) {
                    n->lit_float = n->flt = true;
                    n->d = PyFloat_AS_DOUBLE(v.ptr());
                    return n;
                }
                if (!PyLong_CheckExact(v.ptr())) return nullptr;
                int overflow = 0;
                long long iv = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
                if (overflow) return nullptr;
                n->i = iv;
                n->d = PyLong_AsDouble(v.ptr());
                return n;
            }
            case Expr::Unary: {
                if (e.op == '!') return nullptr;
                auto a = fuse(*e.args[0]);
                if (!a) return nullptr;
                if (e.op == '+') return a;
                if (a->op == 'k') {
                    if (a->lit_float) a->d = -a->d;
                    else if (a->i == std::numeric_limits<std::int64_t>::min()) return nullptr;
                    else {
                        a->i = -a->i;
                        a->d = -a->d;
                    }
                    return a;
                }
                n->op = 'n';
                n->flt = a->flt;
                n->a = std::move(a);
                break;
            }
            case Expr::Call: {
                if (e.name != U"abs" || e.args.size() != 1 || !f_.has_math_function(e.name)) return nullptr;
                auto a = fuse(*e.args[0]);
                if (!a || a->op == 'k') return nullptr;  // abs of a literal is a numpy scalar
                n->op = 'a';
                n->flt = a->flt;
                n->a = std::move(a);
                break;
            }
            case Expr::Binary: {
                if (!std::strchr("+-*/%F", e.op)) return nullptr;
                auto a = fuse(*e.args[0]);
                auto b = a ? fuse(*e.args[1]) : nullptr;
                if (!b || (a->op == 'k' && b->op == 'k')) return nullptr;  // Python arithmetic
                n->op = e.op;
                if (e.op == '%' || e.op == 'F') {
                    if (a->flt || a->op == 'k' || b->op != 'k' || b->flt || b->i == 0) return nullptr;
                    n->flt = false;
                } else {
                    n->flt = e.op == '/' || a->flt || b->flt;
                }
                n->a = std::move(a);
                n->b = std::move(b);
                break;
            }
            default: return nullptr;
        }
        if (n->flt) n->dbuf.resize(kBlock);
        else n->ibuf.resize(kBlock);
        return n;
    }

    Frame &f_;
    size_t n_;
    std::unordered_set<const Expr *> downcast_;
};

// Warnings numpy raises while a rule is evaluated natively are held back and
// raised again once the rule is known to be done natively; when it is handed to
// DataFrame.eval instead, that path raises them itself.
class HeldWarnings {
public:
    HeldWarnings() {
        nb::object warnings = nb::module_::import_("warnings");
        nb::object make = qrt::get(warnings, "catch_warnings");
        ctx_ = make("record"_a = true);
        nb::object enter = qrt::get(ctx_, "__enter__");
        log_ = enter();
    }
    ~HeldWarnings() { close(); }
    HeldWarnings(const HeldWarnings &) = delete;
    HeldWarnings &operator=(const HeldWarnings &) = delete;

    void release() {
        close();
        nb::object warn = qrt::get(nb::module_::import_("warnings"), "warn");
        for (nb::handle w : log_) {
            nb::object message = qrt::get(w, "message");
            warn(message);
        }
    }

private:
    void close() {
        if (!ctx_.is_valid()) return;
        nb::error_scope scope;
        nb::object r = nb::steal(PyObject_CallMethod(ctx_.ptr(), "__exit__", "OOO", Py_None, Py_None, Py_None));
        if (!r.is_valid()) PyErr_Clear();
        ctx_ = nb::object();
    }
    nb::object ctx_, log_;
};

// Evaluate a rule's tree; Bail when pandas must do it.
Val run(Evaluator &ev, Expr &root, std::optional<HeldWarnings> &held) {
    ev.analyze(root);
    if (ev.may_warn && !held) held.emplace();
    return ev.eval(root);
}

}  // namespace

namespace {
// Marks the rows where bad[i] is 1 and counts them.
template <class Bad>
size_t mark_rows(std::vector<std::uint8_t> &marks, size_t n, Bad &&bad) {
    marks.resize(n);
    std::uint8_t *m = marks.data();
    size_t count = 0;
    for (size_t i = 0; i < n; ++i) {
        std::uint8_t b = bad(i);
        count += b;
        m[i] |= b;
    }
    return count;
}
}  // namespace

namespace {

// log2 of an upper bound of |value| for a subtree made only of number
// literals (Python evaluates those with arbitrary-precision integers), or
// nullopt when the subtree involves a column or anything else.
std::optional<double> literal_magnitude(const Expr &e) {
    switch (e.kind) {
        case Expr::Number: {
            double v = std::strtod(e.text.c_str(), nullptr);
            if (e.text.find_first_of("xXoObB_") != std::string::npos) v = std::ldexp(1.0, 4 * static_cast<int>(e.text.size()));
            return std::log2(std::max(std::fabs(v), 1.0));
        }
        case Expr::Bool: return 0.0;
        case Expr::Unary: return e.op == '!' ? std::optional<double>() : literal_magnitude(*e.args[0]);
        case Expr::Binary: {
            auto a = literal_magnitude(*e.args[0]);
            auto b = literal_magnitude(*e.args[1]);
            if (!a || !b) return std::nullopt;
            switch (e.op) {
                case '+': case '-': return std::max(*a, *b) + 1;
                case '*': return *a + *b;
                case 'P': return *a <= 0 ? 0.0 : *a * std::exp2(std::min(*b, 1100.0));
                case '/': case 'F': case '%': return *a;
                default: return 1.0;  // comparisons and logic give booleans
            }
        }
        default: return std::nullopt;
    }
}

bool huge_power(const Expr &e) {
    if (e.kind == Expr::Binary && e.op == 'P') {
        auto m = literal_magnitude(e);
        if (m && *m > 1e6) return true;
    }
    for (const auto &a : e.args)
        if (huge_power(*a)) return true;
    return false;
}

}  // namespace

bool literal_power_too_large(const std::vector<Token> &tokens) {
    ExprPtr root = Parser(tokens).run();
    if (root) return huge_power(*root);
    // Not a shape parsed here: any power of a number or bracket is suspect.
    for (size_t k = 1; k < tokens.size(); ++k)
        if (tokens[k].kind == TokKind::Op && tokens[k].text == U"**" &&
            (tokens[k - 1].kind == TokKind::Number || tokens[k - 1].text == U")"))
            return true;
    return false;
}

bool Frame::expression(const std::vector<Token> &tokens, std::vector<std::uint8_t> &marks, std::size_t &count) {
    if (!native_allowed()) return false;
    ExprPtr root = Parser(tokens).run();
    if (!root) return false;
    std::optional<HeldWarnings> held;
    try {
        Evaluator ev(*this);
        Val v = run(ev, *root, held);
        if (v.kind == Val::Bool) {
            if (v.mask.has_na()) return false;  // pandas cannot turn NA into a bool
            if (held) held->release();
            const std::uint8_t *mv = v.mask.v.data();
            count = mark_rows(marks, rows_, [&](size_t i) { return static_cast<std::uint8_t>(mv[i] ^ 1); });
        } else if (v.kind == Val::Num || v.kind == Val::Masked) {
            if (v.kind == Val::Masked)
                for (size_t i = 0; i < rows_; ++i)
                    if (v.na[i]) return false;
            if (held) held->release();
            with_num(v.view, [&](const auto &x) {
                count = mark_rows(marks, rows_, [&](size_t i) { return static_cast<std::uint8_t>(x[i] == 0); });
            });
        } else {
            return false;
        }
        return true;
    } catch (const Bail &) {
        return false;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;  // pandas raises it too, or decides otherwise: its path reports it
    }
}

bool Frame::conditional(const std::vector<Token> &condition, const std::vector<Token> &consequence,
                        std::vector<std::uint8_t> &marks, std::size_t &count) {
    if (!native_allowed()) return false;
    ExprPtr cond = Parser(condition).run();
    ExprPtr cons = cond ? Parser(consequence).run() : nullptr;
    if (!cons) return false;
    std::optional<HeldWarnings> held;
    try {
        Evaluator ev(*this);
        Mask a = ev.to_mask(run(ev, *cond, held));
        Evaluator ev2(*this);
        Mask b = ev2.to_mask(run(ev2, *cons, held));
        if (!logic_supported(a, b)) return false;
        // condition & ~consequence with pandas' NA logic; NA rows do not count
        // (values are 0 where NA).
        if (held) held->release();
        const std::uint8_t *av = a.v.data(), *bv = b.v.data();
        if (b.has_na()) {
            const std::uint8_t *bn = b.na.data();
            count = mark_rows(marks, rows_,
                              [&](size_t i) { return static_cast<std::uint8_t>(av[i] & ~(bv[i] | bn[i]) & 1); });
        } else {
            count = mark_rows(marks, rows_, [&](size_t i) { return static_cast<std::uint8_t>(av[i] & (bv[i] ^ 1)); });
        }
        return true;
    } catch (const Bail &) {
        return false;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
}

// ---------------------------------------------------------------------------
// Batches of rules, one pass over the rows

struct BatchRule {
    BPtr a;  // the expression, or a conditional's condition
    BPtr b;  // a conditional's consequence
    bool reads_objects() const { return a->reads_objects || (b && b->reads_objects); }
    BatchRule clone() const { return BatchRule{a->clone(), b ? b->clone() : nullptr}; }
};

struct Batch {
    std::vector<BatchRule> rules;
};

Frame::~Frame() = default;

namespace {

// Rows per block: the columns of twenty rules fit in the L2 cache.
constexpr size_t kRowBlock = 4096;
// Tables of at least this many rows are split between two threads.
constexpr size_t kParallelRows = size_t(1) << 16;

// Two threads unless QUORVIX_RULE_THREADS=1 or the machine has one CPU.
unsigned rule_threads() {
    const char *env = std::getenv("QUORVIX_RULE_THREADS");
    if (env && std::strcmp(env, "1") == 0) return 1;
    return std::thread::hardware_concurrency() >= 2 ? 2 : 1;
}

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;

// The violating rows of a block, eight 0/1 bytes at a time: bad(a, b, c) of
// the rule's bytes, or-ed into the marks and counted (the bytes' sum is the
// top byte of the word times 0x0101...).
template <class Bad>
size_t or_bad(const std::uint8_t *a, const std::uint8_t *b, const std::uint8_t *c, size_t len, std::uint8_t *marks,
              Bad &&bad) {
    size_t count = 0, k = 0;
    for (; k + 8 <= len; k += 8) {
        std::uint64_t x, y = 0, z = 0, m;
        std::memcpy(&x, a + k, 8);
        if (b) std::memcpy(&y, b + k, 8);
        if (c) std::memcpy(&z, c + k, 8);
        const std::uint64_t w = bad(x, y, z);
        std::memcpy(&m, marks + k, 8);
        m |= w;
        std::memcpy(marks + k, &m, 8);
        count += static_cast<size_t>((w * kOnes) >> 56);
    }
    for (; k < len; ++k) {
        const std::uint64_t w = bad(a[k], b ? b[k] : 0, c ? c[k] : 0) & 1;
        marks[k] |= static_cast<std::uint8_t>(w);
        count += static_cast<size_t>(w);
    }
    return count;
}

// Rows [begin, end) (begin a multiple of the block size) of every rule: the
// violating rows are or-ed into marks and counted per rule. Throws Bail.
void run_blocks(std::vector<BatchRule> &rules, size_t begin, size_t end, std::uint8_t *marks,
                std::vector<size_t> &counts) {
    Scratch s(kRowBlock);
    std::uint8_t *v = s.push(), *na = s.push(), *v2 = s.push(), *na2 = s.push();
    for (size_t start = begin; start < end; start += kRowBlock) {
        const size_t len = std::min(kRowBlock, end - start);
        std::uint8_t *m = marks + start;
        for (size_t r = 0; r < rules.size(); ++r) {
            BatchRule &rule = rules[r];
            rule.a->run(start, len, v, rule.a->may_na ? na : nullptr, s);
            size_t count;
            if (!rule.b) {
                count = or_bad(v, nullptr, nullptr, len, m, [](std::uint64_t a, std::uint64_t, std::uint64_t) {
                    return a ^ kOnes;
                });
            } else {
                // condition & ~consequence with pandas' NA logic; NA rows do
                // not count (values are 0 where NA).
                rule.b->run(start, len, v2, rule.b->may_na ? na2 : nullptr, s);
                if (rule.b->may_na)
                    count = or_bad(v, v2, na2, len, m, [](std::uint64_t a, std::uint64_t b, std::uint64_t b_na) {
                        return a & ~(b | b_na) & kOnes;
                    });
                else
                    count = or_bad(v, v2, v2, len, m, [](std::uint64_t a, std::uint64_t b, std::uint64_t) {
                        return a & (b ^ kOnes);
                    });
            }
            counts[r] += count;
        }
    }
}

}  // namespace

namespace {

// Rows per share of work taken by a thread.
constexpr size_t kShareRows = 4 * kRowBlock;

// What the helper thread shares with the calling one. It lives as long as
// either holds it: the helper may only start (or notice there is nothing left)
// after the call has returned.
struct Shares {
    std::atomic<size_t> next{0};  // next share to take
    std::atomic<size_t> done{0};  // shares finished
    size_t total = 0;
};

// Two threads take shares of rows until none is left; the helper thread works
// on copies of the rules (their scratch buffers are its own) and its own
// counts, added up at the end, so the outcome is that of one thread whatever
// the split. A share taken is always finished (the caller waits for it); a
// helper that starts late, when the machine is busy, finds nothing left to do
// and its thread is not waited for. True when a rule bailed.
bool run_shared(std::vector<BatchRule> &rules, std::uint8_t *out, std::vector<size_t> &counts, size_t rows,
                bool keep_interpreter) {
    std::vector<BatchRule> copies;
    for (const BatchRule &r : rules) copies.push_back(r.clone());
    std::vector<size_t> helper_counts(rules.size(), 0);
    auto shares = std::make_shared<Shares>();
    shares->total = (rows + kShareRows - 1) / kShareRows;
    std::atomic<bool> bailed{false};
    std::exception_ptr error, helper_error;

    // Runs shares until none is left; only a taken share touches the caller's objects.
    // The pointers are followed only once a share is taken: a late helper
    // must not touch the caller's frame, which may be gone by then.
    auto work = [rows](Shares *sh, std::vector<BatchRule> *rs, std::uint8_t *marks, std::vector<size_t> *cs,
                       std::atomic<bool> *bail_flag, std::exception_ptr *err) {
        for (;;) {
            size_t k = sh->next.fetch_add(1);
            if (k >= sh->total) return;
            try {
                run_blocks(*rs, k * kShareRows, std::min(rows, (k + 1) * kShareRows), marks, *cs);
            } catch (const Bail &) {
                *bail_flag = true;
            } catch (...) {
                if (!*err) *err = std::current_exception();
            }
            sh->done.fetch_add(1);
        }
    };
    {
        std::optional<nb::gil_scoped_release> unlocked;
        if (!keep_interpreter) unlocked.emplace();
        try {
            std::shared_ptr<Shares> held = shares;
            std::vector<BatchRule> *rs = &copies;
            std::vector<size_t> *cs = &helper_counts;
            std::atomic<bool> *bf = &bailed;
            std::exception_ptr *err = &helper_error;
            std::thread([held, rs, cs, bf, err, out, work]() { work(held.get(), rs, out, cs, bf, err); }).detach();
        } catch (const std::system_error &) {
            // No thread to be had: this one does all the shares.
        }
        work(shares.get(), &rules, out, &counts, &bailed, &error);
        while (shares->done.load() < shares->total) std::this_thread::yield();
    }
    if (error) std::rethrow_exception(error);
    if (helper_error) std::rethrow_exception(helper_error);
    for (size_t r = 0; r < rules.size(); ++r) counts[r] += helper_counts[r];
    return bailed;
}

}  // namespace

bool Frame::add_expression(const std::vector<Token> &tokens) {
    if (!native_allowed()) return false;
    ExprPtr root = Parser(tokens).run();
    if (!root) return false;
    try {
        Evaluator ev(*this);
        ev.analyze(*root);
        BPtr node = ev.compile_mask(*root);
        // NA in the result: pandas raises turning it into bool; evaluated whole.
        if (!node || node->may_na) return false;
        if (!batch_) batch_ = std::make_unique<Batch>();
        batch_->rules.push_back(BatchRule{std::move(node), nullptr});
        return true;
    } catch (const Bail &) {
        return false;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
}

bool Frame::add_conditional(const std::vector<Token> &condition, const std::vector<Token> &consequence) {
    if (!native_allowed()) return false;
    ExprPtr cond = Parser(condition).run();
    ExprPtr cons = cond ? Parser(consequence).run() : nullptr;
    if (!cons) return false;
    try {
        Evaluator ev(*this);
        ev.analyze(*cond);
        BPtr a = ev.compile_mask(*cond);
        if (!a) return false;
        Evaluator ev2(*this);
        ev2.analyze(*cons);
        BPtr b = ev2.compile_mask(*cons);
        if (!b || (a->rep == Mask::Masked && b->rep == Mask::Arrow && b->may_na)) return false;
        if (!batch_) batch_ = std::make_unique<Batch>();
        batch_->rules.push_back(BatchRule{std::move(a), std::move(b)});
        return true;
    } catch (const Bail &) {
        return false;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
}

bool Frame::run_batch(std::vector<std::uint8_t> &marks, std::vector<std::size_t> &counts) {
    std::unique_ptr<Batch> batch = std::move(batch_);
    counts.clear();
    if (!batch || batch->rules.empty()) return true;
    std::vector<BatchRule> &rules = batch->rules;
    counts.assign(rules.size(), 0);
    // Marks go straight into `marks` when it holds none yet (cleared again if
    // the batch fails); otherwise into a buffer of their own, or-ed in at the end.
    std::vector<std::uint8_t> own;
    std::vector<std::uint8_t> *target = &marks;
    if (marks.empty()) {
        marks.assign(rows_, 0);
    } else {
        marks.resize(rows_);
        own.assign(rows_, 0);
        target = &own;
    }
    std::uint8_t *out = target->data();
    bool failed = false;
    if (rows_ < kParallelRows || rule_threads() < 2) {
        try {
            run_blocks(rules, 0, rows_, out, counts);
        } catch (const Bail &) {
            failed = true;
        }
    } else {
        bool objects = false;
        for (const BatchRule &r : rules) objects = objects || r.reads_objects();
        // str objects of object arrays are read in place: the interpreter
        // stays locked then, so that no other thread can replace them meanwhile.
        failed = run_shared(rules, out, counts, rows_, objects);
    }
    if (failed) {
        if (target == &marks) marks.clear();
        counts.clear();
        return false;
    }
    if (target == &own)
        for (size_t i = 0; i < rows_; ++i) marks[i] |= own[i];
    return true;
}

}  // namespace rulix
