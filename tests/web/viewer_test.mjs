// The viewer in a real browser: Debian's chromium, headless, off the network.
// Usage: node viewer_test.mjs URL   (a `torvi view --virtual` serving URL)
// Exits non-zero on the first failed check; prints the frame latency.
import { chromium } from 'playwright-core';
import assert from 'node:assert/strict';

const url = process.argv[2];
// Generous: the page renders in software and the machine may be busy.
const deadline = { timeout: 90000 };
const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-quic', '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync', '--use-angle=swiftshader',
         '--enable-unsafe-swiftshader'],
});
let passed = 0;
async function check(name, fn) {
  const start = Date.now();
  try { await fn(); ++passed; console.log(`ok - ${name} (${((Date.now() - start) / 1000).toFixed(1)} s)`); }
  catch (e) { console.log(`not ok - ${name}\n  ${e.stack || e}`); await browser.close(); process.exit(1); }
}

// Decodes a screenshot (PNG) in the page and returns its RGBA pixels. They
// come back as base64 text: a plain array of a million numbers takes the
// busy machine seconds to pass.
async function pixelsOf(page, png) {
  const p = await page.evaluate(async (b64) => {
    const img = new Image();
    img.src = 'data:image/png;base64,' + b64;
    await img.decode();
    const c = document.createElement('canvas');
    c.width = img.width; c.height = img.height;
    const ctx = c.getContext('2d');
    ctx.drawImage(img, 0, 0);
    const data = ctx.getImageData(0, 0, c.width, c.height).data;
    let bin = '';
    for (let i = 0; i < data.length; i += 8192) bin += String.fromCharCode(...data.subarray(i, i + 8192));
    return { w: c.width, h: c.height, data: btoa(bin) };
  }, png.toString('base64'));
  return { w: p.w, h: p.h, data: Buffer.from(p.data, 'base64') };
}
const at = (p, x, y) => p.data.slice(4 * (y * p.w + x), 4 * (y * p.w + x) + 3);
// Mean absolute difference of horizontally neighbouring depth values (mm)
// over the centre of the image: the noise the smoothing filter removes.
const roughness = (page) => page.evaluate(() => new Promise((resolve) => {
  const start = window.__viewer.frames;
  const poll = () => {
    if (window.__viewer.frames < start + 3) return setTimeout(poll, 20);
    const f = window.__viewer.lastFrame;
    let s = 0, n = 0;
    for (let v = f.h / 2 - 20; v < f.h / 2 + 20; ++v)
      for (let u = f.w / 2 - 30; u < f.w / 2 + 30; ++u) {
        const a = f.depth[v * f.w + u], b = f.depth[v * f.w + u + 1];
        if (a && b && a < 65300 && b < 65300) { s += Math.abs(a - b); ++n; }
      }
    resolve(n ? s / n : -1);
  };
  poll();
}));

const page = await browser.newPage({ viewport: { width: 1400, height: 900 } });
// Clicks and selections get the same generous deadline as the waits.
page.setDefaultTimeout(deadline.timeout);
page.on('pageerror', (e) => console.log('page error:', e.message));

await check('the page loads and frames and rays arrive', async () => {
  await page.goto(url);
  await page.waitForFunction(() => window.__viewer.frames >= 5 && window.__viewer.rays && window.__viewer.state, null, deadline);
  const s = await page.evaluate(() => window.__viewer.state);
  assert.ok(s && s.open && s.capturing && s.virtual, JSON.stringify(s));
});

await check('the temperatures are shown in degrees Celsius', async () => {
  await page.waitForFunction(() => window.__viewer.state.temp_c, null, deadline);
  const [s, text] = await page.evaluate(() => [window.__viewer.state, document.getElementById('values').textContent]);
  const m = /sensor (-?\d+\.\d) °C, board (-?\d+\.\d) °C/.exec(text);
  assert.ok(m, text);
  // A camera running in a room, not a count of tenths.
  for (const [shown, sent] of [[m[1], s.temp_c[0]], [m[2], s.temp_c[1]]]) {
    assert.equal(Number(shown), sent, text);
    assert.ok(sent > -40 && sent < 125, text);
  }
});

await check('the depth image shows the virtual wall in its colour', async () => {
  await page.evaluate(() => { document.getElementById('rmin').value = '0.3'; document.getElementById('rmax').value = '4'; });
  const [wallMm, truthMm] = await page.evaluate(() => {
    const f = window.__viewer.lastFrame, c = (f.h / 2) * f.w + f.w / 2;
    return [f.depth[c], f.truth ? f.truth[c] : 0];
  });
  assert.ok(wallMm > 300 && wallMm < 4000, `centre distance ${wallMm}`);
  if (truthMm && !process.env.TORVI_VIEW_NO_TRUTH) assert.ok(Math.abs(wallMm - truthMm) < 0.05 * truthMm, `centre ${wallMm} mm, truth ${truthMm} mm`);
  const shot = await pixelsOf(page, await page.locator('#depth').screenshot());
  const [r, g, b] = at(shot, Math.floor(shot.w / 2), Math.floor(shot.h / 2));
  const want = await page.evaluate((mm) => window.__viewer.colour((mm - 300) / 3700), wallMm);
  const err = Math.abs(r - want[0]) + Math.abs(g - want[1]) + Math.abs(b - want[2]);
  assert.ok(err < 60, `centre pixel ${[r, g, b]} vs colour of ${wallMm} mm ${want.map(Math.round)}`);
});

