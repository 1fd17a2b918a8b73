'use strict';
// The live page: the picture from the MJPEG stream, the spot, the beam and the numbers from
// the event stream; the profiles ten times a second and the stability once a second from the
// API, drawn on plain canvases. Everything reconnects by itself after a restart.
const $ = (id) => document.getElementById(id);
const picture = $('picture');
const overlay = $('overlay');
let status = null;
let lastEvent = Date.now();
let drag = null; // the region being drawn, in frame pixels

function fixed(v, digits) {
  return typeof v === 'number' ? v.toFixed(digits) : '–';
}

// Where the frame sits in the picture: object-fit: contain leaves bars on one side.
function fit() {
  const w = picture.clientWidth, h = picture.clientHeight;
  if (!status || !status.width || !status.height) return null;
  const k = Math.min(w / status.width, h / status.height);
  return { k, ox: (w - status.width * k) / 2, oy: (h - status.height * k) / 2 };
}

function draw() {
  const w = picture.clientWidth, h = picture.clientHeight;
  if (overlay.width !== w || overlay.height !== h) {
    overlay.width = w;
    overlay.height = h;
    overlay.style.width = w + 'px';
    overlay.style.height = h + 'px';
  }
  const ctx = overlay.getContext('2d');
  ctx.clearRect(0, 0, w, h);
  delete overlay.dataset.crossX;
  delete overlay.dataset.crossY;
  delete overlay.dataset.ellipse;
  const f = fit();
  if (!f) return;
  const { k, ox, oy } = f;
  drawBeam(ctx, status.beam, k, ox, oy);
  if (drag) {
    ctx.setLineDash([6, 4]);
    ctx.strokeStyle = '#4fc3f7';
    ctx.strokeRect(ox + Math.min(drag.x0, drag.x1) * k, oy + Math.min(drag.y0, drag.y1) * k,
      Math.abs(drag.x1 - drag.x0) * k, Math.abs(drag.y1 - drag.y0) * k);
    ctx.setLineDash([]);
  }
  if (!status.spot) return;
  const x = ox + status.spot.x * k, y = oy + status.spot.y * k;
  ctx.strokeStyle = '#fff';
  ctx.lineWidth = 1.5;
  ctx.beginPath();
  ctx.moveTo(x - 12, y); ctx.lineTo(x + 12, y);
  ctx.moveTo(x, y - 12); ctx.lineTo(x, y + 12);
  ctx.stroke();
  for (const n of [1, 2]) {
    ctx.setLineDash(n === 1 ? [] : [4, 4]);
    ctx.beginPath();
    ctx.ellipse(x, y, Math.max(n * status.spot.sx * k, 0.5), Math.max(n * status.spot.sy * k, 0.5), 0, 0, 2 * Math.PI);
    ctx.stroke();
  }
  ctx.setLineDash([]);
  overlay.dataset.crossX = x.toFixed(2);
  overlay.dataset.crossY = y.toFixed(2);
}

// The beam's region, and its centroid with the D4σ ellipse along its axes.
function drawBeam(ctx, b, k, ox, oy) {
  if (!b) return;
  ctx.lineWidth = 1.5;
  ctx.strokeStyle = '#4caf50';
  ctx.strokeRect(ox + (b.roi.x - 0.5) * k, oy + (b.roi.y - 0.5) * k, b.roi.width * k, b.roi.height * k);
  if (!b.valid) return;
  const x = ox + b.centroid.x * k, y = oy + b.centroid.y * k;
  const a = Math.max(b.width.major * k / 2, 0.5), c = Math.max(b.width.minor * k / 2, 0.5);
  ctx.strokeStyle = '#ffeb3b';
  ctx.beginPath();
  ctx.ellipse(x, y, a, c, b.angle * Math.PI / 180, 0, 2 * Math.PI);
  ctx.moveTo(x - 4, y); ctx.lineTo(x + 4, y);
  ctx.moveTo(x, y - 4); ctx.lineTo(x, y + 4);
  ctx.stroke();
  overlay.dataset.ellipse = [x, y, a, c, b.angle].map((v) => v.toFixed(2)).join(' ');
}

