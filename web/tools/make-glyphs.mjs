// Builds the SDF glyph ranges the map labels use, from Debian's DejaVu fonts, so
// the viewer never asks an outside host for glyphs.
//
//   node tools/make-glyphs.mjs [OUT_DIR]      default OUT_DIR: web/fonts
//
// Writes OUT_DIR/<fontstack>/<start>-<end>.pbf for all 256 ranges of the Basic
// Multilingual Plane (ranges the font does not cover hold no glyphs, so a label
// with such a character costs no failed request). The format is the one MapLibre
// reads: 24 px glyphs, a 3 px border, signed distances over 8 px with the edge
// at 192.
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import opentype from 'opentype.js';

const here = path.dirname(fileURLToPath(import.meta.url));
const outDir = path.resolve(process.argv[2] ?? path.join(here, '..', 'fonts'));
const fontDir = process.env.DEJAVU_DIR ?? '/usr/share/fonts/truetype/dejavu';

// Font stack names avoid spaces so that glyph URLs need no escaping.
export const FONTSTACKS = {
  DejaVuSans: 'DejaVuSans.ttf',
  'DejaVuSans-Bold': 'DejaVuSans-Bold.ttf',
};

const SIZE = 24;
const BORDER = 3;
const RADIUS = 8;
const CUTOFF = 0.25;

// --- protobuf writing: just the wire types the glyph message needs ---
class Writer {
  constructor() { this.bytes = []; }
  varint(v) {
    while (v > 0x7f) { this.bytes.push((v & 0x7f) | 0x80); v = Math.floor(v / 128); }
    this.bytes.push(v);
  }
  tag(field, wire) { this.varint(field * 8 + wire); }
  uint(field, v) { this.tag(field, 0); this.varint(v); }
  sint(field, v) { this.tag(field, 0); this.varint(v >= 0 ? 2 * v : -2 * v - 1); }
  raw(field, data) { this.tag(field, 2); this.varint(data.length); for (const b of data) this.bytes.push(b); }
  string(field, s) { this.raw(field, Buffer.from(s, 'utf8')); }
  message(field, w) { this.raw(field, w.bytes); }
}

// --- outlines as line segments in pixels, y down, origin on the baseline ---
function flatten(commands) {
  const segs = [];
  let sx = 0, sy = 0, x = 0, y = 0;
  const line = (x1, y1) => { if (x1 !== x || y1 !== y) segs.push([x, y, x1, y1]); x = x1; y = y1; };
  for (const c of commands) {
    if (c.type === 'M') { line(sx, sy); x = sx = c.x; y = sy = c.y; }
    else if (c.type === 'L') line(c.x, c.y);
    else if (c.type === 'Q' || c.type === 'C') {
      const x0 = x, y0 = y;
      const n = Math.max(2, Math.min(16, Math.ceil(Math.hypot(c.x - x0, c.y - y0) / 1.5) + 2));
      for (let i = 1; i <= n; i++) {
        const t = i / n, u = 1 - t;
        if (c.type === 'Q') {
          line(u * u * x0 + 2 * u * t * c.x1 + t * t * c.x, u * u * y0 + 2 * u * t * c.y1 + t * t * c.y);
        } else {
          line(u * u * u * x0 + 3 * u * u * t * c.x1 + 3 * u * t * t * c.x2 + t * t * t * c.x,
               u * u * u * y0 + 3 * u * u * t * c.y1 + 3 * u * t * t * c.y2 + t * t * t * c.y);
        }
      }
    } else if (c.type === 'Z') line(sx, sy);
  }
  line(sx, sy);
  return segs;
}

function distanceToSegment(px, py, [x0, y0, x1, y1]) {
  const dx = x1 - x0, dy = y1 - y0;
  const len2 = dx * dx + dy * dy;
  let t = len2 > 0 ? ((px - x0) * dx + (py - y0) * dy) / len2 : 0;
  t = t < 0 ? 0 : t > 1 ? 1 : t;
  return Math.hypot(px - (x0 + t * dx), py - (y0 + t * dy));
}

// Pixels whose centres a row of the outline covers, by the non-zero rule
// TrueType outlines fill by: crossings of the row's centre line, left to right.
function insideRow(py, segs, x0, w) {
  const crossings = [];
  for (const [ax, ay, bx, by] of segs) {
    if ((ay <= py) !== (by <= py)) crossings.push([ax + (py - ay) * (bx - ax) / (by - ay), by > ay ? 1 : -1]);
  }
  crossings.sort((a, b) => a[0] - b[0]);
  const inside = new Uint8Array(w);
  let k = 0, wind = 0;
  for (let i = 0; i < w; i++) {
    const px = x0 + i + 0.5;
    while (k < crossings.length && crossings[k][0] <= px) wind += crossings[k++][1];
    inside[i] = wind !== 0 ? 1 : 0;
  }
  return inside;
}

