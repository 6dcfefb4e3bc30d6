// SPDX-License-Identifier: MIT
// The mains switches on the overview: each outlet as a switch, with the
// units it powers. An outlet that powers a unit switches the unit off and
// on as OUTPut does (its settings come back with it). Kept up to date
// while the page is open, and at once after a change.
"use strict";

const Mains = (() => {
  const pollMs = 1000;
  let changesAllowed = false;
  let busy = false;

  function message(text, ok) {
    const line = document.getElementById("mains-message");
    line.textContent = text;
    line.className = ok ? "message ok" : "message error";
  }

  async function toggle(serial, outlet, on) {
    busy = true;
    message(`switching outlet ${outlet} of ${serial} ${on ? "on" : "off"}…`, true);
    try {
      render((await Vontrel.post(`/api/mains/${encodeURIComponent(serial)}/outlets/${outlet}`,
        { on })), true);
      message(`outlet ${outlet} of ${serial} is ${on ? "on" : "off"}`, true);
    } catch (error) {
      message(error.status === 401
        ? "this server needs its token for changes: give it on a unit's page" : error.message,
        false);
    } finally {
      busy = false;
      refresh();
    }
  }

  function outletButton(serial, outlet) {
    const button = document.createElement("button");
    button.className = `outlet ${outlet.on === true ? "on" : outlet.on === false ? "off" : "unknown"}`;
    button.dataset.serial = serial;
    button.dataset.outlet = String(outlet.outlet);
    button.dataset.on = String(outlet.on);
    const units = outlet.units.length ? `\nunit ${outlet.units.join(", ")}` : "";
    button.textContent = `${outlet.outlet}: ${outlet.on === null ? "?" : outlet.on ? "on" : "off"}${units}`;
    button.disabled = !changesAllowed || outlet.on === null || busy;
    button.addEventListener("click", () => toggle(serial, outlet.outlet, !outlet.on));
    return button;
  }

  // One switch's row, replaced in place; `only`: just this switch changed.
  function render(state, only) {
    const body = document.querySelector("#mains-switches tbody");
    const switches = only ? [state] : state.switches;
    if (!only) {
      body.replaceChildren();
    }
    document.getElementById("mains").hidden = !only && switches.length === 0;
    for (const sw of switches) {
      const row = document.createElement("tr");
      row.className = "switch";
      row.dataset.serial = sw.serial;
      const name = document.createElement("td");
      name.textContent = sw.serial;
      row.appendChild(name);
      const outlets = document.createElement("td");
      if (sw.problem) {
        outlets.textContent = sw.problem;
      }
      for (const outlet of sw.outlets) {
        if (!sw.problem) {
          outlets.appendChild(outletButton(sw.serial, outlet));
        }
      }
      row.appendChild(outlets);
      const old = only ? body.querySelector(`tr[data-serial="${CSS.escape(sw.serial)}"]`) : null;
      if (old) {
        old.replaceWith(row);
      } else {
        body.appendChild(row);
      }
    }
  }

  async function refresh() {
    if (busy) {
      return;
    }
    try {
      render(await Vontrel.getJson("/api/mains"), false);
    } catch (error) {
      message(error.message, false);
    }
  }

  async function start() {
    const info = await Vontrel.getJson("/api/info");
    changesAllowed = info.changes_allowed;
    await refresh();
    setInterval(refresh, pollMs);
  }

  return { start };
})();

Mains.start();
