"use strict";
// The live view's page: one websocket to the server, frames pulled one at a
// time (the server sends the last frame when this page is ready for one).
const token = new URLSearchParams(location.search).get("token") || "";
const $ = (id) => document.getElementById(id);
const image = $("image"), overlay = $("overlay");
let socket = null, control = false, frame = null, shownUrl = null, nextId = 1;
let grabbing = true, removed = false, roi = null;

function log(text, kind) {
  const item = document.createElement("li");
  item.textContent = new Date().toLocaleTimeString() + "  " + text;
  if (kind) item.className = kind;
  $("log").prepend(item);
  while ($("log").children.length > 50) $("log").lastChild.remove();
}

function send(message) {
  if (socket && socket.readyState === WebSocket.OPEN) {
    message.id = nextId++;
    socket.send(JSON.stringify(message));
  }
}

function ready(shown) {
  const ratio = window.devicePixelRatio || 1;
  send({type: "ready", shown: shown,
        width: Math.round($("stage").clientWidth * ratio),
        height: Math.round($("stage").clientHeight * ratio)});
}

function connect() {
  const scheme = location.protocol === "https:" ? "wss:" : "ws:";
  socket = new WebSocket(`${scheme}//${location.host}/ws?token=${encodeURIComponent(token)}`);
  socket.binaryType = "blob";
  socket.onopen = () => { ready(false); send({type: "features"}); send({type: "report"}); };
  socket.onclose = () => { log("Connection to the server closed.", "error"); $("camera").textContent = "server stopped"; };
  socket.onmessage = (event) => {
    if (typeof event.data !== "string") { show(event.data); return; }
    const message = JSON.parse(event.data);
    (handlers[message.type] || (() => {}))(message);
  };
}

function show(blob) {
  const url = URL.createObjectURL(blob);
  image.onload = () => { if (shownUrl) URL.revokeObjectURL(shownUrl); shownUrl = url; ready(true); };
  image.onerror = () => { URL.revokeObjectURL(url); ready(false); };
  image.src = url;
}

const handlers = {
  frame(m) { frame = m; $("frame-number").textContent = m.number; },
  state(m) {
    control = m.control;
    document.body.classList.toggle("viewer", !control);
    $("role").textContent = control ? "this page controls the camera"
      : `viewing only (${m.pages} pages open; the first one opened controls)`;
    $("camera").textContent = m.connected ? `${m.model} ${m.serial}` : "not connected";
    if (m.frame !== null) $("frame-number").textContent = m.frame;
    $("received-fps").textContent = m.received_fps.toFixed(1);
    $("shown-fps").textContent = m.shown_fps.toFixed(1);
    $("dropped").textContent = m.dropped;
    grabbing = m.grabbing;
    $("grab").textContent = grabbing ? "Stop" : "Start";
    if (m.removed !== removed) {
      removed = m.removed;
      $("removed").hidden = !removed;
      if (removed) log("The camera was removed." + (m.grab_error ? " " + m.grab_error : ""), "error");
    }
    if (m.histogram) drawHistogram(m.histogram);
  },
  pixel(m) {
    const p = m.pixel;
    $("pointer").textContent = p ? `(${p.x}, ${p.y}) ` + Object.entries(p.values)
      .map(([k, v]) => `${k} ${v}`).join(" ") + ` ${p.unit}` : "";
  },
  features(m) { if (m.error) { log(m.error, "error"); return; } roi = m.roi; showRoi(); drawGroups(m.groups); },
  report(m) {
    if (m.error) { log(m.error, "error"); return; }
    $("report").textContent = "--- 目前相機設定狀態 ---\n" + m.lines.map((l) =>
      l.label + ("error" in l ? "(" + l.error + ")" : l.value + l.unit)).join("\n");
  },
  set(m) { showOutcome(m); },
  roi(m) { roiDone(m); }, centre(m) { roiDone(m); },
  grab(m) { if (m.error) log(m.error, "error"); },
  reconnect(m) {
    if (m.error) { log("Reconnect: " + m.error, "error"); return; }
    log("Reconnected: " + m.messages.join(" "));
    send({type: "features"}); send({type: "report"});
  },
  changed(m) { send({type: "features"}); send({type: "report"}); },
  error(m) { log(m.error, "error"); },
};

const pending = {};  // request id: the row that asked

