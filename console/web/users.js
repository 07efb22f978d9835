// The Users page (admin): the accounts with their roles; add one, change a role or a password,
// remove one.
import { start, api, el, banner } from './common.js';

const main = document.getElementById('main');
const $ = (id) => document.getElementById(id);
const roles = ['viewer', 'operator', 'admin'];
const roleSelect = (id, value) => el('select', { id }, roles.map((r) => el('option', { value: r, selected: r === value }, r)));

async function refresh() {
  const res = await api('GET', '/api/users');
  if (!res.ok) { banner($('banner'), res.data.error || `Cannot list users (${res.status})`); return; }
  const table = el('table', { id: 'users' }, el('tr', {}, el('th', {}, 'Name'), el('th', {}, 'Role'), el('th', {}, 'New password'), el('th', {}, '')));
  for (const u of res.data) {
    const role = roleSelect(`role-${u.name}`, u.role);
    const password = el('input', { type: 'password', placeholder: 'unchanged', autocomplete: 'new-password' });
    table.append(el('tr', {}, el('td', {}, u.name), el('td', {}, role), el('td', {}, password),
      el('td', {},
        el('button', { onclick: async () => {
          const body = { role: role.value };
          if (password.value) body.password = password.value;
          const r = await api('PUT', `/api/users/${encodeURIComponent(u.name)}`, body);
          banner($('banner'), r.ok ? `Changed ${u.name}.` : r.data.error, r.ok);
          refresh();
        } }, 'Change'),
        ' ',
        el('button', { class: 'danger', onclick: async () => {
          if (!confirm(`Remove ${u.name}?`)) return;
          const r = await api('DELETE', `/api/users/${encodeURIComponent(u.name)}`);
          banner($('banner'), r.ok ? `Removed ${u.name}.` : r.data.error, r.ok);
          refresh();
        } }, 'Remove'))));
  }
  $('list').replaceChildren(table);
}

async function load() {
  await start('users');
  main.replaceChildren(el('h1', {}, 'Users'),
    el('div', { id: 'banner', class: 'banner bad' }),
    el('div', { class: 'panel', id: 'list' }),
    el('form', { class: 'panel', id: 'add-user', onsubmit: async (e) => {
      e.preventDefault();
      const r = await api('POST', '/api/users', { name: $('new-name').value, role: $('new-role').value, password: $('new-password').value });
      banner($('banner'), r.ok ? `Added ${r.data.name}.` : r.data.error, r.ok);
      if (r.ok) e.target.reset();
      refresh();
    } },
    el('h2', { class: 'section-head' }, 'Add a user'),
    el('div', { class: 'row' }, el('input', { id: 'new-name', placeholder: 'name', required: true }), roleSelect('new-role', 'operator'),
      el('input', { id: 'new-password', type: 'password', placeholder: 'password (8 or more)', autocomplete: 'new-password', required: true }),
      el('button', { class: 'primary', type: 'submit' }, 'Add'))));
  await refresh();
  document.body.dataset.loaded = 'true';
}

load();
