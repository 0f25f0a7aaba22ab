'use strict';
// The mail page on the sample root (scripts/setup-root), used the way a
// person uses it: by clicking and typing. The cases share one page and run
// in order; each leaves the store as the next one expects it.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { startSession, screenshot } = require('./harness');

let session;
let page;
before(async () => {
  session = await startSession({ width: 1200, height: 800 });
  page = session.page;
  await page.waitForSelector('body[data-ready="true"]');
});
after(async () => { if (session) await session.close(); });

// The folder tree as shown: name, depth, message and unread counts.
function folders() {
  return page.$$eval('#folders li', (items) => items.map((item) => ({
    name: item.querySelector('.name').textContent,
    depth: Number(item.getAttribute('aria-level')) - 1,
    messages: Number(item.querySelector('.count').textContent),
    unread: Number(item.querySelector('.unread')?.textContent ?? 0),
  })));
}

async function folder(name) {
  return (await folders()).find((f) => f.name === name);
}

// The message rows on screen: [sent, from, subject], once none is loading.
async function rows() {
  await page.waitForFunction(() => !document.querySelector('.row.loading:not([hidden])'));
  return page.$$eval('.row:not([hidden])', (items) => items.map(
    (row) => [...row.children].map((cell) => cell.textContent)));
}

async function clickFolder(name) {
  const items = await page.$$('#folders li');
  for (const item of items) {
    if (await item.$eval('.name', (n) => n.textContent) === name) {
      await item.click();
      await page.waitForFunction((n) => {
        const chosen = document.querySelector('#folders li[aria-selected="true"] .name');
        return chosen && chosen.textContent === n;
      }, {}, name);
      return;
    }
  }
  throw new Error(`no folder ${name}`);
}

async function clickRow(subject) {
  const row = await page.waitForFunction((s) => [...document.querySelectorAll('.row:not([hidden])')]
    .find((r) => r.querySelector('.subject').textContent === s), {}, subject);
  await row.asElement().click();
  await page.waitForFunction((s) => !document.querySelector('#view').hidden &&
    document.querySelector('#view-subject').textContent === s, {}, subject);
}

// Waits until the status line says `text` (the end of an action).
function statusIs(text) {
  return page.waitForFunction((t) => document.querySelector('#status').textContent === t, {}, text);
}

test('the folder tree with depths and counts, the Inbox listed', async () => {
  assert.deepEqual(await folders(), [
    { name: 'Inbox', depth: 0, messages: 5, unread: 2 },
    { name: 'Outbox', depth: 0, messages: 0, unread: 0 },
    { name: 'Sent Items', depth: 0, messages: 0, unread: 0 },
    { name: 'Deleted Items', depth: 0, messages: 0, unread: 0 },
    { name: 'Drafts', depth: 0, messages: 0, unread: 0 },
    { name: 'Archive', depth: 0, messages: 0, unread: 0 },
    { name: '2025', depth: 1, messages: 3, unread: 3 },
  ]);
  assert.deepEqual(await rows(), [
    ['2026-03-02 08:14', 'Alice Martin', 'Lunch on Thursday?'],
    ['2026-03-03 17:40', 'Northwind Garden Club', 'Spring planting schedule'],
    ['2026-03-05 09:02', 'Carlos Pereira', 'Minutes and budget for the May meeting'],
    ['2026-03-06 19:25', 'Jürgen Müller', 'Grüße aus München - Fotos vom Wochenende'],
    ['2026-03-08 11:47', '佐藤 花子', '月例会議の資料 (slides for the monthly meeting)'],
  ]);
});

test('a message read with its body and attachment names', async () => {
  await clickRow('Minutes and budget for the May meeting');
  const view = await page.$eval('#view', () => ({
    from: document.querySelector('#view-from').textContent,
    to: document.querySelector('#view-to').textContent,
    body: document.querySelector('#view-body').textContent,
    attachments: [...document.querySelectorAll('#view-attachments li')].map((li) => li.textContent),
  }));
  assert.equal(view.from, 'Carlos Pereira');
  assert.equal(view.to, 'Bob Keller; Alice Martin');
  assert.match(view.body, /^Hello both,\n\nattached are the minutes/);
  assert.deepEqual(view.attachments, ['minutes-2026-03-04.txt', 'budget.csv']);
  await clickRow('月例会議の資料 (slides for the monthly meeting)');
  await screenshot(page, 'mail-message');
});

