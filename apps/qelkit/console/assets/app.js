// The console's page: accounts, logins, pulls and charts, kept current by the
// server's event stream. Data goes into the page as text only; the one piece
// of markup taken from the server is its own SVG (QR code, chart).
'use strict';

const pageToken = document.querySelector('meta[name="qelkit-page"]').content;
const $ = (id) => document.getElementById(id);
const accounts = new Map();  // id -> row as the server sent it
let loginId = null;          // the login shown in the dialog, while it waits
let pullRunning = false;

// ---------------------------------------------------------------------------
// Talking to the console

async function api(method, path, body) {
  const init = { method, headers: {}, credentials: 'same-origin' };
  if (method === 'POST') {
    init.headers['X-Qelkit-Page'] = pageToken;
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body || {});
  }
  let res;
  try {
    res = await fetch(path, init);
  } catch (e) {
    throw new Error('The console cannot be reached. Is qelkit console still running?');
  }
  let data = null;
  try { data = await res.json(); } catch (e) { /* not JSON */ }
  if (!res.ok) throw new Error((data && data.error) || `The console answered with status ${res.status}.`);
  return data;
}

function notice(message, kind) {
  const n = $('notice');
  n.textContent = message || '';
  n.className = kind || '';
  n.hidden = !message;
}

async function act(work) {
  try {
    notice('');
    return await work();
  } catch (e) {
    notice(e.message);
    return undefined;
  }
}

// ---------------------------------------------------------------------------
// Formatting

const number = new Intl.NumberFormat();
const localTime = new Intl.DateTimeFormat(undefined, {
  year: 'numeric', month: 'short', day: 'numeric', hour: '2-digit', minute: '2-digit', timeZoneName: 'short',
});

function when(iso) {
  if (!iso) return '';
  const t = new Date(iso);
  return Number.isNaN(t.getTime()) ? iso : localTime.format(t);
}

function utcDay(offsetDays) {
  return new Date(Date.now() + offsetDays * 86400000).toISOString().slice(0, 10);
}

function addDays(day, n) {
  return new Date(Date.parse(day + 'T00:00:00Z') + n * 86400000).toISOString().slice(0, 10);
}

function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === 'class') node.className = v;
    else if (k.startsWith('on')) node.addEventListener(k.slice(2), v);
    else if (v !== undefined && v !== null && v !== false) node.setAttribute(k, v === true ? '' : v);
  }
  for (const c of children) if (c !== null && c !== undefined) node.append(c);
  return node;
}

// ---------------------------------------------------------------------------
// Accounts

const stateWords = {
  live: 'live',
  expired: 'expired: log in again',
  error: 'could not check',
  unknown: 'not checked yet',
};

function accountLabel(row) {
  return row.name ? `${row.name} (${row.id})` : row.id;
}

function renderRow(row) {
  const state = el('span', { class: 'state' + (row.checking ? ' checking' : ''), 'data-state': row.state },
    row.checking ? 'checking…' : (stateWords[row.state] || row.state));
  const stateCell = el('td', { 'data-label': 'Login' }, state);
  if (row.state === 'error' && row.error) stateCell.append(el('span', { class: 'detail' }, row.error));
  if (row.checked && !row.checking) stateCell.append(el('span', { class: 'detail' }, 'checked ' + when(row.checked)));

  const pullCell = el('td', { 'data-label': 'Last pull' });
  const p = row.last_pull;
  if (row.last_pull_error) {
    pullCell.append(el('span', { class: 'failed' }, 'unknown: ' + row.last_pull_error));
  } else if (!p) {
    pullCell.append('never');
  } else {
    const ok = p.outcome === 'ok';
    pullCell.append(el('span', { class: ok ? '' : 'failed' }, `${p.day} (platform day): ${ok ? 'ok' : p.outcome}`));
    if (!ok && p.error) pullCell.append(el('span', { class: 'detail' }, p.error));
    if (p.finished) pullCell.append(el('span', { class: 'detail' }, 'finished ' + when(p.finished)));
  }

  const actions = el('td', { class: 'actions', 'data-label': 'Actions' },
    el('button', { type: 'button', 'data-action': 'check', onclick: () => checkOne(row.id), 'aria-label': `Check ${accountLabel(row)}` }, 'Check'),
    el('button', { type: 'button', 'data-action': 'heartbeat', onclick: () => heartbeat(row.id), 'aria-label': `Heartbeat for ${accountLabel(row)}` }, 'Heartbeat'),
    el('button', { type: 'button', 'data-action': 'login', onclick: () => openLogin(row.id), 'aria-label': `Log ${accountLabel(row)} in again` }, 'Log in again'),
    el('a', { href: '#/stats/' + encodeURIComponent(row.id), 'data-action': 'stats' }, 'Statistics'),
    el('button', { type: 'button', 'data-action': 'forget', onclick: () => askForget(row), 'aria-label': `Forget ${accountLabel(row)}` }, 'Forget'));

  return el('tr', { 'data-account': row.id },
    el('td', { 'data-label': 'Account' }, el('code', {}, row.id)),
    el('td', { 'data-label': 'Name', class: 'name' }, row.name || '—'),
    stateCell, pullCell, actions);
}

