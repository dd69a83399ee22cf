// The torvi viewer page: depth, gray, ground-truth error and a point cloud,
// fed by the program's WebSocket (binary frames, JSON state), with the
// camera's controls. window.__viewer exposes counters for tests.
import * as THREE from 'three';
import { OrbitControls } from 'three/addons/OrbitControls.js';

const FILTERED = 65300;  // markers of the depth plane: no usable distance
const KEEP = 1000;  // latencies and stage times kept for tests
// stages: per drawn frame, ms: [decode on the server, server to page, images, point cloud]
const viewer = (window.__viewer = { frames: 0, latencies: [], stages: [], state: null, rays: false, connected: false });
const $ = (id) => document.getElementById(id);

// ---- colour map: blue (near) to red (far) over the chosen range ----
function jet(t) {
  const c = (x) => Math.max(0, Math.min(1, x));
  return [c(1.5 - Math.abs(4 * t - 3)) * 255, c(1.5 - Math.abs(4 * t - 2)) * 255,
          c(1.5 - Math.abs(4 * t - 1)) * 255];
}
viewer.colour = jet;
const range = () => {
  let a = parseFloat($('rmin').value) * 1000, b = parseFloat($('rmax').value) * 1000;
  if (!(b > a)) b = a + 1;
  return [a, b];
};
// The colour of every depth code (mm) as RGBA bytes, for the chosen range:
// drawing a pixel is one look-up. Built again only when the range changes.
const depthLut = new Uint32Array(65536), depthLut8 = new Uint8Array(depthLut.buffer);
let lutFor = '';
function depthColours() {
  const [a, b] = range();
  if (lutFor === a + ' ' + b) return depthLut;
  lutFor = a + ' ' + b;
  for (let v = 0; v < 65536; ++v) {
    const o = 4 * v;
    depthLut8[o + 3] = 255;
    if (v === 0 || v >= FILTERED) { depthLut8[o] = depthLut8[o + 1] = depthLut8[o + 2] = 0; continue; }
    const [r, g, bl] = jet(Math.max(0, Math.min(1, (v - a) / (b - a))));
    depthLut8[o] = Math.round(r); depthLut8[o + 1] = Math.round(g); depthLut8[o + 2] = Math.round(bl);
  }
  return depthLut;
}
// Opaque gray levels 0..255 as RGBA pixels.
const grayLut = new Uint32Array(256);
{
  const g8 = new Uint8Array(grayLut.buffer);
  for (let g = 0; g < 256; ++g) { g8[4 * g] = g8[4 * g + 1] = g8[4 * g + 2] = g; g8[4 * g + 3] = 255; }
}
const grayMax = (gray) => {
  let max = 1;
  for (let i = 0; i < gray.length; ++i) if (gray[i] > max) max = gray[i];
  return max;
};
function drawColorbar() {
  const cv = $('colorbar'), ctx = cv.getContext('2d'), img = ctx.createImageData(cv.width, cv.height);
  for (let x = 0; x < cv.width; ++x) {
    const [r, g, b] = jet(x / (cv.width - 1));
    for (let y = 0; y < cv.height; ++y) img.data.set([r, g, b, 255], 4 * (y * cv.width + x));
  }
  ctx.putImageData(img, 0, 0);
  const [a, b] = range();
  $('bmin').textContent = (a / 1000).toFixed(2) + ' m';
  $('bmax').textContent = (b / 1000).toFixed(2) + ' m';
}
$('rmin').onchange = $('rmax').onchange = drawColorbar;
drawColorbar();

