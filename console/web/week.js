// The Week page: one real week, Monday to Sunday (today's unless another is chosen), each event at
// its time, its marking, events that share a second marked and listed in the engine's order, the
// engine's next event highlighted, and the records without a day or a time listed apart. Each
// day's header carries its date and the holidays of the calendars events avoid; each occurrence
// still to come shows what the engine will do with it, judged by the server running the engine
// (the preview): an excluded one is struck through with the reason. The server makes the grid
// (GET /api/week): each column is a window of PAGE entries from the chosen time on, Earlier /
// Later move the window, and Find narrows every column; the page fetches only what it shows.
import { start, api, el, can, dayTitles, describe } from './common.js';

const PAGE = 40;
const main = document.getElementById('main');

let week = null;
let next = null;
let from = '00:00:00';
let chosen = new URLSearchParams(location.search).get('week') || '';  // a date of the week shown
let filter = '';
let asked = 0;  // the latest request: answers to older ones are dropped

function chip(e, day) {
  const sameSecond = e.same;
  const isNext = next && week.monday <= week.today && week.today < shift(week.monday, 7) &&
    next.weekday === day && next.number === e.number;
  const judged = e.judged || null;
  const excluded = judged && judged.excluded;
  return el('a', {
    class: `chip ${e.marking}${isNext ? ' next' : ''}${excluded ? ' excluded' : ''}${e.past ? ' past' : ''}`,
    href: `/event.html?number=${e.number}`,
    title: `${e.number} ${e.title}`,
    'data-number': e.number,
  },
  el('span', { class: 'name' }, el('span', { class: 't' }, e.time), `${e.number} ${e.title}`),
  e.marking !== 'active' ? el('span', { class: 'badge' }, e.marking) : null,
  isNext ? el('span', { class: 'badge' }, 'next') : null,
  sameSecond.length ? el('span', { class: 'conflict', title: `runs in the same second as ${sameSecond.join(', ')}` }, ` ⚠ with ${sameSecond.join(', ')}`) : null,
  excluded ? el('span', { class: 'reason' }, `not run: ${judged.reason}`) : null,
  judged && !judged.ran && !excluded ? el('span', { class: 'reason maybe' }, 'depends on the crosspoint') : null,
  el('span', { class: 'what' }, describe(e)));
}

// The date days after a "YYYY-MM-DD" date (calendar arithmetic only; the server judges).
function shift(date, days) {
  const [y, m, d] = date.split('-').map(Number);
  return new Date(Date.UTC(y, m - 1, d + days)).toISOString().slice(0, 10);
}

function render() {
  const grid = el('div', { class: 'week', id: 'week' });
  week.days.forEach((column, d) => {
    const holidays = column.holidays.map((h) => el('div', { class: 'holiday' }, `${h.title || 'Holiday'} (${h.calendar})`));
    const section = el('section', { class: `day${column.date === week.today ? ' today' : ''}`, 'data-day': d, 'data-date': column.date },
      el('h3', {}, `${dayTitles[d]} `, el('span', { class: 'date' }, column.date), ' ',
        el('span', { class: 'note' }, `(${column.total})`), holidays));
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
    el('button', { id: 'prev-week', onclick: () => choose(shift(week.monday, -7)) }, '◀ Previous week'),
    el('span', { id: 'week-of' }, `${week.monday} to ${shift(week.monday, 6)}`),
    el('button', { id: 'next-week', onclick: () => choose(shift(week.monday, 7)) }, 'Next week ▶'),
    el('button', { id: 'this-week', onclick: () => choose('') }, 'This week'),
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
  main.replaceChildren(toolbar,
    week.note ? el('div', { class: 'banner bad', id: 'week-note' }, week.note) : null,
    grid,
    el('h2', {}, `Records without a day or a time (${week.apart.total}): never run`),
    week.apart.total ? apartTable : el('p', { class: 'note' }, 'None.'));
  if (filter) { filterInput.focus(); filterInput.setSelectionRange(filter.length, filter.length); }
}

// Shows the week holding date ('' for today's), from the start of its days.
function choose(date) {
  chosen = date;
  from = '00:00:00';
  history.replaceState(null, '', chosen ? `/week.html?week=${chosen}` : '/week.html');
  fetchWeek();
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

function query() {
  const q = new URLSearchParams({ from, count: PAGE });
  if (filter) q.set('find', filter);
  if (chosen) q.set('week', chosen);
  return q;
}

// Asks for the grid at the current window; the answer is drawn unless a later request was made
// meanwhile. Gives whether it was drawn.
async function fetchWeek() {
  const mine = ++asked;
  return show(mine, await api('GET', `/api/week?${query()}`));
}

function show(mine, answer) {
  if (mine !== asked) return false;
  if (!answer.ok) {
    main.replaceChildren(el('div', { class: 'banner bad' }, answer.data.error || 'The events cannot be read.'));
    return false;
  }
  week = answer.data;
  render();
  // The account's preview was busy (an earlier request's): its judgement is kept, so ask again.
  if (week.busy) setTimeout(() => { if (mine === asked) fetchWeek(); }, 1000);
  return true;
}

async function load() {
  // The grid, the engine's state and the page's frame are asked for at once.
  const mine = ++asked;
  const grid = api('GET', `/api/week?${query()}`);
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
