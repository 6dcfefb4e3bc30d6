// SPDX-License-Identifier: MIT
// One unit's panel: its settings, lock and sweep. Every value is checked
// against the limits the server gives before it is sent; the server checks
// again and its refusal is shown as the message.
"use strict";

const index = Number(new URLSearchParams(location.search).get("unit") || "0");
let limits = null;
let info = null;
let unit = null;
const sweep = { generation: null, points: [], ended: false };

function message(text, ok) {
  const line = document.getElementById("message");
  line.textContent = text;
  line.className = ok ? "message ok" : "message error";
}

// A refusal for want of the right token asks for it again.
function refused(error) {
  message(error.message, false);
  if (error.status === 401) {
    document.getElementById("token-form").hidden = false;
    allowChanges(false);
  }
}

// A value checked against the server's limits for `name`; throws with a
// message for anything else.
function checked(name, value, shown) {
  const field = limits.fields[name];
  if (field.kind === "boolean") {
    return value;
  }
  if (!Number.isFinite(value)) {
    throw new Error(`${shown}: give a number`);
  }
  if (field.kind === "integer" && !Number.isInteger(value)) {
    throw new Error(`${shown}: give a whole number`);
  }
  if (value < field.min || value > field.max) {
    const range = name === "frequency_hz"
      ? `${Vontrel.formatHz(field.min)} to ${Vontrel.formatHz(field.max)}`
      : `${field.min} to ${field.max}`;
    throw new Error(`${shown}: ${value} is outside ${range}`);
  }
  if (field.step > 0 && Math.abs(value / field.step - Math.round(value / field.step)) > 1e-9) {
    throw new Error(`${shown}: ${value} is not a multiple of ${field.step}`);
  }
  return value;
}

function number(id) {
  const text = document.getElementById(id).value.trim();
  return text === "" ? NaN : Number(text);
}

function frequencyHz() {
  const factor = Number(document.getElementById("frequency-unit").value);
  return Math.round(number("frequency") * factor * 1000) / 1000;
}

async function change(path, body, done) {
  try {
    const state = await Vontrel.post(`/api/units/${index}/${path}`, body);
    show(state);
    message(done, true);
  } catch (error) {
    refused(error);
  }
}

function setting(button, build, done) {
  document.getElementById(button).addEventListener("click", () => {
    let body;
    try {
      body = build();
    } catch (error) {
      message(error.message, false);
      return;
    }
    change("settings", body, done);
  });
}

function fill(id, value) {
  const input = document.getElementById(id);
  if (document.activeElement === input) {
    return;  // the user is typing there
  }
  if (input.type === "checkbox") {
    input.checked = value;
  } else {
    input.value = value;
  }
}

function show(state) {
  const first = unit === null;
  unit = state;
  Vontrel.text("serial", state.serial);
  const lock = document.getElementById("lock");
  lock.textContent = state.open ? (state.locked ? "locked" : "NOT LOCKED") : "unit not open";
  lock.className = `lock ${state.open ? (state.locked ? "locked" : "unlocked") : "unknown"}`;
  if (!state.open) {
    Vontrel.text("identity", state.error || "the unit is not open");
    return;
  }
  Vontrel.text("identity",
    `serial ${state.serial}, firmware ${state.firmware}, hardware ${state.hardware}, ` +
    `calibrated ${state.calibration_date}, IF ${state.if_band}; ${state.visa.instr}, ` +
    `${state.visa.socket}`);
  Vontrel.text("now-frequency_hz", Vontrel.formatHz(state.frequency_hz));
  Vontrel.text("now-level", state.mode === limits.level_mode ? String(state.level) : "(not in mode 3)");
  Vontrel.text("level-range", `calibrated here: ${state.level_min} to ${state.level_max}`);
  for (const name of ["attenuation", "mode", "switch", "trim_a", "trim_b", "stored"]) {
    Vontrel.text(`now-${name}`, String(state[name]));
  }
  Vontrel.text("now-auto_trim", state.auto_trim ? "on" : "off");
  Vontrel.text("now-flags", ["a", "b", "c"].filter((f) => state[`flag_${f}`])
    .map((f) => f.toUpperCase()).join(" ") || "none");
  if (first) {
    const gigahertz = state.frequency_hz >= 1e9;
    document.getElementById("frequency-unit").value = gigahertz ? "1e9" : "1e6";
  }
  const factor = Number(document.getElementById("frequency-unit").value);
  fill("frequency", String(state.frequency_hz / factor));
  fill("level", String(state.level));
  for (const name of ["attenuation", "mode", "switch", "trim_a", "trim_b", "stored"]) {
    fill(name, String(state[name]));
  }
  for (const name of ["flag_a", "flag_b", "flag_c", "auto_trim"]) {
    fill(name, state[name]);
  }
}

