// The HTML report of TabularEvaluator and its embedded plots.
//
// to_html renders one evaluation report as a single self-contained page:
// identity and sizes, an overall score with its verdict, the metric table and,
// when both tables are given, PNG plots embedded as Base64 data URLs. Inserted
// names are HTML-escaped; the file is replaced atomically.
#include "evaluator/evaluator.h"

namespace qev {

using namespace nb::literals;

std::string html_escape(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        switch (ch) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#x27;"; break;
            default: out += ch;
        }
    }
    return out;
}

namespace {

// UTF-8 bytes of a str. Lone surrogates pass through unchanged, so the document
// carries whatever the inserted values hold; writing such a document to a file
// fails in the UTF-8 codec, as writing the text directly would.
std::string utf8(nb::handle s) {
    nb::object bytes = qrt::check(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(bytes.ptr()),
                       static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

nb::object from_utf8(const std::string &text) {
    return qrt::check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                           "surrogatepass"));
}

std::string str_of(nb::handle o) { return utf8(nb::str(o)); }

std::string escaped(nb::handle o) { return html_escape(str_of(o)); }

// format(value, code), as the interpreter's format() built-in does it.
std::string format(nb::handle value, const char *code) {
    return utf8(qrt::check(PyObject_Format(value.ptr(), nb::str(code).ptr())));
}

Py_ssize_t length(nb::handle o) {
    Py_ssize_t n = PyObject_Length(o.ptr());
    if (n < 0) qrt::throw_error();
    return n;
}

// target.update(mapping) with the error of `{**mapping}` for a non-mapping.
void merge_into(nb::dict &target, nb::handle mapping) {
    if (PyDict_Update(target.ptr(), mapping.ptr()) == 0) return;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        qrt::raise(PyExc_TypeError, "'%.200s' object is not a mapping", qrt::type_name(mapping));
    }
    qrt::throw_error();
}

// ---------------------------------------------------------------------------
// Writing the file

// Writes `text` to `path` through a temporary file in the same directory that
// is then renamed onto it: readers see the old file or the new one, never a
// partial write, and on any failure the temporary file is removed and an
// existing file is left as it was. A symbolic link at `path` is followed, as
// opening the path for writing would; a file that already exists keeps its
// permission bits, a new one gets the usual ones (0666 less the umask).
void write_atomically(nb::handle path, nb::handle text) {
    nb::module_ os = nb::module_::import_("os");
    nb::object os_path = get(os, "path");
    nb::object target = get(os_path, "realpath")(path);
    nb::object directory = get(os_path, "dirname")(target);
    nb::object base = get(os_path, "basename")(target);
    nb::object io_open = get(nb::module_::import_("io"), "open");

    // Mode "x" creates the file exclusively (O_CREAT | O_EXCL), and the file
    // object owns its descriptor from the start: however its creation ends
    // (an error, an interrupt), the descriptor is closed once, by io itself,
    // never a second time by us (in a threaded program that number may
    // already belong to another file).
    nb::object tmp, file;
    for (int attempt = 0; !file.is_valid(); ++attempt) {
        nb::object token = get(get(os, "urandom")(6), "hex")();
        nb::object name = nb::str(".") + base + nb::str(".") + token + nb::str(".tmp");
        tmp = get(os_path, "join")(directory, name);
        try {
            file = io_open(tmp, "x", "encoding"_a = "utf-8");
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_FileExistsError) && attempt < 100) continue;
            if (e.matches(PyExc_OSError)) {
                // Report the path the caller asked for, not the temporary name.
                nb::setattr(e.value(), "filename", path);
            } else {
                // Interrupted (or out of memory) after the file may have been
                // created: it is ours, remove it.
                try {
                    get(os, "unlink")(tmp);
                } catch (nb::python_error &) {
                    // Not created, or not removable: the first error matters.
                }
            }
            throw;
        }
    }

    try {
        try {
            get(file, "write")(text);
            get(file, "flush")();
            get(os, "fsync")(get(file, "fileno")());
        } catch (...) {
            try {
                get(file, "close")();
            } catch (nb::python_error &) {
                // The first error is the one to report.
            }
            throw;
        }
        get(file, "close")();

        try {
            nb::object st = get(os, "stat")(target);
            nb::object mode = get(nb::module_::import_("stat"), "S_IMODE")(get(st, "st_mode"));
            get(os, "chmod")(tmp, mode);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_FileNotFoundError)) throw;  // a new file
        }
        get(os, "replace")(tmp, target);
    } catch (...) {
        try {
            get(os, "unlink")(tmp);
        } catch (nb::python_error &) {
            // Already gone or not removable: the original error matters more.
        }
        throw;
    }
}

