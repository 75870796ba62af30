"""_generate_plot_html: which columns are drawn, how, and what happens to
columns or heatmaps that cannot be drawn."""

import base64
import re
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

matplotlib = pytest.importorskip("matplotlib")
import matplotlib.axes  # noqa: E402
import matplotlib.colors  # noqa: E402
import matplotlib.figure  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402

CARD = re.compile(r"<div class='plot-card'><img src='data:image/png;base64,([A-Za-z0-9+/=]+)' "
                  r"alt='([^']*)'></div>")
CORR = re.compile(r"^<h2>Correlation Comparison</h2><div class='plot-card' "
                  r"style='max-width:800px'><img src='data:image/png;base64,([A-Za-z0-9+/=]+)' "
                  r"alt='Correlation'></div>$")


def png_size(encoded):
    data = base64.b64decode(encoded, validate=True)
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


def cards(dist_html):
    assert dist_html.startswith("<h2>Distribution Comparison</h2><div class='plots-grid'>")
    assert dist_html.endswith("</div>")
    return CARD.findall(dist_html)


@pytest.fixture
def plot(TabularEvaluator):
    plt.close("all")
    yield TabularEvaluator._generate_plot_html
    # Every figure made is closed, whether it was drawn or failed.
    assert plt.get_fignums() == []


@pytest.fixture
def spy(monkeypatch):
    """Records the Axes calls made while plotting."""
    calls = []
    for name in ("imshow", "set_title", "set_xticklabels", "set_yticklabels",
                 "legend", "tick_params"):
        original = getattr(matplotlib.axes.Axes, name)

        def wrapper(self, *args, _name=name, _original=original, **kwargs):
            calls.append((_name, args, kwargs))
            return _original(self, *args, **kwargs)

        monkeypatch.setattr(matplotlib.axes.Axes, name, wrapper)
    return calls


def numeric_table(n_cols, n_rows=50, seed=0, prefix="col"):
    rng = np.random.default_rng(seed)
    return pd.DataFrame({f"{prefix}{i}": rng.normal(i, 1 + i / 10, n_rows)
                         for i in range(n_cols)})


def test_fifteen_numeric_columns(plot, spy):
    real, synth = numeric_table(15, seed=1), numeric_table(15, seed=2)
    dist_html, corr_html = plot(real, synth)
    found = cards(dist_html)
    assert [alt for _, alt in found] == [f"col{i}" for i in range(10)]
    assert all(png_size(encoded) == (500, 350) for encoded, _ in found)
    assert "\n" not in dist_html and "\n" not in corr_html
    encoded, = CORR.findall(corr_html)
    assert png_size(encoded) == (1000, 450)
    # The heatmap covers all 15 columns, both panels on the -1..1 scale.
    images = [(args[0], kwargs) for name, args, kwargs in spy if name == "imshow"]
    assert len(images) == 2
    for data, kwargs in images:
        assert data.shape == (15, 15)
        assert kwargs == {"cmap": "RdBu_r", "vmin": -1, "vmax": 1, "aspect": "auto"}
    np.testing.assert_allclose(images[0][0], real.corr().values)
    np.testing.assert_allclose(images[1][0], synth.corr().values)


@pytest.fixture
def saved_figures(monkeypatch):
    """Every figure saved while plotting, as laid out for the saving."""
    figures = []
    original = matplotlib.figure.Figure.savefig

    def savefig(self, *args, **kwargs):
        original(self, *args, **kwargs)
        figures.append([(ax.get_label(), ax.get_position()) for ax in self.axes])

    monkeypatch.setattr(matplotlib.figure.Figure, "savefig", savefig)
    return figures


@pytest.fixture
def drawn(monkeypatch):
    """What every saved figure showed: per Axes its title, filled outlines
    (label, colour, alpha, vertices), legend texts, and whether all its texts
    lay inside the picture. The cards share one figure, so this is recorded
    at saving time."""
    figures = []
    original = matplotlib.figure.Figure.savefig

    def savefig(self, *args, **kwargs):
        original(self, *args, **kwargs)
        renderer = self.canvas.get_renderer()
        picture = self.bbox
        axes = []
        for ax in self.axes:
            reach = ax.get_tightbbox(renderer)
            legend = ax.get_legend()
            axes.append({
                "title": ax.get_title(),
                "shapes": [(p.get_label(), matplotlib.colors.to_hex(p.get_facecolor()),
                            p.get_alpha(), np.array(p.get_path().vertices))
                           for p in ax.patches],
                "legend": [t.get_text() for t in legend.get_texts()] if legend else [],
                "inside": (picture.x0 <= reach.x0 and reach.x1 <= picture.x1
                           and picture.y0 <= reach.y0 and reach.y1 <= picture.y1),
            })
        figures.append(axes)

    monkeypatch.setattr(matplotlib.figure.Figure, "savefig", savefig)
    return figures


