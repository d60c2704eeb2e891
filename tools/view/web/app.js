// kvdepth view: live frames arrive on a WebSocket, everything else goes through the JSON API.
'use strict';

const $ = (id) => document.getElementById(id);
const hex = (n, digits) => (n >>> 0).toString(16).padStart(digits, '0');

async function api(path, body) {
  const init = body === undefined ? {} :
    { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) };
  const response = await fetch(path, init);
  return response.json();
}

// ---------------------------------------------------------------- live frames

let latestDepth = null;  // {index, width, height} of the depth image on screen

function connect() {
  const socket = new WebSocket(`ws://${location.host}/ws`);
  socket.binaryType = 'arraybuffer';
  socket.onmessage = async (event) => {
    try {
      await showFrame(event.data);
    } finally {
      socket.send('ready');  // the server sends the next frame only now: a slow page skips frames
    }
  };
  socket.onclose = () => setTimeout(connect, 1000);
}

async function showFrame(buffer) {
  const length = new DataView(buffer).getUint32(0, true);
  const head = JSON.parse(new TextDecoder().decode(new Uint8Array(buffer, 4, length)));
  const blobAt = (entry) => new Uint8Array(buffer, 4 + length + entry.offset, entry.size);
  const drawn = head.images.filter((image) => image.size).map(async (image) => {
    const bitmap = await createImageBitmap(new Blob([blobAt(image)], { type: 'image/jpeg' }));
    const canvas = $(`canvas-${image.stream}`);
    if (!canvas) return;
    canvas.width = bitmap.width;
    canvas.height = bitmap.height;
    canvas.getContext('2d').drawImage(bitmap, 0, 0);
    bitmap.close();
  });
  await Promise.all(drawn);
  for (const image of head.images) {
    const caption = $(`frame-${image.stream}`);
    if (caption && image.stream !== 'points') {  // the point cloud is computed from depth: no index of its own
      caption.textContent = `frame ${image.index} · ${image.fps.toFixed(1)} fps`;
      caption.dataset.index = image.index;
    }
    if (image.stream === 'depth') {
      latestDepth = image;
      $('legend-min').textContent = `${image.min_mm} mm`;
      $('legend-max').textContent = `${image.max_mm} mm`;
    }
  }
  if (head.points) {
    const start = 4 + length + head.points.offset;
    cloud.update(buffer.slice(start, start + head.points.size));  // a copy of its own is 4-byte aligned
  }
  showCpu(head.cpu);
  countShown();
  if (pointer) readDepth();
}

// Frames this page has shown in the last second: below the camera's rate when the page skips frames.
const shownTimes = [];
function countShown() {
  const now = performance.now();
  shownTimes.push(now);
  while (now - shownTimes[0] > 1000) shownTimes.shift();
  $('page-fps').textContent = `page shows ${shownTimes.length} fps`;
}

function showCpu(cpu) {
  $('cpu').textContent = `viewer CPU ${cpu.toFixed(0)}% of one core`;
}

// ---------------------------------------------------------------- depth under the pointer

let pointer = null;  // pixel of the depth image under the mouse
let depthBusy = false;

$('canvas-depth').addEventListener('mousemove', (event) => {
  const canvas = event.target;
  const rect = canvas.getBoundingClientRect();
  pointer = {
    x: Math.floor((event.clientX - rect.left) * canvas.width / rect.width),
    y: Math.floor((event.clientY - rect.top) * canvas.height / rect.height),
  };
  readDepth();
});
$('canvas-depth').addEventListener('mouseleave', () => { pointer = null; });

async function readDepth() {
  if (depthBusy || !pointer) return;  // one question at a time; the answer is about the newest frame
  depthBusy = true;
  const { x, y } = pointer;
  try {
    const answer = await api(`/api/depth?x=${x}&y=${y}`);
    const readout = $('depth-readout');
    if (!answer.ok) {
      readout.textContent = answer.error;
      return;
    }
    readout.textContent = answer.depth_mm
      ? `(${answer.x}, ${answer.y}): ${answer.depth_mm} mm in frame ${answer.index}`
      : `(${answer.x}, ${answer.y}): no depth in frame ${answer.index}`;
    Object.assign(readout.dataset, { x: answer.x, y: answer.y, depth: answer.depth_mm, index: answer.index });
  } finally {
    depthBusy = false;
  }
}

