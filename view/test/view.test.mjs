// The page that bonetool view writes, in headless Chromium (Debian's, driven
// by puppeteer-core): it loads from file:// with no network, three.js places
// every sampled joint where the library does (keyed by the file's names, even
// those three.js rewrites), both cameras keep every joint in the picture over
// a clip that walks away, the keys step, it draws something, and without
// WebGL it says so.
//   node view/test/view.test.mjs     (BONETOOL: the bonetool to run; OUT: where the screenshot goes)
// Exits 77 (skipped) without Chromium.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { existsSync, mkdirSync, statSync, writeFileSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import puppeteer from 'puppeteer-core';

const CHROMIUM = '/usr/bin/chromium';
if (!existsSync(CHROMIUM)) {
  console.log(`${CHROMIUM} is not installed (Debian package chromium): skipping the viewer test`);
  process.exit(77);
}
const root = resolve(dirname(fileURLToPath(import.meta.url)), '../..');
const bonetool = process.env.BONETOOL ?? join(root, 'build/ci/tools/bonetool');
const out = process.env.OUT ?? join(root, 'build/viewer');
mkdirSync(out, { recursive: true });
const run = (...args) => execFileSync(bonetool, args, { encoding: 'utf8' });
const ARGS = ['--no-sandbox', '--disable-background-networking', '--disable-component-update', '--disable-sync',
              '--no-first-run', '--disable-quic', '--use-angle=swiftshader', '--enable-unsafe-swiftshader',
              '--allow-file-access-from-files'];

// A figure that walks 12 m away on a curve in 6 s, with names three.js
// rewrites for its animation paths.
function walkAwayBvh() {
  const joint = (name, offset, inner) => `JOINT ${name}\n{\nOFFSET ${offset}\nCHANNELS 3 Zrotation Xrotation Yrotation\n${inner}}\n`;
  const end = offset => `End Site\n{\nOFFSET ${offset}\n}\n`;
  const frames = [];
  for (let f = 0; f <= 60; ++f) {
    const t = f / 10, swing = 25 * Math.sin(3 * t);
    frames.push([3 * Math.sin(t / 2), 1, 2 * t, 0, 0, 10 * t, swing, 0, 0, 30 * Math.sin(3 * t), 0, 0, -swing, 0, 0]
      .map(v => v.toFixed(4)).join(' '));
  }
  return 'HIERARCHY\nROOT mixamorig:Hips\n{\nOFFSET 0 0 0\n' +
    'CHANNELS 6 Xposition Yposition Zposition Zrotation Xrotation Yrotation\n' +
    joint('Spine.001', '0 0.5 0', joint('Arm/L[0]', '0.3 0.4 0', end('0.4 0 0'))) +
    joint('Leg]L[', '0.1 -0.1 0', end('0 -0.9 0')) +
    `}\nMOTION\nFrames: ${frames.length}\nFrame Time: 0.1\n${frames.join('\n')}\n`;
}

let browser;
const pages = {};
before(async () => {
  writeFileSync(join(out, 'away.bvh'), walkAwayBvh());
  run('convert', join(out, 'away.bvh'), join(out, 'away.bone'));
  const walk = join(root, 'examples/data/humanoid_walk.bone');
  pages.walk = { bone: walk, html: join(out, 'walk.html'), times: [0, 0.35, 0.8, 1.25, 2] };
  pages.away = { bone: join(out, 'away.bone'), html: join(out, 'away.html'), times: [0, 1.55, 4, 6] };
  run('view', walk, '--skin', join(root, 'examples/data/humanoid.skin'), '-o', pages.walk.html);
  run('view', pages.away.bone, '-o', pages.away.html);
  browser = await puppeteer.launch({ executablePath: CHROMIUM, headless: true, args: ARGS });
});
after(() => browser?.close());

async function open(html, errors, chromium = browser) {
  const page = await chromium.newPage();
  await page.setViewport({ width: 960, height: 540 });
  page.on('pageerror', e => errors.push(String(e)));
  page.on('console', m => { if (m.type() === 'error') errors.push(m.text()); });
  await page.goto(pathToFileURL(html).href);
  return page;
}

