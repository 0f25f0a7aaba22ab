'use strict';
// What the browser tests share: a fresh platform root, vornweb serving it on
// 127.0.0.1, and headless Chromium (Debian's) driven by puppeteer-core.
// Each test file starts one vornweb and one browser and uses them for all its
// cases (startSession); everything is stopped and removed by close().
//
// The environment, set by the ctest registration:
//   VORN_BIN_DIR       the built programs (vornweb, vornreg, vornimport, ...)
//   VORN_SOURCE_DIR    the source tree (scripts/setup-root, examples/)
//   VORN_BROWSER_OUT   where screenshots go (created when missing)
//   NODE_PATH          the node_modules folder holding puppeteer-core
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const puppeteer = require('puppeteer-core');

const binDir = process.env.VORN_BIN_DIR;
const sourceDir = process.env.VORN_SOURCE_DIR;
const outputDir = process.env.VORN_BROWSER_OUT || path.join(os.tmpdir(), 'vorn-browser-out');
const chromiumPath = process.env.VORN_CHROMIUM || '/usr/bin/chromium';

// Flags that keep Chromium from reaching out to the network (the machines
// the tests run on refuse it) and from anything a test does not need.
const chromiumFlags = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--disable-default-apps', '--disable-extensions',
];

function tempDir(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

// A new platform root. With samples (the default) it is set up exactly as
// scripts/run sets one up: the libraries registered, the sample mail and
// contacts in it. Without, only the libraries are registered (the store is
// created empty on first use). Returns the root's path.
function makeRoot({ samples = true } = {}) {
  const root = tempDir('vorn-browser-root-');
  const env = { ...process.env, VORN_ROOT: root };
  let result;
  if (samples) {
    result = spawnSync(path.join(sourceDir, 'scripts/setup-root'), ['--bin', binDir],
                       { env, encoding: 'utf8' });
  } else {
    const libs = ['VORNOUTLOOKEXPRESS.OCX', 'vornstore.so', 'vornmime.so', 'vornwab.so']
      .map((name) => fs.realpathSync(path.join(binDir, name)));
    result = spawnSync(path.join(binDir, 'vornreg'), libs, { env, encoding: 'utf8' });
  }
  if (result.status !== 0) {
    throw new Error(`setting up ${root} failed: ${result.stdout}${result.stderr}`);
  }
  return root;
}

// Runs a program of the build with the root as VORN_ROOT; throws when it
// fails. Returns its standard output.
function runTool(root, name, args) {
  const result = spawnSync(path.join(binDir, name), args,
                           { env: { ...process.env, VORN_ROOT: root }, encoding: 'utf8' });
  if (result.status !== 0) {
    throw new Error(`${name} ${args.join(' ')} failed (${result.status}): ${result.stderr}`);
  }
  return result.stdout;
}

// Starts vornweb on the root (any free port) and waits for its address.
// Resolves to { url, origin, token, port, log, child, stop }: `log` collects
// the lines it prints after the address; stop() ends it with SIGTERM and
// resolves to its exit status.
function startVornweb(root, args = []) {
  const child = spawn(path.join(binDir, 'vornweb'), args, {
    env: { ...process.env, VORN_ROOT: root },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  const log = [];
  let stderr = '';
  child.stderr.on('data', (chunk) => { stderr += chunk; });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve(code ?? signal)));
  return new Promise((resolve, reject) => {
    const lines = readline.createInterface({ input: child.stdout });
    let server = null;
    lines.on('line', (line) => {
      if (server) {
        log.push(line);
        return;
      }
      const match = /^http:\/\/127\.0\.0\.1:(\d+)\/#token=([0-9a-f]+)$/.exec(line);
      if (!match) {
        child.kill('SIGTERM');
        reject(new Error(`vornweb printed "${line}" instead of its address`));
        return;
      }
      server = {
        url: line,
        origin: `http://127.0.0.1:${match[1]}`,
        port: Number(match[1]),
        token: match[2],
        log,
        child,
        stop() {
          if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
          return exited;
        },
      };
      resolve(server);
    });
    exited.then((status) => {
      if (!server) reject(new Error(`vornweb ended (${status}) before its address: ${stderr}`));
    });
  });
}

// Debian's Chromium, headless, with a profile of its own that close()
// removes.
async function launchChromium() {
  const profile = tempDir('vorn-chromium-');
  const browser = await puppeteer.launch({
    executablePath: chromiumPath,
    headless: true,
    userDataDir: profile,
    args: chromiumFlags,
    defaultViewport: null,
  });
  const close = browser.close.bind(browser);
  browser.close = async () => {
    try {
      await close();
    } finally {
      fs.rmSync(profile, { recursive: true, force: true });
    }
  };
  return browser;
}

// A new tab of the given size showing `url`. Script errors, failed requests
// and answers of status 400 or more are collected in page.problems (as
// text), so that a test can check that there were none it did not expect.
async function openPage(browser, url, { width = 1200, height = 800 } = {}) {
  const page = await browser.newPage();
  await page.setViewport({ width, height });
  page.problems = [];
  page.on('pageerror', (error) => page.problems.push(`page error: ${error.message}`));
  page.on('console', (message) => {
    // A failed response is recorded below with its address.
    if (message.type() === 'error' && !message.text().startsWith('Failed to load resource')) {
      page.problems.push(`console: ${message.text()}`);
    }
  });
  page.on('response', (response) => {
    if (response.status() >= 400) {
      page.problems.push(`HTTP ${response.status()}: ${new URL(response.url()).pathname}`);
    }
  });
  page.on('requestfailed', (request) => {
    page.problems.push(`request failed: ${request.url()} ${request.failure()?.errorText}`);
  });
  await page.goto(url, { waitUntil: 'load' });
  return page;
}

// Saves a picture of the page as OUT/name.png and returns its path.
async function screenshot(page, name) {
  fs.mkdirSync(outputDir, { recursive: true });
  const file = path.join(outputDir, `${name}.png`);
  await page.screenshot({ path: file });
  return file;
}

// One root, one vornweb and one browser tab on the page, for a test file.
// Options: samples (see makeRoot), root (use this root instead, not
// removed), width and height of the tab, args for vornweb.
// Resolves to { root, server, browser, page, close }.
async function startSession(options = {}) {
  const ownRoot = !options.root;
  const root = options.root || makeRoot({ samples: options.samples !== false });
  let server = null;
  let browser = null;
  const close = async () => {
    if (browser) await browser.close().catch(() => {});
    if (server) await server.stop();
    if (ownRoot) fs.rmSync(root, { recursive: true, force: true });
  };
  try {
    server = await startVornweb(root, options.args || []);
    browser = await launchChromium();
    const page = await openPage(browser, server.url, options);
    return { root, server, browser, page, close };
  } catch (error) {
    await close();
    throw error;
  }
}

module.exports = {
  binDir,
  sourceDir,
  outputDir,
  makeRoot,
  runTool,
  startVornweb,
  launchChromium,
  openPage,
  screenshot,
  startSession,
};
