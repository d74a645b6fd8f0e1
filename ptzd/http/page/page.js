// The control page of ptzd, served at "/page.js" beside index.html and
// page.css: plain JavaScript with no build step. It talks to the JSON API
// and follows every head through one live stream (Server-Sent Events); it
// polls nothing but the cameras' snapshot pictures.
"use strict";
// The token, when the gateway wants one: asked once per tab, kept for the tab.
let token = sessionStorage.getItem("ptzd-token") || "";
let asking = null;
function askToken() {
  if (!asking) asking = new Promise(resolve => setTimeout(() => {
    token = prompt("This gateway wants a token:") || "";
    sessionStorage.setItem("ptzd-token", token);
    asking = null;
    resolve();
  }, 0));
  return asking;
}

// Every request has a deadline: one held back by the network is given up
// (and a move given up is stale at ptzd once a later stop came).
async function api(path, body, method, deadline = 3000) {
  for (let attempt = 0; ; attempt++) {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), deadline);
    const options = {method: method || (body === undefined ? "GET" : "POST"), headers: {}, signal: abort.signal};
    if (body !== undefined) { options.body = JSON.stringify(body); options.headers["Content-Type"] = "application/json"; }
    if (token) options.headers["Authorization"] = "Bearer " + token;
    let response;
    try { response = await fetch(path, options); }
    catch (e) { throw new Error(abort.signal.aborted ? "no answer within " + deadline / 1000 + " s" : "the gateway cannot be reached"); }
    finally { clearTimeout(timer); }
    if (response.status === 401 && attempt < 2) { await askToken(); continue; }
    const data = await response.json().catch(() => ({}));
    if (!response.ok) { const e = new Error(data.error || response.statusText); e.status = response.status; throw e; }
    return data;
  }
}

const SVG = "http://www.w3.org/2000/svg";
function el(tag, attributes, ...children) {
  const e = tag.startsWith("svg:") ? document.createElementNS(SVG, tag.substring(4)) : document.createElement(tag);
  for (const [k, v] of Object.entries(attributes || {})) {
    if (k.startsWith("on")) e.addEventListener(k.substring(2), v); else e.setAttribute(k, v);
  }
  for (const c of children) e.append(c);
  return e;
}
function set(e, attributes) { for (const [k, v] of Object.entries(attributes)) e.setAttribute(k, v); }
function say(text) { document.getElementById("message").textContent = text; }
const fix = (v, n) => (Math.round(v * 10 ** n) / 10 ** n).toFixed(n);

const cards = [];
let active = null;
function activate(card) {
  if (active === card) return;
  if (active) active.node.classList.remove("active");
  active = card;
  card.node.classList.add("active");
}

// Hold-to-move: while a source (pad, keyboard, gamepad) asks for a
// velocity, one continuous move runs on a short lease renewed every 100 ms;
// when every source lets go, a stop follows the move it ends. A page that
// goes away stops renewing, and the head stops by itself.
// Moves and stops carry this page's name and a number: a move the network
// held back past a later stop is refused by ptzd, never run late.
const pageId = Array.from(crypto.getRandomValues(new Uint8Array(12)), b => b.toString(16).padStart(2, "0")).join("");
let pageSeq = 0;
function mover(base, report) {
  const sources = {};
  let wanted = [0, 0], sent = [0, 0], lease = null, renewing = null;
  let steps = Promise.resolve();
  // (409: a stop of ours came first and the move was dropped: no fault.)
  const then = step => { steps = steps.then(step).catch(e => { if (e.status !== 409) report(e.message); }); };
  const renew = () => {
    if (lease === null) return;
    const mine = lease;
    api(base + "renew", {lease: mine, timeout: 0.3}, undefined, 1000).then(() => report("")).catch(e => {
      if (e.status === 409 && lease === mine) { lease = null; sent = [0, 0]; }
      else if (e.status !== 409) report("the move could not be renewed: " + e.message);
    });
  };
  // A stop goes at once, never behind a move still on its way.
  const stopNow = () => {
    clearInterval(renewing); renewing = null; lease = null; sent = [0, 0];
    return api(base + "stop", {client: pageId, seq: ++pageSeq}).then(() => report("")).catch(e => report(e.message));
  };
  const apply = () => {
    if (wanted[0] === 0 && wanted[1] === 0) { stopNow(); return; }
    then(async () => {
      const [pan, tilt] = wanted;
      if (pan === 0 && tilt === 0) return;  // stopped meanwhile
      if (pan === sent[0] && tilt === sent[1] && lease !== null) return;
      const r = await api(base + "move", {kind: "continuous", pan, tilt, timeout: 0.3, client: pageId, seq: ++pageSeq});
      if (wanted[0] === 0 && wanted[1] === 0) return;  // a stop came while it was on its way
      lease = r.lease; sent = [pan, tilt];
      if (!renewing) renewing = setInterval(renew, 100);
    });
  };
  return {
    set(source, pan, tilt) {
      sources[source] = [pan, tilt];
      const now = Object.values(sources).find(v => v[0] !== 0 || v[1] !== 0) || [0, 0];
      if (now[0] === wanted[0] && now[1] === wanted[1]) return;
      wanted = now;
      apply();
    },
    // Every source let go and the head stopped, whatever was moving it.
    stop() {
      for (const k of Object.keys(sources)) sources[k] = [0, 0];
      wanted = [0, 0];
      stopNow();
    },
  };
}

