// The status page: polls /api/status and shows it; every text that comes
// from the station or the driver goes in through textContent or value.
"use strict";

const POLL_MS = 1000;
const $ = (id) => document.getElementById(id);
let dragging = null;
let widths = [111, 111, 111, 111, 111];
window.addEventListener("resize", () => { if (!dragging) applyWidths(widths, widthScale(widths)); });
let reachable = true;
// A flush request on its way: the button stays grey until the server has
// it, so that a snapshot taken before the press cannot light it again.
let flushing = false;

function token() {
  return sessionStorage.getItem("veldrum-token") || "";
}

async function command(path, body) {
  for (let attempt = 0; attempt < 2; attempt++) {
    const headers = { "Content-Type": "application/json" };
    if (token()) headers["X-VelDrum-Token"] = token();
    const res = await fetch(path, {
      method: "POST", headers, credentials: "same-origin",
      body: body === undefined ? "{}" : JSON.stringify(body),
    });
    if (res.status !== 401) return res;
    const t = window.prompt("Ключ доступа (VELDRUM.INI, HTTPTOKEN):", "");
    if (!t) return res;
    sessionStorage.setItem("veldrum-token", t);
  }
  return null;
}

function setBadge(id, textId, state, text) {
  const el = $(id);
  el.classList.toggle("ok", state === true);
  el.classList.toggle("bad", state === false);
  $(textId).textContent = text;
}

function showIcon(img, captionId, icon, on, off, onText, offText) {
  const caption = $(captionId);
  img.classList.toggle("blank", icon === 0);
  caption.classList.toggle("ok", icon === on);
  caption.classList.toggle("bad", icon === off);
  if (icon === 0) {
    img.removeAttribute("src");
    img.alt = "";
    caption.textContent = "";
    return;
  }
  const src = icon === on ? onText.src : offText.src;
  if (img.getAttribute("src") !== src) img.setAttribute("src", src);
  img.alt = icon === on ? onText.label : offText.label;
  img.title = img.alt;
  caption.textContent = img.alt;
}

// The widths are the list view's own (saved in VELDRUM.INI); the page
// stretches them by one factor to fill its frame, keeping their proportions.
function widthScale(list) {
  const total = list.reduce((a, b) => a + b, 0);
  const frame = $("list-frame").clientWidth;
  return total > 0 && frame > total ? frame / total : 1;
}

function applyWidths(list, scale) {
  const cols = document.querySelectorAll("#c1054 col");
  let total = 0;
  list.forEach((w, i) => {
    const px = Math.floor(w * scale);
    total += px;
    if (cols[i]) cols[i].style.width = px + "px";
  });
  $("c1054").style.width = total + "px";
}

function cell(tr, index, cls) {
  let td = tr.children[index];
  if (!td) {
    td = document.createElement("td");
    if (cls) td.className = cls;
    tr.appendChild(td);
  }
  return td;
}

// The rows of a table body, as many as `count`: missing ones are made,
// extra ones removed, the others kept for their cells.
function tableRows(body, count) {
  while (body.children.length > count) body.removeChild(body.lastChild);
  while (body.children.length < count) body.appendChild(document.createElement("tr"));
  return Array.from(body.children);
}

function renderRows(rows) {
  const body = $("rows");
  const trs = tableRows(body, rows.length);
  rows.forEach((row, i) => {
    const tr = trs[i];
    tr.classList.toggle("marked", row.state_image === 2);
    tr.dataset.stateImage = String(row.state_image);
    const name = cell(tr, 0, "name");
    let img = name.querySelector("img");
    let label = name.querySelector("a.chan");
    if (!img) {
      img = document.createElement("img");
      img.width = 16; img.height = 16;
      label = document.createElement("a");
      label.className = "chan";
      label.addEventListener("click", (ev) => { ev.preventDefault(); togglePlot(label.textContent); });
      name.appendChild(img); name.appendChild(label);
    }
    label.href = "?plot=" + encodeURIComponent(row.name);
    tr.classList.toggle("plotted", plotNames().includes(row.name));
    const src = row.state_image === 2 ? "icons/state_2.svg" : "icons/state_1.svg";
    if (img.getAttribute("src") !== src) img.setAttribute("src", src);
    img.alt = row.state_image === 2 ? "событие" : "";
    label.textContent = row.name;
    cell(tr, 1, "num").textContent = row.rate;
    cell(tr, 2, "num").textContent = row.queued;
    const time = cell(tr, 3, "num");
    time.textContent = row.time;
    const file = cell(tr, 4, "file");
    file.textContent = row.file;
    file.title = row.file;
  });
  $("empty").classList.toggle("hidden", rows.length > 0);
}

