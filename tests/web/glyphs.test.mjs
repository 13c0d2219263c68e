// The glyph ranges web/tools/make-glyphs.mjs writes, read back as MapLibre reads them.
//
//   node --test tests/web/glyphs.test.mjs        (after npm ci in web/)
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';

const BORDER = 3;
const EDGE = 192; // the signed-distance value of the outline

function fields(buf, each) {
  let i = 0;
  const varint = () => {
    let v = 0, shift = 0, b;
    do { b = buf[i++]; v += (b & 0x7f) * 2 ** shift; shift += 7; } while (b & 0x80);
    return v;
  };
  while (i < buf.length) {
    const key = varint();
    if ((key & 7) === 0) each(key >> 3, varint());
    else if ((key & 7) === 2) { const n = varint(); each(key >> 3, buf.subarray(i, i + n)); i += n; }
    else throw new Error(`wire type ${key & 7}`);
  }
}

function readRange(path) {
  const glyphs = new Map();
  let name;
  fields(fs.readFileSync(path), (f, stack) => {
    assert.equal(f, 1);
    fields(stack, (sf, v) => {
      if (sf === 1) name = Buffer.from(v).toString();
      if (sf !== 3) return;
      const g = {};
      fields(v, (gf, x) => { g[['', 'id', 'bitmap', 'width', 'height', 'left', 'top', 'advance'][gf]] = x; });
      for (const k of ['left', 'top']) g[k] = g[k] % 2 ? -(g[k] + 1) / 2 : g[k] / 2;
      glyphs.set(g.id, g);
    });
  });
  return { name, glyphs };
}

const range = readRange(new URL('../../web/fonts/DejaVuSans/0-255.pbf', import.meta.url));

// Where a pixel of the glyph box lies, as fractions of the box (0,0 top left).
function valueAt(g, fx, fy) {
  const w = g.width + 2 * BORDER;
  const x = BORDER + Math.floor(fx * (g.width - 1));
  const y = BORDER + Math.floor(fy * (g.height - 1));
  return g.bitmap[y * w + x];
}

test('the range names its font stack and holds the printable ASCII characters', () => {
  assert.equal(range.name, 'DejaVuSans');
  for (let c = 0x21; c < 0x7f; c++) assert.ok(range.glyphs.get(c)?.bitmap, `glyph ${String.fromCharCode(c)}`);
});

const SHAPES = [
  // character, point in its box, inside the outline?
  ['O', [0.5, 0.5], false],   // the counter of a ring is not filled
  ['O', [0.03, 0.5], true],   // its left stroke is
  ['H', [0.5, 0.5], true],    // the crossbar
  ['H', [0.5, 0.1], false],   // between the stems
  ['A', [0.02, 0.05], false], // beside the apex
  ['l', [0.5, 0.5], true],
];
for (const [ch, [fx, fy], inside] of SHAPES) {
  test(`${ch} at (${fx}, ${fy}) is ${inside ? 'inside' : 'outside'}`, () => {
    const v = valueAt(range.glyphs.get(ch.charCodeAt(0)), fx, fy);
    assert.ok(inside ? v > EDGE : v < EDGE, `value ${v}`);
  });
}

test('metrics: a space advances without a bitmap; x stands lower than H and l', () => {
  const [space, x, H, l] = [' ', 'x', 'H', 'l'].map((c) => range.glyphs.get(c.charCodeAt(0)));
  assert.equal(space.bitmap, undefined);
  assert.ok(space.advance > 4 && space.advance < 12, `space advance ${space.advance}`);
  assert.ok(x.top < H.top && H.top <= l.top, `tops x ${x.top}, H ${H.top}, l ${l.top}`);
  assert.ok(H.height >= 16 && H.height <= 19, `H is ${H.height} px tall at 24 px`);
});
