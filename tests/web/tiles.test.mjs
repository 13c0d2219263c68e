// Composite tiles, brotli answers and MapLibre Tiles of a running gisd, read
// with the npm decoders that map clients use.
//
//   GISD_URL=http://127.0.0.1:8080 node --test tests/web/tiles.test.mjs
import { describe, test } from 'node:test';
import assert from 'node:assert/strict';
import http from 'node:http';
import zlib from 'node:zlib';
import { register } from 'node:module';

register('./support/extensionless.mjs', import.meta.url);
const modules = new URL('../../web/node_modules/', import.meta.url);
const { decodeTile } = await import(new URL('@maplibre/mlt/dist/index.js', modules));
const { VectorTile } = await import(new URL('@mapbox/vector-tile/index.js', modules));
const { PbfReader } = await import(new URL('pbf/index.js', modules));

const base = process.env.GISD_URL;
if (!base) throw new Error('set GISD_URL to the base URL of a running gisd, e.g. http://127.0.0.1:8080');
const ALL = ['lgas', 'districts', 'cadzones', 'plots', 'beacons'];
const MIN_ZOOM = { lgas: 2, districts: 3, cadzones: 4, plots: 8, beacons: 12 };
const CENTRE = [7.472, 9.057];  // inside the test cadastre

function get(path, headers = {}) {
  return new Promise((resolve, reject) => {
    http.get(new URL(path, base), { headers }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: Buffer.concat(chunks) }));
    }).on('error', reject);
  });
}

function tileAt([lon, lat], z) {
  const n = 2 ** z;
  return [z, Math.floor(((lon + 180) / 360) * n), Math.floor(((1 - Math.asinh(Math.tan((lat * Math.PI) / 180)) / Math.PI) / 2) * n)];
}

const maxAge = (r) => Number(/max-age=(\d+)/.exec(r.headers['cache-control'] ?? '')?.[1]);

// Every coordinate pair of a geometry, in order, however it nests.
function points(g) {
  if (Array.isArray(g)) return g.flatMap(points);
  return [[g.x, g.y]];
}

// Each layer of an MVT as plain features: id, type, property values, coordinates and ring count.
function mvtLayers(bytes) {
  const tile = new VectorTile(new PbfReader(bytes));
  return Object.fromEntries(Object.entries(tile.layers).map(([name, layer]) => {
    const features = [];
    for (let i = 0; i < layer.length; i++) {
      const f = layer.feature(i);
      const g = f.loadGeometry();
      features.push({ id: f.id, properties: { ...f.properties }, points: points(g), parts: g.length });
    }
    return [name, features];
  }));
}

function mltLayers(bytes) {
  return Object.fromEntries(decodeTile(new Uint8Array(bytes)).map((table) => [table.name, table.getFeatures().map((f) => {
    // A point's coordinates are one ring of one point; a polygon's, rings; a multi-polygon's, polygons of rings.
    const c = f.geometry.coordinates;
    const parts = f.geometry.type === 5 ? c.reduce((n, polygon) => n + polygon.length, 0) : c.length;
    const properties = Object.fromEntries(Object.entries(f.properties).filter(([, v]) => v !== null && v !== undefined));
    return { id: f.id ?? undefined, properties, points: points(c), parts };
  })]));
}

describe('composite tiles', () => {
  const centre16 = tileAt(CENTRE, 16);
  const cases = [
    { name: 'every layer, beacons below their zoom', layers: ALL, at: tileAt(CENTRE, 10) },
    { name: 'two layers, reversed', layers: ['beacons', 'plots'], at: centre16 },
    { name: 'areas only', layers: ['cadzones', 'lgas'], at: tileAt(CENTRE, 14) },
    { name: 'empty tile', layers: ['plots', 'beacons'], at: [16, 0, 0] },
    { name: 'every layer below its zoom', layers: ['beacons', 'plots'], at: tileAt(CENTRE, 6) },
  ];
  for (const c of cases) {
    test(`${c.name}: the per-layer tiles' layers, features and attributes`, async () => {
      const [z, x, y] = c.at;
      const parts = [];
      for (const layer of c.layers) {
        await get(`/gis/${layer}/${z}/${x}/${y}.pbf`);
        parts.push({ layer, answer: await get(`/gis/${layer}/${z}/${x}/${y}.pbf`) });  // now cached where not empty
      }
      const r = await get(`/gis/tiles/${c.layers.join(',')}/${z}/${x}/${y}.pbf`);
      const drawn = parts.filter((p) => p.answer.status === 200);
      if (drawn.length === 0) {
        assert.equal(r.status, 204);
        return;
      }
      assert.equal(r.status, 200);
      assert.equal(r.headers['content-type'], 'application/vnd.mapbox-vector-tile');
      const inRange = parts.filter((p) => MIN_ZOOM[p.layer] <= z);
      assert.equal(r.headers['x-cache'], inRange.every((p) => p.answer.headers['x-cache'] === 'HIT') ? 'HIT' : 'MISS');
      const ages = inRange.map((p) => maxAge(p.answer));
      if (ages.every(Number.isFinite)) assert.equal(maxAge(r), Math.min(...ages));
      const got = mvtLayers(r.body);
      assert.deepEqual(Object.keys(got), drawn.map((p) => p.layer), 'the layers in the order asked');
      for (const p of drawn) assert.deepEqual(got[p.layer], mvtLayers(p.answer.body)[p.layer], p.layer);
    });
  }

  test('a miss among hits, then all hits', async () => {
    // A zoom-20 tile with plots, most likely never asked for before: its beacons are a miss.
    // Among the 256 zoom-20 tiles inside the zoom-16 tile at the centre, dense with plots.
    const [, x16, y16] = centre16;
    let at = null;
    for (let i = 0; i < 60 && !at; i++) {
      const x = x16 * 16 + Math.floor(Math.random() * 16), y = y16 * 16 + Math.floor(Math.random() * 16);
      if ((await get(`/gis/plots/20/${x}/${y}.pbf`)).status === 200) at = [x, y];
    }
    assert.ok(at, 'a zoom-20 tile with plots');
    const path = `/gis/tiles/plots,beacons/20/${at[0]}/${at[1]}.pbf`;
    assert.equal((await get(path)).headers['x-cache'], 'MISS');
    const beacons = await get(`/gis/beacons/20/${at[0]}/${at[1]}.pbf`);
    assert.equal((await get(path)).headers['x-cache'], beacons.status === 200 ? 'HIT' : 'MISS');
  });

  test('404 for an unknown, repeated or missing layer name, as for an unknown layer', async () => {
    for (const list of ['plots,roads', 'plots,plots', 'plots,', ',plots']) {
      for (const suffix of ['14/8532/7778.pbf', '14/8532/7778.mlt', 'tilejson.json']) {
        const r = await get(`/gis/tiles/${list}/${suffix}`);
        assert.equal(r.status, 404, `${list}/${suffix}`);
      }
    }
  });

  test('TileJSON lists each layer, for MVT and MLT', async () => {
    for (const [query, suffix] of [['', '.pbf'], ['?encoding=mlt', '.mlt']]) {
      const tj = JSON.parse((await get(`/gis/tiles/plots,lgas/tilejson.json${query}`)).body);
      assert.deepEqual(tj.vector_layers.map((l) => l.id), ['plots', 'lgas']);
      assert.ok(tj.tiles[0].endsWith(`/gis/tiles/plots,lgas/{z}/{x}/{y}${suffix}`), tj.tiles[0]);
      assert.equal(tj.minzoom, 2);
      assert.equal(tj.encoding, suffix === '.mlt' ? 'mlt' : undefined);
    }
  });
});

