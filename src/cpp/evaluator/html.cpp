// The HTML report of TabularEvaluator and its embedded plots.
//
// to_html renders one evaluation report as a single self-contained page:
// identity and sizes, an overall score with its verdict, the metric table and,
// when both tables are given, PNG plots embedded as Base64 data URLs. Inserted
// names are HTML-escaped; the file is replaced atomically.
#include "evaluator/evaluator.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

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
//
// The figures are drawn on Agg canvases of their own, outside pyplot's figure
// registry: nothing has to be closed, and a failure leaves nothing behind.
// The histogram cards share one figure, emptied between cards, so its axes,
// ticks and text measurements are made once rather than once per card. Each
// figure is laid out from one measurement of its labels and titles, giving the
// margins an automatic layout would give without its repeated passes.

namespace {

// What the plots use from matplotlib and the standard library, looked up once
// per call.
struct Plotting {
    nb::object np, figure_class, canvas_class, polygon_class, rc_params, io, base64;
};

double to_double(nb::handle o) {
    const double v = PyFloat_AsDouble(o.ptr());
    if (v == -1.0 && PyErr_Occurred()) qrt::throw_error();
    return v;
}

// A rectangle in display pixels, origin at the bottom left.
struct Box {
    double x0, y0, x1, y1;
    bool finite() const {
        return std::isfinite(x0) && std::isfinite(y0) && std::isfinite(x1) && std::isfinite(y1);
    }
};

Box box_of(nb::handle bbox) {
    return {to_double(get(bbox, "xmin")), to_double(get(bbox, "ymin")),
            to_double(get(bbox, "xmax")), to_double(get(bbox, "ymax"))};
}

// How far an Axes' decorations (tick labels, offset texts, title) reach
// beyond its frame on each side, in pixels. The title counts for its height
// only: it is centred over the frame whatever the margins, as in the automatic
// layouts.
struct Reach {
    double left = 0, bottom = 0, right = 0, top = 0;
};

Reach decorations(nb::handle ax, nb::handle renderer) {
    const Box frame = box_of(get(ax, "bbox"));
    Box all = frame;
    for (const char *axis : {"xaxis", "yaxis"}) {
        nb::object b = get(get(ax, axis), "get_tightbbox")(renderer, "for_layout_only"_a = true);
        if (b.is_none()) continue;
        const Box box = box_of(b);
        if (!box.finite()) continue;
        all = {std::min(all.x0, box.x0), std::min(all.y0, box.y0), std::max(all.x1, box.x1),
               std::max(all.y1, box.y1)};
    }
    nb::object title = get(ax, "title");
    if (truthy(get(title, "get_visible")())) {
        const Box t = box_of(get(title, "get_window_extent")(renderer));
        if (t.finite() && (t.x1 > t.x0 || t.y1 > t.y0)) {
            all.y0 = std::min(all.y0, t.y0);
            all.y1 = std::max(all.y1, t.y1);
        }
    }
    return {std::max(0.0, frame.x0 - all.x0), std::max(0.0, frame.y0 - all.y0),
            std::max(0.0, all.x1 - frame.x1), std::max(0.0, all.y1 - frame.y1)};
}

constexpr double kDpi = 100.0;

// A figure with no layout engine, whatever the rcParams ask for (autolayout,
// constrained layout): its axes are placed here.
nb::object new_figure(const Plotting &p, double width_in, double height_in) {
    nb::object fig = p.figure_class("figsize"_a = nb::make_tuple(width_in, height_in),
                                    "dpi"_a = kDpi, "layout"_a = "none");
    p.canvas_class(fig);  // the canvas attaches itself to the figure
    return fig;
}

std::string encode_png(nb::handle fig, const Plotting &p) {
    nb::object buf = get(p.io, "BytesIO")();
    get(fig, "savefig")(buf, "format"_a = "png", "dpi"_a = kDpi);
    return str_of(get(get(p.base64, "b64encode")(get(buf, "getvalue")()), "decode")());
}

// A float64 copy of a 1-D array's values, read through the buffer protocol.
std::vector<double> float_values(const Plotting &p, nb::handle array) {
    nb::object arr = get(p.np, "ascontiguousarray")(array, "dtype"_a = "float64");
    Py_buffer view;
    if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0)
        qrt::throw_error();
    std::vector<double> out;
    const bool flat = view.ndim == 1 && view.itemsize == sizeof(double) && view.format &&
                      std::string(view.format) == "d";
    if (flat) {
        const double *data = static_cast<const double *>(view.buf);
        out.assign(data, data + view.len / static_cast<Py_ssize_t>(sizeof(double)));
    }
    PyBuffer_Release(&view);
    if (!flat) qrt::raise(PyExc_ValueError, "expected a 1-D array of floats");
    return out;
}

