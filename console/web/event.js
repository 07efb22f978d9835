// The Event page: every field of one event in words, its date rules too (from, until, every Nth
// week, calendars to avoid or follow, how late a run may start). Saving sends the event form to
// the API; the shared rules' messages come back and are shown beside their fields. The version read with the
// event goes back with the change, so an edit made meanwhile elsewhere is a conflict, not lost.
import { start, api, el, can, showErrors, banner, dayNames, dayTitles } from './common.js';

const main = document.getElementById('main');
const params = new URLSearchParams(location.search);
let number = params.get('number') ? Number(params.get('number')) : null;
let version = null;
let calendars = [];  // the file's calendar names, for except and only
const bauds = ['2400', '9600', '14400', '19200', '28800', '57600', '115200', '128000'];

const $ = (id) => document.getElementById(id);
const spot = (field) => el('span', { class: 'err', 'data-for': field });
const num = (id, attrs = {}) => el('input', { id, type: 'number', step: 1, ...attrs });
const select = (id, options) => el('select', { id }, options.map(([v, t]) => el('option', { value: v }, t)));
const line = (name, ...children) => el('div', { class: 'row' }, el('span', { class: 'name' }, name), ...children);

function form() {
  return el('form', { id: 'event-form', class: 'panel', novalidate: true },
    el('div', { id: 'banner', class: 'banner bad', role: 'alert' }),
    line('Number', num('number', { min: 1, max: 32767, placeholder: 'chosen when empty' }), spot('number')),
    line('Title', el('input', { id: 'title', size: 40, maxlength: 255 }), spot('title')),
    line('Days', dayNames.map((d, i) => el('label', {}, el('input', { type: 'checkbox', id: `day-${d}`, value: d }), ` ${dayTitles[i].slice(0, 3)}`)),
      el('button', { type: 'button', id: 'weekdays', onclick: () => dayNames.forEach((d, i) => { $(`day-${d}`).checked = i < 5; }) }, 'Mon–Fri'),
      spot('days')),
    line('Time', el('input', { id: 'time', size: 8, placeholder: 'hh:mm:ss' }),
      el('label', {}, el('input', { type: 'checkbox', id: 'no-time' }), ' no time (never runs)'), spot('time')),
    line('Marking', select('marking', [['active', 'active'], ['inactive', 'inactive'], ['skip-next', 'skip the next run'], ['one-time', 'run once, then delete']]), spot('marking')),
    el('fieldset', {}, el('legend', {}, 'Dates'),
      line('From', el('input', { id: 'from', size: 10, placeholder: 'YYYY-MM-DD' }), spot('from'),
        el('label', { for: 'until' }, 'until'), el('input', { id: 'until', size: 10, placeholder: 'YYYY-MM-DD' }), spot('until'),
        el('span', { class: 'note' }, 'both days included; empty: no bound')),
      line('Every', num('every-weeks', { min: 1, max: 52, placeholder: '1' }), 'weeks, counted from the week of',
        el('input', { id: 'week-of', size: 10, placeholder: 'YYYY-MM-DD' }), spot('every_weeks'), spot('week_of')),
      line('Not on', el('span', { id: 'except-list' }), spot('except')),
      line('Only on', el('span', { id: 'only-list' }), spot('only')),
      line('At most', el('input', { id: 'latest', size: 8, placeholder: 'hh:mm:ss' }), 'late; empty: up to a day', spot('latest'))),
    el('fieldset', {}, el('legend', {}, 'Condition'),
      line('Run', select('cond-when', [['', 'always'], ['on', 'only while crosspoint is on'], ['off', 'only while crosspoint is off']]),
        el('label', {}, 'source ', num('cond-source', { min: 1 })), el('label', {}, 'destination ', num('cond-destination', { min: 1 })),
        spot('condition'), spot('condition.when'), spot('condition.source'), spot('condition.destination'))),
    el('fieldset', {}, el('legend', {}, 'Actions, in the order the engine carries them out'),
      line('Crosspoint', select('xp-kind', [['', 'none'], ['take', 'take'], ['sum-on', 'sum on'], ['sum-off', 'sum off']]),
        el('label', {}, 'source ', num('xp-source', { min: 1 })), el('label', {}, 'destination ', num('xp-destination', { min: 1 })),
        spot('take'), spot('take.source'), spot('take.destination')),
      line('Salvo', el('label', {}, el('input', { type: 'checkbox', id: 'salvo-on' }), ' execute salvo '), num('salvo', { min: 1 }), spot('salvo')),
      line('Relay', select('relay-mode', [['', 'none'], ['latch', 'latch'], ['release', 'release'], ['pulse', 'pulse']]),
        el('label', {}, 'relay ', num('relay', { min: 1 })), spot('relay')),
      line('Gain', select('gain-target', [['', 'none'], ['source', 'source'], ['destination', 'destination']]),
        el('label', {}, 'channel ', num('gain-channel', { min: 1 })), el('label', {}, 'gain ', num('gain-gain')),
        spot('gain'), spot('gain.channel'), spot('gain.gain')),
      line('Message', select('msg-to', [['', 'none'], ['ip', 'to an IP address'], ['serial', 'to a serial port'], ['switcher', 'to a switcher display']]),
        el('span', { id: 'msg-ip' }, el('label', {}, 'address ', el('input', { id: 'msg-address', size: 15, placeholder: '127.0.0.1' }))),
        el('span', { id: 'msg-serial' }, el('label', {}, 'baud ', select('msg-baud', bauds.map((b, i) => [String(i), b])))),
        el('span', { id: 'msg-switcher' }, el('label', {}, 'frame ', num('msg-frame', { min: 0, max: 255 })), el('label', {}, 'slot ', num('msg-slot', { min: 0, max: 255 }))),
        el('span', { id: 'msg-port-box' }, el('label', {}, 'port ', num('msg-port', { min: 0 }))),
        spot('message'), spot('message.address'), spot('message.port'), spot('message.baud'), spot('message.frame'), spot('message.slot')),
      line('', select('msg-content', [['text', 'text (caret codes: ^M ^J)'], ['file', 'contents of the file']]),
        el('input', { id: 'msg-text', size: 40 }), spot('message.text'), spot('message.file'))),
    el('div', { class: 'row' },
      el('button', { class: 'primary', type: 'submit', id: 'save', disabled: !can('operator') }, 'Save'),
      el('button', { class: 'danger', type: 'button', id: 'delete', disabled: !can('operator'), onclick: remove }, 'Delete'),
      el('a', { class: 'button', href: '/week.html' }, 'Back to the week'),
      can('operator') ? null : el('span', { class: 'note' }, 'Your role can read events but not change them.')));
}

