'use strict';
// The tour's steps (examples/tour.js, unchanged) through the Node binding in
// a fresh root set up as scripts/run sets one up, and the ES module example
// examples/node/list-folders.mjs after it: their output is what vornhost
// prints for the same steps (tests/e2e/golden).
const { test, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const source = process.env.VORN_SOURCE_DIR;
const root = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-node-tour-'));
after(() => fs.rmSync(root, { recursive: true, force: true }));
const env = { ...process.env, VORN_ROOT: root };

function golden(name) {
  return fs.readFileSync(path.join(source, 'tests/e2e/golden', name), 'utf8');
}

function node(args) {
  return spawnSync(process.execPath, args, { env, encoding: 'utf8' });
}

// Runs a script written for vornhost, with its ActiveXObject and echo.
const RUN_HOST_SCRIPT = `
  const fs = require('node:fs');
  const vm = require('node:vm');
  const { ActiveXObject } = require('vorn');
  const file = process.argv[1];
  const echo = (...values) => process.stdout.write(values.map(String).join(' ') + '\\n');
  vm.runInNewContext(fs.readFileSync(file, 'utf8'), { ActiveXObject, echo }, { filename: file });
`;

test('the tour and the folder listing from a fresh root', () => {
  const setup = spawnSync(path.join(source, 'scripts/setup-root'),
                          ['--bin', process.env.VORN_BIN_DIR], { env, encoding: 'utf8' });
  assert.equal(setup.status, 0, setup.stderr);

  const tour = node(['-e', RUN_HOST_SCRIPT, path.join(source, 'examples/tour.js')]);
  assert.equal(tour.stderr, '');
  assert.equal(tour.status, 0);
  assert.equal(tour.stdout, golden('tour.out'));

  const register = path.join(process.env.NODE_PATH, 'vorn', 'register.mjs');
  const list = node(['--import', register, path.join(source, 'examples/node/list-folders.mjs')]);
  assert.equal(list.stderr, '');
  assert.equal(list.status, 0);
  assert.equal(list.stdout, golden('list-folders.out'));
});
