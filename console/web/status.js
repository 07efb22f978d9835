// The Status page, live: the engine's caption and link lamps, its role in its group of engines
// (main and backup) with the runs another member left unfinished, its status-bar panels, the next
// event, its history list with each refusal's reason and each run's confirmation, and the recent
// activity and error lines.
// The state comes as server-sent events: the whole state first, then each change.
import { start, api, el, can } from './common.js';

const main = document.getElementById('main');
let state = null;

function lamp(id, on, text) {
  return el('span', { id, class: 'row lamp-item' }, el('span', { class: `lamp${on ? ' on' : ''}` }), text);
}

// The run's confirmation, from the row's values: confirmed in N ms, not confirmed with what the
// switcher shows, superseded, or sent (nothing the switcher reports on).
function confirmCell(h) {
  switch (h.confirmation) {
    case 'confirmed': return el('td', { class: 'confirm-ok' }, `confirmed in ${h.confirmMs} ms`);
    case 'notConfirmed': return el('td', { class: 'confirm-bad' }, `not confirmed: ${h.confirmReason}`);
    case 'superseded': return el('td', { class: 'confirm-other' }, h.confirmReason);
    case 'sent': return el('td', { class: 'confirm-other' }, 'sent');
    default: return el('td', {}, '');
  }
}

// The role line as the engine prints it; none for an engine alone.
function roleText(r) {
  switch (r.role) {
    case 'leader': return 'Role: leader';
    case 'standby': return `Role: standby (leader: ${r.leader})`;
    case 'none': return `Role: no leader (${r.reason})`;
    default: return null;
  }
}

function render() {
  const s = state;
  const running = s.engine && s.engine.running;
  const link = s.link || {};
  const slave = s.slave || {};
  const history = el('table', { id: 'history', class: 'history' },
    el('tr', {}, el('th', {}, 'Day'), el('th', {}, 'Time of Day'), el('th', {}, 'Title'), el('th', {}, 'Outcome'), el('th', {}, 'Late'), el('th', {}, 'Confirmed')));
  for (const h of [...(s.history || [])].reverse().slice(0, 200)) {
    const refused = h.ran === false;
    history.append(el('tr', { class: h.color === 255 ? 'red' : '' },
      el('td', {}, h.day), el('td', {}, h.time), el('td', {}, h.title),
      el('td', {}, h.ran === undefined ? '' : refused ? `not run: ${h.reason}` : 'ran'),
      el('td', {}, h.latenessMs === undefined ? '' : `${h.latenessMs} ms`),
      confirmCell(h)));
  }
  const next = (s.next || [])[0];
  document.getElementById('state').replaceChildren(...[
    el('h1', { id: 'caption' }, running ? s.caption
      : s.engine && s.engine.untrustedPeer ? 'Engine not running (the state channel is held by a process of another user)'
        : 'Engine not running (no state channel)'),
    el('div', { class: 'panel' },
      lamp('lamp-engine', running, running ? 'Engine running' : 'Engine not running'),
      lamp('lamp-server', link.server, link.server ? 'Server connected' : 'Server not connected'),
      lamp('lamp-switcher', link.switcher, link.switcher ? 'Switcher connected' : 'Switcher not connected'),
      running && s.role && roleText(s.role) ? lamp('lamp-role', s.role.role !== 'none', roleText(s.role)) : null,
      slave.enabled ? lamp('lamp-slave', slave.server && slave.switcher, `Slave ${slave.server ? (slave.switcher ? 'connected' : 'switcher not connected') : 'server not connected'}`) : null,
      el('div', { class: 'row note', id: 'panels' }, (s.panels || []).filter(Boolean).join('   ·   '))),
    el('div', { class: 'panel' }, el('h2', { class: 'section-head' }, 'Next Event to Run'),
      el('div', { id: 'next' }, next ? `${next.day}  ${next.time}  ${next.title}` : 'none')),
    ...(s.unfinished || []).map((u) => el('div', { class: 'banner bad unfinished' },
      `Event ${u.number} "${u.title}" due ${u.date} ${u.time} was claimed by ${u.node}, which did not finish it; not run again. Actions that may not have been sent: ${u.actions}`)),
    s.messageBox ? el('div', { class: 'banner bad' }, `${s.messageBox.title}: ${s.messageBox.text}`) : null,
    el('div', { class: 'panel' }, el('h2', { class: 'section-head' }, 'Event History (newest first)'), history),
  ].filter(Boolean));
}

