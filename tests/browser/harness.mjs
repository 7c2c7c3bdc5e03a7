// The live-view tests' parts: host and relay children, headless Chromium, the stamp reader.
import { spawn } from 'node:child_process';
import { EventEmitter, once } from 'node:events';
import { existsSync } from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import readline from 'node:readline';

const buildDir = process.env.MIRRAX_BUILD_DIR;
if (!buildDir) throw new Error('MIRRAX_BUILD_DIR is not set (CTest sets it)');
export const hostBin = path.join(buildDir, 'bin/mirrax_host');
export const clientBin = path.join(buildDir, 'bin/mirrax_client');

export function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// A child process whose output lines are kept, with bounded waits for lines and exit.
export class Child {
  constructor(argv) {
    this.lines = { stdout: [], stderr: [] };
    this.exit = null;
    this.changed = new EventEmitter();
    this.proc = spawn(argv[0], argv.slice(1), { stdio: ['pipe', 'pipe', 'pipe'] });
    for (const stream of ['stdout', 'stderr']) {
      readline.createInterface({ input: this.proc[stream] }).on('line', (line) => {
        this.lines[stream].push(line);
        this.changed.emit('change');
      });
    }
    // After the exit and the end of both outputs.
    this.proc.on('close', (code, signal) => {
      this.exit = { code, signal };
      this.changed.emit('change');
    });
  }

  // Resolves with the first line holding `needle` once `count` such lines appeared.
  async waitForLine(stream, needle, { count = 1, timeoutMs = 15000 } = {}) {
    const deadline = AbortSignal.timeout(timeoutMs);
    for (;;) {
      const matches = this.lines[stream].filter((line) => line.includes(needle));
      if (matches.length >= count) return matches[count - 1];
      if (this.exit || deadline.aborted) {
        const seen = this.lines[stream].join('\n');
        throw new Error(`no "${needle}" from ${this.proc.spawnfile}:\n${seen}`);
      }
      await once(this.changed, 'change', { signal: deadline }).catch(() => {});
    }
  }

  async stop(signal = 'SIGTERM', timeoutMs = 20000) {
    if (!this.exit) {
      this.proc.kill(signal);
      await once(this.proc, 'close', { signal: AbortSignal.timeout(timeoutMs) });
    }
    return this.exit;
  }

  kill() {
    if (!this.exit) this.proc.kill('SIGKILL');
  }
}

// The synthetic screen at a third of its size (360x780) and 30 fps keeps the encoder
// light on a busy two-core machine.
const kHostOptions = ['-scale', '3', '-frameRate', '30'];

export class Host {
  static async start(port, launchOptions = []) {
    const host = new Host();
    host.child = new Child([hostBin, '--control', 'stdin', '-p', String(port),
                            ...kHostOptions, ...launchOptions]);
    await host.child.waitForLine('stdout', 'Server Listening on port:');
    return host;
  }

  async control(command) {
    const before = this.child.lines.stderr.filter((line) => line.includes('control: ')).length;
    this.child.proc.stdin.write(command + '\n');
    const reply = await this.child.waitForLine('stderr', 'control: ', { count: before + 1 });
    if (!reply.startsWith('control: ok')) throw new Error(`"${command}": ${reply}`);
  }
}

export class Relay {
  static async start(hostPort, extra = []) {
    const relay = new Relay();
    relay.child = new Child([clientBin, '-p', String(hostPort), 'view',
                             '--listen', '127.0.0.1:0', ...extra]);
    const line = await relay.child.waitForLine('stdout', 'view: watch the screen at ');
    // The page's address as printed, with its token.
    relay.url = line.match(/(http:\/\/\S+\/\?token=\w+)/)[1];
    relay.port = Number(new URL(relay.url).port);
    return relay;
  }
}

export const chromiumPath = process.env.MIRRAX_CHROMIUM || '/usr/bin/chromium';

// Exits with 77 (CTest's "skipped") when a part the tests need is not installed.
export async function skipUnlessInstalled() {
  const missing = [chromiumPath, hostBin, clientBin].filter((file) => !existsSync(file));
  if (!(await import('playwright-core').catch(() => null))) missing.push('playwright-core');
  if (missing.length) {
    console.log(`skipping the browser tests: missing ${missing.join(', ')} ` +
                '(scripts/bootstrap, tests/browser/install)');
    process.exit(77);
  }
}

export async function launchBrowser() {
  const { chromium } = await import('playwright-core');
  return chromium.launch({
    executablePath: chromiumPath,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
           '--disable-background-timer-throttling', '--disable-renderer-backgrounding'],
  });
}

export async function openViewer(browser, url, { viewport = { width: 800, height: 600 } } = {}) {
  const context = await browser.newContext({ acceptDownloads: true, viewport });
  const page = await context.newPage();
  const problems = [];
  page.on('pageerror', (error) => problems.push(String(error)));
  await page.goto(url);
  return { page, problems };
}

export function pageStats(page) {
  return page.evaluate(() => ({ ...window.mirraxView.stats,
                                canvas: [document.getElementById('screen').width,
                                         document.getElementById('screen').height],
                                status: document.getElementById('status').textContent }));
}

// Reads the frame stamp from the canvas, as platform/src/frame_stamp.cpp draws it:
// three bands of 32 cells across the top, each band 1/60 of the height; band 0 the
// frame number, band 1 its complement, band 2 the drawing time. Each cell is read at
// its centre, thresholded at 128. Null when the bands do not check out.
// With `tile`, the canvas of that grid tile.
export function readStamp(page, tile) {
  return page.evaluate((tile) => {
    const canvas = tile === undefined ? document.getElementById('screen')
                                      : document.querySelectorAll('.tile canvas')[tile];
    const { width, height } = canvas;
    if (width < 64 || height < 120) return null;
    const pixels = canvas.getContext('2d').getImageData(0, 0, width, Math.ceil(height / 20)).data;
    const bands = [0, 1, 2].map((band) => {
      const y = Math.floor(((band + 0.5) * height) / 60);
      let bits = 0;
      for (let cell = 0; cell < 32; cell++) {
        const i = (y * width + Math.floor(((cell + 0.5) * width) / 32)) * 4;
        if (pixels[i] + pixels[i + 1] + pixels[i + 2] >= 3 * 128) bits |= 1 << (31 - cell);
      }
      return bits >>> 0;
    });
    return bands[1] === (~bands[0] >>> 0) ? { sequence: bands[0], drawTimeUs: bands[2] } : null;
  }, tile);
}
