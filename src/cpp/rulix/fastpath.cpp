// See fastpath.h.
#include "rulix/fastpath.h"

#include <cstring>
#include <functional>

namespace rulix {

namespace {

// ---------------------------------------------------------------------------
// Tokens to tree

class Parser {
public:
    explicit Parser(const std::vector<Token> &t) : t_(t) {}

    std::unique_ptr<Node> run() {
        auto n = parse_or();
        if (!n || i_ != t_.size()) return nullptr;
        return n;
    }

private:
    bool is_op(const char32_t *s) const {
        return i_ < t_.size() && t_[i_].kind == TokKind::Op && t_[i_].text == s;
    }
    bool is_kw(const char32_t *s) const {
        return i_ < t_.size() && t_[i_].kind == TokKind::Keyword && t_[i_].text == s;
    }
    static std::unique_ptr<Node> join(Node::Kind k, std::unique_ptr<Node> a, std::unique_ptr<Node> b) {
        auto n = std::make_unique<Node>();
        n->kind = k;
        n->a = std::move(a);
        n->b = std::move(b);
        return n;
    }

    // pandas' evaluator gives & and | the precedence of and / or.
    std::unique_ptr<Node> parse_or() {
        auto left = parse_and();
        while (left && (is_kw(U"or") || is_op(U"|"))) {
            ++i_;
            auto right = parse_and();
            if (!right) return nullptr;
            left = join(Node::Or, std::move(left), std::move(right));
        }
        return left;
    }

    std::unique_ptr<Node> parse_and() {
        auto left = parse_not();
        while (left && (is_kw(U"and") || is_op(U"&"))) {
            ++i_;
            auto right = parse_not();
            if (!right) return nullptr;
            left = join(Node::And, std::move(left), std::move(right));
        }
        return left;
    }

    std::unique_ptr<Node> parse_not() {
        if (is_kw(U"not")) {
            ++i_;
            auto inner = parse_not();
            if (!inner) return nullptr;
            return join(Node::Not, std::move(inner), nullptr);
        }
        if (is_op(U"(")) {
            ++i_;
            auto inner = parse_or();
            if (!inner || !is_op(U")")) return nullptr;
            ++i_;
            return inner;
        }
        return parse_cmp();
    }

    std::unique_ptr<Node> parse_cmp() {
        auto n = std::make_unique<Node>();
        n->kind = Node::Cmp;
        if (!operand(n->lhs) || !cmp_op(n->op) || !operand(n->rhs)) return nullptr;
        CmpOp ignored;
        if (cmp_op(ignored)) return nullptr;  // chained comparison
        if (!n->lhs.is_column && !n->rhs.is_column) return nullptr;
        return n;
    }

    bool cmp_op(CmpOp &op) {
        if (i_ >= t_.size() || t_[i_].kind != TokKind::Op) return false;
        const std::u32string &s = t_[i_].text;
        if (s == U">") op = CmpOp::Gt;
        else if (s == U">=") op = CmpOp::Ge;
        else if (s == U"<") op = CmpOp::Lt;
        else if (s == U"<=") op = CmpOp::Le;
        else if (s == U"==") op = CmpOp::Eq;
        else if (s == U"!=") op = CmpOp::Ne;
        else return false;
        ++i_;
        return true;
    }

    bool operand(Operand &o) {
        if (i_ >= t_.size()) return false;
        const Token &t = t_[i_];
        if (t.kind == TokKind::Column || t.kind == TokKind::Backtick) {
            o.is_column = true;
            o.column = t.text;
            ++i_;
            return true;
        }
        std::string sign;
        if (is_op(U"-") || is_op(U"+")) {
            sign = t.text == U"-" ? "-" : "";
            ++i_;
        }
        if (i_ >= t_.size() || t_[i_].kind != TokKind::Number) return false;
        std::string text = to_utf8(t_[i_].text);
        bool is_float = false;
        for (char c : text) {
            if (c == '.' || c == 'e' || c == 'E') is_float = true;
            else if (!(c >= '0' && c <= '9') && c != '_' && c != '+' && c != '-') return false;
        }
        // An integer literal with a leading zero ("007") is a syntax error for pandas.
        if (!is_float && text[0] == '0' && text.find_first_of("123456789") != std::string::npos)
            return false;
        o.is_column = false;
        o.literal = sign + text;
        ++i_;
        return true;
    }

