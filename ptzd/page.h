// The control page: one static HTML page with plain JavaScript, served by
// ptzd at "/". It talks to the JSON API only.
#pragma once

namespace ptzd {

inline constexpr const char* kPage = R"PAGE(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>ptzd</title>
<style>
body { font-family: system-ui, sans-serif; margin: 1rem; background: #f4f5f7; color: #222; }
h1 { font-size: 1.3rem; }
.head { background: #fff; border-radius: 8px; padding: 1rem; margin-bottom: 1rem; box-shadow: 0 1px 3px #0002; }
.head h2 { margin: 0 0 .5rem 0; font-size: 1.1rem; }
.state { font-size: .85rem; padding: .1rem .4rem; border-radius: 4px; margin-left: .5rem; }
.up { background: #d4f5d4; } .down { background: #f8d0d0; }
.row { display: flex; flex-wrap: wrap; gap: 1.5rem; }
.box { min-width: 14rem; }
.box h3 { font-size: .95rem; margin: .6rem 0 .3rem 0; }
.readout { font: 1.4rem monospace; }
.pad { display: grid; grid-template-columns: repeat(3, 3rem); gap: .3rem; }
.pad button { height: 3rem; font-size: 1.2rem; touch-action: none; }
.presets { display: grid; grid-template-columns: repeat(4, auto); gap: .3rem; }
button { cursor: pointer; }
input[type=number] { width: 6rem; }
.failures { font: .8rem monospace; color: #a00; white-space: pre-wrap; max-height: 8rem; overflow: auto; }
.flags span { display: inline-block; margin-right: .6rem; }
#message { color: #a00; }
</style>
</head>
<body>
<h1>ptzd — pan/tilt heads</h1>
<div id="message"></div>
<div id="heads"></div>
<script>
"use strict";
let token = localStorage.getItem("ptzd-token") || "";

async function api(path, body) {
  const options = body === undefined ? {} : {method: "POST", body: JSON.stringify(body),
                                             headers: {"Content-Type": "application/json"}};
  if (token) options.headers = Object.assign(options.headers || {}, {"Authorization": "Bearer " + token});
  const response = await fetch(path, options);
  if (response.status === 401) {
    token = prompt("This gateway wants a token:") || "";
    localStorage.setItem("ptzd-token", token);
    throw new Error("unauthorised");
  }
  const data = await response.json();
  if (!response.ok) throw new Error(data.error || response.statusText);
  return data;
}

function el(tag, attributes, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attributes || {})) {
    if (k.startsWith("on")) e.addEventListener(k.substring(2), v); else e.setAttribute(k, v);
  }
  for (const c of children) e.append(c);
  return e;
}

function say(text) { document.getElementById("message").textContent = text; }

function card(head) {
  const m = head.mapping;
  const base = "/api/heads/" + encodeURIComponent(head.name) + "/";
  const run = (command, body) => api(base + command, body || {}).catch(e => say(head.name + ": " + command + ": " + e.message));
  const readout = el("div", {class: "readout", "data-role": "position"}, "pan —, tilt —");
  const state = el("span", {class: "state"}, "");
  const flags = el("div", {class: "flags"});
  const info = el("div", {class: "info"});
  const failures = el("div", {class: "failures"});
  const speed = el("input", {type: "number", min: m.speed_min, max: m.speed_max, value: 100, "data-role": "speed"});

  // Press and hold: move toward the limit in that direction; release: stop.
  const jog = (dx, dy) => {
    const start = async () => {
      const now = await api(base + "GetPTPos");
      const pan = dx > 0 ? m.pan_max : dx < 0 ? m.pan_min : now.pan;
      const tilt = dy > 0 ? m.tilt_max : dy < 0 ? m.tilt_min : now.tilt;
      await run("SetPTPos", {param: m.move_param, pan, tilt});
    };
    const stop = async () => {
      await run("StopMotor", {motor: m.pan_motor});
      await run("StopMotor", {motor: m.tilt_motor});
    };
    const b = el("button", {title: "hold to move", "data-jog": dx + "," + dy}, dx < 0 ? "◀" : dx > 0 ? "▶" : dy > 0 ? "▲" : "▼");
    // Each step waits for the one before: a stop never reaches the head
    // before the move it ends, however quick the tap.
    let held = false, steps = Promise.resolve();
    const then = step => { steps = steps.catch(() => {}).then(step); };
    const press = e => { if (held) return; held = true; b.setPointerCapture(e.pointerId); then(start); };
    const release = () => { if (held) { held = false; then(stop); } };
    b.addEventListener("pointerdown", press);
    for (const ev of ["pointerup", "pointercancel", "pointerleave", "lostpointercapture"]) b.addEventListener(ev, release);
    window.addEventListener("blur", release);
    document.addEventListener("visibilitychange", () => { if (document.hidden) release(); });
    return b;
  };
  const stopAll = el("button", {title: "stop", onclick: () => { run("StopMotor", {motor: m.pan_motor}); run("StopMotor", {motor: m.tilt_motor}); }}, "■");
  const pad = el("div", {class: "pad"}, el("span"), jog(0, 1), el("span"), jog(-1, 0), stopAll, jog(1, 0), el("span"), jog(0, -1), el("span"));

  const panInput = el("input", {type: "number", value: 0, "data-role": "pan"});
  const tiltInput = el("input", {type: "number", value: 0, "data-role": "tilt"});
  const move = el("div", {}, "pan ", panInput, " tilt ", tiltInput, " ",
    el("button", {onclick: () => run("SetPTPos", {param: m.move_param, pan: +panInput.value, tilt: +tiltInput.value})}, "Move"));

  const presets = el("div", {class: "presets"});
  for (let n = 1; n <= 16; n++) {
    presets.append(el("span", {}, el("button", {"data-preset-go": n, onclick: () => run("MovePresetPos", {preset: n})}, "Go " + n), " ",
                      el("button", {"data-preset-set": n, title: "store the current position as preset " + n,
                                    onclick: () => run("SetPresetPos", {preset: n, flag: m.preset_flag})}, "Store")));
  }
  const home = el("div", {}, el("button", {onclick: () => run("MoveUserHP")}, "Go home"), " ",
                  el("button", {onclick: () => run("SetUserHP", {flag: m.preset_flag})}, "Store home"));
  const speedRow = el("div", {}, "speed ", speed, " ",
    el("button", {onclick: async () => { await run("SetMotorSpeed", {motor: m.pan_motor, speed: +speed.value});
                                         await run("SetMotorSpeed", {motor: m.tilt_motor, speed: +speed.value}); }}, "Set"));

  const node = el("div", {class: "head", "data-head": head.name},
    el("h2", {}, head.name, state, el("small", {}, " " + head.link + (head.listen ? " · native " + head.listen : ""))),
    el("div", {class: "row"},
      el("div", {class: "box"}, el("h3", {}, "Position"), readout, el("h3", {}, "Jog"), pad),
      el("div", {class: "box"}, el("h3", {}, "Move to"), move, el("h3", {}, "Speed"), speedRow, el("h3", {}, "Home"), home),
      el("div", {class: "box"}, el("h3", {}, "Presets"), presets),
      el("div", {class: "box"}, el("h3", {}, "Status"), flags, el("h3", {}, "System"), info,
         el("h3", {}, "Last failures"), failures)));

  async function refresh() {
    try {
      const p = await api(base + "GetPTPos");
      readout.textContent = "pan " + p.pan + ", tilt " + p.tilt;
    } catch (e) { readout.textContent = "pan —, tilt —"; }
  }
  async function slow() {
    try {
      const heads = await api("/api/heads");
      const me = heads.find(h => h.name === head.name);
      state.textContent = me.up ? "connected" : "away";
      state.className = "state " + (me.up ? "up" : "down");
      failures.textContent = me.failures.slice(-8).join("\n");
      const s = await api(base + "GetPTZStatus");
      flags.replaceChildren(...["flag0", "flag1", "flag2", "flag3"].map(f => el("span", {}, f + " " + s[f])));
      const i = await api(base + "GetSystemInfo");
      info.textContent = [i.text0, i.text1, i.text2].join(" / ");
      const sp = await api(base + "GetMotorSpeed?motor=" + m.pan_motor);
      if (document.activeElement !== speed) speed.value = sp.speed;
    } catch (e) { /* shown in the state and failures */ }
  }
  setInterval(refresh, 250);
  setInterval(slow, 2000);
  refresh(); slow();
  return node;
}

api("/api/heads").then(heads => {
  const list = document.getElementById("heads");
  for (const h of heads) list.append(card(h));
}).catch(e => say(e.message));
</script>
</body>
</html>
)PAGE";

}  // namespace ptzd