for (const clip of ['walk', 'away']) {
  test(`the ${clip} plays in Chromium where the library puts it, in the picture`, async () => {
    const { bone, html, times } = pages[clip];
    assert.ok(statSync(html).size <= 1.5e6, 'the page is at most 1.5 MB');
    const info = JSON.parse(run('info', '--json', bone));
    const sampled = info.bones.filter(b => !b.leaf).map(b => b.name);
    const errors = [];
    const page = await open(html, errors);
    assert.equal(await page.evaluate(() => window.boneView.ready), true);
    assert.deepEqual(errors, []);
    const listed = await page.$$eval('#bones li', items => items.map(li => li.textContent));
    assert.deepEqual(listed.sort(), info.bones.map(b => b.name).sort());

    let height = 0;
    for (const time of times) {
      const joints = await page.evaluate(t => { window.boneView.setTime(t); return window.boneView.jointPositions(); }, time);
      const expected = JSON.parse(run('sample', '--json', '--time', String(time), bone));
      const ys = expected.bones.map(b => b.offset[1]);
      height = Math.max(height, Math.max(...ys) - Math.min(...ys));
      for (const b of expected.bones.filter(b => sampled.includes(b.name))) {
        const got = joints[b.name];
        assert.ok(got, `${b.name} is in the page`);
        const off = Math.max(...got.map((v, i) => Math.abs(v - b.offset[i])));
        assert.ok(off <= 1e-5 * height, `${b.name} at ${time}: ${got} against ${b.offset} (${off})`);
      }
    }

    // Every joint inside the canvas at 60 times, with either camera; following,
    // the figure stays at least a quarter of the picture's height.
    for (const mode of ['follow', 'fit']) {
      const seen = await page.evaluate((mode, length) => {
        const { camera } = window.boneView, outside = [];
        window.boneView.setCamera(mode);
        let smallest = Infinity;
        for (let i = 0; i <= 60; ++i) {
          window.boneView.setTime(length * i / 60);
          const ndc = Object.entries(window.boneView.jointPositions())
            .map(([name, p]) => [name, camera.position.clone().fromArray(p).project(camera)]);
          for (const [name, v] of ndc)
            if (!(Math.abs(v.x) <= 1 && Math.abs(v.y) <= 1 && Math.abs(v.z) <= 1)) outside.push(`${name} at ${length * i / 60}`);
          smallest = Math.min(smallest, Math.max(...ndc.map(e => e[1].y)) - Math.min(...ndc.map(e => e[1].y)));
        }
        return { outside, smallest };
      }, mode, info.length);
      assert.deepEqual(seen.outside, [], `${mode}: out of the picture`);
      if (mode === 'follow') assert.ok(seen.smallest > 0.5, `following, the figure spans ${seen.smallest} of 2`);
    }
    assert.deepEqual(errors, []);
    if (clip === 'away') return;

    // Keys: arrows step through the key times of all bones (the walk's are keyed 8 to 30
    // times a second: 0, 1/30, 1/25, 1/24, ...), space plays and pauses, also with the button focused.
    await page.evaluate(() => window.boneView.setTime(0));
    const state = () => page.evaluate(() => `${document.getElementById('clock').textContent}; ${document.getElementById('play').textContent}`);
    for (const key of ['ArrowRight', 'ArrowRight', 'ArrowRight', 'ArrowLeft']) await page.keyboard.press(key);
    assert.equal(await state(), '0.040 s, frame 2 / 152; Play');
    await page.click('#play');
    await page.keyboard.press('Space');
    assert.match(await state(), /; Play$/);

    // Not blank: enough pixels differ from the background; the picture is kept.
    await page.evaluate(() => { document.activeElement.blur(); window.boneView.setCamera('follow'); window.boneView.setTime(0.6); });
    const drawn = await page.evaluate(() => {
      const canvas = document.querySelector('canvas');
      const copy = Object.assign(document.createElement('canvas'), { width: canvas.width, height: canvas.height });
      const context = copy.getContext('2d');
      context.drawImage(canvas, 0, 0);
      const pixels = context.getImageData(0, 0, copy.width, copy.height).data;
      let differing = 0;
      for (let i = 0; i < pixels.length; i += 4)
        if (Math.abs(pixels[i] - 0x20) + Math.abs(pixels[i + 1] - 0x23) + Math.abs(pixels[i + 2] - 0x2a) > 24) ++differing;
      return differing;
    });
    assert.ok(drawn > 2000, `only ${drawn} pixels differ from the background`);
    await page.screenshot({ path: join(out, 'walk.png') });
    console.log(`screenshot: ${join(out, 'walk.png')} (${drawn} pixels drawn)`);
  });
}

test('without WebGL the page says so', async () => {
  const chromium = await puppeteer.launch({ executablePath: CHROMIUM, headless: true, args: [...ARGS, '--disable-3d-apis'] });
  try {
    const errors = [];
    const page = await open(pages.walk.html, errors, chromium);
    assert.equal(await page.evaluate(() => window.boneView.ready), false);
    const message = await page.$eval('#message', m => m.checkVisibility() && m.textContent);
    assert.match(message || '', /WebGL/);
    assert.deepEqual(errors, []);
  } finally {
    await chromium.close();
  }
});
