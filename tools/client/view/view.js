// Live view: receives the host's H.264 buffers from the relay over a WebSocket,
// decodes them with WebCodecs and paints each picture into the canvas (painter.js).
// Opened from the grid as ?device=N, it shows that device and Escape goes back.
//
// Binary messages are buffers after a header (painter.js); text messages are JSON
// events: {"event":"host","state":"up"|"down"|"connecting"|"nostream","name":...}.
'use strict';

(() => {
  const RETRY_FIRST_MS = 250;
  const RETRY_LONGEST_MS = 2000;
  // Chunks waiting in the decoder before the page skips to the next key frame: a page
  // that decodes slower than the host sends stays this far behind at most.
  const DECODE_BACKLOG = 8;

  const canvas = document.getElementById('screen');
  // The device a grid opened, if any.
  const device = new URLSearchParams(location.search).get('device');
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

  // --- decoding ------------------------------------------------------------------

  let painter = null;
  let ws = null;

  function createPainter() {
    painter = new mirraxPaint.Painter(canvas, stats, {
      backlog: DECODE_BACKLOG,
      onKeyFrameWanted: () => requestKeyFrame(false),
      onPainted: (latency) => {
        latencies.push(latency);
        latencySamples.push(latency);
        if (latencySamples.length > LATENCY_SAMPLES_KEPT) latencySamples.shift();
      },
    });
  }

  function onBuffer(arrayBuffer) {
    const message = mirraxPaint.parseMessage(arrayBuffer);
    if (!message) return;
    const { flags, sentAt, data } = message;
    stats.bytes += arrayBuffer.byteLength;
    intervalBytes += arrayBuffer.byteLength;

    if (flags & mirraxPaint.FLAG_CODEC_DATA) {
      painter.push(flags, data, sentAt);
      return;
    }
    if (data.length === 0) return;
    const key = (flags & mirraxPaint.FLAG_KEY_FRAME) !== 0;
    stats.received++;
    if (key) {
      stats.keyFrames++;
      if (stats.keyFrameRequestedAt !== null) {
        stats.keyFrameAnsweredMs = performance.now() - stats.keyFrameRequestedAt;
        stats.keyFrameRequestedAt = null;
      }
    }
    painter.push(flags, data, sentAt);
  }

  function onEvent(text) {
    const event = mirraxPaint.parseHostEvent(text);
    if (!event) return;
    stats.host = event.state;
    if (device !== null && event.name) {
      document.getElementById('device').textContent = event.name;
      document.title = `${event.name}: mirrax live view`;
    }
    if (event.state === 'up') {
      setStatus('live', 'live');
      showMessage('');
    } else if (event.state === 'nostream') {
      painter.waitForKeyFrame();
      setStatus('no stream', 'error');
      showMessage(`The host has no stream to show (${event.detail}).`);
    } else {
      painter.waitForKeyFrame();
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
    ws = new WebSocket(mirraxPaint.socketUrl(device === null ? {} : { device }));
    ws.binaryType = 'arraybuffer';
    ws.onopen = () => {
      retryMs = RETRY_FIRST_MS;
      stats.relay = 'connected';
      painter.waitForKeyFrame();
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

  // Opened from the grid: a way back to it, also by Escape (outside full screen).
  if (device !== null) {
    const back = document.getElementById('back');
    const token = new URLSearchParams(location.search).get('token');
    back.href = './' + (token ? `?token=${encodeURIComponent(token)}` : '');
    back.hidden = false;
    document.addEventListener('keydown', (e) => {
      if (e.key === 'Escape' && !document.fullscreenElement) location.href = back.href;
    });
  }

  createPainter();
  connect();
})();