function showOutcome(m) {
  const row = pending[m.id]; delete pending[m.id];
  const cell = row ? row.querySelector(".outcome") : null;
  const parts = [];
  if (m.error) { parts.push(["error", m.error]); log(`${row ? row.dataset.feature : "set"}: ${m.error}`, "error"); }
  for (const line of m.printed || []) { parts.push(["printed", "printed: " + line]); log(line, "printed"); }
  if (m.read_back) {
    if ("value" in m.read_back) parts.push(["back", "read back: " + m.read_back.value]);
    if (m.read_back.error) parts.push(["error", "read back: " + m.read_back.error]);
  }
  if (cell) {
    cell.replaceChildren(...parts.map(([kind, text]) => {
      const div = document.createElement("div"); div.className = kind; div.textContent = text; return div;
    }));
  }
  if (row && m.read_back && "value" in m.read_back) row.querySelector(".value").textContent = m.read_back.value;
  send({type: "report"});
}

function roiDone(m) {
  if (m.error) log((m.step ? m.step + ": " : "") + m.error, "error");
  for (const line of m.printed || []) log(line, "printed");
  if (m.roi) { roi = m.roi; showRoi(); }
  send({type: "features"});
}

function showRoi() {
  if (roi) $("roi-now").textContent = `ROI ${roi.width}×${roi.height} at (${roi.offset_x}, ${roi.offset_y})`;
}

function input(control, now) {
  let field;
  if (control.kind === "enum") {
    field = document.createElement("select");
    for (const entry of control.entries) field.add(new Option(entry, entry));
    if (now !== undefined) field.value = now;
  } else if (control.kind === "bool") {
    field = document.createElement("input"); field.type = "checkbox";
    field.checked = now === "True";
  } else {
    field = document.createElement("input");
    field.type = control.kind === "int" || control.kind === "float" ? "number" : "text";
    if (control.kind === "int") field.step = control.inc || 1;
    if (control.kind === "float") field.step = "any";
    if ("min" in control) field.title = `${control.min} to ${control.max}`;
    if (now !== undefined) field.value = now;
  }
  field.className = "param";
  field.dataset.param = control.param;
  field.setAttribute("aria-label", control.param);
  return field;
}

function drawGroups(groups) {
  const open = new Set([...document.querySelectorAll("#groups details[open]")].map((d) => d.dataset.group));
  const host = $("groups");
  host.replaceChildren();
  for (const group of groups) {
    const details = document.createElement("details");
    details.dataset.group = group.group;
    details.open = open.size ? open.has(group.group) : ["ImageFormat", "Acquisition", "Analog"].includes(group.group);
    const summary = document.createElement("summary");
    summary.textContent = `${group.group} (${group.cls})`;
    details.append(summary);
    const table = document.createElement("table");
    for (const feature of group.features) {
      const row = table.insertRow();
      row.id = `feature-${group.group}-${feature.name}`;
      row.dataset.group = group.group; row.dataset.feature = feature.name;
      row.insertCell().append(feature.name); row.cells[0].className = "name";
      const value = row.insertCell(); value.className = "value";
      const now = feature.now || {};
      value.textContent = "value" in now ? now.value : "";
      if (now.error) { value.textContent = ""; const e = document.createElement("span"); e.className = "error"; e.textContent = now.error; value.append(e); }
      if (now.from_node) value.title = "the node's value (this feature has no getter)";
      const edit = row.insertCell();
      if (feature.setter) {
        const current = feature.params.length === 1 && "value" in now ? now.value : undefined;
        for (const control of feature.controls) edit.append(input(control, control.param === "selector" ? undefined : current));
        const button = document.createElement("button");
        button.className = "set";
        button.textContent = feature.params.length ? "Set" : feature.setter.replace("CUF_SET_", "");
        button.onclick = () => setFeature(row, feature);
        edit.append(button);
      }
      row.insertCell().className = "outcome";
    }
    details.append(table);
    host.append(details);
  }
}

function setFeature(row, feature) {
  const values = [...row.querySelectorAll(".param")].map((f) => f.type === "checkbox" ? f.checked : f.value);
  const id = nextId;
  pending[id] = row;
  send({type: "set", group: row.dataset.group, feature: feature.name, values: values});
}

const colours = {R: "#ff5252", G: "#69f0ae", B: "#448aff", Mono: "#e0e0e0", Y: "#e0e0e0", Cb: "#448aff", Cr: "#ff5252"};

