// Tokenizer and allowlist for rule texts.
//
// Rules often come from configuration files, and pandas' expression evaluator
// can run arbitrary code when handed hostile text. Every rule text is therefore
// tokenized here first and checked against a small allowlist: column names,
// literals, comparison/arithmetic/boolean operators and pandas' math functions.
// Anything else (attribute access, calls, subscripts, assignments, '@' local
// references, f-strings, unknown names) refuses the rule before it is evaluated.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace rulix {

enum class TokKind {
    Column,    // a bare name that is a column label of the table
    Backtick,  // `name with spaces` (text holds the label)
    Keyword,   // and or not in True False
    Func,      // a math function name (always followed by '(')
    String,    // a string literal (text holds the literal as written)
    Number,    // a numeric literal (text as written)
    Op,        // operator or punctuation
};

struct Token {
    TokKind kind;
    std::u32string text;  // for Column and Backtick tokens: the column label
    size_t pos;           // offset of the token in the rule text (code points)
};

struct Tokenized {
    bool ok = false;
    std::string reason;  // why the text was refused, when !ok
    std::vector<Token> tokens;
    // The rule text with every whitespace character between tokens (line breaks,
    // tabs, form feeds) replaced by a space: what DataFrame.eval is given, so that
    // both evaluation paths read the same expression.
    std::u32string normalized;
};

// Resolves a name of the rule (bare when `backticked` is false) to a column
// label of the table, rewriting `name` to that label. Returns false when the
// name is not a column; `why` may then hold the reason.
using ColumnResolver = std::function<bool(std::u32string &name, bool backticked, std::string &why)>;

// Longest rule text accepted, in characters, and deepest bracket nesting.
constexpr size_t kMaxRuleLength = 10000;
constexpr size_t kMaxNesting = 100;

// Tokenize `text` and check every token against the allowlist. `resolve`
// tells whether a name is a string column label of the table being validated.
Tokenized tokenize_rule(const std::u32string &text, const ColumnResolver &resolve);

// UTF-8 encoding of a code-point string (for messages).
std::string to_utf8(const std::u32string &s);

}  // namespace rulix