// ---------------------------------------------------------------------------
// The document

// The fixed text of the page around the inserted values (one piece per gap).
constexpr const char *kHead1 = "<!DOCTYPE html>\n<html>\n<head><title>Quorvix Evaluation Report \xE2\x80\x94 ";
constexpr const char *kHead2 =
    "</title>\n"
    "<style>\n"
    "body{font-family:'Segoe UI',Arial,sans-serif;margin:0;padding:0;background:#f5f7fa;color:#333;}\n"
    ".container{max-width:1100px;margin:0 auto;padding:30px;}\n"
    "h1{color:#1a1a2e;border-bottom:3px solid #0066cc;padding-bottom:10px;}\n"
    "h2{color:#1a1a2e;margin-top:30px;}\n"
    "table{border-collapse:collapse;width:100%;background:#fff;box-shadow:0 1px 3px "
    "rgba(0,0,0,0.1);border-radius:8px;overflow:hidden;}\n"
    "th,td{border:1px solid #e0e0e0;padding:10px 14px;text-align:left;}\n"
    "th{background:#0066cc;color:#fff;font-weight:600;}\n"
    "tr:nth-child(even){background:#f9f9f9;}\n"
    ".score-card{display:inline-block;background:#fff;border-radius:12px;padding:20px "
    "40px;box-shadow:0 2px 8px rgba(0,0,0,0.1);text-align:center;margin:20px 0;}\n"
    ".score-value{font-size:56px;font-weight:bold;color:";
constexpr const char *kHead3 =
    ";}\n"
    ".score-label{font-size:14px;color:#666;text-transform:uppercase;letter-spacing:1px;}\n"
    ".meta{color:#555;font-size:14px;line-height:1.8;}\n"
    ".plots-grid{display:grid;grid-template-columns:repeat(auto-fill,minmax(400px,1fr));gap:"
    "20px;margin-top:20px;}\n"
    ".plot-card{background:#fff;border-radius:8px;padding:15px;box-shadow:0 1px 3px "
    "rgba(0,0,0,0.1);text-align:center;}\n"
    ".plot-card img{max-width:100%;height:auto;}\n"
    ".footer{margin-top:40px;padding-top:20px;border-top:1px solid #ddd;color:#888;font-size:"
    "12px;}\n"
    "</style></head>\n"
    "<body>\n"
    "<div class=\"container\">\n"
    "<h1>Evaluation Report \xE2\x80\x94 ";
constexpr const char *kMeta1 = "</h1>\n<div class=\"meta\">\n<p>Generated: ";
constexpr const char *kMeta2 = " | Dataset: ";
constexpr const char *kMeta3 = "</p>\n<p>Real data: ";
constexpr const char *kMeta4 = " rows | Synthetic data: ";
constexpr const char *kMeta5 = " rows | ";
constexpr const char *kMeta6 =
    " columns</p>\n"
    "</div>\n"
    "<div class=\"score-card\">\n"
    "<div class=\"score-label\">Overall Quality Score</div>\n"
    "<div class=\"score-value\" style=\"color:";
constexpr const char *kScore1 = "\">";
constexpr const char *kScore2 = "</div>\n<div class=\"score-label\" style=\"color:";
constexpr const char *kScore3 = ";font-size:1.1em;font-weight:bold\">";
constexpr const char *kTable =
    "</div>\n"
    "</div>\n"
    "<h2>Metrics</h2>\n"
    "<table>\n"
    "<tr><th>Metric</th><th>Value</th><th>Threshold</th><th>Pass/Fail</th></tr>\n";
constexpr const char *kTableEnd = "\n</table>\n";
constexpr const char *kFoot =
    "\n<div class=\"footer\">Generated by Quorvix v2.0.2 Evaluation Suite</div>\n"
    "</div>\n"
    "</body>\n"
    "</html>";