function card(head, first) {
  const base = "/api/heads/" + encodeURIComponent(head.name) + "/";
  const c = {name: head.name, base, presets: [], position: null};
  const report = text => say(text ? head.name + ": " + text : "");
  const run = (path, body, method) => api(base + path, body, method).catch(e => report(e.message));
  c.move = mover(base, report);

  // --- the header
  const link = el("span", {class: "badge", "data-role": "link"}, "…");
  const live = el("span", {class: "badge", "data-role": "live"}, "connecting");
  const motionBadge = el("span", {class: "badge", "data-role": "moving"}, "idle");
  const where = [head.listen && "native " + head.listen, head.visca_udp && "VISCA/UDP " + head.visca_udp,
                 head.visca_tcp && "VISCA/TCP " + head.visca_tcp, head.onvif && "ONVIF " + head.onvif].filter(Boolean);

  // --- the map: x = pan, y = tilt (up), 2 px per degree in the SVG's own units
  const svg = el("svg:svg", {class: "map", "data-role": "map"});
  const gRange = el("svg:g"), gPresets = el("svg:g"), gLive = el("svg:g");
  const trail = el("svg:polyline", {class: "trail", "data-role": "trail", points: ""});
  const here = el("svg:circle", {class: "here", "data-role": "here", r: 6, cx: -100, cy: -100});
  const target = el("svg:circle", {class: "target", "data-role": "target", r: 9, cx: -100, cy: -100, visibility: "hidden"});
  gLive.append(trail, target, here);
  svg.append(gRange, gPresets, gLive);
  // Labels and markers keep their size on screen however small the map is drawn.
  const fit = () => {
    if (!map || !svg.clientWidth) return;
    const w = (map.panMax - map.panMin) * map.scale, h = (map.tiltMax - map.tiltMin) * map.scale;
    const u = Math.min(2.5, Math.max(1, (w + 46) / svg.clientWidth));
    svg.style.setProperty("--u", u);
    svg.classList.toggle("small", u > 1.5);
    set(svg, {viewBox: `${-34 * u} ${-10 * u} ${w + 46 * u} ${h + 30 * u}`});
  };
  new ResizeObserver(fit).observe(svg);
  let map = null;  // {panMin, panMax, tiltMin, tiltMax, scale}
  const X = pan => (pan - map.panMin) * map.scale;
  const Y = tilt => (map.tiltMax - tilt) * map.scale;
  function drawRange(p) {
    const [panMin, panMax] = p.range.pan, [tiltMin, tiltMax] = p.range.tilt;
    const scale = 2;
    map = {panMin, panMax, tiltMin, tiltMax, scale};
    const w = (panMax - panMin) * scale, h = (tiltMax - tiltMin) * scale;
    set(svg, {viewBox: `-34 -10 ${w + 46} ${h + 30}`, "data-pan-min": panMin, "data-pan-max": panMax,
              "data-tilt-min": tiltMin, "data-tilt-max": tiltMax, "data-scale": scale});
    gRange.replaceChildren(el("svg:rect", {class: "range", "data-role": "range", x: 0, y: 0, width: w, height: h}));
    const [lp0, lp1] = p.limits.pan, [lt0, lt1] = p.limits.tilt;
    gRange.append(el("svg:rect", {class: "allowed", "data-role": "limits", x: X(lp0), y: Y(lt1), width: (lp1 - lp0) * scale, height: (lt1 - lt0) * scale}));
    const step = (panMax - panMin) > 120 ? 30 : 10;
    for (let a = Math.ceil(panMin / step) * step; a <= panMax; a += step) {
      gRange.append(el("svg:line", {class: a === 0 ? "axis" : "grid", x1: X(a), x2: X(a), y1: 0, y2: h}),
                    el("svg:text", {class: "tick" + (a % (2 * step) ? " minor" : ""), x: X(a), y: h + 3, "text-anchor": "middle", "dominant-baseline": "hanging"}, a + "°"));
    }
    const tstep = (tiltMax - tiltMin) > 90 ? 30 : 10;
    for (let a = Math.ceil(tiltMin / tstep) * tstep; a <= tiltMax; a += tstep) {
      gRange.append(el("svg:line", {class: a === 0 ? "axis" : "grid", x1: 0, x2: w, y1: Y(a), y2: Y(a)}),
                    el("svg:text", {class: "tick" + (a % (2 * tstep) ? " minor" : ""), x: -4, y: Y(a), "text-anchor": "end", "dominant-baseline": "middle"}, a + "°"));
    }
    drawPresets();
    fit();
  }
  function drawPresets() {
    if (!map) return;
    gPresets.replaceChildren(...c.presets.filter(p => p.pan !== undefined).map(p =>
      el("svg:g", {class: "preset", "data-preset": p.preset, "data-pan": p.pan, "data-tilt": p.tilt},
         el("svg:circle", {r: 5, cx: X(p.pan), cy: Y(p.tilt)}),
         el("svg:text", {x: X(p.pan) + 8, y: Y(p.tilt) - 6}, p.name || String(p.preset)))));
  }
  // Where on the map a pointer is, in degrees within the range.
  function degreesAt(e) {
    const pt = svg.createSVGPoint();
    pt.x = e.clientX; pt.y = e.clientY;
    const q = pt.matrixTransform(svg.getScreenCTM().inverse());
    const clamp = (v, a, b) => Math.min(b, Math.max(a, v));
    return [clamp(map.panMin + q.x / map.scale, map.panMin, map.panMax), clamp(map.tiltMax - q.y / map.scale, map.tiltMin, map.tiltMax)];
  }
  let dragging = false;
  const aim = e => {
    const [pan, tilt] = degreesAt(e).map(v => Math.round(v * 10) / 10);
    set(target, {cx: X(pan), cy: Y(tilt), visibility: "visible", "data-pan": pan, "data-tilt": tilt});
    return [pan, tilt];
  };
  svg.addEventListener("pointerdown", e => { if (!map) return; activate(c); dragging = true; svg.setPointerCapture(e.pointerId); aim(e); });
  svg.addEventListener("pointermove", e => { if (dragging) aim(e); });
  svg.addEventListener("pointerup", e => {
    if (!dragging) return;
    dragging = false;
    const [pan, tilt] = aim(e);
    run("move", {kind: "absolute", pan, tilt, speed: +speed.value});
  });
  svg.addEventListener("pointercancel", () => { dragging = false; });

  // --- the readout
  const panOut = el("span", {"data-role": "pan"}, "—"), tiltOut = el("span", {"data-role": "tilt"}, "—");
  const stepsOut = el("small", {"data-role": "steps", hidden: ""}, "");
  const showSteps = el("input", {type: "checkbox", "data-role": "show-steps", onchange: () => { stepsOut.hidden = !showSteps.checked; }});
  const readout = el("div", {class: "readout", "data-role": "position"},
    el("span", {}, el("small", {}, "pan "), panOut), el("span", {}, el("small", {}, "tilt "), tiltOut), stepsOut,
    el("label", {}, showSteps, " steps"));

  // --- jog pad and speed
  const speed = el("input", {type: "range", min: 0.05, max: 1, step: 0.05, value: 0.5, "data-role": "speed"});
  const speedOut = el("span", {class: "value"}, "50 %");
  speed.addEventListener("input", () => { speedOut.textContent = Math.round(speed.value * 100) + " %"; });
  c.speed = () => +speed.value;
  const jog = (dx, dy, label) => {
    const b = el("button", {title: "hold to move", "data-jog": dx + "," + dy}, label);
    let held = false;
    const press = e => { if (held) return; held = true; activate(c); b.classList.add("held"); b.setPointerCapture(e.pointerId);
                         c.move.set("pad", dx * c.speed(), dy * c.speed()); };
    const release = () => { if (!held) return; held = false; b.classList.remove("held"); c.move.set("pad", 0, 0); };
    b.addEventListener("pointerdown", press);
    for (const ev of ["pointerup", "pointercancel", "lostpointercapture"]) b.addEventListener(ev, release);
    b.addEventListener("contextmenu", e => e.preventDefault());
    return b;
  };
  const pad = el("div", {class: "pad"},
    jog(-1, 1, "◤"), jog(0, 1, "▲"), jog(1, 1, "◥"),
    jog(-1, 0, "◀"), el("button", {class: "stop", title: "stop (Space)", "data-role": "stop", onclick: () => { activate(c); c.move.stop(); }}, "■"), jog(1, 0, "▶"),
    jog(-1, -1, "◣"), jog(0, -1, "▼"), jog(1, -1, "◢"));
  const controls = el("div", {class: "controls"}, pad,
    el("div", {class: "speed panel"}, el("h3", {}, "Speed"), speed, speedOut,
       el("div", {}, el("button", {onclick: () => run("home", {})}, "⌂ Home"))));

  // --- presets
  const presetList = el("div", {class: "presets", "data-role": "presets"});
  const storeNumber = el("select", {"data-role": "store-number"});
  for (let n = 1; n <= 16; n++) storeNumber.append(el("option", {value: n}, String(n)));
  const storeName = el("input", {type: "text", placeholder: "name", maxlength: 64, "data-role": "store-name"});
  const store = el("div", {class: "store"}, storeNumber, storeName,
    el("button", {"data-role": "store", title: "store where the head is now",
                  onclick: () => run("presets/" + storeNumber.value, {name: storeName.value || "preset " + storeNumber.value}).then(loadPresets)}, "Store here"));
  async function loadPresets() {
    try { c.presets = (await api(base + "presets")).presets; } catch (e) { return report(e.message); }
    const known = c.presets.filter(p => p.name || p.pan !== undefined);
    presetList.replaceChildren(...known.map(p => el("div", {class: "preset-row"},
      el("button", {class: "go", "data-preset-go": p.preset, title: "go to preset " + p.preset,
                    onclick: () => { activate(c); run("presets/" + p.preset + "/go", {speed: c.speed()}); }},
         el("b", {}, String(p.preset)), p.name || "(unnamed)"),
      el("button", {title: "rename", "data-preset-rename": p.preset, onclick: () => {
        const name = prompt("Name for preset " + p.preset + ":", p.name || "");
        if (name) run("presets/" + p.preset, {name}, "PUT").then(loadPresets);
      }}, "✎"))));
    if (!known.length) presetList.append(el("small", {}, "none stored yet"));
    drawPresets();
  }
  c.goPreset = n => run("presets/" + n + "/go", {speed: c.speed()});
  c.stepPreset = delta => {
    const known = c.presets.filter(p => p.name || p.pan !== undefined).map(p => p.preset);
    if (!known.length) return;
    const at = known.indexOf(c.lastPreset);
    c.lastPreset = known[(at + delta + known.length) % known.length];
    c.goPreset(c.lastPreset);
  };

  // --- tours
  const tourList = el("div", {"data-role": "tours"});
  const progress = el("div", {class: "progress", "data-role": "tour-progress"});
  async function loadTours() {
    let t;
    try { t = await api(base + "tours"); } catch (e) { return report(e.message); }
    const act = (name, what) => () => run("tours/" + encodeURIComponent(name) + "/" + what, {});
    tourList.replaceChildren(...t.tours.map(tour => el("div", {class: "tour-row", "data-tour": tour.name},
      el("span", {}, tour.name + " (" + tour.steps.length + (tour.loop ? ", loop)" : ")")),
      ...["start", "pause", "resume", "stop"].map(what => el("button", {title: what, onclick: act(tour.name, what)}, what)))));
    if (!t.tours.length) tourList.append(el("small", {}, "no tours"));
  }

  // --- status flags, snapshot, events
  const flags = el("div", {class: "flags", "data-role": "flags"},
    ...head.status_labels.map((label, i) => el("span", {class: "flag", "data-flag": i}, label)));
  const log = el("div", {class: "log", "data-role": "events"});
  const note = text => { log.textContent = (new Date().toLocaleTimeString() + " " + text + "\n" + log.textContent).split("\n").slice(0, 12).join("\n"); };
  let snapshot = null;
  if (head.snapshot) {
    const img = el("img", {alt: "camera picture", "data-role": "snapshot"});
    const refresh = () => { img.src = head.snapshot + (head.snapshot.includes("?") ? "&" : "?") + "t=" + Date.now(); };
    img.addEventListener("load", () => setTimeout(refresh, 1000));
    img.addEventListener("error", () => setTimeout(refresh, 5000));
    refresh();
    snapshot = el("div", {class: "panel snapshot"}, el("h3", {}, "Camera"), img);
  }

  const panel = (title, ...content) => el("div", {class: "panel"}, el("h3", {}, title), ...content);
  // Where the head stands on the Earth and what it looks at, once it has a
  // location; the target it follows, when it follows one.
  const geoOut = el("div", {class: "geo", "data-role": "geo"});
  const geoPanel = panel("Location", geoOut);
  geoPanel.hidden = true;
  const deg = (v, n) => fix(v, n) + "°";
  const mapLink = (lat, lon) => el("a", {href: "https://www.openstreetmap.org/?mlat=" + fix(lat, 6) + "&mlon=" + fix(lon, 6) +
                                         "#map=15/" + fix(lat, 6) + "/" + fix(lon, 6), target: "_blank", rel: "noopener"},
                                   fix(lat, 5) + ", " + fix(lon, 5));
  function showGeo(p) {
    geoPanel.hidden = !p.geo && !p.follow;
    if (geoPanel.hidden) return;
    const rows = [];
    const row = (label, role, ...value) => rows.push(el("div", {"data-role": role}, el("small", {}, label + " "), ...value));
    if (p.geo) {
      const g = p.geo, o = g.orientation;
      row("at", "geo-location", mapLink(g.location.lat, g.location.lon), " · " + fix(g.location.height, 1) + " m");
      row("stands", "geo-orientation", "yaw " + deg(o.yaw, 2) + ", pitch " + deg(o.pitch, 2) + ", roll " + deg(o.roll, 2) +
          (g.calibrated ? " (calibrated, residual " + deg(g.residual, 3) + ")" : ""));
      if (g.looking) row("looks", "geo-looking", "azimuth " + deg(g.looking.azimuth, 2) + ", elevation " + deg(g.looking.elevation, 2));
      if (g.ground) row("ground", "geo-ground", mapLink(g.ground.lat, g.ground.lon));
      else if (g.ground === null) row("ground", "geo-ground", "none (above the horizon)");
    }
    if (p.follow) row("follows", "geo-follow", p.follow.target + (p.follow.following ? "" : " (" + (p.follow.problem || "waiting") + ")"));
    geoOut.replaceChildren(...rows);
  }
  c.node = el("div", {class: "head", "data-head": head.name, onpointerdown: () => activate(c)},
    el("h2", {}, head.name, link, live, motionBadge),
    el("div", {class: "where"}, [head.link, ...where].join(" · ")),
    el("div", {class: "layout"},
      el("div", {}, svg, readout, controls),
      el("div", {class: "side"}, ...(snapshot ? [snapshot] : []),
        panel("Presets", presetList, store), panel("Tours", tourList, progress),
        panel("Status", flags), geoPanel, panel("Events", log))));

  // --- the live state
  const trailPoints = [];
  function show(p) {
    if (!map) drawRange(p);
    c.position = p;
    showGeo(p);
    link.textContent = p.link ? "connected" : "link down";
    link.className = "badge " + (p.link ? "up" : "down");
    motionBadge.textContent = p.moving ? "moving" : "idle";
    motionBadge.className = "badge" + (p.moving ? " moving" : "");
    if (!p.known) return;
    panOut.textContent = fix(p.pan, 2) + "°";
    tiltOut.textContent = fix(p.tilt, 2) + "°";
    stepsOut.textContent = "steps " + p.steps.pan + " / " + p.steps.tilt;
    set(here, {cx: X(p.pan), cy: Y(p.tilt), "data-pan": p.pan, "data-tilt": p.tilt});
    const last = trailPoints[trailPoints.length - 1];
    if (!last || last[0] !== p.pan || last[1] !== p.tilt) {
      trailPoints.push([p.pan, p.tilt]);
      if (trailPoints.length > 40) trailPoints.shift();
      set(trail, {points: trailPoints.map(([a, b]) => X(a) + "," + Y(b)).join(" ")});
    }
    if (p.flags) for (const f of flags.children) f.classList.toggle("on", !!p.flags[+f.dataset.flag]);
    if (p.tour && p.tour.state === "paused") progress.textContent = p.tour.name + ": paused at step " + (p.tour.step + 1);
  }
  // What the page's one stream brings for this head.
  c.streamOpen = () => { live.textContent = "live"; live.className = "badge up"; c.heard = Date.now(); };
  c.streamDown = () => { live.textContent = "reconnecting"; live.className = "badge down"; };
  const at = d => d.pan !== undefined ? "at " + fix(d.pan, 1) + "°, " + fix(d.tilt, 1) + "°" : "";
  const told = {
    move_started: d => d.move || "", move_finished: d => (d.reason || "") + " " + at(d),
    limit_reached: d => d.axis + " " + d.side, preset_reached: d => { loadPresets(); return "preset " + d.preset; },
    link_lost: null, link_restored: null,
  };
  c.streamEvent = (type, d) => {
    c.heard = Date.now();
    if (type === "state") return show(d);
    if (type === "tour_step") {
      const text = d.tour + ": step " + (d.step + 1) + ", round " + (d.round + 1);
      progress.textContent = text;
      return note("tour " + text);
    }
    if (type === "tour_stopped") {
      const why = d.reason && d.reason !== "stopped" ? ": " + d.reason : "";
      progress.textContent = d.tour + " stopped" + why;
      return note("tour stopped" + why);
    }
    if (type in told) note(type.replace("_", " ") + (told[type] ? " " + told[type](d) : ""));
  };
  c.start = async () => {
    try { show(await api(base + "position")); } catch (e) { report(e.message); }
    loadPresets(); loadTours();
  };
  if (first) activate(c);
  return c;
}

