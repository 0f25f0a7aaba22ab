'use strict';
// The Node binding's own work against TestThing (tests/hosts/test_thing.h),
// registered by vornreg into a root of this file's own: conversions both
// ways, errors with their codes, events, release and collection, and a
// worker thread.
const { test, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const v8 = require('node:v8');
const vm = require('node:vm');
const { Worker } = require('node:worker_threads');

const root = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-node-'));
after(() => fs.rmSync(root, { recursive: true, force: true }));
process.env.VORN_ROOT = root;
const registered = spawnSync(path.join(process.env.VORN_BIN_DIR, 'vornreg'),
                             [process.env.VORN_TEST_THING], { encoding: 'utf8' });
assert.equal(registered.status, 0, registered.stdout + registered.stderr);

const { ActiveXObject, connect, release } = require('vorn');
const PROGID = 'Vorn.TestThing';

v8.setFlagsFromString('--expose-gc');
const gc = vm.runInNewContext('gc');
async function collect() {
  for (let i = 0; i < 3; ++i) {
    gc();
    await new Promise((resolve) => setImmediate(resolve));
  }
}

test('members come from the type information', () => {
  const t = new ActiveXObject(PROGID);
  assert.ok(t instanceof ActiveXObject);
  assert.equal(String(t), '[object ActiveXObject]');
  assert.deepEqual(Object.keys(t).sort(), ['Add', 'Concat', 'Count', 'Describe', 'Fail', 'Fire',
                                           'Make', 'Optional', 'Raise', 'Value']);
  assert.equal(typeof Object.getOwnPropertyDescriptor(t, 'Value').get, 'function');
  t.Value = 41;
  assert.equal(t.Value + 1, 42);
  const { Add } = t;  // a method works apart from its object
  assert.equal(Add(2, 3), 5);
  assert.equal(t.Optional(1), 11);
  // A member the type information leaves out is found by its name.
  assert.equal(t.Secret(), 7);
  assert.equal(t.NoSuchMember, undefined);
  assert.equal(t.then, undefined);  // so an object can be awaited
  assert.ok(!Object.keys(t).includes('Secret'));
  // The same object by its class id.
  assert.equal(new ActiveXObject('{7D0B58E2-3C1A-4F0E-9B6D-2A5C8E1F4B01}').Add(1, 1), 2);
});

test('script values become VARIANTs', () => {
  const t = new ActiveXObject(PROGID);
  const cases = [
    [42, 'I4 42'], [-2147483648, 'I4 -2147483648'], [2147483648, 'R8 2147483648'],
    [2.5, 'R8 2.5'], [true, 'BOOL -1'], [false, 'BOOL 0'], [null, 'NULL'], [undefined, 'EMPTY'],
    ['abc', 'BSTR abc (3 units)'], ['a\u{1F600}\u00E9', 'BSTR a\u{1F600}\u00E9 (4 units)'],
    ['', 'BSTR  (0 units)'], [t, 'DISPATCH TestThing'],
  ];
  for (const [value, described] of cases) assert.equal(t.Describe(value), described, String(value));
  assert.equal(t.Concat('x\u0000y', 'z').length, 4);  // an embedded NUL is kept
  for (const [value, kind] of [[() => 1, 'a function'], [[1], 'an array'], [{}, 'an object'],
                               [Symbol('s'), 'a symbol'], [10n, 'a bigint']]) {
    assert.throws(() => t.Concat('a', value), (e) => e instanceof TypeError &&
                  e.message.startsWith(`Concat: argument 2: cannot pass ${kind}`) &&
                  e.member === 'Concat' && e.hresult === 0x80020005);
  }
});

test('VARIANT results become script values', () => {
  const t = new ActiveXObject(PROGID);
  const cases = [
    ['i2', -5], ['ui1', 200], ['r4', 1.5], ['i8', 2 ** 40], ['byref', 77], ['true', true],
    ['false', false], ['text', 'a\u{1F600}\u00E9'], ['nulltext', ''], ['null', null],
    ['empty', undefined], ['nothing', null], ['error', -2147467259],
  ];
  for (const [kind, value] of cases) assert.equal(t.Make(kind), value, kind);
  const self = t.Make('self');
  assert.ok(self instanceof ActiveXObject);
  assert.equal(self.Add(20, 22), 42);
  assert.throws(() => t.Make('record'), /^Error: Make: the result cannot be used: its value of type 36/);
});

test('a failed call names the member, the code and its meaning', () => {
  const t = new ActiveXObject(PROGID);
  const cases = [
    [() => t.Fail(0x80004005 | 0), 'Fail', 0x80004005, /^Fail: 0x80004005 E_FAIL: /],
    [() => t.Raise('no paper'), 'Raise', 0x80040201, /^Raise: 0x80040201 TestThing: no paper$/],
    [() => t.Add(1), 'Add', 0x8002000E,
     /^Add: 0x8002000E DISP_E_BADPARAMCOUNT: .* Add takes 2 arguments, not 1\.$/],
    [() => t.Optional(1, 2, 3), 'Optional', 0x8002000E, /Optional takes 1 to 2 arguments, not 3/],
    [() => t.Add(1, 'x'), 'Add', 0x80020005, /^Add: 0x80020005 DISP_E_TYPEMISMATCH: .*\(argument 2\)$/],
    [() => new ActiveXObject('Vorn.NoSuchThing'), 'ActiveXObject', 0x800401F3,
     /^ActiveXObject\("Vorn.NoSuchThing"\): 0x800401F3 /],
  ];
  for (const [call, member, hresult, message] of cases) {
    assert.throws(call, (e) => {
      assert.ok(e instanceof Error);
      assert.match(e.message, message);
      assert.equal(e.member, member);
      assert.equal(e.hresult, hresult);
      return true;
    });
  }
  assert.throws(() => new ActiveXObject(), TypeError);
  assert.equal(t.Add(1, 2), 3);  // the object still works
});

test('events reach their handlers until disconnected', () => {
  const t = new ActiveXObject(PROGID);
  const seen = [];
  const handlers = {
    Ping(n) { seen.push(['Ping', n, this === handlers]); },
    Done() { seen.push(['Done']); },
  };
  const disconnect = connect(t, handlers);
  t.Fire(3);
  assert.deepEqual(seen, [['Ping', 3, true], ['Done']]);
  disconnect();
  disconnect();
  t.Fire(4);
  assert.equal(seen.length, 2);

  assert.throws(() => connect(t, { Pong() {} }),
                /^Error: connect: the object has no event "Pong" \(its events: Ping, Done\)$/);
  assert.throws(() => connect({}, {}), TypeError);

  // A handler's error ends the call that fired the event.
  const failure = new RangeError('handler failed');
  connect(t, { Ping() { throw failure; } });
  assert.throws(() => t.Fire(1), (e) => e === failure);
  // A handler that releases its object ends that object's connections.
  const u = new ActiveXObject(PROGID);
  const pings = [];
  connect(u, { Ping(n) { pings.push(n); release(u); } });
  u.Fire(5);
  assert.deepEqual(pings, [5]);
  assert.throws(() => u.Fire(6), /^Error: Fire: the object has been released$/);
});

test('release lets go at once; collection lets go of what the script dropped', async () => {
  await collect();  // what earlier tests left
  const t = new ActiveXObject(PROGID);
  const alive = t.Count();
  const u = new ActiveXObject(PROGID);
  assert.equal(t.Count(), alive + 1);
  release(u);
  release(u);
  assert.equal(t.Count(), alive);
  assert.throws(() => u.Add(1, 2), (e) => e.message === 'Add: the object has been released' &&
                e.member === 'Add');
  assert.throws(() => u.Value, /Value: the object has been released/);
  assert.throws(() => t.Describe(u), /^TypeError: Describe: argument 1: the object has been released$/);
  assert.throws(() => connect(u, {}), /connect: the object has been released/);

  // Dropped objects go when collected; a member function kept keeps its object.
  let add = (() => { for (let i = 0; i < 5; ++i) new ActiveXObject(PROGID); return new ActiveXObject(PROGID).Add; })();
  t.Make('self');
  await collect();
  assert.equal(t.Count(), alive + 1);
  assert.equal(add(2, 2), 4);
  add = null;
  await collect();
  assert.equal(t.Count(), alive);
});

test('a worker thread has a runtime of its own and lets go of its objects when it ends', async () => {
  const t = new ActiveXObject(PROGID);
  const alive = t.Count();
  const worker = new Worker(`
    const { parentPort } = require('node:worker_threads');
    const { ActiveXObject, connect } = require('vorn');
    const kept = [new ActiveXObject('${PROGID}'), new ActiveXObject('${PROGID}')];
    const pings = [];
    connect(kept[0], { Ping(n) { pings.push(n); } });
    kept[0].Fire(kept[1].Add(40, 2));
    parentPort.postMessage({ pings, alive: kept[0].Count() });
  `, { eval: true });
  const [message] = await Promise.all([
    new Promise((resolve, reject) => { worker.once('message', resolve); worker.once('error', reject); }),
    new Promise((resolve) => worker.once('exit', resolve)),
  ]);
  assert.deepEqual(message, { pings: [42], alive: alive + 2 });
  assert.equal(t.Count(), alive);
  assert.equal(t.Add(1, 1), 2);
});
