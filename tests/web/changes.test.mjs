// An open viewer follows an edit made in the database: change capture is
// installed in the database of DATABASE_URL (the SQL gisd carries), a plot is
// moved with an UPDATE, and the moved shape must be drawn without reloading
// the page. The plot is moved back and the capture removed afterwards.
//
//   GISD_URL=http://127.0.0.1:8080 DATABASE_URL=postgresql://... node --test tests/web/changes.test.mjs
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';

const require = createRequire(new URL('../../web/package.json', import.meta.url));
const puppeteer = require('puppeteer-core');

const base = process.env.GISD_URL;
const database = process.env.DATABASE_URL;
if (!base || !database) throw new Error('set GISD_URL and DATABASE_URL');
const origin = new URL(base).origin;
const sqlDir = new URL('../../api/routers/vectile/', import.meta.url).pathname;
const WAIT = 90_000;
const PLOT = 1;
const SHIFT = 12; // metres east

const psql = (...args) => execFileSync('psql', [database, '-X', '-q', '-A', '-t', '-v', 'ON_ERROR_STOP=1', ...args],
  { encoding: 'utf8', env: { ...process.env, PGOPTIONS: '-c client_min_messages=warning' } }).trim();
const move = (dx) => psql('-c', `UPDATE "PLOT" SET "GEOMETRY_3857" = ST_Translate("GEOMETRY_3857", ${dx}, 0) WHERE "ID" = ${PLOT}`);

let browser;
let page;
let profile;

// The west edge (degrees) of the plot as drawn, or null while it is not drawn.
function drawnWest() {
  return page.evaluate((id) => {
    const found = window.map.queryRenderedFeatures({ layers: ['plots-fill'], filter: ['==', ['get', 'ID'], id] });
    if (!found.length) return null;
    let west = Infinity;
    for (const f of found) for (const ring of f.geometry.coordinates.flat(f.geometry.type === 'MultiPolygon' ? 1 : 0)) for (const [lon] of ring) west = Math.min(west, lon);
    return west;
  }, PLOT);
}

describe('viewer following edits', { timeout: 4 * WAIT }, () => {
  before(async () => {
    psql('-f', path.join(sqlDir, 'changes_v3.sql'));
    // The server looks for the log every few seconds and then takes the consumer's lock.
    const deadline = Date.now() + 20_000;
    while (psql('-c', "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND granted") === '0') {
      if (Date.now() > deadline) throw new Error('no gisd process took up the change log');
      await new Promise((r) => setTimeout(r, 200));
    }
    profile = fs.mkdtempSync(path.join(os.tmpdir(), 'gisd-changes-chromium-'));
    browser = await puppeteer.launch({
      executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
      headless: true,
      userDataDir: profile,
      args: ['--no-sandbox', '--enable-unsafe-swiftshader', '--use-angle=swiftshader', '--headless=new', '--no-first-run'],
    });
    page = await browser.newPage();
    await page.setViewport({ width: 1024, height: 768 });
    await page.goto(`${origin}/`, { waitUntil: 'load', timeout: WAIT });
    // Until the viewer sets it, window.map is the map's element.
    await page.waitForFunction(() => window.map && typeof window.map.jumpTo === 'function' && window.map.loaded(), { timeout: WAIT });
    const [lon, lat] = psql('-c', `SELECT ST_X(c) || ',' || ST_Y(c) FROM (SELECT ST_Transform(ST_Centroid("GEOMETRY_3857"), 4326) c FROM "PLOT" WHERE "ID" = ${PLOT}) s`).split(',').map(Number);
    await page.evaluate((c) => window.map.jumpTo({ center: c, zoom: 18 }), [lon, lat]);
    await page.waitForFunction((id) => window.map.loaded() && window.map.queryRenderedFeatures({ layers: ['plots-fill'], filter: ['==', ['get', 'ID'], id] }).length > 0, { timeout: WAIT }, PLOT);
  });

  after(async () => {
    await browser?.close();
    if (profile) fs.rmSync(profile, { recursive: true, force: true });
    try { move(-SHIFT); } finally { psql('-f', path.join(sqlDir, 'changes_uninstall.sql')); }
  });

  test('a plot moved in the database is drawn moved, without reloading the page', async () => {
    const before = await drawnWest();
    const metresPerDegree = 111_320 * Math.cos((await page.evaluate(() => window.map.getCenter().lat)) * Math.PI / 180);
    const started = Date.now();
    move(SHIFT);
    let west = before;
    while (Date.now() - started < 5_000) {
      west = await drawnWest();
      if (west !== null && Math.abs((west - before) * metresPerDegree - SHIFT) < 2) break;
      await new Promise((r) => setTimeout(r, 50));
    }
    const took = Date.now() - started;
    console.log(`edit to drawn: ${took} ms`);
    assert.ok(west !== null && Math.abs((west - before) * metresPerDegree - SHIFT) < 2,
      `the plot's west edge moved ${((west - before) * metresPerDegree).toFixed(1)} m, not ${SHIFT} m`);
  });
});
