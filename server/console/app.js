'use strict';
// Every value from the server goes into the page as text (textContent,
// option text, input values): titles and names are the merchants' and
// viewers' own words and may hold anything.

const state = {
  csrf: '', role: '', merchant: '', page: 'videos', keys: [], viewers: [], activityOffset: 0,
};
// Rows of the access log a page shows.
const ACTIVITY_PAGE = 200;
// Lists load this many rows at most; more are said to be there, not dropped unseen.
const LIST_LIMIT = 1000;

function byId(id) { return document.getElementById(id); }

function say(text, isError) {
  const status = byId('status');
  status.textContent = text || '';
  status.classList.toggle('error', Boolean(isError));
}

async function api(method, path, body) {
  let url = '/console/api/' + path;
  if (state.merchant) {
    url += (url.includes('?') ? '&' : '?') + 'merchant=' + encodeURIComponent(state.merchant);
  }
  const init = { method, credentials: 'same-origin', headers: {} };
  if (method !== 'GET') {
    init.headers['Content-Type'] = 'application/json';
    init.headers['X-Veilcast-Csrf'] = state.csrf;
    init.body = JSON.stringify(body || {});
  }
  let answer;
  try {
    const response = await fetch(url, init);
    answer = await response.json();
  } catch (e) {
    answer = { success: false, code: 'NETWORK', message: '无法连接服务器' };
  }
  if (!answer.success) {
    say(answer.message || '操作失败', true);
    if (answer.code === 'SESSION_INVALID') {
      showLogin();
    }
  }
  return answer;
}

function query(params) {
  const parts = [];
  for (const [name, value] of Object.entries(params)) {
    if (value !== '' && value !== undefined && value !== null) {
      parts.push(encodeURIComponent(name) + '=' + encodeURIComponent(value));
    }
  }
  return parts.length ? '?' + parts.join('&') : '';
}

// Under a table: that the list was cut at LIST_LIMIT rows, or nothing.
function cutNotice(id, answer) {
  byId(id).textContent = answer.success && answer.data.hasMore
    ? '只显示了前 ' + LIST_LIMIT + ' 条。' : '';
}

// A table with no rows says so, in one cell across its columns, rather than
// showing headers over nothing.
function emptyNote(rows, text) {
  if (rows.children.length) return;
  const tr = document.createElement('tr');
  tr.className = 'empty';
  const td = cell(tr, text);
  td.colSpan = rows.closest('table').querySelectorAll('thead th').length;
  rows.appendChild(tr);
}

function cell(row, text) {
  const td = document.createElement('td');
  td.textContent = text === null || text === undefined ? '' : String(text);
  row.appendChild(td);
  return td;
}

function action(td, label, handler) {
  const b = document.createElement('button');
  b.type = 'button';
  b.textContent = label;
  b.addEventListener('click', handler);
  td.appendChild(b);
  return b;
}

function option(select, value, text) {
  const o = document.createElement('option');
  o.value = value;
  o.textContent = text;
  select.appendChild(o);
}

function localTime(iso) {
  return iso ? new Date(iso).toLocaleString('zh-CN', { hour12: false }) : '';
}

// Expiries and grant ends entered as a date run through that whole day
// (UTC), so the server keeps the next midnight; shown as the day entered.
function lastDay(iso) {
  return iso ? new Date(Date.parse(iso) - 1).toISOString().slice(0, 10) : '';
}

function size(bytes) {
  if (bytes >= 1073741824) return (bytes / 1073741824).toFixed(2) + ' GB';
  if (bytes >= 1048576) return (bytes / 1048576).toFixed(1) + ' MB';
  return bytes + ' B';
}

function keyTitle(keyId) {
  const key = state.keys.find((k) => k.keyId === keyId);
  return key ? key.title : keyId;
}

function showLogin() {
  state.csrf = '';
  byId('apikey-secret').textContent = '';
  byId('apikey-new').hidden = true;
  byId('app').hidden = true;
  byId('who').hidden = true;
  byId('login-page').hidden = false;
}