// ---- images ----
let last = null;  // {w, h, depth, gray, truth}
// Each canvas keeps its ImageData; its pixels are written as 32-bit words.
const targets = {};
function target(canvasId, w, h) {
  let t = targets[canvasId];
  if (!t || t.w !== w || t.h !== h) {
    const cv = $(canvasId);
    cv.width = w; cv.height = h;
    // Kept in main memory: the pixels come from here, and a canvas on the
    // GPU would make the page wait for the GPU at every frame.
    const ctx = cv.getContext('2d', { willReadFrequently: true }), img = ctx.createImageData(w, h);
    t = targets[canvasId] = { w, h, ctx, img, px: new Uint32Array(img.data.buffer) };
  }
  return t;
}
// Error colours: blue too near, red too far, ±20 mm full scale, in 1 mm steps.
const errorLut = new Uint32Array(41), NOERROR = 20;
{
  const e8 = new Uint8Array(errorLut.buffer);
  for (let k = 0; k <= 40; ++k) {
    const e = (k - 20) / 20;
    e8[4 * k] = e > 0 ? Math.round(255 * e) : 0; e8[4 * k + 1] = 40; e8[4 * k + 2] = e < 0 ? Math.round(-255 * e) : 0; e8[4 * k + 3] = 255;
  }
}
const black = new Uint32Array(new Uint8Array([0, 0, 0, 255]).buffer)[0];
function drawImages(f) {
  const n = f.w * f.h;
  if (f.depth) {
    const t = target('depth', f.w, f.h), px = t.px, lut = depthColours(), d = f.depth;
    for (let i = 0; i < n; ++i) px[i] = lut[d[i]];
    t.ctx.putImageData(t.img, 0, 0);
  }
  if (f.gray) {
    const t = target('gray', f.w, f.h), px = t.px, g = f.gray, k = 1 / grayMax(g);
    for (let i = 0; i < n; ++i) px[i] = grayLut[(Math.sqrt(g[i] * k) * 255 + 0.5) | 0];
    t.ctx.putImageData(t.img, 0, 0);
  }
  $('truthfig').hidden = !f.truth;
  if (f.truth && f.depth) {
    const t = target('error', f.w, f.h), px = t.px, d = f.depth, tr = f.truth;
    for (let i = 0; i < n; ++i) {
      const v = d[i], tv = tr[i];
      if (v === 0 || v >= FILTERED || tv === 0) { px[i] = black; continue; }
      const e = v - tv;
      px[i] = errorLut[e <= -20 ? 0 : e >= 20 ? 40 : e + NOERROR];
    }
    t.ctx.putImageData(t.img, 0, 0);
  }
}
for (const id of ['depth', 'gray', 'error']) {
  $(id).addEventListener('mousemove', (ev) => {
    if (!last) return;
    const r = ev.target.getBoundingClientRect();
    const u = Math.floor((ev.clientX - r.left) * last.w / r.width), v = Math.floor((ev.clientY - r.top) * last.h / r.height);
    if (u < 0 || v < 0 || u >= last.w || v >= last.h) return;
    const i = v * last.w + u, d = last.depth ? last.depth[i] : 0;
    const dist = !d || d >= FILTERED ? (d === 65500 ? 'invalid' : d ? 'filtered' : '-') : (d / 1000).toFixed(3) + ' m';
    $('cursor').textContent = `pixel (${u}, ${v})  distance ${dist}  amplitude ${last.gray ? last.gray[i] : '-'}` +
      (last.truth ? `  truth ${(last.truth[i] / 1000).toFixed(3)} m` : '');
  });
}

