// SPDX-License-Identifier: MIT
// The sweep plot: lock time against frequency, one dot per point, drawn
// as SVG. A point that did not lock is drawn red at the top.
"use strict";

const Plot = (() => {
  const ns = "http://www.w3.org/2000/svg";
  const box = { left: 50, right: 630, top: 10, bottom: 210 };

  function add(svg, name, attributes, content) {
    const element = document.createElementNS(ns, name);
    for (const [key, value] of Object.entries(attributes)) {
      element.setAttribute(key, value);
    }
    if (content !== undefined) {
      element.textContent = content;
    }
    svg.appendChild(element);
    return element;
  }

  // points: [[hz, ms or null], ...]
  function draw(svg, points) {
    svg.replaceChildren();
    add(svg, "line", { x1: box.left, y1: box.bottom, x2: box.right, y2: box.bottom, class: "axis" });
    add(svg, "line", { x1: box.left, y1: box.top, x2: box.left, y2: box.bottom, class: "axis" });
    if (points.length === 0) {
      add(svg, "text", { x: box.left + 10, y: box.top + 20 }, "no points yet");
      return;
    }
    const hz = points.map((p) => p[0]);
    const low = Math.min(...hz);
    const high = Math.max(...hz);
    const slowest = Math.max(1, ...points.map((p) => (p[1] === null ? 0 : p[1])));
    const x = (f) => (high === low ? (box.left + box.right) / 2
      : box.left + ((f - low) / (high - low)) * (box.right - box.left));
    const y = (ms) => box.bottom - (ms / slowest) * (box.bottom - box.top);
    add(svg, "text", { x: box.left, y: 230 }, Vontrel.formatHz(low));
    add(svg, "text", { x: box.right - 90, y: 230 }, Vontrel.formatHz(high));
    add(svg, "text", { x: 2, y: box.top + 10 }, `${slowest.toFixed(1)} ms`);
    add(svg, "text", { x: 2, y: box.bottom }, "0 ms");
    for (const [f, ms] of points) {
      add(svg, "circle", {
        cx: x(f).toFixed(1),
        cy: (ms === null ? box.top : y(ms)).toFixed(1),
        r: 3,
        class: ms === null ? "point nolock" : "point",
        "data-hz": f,
      });
    }
  }

  return { draw };
})();
