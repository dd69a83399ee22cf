// The torvi viewer page: depth, gray, ground-truth error and a point cloud,
// fed by the program's WebSocket (binary frames, JSON state), with the
// camera's controls. window.__viewer exposes counters for tests.
import * as THREE from 'three';
import { OrbitControls } from 'three/addons/OrbitControls.js';

const FILTERED = 65300;  // markers of the depth plane: no usable distance
const viewer = (window.__viewer = { frames: 0, latencies: [], state: null, rays: false, connected: false });
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
function paint(canvasId, w, h, fill) {
  const cv = $(canvasId);
  if (cv.width !== w || cv.height !== h) { cv.width = w; cv.height = h; }
  const ctx = cv.getContext('2d'), img = ctx.createImageData(w, h);
  for (let i = 0; i < w * h; ++i) fill(i, img.data, 4 * i);
  ctx.putImageData(img, 0, 0);
}
function drawImages(f) {
  const [a, b] = range();
  if (f.depth) paint('depth', f.w, f.h, (i, d, o) => {
    const v = f.depth[i];
    if (v === 0 || v >= FILTERED) { d[o + 3] = 255; return; }
    const [r, g, bl] = jet(Math.max(0, Math.min(1, (v - a) / (b - a))));
    d[o] = r; d[o + 1] = g; d[o + 2] = bl; d[o + 3] = 255;
  });
  if (f.gray) {
    let max = 1;
    for (let i = 0; i < f.gray.length; ++i) if (f.gray[i] > max) max = f.gray[i];
    paint('gray', f.w, f.h, (i, d, o) => {
      const g = Math.sqrt(f.gray[i] / max) * 255;
      d[o] = d[o + 1] = d[o + 2] = g; d[o + 3] = 255;
    });
  }
  $('truthfig').hidden = !f.truth;
  if (f.truth && f.depth) paint('error', f.w, f.h, (i, d, o) => {
    const v = f.depth[i], t = f.truth[i];
    d[o + 3] = 255;
    if (v === 0 || v >= FILTERED || t === 0) return;
    const e = Math.max(-1, Math.min(1, (v - t) / 20));
    d[o] = e > 0 ? 255 * e : 0; d[o + 2] = e < 0 ? -255 * e : 0; d[o + 1] = 40;
  });
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
const renderer = new THREE.WebGLRenderer({ antialias: false, preserveDrawingBuffer: true });
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
let rays = null, points = null, positions = null, colors = null;
function setRays(w, h, r) {
  rays = { w, h, r };
  viewer.rays = true;
  positions = new Float32Array(w * h * 3);
  colors = new Float32Array(w * h * 3);
  const geo = new THREE.BufferGeometry();
  geo.setAttribute('position', new THREE.BufferAttribute(positions, 3));
  geo.setAttribute('color', new THREE.BufferAttribute(colors, 3));
  if (points) scene.remove(points);
  points = new THREE.Points(geo, new THREE.PointsMaterial({ size: 2, sizeAttenuation: false, vertexColors: true }));
  scene.add(points);
}
function updateCloud(f) {
  if (!rays || !f.depth || rays.w !== f.w || rays.h !== f.h) return 0;
  const [a, b] = range(), byGray = $('cloudcolor').value === 'gray';
  let gmax = 1;
  if (byGray && f.gray) for (let i = 0; i < f.gray.length; ++i) if (f.gray[i] > gmax) gmax = f.gray[i];
  let n = 0;
  for (let i = 0; i < f.w * f.h; ++i) {
    const d = f.depth[i];
    if (d === 0 || d >= FILTERED) continue;
    const m = d / 1000;
    positions[3 * n] = rays.r[3 * i] * m; positions[3 * n + 1] = rays.r[3 * i + 1] * m; positions[3 * n + 2] = rays.r[3 * i + 2] * m;
    let c;
    if (byGray && f.gray) { const g = Math.sqrt(f.gray[i] / gmax); c = [g, g, g]; }
    else c = jet(Math.max(0, Math.min(1, (d - a) / (b - a)))).map((x) => x / 255);
    colors.set(c, 3 * n);
    ++n;
  }
  points.geometry.setDrawRange(0, n);
  points.geometry.attributes.position.needsUpdate = true;
  points.geometry.attributes.color.needsUpdate = true;
  return n;
}
function animate() { requestAnimationFrame(animate); controls.update(); renderer.render(scene, camera); }
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
  const arrival = dv.getFloat64(16, true);
  let off = 24;
  const plane = (bit) => { if (!(planes & bit)) return null; const p = new Uint16Array(buf, off, w * h); off += 2 * w * h; return p; };
  const f = { w, h, depth: plane(1), gray: plane(2), truth: plane(4) };
  last = f;
  viewer.lastFrame = f;
  drawImages(f);
  viewer.points = updateCloud(f);
  viewer.frames++;
  viewer.latencies.push(Date.now() - arrival);
  if (ws && ws.readyState === 1) ws.send('ack');
  if (viewer.latencies.length > 1000) viewer.latencies.shift();
}
function onState(s) {
  viewer.state = s;
  $('product').textContent = s.product || '';
  $('stats').textContent = `${s.fps.toFixed(1)} fps · ${s.frames} frames · discarded by camera ${s.discarded} · skipped for slow browsers ${s.skipped} · damaged ${s.damaged} · errors ${s.errors}`;
  $('values').textContent = `integration ${s.intg_us} µs · modulation ${s.mod_freq_khz ? (s.mod_freq_khz / 1000) + ' MHz' : '-'} · temperatures ${s.temp.join(' / ')} · ${s.capturing ? 'streaming' : 'stopped'}`;
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