async function startSession(data) {
  state.csrf = data.csrfToken;
  state.role = data.role;
  byId('who-name').textContent = (data.displayName || data.username) + '（' +
    (data.role === 'admin' ? '管理员' : data.merchantName || '商家') + '）';
  const select = byId('merchant');
  select.replaceChildren();
  byId('merchant-pick').hidden = data.role !== 'admin';
  if (data.role === 'admin') {
    for (const m of data.merchants) {
      option(select, m.id, m.name + (m.disabled ? '（已停用）' : ''));
    }
    if (!data.merchants.some((m) => m.id === state.merchant)) {
      state.merchant = data.merchants.length ? data.merchants[0].id : '';
    }
    select.value = state.merchant;
  } else {
    state.merchant = '';
  }
  byId('login-page').hidden = true;
  byId('who').hidden = false;
  byId('app').hidden = false;
  await show(state.page);
}

async function show(page) {
  state.page = page;
  // A new API key's secret is shown once, and not left on screen after.
  byId('apikey-secret').textContent = '';
  byId('apikey-new').hidden = true;
  for (const section of document.querySelectorAll('.page')) {
    section.hidden = section.id !== page;
  }
  for (const tab of document.querySelectorAll('.tab')) {
    if (tab.dataset.page === page) {
      tab.setAttribute('aria-current', 'page');
    } else {
      tab.removeAttribute('aria-current');
    }
  }
  await loadKeys();
  if (page === 'videos') renderKeys();
  if (page === 'viewers') { await loadViewers(); await loadGrants(); }
  if (page === 'activity') { await loadViewers(); await loadActivity(); }
  if (page === 'apikeys') await loadApiKeys();
}

async function loadKeys() {
  const answer = await api('GET', 'keys' + query({ limit: LIST_LIMIT }));
  state.keys = answer.success ? answer.data.items : [];
  cutNotice('video-more', answer);
  for (const id of ['grant-video', 'activity-video']) {
    const select = byId(id);
    const kept = select.value;
    select.replaceChildren();
    option(select, '', id === 'grant-video' ? '全部视频' : '（全部）');
    for (const k of state.keys) option(select, k.keyId, k.title);
    select.value = state.keys.some((k) => k.keyId === kept) ? kept : '';
  }
}

function renderKeys() {
  const needle = byId('video-search').value.trim().toLowerCase();
  const rows = byId('video-rows');
  rows.replaceChildren();
  for (const k of state.keys) {
    if (needle && !k.title.toLowerCase().includes(needle) &&
        !k.sourceFileName.toLowerCase().includes(needle)) {
      continue;
    }
    const tr = document.createElement('tr');
    cell(tr, k.title);
    cell(tr, k.sourceFileName);
    cell(tr, size(k.fileSize));
    cell(tr, localTime(k.createdAt));
    cell(tr, k.revoked ? '已吊销' : '有效');
    const td = cell(tr, '');
    if (!k.revoked) {
      action(td, '吊销', async () => {
        if (!confirm('吊销后所有观众都将无法播放「' + k.title + '」，确定吗？')) return;
        const answer = await api('POST', 'keys/' + encodeURIComponent(k.keyId) + '/revoke');
        if (answer.success) { say('已吊销'); await show('videos'); }
      });
    }
    rows.appendChild(tr);
  }
  emptyNote(rows, state.keys.length ? '没有标题或文件名符合搜索的视频'
    : '还没有登记的视频：在影匣的加密页加密视频后，它们会出现在这里');
}

