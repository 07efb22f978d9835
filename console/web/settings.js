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
      line('ConfirmWithin (ms, 0 off)', el('input', { id: 'confirm-within', value: s.confirmWithin ?? 1000, size: 6 }), spot('confirmWithin')),
      line('LinkAlarmAfter (s)', el('input', { id: 'link-alarm-after', value: s.linkAlarmAfter ?? 10, size: 6 }), spot('linkAlarmAfter')),
      el('div', { class: 'row' }, el('button', { class: 'primary', id: 'save', type: 'submit', disabled: !admin }, 'Save'),
        admin ? null : el('span', { class: 'note' }, 'Only an admin can change the settings.'))));
  document.body.dataset.loaded = 'true';
}

load();
