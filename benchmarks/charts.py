"""PNG charts of the benchmark figures (matplotlib, Agg backend).

Both functions return False, drawing nothing, when there is no figure to
plot; a missing value is left out rather than drawn as zero.
"""

import math

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FixedFormatter, FixedLocator  # noqa: E402

import peers  # noqa: E402

MB = 1_000_000
COLORS = {"quillet": "#d62728", "lxml_bytes": "#08306b", "lxml": "#1f77b4", "lxml_shape": "#6baed6",
          "html_parser": "#7f7f7f", "selectolax": "#2ca02c"}
FAMILY_COLORS = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd",
                 "#8c564b", "#e377c2", "#555555", "#bcbd22", "#17becf",
                 "#000080", "#808000", "#00a087", "#f0a000"]


def _mbps(result):
    if result and result.get("status") == "ok" and result["time"] > 0:
        return result["bytes"] / result["time"] / MB
    return None


def throughput(path, table, corpus_labels, generated_labels, impls):
    """Horizontal grouped bars: MB/s per document, one bar per parser, log
    scale; the corpus total sits on top, generated pages at the bottom."""
    rows = []  # (label, {impl: MB/s})
    if corpus_labels:
        total = {}
        for impl in impls:
            size = secs = 0.0
            for label in corpus_labels:
                r = table[label][impl]
                if r.get("status") == "ok":
                    size += r["bytes"]
                    secs += r["time"]
            if secs:
                total[impl] = size / secs / MB
        rows.append(("corpus total (%d files)" % len(corpus_labels), total))
    for label in corpus_labels + generated_labels:
        rows.append((label, {impl: _mbps(table[label][impl]) for impl in impls}))
    values = [v for _, row in rows for v in row.values() if v]
    if not values:
        return False

    n_impl = len(impls)
    bar = 0.84 / n_impl
    fig_height = 1.8 + 0.085 * n_impl * len(rows)
    fig, ax = plt.subplots(figsize=(10, fig_height))
    for j, impl in enumerate(impls):
        ys, xs = [], []
        for i, (_, row) in enumerate(rows):
            if row.get(impl):
                ys.append(i + (j - (n_impl - 1) / 2) * bar)
                xs.append(row[impl])
        ax.barh(ys, xs, height=bar, color=COLORS.get(impl), label=peers.LABELS[impl])
    ax.set_yticks(range(len(rows)))
    ax.set_yticklabels([label for label, _ in rows], fontsize=8)
    if corpus_labels:
        ax.get_yticklabels()[0].set_fontweight("bold")
        ax.axhline(0.5, color="black", linewidth=0.6)
    if generated_labels:
        ax.axhline(len(rows) - len(generated_labels) - 0.5, color="black",
                   linewidth=0.6)
    ax.invert_yaxis()
    ax.set_xscale("log")
    lo = 10 ** math.floor(math.log10(min(values)))
    hi = 10 ** math.ceil(math.log10(max(values)))
    ax.set_xlim(lo, hi)
    ax.set_ylim(len(rows) - 0.5, -0.5)
    ax.set_xlabel("throughput, MB/s of UTF-8 input (log scale, higher is better)")
    ax.tick_params(axis="x", labeltop=True, top=True)
    ax.grid(axis="x", which="both", color="#dddddd", linewidth=0.5)
    ax.set_axisbelow(True)
    ax.legend(loc="lower center", bbox_to_anchor=(0.5, 1.0 + 0.5 / fig_height),
              ncol=n_impl, frameon=False, fontsize=9)
    ax.set_title("Parse throughput per document", fontsize=11,
                 pad=28)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def _size_label(mb):
    return "%g MB" % mb if mb >= 1 else "%g KB" % round(mb * 1000)


def scaling(path, results, sizes):
    """Log-log lines of parse time against input size, one per family
    variant, with a dashed line of slope 1 (linear time) for reference."""
    series = []
    stopped = []  # families with no point at all, named in the legend
    for label, rs in results.items():
        points = [(r["bytes"], r["time"]) for r in rs if r and r.get("status") == "ok"]
        failed = [(size, r["status"]) for size, r in zip(sizes, rs)
                  if r and r.get("status") != "ok"]
        if failed:
            label += " (%s at %s)" % (failed[0][1], _size_label(failed[0][0] / MB))
        if points:
            series.append((label, points))
        else:
            stopped.append(label)
    if not series:
        return False

    fig, ax = plt.subplots(figsize=(11, 7))
    # One colour per family, one line style and marker per variant.
    family_colors = {}
    variant_index = {}
    styles = [("-", "o"), ("--", "s"), (":", "^")]
    for i, (label, points) in enumerate(series):
        family = label.split("/")[0]
        color = family_colors.setdefault(
            family, FAMILY_COLORS[len(family_colors) % len(FAMILY_COLORS)])
        k = variant_index[family] = variant_index.get(family, -1) + 1
        style, marker = styles[k % len(styles)]
        xs = [x / MB for x, _ in points]
        ys = [y * 1000 for _, y in points]
        ax.plot(xs, ys, linestyle=style, marker=marker, markersize=4,
                linewidth=1.3, color=color, label=label)
    all_x = [x / MB for _, pts in series for x, _ in pts]
    all_y = [y * 1000 for _, pts in series for _, y in pts]
    x0, x1 = min(all_x), max(all_x)
    # References through the median first point: linear and quadratic time.
    y0 = sorted(pts[0][1] * 1000 for _, pts in series)[len(series) // 2]
    ax.plot([x0, x1], [y0, y0 * x1 / x0], color="#999999", alpha=0.5,
            linewidth=5, label="linear (reference)")
    ax.plot([x0, x1], [y0, y0 * (x1 / x0) ** 2], color="#e0a0a0", alpha=0.5,
            linewidth=5, label="quadratic (reference)")
    for label in stopped:
        ax.plot([], [], linestyle="none", marker="x", color="black", label=label)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_ylim(min(all_y) / 2, max(all_y) * 2)
    ticks = [size / MB for size in sizes]
    ax.xaxis.set_major_locator(FixedLocator(ticks))
    ax.xaxis.set_minor_locator(FixedLocator([]))
    ax.xaxis.set_major_formatter(FixedFormatter([_size_label(t) for t in ticks]))
    ax.set_xlabel("input size in UTF-8 bytes (log)")
    ax.set_ylabel("parse time, ms (log)")
    ax.set_title("quillet.parse time against input size, per input family",
                 fontsize=11)
    ax.grid(which="both", color="#dddddd", linewidth=0.5)
    ax.legend(loc="center left", bbox_to_anchor=(1.01, 0.5), fontsize=8,
              frameon=False)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True