constexpr const char *kPass = "#28a745";
constexpr const char *kFail = "#dc3545";

struct Verdict {
    const char *label;
    const char *color;
};

// Inclusive thresholds tried from the top; NaN fails all of them.
Verdict verdict(double overall) {
    if (overall >= 0.85) return {"EXCELLENT", "#28a745"};
    if (overall >= 0.7) return {"GOOD", "#198754"};
    if (overall >= 0.55) return {"WARN", "#ffc107"};
    return {"FAIL", "#dc3545"};
}

}  // namespace

nb::object to_html(qrt::Call &c) {
    nb::handle self = c[0], report = c[1], output_path = c[2], real_df = c[3],
               synthetic_df = c[4];
    if (report.is_none()) qrt::raise(PyExc_ValueError, "report must be provided.");

    // Aggregate metrics first; a name also present among the privacy metrics
    // keeps its place and takes the privacy entry.
    nb::dict all_metrics;
    merge_into(all_metrics, get(report, "aggregate_metrics"));
    merge_into(all_metrics, get(report, "privacy_metrics"));

    // The entries as one tuple of (name, metric) pairs, held for both walks:
    // reading a metric runs the caller's code, and nothing it does to the
    // report, its dicts or the metric objects can free an entry under us.
    nb::object entries =
        qrt::check(PySequence_Tuple(qrt::check(PyDict_Items(all_metrics.ptr())).ptr()));

    nb::list hib_vals;
    for (nb::handle entry : qrt::each(entries)) {
        nb::object m = item(entry, 1);
        if (truthy(get(m, "higher_is_better"))) hib_vals.append(get(m, "value"));
    }
    double overall = 0.0;
    if (nb::len(hib_vals) > 0) {
        nb::object total = get(nb::module_::import_("builtins"), "sum")(hib_vals);
        nb::object mean = qrt::check(
            PyNumber_TrueDivide(total.ptr(), nb::int_(nb::len(hib_vals)).ptr()));
        overall = PyFloat_AsDouble(qrt::check(PyNumber_Float(mean.ptr())).ptr());
    }
    const Verdict v = verdict(overall);

    std::string rows;
    nb::str tstr_prefix("tstr_normalized");
    for (nb::handle entry : qrt::each(entries)) {
        nb::object name = item(entry, 0), m = item(entry, 1);
        double threshold;
        if (truthy(get(name, "startswith")(tstr_prefix)))
            threshold = 0.65;
        else
            threshold = truthy(get(m, "higher_is_better")) ? 0.65 : 0.35;
        nb::float_ limit(threshold);
        bool hib = truthy(get(m, "higher_is_better"));
        nb::object value = get(m, "value");
        bool passes = truthy(qrt::check(
            PyObject_RichCompare(value.ptr(), limit.ptr(), hib ? Py_GE : Py_LE)));
        const char *pf = passes ? "PASS" : "FAIL";
        rows += "<tr><td>";
        rows += escaped(name);
        rows += "</td><td>";
        rows += format(value, ".4f");
        rows += "</td><td>";
        rows += format(limit, ".2f");
        rows += "</td><td style='color:";
        rows += passes ? kPass : kFail;
        rows += ";font-weight:bold'>";
        rows += pf;
        rows += "</td></tr>\n";
    }

    std::string dist_plots_html, corr_plots_html;
    if (!real_df.is_none() && !synthetic_df.is_none()) {
        auto [dist, corr] = unpack2(get(self, "_generate_plot_html")(real_df, synthetic_df));
        dist_plots_html = str_of(dist);
        corr_plots_html = str_of(corr);
    }

    const std::string generator_name = escaped(get(report, "generator_name"));
    std::string html;
    html += kHead1;
    html += generator_name;
    html += kHead2;
    html += v.color;
    html += kHead3;
    html += generator_name;
    html += kMeta1;
    html += escaped(get(report, "timestamp"));
    html += kMeta2;
    html += escaped(get(report, "dataset_name"));
    html += kMeta3;
    html += format(get(report, "real_data_n_rows"), ",");
    html += kMeta4;
    html += format(get(report, "synthetic_data_n_rows"), ",");
    html += kMeta5;
    html += escaped(get(report, "n_columns"));  // a number; escaped all the same
    html += kMeta6;
    html += v.color;
    html += kScore1;
    html += format(nb::float_(overall), ".2f");
    html += kScore2;
    html += v.color;
    html += kScore3;
    html += v.label;
    html += kTable;
    html += rows;
    html += kTableEnd;
    html += dist_plots_html;
    html += "\n";
    html += corr_plots_html;
    html += kFoot;

    nb::object document = from_utf8(html);
    if (!output_path.is_none() && truthy(output_path)) write_atomically(output_path, document);
    return document;
}

