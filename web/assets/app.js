'use strict';
// The live page: the picture from the MJPEG stream, the spot, the beam and the numbers from
// the event stream. Both reconnect by themselves when the server goes away and comes back.
const $ = (id) => document.getElementById(id);
const picture = $('picture');
const overlay = $('overlay');
let status = null;
let lastEvent = Date.now();

function fixed(v, digits) {
  return typeof v === 'number' ? v.toFixed(digits) : '–';
}

function draw() {
  const w = picture.clientWidth, h = picture.clientHeight;
  overlay.width = w;
  overlay.height = h;
  overlay.style.width = w + 'px';
  overlay.style.height = h + 'px';
  const ctx = overlay.getContext('2d');
  ctx.clearRect(0, 0, w, h);
  delete overlay.dataset.crossX;
  delete overlay.dataset.crossY;
  delete overlay.dataset.ellipse;
  if (!status || !status.width || !status.height) return;
  // object-fit: contain leaves bars on one side; the picture sits centred between them.
  const k = Math.min(w / status.width, h / status.height);
  const ox = (w - status.width * k) / 2, oy = (h - status.height * k) / 2;
  drawBeam(ctx, status.beam, k, ox, oy);
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
  $('scale').textContent = fixed(s.scale, 3);
  $('orientation').textContent = s.orientation;
  const c = s.clients;
  $('clients').textContent = `${c.lossless} lossless, ${c.lossy} lossy, ${c.web} web, ${c.zeft} ZEFT`;
  $('start').disabled = s.state !== 'stopped';
  $('stop').disabled = s.state !== 'grabbing';
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

async function command(name) {
  $('message').textContent = '';
  try {
    const r = await fetch('api/' + name, { method: 'POST' });
    if (r.status !== 204) $('message').textContent = (await r.text()).trim();
  } catch (e) {
    $('message').textContent = 'The server did not answer.';
  }
}
$('start').addEventListener('click', () => command('start'));
$('stop').addEventListener('click', () => command('stop'));