def tops(vertices):
    """The horizontal top segments of a filled histogram outline, as
    (left, right, height) with height > 0, left to right."""
    found = set()
    for (x0, y0), (x1, y1) in zip(vertices, vertices[1:]):
        if y0 == y1 and y0 > 0 and x0 != x1:
            found.add((min(x0, x1), max(x0, x1), y0))
    return sorted(found)


def expected_tops(values, bins):
    heights, edges = np.histogram(values, bins, density=True)
    return [(edges[i], edges[i + 1], h) for i, h in enumerate(heights) if h > 0]


@pytest.mark.parametrize("n_cols, rc", [
    (2, {}), (15, {}),
    # a layout engine asked for by the user's settings does not move the axes
    (15, {"figure.constrained_layout.use": True}), (15, {"figure.autolayout": True}),
])
def test_colour_bar_beside_the_heatmaps(plot, saved_figures, n_cols, rc):
    # Warnings are errors here: the layout must not warn (and so lose the heatmap).
    real, synth = numeric_table(n_cols, seed=1), numeric_table(n_cols, seed=2)
    with matplotlib.rc_context(rc):
        _, corr_html = plot(real, synth)
    encoded, = CORR.findall(corr_html)
    assert png_size(encoded) == (1000, 450)
    heatmap = saved_figures[-1]
    assert [label for label, _ in heatmap] == ["", "", "<colorbar>"]
    (_, real_panel), (_, synth_panel), (_, bar) = heatmap
    # side by side, then the bar, nothing overlapping, all inside the picture
    assert real_panel.x1 <= synth_panel.x0 and synth_panel.x1 <= bar.x0
    assert 0.0 <= real_panel.x0 and bar.x1 <= 1.0
    # the bar keeps its 0.8 of the panels' height
    assert bar.height == pytest.approx(0.8 * synth_panel.height, rel=0.02)


def test_heatmap_labels_inside_the_picture(plot, drawn):
    # Long labels (cut to 12 characters, turned 45 degrees), titles and the
    # bar's tick labels all fit in the picture.
    real = numeric_table(15, seed=1, prefix="a_really_long_column_")
    plot(real, real * 1.1)
    heatmap = drawn[-1]
    assert [ax["title"] for ax in heatmap] == ["Real Correlation", "Synthetic Correlation", ""]
    assert all(ax["inside"] for ax in heatmap)


def test_card_drawing(plot, spy, drawn):
    rng = np.random.default_rng(3)
    real = pd.DataFrame({"income": rng.lognormal(3, 1, 300)})
    synth = pd.DataFrame({"income": np.r_[rng.normal(40, 5, 40), [np.nan] * 5]})
    plot(real, synth)
    (card,), = drawn
    # Two density histograms, 15 bins (300 values / 20), each over its own range.
    (real_label, real_colour, real_alpha, real_xy), (synth_label, synth_colour, synth_alpha,
                                                     synth_xy) = card["shapes"]
    assert (real_label, real_colour, real_alpha) == ("Real", "#0066cc", 0.6)
    assert (synth_label, synth_colour, synth_alpha) == ("Synthetic", "#ff6600", 0.6)
    np.testing.assert_allclose(tops(real_xy), expected_tops(real["income"], 15), rtol=1e-12)
    np.testing.assert_allclose(tops(synth_xy), expected_tops(synth["income"].dropna(), 15),
                               rtol=1e-12)
    # filled down to zero, from the first edge to the last
    for xy, values in ((real_xy, real["income"]), (synth_xy, synth["income"].dropna())):
        assert xy[:, 1].min() == 0.0
        assert (xy[:, 0].min(), xy[:, 0].max()) == (values.min(), values.max())
    assert card["legend"] == ["Real", "Synthetic"] and card["title"] == "income"
    assert ("set_title", ("income",), {"fontsize": 11, "fontweight": "bold"}) in spy
    assert ("legend", (), {"fontsize": 9}) in spy
    assert ("tick_params", (), {"labelsize": 8}) in spy


@pytest.mark.parametrize("n_values, n_missing, bins", [
    (5, 0, 10), (219, 0, 10), (220, 0, 11), (240, 30, 10), (999, 0, 49), (1000, 0, 50),
    (5000, 0, 50),
])
def test_bins(plot, drawn, n_values, n_missing, bins):
    values = np.concatenate([np.arange(n_values - n_missing, dtype=float),
                             np.full(n_missing, np.nan)])
    plot(pd.DataFrame({"x": values}), pd.DataFrame({"x": [1.0, 2.0, np.nan]}))
    (card,), = drawn
    # Missing values are dropped before counting; both histograms share the bin
    # count (one more distinct edge than bins).
    assert [len(np.unique(xy[:, 0])) - 1 for *_, xy in card["shapes"]] == [bins, bins]
    np.testing.assert_allclose(tops(card["shapes"][1][3]), expected_tops([1.0, 2.0], bins))