// ---------------------------------------------------------------------------
// Plots

namespace {

// plt.close(fig) after a failure: the figure must not outlive the call, and an
// error while closing must not hide the one being handled.
void close_after_failure(nb::handle plt, nb::handle fig) {
    try {
        get(plt, "close")(fig);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
}

std::string encode_png(nb::handle fig, nb::handle plt, nb::handle io, nb::handle base64) {
    nb::object buf = get(io, "BytesIO")();
    get(fig, "savefig")(buf, "format"_a = "png", "dpi"_a = 100);
    get(plt, "close")(fig);
    return str_of(get(get(base64, "b64encode")(get(buf, "getvalue")()), "decode")());
}

// One histogram card, real against synthetic, for column `col`.
std::string distribution_card(nb::handle real_df, nb::handle synthetic_df, nb::handle col,
                              nb::handle plt, nb::handle io, nb::handle base64) {
    nb::object fig;
    try {
        auto [f, ax] = unpack2(get(plt, "subplots")("figsize"_a = nb::make_tuple(5, 3.5)));
        fig = f;
        nb::object real_vals = get(item(real_df, col), "dropna")();
        nb::object synth_vals = get(item(synthetic_df, col), "dropna")();
        const Py_ssize_t bins = std::min<Py_ssize_t>(50, std::max<Py_ssize_t>(10, length(real_vals) / 20));
        // Each histogram is one filled outline rather than a patch per bin:
        // the same picture, drawn (and placed around by the legend) much faster.
        get(ax, "hist")(real_vals, "bins"_a = bins, "alpha"_a = 0.6, "label"_a = "Real",
                        "color"_a = "#0066cc", "density"_a = true, "histtype"_a = "stepfilled");
        if (length(synth_vals) > 0)
            get(ax, "hist")(synth_vals, "bins"_a = bins, "alpha"_a = 0.6, "label"_a = "Synthetic",
                            "color"_a = "#ff6600", "density"_a = true,
                            "histtype"_a = "stepfilled");
        get(ax, "set_title")(col, "fontsize"_a = 11, "fontweight"_a = "bold");
        get(ax, "legend")("fontsize"_a = 9);
        get(ax, "tick_params")("labelsize"_a = 8);
        get(fig, "tight_layout")();
        std::string encoded = encode_png(fig, plt, io, base64);
        return "<div class='plot-card'><img src='data:image/png;base64," + encoded + "' alt='" +
               escaped(col) + "'></div>";
    } catch (...) {
        if (fig.is_valid()) close_after_failure(plt, fig);
        throw;
    }
}

// The real and synthetic correlation heatmaps side by side, over `cols`.
std::string correlation_pair(nb::handle real_df, nb::handle synthetic_df, nb::handle cols,
                             nb::handle plt, nb::handle io, nb::handle base64) {
    nb::object fig;
    try {
        // The constrained layout makes room for the colour bar beside the two
        // panels (tight_layout cannot place a colour bar's axes: it warned and
        // let the bar cover part of the synthetic panel).
        auto [f, axes] = unpack2(get(plt, "subplots")(1, 2, "figsize"_a = nb::make_tuple(10, 4.5),
                                                      "layout"_a = "constrained"));
        fig = f;
        nb::object real_corr = get(item(real_df, cols), "corr")();
        nb::object synth_corr = get(item(synthetic_df, cols), "corr")();
        nb::object ticks = get(nb::module_::import_("builtins"), "range")(nb::len(cols));
        nb::object ax0 = item(axes, nb::int_(0)), ax1 = item(axes, nb::int_(1));

        nb::object im0 = get(ax0, "imshow")(get(real_corr, "values"), "cmap"_a = "RdBu_r",
                                            "vmin"_a = -1, "vmax"_a = 1, "aspect"_a = "auto");
        get(ax0, "set_title")("Real Correlation", "fontsize"_a = 11, "fontweight"_a = "bold");
        get(ax0, "set_xticks")(ticks);
        get(ax0, "set_yticks")(ticks);
        // Tick labels are the first 12 characters of each label; a label that
        // cannot be sliced (an integer) makes the heatmap fail.
        nb::list labels;
        nb::object first12 = qrt::check(PySlice_New(nullptr, nb::int_(12).ptr(), nullptr));
        for (nb::handle label : cols) labels.append(item(label, first12));
        get(ax0, "set_xticklabels")(labels, "rotation"_a = 45, "ha"_a = "right", "fontsize"_a = 7);
        get(ax0, "set_yticklabels")(labels, "fontsize"_a = 7);

        get(ax1, "imshow")(get(synth_corr, "values"), "cmap"_a = "RdBu_r", "vmin"_a = -1,
                           "vmax"_a = 1, "aspect"_a = "auto");
        get(ax1, "set_title")("Synthetic Correlation", "fontsize"_a = 11, "fontweight"_a = "bold");
        get(ax1, "set_xticks")(ticks);
        get(ax1, "set_yticks")(ticks);
        get(ax1, "set_xticklabels")(labels, "rotation"_a = 45, "ha"_a = "right", "fontsize"_a = 7);
        get(ax1, "set_yticklabels")(labels, "fontsize"_a = 7);

        get(fig, "colorbar")(im0, "ax"_a = axes, "shrink"_a = 0.8);
        std::string encoded = encode_png(fig, plt, io, base64);
        return "<h2>Correlation Comparison</h2><div class='plot-card' "
               "style='max-width:800px'><img src='data:image/png;base64," +
               encoded + "' alt='Correlation'></div>";
    } catch (...) {
        if (fig.is_valid()) close_after_failure(plt, fig);
        throw;
    }
}

bool failed_softly(nb::python_error &e) { return e.matches(PyExc_Exception); }

}  // namespace

nb::object generate_plot_html(qrt::Call &c) {
    nb::handle real_df = c[0], synthetic_df = c[1];
    nb::handle globals = c.capture(0);
    std::string dist_html, corr_html;

    nb::object plt, io, base64;
    try {
        nb::object matplotlib = nb::module_::import_("matplotlib");
        get(matplotlib, "use")("Agg");
        plt = nb::module_::import_("matplotlib.pyplot");
        io = nb::module_::import_("io");
        base64 = nb::module_::import_("base64");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        return nb::make_tuple(nb::str(""), nb::str(""));
    }

    nb::list numeric_types;
    numeric_types.append(get(global(globals, "np"), "number"));
    nb::object numeric_cols =
        get(get(real_df, "select_dtypes")("include"_a = numeric_types), "columns", "tolist")();
    nb::list shared_numeric;
    for (nb::handle col : numeric_cols)
        if (contains(get(synthetic_df, "columns"), col)) shared_numeric.append(col);

    const size_t n_plot = std::min<size_t>(10, nb::len(shared_numeric));
    if (n_plot > 0) {
        dist_html = "<h2>Distribution Comparison</h2><div class='plots-grid'>";
        for (size_t i = 0; i < n_plot; ++i) {
            try {
                nb::object col = item(shared_numeric, nb::int_(i));
                dist_html += distribution_card(real_df, synthetic_df, col, plt, io, base64);
            } catch (nb::python_error &e) {
                if (!failed_softly(e)) throw;  // this column gets no card
            }
        }
        dist_html += "</div>";
    }

    if (nb::len(shared_numeric) >= 2) {
        try {
            corr_html = correlation_pair(real_df, synthetic_df, shared_numeric, plt, io, base64);
        } catch (nb::python_error &e) {
            if (!failed_softly(e)) throw;  // no heatmap
        }
    }
    return nb::make_tuple(from_utf8(dist_html), from_utf8(corr_html));
}

}  // namespace qev
