// quorvix.tabular.evaluator.evaluator: TabularEvaluator, which scores a
// synthetic table against the real table it imitates.
//
// The report classes, the metric classes and the bootstrap utility live in
// Python modules of the package; every method imports what it needs at the
// moment it needs it, so importing this module loads none of them.
#include "evaluator/evaluator.h"

#include <array>
#include <optional>

namespace qev {

using namespace nb::literals;

// ---------------------------------------------------------------------------
// Helpers shared with html.cpp

nb::object import_from(const char *module, const char *name) {
    nb::object mod = qrt::check(PyImport_ImportModule(module));
    PyObject *value = nullptr;
    if (qrt::check_int(PyObject_GetOptionalAttrString(mod.ptr(), name, &value)) == 1)
        return nb::steal(value);

    // A submodule that is loaded but not yet bound on its package.
    std::string full = std::string(module) + "." + name;
    nb::object sub = nb::steal(PyImport_GetModule(nb::str(full.c_str()).ptr()));
    if (sub.is_valid()) return sub;
    if (PyErr_Occurred()) qrt::throw_error();

    nb::object path;
    PyObject *file = nullptr;
    if (PyObject_GetOptionalAttrString(mod.ptr(), "__file__", &file) < 0) PyErr_Clear();
    path = file ? nb::steal(file) : nb::none();
    std::string where = PyUnicode_Check(path.ptr()) ? qrt::to_string(path) : "unknown location";
    std::string msg =
        std::string("cannot import name '") + name + "' from '" + module + "' (" + where + ")";
    PyErr_SetImportError(nb::str(msg.c_str()).ptr(), nb::str(module).ptr(), path.ptr());
    qrt::throw_error();
}

nb::object global(nb::handle globals, const char *name) {
    nb::str key(name);
    PyObject *value = nullptr;
    if (qrt::check_int(PyDict_GetItemRef(globals.ptr(), key.ptr(), &value)) == 1)
        return nb::steal(value);
    nb::handle builtins = PyEval_GetBuiltins();
    if (builtins.is_valid() &&
        qrt::check_int(PyDict_GetItemRef(builtins.ptr(), key.ptr(), &value)) == 1)
        return nb::steal(value);
    qrt::raise(PyExc_NameError, "name '%s' is not defined", name);
}

bool truthy(nb::handle o) { return qrt::check_int(PyObject_IsTrue(o.ptr())) != 0; }

bool contains(nb::handle container, nb::handle item) {
    return qrt::check_int(PySequence_Contains(container.ptr(), item.ptr())) != 0;
}


namespace {

nb::object logger() {
    return get(nb::module_::import_("logging"), "getLogger")(kLoggerName);
}

}  // namespace

void log_warning(const char *msg) { get(logger(), "warning")(msg); }

void log_warning(const char *msg, nb::handle arg) { get(logger(), "warning")(msg, arg); }

}  // namespace qev

