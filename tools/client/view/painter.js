// Decoding and painting shared by the live page (view.js) and the grid (grid.js): the
// relay's message header, and a WebCodecs H.264 decoder that paints into a canvas.
//
// Each binary message is a 24-byte little-endian header and the buffer (Annex B):
//   0 u8 version (1), 1 u8 header length, 2 u16 device index, 4 u32 flags (2 key frame,
//   8 codec data), 8 f64 pts (host hand-off, ms since the epoch), 16 f64 relay send time.
'use strict';

const mirraxPaint = (() => {
  const FLAG_KEY_FRAME = 2;
  const FLAG_CODEC_DATA = 8;

  // The header's fields and the buffer, or null for a message of another version.
  function parseMessage(arrayBuffer) {
    const view = new DataView(arrayBuffer);
    if (arrayBuffer.byteLength < 24 || view.getUint8(0) !== 1) return null;
    return {
      device: view.getUint16(2, true),
      flags: view.getUint32(4, true),
      sentAt: view.getFloat64(16, true),
      data: new Uint8Array(arrayBuffer, view.getUint8(1)),
    };
  }

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

  // One decoder painting each picture into `canvas`, counting in `stats` (painted,
  // configures, width, height, decoderErrors). Options: `backlog`, the chunks that may
  // wait in the decoder before pictures are skipped up to the next key frame;
  // `maxSide`, the canvas's longest side (the picture is scaled down to it);
  // `onPainted(latencyMs)` per picture with a send time; `onKeyFrameWanted()` when the
  // decoder needs a key frame it will not get otherwise.
  class Painter {
    constructor(canvas, stats, options = {}) {
      this.canvas = canvas;
      this.context = canvas.getContext('2d', { alpha: false, willReadFrequently: true });
      this.stats = stats;
      this.backlog = options.backlog ?? Infinity;
      this.maxSide = options.maxSide ?? Infinity;
      this.onPainted = options.onPainted || (() => {});
      this.onKeyFrameWanted = options.onKeyFrameWanted || (() => {});
      this.codecData = null;      // the latest codec data (SPS, PPS)
      this.chunkTimestamp = 0;
      this.sendTimes = new Map();  // chunk timestamp -> the relay's send time
      this.createDecoder();
    }

    createDecoder() {
      this.decoder = new VideoDecoder({
        output: (frame) => this.paint(frame),
        error: (error) => {
          this.stats.decoderErrors++;
          console.warn('decoder error:', error);
          this.createDecoder();
          this.onKeyFrameWanted();
        },
      });
      this.configuredWith = null;  // the codec data the decoder was configured with
      this.waitingForKeyFrame = true;
      this.sendTimes.clear();
    }

    // Until the next key frame, pictures are not decoded (the stream restarts).
    waitForKeyFrame() {
      this.waitingForKeyFrame = true;
    }

    paint(frame) {
      const sentAt = this.sendTimes.get(frame.timestamp);
      this.sendTimes.delete(frame.timestamp);
      const scale = Math.min(1, this.maxSide / Math.max(frame.displayWidth, frame.displayHeight));
      const width = Math.round(frame.displayWidth * scale);
      const height = Math.round(frame.displayHeight * scale);
      if (this.canvas.width !== width || this.canvas.height !== height) {
        this.canvas.width = width;
        this.canvas.height = height;
        this.stats.width = frame.displayWidth;
        this.stats.height = frame.displayHeight;
      }
      this.context.drawImage(frame, 0, 0, width, height);
      frame.close();
      this.stats.painted++;
      if (sentAt !== undefined) this.onPainted(performance.timeOrigin + performance.now() - sentAt);
    }

    // One buffer from the relay: codec data is kept for the key frames that follow.
    push(flags, data, sentAt) {
      if (flags & FLAG_CODEC_DATA) {
        this.codecData = data.slice();
        return;
      }
      const key = (flags & FLAG_KEY_FRAME) !== 0;
      if (this.decoder.state === 'closed') this.createDecoder();
      if (!key && (this.waitingForKeyFrame || this.decoder.decodeQueueSize > this.backlog)) {
        if (!this.waitingForKeyFrame) this.onKeyFrameWanted();
        this.waitingForKeyFrame = true;
        return;
      }
      let chunkData = data;
      if (key) {
        if (!this.codecData) return;  // joined between codec data and key frame: wait
        if (!sameBytes(this.codecData, this.configuredWith)) {
          // New codec data (first picture, or the screen changed size): reconfigure
          // without a reload; the next chunk is this key frame.
          const codec = codecString(this.codecData);
          if (!codec) return;
          this.decoder.configure({ codec, optimizeForLatency: true });
          this.configuredWith = this.codecData;
          this.stats.configures++;
        }
        this.waitingForKeyFrame = false;
        // Annex B input: the decoder takes the parameter sets in band.
        chunkData = new Uint8Array(this.codecData.length + data.length);
        chunkData.set(this.codecData, 0);
        chunkData.set(data, this.codecData.length);
      }
      this.chunkTimestamp += 1000;
      this.sendTimes.set(this.chunkTimestamp, sentAt);
      this.decoder.decode(new EncodedVideoChunk({
        type: key ? 'key' : 'delta',
        timestamp: this.chunkTimestamp,
        data: chunkData,
      }));
    }
  }

  // The relay's WebSocket for this page (?token= passed on), with `query` added.
  function socketUrl(query) {
    const url = new URL('ws', location.href);
    url.protocol = location.protocol === 'https:' ? 'wss:' : 'ws:';
    // The relay may ask for the token it printed in the page's address.
    const token = new URLSearchParams(location.search).get('token');
    if (token) url.searchParams.set('token', token);
    for (const [name, value] of Object.entries(query)) url.searchParams.set(name, value);
    return url;
  }

  // A text message's host event ({"event":"host","state":…,"device":…}); null for
  // anything else.
  function parseHostEvent(text) {
    try {
      const event = JSON.parse(text);
      return event && event.event === 'host' ? event : null;
    } catch {
      return null;
    }
  }

  return { FLAG_KEY_FRAME, FLAG_CODEC_DATA, parseMessage, parseHostEvent, Painter, socketUrl };
})();
