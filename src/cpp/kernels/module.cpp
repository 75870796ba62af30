// quorvix._kernels: numeric loops behind the metric classes.
//
// Private to the package. Each function reproduces, number for number, a
// computation the metric classes otherwise hand to numpy, scipy or pandas; the
// tests compare both ways on awkward inputs. The arrays are read while the
// interpreter lock is released, and the work is split over up to two threads
// when it is large enough to pay for them.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

template <class T, size_t D>
using In = nb::ndarray<const T, nb::ndim<D>, nb::c_contig, nb::device::cpu>;
using Out2 = nb::ndarray<nb::numpy, double, nb::ndim<2>>;

// Runs body(i) for i in [0, n) on up to two threads (the machine's cores);
// `work` is a rough operation count below which one thread is cheaper.
template <class F>
void parallel_for(size_t n, double work, F &&body) {
    unsigned threads = std::max(1u, std::min(2u, std::thread::hardware_concurrency()));
    if (threads < 2 || n < 2 || work < 2e5) {
        for (size_t i = 0; i < n; ++i) body(i);
        return;
    }
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i; (i = next.fetch_add(1)) < n;) body(i);
    };
    std::thread other(worker);
    worker();
    other.join();
}

// Hot loops written with vector types are compiled twice on x86-64: with
// AVX2 and fused multiply-add where the processor has them (chosen when the
// module loads), plain SSE2 otherwise.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__)
#define QUORVIX_WIDE_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define QUORVIX_WIDE_CLONES
#endif

#if defined(__BYTE_ORDER__) && defined(__ORDER_BIG_ENDIAN__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool kLittleEndian = false;
#else
constexpr bool kLittleEndian = true;
#endif

nb::ndarray<nb::numpy, double, nb::ndim<1>> new_vector(size_t n, double **data) {
    double *p = new double[std::max<size_t>(1, n)];
    nb::capsule owner(p, [](void *v) noexcept { delete[] static_cast<double *>(v); });
    *data = p;
    return nb::ndarray<nb::numpy, double, nb::ndim<1>>(p, {n}, owner);
}

Out2 new_matrix(size_t rows, size_t cols) {
    double *data = new double[std::max<size_t>(1, rows * cols)];
    nb::capsule owner(data, [](void *p) noexcept { delete[] static_cast<double *>(p); });
    return Out2(data, {rows, cols}, owner);
}

