// mirrax_client view end to end: a real host, the real relay and pages in headless
// Chromium decoding with WebCodecs. What no browser does (raw requests, floods, a
// viewer that never reads) is checked by tests/client/view_relay_test.cpp. Every
// wait is bounded.
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import http from 'node:http';
import { test } from 'node:test';

import {
  Host, Relay, delay, freePort, launchBrowser, openViewer, pageStats, readStamp,
  skipUnlessInstalled,
} from './harness.mjs';

await skipUnlessInstalled();

// Sets up a host, a relay and a browser, runs `body` and tears everything down.
async function withView(body, { launchOptions = [] } = {}) {
  const hostPort = await freePort();
  const parts = { hostPort, host: await Host.start(hostPort, launchOptions) };
  try {
    parts.relay = await Relay.start(hostPort);
    parts.browser = await launchBrowser();
    await body(parts);
  } finally {
    await parts.browser?.close();
    if (parts.relay) {
      const exit = await parts.relay.child.stop('SIGINT');
      assert.equal(exit.code, 0, `view exit:\n${parts.relay.child.output()}`);
    }
    parts.relay?.child.kill();
    await parts.host?.child.stop('SIGTERM');
    parts.host?.child.kill();
  }
}

async function waitForPage(page, predicate, arg, timeoutMs, what) {
  try {
    await page.waitForFunction(predicate, arg, { timeout: timeoutMs, polling: 50 });
  } catch (error) {
    const stats = await pageStats(page).catch(() => ({}));
    throw new Error(`${what} within ${timeoutMs} ms; page: ${JSON.stringify(stats)}`);
  }
}

// Waits until the page has painted `count` more pictures.
async function paintedMore(page, count, timeoutMs, what) {
  const n = (await pageStats(page)).painted + count;
  return waitForPage(page, (n) => window.mirraxView.stats.painted >= n, n, timeoutMs, what);
}

// Over three seconds the stamps read from the page move forward, and the page paints
// at least 80 % of the pictures the relay received from the host (the counts are read
// a few pictures apart, and a page on a busy machine may fall behind once).
async function assertLive(page, relay) {
  const stamps = [];
  const before = { relay: (await relay.stats()).pictures, page: (await pageStats(page)).painted };
  for (let i = 0; i < 15; i++) {
    await delay(200);
    const stamp = await readStamp(page);
    if (stamp) stamps.push(stamp.sequence);
  }
  const hostPictures = (await relay.stats()).pictures - before.relay;
  const painted = (await pageStats(page)).painted - before.page;
  assert.ok(stamps.length >= 10, `stamps read: ${JSON.stringify(stamps)}`);
  assert.ok(stamps.every((stamp, i) => i === 0 || stamp >= stamps[i - 1]),
            `stamps go back: ${JSON.stringify(stamps)}`);
  assert.ok(stamps.at(-1) > stamps[0], 'the picture does not move');
  assert.ok(hostPictures > 0 && painted >= 0.8 * hostPictures,
            `painted ${painted} of the host's ${hostPictures} pictures`);
}

test('one viewer sees the live screen', async () => {
  await withView(async ({ host, relay, browser }) => {
    const { page, problems } = await openViewer(browser, relay.url);
    await paintedMore(page, 1, 2000, 'a picture painted');
    const stats = await pageStats(page);
    assert.deepEqual(stats.canvas, [360, 780]);
    assert.equal(stats.status, 'live');
    await assertLive(page, relay);
    assert.deepEqual(problems, []);

    // The same page by the name localhost paints too.
    const byName = await openViewer(browser, relay.url.replace('127.0.0.1', 'localhost'));
    await paintedMore(byName.page, 1, 3000, 'a picture painted on localhost');
    // A page of another origin gets no picture: its socket is refused, and it cannot
    // read the counters.
    const elsewhere = http.createServer((request, response) => response.end('<p>elsewhere'));
    await new Promise((resolve) => elsewhere.listen(0, '127.0.0.1', resolve));
    try {
      const origin = `http://localhost:${elsewhere.address().port}`;
      const { page: foreign } = await openViewer(browser, origin + '/');
      const outcome = await foreign.evaluate(async (port) => {
        const ws = new WebSocket(`ws://127.0.0.1:${port}/ws`);
        let messages = 0;
        ws.onmessage = () => messages++;
        const opened = await new Promise((resolve) => {
          ws.onopen = () => resolve(true);
          ws.onclose = () => resolve(false);
        });
        const stats = await fetch(`http://127.0.0.1:${port}/stats`).then(() => 'read', () => 'blocked');
        return { opened, messages, stats };
      }, relay.port);
      assert.deepEqual(outcome, { opened: false, messages: 0, stats: 'blocked' });
      await relay.child.waitForLine('stderr', `(origin ${origin}): the origin may not watch`,
                                    { timeoutMs: 2000 });
    } finally {
      elsewhere.close();
    }
    assert.equal((await fetch(relay.base + 'no-such-file.js')).status, 404);

    // A browser without WebCodecs is told so instead of showing a black page.
    const old = await (await browser.newContext()).newPage();
    await old.addInitScript(() => { delete window.VideoDecoder; });
    await old.goto(relay.url);
    assert.match(await old.textContent('#message'), /no WebCodecs video decoder/);
    assert.equal(await old.textContent('#status'), 'unsupported browser');

    // Ctrl-C ends the run with onEnd, and the page says the relay is gone.
    assert.equal((await relay.child.stop('SIGINT', 10000)).code, 0, relay.child.output());
    await host.child.waitForLine('stderr', 'Request to stop from', { timeoutMs: 5000 });
    await waitForPage(page, () => window.mirraxView.stats.relay === 'disconnected', null, 3000,
                      'the page shows the relay gone');
    assert.equal((await pageStats(page)).status, 'relay disconnected');
  });
});

