// Native evaluation of rules on a table's column buffers.
//
// A rule that the allowlist admitted is parsed here into a syntax tree with the
// grammar pandas' expression evaluator gives it (& and | act as and / or, a
// chained comparison is an `and` of its parts) and evaluated column-wise with
// exactly the results DataFrame.eval gives:
//
//  * numbers: numpy columns of every integer width, bool, float32 and float64,
//    and the nullable Int*/UInt*/Float*/boolean columns (pd.NA). Comparisons run
//    in C++ on the buffers with numpy's promotion; arithmetic, math functions
//    and the comparisons C++ does not cover call numpy itself on the column
//    arrays with the scalars pandas would pass (Python numbers, or numpy
//    float32 where pandas narrows a literal), so promotion, overflow, rounding
//    and the SIMD kernels are numpy's own;
//  * text: object columns holding only str and missing values, the string
//    dtypes (Python or pyarrow storage, NaN or pd.NA as missing value) and
//    categoricals of str, compared with text literals, with lists of them
//    (`in`, and `==` which pandas turns into a membership test) and with
//    each other;
//  * datetime64 / timedelta64 columns compared with columns of the same dtype;
//  * and / or / not with pandas' three-valued logic when pd.NA is involved.
//
// Whatever is outside these shapes, and any case whose outcome pandas decides
// at run time in a way not mirrored here (an error, NA where a plain boolean is
// required, an integer division by zero), is handed back: the caller then uses
// DataFrame.eval for that rule.
#pragma once

#include "rulix/tokenizer.h"

#include <nanobind/nanobind.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace rulix {

namespace nb = nanobind;

struct Column;
struct Expr;
class BufferPool;
struct Batch;

// The code points of a Python str.
std::u32string to_u32(nb::handle s);

// Whether a rule raises numbers (not columns) to a power whose result would
// have more than a million bits: Python computes such integers exactly, on
// either path, which would take the process's memory and time.
bool literal_power_too_large(const std::vector<Token> &tokens);

// The columns of one table, loaded on first use for the rules of one validate call.
class Frame {
public:
    explicit Frame(nb::handle df);
    ~Frame();
    Frame(const Frame &) = delete;
    Frame &operator=(const Frame &) = delete;

    // Resolve a name of a rule the way pandas' evaluator does (identifiers are
    // NFKC-normalised, as Python's parser does) and tell whether it is a string
    // column label of the table. `name` is replaced by the label it denotes.
    // When a name cannot be resolved safely `why` explains it.
    bool resolve(std::u32string &name, bool backticked, std::string &why);

    // Whether rules may be evaluated natively on this table at all (plain
    // DataFrames only: a subclass may override eval).
    bool native_allowed();
    std::size_t rows() const { return rows_; }
    // The index as it was when the row count was taken. Positions flagged
    // natively are turned into labels through this index, held for the whole
    // call: a rule's callbacks may change the table in place.
    nb::handle index() const { return index_; }

    // An expression rule: on success every row that breaks it is marked with 1
    // in `marks` (one byte per row, other marks are kept) and `count` is the
    // number of such rows. False: let DataFrame.eval decide.
    bool expression(const std::vector<Token> &tokens, std::vector<std::uint8_t> &marks, std::size_t &count);
    // A conditional rule: violating rows are those where the condition holds and
    // the consequence does not.
    bool conditional(const std::vector<Token> &condition, const std::vector<Token> &consequence,
                     std::vector<std::uint8_t> &marks, std::size_t &count);

    // Rules evaluated together. A rule whose evaluation needs nothing of the
    // interpreter once compiled is added to the batch (true; otherwise false,
    // and nothing is added). run_batch evaluates every rule of the batch in one
    // pass over the rows (on two threads for long tables), marks their
    // violating rows in `marks` (one byte per row, other marks are kept), gives
    // each rule's count in the order the rules were added and empties the
    // batch. When run_batch returns false a rule could not be finished
    // natively (a malformed text buffer): nothing was marked, and the caller
    // evaluates the batch's rules one by one.
    bool add_expression(const std::vector<Token> &tokens);
    bool add_conditional(const std::vector<Token> &condition, const std::vector<Token> &consequence);
    bool run_batch(std::vector<std::uint8_t> &marks, std::vector<std::size_t> &counts);

    // Internal: a column by label (nullptr when it cannot be read natively).
    const Column *column(const std::u32string &label);
    // Internal: numpy, and numpy's errstate(all="ignore") context for array arithmetic.
    nb::handle numpy();
    nb::handle errstate();
    bool has_math_function(const std::u32string &name);
    BufferPool &pool() { return *pool_; }

private:
    nb::handle df_;
    nb::object index_;
    nb::object columns_obj_, numpy_, errstate_, mathops_;
    bool single_level_ = true;
    int native_ = -1;
    int backtick_clash_ = -1;
    std::size_t rows_ = 0;
    std::unordered_map<std::u32string, bool> names_;
    std::vector<std::u32string> label_forms_;  // [0] unused; text forms of non-string labels
    std::unordered_map<std::u32string, std::unique_ptr<Column>> columns_;
    std::unique_ptr<BufferPool> pool_;
    std::unique_ptr<Batch> batch_;
};

}  // namespace rulix