describe('MapLibre Tiles', () => {
  const tiles = [];
  for (const layer of ALL) {
    for (const z of [MIN_ZOOM[layer] + 1, 12, 14, 16]) tiles.push([layer, ...tileAt(CENTRE, Math.max(z, MIN_ZOOM[layer]))]);
  }
  test('every layer at several zooms: the same features as the MVT', async () => {
    let compared = 0;
    for (const [layer, z, x, y] of tiles) {
      const mvt = await get(`/gis/${layer}/${z}/${x}/${y}.pbf`);
      const mlt = await get(`/gis/${layer}/${z}/${x}/${y}.mlt`);
      assert.equal(mlt.status, mvt.status, `${layer}/${z}`);
      if (mvt.status !== 200) continue;
      assert.equal(mlt.headers['content-type'], 'application/vnd.maplibre-tile');
      assert.deepEqual(mltLayers(mlt.body), mvtLayers(mvt.body), `${layer}/${z}/${x}/${y}`);
      compared++;
    }
    assert.ok(compared >= 12, `${compared} tiles compared`);
  });

  test('the composite MLT holds each layer as the MVT does, the dense zoom-16 tile included', async () => {
    const [z, x, y] = tileAt(CENTRE, 16);
    const mvt = await get(`/gis/tiles/${ALL.join(',')}/${z}/${x}/${y}.pbf`);
    const mlt = await get(`/gis/tiles/${ALL.join(',')}/${z}/${x}/${y}.mlt`);
    const expected = mvtLayers(mvt.body);
    assert.ok(expected.plots.length > 100, `${expected.plots.length} plots`);
    assert.deepEqual(mltLayers(mlt.body), expected);
    assert.ok(mlt.body.length < mvt.body.length, `MLT ${mlt.body.length} bytes, MVT ${mvt.body.length}`);
  });
});

describe('brotli', () => {
  test('br and gzip decompress to the identity bytes, each with its own tag and 304', async () => {
    const [z, x, y] = tileAt(CENTRE, 14);
    for (const path of [`/gis/plots/${z}/${x}/${y}.pbf`, `/gis/tiles/${ALL.join(',')}/${z}/${x}/${y}.mlt`]) {
      const identity = await get(path);
      const br = await get(path, { 'Accept-Encoding': 'gzip, deflate, br' });
      const gz = await get(path, { 'Accept-Encoding': 'gzip' });
      assert.equal(br.headers['content-encoding'], 'br');
      assert.equal(gz.headers['content-encoding'], 'gzip');
      assert.equal(identity.headers['content-encoding'], undefined);
      assert.deepEqual(zlib.brotliDecompressSync(br.body), identity.body);
      assert.deepEqual(zlib.gunzipSync(gz.body), identity.body);
      assert.ok(br.body.length < gz.body.length, `br ${br.body.length} bytes, gzip ${gz.body.length}`);
      const tags = [identity, br, gz].map((r) => r.headers.etag);
      assert.equal(new Set(tags).size, 3, tags.join(' '));
      for (const [r, accept] of [[identity, undefined], [br, 'br'], [gz, 'gzip']]) {
        const again = await get(path, { 'If-None-Match': r.headers.etag, ...(accept ? { 'Accept-Encoding': accept } : {}) });
        assert.equal(again.status, 304, `${accept ?? 'identity'} ${path}`);
      }
    }
  });
});