namespace {

namespace nb = nanobind;
using namespace nb::literals;
using qev::contains;
using qev::get;
using qev::item;
using qev::set_attr;
using qev::set_item;
using qev::import_from;
using qev::kModule;
using qev::truthy;
using qrt::Call;
using qrt::Param;
using qrt::Signature;
using qrt::Type;

constexpr const char *kModuleDoc =
    "quorvix.tabular.evaluator.evaluator\n"
    "~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~\n"
    "\n"
    "TabularEvaluator: main evaluation entry point.\n"
    "Runs all metrics and produces an EvaluationReport.\n";

constexpr const char *kClassDoc =
    "\n"
    "    Evaluate a synthetic table against the real table it imitates.\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    metrics : list of str, optional\n"
    "        Specific metric names to compute. If None, runs the full default suite.\n"
    "    n_jobs : int\n"
    "        Number of parallel workers for column-level metrics.\n"
    "    random_seed : int, optional\n"
    "        RNG seed for stochastic metrics.\n"
    "    compute_privacy : bool\n"
    "        Whether to run privacy metrics (MIA, NNAA, etc.).\n"
    "    compute_alpha_beta : bool\n"
    "        Whether to compute \xCE\xB1-Precision / \xCE\xB2-Recall\n"
    "    compute_compliance : bool\n"
    "        Switch for compliance checks (stored; no step of an evaluation reads it).\n"
    "    compute_bootstrap_ci : bool\n"
    "        Whether to attach bootstrap confidence intervals to the KS-type\n"
    "        metrics at the end of a run.\n"
    "    n_bootstrap : int\n"
    "        Number of bootstrap resamples.\n"
    "\n"
    "    Examples\n"
    "    --------\n"
    "    >>> from quorvix.tabular.evaluator import TabularEvaluator\n"
    "    >>> evaluator = TabularEvaluator()\n"
    "    >>> report = evaluator.evaluate(real_df, synthetic_df)\n"
    "    >>> print(report.summary())\n"
    "\n"
    "    >>> report = evaluator.evaluate(real_df, synthetic_df,\n"
    "    ...                             metrics=[\"ks_complement\", \"alpha_precision\"])\n"
    "    >>> print(report.to_json())\n"
    "    ";

constexpr std::array<const char *, 16> kDefaultMetrics = {
    "ks_complement",        "wasserstein",          "total_variation",
    "hellinger",            "jensen_shannon",       "pearson_correl_diff",
    "spearman_correl_diff", "correlation_matrix_distance",
    "mmd",                  "tstr_normalized",      "prediction_agreement",
    "alpha_precision",      "beta_recall",          "likelihood_leak",
    "membership_inference_auc", "distance_to_closest_record"};

constexpr std::array<const char *, 4> kPrivacyMetrics = {
    "membership_inference_auc", "nn_adversarial_accuracy", "distance_to_closest_record",
    "nnd_ratio"};

constexpr const char *kReportModule = "quorvix.tabular.evaluator.report";
constexpr const char *kSimilarityModule = "quorvix.evaluation.metrics.similarity";
constexpr const char *kSharedModule = "quorvix.evaluation.metrics._shared";

nb::list make_list(const char *const *names, size_t n) {
    nb::list out;
    for (size_t i = 0; i < n; ++i) out.append(nb::str(names[i]));
    return out;
}

// The Exception family only: anything else (KeyboardInterrupt, SystemExit)
// passes through. Returns the caught error, if any.
template <class F>
std::optional<nb::python_error> guarded(F &&body) {
    try {
        body();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return std::optional<nb::python_error>(std::move(e));
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// __init__

nb::object init_impl(Call &c) {
    nb::handle self = c[0];
    nb::object metrics = nb::borrow(c[1]);
    if (!truthy(metrics)) metrics = get(self, "DEFAULT_METRICS");
    nb::setattr(self, "metrics", metrics);
    nb::setattr(self, "n_jobs", c[2]);
    nb::setattr(self, "random_seed", c[3]);
    nb::setattr(self, "compute_privacy", c[4]);
    nb::setattr(self, "compute_alpha_beta", c[5]);
    nb::setattr(self, "compute_compliance", c[6]);
    nb::setattr(self, "compute_bootstrap_ci", c[7]);
    nb::setattr(self, "n_bootstrap", c[8]);
    nb::setattr(self, "_metric_cache", nb::dict());
    return nb::none();
}

// ---------------------------------------------------------------------------
// evaluate: the metric blocks

struct Run {
    nb::handle self;
    nb::handle real;
    nb::handle synth;
    nb::handle report;
};

void add_result(const Run &r, nb::handle name, nb::handle value, const char *category,
                const char *description) {
    nb::object MetricResult = import_from(kReportModule, "MetricResult");
    nb::object result = MetricResult("name"_a = name, "value"_a = value,
                                     "category"_a = category, "higher_is_better"_a = true,
                                     "description"_a = description);
    get(r.report, "add_metric")(result);
}

void ks_complement_block(const Run &r, nb::handle common_cols) {
    nb::object cls = import_from("quorvix.tabular.evaluator.metrics.statistical.ks_complement",
                                 "KSComplementMetric");
    nb::object scores = get(cls(), "compute")(r.real, r.synth, "columns"_a = common_cols);
    nb::str prefix("ks_complement_");
    for (nb::handle pair : get(scores, "items")()) {
        auto [key, value] = qev::unpack2(pair);
        nb::object name = qrt::check(PyUnicode_Concat(prefix.ptr(), nb::str(key).ptr()));
        add_result(r, name, value, "statistical", "1 - KS statistic. Higher = better fidelity.");
    }
}

// A per-column similarity of UnivariateSimilarityMetrics: one result per key.
void univariate_block(const Run &r, const char *method, const char *description) {
    nb::object cls = import_from(kSimilarityModule, "UnivariateSimilarityMetrics");
    nb::object scores = get(cls(r.real, r.synth), method)();
    for (nb::handle pair : get(scores, "items")()) {
        auto [key, value] = qev::unpack2(pair);
        add_result(r, key, value, "statistical", description);
    }
}

// A metric of the similarity module that yields one value.
void single_value_block(const Run &r, const char *class_name, const char *method,
                        const char *result_name, const char *description) {
    nb::object cls = import_from(kSimilarityModule, class_name);
    nb::object value = get(cls(r.real, r.synth), method)();
    add_result(r, nb::str(result_name), value, "statistical", description);
}

// The target is the first column of the real table (in its own order) with at
// least two distinct non-missing values.
void prediction_agreement_block(const Run &r) {
    nb::object target = nb::none();
    for (nb::handle col : get(r.real, "columns")) {
        nb::object values = get(item(r.real, col), "dropna")();
        if (nb::len(get(values, "unique")()) >= 2) {
            target = nb::borrow(col);
            break;
        }
    }
    if (!truthy(target)) return;
    nb::object cls = import_from("quorvix.evaluation.metrics.utility", "PredictionAgreementMetrics");
    nb::object value = get(cls(r.real, r.synth, target), "prediction_agreement_percentage")();
    nb::object MetricResult = import_from(kReportModule, "MetricResult");
    nb::object result = MetricResult(
        "name"_a = "prediction_agreement", "value"_a = value, "category"_a = "utility",
        "higher_is_better"_a = true,
        "description"_a = "Agreement between models trained on real vs synthetic. Higher = better.");
    get(r.report, "add_metric")(result);
}

// A metric class whose compute(real, synthetic) returns a ready result.
void post_loop_block(const Run &r, const char *module, const char *class_name, bool seeded) {
    nb::object cls = import_from(module, class_name);
    nb::object metric = seeded ? cls("random_seed"_a = get(r.self, "random_seed")) : cls();
    get(r.report, "add_metric")(get(metric, "compute")(r.real, r.synth));
}

enum class Loop {
    KsComplement,
    Wasserstein,
    TotalVariation,
    Hellinger,
    JensenShannon,
    Pearson,
    Spearman,
    CorrelationMatrix,
    Mmd,
    PredictionAgreement,
    None_,
};

constexpr std::array<const char *, 10> kLoopNames = {
    "ks_complement",       "wasserstein",          "total_variation",
    "hellinger",           "jensen_shannon",       "pearson_correl_diff",
    "spearman_correl_diff", "correlation_matrix_distance", "mmd",
    "prediction_agreement"};

// The first loop-metric name that `metric_name == name` holds for.
Loop match_loop_name(nb::handle metric_name) {
    for (size_t i = 0; i < kLoopNames.size(); ++i) {
        nb::object eq = qrt::check(
            PyObject_RichCompare(metric_name.ptr(), nb::str(kLoopNames[i]).ptr(), Py_EQ));
        if (truthy(eq)) return static_cast<Loop>(i);
    }
    return Loop::None_;
}

void run_loop_metric(const Run &r, Loop which, nb::handle common_cols) {
    switch (which) {
        case Loop::KsComplement: ks_complement_block(r, common_cols); break;
        case Loop::Wasserstein:
            univariate_block(r, "wasserstein_distance_metric",
                             "Normalised Wasserstein distance. Higher = better fidelity.");
            break;
        case Loop::TotalVariation:
            univariate_block(r, "total_variation_distance",
                             "1 - Total Variation distance. Higher = better fidelity.");
            break;
        case Loop::Hellinger:
            univariate_block(r, "hellinger_distance",
                             "1 - Hellinger distance. Higher = better fidelity.");
            break;
        case Loop::JensenShannon:
            univariate_block(r, "jensen_shannon_divergence",
                             "1 - sqrt(Jensen-Shannon divergence). Higher = better fidelity.");
            break;
        case Loop::Pearson:
            single_value_block(r, "CorrelationSimilarityMetrics", "pearson_correlation_difference",
                               "pearson_correl_diff",
                               "1 - avg |Pearson(r_real) - Pearson(r_synth)|. Higher = better.");
            break;
        case Loop::Spearman:
            single_value_block(r, "CorrelationSimilarityMetrics", "spearman_correlation_difference",
                               "spearman_correl_diff",
                               "1 - avg |Spearman(r_real) - Spearman(r_synth)|. Higher = better.");
            break;
        case Loop::CorrelationMatrix:
            single_value_block(r, "MultivariateSimilarityMetrics", "correlation_matrix_distance",
                               "correlation_matrix_distance",
                               "Frobenius similarity of correlation matrices. Higher = better.");
            break;
        case Loop::Mmd:
            single_value_block(r, "MultivariateSimilarityMetrics", "mmd_rbf", "mmd_rbf",
                               "MMD with RBF kernel. Higher = better fidelity.");
            break;
        case Loop::PredictionAgreement: prediction_agreement_block(r); break;
        case Loop::None_: break;
    }
}

// Column labels of the real table, in its own column order, that the synthetic
// table also has; each label once. (A plain set intersection would give the
// same labels in an order that changes from one process to the next.)
nb::list shared_columns(nb::handle real, nb::handle synth) {
    nb::object synth_labels = qrt::check(PySet_New(get(synth, "columns").ptr()));
    nb::object seen = qrt::check(PySet_New(nullptr));
    nb::list out;
    for (nb::handle label : get(real, "columns")) {
        if (!qrt::check_int(PySet_Contains(synth_labels.ptr(), label.ptr()))) continue;
        if (qrt::check_int(PySet_Contains(seen.ptr(), label.ptr()))) continue;
        qrt::check_int(PySet_Add(seen.ptr(), label.ptr()));
        out.append(label);
    }
    return out;
}

Py_ssize_t length(nb::handle o) {
    Py_ssize_t n = PyObject_Length(o.ptr());
    if (n < 0) qrt::throw_error();
    return n;
}

// Every requested metric, in the evaluator's order, into the report.
void run_metrics(nb::handle self, nb::handle real_data, nb::handle synthetic_data,
                 nb::handle report, nb::handle metrics_to_run) {
    nb::list common_cols = shared_columns(real_data, synthetic_data);
    Run run{self, real_data, synthetic_data, report};

    for (nb::handle metric_name : metrics_to_run) {
        Loop which = match_loop_name(metric_name);
        if (which == Loop::None_) continue;
        if (which == Loop::KsComplement) {
            run_loop_metric(run, which, common_cols);  // not guarded: a failure ends the run
            continue;
        }
        // Best effort, silently: what the block added before failing stays.
        (void)guarded([&] { run_loop_metric(run, which, common_cols); });
    }

    // Post-loop fidelity metrics: a failure is logged and the run goes on.
    struct Logged {
        const char *name, *module, *cls, *message;
        bool gated, seeded;
    };
    static const Logged kLogged[] = {
        {"alpha_precision", "quorvix.tabular.evaluator.metrics.fidelity.alpha_precision",
         "AlphaPrecisionMetric", "alpha_precision failed: %s", true, false},
        {"beta_recall", "quorvix.tabular.evaluator.metrics.fidelity.beta_recall",
         "BetaRecallMetric", "beta_recall failed: %s", true, false},
        {"likelihood_leak", "quorvix.tabular.evaluator.metrics.fidelity.likelihood_leak",
         "LikelihoodLeakMetric", "likelihood_leak failed: %s", false, true},
    };
    for (const Logged &m : kLogged) {
        if (!contains(metrics_to_run, nb::str(m.name))) continue;
        if (m.gated && !truthy(get(self, "compute_alpha_beta"))) continue;
        if (auto err = guarded([&] { post_loop_block(run, m.module, m.cls, m.seeded); }))
            qev::log_warning(m.message, err->value());
    }

    if (truthy(get(self, "compute_privacy"))) {
        nb::object implemented_privacy = qrt::check(PySet_New(nullptr));
        qrt::check_int(PySet_Add(implemented_privacy.ptr(), nb::str("membership_inference_auc").ptr()));
        qrt::check_int(PySet_Add(implemented_privacy.ptr(), nb::str("distance_to_closest_record").ptr()));
        for (nb::handle name : get(self, "PRIVACY_METRICS")) {
            if (!qrt::check_int(PySet_Contains(implemented_privacy.ptr(), name.ptr()))) continue;
            if (!contains(metrics_to_run, name)) continue;
            (void)guarded([&] {
                nb::object result =
                    get(self, "_run_privacy_metric")(name, real_data, synthetic_data);
                get(report, "add_metric")(result, "scope"_a = "privacy");
            });
        }
    }

    if (contains(metrics_to_run, nb::str("tstr_normalized"))) {
        (void)guarded([&] {
            post_loop_block(run, "quorvix.tabular.evaluator.metrics.utility.tstr",
                            "TSTRNormalizedMetric", true);
        });
    }

}

nb::object evaluate_impl(Call &c) {
    nb::handle self = c[0], real_data = c[1], generator = c[3], n_samples = c[4];
    nb::handle globals = c.capture(0);
    nb::object synthetic_data = nb::borrow(c[2]);

    nb::object EvaluationReport = import_from(kReportModule, "EvaluationReport");
    nb::object time_mod = qev::global(globals, "time");
    nb::object start_time = get(time_mod, "time")();

    nb::object metrics_to_run = truthy(c[5]) ? nb::borrow(c[5]) : get(self, "metrics");

    if (synthetic_data.is_none()) {
        if (generator.is_none())
            qrt::raise(PyExc_ValueError, "Either synthetic_data or generator must be provided.");
        nb::object n = n_samples.is_none() ? nb::object(nb::int_(length(real_data)))
                                           : nb::borrow(n_samples);
        synthetic_data =
            get(generator, "generate")("n_samples"_a = n, "seed"_a = get(self, "random_seed"));
    }

    nb::object real_rows = nb::int_(length(real_data));
    nb::object synth_rows = nb::int_(length(synthetic_data));
    nb::object n_columns = nb::int_(length(get(real_data, "columns")));
    nb::object generator_name =
        get(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(generator.ptr()))), "__name__");
    nb::object report =
        EvaluationReport("real_data_n_rows"_a = real_rows, "synthetic_data_n_rows"_a = synth_rows,
                         "n_columns"_a = n_columns, "generator_name"_a = generator_name);

    // The metrics of one evaluation share intermediate results about this
    // pair (see quorvix.evaluation.metrics._shared); nothing changes the
    // tables while they run.
    nb::object end_evaluation = import_from(kSharedModule, "end_evaluation");
    nb::object scope = import_from(kSharedModule, "begin_evaluation")(real_data, synthetic_data);
    try {
        run_metrics(self, real_data, synthetic_data, report, metrics_to_run);
    } catch (...) {
        try {
            end_evaluation(scope);
        } catch (nb::python_error &) {
            // the metric's error is the one to report
        }
        throw;
    }
    end_evaluation(scope);

    nb::object elapsed = get(time_mod, "time")() - start_time;
    nb::setattr(report, "evaluation_time_seconds", elapsed);

    if (truthy(get(self, "compute_bootstrap_ci")))
        get(self, "_attach_bootstrap_cis")(report, real_data, synthetic_data);
    return report;
}

// ---------------------------------------------------------------------------
// _run_privacy_metric

bool equals(nb::handle a, const char *b) {
    return truthy(qrt::check(PyObject_RichCompare(a.ptr(), nb::str(b).ptr(), Py_EQ)));
}

nb::object run_privacy_metric_impl(Call &c) {
    nb::handle name = c[1], real = c[2], synthetic = c[3];
    nb::object MetricResult = import_from(kReportModule, "MetricResult");

    if (equals(name, "membership_inference_auc")) {
        nb::object cls = import_from("quorvix.tabular.evaluator.metrics.privacy.membership_inference",
                                     "MembershipInferenceMetric");
        nb::object auc = get(cls(), "compute")(real, synthetic);
        nb::object shifted = auc - nb::float_(0.5);
        nb::object privacy_risk = qrt::check(PyNumber_Absolute(shifted.ptr())) * nb::int_(2);
        nb::object shown = qrt::check(PyObject_Format(auc.ptr(), nb::str(".4f").ptr()));
        nb::object description = nb::str("Normalised privacy risk [0,1]. Raw AUC=") + shown +
                                 nb::str(". Values >0 mean attacker has signal.");
        nb::dict details;
        set_item(details, "auc", auc);
        set_item(details, "privacy_risk", privacy_risk);
        return MetricResult("name"_a = "membership_inference_auc", "value"_a = privacy_risk,
                            "category"_a = "privacy", "higher_is_better"_a = false,
                            "description"_a = description, "details"_a = details);
    }
    if (equals(name, "distance_to_closest_record")) {
        nb::object cls = import_from(
            "quorvix.tabular.evaluator.metrics.privacy.distance_to_closest_record", "DTCRMetric");
        nb::object score = get(cls(), "compute")(real, synthetic);
        return MetricResult(
            "name"_a = "distance_to_closest_record", "value"_a = score, "category"_a = "privacy",
            "higher_is_better"_a = true,
            "description"_a =
                "Mean distance from real to nearest synthetic record. Higher = better privacy.");
    }
    return MetricResult("name"_a = name, "value"_a = 0.0, "category"_a = "privacy");
}

// ---------------------------------------------------------------------------
// _attach_bootstrap_cis and its statistic

// _mean_ks(r_arr, s_arr): mean over the columns of 1 - KS statistic; a column
// whose test fails is left out, and with no column left the result is 0.0.
// Captures: ks_2samp, the module's globals.
nb::object mean_ks_impl(Call &c) {
    nb::handle r_arr = c[0], s_arr = c[1];
    nb::handle ks_2samp = c.capture(0);
    nb::list vals;
    nb::object n_obj = qrt::check(PyNumber_Index(item(get(r_arr, "shape"), 1).ptr()));
    Py_ssize_t n = PyLong_AsSsize_t(n_obj.ptr());
    if (n == -1 && PyErr_Occurred()) qrt::throw_error();
    nb::object all_rows = qrt::check(PySlice_New(nullptr, nullptr, nullptr));
    for (Py_ssize_t j = 0; j < n; ++j) {
        (void)guarded([&] {
            nb::object key = nb::make_tuple(all_rows, nb::int_(j));
            nb::object r_col = item(r_arr, key);
            nb::object s_col = item(s_arr, key);
            nb::object res = ks_2samp(r_col, s_col);
            auto [stat, pvalue] = qev::unpack2(res);
            (void)pvalue;
            vals.append(nb::float_(1.0) - stat);
        });
    }
    if (nb::len(vals) == 0) return nb::float_(0.0);
    nb::object mean = get(qev::global(c.capture(1), "np"), "mean")(vals);
    return qrt::check(PyNumber_Float(mean.ptr()));
}

const Signature kMeanKs{"_mean_ks",
                        "TabularEvaluator._attach_bootstrap_cis.<locals>._mean_ks",
                        "Mean over the columns of 1 - two-sample KS statistic.",
                        {{"r_arr", Type::Any, "np.ndarray"}, {"s_arr", Type::Any, "np.ndarray"}},
                        mean_ks_impl,
                        "float"};

nb::object attach_bootstrap_cis_impl(Call &c) {
    nb::handle self = c[0], report = c[1], real_data = c[2], synthetic_data = c[3];
    nb::handle globals = c.capture(0);

    nb::object bootstrap_ci;
    try {
        bootstrap_ci = import_from("quorvix.utils.bootstrap", "bootstrap_ci");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        qev::log_warning("quorvix.utils.bootstrap not available; skipping CI computation.");
        return nb::none();
    }

    nb::object is_numeric_dtype =
        get(qev::global(globals, "pd"), "api", "types", "is_numeric_dtype");
    nb::list num_cols;
    for (nb::handle col : get(real_data, "columns")) {
        if (!contains(get(synthetic_data, "columns"), col)) continue;
        if (!truthy(is_numeric_dtype(item(real_data, col)))) continue;
        if (!truthy(is_numeric_dtype(item(synthetic_data, col)))) continue;
        num_cols.append(col);
    }
    if (nb::len(num_cols) == 0) return nb::none();

    nb::object ks_2samp = import_from("scipy.stats", "ks_2samp");
    nb::object mean_ks = qrt::make_function(kMeanKs, kModule, nb::tuple(),
                                            nb::make_tuple(ks_2samp, globals));

    // The bootstrap utility can compute this statistic's replicates without
    // resampling the arrays, with identical results; it falls back to calling
    // _mean_ks itself whenever it cannot promise that (a replaced ks_2samp).
    try {
        nb::object over_resamples =
            import_from("quorvix.utils.bootstrap", "mean_ks_over_resamples");
        nb::object np_mean = get(qev::global(globals, "np"), "mean");
        nb::object offer = over_resamples(ks_2samp, np_mean);
        nb::setattr(mean_ks, "over_resamples", offer);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError)) throw;  // an older utility: the plain way
    }

    nb::object real_arr = get(get(item(real_data, num_cols), "fillna")(0), "values");
    nb::object synth_arr = get(get(item(synthetic_data, num_cols), "fillna")(0), "values");

    auto err = guarded([&] {
        nb::object n_boot = get(self, "n_bootstrap");
        nb::object seed = get(self, "random_seed");
        nb::object ci = bootstrap_ci(real_arr, synth_arr, "stat_fn"_a = mean_ks,
                                     "n_boot"_a = n_boot, "alpha"_a = 0.05,
                                     "random_seed"_a = seed);
        nb::list target_metrics;
        nb::str marker("ks_complement"), prefix("ks");
        for (nb::handle k : get(report, "aggregate_metrics")) {
            if (contains(k, marker) || truthy(get(k, "startswith")(prefix)))
                target_metrics.append(k);
        }
        for (nb::handle m_name : qrt::each(target_metrics)) {
            nb::object lower = get(ci, "lower");
            nb::object upper = get(ci, "upper");
            nb::object interval = nb::make_tuple(lower, upper);
            nb::object metric = item(get(report, "aggregate_metrics"), m_name);
            nb::setattr(metric, "confidence_interval", interval);
        }
    });
    if (err) qev::log_warning("Bootstrap CI computation failed: %s", err->value());
    return nb::none();
}

