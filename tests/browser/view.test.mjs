// mirrax_client view end to end: a real host, the real relay, pages in headless
// Chromium decoding with WebCodecs, and raw WebSocket clients for what browsers
// never do. Every wait is bounded.
import assert from 'node:assert/strict';
import { readFile, rm, mkdtemp } from 'node:fs/promises';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';

import {
  Host, Relay, RawWebSocket, delay, freePort, launchBrowser, openViewer, pageStats,
  rawExchange, readStamp, skipUnlessInstalled,
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

function paintedAtLeast(page, count, timeoutMs, what) {
  return waitForPage(page, (n) => window.mirraxView.stats.painted >= n, count, timeoutMs, what);
}

// Over `seconds`, reads the stamps of the page and compares its painted pictures with
// the pictures the relay received from the host.
async function watch(page, relay, seconds) {
  const stampsSeen = [];
  const pageCounts = async () => {
    const stats = await pageStats(page);
    return { painted: stats.painted, received: stats.received };
  };
  const before = { relay: (await relay.stats()).pictures, page: await pageCounts() };
  for (let i = 0; i < seconds * 5; i++) {
    await delay(200);
    const stamp = await readStamp(page);
    if (stamp) stampsSeen.push(stamp.sequence);
  }
  const after = { relay: (await relay.stats()).pictures, page: await pageCounts() };
  return { stamps: stampsSeen, hostPictures: after.relay - before.relay,
           painted: after.page.painted - before.page.painted,
           received: after.page.received - before.page.received };
}

// The picture moves and the page painted at least `share` of the host's pictures.
function assertLive(result, what, share = 0.9) {
  assert.ok(result.stamps.length >= 10, `${what}: stamps read ${JSON.stringify(result.stamps)}`);
  for (let i = 1; i < result.stamps.length; i++) {
    assert.ok(result.stamps[i] >= result.stamps[i - 1],
              `${what}: stamps go back: ${JSON.stringify(result.stamps)}`);
  }
  assert.ok(result.stamps.at(-1) > result.stamps[0], `${what}: the picture does not move`);
  assert.ok(result.hostPictures > 0, `${what}: the host sent nothing`);
  assert.ok(result.painted >= share * result.hostPictures,
            `${what}: painted ${result.painted} of the host's ${result.hostPictures} pictures`);
}

test('one viewer sees the live screen', async () => {
  await withView(async ({ relay, browser }) => {
    const { page, problems } = await openViewer(browser, relay.url);
    await waitForPage(page, () => window.mirraxView.stats.painted > 0, null, 2000,
                      'a picture painted');
    const stats = await pageStats(page);
    assert.deepEqual(stats.canvas, [360, 780]);
    assert.equal(stats.status, 'live');
    assertLive(await watch(page, relay, 3), 'one viewer');
    assert.deepEqual(problems, []);

    // The same page by the name localhost paints too.
    const byName = await openViewer(browser, relay.url.replace('127.0.0.1', 'localhost'));
    await paintedAtLeast(byName.page, 1, 3000, 'a picture painted on localhost');
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
  });
});

test('bad input closes only what sent it', async () => {
  await withView(async ({ relay, browser }) => {
    const notFound = await fetch(relay.base + 'no-such-file.js');
    assert.equal(notFound.status, 404);

    const { page } = await openViewer(browser, relay.url);
    await paintedAtLeast(page, 1, 2000, 'a picture painted');

    // An upgrade without its key and version.
    const reply = await rawExchange(relay.port,
                                    `GET /ws HTTP/1.1\r\nHost: 127.0.0.1:${relay.port}\r\n` +
                                    'Connection: Upgrade\r\nUpgrade: websocket\r\n\r\n');
    assert.match(reply, /^HTTP\/1\.1 400 /);
    // A request that is no HTTP at all.
    assert.match(await rawExchange(relay.port, 'HELLO\r\n\r\n'), /^HTTP\/1\.1 400 /);
    const index = await fetch(relay.url);
    assert.equal(index.status, 200);
    assert.match(await index.text(), /<canvas/);

    // A 10 MB message from a viewer closes that viewer. The relay says "message too
    // big" (1009) first, but closing with the rest of the message unread resets the
    // connection, which may discard that close frame before it is read.
    const huge = await RawWebSocket.connect(relay.port);
    huge.sendBinary(10 * 1024 * 1024);
    const closed = await Promise.race([huge.closed.then(() => true), delay(5000)]);
    assert.equal(closed, true, 'the viewer that sent 10 MB is still connected');
    assert.ok([null, 1009].includes(huge.closeCode()), `close code ${huge.closeCode()}`);
    huge.destroy();

    const painted = (await pageStats(page)).painted;
    await paintedAtLeast(page, painted + 10, 3000, 'the page goes on painting');
    assert.equal((await relay.stats()).viewers, 1);

    // A browser without WebCodecs is told so instead of showing a black page.
    const context = await browser.newContext();
    const old = await context.newPage();
    await old.addInitScript(() => { delete window.VideoDecoder; });
    await old.goto(relay.url);
    assert.match(await old.textContent('#message'), /no WebCodecs video decoder/);
    assert.equal(await old.textContent('#status'), 'unsupported browser');
  });
});

test('three viewers paint while a fourth never reads', async () => {
  await withView(async ({ relay, browser }) => {
    const stalled = await RawWebSocket.connect(relay.port);
    stalled.pause();
    const pages = [];
    for (let i = 0; i < 3; i++) pages.push((await openViewer(browser, relay.url)).page);
    for (const page of pages) await paintedAtLeast(page, 1, 3000, 'a picture painted');
    // Until the stalled viewer has fallen behind, the others are watched with it.
    for (let i = 0; i < 75 && (await relay.stats()).skips === 0; i++) await delay(200);
    assert.ok((await relay.stats()).skips > 0, 'the viewer that never reads never fell behind');
    const results = await Promise.all(pages.map((page) => watch(page, relay, 3)));
    // The relay hands each page every picture unless the page itself stops reading
    // for a moment: three decoders in one headless browser on a shared two-core
    // machine may fall behind once and restart at a key frame, and the windows of
    // the relay's and the page's counts are taken a few pictures apart.
    results.forEach((result, i) => {
      assert.ok(result.received >= 0.8 * result.hostPictures,
                `viewer ${i + 1}: received ${result.received} of ${result.hostPictures}`);
      assertLive(result, `viewer ${i + 1}`, 0.75);
    });
    stalled.destroy();
  });
});

test('ten viewers at once each join at a key frame', async () => {
  await withView(async ({ relay }) => {
    const viewers = [];
    for (let i = 0; i < 10; i++) viewers.push(await RawWebSocket.connect(relay.port));
    await delay(3000);
    const stats = await relay.stats();
    assert.equal(stats.viewers, 10);
    assert.equal(stats.skips, 0);
    for (const [i, viewer] of viewers.entries()) {
      const buffers = viewer.messages().filter((m) => m.opcode === 2).map((m) => ({
        version: m.payload.readUInt8(0),
        headerLength: m.payload.readUInt8(1),
        flags: m.payload.readUInt32LE(4),
        pts: m.payload.readDoubleLE(8),
        sentAt: m.payload.readDoubleLE(16),
        size: m.payload.length - 24,
      }));
      const what = `viewer ${i + 1}: ${JSON.stringify(buffers.slice(0, 3))}`;
      assert.ok(buffers.length >= 30, what);
      assert.ok(buffers.every((b) => b.version === 1 && b.headerLength === 24 && b.size > 0),
                what);
      assert.equal(buffers[0].flags & 8, 8, `${what}: codec data first`);
      assert.equal(buffers[1].flags & 2, 2, `${what}: then a key frame`);
      // Stamped on this machine's clock: after the host's hand-off, in the past.
      assert.ok(buffers.every((b) => b.sentAt >= b.pts && b.sentAt <= Date.now()), what);
      viewer.destroy();
    }
  });
});

test('a rotation reconfigures the page without a reload', async () => {
  await withView(async ({ host, relay, browser }) => {
    const { page, problems } = await openViewer(browser, relay.url);
    await paintedAtLeast(page, 5, 2000, 'pictures painted');
    await page.evaluate(() => { window.notReloaded = true; });
    await host.control('rotate');
    await waitForPage(page, () => window.mirraxView.stats.width === 780 &&
                                  window.mirraxView.stats.height === 360,
                      null, 5000, 'a 780x360 picture');
    const painted = (await pageStats(page)).painted;
    await paintedAtLeast(page, painted + 10, 3000, 'pictures after the rotation');
    const stats = await pageStats(page);
    assert.deepEqual(stats.canvas, [780, 360]);
    assert.ok(stats.configures >= 2, `configures: ${stats.configures}`);
    assert.equal(await page.evaluate(() => window.notReloaded), true);
    assert.ok(await readStamp(page), 'no stamp on the rotated picture');
    assert.deepEqual(problems, []);
  });
});

test('the page waits for a restarted host and paints again', async () => {
  await withView(async (parts) => {
    const { relay, browser, hostPort } = parts;
    const { page } = await openViewer(browser, relay.url);
    await paintedAtLeast(page, 5, 2000, 'pictures painted');
    await page.evaluate(() => { window.notReloaded = true; });

    assert.equal((await parts.host.child.stop('SIGTERM')).code, 0);
    await waitForPage(page, () => window.mirraxView.stats.host === 'down', null, 5000,
                      'the page shows the host gone');
    assert.equal((await pageStats(page)).status, 'host disconnected');
    assert.match(await page.textContent('#message'), /host is disconnected/);

    parts.host = await Host.start(hostPort);
    const painted = (await pageStats(page)).painted;
    await paintedAtLeast(page, painted + 10, 8000, 'pictures from the new host');
    assert.equal((await pageStats(page)).status, 'live');
    assert.equal(await page.evaluate(() => window.notReloaded), true);
    assert.ok(await readStamp(page), 'no stamp after the restart');
  });
});

test('key-frame, snapshot and full-screen buttons', async () => {
  // Without periodic key frames, each one seen is the answer to a request.
  await withView(async ({ relay, browser }) => {
    const { page } = await openViewer(browser, relay.url);
    await paintedAtLeast(page, 5, 2000, 'pictures painted');
    const keyFrames = (await pageStats(page)).keyFrames;
    await page.click('#keyframe');
    await waitForPage(page, () => window.mirraxView.stats.keyFrameAnsweredMs !== null, null,
                      1000, 'a key frame after the button');
    assert.ok((await pageStats(page)).keyFrames > keyFrames);

    const dir = await mkdtemp(path.join(os.tmpdir(), 'mirrax-view-'));
    try {
      const [download] = await Promise.all([page.waitForEvent('download', { timeout: 5000 }),
                                            page.click('#snapshot')]);
      assert.match(download.suggestedFilename(), /^screen-.*\.png$/);
      const file = path.join(dir, 'snapshot.png');
      await download.saveAs(file);
      const png = await readFile(file);
      assert.equal(png.subarray(0, 8).toString('hex'), '89504e470d0a1a0a');
      assert.equal(png.subarray(12, 16).toString('latin1'), 'IHDR');
      assert.deepEqual([png.readUInt32BE(16), png.readUInt32BE(20)], [360, 780]);
    } finally {
      await rm(dir, { recursive: true, force: true });
    }

    await page.click('#fullscreen');
    await waitForPage(page, () => document.fullscreenElement?.id === 'stage', null, 2000,
                      'the picture in full screen');
    await page.dblclick('#screen');
    await waitForPage(page, () => document.fullscreenElement === null, null, 2000,
                      'full screen left');
  }, { launchOptions: ['-iFrameInterval', '100000'] });
});

test('Ctrl-C ends the run with onEnd and closes the viewers', async () => {
  const hostPort = await freePort();
  const host = await Host.start(hostPort);
  const browser = await launchBrowser();
  try {
    const relay = await Relay.start(hostPort);
    const { page } = await openViewer(browser, relay.url);
    await paintedAtLeast(page, 1, 2000, 'a picture painted');
    const exit = await relay.child.stop('SIGINT', 10000);
    assert.equal(exit.code, 0, relay.child.output());
    await host.child.waitForLine('stderr', 'Request to stop from', { timeoutMs: 1000 });
    await waitForPage(page, () => window.mirraxView.stats.relay === 'disconnected', null, 3000,
                      'the page shows the relay gone');
    assert.equal((await pageStats(page)).status, 'relay disconnected');
  } finally {
    await browser.close();
    await host.child.stop('SIGTERM');
    host.child.kill();
  }
});
