// mirrax_client view with real hosts and pages in headless Chromium: the live page of one
// host, and the grid of several. What no browser does is in tests/client/view_relay_test.cpp.
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import http from 'node:http';
import { test } from 'node:test';
import { setTimeout as delay } from 'node:timers/promises';

import {
  Host, Relay, freePort, launchBrowser, openViewer, pageStats, readStamp, skipUnlessInstalled,
} from './harness.mjs';

await skipUnlessInstalled();

async function waitForPage(page, predicate, arg, timeout, what) {
  await page.waitForFunction(predicate, arg, { timeout, polling: 50 }).catch(async () => {
    const seen = await page.evaluate(() => JSON.stringify(window.mirraxView?.stats ??
                                                          window.mirraxGrid?.tiles)).catch(() => '');
    throw new Error(`${what} within ${timeout} ms; page: ${seen}`);
  });
}

async function paintedMore(page, count, timeoutMs, what) {
  const n = (await pageStats(page)).painted + count;
  return waitForPage(page, (n) => window.mirraxView.stats.painted >= n, n, timeoutMs, what);
}

// Over three seconds the stamps read from the page move forward, and the page paints
// at least 80 % of the pictures the relay received from the host (the counts are read
// a few pictures apart, and a page on a busy machine may fall behind once).
async function assertLive(page, relay) {
  const stamps = [];
  const received = async () =>
    (await (await fetch(relay.url.replace('/?', '/stats?'))).json()).pictures;
  const before = { relay: await received(), page: (await pageStats(page)).painted };
  for (let i = 0; i < 15; i++) {
    await delay(200);
    const stamp = await readStamp(page);
    if (stamp) stamps.push(stamp.sequence);
  }
  const hostPictures = (await received()) - before.relay;
  const painted = (await pageStats(page)).painted - before.page;
  assert.ok(stamps.length >= 10, `stamps read: ${JSON.stringify(stamps)}`);
  assert.ok(stamps.every((stamp, i) => i === 0 || stamp >= stamps[i - 1]),
            `stamps go back: ${JSON.stringify(stamps)}`);
  assert.ok(stamps.at(-1) > stamps[0], 'the picture does not move');
  assert.ok(hostPictures > 0 && painted >= 0.8 * hostPictures,
            `painted ${painted} of the host's ${hostPictures} pictures`);
}

// Without periodic key frames, each one seen after the join answers a request.
test('the live page through its buttons, a rotation and a host restart', async () => {
  const hostPort = await freePort();
  let host = await Host.start(hostPort, ['-iFrameInterval', '100000']);
  let relay;
  let browser;
  try {
    relay = await Relay.start(hostPort);
    browser = await launchBrowser();
    const { page, problems } = await openViewer(browser, relay.url);
    await paintedMore(page, 1, 2000, 'a picture painted');
    await page.evaluate(() => { window.notReloaded = true; });
    let stats = await pageStats(page);
    assert.deepEqual(stats.canvas, [360, 780]);
    assert.equal(stats.status, 'live');
    await assertLive(page, relay);

    // The same page by the name localhost paints too.
    const byName = await openViewer(browser, relay.url.replace('127.0.0.1', 'localhost'));
    await paintedMore(byName.page, 1, 3000, 'a picture painted on localhost');
    await byName.page.close();
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
    } finally {
      elsewhere.close();
    }

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

    await host.control('rotate');
    await waitForPage(page, () => window.mirraxView.stats.width === 780 &&
                                  window.mirraxView.stats.height === 360,
                      null, 5000, 'a 780x360 picture');
    await paintedMore(page, 10, 3000, 'pictures after the rotation');
    stats = await pageStats(page);
    assert.deepEqual(stats.canvas, [780, 360]);
    assert.ok(stats.configures >= 2, `configures: ${stats.configures}`);
    assert.ok(await readStamp(page), 'no stamp on the rotated picture');

    // The page waits for a restarted host and paints its pictures.
    assert.equal((await host.child.stop('SIGTERM')).code, 0);
    await waitForPage(page, () => window.mirraxView.stats.host === 'down', null, 5000,
                      'the page shows the host gone');
    assert.equal((await pageStats(page)).status, 'host disconnected');
    assert.match(await page.textContent('#message'), /host is disconnected/);
    host = await Host.start(hostPort);
    await paintedMore(page, 10, 8000, 'pictures from the new host');
    stats = await pageStats(page);
    assert.deepEqual([stats.status, stats.canvas], ['live', [360, 780]]);
    assert.ok(await readStamp(page), 'no stamp after the restart');
    assert.equal(await page.evaluate(() => window.notReloaded), true);
    assert.deepEqual(problems, []);
  } finally {
    await browser?.close();
    relay?.child.kill();
    await host.child.stop('SIGTERM');
  }
});

