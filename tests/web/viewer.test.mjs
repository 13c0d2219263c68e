// The map viewer in headless Chromium against a running gisd.
//
//   GISD_URL=http://127.0.0.1:8080 node --test tests/web/viewer.test.mjs
//
// SCREENSHOT_DIR (default: the current folder) receives viewer.png;
// CHROMIUM (default /usr/bin/chromium) names the browser.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';

const require = createRequire(new URL('../../web/package.json', import.meta.url));
const puppeteer = require('puppeteer-core');

const base = process.env.GISD_URL;
if (!base) throw new Error('set GISD_URL to the base URL of a running gisd, e.g. http://127.0.0.1:8080');
const origin = new URL(base).origin;
const screenshotDir = process.env.SCREENSHOT_DIR || process.cwd();
const WAIT = 90_000;

// Which view shows each layer's features: the fitted data for the areas, a
// close-up of a built-up spot for plots and beacons (their labels need it).
const LAYER_VIEWS = [
  ['lgas', 'fit'],
  ['districts', 'fit'],
  ['cadzones', 'fit'],
  ['plots', 'close'],
  ['beacons', 'close'],
];
const CLOSE_ZOOM = 18;

let browser;
let page;
let profile;
let fitView;
let closeView;
const problems = [];
const tileRequests = [];

// Resolves once the map has drawn everything it asked for, the labels the
// viewer places when the map settles included.
function idle() {
  return page.evaluate(() => new Promise((resolve) => {
    const map = window.map;
    const settled = () => setTimeout(() => (map.loaded() && !map.isMoving() ? resolve() : map.once('idle', settled)), 0);
    map.once('idle', settled);
    map.triggerRepaint();
  }));
}

async function jump(view) {
  await page.evaluate((v) => window.map.jumpTo(v), view);
  await idle();
}

// Rendered features of every style layer drawing a layer of the tiles (the
// viewer draws area labels from a copy of it), by style layer.
function renderedBySource(source) {
  return page.evaluate((src) => {
    const ids = window.map.getStyle().layers.filter((l) => l['source-layer'] === src || l.source === `${src}-labels`).map((l) => l.id);
    return Object.fromEntries(ids.map((id) => [id, window.map.queryRenderedFeatures({ layers: [id] }).length]));
  }, source);
}