test('arrows move through the list and Enter opens the message', async () => {
  await page.focus('#list');
  await page.keyboard.press('Home');
  await page.keyboard.press('ArrowDown');
  await page.keyboard.press('ArrowDown');
  await page.keyboard.press('ArrowUp');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() =>
    document.querySelector('#view-subject').textContent === 'Spring planting schedule');
  await page.keyboard.press('End');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.querySelector('#view-subject').textContent ===
    '月例会議の資料 (slides for the monthly meeting)');
});

test('marking a message read and unread changes the unread count', async () => {
  await clickRow('Spring planting schedule');  // an unread one
  await page.click('#mark-read');
  await statusIs('Marked "Spring planting schedule" read.');
  assert.equal((await folder('Inbox')).unread, 1);
  // The list keeps its place and the message stays open.
  assert.equal(await page.$eval('#view-subject', (h) => h.textContent), 'Spring planting schedule');
  await page.click('#mark-unread');
  await statusIs('Marked "Spring planting schedule" unread.');
  assert.equal((await folder('Inbox')).unread, 2);
});

test('a message moved to another folder is found there', async () => {
  await clickRow('Lunch on Thursday?');
  await page.select('#target-folder', String(await page.$eval('#folders li:last-child',
                                                              (li) => li.dataset.id)));
  await page.click('#move');
  await statusIs('Moved "Lunch on Thursday?" to 2025.');
  assert.equal((await folder('Inbox')).messages, 4);
  assert.equal((await folder('2025')).messages, 4);
  assert.ok(!(await rows()).some((r) => r[2] === 'Lunch on Thursday?'));
  await clickFolder('2025');
  assert.ok((await rows()).some((r) => r[2] === 'Lunch on Thursday?'));
});

test('a folder made, renamed and removed; its name shown as text', async () => {
  await clickFolder('Inbox');
  await page.click('#folder-new');
  await page.type('#folder-name', 'Projects');
  await page.click('#folder-ok');
  await statusIs('Made the folder "Projects".');
  assert.deepEqual(await folder('Projects'), { name: 'Projects', depth: 0, messages: 0, unread: 0 });

  // A name the parent already has keeps the dialog open with the reason.
  await page.click('#folder-new');
  await page.type('#folder-name', 'Inbox');
  await page.click('#folder-ok');
  await page.waitForFunction(() => document.querySelector('#folder-error').textContent !== '');
  assert.equal(await page.$eval('#folder-dialog', (d) => d.open), true);
  await page.click('#folder-cancel');
  assert.equal((await folders()).filter((f) => f.name === 'Inbox').length, 1);

  await clickFolder('Projects');
  await page.click('#folder-rename');
  await page.$eval('#folder-name', (input) => { input.value = ''; });
  await page.type('#folder-name', 'Plans <b>2026</b>');
  await page.click('#folder-ok');
  await statusIs('Renamed "Projects" to "Plans <b>2026</b>".');
  assert.ok(await folder('Plans <b>2026</b>'));
  assert.equal(await page.$$eval('#folders b, #target-folder b', (b) => b.length), 0);

  await page.click('#folder-remove');
  await page.click('#folder-ok');
  await statusIs('Removed the folder "Plans <b>2026</b>".');
  assert.equal(await folder('Plans <b>2026</b>'), undefined);
  assert.equal((await folders()).length, 7);
});