// ---------------------------------------------------------------------------
// compare

nb::object compare_impl(Call &c) {
    nb::object compare = import_from(kReportModule, "compare");
    return compare(c[1]);
}

// ---------------------------------------------------------------------------
// Signatures

const Signature kInit{"__init__",
                      "TabularEvaluator.__init__",
                      nullptr,
                      {{"self"},
                       {"metrics", Type::List, "Optional[List[str]]", true},
                       {"n_jobs", Type::Int, "int"},
                       {"random_seed", Type::Int, "Optional[int]", true},
                       {"compute_privacy", Type::Bool, "bool"},
                       {"compute_alpha_beta", Type::Bool, "bool"},
                       {"compute_compliance", Type::Bool, "bool"},
                       {"compute_bootstrap_ci", Type::Bool, "bool"},
                       {"n_bootstrap", Type::Int, "int"}},
                      init_impl};

const Signature kEvaluate{"evaluate",
                          "TabularEvaluator.evaluate",
                          "Run evaluation suite on real vs synthetic data.",
                          {{"self"},
                           {"real_data", Type::Any, "pd.DataFrame"},
                           {"synthetic_data", Type::Any, "Optional[pd.DataFrame]"},
                           {"generator"},
                           {"n_samples", Type::Int, "Optional[int]", true},
                           {"metrics", Type::List, "Optional[List[str]]", true}},
                          evaluate_impl,
                          "'EvaluationReport'",
                          "kwargs"};

