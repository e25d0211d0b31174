// Headless chromium uploads through a fixture page to the real web receive server.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, readdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import { createInterface } from 'node:readline';
import { randomBytes } from 'node:crypto';
import { chromium } from 'playwright-core';

const here = dirname(fileURLToPath(import.meta.url));
const harnessPath = process.env.VELMO_WEBRECEIVE_HARNESS;
const chromiumPath = process.env.VELMO_CHROMIUM || '/usr/bin/chromium';
const fixturePage = join(here, 'fixture-page.html');
const GiB = 1024 ** 3;

// One webreceive-harness process: its URL, its folder and the events it prints.
class Harness {
  constructor(extraArgs = []) {
    this.scratch = mkdtempSync(join(tmpdir(), 'velmo-browser-'));
    this.folder = join(this.scratch, 'inbox');
    this.events = [];
    this.waiters = [];
    this.process = spawn(harnessPath, ['--folder', this.folder, '--page', fixturePage, ...extraArgs], {
      stdio: ['pipe', 'pipe', 'inherit'],
    });
    const lines = createInterface({ input: this.process.stdout });
    this.url = new Promise((resolve, reject) => {
      this.process.once('exit', (code) => reject(new Error(`harness exited with ${code}`)));
      lines.once('line', (first) => {
        resolve(first);
        lines.on('line', (line) => {
          this.events.push(JSON.parse(line));
          this.waiters = this.waiters.filter((w) => !w());
        });
      });
    });
  }

  // Resolves once `predicate(events)` holds; fails after `ms`.
  waitFor(predicate, ms = 20000) {
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`events: ${JSON.stringify(this.events)}`)), ms);
      const check = () => {
        if (!predicate(this.events)) return false;
        clearTimeout(timer);
        resolve(this.events);
        return true;
      };
      if (!check()) this.waiters.push(check);
    });
  }

  files() {
    try {
      return readdirSync(this.folder).sort();
    } catch {
      return [];
    }
  }

  async stop() {
    const exited = new Promise((resolve) => this.process.once('exit', resolve));
    this.process.stdin.end('stop\n');
    await exited;
    rmSync(this.scratch, { recursive: true, force: true });
  }
}

let context;
let profile;

before(async () => {
  assert.ok(harnessPath, 'VELMO_WEBRECEIVE_HARNESS names the harness executable');
  profile = mkdtempSync(join(tmpdir(), 'velmo-chromium-'));
  context = await chromium.launchPersistentContext(profile, {
    executablePath: chromiumPath,
    headless: true,
    args: [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
    ],
  });
});

after(async () => {
  await context?.close();
  if (profile) rmSync(profile, { recursive: true, force: true });
});

async function rowStatuses(page, count) {
  await page.waitForFunction(
    (n) => [...document.querySelectorAll('.row')].filter((r) => r.dataset.status).length >= n,
    count, { timeout: 30000 });
  return page.$$eval('.row', (rows) => rows.map((r) => [r.dataset.name, r.dataset.status]));
}

test('the page loads with the token and uploads files one after another', async () => {
  const harness = new Harness();
  try {
    const page = await context.newPage();
    const response = await page.goto(await harness.url);
    assert.equal(response.status(), 200);
    const headers = response.headers();
    assert.equal(headers['content-security-policy'], "frame-ancestors 'none'; base-uri 'none'; connect-src 'self'");
    assert.equal(headers['content-type'], 'text/html; charset=utf-8');
    assert.equal(headers['cache-control'], 'no-store');

    const photo = randomBytes(3 * 1024 * 1024);
    await page.setInputFiles('#f', [
      { name: 'naïve café.txt', mimeType: 'text/plain', buffer: Buffer.from('hello from the browser') },
      { name: 'photo.jpg', mimeType: 'image/jpeg', buffer: photo },
      { name: 'empty.bin', mimeType: 'application/octet-stream', buffer: Buffer.alloc(0) },
    ]);
    assert.deepEqual(await rowStatuses(page, 3), [
      ['naïve café.txt', '200'], ['photo.jpg', '200'], ['empty.bin', '200'],
    ]);
    assert.deepEqual(harness.files(), ['empty.bin', 'naïve café.txt', 'photo.jpg']);
    assert.equal(readFileSync(join(harness.folder, 'naïve café.txt'), 'utf8'), 'hello from the browser');
    assert.ok(readFileSync(join(harness.folder, 'photo.jpg')).equals(photo));

    const events = await harness.waitFor((e) => e.filter((x) => x.event === 'finished').length === 3);
    const started = events.filter((e) => e.event === 'started');
    assert.deepEqual(started.map((e) => [e.name, e.size]),
      [['naïve café.txt', 22], ['photo.jpg', photo.length], ['empty.bin', 0]]);
    // One upload at a time: each ends before the next starts.
    const order = events.map((e) => `${e.event}:${started.findIndex((s) => s.id === e.id)}`)
      .filter((x) => !x.startsWith('progress'));
    assert.deepEqual(order, ['started:0', 'finished:0', 'started:1', 'finished:1', 'started:2', 'finished:2']);
    const photoProgress = events.filter((e) => e.event === 'progress' && e.id === started[1].id).map((e) => e.done);
    assert.equal(photoProgress.at(-1), photo.length);
    await page.close();
  } finally {
    await harness.stop();
  }
});

test('a wrong token is refused for the page and the upload', async () => {
  const harness = new Harness();
  try {
    const url = new URL(await harness.url);
    const page = await context.newPage();
    const good = await page.goto(url.href);
    assert.equal(good.status(), 200);
    const status = await page.evaluate(async () => {
      const answer = await fetch('/upload?t=0000', { method: 'POST', headers: { 'X-File-Name': 'x' }, body: 'abc' });
      return answer.status;
    });
    assert.equal(status, 403);
    url.searchParams.set('t', 'wrong');
    const refused = await page.goto(url.href);
    assert.equal(refused.status(), 403);
    assert.equal(await page.textContent('body'), 'This link has expired. Scan the code on the computer again.');
    assert.deepEqual(harness.files(), []);
    await page.close();
  } finally {
    await harness.stop();
  }
});

test('a spent session answers 413 and stores nothing', async () => {
  const harness = new Harness(['--reserve', String(10 * GiB), '--reserve', String(10 * GiB)]);
  try {
    const page = await context.newPage();
    await page.goto(await harness.url);
    await page.setInputFiles('#f', [{ name: 'late.txt', mimeType: 'text/plain', buffer: Buffer.from('x') }]);
    assert.deepEqual(await rowStatuses(page, 1), [['late.txt', '413']]);
    assert.deepEqual(harness.files(), []);
    assert.deepEqual(harness.events, []);
    await page.close();
  } finally {
    await harness.stop();
  }
});

test('the same name twice is stored under two names', async () => {
  const harness = new Harness();
  try {
    const page = await context.newPage();
    await page.goto(await harness.url);
    await page.setInputFiles('#f', [{ name: 'a.txt', mimeType: 'text/plain', buffer: Buffer.from('one') }]);
    await rowStatuses(page, 1);
    await page.setInputFiles('#f', [{ name: 'a.txt', mimeType: 'text/plain', buffer: Buffer.from('two') }]);
    assert.deepEqual(await rowStatuses(page, 2), [['a.txt', '200'], ['a.txt', '200']]);
    assert.deepEqual(harness.files(), ['a (1).txt', 'a.txt']);
    assert.equal(readFileSync(join(harness.folder, 'a (1).txt'), 'utf8'), 'two');
    await page.close();
  } finally {
    await harness.stop();
  }
});