test('a new message from the form; the form refuses a message without recipient', async () => {
  await page.click('#new-message');
  const drafts = await page.$eval('#folders li:nth-child(5)', (li) => li.dataset.id);
  await page.select('#compose-folder', drafts);
  await page.type('#compose-from', 'Tour Guide <guide@example.org>');
  await page.type('#compose-subject', 'Written in the browser');
  await page.type('#compose-content', 'Two lines\nof text.');
  await page.click('#compose-ok');
  await page.waitForFunction(() => document.querySelector('#compose-error').textContent !== '');
  assert.equal(await page.$eval('#compose-error', (e) => e.textContent), 'Give a recipient (To).');
  assert.equal((await folder('Drafts')).messages, 0);

  await page.type('#compose-to', 'Reader <reader@example.org>');
  await page.click('#compose-ok');
  await statusIs('Stored "Written in the browser".');
  assert.equal((await folder('Drafts')).messages, 1);
  // It has no Date header, so no sent time.
  assert.deepEqual(await rows(), [['', 'Tour Guide', 'Written in the browser']]);
  await clickRow('Written in the browser');
  assert.equal(await page.$eval('#view-body', (b) => b.textContent), 'Two lines\nof text.');
});

test('markup in a subject and a body is shown as text and never run', async () => {
  const subject = '<img src=x onerror="window.ran=1">';
  const body = '<script>window.ran = 2</script><b>bold?</b>';
  await page.click('#new-message');
  await page.type('#compose-from', 'mallory@example.org');
  await page.type('#compose-to', 'reader@example.org');
  await page.type('#compose-subject', subject);
  await page.type('#compose-content', body);
  await page.click('#compose-ok');
  await statusIs(`Stored "${subject}".`);
  await clickRow(subject);
  const seen = await page.evaluate(() => ({
    ran: window.ran ?? null,
    elements: document.querySelectorAll('main img, main script, main b').length,
    row: [...document.querySelectorAll('.row:not([hidden]) .subject')].map((s) => s.textContent),
    body: document.querySelector('#view-body').textContent,
  }));
  assert.deepEqual(seen, { ran: null, elements: 0,
                           row: ['Written in the browser', subject], body });
  await screenshot(page, 'mail-markup-as-text');
});

test('the contacts', async () => {
  await page.click('#show-contacts');
  await page.waitForSelector('#contacts tbody tr');
  const contacts = await page.$$eval('#contacts tbody tr', (trs) => trs.map(
    (tr) => [...tr.children].map((td) => td.textContent)));
  assert.equal(contacts.length, 6);
  assert.deepEqual(contacts[0], ['Alice Martin', 'Ali', 'alice.martin@example.org']);
  assert.deepEqual(contacts[4], ['佐藤 花子', 'Hana', 'hanako.sato@example.jp']);
  await screenshot(page, 'mail-contacts');
  await page.click('#show-contacts');
});

test('the page carries on after the server released its control (a long idle time)', async () => {
  // The page's objects are among the first the server numbered.
  await page.evaluate(async () => {
    for (let object = 1; object <= 20; ++object) {
      await window.vornApi.post('release', { object }).catch(() => {});
    }
  });
  await clickFolder('2025');
  assert.ok((await rows()).some((r) => r[2] === 'Lunch on Thursday?'));
  await clickRow('Lunch on Thursday?');
});

test('a narrow window puts the folders above the list above the message', async () => {
  await clickFolder('Inbox');
  await clickRow('Minutes and budget for the May meeting');
  await page.setViewport({ width: 420, height: 860 });
  const box = (selector) => page.$eval(selector, (e) => {
    const r = e.getBoundingClientRect();
    return { top: r.top, bottom: r.bottom, left: r.left, width: r.width };
  });
  const [foldersPane, listPane, viewPane] = [await box('#folders-pane'), await box('#list-pane'),
                                             await box('#view-pane')];
  assert.ok(foldersPane.bottom <= listPane.top && listPane.bottom <= viewPane.top);
  assert.ok(listPane.width <= 420 && listPane.left === 0);
  // Every row still shows its subject.
  assert.ok((await rows()).every((r) => r[2] !== ''));
  await screenshot(page, 'mail-narrow');
  await page.setViewport({ width: 1200, height: 800 });
  // The releases above answer 404 for the numbers that named no object, the
  // page's first batch after them 404 for its released control, and the
  // wait for the face's events 404 for the face's.
  assert.deepEqual(page.problems.filter((p) => !/^HTTP 404: \/api\/(release|batch|events)$/.test(p)),
                   []);
});
