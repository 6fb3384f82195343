// SPDX-License-Identifier: MIT
// The viewer's pages, drawn from the JSON API only. Text from the archive is always
// set as text, never parsed as markup.
"use strict";

const params = new URLSearchParams(location.search);
const side = params.get("archive") === "b" ? "b" : "a";
const HEX_PAGE = 4096;

// An element with attributes and children (strings become text nodes).
function el(tag, attrs = {}, ...children) {
  const svg = ["svg", "rect", "text", "g", "title", "line"].includes(tag);
  const node = svg ? document.createElementNS("http://www.w3.org/2000/svg", tag)
                   : document.createElement(tag);
  for (const [name, value] of Object.entries(attrs)) {
    if (value === undefined || value === null || value === false) continue;
    if (name.startsWith("on")) node.addEventListener(name.slice(2), value);
    else node.setAttribute(name, value === true ? "" : String(value));
  }
  for (const child of children.flat(Infinity)) {
    if (child === null || child === undefined) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

function withSide(path, query = {}, which = side) {
  const q = new URLSearchParams(query);
  if (which === "b") q.set("archive", "b");
  const s = q.toString();
  return s ? `${path}?${s}` : path;
}

// The id as the tool prints it: eight upper-case hex digits.
function idText(id) {
  return id.toString(16).toUpperCase().padStart(8, "0");
}

function fileLink(id, which = side) {
  return el("a", {href: withSide("/file", {id: idText(id)}, which), class: "id"}, idText(id));
}

function bytesText(n) {
  if (n === null || n === undefined) return "?";
  const units = ["B", "KiB", "MiB", "GiB"];
  let value = n, unit = 0;
  while (value >= 1024 && unit < units.length - 1) { value /= 1024; unit++; }
  return unit === 0 ? `${n} B` : `${value.toFixed(1)} ${units[unit]}`;
}

class ApiError extends Error {
  constructor(status, message) { super(message); this.status = status; }
}

async function api(path) {
  const response = await fetch(path);
  if (!response.ok) {
    let message = `HTTP ${response.status}`;
    try { message = (await response.json()).error || message; } catch (_) { /* not JSON */ }
    throw new ApiError(response.status, message);
  }
  return response.json();
}

async function apiBytes(path) {
  const response = await fetch(path);
  if (!response.ok) {
    let message = `HTTP ${response.status}`;
    try { message = (await response.json()).error || message; } catch (_) { /* not JSON */ }
    throw new ApiError(response.status, message);
  }
  return new Uint8Array(await response.arrayBuffer());
}

function errorBox(error) {
  return el("p", {class: "error", role: "alert"}, String(error.message || error));
}

function table(headers, rows, numeric = []) {
  return el("table", {},
    el("thead", {}, el("tr", {}, headers.map((h, i) =>
      el("th", {class: numeric.includes(i) ? "num" : null}, h)))),
    el("tbody", {}, rows.map(cells => el("tr", {}, cells.map((c, i) =>
      el("td", {class: numeric.includes(i) ? "num" : null}, c))))));
}

function fields(pairs) {
  return el("dl", {class: "fields"}, pairs.map(([k, v]) => [el("dt", {}, k), el("dd", {}, v)]));
}

function setMain(...children) {
  const main = document.getElementById("main");
  main.replaceChildren(...children.flat(Infinity));
}

// The header: archive name, nav links that keep the side, the diff link when there are two.
async function frame() {
  const info = await api("/api/archives");
  const archives = info.archives;
  const current = archives[side === "b" && archives.length > 1 ? 1 : 0];
  document.getElementById("archive-name").textContent =
      (archives.length > 1 ? `${side.toUpperCase()}: ` : "") + current.name;
  for (const link of document.querySelectorAll("nav a[data-nav]")) {
    if (link.dataset.nav !== "diff") link.href = withSide(link.getAttribute("href"));
    if (link.dataset.nav === document.body.dataset.page) link.classList.add("current");
  }
  if (archives.length > 1) document.getElementById("nav-diff").hidden = false;
  return info;
}

// --- overview ------------------------------------------------------------------

function barChart(types) {
  const rowHeight = 22, labelWidth = 170, width = 720, barWidth = width - labelWidth - 90;
  const max = Math.max(1, ...types.map(t => Math.max(t.stored_bytes, t.decompressed_bytes)));
  const height = types.length * rowHeight * 2 + 30;
  const svg = el("svg", {viewBox: `0 0 ${width} ${height}`, width, height, class: "chart",
                         role: "img", "aria-label": "Stored and decompressed bytes per type"});
  types.forEach((t, i) => {
    const y = i * rowHeight * 2 + 4;
    const stored = Math.max(1, t.stored_bytes / max * barWidth);
    const full = Math.max(1, t.decompressed_bytes / max * barWidth);
    svg.append(el("g", {},
      el("text", {x: labelWidth - 8, y: y + rowHeight, "text-anchor": "end", class: "label"}, t.type),
      el("rect", {x: labelWidth, y, width: stored, height: rowHeight - 6, class: "bar-stored"},
        el("title", {}, `${t.type}: ${t.stored_bytes} bytes stored`)),
      el("text", {x: labelWidth + stored + 4, y: y + rowHeight - 10, class: "value"},
        bytesText(t.stored_bytes)),
      el("rect", {x: labelWidth, y: y + rowHeight - 4, width: full, height: rowHeight - 6,
                  class: "bar-full"},
        el("title", {}, `${t.type}: ${t.decompressed_bytes} bytes decompressed`)),
      el("text", {x: labelWidth + full + 4, y: y + 2 * rowHeight - 14, class: "value"},
        bytesText(t.decompressed_bytes))));
  });
  return svg;
}

async function overviewPage() {
  const [info, stats] = await Promise.all([api(withSide("/api/info")), api(withSide("/api/stats"))]);
  const header = Object.entries(info).filter(([k]) => k !== "master_map_id_hex").map(([k, v]) =>
    [k, k === "magic" ? "0x" + Number(v).toString(16).toUpperCase().padStart(8, "0")
        : k === "master_map_id" ? idText(v) : String(v)]);
  const ratio = r => (r === null ? "-" : r.toFixed(2));
  const rows = stats.types.map(t => [
    el("a", {href: withSide("/entries", {type: t.type})}, t.type), t.files, t.compressed_files,
    t.stored_bytes, t.decompressed_bytes, ratio(t.ratio), t.unreadable]);
  const total = stats.total;
  rows.push([el("strong", {}, "total"), total.files, total.compressed_files, total.stored_bytes,
             total.decompressed_bytes, ratio(total.ratio), total.unreadable]);
  setMain(
    el("h1", {}, "Overview"),
    el("section", {class: "columns"},
      el("div", {}, el("h2", {}, "Header"), fields(header)),
      el("div", {}, el("h2", {}, "Types"),
        table(["Type", "Files", "Compressed", "Stored", "Decompressed", "Ratio", "Unknown"],
              rows, [1, 2, 3, 4, 5, 6]),
        el("h2", {}, "Bytes per type"),
        el("p", {class: "legend"}, el("span", {class: "swatch stored"}), " stored ",
           el("span", {class: "swatch full"}), " decompressed"),
        barChart(stats.types))));
}

// --- entries -------------------------------------------------------------------

async function entriesPage(info) {
  // The type list comes with the archive list: the stats would read every file.
  const archive = info.archives[side === "b" && info.archives.length > 1 ? 1 : 0];
  const state = {
    type: params.get("type") || "", lo: params.get("lo") || "", hi: params.get("hi") || "",
    prefix: params.get("prefix") || "", sort: params.get("sort") || "id",
    order: params.get("order") || "asc", offset: Number(params.get("offset") || 0), limit: 100,
  };
  const input = (name, placeholder) => el("input", {name, id: `f-${name}`, value: state[name],
                                                     placeholder, size: 10, spellcheck: "false"});
  const select = (name, options) => {
    const s = el("select", {name, id: `f-${name}`},
      options.map(([value, label]) => el("option", {value}, label)));
    s.value = state[name];
    return s;
  };
  const form = el("form", {class: "filters", id: "filters"},
    el("label", {}, "Type ", select("type", [["", "any"],
                                             ...archive.types.map(t => [t.type, `${t.type} (${t.files})`])])),
    el("label", {}, "From id ", input("lo", "00000000")),
    el("label", {}, "To id ", input("hi", "FFFFFFFF")),
    el("label", {}, "Id prefix ", input("prefix", "e.g. 0600")),
    el("label", {}, "Sort ", select("sort", [["id", "id"], ["size", "stored size"]])),
    el("label", {}, "Order ", select("order", [["asc", "ascending"], ["desc", "descending"]])),
    el("button", {type: "submit"}, "Filter"));
  const result = el("div", {id: "entries"});
  setMain(el("h1", {}, "Entries"), form, result);

  async function load() {
    const query = {offset: state.offset, limit: state.limit, sort: state.sort, order: state.order};
    for (const name of ["type", "lo", "hi", "prefix"]) if (state[name]) query[name] = state[name];
    const shown = Object.fromEntries(Object.entries(query).filter(([k, v]) =>
      !(k === "limit" || (k === "offset" && v === 0) || (k === "sort" && v === "id") ||
        (k === "order" && v === "asc"))));
    history.replaceState(null, "", withSide("/entries", shown));
    result.replaceChildren(el("p", {class: "loading"}, "Loading…"));
    let page;
    try {
      page = await api(withSide("/api/ls", query));
    } catch (error) {
      result.replaceChildren(errorBox(error));
      return;
    }
    const rows = page.entries.map(e => [
      fileLink(e.id), e.type, e.size,
      e.decompressed_size === null ? el("span", {class: "error", title: e.error}, "?") : e.decompressed_size,
      e.compressed ? "yes" : "no", e.version, e.timestamp_utc]);
    const last = Math.min(state.offset + page.entries.length, page.total);
    const pager = el("div", {class: "pager"},
      el("button", {type: "button", id: "prev", disabled: state.offset === 0,
                    onclick: () => { state.offset = Math.max(0, state.offset - state.limit); load(); }},
         "← Previous"),
      el("span", {id: "range"}, page.total === 0 ? "No entries match"
          : `${state.offset + 1}–${last} of ${page.total}`),
      el("button", {type: "button", id: "next", disabled: last >= page.total,
                    onclick: () => { state.offset += state.limit; load(); }}, "Next →"));
    result.replaceChildren(pager,
      table(["Id", "Type", "Stored", "Decompressed", "Compressed", "Version", "Timestamp"], rows,
            [2, 3, 5]));
  }
  form.addEventListener("submit", event => {
    event.preventDefault();
    for (const name of ["type", "lo", "hi", "prefix", "sort", "order"]) {
      state[name] = form.elements[name].value.trim();
    }
    state.offset = 0;
    load();
  });
  await load();
}

// --- file ----------------------------------------------------------------------

function hexDump(bytes, base) {
  const lines = [];
  for (let i = 0; i < bytes.length; i += 16) {
    const row = bytes.subarray(i, i + 16);
    const hex = Array.from(row, b => b.toString(16).padStart(2, "0")).join(" ");
    const text = Array.from(row, b => (b >= 0x20 && b < 0x7f ? String.fromCharCode(b) : ".")).join("");
    lines.push(`${(base + i).toString(16).padStart(8, "0")}  ${hex.padEnd(47)}  ${text}`);
  }
  return lines.join("\n");
}

// Printable ASCII and line breaks as they are; every other byte as a middle dot.
function printable(bytes) {
  return Array.from(bytes, b => (b === 10 || b === 9 || (b >= 0x20 && b < 0x7f)
                                 ? String.fromCharCode(b) : "·")).join("");
}

function fontSection(font, which) {
  const idLink = id => (id === 0 ? "none" : fileLink(id, which));
  const glyphs = font.char_descs.map(g => [
    g.unicode >= 0x20 && g.unicode < 0x7f ? String.fromCharCode(g.unicode) : "",
    "U+" + g.unicode.toString(16).toUpperCase().padStart(4, "0"), g.offset_x, g.offset_y,
    g.width, g.height, g.horizontal_offset_before, g.horizontal_offset_after,
    g.vertical_offset_before]);
  return el("section", {id: "font"},
    el("h2", {}, "Font"),
    fields([
      ["id", idLink(font.id)], ["max_char_height", font.max_char_height],
      ["max_char_width", font.max_char_width],
      ["num_horizontal_border_pixels", font.num_horizontal_border_pixels],
      ["num_vertical_border_pixels", font.num_vertical_border_pixels],
      ["baseline_offset", font.baseline_offset],
      ["foreground_surface_data_id", idLink(font.foreground_surface_data_id)],
      ["background_surface_data_id", idLink(font.background_surface_data_id)],
      ["glyphs", font.char_descs.length]]),
    el("h3", {}, "Glyphs"),
    table(["Char", "Unicode", "Offset x", "Offset y", "Width", "Height", "Before", "After",
           "Vertical"], glyphs, [2, 3, 4, 5, 6, 7, 8]));
}

async function filePage() {
  const typed = params.get("id") || "";
  const listing = await api(withSide("/api/ls", {lo: typed, hi: typed, limit: 1}));
  if (listing.entries.length === 0) throw new Error(`file ${typed} is not in this archive`);
  const e = listing.entries[0];
  const id = idText(e.id);
  document.title = `${id} ${e.type} · marrowvane-dat`;
  const meta = fields([
    ["id", id], ["type", e.type], ["stored size", `${e.size} bytes`],
    ["decompressed size", e.decompressed_size === null ? "unknown" : `${e.decompressed_size} bytes`],
    ["compressed", e.compressed ? "yes" : "no"], ["bit_flags", "0x" + e.bit_flags.toString(16)],
    ["offset", e.offset], ["timestamp", e.timestamp_utc], ["version", e.version]]);
  const downloads = el("p", {class: "downloads"},
    el("a", {href: withSide(`/api/file/${id}`, {download: 1}), id: "download"},
       `Download ${id}.bin`), " (decompressed) · ",
    el("a", {href: withSide(`/api/file/${id}`, {stored: 1, download: 1}), id: "download-stored"},
       `Download ${id}.stored.bin`), " (as stored)");
  const content = el("section", {id: "content"});
  setMain(el("h1", {}, `${id} `, el("span", {class: "type"}, e.type)), meta, downloads, content);
  if (e.error) content.append(errorBox(new Error(e.error)));

  if (e.type === "Font") {
    try {
      content.append(fontSection(await api(withSide(`/api/font/${id}`)), side));
    } catch (error) {
      content.append(el("h2", {}, "Font"), errorBox(error));
    }
  }
  const dumpBox = el("pre", {class: "hex", id: "hex"});
  const textBox = el("pre", {class: "text", id: "text"});
  const status = el("span", {id: "hex-range"});
  let offset = 0, size = 0;
  const prev = el("button", {type: "button", id: "hex-prev",
                             onclick: () => { offset = Math.max(0, offset - HEX_PAGE); show(); }},
                  "← Previous");
  const next = el("button", {type: "button", id: "hex-next",
                             onclick: () => { offset += HEX_PAGE; show(); }}, "Next →");
  const bytesSection = el("section", {id: "bytes"}, el("h2", {}, "Bytes"),
    el("div", {class: "pager"}, prev, status, next),
    el("div", {class: "columns"},
      el("div", {}, el("h3", {}, "Hex"), dumpBox),
      el("div", {}, el("h3", {}, "Text"), textBox)));
  content.append(bytesSection);

  async function show() {
    let bytes;
    try {
      const response = await fetch(withSide(`/api/file/${id}`, {offset, length: HEX_PAGE}));
      if (!response.ok) {
        const body = await response.json();
        throw new ApiError(response.status, body.error);
      }
      size = Number(response.headers.get("X-File-Size"));
      bytes = new Uint8Array(await response.arrayBuffer());
    } catch (error) {
      bytesSection.replaceChildren(el("h2", {}, "Bytes"), errorBox(error));
      return;
    }
    dumpBox.textContent = hexDump(bytes, offset) || "(empty)";
    textBox.textContent = printable(bytes) || "(empty)";
    status.textContent = size === 0 ? "empty file"
        : `bytes ${offset}–${offset + bytes.length - 1} of ${size}`;
    prev.disabled = offset === 0;
    next.disabled = offset + HEX_PAGE >= size;
  }
  await show();
}

// --- diff ----------------------------------------------------------------------

async function diffPage() {
  const diff = await api("/api/diff");
  const both = id => el("span", {}, fileLink(id, "a"), " ",
    el("a", {href: withSide("/file", {id: idText(id)}, "a"), class: "side"}, "A"), " ",
    el("a", {href: withSide("/file", {id: idText(id)}, "b"), class: "side"}, "B"));
  const list = (title, entries, which) => el("section", {},
    el("h2", {}, `${title} (${entries.length})`),
    entries.length === 0 ? el("p", {}, "None.")
      : table(["Id", "Type", "Stored"], entries.map(e => [fileLink(e.id, which), e.type, e.size]),
              [2]));
  const changed = diff.changed.map(c => [both(c.id), c.type, c.differences.join(", "),
                                         `${c.a.size} → ${c.b.size}`]);
  setMain(
    el("h1", {}, "Diff"),
    el("p", {}, "A: ", el("code", {}, diff.a), el("br"), "B: ", el("code", {}, diff.b)),
    el("p", {class: "summary"}, `${diff.added.length} added, ${diff.removed.length} removed, ` +
       `${diff.changed.length} changed, ${diff.unchanged} unchanged` +
       (diff.identical === null ? " (some files could not be read)" : "")),
    diff.errors.map(message => errorBox(new Error(message))),
    el("section", {}, el("h2", {}, `Changed (${diff.changed.length})`),
      changed.length === 0 ? el("p", {}, "None.")
        : table(["Id (A, B)", "Type", "What differs", "Stored size"], changed)),
    list("Added", diff.added, "b"),
    list("Removed", diff.removed, "a"));
}

// Every page is the one page.html; its path says which one it is.
const PAGES = {
  "/": {name: "index", title: "Overview", draw: overviewPage},
  "/entries": {name: "entries", title: "Entries", draw: entriesPage},
  "/file": {name: "file", title: "File", draw: filePage},
  "/diff": {name: "diff", title: "Diff", draw: diffPage},
};

async function start() {
  const page = PAGES[location.pathname] ?? PAGES["/"];
  document.body.dataset.page = page.name;
  document.title = `${page.title} · marrowvane-dat`;
  try {
    const info = await frame();
    await page.draw(info);
  } catch (error) {
    setMain(errorBox(error));
  }
  document.body.dataset.ready = "true";
}

start();
