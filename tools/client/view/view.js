// Live view: receives the host's H.264 buffers from the relay over a WebSocket,
// decodes them with WebCodecs and paints each picture into the canvas.
//
// Each binary message is a 24-byte little-endian header and the buffer (Annex B):
//   0 u8 version (1), 1 u8 header length, 4 u32 flags (2 key frame, 8 codec data),
//   8 f64 pts (host hand-off, ms since the epoch), 16 f64 relay send time (ms).
// Text messages are JSON events: {"event":"host","state":"up"|"down"|"connecting"}.
'use strict';

(() => {
  const FLAG_KEY_FRAME = 2;
  const FLAG_CODEC_DATA = 8;
  const RETRY_FIRST_MS = 250;
  const RETRY_LONGEST_MS = 2000;
  // Chunks waiting in the decoder before the page skips to the next key frame: a page
  // that decodes slower than the host sends stays this far behind at most.
  const DECODE_BACKLOG = 8;

  const canvas = document.getElementById('screen');
  const context = canvas.getContext('2d', { alpha: false, willReadFrequently: true });
  const statusLine = document.getElementById('status');
  const message = document.getElementById('message');
  const figures = {
    fps: document.getElementById('fps'),
    kbps: document.getElementById('kbps'),
    size: document.getElementById('size'),
    latency: document.getElementById('latency'),
  };

  // Counters the page shows, readable from outside (automation, the console).
  const stats = {
    received: 0,      // pictures received
    keyFrames: 0,     // key frames received
    painted: 0,       // pictures painted
    bytes: 0,
    configures: 0,    // decoder configurations (one per new codec data)
    width: 0,
    height: 0,
    fps: 0,
    kbitPerSecond: 0,
    latencyMs: null,  // median over the last second, relay send to paint
    host: 'connecting',
    relay: 'connecting',
    keyFrameRequestedAt: null,
    keyFrameAnsweredMs: null,  // from the last button press to the next key frame
    decoderErrors: 0,
  };
  // The latest send-to-paint latencies in ms, oldest first, for automation that wants
  // more than the per-second median (benchmarks read percentiles from them).
  const LATENCY_SAMPLES_KEPT = 4096;
  const latencySamples = [];
  window.mirraxView = { stats, latencySamples };

  function setStatus(text, kind) {
    statusLine.textContent = text;
    statusLine.className = kind;
  }
  function showMessage(text) {
    message.textContent = text || '';
    message.hidden = !text;
  }

  if (typeof VideoDecoder === 'undefined' || typeof EncodedVideoChunk === 'undefined') {
    setStatus('unsupported browser', 'error');
    showMessage(
      'This browser cannot show the stream: it has no WebCodecs video decoder (VideoDecoder). ' +
      'Use a current Chromium, Chrome, Edge or Firefox' +
      (window.isSecureContext ? '.' : ', and open the page as http://127.0.0.1:… or https.'));
    for (const button of document.querySelectorAll('button')) button.disabled = true;
    return;
  }

  // --- H.264 helpers -------------------------------------------------------------

  // The NAL units of an Annex B buffer, as [type, offset of the NAL header].
  function nalUnits(bytes) {
    const units = [];
    for (let i = 0; i + 3 < bytes.length; i++) {
      if (bytes[i] === 0 && bytes[i + 1] === 0 && bytes[i + 2] === 1) {
        units.push([bytes[i + 3] & 0x1f, i + 3]);
        i += 3;
      }
    }
    return units;
  }

  // "avc1.PPCCLL" from the sequence parameter set: profile, constraints, level.
  function codecString(codecData) {
    for (const [type, at] of nalUnits(codecData)) {
      if (type === 7 && at + 3 < codecData.length) {
        const hex = (b) => b.toString(16).padStart(2, '0');
        return 'avc1.' + hex(codecData[at + 1]) + hex(codecData[at + 2]) + hex(codecData[at + 3]);
      }
    }
    return null;
  }

  function sameBytes(a, b) {
    if (!a || !b || a.length !== b.length) return false;
    for (let i = 0; i < a.length; i++) if (a[i] !== b[i]) return false;
    return true;
  }

  // --- decoding ------------------------------------------------------------------

  let decoder = null;
  let codecData = null;      // the latest codec data (SPS, PPS)
  let configuredWith = null; // the codec data the decoder was configured with
  let waitingForKeyFrame = true;
  let chunkTimestamp = 0;
  const sendTimes = new Map();  // chunk timestamp -> the relay's send time
  let ws = null;

  function createDecoder() {
    decoder = new VideoDecoder({ output: paint, error: decoderFailed });
    configuredWith = null;
    waitingForKeyFrame = true;
    sendTimes.clear();
  }

  function decoderFailed(error) {
    stats.decoderErrors++;
    console.warn('decoder error:', error);
    createDecoder();
    requestKeyFrame(false);
  }

  function paint(frame) {
    const sentAt = sendTimes.get(frame.timestamp);
    sendTimes.delete(frame.timestamp);
    if (canvas.width !== frame.displayWidth || canvas.height !== frame.displayHeight) {
      canvas.width = frame.displayWidth;
      canvas.height = frame.displayHeight;
      stats.width = frame.displayWidth;
      stats.height = frame.displayHeight;
    }
    context.drawImage(frame, 0, 0);
    frame.close();
    stats.painted++;
    if (sentAt !== undefined) {
      const latency = performance.timeOrigin + performance.now() - sentAt;
      latencies.push(latency);
      latencySamples.push(latency);
      if (latencySamples.length > LATENCY_SAMPLES_KEPT) latencySamples.shift();
    }
  }

  function onBuffer(arrayBuffer) {
    const view = new DataView(arrayBuffer);
    if (arrayBuffer.byteLength < 24 || view.getUint8(0) !== 1) return;
    const headerLength = view.getUint8(1);
    const flags = view.getUint32(4, true);
    const sentAt = view.getFloat64(16, true);
    const data = new Uint8Array(arrayBuffer, headerLength);
    stats.bytes += arrayBuffer.byteLength;
    intervalBytes += arrayBuffer.byteLength;

    if (flags & FLAG_CODEC_DATA) {
      codecData = data.slice();
      return;
    }
    if (data.length === 0) return;
    const key = (flags & FLAG_KEY_FRAME) !== 0;
    stats.received++;
    if (key) {
      stats.keyFrames++;
      if (stats.keyFrameRequestedAt !== null) {
        stats.keyFrameAnsweredMs = performance.now() - stats.keyFrameRequestedAt;
        stats.keyFrameRequestedAt = null;
      }
    }
    if (decoder.state === 'closed') createDecoder();
    if (!key && (waitingForKeyFrame || decoder.decodeQueueSize > DECODE_BACKLOG)) {
      if (!waitingForKeyFrame) requestKeyFrame(false);
      waitingForKeyFrame = true;
      return;
    }
    let chunkData = data;
    if (key) {
      if (!codecData) return;  // joined between codec data and key frame: wait
      if (!sameBytes(codecData, configuredWith)) {
        // New codec data (first picture, or the screen changed size): reconfigure
        // without a reload; the next chunk is this key frame.
        const codec = codecString(codecData);
        if (!codec) return;
        decoder.configure({ codec, optimizeForLatency: true });
        configuredWith = codecData;
        stats.configures++;
      }
      waitingForKeyFrame = false;
      // Annex B input: the decoder takes the parameter sets in band.
      chunkData = new Uint8Array(codecData.length + data.length);
      chunkData.set(codecData, 0);
      chunkData.set(data, codecData.length);
    }
    chunkTimestamp += 1000;
    sendTimes.set(chunkTimestamp, sentAt);
    decoder.decode(new EncodedVideoChunk({
      type: key ? 'key' : 'delta',
      timestamp: chunkTimestamp,
      data: chunkData,
    }));
  }

  function onEvent(text) {
    let event;
    try {
      event = JSON.parse(text);
    } catch {
      return;
    }
    if (event.event !== 'host') return;
    stats.host = event.state;
    if (event.state === 'up') {
      setStatus('live', 'live');
      showMessage('');
    } else {
      waitingForKeyFrame = true;
      const detail = event.detail ? ` (${event.detail})` : '';
      setStatus(event.state === 'down' ? 'host disconnected' : 'connecting to the host…',
                'waiting');
      if (event.state === 'down') {
        showMessage(`The host is disconnected${detail}. Waiting for it to come back…`);
      }
    }
  }

  // --- connection to the relay ---------------------------------------------------

  let retryMs = RETRY_FIRST_MS;

  function connect() {
    const url = new URL('ws', location.href);
    url.protocol = location.protocol === 'https:' ? 'wss:' : 'ws:';
    // The relay may ask for the token it printed in the page's address.
    const token = new URLSearchParams(location.search).get('token');
    if (token) url.searchParams.set('token', token);
    ws = new WebSocket(url);
    ws.binaryType = 'arraybuffer';
    ws.onopen = () => {
      retryMs = RETRY_FIRST_MS;
      stats.relay = 'connected';
      waitingForKeyFrame = true;
      setStatus('waiting for the host…', 'waiting');
    };
    ws.onmessage = (e) => {
      if (typeof e.data === 'string') onEvent(e.data);
      else onBuffer(e.data);
    };
    ws.onclose = () => {
      ws = null;
      stats.relay = 'disconnected';
      stats.host = 'unknown';
      setStatus('relay disconnected', 'error');
      showMessage('The relay (mirrax_client view) is disconnected. Reconnecting…');
      setTimeout(connect, retryMs);
      retryMs = Math.min(retryMs * 2, RETRY_LONGEST_MS);
    };
  }

  function requestKeyFrame(fromButton) {
    if (fromButton) stats.keyFrameRequestedAt = performance.now();
    if (ws && ws.readyState === WebSocket.OPEN) ws.send('keyframe');
  }

  // --- figures and buttons -------------------------------------------------------

  let latencies = [];
  let intervalBytes = 0;
  let lastPainted = 0;
  let lastTick = performance.now();

  setInterval(() => {
    const now = performance.now();
    const seconds = (now - lastTick) / 1000;
    stats.fps = (stats.painted - lastPainted) / seconds;
    stats.kbitPerSecond = (intervalBytes * 8) / 1000 / seconds;
    latencies.sort((a, b) => a - b);
    stats.latencyMs = latencies.length ? latencies[latencies.length >> 1] : null;
    figures.fps.textContent = stats.fps.toFixed(1);
    figures.kbps.textContent = stats.kbitPerSecond.toFixed(0);
    figures.size.textContent = stats.width ? `${stats.width}×${stats.height}` : '–';
    figures.latency.textContent = stats.latencyMs === null ? '–' : stats.latencyMs.toFixed(1);
    lastPainted = stats.painted;
    lastTick = now;
    intervalBytes = 0;
    latencies = [];
  }, 1000);

  document.getElementById('keyframe').addEventListener('click', () => requestKeyFrame(true));

  document.getElementById('snapshot').addEventListener('click', () => {
    if (!canvas.width) return;
    canvas.toBlob((blob) => {
      const link = document.createElement('a');
      const stamp = new Date().toISOString().replace(/[:.]/g, '-');
      link.download = `screen-${stamp}.png`;
      link.href = URL.createObjectURL(blob);
      link.click();
      setTimeout(() => URL.revokeObjectURL(link.href), 10000);
    }, 'image/png');
  });

  // Full screen shows the picture alone; Escape or a double click on it leaves.
  function toggleFullscreen() {
    if (document.fullscreenElement) document.exitFullscreen();
    else document.getElementById('stage').requestFullscreen();
  }
  document.getElementById('fullscreen').addEventListener('click', toggleFullscreen);
  document.getElementById('stage').addEventListener('dblclick', toggleFullscreen);

  createDecoder();
  connect();
})();
