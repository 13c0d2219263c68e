// The cadastre viewer: the style comes from the server, the page adds the layer
// switcher, the plot colouring choice, the legend, the status bar and popups.
'use strict';

(function () {
  const LAYERS = [
    { id: 'lgas', title: 'LGAs' },
    { id: 'districts', title: 'Districts' },
    { id: 'cadzones', title: 'Cadastral zones' },
    { id: 'plots', title: 'Plots' },
    { id: 'beacons', title: 'Beacons' },
  ];
  const PLOT_FILL = 'plots-fill';
  const BEACON_CIRCLE = 'beacons-circle';
  const SELECTED_PLOT = 'plots-selected';
  const PLOT_FIELDS = [
    ['STATUS', 'Status'],
    ['GENERAL_LU', 'Land use'],
    ['DETAIL_LU', 'Detailed use'],
    ['AREA_SYSTEM', 'Area'],
    ['CADZONE', 'Cadastral zone'],
    ['file_no', 'File no.'],
  ];
  const BEACON_FIELDS = [['STATUS', 'Status'], ['REMARK', 'Remark']];

  const $ = (id) => document.getElementById(id);

  function showMessage(text) {
    $('message').textContent = text;
    $('message').hidden = false;
  }

  async function fetchJson(url) {
    const response = await fetch(url);
    if (!response.ok) throw new Error(`${url}: HTTP ${response.status}`);
    return response.json();
  }

  // The union of the layers' TileJSON bounds, or null when none is known.
  function dataBounds(tilejsons) {
    let box = null;
    for (const tj of tilejsons) {
      const b = tj && tj.bounds;
      if (!Array.isArray(b) || b.length !== 4 || !b.every(Number.isFinite)) continue;
      box = box ? [Math.min(box[0], b[0]), Math.min(box[1], b[1]), Math.max(box[2], b[2]), Math.max(box[3], b[3])] : b.slice();
    }
    return box && [[box[0], box[1]], [box[2], box[3]]];
  }

  // Labels and colours of a ["match", input, label, colour, ..., fallback] expression.
  function matchEntries(expression) {
    if (!Array.isArray(expression) || expression[0] !== 'match') return [];
    const entries = [];
    for (let i = 2; i + 1 < expression.length; i += 2) {
      const label = Array.isArray(expression[i]) ? expression[i].join(', ') : String(expression[i]);
      entries.push([label, expression[i + 1]]);
    }
    return entries;
  }

  function fillLegend(list, entries, swatchClass) {
    list.replaceChildren(...entries.map(([label, colour]) => {
      const item = document.createElement('li');
      const swatch = document.createElement('span');
      swatch.className = swatchClass;
      swatch.style.background = colour;
      const text = document.createElement('span');
      text.textContent = label;
      item.append(swatch, text);
      return item;
    }));
  }

  // The style layers that draw a layer of the tiles, its label copy included.
  function styleLayersOf(map, layer) {
    return map.getStyle().layers.filter((l) => l['source-layer'] === layer || l.source === `${layer}-labels`).map((l) => l.id);
  }

  // MapLibre Tiles are smaller than MVT; MapLibre GL JS reads them from 5.12 on.
  function mltSupported() {
    const [major, minor] = String(maplibregl.getVersion ? maplibregl.getVersion() : '0.0').split('.').map(Number);
    return major > 5 || (major === 5 && minor >= 12);
  }

  // The tile format: MLT where the browser's MapLibre reads it, unless the page's ?tiles=mvt asks for MVT.
  function tileEncoding() {
    const asked = new URLSearchParams(window.location.search).get('tiles');
    return asked === 'mvt' || !mltSupported() ? 'mvt' : 'mlt';
  }

  function buildEncodingSwitch(encoding) {
    const select = $('tile-format');
    select.append(new Option('MapLibre Tiles (MLT)', 'mlt'), new Option('Mapbox Vector Tiles (MVT)', 'mvt'));
    select.value = encoding;
    select.disabled = !mltSupported();
    select.addEventListener('change', () => {
      const url = new URL(window.location.href);
      url.searchParams.set('tiles', select.value);
      window.location.assign(url.href);
    });
  }

  // Signed area and area-weighted centroid of a polygon's rings, in degrees (a
  // fair approximation over the size of a district).
  function ringMoments(polygon) {
    let area = 0, cx = 0, cy = 0;
    for (const ring of polygon) {
      for (let i = 0, j = ring.length - 1; i < ring.length; j = i++) {
        const cross = ring[j][0] * ring[i][1] - ring[i][0] * ring[j][1];
        area += cross / 2;
        cx += (ring[j][0] + ring[i][0]) * cross / 6;
        cy += (ring[j][1] + ring[i][1]) * cross / 6;
      }
    }
    return area < 0 ? { area: -area, cx: -cx, cy: -cy } : { area, cx, cy };
  }

  // Crossings of the rings with the parallel at `lat`, in order of longitude.
  function crossings(polygon, lat) {
    const xs = [];
    for (const ring of polygon) {
      for (let i = 0, j = ring.length - 1; i < ring.length; j = i++) {
        const [x0, y0] = ring[j];
        const [x1, y1] = ring[i];
        if ((y0 <= lat) !== (y1 <= lat)) xs.push(x0 + (lat - y0) * (x1 - x0) / (y1 - y0));
      }
    }
    return xs.sort((a, b) => a - b);
  }

  function inside(polygon, [x, y]) {
    return crossings(polygon, y).filter((cx) => cx < x).length % 2 === 1;
  }

  // A point inside the polygon: the middle of its widest stretch along the parallel at `lat`.
  function pointInside(polygon, lat) {
    const xs = crossings(polygon, lat);
    let best = null;
    for (let i = 0; i + 1 < xs.length; i += 2) {
      if (!best || xs[i + 1] - xs[i] > best[1] - best[0]) best = [xs[i], xs[i + 1]];
    }
    return best ? [(best[0] + best[1]) / 2, lat] : polygon[0][0];
  }

  // One point per area from its pieces in the loaded tiles: the centroid of the
  // pieces together where it falls inside one of them, else a point inside the largest.
  function labelPoints(features) {
    const areas = new Map();
    let unnamed = 0;
    for (const f of features) {
      const p = f.properties;
      // gisd sends the row's key as the property feature_id; a feature with no key stands alone.
      // MapLibre gives MLT features without an id the id NaN, which is no key.
      const id = Number.isNaN(f.id) ? undefined : f.id;
      const key = id ?? p.feature_id ?? p.id ?? p.ID ?? `unnamed ${unnamed++}`;
      const g = f.geometry;
      const polygons = g.type === 'Polygon' ? [g.coordinates] : g.type === 'MultiPolygon' ? g.coordinates : [];
      if (!areas.has(key)) areas.set(key, { properties: f.properties, polygons: [] });
      areas.get(key).polygons.push(...polygons);
    }
    const points = [];
    for (const { properties, polygons } of areas.values()) {
      let total = 0, sx = 0, sy = 0, largest = null;
      for (const polygon of polygons) {
        const m = ringMoments(polygon);
        total += m.area;
        sx += m.cx;
        sy += m.cy;
        if (!largest || m.area > largest.m.area) largest = { polygon, m };
      }
      if (!largest || !(total > 0)) continue;
      const centroid = [sx / total, sy / total];
      const point = polygons.some((p) => inside(p, centroid))
        ? centroid
        : pointInside(largest.polygon, largest.m.area > 0 ? largest.m.cy / largest.m.area : largest.polygon[0][0][1]);
      points.push({ type: 'Feature', properties, geometry: { type: 'Point', coordinates: point } });
    }
    return { type: 'FeatureCollection', features: points };
  }

  // An area cut by tile edges would be named once in every piece. The label layers
  // the style marks "gisd:label-once" are drawn instead from one point per area,
  // worked out again whenever the map settles.
  function labelOncePerArea(map) {
    const layers = map.getStyle().layers;
    const sources = new Set();
    const minZoom = {};
    const tileSource = {};
    layers.forEach((layer, index) => {
      if (layer.type !== 'symbol' || !layer.metadata || layer.metadata['gisd:label-once'] !== true) return;
      // One set of points per layer of the tiles.
      const name = layer['source-layer'];
      const points = `${name}-labels`;
      if (!sources.has(name)) {
        sources.add(name);
        tileSource[name] = layer.source;
        map.addSource(points, { type: 'geojson', data: { type: 'FeatureCollection', features: [] } });
      }
      // Below its label layers' zooms a layer's points would go unused.
      minZoom[name] = Math.min(minZoom[name] ?? Infinity, layer.minzoom ?? 0);
      const next = layers[index + 1];
      const copy = { ...layer, source: points };
      delete copy['source-layer'];
      map.removeLayer(layer.id);
      map.addLayer(copy, next && next.id);
    });
    const shown = {};
    map.on('idle', () => {
      for (const source of sources) {
        const features = map.getZoom() >= minZoom[source] ? map.querySourceFeatures(tileSource[source], { sourceLayer: source }) : [];
        const data = labelPoints(features);
        const text = JSON.stringify(data);
        if (text !== shown[source]) {
          shown[source] = text;
          map.getSource(`${source}-labels`).setData(data);
        }
      }
    });
  }

  function buildLayerSwitcher(map, minZooms) {
    const list = $('layer-list');
    for (const { id, title } of LAYERS) {
      const item = document.createElement('li');
      item.dataset.layer = id;
      const box = document.createElement('input');
      box.type = 'checkbox';
      box.id = `layer-${id}`;
      box.checked = true;
      box.addEventListener('change', () => {
        for (const styleLayer of styleLayersOf(map, id)) {
          map.setLayoutProperty(styleLayer, 'visibility', box.checked ? 'visible' : 'none');
        }
      });
      const label = document.createElement('label');
      label.htmlFor = box.id;
      label.textContent = title;
      const minZoom = document.createElement('span');
      minZoom.className = 'min-zoom';
      minZoom.textContent = `z${minZooms[id]}+`;
      minZoom.title = `Shown from zoom ${minZooms[id]}`;
      item.append(box, label, minZoom);
      list.append(item);
    }
    const update = () => {
      for (const item of list.children) {
        item.classList.toggle('out-of-range', map.getZoom() < minZooms[item.dataset.layer]);
      }
    };
    map.on('zoom', update);
    update();
  }

  function buildColourChoice(map) {
    const metadata = (map.getLayer(PLOT_FILL).metadata || {})['gisd:fill-color-by'] || {};
    const select = $('colour-by');
    for (const [property, scheme] of Object.entries(metadata)) {
      select.append(new Option(scheme.title || property, property));
    }
    const apply = () => {
      const scheme = metadata[select.value];
      if (scheme) map.setPaintProperty(PLOT_FILL, 'fill-color', scheme['fill-color']);
      $('legend-title').textContent = scheme ? scheme.title : 'Legend';
      fillLegend($('legend'), matchEntries(map.getPaintProperty(PLOT_FILL, 'fill-color')), 'swatch');
    };
    select.addEventListener('change', apply);
    apply();
    fillLegend($('beacon-legend'), matchEntries(map.getPaintProperty(BEACON_CIRCLE, 'circle-color')), 'swatch dot');
  }

  function addBasemap(map, config) {
    if (!config || typeof config.basemap_url !== 'string' || config.basemap_url === '') return;
    map.addSource('basemap', {
      type: 'raster',
      tiles: [config.basemap_url],
      tileSize: 256,
      maxzoom: 19,
      attribution: typeof config.basemap_attribution === 'string' ? config.basemap_attribution : '',
    });
    // Under every vector layer, above the background.
    const firstVector = map.getStyle().layers.find((l) => l.type !== 'background');
    map.addLayer({ id: 'basemap', type: 'raster', source: 'basemap' }, firstVector && firstVector.id);
  }

  function formatValue(key, value) {
    if (value === undefined || value === null || value === '') return '—';
    if (key === 'AREA_SYSTEM' && Number.isFinite(Number(value))) {
      return `${Number(value).toLocaleString('en', { maximumFractionDigits: 2 })} m²`;
    }
    return String(value);
  }

  function popupContent(title, properties, fields) {
    const root = document.createElement('div');
    root.className = 'popup';
    const heading = document.createElement('h3');
    heading.textContent = title;
    const table = document.createElement('table');
    for (const [key, label] of fields) {
      const row = table.insertRow();
      const th = document.createElement('th');
      th.textContent = label;
      const td = document.createElement('td');
      td.textContent = formatValue(key, properties[key]);
      row.append(th, td);
    }
    root.append(heading, table);
    return root;
  }

  function plotPopup(properties) {
    const root = popupContent(String(properties.PLOT_NO ?? 'Plot'), properties, PLOT_FIELDS);
    if (properties.PLOT_NO !== undefined && properties.PLOT_NO !== null) {
      const links = document.createElement('div');
      links.className = 'plan-links';
      links.append('Survey plan:');
      // Plot numbers repeat from zone to zone: the zone picks the plot.
      const zone = properties.CADZONE ? `?zone=${encodeURIComponent(properties.CADZONE)}` : '';
      for (const [format, title] of [['png', 'PNG'], ['pdf', 'PDF']]) {
        const link = document.createElement('a');
        link.className = 'plan-link';
        link.href = `/plans/${encodeURIComponent(properties.PLOT_NO)}.${format}${zone}`;
        link.target = '_blank';
        link.rel = 'noopener';
        link.textContent = title;
        link.title = format === 'pdf' ? 'A4 page at true scale, to print or file' : '300-dpi image';
        links.append(' ', link);
      }
      root.append(links);
    }
    return root;
  }

  // The view and the selected plot live in the address bar, as
  // #zoom/lat/lon&plot=NUMBER&zone=ZONE: a link opens the same view with the
  // same plot selected. Moving the map replaces the entry; selecting a plot
  // adds one, so that the back button steps through selections.
  function hashOf(map, selected) {
    const c = map.getCenter();
    let hash = `#${map.getZoom().toFixed(2)}/${c.lat.toFixed(6)}/${c.lng.toFixed(6)}`;
    if (selected) hash += `&plot=${encodeURIComponent(selected.plotNo)}&zone=${encodeURIComponent(selected.zone ?? '')}`;
    return hash;
  }

  function parseHash(hash) {
    const m = /^#(-?\d+(?:\.\d+)?)\/(-?\d+(?:\.\d+)?)\/(-?\d+(?:\.\d+)?)(?:&(.*))?$/.exec(hash || '');
    if (!m) return null;
    const [zoom, lat, lng] = [Number(m[1]), Number(m[2]), Number(m[3])];
    if (!(Math.abs(lat) <= 90 && Math.abs(lng) <= 180 && zoom >= 0 && zoom <= 24)) return null;
    const params = new URLSearchParams(m[4] || '');
    const plotNo = params.get('plot');
    return { zoom, center: [lng, lat], selected: plotNo ? { plotNo, zone: params.get('zone') || null } : null };
  }

  // A point inside a rendered polygon feature, for a popup.
  function featurePoint(feature) {
    const g = feature.geometry;
    const polygons = g.type === 'Polygon' ? [g.coordinates] : g.type === 'MultiPolygon' ? g.coordinates : [];
    let largest = null;
    for (const polygon of polygons) {
      const m = ringMoments(polygon);
      if (!largest || m.area > largest.m.area) largest = { polygon, m };
    }
    if (!largest || !(largest.m.area > 0)) return null;
    const centroid = [largest.m.cx / largest.m.area, largest.m.cy / largest.m.area];
    return inside(largest.polygon, centroid) ? centroid : pointInside(largest.polygon, centroid[1]);
  }

  function plotFilter(selected) {
    const filter = ['all', ['==', ['get', 'PLOT_NO'], selected.plotNo]];
    if (selected.zone) filter.push(['==', ['get', 'CADZONE'], selected.zone]);
    return filter;
  }

  function settled(map) {
    return new Promise((resolve) => {
      const check = () => (map.loaded() && !map.isMoving() ? resolve() : map.once('idle', check));
      setTimeout(check, 0);
    });
  }

  function createSelection(map, popup) {
    let selected = null;
    let token = 0;
    const outline = () => {
      if (!map.getLayer(SELECTED_PLOT)) return;
      map.setFilter(SELECTED_PLOT, selected ? plotFilter(selected) : ['==', ['get', 'PLOT_NO'], '\u0000']);
    };
    return {
      get: () => selected,
      outline,
      // Selects a plot (or nothing), outlines it and, once the map has drawn
      // it, opens its popup (at `at`, or inside the drawn plot).
      async set(next, { push = false, at = null } = {}) {
        selected = next;
        const mine = ++token;
        outline();
        if (push) history.pushState(null, '', hashOf(map, selected));
        else history.replaceState(null, '', hashOf(map, selected));
        if (!selected) {
          popup.remove();
          return;
        }
        await settled(map);
        if (mine !== token) return;
        const features = map.getLayer(PLOT_FILL) ? map.queryRenderedFeatures({ layers: [PLOT_FILL], filter: plotFilter(selected) }) : [];
        if (!features.length) return;
        const point = at || featurePoint(features[0]);
        if (point) popup.setLngLat(point).setDOMContent(plotPopup(features[0].properties)).addTo(map);
      },
    };
  }

  const LAYER_TITLES = { plots: 'Plot', beacons: 'Beacon', cadzones: 'Cadastral zone' };

  // The search box: results as one types (debounced, the latest query wins),
  // Enter takes the first, choosing one flies there and selects it.
  function wireSearch(map, popup, selection, minZooms) {
    const input = $('search');
    const list = $('search-results');
    let shown = { q: null, results: [] };
    let asked = 0;
    let timer = null;

    const find = async (q) => {
      const mine = ++asked;
      const answer = await fetchJson(`/search?q=${encodeURIComponent(q)}&limit=8`);
      return mine === asked ? answer.results : null;
    };

    const show = (q, results) => {
      shown = { q, results };
      list.replaceChildren(...results.map((r) => {
        const item = document.createElement('li');
        item.setAttribute('role', 'option');
        item.append(r.label);
        const hint = document.createElement('span');
        hint.className = 'hint';
        const parts = [LAYER_TITLES[r.layer] || r.layer];
        if (r.zone && r.layer !== 'cadzones') parts.push(`zone ${r.zone}`);
        if (r.matched === 'file_no' && r.file_no) parts.push(`file ${r.file_no}`);
        hint.textContent = parts.join(' · ');
        item.append(hint);
        item.addEventListener('mousedown', (e) => { e.preventDefault(); choose(r); });
        return item;
      }));
      if (!results.length) {
        const none = document.createElement('li');
        none.className = 'empty';
        none.textContent = 'Nothing found';
        list.append(none);
      }
      list.hidden = false;
    };

    const run = async () => {
      const q = input.value.trim();
      if (!q || q.length > 100) {
        list.hidden = true;
        shown = { q: null, results: [] };
        return null;
      }
      try {
        const results = await find(q);
        if (results && input.value.trim() === q) show(q, results);
        return results;
      } catch (e) {
        console.warn(e.message);
        return null;
      }
    };

    const choose = async (r) => {
      list.hidden = true;
      input.blur();
      const [w, s, e, n] = r.bbox;
      const camera = map.cameraForBounds([[w, s], [e, n]], { padding: 60, maxZoom: r.layer === 'cadzones' ? 17 : 19 });
      // A plot or beacon is only drawn from its layer's minimum zoom.
      const floor = r.layer === 'cadzones' ? 0 : (minZooms[r.layer] ?? 0) + 1;
      const zoom = Math.max(camera ? camera.zoom : 18, floor);
      if (r.layer === 'plots') {
        const next = { plotNo: r.label, zone: r.zone };
        map.flyTo({ center: r.centre, zoom, essential: true });
        await selection.set(next, { push: true, at: r.centre });
        return;
      }
      map.flyTo({ center: r.centre, zoom, essential: true });
      await settled(map);
      if (r.layer === 'beacons' && map.getLayer(BEACON_CIRCLE)) {
        const p = map.project(r.centre);
        const beacon = map.queryRenderedFeatures([[p.x - 4, p.y - 4], [p.x + 4, p.y + 4]], { layers: [BEACON_CIRCLE] })
          .find((f) => f.properties.BEACON_NO === r.label);
        if (beacon) popup.setLngLat(r.centre).setDOMContent(popupContent(r.label, beacon.properties, BEACON_FIELDS)).addTo(map);
      }
    };

    input.addEventListener('input', () => {
      clearTimeout(timer);
      timer = setTimeout(run, 200);
    });
    input.addEventListener('keydown', async (e) => {
      if (e.key === 'Escape') {
        list.hidden = true;
        return;
      }
      if (e.key !== 'Enter') return;
      e.preventDefault();
      clearTimeout(timer);
      const q = input.value.trim();
      const results = shown.q === q ? shown.results : await run();
      if (results && results.length) choose(results[0]);
    });
    input.addEventListener('blur', () => { setTimeout(() => { list.hidden = true; }, 150); });
    input.addEventListener('focus', () => { if (shown.q && shown.q === input.value.trim()) list.hidden = false; });
  }

  function wireInteraction(map, popup, selection) {
    map.on('click', (e) => {
      // A beacon sits on plot corners, so it wins when the click is that close to one.
      const near = [[e.point.x - 4, e.point.y - 4], [e.point.x + 4, e.point.y + 4]];
      const beacon = map.getLayer(BEACON_CIRCLE) && map.queryRenderedFeatures(near, { layers: [BEACON_CIRCLE] })[0];
      if (beacon) {
        popup.setLngLat(e.lngLat)
          .setDOMContent(popupContent(String(beacon.properties.BEACON_NO ?? 'Beacon'), beacon.properties, BEACON_FIELDS))
          .addTo(map);
        return;
      }
      const plot = map.queryRenderedFeatures(e.point, { layers: [PLOT_FILL] })[0];
      if (plot) {
        selection.set({ plotNo: String(plot.properties.PLOT_NO), zone: plot.properties.CADZONE ?? null },
          { push: true, at: e.lngLat.toArray() });
      } else if (selection.get()) {
        selection.set(null, { push: true });
      } else {
        popup.remove();
      }
    });
    for (const layer of [PLOT_FILL, BEACON_CIRCLE]) {
      map.on('mouseenter', layer, () => { map.getCanvas().style.cursor = 'pointer'; });
      map.on('mouseleave', layer, () => { map.getCanvas().style.cursor = ''; });
    }

    const showZoom = () => { $('zoom').textContent = map.getZoom().toFixed(2); };
    map.on('zoom', showZoom);
    showZoom();
    map.on('mousemove', (e) => {
      $('lon').textContent = e.lngLat.lng.toFixed(6);
      $('lat').textContent = e.lngLat.lat.toFixed(6);
    });
    map.getCanvasContainer().addEventListener('mouseleave', () => {
      $('lon').textContent = '–';
      $('lat').textContent = '–';
    });
  }

  // Edits made in the database: the server announces each change once its
  // tiles are purged, and the tiles inside the change's box are fetched
  // again. Their URLs then carry a version from the change's number (v=,
  // which the server ignores), so the browser's cached copies are passed by.
  const recentChanges = [];
  const MAX_REFRESHED_TILES = 512;

  function tileOf(lon, lat, z) {
    const n = 2 ** z;
    const clampedLat = Math.max(-85.0511, Math.min(85.0511, lat));
    const r = (clampedLat * Math.PI) / 180;
    const x = Math.floor(((lon + 180) / 360) * n);
    const y = Math.floor(((1 - Math.log(Math.tan(r) + 1 / Math.cos(r)) / Math.PI) / 2) * n);
    return [Math.max(0, Math.min(n - 1, x)), Math.max(0, Math.min(n - 1, y))];
  }

  function tileBox(z, x, y) {
    const n = 2 ** z;
    const lat = (t) => (Math.atan(Math.sinh(Math.PI * (1 - (2 * t) / n))) * 180) / Math.PI;
    return [(x / n) * 360 - 180, lat(y + 1), ((x + 1) / n) * 360 - 180, lat(y)];
  }

  const meets = (a, b) => a[0] <= b[2] && b[0] <= a[2] && a[1] <= b[3] && b[1] <= a[3];

  // The newest change that reaches a tile URL, or 0.
  function tileVersion(pathname) {
    // A layer's own tile, or a composite tile of several layers.
    const m = /\/gis\/(?:tiles\/)?([^/]+)\/(\d+)\/(\d+)\/(\d+)\.(?:pbf|mlt)$/.exec(pathname);
    if (!m) return 0;
    const layers = m[1].split(',');
    const box = tileBox(Number(m[2]), Number(m[3]), Number(m[4]));
    let version = 0;
    for (const c of recentChanges) {
      if (layers.includes(c.layer) && (c.whole || meets(c.bbox, box))) version = Math.max(version, c.id);
    }
    return version;
  }

  function transformRequest(url, resourceType) {
    const absolute = new URL(url, window.location.href);
    if (resourceType === 'Tile') {
      const version = tileVersion(absolute.pathname);
      if (version) absolute.searchParams.set('v', String(version));
    }
    return { url: absolute.href };
  }

  // The tiles of the box around the zoom on screen; null when too many to name.
  function tilesIn(bbox, map) {
    const zoom = map.getZoom();
    const ids = [];
    for (let z = Math.max(0, Math.floor(zoom) - 2); z <= Math.min(22, Math.ceil(zoom) + 1); z += 1) {
      const [x0, y0] = tileOf(bbox[0], bbox[3], z);
      const [x1, y1] = tileOf(bbox[2], bbox[1], z);
      if ((x1 - x0 + 1) * (y1 - y0 + 1) + ids.length > MAX_REFRESHED_TILES) return null;
      for (let x = x0; x <= x1; x += 1) for (let y = y0; y <= y1; y += 1) ids.push({ z, x, y });
    }
    return ids;
  }

  function followChanges(map) {
    if (!window.EventSource) return;
    const events = new EventSource('/gis/changes');
    events.addEventListener('change', (e) => {
      const change = JSON.parse(e.data);
      // The second announcement concerns the centroid document only: the tiles
      // came fresh with the first.
      if (change.settled) return;
      recentChanges.push(change);
      if (recentChanges.length > 1000) recentChanges.shift();
      // The sources that draw the changed layer (one composite source, or the layer's own).
      const sources = new Set(map.getStyle().layers.filter((l) => l['source-layer'] === change.layer).map((l) => l.source));
      if (sources.size === 0) return;
      const ids = change.whole ? null : tilesIn(change.bbox, map);
      for (const source of sources) {
        if (ids) map.refreshTiles(source, ids);
        else map.refreshTiles(source);
      }
      window.gisdChanges = (window.gisdChanges || 0) + 1;
    });
  }

  async function start() {
    const encoding = tileEncoding();
    const layerList = LAYERS.map(({ id }) => id).join(',');
    // One TileJSON for every layer: the extent of them all, and each layer's zoom range.
    const [config, tilejson] = await Promise.all([
      fetchJson('/viewer/config.json').catch((e) => { console.warn(e.message); return null; }),
      fetchJson(`/gis/tiles/${layerList}/tilejson.json`).catch((e) => { console.warn(e.message); return null; }),
    ]);
    const minZooms = {};
    const described = Object.fromEntries(((tilejson && tilejson.vector_layers) || []).map((l) => [l.id, l]));
    LAYERS.forEach(({ id }) => { minZooms[id] = described[id] && Number.isFinite(described[id].minzoom) ? described[id].minzoom : 0; });
    const bounds = dataBounds([tilejson]);
    const wide = window.innerWidth > 700;
    const linked = parseHash(window.location.hash);

    const map = new maplibregl.Map({
      container: 'map',
      style: encoding === 'mlt' ? '/gis/style.json?encoding=mlt' : '/gis/style.json',
      ...(linked
        ? { center: linked.center, zoom: linked.zoom }
        : bounds
        ? { bounds, fitBoundsOptions: { padding: { top: 30, bottom: 40, right: 30, left: wide ? 250 : 30 } } }
        : { center: [0, 0], zoom: 1 }),
      maxZoom: 21,
      // Tile and glyph URLs reach MapLibre's workers, which cannot resolve paths
      // against the page: every request goes out as an absolute URL.
      transformRequest,
    });
    window.map = map;
    if (!bounds) showMessage('The layers gave no extent: showing the whole world.');

    map.addControl(new maplibregl.NavigationControl({ visualizePitch: false }), 'top-right');
    map.addControl(new maplibregl.ScaleControl({ unit: 'metric' }), 'bottom-right');
    const popup = new maplibregl.Popup({ maxWidth: '320px', focusAfterOpen: false });
    const selection = createSelection(map, popup);
    // The controls need the style, not its tiles: one slow tile must not hold them back.
    buildEncodingSwitch(encoding);
    map.once('style.load', () => {
      addBasemap(map, config);
      labelOncePerArea(map);
      buildLayerSwitcher(map, minZooms);
      buildColourChoice(map);
      // The plots come from whichever source the style draws them from (one composite source).
      const plotsLayer = map.getStyle().layers.find((l) => l['source-layer'] === 'plots');
      if (plotsLayer) {
        map.addLayer({
          id: SELECTED_PLOT, type: 'line', source: plotsLayer.source, 'source-layer': 'plots',
          paint: { 'line-color': '#0077ff', 'line-width': 3 },
          filter: ['==', ['get', 'PLOT_NO'], '\u0000'],
        });
      }
      selection.set(linked ? linked.selected : null);
    });
    wireInteraction(map, popup, selection);
    wireSearch(map, popup, selection, minZooms);
    map.on('moveend', () => history.replaceState(null, '', hashOf(map, selection.get())));
    window.addEventListener('popstate', () => {
      const state = parseHash(window.location.hash);
      if (!state) return;
      map.jumpTo({ center: state.center, zoom: state.zoom });
      selection.set(state.selected);
    });
    followChanges(map);
  }

  start().catch((e) => {
    console.error(e);
    showMessage(`The map could not start: ${e.message}`);
  });
})();
