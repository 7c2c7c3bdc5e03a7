// mirrax_client view with several hosts: the grid page in headless Chromium, one tile
// per device from each host's key frames, a click opening a device live. Every wait
// is bounded.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import {
  Host, Relay, freePort, launchBrowser, openViewer, pageStats, readStamp, skipUnlessInstalled,
} from './harness.mjs';

await skipUnlessInstalled();

const tiles = (page) => page.$$eval('.tile', (all) => all.map((tile) => [
  tile.querySelector('.name').textContent, tile.querySelector('.state').textContent]));

async function waitFor(page, predicate, arg, timeout, what) {
  await page.waitForFunction(predicate, arg, { timeout, polling: 100 }).catch(async () => {
    throw new Error(`${what} within ${timeout} ms: ${JSON.stringify(await tiles(page))}`);
  });
}

// readStamp reads the canvas #screen: tile `index`'s canvas has that id for the read.
async function tileStamp(page, index) {
  const lend = (to) => page.$$eval('.tile canvas', (all, i) => all.forEach((c, j) => {
    c.id = i === j ? 'screen' : '';
  }), to);
  await lend(index);
  const stamp = await readStamp(page);
  await lend(-1);
  return stamp?.sequence;
}

// Two pictures painted in tile `index` from now on, the second newer.
async function tileMoves(page, index) {
  const stamps = [];
  for (let i = 0; i < 2; i++) {
    const painted = await page.evaluate((j) => window.mirraxGrid.tiles[j].painted, index);
    await waitFor(page, ([j, n]) => window.mirraxGrid.tiles[j].painted > n, [index, painted], 5000,
                  `a new picture in tile ${index}`);
    stamps.push(await tileStamp(page, index));
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
    await waitFor(page, () => window.mirraxGrid.tiles.map((t) => t.state).join() ===
                  'up,nostream,up', null, 15000, 'the tiles\' states');
    assert.deepEqual(await tiles(page), [['alpha', 'up'], ['beta', 'no stream'], ['gamma', 'up']]);
    await relay.child.waitForLine('stderr', 'view: beta: the host at', { timeoutMs: 1000 });
    await tileMoves(page, 0);
    await tileMoves(page, 2);

    // gamma goes away and comes back; alpha goes on meanwhile.
    assert.equal((await hosts[2].child.stop('SIGTERM')).code, 0);
    await waitFor(page, () => window.mirraxGrid.tiles[2].state === 'down', null, 5000, 'gamma down');
    await tileMoves(page, 0);
    hosts[2] = await Host.start(ports[2]);
    await waitFor(page, () => window.mirraxGrid.tiles[2].state === 'up', null, 10000, 'gamma up');
    await tileMoves(page, 2);

    // A click opens alpha live: every picture, stamps going up.
    await page.click('.tile >> nth=0');
    await page.waitForURL(/index\.html\?device=0/, { timeout: 5000 });
    await waitFor(page, () => window.mirraxView.stats.painted >= 10, null, 5000, 'alpha live');
    const stamps = [(await readStamp(page)).sequence];
    await waitFor(page, () => window.mirraxView.stats.painted >= 20, null, 5000, 'alpha live');
    stamps.push((await readStamp(page)).sequence);
    assert.ok(stamps[1] > stamps[0], `stamps ${stamps}`);
    assert.equal((await pageStats(page)).status, 'live');
    assert.equal(await page.textContent('#device'), 'alpha');
    // Escape goes back to the grid, its pictures there again.
    await page.keyboard.press('Escape');
    await waitFor(page, () => window.mirraxGrid?.tiles.filter((t) => t.painted > 0).length === 2,
                  null, 5000, 'the grid again');
    assert.deepEqual(problems, []);
    assert.equal((await relay.child.stop('SIGINT')).code, 0, relay.child.output());
  } finally {
    await browser.close();
    relay.child.kill();
    for (const host of hosts) {
      await host.child.stop('SIGTERM');
      host.child.kill();
    }
  }
});
