// Headless chromium uses the app's own upload page, served by the real web receive server, as a
// phone's browser does: each case checks what the page shows and what lands in the folder.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import { randomBytes } from 'node:crypto';
import { chromium } from 'playwright-core';

const harnessPath = process.env.VELMO_WEBRECEIVE_HARNESS;
const chromiumPath = process.env.VELMO_CHROMIUM || '/usr/bin/chromium';
const GiB = 1024 ** 3;
const MiB = 1024 ** 2;
const device = 'Ann\'s <b>PC</b> & "co"';

// One webreceive-harness process: its URL, its folder and the events it prints.
class Harness {
  constructor(extraArgs = []) {
    this.scratch = mkdtempSync(join(tmpdir(), 'velmo-browser-'));
    this.folder = join(this.scratch, 'inbox');
    this.events = [];
    this.waiters = [];
    this.process = spawn(harnessPath, ['--folder', this.folder, '--device', device, ...extraArgs], {
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

// The session's budget spent down to `bytes` (two files of at most 10 GiB fill its 20 GiB).
const leaving = (bytes) => ['--reserve', String(10 * GiB), '--reserve', String(10 * GiB - bytes)];

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

// Opens the session URL and records every status text each row shows, in order.
async function openPage(harness) {
  const page = await context.newPage();
  const response = await page.goto(await harness.url);
  assert.equal(response.status(), 200);
  await page.evaluate(() => {
    window.statusLog = [];
    const seen = new Set();
    new MutationObserver((records) => {
      for (const record of records) {
        const status = record.target;
        if (!status.classList?.contains('st')) continue;
        const row = [...document.querySelectorAll('.row')].indexOf(status.closest('.row'));
        if (!seen.has(row)) {
          seen.add(row);
          window.statusLog.push([row, record.removedNodes[0]?.data ?? '']);
        }
        window.statusLog.push([row, record.addedNodes[0]?.data ?? '']);
      }
    }).observe(document.getElementById('list'), { childList: true, subtree: true });
  });
  return page;
}

// Runs `body` with a fresh harness (started with `args`) and the upload page open on it.
async function session(args, body) {
  const harness = new Harness(args);
  try {
    const page = await openPage(harness);
    await body(harness, page);
    await page.close();
  } finally {
    await harness.stop();
  }
}

// Presses "Choose files" and picks `files` in the file chooser it opens.
async function choose(page, files) {
  const [chooser] = await Promise.all([
    page.waitForEvent('filechooser'),
    page.getByText('Choose files', { exact: true }).click(),
  ]);
  assert.ok(chooser.isMultiple());
  await chooser.setFiles(files);
}

const file = (name, content) => ({ name, mimeType: 'application/octet-stream', buffer: Buffer.from(content) });

// Waits until `count` rows have their outcome, then returns each row as the user sees it.
async function rows(page, count) {
  await page.waitForFunction((n) => document.querySelectorAll('.row.ok, .row.bad').length >= n, count,
    { timeout: 30000 });
  return page.$$eval('.row', (all) => all.map((row) => ({
    name: row.querySelector('.name').textContent,
    status: row.querySelector('.st').textContent,
    look: row.className,
  })));
}

// The status texts of each row in the order they appeared, without the running percentages.
async function statusSteps(page) {
  const log = await page.evaluate(() => window.statusLog);
  return log.filter(([, text]) => !/^[1-9]\d*%$/.test(text))
    .filter(([row, text], i, all) => i === 0 || all[i - 1][0] !== row || all[i - 1][1] !== text);
}

test('the page greets the computer and sends files one by one', () => session([], async (harness, page) => {
  assert.equal(await page.textContent('header p'), `Send files to ${device}`);
  assert.equal(await page.textContent('.hint'),
    'Photos, videos, documents, anything. They go straight to the computer over your Wi-Fi.');
  assert.equal(await page.locator('header b').count(), 0);
  // The theme's background follows the phone's light or dark setting.
  const background = () => page.evaluate(() => getComputedStyle(document.body).backgroundColor);
  await page.emulateMedia({ colorScheme: 'dark' });
  assert.equal(await background(), 'rgb(14, 17, 23)');
  await page.emulateMedia({ colorScheme: 'light' });
  assert.equal(await background(), 'rgb(245, 247, 251)');

  const photo = randomBytes(3 * MiB);
  await choose(page, [
    file('naïve café.txt', 'hello from the browser'),
    { name: 'photo.jpg', mimeType: 'image/jpeg', buffer: photo },
    file('empty.bin', ''),
  ]);
  assert.deepEqual(await rows(page, 3), [
    { name: 'naïve café.txt', status: 'Sent ✓ 1 KB', look: 'row ok' },
    { name: 'photo.jpg', status: 'Sent ✓ 3.1 MB', look: 'row ok' },
    { name: 'empty.bin', status: 'Sent ✓ 0 KB', look: 'row ok' },
  ]);
  // Each file waits until the one before it has been sent.
  assert.deepEqual(await statusSteps(page), [
    [0, 'Waiting'], [0, '0%'], [0, 'Sent ✓ 1 KB'],
    [1, 'Waiting'], [1, '0%'], [1, 'Sent ✓ 3.1 MB'],
    [2, 'Waiting'], [2, '0%'], [2, 'Sent ✓ 0 KB'],
  ]);
  assert.deepEqual(await page.$$eval('.bar i', (fills) => fills.map((f) => f.style.width)),
    ['100%', '100%', '100%']);

  assert.deepEqual(harness.files(), ['empty.bin', 'naïve café.txt', 'photo.jpg']);
  assert.equal(readFileSync(join(harness.folder, 'naïve café.txt'), 'utf8'), 'hello from the browser');
  assert.ok(readFileSync(join(harness.folder, 'photo.jpg')).equals(photo));
  const events = await harness.waitFor((e) => e.filter((x) => x.event === 'finished').length === 3);
  assert.deepEqual(events.filter((e) => e.event === 'started').map((e) => [e.name, e.size]),
    [['naïve café.txt', 22], ['photo.jpg', photo.length], ['empty.bin', 0]]);

  // The same name again is stored beside the first, never over it.
  await choose(page, [file('empty.bin', 'again')]);
  assert.deepEqual((await rows(page, 4))[3], { name: 'empty.bin', status: 'Sent ✓ 1 KB', look: 'row ok' });
  assert.deepEqual(harness.files(), ['empty (1).bin', 'empty.bin', 'naïve café.txt', 'photo.jpg']);
}));

test('file names with markup are shown as text', () => session([], async (harness, page) => {
  const names = ['<img src=x onerror="window.hit=1">.txt', '<b>bold</b>.txt'];
  await choose(page, names.map((name) => file(name, 'x')));
  assert.deepEqual((await rows(page, 2)).map((r) => [r.name, r.status]),
    names.map((name) => [name, 'Sent ✓ 1 KB']));
  assert.equal(await page.locator('#list img, #list b').count(), 0);
  assert.equal(await page.evaluate(() => window.hit), undefined);
  // The server keeps only the last path component of a name.
  assert.deepEqual(harness.files(), ['<img src=x onerror="window.hit=1">.txt', 'b>.txt']);
}));

test('an expired link says so on every file', () => session([], async (harness, page) => {
  const url = new URL(await harness.url);
  // As if the computer had opened a new code since the page was loaded.
  await page.route('**/upload?*', (route) => {
    const target = new URL(route.request().url());
    target.searchParams.set('t', '0'.repeat(32));
    return route.continue({ url: target.href });
  });
  await choose(page, [file('a.txt', 'one'), file('b.txt', 'two')]);
  assert.deepEqual(await rows(page, 2), [
    { name: 'a.txt', status: 'Link expired, scan again', look: 'row bad' },
    { name: 'b.txt', status: 'Link expired, scan again', look: 'row bad' },
  ]);
  assert.deepEqual(harness.files(), []);
  assert.deepEqual(harness.events, []);

  url.searchParams.set('t', 'wrong');
  const refused = await page.goto(url.href);
  assert.equal(refused.status(), 403);
  assert.equal(await page.textContent('body'), 'This link has expired. Scan the code on the computer again.');
}));

test('files over the session limit are refused', () => session(leaving(100), async (harness, page) => {
  await choose(page, [file('fits.txt', 'x'.repeat(40)), file('big.bin', randomBytes(MiB)),
    file('late.txt', 'x'.repeat(61))]);
  assert.deepEqual(await rows(page, 3), [
    { name: 'fits.txt', status: 'Sent ✓ 1 KB', look: 'row ok' },
    { name: 'big.bin', status: 'File or session limit reached', look: 'row bad' },
    { name: 'late.txt', status: 'File or session limit reached', look: 'row bad' },
  ]);
  assert.deepEqual(harness.files(), ['fits.txt']);
  assert.deepEqual(harness.events.filter((e) => e.event === 'started').map((e) => e.name), ['fits.txt']);
}));

test('a folder that cannot be written shows the file failed', () => session([], async (harness, page) => {
  writeFileSync(harness.folder, 'a file where the folder should be');
  await choose(page, [file('a.txt', 'one')]);
  assert.deepEqual(await rows(page, 1), [{ name: 'a.txt', status: 'Failed', look: 'row bad' }]);
  await harness.waitFor((e) => e.some((x) => x.event === 'failed'));
}));

// Uploads at about 500 kB/s, as from a phone on a busy Wi-Fi.
async function throttle(page) {
  const network = await context.newCDPSession(page);
  await network.send('Network.enable');
  await network.send('Network.emulateNetworkConditions',
    { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: 500 * 1000 });
}

// The upload events the harness printed, without progress, in the fields the cases compare.
const outline = (events) => events.filter((e) => ['started', 'cancel', 'failed', 'finished'].includes(e.event))
  .map(({ event, name, stopped, message }) => ({ event, name, stopped, message }));

// The harness closes the session once 1 MB has arrived. The running file gets a final answer, so
// the page says it was stopped on the computer rather than blaming the Wi-Fi, and the browser
// does not send it again; the next file finds the session gone.
const stopMidUpload = ['--stop-at', String(1000 * 1000)];
test('closing the session mid-upload stops the file on the computer', () => session(stopMidUpload,
  async (harness, page) => {
    await throttle(page);
    await choose(page, [file('big.bin', randomBytes(5 * 1000 * 1000)), file('after.txt', 'late')]);
    assert.deepEqual(await rows(page, 2), [
      { name: 'big.bin', status: 'Cancelled on the computer', look: 'row bad' },
      { name: 'after.txt', status: 'Lost connection', look: 'row bad' },
    ]);
    assert.deepEqual(await statusSteps(page), [
      [0, 'Waiting'], [0, '0%'], [0, 'Cancelled on the computer'],
      [1, 'Waiting'], [1, '0%'], [1, 'Lost connection'],
    ]);
    assert.deepEqual(outline(await harness.waitFor((e) => e.some((x) => x.event === 'failed'))), [
      { event: 'started', name: 'big.bin', stopped: undefined, message: undefined },
      { event: 'failed', name: undefined, stopped: undefined, message: 'The phone stopped sending.' },
    ]);
    assert.deepEqual(harness.files(), []);
  }));

// The computer's Cancel answers the upload at once, as a final answer: the browser neither sends
// the file again nor takes the cut connection for a network fault, and the next file goes on.
const cancelAt = 3 * 1000 * 1000;
test('a file cancelled on the computer stops and is not sent again', () => session(['--cancel-at', String(cancelAt)],
  async (harness, page) => {
    await throttle(page);
    await choose(page, [file('big.bin', randomBytes(15 * 1000 * 1000)), file('after.txt', 'next')]);
    assert.deepEqual(await rows(page, 2), [
      { name: 'big.bin', status: 'Cancelled on the computer', look: 'row bad' },
      { name: 'after.txt', status: 'Sent ✓ 1 KB', look: 'row ok' },
    ]);
    const events = await harness.waitFor((e) => e.some((x) => x.event === 'finished'));
    assert.deepEqual(outline(events), [
      { event: 'started', name: 'big.bin', stopped: undefined, message: undefined },
      { event: 'cancel', name: undefined, stopped: true, message: undefined },
      { event: 'failed', name: undefined, stopped: undefined, message: 'Cancelled' },
      { event: 'started', name: 'after.txt', stopped: undefined, message: undefined },
      { event: 'finished', name: undefined, stopped: undefined, message: undefined },
    ]);
    assert.deepEqual(harness.files(), ['after.txt']);
  }));
