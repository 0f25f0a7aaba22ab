'use strict';
// Listing a folder of N messages (100,000 by default) from Node.js: SetFolder,
// then the subject, sender and sent time of each message, through the vorn
// addon; against the same listing through IDispatch from C++ (the listing
// process of bench_store_load), on the same store in the same run.
//
// A fresh root gets the control and the services registered and N generated
// messages imported into its Inbox with vornimport. The two listings then
// take turns, each in a process of its own, three times; each process lists
// five times. Figures are processor time of the listing process (the machine
// is shared), the best of all runs, wall time beside them. Both listings
// count the UTF-16 units they read, so that they are seen to read the same.
//
//   bench_node_listing [N]      (node bench/node_listing.js --bin DIR [N])

const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const PROGID = 'VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1';
const REPEATS = 5;
const PROCESSES = 3;

// ---- the listing (in a process of its own) ------------------------------------

function list(inbox, count) {
  const { ActiveXObject, release } = require('vorn');
  const c = new ActiveXObject(PROGID);
  if (!c.InitControl()) throw new Error('InitControl failed');
  let best = { cpu: Infinity, wall: Infinity };
  let units = 0;
  for (let r = 0; r < REPEATS; ++r) {
    const cpu = process.cpuUsage();
    const wall = process.hrtime.bigint();
    if (!c.SetFolder(inbox)) throw new Error('SetFolder failed');
    const n = c.GetMessageCount();
    if (n !== count) throw new Error(`listed ${n} of ${count}`);
    for (let i = 0; i < n; ++i) {
      units += c.GetMessageSubject(i).length + c.GetMessageDisplayFrom(i).length +
               c.GetMessageSentTime(i).length;
    }
    const used = process.cpuUsage(cpu);
    const seconds = {
      cpu: (used.user + used.system) / 1e6,
      wall: Number(process.hrtime.bigint() - wall) / 1e9,
    };
    best = { cpu: Math.min(best.cpu, seconds.cpu), wall: Math.min(best.wall, seconds.wall) };
  }
  release(c);
  console.log(`node ${best.cpu} ${best.wall} 0 0 0 ${units / REPEATS}`);
}

// ---- the driver ---------------------------------------------------------------------