// SeedLink clients: address, protocol, selectors, last sequence, lag.
function renderSeedLink(clients) {
  const list = clients || [];
  $("seedlink").classList.toggle("hidden", list.length === 0);
  const body = $("seedlink-rows");
  const trs = tableRows(body, list.length);
  list.forEach((c, i) => {
    const tr = trs[i];
    const values = [c.address, c.protocol, c.selectors, String(c.sequence), c.lag_seconds.toFixed(1)];
    values.forEach((v, k) => {
      const td = cell(tr, k, k >= 3 ? "num" : "");
      td.textContent = v;
      td.title = v;
    });
  });
}

const LATENCY_RED_SECONDS = 10;  // a second's block comes within a few seconds
const PLOT_MINUTES = 3;
const RECONNECT_MS = 3000;

// Per channel: seconds since its last sample and gaps since UTC midnight.
function renderHealth(channels) {
  const list = channels || [];
  const body = $("health-rows");
  const trs = tableRows(body, list.length);
  list.forEach((c, i) => {
    const tr = trs[i];
    cell(tr, 0, "").textContent = c.name;
    const late = cell(tr, 1, "num");
    late.textContent = c.latency_seconds === null ? "—" : c.latency_seconds.toFixed(1);
    late.classList.toggle("late", c.latency_seconds === null || c.latency_seconds > LATENCY_RED_SECONDS);
    cell(tr, 2, "num").textContent = String(c.gaps_today);
  });
}

function renderRing(ring, liss) {
  const mb = (b) => (b / 1048576).toFixed(1);
  const share = ring.limit_bytes > 0 ? Math.round(100 * ring.bytes / ring.limit_bytes) : 0;
  $("ring-text").textContent = "Кольцо: " + mb(ring.bytes) + " из " + mb(ring.limit_bytes) + " МБ (" + share + " %)";
  $("ring-badge").classList.toggle("bad", share >= 100);
  $("liss-text").textContent = liss > 0 ? "LISS: клиент подключён" : "LISS: нет клиента";
  $("liss-badge").classList.toggle("ok", liss > 0);
}

// Shown only when SEEDLINK= is set: its port, or that it went off.
function renderSeedLinkBadge(port, failed) {
  const badge = $("seedlink-badge");
  badge.classList.toggle("hidden", !port && !failed);
  badge.classList.toggle("ok", !!port);
  badge.classList.toggle("bad", !!failed);
  $("seedlink-text").textContent = failed ? "SeedLink: выключен из-за ошибки (см. журнал работы)" : "SeedLink: порт " + port;
}

// Seismograms: the channels named in the address (?plot=SHZ,SHN), drawn by
// seisplotjs from the SeedLink WebSocket feed of this host. Every change of
// the set, and every lost connection, starts the feed afresh from
// PLOT_MINUTES ago, so that each display begins full.
const feed = { where: null, connection: null, displays: new Map(), timer: 0, generation: 0 };

function plotNames() {
  const v = new URLSearchParams(location.search).get("plot");
  return v ? v.split(",").filter((n) => n !== "") : [];
}

function togglePlot(name) {
  const names = plotNames();
  const next = names.includes(name) ? names.filter((n) => n !== name) : names.concat([name]);
  const params = new URLSearchParams(location.search);
  if (next.length) params.set("plot", next.join(",")); else params.delete("plot");
  const q = params.toString().replace(/%2C/g, ",");
  history.replaceState(null, "", location.pathname + (q ? "?" + q : ""));
  document.querySelectorAll("#rows tr").forEach((tr) => {
    const a = tr.querySelector("a.chan");
    if (a) tr.classList.toggle("plotted", next.includes(a.textContent));
  });
  restartFeed();
}

function plotNote(text) {
  $("plots-note").textContent = text;
}

function stopFeed() {
  feed.generation++;
  clearTimeout(feed.timer);
  if (feed.connection) {
    feed.connection.setOnClose(() => {});
    feed.connection.close();
  }
  feed.connection = null;
  for (const d of feed.displays.values()) d.rt.animationScaler.pause();
  feed.displays.clear();
  $("plot-list").replaceChildren();
}

// The library fills its axis labels from templates that it compiles with
// new Function, which the page's policy forbids; fixed labels need none.
function plainLabels(sp) {
  const labels = { handlebarsTitle: "", handlebarsXLabel: "", handlebarsXSublabel: "UTC",
    handlebarsYLabel: "отсчёты", handlebarsYSublabel: "", handlebarsYLabelRight: "" };
  const proto = sp.seismographconfig.SeismographConfig.prototype;
  for (const [method, text] of Object.entries(labels)) proto[method] = () => text;
}