// ---------------------------------------------------------------------------
// Two-sample Kolmogorov–Smirnov statistics of resampled columns.
//
// For every column j the pooled values of both samples were sorted once:
// seq[j, t] is the t-th pooled value's row (a real row r < n_real, or the
// synthetic row t - n_real), and ends[j, t] is 1 where t is the last of a run
// of equal values. A resample is a list of row indices per sample; its KS
// statistic only needs how often each row was drawn, so each costs one pass
// over the pooled order instead of a sort.
//
// The statistic is computed as scipy.stats.ks_2samp computes it: at every
// pooled value, cdf1 - cdf2 with cdf = (values <= it) / n, in double; then
// min_s = clip(-min, 0, 1), max_s = max, and the statistic is min_s when
// min_s > max_s, else max_s. (plain_walk: always divide at every run's end,
// the way used for samples too large for the packed integers.) Inside a run of equal values the counts do not
// change, so the run's last position stands for all of it.
// The row indices come as int64 or, to halve what is read, as int32.
template <class Index>
Out2 ks_resampled(In<int32_t, 2> seq, In<uint8_t, 2> ends, int64_t n_real,
                  In<Index, 2> real_idx, In<Index, 2> synth_idx, bool plain_walk) {
    const size_t k = seq.shape(0), total = seq.shape(1);
    const size_t n_boot = real_idx.shape(0);
    const size_t n_r = real_idx.shape(1), n_s = synth_idx.shape(1);
    if (ends.shape(0) != k || ends.shape(1) != total)
        throw nb::value_error("seq and ends must have the same shape");
    if (n_real < 1 || static_cast<size_t>(n_real) != n_r || n_s < 1 || n_r + n_s != total)
        throw nb::value_error("the resamples must keep the sizes of the two samples");
    if (synth_idx.shape(0) != n_boot)
        throw nb::value_error("as many synthetic as real resamples are needed");
    const int32_t *sq = seq.data();
    for (size_t t = 0; t < k * total; ++t)
        if (sq[t] < 0 || static_cast<size_t>(sq[t]) >= total)
            throw nb::value_error("seq holds a row outside the samples");

    Out2 out = new_matrix(n_boot, k);
    double *res = out.data();
    std::atomic<bool> bad_index{false}, out_of_memory{false};
    {
        nb::gil_scoped_release unlocked;
        const uint8_t *en = ends.data();
        const Index *ri = real_idx.data(), *si = synth_idx.data();
        const double d1 = static_cast<double>(n_r), d2 = static_cast<double>(n_s);
        // When n1 * n2 * (n1 + 1) stays below 2^62 the walk adds one integer
        // per position, packed = key * (n1 + 1) + a with key = a * n2 - c * n1
        // (a, c: real and synthetic values counted so far; 0 <= a <= n1, so
        // packed orders as the pair (key, a)). The differences a/n1 - c/n2 of
        // two positions are ordered as their keys: distinct values lie at
        // least 1/(n1 n2) apart, far more than the rounding of the divisions
        // and the subtraction. So the walk compares integers and divides only
        // where the key reaches or ties its extreme so far (ties keep the
        // larger or smaller double, as a maximum over the doubles would).
        const bool packed_walk = !plain_walk && d1 * d2 * (d1 + 1.0) < 4.0e18;
        const int64_t n1 = static_cast<int64_t>(n_r), n2 = static_cast<int64_t>(n_s);
        const int64_t M = n1 + 1;
        // one resample at a time: its counts and steps, then one walk per column
        auto one_resample = [&](size_t b) {
            std::vector<int64_t> counts(total, 0);  // real rows, then synthetic rows
            for (size_t i = 0; i < n_r; ++i) {
                const int64_t r = static_cast<int64_t>(ri[b * n_r + i]);
                if (r < 0 || static_cast<size_t>(r) >= n_r) {
                    bad_index = true;
                    return;
                }
                ++counts[static_cast<size_t>(r)];
            }
            for (size_t i = 0; i < n_s; ++i) {
                const int64_t s = static_cast<int64_t>(si[b * n_s + i]);
                if (s < 0 || static_cast<size_t>(s) >= n_s) {
                    bad_index = true;
                    return;
                }
                ++counts[n_r + static_cast<size_t>(s)];
            }
            std::vector<int64_t> step;  // what each row adds to packed
            if (packed_walk) {
                step.resize(total);
                for (size_t i = 0; i < n_r; ++i) step[i] = counts[i] * n2 * M + counts[i];
                for (size_t i = n_r; i < total; ++i) step[i] = -counts[i] * n1 * M;
            }
            for (size_t j = 0; j < k; ++j) {
                const int32_t *order = sq + j * total;
                const uint8_t *last = en + j * total;
                double lo = std::numeric_limits<double>::infinity(), hi = -lo;
                if (packed_walk) {
                    int64_t packed = 0, lo_key = 0, hi_key = 0, below = 0, above = 0;
                    bool first = true;
                    for (size_t t = 0; t < total; ++t) {
                        packed += step[static_cast<size_t>(order[t])];
                        // strictly between the extremes: nothing to do
                        if (!last[t] || (!first && packed < above && packed >= below)) continue;
                        const int64_t key =
                            packed >= 0 ? packed / M : -((-packed + M - 1) / M);  // floor
                        const int64_t a = packed - key * M;
                        const int64_t c = (a * n2 - key) / n1;
                        const double diff = static_cast<double>(a) / d1 - static_cast<double>(c) / d2;
                        if (first || key > hi_key) {
                            hi_key = key;
                            hi = diff;
                        } else if (key == hi_key) {
                            hi = std::max(hi, diff);
                        }
                        if (first || key < lo_key) {
                            lo_key = key;
                            lo = diff;
                        } else if (key == lo_key) {
                            lo = std::min(lo, diff);
                        }
                        first = false;
                        above = hi_key * M;       // packed below this: key < hi_key
                        below = (lo_key + 1) * M; // packed from this on: key > lo_key
                    }
                } else {
                    int64_t a = 0, c = 0;
                    for (size_t t = 0; t < total; ++t) {
                        const size_t row = static_cast<size_t>(order[t]);
                        if (row < n_r)
                            a += counts[row];
                        else
                            c += counts[row];
                        if (last[t]) {
                            const double diff =
                                static_cast<double>(a) / d1 - static_cast<double>(c) / d2;
                            lo = std::min(lo, diff);
                            hi = std::max(hi, diff);
                        }
                    }
                }
                double min_s = std::min(1.0, std::max(0.0, -lo));
                res[b * k + j] = min_s > hi ? min_s : hi;
            }
        };

        // Resamples in groups of kGroup: each row's draw counts of a group's
        // resamples lie side by side in one byte each, so a walk over a
        // column's order reads them all with one access (one cache line for
        // the group instead of one per resample) and keeps one packed sum
        // and one pair of extremes per resample. Each packed sum is the very
        // integer of the walk above (a row adds count * (n2 M + 1) when real,
        // -count * n1 M when synthetic), so the statistics are the same.
        // A group where some row is drawn more than 255 times is walked one
        // resample at a time instead.
        if (!packed_walk) {
            parallel_for(n_boot, double(n_boot) * double(k) * double(total), one_resample);
        } else {
            constexpr size_t kGroup = 8;
            const size_t n_groups = (n_boot + kGroup - 1) / kGroup;
            std::vector<uint8_t> grouped(n_groups * total * kGroup, 0);
            // counted per group and sample (separate rows, so the two threads
            // never write the same bytes); wide_half: a count went past 255
            std::vector<uint8_t> wide_half(2 * n_groups, 0);
            parallel_for(2 * n_groups, double(n_boot) * double(total), [&](size_t task) {
                const size_t g = task / 2;
                const bool synth_half = task % 2 == 1;
                uint8_t *cnt = grouped.data() + g * total * kGroup + (synth_half ? n_r * kGroup : 0);
                const Index *idx = synth_half ? si : ri;
                const size_t n = synth_half ? n_s : n_r;
                const size_t lanes = std::min(kGroup, n_boot - g * kGroup);
                // each lane is counted into a compact array of its own first
                // (a small working set), and then the rows' bytes are
                // assembled from the lanes' arrays in one sequential pass
                thread_local std::vector<uint8_t> tally;
                try {
                    tally.assign(kGroup * n, 0);
                } catch (const std::bad_alloc &) {
                    out_of_memory = true;
                    return;
                }
                bool past_255 = false;
                for (size_t l = 0; l < lanes; ++l) {
                    const Index *drawn = idx + (g * kGroup + l) * n;
                    uint8_t *t = tally.data() + l * n;
                    for (size_t i = 0; i < n; ++i) {
                        const uint64_t r = static_cast<uint64_t>(static_cast<int64_t>(drawn[i]));
                        if (r >= n) {  // negative ones too
                            bad_index = true;
                            return;
                        }
                        uint8_t &c = t[r];
                        if (c == 255) past_255 = true;
                        else ++c;
                    }
                }
                const uint8_t *lane_tally[kGroup];
                for (size_t l = 0; l < kGroup; ++l) lane_tally[l] = tally.data() + l * n;
                for (size_t r = 0; r < n; ++r)
                    for (size_t l = 0; l < kGroup; ++l) cnt[r * kGroup + l] = lane_tally[l][r];
                if (past_255) wide_half[task] = 1;
            });
            std::vector<uint8_t> wide(n_groups, 0);
            for (size_t g = 0; g < n_groups; ++g) wide[g] = wide_half[2 * g] | wide_half[2 * g + 1];
            if (!bad_index) {
                const int64_t real_step = n2 * M + 1, synth_step = -n1 * M;
                parallel_for(n_groups * k, double(n_boot) * double(k) * double(total), [&](size_t task) {
                    const size_t g = task / k, j = task % k;
                    if (wide[g]) return;
                    const uint8_t *cnt = grouped.data() + g * total * kGroup;
                    const int32_t *order = sq + j * total;
                    const uint8_t *last = en + j * total;
                    int64_t packed[kGroup] = {}, lo_key[kGroup] = {}, hi_key[kGroup] = {};
                    // lanes between their extremes: below <= packed < below + width
                    int64_t below[kGroup] = {}, width[kGroup] = {};
                    double lo[kGroup], hi[kGroup];
                    for (size_t l = 0; l < kGroup; ++l) {
                        lo[l] = std::numeric_limits<double>::infinity();
                        hi[l] = -lo[l];
                    }
                    // as in the single walk: a key beyond (or tying) an extreme
                    // so far is divided out and compared as a double
                    auto reach = [&](size_t l, bool first) {
                        const int64_t p = packed[l];
                        const int64_t key = p >= 0 ? p / M : -((-p + M - 1) / M);  // floor
                        const int64_t a = p - key * M;
                        const int64_t c = (a * n2 - key) / n1;
                        const double diff = static_cast<double>(a) / d1 - static_cast<double>(c) / d2;
                        if (first || key > hi_key[l]) {
                            hi_key[l] = key;
                            hi[l] = diff;
                        } else if (key == hi_key[l]) {
                            hi[l] = std::max(hi[l], diff);
                        }
                        if (first || key < lo_key[l]) {
                            lo_key[l] = key;
                            lo[l] = diff;
                        } else if (key == lo_key[l]) {
                            lo[l] = std::min(lo[l], diff);
                        }
                        const int64_t above = hi_key[l] * M;  // packed below this: key < hi_key
                        below[l] = (lo_key[l] + 1) * M;      // packed from this on: key > lo_key
                        width[l] = above > below[l] ? above - below[l] : 0;
                    };
                    // up to the first run's end every lane starts its extremes
                    size_t t = 0;
                    for (; t < total; ++t) {
                        const size_t row = static_cast<size_t>(order[t]);
                        const uint8_t *c = cnt + row * kGroup;
                        const int64_t unit = row < n_r ? real_step : synth_step;
                        for (size_t l = 0; l < kGroup; ++l) packed[l] += static_cast<int64_t>(c[l]) * unit;
                        if (last[t]) {
                            for (size_t l = 0; l < kGroup; ++l) reach(l, true);
                            ++t;
                            break;
                        }
                    }
                    // Then blocks of kBlock positions. A block's real and
                    // synthetic counts are summed per lane (16-bit fields, four
                    // lanes to a word: at most 255 * kBlock each). Inside the
                    // block a lane's packed sum stays between packed - synthetic
                    // * n1 M and packed + real * (n2 M + 1); when that range
                    // lies strictly between the lane's extremes no position can
                    // reach one, and the block only moves the sum. Otherwise
                    // that lane walks the block position by position as above.
                    // (|packed| and those ranges stay below 2^62 + n1, so
                    // nothing overflows.)
                    //
                    // The sums of every block are taken first, in one pass that
                    // also visits the positions that end a block and a run: their
                    // values are values of the walk, so they widen the extremes
                    // before the blocks are tested (visiting a value twice, or out
                    // of order, leaves the extremes as they are). With the wider
                    // extremes far fewer blocks need the walk.
                    constexpr size_t kBlock = 32;
                    static_assert(255 * kBlock < 65536, "the 16-bit sums of a block could overflow");
                    constexpr uint64_t kEven = 0x00ff00ff00ff00ffULL;
                    const size_t n_blocks = t < total ? (total - t + kBlock - 1) / kBlock : 0;
                    // blocks are also taken eight at a time, as superblocks
                    constexpr size_t kSuper = 8;
                    const size_t n_supers = (n_blocks + kSuper - 1) / kSuper;
                    thread_local std::vector<uint16_t> sums;  // each thread its own
                    thread_local std::vector<uint32_t> super_sums;
                    try {
                        sums.resize(n_blocks * kGroup * 2);
                        super_sums.assign(n_supers * kGroup * 2, 0);
                    } catch (const std::bad_alloc &) {
                        out_of_memory = true;
                        return;
                    }
                    int64_t start_packed[kGroup];
                    std::copy(packed, packed + kGroup, start_packed);
                    for (size_t b = 0; b < n_blocks; ++b) {
                        const size_t start = t + b * kBlock, stop = std::min(total, start + kBlock);
                        uint64_t re = 0, ro = 0, se = 0, so = 0;
                        for (size_t u = start; u < stop; ++u) {
                            const size_t row = static_cast<size_t>(order[u]);
                            // the row read 64 positions on, fetched ahead
                            if (u + 64 < total)
                                __builtin_prefetch(cnt + static_cast<size_t>(order[u + 64]) * kGroup);
                            uint64_t w;
                            std::memcpy(&w, cnt + row * kGroup, sizeof w);
                            const uint64_t even = w & kEven, odd = (w >> 8) & kEven;
                            const uint64_t is_real = uint64_t(0) - static_cast<uint64_t>(row < n_r);
                            re += even & is_real;
                            ro += odd & is_real;
                            se += even & ~is_real;
                            so += odd & ~is_real;
                        }
                        uint16_t *bs = sums.data() + b * kGroup * 2;
                        for (size_t l = 0; l < kGroup; ++l) {
                            // byte l of the word (lane l) sits at bits 8 * l on a
                            // little-endian machine, at 56 - 8 * l otherwise
                            const size_t pos = kLittleEndian ? l : kGroup - 1 - l;
                            const unsigned shift = static_cast<unsigned>(16 * (pos >> 1));
                            bs[2 * l] = static_cast<uint16_t>(((pos & 1 ? ro : re) >> shift) & 0xffff);
                            bs[2 * l + 1] = static_cast<uint16_t>(((pos & 1 ? so : se) >> shift) & 0xffff);
                            super_sums[(b / kSuper * kGroup + l) * 2] += bs[2 * l];
                            super_sums[(b / kSuper * kGroup + l) * 2 + 1] += bs[2 * l + 1];
                            packed[l] += static_cast<int64_t>(bs[2 * l]) * real_step +
                                         static_cast<int64_t>(bs[2 * l + 1]) * synth_step;
                            if (last[stop - 1] && static_cast<uint64_t>(packed[l] - below[l]) >=
                                                      static_cast<uint64_t>(width[l]))
                                reach(l, false);  // beyond (or on) an extreme so far
                        }
                    }
                    std::copy(start_packed, start_packed + kGroup, packed);
                    // a lane skips a superblock, or a block, whose range lies
                    // strictly between its extremes; it walks the others
                    auto skips = [&](size_t l, int64_t real_count, int64_t synth_count) {
                        const int64_t up = real_count * real_step;
                        const int64_t down = synth_count * synth_step;  // <= 0
                        if (width[l] > 0 && packed[l] + down >= below[l] &&
                            packed[l] + up < below[l] + width[l]) {
                            packed[l] += up + down;
                            return true;
                        }
                        return false;
                    };
                    for (size_t l = 0; l < kGroup; ++l) {
                        for (size_t sb = 0; sb < n_supers; ++sb) {
                            const uint32_t *ss = super_sums.data() + (sb * kGroup + l) * 2;
                            if (skips(l, ss[0], ss[1])) continue;
                            const size_t last_block = std::min(n_blocks, (sb + 1) * kSuper);
                            for (size_t b = sb * kSuper; b < last_block; ++b) {
                                const uint16_t *bs = sums.data() + b * kGroup * 2;
                                if (skips(l, bs[2 * l], bs[2 * l + 1])) continue;
                                const size_t start = t + b * kBlock, stop = std::min(total, start + kBlock);
                                for (size_t u = start; u < stop; ++u) {
                                    const size_t row = static_cast<size_t>(order[u]);
                                    packed[l] += static_cast<int64_t>(cnt[row * kGroup + l]) *
                                                 (row < n_r ? real_step : synth_step);
                                    if (last[u] && static_cast<uint64_t>(packed[l] - below[l]) >=
                                                       static_cast<uint64_t>(width[l]))
                                        reach(l, false);
                                }
                            }
                        }
                    }
                    const size_t lanes = std::min(kGroup, n_boot - g * kGroup);
                    for (size_t l = 0; l < lanes; ++l) {
                        double min_s = std::min(1.0, std::max(0.0, -lo[l]));
                        res[(g * kGroup + l) * k + j] = min_s > hi[l] ? min_s : hi[l];
                    }
                });
                std::vector<size_t> single;
                for (size_t g = 0; g < n_groups; ++g)
                    if (wide[g])
                        for (size_t b = g * kGroup; b < std::min(n_boot, (g + 1) * kGroup); ++b)
                            single.push_back(b);
                parallel_for(single.size(), double(single.size()) * double(k) * double(total),
                             [&](size_t i) { one_resample(single[i]); });
            }
        }
    }
    if (bad_index) throw nb::value_error("a resample holds a row index outside its sample");
    if (out_of_memory) throw std::bad_alloc();
    return out;
}