const Signature kRunPrivacyMetric{"_run_privacy_metric",
                                  "TabularEvaluator._run_privacy_metric",
                                  "Run a single privacy metric by name.",
                                  {{"self"},
                                   {"name", Type::Str, "str"},
                                   {"real", Type::Any, "pd.DataFrame"},
                                   {"synthetic", Type::Any, "pd.DataFrame"}},
                                  run_privacy_metric_impl};

const Signature kAttachBootstrapCis{
    "_attach_bootstrap_cis",
    "TabularEvaluator._attach_bootstrap_cis",
    "Attach a bootstrap confidence interval for the mean KS complement to the\n"
    "        KS-type aggregate metrics of ``report``, in place.\n"
    "\n"
    "        The interval covers the mean, over the numeric columns shared by both\n"
    "        tables, of 1 - two-sample KS statistic; missing values count as 0.\n"
    "        Every aggregate metric whose name contains \"ks_complement\" or starts\n"
    "        with \"ks\" receives it. Best effort: a missing bootstrap utility or a\n"
    "        failing computation logs a warning and leaves the report unchanged.\n"
    "        ",
    {{"self"},
     {"report", Type::Any, "'EvaluationReport'"},
     {"real_data", Type::Any, "pd.DataFrame"},
     {"synthetic_data", Type::Any, "pd.DataFrame"}},
    attach_bootstrap_cis_impl,
    "None"};

