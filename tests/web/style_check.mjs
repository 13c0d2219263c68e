// Checks the map style a running gisd serves, and what it points at.
//
//   GISD_URL=http://127.0.0.1:8080 node tests/web/style_check.mjs
//
// Exits 1 and prints every problem found: style validation errors, layers that
// differ from web/style-layers.json, TileJSON documents or glyph ranges that
// the viewer could not use.
import fs from 'node:fs';
import { createRequire } from 'node:module';

const require = createRequire(new URL('../../web/package.json', import.meta.url));
const { validateStyleMin } = require('@maplibre/maplibre-gl-style-spec');

const base = process.env.GISD_URL;
if (!base) {
  console.error('style_check: set GISD_URL to the base URL of a running gisd, e.g. http://127.0.0.1:8080');
  process.exit(2);
}
const LAYERS = ['plots', 'beacons', 'cadzones', 'districts', 'lgas'];
const problems = [];

async function get(path) {
  const response = await fetch(new URL(path, base));
  if (!response.ok) throw new Error(`GET ${path}: HTTP ${response.status}`);
  return response;
}

async function check() {
  const style = await (await get('/gis/style.json')).json();
  for (const e of validateStyleMin(style)) problems.push(`style.json: ${e.message}`);
  const mltStyle = await (await get('/gis/style.json?encoding=mlt')).json();
  for (const e of validateStyleMin(mltStyle)) problems.push(`style.json?encoding=mlt: ${e.message}`);

  // The viewer's layers, all drawn from the one composite source.
  const expected = JSON.parse(fs.readFileSync(new URL('../../web/style-layers.json', import.meta.url), 'utf8'))
    .map((l) => (l.source ? { ...l, source: 'cadastre' } : l));
  if (JSON.stringify(style.layers) !== JSON.stringify(expected)) {
    problems.push('style.json: "layers" is not web/style-layers.json with the source "cadastre"');
  }
  const names = ['lgas', 'districts', 'cadzones', 'plots', 'beacons'].filter((n) => LAYERS.includes(n));
  for (const [which, doc, suffix] of [['style.json', style, '.pbf'], ['style.json?encoding=mlt', mltStyle, '.mlt']]) {
    const sources = Object.keys(doc.sources ?? {});
    const source = doc.sources?.cadastre;
    if (sources.length !== 1 || source?.type !== 'vector' || typeof source.url !== 'string') {
      problems.push(`${which}: one vector source "cadastre" expected, has ${JSON.stringify(doc.sources)}`);
      continue;
    }
    if (suffix === '.mlt' && source.encoding !== 'mlt') problems.push(`${which}: the source does not say "encoding": "mlt"`);
    const tj = await (await get(source.url)).json();
    if (!Array.isArray(tj.tiles) || !tj.tiles.some((t) => t.endsWith(`/{z}/{x}/{y}${suffix}`) && t.includes('/gis/tiles/'))) {
      problems.push(`${source.url}: tiles ${JSON.stringify(tj.tiles)}`);
    }
    const ids = (tj.vector_layers ?? []).map((v) => v.id);
    if (JSON.stringify([...ids].sort()) !== JSON.stringify([...names].sort())) problems.push(`${source.url}: vector layers ${ids}`);
  }

  for (const layer of LAYERS) {
    const url = `/gis/${layer}/tilejson.json`;
    const tj = await (await get(url)).json();
    const b = tj.bounds;
    const wrong = [];
    if (tj.tilejson !== '3.0.0') wrong.push(`tilejson ${tj.tilejson}`);
    if (!Array.isArray(tj.tiles) || !tj.tiles.some((t) => t.includes(`/gis/${layer}/{z}/{x}/{y}.pbf`))) wrong.push(`tiles ${JSON.stringify(tj.tiles)}`);
    if (!Array.isArray(tj.vector_layers) || !tj.vector_layers.some((v) => v.id === layer)) wrong.push('no vector layer of that name');
    if (!Array.isArray(b) || b.length !== 4 || !b.every(Number.isFinite) || !(b[0] < b[2] && b[1] < b[3])) wrong.push(`bounds ${JSON.stringify(b)}`);
    if (!Array.isArray(tj.center) || tj.center.length < 2) wrong.push(`center ${JSON.stringify(tj.center)}`);
    if (!Number.isInteger(tj.minzoom) || tj.maxzoom !== 20) wrong.push(`minzoom ${tj.minzoom}, maxzoom ${tj.maxzoom}`);
    if (wrong.length) problems.push(`${url}: ${wrong.join('; ')}`);
  }

  // Every font stack a label asks for must have its glyph ranges served.
  const stacks = new Set(style.layers.filter((l) => l.layout?.['text-font']).map((l) => l.layout['text-font'].join(',')));
  if (stacks.size > 0 && typeof style.glyphs !== 'string') problems.push('style.json: labels but no "glyphs" URL');
  for (const stack of stacks) {
    for (const range of ['0-255', '256-511']) {
      const path = style.glyphs.replace('{fontstack}', stack).replace('{range}', range);
      const response = await get(path).catch((e) => { problems.push(e.message); return null; });
      if (!response) continue;
      const body = new Uint8Array(await response.arrayBuffer());
      // A glyph range is a protobuf whose first field (tag 0x0a) holds the font stack.
      if (body[0] !== 0x0a) problems.push(`${path}: not a glyph range (${body.length} bytes)`);
    }
  }
}

try {
  await check();
} catch (e) {
  problems.push(e.message);
}
if (problems.length) {
  console.error(`style_check: ${problems.length} problem(s)\n${problems.map((p) => `  ${p}`).join('\n')}`);
  process.exit(1);
}
console.log('style_check: style.json, its TileJSON documents and glyph ranges are valid');