// ---------------------------------------------------------------------------
// Spearman correlation matrix on pairwise-complete rows.
//
// The same numbers as pandas' DataFrame.corr(method="spearman",
// min_periods=minp) on a float table: for each pair of columns the rows where
// both are present (not NaN) are ranked within that pair (ties get the mean of
// their positions), and the Pearson correlation of the ranks is accumulated
// in row order: sum((rx - m)(ry - m)) / sqrt(sum((rx - m)^2) sum((ry - m)^2))
// with m = (nobs + 1) / 2. Fewer than minp rows, or a zero divisor, give NaN.
// Each column is sorted once; ranking a pair walks that order and skips the
// rows the other column lacks.
Out2 spearman_matrix(nb::ndarray<const double, nb::ndim<2>, nb::device::cpu> x, int64_t minp) {
    const size_t n = x.shape(0), k = x.shape(1);
    const int64_t s0 = x.stride(0), s1 = x.stride(1);
    const double *base = x.data();
    Out2 out = new_matrix(k, k);
    double *res = out.data();
    {
        nb::gil_scoped_release unlocked;
        auto at = [&](size_t row, size_t col) { return base[int64_t(row) * s0 + int64_t(col) * s1]; };
        // valid rows of every column, in order of their values (ties in row
        // order), and those values in that order
        std::vector<std::vector<uint32_t>> order(k);
        std::vector<std::vector<double>> sorted(k);
        std::vector<std::vector<uint8_t>> present(k, std::vector<uint8_t>(n));
        parallel_for(k, double(n) * double(k) * 20.0, [&](size_t j) {
            std::vector<std::pair<double, uint32_t>> items;
            items.reserve(n);
            for (size_t i = 0; i < n; ++i) {
                const double v = at(i, j);
                const bool ok = std::isfinite(v);  // as pandas: inf counts as missing
                present[j][i] = ok;
                if (ok) items.emplace_back(v, static_cast<uint32_t>(i));
            }
            // value, then row: the order of a stable sort by value
            std::sort(items.begin(), items.end(), [](const auto &a, const auto &b) {
                return a.first < b.first || (a.first == b.first && a.second < b.second);
            });
            order[j].resize(items.size());
            sorted[j].resize(items.size());
            for (size_t t = 0; t < items.size(); ++t) {
                sorted[j][t] = items[t].first;
                order[j][t] = items[t].second;
            }
        });

        const double nan = std::numeric_limits<double>::quiet_NaN();
        // A column with itself: every rank pairs with itself, so the sum of
        // products equals both sums of squares S and the value is
        // S / sqrt(S * S) = 1 (sqrt of a double's exact square is the
        // double), or NaN with fewer than minp rows or a constant column.
        for (size_t j = 0; j < k; ++j) {
            const std::vector<double> &v = sorted[j];
            const bool constant = v.empty() || v.front() == v.back();
            res[j * k + j] = (static_cast<int64_t>(v.size()) < minp || constant) ? nan : 1.0;
        }

        std::vector<std::pair<size_t, size_t>> pairs;
        for (size_t xi = 0; xi < k; ++xi)
            for (size_t yi = 0; yi < xi; ++yi) pairs.emplace_back(xi, yi);

        parallel_for(pairs.size(), double(pairs.size()) * double(n) * 4.0, [&](size_t p) {
            const size_t xi = pairs[p].first, yi = pairs[p].second;
            const uint8_t *px = present[xi].data(), *py = present[yi].data();
            // ranks within the pair's rows, stored by row
            std::vector<double> rx(n), ry(n);
            auto rank = [&](size_t col, const uint8_t *other, std::vector<double> &r) {
                const std::vector<uint32_t> &o = order[col];
                const std::vector<double> &vals = sorted[col];
                size_t pos = 0, start = 0;  // positions are 1-based ranks
                size_t first = 0;           // where the current group starts in o
                double prev = 0.0;
                bool open = false;
                auto flush = [&](size_t end) {
                    // positions start+1 .. pos share the mean rank
                    const double mean_rank = (double(start + 1) + double(pos)) / 2.0;
                    for (size_t t = first; t < end; ++t)
                        if (other[o[t]]) r[o[t]] = mean_rank;
                };
                for (size_t t = 0; t < o.size(); ++t) {
                    if (!other[o[t]]) continue;
                    const double v = vals[t];
                    if (open && v != prev) {
                        flush(t);
                        start = pos;
                        first = t;
                    }
                    if (!open) first = t;
                    open = true;
                    prev = v;
                    ++pos;
                }
                if (open) flush(o.size());
                return pos;
            };
            const size_t nobs = rank(xi, py, rx);
            rank(yi, px, ry);
            double value;
            if (static_cast<int64_t>(nobs) < minp) {
                value = nan;
            } else {
                const double mean = (double(nobs) + 1.0) / 2.0;
                double sumx = 0.0, sumxx = 0.0, sumyy = 0.0;
                for (size_t i = 0; i < n; ++i) {
                    if (!(px[i] && py[i])) continue;
                    const double vx = rx[i] - mean, vy = ry[i] - mean;
                    sumx += vx * vy;
                    sumxx += vx * vx;
                    sumyy += vy * vy;
                }
                const double divisor = std::sqrt(sumxx * sumyy);
                value = divisor != 0.0 ? sumx / divisor : nan;
            }
            res[xi * k + yi] = res[yi * k + xi] = value;
        });
    }
    return out;
}

// ---------------------------------------------------------------------------
// Two-sample KS statistic of two sorted samples.
//
// max |cdf_a(v) - cdf_b(v)| over every value v of either sample, with
// cdf(v) = (values <= v) / n in double, as numpy computes
// np.max(np.abs(searchsorted(a, pooled, "right") / a.size - ...)), by one walk
// through both sorted arrays instead of two binary searches per value.
double ks_sorted(In<double, 1> a, In<double, 1> b) {
    const size_t na = a.shape(0), nb = b.shape(0);
    if (na == 0 || nb == 0) throw nb::value_error("both samples need at least one value");
    const double *x = a.data(), *y = b.data();
    for (size_t i = 0; i < na; ++i)
        if (std::isnan(x[i]) || (i && x[i] < x[i - 1]))
            throw nb::value_error("the first sample must be sorted, without NaN");
    for (size_t j = 0; j < nb; ++j)
        if (std::isnan(y[j]) || (j && y[j] < y[j - 1]))
            throw nb::value_error("the second sample must be sorted, without NaN");
    nb::gil_scoped_release unlocked;
    const double da = static_cast<double>(na), db = static_cast<double>(nb);
    size_t i = 0, j = 0;
    double best = 0.0;
    while (i < na || j < nb) {
        const double v = j == nb || (i < na && x[i] <= y[j]) ? x[i] : y[j];
        while (i < na && x[i] <= v) ++i;
        while (j < nb && y[j] <= v) ++j;
        const double d = std::fabs(static_cast<double>(i) / da - static_cast<double>(j) / db);
        if (d > best) best = d;
    }
    return best;
}

// ---------------------------------------------------------------------------
// Binned frequencies of numeric columns.

// Whether x holds more than `limit` distinct values (x without NaN; -0.0 and
// 0.0 are one value, as for np.unique). Stops at the first value beyond it.
bool more_distinct_than(In<double, 1> x, int64_t limit) {
    if (limit < 0) return x.shape(0) > 0;
    const double *v = x.data();
    const size_t n = x.shape(0);
    nb::gil_scoped_release unlocked;
    std::vector<double> seen;
    seen.reserve(static_cast<size_t>(limit) + 1);
    for (size_t i = 0; i < n; ++i) {
        if (std::find(seen.begin(), seen.end(), v[i]) != seen.end()) continue;
        seen.push_back(v[i]);
        if (seen.size() > static_cast<size_t>(limit)) return true;
    }
    return false;
}

// Counts of x over the bins of sorted edges e_0 .. e_K: bin 0 below e_0, bin i
// (1 <= i <= K) for e_{i-1} <= v < e_i with the last inner bin closed on the
// right (v == e_K counts in bin K), bin K + 1 above e_K. The same counts as
// np.bincount of np.searchsorted(edges, x, side="right") with x == e_K moved
// to K, for x without NaN.
nb::ndarray<nb::numpy, int64_t, nb::ndim<1>> bin_counts(In<double, 1> x, In<double, 1> edges) {
    const size_t n = x.shape(0), m = edges.shape(0);
    if (m == 0) throw nb::value_error("at least one edge is needed");
    const double *v = x.data(), *e = edges.data();
    for (size_t i = 1; i < m; ++i)
        if (!(e[i - 1] <= e[i])) throw nb::value_error("the edges must be sorted, without NaN");
    int64_t *counts = new int64_t[m + 1]();
    nb::capsule owner(counts, [](void *p) noexcept { delete[] static_cast<int64_t *>(p); });
    {
        nb::gil_scoped_release unlocked;
        const double last = e[m - 1];
        if (m <= 64) {
            // few edges: count those <= v without branches (the same index
            // as upper_bound for sorted edges and a value that is not NaN)
            for (size_t i = 0; i < n; ++i) {
                const double x = v[i];
                size_t b = 0;
                for (size_t j = 0; j < m; ++j) b += e[j] <= x;
                if (x == last) b = m - 1;
                if (std::isnan(x)) b = m;  // upper_bound puts NaN past every edge
                ++counts[b];
            }
        } else {
            for (size_t i = 0; i < n; ++i) {
                size_t b = static_cast<size_t>(std::upper_bound(e, e + m, v[i]) - e);
                if (v[i] == last) b = m - 1;
                ++counts[b];
            }
        }
    }
    return nb::ndarray<nb::numpy, int64_t, nb::ndim<1>>(counts, {m + 1}, owner);
}