// A seeded generator, so that every run lists the same store.
function random(seed) {
  return () => {
    seed = (seed + 0x6D2B79F5) | 0;
    let t = Math.imul(seed ^ (seed >>> 15), 1 | seed);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

// An mbox of `count` messages as mail looks: a sender with a display name,
// two recipients, a subject that is sometimes a reply, a date, a short body.
function writeMbox(file, count) {
  const names = ['Alice Martin', 'Bob Lefèvre', 'Chloé Durand', 'David Moreau', 'Emma Bernard',
                 'François Petit'];
  const topics = ['Quarterly report', 'Lunch on Friday', 'Build failures on the main branch',
                  'Invoice 2023-114', 'Meeting notes', 'Holiday plans'];
  const next = random(42);
  const pick = (list) => list[Math.floor(next() * list.length)];
  const two = (n) => String(n).padStart(2, '0');
  const out = fs.openSync(file, 'w');
  let chunk = '';
  for (let i = 0; i < count; ++i) {
    const subject = `${next() < 0.25 ? 'Re: ' : ''}${pick(topics)} #${i}`;
    const date = `Tue, ${1 + (i % 28)} Jan 2023 ${two(Math.floor(i / 3600) % 24)}:` +
                 `${two(Math.floor(i / 60) % 60)}:${two(i % 60)} +0100`;
    chunk += `From sender${i % 97}@example.org Tue Jan  3 10:00:00 2023\n` +
             `From: "${pick(names)}" <sender${i % 97}@example.org>\n` +
             'To: Reader One <one@example.org>, two@example.org\n' +
             `Subject: ${subject}\nDate: ${date}\n` +
             `Message-ID: <${i}.node-bench@example.org>\n` +
             'MIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n\n' +
             'Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod.\n\n';
    if (chunk.length > 1 << 20) {
      fs.writeSync(out, chunk);
      chunk = '';
    }
  }
  fs.writeSync(out, chunk);
  fs.closeSync(out);
}

function run(program, args, env) {
  const result = spawnSync(program, args, { env, encoding: 'utf8', maxBuffer: 1 << 26 });
  if (result.status !== 0) {
    throw new Error(`${path.basename(program)} ${args.join(' ')} failed:\n${result.stderr}`);
  }
  return result.stdout;
}

// Runs one listing process; folds its figures into `best`.
function measure(program, args, env, best) {
  const [, cpu, wall, , , , units] = run(program, args, env).trim().split(/\s+/).map(Number);
  return {
    cpu: Math.min(best.cpu, cpu),
    wall: Math.min(best.wall, wall),
    units,
  };
}

function main(argv) {
  if (argv[0] === '--list') return list(Number(argv[1]), Number(argv[2]));
  const binAt = argv.indexOf('--bin');
  if (binAt < 0) throw new Error('usage: node_listing.js --bin DIR [N]');
  const bin = argv[binAt + 1];
  argv.splice(binAt, 2);
  const count = argv.length > 0 ? Number(argv[0]) : 100000;
  if (!(count > 0)) throw new Error('usage: bench_node_listing [messages]');

  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-node-bench-'));
  try {
    const env = { ...process.env, VORN_ROOT: root };
    run(path.join(bin, 'vornreg'), ['VORNOUTLOOKEXPRESS.OCX', 'vornstore.so', 'vornmime.so',
                                    'vornwab.so'].map((lib) => path.join(bin, lib)), env);
    const mbox = path.join(root, 'bench.mbox');
    writeMbox(mbox, count);
    const started = process.hrtime.bigint();
    run(path.join(bin, 'vornimport'), [mbox], env);
    const importSeconds = Number(process.hrtime.bigint() - started) / 1e9;
    fs.rmSync(mbox);
    console.log(`import: ${count} messages with vornimport in ${importSeconds.toFixed(1)} s (wall)`);

    // The Inbox's identifier, read once through the control.
    const inbox = Number(run(process.execPath, ['-e', `
      const { ActiveXObject } = require('vorn');
      const c = new ActiveXObject('${PROGID}');
      c.InitControl();
      console.log(c.GetFolderId(0));`], env));

    let dispatch = { cpu: Infinity, wall: Infinity };
    let node = { cpu: Infinity, wall: Infinity };
    const listing = ['--list', String(inbox), String(count)];
    for (let p = 0; p < PROCESSES; ++p) {
      dispatch = measure(path.join(bin, 'bench_store_load'), ['--list', 'dispatch', ...listing.slice(1)],
                         env, dispatch);
      node = measure(process.execPath, [__filename, ...listing], env, node);
    }
    console.log(`listing ${count} messages (SetFolder, then subject, sender and sent time of ` +
                `each), best of ${REPEATS * PROCESSES} runs in ${PROCESSES} processes each:`);
    console.log(`  IDispatch from C++  ${dispatch.cpu.toFixed(3)} s processor ` +
                `(${dispatch.wall.toFixed(3)} s wall), ${dispatch.units} UTF-16 units read`);
    console.log(`  Node.js (vorn)      ${node.cpu.toFixed(3)} s processor ` +
                `(${node.wall.toFixed(3)} s wall), ${node.units} UTF-16 units read`);
    console.log(`  ratio               ${(node.cpu / dispatch.cpu).toFixed(2)} ` +
                `(goal: within 1.5; wall ${(node.wall / dispatch.wall).toFixed(2)})`);
    if (node.units !== dispatch.units) console.log('  the two listings read different texts');
  } finally {
    fs.rmSync(root, { recursive: true, force: true });
  }
}

main(process.argv.slice(2));