// ---------------------------------------------------------------- 3D view

const cloud = (() => {
  const element = $('cloud');
  let renderer = null, scene, camera, points, lastData = null;
  try {
    renderer = new THREE.WebGLRenderer({ antialias: false });
  } catch (error) {
    element.textContent = 'No 3D view: this browser has no WebGL, or three.js is not installed.';
    return { update() {} };
  }
  renderer.setSize(element.clientWidth, element.clientHeight);
  element.appendChild(renderer.domElement);
  scene = new THREE.Scene();
  camera = new THREE.PerspectiveCamera(60, element.clientWidth / element.clientHeight, 0.01, 100);
  camera.position.set(0, 0, 0.5);
  const controls = new THREE.OrbitControls(camera, renderer.domElement);
  controls.target.set(0, 0, -1.5);
  controls.update();
  const geometry = new THREE.BufferGeometry();
  points = new THREE.Points(geometry, new THREE.PointsMaterial({ size: 2, sizeAttenuation: false,
                                                                  vertexColors: THREE.VertexColors }));
  scene.add(points);
  const render = () => renderer.render(scene, camera);
  controls.addEventListener('change', render);

  // Near red to far blue, as the depth image is coloured.
  const ramp = (t) => {
    const s = Math.min(3, Math.floor(t * 4)), f = t * 4 - s;
    return [[1, f, 0], [1 - f, 1, 0], [0, 1, f], [0, 1 - f, 1]][s];
  };

  function update(data) {
    lastData = data;
    const xyz = new Float32Array(data), rgb = new Uint8Array(data);  // 16 bytes a point: x y z r g b -
    const count = data.byteLength / 16;
    const position = new Float32Array(count * 3), colour = new Float32Array(count * 3);
    let near = Infinity, far = 0;
    for (let i = 0; i < count; ++i) {
      near = Math.min(near, xyz[i * 4 + 2]);
      far = Math.max(far, xyz[i * 4 + 2]);
    }
    const byDepth = document.querySelector('input[name=cloud-colour]:checked').value === 'depth';
    for (let i = 0; i < count; ++i) {
      // Millimetres in the camera's frame (y down, z ahead) to metres in the scene's (y up, z behind).
      const z = xyz[i * 4 + 2];
      position[i * 3] = xyz[i * 4] / 1000;
      position[i * 3 + 1] = -xyz[i * 4 + 1] / 1000;
      position[i * 3 + 2] = -z / 1000;
      colour.set(byDepth ? ramp(far > near ? (z - near) / (far - near) : 0)
        : [rgb[i * 16 + 12] / 255, rgb[i * 16 + 13] / 255, rgb[i * 16 + 14] / 255], i * 3);
    }
    geometry.setAttribute('position', new THREE.BufferAttribute(position, 3));
    geometry.setAttribute('color', new THREE.BufferAttribute(colour, 3));
    geometry.computeBoundingSphere();
    $('frame-points').textContent = `${count} points`;
    render();
  }
  for (const radio of document.querySelectorAll('input[name=cloud-colour]'))
    radio.addEventListener('change', () => lastData && update(lastData));
  return { update };
})();

// ---------------------------------------------------------------- settings

function settingId(control) {
  return `setting-${hex(control.component, 8)}-${hex(control.feature, 4)}`;
}

function showValue(element, control) {
  const value = control.value;
  for (const input of element.querySelectorAll('input, select')) {
    if (input.type === 'checkbox') input.checked = value === true;
    else input.value = value === null ? '' : value;
  }
}

async function applySetting(element, control, value) {
  const error = element.querySelector('.error');
  error.textContent = '';
  const answer = await api('/api/setting', { component: control.component, feature: control.feature,
                                             value: String(value) });
  if (answer.control) showValue(element, answer.control);  // what the camera reports now
  if (!answer.ok) error.textContent = answer.error || 'the camera refused the value';
}