// The figure the histogram cards are drawn on, one after another.
class CardFigure {
  public:
    explicit CardFigure(const Plotting &p) : p_(p) {}

    // Draws one card, real against synthetic (drawn when it has values), and
    // returns its PNG in Base64. On any failure the figure is dropped, and the
    // next card starts on a new one.
    std::string draw(nb::handle real_vals, nb::handle synth_vals, Py_ssize_t bins,
                     nb::handle col) {
        try {
            if (!fig_.is_valid()) open();
            for (nb::handle shape : shapes_) get(shape, "remove")();
            shapes_.clear();
            // the first outline's extent replaces the previous card's
            set_attr(ax_, "ignore_existing_data_limits", nb::bool_(true));
            bool keep = add_histogram(real_vals, bins, "Real", "#0066cc");
            if (length(synth_vals) > 0)
                keep = add_histogram(synth_vals, bins, "Synthetic", "#ff6600") && keep;
            get(ax_, "autoscale_view")();
            get(ax_, "set_title")(col, "fontsize"_a = 11, "fontweight"_a = "bold");
            get(ax_, "legend")("fontsize"_a = 9);
            lay_out();
            std::string encoded = encode_png(fig_, p_);
            if (!keep) discard();
            return encoded;
        } catch (...) {
            discard();
            throw;
        }
    }

  private:
    void open() {
        fig_ = new_figure(p_, 5, 3.5);
        ax_ = get(fig_, "subplots")();
        get(ax_, "tick_params")("labelsize"_a = 8);
        nb::object params = get(fig_, "subplotpars");
        defaults_ = {to_double(get(params, "left")), to_double(get(params, "bottom")),
                     to_double(get(params, "right")), to_double(get(params, "top"))};
    }

    void discard() {
        fig_ = nb::object();
        ax_ = nb::object();
        shapes_.clear();
    }

    // One density histogram as a filled step outline: the counts come from
    // numpy.histogram of the values over their own range, as a "stepfilled"
    // histogram bins them, and the outline is built here from counts and
    // edges. Returns false when the column held more than one series (repeated
    // column labels): those are drawn by Axes.hist, one outline per series,
    // and the figure is not reused after them.
    bool add_histogram(nb::handle values, Py_ssize_t bins, const char *label,
                       const char *color) {
        nb::object arr = get(values, "to_numpy")();
        if (PyLong_AsLong(get(arr, "ndim").ptr()) != 1) {
            if (PyErr_Occurred()) qrt::throw_error();
            get(ax_, "hist")(values, "bins"_a = bins, "alpha"_a = 0.6, "label"_a = label,
                             "color"_a = color, "density"_a = true,
                             "histtype"_a = "stepfilled");
            return false;
        }
        nb::object range = nb::none();
        if (length(arr) > 0) {
            nb::object lo = get(p_.np, "nanmin")(arr), hi = get(p_.np, "nanmax")(arr);
            if (truthy(qrt::check(PyObject_RichCompare(lo.ptr(), hi.ptr(), Py_LE))))
                range = nb::make_tuple(lo, hi);
        }
        auto [counts, edges] = unpack2(get(p_.np, "histogram")(arr, bins, "range"_a = range,
                                                                "density"_a = true));
        const std::vector<double> top = float_values(p_, counts);
        const std::vector<double> x = float_values(p_, edges);
        if (x.size() != top.size() + 1)
            qrt::raise(PyExc_ValueError, "histogram edges do not match its counts");

        // (x0, 0), (x0, h0), (x1, h0), (x1, h1), ..., (xn, h[n-1]), (xn, 0)
        const size_t n_points = 2 * x.size();
        nb::object xy = get(p_.np, "empty")(nb::make_tuple(n_points, 2));
        Py_buffer view;
        if (PyObject_GetBuffer(xy.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) != 0)
            qrt::throw_error();
        if (view.len != static_cast<Py_ssize_t>(n_points * 2 * sizeof(double))) {
            PyBuffer_Release(&view);
            qrt::raise(PyExc_ValueError, "unexpected vertex buffer");
        }
        double *v = static_cast<double *>(view.buf);
        for (size_t i = 0; i < x.size(); ++i) {
            v[4 * i] = x[i];
            v[4 * i + 2] = x[i];
            v[4 * i + 1] = i == 0 ? 0.0 : top[i - 1];
            v[4 * i + 3] = i == top.size() ? 0.0 : top[i];
        }
        PyBuffer_Release(&view);

        nb::object shape = p_.polygon_class(xy, "closed"_a = true, "facecolor"_a = color,
                                            "alpha"_a = 0.6, "label"_a = label);
        get(get(shape, "sticky_edges", "y"), "append")(0);  // bars stand on zero
        get(ax_, "add_artist")(shape);
        shapes_.push_back(shape);
        get(ax_, "update_datalim")(xy);
        return true;
    }