async function loadViewers() {
  const answer = await api('GET', 'viewers' + query({ limit: LIST_LIMIT }));
  state.viewers = answer.success ? answer.data.items : [];
  cutNotice('viewer-more', answer);
  const rows = byId('viewer-rows');
  rows.replaceChildren();
  for (const v of state.viewers) {
    const tr = document.createElement('tr');
    cell(tr, v.username);
    cell(tr, v.displayName);
    cell(tr, v.accountExpiry ? lastDay(v.accountExpiry) + ' 止' : '不限');
    cell(tr, v.deviceLimit === 0 ? '不限' : v.deviceLimit);
    cell(tr, v.disabled ? '已禁用' : '正常');
    const td = cell(tr, '');
    action(td, '修改', () => {
      byId('viewer-username').value = v.username;
      byId('viewer-display').value = v.displayName;
      byId('viewer-expiry').value = lastDay(v.accountExpiry);
      byId('viewer-limit').value = v.deviceLimit;
      byId('viewer-username').focus();
    });
    action(td, '重置设备', async () => {
      const answer = await api('POST', 'viewers/' + encodeURIComponent(v.id) + '/devices/reset');
      if (answer.success) say('已重置 ' + v.username + ' 的设备（' + answer.data.devicesRemoved + ' 台）');
    });
    action(td, v.disabled ? '启用' : '禁用', async () => {
      const answer = await api('POST', 'viewers/' + encodeURIComponent(v.id) + (v.disabled ? '/enable' : '/disable'));
      if (answer.success) { say(v.disabled ? '已启用' : '已禁用'); await loadViewers(); }
    });
    rows.appendChild(tr);
  }
  if (answer.success) emptyNote(rows, '还没有观众：用上面的表单新建');
  for (const id of ['grant-viewer', 'activity-viewer']) {
    const select = byId(id);
    const kept = select.value;
    select.replaceChildren();
    if (id === 'activity-viewer') option(select, '', '（全部）');
    for (const v of state.viewers) option(select, v.id, v.username);
    if (state.viewers.some((v) => v.id === kept)) select.value = kept;
  }
}

async function loadGrants() {
  const answer = await api('GET', 'grants' + query({ limit: LIST_LIMIT }));
  cutNotice('grant-more', answer);
  const rows = byId('grant-rows');
  rows.replaceChildren();
  if (!answer.success) return;
  for (const g of answer.data.items) {
    const tr = document.createElement('tr');
    cell(tr, g.username);
    cell(tr, g.keyId ? keyTitle(g.keyId) : '全部视频');
    cell(tr, g.endsAt ? lastDay(g.endsAt) + ' 止' : '不限');
    cell(tr, localTime(g.createdAt));
    action(cell(tr, ''), '撤销', async () => {
      const result = await api('POST', 'grants/' + encodeURIComponent(g.id) + '/revoke');
      if (result.success) { say('已撤销授权'); await loadGrants(); }
    });
    rows.appendChild(tr);
  }
  emptyNote(rows, '还没有授权');
}

async function loadActivity() {
  const filters = {
    limit: ACTIVITY_PAGE,
    offset: state.activityOffset,
    viewerId: byId('activity-viewer').value,
    keyId: byId('activity-video').value,
    from: byId('activity-from').value.trim(),
    to: byId('activity-to').value.trim(),
  };
  const [log, shared] = await Promise.all([
    api('GET', 'key-requests' + query(filters)),
    api('GET', 'shared-viewers'),
  ]);
  const flagged = new Map();
  const list = byId('shared-list');
  list.replaceChildren();
  if (shared.success) {
    for (const s of shared.data.items) {
      flagged.set(s.viewerId, s);
      const li = document.createElement('li');
      li.textContent = s.username + '：' + s.devices + ' 台设备、' + s.addresses +
        ' 个地址，上限 ' + s.deviceLimit;
      list.appendChild(li);
    }
    if (!shared.data.items.length) {
      const li = document.createElement('li');
      li.textContent = '无';
      list.appendChild(li);
    }
  }
  const rows = byId('activity-rows');
  rows.replaceChildren();
  byId('activity-prev').disabled = !log.success || state.activityOffset === 0;
  byId('activity-next').disabled = !log.success || !log.data.hasMore;
  byId('activity-page').textContent = log.success
    ? '第 ' + (state.activityOffset / ACTIVITY_PAGE + 1) + ' 页' : '';
  if (!log.success) return;
  for (const e of log.data.items) {
    const tr = document.createElement('tr');
    const isShared = flagged.has(e.viewerId);
    tr.classList.toggle('shared', isShared);
    cell(tr, localTime(e.at));
    cell(tr, e.username || '（未知）');
    cell(tr, e.deviceName ? e.deviceName + ' ' + e.deviceId.slice(0, 8) : e.deviceId.slice(0, 8));
    cell(tr, e.clientAddress);
    cell(tr, keyTitle(e.keyId));
    cell(tr, e.result === 'OK' ? '成功' : e.result);
    cell(tr, isShared ? '疑似共享' : '');
    rows.appendChild(tr);
  }
  emptyNote(rows, '没有符合条件的访问记录');
}