function showMessageFields() {
  const to = $('msg-to').value;
  $('msg-ip').hidden = to !== 'ip';
  $('msg-serial').hidden = to !== 'serial';
  $('msg-switcher').hidden = to !== 'switcher';
  $('msg-port-box').hidden = !to;
  $('msg-content').disabled = $('msg-text').disabled = !to;
}

// The calendar boxes of except and only: every calendar of the file, and any other name the
// event holds (so that it can be taken out).
function calendarBoxes(e) {
  for (const kind of ['except', 'only']) {
    const held = (e && e[kind]) || [];
    const names = [...calendars, ...held.filter((n) => !calendars.includes(n))];
    $(`${kind}-list`).replaceChildren(...(names.length ? names.map((n) => el('label', {},
      el('input', { type: 'checkbox', 'data-list': kind, value: n, checked: held.includes(n) }),
      ` ${n}${calendars.includes(n) ? '' : ' (no such calendar)'}`)) : [el('span', { class: 'note' }, 'no calendars yet')]));
  }
}

function fill(e) {
  $('number').value = e.number;
  $('title').value = e.title;
  for (const d of dayNames) $(`day-${d}`).checked = e.days.includes(d);
  $('time').value = e.time || '';
  $('no-time').checked = e.time === null;
  $('marking').value = e.marking;
  $('from').value = e.from || '';
  $('until').value = e.until || '';
  $('every-weeks').value = e.every_weeks ?? '';
  $('week-of').value = e.week_of || '';
  $('latest').value = e.latest || '';
  calendarBoxes(e);
  $('cond-when').value = e.condition ? e.condition.when : '';
  $('cond-source').value = e.condition ? e.condition.source : '';
  $('cond-destination').value = e.condition ? e.condition.destination : '';
  for (const a of e.actions) {
    if (['take', 'sum-on', 'sum-off'].includes(a.kind)) { $('xp-kind').value = a.kind; $('xp-source').value = a.source; $('xp-destination').value = a.destination; }
    if (a.kind === 'salvo') { $('salvo-on').checked = true; $('salvo').value = a.salvo; }
    if (a.kind === 'relay') { $('relay-mode').value = a.mode; $('relay').value = a.relay; }
    if (a.kind === 'gain') { $('gain-target').value = a.target; $('gain-channel').value = a.channel; $('gain-gain').value = a.gain; }
    if (a.kind === 'message') {
      $('msg-to').value = a.to;
      $('msg-address').value = a.address || '';
      $('msg-port').value = a.port ?? '';
      $('msg-baud').value = String(a.baud ?? 0);
      $('msg-frame').value = a.frame ?? '';
      $('msg-slot').value = a.slot ?? '';
      $('msg-content').value = a.file !== undefined ? 'file' : 'text';
      $('msg-text').value = a.file !== undefined ? a.file : a.text;
    }
  }
  version = e.version;
  showMessageFields();
}