def test_synthetic_column_all_missing(plot, drawn):
    dist_html, corr_html = plot(pd.DataFrame({"x": [1.0, 2.0, 3.0]}),
                                pd.DataFrame({"x": [np.nan, np.nan]}))
    assert len(cards(dist_html)) == 1 and corr_html == ""
    (card,), = drawn
    assert [label for label, *_ in card["shapes"]] == card["legend"] == ["Real"]


def scaled_columns():
    rng = np.random.default_rng(5)
    base = rng.normal(size=400)
    return pd.DataFrame({
        "tiny": base * 1e-9, "small": base * 3e-5, "wide": base * 2e5, "huge": base * 1e9,
        "shifted": 1e6 + base, "negative": -np.exp(base) * 3e5, "income": np.exp(base) * 1e4,
    })


def test_labels_inside_every_card(plot, drawn):
    # Tick labels, offset texts ("1e-9", "+1e6") and titles all fit in the
    # picture, whatever the scale of the values and of their densities.
    real = scaled_columns()
    dist_html, _ = plot(real, real * 1.05)
    assert len(cards(dist_html)) == 7
    assert [card["title"] for (card,) in drawn[:7]] == list(real.columns)
    assert all(card["inside"] for (card,) in drawn[:7])


@pytest.mark.parametrize("before", ["wide", "broken", "repeated"])
def test_card_does_not_depend_on_earlier_cards(plot, drawn, before):
    # The cards share one figure: what an earlier card drew (other limits,
    # ticks, legend, a failure halfway, a repeated label's several outlines)
    # must not show in the next one.
    x = pd.DataFrame({"x": np.random.default_rng(2).normal(size=300)})
    alone, _ = plot(x, x * 1.1)
    first = {"wide": scaled_columns()[["wide"]],
             "broken": pd.DataFrame({"y": [1.0, np.inf, 2.0]}),
             "repeated": pd.DataFrame([[1.0, 5.0], [2.0, 7.0]], columns=["x0", "x0"])}[before]
    real = pd.concat([first, x], axis=1)
    dist_html, _ = plot(real, real * 1.1)
    assert cards(dist_html)[-1] == cards(alone)[0]


def test_repeated_labels(plot):
    # A repeated label selects several columns: Axes.hist gets them as several
    # series, which matplotlib 3.11 draws and 3.10 refuses (one colour for two
    # series), so those cards depend on the release. The other columns' cards
    # and the heatmap do not.
    real = pd.DataFrame(np.random.default_rng(0).normal(size=(100, 3)), columns=["a", "a", "b"])
    dist_html, corr_html = plot(real, real.copy())
    assert [alt for _, alt in cards(dist_html)] in (["a", "a", "b"], ["b"])
    assert CORR.match(corr_html)


def test_column_selection(plot, spy):
    real = pd.DataFrame({
        "flag": [True, False, True],          # bool: not a number for the plots
        "only_real": [1.0, 2.0, 3.0],
        "text": ["a", "b", "c"],
        "b": [3, 1, 2],
        "a": [0.5, 0.1, 0.9],
    })
    synth = pd.DataFrame({"a": [0.4, 0.2, 0.3], "flag": [True, True, False],
                          "text": ["x", "y", "z"], "b": [1, 1, 2]})
    dist_html, corr_html = plot(real, synth)
    assert [alt for _, alt in cards(dist_html)] == ["b", "a"]
    assert CORR.match(corr_html)
    data, = [args[0] for name, args, _ in spy if name == "imshow"][:1]
    assert data.shape == (2, 2)
    ticks = [args[0] for name, args, _ in spy if name == "set_xticklabels"]
    assert ticks == [["b", "a"], ["b", "a"]]


@pytest.mark.parametrize("real, synth", [
    (pd.DataFrame({"t": ["a"]}), pd.DataFrame({"t": ["a"]})),
    (pd.DataFrame({"x": [1.0]}), pd.DataFrame({"y": [1.0]})),
    (pd.DataFrame({"flag": [True]}), pd.DataFrame({"flag": [False]})),
    (pd.DataFrame(), pd.DataFrame()),
])
def test_nothing_to_draw(plot, real, synth):
    assert plot(real, synth) == ("", "")


def test_one_shared_numeric_column(plot):
    dist_html, corr_html = plot(pd.DataFrame({"x": [1.0, 2.0], "y": [1, 2]}),
                                pd.DataFrame({"x": [1.5, 2.5]}))
    assert [alt for _, alt in cards(dist_html)] == ["x"] and corr_html == ""


