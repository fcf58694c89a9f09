// The tarn view page: a client of the server's Foxglove WebSocket protocol (foxglove.websocket.v1)
// that decodes the ROS 2 messages (CDR) of each sensor and shows them.
'use strict';

const UNWRITTEN = [120, 0, 120];  // cells the frame did not write

// CDR, little-endian, after the 4-byte encapsulation header; alignment counts from its end.
class Cdr {
  constructor(bytes) {
    this.view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    this.bytes = bytes;
    this.at = 4;
  }
  align(n) { const o = (this.at - 4) % n; if (o) this.at += n - o; }
  u8() { return this.view.getUint8(this.at++); }
  u32() { this.align(4); const v = this.view.getUint32(this.at, true); this.at += 4; return v; }
  i32() { this.align(4); const v = this.view.getInt32(this.at, true); this.at += 4; return v; }
  string() {
    const n = this.u32();
    const s = new TextDecoder().decode(this.bytes.subarray(this.at, this.at + Math.max(0, n - 1)));
    this.at += n;
    return s;
  }
  blob() { const n = this.u32(); const b = this.bytes.subarray(this.at, this.at + n); this.at += n; return b; }
  header() { return { sec: this.i32(), nsec: this.u32(), frameId: this.string() }; }
}

function aligned(bytes) { return new Uint8Array(bytes).buffer; }  // a copy at offset 0

function decodePointCloud(bytes) {
  const c = new Cdr(bytes);
  const m = { header: c.header(), height: c.u32(), width: c.u32(), fields: {} };
  const n = c.u32();
  for (let i = 0; i < n; ++i) {
    const name = c.string();
    m.fields[name] = { offset: c.u32(), datatype: c.u8(), count: c.u32() };
  }
  m.bigEndian = c.u8(); m.pointStep = c.u32(); m.rowStep = c.u32(); m.data = c.blob();
  return m;
}

function decodeImage(bytes) {
  const c = new Cdr(bytes);
  return { header: c.header(), height: c.u32(), width: c.u32(), encoding: c.string(),
           bigEndian: c.u8(), step: c.u32(), data: c.blob() };
}

function decodeDiagnostics(bytes) {
  const c = new Cdr(bytes);
  const m = { header: c.header(), status: [] };
  const n = c.u32();
  for (let i = 0; i < n; ++i) {
    const s = { level: c.u8(), name: c.string(), message: c.string(), hardwareId: c.string(), values: {} };
    const k = c.u32();
    for (let j = 0; j < k; ++j) { const key = c.string(); s.values[key] = c.string(); }
    m.status.push(s);
  }
  return m;
}

// Blue (near, low) through green to red (far, high).
function colourMap(t, out, at) {
  t = Math.min(1, Math.max(0, t));
  out[at] = Math.round(255 * Math.min(1, Math.max(0, 1.5 - Math.abs(4 * t - 3))));
  out[at + 1] = Math.round(255 * Math.min(1, Math.max(0, 1.5 - Math.abs(4 * t - 2))));
  out[at + 2] = Math.round(255 * Math.min(1, Math.max(0, 1.5 - Math.abs(4 * t - 1))));
}

function range(values, valid) {
  let lo = Infinity, hi = -Infinity;
  for (let i = 0; i < values.length; ++i) {
    if (valid(i)) { const v = values[i]; if (v < lo) lo = v; if (v > hi) hi = v; }
  }
  return hi > lo ? [lo, hi] : [lo, lo + 1];
}

function element(tag, attrs, parent) {
  const e = document.createElement(tag);
  Object.assign(e, attrs || {});
  if (parent) parent.appendChild(e);
  return e;
}

// Colours a status value (ok, warn, bad) and keeps its own class.
function mark(e, level) { e.className = e.dataset.base + ' ' + level; }

function download(name, blob) {
  const a = element('a', { href: URL.createObjectURL(blob), download: name });
  document.body.appendChild(a); a.click(); a.remove();
}

const state = { paused: false, colour: 'distance', size: 2, sensors: new Map(), channels: new Map(),
                subscriptions: new Map(), nextSubscription: 1, skipped: 0 };