const Signature kCompare{"compare",
                         "TabularEvaluator.compare",
                         "Compare multiple EvaluationReport objects from the same evaluator.",
                         {{"self"}, {"reports", Type::List, "list"}},
                         compare_impl,
                         "'ComparisonResult'"};

const Signature kToHtml{
    "to_html",
    "TabularEvaluator.to_html",
    "Render ``report`` as one self-contained HTML document and return it.\n"
    "\n"
    "        The page shows the report's identity and sizes, an overall quality\n"
    "        score (the mean of every higher-is-better metric) with its verdict, a\n"
    "        table of every metric with its threshold and a pass/fail mark and,\n"
    "        when both ``real_df`` and ``synthetic_df`` are given, embedded\n"
    "        distribution and correlation plots (PNG, Base64). Inserted names are\n"
    "        HTML-escaped. When ``output_path`` is a non-empty string the document\n"
    "        is also written there, UTF-8 encoded, replacing the file atomically.\n"
    "        ",
    {{"self"},
     {"report", Type::Any, "'EvaluationReport'"},
     {"output_path", Type::Str, "str", true},
     {"real_df", Type::Any, "pd.DataFrame"},
     {"synthetic_df", Type::Any, "pd.DataFrame"}},
    qev::to_html,
    "str"};

const Signature kGeneratePlotHtml{
    "_generate_plot_html",
    "TabularEvaluator._generate_plot_html",
    "Return ``(dist_html, corr_html)``: HTML fragments with embedded plots.\n"
    "\n"
    "        ``dist_html`` holds one histogram card (real against synthetic) for each\n"
    "        of the first 10 numeric columns of ``real_df`` that ``synthetic_df``\n"
    "        also has; ``corr_html`` holds the two correlation heatmaps over all\n"
    "        such columns, when there are at least two. Either is \"\" when there\n"
    "        is nothing to draw, and both are \"\" when matplotlib is not installed.\n"
    "        A column or heatmap that cannot be drawn is left out.\n"
    "        ",
    {{"real_df", Type::Any, "pd.DataFrame"}, {"synthetic_df", Type::Any, "pd.DataFrame"}},
    qev::generate_plot_html,
    "tuple"};