function renderAccounts() {
  const body = document.querySelector('#accounts tbody');
  body.replaceChildren(...[...accounts.values()].map(renderRow));
  $('accounts').hidden = accounts.size === 0;
  $('no-accounts').hidden = accounts.size !== 0;
  renderAccountChoice();
}

function setAccounts(rows) {
  accounts.clear();
  for (const r of rows) accounts.set(r.id, r);
  renderAccounts();
}

function updateAccount(row) {
  // A name learnt once stays, also when the login has expired since.
  const known = accounts.get(row.id);
  if (known && known.name && !row.name) row.name = known.name;
  accounts.set(row.id, row);
  const old = [...document.querySelectorAll('#accounts tbody tr')].find((tr) => tr.dataset.account === row.id);
  if (!old) {
    renderAccounts();
    return;
  }
  // Replaced in place, keeping the keyboard focus on the same action.
  const focused = old.contains(document.activeElement) ? document.activeElement.dataset.action : null;
  const fresh = renderRow(row);
  old.replaceWith(fresh);
  if (focused) fresh.querySelector(`[data-action="${focused}"]`).focus();
  renderAccountChoice();
}

function checkAll() { act(() => api('POST', '/api/accounts/check')); }
function checkOne(id) { act(async () => updateAccount(await api('POST', `/api/accounts/${encodeURIComponent(id)}/check`))); }
function heartbeat(id) {
  act(async () => notice((await api('POST', `/api/accounts/${encodeURIComponent(id)}/heartbeat`)).message, 'info'));
}

function askForget(row) {
  const dialog = $('confirm-dialog');
  $('confirm-text').textContent =
    `Forget the stored login of ${accountLabel(row)}? The account stays on the platform and can log in again later.`;
  $('confirm-yes').onclick = () => {
    dialog.close();
    act(async () => {
      await api('POST', `/api/accounts/${encodeURIComponent(row.id)}/forget`);
      accounts.delete(row.id);
      renderAccounts();
      notice(`Forgot ${accountLabel(row)}.`, 'info');
    });
  };
  $('confirm-no').onclick = () => dialog.close();
  dialog.showModal();
  $('confirm-no').focus();
}

// ---------------------------------------------------------------------------
// Logins

const loginWords = {
  waiting: ['Waiting for the confirmation on the phone…', ''],
  ended: ['The login was ended on the phone, or its code expired.', 'bad'],
  unconfirmed: ['Nobody confirmed the login in time: the code has expired.', 'bad'],
  refused: ['The platform refused the login.', 'bad'],
  failed: ['The login failed.', 'bad'],
  cancelled: ['The login was cancelled.', 'bad'],
};

function showLoginState(event) {
  const line = $('login-state');
  if (event.state === 'stored') {
    line.textContent = `Stored as ${event.name || 'an account without a name'} (account ${event.account}).`;
    line.className = 'ok';
  } else {
    const [words, kind] = loginWords[event.state] || [event.state, 'bad'];
    line.textContent = words + (event.state !== 'waiting' && event.message ? ' ' + event.message : '');
    line.className = kind;
  }
  if (event.state !== 'waiting') {
    loginId = null;
    $('login-qr').replaceChildren();
    $('login-again').hidden = false;
  }
}

async function startLogin() {
  $('login-again').hidden = true;
  $('login-qr').replaceChildren();
  $('login-state').className = '';
  $('login-state').textContent = 'Asking the platform for a login code…';
  const login = await act(() => api('POST', '/api/logins'));
  if (!login) {
    $('login-state').textContent = $('notice').textContent;
    $('login-state').className = 'bad';
    $('login-again').hidden = false;
    return;
  }
  loginId = login.id;
  $('login-qr').innerHTML = login.qr;  // the server's own SVG
  showLoginState({ state: 'waiting' });
}