// The form as the API's event form; fields that are not whole numbers are reported here.
function collect(local) {
  const int = (id, field) => {
    const raw = $(id).value.trim();
    if (raw === '' && $(id).validity.valid) return 0;
    const n = Number(raw);
    if (raw === '' || !Number.isInteger(n)) { local.push({ field, message: `${field} must be a whole number` }); return 0; }
    return n;
  };
  const e = {
    title: $('title').value,
    days: dayNames.filter((d) => $(`day-${d}`).checked),
    time: $('no-time').checked ? null : $('time').value.trim(),
    marking: $('marking').value,
    condition: null,
    actions: [],
  };
  if ($('number').value.trim() !== '' || !$('number').validity.valid) e.number = int('number', 'number');
  // The date rules, each null (or []) when not set: the page always sends them, so clearing one
  // clears it.
  const text = (id) => $(id).value.trim() || null;
  e.from = text('from');
  e.until = text('until');
  e.week_of = text('week-of');
  e.latest = text('latest');
  e.every_weeks = $('every-weeks').value.trim() === '' && $('every-weeks').validity.valid ? null : int('every-weeks', 'every_weeks');
  for (const kind of ['except', 'only']) {
    e[kind] = [...document.querySelectorAll(`input[data-list="${kind}"]`)].filter((b) => b.checked).map((b) => b.value);
  }
  if ($('cond-when').value) e.condition = { when: $('cond-when').value, source: int('cond-source', 'condition.source'), destination: int('cond-destination', 'condition.destination') };
  if ($('xp-kind').value) e.actions.push({ kind: $('xp-kind').value, source: int('xp-source', 'take.source'), destination: int('xp-destination', 'take.destination') });
  if ($('salvo-on').checked) e.actions.push({ kind: 'salvo', salvo: int('salvo', 'salvo') });
  if ($('relay-mode').value) e.actions.push({ kind: 'relay', mode: $('relay-mode').value, relay: int('relay', 'relay') });
  if ($('gain-target').value) e.actions.push({ kind: 'gain', target: $('gain-target').value, channel: int('gain-channel', 'gain.channel'), gain: int('gain-gain', 'gain.gain') });
  const to = $('msg-to').value;
  if (to) {
    const m = { kind: 'message', to };
    if (to === 'ip') { m.address = $('msg-address').value.trim(); m.port = int('msg-port', 'message.port'); }
    if (to === 'serial') { m.port = int('msg-port', 'message.port'); m.baud = Number($('msg-baud').value); }
    if (to === 'switcher') { m.frame = int('msg-frame', 'message.frame'); m.slot = int('msg-slot', 'message.slot'); m.port = int('msg-port', 'message.port'); }
    m[$('msg-content').value] = $('msg-text').value;
    e.actions.push(m);
  }
  if (version) e.version = version;
  return e;
}

async function save(event) {
  event.preventDefault();
  const f = $('event-form');
  const local = [];
  const e = collect(local);
  if (local.length) { showErrors(f, $('banner'), { errors: local }); return; }
  const res = number === null ? await api('POST', '/api/events', e) : await api('PUT', `/api/events/${number}`, e);
  if (!res.ok) {
    showErrors(f, $('banner'), res.data);
    if (res.status === 409 && number !== null) {
      $('banner').append(' ', el('button', { type: 'button', id: 'reload', onclick: () => location.reload() }, 'Reload the event'));
    }
    return;
  }
  showErrors(f, $('banner'), {});
  number = res.data.number;
  fill(res.data);
  history.replaceState(null, '', `/event.html?number=${number}`);
  banner($('banner'), `Saved event ${number}. The engine picks it up within two seconds.`, true);
  document.getElementById('heading').textContent = `Event ${number}`;
}

async function remove() {
  if (number === null) return;
  if (!confirm(`Delete event ${number}?`)) return;
  const res = await api('DELETE', `/api/events/${number}?version=${encodeURIComponent(version || '')}`);
  if (!res.ok) { banner($('banner'), res.data.error || `Not deleted (${res.status})`); return; }
  location.href = '/week.html';
}

async function load() {
  await start('event');
  main.replaceChildren(el('h1', { id: 'heading' }, number === null ? 'New event' : `Event ${number}`), form());
  $('event-form').addEventListener('submit', save);
  $('msg-to').addEventListener('change', showMessageFields);
  $('no-time').addEventListener('change', () => { $('time').disabled = $('no-time').checked; });
  showMessageFields();
  const cal = await api('GET', '/api/calendars');
  calendars = cal.ok ? cal.data.map((c) => c.name) : [];
  calendarBoxes(null);
  if (number !== null) {
    const res = await api('GET', `/api/events/${number}`);
    if (!res.ok) { banner($('banner'), res.data.error || 'The event cannot be read.'); number = null; }
    else fill(res.data);
  } else {
    $('delete').disabled = true;
  }
  document.body.dataset.loaded = 'true';
}

load();
