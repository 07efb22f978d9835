// What every page of the console shares: the session and its CSRF token, JSON calls to the API,
// the page header, and a small helper that builds elements (texts always go in as text, never
// as markup).

let current = null;

export function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attrs)) {
    if (value === undefined || value === null || value === false) continue;
    if (key === 'class') node.className = value;
    else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
    else if (key === 'value') node.value = value;
    else if (key === 'checked') node.checked = !!value;
    else node.setAttribute(key, value === true ? '' : value);
  }
  for (const child of children.flat()) {
    if (child === null || child === undefined || child === false) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

function toLogin() {
  location.href = '/login.html?next=' + encodeURIComponent(location.pathname + location.search);
}

// Calls the API; answers {ok, status, data}. A lost session goes back to the login page. The
// body goes as JSON, or, with a media type, as the text it is (an iCalendar file).
export async function api(method, path, body, type) {
  const headers = {};
  if (body !== undefined) headers['Content-Type'] = type || 'application/json';
  if (method !== 'GET') headers['X-CSRF-Token'] = current ? current.csrf : '';
  const sent = body === undefined || type ? body : JSON.stringify(body);
  const res = await fetch(path, { method, headers, body: sent });
  if (res.status === 401 && path !== '/api/login') {
    toLogin();
    return new Promise(() => {});
  }
  const data = await res.json().catch(() => ({}));
  return { ok: res.ok, status: res.status, data };
}

export function can(role) {
  const order = ['viewer', 'operator', 'admin'];
  return current && order.indexOf(current.role) >= order.indexOf(role);
}

// Loads the session and draws the header; returns the session ({user, role, csrf}).
export async function start(page) {
  const res = await fetch('/api/session');
  if (!res.ok) {
    toLogin();
    return new Promise(() => {});
  }
  current = await res.json();
  const pages = [['week', 'Week'], ['event', 'Event'], ['preview', 'Preview'], ['calendars', 'Calendars'],
    ['status', 'Status'], ['settings', 'Settings'], ['users', 'Users']];
  const top = document.getElementById('top');
  top.replaceChildren(
    el('span', { class: 'brand' }, 'QTX Automation'),
    el('nav', {}, pages.filter(([p]) => p !== 'users' || can('admin'))
      .map(([p, name]) => el('a', { href: `/${p}.html`, class: p === page ? 'here' : null }, name))),
    el('span', { class: 'who', id: 'who' }, `${current.user} (${current.role})`),
    el('button', { id: 'logout', onclick: async () => {
      await api('POST', '/api/logout');
      location.href = '/login.html';
    } }, 'Log out'));
  return current;
}

// Shows rule messages beside their fields: every element with data-for="FIELD" gets the
// messages of that field; the rest go to the banner.
export function showErrors(form, banner, data) {
  for (const spot of form.querySelectorAll('.err[data-for]')) spot.textContent = '';
  banner.textContent = '';
  banner.className = 'banner bad';
  const errors = data.errors || [];
  const unplaced = [];
  for (const e of errors) {
    const field = String(e.field || '');
    let spot = form.querySelector(`.err[data-for="${CSS.escape(field)}"]`);
    // "sum-on.source" and "take.source" share the crosspoint's spots.
    if (!spot) spot = form.querySelector(`.err[data-for="${CSS.escape(field.replace(/^(sum-on|sum-off)\./, 'take.'))}"]`);
    if (!spot && field.includes('.')) spot = form.querySelector(`.err[data-for="${CSS.escape(field.split('.')[0])}"]`);
    if (spot) spot.textContent = (spot.textContent ? spot.textContent + ' ' : '') + e.message;
    else unplaced.push(e.message);
  }
  if (!errors.length && data.error) unplaced.push(data.error);
  banner.textContent = unplaced.join(' ');
}

export function banner(node, text, ok = false) {
  node.className = ok ? 'banner ok' : 'banner bad';
  node.textContent = text;
}

export const dayNames = ['mon', 'tue', 'wed', 'thu', 'fri', 'sat', 'sun'];
export const dayTitles = ['Monday', 'Tuesday', 'Wednesday', 'Thursday', 'Friday', 'Saturday', 'Sunday'];

// The event's actions (and condition) in the server's words: the ones the event tool and the
// preview print.
export function describe(event) {
  return [event.what, event.conditionText].filter(Boolean).join(', ') || 'no action';
}