function drawHistogram(h) {
  const canvas = $("histogram"), g = canvas.getContext("2d");
  g.clearRect(0, 0, canvas.width, canvas.height);
  let top = 1;
  for (const c of h.channels) for (let i = 1; i < 255; i++) top = Math.max(top, c.counts[i]);
  for (const c of h.channels) {
    g.strokeStyle = colours[c.name] || "#fff"; g.beginPath();
    c.counts.forEach((n, i) => {
      const x = i * canvas.width / 255, y = canvas.height * (1 - Math.min(n / top, 1));
      i ? g.lineTo(x, y) : g.moveTo(x, y);
    });
    g.stroke();
  }
  const table = $("histogram-counts");
  table.replaceChildren();
  const head = table.insertRow();
  for (const text of ["channel", "black (0)", `saturated (${(1 << h.bits) - 1})`, "pixels"]) head.insertCell().textContent = text;
  for (const c of h.channels) {
    const row = table.insertRow();
    row.dataset.channel = c.name;
    for (const text of [c.name, c.black, c.saturated, c.total]) row.insertCell().textContent = text;
  }
}

// Image coordinates (of the frame shown) under a point of the overlay.
function toImage(event) {
  if (!frame) return null;
  const box = overlay.getBoundingClientRect();
  const scale = Math.min(box.width / frame.width, box.height / frame.height);
  const left = (box.width - frame.width * scale) / 2, top = (box.height - frame.height * scale) / 2;
  return {x: (event.clientX - box.left - left) / scale, y: (event.clientY - box.top - top) / scale,
          scale: scale, left: left, top: top};
}

let drag = null, lastPointer = 0;
overlay.addEventListener("mousedown", (event) => { const p = toImage(event); if (p && control) drag = {start: p, end: p}; });
overlay.addEventListener("mousemove", (event) => {
  const p = toImage(event);
  if (drag) { drag.end = p; drawDrag(); }
  const now = performance.now();
  if (p && now - lastPointer > 50) {
    lastPointer = now;
    const x = Math.floor(p.x), y = Math.floor(p.y);
    if (x >= 0 && y >= 0 && x < frame.width && y < frame.height) send({type: "pixel", x: x, y: y});
  }
});
window.addEventListener("mouseup", () => {
  if (!drag) return;
  const {start, end} = drag; drag = null; drawDrag();
  const clamp = (v, m) => Math.min(Math.max(v, 0), m);
  const x0 = clamp(Math.min(start.x, end.x), frame.width), x1 = clamp(Math.max(start.x, end.x), frame.width);
  const y0 = clamp(Math.min(start.y, end.y), frame.height), y1 = clamp(Math.max(start.y, end.y), frame.height);
  if ((x1 - x0) * start.scale < 5 || (y1 - y0) * start.scale < 5) return;
  send({type: "roi", x: Math.round(x0), y: Math.round(y0), width: Math.round(x1 - x0), height: Math.round(y1 - y0)});
});

function drawDrag() {
  const box = overlay.getBoundingClientRect();
  overlay.width = box.width; overlay.height = box.height;
  const g = overlay.getContext("2d");
  if (!drag) return;
  const s = drag.start, e = drag.end;
  g.strokeStyle = "#ffeb3b"; g.setLineDash([6, 4]); g.lineWidth = 2;
  g.strokeRect(s.left + Math.min(s.x, e.x) * s.scale, s.top + Math.min(s.y, e.y) * s.scale,
               Math.abs(e.x - s.x) * s.scale, Math.abs(e.y - s.y) * s.scale);
}

$("grab").onclick = () => send({type: "grab", on: !grabbing});
$("roi-full").onclick = () => send({type: "roi", full: true});
$("centre-x").onclick = () => send({type: "centre", axis: "X"});
$("centre-y").onclick = () => send({type: "centre", axis: "Y"});
$("reconnect").onclick = () => send({type: "reconnect"});
$("report-refresh").onclick = () => send({type: "report"});
$("features-refresh").onclick = () => send({type: "features"});
for (const [id, name] of [["save-png", "frame.png"], ["save-raw", "frame.raw"], ["save-pfs", "features.pfs"]]) {
  $(id).href = `save/${name}?token=${encodeURIComponent(token)}`;
}
window.addEventListener("resize", () => ready(false));
connect();
