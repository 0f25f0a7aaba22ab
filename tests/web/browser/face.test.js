'use strict';
// The control's face in the page: its drawing on the canvas, the mouse on it
// and the events it fires back, its About box and property page.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { startSession, screenshot } = require('./harness');

let session;
before(async () => { session = await startSession({ samples: false }); });
after(async () => { if (session) await session.close(); });

const FACE = '[data-vorn-face]';

// The canvas's pixels, summed up: its size, the colour at a few places, and
// where red (the label) lies.
function readCanvas(page) {
  return page.$eval(`${FACE} canvas`, (canvas) => {
    const { width, height } = canvas;
    const data = canvas.getContext('2d').getImageData(0, 0, width, height).data;
    const hex = (x, y) => {
      const i = (y * width + x) * 4;
      return [0, 1, 2, 3].map((k) => data[i + k].toString(16).padStart(2, '0')).join('');
    };
    let red = 0;
    let redRight = -1;
    let other = 0;
    for (let y = 0; y < height; y += 1) {
      for (let x = 0; x < width; x += 1) {
        const colour = hex(x, y);
        if (colour === 'ff0000ff') {
          red += 1;
          redRight = Math.max(redRight, x);
        } else if (colour !== '000000ff') {
          other += 1;
        }
      }
    }
    const frame = canvas.parentElement;
    return { width, height, frame: [frame.clientWidth, frame.clientHeight], red, redRight, other,
             corner: hex(width - 1, height - 1) };
  });
}

test('the canvas shows the drawing at the element size and follows a resize', async () => {
  const { page } = session;
  await page.waitForSelector(`${FACE}[data-ready="true"]`);
  let seen = await readCanvas(page);
  assert.deepEqual([seen.width, seen.height], seen.frame);
  assert.equal(seen.corner, '000000ff');  // the black box fills it
  assert.ok(seen.red > 100, `red pixels: ${seen.red}`);
  assert.ok(seen.redRight < 18 * 6, `the label reaches x=${seen.redRight}`);
  assert.equal(seen.other, 0);

  await page.$eval(`${FACE} .face-frame`, (frame) => {
    frame.style.width = '420px';
    frame.style.height = '90px';
  });
  await page.waitForSelector(`${FACE}[data-drawn="420x90"]`);
  seen = await readCanvas(page);
  assert.deepEqual([seen.width, seen.height, seen.corner, seen.other], [420, 90, '000000ff', 0]);
  assert.ok(seen.redRight < 18 * 6, 'the label is not scaled with the element');
  await screenshot(page, 'face');
});

test('a click and a double click give their events in order', async () => {
  const { page } = session;
  await page.waitForSelector(`${FACE}[data-ready="true"]`);
  const box = await (await page.$(`${FACE} canvas`)).boundingBox();
  const at = (dx, dy) => [Math.round(box.x) + dx, Math.round(box.y) + dy];
  const local = ([x, y]) => [Math.round(x - box.x), Math.round(y - box.y)];
  const one = at(10, 5);
  const two = at(30, 12);
  await page.mouse.click(...one);
  await page.mouse.click(...two, { count: 2 });
  const args = ([x, y]) => `(Button=1, Shift=0, x=${x}, y=${y})`;
  const expected = [
    `MouseDown${args(local(one))}`, `MouseUp${args(local(one))}`, 'Click()',
    `MouseDown${args(local(two))}`, `MouseUp${args(local(two))}`, 'Click()',
    'DblClick()', `MouseUp${args(local(two))}`,
  ];
  const logged = () => page.$$eval(`${FACE} .face-log li[data-event]`, (items) => items
    .filter((item) => item.dataset.event !== 'MouseMove')
    .map((item) => item.textContent));
  await page.waitForFunction(
    (selector, count) => [...document.querySelectorAll(selector)]
      .filter((item) => item.dataset.event !== 'MouseMove').length >= count,
    {}, `${FACE} .face-log li[data-event]`, expected.length);
  assert.deepEqual(await logged(), expected);
  // The moves that brought the pointer there came through as well.
  const moves = await page.$$eval(`${FACE} .face-log li[data-event="MouseMove"]`,
                                  (items) => items.map((item) => item.textContent));
  assert.ok(moves.includes(`MouseMove(Button=0, Shift=0, x=${local(two)[0]}, y=${local(two)[1]})`),
            moves.join('\n'));
});

test('the face makes its control again after the server released it', async () => {
  const { page, server } = session;
  await page.waitForSelector(`${FACE}[data-ready="true"]`);
  await page.evaluate(async (token) => {
    for (let object = 1; object <= 10; ++object) {
      await fetch('/api/release', {
        method: 'POST',
        headers: { 'Content-Type': 'application/json', 'X-Vorn-Token': token },
        body: JSON.stringify({ object }),
      });
    }
  }, server.token);
  await page.waitForSelector(`${FACE} .face-note`);
  const box = await (await page.$(`${FACE} canvas`)).boundingBox();
  await page.mouse.click(box.x + 4, box.y + 4);
  await page.waitForFunction((selector) => {
    const items = [...document.querySelectorAll(selector)].map((item) => item.textContent);
    return items.slice(items.indexOf('(the control was made again)')).includes('Click()');
  }, {}, `${FACE} .face-log li`);
  page.problems = page.problems.filter((p) => !/^HTTP 404: \/api\/(release|events)$/.test(p));
});

test('the About box and the property page open in the page and close by their buttons',
     async () => {
  const { page } = session;
  await page.waitForSelector(`${FACE}[data-ready="true"]`);
  await page.click(`${FACE} .face-about`);
  const about = await page.waitForSelector(`${FACE} dialog.face-dialog[open]`);
  const texts = await about.$$eval('.face-dialog-caption, .face-dialog-text, button',
                                   (items) => items.map((item) => item.textContent));
  assert.equal(texts[0], 'About Vorn Outlook Express ActiveX Control');
  assert.ok(texts.includes('Vorn Outlook Express ActiveX Control, Version 1.0'), texts.join('|'));
  assert.equal(texts.at(-1), 'OK');
  // The icon is drawn, and the OK button sits where the template puts it.
  assert.ok(await about.$eval('canvas.face-icon', (icon) => icon.width === 40));
  assert.deepEqual(await about.$eval('button', (b) => [b.style.left, b.style.top]),
                   ['442px', '28px']);
  // As large as its template, whatever the page's own dialogs look like.
  assert.deepEqual(await about.evaluate((d) => [d.clientWidth, d.clientHeight]), [520, 124]);
  // The About call is still running: its button waits.
  assert.equal(await page.$eval(`${FACE} .face-about`, (b) => b.disabled), true);
  await screenshot(page, 'face-about');
  await about.$eval('button', (b) => b.click());
  await page.waitForFunction((selector) => !document.querySelector(selector),
                             {}, `${FACE} dialog.face-dialog`);
  await page.waitForFunction((selector) => !document.querySelector(selector).disabled,
                             {}, `${FACE} .face-about`);

  await page.click(`${FACE} .face-properties`);
  const frame = await page.waitForSelector(`${FACE} dialog.face-property-frame[open]`);
  assert.match(await frame.evaluate((d) => d.textContent),
               /All Properties of Vorn Outlook Express ActiveX Control show/);
  await screenshot(page, 'face-properties');
  await frame.$$eval('button', (buttons) => buttons.find((b) => b.textContent === 'Cancel').click());
  await page.waitForFunction((selector) => !document.querySelector(selector).disabled,
                             {}, `${FACE} .face-properties`);
  assert.equal(await page.$(`${FACE} dialog.face-dialog`), null);
  assert.deepEqual(session.page.problems, []);
});
