'use strict';
// The harness itself: vornweb serves the page to Chromium, the page's own
// files load without the token, and the API answers only with it.
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { startSession, screenshot } = require('./harness');

let session;
before(async () => { session = await startSession(); });
after(async () => { if (session) await session.close(); });

test('the page loads and reaches the control through the API with its token', async () => {
  const { page, server } = session;
  assert.equal(await page.title() !== '', true);
  const answers = await page.evaluate(async (token) => {
    const post = (operation, body, headers) => fetch(`/api/${operation}`, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json', ...headers },
      body: JSON.stringify(body),
    }).then(async (reply) => ({ status: reply.status, body: await reply.json() }));
    const made = await post('create', { name: 'VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1' },
                            { 'X-Vorn-Token': token });
    const init = await post('call', { object: made.body.object, member: 'InitControl' },
                            { 'X-Vorn-Token': token });
    const refused = await post('call', { object: made.body.object, member: 'InitControl' }, {});
    return { made: made.status, init: init.body.result, refused: refused.status };
  }, server.token);
  assert.deepEqual(answers, { made: 201, init: true, refused: 401 });
  await screenshot(page, 'harness');
  assert.deepEqual(page.problems, ['HTTP 401: /api/call']);
});