// --- keyboard: the active card
const keys = {ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, 1], ArrowDown: [0, -1]};
const down = new Set();
function keyMove(shift) {
  if (!active) return;
  let pan = 0, tilt = 0;
  for (const k of down) { pan += keys[k][0]; tilt += keys[k][1]; }
  const v = shift ? 1 : active.speed();
  active.move.set("keys", Math.sign(pan) * v, Math.sign(tilt) * v);
}
// Where a key is text: there Space and digits are the field's. The speed
// slider is not: arrows jog and Space stops whatever has the focus.
const typing = e => e.target.matches && e.target.matches("input[type=text], input[type=number], input[type=password], select, textarea");
window.addEventListener("keydown", e => {
  if (!active || e.ctrlKey || e.altKey || e.metaKey) return;
  if (e.key === " " && !(e.target.matches && e.target.matches("input[type=text], input[type=password], textarea"))) {
    e.preventDefault(); down.clear(); active.move.stop(); return;
  }
  if (typing(e)) return;
  if (keys[e.key]) { e.preventDefault(); down.add(e.key); keyMove(e.shiftKey); }
  else if (e.key === "Shift") { if (down.size) keyMove(true); }
  else if (/^[1-9]$/.test(e.key)) { e.preventDefault(); active.goPreset(+e.key); }
});
window.addEventListener("keyup", e => {
  if (keys[e.key]) { down.delete(e.key); keyMove(e.shiftKey); }
  else if (e.key === "Shift") { if (down.size) keyMove(false); }
});
// A tab that loses sight of the operator lets go of everything.
const letGo = () => { down.clear(); for (const c of cards) { c.move.set("keys", 0, 0); c.move.set("pad", 0, 0); } };
window.addEventListener("blur", letGo);
document.addEventListener("visibilitychange", () => { if (document.hidden) letGo(); });

