// See tokenizer.h. This file does not touch the interpreter except for the
// Unicode character classes used to recognise identifiers.
#include "rulix/tokenizer.h"

#include <Python.h>

#include <array>
#include <cstdio>

namespace rulix {

namespace {

bool is_space(char32_t c) { return c == ' ' || c == '\t' || c == '\f' || c == '\r' || c == '\n'; }
bool is_digit(char32_t c) { return c >= '0' && c <= '9'; }
bool is_ident_start(char32_t c) {
    if (c < 128) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    return Py_UNICODE_ISALPHA(static_cast<Py_UCS4>(c));
}
bool is_ident_char(char32_t c) {
    if (c < 128) return is_ident_start(c) || is_digit(c);
    return Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c));
}
bool is_quote(char32_t c) { return c == '\'' || c == '"'; }

const std::array<const char *, 6> kKeywords = {"and", "or", "not", "in", "True", "False"};
const std::array<const char *, 22> kMathFuncs = {
    "sin",     "cos",     "tan",     "exp",    "log",     "expm1", "log1p",  "sqrt",
    "sinh",    "cosh",    "tanh",    "arcsin", "arccos",  "arctan", "arccosh", "arcsinh",
    "arctanh", "abs",     "log10",   "floor",  "ceil",    "arctan2"};

bool equals_ascii(const std::u32string &s, const char *a) {
    size_t i = 0;
    for (; a[i]; ++i)
        if (i >= s.size() || s[i] != static_cast<char32_t>(a[i])) return false;
    return i == s.size();
}
template <size_t N>
bool one_of(const std::u32string &s, const std::array<const char *, N> &words) {
    for (const char *w : words)
        if (equals_ascii(s, w)) return true;
    return false;
}

// Operators the rule language allows, longest first where they share a prefix.
const std::array<const char *, 6> kTwoCharOps = {"**", "//", "<=", ">=", "==", "!="};
const char32_t kOneCharOps[] = U"+-*/%<>&|~()[],";

bool operand_end(const Token &t) {
    switch (t.kind) {
        case TokKind::Column:
        case TokKind::Backtick:
        case TokKind::String:
        case TokKind::Number: return true;
        case TokKind::Keyword: return equals_ascii(t.text, "True") || equals_ascii(t.text, "False");
        case TokKind::Op: return t.text == U")" || t.text == U"]";
        default: return false;
    }
}

std::string describe(char32_t c) {
    if (c == '\n') return "a line break";
    if (c < 32 || c == 127) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(c));
        return buf;
    }
    return "'" + to_utf8(std::u32string(1, c)) + "'";
}

class Scanner {
public:
    Scanner(const std::u32string &text, const ColumnResolver &resolve)
        : s_(text), resolve_(resolve) {}

    Tokenized run() {
        Tokenized out;
        if (s_.size() > kMaxRuleLength) {
            out.reason = "it is longer than " + std::to_string(kMaxRuleLength) + " characters";
            return out;
        }
        out.normalized = s_;
        while (i_ < s_.size()) {
            char32_t c = s_[i_];
            if (is_space(c)) {
                out.normalized[i_] = U' ';
                ++i_;
                continue;
            }
            bool ok;
            if (c == '`') ok = backtick();
            else if (is_quote(c)) ok = string_literal(i_);
            else if (is_digit(c) || (c == '.' && i_ + 1 < s_.size() && is_digit(s_[i_ + 1])))
                ok = number();
            else if (is_ident_start(c)) ok = name();
            else ok = op();
            if (!ok) {
                out.reason = reason_;
                return out;
            }
        }
        // A math function must be followed by '('.
        for (size_t k = 0; k < toks_.size(); ++k) {
            if (toks_[k].kind == TokKind::Func &&
                (k + 1 >= toks_.size() || toks_[k + 1].text != U"(")) {
                out.reason = "function '" + to_utf8(toks_[k].text) + "' is not called";
                return out;
            }
        }
        out.ok = true;
        out.tokens = std::move(toks_);
        return out;
    }

private:
    bool fail(std::string why) {
        reason_ = std::move(why);
        return false;
    }
    void push(TokKind k, size_t start, size_t end) {
        toks_.push_back(Token{k, s_.substr(start, end - start), start});
    }
    const Token *last() const { return toks_.empty() ? nullptr : &toks_.back(); }

    bool backtick() {
        size_t start = i_ + 1, j = start;
        while (j < s_.size() && s_[j] != '`') ++j;
        if (j >= s_.size()) return fail("unterminated backtick name");
        std::u32string label = s_.substr(start, j - start);
        std::string why;
        if (!resolve_(label, true, why))
            return fail(why.empty() ? "`" + to_utf8(s_.substr(start, j - start)) +
                                          "` is not a column of the table"
                                    : why);
        toks_.push_back(Token{TokKind::Backtick, label, i_});
        i_ = j + 1;
        return true;
    }