// One chart: `series` of {x, y (arrays), n, colour, dash}, scaled to fit, with the ranges at
// the corners and `labels` [{x, y, text}] in data units. The canvas keeps its buffer while
// its size stays, so a redraw allocates nothing of its own.
function plot(canvas, series, labels) {
  const dpr = window.devicePixelRatio || 1;
  const w = Math.round(canvas.clientWidth * dpr), h = Math.round(canvas.clientHeight * dpr);
  if (canvas.width !== w || canvas.height !== h) {
    canvas.width = w;
    canvas.height = h;
  }
  const ctx = canvas.getContext('2d');
  ctx.clearRect(0, 0, w, h);
  let x0 = Infinity, x1 = -Infinity, y0 = Infinity, y1 = -Infinity, points = 0;
  for (const s of series) {
    for (let i = 0; i < s.n; i++) {
      const x = s.x[i], y = s.y[i];
      if (!Number.isFinite(x) || !Number.isFinite(y)) continue;
      if (x < x0) x0 = x;
      if (x > x1) x1 = x;
      if (y < y0) y0 = y;
      if (y > y1) y1 = y;
    }
  }
  canvas.dataset.points = '0';
  if (!(x1 > x0)) return;
  if (!(y1 > y0)) { y0 -= 1; y1 += 1; }
  const pad = 4 * dpr, font = 11 * dpr;
  const sx = (w - 2 * pad) / (x1 - x0), sy = (h - 2 * pad - font) / (y1 - y0);
  const px = (x) => pad + (x - x0) * sx, py = (y) => h - pad - (y - y0) * sy;
  ctx.lineWidth = 1.5 * dpr;
  for (const s of series) {
    ctx.strokeStyle = s.colour;
    ctx.setLineDash(s.dash ? [5 * dpr, 4 * dpr] : []);
    ctx.beginPath();
    let pen = false;
    for (let i = 0; i < s.n; i++) {
      const x = s.x[i], y = s.y[i];
      if (!Number.isFinite(x) || !Number.isFinite(y)) { pen = false; continue; }
      if (pen) ctx.lineTo(px(x), py(y)); else ctx.moveTo(px(x), py(y));
      pen = true;
      points++;
    }
    ctx.stroke();
  }
  ctx.setLineDash([]);
  ctx.fillStyle = '#aaa';
  ctx.font = font + 'px system-ui, sans-serif';
  ctx.textBaseline = 'top';
  ctx.fillText(`${y1.toPrecision(3)}`, pad, pad);
  ctx.textBaseline = 'bottom';
  ctx.fillText(`${x0.toPrecision(3)} … ${x1.toPrecision(3)}, min ${y0.toPrecision(3)}`, pad, h - pad);
  ctx.textBaseline = 'bottom';
  for (const l of labels || []) {
    ctx.fillStyle = l.colour;
    ctx.fillText(l.text, Math.min(px(l.x) + 3 * dpr, w - 70 * dpr), Math.max(py(l.y), font + pad));
  }
  canvas.dataset.points = String(points);
}

// A profile and its fit on the same abscissa (frame pixels).
const profileBuffers = { x: [new Float64Array(0), new Float64Array(0)], y: [new Float64Array(0), new Float64Array(0)] };
function drawProfile(canvas, axis, start, values, g) {
  const n = values.length;
  let [pos, fitted] = profileBuffers[axis];
  if (pos.length < n) {
    pos = new Float64Array(n);
    fitted = new Float64Array(n);
    profileBuffers[axis] = [pos, fitted];
  }
  for (let i = 0; i < n; i++) {
    pos[i] = start + i;
    fitted[i] = g ? g.offset + g.amplitude * Math.exp(-0.5 * ((pos[i] - g.centre) / g.sigma) ** 2) : NaN;
  }
  plot(canvas, [{ x: pos, y: values, n, colour: '#4fc3f7' }, { x: pos, y: fitted, n: g ? n : 0, colour: '#ffeb3b', dash: true }]);
}

// The centroid and D4σ of every beam seen, kept for the stability window's length.
const kHistory = 4096;
const history = { t: new Float64Array(kHistory), x: new Float64Array(kHistory), y: new Float64Array(kHistory), d: new Float64Array(kHistory), head: 0, count: 0, frame: -1 };
const historyView = { t: new Float64Array(kHistory), x: new Float64Array(kHistory), y: new Float64Array(kHistory), d: new Float64Array(kHistory) };
let windowSeconds = 60;

function remember(b) {
  if (!b.valid || b.frame === history.frame) return;
  history.frame = b.frame;
  const i = history.head;
  history.t[i] = performance.now() / 1000;
  history.x[i] = b.centroid.x;
  history.y[i] = b.centroid.y;
  history.d[i] = b.width.major;
  history.head = (i + 1) % kHistory;
  history.count = Math.min(history.count + 1, kHistory);
}

