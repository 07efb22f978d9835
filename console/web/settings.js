// The Settings page: the switcher server and slave addresses and ports, the task-view folder and
// start minimised, and the confirmation wait and link-alarm delay. Only an admin can save; the engine picks the change up within two seconds.
import { start, api, el, can, showErrors, banner } from './common.js';

const main = document.getElementById('main');
const $ = (id) => document.getElementById(id);
const spot = (field) => el('span', { class: 'err', 'data-for': field });
const line = (name, ...children) => el('div', { class: 'row' }, el('span', { class: 'name' }, name), ...children);

async function save(event) {
  event.preventDefault();
  const port = (id) => (/^\d+$/.test($(id).value.trim()) ? Number($(id).value) : $(id).value);
  const body = {
    server: { address: $('server-address').value.trim(), port: port('server-port') },
    slave: { address: $('slave-address').value.trim(), port: port('slave-port') },
    taskViewFolder: $('task-view').value.trim(),
    startMinimized: $('start-min').checked,
    confirmWithin: port('confirm-within'),
    linkAlarmAfter: port('link-alarm-after'),
  };
  for (const [k, v] of [['server.port', body.server.port], ['slave.port', body.slave.port],
    ['confirmWithin', body.confirmWithin], ['linkAlarmAfter', body.linkAlarmAfter]]) {
    if (typeof v !== 'number') { showErrors($('settings-form'), $('banner'), { errors: [{ field: k, message: `${k} must be a whole number` }] }); return; }
  }
  const res = await api('PUT', '/api/settings', body);
  if (!res.ok) { showErrors($('settings-form'), $('banner'), res.data); return; }
  showErrors($('settings-form'), $('banner'), {});
  banner($('banner'), 'Saved. The engine reloads its settings within two seconds.', true);
}

// Alarm routes (admin): each route's type, target, kinds and secret. A stored secret shows as
// "set"; leaving it so keeps it, a new text replaces it, an empty one removes it.
let routeKinds = [];
function routeBox(r, i) {
  const v = (name) => el('input', { class: `route-${name}`, value: r[name] ?? '', size: name === 'target' ? 40 : 20 });
  const type = el('select', { class: 'route-type' }, ...['webhook', 'email', 'snmp'].map((t) => el('option', { value: t, selected: r.type === t }, t)));
  return el('fieldset', { class: 'route', 'data-id': r.id ?? 0 }, el('legend', {}, `Route ${i + 1}`),
    line('Type', type),
    line('Target', v('target'), spot(`route ${i + 1}`)),
    line('Secret', el('input', { class: 'route-secret', type: 'password', value: r.secret ?? '', size: 20, placeholder: 'none' })),
    line('Kinds', el('input', { class: 'route-kinds', value: (r.kinds || []).join(','), size: 40, placeholder: 'all' })),
    line('E-mail from / to / user', v('from'), v('to'), v('user')),
    line('STARTTLS', el('input', { class: 'route-starttls', type: 'checkbox', checked: !!r.starttls })),
    el('button', { type: 'button', class: 'route-remove', onclick: (e) => e.target.closest('fieldset').remove() }, 'Remove'));
}

function routesOf() {
  return [...document.querySelectorAll('#routes fieldset.route')].map((f) => {
    const q = (c) => f.querySelector(`.route-${c}`);
    const id = Number(f.dataset.id);
    const kinds = q('kinds').value.split(',').map((k) => k.trim()).filter(Boolean);
    return { id: id || undefined, type: q('type').value, target: q('target').value.trim(), secret: q('secret').value, kinds,
      from: q('from').value.trim(), to: q('to').value.trim(), user: q('user').value.trim(), starttls: q('starttls').checked };
  });
}

async function saveRoutes(event) {
  event.preventDefault();
  const res = await api('PUT', '/api/alarm-routes', { routes: routesOf() });
  if (!res.ok) { banner($('routes-banner'), res.data.error); return; }
  banner($('routes-banner'), 'Saved. The engine and the console use the routes within two seconds.', true);
  showRoutes(res.data);
}

function showRoutes(data) {
  $('routes').replaceChildren(...data.routes.map(routeBox));
}

async function loadRoutes() {
  const res = await api('GET', '/api/alarm-routes');
  if (!res.ok) return;
  routeKinds = res.data.kinds;
  main.append(el('form', { id: 'routes-form', class: 'panel', novalidate: true, onsubmit: saveRoutes },
    el('h2', { class: 'section-head' }, 'Alarms'),
    el('div', { id: 'routes-banner', class: 'banner bad' }),
    el('div', { id: 'routes' }),
    el('p', { class: 'note' }, `Kinds: ${routeKinds.join(', ')}`),
    el('div', { class: 'row' },
      el('button', { type: 'button', id: 'route-add', onclick: () => $('routes').append(routeBox({ type: 'webhook' }, $('routes').children.length)) }, 'Add route'),
      el('button', { class: 'primary', id: 'save-routes', type: 'submit' }, 'Save alarm routes'))));
  showRoutes(res.data);
}

async function load() {
  await start('settings');
  const res = await api('GET', '/api/settings');
  const s = res.ok ? res.data : { server: {}, slave: {} };
  const admin = can('admin');
  main.replaceChildren(el('h1', {}, 'Settings'),
    el('form', { id: 'settings-form', class: 'panel', novalidate: true, onsubmit: save },
      el('div', { id: 'banner', class: 'banner bad' }, res.ok ? '' : res.data.error),
      el('fieldset', {}, el('legend', {}, 'Switcher server (link 0)'),
        line('Address', el('input', { id: 'server-address', value: s.server.address ?? '', size: 15 }), spot('server.address')),
        line('Port', el('input', { id: 'server-port', value: s.server.port ?? '', size: 6 }), spot('server.port'))),
      el('fieldset', {}, el('legend', {}, 'Slave switcher (link 1); 0.0.0.0 for none'),
        line('Address', el('input', { id: 'slave-address', value: s.slave.address ?? '', size: 15 }), spot('slave.address')),
        line('Port', el('input', { id: 'slave-port', value: s.slave.port ?? '', size: 6 }), spot('slave.port'))),
      line('Task-view folder', el('input', { id: 'task-view', value: s.taskViewFolder ?? '', size: 40, placeholder: 'empty: no copy' }), spot('taskViewFolder')),
      line('Start minimised', el('input', { id: 'start-min', type: 'checkbox', checked: !!s.startMinimized }), spot('startMinimized')),
      line('ConfirmWithin (ms, 0 to 60000; 0 off)', el('input', { id: 'confirm-within', value: s.confirmWithin ?? 1000, size: 6 }), spot('confirmWithin')),
      line('LinkAlarmAfter (s, 1 to 3600)', el('input', { id: 'link-alarm-after', value: s.linkAlarmAfter ?? 10, size: 6 }), spot('linkAlarmAfter')),
      el('div', { class: 'row' }, el('button', { class: 'primary', id: 'save', type: 'submit', disabled: !admin }, 'Save'),
        admin ? null : el('span', { class: 'note' }, 'Only an admin can change the settings.'))));
  if (admin) await loadRoutes();
  document.body.dataset.loaded = 'true';
}

load();