    // A string literal whose quote starts at q (a prefix, if any, starts at i_).
    bool string_literal(size_t q) {
        char32_t quote = s_[q];
        bool triple = q + 2 < s_.size() && s_[q + 1] == quote && s_[q + 2] == quote;
        size_t j = q + (triple ? 3 : 1);
        while (j < s_.size()) {
            char32_t c = s_[j];
            if (c == '\\') {
                j += 2;
                continue;
            }
            if (!triple && (c == '\n' || c == '\r')) break;
            if (c == quote) {
                if (!triple) {
                    push(TokKind::String, i_, j + 1);
                    i_ = j + 1;
                    return true;
                }
                if (j + 2 < s_.size() && s_[j + 1] == quote && s_[j + 2] == quote) {
                    push(TokKind::String, i_, j + 3);
                    i_ = j + 3;
                    return true;
                }
            }
            ++j;
        }
        return fail("unterminated string literal");
    }

    bool digits(bool (*pred)(char32_t)) {
        size_t start = i_;
        while (i_ < s_.size() && (pred(s_[i_]) || s_[i_] == '_')) ++i_;
        return i_ > start;
    }

    bool number() {
        size_t start = i_;
        auto dec = [](char32_t c) { return is_digit(c); };
        if (s_[i_] == '0' && i_ + 1 < s_.size() &&
            (s_[i_ + 1] == 'x' || s_[i_ + 1] == 'X' || s_[i_ + 1] == 'o' || s_[i_ + 1] == 'O' ||
             s_[i_ + 1] == 'b' || s_[i_ + 1] == 'B')) {
            i_ += 2;
            if (!digits([](char32_t c) {
                    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
                }))
                return fail("malformed number");
        } else {
            digits(dec);
            if (i_ < s_.size() && s_[i_] == '.') {
                ++i_;
                digits(dec);
            }
            if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
                ++i_;
                if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
                if (!digits(dec)) return fail("malformed number");
            }
            if (i_ < s_.size() && (s_[i_] == 'j' || s_[i_] == 'J')) ++i_;
        }
        if (i_ < s_.size() && (is_ident_char(s_[i_]) || s_[i_] == '.'))
            return fail("malformed number '" + to_utf8(s_.substr(start, i_ + 1 - start)) + "'");
        if (const Token *t = last(); t && operand_end(*t))
            return fail("two operands in a row near '" + to_utf8(s_.substr(start, i_ - start)) + "'");
        push(TokKind::Number, start, i_);
        return true;
    }

    bool name() {
        size_t start = i_;
        while (i_ < s_.size() && is_ident_char(s_[i_])) ++i_;
        std::u32string word = s_.substr(start, i_ - start);
        if (i_ < s_.size() && is_quote(s_[i_])) {
            if (word == U"r" || word == U"R" || word == U"u" || word == U"U") {
                size_t q = i_;
                i_ = start;
                return string_literal(q);
            }
            return fail("string prefix '" + to_utf8(word) + "' is not allowed");
        }
        if (one_of(word, kKeywords)) {
            push(TokKind::Keyword, start, i_);
            return true;
        }
        std::u32string label = word;
        std::string why;
        if (resolve_(label, false, why)) {
            toks_.push_back(Token{TokKind::Column, std::move(label), start});
            return true;
        }
        if (!why.empty()) return fail(why);
        if (one_of(word, kMathFuncs)) {
            push(TokKind::Func, start, i_);
            return true;
        }
        std::string w = to_utf8(word);
        if (word.size() >= 4 && word.compare(0, 2, U"__") == 0 &&
            word.compare(word.size() - 2, 2, U"__") == 0)
            return fail("name '" + w + "' is not allowed");
        return fail("unknown name '" + w + "' (not a column of the table)");
    }

    bool op() {
        char32_t c = s_[i_];
        if (i_ + 1 < s_.size()) {
            char32_t d = s_[i_ + 1];
            if ((c == '<' && d == '<') || (c == '>' && d == '>'))
                return fail("operator '" + to_utf8(s_.substr(i_, 2)) + "' is not allowed");
            for (const char *two : kTwoCharOps) {
                if (c == static_cast<char32_t>(two[0]) && d == static_cast<char32_t>(two[1])) {
                    push(TokKind::Op, i_, i_ + 2);
                    i_ += 2;
                    return true;
                }
            }
        }
        for (const char32_t *p = kOneCharOps; *p; ++p) {
            if (*p != c) continue;
            if (c == '(' || c == '[') {
                const Token *t = last();
                if (t && operand_end(*t))
                    return fail(c == '(' ? "calls are not allowed" : "subscripts are not allowed");
                if (++depth_ > kMaxNesting)
                    return fail("brackets nested deeper than " + std::to_string(kMaxNesting) +
                                " levels");
            } else if ((c == ')' || c == ']') && depth_ > 0) {
                --depth_;
            }
            push(TokKind::Op, i_, i_ + 1);
            ++i_;
            return true;
        }
        return fail("character " + describe(c) + " is not allowed");
    }

    const std::u32string &s_;
    const ColumnResolver &resolve_;
    size_t i_ = 0;
    size_t depth_ = 0;
    std::vector<Token> toks_;
    std::string reason_;
};

}  // namespace

std::string to_utf8(const std::u32string &s) {
    std::string out;
    out.reserve(s.size());
    for (char32_t c : s) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

Tokenized tokenize_rule(const std::u32string &text, const ColumnResolver &resolve) {
    return Scanner(text, resolve).run();
}

}  // namespace rulix