function drawHistory() {
  const now = performance.now() / 1000;
  let n = 0;
  for (let j = history.count; j > 0; j--) {
    const i = (history.head - j + kHistory) % kHistory;
    if (now - history.t[i] > windowSeconds) continue;
    historyView.t[n] = history.t[i] - now;
    historyView.x[n] = history.x[i];
    historyView.y[n] = history.y[i];
    historyView.d[n] = history.d[i];
    n++;
  }
  // About their means, so that a jitter of a pixel shows beside a width of a hundred.
  const v = historyView;
  for (const a of [v.x, v.y, v.d]) {
    let mean = 0;
    for (let i = 0; i < n; i++) mean += a[i] / n;
    for (let i = 0; i < n; i++) a[i] -= mean;
  }
  plot($('history'), [{ x: v.t, y: v.x, n, colour: '#4fc3f7' }, { x: v.t, y: v.y, n, colour: '#f48fb1' }, { x: v.t, y: v.d, n, colour: '#ffeb3b' }]);
}

function showStability(s) {
  if (s.seconds > 1) windowSeconds = s.seconds;
  const ok = s.frames > 0 && s.delta;
  $('window').textContent = `${s.frames} frames, ${fixed(s.seconds, 1)} s`;
  $('delta').textContent = ok ? `${fixed(s.delta.x, 2)}, ${fixed(s.delta.y, 2)} px` : '–';
  $('azimuth').textContent = ok ? fixed(s.delta.azimuth, 1) + '°' : '–';
  $('mean').textContent = ok ? `${fixed(s.mean.x, 2)}, ${fixed(s.mean.y, 2)}` : '–';
  $('widthstd').textContent = ok ? `${fixed(s.width_std.major, 2)}, ${fixed(s.width_std.minor, 2)} px` : '–';
  $('rsd').textContent = ok ? fixed(100 * s.intensity_rsd, 2) + ' % rsd' : '–';
  const f = s.spectrum.f_hz;
  const colours = { x: '#4fc3f7', y: '#f48fb1' };
  const canvas = $('spectrum');
  // Every line is listed; those within a tenth of the strongest are also named on the chart.
  const top = s.peaks.reduce((m, p) => Math.max(m, p.amplitude), 0);
  const name = (p) => `${p.axis} ${p.f_hz.toFixed(2)} Hz ${p.amplitude.toPrecision(2)} px`;
  plot(canvas, [{ x: f, y: s.spectrum.x, n: f.length, colour: colours.x }, { x: f, y: s.spectrum.y, n: f.length, colour: colours.y }],
    s.peaks.filter((p) => p.amplitude >= top / 10).map((p) => ({ x: p.f_hz, y: p.amplitude, colour: colours[p.axis], text: name(p) })));
  canvas.dataset.peaks = s.peaks.map((p) => `${p.axis} ${p.f_hz.toFixed(3)} ${p.amplitude.toFixed(3)}`).join(';');
  $('peaks').textContent = s.peaks.length ? s.peaks.map(name).join(', ') : 'no lines yet';
}

function show(s) {
  status = s;
  lastEvent = Date.now();
  $('camera').textContent = s.camera && s.camera.name ? s.camera.name : 'Lumerix2';
  const state = $('state');
  state.textContent = s.state;
  state.className = 'state ' + s.state;
  $('frame').textContent = s.frame;
  $('fps').textContent = fixed(s.fps, 1) + ' /s';
  $('x').textContent = s.spot ? fixed(s.spot.x, 1) : '–';
  $('y').textContent = s.spot ? fixed(s.spot.y, 1) : '–';
  $('sx').textContent = s.spot ? fixed(s.spot.sx, 1) : '–';
  $('sy').textContent = s.spot ? fixed(s.spot.sy, 1) : '–';
  const b = s.beam && s.beam.valid ? s.beam : null;
  $('beam').textContent = b ? `${fixed(b.centroid.x, 1)}, ${fixed(b.centroid.y, 1)}` : (s.beam ? s.beam.reason : '–');
  $('d4s').textContent = b ? `${fixed(b.width.major, 1)} × ${fixed(b.width.minor, 1)}` : '–';
  $('angle').textContent = b ? fixed(b.angle, 1) + '°' : '–';
  $('darkframes').textContent = !s.beam ? '–' : s.beam.dark.capturing ? 'capturing' : s.beam.dark.frames ? `${s.beam.dark.frames} frames` : 'none';
  $('scale').textContent = fixed(s.scale, 3);
  $('orientation').textContent = s.orientation;
  const c = s.clients;
  $('clients').textContent = `${c.lossless} lossless, ${c.lossy} lossy, ${c.web} web, ${c.zeft} ZEFT`;
  $('start').disabled = s.state !== 'stopped';
  $('stop').disabled = s.state !== 'grabbing';
  $('dark').disabled = s.state !== 'grabbing';
  if (s.beam) remember(s.beam);
  draw();
}