def test_long_and_integer_labels(plot, spy):
    long_name = "a_really_long_column_name"
    real = pd.DataFrame({long_name: [1.0, 2.0, 3.0], "short": [3.0, 1.0, 2.0]})
    dist_html, corr_html = plot(real, real.copy())
    assert [alt for _, alt in cards(dist_html)] == [long_name, "short"]
    assert ("set_title", (long_name,), {"fontsize": 11, "fontweight": "bold"}) in spy
    ticks = [(args[0], kwargs) for name, args, kwargs in spy if name == "set_xticklabels"]
    assert ticks == [(["a_really_lon", "short"], {"rotation": 45, "ha": "right", "fontsize": 7})] * 2
    assert [(args[0], kwargs) for name, args, kwargs in spy if name == "set_yticklabels"] == [
        (["a_really_lon", "short"], {"fontsize": 7})] * 2
    assert CORR.match(corr_html)

    # Integer labels: cards are drawn, the heatmap cannot cut its tick labels.
    numbered = pd.DataFrame({3: [1.0, 2.0, 3.0], 7: [2.0, 1.0, 0.0]})
    dist_html, corr_html = plot(numbered, numbered.copy())
    assert [alt for _, alt in cards(dist_html)] == ["3", "7"]
    assert corr_html == ""


def test_failing_columns_get_no_card(plot):
    real = pd.DataFrame({"ok": [1.0, 2.0, 3.0], "bad": [1.0, np.inf, 2.0],
                         "fine": [0.0, 1.0, 0.5]})
    dist_html, corr_html = plot(real, real.copy())
    assert [alt for _, alt in cards(dist_html)] == ["ok", "fine"]
    assert CORR.match(corr_html)  # correlations ignore nothing but still draw

    only_bad = pd.DataFrame({"bad": [np.inf, 1.0], "worse": [-np.inf, 0.0]})
    dist_html, _ = plot(only_bad, only_bad.copy())
    assert dist_html == "<h2>Distribution Comparison</h2><div class='plots-grid'></div>"


def test_failing_heatmap_closes_its_figure(plot, monkeypatch):
    def broken(self, *args, **kwargs):
        raise RuntimeError("no colour bar today")

    monkeypatch.setattr(matplotlib.figure.Figure, "colorbar", broken)
    dist_html, corr_html = plot(numeric_table(3), numeric_table(3, seed=5))
    assert len(cards(dist_html)) == 3 and corr_html == ""


def test_interrupt_is_not_absorbed(plot, monkeypatch):
    def interrupted(self, *args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(matplotlib.axes.Axes, "legend", interrupted)
    with pytest.raises(KeyboardInterrupt):
        plot(numeric_table(2), numeric_table(2))


def test_column_labels_escaped_in_alt(plot):
    name = "<script>alert(1)</script>'"
    real = pd.DataFrame({name: [1.0, 2.0, 3.0]})
    dist_html, _ = plot(real, real.copy())
    assert [alt for _, alt in cards(dist_html)] == [
        "&lt;script&gt;alert(1)&lt;/script&gt;&#x27;"]
    assert "<script>" not in dist_html


def test_arguments_must_be_tables(plot):
    with pytest.raises(AttributeError):
        plot([1, 2], pd.DataFrame())
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(1 given\)"):
        plot(pd.DataFrame())


def test_called_on_an_instance_or_by_keyword(TabularEvaluator, plot):
    table = pd.DataFrame({"x": [1.0, 2.0, 3.0]})
    assert TabularEvaluator()._generate_plot_html(real_df=table, synthetic_df=table) == plot(
        table, table)


def run_isolated(code):
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                         text=True, check=True)
    return out.stdout.strip().splitlines()


def test_backend_is_switched_to_agg():
    assert run_isolated("""
        import matplotlib
        matplotlib.use("svg")
        import pandas as pd
        from quorvix.tabular.evaluator import TabularEvaluator
        t = pd.DataFrame({"x": [1.0, 2.0]})
        TabularEvaluator._generate_plot_html(t, t)
        print(matplotlib.get_backend().lower())
    """) == ["agg"]


def test_without_matplotlib():
    lines = run_isolated("""
        import sys
        sys.modules["matplotlib"] = None   # as if it were not installed
        import pandas as pd
        from quorvix.tabular.evaluator import TabularEvaluator
        from types import SimpleNamespace as NS
        t = pd.DataFrame({"x": [1.0, 2.0], "y": [2.0, 1.0]})
        print(TabularEvaluator._generate_plot_html(t, t))
        report = NS(aggregate_metrics={}, privacy_metrics={}, generator_name="g",
                    timestamp="t", dataset_name="d", real_data_n_rows=1,
                    synthetic_data_n_rows=1, n_columns=2)
        html = TabularEvaluator().to_html(report, None, t, t).split("\\n")
        print(repr(html[38:40]), len(html))
    """)
    assert lines == ["('', '')", "['', ''] 44"]
