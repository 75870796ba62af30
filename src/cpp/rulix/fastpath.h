// Native evaluation of the common rule shapes.
//
// Rules made of comparisons between numeric/bool columns and numbers, joined by
// and / or / not (and & / |, which pandas' evaluator treats as and / or), are
// evaluated here directly on the columns' buffers instead of through
// DataFrame.eval. The results are identical to pandas': comparisons follow
// numpy's promotion (a float on either side compares in double precision,
// otherwise exactly as integers) and IEEE rules (NaN compares false, except
// with != where it compares true). Anything else is left to DataFrame.eval.
#pragma once

#include "rulix/tokenizer.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace rulix {

enum class CmpOp : std::uint8_t { Gt, Ge, Lt, Le, Eq, Ne };

struct Operand {
    bool is_column = false;
    std::u32string column;  // the label, when is_column
    std::string literal;    // the number as written (sign included), otherwise
};

struct Node {
    enum Kind : std::uint8_t { Cmp, And, Or, Not } kind;
    CmpOp op = CmpOp::Eq;
    Operand lhs, rhs;
    std::unique_ptr<Node> a, b;
};

// The tree of a supported rule shape, or nullptr.
std::unique_ptr<Node> compile(const std::vector<Token> &tokens);

// All column labels a tree refers to, in order of first use.
void columns_of(const Node &n, std::vector<std::u32string> &out);

// A column's values as the kernels read them: a strided buffer of one of the
// numpy types 'd' (float64), 'b' 'h' 'i' 'l' 'q' (signed), 'B' 'H' 'I' (unsigned
// up to 32 bits) or '?' (bool), as given by the buffer protocol.
struct ColumnView {
    const char *data = nullptr;
    std::ptrdiff_t stride = 0;
    char format = 0;
    std::size_t itemsize = 0;
};

// A literal resolved to its value: an integer (exactly representable in int64)
// or a double.
struct Literal {
    bool is_int = false;
    std::int64_t i = 0;
    double d = 0.0;
};

// Whether the kernels can read a buffer of this format and item size.
bool supported_format(char format, std::size_t itemsize);

// Whether an integer literal can be compared with a column of this format the
// way numpy does without leaving the column type's range (otherwise the rule is
// left to pandas).
bool int_literal_fits(const ColumnView &col, std::int64_t v);

// Callbacks the evaluator uses to reach columns and literals of the rule.
struct Inputs {
    virtual ~Inputs() = default;
    virtual const ColumnView &column(const std::u32string &label) = 0;
    virtual const Literal &literal(const std::string &text) = 0;
    // A mask buffer for the right operand of and / or at a nesting depth,
    // reused across rules so evaluation does not allocate per node.
    std::vector<std::uint8_t> &scratch(std::size_t depth);

private:
    std::deque<std::vector<std::uint8_t>> scratch_;  // stable references while growing
};

// Evaluate a tree over n rows into mask (one 0/1 byte per row).
void evaluate(const Node &n, Inputs &in, std::size_t rows, std::vector<std::uint8_t> &mask,
              std::size_t depth = 0);

}  // namespace rulix