function makeSetting(control) {
  const element = document.createElement('div');
  element.className = 'setting';
  element.id = settingId(control);
  const label = document.createElement('label');
  label.textContent = control.name;
  element.appendChild(label);
  const add = (tag, props) => element.appendChild(Object.assign(document.createElement(tag), props));
  const send = (event) => applySetting(element, control,
    event.target.type === 'checkbox' ? event.target.checked : event.target.value);
  if (control.control === 'slider')
    add('input', { type: 'range', min: control.min, max: control.max, step: control.step, onchange: send });
  if (control.control === 'slider' || control.control === 'number')
    add('input', { type: 'number', className: 'value-box', step: control.step || 'any', onchange: send });
  if (control.control === 'select') {
    const select = add('select', { onchange: send });
    for (const entry of control.entries)
      select.appendChild(Object.assign(document.createElement('option'), { value: entry.value, textContent: entry.name }));
  }
  if (control.control === 'switch') add('input', { type: 'checkbox', onchange: send });
  add('div', { className: 'error' });
  showValue(element, control);
  return element;
}

async function loadSettings() {
  const panel = await api('/api/settings');
  const box = $('settings');
  box.textContent = '';
  if (!Array.isArray(panel)) {
    box.textContent = panel.error;
    return;
  }
  for (const component of panel) {
    box.appendChild(Object.assign(document.createElement('h3'), { textContent: component.name }));
    for (const control of component.controls) box.appendChild(makeSetting(control));
  }
}

// ---------------------------------------------------------------- capture, streams, snapshot, device

let capturing = false;

function showState(info) {
  capturing = info.capturing;
  $('toggle-capture').textContent = capturing ? 'Stop' : 'Start';
  $('status').textContent = info.offline ? 'camera offline' : info.error;
  showCpu(info.cpu);
  for (const name of info.streams)
    $(`panel-${name}`)?.classList.toggle('off', !info.enabled.includes(name));
}

async function refresh() {
  showState(await api('/api/info'));
}

function showDevice(info) {
  $('camera-name').textContent = `${info.model} ${info.serial} at ${info.camera}`;
  const rows = [['serial', info.serial], ['vendor', info.vendor], ['model', info.model],
                ['hardware', info.hardware], ['firmware', info.firmware], ['firmware text', info.firmware_text]];
  for (const [name, value] of rows) {
    $('device').appendChild(Object.assign(document.createElement('dt'), { textContent: name }));
    $('device').appendChild(Object.assign(document.createElement('dd'), { textContent: value || '-' }));
  }
  for (const name of ['depth', 'ir_left', 'ir_right', 'color', 'points']) {
    if (!info.streams.includes(name)) {
      $(`panel-${name}`).classList.add('off');
      continue;
    }
    const box = Object.assign(document.createElement('input'),
                              { type: 'checkbox', value: name, checked: info.enabled.includes(name) });
    box.addEventListener('change', chooseStreams);
    const label = document.createElement('label');
    label.append(box, ` ${name} `);
    $('stream-choice').appendChild(label);
  }
}

async function chooseStreams() {
  const chosen = [...document.querySelectorAll('#stream-choice input:checked')].map((box) => box.value);
  const answer = await api('/api/streams', { streams: chosen });
  if (!answer.ok) $('status').textContent = answer.error;
  refresh();
}

$('toggle-capture').addEventListener('click', async () => {
  const answer = await api('/api/capture', { run: !capturing });
  if (!answer.ok) $('status').textContent = answer.error;
  refresh();
});

$('snapshot').addEventListener('click', async () => {
  const answer = await api('/api/snapshot', {});
  const result = $('snapshot-result');
  result.textContent = answer.ok ? `Saved frame ${answer.frame} to ${answer.directory}: ${answer.files.join(', ')}`
                                 : `Snapshot failed: ${answer.error}`;
  result.dataset.ok = answer.ok;
});

(async () => {
  const info = await api('/api/info');
  showDevice(info);
  showState(info);
  await loadSettings();
  connect();
  setInterval(refresh, 1000);
})();
