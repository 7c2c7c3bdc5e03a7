// Real parts for the live-view tests: a mirrax_host child on a free loopback port,
// the mirrax_client view relay in front of it, headless Chromium driven by
// playwright-core, raw WebSocket clients and the frame-stamp reader.
import { spawn } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import { existsSync } from 'node:fs';
import net from 'node:net';
import path from 'node:path';

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
    this.waiters = new Set();
    this.exit = null;
    this.proc = spawn(argv[0], argv.slice(1), { stdio: ['pipe', 'pipe', 'pipe'] });
    for (const stream of ['stdout', 'stderr']) {
      let partial = '';
      this.proc[stream].setEncoding('utf8');
      this.proc[stream].on('data', (chunk) => {
        const parts = (partial + chunk).split('\n');
        partial = parts.pop();
        this.lines[stream].push(...parts);
        this.notify();
      });
    }
    this.exited = new Promise((resolve) => {
      this.proc.on('exit', (code, signal) => {
        this.exit = { code, signal };
        this.notify();
        resolve(this.exit);
      });
    });
  }

  notify() {
    for (const waiter of [...this.waiters]) waiter();
  }

  output(stream = 'stderr') {
    return this.lines[stream].join('\n');
  }

  count(stream, needle) {
    return this.lines[stream].filter((line) => line.includes(needle)).length;
  }

  // Resolves with the first line holding `needle` once `count` such lines appeared.
  waitForLine(stream, needle, { count = 1, timeoutMs = 15000 } = {}) {
    return new Promise((resolve, reject) => {
      const check = () => {
        const matches = this.lines[stream].filter((line) => line.includes(needle));
        if (matches.length >= count) {
          done();
          resolve(matches[count - 1]);
        } else if (this.exit) {
          done();
          reject(new Error(`${this.proc.spawnfile} exited before "${needle}":\n` +
                           this.output(stream)));
        }
      };
      const timer = setTimeout(() => {
        done();
        reject(new Error(`no "${needle}" within ${timeoutMs} ms:\n${this.output(stream)}`));
      }, timeoutMs);
      const done = () => {
        clearTimeout(timer);
        this.waiters.delete(check);
      };
      this.waiters.add(check);
      check();
    });
  }

  async stop(signal = 'SIGTERM', timeoutMs = 20000) {
    if (this.exit) return this.exit;
    this.proc.kill(signal);
    return withTimeout(this.exited, timeoutMs, `${this.proc.spawnfile} did not exit`);
  }

  kill() {
    if (!this.exit) this.proc.kill('SIGKILL');
  }
}

export function withTimeout(promise, ms, what) {
  let timer;
  return Promise.race([
    promise.finally(() => clearTimeout(timer)),
    new Promise((_, reject) => {
      timer = setTimeout(() => reject(new Error(`${what} within ${ms} ms`)), ms);
    }),
  ]);
}

export const delay = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The synthetic screen at a third of its size (360x780) and 30 fps keeps the encoder
// light on a busy two-core machine.
export const kHostOptions = ['-scale', '3', '-frameRate', '30'];

export class Host {
  // `baseOptions` replaces the light test settings, e.g. with [] for the full-size
  // screen at the library's own defaults.
  static async start(port, launchOptions = [], { baseOptions = kHostOptions } = {}) {
    const host = new Host();
    host.port = port;
    host.child = new Child([hostBin, '--control', 'stdin', '-p', String(port),
                            ...baseOptions, ...launchOptions]);
    await host.child.waitForLine('stdout', 'Server Listening on port:');
    return host;
  }

  async control(command) {
    const before = this.child.count('stderr', 'control: ');
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
    // The page's address as printed, with its token; `base` without it.
    relay.url = line.match(/(http:\/\/\S+\/\?token=\w+)/)[1];
    relay.base = relay.url.replace(/\?.*/, '');
    relay.port = Number(new URL(relay.url).port);
    return relay;
  }

