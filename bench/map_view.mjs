// A scripted viewer session in headless Chromium against a running gisd:
// open at zoom 12 over the city, zoom in to 17 a step at a time, pan four
// screens. Run with the style of one source per layer and gzip (the style
// before composite tiles), then with the served style: one composite source,
// brotli and MapLibre Tiles. Prints tile requests, bytes on the wire and the
// time until the map is idle, for each and as ratios. Asserts nothing.
//
//   GISD_URL=http://127.0.0.1:8080 CENTRE=7.47,9.05 node bench/map_view.mjs
import { createRequire } from 'node:module';

const require = createRequire(new URL('../web/package.json', import.meta.url));
const puppeteer = require('puppeteer-core');
const base = process.env.GISD_URL;
const centre = (process.env.CENTRE || '7.472,9.057').split(',').map(Number);
const rounds = Number(process.env.ROUNDS || 2);

const page_html = `<!doctype html><html><head>
<link rel="stylesheet" href="/viewer/maplibre-gl/maplibre-gl.css">
<style>html, body, #map { margin: 0; width: 100%; height: 100%; }</style></head>
<body><div id="map"></div><script src="/viewer/maplibre-gl/maplibre-gl.js"></script></body></html>`;

// The style as it was before composite tiles: one source per layer, MVT.
async function perLayerStyle() {
  const style = await (await fetch(`${base}/gis/style.json`)).json();
  const names = [...new Set(style.layers.filter((l) => l['source-layer']).map((l) => l['source-layer']))];
  style.sources = Object.fromEntries(names.map((n) => [n, { type: 'vector', url: `${base}/gis/${n}/tilejson.json` }]));
  for (const l of style.layers) if (l['source-layer']) l.source = l['source-layer'];
  return style;
}

// The bytes gisd sends for `urls` to a client that accepts gzip only (as
// before brotli: Chromium cannot be made to leave brotli out of its requests).
async function gzipBytes(urls) {
  let total = 0;
  for (const url of urls) {
    const r = await fetch(url, { headers: { 'Accept-Encoding': 'gzip' } });
    const body = await r.arrayBuffer();
    total += Number(r.headers.get('content-length') ?? body.byteLength);
  }
  return total;
}

async function session(browser, style) {
  const context = await browser.createBrowserContext();
  const page = await context.newPage();
  await page.setViewport({ width: 1280, height: 800 });
  page.on('console', (m) => { if (m.type() === 'error') console.error(`  console: ${m.text()}`); });
  page.on('pageerror', (e) => console.error(`  page error: ${e.message}`));
  const cdp = await page.createCDPSession();
  await cdp.send('Network.enable');
  await cdp.send('Network.setCacheDisabled', { cacheDisabled: true });
  // Body bytes on the wire: gisd's Content-Length, which is the encoded size.
  const tiles = [];
  const urls = [];
  const codings = new Set();
  page.on('response', (r) => {
    if (!/\/\d+\/\d+\/\d+\.(pbf|mlt)$/.test(new URL(r.url()).pathname)) return;
    const h = r.headers();
    tiles.push(Number(h['content-length'] || 0));
    urls.push(r.url());
    codings.add(h['content-encoding'] || 'identity');
  });
  // A page of the server's origin with nothing but MapLibre and the map's element.
  await page.goto(`${base}/viewer/maplibre-gl/maplibre-gl.css`, { waitUntil: 'load' });
  await page.setContent(page_html, { waitUntil: 'load' });
  const ms = await page.evaluate(async (style, centre) => {
    // Once the map has drawn everything it asked for.
    const idle = (map) => new Promise((resolve) => {
      const settled = () => setTimeout(() => (map.loaded() && !map.isMoving() ? resolve() : map.once('idle', settled)), 0);
      map.once('idle', settled);
      map.triggerRepaint();
    });
    const started = performance.now();
    const map = new maplibregl.Map({ container: 'map', style, center: centre, zoom: 12, fadeDuration: 0,
      transformRequest: (url) => ({ url: new URL(url, window.location.href).href }) });
    await idle(map);
    for (let z = 13; z <= 17; z++) {
      map.jumpTo({ zoom: z });
      await idle(map);
    }
    for (let i = 0; i < 4; i++) {
      map.panBy([map.getCanvas().clientWidth / devicePixelRatio, 0], { animate: false });
      await idle(map);
    }
    return performance.now() - started;
  }, style, centre);
  await new Promise((r) => setTimeout(r, 300));
  const bytes = tiles.reduce((a, b) => a + b, 0);
  await context.close();
  return { requests: tiles.length, bytes, gzip: await gzipBytes(urls), ms, codings: [...codings].join('+') };
}

const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  args: ['--no-sandbox', '--enable-unsafe-swiftshader', '--use-angle=swiftshader', '--headless=new'],
});
try {
  const before = { name: 'one source per layer, MVT', style: await perLayerStyle() };
  const after = { name: 'composite source, MLT', style: `${base}/gis/style.json?encoding=mlt` };
  // Untimed: fills the tile cache for both, so that both runs are hits.
  for (const v of [before, after]) await session(browser, v.style);
  const results = { before: [], after: [] };
  for (let i = 0; i < rounds; i++) {
    results.before.push(await session(browser, before.style));
    results.after.push(await session(browser, after.style));
  }
  const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
  const summary = {};
  for (const [k, v] of Object.entries({ before, after })) {
    const rs = results[k];
    summary[k] = { requests: median(rs.map((r) => r.requests)), bytes: median(rs.map((r) => r.bytes)),
      gzip: median(rs.map((r) => r.gzip)), ms: median(rs.map((r) => r.ms)) };
    console.log(`  ${v.name}: ${summary[k].requests} tile requests, ${summary[k].bytes} bytes as sent (${rs[0].codings}),`
      + ` ${summary[k].gzip} bytes with gzip only; idle after ${summary[k].ms.toFixed(0)} ms (rounds ${rs.map((r) => r.ms.toFixed(0)).join(' / ')})`);
  }
  const ratio = (a, b) => (a / b).toFixed(2);
  console.log(`  ratios, composite + MLT + brotli against one source per layer + MVT + gzip: requests ${ratio(summary.after.requests, summary.before.requests)},`
    + ` bytes ${ratio(summary.after.bytes, summary.before.gzip)}, time to idle ${ratio(summary.after.ms, summary.before.ms)}`
    + ` (the per-layer runs were sent brotli, which only shortens their time)`);
} finally {
  await browser.close();
}
