// The Calendars page: the named sets of dates events avoid (except) or follow (only). The list
// with each calendar's dates and the events that use it; one calendar's dates to edit (each date
// with its title, the rules' messages beside the row), an iCalendar file to import in their
// place, a new calendar, and deleting one no event uses. Operators and admins change them.
import { start, api, el, can, showErrors, banner } from './common.js';

const main = document.getElementById('main');
const $ = (id) => document.getElementById(id);
let chosen = new URLSearchParams(location.search).get('name');
const path = (name) => `/api/calendars/${encodeURIComponent(name)}`;

function choose(name) {
  chosen = name;
  history.replaceState(null, '', name ? `/calendars.html?name=${encodeURIComponent(name)}` : '/calendars.html');
}

async function refresh() {
  const res = await api('GET', '/api/calendars');
  if (!res.ok) { banner($('banner'), res.data.error || `Cannot list calendars (${res.status})`); return; }
  const table = el('table', { id: 'calendars' }, el('tr', {}, el('th', {}, 'Name'), el('th', {}, 'Dates'), el('th', {}, 'Used by'), el('th', {}, '')));
  for (const c of res.data) {
    table.append(el('tr', { 'data-name': c.name },
      el('td', {}, el('a', { href: `/calendars.html?name=${encodeURIComponent(c.name)}`, onclick: (e) => { e.preventDefault(); choose(c.name); edit(c); } }, c.name)),
      el('td', {}, c.count),
      el('td', {}, c.usedBy.length ? c.usedBy.map((n, i) => [i ? ', ' : '', el('a', { href: `/event.html?number=${n}` }, n)]) : el('span', { class: 'note' }, 'no event')),
      el('td', {}, can('operator') ? el('button', { class: 'danger', onclick: () => remove(c.name) }, 'Delete') : null)));
  }
  $('list').replaceChildren(res.data.length ? table : el('p', { class: 'note' }, 'No calendars yet.'));
  const shown = res.data.find((c) => c.name === chosen);
  if (shown) edit(shown);
  else $('editor').replaceChildren();
}

function dateRow(d, i) {
  return el('tr', {},
    el('td', {}, el('input', { class: 'date', value: d.date, placeholder: 'YYYY-MM-DD', disabled: !can('operator') })),
    el('td', {}, el('input', { class: 'title', value: d.title, size: 36, maxlength: 255, disabled: !can('operator') })),
    el('td', { class: 'err' }, el('span', { class: 'err', 'data-for': `dates.${i}.date` }), el('span', { class: 'err', 'data-for': `dates.${i}.title` })),
    el('td', {}, can('operator') ? el('button', { type: 'button', onclick: (e) => { e.target.closest('tr').remove(); } }, 'Remove') : null));
}

// One calendar's dates to edit, and the import of an iCalendar file in their place.
function edit(c) {
  const rows = el('tbody', { id: 'dates' }, c.dates.map(dateRow));
  const form = el('form', { class: 'panel', id: 'calendar-form', novalidate: true, onsubmit: save },
    el('h2', { class: 'section-head', id: 'editing' }, `Calendar ${c.name}`),
    el('div', { id: 'form-banner', class: 'banner bad', role: 'alert' }),
    el('span', { class: 'err', 'data-for': 'name' }),
    el('table', { class: 'dates' }, el('thead', {}, el('tr', {}, el('th', {}, 'Date'), el('th', {}, 'Title'), el('th', {}, ''), el('th', {}, ''))), rows),
    can('operator') ? el('div', { class: 'row' },
      el('button', { type: 'button', id: 'add-date', onclick: () => rows.append(dateRow({ date: '', title: '' }, rows.children.length)) }, 'Add a date'),
      el('button', { class: 'primary', type: 'submit', id: 'save' }, 'Save the dates')) : null,
    can('operator') ? el('div', { class: 'row' },
      el('label', { for: 'ics' }, 'Replace the dates with an iCalendar file (.ics, the next five years)'),
      el('input', { type: 'file', id: 'ics', accept: '.ics,text/calendar' }),
      el('button', { type: 'button', id: 'import', onclick: importFile }, 'Import')) : null);
  $('editor').replaceChildren(form);
}

function collect() {
  return [...$('dates').children].map((tr) => ({ date: tr.querySelector('.date').value.trim(), title: tr.querySelector('.title').value }));
}

async function save(event) {
  event.preventDefault();
  const dates = collect();
  // The rows are numbered as sent, so each message lands beside its row.
  [...$('dates').children].forEach((tr, i) => {
    tr.querySelector('.err[data-for$=".date"]').dataset.for = `dates.${i}.date`;
    tr.querySelector('.err[data-for$=".title"]').dataset.for = `dates.${i}.title`;
  });
  const r = await api('PUT', path(chosen), { dates });
  if (!r.ok) { showErrors($('calendar-form'), $('form-banner'), r.data); return; }
  await refresh();
  banner($('form-banner'), `Saved ${r.data.count} date${r.data.count === 1 ? '' : 's'} of ${chosen}.`, true);
}

async function importFile() {
  const file = $('ics').files[0];
  if (!file) { banner($('form-banner'), 'Choose an .ics file first.'); return; }
  const r = await api('POST', `${path(chosen)}/import`, await file.text(), 'text/calendar');
  if (!r.ok) { banner($('form-banner'), r.data.error || `Not imported (${r.status})`); return; }
  await refresh();
  banner($('form-banner'), `Imported ${r.data.imported} date${r.data.imported === 1 ? '' : 's'} into ${chosen}.`, true);
}

async function remove(name) {
  if (!confirm(`Delete calendar ${name}?`)) return;
  const r = await api('DELETE', path(name));
  banner($('banner'), r.ok ? `Deleted ${name}.` : r.data.error, r.ok);
  if (r.ok && chosen === name) choose(null);
  refresh();
}

async function create(event) {
  event.preventDefault();
  const name = $('new-name').value.trim();
  const r = await api('PUT', path(name), { dates: [] });
  if (!r.ok) { showErrors($('new-calendar'), $('banner'), r.data); return; }
  banner($('banner'), `Made calendar ${name}.`, true);
  event.target.reset();
  choose(name);
  refresh();
}

async function load() {
  await start('calendars');
  main.replaceChildren(el('h1', {}, 'Calendars'),
    el('p', { class: 'note' }, 'Named sets of dates: an event avoids the dates of the calendars in its "Not on" and runs only on those in its "Only on".'),
    el('div', { id: 'banner', class: 'banner bad' }),
    el('div', { class: 'panel', id: 'list' }),
    el('div', { id: 'editor' }),
    can('operator') ? el('form', { class: 'panel', id: 'new-calendar', onsubmit: create },
      el('h2', { class: 'section-head' }, 'New calendar'),
      el('div', { class: 'row' }, el('input', { id: 'new-name', placeholder: 'name, such as uk', required: true, maxlength: 64 }),
        el('button', { class: 'primary', type: 'submit', id: 'create' }, 'Make'), el('span', { class: 'err', 'data-for': 'name' }))) : null);
  await refresh();
  document.body.dataset.loaded = 'true';
}

load();