// A stream silent for a second: the connection is lost (shown until every
// stream is heard again).
// Silent for three, the page asks the shared stream again (it may have
// been forgotten while the tab was away).
let asked = 0;
setInterval(() => {
  const now = Date.now(), silent = c => c.heard !== undefined ? now - c.heard : 0;
  const lost = cards.some(c => silent(c) > 1000);
  document.getElementById("lost").classList.toggle("shown", lost);
  if (hub && cards.some(c => silent(c) > 3000) && now - asked > 3000) {
    asked = now;
    hub.postMessage({kind: "connect", url: streamUrl(), types: streamTypes});
  }
}, 200);

// --- gamepad: the stick drives the active card at a speed of its deflection
let buttonsBefore = [];
setInterval(() => {
  const pads = navigator.getGamepads ? Array.from(navigator.getGamepads()).filter(Boolean) : [];
  if (!active) return;
  const gp = pads[0];
  if (!gp) { active.move.set("gamepad", 0, 0); return; }
  const dead = v => Math.abs(v) < 0.15 ? 0 : Math.round(v * 10) / 10;
  active.move.set("gamepad", dead(gp.axes[0] || 0), -dead(gp.axes[1] || 0));
  const pressed = gp.buttons.map(b => !!(b && (b.pressed || b.value > 0.5)));
  const edge = i => pressed[i] && !buttonsBefore[i];
  if (edge(0)) active.move.stop();
  if (edge(4)) active.stepPreset(-1);
  if (edge(5)) active.stepPreset(1);
  buttonsBefore = pressed;
}, 50);