class SensorPanel {
  constructor(ns) {
    this.ns = ns;
    this.frames = 0;             // frames shown
    this.arrivals = [];          // arrival times of the last second's points or depth messages
    this.imuArrivals = [];
    this.depthMask = null;       // true where the latest depth image has no value
    this.points = null;          // the shown frame's points, for saving
    const box = element('section', { className: 'sensor', id: 'sensor-' + ns },
                        document.getElementById('sensors'));
    element('h2', { textContent: ns }, box);
    this.canvas = element('canvas', { className: 'points', width: 720, height: 360 }, box);
    const images = element('div', { className: 'images' }, box);
    this.depth = element('canvas', { className: 'depth', width: 360, height: 150, title: 'depth' }, images);
    this.intensity = element('canvas', { className: 'intensity', width: 360, height: 150, title: 'intensity' }, images);
    this.status = element('div', { className: 'status' }, box);
    this.fields = {};
    for (const [key, label] of [['fps', 'frames/s'], ['shown', 'frames shown'], ['decoded', 'frames decoded'],
                                ['lost', 'lost'], ['incomplete', 'incomplete'], ['merged', 'merged'],
                                ['kernel', 'kernel drops'], ['buffer', 'receive buffer'],
                                ['imu', 'IMU/s'], ['angle', 'angle'], ['level', 'status'], ['rate', 'decoded/s']]) {
      element('span', { textContent: label }, this.status);
      this.fields[key] = element('span', { className: 'value-' + key, textContent: '-' }, this.status);
      this.fields[key].dataset.base = 'value-' + key;
    }
    const buttons = element('div', { className: 'buttons' }, box);
    element('button', { textContent: 'Save PLY', type: 'button', onclick: () => this.savePly() }, buttons);
    element('button', { textContent: 'Save PNG', type: 'button', onclick: () => this.savePng() }, buttons);
    this.setUp3d();
  }

  setUp3d() {
    if (typeof THREE === 'undefined') return;  // three.js missing on the host: images only
    this.renderer = new THREE.WebGLRenderer({ canvas: this.canvas, preserveDrawingBuffer: true });
    this.renderer.setSize(720, 360, false);
    this.scene = new THREE.Scene();
    this.camera = new THREE.PerspectiveCamera(60, 2, 10, 200000);
    this.camera.up.set(0, 0, 1);
    this.camera.position.set(-1500, 0, 600);
    this.controls = new THREE.OrbitControls(this.camera, this.canvas);
    this.controls.target.set(2000, 0, 0);
    this.controls.update();
    this.geometry = new THREE.BufferGeometry();
    this.position = new THREE.BufferAttribute(new Float32Array(150 * 360 * 3), 3);
    this.colour = new THREE.BufferAttribute(new Float32Array(150 * 360 * 3), 3);
    this.geometry.setAttribute('position', this.position);
    this.geometry.setAttribute('color', this.colour);
    this.material = new THREE.PointsMaterial({ size: state.size, sizeAttenuation: false, vertexColors: true });
    const cloud = new THREE.Points(this.geometry, this.material);
    cloud.frustumCulled = false;
    this.scene.add(cloud);
    this.controls.addEventListener('change', () => this.render());
  }

  render() { if (this.renderer) this.renderer.render(this.scene, this.camera); }

  arrived(list) { list.push(performance.now()); this.trim(list); }
  trim(list) { const old = performance.now() - 1000; while (list.length && list[0] < old) list.shift(); }

