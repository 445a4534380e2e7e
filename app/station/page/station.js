// The station's page: one tile per port, drawn from the state /events pushes. Every text from the
// program goes in through textContent, never as markup: a device's identify text is untrusted.
'use strict';

// The state's word -> what the tile says in large type, and its colour.
const STATES = {
    'starting': ['STARTING', 'idle'],
    'waiting': ['WAITING FOR A DEVICE', 'idle'],
    'connected': ['CONNECTED', 'busy'],
    'step': ['', 'busy'],
    'updated': ['UPDATED', 'good'],
    'not updated': ['NOT UPDATED', 'bad'],
    'interrupted': ['INTERRUPTED', 'warn'],
    'current': ['CURRENT', 'good'],
    'differs': ['DIFFERS', 'warn'],
    'no device': ['NO DEVICE', 'warn'],
    'port error': ['PORT ERROR', 'bad'],
    'ended': ['ENDED', 'idle'],
};
const GOOD_RESULTS = ['updated', 'current'];

function element(tag, className, parent) {
    const e = document.createElement(tag);
    if (className) {
        e.className = className;
    }
    if (parent) {
        parent.appendChild(e);
    }
    return e;
}

function setText(e, text) {
    const t = text === undefined || text === null ? '' : String(text);
    if (e.textContent !== t) {
        e.textContent = t;
    }
    e.hidden = t === '';
}

function oneLine(text) {
    return text ? String(text).replace(/\s+/g, ' ').trim() : '';
}

function seconds(value) {
    return typeof value === 'number' ? value.toFixed(1) + ' s' : '';
}

function clock(iso) {
    const d = new Date(iso);
    return isNaN(d.getTime()) ? String(iso) : d.toLocaleTimeString();
}

function makeTile() {
    const t = {};
    t.root = element('section', 'tile');
    t.name = element('h2', 'name', t.root);
    t.device = element('p', 'device', t.root);
    t.state = element('p', 'state', t.root);
    t.bar = element('progress', '', t.root);
    t.bar.max = 100;
    t.detail = element('p', 'detail', t.root);
    t.line = element('p', 'line', t.root);
    t.ids = element('p', 'ids', t.root);
    t.counts = element('p', 'counts', t.root);
    t.last = element('ul', 'last', t.root);
    return t;
}

function drawTile(t, p) {
    setText(t.name, p.port);
    setText(t.device, p.device !== p.port ? p.device : '');
    const shown = STATES[p.state] || [String(p.result || p.state).toUpperCase(), 'idle'];
    let word = shown[0];
    let detail = '';
    if (p.state === 'step') {
        word = (p.step || 'UPDATING').toUpperCase();
        detail = typeof p.percent === 'number' ? p.percent + ' %' : '';
    } else if (p.state === 'not updated' || p.state === 'interrupted') {
        detail = p.failed_step || '';
    } else if (p.state === 'port error' || p.state === 'no device' || p.state === 'ended') {
        // An ending the page has no word of its own for ("not started", ...) is shown in the child's.
        if (p.state === 'ended' && p.result) {
            word = String(p.result).toUpperCase();
        }
        detail = oneLine(p.status);
    }
    t.root.className = 'tile ' + shown[1];
    setText(t.state, word);
    t.bar.hidden = p.state !== 'step';
    if (typeof p.percent === 'number') {
        t.bar.value = p.percent;
    } else {
        t.bar.removeAttribute('value');
    }
    setText(t.detail, detail);
    setText(t.line, p.state === 'waiting' || p.state === 'starting' ? oneLine(p.status) : oneLine(p.warning));
    const ids = [p.id_text1, p.id_text2].filter(Boolean).join(' / ');
    setText(t.ids, ids ? 'Device: ' + ids : '');
    setText(t.counts, 'Updated ' + p.updated + ' \u00b7 Not updated ' + p.not_updated +
                          (p.retries ? ' \u00b7 Frames sent again ' + p.retries : ''));
    drawLast(t.last, p.last || []);
}

function drawLast(list, results) {
    while (list.children.length > results.length) {
        list.removeChild(list.lastChild);
    }
    while (list.children.length < results.length) {
        const li = element('li', '', list);
        element('span', '', li);
        element('span', '', li);
        element('span', '', li);
    }
    results.forEach((r, i) => {
        const spans = list.children[i].children;
        setText(spans[0], clock(r.time) + ' ');
        spans[1].className = GOOD_RESULTS.includes(r.result) ? 'good' : 'bad';
        setText(spans[1], r.result);
        setText(spans[2], (r.failed_step ? ': ' + r.failed_step : '') + (r.seconds >= 0 ? ', ' + seconds(r.seconds) : ''));
    });
}

const tiles = [];

function draw(station) {
    setText(document.getElementById('host'), station.host ? '\u2014 ' + station.host : '');
    const sha = station.firmware_sha256 || '';
    const firmware = document.getElementById('firmware');
    setText(firmware, station.firmware + ', ' + station.firmware_size + ' bytes, CRC-16 ' + station.firmware_crc +
                          ', SHA-256 ' + sha.slice(0, 16) + (sha.length > 16 ? '\u2026' : ''));
    firmware.title = sha;
    setText(document.getElementById('version'), 'tq330-flash ' + station.version);
    setText(document.getElementById('record'), station.record || 'none');
    const main = document.getElementById('ports');
    const ports = station.ports || [];
    while (tiles.length > ports.length) {
        main.removeChild(tiles.pop().root);
    }
    while (tiles.length < ports.length) {
        const t = makeTile();
        tiles.push(t);
        main.appendChild(t.root);
    }
    ports.forEach((p, i) => drawTile(tiles[i], p));
    document.title = 'TQ330 station' + (station.host ? ' \u2014 ' + station.host : '');
}

function showLost(lost) {
    document.getElementById('lost').hidden = !lost;
    tiles.forEach(t => t.root.classList.toggle('stale', lost));
}

// EventSource comes back by itself after a connection ends; only a stream that failed for good
// (the program answered something else) is opened again here.
function connect() {
    const events = new EventSource('/events');
    events.onopen = () => showLost(false);
    events.onmessage = message => {
        showLost(false);
        draw(JSON.parse(message.data));
    };
    events.onerror = () => {
        showLost(true);
        if (events.readyState === EventSource.CLOSED) {
            setTimeout(connect, 3000);
        }
    };
}

connect();