await check('the point cloud canvas shows points', async () => {
  await page.waitForFunction(() => window.__viewer.points > 10000, null, deadline);
  const shot = await pixelsOf(page, await page.locator('#cloud canvas').screenshot());
  let lit = 0;
  for (let i = 0; i < shot.w * shot.h; ++i) if (shot.data[4 * i] + shot.data[4 * i + 1] + shot.data[4 * i + 2] > 60) ++lit;
  assert.ok(lit > 0.02 * shot.w * shot.h, `${lit} lit pixels of ${shot.w * shot.h}`);
});

await check('the point cloud can be coloured by gray', async () => {
  await page.locator('#cloudcolor').selectOption('gray');
  const n = await page.evaluate(() => window.__viewer.frames);
  await page.waitForFunction((m) => window.__viewer.frames >= m + 3 && window.__viewer.points > 10000, n, deadline);
  const shot = await pixelsOf(page, await page.locator('#cloud canvas').screenshot());
  let lit = 0, gray = 0;
  for (let i = 0; i < shot.w * shot.h; ++i) {
    const [r, g, b] = shot.data.slice(4 * i, 4 * i + 3);
    if (r + g + b <= 60) continue;
    ++lit;
    if (Math.max(r, g, b) - Math.min(r, g, b) <= 4) ++gray;
  }
  assert.ok(lit > 0.02 * shot.w * shot.h && gray > 0.9 * lit, `${gray} gray of ${lit} lit pixels`);
  await page.locator('#cloudcolor').selectOption('depth');
});

await check('a filter toggle reaches the device and changes the depth', async () => {
  const smooth = await roughness(page);
  await page.locator('#filter2').uncheck();
  await page.waitForFunction(() => window.__viewer.state.reply === 'depth smoothing off' &&
                                   !window.__viewer.state.filters[2].on, null, deadline);
  const rough = await roughness(page);
  assert.ok(rough > smooth, `neighbour difference ${rough} mm without smoothing, ${smooth} mm with`);
  await page.locator('#filter2').check();
  await page.waitForFunction(() => window.__viewer.state.filters[2].on, null, deadline);
});

await check('the modulation frequency reaches the camera', async () => {
  await page.locator('#freq').selectOption('3');
  await page.waitForFunction(() => window.__viewer.state.mod_freq_khz === 6000, null, deadline);
  await page.locator('#freq').selectOption('2');
  await page.waitForFunction(() => window.__viewer.state.mod_freq_khz === 12000, null, deadline);
});

await check('two browsers watch at once', async () => {
  const second = await browser.newPage();
  await second.goto(url);
  await second.waitForFunction(() => window.__viewer.frames >= 3, null, deadline);
  const before = await page.evaluate(() => window.__viewer.frames);
  await page.waitForFunction((n) => window.__viewer.frames >= n + 3, before, deadline);
  await second.close();
});

await check('an unplugged camera is shown, and the stream comes back after replug', async () => {
  await page.locator('#unplug').click();
  await page.waitForFunction(() => !document.getElementById('banner').hidden &&
                                   /camera/.test(document.getElementById('banner').textContent), null, deadline);
  console.log('  banner:', await page.locator('#banner').textContent());
  const s = await page.evaluate(() => window.__viewer.state);
  assert.ok(!s.open, 'the viewer closed the lost camera');
  await page.locator('#plug').click();
  const n = await page.evaluate(() => window.__viewer.frames);
  await page.waitForFunction((m) => window.__viewer.frames >= m + 5 && document.getElementById('banner').hidden, n, deadline);
});

const lat = (await page.evaluate(() => window.__viewer.latencies)).slice().sort((a, b) => a - b);
const q = (p) => lat[Math.min(lat.length - 1, Math.floor(p * lat.length))];
console.log(`frame latency, arrival to page (ms): n=${lat.length} median=${q(0.5).toFixed(1)} p95=${q(0.95).toFixed(1)} max=${lat[lat.length - 1].toFixed(1)}`);
// Where that time goes, per drawn frame.
const stages = await page.evaluate(() => window.__viewer.stages);
const split = ['decode on the server', 'server to page', 'images', 'point cloud'].map((name, k) => {
  const v = stages.map((x) => x[k]).sort((a, b) => a - b);
  return `${name} ${v[v.length >> 1].toFixed(1)}/${v[Math.floor(0.95 * v.length)].toFixed(1)}`;
});
console.log(`  stages, median/p95 (ms): ${split.join(', ')}`);
await browser.close();
console.log(`viewer: ${passed} passed, 0 failed`);