  showPoints(m) {
    const data = new DataView(aligned(m.data));
    const n = m.width * m.height, step = m.pointStep, f = m.fields;
    const pts = new Float32Array(n * 5);
    let count = 0;
    for (let i = 0; i < n; ++i) {
      const o = i * step;
      const x = data.getFloat32(o + f.x.offset, true);
      if (Number.isNaN(x)) continue;
      pts[count * 5] = x;
      pts[count * 5 + 1] = data.getFloat32(o + f.y.offset, true);
      pts[count * 5 + 2] = data.getFloat32(o + f.z.offset, true);
      pts[count * 5 + 3] = data.getFloat32(o + f.intensity.offset, true);
      pts[count * 5 + 4] = data.getFloat32(o + f.distance.offset, true);
      ++count;
    }
    this.points = { values: pts, count: count };
    if (!this.renderer) return;
    const by = state.colour === 'intensity' ? 3 : 4;
    let lo = Infinity, hi = -Infinity;
    for (let i = 0; i < count; ++i) { const v = pts[i * 5 + by]; if (v < lo) lo = v; if (v > hi) hi = v; }
    const span = hi > lo ? hi - lo : 1, rgb = [0, 0, 0];
    const p = this.position.array, c = this.colour.array;
    for (let i = 0; i < count; ++i) {
      p[i * 3] = pts[i * 5]; p[i * 3 + 1] = pts[i * 5 + 1]; p[i * 3 + 2] = pts[i * 5 + 2];
      colourMap((pts[i * 5 + by] - lo) / span, rgb, 0);
      c[i * 3] = rgb[0] / 255; c[i * 3 + 1] = rgb[1] / 255; c[i * 3 + 2] = rgb[2] / 255;
    }
    this.position.needsUpdate = true;
    this.colour.needsUpdate = true;
    this.geometry.setDrawRange(0, count);
    this.material.size = state.size;
    this.render();
  }

  showDepth(m) {
    const values = new Float32Array(aligned(m.data));
    this.depthMask = values.map(v => (Number.isNaN(v) ? 1 : 0));
    this.paint(this.depth, m, values, i => !Number.isNaN(values[i]));
    ++this.frames;
    this.fields.shown.textContent = String(this.frames);
  }

  showIntensity(m) {
    const values = new Uint16Array(aligned(m.data));
    const mask = this.depthMask;
    this.paint(this.intensity, m, values, i => !(mask && mask[i]));
  }

  paint(canvas, m, values, valid) {
    const g = canvas.getContext('2d');
    const image = g.createImageData(m.width, m.height);
    const [lo, hi] = range(values, valid);
    for (let i = 0; i < m.width * m.height; ++i) {
      if (valid(i)) {
        colourMap((values[i] - lo) / (hi - lo), image.data, i * 4);
      } else {
        image.data.set(UNWRITTEN, i * 4);
      }
      image.data[i * 4 + 3] = 255;
    }
    g.putImageData(image, 0, 0);
  }

  showDiagnostics(m) {
    const s = m.status[0];
    if (!s) return;
    const v = s.values, F = this.fields;
    const lost = Number(v.frames_lost_last || 0) + Number(v.frames_queue_full || 0);
    F.decoded.textContent = v.frames_decoded;
    F.lost.textContent = String(lost);
    mark(F.lost, lost > 0 ? 'bad' : 'ok');
    F.incomplete.textContent = v.frames_incomplete;
    mark(F.incomplete, Number(v.frames_incomplete) > 0 ? 'warn' : 'ok');
    F.merged.textContent = v.frames_merged;
    mark(F.merged, Number(v.frames_merged) > 0 ? 'warn' : 'ok');
    F.kernel.textContent = v.kernel_drops;
    mark(F.kernel, Number(v.kernel_drops) > 0 ? 'bad' : 'ok');
    F.buffer.textContent = v.receive_buffer_bytes + ' B';
    F.rate.textContent = v.frame_rate_hz;
    F.level.textContent = s.message;
    mark(F.level, s.level === 0 ? 'ok' : s.level === 1 ? 'warn' : 'bad');
  }

  tick() {
    this.trim(this.arrivals);
    this.trim(this.imuArrivals);
    this.fields.fps.textContent = String(this.arrivals.length);
    this.fields.imu.textContent = String(this.imuArrivals.length);
  }