// heap holds the kk smallest numbers offered so far, the largest on top.
inline void keep_smallest(std::vector<double> &heap, size_t kk, double d) {
    if (heap.size() < kk) {
        heap.push_back(d);
        std::push_heap(heap.begin(), heap.end());
    } else if (d < heap.front()) {
        std::pop_heap(heap.begin(), heap.end());
        heap.back() = d;
        std::push_heap(heap.begin(), heap.end());
    }
}

// ---------------------------------------------------------------------------
// k-th nearest squared distances from a block of inner products.
//
// For query i and reference j the squared distance is computed as numpy
// computes a_sq[:, None] + b_sq[None, :] - 2.0 * gram followed by
// np.maximum(d2, 0.0): (a_sq[i] + b_sq[j]) - 2.0 * gram[i, j], negatives
// raised to 0. Reference exclude[i] (when >= 0) counts as infinitely far.
// The result is the k-th smallest per row counting repeats, as
// np.partition(d2, k - 1, axis=1)[:, k - 1] gives it: NaN sorts after every
// number, so a row with fewer than k numbers gives NaN.
nb::ndarray<nb::numpy, double, nb::ndim<1>> kth_nearest(In<double, 2> gram, In<double, 1> a_sq,
                                                       In<double, 1> b_sq, int64_t k,
                                                       In<int64_t, 1> exclude) {
    const size_t rows = gram.shape(0), m = gram.shape(1);
    if (a_sq.shape(0) != rows || b_sq.shape(0) != m)
        throw nb::value_error("the squared norms do not match the block");
    if (k < 1 || static_cast<size_t>(k) > m) throw nb::value_error("k is out of range");
    const bool has_exclude = exclude.shape(0) != 0;
    if (has_exclude && exclude.shape(0) != rows)
        throw nb::value_error("exclude needs one entry per row");
    double *result = new double[std::max<size_t>(1, rows)];
    nb::capsule owner(result, [](void *p) noexcept { delete[] static_cast<double *>(p); });
    {
        nb::gil_scoped_release unlocked;
        const double *g = gram.data(), *as = a_sq.data(), *bs = b_sq.data();
        const int64_t *ex = has_exclude ? exclude.data() : nullptr;
        const size_t kk = static_cast<size_t>(k);
        const double nan = std::numeric_limits<double>::quiet_NaN();
        std::vector<double> heap;  // the kk smallest so far, largest on top
        heap.reserve(kk);
        for (size_t i = 0; i < rows; ++i) {
            heap.clear();
            const double *gi = g + i * m;
            const int64_t skip = ex ? ex[i] : -1;
            size_t numbers = 0;
            for (size_t j = 0; j < m; ++j) {
                double d = (as[i] + bs[j]) - 2.0 * gi[j];
                if (d < 0.0) d = 0.0;
                if (static_cast<int64_t>(j) == skip) d = std::numeric_limits<double>::infinity();
                if (std::isnan(d)) continue;
                ++numbers;
                keep_smallest(heap, kk, d);
            }
            result[i] = numbers < kk ? nan : heap.front();
        }
    }
    return nb::ndarray<nb::numpy, double, nb::ndim<1>>(result, {rows}, owner);
}

// Log of a Gaussian kernel sum per query: for row i,
//   log(sum_j exp(-d2[i, j] / divisor)),
// d2 computed from the inner products as in kth_nearest. As scipy's logsumexp
// does, the largest exponent x_max is taken out first: log(sum_j exp(x_j -
// x_max)) + x_max. Terms with x_j - x_max below -(60 ln 2 + ln m) are left
// out: together they weigh less than 2^-60 of the sum (whose largest term is
// 1), so leaving them out changes at most the last bit of the sum, while with
// a narrow kernel almost every term is such a term and its exp is never
// computed. The terms are added in row order (scipy's numpy sum adds them
// pairwise), so the result may differ from scipy's in the last few bits.
// NaN in a row gives NaN; a row of -inf exponents gives -inf.
nb::ndarray<nb::numpy, double, nb::ndim<1>> kernel_log_sums(In<double, 2> gram, In<double, 1> a_sq,
                                                           In<double, 1> b_sq, double divisor) {
    const size_t rows = gram.shape(0), m = gram.shape(1);
    if (a_sq.shape(0) != rows || b_sq.shape(0) != m)
        throw nb::value_error("the squared norms do not match the block");
    if (!(divisor > 0.0)) throw nb::value_error("the divisor must be positive");
    double *result = new double[std::max<size_t>(1, rows)];
    nb::capsule owner(result, [](void *p) noexcept { delete[] static_cast<double *>(p); });
    {
        nb::gil_scoped_release unlocked;
        const double *g = gram.data(), *as = a_sq.data(), *bs = b_sq.data();
        const double cutoff = -(60.0 * std::log(2.0) + std::log(static_cast<double>(std::max<size_t>(1, m))));
        const double nan = std::numeric_limits<double>::quiet_NaN();
        std::vector<double> x(m);
        for (size_t i = 0; i < rows; ++i) {
            const double *gi = g + i * m;
            double top = -std::numeric_limits<double>::infinity();
            bool has_nan = false;
            for (size_t j = 0; j < m; ++j) {
                double d = (as[i] + bs[j]) - 2.0 * gi[j];
                if (d < 0.0) d = 0.0;
                const double v = -d / divisor;
                has_nan |= std::isnan(v);
                x[j] = v;
                top = v > top ? v : top;
            }
            if (has_nan || m == 0) {
                result[i] = m == 0 ? -std::numeric_limits<double>::infinity() : nan;
                continue;
            }
            if (!std::isfinite(top)) {  // every exponent -inf (or +inf on top)
                result[i] = top;
                continue;
            }
            double sum = 0.0;
            for (size_t j = 0; j < m; ++j) {
                const double t = x[j] - top;
                if (t >= cutoff) sum += std::exp(t);
            }
            result[i] = std::log(sum) + top;
        }
    }
    return nb::ndarray<nb::numpy, double, nb::ndim<1>>(result, {rows}, owner);
}

// Squared distances in place of the inner products: gram[i, j] becomes
// max((a_sq[i] + b_sq[j]) - 2.0 * gram[i, j], 0), the numbers numpy gives for
// np.maximum(a_sq[:, None] + b_sq[None, :] - 2.0 * gram, 0.0) (NaN stays NaN),
// without the three temporary matrices.
void sq_distances_in_place(nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu> gram,
                           In<double, 1> a_sq, In<double, 1> b_sq) {
    const size_t rows = gram.shape(0), m = gram.shape(1);
    if (a_sq.shape(0) != rows || b_sq.shape(0) != m)
        throw nb::value_error("the squared norms do not match the block");
    nb::gil_scoped_release unlocked;
    double *g = gram.data();
    const double *as = a_sq.data(), *bs = b_sq.data();
    for (size_t i = 0; i < rows; ++i) {
        double *gi = g + i * m;
        for (size_t j = 0; j < m; ++j) {
            const double d = (as[i] + bs[j]) - 2.0 * gi[j];
            gi[j] = d < 0.0 ? 0.0 : d;  // np.maximum(d, 0.0): NaN stays NaN
        }
    }
}

// Whether each query lies within the squared radius limit[j] of some reference
// j: d2 <= limit[j] for d2 computed as in kth_nearest (no exclusion). Stops at
// the first reference that holds the query.
nb::ndarray<nb::numpy, bool, nb::ndim<1>> any_within(In<double, 2> gram, In<double, 1> a_sq,
                                                    In<double, 1> b_sq, In<double, 1> limit) {
    const size_t rows = gram.shape(0), m = gram.shape(1);
    if (a_sq.shape(0) != rows || b_sq.shape(0) != m || limit.shape(0) != m)
        throw nb::value_error("the squared norms and limits do not match the block");
    bool *result = new bool[std::max<size_t>(1, rows)];
    nb::capsule owner(result, [](void *p) noexcept { delete[] static_cast<bool *>(p); });
    {
        nb::gil_scoped_release unlocked;
        const double *g = gram.data(), *as = a_sq.data(), *bs = b_sq.data(), *lim = limit.data();
        for (size_t i = 0; i < rows; ++i) {
            const double *gi = g + i * m;
            bool inside = false;
            for (size_t j = 0; j < m && !inside; ++j) {
                double d = (as[i] + bs[j]) - 2.0 * gi[j];
                if (d < 0.0) d = 0.0;
                inside = d <= lim[j];
            }
            result[i] = inside;
        }
    }
    return nb::ndarray<nb::numpy, bool, nb::ndim<1>>(result, {rows}, owner);
}

// Both k-NN support questions about one block of distances at once. The block
// holds support rows i and points j (gram[i, j] = support_i . point_j); d2 is
// computed as in kth_nearest. Returns, per support row, the smallest d2 over
// the points (NaN skipped; NaN when the row has none: kth_nearest with k = 1)
// and, per point, whether d2 <= limit[i] for some row i of the block
// (any_within seen from the other side).
nb::tuple nearest_and_within(In<double, 2> gram, In<double, 1> a_sq, In<double, 1> b_sq,
                             In<double, 1> limit) {
    const size_t rows = gram.shape(0), m = gram.shape(1);
    if (a_sq.shape(0) != rows || b_sq.shape(0) != m || limit.shape(0) != rows)
        throw nb::value_error("the squared norms and limits do not match the block");
    double *nearest = new double[std::max<size_t>(1, rows)];
    nb::capsule nearest_owner(nearest, [](void *p) noexcept { delete[] static_cast<double *>(p); });
    bool *within = new bool[std::max<size_t>(1, m)]();
    nb::capsule within_owner(within, [](void *p) noexcept { delete[] static_cast<bool *>(p); });
    {
        nb::gil_scoped_release unlocked;
        const double *g = gram.data(), *as = a_sq.data(), *bs = b_sq.data(), *lim = limit.data();
        const double inf = std::numeric_limits<double>::infinity();
        for (size_t i = 0; i < rows; ++i) {
            const double *gi = g + i * m;
            double best = inf;
            bool any_number = false;
            for (size_t j = 0; j < m; ++j) {
                double d = (as[i] + bs[j]) - 2.0 * gi[j];
                if (d < 0.0) d = 0.0;
                if (d <= lim[i]) within[j] = true;
                if (d == d) {
                    any_number = true;
                    best = d < best ? d : best;
                }
            }
            nearest[i] = any_number ? best : std::numeric_limits<double>::quiet_NaN();
        }
    }
    return nb::make_tuple(nb::ndarray<nb::numpy, double, nb::ndim<1>>(nearest, {rows}, nearest_owner),
                          nb::ndarray<nb::numpy, bool, nb::ndim<1>>(within, {m}, within_owner));
}

