// The live stream, once for every tab of the page in this browser: a
// browser keeps six connections per host across all its tabs, and each tab
// holding a stream of its own would leave none for the commands. Each tab
// connects here and gets the stream's events. A tab that says goodbye, or
// whose side of the channel closes (closed, crashed), is forgotten; once
// none is left the stream is closed. No timer here: a browser may hold a
// worker's timers back for a minute while its tabs are in the background.
"use strict";
const tabs = new Set();
let source = null, url = null, types = [];

const send = message => { for (const tab of tabs) tab.postMessage(message); };
const forget = tab => {
  tabs.delete(tab);
  if (!tabs.size && source) { source.close(); source = null; }
};

function open(wanted) {
  if (source && url === wanted && source.readyState !== EventSource.CLOSED) return;
  if (source) source.close();
  url = wanted;
  const mine = source = new EventSource(url);
  mine.addEventListener("open", () => send({kind: "open"}));
  mine.addEventListener("error", () => send({kind: "down", closed: mine.readyState === EventSource.CLOSED}));
  for (const type of ["heartbeat", ...types])
    mine.addEventListener(type, e => send({kind: "event", type, data: e.data}));
}

self.addEventListener("connect", e => {
  const tab = e.ports[0];
  tab.addEventListener("close", () => forget(tab));
  tab.addEventListener("message", m => {
    const d = m.data || {};
    if (d.kind === "bye") return forget(tab);
    if (d.kind !== "connect" || typeof d.url !== "string" || !Array.isArray(d.types)) return;
    // A tab connects when it starts, and again when its stream has been
    // silent too long (so one forgotten by mistake comes back).
    tabs.add(tab);
    types = d.types.filter(t => typeof t === "string");
    open(d.url);
    if (source.readyState === EventSource.OPEN) tab.postMessage({kind: "open"});
  });
  tab.start();
});