    // Margins from the decorations measured around the default frame, plus the
    // usual padding of 1.08 font sizes; left as they are when they would not
    // fit.
    void lay_out() {
        adjust(defaults_);
        nb::object renderer = get(fig_, "canvas", "get_renderer")();
        const Reach r = decorations(ax_, renderer);
        nb::object size = get(fig_, "bbox");
        const double w = to_double(get(size, "width")), h = to_double(get(size, "height"));
        const double pad = 1.08 * to_double(item(p_.rc_params, "font.size")) / 72.0 * kDpi;
        const double left = (r.left + pad) / w, right = 1.0 - (r.right + pad) / w;
        const double bottom = (r.bottom + pad) / h, top = 1.0 - (r.top + pad) / h;
        if (left < right && bottom < top) adjust({left, bottom, right, top});
    }

    void adjust(const Box &frame) {
        get(fig_, "subplots_adjust")("left"_a = frame.x0, "bottom"_a = frame.y0,
                                     "right"_a = frame.x1, "top"_a = frame.y1);
    }

    const Plotting &p_;
    nb::object fig_, ax_;
    Box defaults_{};  // the figure's own subplot parameters, as fractions
    std::vector<nb::object> shapes_;
};

// One histogram card, real against synthetic, for column `col`.
std::string distribution_card(nb::handle real_df, nb::handle synthetic_df, nb::handle col,
                              CardFigure &cards) {
    nb::object real_vals = get(item(real_df, col), "dropna")();
    nb::object synth_vals = get(item(synthetic_df, col), "dropna")();
    const Py_ssize_t bins =
        std::min<Py_ssize_t>(50, std::max<Py_ssize_t>(10, length(real_vals) / 20));
    std::string encoded = cards.draw(real_vals, synth_vals, bins, col);
    return "<div class='plot-card'><img src='data:image/png;base64," + encoded + "' alt='" +
           escaped(col) + "'></div>";
}

// Places the two heatmaps side by side with the colour bar at their right,
// from the decorations measured where the axes stand now: the panels share
// the width left by the decorations, the bar is 0.8 of their height and
// centred on them, 1/20 of its height wide, and stands off the panels by 0.05
// of their span (the colour bar's usual proportions). A figure too small for
// its labels keeps the positions it has.
void place_heatmaps(nb::handle fig, nb::handle ax0, nb::handle ax1, nb::handle cax) {
    nb::object renderer = get(fig, "canvas", "get_renderer")();
    const Reach d0 = decorations(ax0, renderer), d1 = decorations(ax1, renderer),
                dc = decorations(cax, renderer);
    nb::object size = get(fig, "bbox");
    const double W = to_double(get(size, "width")), H = to_double(get(size, "height"));
    const double pad = 3.0 / 72.0 * kDpi;  // around every panel
    const double gap = 2.5 * pad;            // between the two panels' decorations
    const double below = std::max(d0.bottom, d1.bottom), above = std::max(d0.top, d1.top);
    const double h = H - 2 * pad - below - above;
    const double bar_w = 0.8 * h / 20;
    const double bar_pad_fixed = 0.05 * (d0.right + gap + d1.left);
    const double fixed = 2 * pad + d0.left + d0.right + gap + d1.left + d1.right + bar_pad_fixed +
                         dc.left + bar_w + dc.right;
    const double w = (W - fixed) / 2.1;  // two panels and 0.05 of each for the bar's pad
    if (!(w > 0 && h > 0)) return;
    const double x0 = pad + d0.left;
    const double x1 = x0 + w + d0.right + gap + d1.left;
    const double xc = x1 + w + d1.right + 0.1 * w + bar_pad_fixed + dc.left;
    const double y0 = pad + below;
    get(ax0, "set_position")(nb::make_tuple(x0 / W, y0 / H, w / W, h / H));
    get(ax1, "set_position")(nb::make_tuple(x1 / W, y0 / H, w / W, h / H));
    get(cax, "set_position")(
        nb::make_tuple(xc / W, (y0 + 0.1 * h) / H, bar_w / W, 0.8 * h / H));
}