function reloadPicture() {
  picture.src = 'stream.mjpg?' + Date.now();
}

const events = new EventSource('events');
events.addEventListener('status', (e) => show(JSON.parse(e.data)));
events.addEventListener('open', () => {
  // Back after a restart: the old stream is dead, start a new one.
  if (picture.dataset.broken) {
    delete picture.dataset.broken;
    reloadPicture();
  }
});
events.addEventListener('error', () => {
  picture.dataset.broken = '1';
  $('state').textContent = 'disconnected';
  $('state').className = 'state down';
});
picture.addEventListener('error', () => {
  picture.dataset.broken = '1';
});
// A stream that stalls silently (a proxy, a sleeping laptop) is started again.
setInterval(() => {
  if (Date.now() - lastEvent > 15000) {
    lastEvent = Date.now();
    reloadPicture();
  }
}, 5000);
window.addEventListener('resize', draw);
picture.addEventListener('load', draw);

// The profiles ten times a second while new beams come, and the stability once a second,
// each request after the last one's answer.
let tick = 0, profileFrame = -1;
async function poll() {
  try {
    if (status && status.beam && status.beam.frame !== profileFrame) {
      const r = await fetch('api/beam');
      if (r.ok) {
        const b = await r.json();
        profileFrame = b.frame;
        remember(b);
        const p = b.profiles;
        drawProfile($('profilex'), 'x', p.x0, p.x, p.fit_x);
        drawProfile($('profiley'), 'y', p.y0, p.y, p.fit_y);
      }
    }
    drawHistory();
    if (status && tick++ % 10 === 0) {
      const r = await fetch('api/stability');
      if (r.ok) showStability(await r.json());
    }
  } catch (e) {
    // The server went away; the event stream shows it, and the next round tries again.
  }
  setTimeout(poll, 100);
}
poll();

async function command(method, path, body) {
  $('message').textContent = '';
  try {
    const r = await fetch(path, { method, body });
    if (r.status !== 204) $('message').textContent = (await r.text()).trim();
  } catch (e) {
    $('message').textContent = 'The server did not answer.';
  }
}
$('start').addEventListener('click', () => command('POST', 'api/start'));
$('stop').addEventListener('click', () => command('POST', 'api/stop'));
$('dark').addEventListener('click', () => command('POST', 'api/dark'));
$('nodark').addEventListener('click', () => command('DELETE', 'api/dark'));
$('whole').addEventListener('click', () => command('PUT', 'api/roi', '{"x":0,"y":0,"width":0,"height":0}'));
$('reset').addEventListener('click', () => {
  history.count = 0;
  command('DELETE', 'api/stability');
});

// A region drawn with the mouse (or a finger) on the picture becomes the measured one.
function framePoint(e) {
  const f = fit();
  if (!f) return null;
  const r = overlay.getBoundingClientRect();
  const clamp = (v, hi) => Math.min(Math.max(Math.round(v), 0), hi);
  return { x: clamp((e.clientX - r.left - f.ox) / f.k, status.width), y: clamp((e.clientY - r.top - f.oy) / f.k, status.height) };
}
overlay.addEventListener('pointerdown', (e) => {
  const p = framePoint(e);
  if (!p) return;
  overlay.setPointerCapture(e.pointerId);
  drag = { x0: p.x, y0: p.y, x1: p.x, y1: p.y };
});
overlay.addEventListener('pointermove', (e) => {
  const p = drag && framePoint(e);
  if (!p) return;
  drag.x1 = p.x;
  drag.y1 = p.y;
  draw();
});
overlay.addEventListener('pointerup', () => {
  const d = drag;
  drag = null;
  draw();
  if (!d) return;
  const x = Math.min(d.x0, d.x1), y = Math.min(d.y0, d.y1);
  const width = Math.abs(d.x1 - d.x0), height = Math.abs(d.y1 - d.y0);
  if (width < 4 || height < 4) return; // a click, not a region
  command('PUT', 'api/roi', JSON.stringify({ x, y, width, height }));
});
overlay.addEventListener('pointercancel', () => {
  drag = null;
  draw();
});
