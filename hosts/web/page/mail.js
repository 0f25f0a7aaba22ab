'use strict';
// The mail page: the control's folders, messages, open message and contacts,
// read and changed through vornweb's API. Every text from the store goes
// into the page as text (textContent, option text), never as markup.
//
// The control keeps one current folder and one open message, so the page's
// requests go to the server one at a time, in order (post); a batch never
// interleaves with another. The message list shows only the rows on screen
// and fetches what is missing in batches, so a folder of any size opens
// with one request and scrolls without reading the rest.
(() => {
  const PROGID = 'VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1';
  const FOLDER_FIELDS = ['GetFolderId', 'GetFolderName', 'GetFolderHierarchy',
                         'GetFolderSubFolderCount', 'GetFolderMessageCount',
                         'GetFolderUnreads', 'GetFolderType'];
  const ROW_FIELDS = ['GetMessageId', 'GetMessageSentTime', 'GetMessageDisplayFrom',
                      'GetMessageSubject'];
  const CONTACT_FIELDS = ['GetContactDisplayName', 'GetContactNickname', 'GetContactEmail'];
  const MAX_BATCH_ROWS = 150;  // rows fetched by one request at most
  const OVERSCAN = 30;         // rows fetched beyond the screen on either side
  const CACHE_LIMIT = 5000;    // rows kept; those farthest from the screen go first

  const $ = (id) => document.getElementById(id);
  const token = new URLSearchParams(location.hash.slice(1)).get('token') || '';

  // ---- the API ------------------------------------------------------------

  class ApiError extends Error {
    constructor(status, body) {
      super((body && body.error) || `the server answered ${status}`);
      this.status = status;
      this.body = body || {};
    }
  }

  let queue = Promise.resolve();
  // POST /api/OPERATION, after every request posted before it has been
  // answered. Resolves to the reply's JSON; rejects with ApiError.
  function post(operation, body) {
    const send = async () => {
      const reply = await fetch(`/api/${operation}`, {
        method: 'POST',
        headers: { 'Content-Type': 'application/json', 'X-Vorn-Token': token },
        body: JSON.stringify(body),
      });
      let data = null;
      try {
        data = await reply.json();
      } catch (_) {
        data = null;
      }
      if (!reply.ok) throw new ApiError(reply.status, data);
      return data;
    };
    const result = queue.then(send, send);
    queue = result.catch(() => {});
    return result;
  }

  let object = null;  // the control's number on the server
  const state = {
    folders: [],       // {id, name, depth, subfolders, messages, unread, type}
    folderId: null,    // the folder whose messages are listed
    cursor: -1,        // the folder the keyboard is on (index in folders)
    count: 0,          // messages in the list
    generation: 0,     // counts readings of the message list
    rows: new Map(),   // index -> {id, sent, from, subject}
    selected: -1,      // the row the keyboard is on
    open: null,        // {id, index} of the open message
    contacts: null,    // [{name, nickname, email}] once read
  };

  async function createControl() {
    const made = await post('create', { name: PROGID });
    object = made.object;
    const [ok] = await callsOn([['InitControl']]);
    if (!ok) throw new Error('the mail store could not be opened');
  }

  function callsOn(calls) {
    return post('batch', {
      calls: calls.map(([member, ...args]) => ({ object, member, args })),
    }).then((reply) => reply.results);
  }

  // Runs [member, ...args] calls on the control in one request and resolves
  // to their results. A control the server has released (after a long idle
  // time) is made again, with the listed folder current again, and the
  // calls repeated once.
  async function batch(calls) {
    try {
      return await callsOn(calls);
    } catch (error) {
      if (!(error instanceof ApiError) || error.status !== 404 ||
          !/^unknown object/.test(error.message)) {
        throw error;
      }
      await createControl();
      if (state.folderId !== null) await callsOn([['SetFolder', state.folderId]]);
      return callsOn(calls);
    }
  }

  // ---- status line ----------------------------------------------------------

  function say(text, failed = false) {
    const status = $('status');
    status.textContent = text;
    status.classList.toggle('failed', failed);
  }

  function failed(error) {
    say(error && error.message ? error.message : String(error), true);
  }

  // ---- folders --------------------------------------------------------------

  async function readFolders() {
    const [count] = await batch([['GetFolderCount']]);
    const calls = [];
    for (let i = 0; i < count; ++i) {
      for (const field of FOLDER_FIELDS) calls.push([field, i]);
    }
    const values = count > 0 ? await batch(calls) : [];
    const folders = [];
    for (let i = 0; i < count; ++i) {
      const v = values.slice(i * FOLDER_FIELDS.length, (i + 1) * FOLDER_FIELDS.length);
      folders.push({ id: v[0], name: String(v[1]), depth: Math.max(0, v[2]), subfolders: v[3],
                     messages: v[4], unread: v[5], type: v[6] });
    }
    state.folders = folders;
    state.cursor = Math.min(state.cursor, folders.length - 1);
    renderFolders();
  }

  function folderIndexOf(id) {
    return state.folders.findIndex((folder) => folder.id === id);
  }

  function renderFolders() {
    const tree = $('folders');
    tree.replaceChildren();
    state.folders.forEach((folder, i) => {
      const item = document.createElement('li');
      item.id = `folder-${i}`;
      item.setAttribute('role', 'treeitem');
      item.setAttribute('aria-level', String(folder.depth + 1));
      item.setAttribute('aria-selected', String(folder.id === state.folderId));
      item.dataset.index = String(i);
      item.dataset.id = String(folder.id);
      item.style.setProperty('--depth', String(folder.depth));
      item.classList.toggle('cursor', i === state.cursor);
      item.classList.toggle('has-unread', folder.unread > 0);
      const name = document.createElement('span');
      name.className = 'name';
      name.textContent = folder.name;
      item.append(name);
      if (folder.unread > 0) {
        const unread = document.createElement('span');
        unread.className = 'unread';
        unread.textContent = String(folder.unread);
        unread.title = 'unread';
        item.append(unread);
      }
      const count = document.createElement('span');
      count.className = 'count';
      count.textContent = String(folder.messages);
      count.title = 'messages';
      item.append(count);
      tree.append(item);
    });
    if (state.cursor >= 0) tree.setAttribute('aria-activedescendant', `folder-${state.cursor}`);
    fillFolderChoice($('target-folder'), $('target-folder').value);
    fillFolderChoice($('compose-folder'), $('compose-folder').value);
  }

  // The folders as the options of a <select>, indented by depth.
  function fillFolderChoice(select, keep) {
    select.replaceChildren();
    for (const folder of state.folders) {
      const option = document.createElement('option');
      option.value = String(folder.id);
      option.textContent = '\u00a0\u00a0'.repeat(folder.depth) + folder.name;
      select.append(option);
    }
    if (keep && folderIndexOf(Number(keep)) >= 0) select.value = keep;
  }

  // ---- the message list -----------------------------------------------------

  const list = $('list');
  const rowsBox = $('list-rows');
  let rowHeight = 28;
  const pool = [];

  function measureRows() {
    const value = parseFloat(getComputedStyle(document.documentElement).getPropertyValue('--row'));
    rowHeight = value > 0 ? value : 28;
    $('list-spacer').style.height = `${state.count * rowHeight}px`;
  }

  function screenRows() {
    return Math.max(1, Math.ceil(list.clientHeight / rowHeight));
  }

  function firstOnScreen() {
    return Math.max(0, Math.floor(list.scrollTop / rowHeight));
  }

  function rowCalls(indices) {
    const calls = [];
    for (const i of indices) {
      for (const field of ROW_FIELDS) calls.push([field, i]);
    }
    return calls;
  }

  // "2026-3-5 9:2:0", as the control gives times, shown as "2026-03-05 09:02";
  // the control's time for a message without a date as nothing.
  function shortTime(text) {
    const p = /^(\d+)-(\d+)-(\d+) (\d+):(\d+):(\d+)$/.exec(text);
    if (!p) return text;
    if (text === '1601-1-1 0:0:0') return '';
    const two = (n) => n.padStart(2, '0');
    return `${p[1]}-${two(p[2])}-${two(p[3])} ${two(p[4])}:${two(p[5])}`;
  }

  function keepRows(indices, values, offset) {
    indices.forEach((index, k) => {
      const at = offset + k * ROW_FIELDS.length;
      state.rows.set(index, { id: values[at], sent: shortTime(String(values[at + 1])),
                              from: String(values[at + 2]), subject: String(values[at + 3]) });
    });
  }

  // Lets go of the rows farthest from the screen when too many are kept.
  function trimRows() {
    if (state.rows.size <= CACHE_LIMIT) return;
    const middle = firstOnScreen() + screenRows() / 2;
    const byDistance = [...state.rows.keys()].sort(
      (a, b) => Math.abs(b - middle) - Math.abs(a - middle));
    for (const index of byDistance.slice(0, state.rows.size - CACHE_LIMIT / 2)) {
      state.rows.delete(index);
    }
  }

  // Makes `id` the listed folder: SetFolder, the count and the first
  // screen of rows in one request. With keep, the scroll position and the
  // chosen row stay (the same folder read again after a change).
  async function openFolder(id, { keep = false } = {}) {
    const generation = ++state.generation;
    state.folderId = id;
    state.rows.clear();
    if (!keep) {
      state.selected = -1;
      closeMessage();
    }
    renderFolders();
    showContacts(false);
    const first = keep ? firstOnScreen() : 0;
    const indices = [];
    // Only the screen's rows come with SetFolder, so that they show soonest;
    // fetchRows brings those beyond it next.
    for (let i = first; i < first + screenRows() + 1; ++i) indices.push(i);
    const values = await batch([['SetFolder', id], ['GetMessageCount'], ...rowCalls(indices)]);
    if (generation !== state.generation) return;
    if (!values[0]) {
      state.count = 0;
      renderList();
      say('The folder could not be opened.', true);
      return;
    }
    state.count = values[1];
    keepRows(indices.filter((i) => i < state.count), values, 2);
    if (!keep) list.scrollTop = 0;
    state.selected = Math.min(state.selected, state.count - 1);
    renderList();
    fetchRows();
  }

  function renderList() {
    measureRows();
    const empty = $('list-empty');
    empty.hidden = state.count > 0 || state.folderId === null;
    empty.textContent = 'No messages in this folder.';
    renderRows();
  }

  function renderRows() {
    const first = firstOnScreen();
    const shown = Math.min(screenRows() + 1, Math.max(0, state.count - first));
    while (pool.length < shown) {
      const row = document.createElement('div');
      row.className = 'row';
      row.setAttribute('role', 'option');
      for (const name of ['sent', 'from', 'subject']) {
        const cell = document.createElement('span');
        cell.className = name;
        row.append(cell);
      }
      rowsBox.append(row);
      pool.push(row);
    }
    rowsBox.style.transform = `translateY(${first * rowHeight}px)`;
    pool.forEach((row, k) => {
      const index = first + k;
      if (k >= shown) {
        row.hidden = true;
        row.removeAttribute('id');
        return;
      }
      row.hidden = false;
      row.id = `row-${index}`;
      row.dataset.index = String(index);
      row.setAttribute('aria-selected', String(index === state.selected));
      row.classList.toggle('open', !!state.open && state.open.index === index);
      const data = state.rows.get(index);
      const key = data ? `${state.generation}:${index}` : '';
      if (row.dataset.key === key && key) return;
      row.dataset.key = key;
      row.classList.toggle('loading', !data);
      const [sent, from, subject] = row.children;
      sent.textContent = data ? data.sent : '';
      from.textContent = data ? data.from : '';
      subject.textContent = data ? data.subject : '';
      row.title = data ? data.subject : '';
    });
    if (state.selected >= 0) {
      list.setAttribute('aria-activedescendant', `row-${state.selected}`);
    } else {
      list.removeAttribute('aria-activedescendant');
    }
  }

  // Fetches the rows on screen that are missing, then those just beyond it,
  // one request at a time; scrolling on meanwhile only moves what the next
  // request asks for.
  let fetching = false;
  function fetchRows() {
    if (fetching || state.folderId === null || state.count === 0) return;
    const first = firstOnScreen();
    const last = Math.min(state.count, first + screenRows() + 1);
    const wanted = [];
    const want = (i) => {
      if (i >= 0 && i < state.count && !state.rows.has(i) && wanted.length < MAX_BATCH_ROWS) {
        wanted.push(i);
      }
    };
    for (let i = first; i < last; ++i) want(i);
    for (let i = last; i < last + OVERSCAN; ++i) want(i);
    for (let i = first - 1; i >= first - OVERSCAN; --i) want(i);
    if (wanted.length === 0) return;
    fetching = true;
    const generation = state.generation;
    batch(rowCalls(wanted)).then((values) => {
      fetching = false;
      if (generation !== state.generation) return;
      keepRows(wanted, values, 0);
      trimRows();
      renderRows();
      fetchRows();
    }, (error) => {
      fetching = false;
      failed(error);
    });
  }

  list.addEventListener('scroll', () => {
    renderRows();
    fetchRows();
  }, { passive: true });

  function select(index) {
    if (state.count === 0) return;
    index = Math.max(0, Math.min(state.count - 1, index));
    state.selected = index;
    const top = index * rowHeight;
    if (top < list.scrollTop) {
      list.scrollTop = top;
    } else if (top + rowHeight > list.scrollTop + list.clientHeight) {
      list.scrollTop = top + rowHeight - list.clientHeight;
    }
    renderRows();
    fetchRows();
  }

  // ---- the open message -----------------------------------------------------

  function closeMessage() {
    state.open = null;
    $('view').hidden = true;
    $('view-empty').hidden = false;
  }

  async function rowAt(index) {
    if (!state.rows.has(index)) {
      const values = await batch(rowCalls([index]));
      keepRows([index], values, 0);
    }
    return state.rows.get(index);
  }

  async function openMessage(index) {
    const generation = state.generation;
    const row = await rowAt(index);
    const [opened, body, attachments, to] = await batch(
      [['SetMessage', row.id], ['GetBody'], ['GetAttachmentCount'], ['GetMessageDisplayTo', index]]);
    if (generation !== state.generation) return;
    if (!opened) {
      say('The message could not be opened.', true);
      return;
    }
    const calls = [];
    for (let i = 0; i < attachments; ++i) calls.push(['GetAttachmentName', i]);
    const names = calls.length ? await batch(calls) : [];
    if (generation !== state.generation) return;
    state.open = { id: row.id, index };
    $('view-subject').textContent = row.subject;
    $('view-from').textContent = row.from;
    $('view-to').textContent = String(to);
    $('view-sent').textContent = row.sent;
    $('view-body').textContent = String(body);
    const box = $('view-attachments');
    box.replaceChildren(...names.map((name) => {
      const item = document.createElement('li');
      item.textContent = String(name);
      return item;
    }));
    box.hidden = names.length === 0;
    $('view').hidden = false;
    $('view-empty').hidden = true;
    renderRows();
  }

  // The message the buttons act on: the chosen row's.
  async function chosenMessage() {
    if (state.selected < 0 || state.selected >= state.count) {
      say('Choose a message first.', true);
      return null;
    }
    const row = await rowAt(state.selected);
    return { ...row, index: state.selected };
  }

  // Reads everything again after a change of messages: the folder counts
  // follow only a new InitControl. The list keeps its place; the open message
  // stays open when it is still at its place.
  async function reload() {
    const open = state.open;
    const [ok] = await batch([['InitControl']]);
    if (!ok) throw new Error('the mail store could not be opened');
    state.contacts = null;
    await readFolders();
    if (state.folderId !== null && folderIndexOf(state.folderId) >= 0) {
      await openFolder(state.folderId, { keep: true });
      if (open && state.rows.get(open.index) && state.rows.get(open.index).id === open.id) {
        await openMessage(open.index);
      } else {
        closeMessage();
        renderRows();
      }
    } else {
      state.folderId = null;
      state.count = 0;
      closeMessage();
      renderFolders();
      renderList();
    }
  }

  async function messageAction(kind) {
    const message = await chosenMessage();
    if (!message) return;
    const target = Number($('target-folder').value);
    const targetName = state.folders[folderIndexOf(target)]?.name ?? '';
    const subject = message.subject || '(no subject)';
    let ok;
    let done;
    switch (kind) {
      case 'read':
        [ok] = await batch([['MarkMessagesAsRead', message.id]]);
        done = `Marked "${subject}" read.`;
        break;
      case 'unread':
        [ok] = await batch([['MarkMessagesAsUnRead', message.id]]);
        done = `Marked "${subject}" unread.`;
        break;
      case 'copy':
        [ok] = await batch([['CopyMessage', message.id, target]]);
        done = `Copied "${subject}" to ${targetName}.`;
        break;
      case 'move':
        [ok] = await batch([['MoveMessage', message.id, target]]);
        done = `Moved "${subject}" to ${targetName}.`;
        break;
      case 'delete':
        if (!await ask({ title: 'Delete message',
                         text: `Delete "${subject}"? It cannot be brought back.`,
                         ok: 'Delete' })) return;
        [ok] = await batch([['RemoveMessage', message.id]]);
        done = `Deleted "${subject}".`;
        break;
      default:
        return;
    }
    if (!ok) {
      say(`That did not work: the store refused (${kind}).`, true);
      return;
    }
    await reload();
    say(done);
  }

  // ---- dialogs --------------------------------------------------------------

  // The folder dialog as a question: resolves to the typed name (or true
  // when there is no name field) on OK, null on Cancel. `attempt(name)`,
  // when given, runs on OK; a text it resolves to is shown as the error and
  // keeps the dialog open.
  function ask({ title, text = '', name = null, inside = null, ok = 'OK', attempt = null }) {
    const dialog = $('folder-dialog');
    $('folder-dialog-title').textContent = title;
    $('folder-dialog-text').textContent = text;
    $('folder-name-label').hidden = name === null;
    $('folder-name').value = name ?? '';
    $('folder-inside-label').hidden = inside === null;
    $('folder-inside').checked = !!inside;
    $('folder-error').textContent = '';
    $('folder-ok').textContent = ok;
    return new Promise((resolve) => {
      const finish = (value) => {
        form.removeEventListener('submit', submit);
        $('folder-cancel').removeEventListener('click', cancel);
        dialog.removeEventListener('cancel', cancel);
        dialog.close();
        resolve(value);
      };
      const form = $('folder-form');
      const submit = async (event) => {
        event.preventDefault();
        const answer = name === null ? true : $('folder-name').value;
        if (attempt) {
          try {
            const problem = await attempt(answer, $('folder-inside').checked);
            if (problem) {
              $('folder-error').textContent = problem;
              return;
            }
          } catch (error) {
            $('folder-error').textContent = error.message;
            return;
          }
        }
        finish(answer);
      };
      const cancel = (event) => {
        event.preventDefault();
        finish(null);
      };
      form.addEventListener('submit', submit);
      $('folder-cancel').addEventListener('click', cancel);
      dialog.addEventListener('cancel', cancel);
      dialog.showModal();
      (name === null ? $('folder-ok') : $('folder-name')).focus();
    });
  }

  function chosenFolder() {
    const index = folderIndexOf(state.folderId);
    return index >= 0 ? state.folders[index] : null;
  }

  async function newFolder() {
    const parent = chosenFolder();
    await ask({
      title: 'New folder',
      text: parent ? '' : 'The folder is made at the top.',
      name: '',
      inside: parent ? false : null,
      ok: 'Create',
      attempt: async (name, inside) => {
        const [ok] = await batch([['CreateFolder', inside && parent ? parent.id : 0, name]]);
        if (!ok) {
          return 'The folder could not be made: the name is empty, holds characters a ' +
                 'folder name cannot hold, or is taken there.';
        }
        await readFolders();
        say(`Made the folder "${name}".`);
        return null;
      },
    });
  }

  async function renameFolder() {
    const folder = chosenFolder();
    if (!folder) {
      say('Choose a folder first.', true);
      return;
    }
    await ask({
      title: 'Rename folder',
      text: `New name for "${folder.name}":`,
      name: folder.name,
      ok: 'Rename',
      attempt: async (name) => {
        const [ok] = await batch([['RenameFolder', folder.id, name]]);
        if (!ok) {
          return 'The folder could not be renamed: the name is empty, holds characters a ' +
                 'folder name cannot hold, or is taken there.';
        }
        await readFolders();
        say(`Renamed "${folder.name}" to "${name}".`);
        return null;
      },
    });
  }

  async function removeFolder() {
    const folder = chosenFolder();
    if (!folder) {
      say('Choose a folder first.', true);
      return;
    }
    if (folder.subfolders > 0) {
      say(`"${folder.name}" has subfolders; remove them first.`, true);
      return;
    }
    const messages = folder.messages === 1 ? '1 message' : `${folder.messages} messages`;
    if (!await ask({ title: 'Remove folder',
                     text: `Remove "${folder.name}" with its ${messages}? They cannot be brought back.`,
                     ok: 'Remove' })) return;
    const [ok] = await batch([['RemoveFolder', folder.id]]);
    if (!ok) {
      say(`"${folder.name}" could not be removed.`, true);
      return;
    }
    ++state.generation;
    state.folderId = null;
    state.count = 0;
    state.rows.clear();
    closeMessage();
    await readFolders();
    renderList();
    say(`Removed the folder "${folder.name}".`);
  }

  // Why the header fields cannot be stored as they are, or null. A line
  // break would start a header line of its own.
  function composeProblem(from, to, subject) {
    if (!from.trim()) return 'Give a sender (From).';
    if (!to.trim()) return 'Give a recipient (To).';
    for (const [label, value] of [['From', from], ['To', to], ['Subject', subject]]) {
      if (/[\r\n\u2028\u2029]/.test(value)) return `${label} cannot hold a line break.`;
      if (value.includes('\0')) return `${label} cannot hold a NUL character.`;
    }
    return null;
  }

  function compose() {
    const dialog = $('compose-dialog');
    $('compose-error').textContent = '';
    const folder = chosenFolder();
    if (folder) $('compose-folder').value = String(folder.id);
    dialog.showModal();
    $('compose-from').focus();
  }

  async function storeComposed(event) {
    event.preventDefault();
    const from = $('compose-from').value;
    const to = $('compose-to').value;
    const subject = $('compose-subject').value;
    const content = $('compose-content').value;
    const problem = composeProblem(from, to, subject);
    if (problem) {
      $('compose-error').textContent = problem;
      return;
    }
    const folderId = Number($('compose-folder').value);
    const [ok] = await batch([['CreateMessage', folderId, from, to, subject, content]]);
    if (!ok) {
      $('compose-error').textContent = 'The message could not be stored.';
      return;
    }
    $('compose-dialog').close();
    $('compose-form').reset();
    state.folderId = folderId;
    state.selected = -1;
    closeMessage();
    list.scrollTop = 0;
    await reload();
    say(`Stored "${subject || '(no subject)'}".`);
  }

  // ---- contacts -------------------------------------------------------------

  async function readContacts() {
    const [count] = await batch([['GetContactCount']]);
    const calls = [];
    for (let i = 0; i < count; ++i) {
      for (const field of CONTACT_FIELDS) calls.push([field, i]);
    }
    const values = count > 0 ? await batch(calls) : [];
    const contacts = [];
    for (let i = 0; i < count; ++i) {
      const at = i * CONTACT_FIELDS.length;
      contacts.push({ name: String(values[at]), nickname: String(values[at + 1]),
                      email: String(values[at + 2]) });
    }
    return contacts;
  }

  function showContacts(shown) {
    $('contacts-pane').hidden = !shown;
    $('list-pane').hidden = shown;
    $('view-pane').hidden = shown;
    $('show-contacts').setAttribute('aria-pressed', String(shown));
    if (!shown) renderList();
  }

  async function toggleContacts() {
    const shown = $('contacts-pane').hidden;
    showContacts(shown);
    if (!shown) return;
    if (!state.contacts) state.contacts = await readContacts();
    const body = $('contacts').tBodies[0];
    body.replaceChildren(...state.contacts.map((contact) => {
      const row = document.createElement('tr');
      for (const value of [contact.name, contact.nickname, contact.email]) {
        const cell = document.createElement('td');
        cell.textContent = value;
        row.append(cell);
      }
      return row;
    }));
    $('contacts-empty').hidden = state.contacts.length > 0;
  }

  // ---- input ----------------------------------------------------------------

  // Runs an event handler's work, showing a failure on the status line.
  const guarded = (work) => (event) => {
    Promise.resolve().then(() => work(event)).catch(failed);
  };

  $('folders').addEventListener('click', guarded((event) => {
    const item = event.target.closest('li[data-id]');
    if (!item) return undefined;
    state.cursor = Number(item.dataset.index);
    return openFolder(Number(item.dataset.id));
  }));

  $('folders').addEventListener('keydown', guarded((event) => {
    const last = state.folders.length - 1;
    const moves = { ArrowDown: state.cursor + 1, ArrowUp: state.cursor - 1, Home: 0, End: last };
    if (event.key in moves) {
      event.preventDefault();
      state.cursor = Math.max(0, Math.min(last, moves[event.key]));
      renderFolders();
      $(`folder-${state.cursor}`)?.scrollIntoView({ block: 'nearest' });
    } else if (event.key === 'Enter' && state.cursor >= 0) {
      event.preventDefault();
      return openFolder(state.folders[state.cursor].id);
    }
    return undefined;
  }));

  list.addEventListener('click', guarded((event) => {
    const row = event.target.closest('.row');
    if (!row || row.hidden) return undefined;
    select(Number(row.dataset.index));
    return openMessage(Number(row.dataset.index));
  }));

  list.addEventListener('keydown', guarded((event) => {
    const page = Math.max(1, screenRows() - 1);
    const moves = { ArrowDown: state.selected + 1, ArrowUp: state.selected - 1,
                    PageDown: state.selected + page, PageUp: state.selected - page,
                    Home: 0, End: state.count - 1 };
    if (event.key in moves) {
      event.preventDefault();
      select(state.selected < 0 && event.key !== 'End' ? 0 : moves[event.key]);
    } else if (event.key === 'Enter' && state.selected >= 0) {
      event.preventDefault();
      return openMessage(state.selected);
    }
    return undefined;
  }));

  $('mark-read').addEventListener('click', guarded(() => messageAction('read')));
  $('mark-unread').addEventListener('click', guarded(() => messageAction('unread')));
  $('copy').addEventListener('click', guarded(() => messageAction('copy')));
  $('move').addEventListener('click', guarded(() => messageAction('move')));
  $('delete').addEventListener('click', guarded(() => messageAction('delete')));
  $('folder-new').addEventListener('click', guarded(newFolder));
  $('folder-rename').addEventListener('click', guarded(renameFolder));
  $('folder-remove').addEventListener('click', guarded(removeFolder));
  $('new-message').addEventListener('click', guarded(compose));
  $('compose-form').addEventListener('submit', guarded(storeComposed));
  $('compose-cancel').addEventListener('click', () => $('compose-dialog').close());
  $('show-contacts').addEventListener('click', guarded(toggleContacts));
  window.addEventListener('resize', () => {
    renderList();
    fetchRows();
  });

  // Other scripts of the page reach the server through the same queue.
  window.vornApi = { post, token };

  async function start() {
    if (!token) {
      say('This address has no token: open the address vornweb printed.', true);
      return;
    }
    say('Opening the mail store…');
    await createControl();
    await readFolders();
    say('');
    const inbox = state.folders.find((folder) => folder.type === 1) || state.folders[0];
    if (inbox) {
      state.cursor = folderIndexOf(inbox.id);
      await openFolder(inbox.id);
    }
    document.body.dataset.ready = 'true';
  }
  start().catch(failed);
})();
