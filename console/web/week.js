// The Week page: a grid Monday to Sunday with each event at its time, its marking, events that
// share a second marked and listed in the engine's order, the engine's next event highlighted,
// and the records without a day or a time listed apart. A large week is paged: each column shows a window of PAGE entries from the
// chosen time on, and Earlier / Later move the window.
import { start, api, el, can, dayTitles, describe } from './common.js';

const PAGE = 40;
const main = document.getElementById('main');

let columns = [[], [], [], [], [], [], []];
let apart = [];
let next = null;
let from = '00:00:00';
let filter = '';

function lowerBound(list, time) {
  let lo = 0, hi = list.length;
  while (lo < hi) {
    const mid = (lo + hi) >> 1;
    if (list[mid].time < time) lo = mid + 1; else hi = mid;
  }
  return lo;
}

function chip(entry, sameSecond) {
  const e = entry.event;
  const isNext = next && next.weekday === entry.day && next.number === e.number;
  return el('a', {
    class: `chip ${e.marking}${isNext ? ' next' : ''}`,
    href: `/event.html?number=${e.number}`,
    title: `${e.number} ${e.title}`,
    'data-number': e.number,
  },
  el('span', { class: 't' }, entry.time),
  `${e.number} ${e.title}`,
  e.marking !== 'active' ? el('span', { class: 'badge' }, e.marking) : null,
  isNext ? el('span', { class: 'badge' }, 'next') : null,
  sameSecond.length ? el('span', { class: 'conflict', title: `runs in the same second as ${sameSecond.join(', ')}` }, ` ⚠ with ${sameSecond.join(', ')}`) : null,
  el('span', { class: 'what' }, describe(e)));
}

function render() {
  const grid = el('div', { class: 'week', id: 'week' });
  const today = (new Date().getDay() + 6) % 7;
  let shownMax = 0;
  for (let d = 0; d < 7; d++) {
    let list = columns[d];
    if (filter) list = list.filter((x) => x.match.includes(filter));
    const first = lowerBound(list, from);
    const page = list.slice(first, first + PAGE);
    shownMax = Math.max(shownMax, page.length);
    const column = el('section', { class: `day${d === today ? ' today' : ''}`, 'data-day': d },
      el('h3', {}, `${dayTitles[d]} `, el('span', { class: 'note' }, `(${list.length})`)));
    page.forEach((entry, i) => {
      // Entries of one second sit side by side in the sorted column.
      const same = [];
      for (let j = first + i - 1; j >= 0 && list[j].time === entry.time; j--) same.push(list[j].event.number);
      for (let j = first + i + 1; j < list.length && list[j].time === entry.time; j++) same.push(list[j].event.number);
      column.append(chip(entry, same.slice(0, 5)));
    });
    if (first + PAGE < list.length) column.append(el('div', { class: 'more' }, `${list.length - first - PAGE} more later`));
    if (first > 0) column.prepend(el('div', { class: 'more' }, `${first} earlier`));
    grid.append(column);
  }
  const fromInput = el('input', { id: 'from', value: from, size: 8, pattern: '\\d\\d:\\d\\d:\\d\\d', title: 'hh:mm:ss' });
  const filterInput = el('input', { id: 'filter', value: filter, placeholder: 'number or title', size: 16 });
  const toolbar = el('div', { class: 'row' },
    el('h1', { class: 'toolbar-title' }, 'Week'),
    can('operator') ? el('a', { class: 'button primary', href: '/event.html', id: 'new-event' }, 'New event') : null,
    el('label', { for: 'from' }, 'From'), fromInput,
    el('button', { id: 'earlier', onclick: () => move(-1) }, 'Earlier'),
    el('button', { id: 'later', onclick: () => move(1) }, 'Later'),
    el('label', { for: 'filter' }, 'Find'), filterInput,
    el('span', { class: 'note' }, `${PAGE} entries a day per page`));
  fromInput.addEventListener('change', () => {
    if (/^\d\d:\d\d:\d\d$/.test(fromInput.value)) { from = fromInput.value; render(); }
  });
  filterInput.addEventListener('input', () => { filter = filterInput.value.toLowerCase(); render(); });
  const apartTable = el('table', { id: 'apart' }, el('tr', {}, el('th', {}, 'Number'), el('th', {}, 'Title'), el('th', {}, 'Days'), el('th', {}, 'Time'), el('th', {}, 'Marking'), el('th', {}, 'Actions')));
  for (const e of apart.slice(0, 200)) {
    apartTable.append(el('tr', {}, el('td', {}, el('a', { href: `/event.html?number=${e.number}` }, e.number)), el('td', {}, e.title),
      el('td', {}, e.days.join(',') || 'none'), el('td', {}, e.time || 'none'), el('td', {}, e.marking), el('td', {}, describe(e))));
  }
  main.replaceChildren(toolbar, grid,
    el('h2', {}, `Records without a day or a time (${apart.length}): never run`),
    apart.length ? apartTable : el('p', { class: 'note' }, 'None.'));
  if (filter) { filterInput.focus(); filterInput.setSelectionRange(filter.length, filter.length); }
}

function move(direction) {
  // The window moves to the time after the last entry shown (or before the first) in any column.
  let target = from;
  if (direction > 0) {
    let latest = null;
    for (const list of columns) {
      const first = lowerBound(list, from);
      const last = list[Math.min(list.length, first + PAGE) - 1];
      if (last && first + PAGE < list.length && (latest === null || last.time > latest)) latest = last.time;
    }
    if (latest === null) return;
    const [h, m, s] = latest.split(':').map(Number);
    const t = h * 3600 + m * 60 + s + 1;
    target = [Math.floor(t / 3600), Math.floor(t / 60) % 60, t % 60].map((n) => String(n).padStart(2, '0')).join(':');
  } else {
    let earliest = null;
    for (const list of columns) {
      const first = lowerBound(list, from);
      const back = list[Math.max(0, first - PAGE)];
      if (back && first > 0 && (earliest === null || back.time < earliest)) earliest = back.time;
    }
    if (earliest === null) return;
    target = earliest;
  }
  from = target;
  render();
}

async function load() {
  await start('week');
  const [events, status] = await Promise.all([api('GET', '/api/events'), api('GET', '/api/status')]);
  if (!events.ok) {
    main.replaceChildren(el('div', { class: 'banner bad' }, events.data.error || 'The events cannot be read.'));
    return;
  }
  // The engine names its next event by number and weekday.
  const n = status.ok && status.data.next && status.data.next[0];
  if (n && n.number > 0 && n.weekday >= 0) next = { weekday: n.weekday, number: n.number };
  columns = [[], [], [], [], [], [], []];
  apart = [];
  for (const e of events.data) {
    if (!e.days.length || !e.time) { apart.push(e); continue; }
    const match = `${e.number} ${e.title}`.toLowerCase();
    for (const day of e.days) {
      const d = ['mon', 'tue', 'wed', 'thu', 'fri', 'sat', 'sun'].indexOf(day);
      const order = e.order && e.order[day] !== undefined ? e.order[day] : Infinity;
      columns[d].push({ day: d, time: e.time, event: e, match, order });
    }
  }
  // Events of one second in the order the engine runs them (the server's "order").
  for (const list of columns) list.sort((a, b) => (a.time < b.time ? -1 : a.time > b.time ? 1 : a.order - b.order || a.event.number - b.event.number));
  render();
  document.body.dataset.loaded = 'true';
}

load();
