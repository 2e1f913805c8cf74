// The page that bonetool view writes, in headless Chromium (Debian's, driven
// by puppeteer-core): it loads from file:// with no network, three.js places
// every sampled joint where the library does, and it draws something.
//   node view/test/view.test.mjs     (BONETOOL: the bonetool to run; OUT: where the screenshot goes)
// Exits 77 (skipped) without Chromium.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { existsSync, mkdirSync, statSync } from 'node:fs';
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
const walk = join(root, 'examples/data/humanoid_walk.bone');
const run = (...args) => execFileSync(bonetool, args, { encoding: 'utf8' });

test('the walk plays in Chromium where the library puts it', async () => {
  const page_path = join(out, 'walk.html');
  run('view', walk, '--skin', join(root, 'examples/data/humanoid.skin'), '-o', page_path);
  assert.ok(statSync(page_path).size <= 1.5e6, 'the page is at most 1.5 MB');
  const info = JSON.parse(run('info', '--json', walk));
  const sampled = info.bones.filter(b => !b.leaf).map(b => b.name);

  const browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: ['--no-sandbox', '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--no-first-run', '--disable-quic', '--use-angle=swiftshader', '--enable-unsafe-swiftshader',
           '--allow-file-access-from-files'],
  });
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 960, height: 540 });
    const errors = [];
    page.on('pageerror', e => errors.push(String(e)));
    await page.goto(pathToFileURL(page_path).href);
    await page.evaluate(() => window.boneView.ready);
    assert.deepEqual(errors, []);

    let height = 0;
    for (const time of [0, 0.35, 0.8, 1.25, info.length]) {
      const joints = await page.evaluate(t => { window.boneView.setTime(t); return window.boneView.jointPositions(); }, time);
      const expected = JSON.parse(run('sample', '--json', '--time', String(time), walk));
      const ys = expected.bones.map(b => b.offset[1]);
      height = Math.max(height, Math.max(...ys) - Math.min(...ys));
      for (const bone of expected.bones.filter(b => sampled.includes(b.name))) {
        const got = joints[bone.name];
        assert.ok(got, `${bone.name} is in the page`);
        const off = Math.max(...got.map((v, i) => Math.abs(v - bone.offset[i])));
        assert.ok(off <= 1e-5 * height, `${bone.name} at ${time}: ${got} against ${bone.offset} (${off})`);
      }
    }

    // Not blank: enough pixels differ from the background; the picture is kept.
    await page.evaluate(() => window.boneView.setTime(0.6));
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
  } finally {
    await browser.close();
  }
});