// ---------------------------------------------------------------------------
// Gower nearest neighbours.
//
// For each query row, the smallest over the reference rows of
//   sum_j min(|q_num[j] - r_num[j]|, 1) + sum_j (q_cat[j] != r_cat[j])
// accumulated in float32 in this order (numeric columns, then categorical),
// as the numpy blocks of the DCR metric accumulate it; reference exclude[i]
// (numpy's indexing: a negative index counts from the end) is skipped. As
// np.min gives it, a NaN sum makes the answer NaN.
//
// The references are rearranged in panels of eight rows, column by column,
// so that eight sums build up side by side in one vector register per
// query, four queries sharing each panel value read.

typedef float v8f __attribute__((vector_size(32)));
typedef int32_t v8i __attribute__((vector_size(32)));
constexpr size_t kGowerPanel = 8;

struct GowerInput {
    const float *q_num;
    const int32_t *q_cat;
    const float *r_num;     // panels: [panel][column][8]
    const int32_t *r_cat;   // panels: [panel][column][8]
    const size_t *skip;     // per query; m: nothing to skip
    size_t m, panels, a, b;
};

// Answers for queries [i0, i0 + nq), nq <= 4.
QUORVIX_WIDE_CLONES
void gower_group(const GowerInput &g, size_t i0, size_t nq, double *result) {
    const size_t a = g.a, b = g.b;
    const float inf = std::numeric_limits<float>::infinity();
    v8f low[4], one, zero = {};
    v8i nan_seen[4] = {};
    for (size_t l = 0; l < kGowerPanel; ++l) one[l] = 1.0f;
    for (size_t q = 0; q < 4; ++q)
        for (size_t l = 0; l < kGowerPanel; ++l) low[q][l] = inf;
    const size_t qi[4] = {i0, i0 + (nq > 1 ? 1 : 0), i0 + (nq > 2 ? 2 : 0), i0 + (nq > 3 ? 3 : 0)};
    for (size_t p = 0; p < g.panels; ++p) {
        v8f acc[4] = {};
        const float *rn = g.r_num + p * a * kGowerPanel;
        for (size_t j = 0; j < a; ++j) {
            v8f r;
            std::memcpy(&r, rn + j * kGowerPanel, sizeof r);
            for (size_t q = 0; q < 4; ++q) {
                v8f t = g.q_num[qi[q] * a + j] - r;
                t = t < zero ? -t : t;   // fabs; NaN stays NaN
                t = t > one ? one : t;   // np.minimum(t, 1.0): NaN stays NaN
                acc[q] += t;
            }
        }
        const int32_t *rc = g.r_cat + p * b * kGowerPanel;
        for (size_t j = 0; j < b; ++j) {
            v8i r;
            std::memcpy(&r, rc + j * kGowerPanel, sizeof r);
            for (size_t q = 0; q < 4; ++q) acc[q] += r != g.q_cat[qi[q] * b + j] ? one : zero;
        }
        const size_t first = p * kGowerPanel;
        for (size_t q = 0; q < nq; ++q) {
            v8f v = acc[q];
            const size_t skip = g.skip[qi[q]];
            if (skip >= first && skip < first + kGowerPanel) v[skip - first] = inf;
            if (first + kGowerPanel > g.m)  // the padding rows of the last panel
                for (size_t l = g.m - first; l < kGowerPanel; ++l) v[l] = inf;
            nan_seen[q] |= v != v;
            low[q] = v < low[q] ? v : low[q];
        }
    }
    for (size_t q = 0; q < nq; ++q) {
        bool nan = false;
        float best = low[q][0];
        for (size_t l = 0; l < kGowerPanel; ++l) {
            nan |= nan_seen[q][l] != 0;
            best = low[q][l] < best ? low[q][l] : best;
        }
        result[i0 + q] = nan ? std::numeric_limits<double>::quiet_NaN() : static_cast<double>(best);
    }
}

nb::ndarray<nb::numpy, double, nb::ndim<1>> gower_nearest(In<float, 2> q_num, In<int32_t, 2> q_cat,
                                                         In<float, 2> r_num, In<int32_t, 2> r_cat,
                                                         In<int64_t, 1> exclude) {
    const size_t n = q_num.shape(0), m = r_num.shape(0);
    const size_t a = q_num.shape(1), b = q_cat.shape(1);
    if (q_cat.shape(0) != n || r_cat.shape(0) != m || r_num.shape(1) != a || r_cat.shape(1) != b)
        throw nb::value_error("the query and reference blocks do not match");
    if (m == 0) throw nb::value_error("no reference row");
    const bool has_exclude = exclude.shape(0) != 0;
    if (has_exclude && exclude.shape(0) != n) throw nb::value_error("exclude needs one entry per query");
    std::vector<size_t> skip(n, m);  // m: nothing to skip
    if (has_exclude) {
        const int64_t *excluded = exclude.data();
        for (size_t i = 0; i < n; ++i) {
            int64_t e = excluded[i];
            if (e < 0) e += static_cast<int64_t>(m);
            if (e < 0 || e >= static_cast<int64_t>(m))
                throw nb::index_error("exclude holds a row outside the reference");
            skip[i] = static_cast<size_t>(e);
        }
    }
    const size_t panels = (m + kGowerPanel - 1) / kGowerPanel;
    std::vector<float> rnp(panels * a * kGowerPanel, 0.0f);
    std::vector<int32_t> rcp(panels * b * kGowerPanel, 0);
    double *result;
    auto out = new_vector(n, &result);
    {
        nb::gil_scoped_release unlocked;
        const float *rn = r_num.data();
        const int32_t *rc = r_cat.data();
        for (size_t r = 0; r < m; ++r) {
            const size_t p = r / kGowerPanel, l = r % kGowerPanel;
            for (size_t j = 0; j < a; ++j) rnp[(p * a + j) * kGowerPanel + l] = rn[r * a + j];
            for (size_t j = 0; j < b; ++j) rcp[(p * b + j) * kGowerPanel + l] = rc[r * b + j];
        }
        const GowerInput g{q_num.data(), q_cat.data(), rnp.data(), rcp.data(), skip.data(),
                           m, panels, a, b};
        const size_t groups = (n + 3) / 4;
        parallel_for(groups, double(n) * double(m) * double(a + b + 1), [&](size_t k) {
            gower_group(g, 4 * k, std::min<size_t>(4, n - 4 * k), result);
        });
    }
    return out;
}

// ---------------------------------------------------------------------------
// Distances in the encoder's layout, without a matrix of inner products.
//
// An encoded row is a few dense columns followed by one-hot blocks that each
// hold one entry w (see quorvix.evaluation.metrics._prep.Encoded). Its inner
// product with another row is the dense columns' product plus w * w for every
// block whose hot slots agree, plus 1 for every missing-value indicator set
// in both rows. Here each side comes as its dense part (rows x n_dense), the
// hot slot of every block (rows x n_blocks bytes) and its indicators (rows x
// n_flags bytes, 0 or 1), and the squared distances d2 = max((a_sq[i] + b_sq[j]) - 2 * product, 0) are made
// for a few queries at a time over every reference row, in tiles that stay
// in the core's cache, and handed on row by row. Nothing of the size
// queries x references is ever stored, and the reference data are read once
// per group of queries instead of once per query.
//
// The products are summed in another order than numpy's (dense columns in
// order, then the agreeing blocks' count times w * w, then the shared
// indicators), so they agree with the plain products up to rounding.

struct LayoutSides {
    const double *q_dense;    // queries, row-major
    const double *r_panels;   // references in panels of kPanel rows, column-major inside
    const uint8_t *q_slots;   // queries, row-major
    const uint8_t *r_slots_t; // references, column-major (n_blocks x m_padded)
    const uint8_t *q_flags;   // queries, row-major
    const uint8_t *r_flags_t; // references, column-major (n_flags x m_padded)
    const double *a_sq, *b_sq;
    size_t n_q, m, m_padded, n_dense, n_blocks, n_flags;
    double weight;
};

constexpr size_t kLayoutQueries = 16;  // queries per group (a multiple of 4)
constexpr size_t kLayoutTile = 512;    // references per tile (a multiple of kPanel)
constexpr size_t kPanel = 8;           // references per panel

typedef double v4d __attribute__((vector_size(32)));

