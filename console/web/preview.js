// The Preview page: what the engine will run over the next days, from the engine's own rules.
import { start, api, el } from './common.js';

const main = document.getElementById('main');

function now() {
  const d = new Date();
  const p = (n) => String(n).padStart(2, '0');
  return `${d.getFullYear()}-${p(d.getMonth() + 1)}-${p(d.getDate())} ${p(d.getHours())}:${p(d.getMinutes())}:${p(d.getSeconds())}`;
}

async function show() {
  const out = document.getElementById('runs');
  out.replaceChildren(el('p', { class: 'note' }, 'Running the preview…'));
  const from = document.getElementById('from').value;
  const days = document.getElementById('days').value;
  const res = await api('GET', `/api/preview?from=${encodeURIComponent(from)}&days=${encodeURIComponent(days)}`);
  if (!res.ok) {
    out.replaceChildren(el('div', { class: 'banner bad', id: 'preview-error' }, res.data.error || `Preview failed (${res.status})`));
    return;
  }
  const table = el('table', { id: 'preview' }, el('tr', {}, el('th', {}, 'When'), el('th', {}, 'Number'), el('th', {}, 'Title'), el('th', {}, 'What'), el('th', {}, 'Outcome')));
  for (const r of res.data.runs) {
    table.append(el('tr', { class: r.ran ? '' : 'red' },
      el('td', {}, r.line.slice(0, 23)), el('td', {}, r.number), el('td', {}, r.title), el('td', {}, r.what),
      el('td', {}, r.ran ? (r.conditional ? 'depends on the crosspoint' : r.oneTime ? 'runs, then deleted' : 'runs') : `not run: ${r.reason}`)));
  }
  out.replaceChildren(res.data.runs.length ? table : el('p', { class: 'note' }, 'Nothing runs in this time.'),
    ...(res.data.errors || []).map((e) => el('div', { class: 'banner bad' }, e)));
}

async function load() {
  await start('preview');
  main.replaceChildren(el('h1', {}, 'Preview'),
    el('div', { class: 'row' }, el('label', { for: 'from' }, 'From'), el('input', { id: 'from', value: now(), size: 19 }),
      el('label', { for: 'days' }, 'Days'), el('input', { id: 'days', type: 'number', min: 1, max: 31, value: 7 }),
      el('button', { class: 'primary', id: 'show', onclick: show }, 'Show')),
    el('div', { class: 'panel', id: 'runs' }));
  await show();
  document.body.dataset.loaded = 'true';
}

load();
