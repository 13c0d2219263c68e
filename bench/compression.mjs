// Against a running gisd: bytes per plots tile at zooms 12-16 (identity, gzip,
// brotli, MLT, MLT with brotli), and the event loop's longest stalls while it
// compresses large answers it has not compressed before (a probe of a small
// route every 2 ms, against the same probe with nothing else running).
// Prints figures; asserts nothing.
//
//   GISD_URL=http://127.0.0.1:8080 CENTRE=7.47,9.05 node bench/compression.mjs
import http from 'node:http';

const base = process.env.GISD_URL;
const centre = (process.env.CENTRE || '7.472,9.057').split(',').map(Number);
const agent = new http.Agent({ keepAlive: true, maxSockets: 8 });

function get(path, headers = {}) {
  return new Promise((resolve, reject) => {
    http.get(new URL(path, base), { headers, agent }, (res) => {
      let n = 0;
      res.on('data', (c) => { n += c.length; });
      res.on('end', () => resolve({ status: res.statusCode, bytes: n }));
    }).on('error', reject);
  });
}

function tileAt([lon, lat], z) {
  const n = 2 ** z;
  return [Math.floor(((lon + 180) / 360) * n), Math.floor(((1 - Math.asinh(Math.tan((lat * Math.PI) / 180)) / Math.PI) / 2) * n)];
}

// The tiles of a 5 x 5 block around the centre.
function block(z) {
  const [x0, y0] = tileAt(centre, z);
  const out = [];
  for (let dx = -2; dx <= 2; dx++) for (let dy = -2; dy <= 2; dy++) out.push([z, x0 + dx, y0 + dy]);
  return out;
}

console.log('== bytes per plots tile (means over the tiles with plots in a 5 x 5 block around the centre)');
console.log('  zoom  tiles  identity      gzip    brotli       MLT  MLT+brotli');
for (let z = 12; z <= 16; z++) {
  const sums = [0, 0, 0, 0, 0];
  let count = 0;
  for (const [, x, y] of block(z)) {
    const path = `/gis/plots/${z}/${x}/${y}`;
    const forms = await Promise.all([
      get(`${path}.pbf`), get(`${path}.pbf`, { 'Accept-Encoding': 'gzip' }), get(`${path}.pbf`, { 'Accept-Encoding': 'br' }),
      get(`${path}.mlt`), get(`${path}.mlt`, { 'Accept-Encoding': 'br' }),
    ]);
    if (forms[0].status !== 200) continue;
    count++;
    forms.forEach((f, i) => { sums[i] += f.bytes; });
  }
  if (!count) continue;
  const mean = sums.map((s) => Math.round(s / count));
  const share = (v) => `${((100 * v) / mean[0]).toFixed(0)}%`;
  console.log(`  ${z}  ${String(count).padStart(5)}  ${mean.map((m, i) => `${m}${i ? ` (${share(m)})` : ''}`).join('  ')}`);
}

// The probe: a small JSON route, one request at a time, every 2 ms.
async function probe(untilDone) {
  const latencies = [];
  while (!untilDone()) {
    const t = process.hrtime.bigint();
    await get('/gis/layers/');
    latencies.push(Number(process.hrtime.bigint() - t) / 1e6);
    await new Promise((r) => setTimeout(r, 2));
  }
  return latencies.sort((a, b) => a - b);
}

function describe(name, xs) {
  const q = (p) => xs[Math.min(xs.length - 1, Math.floor(p * xs.length))].toFixed(2);
  const buckets = [1, 2, 5, 10, 20, Infinity];
  const hist = buckets.map((b, i) => `${i ? `${buckets[i - 1]}-` : '<'}${b === Infinity ? '' : b} ms: ${xs.filter((x) => x < b && (i === 0 || x >= buckets[i - 1])).length}`);
  console.log(`  ${name}: ${xs.length} probes, p50 ${q(0.5)} ms, p99 ${q(0.99)} ms, max ${xs[xs.length - 1].toFixed(2)} ms; ${hist.join(', ')}`);
}

console.log('== the loop while compressing: probe latency of GET /gis/layers/');
let done = false;
const idleRun = probe(() => done);
await new Promise((r) => setTimeout(r, 3000));
done = true;
describe('nothing else running', await idleRun);

// Large answers compressed for the first time: composite zoom-13/14 tiles,
// warmed as identity first so that the work left is compression.
const big = [...block(13), ...block(14)].map(([z, x, y]) => `/gis/tiles/lgas,districts,cadzones,plots,beacons/${z}/${x}/${y}.pbf`);
for (const p of big) await get(p);
for (const coding of ['gzip', 'br']) {
  done = false;
  const run = probe(() => done);
  let compressed = 0;
  // The compressed forms are kept by content: each tile is compressed once per coding.
  for (const p of big) {
    const r = await get(p, { 'Accept-Encoding': coding });
    if (r.status === 200) compressed++;
  }
  done = true;
  describe(`while ${compressed} large tiles are first compressed with ${coding}`, await run);
}
agent.destroy();