// Squared distances of queries [i0, i0 + nq) (nq <= kLayoutQueries) to every
// reference, into rows[q * m_padded + j]. `scratch` holds kLayoutQueries *
// n_dense doubles (the group's dense parts, padded with zero rows).
QUORVIX_WIDE_CLONES
void layout_sq_distances(const LayoutSides &s, size_t i0, size_t nq, double *rows,
                         double *scratch) {
    const size_t m = s.m, mp = s.m_padded, nd = s.n_dense, nb = s.n_blocks, nf = s.n_flags;
    const size_t groups = (nq + 3) / 4;
    std::memcpy(scratch, s.q_dense + i0 * nd, nq * nd * sizeof(double));
    std::memset(scratch + nq * nd, 0, (groups * 4 - nq) * nd * sizeof(double));
    uint8_t cnt[kLayoutTile], shared[kLayoutTile];
    for (size_t j0 = 0; j0 < mp; j0 += kLayoutTile) {
        const size_t jt = std::min(kLayoutTile, mp - j0);
        // dense products: four queries by one panel at a time, the sums in
        // registers through the dense columns
        for (size_t g = 0; g < groups; ++g) {
            const double *q0 = scratch + 4 * g * nd, *q1 = q0 + nd, *q2 = q1 + nd, *q3 = q2 + nd;
            double *o = rows + 4 * g * mp;
            for (size_t jb = j0; jb < j0 + jt; jb += kPanel) {
                v4d a00{}, a01{}, a10{}, a11{}, a20{}, a21{}, a30{}, a31{};
                const double *r = s.r_panels + jb * nd;
                for (size_t d = 0; d < nd; ++d, r += kPanel) {
                    v4d r0, r1;
                    std::memcpy(&r0, r, sizeof r0);
                    std::memcpy(&r1, r + 4, sizeof r1);
                    a00 += q0[d] * r0;
                    a01 += q0[d] * r1;
                    a10 += q1[d] * r0;
                    a11 += q1[d] * r1;
                    a20 += q2[d] * r0;
                    a21 += q2[d] * r1;
                    a30 += q3[d] * r0;
                    a31 += q3[d] * r1;
                }
                std::memcpy(o + jb, &a00, sizeof a00);
                std::memcpy(o + jb + 4, &a01, sizeof a01);
                std::memcpy(o + mp + jb, &a10, sizeof a10);
                std::memcpy(o + mp + jb + 4, &a11, sizeof a11);
                std::memcpy(o + 2 * mp + jb, &a20, sizeof a20);
                std::memcpy(o + 2 * mp + jb + 4, &a21, sizeof a21);
                std::memcpy(o + 3 * mp + jb, &a30, sizeof a30);
                std::memcpy(o + 3 * mp + jb + 4, &a31, sizeof a31);
            }
        }
        // agreeing one-hot blocks, indicators set in both rows (a query's
        // unset indicator adds nothing), then the distances
        const size_t jv = std::min(jt, m > j0 ? m - j0 : 0);  // real references in the tile
        for (size_t q = 0; q < nq; ++q) {
            uint8_t *__restrict c = cnt;
            for (size_t j = 0; j < jv; ++j) c[j] = 0;
            const uint8_t *qs = s.q_slots + (i0 + q) * nb;
            for (size_t b = 0; b < nb; ++b) {
                const uint8_t slot = qs[b];
                const uint8_t *__restrict col = s.r_slots_t + b * mp + j0;
                for (size_t j = 0; j < jv; ++j) c[j] += col[j] == slot ? 1 : 0;
            }
            uint8_t *__restrict both = shared;
            for (size_t j = 0; j < jv; ++j) both[j] = 0;
            const uint8_t *qf = s.q_flags + (i0 + q) * nf;
            for (size_t f = 0; f < nf; ++f) {
                if (!qf[f]) continue;
                const uint8_t *__restrict col = s.r_flags_t + f * mp + j0;
                for (size_t j = 0; j < jv; ++j) both[j] += col[j];
            }
            double *__restrict acc = rows + q * mp + j0;
            const double as = s.a_sq[i0 + q], w = s.weight;
            const double *__restrict bs = s.b_sq + j0;
            for (size_t j = 0; j < jv; ++j) {
                const double product =
                    (acc[j] + w * static_cast<double>(c[j])) + static_cast<double>(both[j]);
                const double d2 = (as + bs[j]) - 2.0 * product;
                acc[j] = d2 < 0.0 ? 0.0 : d2;  // as np.maximum(d2, 0.0): NaN stays NaN
            }
        }
    }
}

using DenseIn = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using SlotsIn = nb::ndarray<const uint8_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// Checks the shapes and makes the column-major copies of the references.
struct LayoutInput {
    LayoutSides sides{};
    const double *r_dense_ = nullptr;
    const uint8_t *r_slots_ = nullptr, *r_flags_ = nullptr;
    std::vector<double> r_panels;
    std::vector<uint8_t> r_slots_t, r_flags_t;
    unsigned threads = 1;
    std::vector<std::vector<double>> buffers, scratch;  // one of each per thread

    // Checks the shapes (with the interpreter lock held: it may raise).
    LayoutInput(DenseIn q_dense, SlotsIn q_slots, SlotsIn q_flags, DenseIn r_dense,
                SlotsIn r_slots, SlotsIn r_flags, double weight, In<double, 1> a_sq,
                In<double, 1> b_sq) {
        const size_t n_q = q_dense.shape(0), m = r_dense.shape(0);
        const size_t nd = q_dense.shape(1), nb = q_slots.shape(1), nf = q_flags.shape(1);
        if (r_dense.shape(1) != nd || r_slots.shape(1) != nb || q_slots.shape(0) != n_q ||
            r_slots.shape(0) != m || r_flags.shape(1) != nf || q_flags.shape(0) != n_q ||
            r_flags.shape(0) != m)
            throw nb::value_error("the dense parts, slots and flags of the two sides do not match");
        if (a_sq.shape(0) != n_q || b_sq.shape(0) != m)
            throw nb::value_error("the squared norms do not match the rows");
        if (nb > 255 || nf > 255) throw nb::value_error("at most 255 one-hot blocks and 255 flags");
        const size_t mp = (m + kPanel - 1) / kPanel * kPanel;
        sides = LayoutSides{q_dense.data(), nullptr, q_slots.data(), nullptr, q_flags.data(),
                            nullptr, a_sq.data(), b_sq.data(), n_q, m, mp, nd, nb, nf, weight};
        r_dense_ = r_dense.data();
        r_slots_ = r_slots.data();
        r_flags_ = r_flags.data();
        const unsigned cores = std::max(1u, std::min(2u, std::thread::hardware_concurrency()));
        const size_t n_groups = (n_q + kLayoutQueries - 1) / kLayoutQueries;
        const double work = double(n_q) * double(m) * double(nd + nb + 4);
        threads = (n_groups < 2 || work < 4e6) ? 1u : cores;
        // every buffer up front: nothing is allocated on the threads
        r_panels.assign(nd * mp, 0.0);
        r_slots_t.assign(nb * mp, 0);
        r_flags_t.assign(nf * mp, 0);
        for (unsigned t = 0; t < threads; ++t) {
            buffers.emplace_back(kLayoutQueries * std::max<size_t>(1, mp));
            scratch.emplace_back(kLayoutQueries * std::max<size_t>(1, nd));
        }
    }

    // The references rearranged for the scans (no lock needed).
    void arrange() {
        const size_t m = sides.m, mp = sides.m_padded, nd = sides.n_dense, nb = sides.n_blocks;
        const size_t nf = sides.n_flags;
        for (size_t j = 0; j < m; ++j) {
            double *panel = r_panels.data() + (j / kPanel) * kPanel * nd + j % kPanel;
            for (size_t d = 0; d < nd; ++d) panel[d * kPanel] = r_dense_[j * nd + d];
            for (size_t b = 0; b < nb; ++b) r_slots_t[b * mp + j] = r_slots_[j * nb + b];
            for (size_t f = 0; f < nf; ++f) r_flags_t[f * mp + j] = r_flags_[j * nf + f] ? 1 : 0;
        }
        sides.r_panels = r_panels.data();
        sides.r_slots_t = r_slots_t.data();
        sides.r_flags_t = r_flags_t.data();
    }

    template <class F>
    void scan(F &&consume) {
        arrange();
        const size_t n_groups = (sides.n_q + kLayoutQueries - 1) / kLayoutQueries;
        std::atomic<size_t> next{0};
        auto worker = [&](unsigned t) {
            double *rows = buffers[t].data();
            for (size_t g; (g = next.fetch_add(1)) < n_groups;) {
                const size_t i0 = g * kLayoutQueries;
                const size_t nq = std::min(kLayoutQueries, sides.n_q - i0);
                layout_sq_distances(sides, i0, nq, rows, scratch[t].data());
                for (size_t q = 0; q < nq; ++q) consume(t, i0 + q, rows + q * sides.m_padded);
            }
        };
        if (threads < 2) {
            worker(0);
            return;
        }
        std::thread other(worker, 1u);
        worker(0);
        other.join();
    }
};

// The smallest number of a row (+inf when it holds none), and whether it
// holds numbers and NaNs: four running minima side by side (a NaN never
// replaces one), then the smallest of the four.
struct RowLow {
    double value;
    bool numbers, nans;
};

inline RowLow row_low(const double *row, size_t m) {
    const double inf = std::numeric_limits<double>::infinity();
    double low[4] = {inf, inf, inf, inf};
    uint8_t number[4] = {0, 0, 0, 0}, nan[4] = {0, 0, 0, 0};
    size_t j = 0;
    for (; j + 4 <= m; j += 4)
        for (size_t l = 0; l < 4; ++l) {
            const double d = row[j + l];
            number[l] |= d == d ? 1 : 0;
            nan[l] |= d != d ? 1 : 0;
            low[l] = d < low[l] ? d : low[l];
        }
    for (; j < m; ++j) {
        const double d = row[j];
        number[0] |= d == d ? 1 : 0;
        nan[0] |= d != d ? 1 : 0;
        low[0] = d < low[0] ? d : low[0];
    }
    double value = low[0];
    for (size_t l = 1; l < 4; ++l) value = low[l] < value ? low[l] : value;
    return RowLow{value, (number[0] | number[1] | number[2] | number[3]) != 0,
                  (nan[0] | nan[1] | nan[2] | nan[3]) != 0};
}