function openLogin(account) {
  const row = account && accounts.get(account);
  $('login-title').textContent = row ? `Log in again: ${accountLabel(row)}` : 'Add an account';
  $('login-dialog').showModal();
  startLogin();
}

// Closing the dialog ends a login still waiting.
function loginClosed() {
  if (loginId) {
    const id = loginId;
    loginId = null;
    act(() => api('POST', `/api/logins/${id}/cancel`));
  }
}

// ---------------------------------------------------------------------------
// Pulls

function showPull(state) {
  pullRunning = !!state.running;
  for (const id of ['pull-yesterday']) $(id).disabled = pullRunning;
  document.querySelector('#pull-range button').disabled = pullRunning;
  const p = state.progress;
  const box = $('pull-progress');
  if (pullRunning && p) {
    box.hidden = false;
    const total = p.days_total || 0;
    $('pull-bar').max = Math.max(total, 1);
    $('pull-bar').value = p.days_done || 0;
    let text = `Pulling ${p.from === p.to ? p.from : p.from + ' to ' + p.to}: ${p.days_done || 0} of ${total || '…'} account-days done`;
    if (p.account) text += `, now ${p.account} on ${p.day}`;
    if (p.rows !== undefined) text += ` · ${number.format(p.pages || 0)} pages, ${number.format(p.rows)} rows`;
    if (p.elapsed_ms !== undefined) text += ` · ${Math.round(p.elapsed_ms / 1000)} s`;
    $('pull-text').textContent = text;
  } else {
    box.hidden = true;
  }
  const s = state.summary;
  const out = $('pull-summary');
  if (!s) {
    out.replaceChildren();
    return;
  }
  if (s.error) {
    out.replaceChildren(el('p', { class: 'failed' }, `The pull of ${s.from} to ${s.to} failed: ${s.error}`));
    return;
  }
  const failed = s.failed || [];
  const head = el('p', { class: failed.length ? 'failed' : '' },
    `Pulled ${s.from === s.to ? s.from : s.from + ' to ' + s.to}: ${s.ok} account-days stored (${number.format(s.rows)} rows)` +
    (failed.length ? `, ${failed.length} failed.` : ', none failed.'));
  const list = el('ul', {}, ...failed.map((f) => el('li', {},
    `${f.account} on ${f.day}: ${f.outcome === 'login_expired' ? 'the login has expired, log in again' : f.error || f.outcome}`)));
  out.replaceChildren(head, list);
}

function pull(from, to) {
  act(async () => showPull(await api('POST', '/api/pull', { from, to })));
}

// ---------------------------------------------------------------------------
// Statistics

function renderAccountChoice() {
  const select = $('stats-account');
  const chosen = select.value;
  select.replaceChildren(...[...accounts.values()].map((r) => el('option', { value: r.id }, accountLabel(r))));
  if (accounts.has(chosen)) select.value = chosen;
}

function topTable(table, rows) {
  const head = el('tr', {}, el('th', { scope: 'col' }, 'Drama'), el('th', { scope: 'col', class: 'n' }, 'IAA income'),
    el('th', { scope: 'col', class: 'n' }, 'Mount income'), el('th', { scope: 'col', class: 'n' }, 'Views'));
  const body = rows.length
    ? rows.map((r) => el('tr', {}, el('td', {}, r.drama_name), el('td', { class: 'n' }, number.format(r.iaa_income)),
      el('td', { class: 'n' }, number.format(r.mount_income)),
      el('td', { class: 'n' }, number.format(r.feed_read_count + r.drama_read_count))))
    : [el('tr', {}, el('td', { colspan: 4 }, 'No pulled day in this span.'))];
  table.replaceChildren(el('thead', {}, head), el('tbody', {}, ...body));
}