function restartFeed() {
  stopFeed();
  const names = plotNames();
  const sp = window.seisplotjs;
  if (!sp) {
    plotNote("Сейсмограммы недоступны: программа собрана без seisplotjs.");
    return;
  }
  if (names.length === 0) {
    plotNote("Щелчок по имени канала открывает его сейсмограмму.");
    return;
  }
  if (!feed.where) {
    plotNote("Сейсмограммы: ждём сведений о сервере…");
    return;
  }
  if (!feed.where.port) {
    plotNote(feed.where.failed
      ? "Сейсмограммы недоступны: SeedLink выключен из-за ошибки (см. журнал работы)."
      : "Сейсмограммы недоступны: SeedLink выключен (SEEDLINK= в VELDRUM.INI).");
    return;
  }
  plotNote("Сейсмограммы за " + PLOT_MINUTES + " мин, SeedLink " + location.hostname + ":" + feed.where.port);
  plainLabels(sp);
  const luxon = sp.luxon;
  for (const name of names) {
    // The station's own counts (unsigned, around 32,768), as every other road serves them.
    const seismographConfig = new sp.seismographconfig.SeismographConfig();
    seismographConfig.amplitudeRaw();
    // A record per block: its segments meet sample to sample, and drawn
    // apart every second would end in a break.
    seismographConfig.connectSegments = true;
    const rt = sp.animatedseismograph.createRealtimeDisplay({
      duration: luxon.Duration.fromObject({ minutes: PLOT_MINUTES }), removeTrend: false,
      seismographConfig,
    });
    const box = document.createElement("div");
    box.className = "plot";
    box.dataset.channel = name;
    box.dataset.samples = "0";
    const head = document.createElement("h3");
    const title = document.createElement("span");
    title.textContent = feed.where.network + "." + feed.where.station + "." + name;
    const close = document.createElement("button");
    close.type = "button";
    close.textContent = "×";
    close.title = "Закрыть";
    close.addEventListener("click", () => togglePlot(name));
    head.append(title, close);
    const body = document.createElement("div");
    body.className = "plot-body";
    body.appendChild(rt.organizedDisplay);
    box.append(head, body);
    $("plot-list").appendChild(box);
    rt.animationScaler.animate();
    feed.displays.set(name, { rt, box });
  }
  connectFeed(feed.generation);
}

function connectFeed(generation) {
  const sp = window.seisplotjs;
  const host = location.hostname.includes(":") ? "[" + location.hostname + "]" : location.hostname;
  const retry = () => {
    if (generation !== feed.generation) return;
    clearTimeout(feed.timer);
    feed.timer = setTimeout(() => { if (generation === feed.generation) connectFeed(generation); }, RECONNECT_MS);
  };
  // One miniSEED 3 record per block; "FDSN:NET_STA_LOC_B_S_SS" names the
  // channel by its codes run together.
  const onPacket = (packet) => {
    const ms3 = packet.isMiniseed3() ? packet.asMiniseed3() : null;
    if (!ms3 || generation !== feed.generation) return;
    const h = ms3.header;
    const d = feed.displays.get(h.identifier.split("_").slice(3).join(""));
    if (!d) return;
    d.rt.packetHandler(packet);
    d.box.dataset.format = String(h.formatVersion);
    d.box.dataset.samples = String(Number(d.box.dataset.samples) + h.numSamples);
    d.box.dataset.end = String(h.end.toMillis());
  };
  const scheme = location.protocol === "https:" ? "wss://" : "ws://";
  const c = new sp.seedlink4.SeedlinkConnection(scheme + host + ":" + feed.where.port,
    ["STATION " + feed.where.network + "_" + feed.where.station, "SELECT *.3D",
      sp.seedlink4.createDataTimeCommand(sp.luxon.DateTime.utc().minus({ minutes: PLOT_MINUTES })).trim()],
    onPacket, retry);
  c.setOnClose(retry);
  feed.connection = c;
  c.connect();
}

function learnFeed(s) {
  // A page over HTTPS reads the feed over TLS, on its own port.
  const port = location.protocol === "https:" ? s.seedlink_tls_port : s.seedlink_port;
  const where = { port: port || 0, failed: !!s.seedlink_failed, network: s.network || "", station: s.station || "" };
  const old = feed.where;
  if (old && old.port === where.port && old.failed === where.failed && old.network === where.network &&
      old.station === where.station) return;
  feed.where = where;
  restartFeed();
}