// ---- point cloud ----
const cloudDiv = $('cloud');
// The drawing buffer is not kept after it is shown: keeping it costs a copy of
// every drawn scene.
const renderer = new THREE.WebGLRenderer({ antialias: false, preserveDrawingBuffer: false });
renderer.setPixelRatio(1);
renderer.setSize(cloudDiv.clientWidth || 640, cloudDiv.clientHeight || 560);
cloudDiv.appendChild(renderer.domElement);
const scene = new THREE.Scene();
const camera = new THREE.PerspectiveCamera(60, (cloudDiv.clientWidth || 640) / (cloudDiv.clientHeight || 560), 0.01, 100);
camera.position.set(0, 0, -0.5);
camera.up.set(0, -1, 0);
const controls = new OrbitControls(camera, renderer.domElement);
controls.target.set(0, 0, 1.5);
controls.update();
// The scene is drawn again only when something in it changed: a new
// cloud, or the view moved. Drawing it in software costs a lot of CPU.
let sceneChanged = true;
controls.addEventListener('change', () => { sceneChanged = true; });
let rays = null, points = null, positions = null, colors = null;
function setRays(w, h, r) {
  rays = { w, h, r };
  viewer.rays = true;
  positions = new Float32Array(w * h * 3);
  colors = new Uint8Array(w * h * 3);
  const geo = new THREE.BufferGeometry();
  geo.setAttribute('position', new THREE.BufferAttribute(positions, 3));
  geo.setAttribute('color', new THREE.BufferAttribute(colors, 3, true));
  if (points) { scene.remove(points); points.geometry.dispose(); points.material.dispose(); }
  points = new THREE.Points(geo, new THREE.PointsMaterial({ size: 2, sizeAttenuation: false, vertexColors: true }));
  scene.add(points);
  sceneChanged = true;
}
function updateCloud(f) {
  if (!rays || !f.depth || rays.w !== f.w || rays.h !== f.h) return 0;
  depthColours();  // brings depthLut8 to the chosen range
  const lut8 = depthLut8, byGray = f.gray && $('cloudcolor').value === 'gray';
  const d = f.depth, g = f.gray, r = rays.r, pos = positions, col = colors, n = f.w * f.h;
  const k = byGray ? 1 / grayMax(g) : 0;
  let o = 0;  // next free float of the compacted arrays
  for (let i = 0, j = 0; i < n; ++i, j += 3) {
    const v = d[i];
    if (v === 0 || v >= FILTERED) continue;
    const m = v / 1000;
    pos[o] = r[j] * m; pos[o + 1] = r[j + 1] * m; pos[o + 2] = r[j + 2] * m;
    if (byGray) {
      col[o] = col[o + 1] = col[o + 2] = (Math.sqrt(g[i] * k) * 255 + 0.5) | 0;
    } else {
      const c = 4 * v;
      col[o] = lut8[c]; col[o + 1] = lut8[c + 1]; col[o + 2] = lut8[c + 2];
    }
    o += 3;
  }
  const geo = points.geometry;
  geo.setDrawRange(0, o / 3);
  for (const name of ['position', 'color']) {
    const a = geo.attributes[name];
    a.clearUpdateRanges();
    if (o > 0) a.addUpdateRange(0, o);  // only the points in use go to the GPU
    a.needsUpdate = true;
  }
  sceneChanged = true;
  return o / 3;
}
function animate() {
  requestAnimationFrame(animate);
  if (!sceneChanged) return;
  sceneChanged = false;
  renderer.render(scene, camera);
}
animate();

// ---- messages ----
function onBinary(buf) {
  const dv = new DataView(buf), magic = String.fromCharCode(...new Uint8Array(buf, 0, 4));
  if (magic === 'TVR1') {
    const w = dv.getUint16(4, true), h = dv.getUint16(6, true);
    setRays(w, h, new Float32Array(buf, 8, w * h * 3));
    return;
  }
  if (magic !== 'TVF1') return;
  const w = dv.getUint16(8, true), h = dv.getUint16(10, true), planes = dv.getUint32(12, true);
  const arrival = dv.getFloat64(16, true), decoded = dv.getFloat64(24, true);
  const received = Date.now(), t0 = performance.now();
  let off = 32;
  const plane = (bit) => { if (!(planes & bit)) return null; const p = new Uint16Array(buf, off, w * h); off += 2 * w * h; return p; };
  const f = { w, h, depth: plane(1), gray: plane(2), truth: plane(4) };
  last = f;
  viewer.lastFrame = f;
  viewer.frames++;
  // A page nobody sees draws nothing; it draws the latest frame when shown.
  if (!document.hidden) {
    drawImages(f);
    const t1 = performance.now();
    viewer.points = updateCloud(f);
    const t2 = performance.now();
    keep(viewer.latencies, Date.now() - arrival);
    keep(viewer.stages, [decoded - arrival, received - decoded, t1 - t0, t2 - t1]);
  }
  if (ws && ws.readyState === 1) ws.send('ack');
}
function keep(list, value) {
  list.push(value);
  if (list.length > KEEP) list.shift();
}
document.addEventListener('visibilitychange', () => {
  if (document.hidden || !last) return;
  drawImages(last);
  viewer.points = updateCloud(last);
});
function onState(s) {
  viewer.state = s;
  $('product').textContent = s.product || '';
  $('stats').textContent = `${s.fps.toFixed(1)} fps · ${s.frames} frames · discarded by camera ${s.discarded} · skipped for slow browsers ${s.skipped} · damaged ${s.damaged} · errors ${s.errors}`;
  $('values').textContent = `integration ${s.intg_us} µs · modulation ${s.mod_freq_khz ? (s.mod_freq_khz / 1000) + ' MHz' : '-'} · temperatures ${s.temp_c ? `sensor ${s.temp_c[0].toFixed(1)} °C, board ${s.temp_c[1].toFixed(1)} °C` : '-'} · ${s.capturing ? 'streaming' : 'stopped'}`;
  const msg = s.message || (viewer.connected ? '' : 'connection to the viewer lost');
  $('banner').hidden = !msg;
  $('banner').textContent = msg;
  $('reply').textContent = s.reply || '';
  const modes = [36000, 24000, 12000, 6000, 3000, 1500, 750], m = modes.indexOf(s.mod_freq_khz);
  if (m >= 0 && document.activeElement !== $('freq')) $('freq').value = String(m);
  $('virtual').hidden = !s.virtual;
  const box = $('filters');
  if (!box.childElementCount) {
    for (const f of s.filters) {
      if (f.id === 3) continue;
      const l = document.createElement('label'); l.className = 'row'; l.style.display = 'block';
      const cb = document.createElement('input'); cb.type = 'checkbox'; cb.id = 'filter' + f.id;
      cb.onchange = () => send({ cmd: 'filter', id: f.id, on: cb.checked });
      l.append(cb, ' ' + f.name);
      box.append(l);
    }
  }
  for (const f of s.filters) { const cb = $('filter' + f.id); if (cb && document.activeElement !== cb) cb.checked = f.on; }
}