// Two pictures painted in tile `index` from now on, the second newer.
async function tileMoves(page, index) {
  const stamps = [];
  for (let i = 0; i < 2; i++) {
    const painted = await page.evaluate((j) => window.mirraxGrid.tiles[j].painted, index);
    await waitForPage(page, ([j, n]) => window.mirraxGrid.tiles[j].painted > n, [index, painted],
                      5000, `a new picture in tile ${index}`);
    stamps.push((await readStamp(page, index))?.sequence);
  }
  assert.ok(stamps[0] !== undefined && stamps[1] > stamps[0], `tile ${index}: stamps ${stamps}`);
}

test('a grid shows every device and opens one live', async () => {
  const ports = [await freePort(), await freePort(), await freePort()];
  const hosts = [await Host.start(ports[0]), await Host.start(ports[1], ['-m', '1']),
                 await Host.start(ports[2])];
  const relay = await Relay.start(ports[0], [
    '--server', `127.0.0.1:${ports[1]}`, '--server', `127.0.0.1:${ports[2]}`,
    '--name', 'alpha', '--name', 'beta', '--name', 'gamma']);
  const browser = await launchBrowser();
  try {
    const { page, problems } = await openViewer(browser, relay.url);
    await waitForPage(page, () => window.mirraxGrid.tiles.map((t) => t.state).join() ===
                      'up,nostream,up', null, 15000, 'the tiles\' states');
    assert.deepEqual(await page.$$eval('.tile', (all) => all.map((tile) => [
      tile.querySelector('.name').textContent, tile.querySelector('.state').textContent])),
    [['alpha', 'up'], ['beta', 'no stream'], ['gamma', 'up']]);
    await relay.child.waitForLine('stderr', 'view: beta: the host at', { timeoutMs: 1000 });
    await tileMoves(page, 0);
    await tileMoves(page, 2);

    // gamma goes away; alpha goes on meanwhile.
    assert.equal((await hosts[2].child.stop('SIGTERM')).code, 0);
    await waitForPage(page, () => window.mirraxGrid.tiles[2].state === 'down', null, 5000,
                      'gamma down');
    await tileMoves(page, 0);

    // A click opens alpha live: stamps going up.
    await page.click('.tile >> nth=0');
    await page.waitForURL(/index\.html\?device=0/, { timeout: 5000 });
    await paintedMore(page, 10, 5000, 'alpha live');
    const stamp = (await readStamp(page)).sequence;
    await paintedMore(page, 10, 5000, 'alpha live');
    assert.ok((await readStamp(page)).sequence > stamp);
    assert.deepEqual([(await pageStats(page)).status, await page.textContent('#device')],
                     ['live', 'alpha']);
    assert.deepEqual(problems, []);
    assert.equal((await relay.child.stop('SIGINT')).code, 0, relay.child.lines.stderr.join('\n'));
  } finally {
    await browser.close();
    relay.child.kill();
    for (const host of hosts) await host.child.stop('SIGTERM');
  }
});