function render(s) {
  document.title = s.title;
  $("title").textContent = s.title;
  if (!dragging && s.columns) {
    widths = s.columns.map((c) => c.width);
    applyWidths(widths, widthScale(widths));
  }
  renderRows(s.rows);
  renderSeedLink(s.seedlink);
  renderHealth(s.channels);
  renderRing(s.ring, s.liss_clients);
  renderSeedLinkBadge(s.seedlink_port, s.seedlink_failed);
  learnFeed(s);
  // Without the station the rows show the last data, not current data.
  $("rows").classList.toggle("stale", s.station_link.connected === false);

  const lamp = $("c1049");
  const lampSrc = s.event.lit ? "icons/lamp_lit.svg" : "icons/lamp_dark.svg";
  if (lamp.getAttribute("src") !== lampSrc) lamp.setAttribute("src", lampSrc);
  lamp.alt = s.event.active ? "Событие" : "Событие: нет";
  lamp.dataset.lit = s.event.lit ? "1" : "0";
  const eventCaption = $("event-caption");
  eventCaption.textContent = s.event.active ? "есть" : "нет";
  eventCaption.classList.toggle("bad", !!s.event.active);

  const err = $("c1053");
  err.value = s.error_text;
  err.title = s.error_text;
  err.classList.toggle("empty", s.error_text === "");

  showIcon($("c1055"), "db-caption", s.db.icon, 111, 112,
    { src: "icons/db_on.svg", label: "подключена" },
    { src: "icons/db_off.svg", label: "не подключена" });
  showIcon($("c1056"), "station-caption", s.station_link.icon, 113, 114,
    { src: "icons/station_on.svg", label: "подключена" },
    { src: "icons/station_off.svg", label: "отключена" });
  setBadge("station-badge", "station-text", s.station_link.connected,
    s.station_link.connected === null ? "Станция: нет сведений"
      : s.station_link.connected ? "Станция подключена" : "Станция отключена");
  setBadge("db-badge", "db-text", s.db.connected,
    s.db.connected === null ? "БД: нет сведений"
      : s.db.connected ? "БД подключена" : "БД не подключена");
  $("channels-text").textContent = "Каналов: " + s.rows.length;

  $("c7").disabled = flushing || !s.flush_enabled;
  const conn = $("conn-badge");
  conn.classList.toggle("hidden", !s.stopping);
  conn.classList.toggle("warn", s.stopping);
  $("conn-text").textContent = s.stopping ? "Завершение работы…" : "";
  document.body.dataset.serial = String(s.serial);
}

async function poll() {
  try {
    const res = await fetch("api/status", { cache: "no-store" });
    if (!res.ok) throw new Error("HTTP " + res.status);
    const s = await res.json();
    reachable = true;
    $("window").classList.remove("offline");
    render(s);
  } catch (e) {
    if (reachable) {
      reachable = false;
      const conn = $("conn-badge");
      conn.classList.remove("hidden");
      conn.classList.add("bad");
      $("conn-text").textContent = "Нет связи с сервером дисковой петли";
    }
  }
}

function startResize(ev, index) {
  ev.preventDefault();
  const scale = widthScale(widths);
  dragging = { index, x: ev.clientX, width: widths[index], scale };
  const move = (e) => {
    const w = Math.max(10, Math.round(dragging.width + (e.clientX - dragging.x) / scale));
    widths[index] = w;
    applyWidths(widths, scale);
  };
  const up = async () => {
    window.removeEventListener("mousemove", move);
    window.removeEventListener("mouseup", up);
    const sent = widths.slice();
    try { await command("api/widths", sent); } finally { dragging = null; }
  };
  window.addEventListener("mousemove", move);
  window.addEventListener("mouseup", up);
}

function init() {
  document.querySelectorAll("#c1054 th .grip").forEach((grip, i) => {
    grip.addEventListener("mousedown", (ev) => startResize(ev, i));
  });
  $("c7").addEventListener("click", async () => {
    flushing = true;
    $("c7").disabled = true;
    try { await command("api/flush"); } finally { flushing = false; }
    poll();
  });
  $("cmd40001").addEventListener("click", () => {
    $("menu").open = false;
    window.focus();
    poll();
  });
  $("cmd40002").addEventListener("click", async () => {
    $("menu").open = false;
    await command("api/stop");
    poll();
  });
  poll();
  setInterval(poll, POLL_MS);
}

document.addEventListener("DOMContentLoaded", init);