// One live stream for the whole page, every head's state and events in it,
// and one for every tab of the page in this browser (stream.js, a shared
// worker): a browser keeps six connections per host across its tabs, and
// commands need theirs. Where there are no shared workers the page holds a
// stream of its own.
let stream = null, hub = null, hubToken = null;
const streamTypes = ["state", "move_started", "move_finished", "limit_reached", "preset_reached", "link_lost",
                     "link_restored", "tour_step", "tour_stopped"];
const streamUrl = () => new URL("/api/stream" + (token ? "?token=" + encodeURIComponent(token) : ""), location.href).href;
const streamHeard = (type, data) => {
  if (type === "heartbeat") { const now = Date.now(); for (const c of cards) c.heard = now; return; }
  const d = JSON.parse(data), c = cards.find(k => k.name === d.head);
  if (c) c.streamEvent(type, d);
};
// Down; once the stream is refused (a token, perhaps), an API call asks
// for it, then the stream is tried again.
const streamLost = closed => {
  for (const c of cards) c.streamDown();
  if (closed) setTimeout(() => api("/api/heads").catch(() => {}).finally(connect), 1000);
};
// A tab put away (or closed) leaves the shared stream; one brought back
// joins it again.
window.addEventListener("pagehide", () => { if (hub) { hub.postMessage({kind: "bye"}); hub = null; } });
window.addEventListener("pageshow", e => { if (e.persisted && cards.length) connect(); });
function connect() {
  if (window.SharedWorker) {
    try {
      // One worker per token: a tab with a wrong one never takes the
      // others' stream down.
      if (hub && hubToken !== token) { hub.postMessage({kind: "bye"}); hub = null; }
      if (!hub) {
        hubToken = token;
        hub = new SharedWorker("/stream.js", {name: "ptzd-stream " + token}).port;
        hub.addEventListener("message", m => {
          const d = m.data || {};
          if (d.kind === "open") for (const c of cards) c.streamOpen();
          else if (d.kind === "down") streamLost(d.closed);
          else if (d.kind === "event") streamHeard(d.type, d.data);
        });
        hub.start();
      }
      hub.postMessage({kind: "connect", url: streamUrl(), types: streamTypes});
      return;
    } catch (e) { hub = null; }
  }
  if (stream) stream.close();
  stream = new EventSource(streamUrl());
  stream.addEventListener("open", () => { for (const c of cards) c.streamOpen(); });
  for (const type of ["heartbeat", ...streamTypes]) stream.addEventListener(type, e => streamHeard(type, e.data));
  stream.addEventListener("error", () => streamLost(stream.readyState === EventSource.CLOSED));
}

api("/api/heads").then(heads => {
  const list = document.getElementById("heads");
  heads.forEach((h, i) => { const c = card(h, i === 0); cards.push(c); list.append(c.node); c.start(); });
  if (!heads.length) say("no heads configured");
  else connect();
}).catch(e => say(e.message));
