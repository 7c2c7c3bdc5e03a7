// The grid page: one tile per device of the relay, each with its name, its host's
// state and its latest key frame. One WebSocket (?grid=1) brings every device's codec
// data, key frames and events, tagged with the device's index; a tile decodes only
// those key frames (one per key-frame interval of its host) and asks the host for
// nothing. A click, or Enter on the focused tile, opens the device live on the single
// page (index.html?device=N), where Escape comes back here.
'use strict';

(() => {
  const RETRY_FIRST_MS = 250;
  const RETRY_LONGEST_MS = 2000;
  // A tile's canvas holds at most this many pixels on its longest side.
  const TILE_SIDE = 640;
  const STATE_TEXT = { up: 'up', down: 'down', connecting: 'connecting', nostream: 'no stream' };

  const tilesElement = document.getElementById('tiles');
  const statusLine = document.getElementById('status');
  const message = document.getElementById('message');
  const token = new URLSearchParams(location.search).get('token');

  // Per tile, readable from outside (automation, the console): its name and state, and
  // the key frames it received (bytes with the headers) and painted.
  const tiles = [];
  const grid = { relay: 'connecting', tiles: [] };
  window.mirraxGrid = grid;

  function setStatus(text, kind) {
    statusLine.textContent = text;
    statusLine.className = kind;
  }

  if (typeof VideoDecoder === 'undefined' || typeof EncodedVideoChunk === 'undefined') {
    setStatus('unsupported browser', 'error');
    message.textContent = 'This browser cannot show the devices: it has no WebCodecs video ' +
                          'decoder (VideoDecoder). Use a current Chromium, Chrome, Edge or Firefox.';
    message.hidden = false;
    return;
  }

  function openDevice(index) {
    location.href = `index.html?device=${index}` +
                    (token ? `&token=${encodeURIComponent(token)}` : '');
  }

  // The tile of device `index`, made on its first event (the relay sends every
  // device's state first, in order).
  function tileOf(index) {
    if (tiles[index]) return tiles[index];
    const element = document.createElement('figure');
    element.className = 'tile';
    element.tabIndex = 0;
    const canvas = document.createElement('canvas');
    canvas.width = 0;
    canvas.height = 0;
    const caption = document.createElement('figcaption');
    const name = document.createElement('span');
    name.className = 'name';
    const state = document.createElement('span');
    state.className = 'state';
    caption.append(name, state);
    element.append(canvas, caption);
    element.addEventListener('click', () => openDevice(index));
    element.addEventListener('keydown', (e) => {
      if (e.key === 'Enter') openDevice(index);
    });
    tilesElement.append(element);
    const stats = { name: '', state: 'connecting', received: 0, bytes: 0, painted: 0,
                    configures: 0, width: 0, height: 0, decoderErrors: 0 };
    const tile = { element, name, state, stats,
                   painter: new mirraxPaint.Painter(canvas, stats, { maxSide: TILE_SIDE }) };
    tiles[index] = tile;
    grid.tiles[index] = stats;
    return tile;
  }

  function showCounts() {
    document.getElementById('count').textContent = tiles.length;
    document.getElementById('up').textContent =
      tiles.filter((tile) => tile && tile.stats.state === 'up').length;
  }

  function onEvent(text) {
    const event = mirraxPaint.parseHostEvent(text);
    if (!event || !Number.isInteger(event.device)) return;
    const tile = tileOf(event.device);
    tile.stats.name = event.name;
    tile.stats.state = event.state;
    tile.name.textContent = event.name;
    tile.state.textContent = STATE_TEXT[event.state] || event.state;
    tile.element.title = event.detail ? `${event.name}: ${event.detail}` : event.name;
    tile.element.dataset.state = event.state;
    showCounts();
  }

  function onBuffer(arrayBuffer) {
    const message = mirraxPaint.parseMessage(arrayBuffer);
    if (!message || !tiles[message.device] || message.data.length === 0) return;
    const tile = tiles[message.device];
    tile.stats.bytes += arrayBuffer.byteLength;
    if (message.flags & mirraxPaint.FLAG_KEY_FRAME) tile.stats.received++;
    tile.painter.push(message.flags, message.data, message.sentAt);
  }

  let retryMs = RETRY_FIRST_MS;

  function connect() {
    const ws = new WebSocket(mirraxPaint.socketUrl({ grid: 1 }));
    ws.binaryType = 'arraybuffer';
    ws.onopen = () => {
      retryMs = RETRY_FIRST_MS;
      grid.relay = 'connected';
      setStatus('connected', 'live');
      message.hidden = true;
    };
    ws.onmessage = (e) => {
      if (typeof e.data === 'string') onEvent(e.data);
      else onBuffer(e.data);
    };
    ws.onclose = () => {
      grid.relay = 'disconnected';
      setStatus('relay disconnected', 'error');
      message.textContent = 'The relay (mirrax_client view) is disconnected. Reconnecting…';
      message.hidden = false;
      setTimeout(connect, retryMs);
      retryMs = Math.min(retryMs * 2, RETRY_LONGEST_MS);
    };
  }

  connect();
})();