  async stats() {
    const response = await fetch(this.url.replace('/?', '/stats?'));
    return response.json();
  }
}

export const chromiumPath = process.env.MIRRAX_CHROMIUM || '/usr/bin/chromium';

// Exits with 77 (CTest's "skipped") when a part the tests need is not installed.
export async function skipUnlessInstalled() {
  const missing = [];
  if (!existsSync(chromiumPath)) missing.push(`${chromiumPath} (scripts/bootstrap installs chromium)`);
  try {
    await import('playwright-core');
  } catch {
    missing.push('playwright-core (tests/browser/install)');
  }
  for (const bin of [hostBin, clientBin]) if (!existsSync(bin)) missing.push(bin);
  if (missing.length) {
    console.log(`skipping the browser tests: missing ${missing.join(', ')}`);
    process.exit(77);
  }
}

export async function launchBrowser() {
  const { chromium } = await import('playwright-core');
  return chromium.launch({
    executablePath: chromiumPath,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--disable-background-timer-throttling', '--disable-renderer-backgrounding',
           '--disable-backgrounding-occluded-windows'],
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

// Reads the frame stamp from the canvas, as platform/src/frame_stamp.cpp draws and
// reads it: three bands of 32 cells across the top, each band 1/60 of the height;
// band 0 the frame number, band 1 its complement, band 2 the drawing time. Each cell
// is the mean of a window around its centre, thresholded at 128. Null when the
// bands do not check out (no picture yet).
export function readStamp(page) {
  return page.evaluate(() => {
    const kCells = 32;
    const kBands = 3;
    const kBandDivisor = 60;
    const canvas = document.getElementById('screen');
    const width = canvas.width;
    const height = canvas.height;
    if (width < kCells * 2 || height < kBandDivisor * 2) return null;
    const rows = Math.floor((kBands * height) / kBandDivisor);
    const pixels = canvas.getContext('2d').getImageData(0, 0, width, rows).data;
    const sample = (x, y) => {
      const i = (y * width + x) * 4;
      return Math.floor((pixels[i] + pixels[i + 1] + pixels[i + 2]) / 3);
    };
    const bands = [0, 0, 0];
    for (let band = 0; band < kBands; band++) {
      const top = Math.floor((band * height) / kBandDivisor);
      const bottom = Math.floor(((band + 1) * height) / kBandDivisor);
      const cy = Math.floor((top + bottom) / 2);
      const ry = Math.max(0, Math.floor((bottom - top) / 4));
      for (let cell = 0; cell < kCells; cell++) {
        const left = Math.floor((cell * width) / kCells);
        const right = Math.floor(((cell + 1) * width) / kCells);
        const cx = Math.floor((left + right) / 2);
        const rx = Math.max(0, Math.floor((right - left) / 4));
        let sum = 0;
        let count = 0;
        for (let y = cy - ry; y <= cy + ry; y++) {
          for (let x = cx - rx; x <= cx + rx; x++) {
            sum += sample(x, y);
            count++;
          }
        }
        if (Math.floor(sum / count) >= 128) bands[band] = (bands[band] | (1 << (kCells - 1 - cell))) >>> 0;
      }
    }
    if (bands[1] !== (~bands[0] >>> 0)) return null;
    return { sequence: bands[0], drawTimeUs: bands[2] };
  });
}

// A WebSocket client on a raw TCP socket, for what a browser never does: never read,
// or send a huge message.
export class RawWebSocket {
  static connect(port, path = '/ws') {
    return new Promise((resolve, reject) => {
      const socket = net.connect(port, '127.0.0.1');
      const key = randomBytes(16).toString('base64');
      let received = Buffer.alloc(0);
      const onData = (chunk) => {
        received = Buffer.concat([received, chunk]);
        const end = received.indexOf('\r\n\r\n');
        if (end < 0) return;
        socket.off('data', onData);
        const head = received.subarray(0, end).toString();
        const accept = createHash('sha1')
          .update(key + '258EAFA5-E914-47DA-95CA-C5AB0DC85B11').digest('base64');
        if (!head.startsWith('HTTP/1.1 101') || !head.includes(accept)) {
          socket.destroy();
          reject(new Error(`upgrade refused: ${head}`));
          return;
        }
        const ws = new RawWebSocket(socket, received.subarray(end + 4));
        resolve(ws);
      };
      socket.on('data', onData);
      socket.on('error', reject);
      socket.write(`GET ${path} HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nConnection: Upgrade\r\n` +
                   `Upgrade: websocket\r\nSec-WebSocket-Version: 13\r\n` +
                   `Sec-WebSocket-Key: ${key}\r\n\r\n`);
    });
  }

  constructor(socket, rest) {
    this.socket = socket;
    this.received = [rest];
    this.closed = new Promise((resolve) => socket.on('close', resolve));
    socket.on('error', () => {});
    socket.on('data', (chunk) => this.received.push(chunk));
  }

  // Stops reading: the relay's writes to it back up.
  pause() {
    this.socket.pause();
  }

  // One masked binary frame of `size` bytes (mask 0, so the payload goes as is).
  sendBinary(size) {
    const header = Buffer.alloc(14);
    header[0] = 0x82;
    header[1] = 0x80 | 127;
    header.writeBigUInt64BE(BigInt(size), 2);
    header.writeUInt32BE(0, 10);
    this.socket.write(header);
    this.socket.write(Buffer.alloc(size));
  }

  // The complete messages received so far, continuation frames joined:
  // [{ opcode, payload }], 1 text, 2 binary, 8 close.
  messages() {
    const all = Buffer.concat(this.received);
    const messages = [];
    let current = null;
    let at = 0;
    while (at + 2 <= all.length) {
      const fin = (all[at] & 0x80) !== 0;
      const opcode = all[at] & 0x0f;
      let length = all[at + 1] & 0x7f;
      let offset = at + 2;
      if (length === 126) {
        if (offset + 2 > all.length) break;
        length = all.readUInt16BE(offset);
        offset += 2;
      } else if (length === 127) {
        if (offset + 8 > all.length) break;
        length = Number(all.readBigUInt64BE(offset));
        offset += 8;
      }
      if (offset + length > all.length) break;
      const payload = all.subarray(offset, offset + length);
      if (opcode !== 0) current = { opcode, parts: [] };
      current.parts.push(payload);
      if (fin) {
        messages.push({ opcode: current.opcode, payload: Buffer.concat(current.parts) });
        current = null;
      }
      at = offset + length;
    }
    return messages;
  }

  // The close code of the first close frame the relay sent, if any.
  closeCode() {
    const all = Buffer.concat(this.received);
    let at = 0;
    while (at + 2 <= all.length) {
      const opcode = all[at] & 0x0f;
      let length = all[at + 1] & 0x7f;
      let offset = at + 2;
      if (length === 126) {
        if (offset + 2 > all.length) break;
        length = all.readUInt16BE(offset);
        offset += 2;
      } else if (length === 127) {
        if (offset + 8 > all.length) break;
        length = Number(all.readBigUInt64BE(offset));
        offset += 8;
      }
      if (opcode === 0x8 && length >= 2 && offset + 2 <= all.length) {
        return all.readUInt16BE(offset);
      }
      at = offset + length;
    }
    return null;
  }

  destroy() {
    this.socket.destroy();
  }
}

// Sends raw bytes on a new connection and resolves with what came back until the
// relay closed it (or `timeoutMs` passed).
export function rawExchange(port, bytes, timeoutMs = 5000) {
  return new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1');
    const chunks = [];
    const timer = setTimeout(() => socket.destroy(), timeoutMs);
    socket.on('data', (chunk) => chunks.push(chunk));
    socket.on('error', () => {});
    socket.on('close', () => {
      clearTimeout(timer);
      resolve(Buffer.concat(chunks).toString('latin1'));
    });
    socket.write(bytes);
  });
}
