#!/usr/bin/env node
// Takes the live view's picture for the README: a real host on the full-size synthetic
// screen, the mirrax_client view relay and the page in headless Chromium at a
// phone-like viewport; once the page paints the moving screen, saves a PNG of it.
//
//   node scripts/view-screenshot.mjs [--build DIR] [--out FILE]
//
// DIR defaults to $MIRRAX_BUILD_DIR, else build/; FILE to docs/view.png.
import { stat } from 'node:fs/promises';
import { mkdirSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const args = process.argv.slice(2);
function option(name, fallback) {
  const at = args.indexOf(name);
  return at >= 0 && at + 1 < args.length ? args[at + 1] : fallback;
}
process.env.MIRRAX_BUILD_DIR = path.resolve(
  option('--build', process.env.MIRRAX_BUILD_DIR || path.join(root, 'build')));
const out = path.resolve(option('--out', path.join(root, 'docs/view.png')));

const { Host, Relay, freePort, launchBrowser, openViewer, pageStats, readStamp, skipUnlessInstalled } =
  await import('../tests/browser/harness.mjs');

await skipUnlessInstalled();

const kViewport = { width: 480, height: 900 };
const kPaintedBeforeShot = 120;  // two seconds at 60 fps: the figures have settled
const kWaitMs = 30000;

const hostPort = await freePort();
// The later of two equal options wins: the harness's scaled-down defaults give way.
const host = await Host.start(hostPort, ['-scale', '1', '-frameRate', '60']);
let relay;
let browser;
let status = 1;
try {
  relay = await Relay.start(hostPort);
  browser = await launchBrowser();
  const { page, problems } = await openViewer(browser, relay.url, { viewport: kViewport });
  await page.waitForFunction((n) => window.mirraxView.stats.painted >= n, kPaintedBeforeShot,
                             { timeout: kWaitMs, polling: 100 });
  // The per-second figures update once a second; wait for a tick with a latency in it.
  await page.waitForFunction(() => window.mirraxView.stats.latencyMs !== null,
                             null, { timeout: kWaitMs, polling: 100 });
  const stamp = await readStamp(page);
  if (!stamp) throw new Error('the canvas shows no readable frame stamp');
  if (problems.length) throw new Error(`page errors: ${problems.join('; ')}`);
  mkdirSync(path.dirname(out), { recursive: true });
  await page.screenshot({ path: out });
  const stats = await pageStats(page);
  const { size } = await stat(out);
  console.log(`screenshot: ${out} (${size} bytes), viewport ${kViewport.width}x${kViewport.height}, ` +
              `picture ${stats.canvas.join('x')}, frame ${stamp.sequence}, ` +
              `${stats.fps.toFixed(1)} fps, latency ${stats.latencyMs.toFixed(1)} ms`);
  status = 0;
} catch (error) {
  console.error(`screenshot failed: ${error.message}`);
} finally {
  await browser?.close();
  if (relay) await relay.child.stop('SIGINT').catch(() => relay.child.kill());
  await host.child.stop('SIGTERM').catch(() => host.child.kill());
}
process.exit(status);