  savePly() {
    if (!this.points) return;
    const { values, count } = this.points;
    const lines = ['ply', 'format ascii 1.0', 'element vertex ' + count, 'property float x',
                   'property float y', 'property float z', 'property float intensity', 'end_header'];
    for (let i = 0; i < count; ++i) {
      lines.push(values[i * 5] + ' ' + values[i * 5 + 1] + ' ' + values[i * 5 + 2] + ' ' + values[i * 5 + 3]);
    }
    download(this.ns + '-frame.ply', new Blob([lines.join('\n') + '\n'], { type: 'text/plain' }));
  }

  savePng() {
    for (const [canvas, name] of [[this.depth, 'depth'], [this.intensity, 'intensity'], [this.canvas, 'points']]) {
      canvas.toBlob(b => { if (b) download(this.ns + '-' + name + '.png', b); }, 'image/png');
    }
  }
}

function sensorOf(topic) {
  const parts = topic.split('/');  // "", ns, kind
  if (parts.length !== 3) return null;
  if (!state.sensors.has(parts[1])) state.sensors.set(parts[1], new SensorPanel(parts[1]));
  return { panel: state.sensors.get(parts[1]), kind: parts[2] };
}

function onText(ws, text) {
  const m = JSON.parse(text);
  if (m.op === 'advertise') {
    const subscriptions = [];
    for (const ch of m.channels) {
      const s = sensorOf(ch.topic);
      if (!s) continue;
      const id = state.nextSubscription++;
      state.subscriptions.set(id, s);
      subscriptions.push({ id: id, channelId: ch.id });
    }
    ws.send(JSON.stringify({ op: 'subscribe', subscriptions: subscriptions }));
  } else if (m.op === 'status') {
    if (m.id === 'tarn.skipped') {
      const n = /skipped (\d+)/.exec(m.message);
      const e = document.getElementById('skipped');
      e.textContent = 'skipped ' + (n ? n[1] : '?');
      e.className = m.level > 0 ? 'warn' : '';
    } else if (typeof m.id === 'string' && m.id.startsWith('tarn.angle.')) {
      const panel = state.sensors.get(m.id.slice('tarn.angle.'.length));
      if (panel && !state.paused) panel.fields.angle.textContent = m.message.replace(/^angle:? ?/, '');
    }
  }
}

function onBinary(buffer) {
  const bytes = new Uint8Array(buffer);
  if (bytes[0] !== 1 || bytes.length < 13) return;
  const id = new DataView(buffer).getUint32(1, true);
  const s = state.subscriptions.get(id);
  if (!s) return;
  const payload = bytes.subarray(13);
  const p = s.panel;
  if (s.kind === 'imu') { p.arrived(p.imuArrivals); return; }
  if (s.kind === 'diagnostics') { p.showDiagnostics(decodeDiagnostics(payload)); return; }
  if (s.kind === 'depth') p.arrived(p.arrivals);
  if (state.paused) return;
  if (s.kind === 'points') p.showPoints(decodePointCloud(payload));
  else if (s.kind === 'depth') p.showDepth(decodeImage(payload));
  else if (s.kind === 'intensity') p.showIntensity(decodeImage(payload));
}

function connect() {
  const ws = new WebSocket('ws://' + location.host + '/', 'foxglove.websocket.v1');
  ws.binaryType = 'arraybuffer';
  const status = document.getElementById('connection');
  ws.onopen = () => { status.textContent = 'connected'; status.className = 'ok'; };
  ws.onclose = () => {
    status.textContent = 'disconnected, retrying'; status.className = 'bad';
    state.subscriptions.clear();
    setTimeout(connect, 2000);
  };
  ws.onmessage = e => (typeof e.data === 'string' ? onText(ws, e.data) : onBinary(e.data));
}

document.getElementById('pause').onclick = e => {
  state.paused = !state.paused;
  e.target.textContent = state.paused ? 'Resume' : 'Pause';
};
document.getElementById('colour').onchange = e => { state.colour = e.target.value; };
document.getElementById('size').oninput = e => {
  state.size = Number(e.target.value);
  for (const p of state.sensors.values()) { if (p.material) { p.material.size = state.size; p.render(); } }
};
setInterval(() => { for (const p of state.sensors.values()) p.tick(); }, 250);
connect();