// The k-th smallest squared distance per query, as kth_nearest gives it for
// the same distances (reference exclude[i] left out when >= 0).
nb::ndarray<nb::numpy, double, nb::ndim<1>> layout_kth_nearest(
    DenseIn q_dense, SlotsIn q_slots, SlotsIn q_flags, DenseIn r_dense, SlotsIn r_slots,
    SlotsIn r_flags, double weight, In<double, 1> a_sq, In<double, 1> b_sq, int64_t k,
    In<int64_t, 1> exclude) {
    const size_t n_q = q_dense.shape(0), m = r_dense.shape(0);
    if (k < 1 || static_cast<size_t>(k) > m) throw nb::value_error("k is out of range");
    const bool has_exclude = exclude.shape(0) != 0;
    if (has_exclude && exclude.shape(0) != n_q) throw nb::value_error("exclude needs one entry per query");
    double *result;
    auto out = new_vector(n_q, &result);
    LayoutInput in(q_dense, q_slots, q_flags, r_dense, r_slots, r_flags, weight, a_sq, b_sq);
    {
        nb::gil_scoped_release unlocked;
        const int64_t *ex = has_exclude ? exclude.data() : nullptr;
        const size_t kk = static_cast<size_t>(k);
        std::vector<double> heaps[2];  // one per thread, never grown on it
        for (auto &h : heaps) h.reserve(kk);
        const double inf = std::numeric_limits<double>::infinity();
        const double nan = std::numeric_limits<double>::quiet_NaN();
        in.scan([&](unsigned t, size_t i, double *row) {
            const int64_t skip = ex ? ex[i] : -1;
            if (skip >= 0 && static_cast<size_t>(skip) < m) row[skip] = inf;
            if (kk == 1) {
                const RowLow low = row_low(row, m);
                result[i] = low.numbers ? low.value : nan;
                return;
            }
            std::vector<double> &heap = heaps[t];  // NaN left out
            heap.clear();
            constexpr size_t kChunk = 64;
            for (size_t j0 = 0; j0 < m; j0 += kChunk) {
                const size_t stop = std::min(m, j0 + kChunk);
                // once the heap is full, a chunk whose smallest number does
                // not beat its top changes nothing
                if (heap.size() == kk) {
                    const RowLow low = row_low(row + j0, stop - j0);
                    if (!(low.value < heap.front())) continue;
                }
                for (size_t j = j0; j < stop; ++j) {
                    const double d = row[j];
                    if (d != d) continue;
                    keep_smallest(heap, kk, d);
                }
            }
            result[i] = heap.size() < kk ? nan : heap.front();
        });
    }
    return out;
}

// log(sum_j exp(-d2[i, j] / divisor)) per query, as kernel_log_sums gives it
// for the same distances.
nb::ndarray<nb::numpy, double, nb::ndim<1>> layout_kernel_log_sums(
    DenseIn q_dense, SlotsIn q_slots, SlotsIn q_flags, DenseIn r_dense, SlotsIn r_slots,
    SlotsIn r_flags, double weight, In<double, 1> a_sq, In<double, 1> b_sq, double divisor) {
    if (!(divisor > 0.0)) throw nb::value_error("the divisor must be positive");
    const size_t n_q = q_dense.shape(0), m = r_dense.shape(0);
    double *result;
    auto out = new_vector(n_q, &result);
    LayoutInput in(q_dense, q_slots, q_flags, r_dense, r_slots, r_flags, weight, a_sq, b_sq);
    {
        nb::gil_scoped_release unlocked;
        const double cutoff = -(60.0 * std::log(2.0) + std::log(static_cast<double>(std::max<size_t>(1, m))));
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const double inf = std::numeric_limits<double>::infinity();
        const double minus_inf = -inf;
        in.scan([&](unsigned, size_t i, double *row) {
            if (m == 0) {
                result[i] = minus_inf;
                return;
            }
            // The largest exponent belongs to the smallest distance (dividing
            // by a positive number keeps the order).
            const RowLow lowest = row_low(row, m);
            if (lowest.nans) {
                result[i] = nan;
                return;
            }
            const double low = lowest.value;
            const double top = -low / divisor;
            if (!std::isfinite(top)) {
                result[i] = top;
                return;
            }
            // Only distances up to `reach` can give a term at or above the
            // cutoff (the margin covers the rounding of the exact test).
            const double reach = (low - cutoff * divisor) * (1.0 + 1e-9);
            double sum = 0.0;
            for (size_t t = 0; t < m; ++t) {
                if (!(row[t] <= reach)) continue;
                const double x = -row[t] / divisor - top;
                if (x >= cutoff) sum += std::exp(x);
            }
            result[i] = std::log(sum) + top;
        });
    }
    return out;
}

// Per query the smallest squared distance (NaN when it has none), and per
// reference whether it lies within limit[i] of some query i: what
// nearest_and_within gives for the same distances.
nb::tuple layout_nearest_and_within(DenseIn q_dense, SlotsIn q_slots, SlotsIn q_flags,
                                    DenseIn r_dense, SlotsIn r_slots, SlotsIn r_flags,
                                    double weight, In<double, 1> a_sq, In<double, 1> b_sq,
                                    In<double, 1> limit) {
    const size_t n_q = q_dense.shape(0), m = r_dense.shape(0);
    if (limit.shape(0) != n_q) throw nb::value_error("limit needs one entry per query");
    double *nearest;
    auto nearest_out = new_vector(n_q, &nearest);
    bool *within = new bool[std::max<size_t>(1, m)]();
    nb::capsule within_owner(within, [](void *p) noexcept { delete[] static_cast<bool *>(p); });
    std::vector<uint8_t> seen[2] = {std::vector<uint8_t>(m, 0), std::vector<uint8_t>(m, 0)};
    LayoutInput in(q_dense, q_slots, q_flags, r_dense, r_slots, r_flags, weight, a_sq, b_sq);
    {
        nb::gil_scoped_release unlocked;
        const double *lim = limit.data();
        in.scan([&](unsigned t, size_t i, double *row) {
            uint8_t *mine = seen[t].data();  // each thread its own answers
            const double li = lim[i];
            for (size_t j = 0; j < m; ++j) mine[j] |= row[j] <= li ? 1 : 0;
            const RowLow low = row_low(row, m);
            nearest[i] = low.numbers ? low.value : std::numeric_limits<double>::quiet_NaN();
        });
        for (size_t j = 0; j < m; ++j) within[j] = (seen[0][j] | seen[1][j]) != 0;
    }
    return nb::make_tuple(nearest_out,
                          nb::ndarray<nb::numpy, bool, nb::ndim<1>>(within, {m}, within_owner));
}

// ---------------------------------------------------------------------------
// First Wasserstein distance: the terms scipy.stats.wasserstein_distance sums.
//
// For sorted finite samples u and v, scipy pools and sorts the values (a
// stable merge: u's values first among equal ones), takes deltas[t] =
// all[t + 1] - all[t], and at every pooled value but the last the share of
// each sample at or below it (searchsorted "right" over the size, in double).
// The distance is the sum over t of |u_cdf[t] - v_cdf[t]| * deltas[t]; this
// returns the two factors, computed as scipy computes them, by one walk
// through both samples instead of a sort and two binary searches per value.
nb::tuple w1_terms(In<double, 1> u, In<double, 1> v) {
    const size_t n = u.shape(0), m = v.shape(0);
    if (n == 0 || m == 0) throw nb::value_error("both samples need a value");
    const size_t terms = n + m - 1;
    double *gaps, *deltas;
    auto gaps_out = new_vector(terms, &gaps);
    auto deltas_out = new_vector(terms, &deltas);
    {
        nb::gil_scoped_release unlocked;
        const double *a = u.data(), *b = v.data();
        size_t i = 0, j = 0;     // merge positions
        size_t at_u = 0, at_v = 0;  // values of each sample <= the current one
        double prev = 0.0;
        for (size_t t = 0; t < n + m; ++t) {
            const double x = (j >= m || (i < n && a[i] <= b[j])) ? a[i++] : b[j++];
            if (t > 0) {
                deltas[t - 1] = x - prev;
            }
            if (t + 1 < n + m) {
                while (at_u < n && a[at_u] <= x) ++at_u;
                while (at_v < m && b[at_v] <= x) ++at_v;
                const double cu = static_cast<double>(at_u) / static_cast<double>(n);
                const double cv = static_cast<double>(at_v) / static_cast<double>(m);
                gaps[t] = std::fabs(cu - cv);
            }
            prev = x;
        }
    }
    return nb::make_tuple(gaps_out, deltas_out);
}

// ---------------------------------------------------------------------------
// Rows of the encoder.
//
// Numeric column c becomes (value - means[c]) / stds[c], 0 where missing, and
// when flagged a 0/1 column marking the missing entries; categorical column c
// becomes a block of widths[c] columns holding `hot` at slots[c][row] and 0
// elsewhere. The same numbers as the column-by-column numpy steps, written row
// after row: as the whole matrix (encode_rows), or as the parts the distance
// scans read (encode_parts).
struct EncodeInput {
    std::vector<const double *> num;
    std::vector<const int64_t *> slot;
    std::vector<double> means, stds;
    std::vector<uint8_t> flagged;
    std::vector<size_t> widths;
    size_t n = 0, n_dense = 0, cols = 0;

    EncodeInput(std::vector<In<double, 1>> &numeric, std::vector<double> means_,
                std::vector<double> stds_, std::vector<uint8_t> flagged_,
                std::vector<In<int64_t, 1>> &slots, const std::vector<int64_t> &widths_,
                int64_t n_rows)
        : means(std::move(means_)), stds(std::move(stds_)), flagged(std::move(flagged_)) {
        const size_t nn = numeric.size(), nc = slots.size();
        if (means.size() != nn || stds.size() != nn || flagged.size() != nn || widths_.size() != nc)
            throw nb::value_error(
                "one mean, deviation and flag per numeric column, one width per block");
        if (n_rows < 0) throw nb::value_error("n_rows must be >= 0");
        n = static_cast<size_t>(n_rows);
        for (size_t c = 0; c < nn; ++c) {
            if (numeric[c].shape(0) != n) throw nb::value_error("a numeric column has another length");
            num.push_back(numeric[c].data());
            n_dense += flagged[c] ? 2 : 1;
        }
        cols = n_dense;
        for (size_t c = 0; c < nc; ++c) {
            if (slots[c].shape(0) != n) throw nb::value_error("a block's slots have another length");
            if (widths_[c] < 1) throw nb::value_error("a block needs a width of at least 1");
            slot.push_back(slots[c].data());
            widths.push_back(static_cast<size_t>(widths_[c]));
            cols += widths.back();
        }
    }

    // The dense values of row i into out[0 .. n_dense).
    void dense_row(size_t i, double *out) const {
        size_t j = 0;
        for (size_t c = 0; c < num.size(); ++c) {
            const double v = (num[c][i] - means[c]) / stds[c];
            const bool missing = v != v;
            out[j++] = missing ? 0.0 : v;
            if (flagged[c]) out[j++] = missing ? 1.0 : 0.0;
        }
    }

    bool slot_ok(size_t c, int64_t at) const {
        return at >= 0 && static_cast<size_t>(at) < widths[c];
    }
};

