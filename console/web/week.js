// The Week page: a grid Monday to Sunday with each event at its time, its marking, events that
// share a second marked and listed in the engine's order, the engine's next event highlighted,
// and the records without a day or a time listed apart. The server makes the grid
// (GET /api/week): each column is a window of PAGE entries from the chosen time on, Earlier /
// Later move the window, and Find narrows every column; the page fetches only what it shows.
import { start, api, el, can, dayTitles, describe } from './common.js';

const PAGE = 40;
const main = document.getElementById('main');

let week = null;
let next = null;
let from = '00:00:00';
let filter = '';
let asked = 0;  // the latest request: answers to older ones are dropped

function chip(e, day) {
  const sameSecond = e.same;
  const isNext = next && next.weekday === day && next.number === e.number;
  return el('a', {
    class: `chip ${e.marking}${isNext ? ' next' : ''}`,
    href: `/event.html?number=${e.number}`,
    title: `${e.number} ${e.title}`,
    'data-number': e.number,
  },
  el('span', { class: 't' }, e.time),
  `${e.number} ${e.title}`,
  e.marking !== 'active' ? el('span', { class: 'badge' }, e.marking) : null,
  isNext ? el('span', { class: 'badge' }, 'next') : null,
  sameSecond.length ? el('span', { class: 'conflict', title: `runs in the same second as ${sameSecond.join(', ')}` }, ` ⚠ with ${sameSecond.join(', ')}`) : null,
  el('span', { class: 'what' }, describe(e)));
}

function render() {
  const grid = el('div', { class: 'week', id: 'week' });
  const today = (new Date().getDay() + 6) % 7;
  week.days.forEach((column, d) => {
    const section = el('section', { class: `day${d === today ? ' today' : ''}`, 'data-day': d },
      el('h3', {}, `${dayTitles[d]} `, el('span', { class: 'note' }, `(${column.total})`)));
    for (const e of column.entries) section.append(chip(e, d));
    const after = column.total - column.first - column.entries.length;
    if (after > 0) section.append(el('div', { class: 'more' }, `${after} more later`));
    if (column.first > 0) section.prepend(el('div', { class: 'more' }, `${column.first} earlier`));
    grid.append(section);
  });
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
    if (/^\d\d:\d\d:\d\d$/.test(fromInput.value)) { from = fromInput.value; fetchWeek(); }
  });
  filterInput.addEventListener('input', () => { filter = filterInput.value.toLowerCase(); fetchWeek(); });
  const apartTable = el('table', { id: 'apart' }, el('tr', {}, el('th', {}, 'Number'), el('th', {}, 'Title'), el('th', {}, 'Days'), el('th', {}, 'Time'), el('th', {}, 'Marking'), el('th', {}, 'Actions')));
  for (const e of week.apart.events) {
    apartTable.append(el('tr', {}, el('td', {}, el('a', { href: `/event.html?number=${e.number}` }, e.number)), el('td', {}, e.title),
      el('td', {}, e.days.join(',') || 'none'), el('td', {}, e.time || 'none'), el('td', {}, e.marking), el('td', {}, describe(e))));
  }
  main.replaceChildren(toolbar, grid,
    el('h2', {}, `Records without a day or a time (${week.apart.total}): never run`),
    week.apart.total ? apartTable : el('p', { class: 'note' }, 'None.'));
  if (filter) { filterInput.focus(); filterInput.setSelectionRange(filter.length, filter.length); }
}

function move(direction) {
  // The window moves to the time after the last entry shown (or a page back) in any column.
  let target = null;
  for (const column of week.days) {
    const t = direction > 0 ? column.later : column.earlier;
    if (t !== null && (target === null || (direction > 0 ? t > target : t < target))) target = t;
  }
  if (target === null) return;
  if (direction > 0) {
    const [h, m, s] = target.split(':').map(Number);
    const t = h * 3600 + m * 60 + s + 1;
    target = [Math.floor(t / 3600), Math.floor(t / 60) % 60, t % 60].map((n) => String(n).padStart(2, '0')).join(':');
  }
  from = target;
  fetchWeek();
}

// Asks for the grid at the current window; the answer is drawn unless a later request was made
// meanwhile. Gives whether it was drawn.
async function fetchWeek() {
  const mine = ++asked;
  const query = new URLSearchParams({ from, count: PAGE });
  if (filter) query.set('find', filter);
  return show(mine, await api('GET', `/api/week?${query}`));
}

function show(mine, answer) {
  if (mine !== asked) return false;
  if (!answer.ok) {
    main.replaceChildren(el('div', { class: 'banner bad' }, answer.data.error || 'The events cannot be read.'));
    return false;
  }
  week = answer.data;
  render();
  return true;
}

async function load() {
  // The grid, the engine's state and the page's frame are asked for at once.
  const mine = ++asked;
  const grid = api('GET', `/api/week?${new URLSearchParams({ from, count: PAGE })}`);
  const status = api('GET', '/api/status');
  await start('week');
  const state = await status;
  // The engine names its next event by number and weekday.
  const n = state.ok && state.data.next && state.data.next[0];
  if (n && n.number > 0 && n.weekday >= 0) next = { weekday: n.weekday, number: n.number };
  if (show(mine, await grid)) {
    performance.mark('week-grid');  // the first grid is drawn
    document.body.dataset.loaded = 'true';
  }
}

load();