    const std::vector<Token> &t_;
    size_t i_ = 0;
};

// ---------------------------------------------------------------------------
// Kernels

template <class T>
struct View {
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

template <class T>
struct Vec {
    const T *p;
    T operator[](size_t i) const { return p[i]; }
};

template <class D, class A, class B, class Op>
void loop(const A &a, const B &b, size_t n, std::uint8_t *out, Op op) {
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>(op(static_cast<D>(a[i]), static_cast<D>(b[i])));
}

template <class D, class A, class B>
void compare(const A &a, const B &b, CmpOp op, size_t n, std::uint8_t *out) {
    switch (op) {
        case CmpOp::Gt: loop<D>(a, b, n, out, std::greater<D>()); break;
        case CmpOp::Ge: loop<D>(a, b, n, out, std::greater_equal<D>()); break;
        case CmpOp::Lt: loop<D>(a, b, n, out, std::less<D>()); break;
        case CmpOp::Le: loop<D>(a, b, n, out, std::less_equal<D>()); break;
        case CmpOp::Eq: loop<D>(a, b, n, out, std::equal_to<D>()); break;
        case CmpOp::Ne: loop<D>(a, b, n, out, std::not_equal_to<D>()); break;
    }
}

// Calls f with a View/Contiguous of the column's C type.
template <class F>
void with_column(const ColumnView &c, F &&f) {
    bool contiguous = c.stride == static_cast<std::ptrdiff_t>(c.itemsize);
    auto go = [&](auto tag) {
        using T = decltype(tag);
        if (contiguous) f(Contiguous<T>{c.data});
        else f(View<T>{c.data, c.stride});
    };
    switch (c.format) {
        case 'd': go(double()); break;
        case '?': go(std::uint8_t()); break;
        case 'b': case 'h': case 'i': case 'l': case 'q':
            switch (c.itemsize) {
                case 1: go(std::int8_t()); break;
                case 2: go(std::int16_t()); break;
                case 4: go(std::int32_t()); break;
                default: go(std::int64_t()); break;
            }
            break;
        default:  // 'B' 'H' 'I' 'L' (up to 32 bits)
            switch (c.itemsize) {
                case 1: go(std::uint8_t()); break;
                case 2: go(std::uint16_t()); break;
                default: go(std::uint32_t()); break;
            }
            break;
    }
}

template <class D>
std::vector<D> materialize(const ColumnView &c, size_t n) {
    std::vector<D> out(n);
    with_column(c, [&](const auto &v) {
        for (size_t i = 0; i < n; ++i) out[i] = static_cast<D>(v[i]);
    });
    return out;
}

CmpOp flip(CmpOp op) {
    switch (op) {
        case CmpOp::Gt: return CmpOp::Lt;
        case CmpOp::Ge: return CmpOp::Le;
        case CmpOp::Lt: return CmpOp::Gt;
        case CmpOp::Le: return CmpOp::Ge;
        default: return op;
    }
}

void eval_cmp(const Node &n, Inputs &in, size_t rows, std::uint8_t *out) {
    const Operand *l = &n.lhs, *r = &n.rhs;
    CmpOp op = n.op;
    if (!l->is_column) {
        std::swap(l, r);
        op = flip(op);
    }
    const ColumnView &a = in.column(l->column);
    if (!r->is_column) {
        const Literal &lit = in.literal(r->literal);
        bool dbl = a.format == 'd' || !lit.is_int;
        with_column(a, [&](const auto &va) {
            if (dbl) compare<double>(va, Constant<double>{lit.is_int ? static_cast<double>(lit.i) : lit.d}, op, rows, out);
            else compare<std::int64_t>(va, Constant<std::int64_t>{lit.i}, op, rows, out);
        });
        return;
    }
    const ColumnView &b = in.column(r->column);
    bool dbl = a.format == 'd' || b.format == 'd';
    bool same = a.format == b.format && a.itemsize == b.itemsize &&
                a.stride == static_cast<std::ptrdiff_t>(a.itemsize) && b.stride == a.stride;
    if (same) {
        with_column(a, [&](const auto &va) {
            auto vb = va;
            vb.p = b.data;
            if (dbl) compare<double>(va, vb, op, rows, out);
            else compare<std::int64_t>(va, vb, op, rows, out);
        });
    } else if (dbl) {
        auto x = materialize<double>(a, rows), y = materialize<double>(b, rows);
        compare<double>(Vec<double>{x.data()}, Vec<double>{y.data()}, op, rows, out);
    } else {
        auto x = materialize<std::int64_t>(a, rows), y = materialize<std::int64_t>(b, rows);
        compare<std::int64_t>(Vec<std::int64_t>{x.data()}, Vec<std::int64_t>{y.data()}, op, rows, out);
    }
}

}  // namespace

std::unique_ptr<Node> compile(const std::vector<Token> &tokens) { return Parser(tokens).run(); }

void columns_of(const Node &n, std::vector<std::u32string> &out) {
    auto add = [&](const Operand &o) {
        if (!o.is_column) return;
        for (const auto &c : out)
            if (c == o.column) return;
        out.push_back(o.column);
    };
    if (n.kind == Node::Cmp) {
        add(n.lhs);
        add(n.rhs);
        return;
    }
    if (n.a) columns_of(*n.a, out);
    if (n.b) columns_of(*n.b, out);
}

std::vector<std::uint8_t> &Inputs::scratch(std::size_t depth) {
    while (scratch_.size() <= depth) scratch_.emplace_back();
    return scratch_[depth];
}

bool supported_format(char format, std::size_t itemsize) {
    switch (format) {
        case 'd': return itemsize == 8;
        case '?': return itemsize == 1;
        case 'b': case 'h': case 'i': case 'l': case 'q':
            return itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8;
        case 'B': case 'H': case 'I': case 'L':
            return itemsize == 1 || itemsize == 2 || itemsize == 4;
        default: return false;
    }
}

bool int_literal_fits(const ColumnView &col, std::int64_t v) {
    switch (col.format) {
        case 'd': case '?': return true;  // compared as float64 / default int
        case 'b': case 'h': case 'i': case 'l': case 'q': {
            if (col.itemsize >= 8) return true;
            std::int64_t hi = (std::int64_t(1) << (8 * col.itemsize - 1)) - 1;
            return v >= -hi - 1 && v <= hi;
        }
        default: {
            std::int64_t hi = (std::int64_t(1) << (8 * col.itemsize)) - 1;
            return v >= 0 && v <= hi;
        }
    }
}

void evaluate(const Node &n, Inputs &in, std::size_t rows, std::vector<std::uint8_t> &mask,
              std::size_t depth) {
    mask.resize(rows);
    switch (n.kind) {
        case Node::Cmp: eval_cmp(n, in, rows, mask.data()); return;
        case Node::Not:
            evaluate(*n.a, in, rows, mask, depth);
            for (auto &m : mask) m ^= 1;
            return;
        case Node::And:
        case Node::Or: {
            evaluate(*n.a, in, rows, mask, depth);
            std::vector<std::uint8_t> &other = in.scratch(depth);
            evaluate(*n.b, in, rows, other, depth + 1);
            if (n.kind == Node::And)
                for (size_t i = 0; i < rows; ++i) mask[i] &= other[i];
            else
                for (size_t i = 0; i < rows; ++i) mask[i] |= other[i];
            return;
        }
    }
}

}  // namespace rulix