let ws = null;
function send(obj) { if (ws && ws.readyState === 1) ws.send(JSON.stringify(obj)); }
function connect() {
  ws = new WebSocket(`ws://${location.host}/ws`);
  ws.binaryType = 'arraybuffer';
  ws.onopen = () => { viewer.connected = true; };
  ws.onmessage = (ev) => { if (typeof ev.data === 'string') onState(JSON.parse(ev.data)); else onBinary(ev.data); };
  ws.onclose = () => {
    viewer.connected = false;
    $('banner').hidden = false;
    $('banner').textContent = 'connection to the viewer lost: is torvi view still running? retrying…';
    setTimeout(connect, 1000);
  };
}
connect();

// ---- controls ----
const num = (id) => parseFloat($(id).value);
$('start').onclick = () => send({ cmd: 'start' });
$('stop').onclick = () => send({ cmd: 'stop' });
$('setintg').onclick = () => send({ cmd: 'intg', us: num('intg') });
$('freq').onchange = () => send({ cmd: 'freq', mode: parseInt($('freq').value, 10) });
$('setwall').onclick = () => send({ cmd: 'wall', mm: num('wall') });
$('sphere').onclick = () => send({ cmd: 'sphere', x: (Math.random() - 0.5) * 600, y: (Math.random() - 0.5) * 400, z: 900, r: 150 });
$('box').onclick = () => send({ cmd: 'box' });
$('clear').onclick = () => send({ cmd: 'clear' });
$('setnoise').onclick = () => send({ cmd: 'noise', lsb: num('noise') });
$('unplug').onclick = () => send({ cmd: 'unplug' });
$('plug').onclick = () => send({ cmd: 'plug' });
function download(name, blob) {
  const a = document.createElement('a'); a.href = URL.createObjectURL(blob); a.download = name; a.click();
  setTimeout(() => URL.revokeObjectURL(a.href), 1000);
}
$('snappng').onclick = () => $('depth').toBlob((b) => download('depth.png', b));
$('snapply').onclick = () => {
  if (!points) return;
  const n = points.geometry.drawRange.count;
  let s = `ply\nformat ascii 1.0\nelement vertex ${n}\nproperty float x\nproperty float y\nproperty float z\nend_header\n`;
  for (let i = 0; i < n; ++i) s += `${positions[3 * i]} ${positions[3 * i + 1]} ${positions[3 * i + 2]}\n`;
  download('cloud.ply', new Blob([s], { type: 'text/plain' }));
};
