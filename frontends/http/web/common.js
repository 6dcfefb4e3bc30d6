// SPDX-License-Identifier: MIT
// What the overview and the panel share: reading and changing through the
// server's JSON routes, the token, the event stream and number formats.
"use strict";

const Vontrel = (() => {
  const tokenKey = "vontrel-token";
  let info = null;

  async function getJson(path) {
    const reply = await fetch(path, { cache: "no-store" });
    const body = await reply.json();
    if (!reply.ok) {
      throw new Error(body.error || `HTTP ${reply.status}`);
    }
    return body;
  }

  async function loadInfo() {
    info = await getJson("/api/info");
    return info;
  }

  function token() {
    return sessionStorage.getItem(tokenKey);
  }

  function setToken(value) {
    sessionStorage.setItem(tokenKey, value);
  }

  // A change: POST with a JSON body; the server's refusal becomes the error.
  async function post(path, body) {
    const headers = { "Content-Type": "application/json" };
    if (info && info.token_required && token()) {
      headers[info.token_header] = token();
    }
    const reply = await fetch(path, { method: "POST", headers, body: JSON.stringify(body) });
    let answer = {};
    try {
      answer = await reply.json();
    } catch (e) {
      answer = {};
    }
    if (!reply.ok) {
      if (reply.status === 401) {
        sessionStorage.removeItem(tokenKey);
      }
      const error = new Error(answer.error || `HTTP ${reply.status}`);
      error.status = reply.status;
      throw error;
    }
    return answer;
  }

  // Calls onData with every event of the server's stream.
  function events(onData) {
    const line = document.getElementById("connection");
    const source = new EventSource("/api/events");
    source.onopen = () => {
      line.textContent = "live: changes made anywhere show here";
    };
    source.onerror = () => {
      line.textContent = "connection lost; trying again…";
    };
    source.onmessage = (event) => onData(JSON.parse(event.data));
    return source;
  }

  function trimNumber(text) {
    return text.includes(".") ? text.replace(/0+$/, "").replace(/\.$/, "") : text;
  }

  function formatHz(hz) {
    if (hz >= 1e9) {
      return `${trimNumber((hz / 1e9).toFixed(9))} GHz`;
    }
    return `${trimNumber((hz / 1e6).toFixed(6))} MHz`;
  }

  function levelText(unit) {
    return unit.mode === 3 ? `level ${unit.level}` : `attenuation ${unit.attenuation}`;
  }

  function lockText(unit) {
    if (!unit.open) {
      return "?";
    }
    return unit.locked ? "locked" : "not locked";
  }

  function text(id, value) {
    document.getElementById(id).textContent = value;
  }

  return { getJson, loadInfo, post, events, token, setToken, formatHz, levelText, lockText, text };
})();
