#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Draws the time per export against the converter's latency timer, as an
SVG line chart, from the CSV that scripts/link_timing.sh writes
(latency_ms,call,exchanges,measured_ms,model_ms,ratio). Measured times are
dots, the model's lines; no plotting library needed.

    scripts/plot_latency.py benchmarks/results/link_timing.csv docs/performance-latency.svg
"""

import csv
import math
import sys

WIDTH, HEIGHT = 720, 440
LEFT, RIGHT, TOP, BOTTOM = 70, 190, 40, 60
COLOURS = ["#1b6ca8", "#d1495b", "#edae49", "#00798c", "#66a182", "#8d6a9f", "#30343f"]


def main(source, target):
    with open(source, newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    if not rows:
        sys.exit(f"{source}: no rows")
    latencies = sorted({float(r["latency_ms"]) for r in rows})
    calls = list(dict.fromkeys(r["call"] for r in rows))
    top = max(float(r["measured_ms"]) for r in rows) * 1.08
    step = 10 ** math.floor(math.log10(top / 5))
    step *= 5 if top / step > 25 else 2 if top / step > 10 else 1

    def x(latency):  # evenly spaced: the latencies are powers of two
        i = latencies.index(latency)
        return LEFT + i * (WIDTH - LEFT - RIGHT) / max(1, len(latencies) - 1)

    def y(ms):
        return HEIGHT - BOTTOM - ms / top * (HEIGHT - TOP - BOTTOM)

    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{HEIGHT}" '
           f'font-family="sans-serif" font-size="12">',
           f'<rect width="{WIDTH}" height="{HEIGHT}" fill="white"/>',
           f'<text x="{WIDTH / 2}" y="22" text-anchor="middle" font-size="14">'
           'Time per call against the converter\'s latency timer (19230 baud)</text>']
    ms = 0.0
    while ms <= top:
        out.append(f'<line x1="{LEFT}" x2="{WIDTH - RIGHT}" y1="{y(ms):.1f}" y2="{y(ms):.1f}" '
                   'stroke="#ddd"/>')
        out.append(f'<text x="{LEFT - 8}" y="{y(ms) + 4:.1f}" text-anchor="end">{ms:g}</text>')
        ms += step
    for latency in latencies:
        out.append(f'<text x="{x(latency):.1f}" y="{HEIGHT - BOTTOM + 18}" '
                   f'text-anchor="middle">{latency:g}</text>')
    out.append(f'<text x="{(LEFT + WIDTH - RIGHT) / 2}" y="{HEIGHT - 18}" '
               'text-anchor="middle">latency timer, ms</text>')
    out.append(f'<text x="18" y="{(TOP + HEIGHT - BOTTOM) / 2}" text-anchor="middle" '
               f'transform="rotate(-90 18 {(TOP + HEIGHT - BOTTOM) / 2})">ms per call</text>')
    for n, call in enumerate(calls):
        colour = COLOURS[n % len(COLOURS)]
        points = sorted((float(r["latency_ms"]), float(r["measured_ms"]), float(r["model_ms"]))
                        for r in rows if r["call"] == call)
        model = " ".join(f"{x(l):.1f},{y(m):.1f}" for l, _, m in points)
        out.append(f'<polyline points="{model}" fill="none" stroke="{colour}" stroke-width="1.5"/>')
        for latency, measured, _ in points:
            out.append(f'<circle cx="{x(latency):.1f}" cy="{y(measured):.1f}" r="3.5" '
                       f'fill="{colour}"/>')
        exchanges = next(r["exchanges"] for r in rows if r["call"] == call)
        ly = TOP + 20 + n * 20
        out.append(f'<line x1="{WIDTH - RIGHT + 15}" x2="{WIDTH - RIGHT + 35}" y1="{ly - 4}" '
                   f'y2="{ly - 4}" stroke="{colour}" stroke-width="2"/>')
        out.append(f'<text x="{WIDTH - RIGHT + 40}" y="{ly}">{call}, {exchanges} exch.</text>')
    ly = TOP + 30 + len(calls) * 20
    out.append(f'<text x="{WIDTH - RIGHT + 15}" y="{ly}" fill="#555">dots: measured</text>')
    out.append(f'<text x="{WIDTH - RIGHT + 15}" y="{ly + 16}" fill="#555">lines: model</text>')
    out.append("</svg>")
    with open(target, "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: plot_latency.py RESULTS.csv CHART.svg")
    main(sys.argv[1], sys.argv[2])