Out2 encode_rows(std::vector<In<double, 1>> numeric, std::vector<double> means,
                 std::vector<double> stds, std::vector<uint8_t> flagged,
                 std::vector<In<int64_t, 1>> slots, std::vector<int64_t> widths, double hot,
                 int64_t n_rows) {
    const EncodeInput in(numeric, std::move(means), std::move(stds), std::move(flagged), slots,
                         widths, n_rows);
    Out2 out = new_matrix(in.n, in.cols);
    double *o = out.data();
    bool out_of_block = false;
    {
        nb::gil_scoped_release unlocked;
        for (size_t i = 0; i < in.n; ++i) {
            double *row = o + i * in.cols;
            in.dense_row(i, row);
            size_t j = in.n_dense;
            for (size_t c = 0; c < in.slot.size(); ++c) {
                const size_t width = in.widths[c];
                std::fill(row + j, row + j + width, 0.0);
                const int64_t at = in.slot[c][i];
                if (in.slot_ok(c, at))
                    row[j + static_cast<size_t>(at)] = hot;
                else
                    out_of_block = true;
                j += width;
            }
        }
    }
    if (out_of_block) throw nb::value_error("a slot lies outside its block");
    return out;
}

// The rows of encode_rows as the distance scans read them: (the numeric
// values, the slot of every block as a byte, the missing-value indicators as
// bytes, the squared norms of the whole rows: values^2 + indicators + blocks *
// hot^2).
nb::tuple encode_parts(std::vector<In<double, 1>> numeric, std::vector<double> means,
                       std::vector<double> stds, std::vector<uint8_t> flagged,
                       std::vector<In<int64_t, 1>> slots, std::vector<int64_t> widths, double hot,
                       int64_t n_rows) {
    const EncodeInput in(numeric, std::move(means), std::move(stds), std::move(flagged), slots,
                         widths, n_rows);
    const size_t nn = in.num.size(), nb_ = in.slot.size(), nf = in.n_dense - nn;
    for (size_t width : in.widths)
        if (width > 256) throw nb::value_error("a block wider than 256 has no byte slot");
    auto bytes = [](size_t count, uint8_t **data) {
        uint8_t *p = new uint8_t[std::max<size_t>(1, count)];
        *data = p;
        return nb::capsule(p, [](void *v) noexcept { delete[] static_cast<uint8_t *>(v); });
    };
    Out2 dense = new_matrix(in.n, nn);
    uint8_t *sl, *fl;
    nb::capsule slots_owner = bytes(in.n * nb_, &sl), flags_owner = bytes(in.n * nf, &fl);
    double *sq;
    auto sq_out = new_vector(in.n, &sq);
    double *d = dense.data();
    bool out_of_block = false;
    {
        nb::gil_scoped_release unlocked;
        const double blocks_sq = static_cast<double>(nb_) * (hot * hot);
        std::vector<double> row(std::max<size_t>(1, in.n_dense));
        for (size_t i = 0; i < in.n; ++i) {
            in.dense_row(i, row.data());  // values, each followed by its indicator if any
            double s = 0.0;
            for (size_t c = 0, j = 0, f = 0; c < nn; ++c) {
                const double v = row[j++];
                d[i * nn + c] = v;
                s += v * v;
                if (in.flagged[c]) {
                    const bool missing = row[j++] != 0.0;
                    fl[i * nf + f++] = missing ? 1 : 0;
                    s += missing ? 1.0 : 0.0;
                }
            }
            sq[i] = s + blocks_sq;
            for (size_t c = 0; c < nb_; ++c) {
                const int64_t at = in.slot[c][i];
                if (!in.slot_ok(c, at)) out_of_block = true;
                sl[i * nb_ + c] = static_cast<uint8_t>(in.slot_ok(c, at) ? at : 0);
            }
        }
    }
    if (out_of_block) throw nb::value_error("a slot lies outside its block");
    return nb::make_tuple(dense, nb::ndarray<nb::numpy, uint8_t, nb::ndim<2>>(sl, {in.n, nb_}, slots_owner),
                          nb::ndarray<nb::numpy, uint8_t, nb::ndim<2>>(fl, {in.n, nf}, flags_owner),
                          sq_out);
}

// ---------------------------------------------------------------------------
// One 64-bit key per row of DCR's encoded columns: rows with equal values
// (0.0 and -0.0 equal, every NaN equal) get equal keys, and unequal rows
// collide with a chance of about 2^-64 per pair.
inline uint64_t mix64(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

nb::ndarray<nb::numpy, uint64_t, nb::ndim<1>> row_keys(In<float, 2> num, In<int64_t, 2> cat) {
    const size_t n = num.shape(0), a = num.shape(1), b = cat.shape(1);
    if (cat.shape(0) != n) throw nb::value_error("both blocks need the same rows");
    uint64_t *keys = new uint64_t[std::max<size_t>(1, n)];
    nb::capsule owner(keys, [](void *p) noexcept { delete[] static_cast<uint64_t *>(p); });
    {
        nb::gil_scoped_release unlocked;
        const float *x = num.data();
        const int64_t *c = cat.data();
        constexpr uint64_t step = 0x9e3779b97f4a7c15ULL;
        for (size_t i = 0; i < n; ++i) {
            uint64_t h = mix64(step * (a + 1) + b);
            for (size_t j = 0; j < a; ++j) {
                float v = x[i * a + j];
                uint32_t bits;
                if (v != v) {
                    bits = 0x7fc00000u;  // one NaN
                } else {
                    if (v == 0.0f) v = 0.0f;  // one zero
                    std::memcpy(&bits, &v, sizeof bits);
                }
                h = mix64(h + step + bits);
            }
            for (size_t j = 0; j < b; ++j) h = mix64(h + step + static_cast<uint64_t>(c[i * b + j]));
            keys[i] = h;
        }
    }
    return nb::ndarray<nb::numpy, uint64_t, nb::ndim<1>>(keys, {n}, owner);
}

}  // namespace

NB_MODULE(_kernels, m) {
    m.doc() = "Numeric loops behind quorvix's metric classes (private).";
    m.def("ks_resampled", &ks_resampled<int64_t>, "seq"_a, "ends"_a, "n_real"_a, "real_idx"_a,
          "synth_idx"_a, "plain_walk"_a = false,
          "KS statistics of resampled columns: an array (resamples x columns).");
    m.def("ks_resampled", &ks_resampled<int32_t>, "seq"_a, "ends"_a, "n_real"_a, "real_idx"_a,
          "synth_idx"_a, "plain_walk"_a = false,
          "KS statistics of resampled columns: an array (resamples x columns).");
    m.def("ks_sorted", &ks_sorted, "a"_a, "b"_a,
          "Two-sample KS statistic of two sorted float64 samples.");
    m.def("more_distinct_than", &more_distinct_than, "x"_a, "limit"_a,
          "Whether x holds more than limit distinct values.");
    m.def("bin_counts", &bin_counts, "x"_a, "edges"_a,
          "Counts of x below, inside and above the bins of the sorted edges.");
    m.def("kth_nearest", &kth_nearest, "gram"_a, "a_sq"_a, "b_sq"_a, "k"_a, "exclude"_a,
          "k-th smallest squared distance per row, from inner products and norms.");
    m.def("kernel_log_sums", &kernel_log_sums, "gram"_a, "a_sq"_a, "b_sq"_a, "divisor"_a,
          "log(sum_j exp(-d2[i, j] / divisor)) per row, d2 from inner products and norms.");
    m.def("nearest_and_within", &nearest_and_within, "gram"_a, "a_sq"_a, "b_sq"_a, "limit"_a,
          "Per row the smallest squared distance, per column whether some row's limit holds it.");
    m.def("sq_distances_in_place", &sq_distances_in_place, "gram"_a, "a_sq"_a, "b_sq"_a,
          "Turn a block of inner products into squared distances, in place.");
    m.def("any_within", &any_within, "gram"_a, "a_sq"_a, "b_sq"_a, "limit"_a,
          "Whether each query lies within some reference's squared radius.");
    m.def("gower_nearest", &gower_nearest, "q_num"_a, "q_cat"_a, "r_num"_a, "r_cat"_a,
          "exclude"_a, "Smallest Gower sum from each query row to the reference rows.");
    m.def("layout_kth_nearest", &layout_kth_nearest, "q_dense"_a, "q_slots"_a, "q_flags"_a,
          "r_dense"_a, "r_slots"_a, "r_flags"_a, "weight"_a, "a_sq"_a, "b_sq"_a, "k"_a,
          "exclude"_a,
          "k-th smallest squared distance per query, rows given in the encoder's layout.");
    m.def("layout_kernel_log_sums", &layout_kernel_log_sums, "q_dense"_a, "q_slots"_a,
          "q_flags"_a, "r_dense"_a, "r_slots"_a, "r_flags"_a, "weight"_a, "a_sq"_a, "b_sq"_a,
          "divisor"_a,
          "log(sum_j exp(-d2[i, j] / divisor)) per query, rows given in the encoder's layout.");
    m.def("layout_nearest_and_within", &layout_nearest_and_within, "q_dense"_a, "q_slots"_a,
          "q_flags"_a, "r_dense"_a, "r_slots"_a, "r_flags"_a, "weight"_a, "a_sq"_a, "b_sq"_a,
          "limit"_a,
          "nearest_and_within for rows given in the encoder's layout.");
    m.def("w1_terms", &w1_terms, "u"_a, "v"_a,
          "(|u_cdf - v_cdf|, deltas) of two sorted samples, as scipy's wasserstein_distance forms them.");
    m.def("encode_rows", &encode_rows, "numeric"_a, "means"_a, "stds"_a, "flagged"_a,
          "slots"_a, "widths"_a, "hot"_a, "n_rows"_a,
          "The encoder's matrix from its numeric columns and one-hot slots.");
    m.def("encode_parts", &encode_parts, "numeric"_a, "means"_a, "stds"_a, "flagged"_a,
          "slots"_a, "widths"_a, "hot"_a, "n_rows"_a,
          "(numeric values, block slots, missing flags, squared norms) of the encoder's rows.");
    m.def("row_keys", &row_keys, "num"_a, "cat"_a,
          "One 64-bit key per row; equal rows get equal keys.");
    m.def("spearman_matrix", &spearman_matrix, "x"_a, "minp"_a,
          "Spearman correlations of the columns of x on pairwise-complete rows.");
}