describe('map viewer', { timeout: 10 * WAIT }, () => {
  before(async () => {
    profile = fs.mkdtempSync(path.join(os.tmpdir(), 'gisd-viewer-chromium-'));
    browser = await puppeteer.launch({
      executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
      headless: true,
      userDataDir: profile,
      args: [
        '--no-sandbox', '--enable-unsafe-swiftshader', '--use-angle=swiftshader', '--headless=new',
        '--disable-background-networking', '--disable-component-update', '--disable-sync', '--no-first-run',
      ],
    });
    page = await browser.newPage();
    await page.setViewport({ width: 1280, height: 800 });
    page.on('console', (m) => {
      // MapLibre only warns when it falls back to drawing glyphs itself: a missing range.
      if (m.type() === 'error' || (m.type() === 'warn' && /glyph/i.test(m.text()))) problems.push(`console ${m.type()}: ${m.text()}`);
    });
    page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
    page.on('requestfailed', (r) => {
      // MapLibre cancels the tiles a jump leaves behind.
      if (r.failure()?.errorText !== 'net::ERR_ABORTED') problems.push(`request failed: ${r.url()} ${r.failure()?.errorText}`);
    });
    page.on('response', (r) => {
      if (r.status() >= 400) problems.push(`HTTP ${r.status()}: ${r.url()}`);
    });
    page.on('request', (r) => {
      if (/\/gis\/.*\/\d+\/\d+\/\d+\.\w+$/.test(new URL(r.url()).pathname)) tileRequests.push(new URL(r.url()).pathname);
      // data: and the worker's blob: URL stay in the page; everything else must go to gisd.
      const url = new URL(r.url());
      if (url.protocol !== 'data:' && url.origin !== origin) problems.push(`request outside the server: ${r.url()}`);
    });

    await page.goto(`${origin}/`, { waitUntil: 'load', timeout: WAIT });
    await page.waitForFunction(() => window.map && document.querySelector('#legend li'), { timeout: WAIT }).catch((e) => {
      throw new Error(`the viewer did not start (${e.message}): ${problems.join('; ') || 'no error seen'}`);
    });
    await idle();
    fitView = await page.evaluate(() => ({ center: window.map.getCenter().toArray(), zoom: window.map.getZoom() }));
  });

  after(async () => {
    await browser?.close();
    if (profile) fs.rmSync(profile, { recursive: true, force: true });
  });

  test('opens fitted to the extent of the layers', async () => {
    const { view, data } = await page.evaluate(async () => {
      const names = ['plots', 'beacons', 'cadzones', 'districts', 'lgas'];
      const all = await Promise.all(names.map((n) => fetch(`/gis/${n}/tilejson.json`).then((r) => r.json())));
      const b = all.map((t) => t.bounds);
      const data = [Math.min(...b.map((x) => x[0])), Math.min(...b.map((x) => x[1])),
        Math.max(...b.map((x) => x[2])), Math.max(...b.map((x) => x[3]))];
      const v = window.map.getBounds();
      return { view: [v.getWest(), v.getSouth(), v.getEast(), v.getNorth()], data };
    });
    assert.ok(view[0] <= data[0] && view[1] <= data[1] && view[2] >= data[2] && view[3] >= data[3],
      `the view ${view} holds the data ${data}`);
    const share = Math.max((data[2] - data[0]) / (view[2] - view[0]), (data[3] - data[1]) / (view[3] - view[1]));
    assert.ok(share > 0.5, `the data fills ${share.toFixed(2)} of the view across its longer side`);
  });

  test('every style layer of each source draws features where the source has them', async () => {
    // A plot near the middle of the fitted view: the close-up goes there.
    const spot = await page.evaluate(() => {
      const c = window.map.project(window.map.getCenter());
      const plots = window.map.queryRenderedFeatures({ layers: ['plots-fill'] });
      let best = null;
      for (const f of plots) {
        const ring = f.geometry.type === 'Polygon' ? f.geometry.coordinates[0] : f.geometry.coordinates[0][0];
        const lng = ring.reduce((s, p) => s + p[0], 0) / ring.length;
        const lat = ring.reduce((s, p) => s + p[1], 0) / ring.length;
        const d = window.map.project([lng, lat]).dist(c);
        if (!best || d < best.d) best = { d, lng, lat };
      }
      return best && [best.lng, best.lat];
    });
    assert.ok(spot, 'plots are drawn in the fitted view');
    closeView = { center: spot, zoom: CLOSE_ZOOM };

    for (const [source, where] of LAYER_VIEWS) {
      await jump(where === 'fit' ? fitView : closeView);
      const counts = await renderedBySource(source);
      assert.ok(Object.keys(counts).length > 0, `the style draws ${source}`);
      for (const [layer, n] of Object.entries(counts)) {
        // The selection's outline draws only a selected plot (tested with the search).
        if (layer === 'plots-selected') continue;
        assert.ok(n > 0, `${layer} draws features in the ${where} view (counts ${JSON.stringify(counts)})`);
      }
    }
  });

  test('clicking a plot shows its number and links to its survey plan as PNG and PDF', async () => {
    await jump(closeView);
    // A pixel of the map itself (not under a control) over a plot and clear of beacons.
    const target = await page.evaluate(() => {
      const map = window.map;
      const canvas = map.getCanvas();
      const { width, height } = canvas.getBoundingClientRect();
      for (let y = Math.round(height / 2); y < height - 20; y += 7) {
        for (let x = Math.round(width / 2); x < width - 20; x += 7) {
          if (document.elementFromPoint(x, y) !== canvas) continue;
          const plot = map.queryRenderedFeatures([x, y], { layers: ['plots-fill'] })[0];
          if (!plot) continue;
          if (map.queryRenderedFeatures([[x - 8, y - 8], [x + 8, y + 8]], { layers: ['beacons-circle'] }).length) continue;
          return { x, y, plotNo: plot.properties.PLOT_NO, zone: plot.properties.CADZONE };
        }
      }
      return null;
    });
    assert.ok(target, 'a plot can be clicked in the close-up');
    await page.mouse.click(target.x, target.y);
    await page.waitForSelector('.maplibregl-popup', { timeout: WAIT });
    const popup = await page.$eval('.maplibregl-popup', (el) => {
      const links = Object.fromEntries([...el.querySelectorAll('.plan-links a')].map((a) => [a.textContent.trim(), { href: a.href, target: a.target }]));
      return { title: el.querySelector('h3')?.textContent, text: el.textContent, links };
    });
    assert.equal(popup.title, target.plotNo);
    // Each link draws that plot's plan in its format.
    for (const [title, format, type] of [['PNG', 'png', 'image/png'], ['PDF', 'pdf', 'application/pdf']]) {
      const link = popup.links[title];
      assert.ok(link, `a ${title} link in ${JSON.stringify(popup.links)}`);
      assert.equal(link.href, `${origin}/plans/${encodeURIComponent(target.plotNo)}.${format}?zone=${encodeURIComponent(target.zone)}`);
      const plan = await fetch(link.href);
      assert.equal(plan.status, 200);
      assert.equal(plan.headers.get('content-type'), type);
      assert.equal(link.target, '_blank');
    }
    await idle();
    fs.mkdirSync(screenshotDir, { recursive: true });
    await page.screenshot({ path: path.join(screenshotDir, 'viewer.png') });
    await page.evaluate(() => document.querySelector('.maplibregl-popup-close-button')?.click());
  });

  test('the status bar shows the zoom and the position under the cursor', async () => {
    await page.mouse.move(900, 500);
    const shown = await page.evaluate(() => ({
      zoom: document.getElementById('zoom').textContent,
      lon: Number(document.getElementById('lon').textContent),
      lat: Number(document.getElementById('lat').textContent),
      actualZoom: window.map.getZoom(),
      at: window.map.unproject([900, 500]).toArray(),
    }));
    assert.equal(shown.zoom, shown.actualZoom.toFixed(2));
    assert.ok(Math.abs(shown.lon - shown.at[0]) < 1e-5 && Math.abs(shown.lat - shown.at[1]) < 1e-5,
      `shown ${shown.lon}, ${shown.lat}; under the cursor ${shown.at}`);
  });

  test('the legend names every value the plots on screen are coloured by', async () => {
    await jump(fitView);
    const choices = await page.$$eval('#colour-by option', (os) => os.map((o) => o.value));
    assert.deepEqual([...choices].sort(), ['GENERAL_LU', 'STATUS']);
    for (const property of choices) {
      await page.select('#colour-by', property);
      await idle();
      const { values, legend, colouredBy } = await page.evaluate((p) => ({
        values: [...new Set(window.map.queryRenderedFeatures({ layers: ['plots-fill'] }).map((f) => f.properties[p]))],
        legend: [...document.querySelectorAll('#legend li')].map((li) => li.textContent.trim()),
        colouredBy: JSON.stringify(window.map.getPaintProperty('plots-fill', 'fill-color')),
      }), property);
      assert.ok(colouredBy.includes(`["get","${property}"]`), `plots coloured by ${property}: ${colouredBy}`);
      assert.ok(values.length > 1, `plots on screen have several values of ${property}`);
      for (const v of values) assert.ok(legend.includes(v), `the legend for ${property} lists ${v}: ${legend}`);
    }
    await page.select('#colour-by', 'GENERAL_LU');
  });

  test('the layer switcher hides and shows each layer', async () => {
    await jump(fitView);
    for (const { id } of LAYER_VIEWS.map(([source]) => ({ id: source }))) {
      const drawn = (counts) => Object.values(counts).reduce((a, b) => a + b, 0);
      assert.ok(drawn(await renderedBySource(id)) > 0, `${id} is drawn before switching it off`);
      await page.click(`#layer-${id}`);
      await idle();
      assert.equal(drawn(await renderedBySource(id)), 0, `${id} is hidden`);
      await page.click(`#layer-${id}`);
      await idle();
      assert.ok(drawn(await renderedBySource(id)) > 0, `${id} is shown again`);
    }
  });

  test('tiles come as MapLibre Tiles from the one composite source, MVT at the switch', async () => {
    assert.ok(tileRequests.length > 0, 'the map asked for tiles');
    const other = tileRequests.filter((p) => !/^\/gis\/tiles\/(plots,beacons,cadzones,districts,lgas)\/\d+\/\d+\/\d+\.mlt$/.test(p));
    assert.deepEqual(other, [], 'every tile request is a composite MLT tile');
    assert.equal(await page.$eval('#tile-format', (s) => s.value), 'mlt');
    tileRequests.length = 0;
    await Promise.all([page.waitForNavigation({ waitUntil: 'load', timeout: WAIT }), page.select('#tile-format', 'mvt')]);
    await page.waitForFunction(() => typeof window.map?.loaded === 'function' && window.map.loaded() && document.querySelector('#legend li'), { timeout: WAIT });
    await idle();
    assert.ok(new URL(page.url()).searchParams.get('tiles') === 'mvt');
    assert.ok(tileRequests.length > 0 && tileRequests.every((p) => p.endsWith('.pbf')), `MVT tiles after the switch: ${tileRequests}`);
    assert.ok(Object.values(await renderedBySource('plots')).some((n) => n > 0), 'plots drawn from MVT');
  });

  test('search finds a plot and selects it; its link and the back button give the same view', async () => {
    const find = async (q) => (await (await fetch(`${base}/search?q=${encodeURIComponent(q)}&layer=plots&limit=1`)).json()).results[0];
    const [first, second] = [await find('PLOT 12'), await find('PLOT 13')];
    // Waits for the popup of `plot` and the map at rest; what the page shows then.
    const showing = async (plot) => {
      await page.waitForFunction((no, zone) => document.querySelector('.maplibregl-popup h3')?.textContent === no &&
        window.location.hash.endsWith(`zone=${encodeURIComponent(zone)}`) && !window.map.isMoving(), { timeout: WAIT }, plot.label, plot.zone);
      await idle();
      return page.evaluate(() => ({ centre: window.map.getCenter().toArray(), zoom: window.map.getZoom(), hash: window.location.hash,
        outlined: window.map.queryRenderedFeatures({ layers: ['plots-selected'] }).length }));
    };
    const near = (a, b) => Math.abs(a[0] - b[0]) < 2e-4 && Math.abs(a[1] - b[1]) < 2e-4;

    await jump(fitView);
    await page.click('#search');
    await page.keyboard.type('plot 12');
    await page.waitForFunction(() => document.querySelector('#search-results li[role=option]')?.firstChild.textContent === 'PLOT 12', { timeout: WAIT });
    await page.keyboard.press('Enter');
    const chosen = await showing(first);
    assert.ok(near(chosen.centre, first.centre) && chosen.outlined > 0, JSON.stringify({ chosen, first }));
    assert.match(chosen.hash, /^#[\d.]+\/[-\d.]+\/[-\d.]+&plot=PLOT%2012&zone=/);

    await page.reload({ waitUntil: 'load' });  // the address opens the same view and plot
    const reloaded = await showing(first);
    assert.ok(reloaded.hash === chosen.hash && Math.abs(reloaded.zoom - chosen.zoom) < 0.01 && near(reloaded.centre, chosen.centre));

    await page.click('#search', { clickCount: 3 });
    await page.keyboard.type('PLOT 13');
    await page.waitForFunction(() => document.querySelector('#search-results li[role=option]')?.firstChild.textContent === 'PLOT 13', { timeout: WAIT });
    await page.click('#search-results li[role=option]');
    await showing(second);
    await page.evaluate(() => history.back());
    assert.ok((await showing(first)).hash.includes('plot=PLOT%2012'));
    await page.evaluate(() => document.querySelector('.maplibregl-popup-close-button')?.click());
  });

  test('no console error, failed request or error status on the way', () => {
    assert.deepEqual(problems, []);
  });
});
