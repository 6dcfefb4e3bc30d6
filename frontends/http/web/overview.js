// SPDX-License-Identifier: MIT
// The overview: every served unit on one line, kept up to date.
"use strict";

function cell(row, value, className) {
  const td = document.createElement("td");
  td.textContent = value;
  if (className) {
    td.className = className;
  }
  row.appendChild(td);
  return td;
}

function render(units) {
  const body = document.querySelector("#units tbody");
  body.replaceChildren();
  for (const unit of units) {
    const row = document.createElement("tr");
    row.className = "unit";
    const link = document.createElement("a");
    link.href = `/unit.html?unit=${unit.index}`;
    link.textContent = `unit ${unit.index}`;
    cell(row, "").appendChild(link);
    cell(row, String(unit.serial), "serial");
    if (unit.open) {
      cell(row, unit.firmware, "firmware");
      cell(row, Vontrel.formatHz(unit.frequency_hz), "frequency");
      cell(row, Vontrel.levelText(unit), "level");
    } else {
      cell(row, unit.error || "not open").colSpan = 3;
    }
    cell(row, Vontrel.lockText(unit), unit.locked ? "lock locked" : "lock unlocked");
    cell(row, `${unit.visa.instr}\n${unit.visa.socket}`, "visa");
    body.appendChild(row);
  }
}

async function start() {
  const info = await Vontrel.loadInfo();
  Vontrel.text("host", info.host);
  document.title = `Vontrel synthesizers on ${info.host}`;
  render(await Vontrel.getJson("/api/units"));
  Vontrel.events((news) => render(news.units));
}

start().catch((error) => Vontrel.text("connection", error.message));