// The real and synthetic correlation heatmaps side by side, over `cols`.
std::string correlation_pair(nb::handle real_df, nb::handle synthetic_df, nb::handle cols,
                             const Plotting &p) {
    nb::object fig = new_figure(p, 10, 4.5);
    nb::object axes = get(fig, "subplots")(1, 2);
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

    // The bar's axes is placed with the panels below.
    nb::object cax = get(fig, "add_axes")(nb::make_tuple(0.9, 0.2, 0.015, 0.6),
                                          "label"_a = "<colorbar>");
    get(fig, "colorbar")(im0, "cax"_a = cax);
    place_heatmaps(fig, ax0, ax1, cax);
    std::string encoded = encode_png(fig, p);
    return "<h2>Correlation Comparison</h2><div class='plot-card' "
           "style='max-width:800px'><img src='data:image/png;base64," +
           encoded + "' alt='Correlation'></div>";
}

bool failed_softly(nb::python_error &e) { return e.matches(PyExc_Exception); }

}  // namespace

nb::object generate_plot_html(qrt::Call &c) {
    nb::handle real_df = c[0], synthetic_df = c[1];
    nb::handle globals = c.capture(0);
    std::string dist_html, corr_html;

    Plotting p;
    try {
        nb::object matplotlib = nb::module_::import_("matplotlib");
        get(matplotlib, "use")("Agg");
        p.figure_class = get(nb::module_::import_("matplotlib.figure"), "Figure");
        p.canvas_class =
            get(nb::module_::import_("matplotlib.backends.backend_agg"), "FigureCanvasAgg");
        p.polygon_class = get(nb::module_::import_("matplotlib.patches"), "Polygon");
        p.rc_params = get(matplotlib, "rcParams");
        p.io = nb::module_::import_("io");
        p.base64 = nb::module_::import_("base64");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        return nb::make_tuple(nb::str(""), nb::str(""));
    }
    p.np = global(globals, "np");

    nb::list numeric_types;
    numeric_types.append(get(p.np, "number"));
    nb::object numeric_cols =
        get(get(real_df, "select_dtypes")("include"_a = numeric_types), "columns", "tolist")();
    nb::list shared_numeric;
    for (nb::handle col : numeric_cols)
        if (contains(get(synthetic_df, "columns"), col)) shared_numeric.append(col);

    const size_t n_plot = std::min<size_t>(10, nb::len(shared_numeric));
    if (n_plot > 0) {
        CardFigure cards(p);
        dist_html = "<h2>Distribution Comparison</h2><div class='plots-grid'>";
        for (size_t i = 0; i < n_plot; ++i) {
            try {
                nb::object col = item(shared_numeric, nb::int_(i));
                dist_html += distribution_card(real_df, synthetic_df, col, cards);
            } catch (nb::python_error &e) {
                if (!failed_softly(e)) throw;  // this column gets no card
            }
        }
        dist_html += "</div>";
    }

    if (nb::len(shared_numeric) >= 2) {
        try {
            corr_html = correlation_pair(real_df, synthetic_df, shared_numeric, p);
        } catch (nb::python_error &e) {
            if (!failed_softly(e)) throw;  // no heatmap
        }
    }
    return nb::make_tuple(from_utf8(dist_html), from_utf8(corr_html));
}

}  // namespace qev