async function showStats(account, from, to) {
  const q = (f, t) => `account=${encodeURIComponent(account)}&from=${f}&to=${t}`;
  $('chart').replaceChildren();
  $('chart').dataset.shows = '';
  const income = await act(() => api('GET', '/api/income?' + q(from, to)));
  if (!income) return;
  $('chart').innerHTML = income.svg;  // the server's own SVG
  $('chart').dataset.shows = `${account} ${from} ${to}`;
  const failed = income.days.filter((d) => d.state === 'failed').length;
  const missing = income.days.filter((d) => d.state === 'missing').length;
  $('chart-totals').textContent = `${from} to ${to}: IAA ${number.format(income.iaa_income)}, mount ` +
    `${number.format(income.mount_income)}` + (failed ? `; ${failed} day(s) failed` : '') +
    (missing ? `; ${missing} day(s) not pulled yet` : '') + '.';
  $('income-csv').href = '/api/income.csv?' + q(from, to);
  $('detail-csv').href = '/api/detail.csv?' + q(from, to);
  for (const days of [7, 30]) {
    const start = addDays(to, 1 - days);
    const top = await act(() => api('GET', '/api/top?' + q(start, to)));
    if (!top) return;
    $(`top${days}-title`).textContent = `Top dramas, last ${days} days (${start} to ${to})`;
    topTable($(`top${days}`), top.rows);
    $(`top${days}-csv`).href = '/api/top.csv?' + q(start, to);
  }
}

// ---------------------------------------------------------------------------
// Pages

function route() {
  const hash = location.hash || '#/accounts';
  const stats = hash.startsWith('#/stats');
  $('accounts-page').hidden = stats;
  $('stats-page').hidden = !stats;
  $('nav-accounts').toggleAttribute('aria-current', !stats);
  $('nav-stats').toggleAttribute('aria-current', stats);
  if (stats) {
    $('nav-stats').setAttribute('aria-current', 'page');
    const [path, query] = hash.slice('#/stats'.length).split('?');
    const account = decodeURIComponent(path.replace(/^\//, '')) || $('stats-account').value ||
      (accounts.size ? accounts.keys().next().value : '');
    const params = new URLSearchParams(query || '');
    const to = params.get('to') || $('stats-to').value || utcDay(-1);
    const from = params.get('from') || $('stats-from').value || addDays(to, -6);
    $('stats-from').value = from;
    $('stats-to').value = to;
    if (account) {
      if (!accounts.has(account)) $('stats-account').append(el('option', { value: account }, account));
      $('stats-account').value = account;
      showStats(account, from, to);
    }
  } else {
    $('nav-accounts').setAttribute('aria-current', 'page');
  }
}

// ---------------------------------------------------------------------------
// The event stream

function connect() {
  const events = new EventSource('/api/events');
  let first = true;
  events.addEventListener('hello', (e) => {
    const hello = JSON.parse(e.data);
    setAccounts(hello.accounts);
    showPull(hello.pull);
    if (hello.error) notice(hello.error);
    $('connection').textContent = 'connected';
    $('connection').className = '';
    if (first) {
      first = false;
      checkAll();
      route();
    }
  });
  events.addEventListener('account', (e) => updateAccount(JSON.parse(e.data)));
  events.addEventListener('forgotten', (e) => {
    accounts.delete(JSON.parse(e.data).id);
    renderAccounts();
  });
  events.addEventListener('login', (e) => {
    const event = JSON.parse(e.data);
    if (event.id === loginId) showLoginState(event);
  });
  events.addEventListener('pull', (e) => showPull(JSON.parse(e.data)));
  events.addEventListener('notice', (e) => notice(JSON.parse(e.data).error));
  events.onerror = () => {
    $('connection').textContent = 'disconnected: trying again…';
    $('connection').className = 'down';
  };
}

document.addEventListener('DOMContentLoaded', () => {
  $('add-account').addEventListener('click', () => openLogin(null));
  $('check-all').addEventListener('click', checkAll);
  $('login-again').addEventListener('click', startLogin);
  $('login-close').addEventListener('click', () => $('login-dialog').close());
  $('login-dialog').addEventListener('close', loginClosed);
  $('pull-yesterday').addEventListener('click', () => pull(utcDay(-1), utcDay(-1)));
  $('pull-from').value = utcDay(-7);
  $('pull-to').value = utcDay(-1);
  $('pull-range').addEventListener('submit', (e) => {
    e.preventDefault();
    pull($('pull-from').value, $('pull-to').value);
  });
  $('stats-form').addEventListener('submit', (e) => {
    e.preventDefault();
    location.hash = `#/stats/${encodeURIComponent($('stats-account').value)}?from=${$('stats-from').value}&to=${$('stats-to').value}`;
  });
  window.addEventListener('hashchange', route);
  connect();
});
