#!/usr/bin/python3
"""Turns the benchmark program's JSON results into an SVG bar chart.

    bench/plot.py build-bench/bench-results.json docs/speed.svg

Left: peer time / qorimg time for every case with a peer (above 1.0 qorimg is faster), with each
case's goal marked. Middle: the cases timed alone, as goal time / qorimg time (above 1.0 the goal
is met). Right, when the results hold the size sweep: each coding's time per megapixel against
the page's size.
"""
import json
import sys

import matplotlib

matplotlib.use("Agg")
matplotlib.rcParams["svg.fonttype"] = "none"  # text stays text: a small file
matplotlib.rcParams["svg.hashsalt"] = "qorimg"  # the same ids in every run
import matplotlib.pyplot as plt  # noqa: E402


def main(argv):
    if len(argv) != 3:
        sys.exit("usage: plot.py RESULTS.json CHART.svg")
    with open(argv[1]) as f:
        results = json.load(f)
    cases = [c for c in results["cases"] if not c["failed"]]
    against = [c for c in cases if c["goal_kind"] == "ratio"]
    alone = [c for c in cases if c["goal_kind"] == "seconds" and c["qorimg_seconds"] > 0]

    sweep = [c for c in cases if c["goal_kind"] == "sweep" and c.get("megapixels", 0) > 0]
    widths = [len(against) or 1, 2 * len(alone) or 1] + ([6] if sweep else [])
    fig, axes = plt.subplots(
        1, len(widths), figsize=(11 + (4 if sweep else 0), 5.5), gridspec_kw={"width_ratios": widths}
    )
    left, right = axes[0], axes[1]
    labels = [c["name"] + "\nvs " + c["peer"].split()[0] for c in against]
    ratios = [c["ratio"] for c in against]
    colours = ["#2f7d32" if c["ratio"] >= c["goal"] else "#c77c02" for c in against]
    bars = left.bar(range(len(against)), ratios, color=colours)
    left.scatter(range(len(against)), [c["goal"] for c in against], marker="_", s=400,
                 color="black", zorder=3, label="goal")
    left.axhline(1.0, color="#b00020", linestyle="--", linewidth=1, label="as fast as the peer")
    left.bar_label(bars, fmt="%.2f", fontsize=7)
    left.set_xticks(range(len(against)), labels, rotation=60, ha="right", fontsize=7)
    left.set_ylabel("peer time / qorimg time")
    left.set_title("Against giflib and libtiff", fontsize=10)
    left.legend(fontsize=7, loc="upper left")

    labels = [c["name"] for c in alone]
    ratios = [c["goal"] / c["qorimg_seconds"] for c in alone]
    colours = ["#2f7d32" if r >= 1.0 else "#c77c02" for r in ratios]
    bars = right.bar(range(len(alone)), ratios, color=colours)
    right.axhline(1.0, color="#b00020", linestyle="--", linewidth=1, label="goal")
    right.bar_label(bars, labels=["%.3f s" % c["qorimg_seconds"] for c in alone], fontsize=7)
    right.set_xticks(range(len(alone)), labels, rotation=60, ha="right", fontsize=7)
    right.set_ylabel("goal time / qorimg time")
    right.set_title("qorimg alone", fontsize=10)
    right.legend(fontsize=7, loc="upper left")

    if sweep:
        # The size sweep: time per megapixel against the page's megapixels; flat lines mean the
        # time grows with the pixels and no faster.
        ax = axes[2]
        for coding in dict.fromkeys(c["sweep"] for c in sweep):
            points = sorted((c["megapixels"], c["qorimg_seconds"] * 1000 / c["megapixels"])
                            for c in sweep if c["sweep"] == coding)
            ax.plot([p[0] for p in points], [p[1] for p in points], marker="o", label=coding)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("megapixels")
        ax.set_ylabel("ms per megapixel")
        ax.set_title("Size sweep", fontsize=10)
        ax.legend(fontsize=7)

    worst = results["peak_above_dibs_worst_bytes"] / 2**20
    fig.suptitle(
        "qorimg speed, median of %d alternating runs; peak memory of a read above its DIBs %.2f MiB\n%s, %s"
        % (results["runs"], worst, results["machine"], results["date"]),
        fontsize=9,
    )
    fig.tight_layout()
    # No date in an SVG, so that a chart made again from the same results is the same file.
    fig.savefig(argv[2], metadata={"Date": None} if argv[2].endswith(".svg") else None)


if __name__ == "__main__":
    main(sys.argv)