// `snapshot`: a reply to this page's own request. It left the server before
// the events that may have overtaken it, so it is taken only when it tells
// more than they did.
function showSweep(progress, snapshot = false) {
  if (snapshot && (progress.generation < sweep.generation
      || (progress.generation === sweep.generation
        && (sweep.ended || progress.from + progress.points.length < sweep.points.length)))) {
    return;
  }
  if (progress.generation !== sweep.generation) {
    sweep.generation = progress.generation;
    sweep.points = [];
  }
  sweep.points = sweep.points.slice(0, progress.from).concat(progress.points);
  sweep.ended = !progress.running;
  const state = progress.running ? "running" : (progress.error ? "stopped" : "done");
  let text = progress.generation === 0 ? "no sweep yet"
    : `${sweep.points.length} of ${progress.total} points, ${state}`;
  if (progress.error) {
    text += `: ${progress.error}`;
  }
  Vontrel.text("sweep-progress", text);
  Plot.draw(document.getElementById("plot"), sweep.points);
}

function sweepRequest() {
  const body = {};
  const list = document.getElementById("sweep-list").value.trim();
  const hz = (mhz) => checked("frequency_hz", Math.round(mhz * 1e9) / 1e3, "sweep frequency");
  if (list !== "") {
    body.list_hz = list.split(/[\s,]+/).map((f) => hz(Number(f)));
  } else {
    body.start_hz = hz(number("sweep-start"));
    body.stop_hz = hz(number("sweep-stop"));
    const step = number("sweep-step");
    if (!(step > 0)) {
      throw new Error("sweep step: give a number above 0");
    }
    body.step_hz = Math.round(step * 1e9) / 1e3;
  }
  const dwell = number("sweep-dwell") / 1000;
  if (!(dwell >= 0 && dwell <= limits.dwell_max_s)) {
    throw new Error(`dwell: 0 to ${limits.dwell_max_s * 1000} ms`);
  }
  body.dwell_s = dwell;
  if (document.getElementById("sweep-level").value.trim() !== "") {
    body.level = checked("level", number("sweep-level"), "sweep level");
  }
  if (document.getElementById("sweep-attenuation").value.trim() !== "") {
    body.attenuation = checked("attenuation", number("sweep-attenuation"), "sweep attenuation");
  }
  return body;
}

function wire() {
  setting("set-frequency", () => ({ frequency_hz: checked("frequency_hz", frequencyHz(), "frequency") }),
    "frequency set");
  setting("set-level", () => ({ level: checked("level", number("level"), "level") }), "level set");
  setting("set-attenuation",
    () => ({ attenuation: checked("attenuation", number("attenuation"), "attenuation") }),
    "attenuation set");
  for (const name of ["mode", "switch", "trim_a", "trim_b", "stored"]) {
    setting(`set-${name}`, () => ({ [name]: checked(name, number(name), name) }), `${name} set`);
  }
  setting("set-flags", () => ({
    flag_a: document.getElementById("flag_a").checked,
    flag_b: document.getElementById("flag_b").checked,
    flag_c: document.getElementById("flag_c").checked,
  }), "flags set");
  setting("set-auto_trim", () => ({ auto_trim: document.getElementById("auto_trim").checked }),
    "auto trim set");
  document.getElementById("frequency-unit").addEventListener("change", () => {
    if (unit) {
      const factor = Number(document.getElementById("frequency-unit").value);
      document.getElementById("frequency").value = String(unit.frequency_hz / factor);
    }
  });
  document.getElementById("preset").addEventListener("click",
    () => change("preset", {}, "preset"));
  document.getElementById("save-preset").addEventListener("click",
    () => change("save-preset", {}, "saved as the power-up preset"));
  document.getElementById("sweep-start-button").addEventListener("click", async () => {
    try {
      showSweep(await Vontrel.post(`/api/units/${index}/sweep`, sweepRequest()), true);
      message("sweep started", true);
    } catch (error) {
      refused(error);
    }
  });
  document.getElementById("sweep-abort").addEventListener("click", async () => {
    try {
      showSweep(await Vontrel.post(`/api/units/${index}/sweep/abort`, {}), true);
    } catch (error) {
      refused(error);
    }
  });
  document.getElementById("sweep-csv").href = `/api/units/${index}/sweep.csv`;
  document.getElementById("token-form").addEventListener("submit", (event) => {
    event.preventDefault();
    Vontrel.setToken(document.getElementById("token").value);
    document.getElementById("token-form").hidden = true;
    allowChanges(true);
  });
}

function allowChanges(allowed) {
  for (const button of document.querySelectorAll("button.set")) {
    button.disabled = !allowed;
  }
}

async function start() {
  info = await Vontrel.loadInfo();
  limits = await Vontrel.getJson("/api/limits");
  wire();
  if (!info.changes_allowed) {
    const line = document.getElementById("readonly");
    line.textContent = "Read-only: this server is reached over the network and was started "
      + "without a token (--http-token-file), so its pages cannot change a unit.";
    line.hidden = false;
    allowChanges(false);
  } else if (info.token_required && !Vontrel.token()) {
    document.getElementById("token-form").hidden = false;
    allowChanges(false);
  }
  show(await Vontrel.getJson(`/api/units/${index}`));
  showSweep(await Vontrel.getJson(`/api/units/${index}/sweep`), true);
  Vontrel.events((news) => {
    show(news.units[index]);
    showSweep(news.sweeps[index]);
  });
}

start().catch((error) => message(error.message, false));
