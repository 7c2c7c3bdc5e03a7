#!/usr/bin/env node
// The live view under load: a real host on the full-size synthetic screen (1080x2340)
// at 60 fps, the mirrax_client view relay, and headless Chromium painting the stream.
// For 1 viewer (one page) and for 10 viewers (the same page plus 9 raw WebSocket
// viewers that read every byte), in rotation, each run measures:
//   - pictures the page painted per second (the page's own painted counter),
//   - the latency from the relay's send to the painted picture (median, p99; the
//     page's own samples),
//   - the relay's CPU per relayed picture: utime+stime of the view process from
//     /proc/PID/stat over the window, divided by the pictures the relay received;
//     beside it the same from the threads' schedstat run times (nanoseconds, so
//     not limited to the clock tick's resolution).
// Prints each run, then a Markdown table of the medians per configuration and the
// ratio of 10-viewer to 1-viewer CPU per picture. A measurement, not a test.
//
//   node bench/view/view_bench.mjs [--build DIR] [--rounds N] [--seconds S] [--warmup S]
//                                  [--raw-only]
//
// --raw-only leaves the browser out: 1 raw viewer against 10 raw viewers, so the
// relay's cost per viewer is measured without a decoding browser on the same cores.
//
// DIR defaults to $MIRRAX_BUILD_DIR, else build/. Needs tests/browser/install.
import { execFileSync } from 'node:child_process';
import { readFileSync, readdirSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const args = process.argv.slice(2);
function option(name, fallback) {
  const at = args.indexOf(name);
  return at >= 0 && at + 1 < args.length ? args[at + 1] : fallback;
}
process.env.MIRRAX_BUILD_DIR = path.resolve(
  option('--build', process.env.MIRRAX_BUILD_DIR || path.join(root, 'build')));
const rounds = Number(option('--rounds', '3'));
const seconds = Number(option('--seconds', '10'));
const warmupSeconds = Number(option('--warmup', '3'));
// --raw-only: no browser; 1 raw viewer against 10, the relay's fan-out alone.
const rawOnly = args.includes('--raw-only');

const harness = await import('../../tests/browser/harness.mjs');
const { Host, Relay, RawWebSocket, delay, freePort, launchBrowser, openViewer, withTimeout } =
  harness;
await harness.skipUnlessInstalled();

const kViewport = { width: 480, height: 900 };
const kRawViewers = 9;
const kJoinTimeoutMs = 20000;
const clockTicks = Number(execFileSync('getconf', ['CLK_TCK']).toString().trim()) || 100;

// CPU seconds the process has used from /proc/PID/stat: user (utime) and kernel
// (stime; on loopback it includes the receiving side's TCP work of each send).
function statCpuSeconds(pid) {
  const text = readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = text.slice(text.lastIndexOf(')') + 2).split(' ');
  // fields[0] is field 3 (state): utime is field 14, stime field 15.
  return { user: Number(fields[11]) / clockTicks, system: Number(fields[12]) / clockTicks };
}

// CPU seconds the process's live threads have run, from their schedstat (ns).
function schedCpuSeconds(pid) {
  let ns = 0;
  for (const task of readdirSync(`/proc/${pid}/task`)) {
    try {
      ns += Number(readFileSync(`/proc/${pid}/task/${task}/schedstat`, 'utf8').split(' ')[0]);
    } catch {
      // the thread ended between the listing and the read
    }
  }
  return ns / 1e9;
}

// A WebSocket viewer that reads everything and keeps only counts: binary messages
// and payload bytes. Frames are parsed as they stream in; payloads are not kept.
class CountingViewer {
  static async connect(port) {
    return new CountingViewer(await RawWebSocket.connect(port));
  }

  constructor(ws) {
    this.ws = ws;
    this.messages = 0;
    this.bytes = 0;
    this.head = Buffer.alloc(0);
    this.remaining = 0;
    this.inPayload = false;
    this.fin = false;
    this.opcode = 0;
    this.messageOpcode = 0;
    const rest = Buffer.concat(ws.received);
    ws.received = [];
    ws.socket.removeAllListeners('data');
    ws.socket.on('data', (chunk) => this.feed(chunk));
    this.feed(rest);
  }

  feed(chunk) {
    let data = chunk;
    for (let guard = 0; data.length > 0 && guard < 1e6; guard++) {
      if (this.inPayload) {
        const n = Math.min(this.remaining, data.length);
        this.remaining -= n;
        this.bytes += n;
        data = data.subarray(n);
        if (this.remaining === 0) this.frameDone();
        continue;
      }
      this.head = this.head.length ? Buffer.concat([this.head, data]) : data;
      data = Buffer.alloc(0);
      const head = this.head;
      if (head.length < 2) return;
      let length = head[1] & 0x7f;
      let offset = 2;
      if (length === 126) {
        if (head.length < 4) return;
        length = head.readUInt16BE(2);
        offset = 4;
      } else if (length === 127) {
        if (head.length < 10) return;
        length = Number(head.readBigUInt64BE(2));
        offset = 10;
      }
      this.fin = (head[0] & 0x80) !== 0;
      this.opcode = head[0] & 0x0f;
      this.remaining = length;
      this.inPayload = true;
      data = head.subarray(offset);
      this.head = Buffer.alloc(0);
      if (length === 0) this.frameDone();
    }
  }

  frameDone() {
    this.inPayload = false;
    if (this.opcode !== 0) this.messageOpcode = this.opcode;
    if (this.fin && this.messageOpcode === 2) this.messages++;
  }

  close() {
    this.ws.destroy();
  }
}

function percentile(sorted, share) {
  if (!sorted.length) return NaN;
  return sorted[Math.min(sorted.length - 1, Math.floor(share * sorted.length))];
}
const median = (values) => percentile([...values].sort((a, b) => a - b), 0.5);

async function waitFor(predicate, timeoutMs, what) {
  const deadline = Date.now() + timeoutMs;
  for (let i = 0; i < 10000 && Date.now() < deadline; i++) {
    if (await predicate()) return;
    await delay(50);
  }
  throw new Error(`${what} within ${timeoutMs} ms`);
}

// One measured run; with `browser` null every viewer is a raw one.
async function run(browser, relay, viewers) {
  const page = browser
    ? (await openViewer(browser, relay.url, { viewport: kViewport })).page
    : null;
  const raw = [];
  try {
    if (page) {
      await page.waitForFunction(() => window.mirraxView.stats.painted >= 10, null,
                                 { timeout: kJoinTimeoutMs, polling: 100 });
    }
    for (let i = page ? 1 : 0; i < viewers; i++) {
      raw.push(await CountingViewer.connect(relay.port));
    }
    await waitFor(() => raw.every((v) => v.messages > 0), kJoinTimeoutMs,
                  'every raw viewer received a picture');
    await delay(warmupSeconds * 1000);

    const pid = relay.child.proc.pid;
    const sample = async () => ({
      at: performance.now(),
      stat: statCpuSeconds(pid),
      sched: schedCpuSeconds(pid),
      relay: await relay.stats(),
      painted: page ? await page.evaluate(() => window.mirraxView.stats.painted) : NaN,
      raw: raw.map((v) => v.messages),
    });
    await page?.evaluate(() => { window.mirraxView.latencySamples.length = 0; });
    const before = await sample();
    await delay(seconds * 1000);
    const after = await sample();
    const latencies = page
      ? await page.evaluate(() => [...window.mirraxView.latencySamples])
      : [];
    latencies.sort((a, b) => a - b);

    const elapsed = (after.at - before.at) / 1000;
    const pictures = after.relay.pictures - before.relay.pictures;
    const rawFps = raw.map((v, i) => (after.raw[i] - before.raw[i]) / elapsed);
    return {
      viewers,
      relayedFps: pictures / elapsed,
      paintedFps: (after.painted - before.painted) / elapsed,
      rawFpsMin: rawFps.length ? Math.min(...rawFps) : NaN,
      latencyMedian: percentile(latencies, 0.5),
      latencyP99: percentile(latencies, 0.99),
      statMsPerFrame: ((after.stat.user + after.stat.system - before.stat.user -
                        before.stat.system) * 1000) / pictures,
      userMsPerFrame: ((after.stat.user - before.stat.user) * 1000) / pictures,
      systemMsPerFrame: ((after.stat.system - before.stat.system) * 1000) / pictures,
      schedMsPerFrame: ((after.sched - before.sched) * 1000) / pictures,
      skips: after.relay.skips - before.relay.skips,
    };
  } finally {
    for (const v of raw) v.close();
    await page?.context().close();
    await waitFor(async () => (await relay.stats()).viewers === 0, kJoinTimeoutMs,
                  'the relay saw every viewer leave');
  }
}

const fmt = (value, digits = 1) => (Number.isFinite(value) ? value.toFixed(digits) : '–');

const hostPort = await freePort();
const host = await Host.start(hostPort, ['-frameRate', '60'], { baseOptions: [] });
let relay;
let browser;
let status = 1;
try {
  relay = await Relay.start(hostPort);
  browser = rawOnly ? null : await launchBrowser();
  console.log(`view_bench: synthetic 1080x2340 at 60 fps, ${os.cpus().length} cores, ` +
              `${rounds} rounds of ${seconds} s (after ${warmupSeconds} s warm-up), ` +
              (rawOnly ? 'raw viewers only' : `viewport ${kViewport.width}x${kViewport.height}`));
  const results = { 1: [], 10: [] };
  for (let round = 1; round <= rounds; round++) {
    for (const viewers of [1, 1 + kRawViewers]) {
      const r = await withTimeout(run(browser, relay, viewers),
                                  (seconds + warmupSeconds) * 1000 + 4 * kJoinTimeoutMs,
                                  `run of ${viewers} viewers`);
      results[viewers].push(r);
      console.log(`round ${round}, ${viewers} viewer(s): relayed ${fmt(r.relayedFps)} fps, ` +
                  `painted ${fmt(r.paintedFps)} fps, raw viewers min ${fmt(r.rawFpsMin)} fps, ` +
                  `latency median ${fmt(r.latencyMedian)} ms p99 ${fmt(r.latencyP99)} ms, ` +
                  `relay CPU ${fmt(r.statMsPerFrame, 3)} ms/frame ` +
                  `(user ${fmt(r.userMsPerFrame, 3)}, system ${fmt(r.systemMsPerFrame, 3)}) ` +
                  `(schedstat ${fmt(r.schedMsPerFrame, 3)}), skips ${r.skips}`);
    }
  }

  const rows = [1, 10].map((viewers) => {
    const list = results[viewers];
    const m = (key) => median(list.map((r) => r[key]));
    return { viewers, relayed: m('relayedFps'), painted: m('paintedFps'),
             latencyMedian: m('latencyMedian'), latencyP99: m('latencyP99'),
             stat: m('statMsPerFrame'), sched: m('schedMsPerFrame'),
             user: m('userMsPerFrame'), system: m('systemMsPerFrame'),
             skips: list.reduce((sum, r) => sum + r.skips, 0) };
  });
  console.log('');
  console.log('| viewers | relayed fps | painted fps | send→paint median | send→paint p99 | ' +
              'relay CPU per frame (stat) | of it user / system | ' +
              'relay CPU per frame (schedstat) | skips |');
  console.log('|---|---|---|---|---|---|---|---|---|');
  for (const row of rows) {
    const label = rawOnly ? `${row.viewers} raw`
      : row.viewers === 1 ? '1 (page)' : `10 (page + ${kRawViewers} raw)`;
    console.log(`| ${label} | ${fmt(row.relayed)} | ${fmt(row.painted)} | ` +
                `${fmt(row.latencyMedian)} ms | ${fmt(row.latencyP99)} ms | ` +
                `${fmt(row.stat, 3)} ms | ${fmt(row.user, 3)} / ${fmt(row.system, 3)} ms | ` +
                `${fmt(row.sched, 3)} ms | ${row.skips} |`);
  }
  console.log('');
  console.log(`10 viewers / 1 viewer, relay CPU per frame: ${fmt(rows[1].stat / rows[0].stat, 2)} ` +
              `(stat), ${fmt(rows[1].sched / rows[0].sched, 2)} (schedstat); ` +
              `medians of ${rounds} runs each`);
  status = 0;
} catch (error) {
  console.error(`view_bench failed: ${error.stack || error.message}`);
} finally {
  await browser?.close();
  if (relay) await relay.child.stop('SIGINT').catch(() => relay.child.kill());
  await host.child.stop('SIGTERM').catch(() => host.child.kill());
}
process.exit(status);