async function loadApiKeys() {
  const answer = await api('GET', 'api-keys');
  const rows = byId('apikey-rows');
  rows.replaceChildren();
  if (!answer.success) return;
  for (const k of answer.data.items) {
    const tr = document.createElement('tr');
    cell(tr, k.label || '（未命名）');
    cell(tr, localTime(k.createdAt));
    cell(tr, k.revokedAt ? '已吊销于 ' + localTime(k.revokedAt) : '有效');
    const td = cell(tr, '');
    if (!k.revokedAt) {
      action(td, '吊销', async () => {
        if (!confirm('吊销后使用该密钥的系统将立即无法调用，确定吗？')) return;
        const result = await api('POST', 'api-keys/' + encodeURIComponent(k.id) + '/revoke');
        if (result.success) { say('已吊销'); await loadApiKeys(); }
      });
    }
    rows.appendChild(tr);
  }
  emptyNote(rows, '还没有 API 密钥');
}

function wire() {
  byId('login-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const answer = await api('POST', 'login', {
      username: byId('login-user').value,
      password: byId('login-pass').value,
    });
    byId('login-pass').value = '';
    if (answer.success) { say(''); await startSession(answer.data); }
  });
  byId('logout').addEventListener('click', async () => {
    const answer = await api('POST', 'logout');
    if (answer.success) { showLogin(); say('已退出登录'); }
  });
  byId('merchant').addEventListener('change', async (event) => {
    state.merchant = event.target.value;
    await show(state.page);
  });
  for (const tab of document.querySelectorAll('.tab')) {
    tab.addEventListener('click', () => { say(''); show(tab.dataset.page); });
  }
  byId('video-search').addEventListener('input', renderKeys);
  byId('viewer-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const body = {
      username: byId('viewer-username').value.trim(),
      accountExpiry: byId('viewer-expiry').value.trim() || null,
      deviceLimit: Number(byId('viewer-limit').value),
    };
    if (byId('viewer-password').value) body.password = byId('viewer-password').value;
    if (byId('viewer-display').value.trim()) body.displayName = byId('viewer-display').value.trim();
    const answer = await api('POST', 'viewers', body);
    byId('viewer-password').value = '';
    if (answer.success) {
      say((answer.data.created ? '已创建观众 ' : '已更新观众 ') + answer.data.username);
      await loadViewers();
    }
  });
  byId('grant-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const body = { viewerId: byId('grant-viewer').value };
    const video = byId('grant-video').value;
    if (video) body.keyIds = [video]; else body.allKeys = true;
    const ends = byId('grant-ends').value.trim();
    if (ends) body.endsAt = ends;
    const answer = await api('POST', 'grants', body);
    if (answer.success) { say('已授权'); await loadGrants(); }
  });
  byId('activity-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    state.activityOffset = 0;
    await loadActivity();
  });
  byId('activity-prev').addEventListener('click', async () => {
    state.activityOffset = Math.max(0, state.activityOffset - ACTIVITY_PAGE);
    await loadActivity();
  });
  byId('activity-next').addEventListener('click', async () => {
    state.activityOffset += ACTIVITY_PAGE;
    await loadActivity();
  });
  byId('apikey-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const answer = await api('POST', 'api-keys', { label: byId('apikey-label').value });
    if (answer.success) {
      byId('apikey-secret').textContent = answer.data.secret;
      byId('apikey-new').hidden = false;
      byId('apikey-label').value = '';
      say('已新建 API 密钥');
      await loadApiKeys();
    }
  });
}

async function boot() {
  wire();
  const answer = await fetch('/console/api/session', { credentials: 'same-origin' })
    .then((r) => r.json())
    .catch(() => ({ success: false }));
  if (answer.success) {
    await startSession(answer.data);
  } else {
    showLogin();
  }
}

document.addEventListener('DOMContentLoaded', boot);