export function renderGlyph(font, glyph, codepoint) {
  const scale = SIZE / font.unitsPerEm;
  const advance = Math.round(glyph.advanceWidth * scale);
  const segs = flatten(glyph.getPath(0, 0, SIZE).commands);
  const base = { id: codepoint, width: 0, height: 0, left: 0, top: 0, advance, bitmap: null };
  const ascender = Math.round(font.tables.hhea.ascender * scale);
  if (segs.length === 0) return { ...base, top: -ascender };
  let minX = Infinity, minY = Infinity, maxX = -Infinity, maxY = -Infinity;
  for (const [x0, y0, x1, y1] of segs) {
    minX = Math.min(minX, x0, x1); maxX = Math.max(maxX, x0, x1);
    minY = Math.min(minY, y0, y1); maxY = Math.max(maxY, y0, y1);
  }
  const left = Math.floor(minX);
  const top = Math.ceil(-minY);          // pixels above the baseline
  const width = Math.max(1, Math.ceil(maxX) - left);
  const height = Math.max(1, Math.ceil(maxY) + top);
  const w = width + 2 * BORDER, h = height + 2 * BORDER;
  // Distances beyond what the 0..255 scale can tell apart are not worth computing:
  // each segment only updates the pixels within that reach of it.
  const reach = RADIUS * (1 - CUTOFF) + 1;
  const ox = left - BORDER, oy = -top - BORDER;
  const dist = new Float64Array(w * h).fill(reach);
  for (const s of segs) {
    const i0 = Math.max(0, Math.floor(Math.min(s[0], s[2]) - reach - ox));
    const i1 = Math.min(w - 1, Math.ceil(Math.max(s[0], s[2]) + reach - ox));
    const j0 = Math.max(0, Math.floor(Math.min(s[1], s[3]) - reach - oy));
    const j1 = Math.min(h - 1, Math.ceil(Math.max(s[1], s[3]) + reach - oy));
    for (let j = j0; j <= j1; j++) {
      for (let i = i0; i <= i1; i++) {
        const d = distanceToSegment(ox + i + 0.5, oy + j + 0.5, s);
        if (d < dist[j * w + i]) dist[j * w + i] = d;
      }
    }
  }
  const bitmap = new Uint8Array(w * h);
  for (let j = 0; j < h; j++) {
    const inside = insideRow(oy + j + 0.5, segs, ox, w);
    for (let i = 0; i < w; i++) {
      const d = inside[i] ? -dist[j * w + i] : dist[j * w + i];
      const v = Math.round(255 - 255 * (d / RADIUS + CUTOFF));
      bitmap[j * w + i] = v < 0 ? 0 : v > 255 ? 255 : v;
    }
  }
  // MapLibre places "top" relative to the ascender, as glyph servers do.
  return { id: codepoint, width, height, left, top: top - ascender, advance, bitmap };
}

export function encodeRange(name, start, glyphs) {
  const stack = new Writer();
  stack.string(1, name);
  stack.string(2, `${start}-${start + 255}`);
  for (const g of glyphs) {
    const m = new Writer();
    m.uint(1, g.id);
    if (g.bitmap) m.raw(2, g.bitmap);
    m.uint(3, g.width);
    m.uint(4, g.height);
    m.sint(5, g.left);
    m.sint(6, g.top);
    m.uint(7, g.advance);
    stack.message(3, m);
  }
  const top = new Writer();
  top.message(1, stack);
  return Buffer.from(top.bytes);
}

function build(name, file) {
  const data = fs.readFileSync(path.join(fontDir, file));
  const font = opentype.parse(data.buffer.slice(data.byteOffset, data.byteOffset + data.byteLength));
  const byRange = new Map();
  for (const [cp, index] of Object.entries(font.tables.cmap.glyphIndexMap)) {
    const codepoint = Number(cp);
    if (codepoint > 0xffff || index === 0) continue;
    const range = codepoint >> 8;
    if (!byRange.has(range)) byRange.set(range, []);
    byRange.get(range).push(renderGlyph(font, font.glyphs.get(index), codepoint));
  }
  const dir = path.join(outDir, name);
  fs.mkdirSync(dir, { recursive: true });
  let count = 0;
  for (let range = 0; range < 256; range++) {
    const glyphs = (byRange.get(range) ?? []).sort((a, b) => a.id - b.id);
    count += glyphs.length;
    fs.writeFileSync(path.join(dir, `${range * 256}-${range * 256 + 255}.pbf`), encodeRange(name, range * 256, glyphs));
  }
  return count;
}

if (process.argv[1] && path.resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  // npm ci runs this every time; skip the work when this script and the fonts are unchanged.
  const inputs = [fileURLToPath(import.meta.url), ...Object.values(FONTSTACKS).map((f) => path.join(fontDir, f))];
  const stamp = inputs.map((f) => { const st = fs.statSync(f); return `${f} ${st.size} ${st.mtimeMs}`; }).join('\n');
  const stampFile = path.join(outDir, '.inputs');
  if (fs.existsSync(stampFile) && fs.readFileSync(stampFile, 'utf8') === stamp) {
    console.log(`glyphs: up to date in ${outDir}`);
  } else {
    const started = Date.now();
    for (const [name, file] of Object.entries(FONTSTACKS)) {
      const count = build(name, file);
      console.log(`glyphs: ${name}: ${count} glyphs in 256 ranges under ${path.join(outDir, name)}`);
    }
    fs.writeFileSync(stampFile, stamp);
    console.log(`glyphs: ${((Date.now() - started) / 1000).toFixed(1)} s`);
  }
}
