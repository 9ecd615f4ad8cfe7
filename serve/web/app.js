// SPDX-License-Identifier: GPL-2.0-or-later
// The living list's page: a table of every entry that renders only the rows in view,
// filters kept in the address, a history panel, and updates polled from serve while a run
// runs. Every text from the list is hostile: it goes in through textContent only. A server
// with a read token gets it from a small form, kept for the tab and sent with every request.
"use strict";

(function () {
  const ROW_HEIGHT = 44;        // px; every row has this height, so the rows in view are computed
  const OVERSCAN_ROWS = 12;     // rendered above and below the view
  const POLL_RUN_MS = 2000;     // while a harvest or check runs
  const POLL_IDLE_MS = 10000;
  const ADDRESS_DELAY_MS = 300;  // the page's address follows typing once it pauses
  const LINK_SCHEMES = /^(https?|rtmp|rtsp|mms):\/\//i;
  const HOME_SCHEMES = /^https?:\/\//i;
  const FILTERS = ["q", "country", "category", "status"];
  const SORT_KEYS = ["name", "country", "category", "status", "quality", "uptime", "last_checked", "stream"];
  const QUALITY_RANK = { SD: 1, HD: 2, FHD: 3, "4K": 4 };
  const KEY_STORE = "morvek-read-token";  // in sessionStorage: for this tab only

  const byId = (id) => document.getElementById(id);
  const state = {
    entries: new Map(),  // id -> entry
    sorted: [],          // every entry in the current order
    view: [],            // the entries that pass the filters, in order
    seq: 0,
    lastHarvest: undefined,  // a new harvest may have removed entries: the list is read again
    sortKey: "name",
    sortDown: false,
    filters: { q: "", country: "", category: "", status: "all" },
    firstRender: true,
    renderQueued: false,
    addressTimer: 0,
    columns: 9,      // the columns shown (fewer on a phone)
    headHeight: 0,
    key: "",         // the read token, "" when none was given
  };

  function el(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined && text !== null) node.textContent = String(text);
    return node;
  }

  // A link only for addresses a player or browser opens; anything else ("javascript:") is text.
  function addressNode(address, schemes) {
    if (!schemes.test(address)) return el("span", "addr", address);
    const a = el("a", "addr", address);
    a.href = address;
    a.rel = "noopener noreferrer";
    return a;
  }

  function storedKey() {
    try {
      return sessionStorage.getItem(KEY_STORE) || "";
    } catch (err) {
      return "";
    }
  }

  function keepKey(key) {
    state.key = key;
    try {
      sessionStorage.setItem(KEY_STORE, key);
    } catch (err) {
      // storage refused: the token lasts for this page only
    }
  }

  // An address the server answers when it needs the read token: for links and pictures,
  // which cannot carry a header.
  function withKey(address) {
    if (!state.key) return address;
    return address + (address.includes("?") ? "&" : "?") + "key=" + encodeURIComponent(state.key);
  }

  function askKey() {
    byId("key-note").textContent = state.key ? "That token was not accepted." : "This server needs its read token.";
    byId("key-form").hidden = false;
    byId("key").focus();
  }

  function ago(seconds) {
    if (seconds === null || seconds === undefined) return "never";
    const d = Math.max(0, Date.now() / 1000 - seconds);
    if (d < 60) return "just now";
    if (d < 3600) return Math.floor(d / 60) + " min ago";
    if (d < 86400) return Math.floor(d / 3600) + " h ago";
    return Math.floor(d / 86400) + " d ago";
  }

  function fullTime(seconds) {
    return seconds === null || seconds === undefined ? "" : new Date(seconds * 1000).toLocaleString();
  }

  function kbps(bps) {
    return bps === null || bps === undefined ? "" : Math.round(bps / 1000) + " kbit/s";
  }

  // The verdict's class: live and working, live but showing nothing, not live, not checked.
  function verdictClass(entry) {
    if (entry.status === null || entry.status === undefined) return "v-none";
    if (entry.status !== "live") return "v-dead";
    return entry.black || entry.frozen ? "v-still" : "v-live";
  }

  function verdictText(entry) {
    if (entry.status === null || entry.status === undefined) return "not checked";
    const marks = [entry.status];
    if (entry.black) marks.push("black");
    if (entry.frozen) marks.push("frozen");
    return marks.join(", ");
  }

  function passes(entry, f, q) {
    if (f.country && entry.country !== f.country) return false;
    if (f.category && entry.category !== f.category) return false;
    if (f.status === "live" && entry.status !== "live") return false;
    if (f.status === "dead" && (entry.status === "live" || entry.status === null)) return false;
    if (f.status === "unchecked" && entry.status !== null) return false;
    return q === "" || entry.nameKey.includes(q);
  }

  function sortValue(entry, key) {
    switch (key) {
      case "name": return entry.nameKey;
      case "status": return entry.status === "live" ? (entry.black || entry.frozen ? 1 : 0) : entry.status === null ? 3 : 2;
      case "quality": return QUALITY_RANK[entry.quality] || 0;
      case "uptime": return entry.uptime === null ? -1 : entry.uptime;
      case "last_checked": return entry.last_checked === null ? -1 : entry.last_checked;
      default: return String(entry[key] || "").toLowerCase();
    }
  }

  function sortAll() {
    const key = state.sortKey;
    const sign = state.sortDown ? -1 : 1;
    const keyed = Array.from(state.entries.values(), (e) => [sortValue(e, key), e]);
    keyed.sort((a, b) => (a[0] < b[0] ? -sign : a[0] > b[0] ? sign : a[1].id - b[1].id));
    state.sorted = keyed.map((pair) => pair[1]);
  }

  function applyFilters() {
    const f = state.filters;
    const q = f.q.trim().toLowerCase();
    state.view = state.sorted.filter((e) => passes(e, f, q));
    byId("count").textContent = state.view.length + " of " + state.entries.size + " channels";
    byId("scroller").scrollTop = Math.min(byId("scroller").scrollTop, state.view.length * ROW_HEIGHT);
    render();
  }

  // The filters and the order in the page's address, and the playlist address of the view.
  // Browsers limit how often the address may change, so typing changes it once it pauses.
  function writeAddressSoon() {
    clearTimeout(state.addressTimer);
    state.addressTimer = setTimeout(writeAddress, ADDRESS_DELAY_MS);
  }

  function writeAddress() {
    const params = new URLSearchParams();
    for (const name of FILTERS) {
      const value = state.filters[name];
      if (value && !(name === "status" && value === "all")) params.set(name, value);
    }
    if (state.sortKey !== "name" || state.sortDown) {
      params.set("sort", state.sortKey);
      if (state.sortDown) params.set("dir", "down");
    }
    const search = params.toString();
    history.replaceState(null, "", search ? "?" + search : location.pathname);
    byId("playlist").href = playlistAddress();
  }

  function playlistAddress() {
    const params = new URLSearchParams();
    const f = state.filters;
    params.set("status", f.status === "unchecked" ? "all" : f.status);
    if (f.country) params.set("country", f.country);
    if (f.category) params.set("category", f.category);
    if (f.q.trim()) params.set("q", f.q.trim());
    return withKey("/playlist.m3u?" + params.toString());
  }

  function readAddress() {
    const params = new URLSearchParams(location.search);
    if (params.get("key")) keepKey(params.get("key"));  // the address drops it when written again
    for (const name of FILTERS) {
      if (params.has(name)) state.filters[name] = params.get(name);
    }
    if (!["all", "live", "dead", "unchecked"].includes(state.filters.status)) state.filters.status = "all";
    if (SORT_KEYS.includes(params.get("sort"))) state.sortKey = params.get("sort");
    state.sortDown = params.get("dir") === "down";
    for (const name of FILTERS) byId(name).value = state.filters[name];
  }

  function fillChoices(id, field) {
    const select = byId(id);
    const chosen = state.filters[id];
    const values = new Set();
    for (const e of state.entries.values()) if (e[field]) values.add(e[field]);
    if (chosen) values.add(chosen);
    const sorted = Array.from(values).sort((a, b) => a.localeCompare(b));
    const key = sorted.join("\n");
    if (select.dataset.choices === key) return;
    select.dataset.choices = key;
    select.replaceChildren(el("option", "", "All"));
    select.options[0].value = "";
    for (const v of sorted) {
      const option = el("option", "", v);
      option.value = v;
      select.append(option);
    }
    select.value = chosen;
  }

  function pictureCell(entry) {
    const td = el("td", "c-pic");
    if (!entry.picture) return td;
    const img = el("img");
    img.alt = "";
    img.loading = "lazy";
    img.src = withKey("/channels/" + entry.id + "/picture.jpg?v=" + entry.seq);
    td.append(img);
    if (entry.black || entry.frozen) td.append(el("span", "pic-mark", entry.black ? "black" : "frozen"));
    return td;
  }

  function rowFor(entry) {
    const tr = el("tr");
    tr.dataset.id = entry.id;
    tr.append(pictureCell(entry));
    const name = el("td", "c-name");
    const open = el("button", "open", entry.name || "(no name)");
    open.type = "button";
    name.append(open);
    tr.append(name, el("td", "c-country", entry.country), el("td", "c-category", entry.category));
    const verdict = el("td", "c-status");
    verdict.append(el("span", "mark " + verdictClass(entry)), el("span", "", verdictText(entry)));
    if (entry.detail) verdict.title = entry.detail;
    const quality = el("td", "c-quality", entry.quality || "");
    if (entry.mislabeled) quality.append(el("span", "badge", "mislabeled"));
    const uptime = el("td", "c-uptime");
    if (entry.uptime !== null && entry.uptime !== undefined) {
      const bar = el("span", "bar");
      const fill = el("span", "fill");
      fill.style.width = Math.round(entry.uptime * 100) + "%";
      bar.append(fill);
      uptime.append(bar, el("span", "pct", Math.round(entry.uptime * 100) + "%"));
      uptime.title = entry.checks + " checks kept";
    }
    const checked = el("td", "c-checked", ago(entry.last_checked));
    checked.title = fullTime(entry.last_checked);
    const stream = el("td", "c-stream");
    stream.append(addressNode(entry.stream || "", LINK_SCHEMES));
    tr.append(verdict, quality, uptime, checked, stream);
    return tr;
  }

  // The columns a phone-width screen shows are fewer (a wider span would take their width),
  // and the header's height; read again when the window changes size.
  function measure() {
    let count = 0;
    for (const th of byId("channels").tHead.rows[0].cells) if (th.offsetWidth > 0) count++;
    state.columns = Math.max(1, count);
    state.headHeight = byId("channels").tHead.offsetHeight;
  }

  function spacer(height, columns) {
    const tr = el("tr", "spacer");
    const td = el("td");
    td.colSpan = columns;
    td.style.height = height + "px";
    tr.append(td);
    return tr;
  }

  // Renders the rows in view, with spacers standing in for the others.
  function render() {
    state.renderQueued = false;
    const scroller = byId("scroller");
    const top = Math.max(0, scroller.scrollTop - state.headHeight);
    const first = Math.max(0, Math.floor(top / ROW_HEIGHT) - OVERSCAN_ROWS);
    const last = Math.min(state.view.length, Math.ceil((top + scroller.clientHeight) / ROW_HEIGHT) + OVERSCAN_ROWS);
    const columns = state.columns;
    const rows = [spacer(first * ROW_HEIGHT, columns)];
    for (let i = first; i < last; i++) rows.push(rowFor(state.view[i]));
    rows.push(spacer((state.view.length - last) * ROW_HEIGHT, columns));
    if (state.view.length === 0) rows.push(emptyRow(columns));
    byId("rows").replaceChildren(...rows);
    if (state.firstRender) {
      state.firstRender = false;
      performance.mark("rows-rendered");
    }
  }

  function emptyRow(columns) {
    const tr = el("tr", "empty");
    const td = el("td", "", state.entries.size ? "No channel matches these filters." : "The list is empty.");
    td.colSpan = columns;
    tr.append(td);
    return tr;
  }

  function queueRender() {
    if (state.renderQueued) return;
    state.renderQueued = true;
    requestAnimationFrame(render);
  }

  function showSortMarks() {
    for (const th of document.querySelectorAll("th[data-key]")) {
      const active = th.dataset.key === state.sortKey;
      th.setAttribute("aria-sort", active ? (state.sortDown ? "descending" : "ascending") : "none");
    }
  }

  function merge(entries) {
    for (const e of entries) {
      e.nameKey = String(e.name || "").toLowerCase();
      state.entries.set(e.id, e);
    }
    fillChoices("country", "country");
    fillChoices("category", "category");
    sortAll();
    applyFilters();
  }

  async function getJson(address) {
    const headers = state.key ? { Authorization: "Bearer " + state.key } : {};
    const reply = await fetch(address, { cache: "no-store", headers });
    if (reply.status === 401) askKey();
    if (!reply.ok) throw new Error(address + ": " + reply.status);
    return reply.json();
  }

  async function loadAll() {
    const data = await getJson("/channels.json?status=all");
    state.entries.clear();
    state.seq = data.seq;
    merge(data.entries);
  }

  async function loadChanges() {
    const data = await getJson("/channels.json?status=all&since=" + state.seq);
    state.seq = Math.max(state.seq, data.seq);
    merge(data.entries);
  }

  function showStatus(status) {
    const text = byId("run-text");
    const bar = byId("run-progress");
    const run = status.run;
    if (run) {
      const what = run.kind === "harvest" ? "Harvest" : "Check";
      text.textContent = run.total > 0
        ? what + " running: " + run.done + " of " + run.total + " done, " + run.live + " live"
        : what + " running…";
      bar.max = Math.max(1, run.total);
      bar.value = Math.min(run.done, bar.max);
      bar.hidden = false;
      return;
    }
    bar.hidden = true;
    text.textContent = status.entries + " entries; last check " + ago(status.last_check) +
      ", last harvest " + ago(status.last_harvest);
  }

  // Polls /status.json; new changes come in through /channels.json?since=. After a harvest
  // (entries may have gone) or when the count went down, the list is read whole again.
  async function poll() {
    let delay = POLL_IDLE_MS;
    try {
      const status = await getJson("/status.json");
      showStatus(status);
      if (status.run) delay = POLL_RUN_MS;
      const harvested = state.lastHarvest !== undefined && status.last_harvest !== state.lastHarvest;
      state.lastHarvest = status.last_harvest;
      if (harvested || status.entries < state.entries.size) await loadAll();
      else if (status.seq > state.seq) await loadChanges();
    } catch (err) {
      byId("run-text").textContent = byId("key-form").hidden
        ? "The server does not answer; trying again." : "The read token is needed.";
    }
    setTimeout(poll, delay);
  }

  function fact(list, label, value) {
    if (value === null || value === undefined || value === "") return;
    list.append(el("dt", "", label), el("dd", "", value));
  }

  async function openPanel(id) {
    const entry = state.entries.get(id);
    if (!entry) return;
    const panel = byId("panel");
    byId("panel-name").textContent = entry.name || "(no name)";
    const picture = byId("panel-picture");
    picture.hidden = !entry.picture;
    if (entry.picture) {
      picture.src = withKey("/channels/" + entry.id + "/picture.jpg?v=" + entry.seq);
      picture.alt = "Picture of the last check" + (entry.black ? " (black)" : entry.frozen ? " (frozen)" : "");
    }
    const facts = byId("panel-facts");
    facts.replaceChildren();
    fact(facts, "Verdict", verdictText(entry) + (entry.detail ? ": " + entry.detail : ""));
    fact(facts, "Address", entry.stream);
    fact(facts, "Country", entry.country);
    fact(facts, "Category", entry.category);
    fact(facts, "Format", entry.format);
    fact(facts, "Video", entry.video);
    fact(facts, "Audio", entry.audio);
    fact(facts, "Bitrate", kbps(entry.bitrate_bps));
    fact(facts, "Quality", entry.quality ? entry.quality + (entry.mislabeled ? " (mislabeled)" : "") : "");
    fact(facts, "Source", entry.source);
    fact(facts, "First seen", fullTime(entry.first_seen));
    byId("panel-play").href = withKey("/playlist.m3u?id=" + entry.id + "&status=all");
    const home = byId("panel-home");
    home.hidden = !HOME_SCHEMES.test(entry.homepage || "");
    if (!home.hidden) home.href = entry.homepage;
    byId("panel-history").tBodies[0].replaceChildren();
    byId("panel-strip").replaceChildren();
    if (!panel.open) panel.showModal();
    try {
      const history = await getJson("/channels/" + entry.id + "/history.json");
      showHistory(history.results);
    } catch (err) {
      byId("panel-history").tBodies[0].replaceChildren(historyRow(["The history could not be read."]));
    }
  }

  function historyRow(cells) {
    const tr = el("tr");
    for (const c of cells) tr.append(typeof c === "object" ? c : el("td", "", c));
    return tr;
  }

  function showHistory(results) {
    const body = byId("panel-history").tBodies[0];
    const strip = byId("panel-strip");
    const rows = [];
    const marks = [];
    for (const r of results) {
      const entryLike = { status: r.status };
      const verdict = el("td");
      verdict.append(el("span", "mark " + verdictClass(entryLike)), el("span", "", r.status));
      const size = r.width && r.height ? r.width + "×" + r.height : "";
      rows.push(historyRow([fullTime(r.time), verdict, kbps(r.bitrate_bps), size, r.detail || ""]));
      const mark = el("span", "mark " + verdictClass(entryLike));
      mark.title = fullTime(r.time) + ": " + r.status;
      marks.unshift(mark);  // oldest on the left
    }
    if (rows.length === 0) rows.push(historyRow(["No check yet."]));
    body.replaceChildren(...rows);
    strip.replaceChildren(...marks);
  }

  function takeKey(ev) {
    ev.preventDefault();
    keepKey(byId("key").value.trim());
    byId("key-form").hidden = true;
    writeAddress();
    loadAll()
      .then(() => getJson("/status.json"))
      .then(showStatus)
      .catch(() => { byId("run-text").textContent = "The list could not be read."; });
  }

  function start() {
    state.key = storedKey();
    readAddress();
    measure();
    showSortMarks();
    writeAddress();
    byId("filters").addEventListener("submit", (ev) => ev.preventDefault());
    byId("key-form").addEventListener("submit", takeKey);
    for (const name of FILTERS) {
      const input = byId(name);
      input.addEventListener(name === "q" ? "input" : "change", () => {
        state.filters[name] = input.value;
        writeAddressSoon();
        applyFilters();
      });
    }
    for (const th of document.querySelectorAll("th[data-key]")) {
      th.querySelector("button").addEventListener("click", () => {
        state.sortDown = state.sortKey === th.dataset.key ? !state.sortDown : false;
        state.sortKey = th.dataset.key;
        showSortMarks();
        writeAddress();
        sortAll();
        applyFilters();
      });
    }
    byId("scroller").addEventListener("scroll", queueRender, { passive: true });
    window.addEventListener("resize", () => {
      measure();
      queueRender();
    });
    // A click anywhere on a row but its address link opens the panel; the keyboard has the
    // name's button.
    byId("rows").addEventListener("click", (ev) => {
      const row = ev.target.closest("tr[data-id]");
      if (row && !ev.target.closest("a")) openPanel(Number(row.dataset.id));
    });
    byId("panel-close").addEventListener("click", () => byId("panel").close());
    loadAll()
      .catch(() => { byId("run-text").textContent = "The list could not be read."; })
      .finally(poll);
  }

  document.addEventListener("DOMContentLoaded", start);
})();