function apply(m) {
  switch (m.type) {
    case 'caption': state.caption = m.caption; state.link = m.link; break;
    case 'panel': state.panels[m.panel - 1] = m.text; break;
    case 'nextCleared': state.next = []; break;
    case 'next': state.next.push({ day: m.day, time: m.time, title: m.title, number: m.number, weekday: m.weekday }); break;
    case 'history': state.history.push({ day: m.day, time: m.time, title: m.title, color: m.color }); break;
    case 'historyCleared': state.history = []; break;
    case 'outcome': {
      const last = state.history[state.history.length - 1];
      if (last) { last.ran = m.ran; last.reason = m.reason; last.number = m.number; if (m.latenessMs !== undefined) last.latenessMs = m.latenessMs; }
      break;
    }
    case 'confirmation': {
      // The console sends the row's fields with the message ("row"): the combined outcome of
      // every link, as /api/status has it.
      if (!m.row) break;
      const row = [...state.history].reverse().find((h) => h.number === m.number && h.day === m.day && h.time === m.time);
      if (row) {
        delete row.confirmMs;
        delete row.confirmReason;
        Object.assign(row, m.row);
      }
      break;
    }
    case 'slave': state.slave = { enabled: m.enabled, server: m.server, switcher: m.switcher }; break;
    case 'messageBox': state.messageBox = { text: m.text, title: m.title }; break;
    case 'role': state.role = { ...m }; delete state.role.type; break;
    case 'unfinishedRun': {
      const run = { ...m };
      delete run.type;
      state.unfinished = [...(state.unfinished || []), run];
      break;
    }
    default: break;
  }
}

// Alarms: the active ones (with an acknowledge button for an operator) and the last cleared.
function alarmRow(a) {
  const acked = a.acked_by ? `acknowledged by ${a.acked_by} at ${a.acked_at}` : '';
  const button = !a.acked_by && can('operator')
    ? el('button', { class: 'ack', 'data-id': a.id, onclick: () => ack(a.id) }, 'Acknowledge') : null;
  return el('tr', { class: `alarm sev-${a.severity}`, 'data-id': a.id },
    el('td', {}, a.at), el('td', {}, a.severity), el('td', {}, a.kind), el('td', {}, a.text),
    el('td', {}, a.state === 'cleared' ? `cleared after ${Math.round(a.lasted_s)} s` : 'raised'),
    el('td', {}, acked || button || ''));
}

function alarmTable(id, list) {
  const t = el('table', { id, class: 'history alarms' },
    el('tr', {}, el('th', {}, 'At'), el('th', {}, 'Severity'), el('th', {}, 'Kind'), el('th', {}, 'Text'), el('th', {}, 'State'), el('th', {}, 'Acknowledged')));
  for (const a of list) t.append(alarmRow(a));
  return t;
}

async function alarms() {
  const res = await api('GET', '/api/alarms');
  if (!res.ok) return;
  const active = [...res.data.active].reverse();
  document.getElementById('alarms').replaceChildren(
    el('h2', { class: 'section-head' }, `Active alarms (${active.length})`),
    active.length ? alarmTable('alarms-active', active) : el('p', { class: 'note' }, 'none'),
    el('h2', { class: 'section-head' }, 'Cleared alarms (the last 100, newest first)'),
    alarmTable('alarms-cleared', res.data.cleared));
}

async function ack(id) {
  await api('POST', `/api/alarms/${encodeURIComponent(id)}/ack`);
  alarms();
}

async function logs() {
  const [activity, errors] = await Promise.all([api('GET', '/api/activity?lines=40'), api('GET', '/api/errors?lines=20')]);
  if (activity.ok) document.getElementById('activity').textContent = activity.data.lines.join('\n') || '(empty)';
  if (errors.ok) document.getElementById('errors').textContent = errors.data.lines.join('\n') || '(empty)';
}

async function load() {
  await start('status');
  main.replaceChildren(el('div', { id: 'state' }, el('p', { class: 'note' }, 'Connecting…')),
    el('div', { class: 'panel', id: 'alarms' }),
    el('div', { class: 'grid2' },
      el('div', { class: 'panel' }, el('h2', { class: 'section-head' }, 'Activity (Tally.Dat)'), el('div', { class: 'log', id: 'activity' })),
      el('div', { class: 'panel' }, el('h2', { class: 'section-head' }, 'Errors (Errorlog.txt)'), el('div', { class: 'log', id: 'errors' }))));
  const stream = new EventSource('/api/status/stream');
  stream.addEventListener('status', (e) => { state = JSON.parse(e.data); render(); document.body.dataset.loaded = 'true'; });
  stream.addEventListener('change', (e) => {
    if (!state) return;
    const m = JSON.parse(e.data);
    apply(m);
    // The clock panels change every second; the rest is redrawn only when it changed.
    if (m.type === 'panel') document.getElementById('panels').textContent = state.panels.filter(Boolean).join('   ·   ');
    else if (m.type === 'alarm') alarms();
    else render();
  });
  logs();
  alarms();
  setInterval(logs, 5000);
  setInterval(alarms, 5000);
}

load();