test('buttons, then a rotation without a reload', async () => {
  // Without periodic key frames, each one seen is the answer to a request.
  await withView(async ({ host, relay, browser }) => {
    const { page, problems } = await openViewer(browser, relay.url);
    await paintedMore(page, 5, 2000, 'pictures painted');
    await page.evaluate(() => { window.notReloaded = true; });
    const keyFrames = (await pageStats(page)).keyFrames;
    await page.click('#keyframe');
    await waitForPage(page, () => window.mirraxView.stats.keyFrameAnsweredMs !== null, null,
                      1000, 'a key frame after the button');
    assert.ok((await pageStats(page)).keyFrames > keyFrames);

    const [download] = await Promise.all([page.waitForEvent('download', { timeout: 5000 }),
                                          page.click('#snapshot')]);
    assert.match(download.suggestedFilename(), /^screen-.*\.png$/);
    const png = await readFile(await download.path());
    assert.equal(png.subarray(0, 8).toString('hex'), '89504e470d0a1a0a');
    assert.deepEqual([png.readUInt32BE(16), png.readUInt32BE(20)], [360, 780]);

    await page.click('#fullscreen');
    await waitForPage(page, () => document.fullscreenElement?.id === 'stage', null, 2000,
                      'the picture in full screen');
    await page.dblclick('#screen');
    await waitForPage(page, () => document.fullscreenElement === null, null, 2000,
                      'full screen left');

    await host.control('rotate');
    await waitForPage(page, () => window.mirraxView.stats.width === 780 &&
                                  window.mirraxView.stats.height === 360,
                      null, 5000, 'a 780x360 picture');
    await paintedMore(page, 10, 3000, 'pictures after the rotation');
    const stats = await pageStats(page);
    assert.deepEqual(stats.canvas, [780, 360]);
    assert.ok(stats.configures >= 2, `configures: ${stats.configures}`);
    assert.equal(await page.evaluate(() => window.notReloaded), true);
    assert.ok(await readStamp(page), 'no stamp on the rotated picture');
    assert.deepEqual(problems, []);
  }, { launchOptions: ['-iFrameInterval', '100000'] });
});

test('the page waits for a restarted host and paints again', async () => {
  await withView(async (parts) => {
    const { relay, browser, hostPort } = parts;
    const { page } = await openViewer(browser, relay.url);
    await paintedMore(page, 5, 2000, 'pictures painted');
    await page.evaluate(() => { window.notReloaded = true; });

    assert.equal((await parts.host.child.stop('SIGTERM')).code, 0);
    await waitForPage(page, () => window.mirraxView.stats.host === 'down', null, 5000,
                      'the page shows the host gone');
    assert.equal((await pageStats(page)).status, 'host disconnected');
    assert.match(await page.textContent('#message'), /host is disconnected/);

    parts.host = await Host.start(hostPort);
    await paintedMore(page, 10, 8000, 'pictures from the new host');
    assert.equal((await pageStats(page)).status, 'live');
    assert.equal(await page.evaluate(() => window.notReloaded), true);
    assert.ok(await readStamp(page), 'no stamp after the restart');
  });
});