// ---------------------------------------------------------------------------
// Module body

void exec_module(nb::module_ m) {
    set_attr(m, "time", nb::module_::import_("time"));
    nb::object typing = nb::module_::import_("typing");
    for (const char *name : {"Any", "Dict", "List", "Optional", "Union"})
        set_attr(m, name, get(typing, name));
    set_attr(m, "np", nb::module_::import_("numpy"));
    set_attr(m, "pd", nb::module_::import_("pandas"));
    nb::list all;
    all.append("TabularEvaluator");
    set_attr(m, "__all__", all);

    nb::object globals = get(m, "__dict__");
    nb::tuple with_globals = nb::make_tuple(globals);
    nb::handle staticmethod = reinterpret_cast<PyObject *>(&PyStaticMethod_Type);

    // Laid out as a class body would be: the class's identity first, then the
    // class lists, then the methods in order of definition.
    nb::dict ns;
    set_item(ns, "__module__", kModule);
    set_item(ns, "__qualname__", "TabularEvaluator");
    set_item(ns, "__doc__", kClassDoc);
    set_item(ns, "DEFAULT_METRICS", make_list(kDefaultMetrics.data(), kDefaultMetrics.size()));
    set_item(ns, "PRIVACY_METRICS", make_list(kPrivacyMetrics.data(), kPrivacyMetrics.size()));
    set_item(ns, "__init__",
             qrt::make_function(
                 kInit, kModule,
                 nb::make_tuple(nb::none(), 1, nb::none(), true, true, true, false, 500)));
    set_item(ns, "evaluate",
             qrt::make_function(kEvaluate, kModule,
                                nb::make_tuple(nb::none(), nb::none(), nb::none(), nb::none()),
                                with_globals));
    set_item(ns, "_run_privacy_metric", qrt::make_function(kRunPrivacyMetric, kModule));
    set_item(ns, "_attach_bootstrap_cis",
             qrt::make_function(kAttachBootstrapCis, kModule, nb::tuple(), with_globals));
    set_item(ns, "compare", qrt::make_function(kCompare, kModule));
    set_item(ns, "to_html",
             qrt::make_function(kToHtml, kModule,
                                nb::make_tuple(nb::none(), nb::none(), nb::none(), nb::none())));
    set_item(
        ns, "_generate_plot_html",
        staticmethod(qrt::make_function(kGeneratePlotHtml, kModule, nb::tuple(), with_globals)));

    set_attr(m, "TabularEvaluator",
             qrt::make_class("TabularEvaluator", kModule, "TabularEvaluator", kClassDoc, ns));
}

}  // namespace

QRT_MODULE(evaluator, kModuleDoc, exec_module)
