#!/usr/bin/env node
/* The administration pages in a real browser: Debian's Chromium driven by
 * playwright-core against a fresh installation started with quenscd on a
 * free loopback port. One run walks the first configuration (upload, save,
 * restart), then a wrong password, a keyboard-only login, the phone width
 * and logout, keeping a screenshot of each step. The server and the browser
 * are always stopped.
 *
 *   node pages_test.js SERVER_DIR ARTIFACT_DIR
 */
'use strict';

const { chromium } = require('playwright-core');
const { spawn, execFileSync } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');

const serverDir = path.resolve(process.argv[2] || '../../build/server');
const artifacts = path.resolve(process.argv[3] || '../../build/browser-artifacts');
const ADMIN_PW = 'browser <admin> & "pw"';

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); });
    s.on('error', reject);
  });
}

function sleep(ms) { return new Promise((r) => setTimeout(r, ms)); }

function check(condition, what) {
  if (!condition) throw new Error('check failed: ' + what);
  console.log('ok - ' + what);
}

async function waitFor(url, seconds) {
  const end = Date.now() + seconds * 1000;
  while (Date.now() < end) {
    try { const r = await fetch(url); if (r.status === 200) return; } catch (e) { /* not up yet */ }
    await sleep(100);
  }
  throw new Error('no answer from ' + url);
}

async function rpcUp(base, seconds) {
  const body = '<?xml version="1.0"?><methodCall><methodName>SessionOpen</methodName><params>' +
    '<param><value><int>10</int></value></param></params></methodCall>';
  const end = Date.now() + seconds * 1000;
  while (Date.now() < end) {
    try {
      const r = await fetch(base + 'RPC2', { method: 'POST', body, headers: { 'Content-Type': 'text/xml' } });
      if (r.status === 200 && /<int>0<\/int>|<i4>0<\/i4>/.test(await r.text())) return true;
    } catch (e) { /* restarting */ }
    await sleep(200);
  }
  return false;
}

async function main() {
  fs.mkdirSync(artifacts, { recursive: true });
  const root = fs.mkdtempSync('/tmp/qcfg-browser-');
  fs.chmodSync(root, 0o755);
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'qcfg-chromium-'));
  const port = await freePort();
  const base = `http://127.0.0.1:${port}/`;
  const server = spawn(path.join(serverDir, 'quenscd'),
    ['--root', root, '--listen', `127.0.0.1:${port}`, '--libdir', serverDir],
    { detached: true, stdio: 'ignore' });
  let context = null;
  let step = 0;
  const shot = async (page, name) => {
    step += 1;
    await page.screenshot({ path: path.join(artifacts, `${String(step).padStart(2, '0')}-${name}.png`), fullPage: true });
  };
  try {
    await waitFor(base, 60);
    context = await chromium.launchPersistentContext(profile, {
      executablePath: '/usr/bin/chromium',
      headless: true,
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
      viewport: { width: 1024, height: 800 },
    });
    const page = context.pages()[0] || await context.newPage();

    // First run: every visitor is the initial administrator.
    await page.goto(base);
    await page.waitForLoadState('networkidle');
    check(await page.locator('body[data-initial="1"]').count() === 1, 'first run shows the first configuration');
    await shot(page, 'first-run');

    // Certificates first: after the save only a login opens the page again.
    const key = path.join(root, 'tmp', 'key.pem');
    const crt = path.join(root, 'tmp', 'crt.pem');
    execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', '/CN=127.0.0.1',
      '-keyout', key, '-out', crt], { stdio: 'ignore' });
    await page.setInputFiles('#CrtServerPrivateKey', key);
    await page.setInputFiles('#CrtServerPubCert', crt);
    await page.setInputFiles('#CrtServerPubChain', crt);
    await Promise.all([page.waitForNavigation(), page.getByRole('button', { name: 'Upload' }).click()]);
    const uploaded = await page.content();
    if (process.env.QCFG_DEBUG) console.log(uploaded);
    check(uploaded.split('File uploaded. Certificate updated.').length - 1 === 3, 'three certificates uploaded');
    await shot(page, 'upload');
    await Promise.all([page.waitForNavigation(), page.getByRole('link', { name: 'Back to the configuration' }).click()]);
    await page.waitForLoadState('networkidle');

    // Save.
    await page.getByLabel('New administrator password').fill(ADMIN_PW);
    await page.getByLabel('Administrator password again').fill(ADMIN_PW);
    await page.getByLabel('Quen administration events').selectOption('Debug');
    await page.getByRole('button', { name: 'Save configuration' }).click();
    await page.getByText('The configuration is saved').waitFor();
    check(await page.locator('#restartNotice').isVisible(), 'a restart is asked for after the save');
    await shot(page, 'saved');

    // Restart: the pages lead back to the login.
    await page.getByRole('button', { name: 'Restart server' }).click();
    await page.getByText('The server is restarting').waitFor();
    await shot(page, 'restarting');
    await page.waitForURL('**/configure.cgi', { timeout: 30000 });
    await page.locator('#loginPlainPasswd').waitFor();
    check(await rpcUp(base, 60), 'the server module starts on the saved configuration');
    await shot(page, 'login');

    // A wrong password is told in words, with its code.
    await page.getByLabel('Administrator password').fill('not the password');
    await page.getByRole('button', { name: 'Log in' }).click();
    await page.getByText('Wrong password. (code 602)').waitFor();
    check(true, 'a wrong password is refused with a sentence');
    await shot(page, 'wrong-password');

    // Keyboard only: the password field has the focus; Enter sends the form.
    await page.locator('#loginPlainPasswd').focus();
    await page.keyboard.type(ADMIN_PW);
    await Promise.all([page.waitForURL('**/configure.cgi'), page.keyboard.press('Enter')]);
    await page.locator('body[data-initial="0"]').waitFor();
    await page.waitForLoadState('networkidle');
    check(await page.getByLabel('Quen administration events').inputValue() === 'Debug', 'the saved settings are shown');
    await shot(page, 'logged-in');

    // A phone's width: nothing runs off the side.
    await page.setViewportSize({ width: 375, height: 740 });
    const wide = await page.evaluate(() => document.documentElement.scrollWidth);
    check(wide <= 375, 'the page fits a phone\'s width (' + wide + 'px)');
    await shot(page, 'phone');
    await page.setViewportSize({ width: 1024, height: 800 });

    // Log out.
    await Promise.all([page.waitForNavigation(), page.getByRole('button', { name: 'Log out' }).click()]);
    await page.locator('#loginPlainPasswd').waitFor();
    check(true, 'logout leads to the login page');
    await shot(page, 'logged-out');
  } finally {
    if (context) await context.close().catch(() => {});
    try { process.kill(-server.pid, 'SIGTERM'); } catch (e) { /* gone */ }
    await new Promise((r) => { if (server.exitCode !== null) r(); else { server.on('exit', r); setTimeout(r, 30000); } });
    try { process.kill(-server.pid, 'SIGKILL'); } catch (e) { /* gone */ }
    if (!process.env.QCFG_KEEP) fs.rmSync(root, { recursive: true, force: true });
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

main().then(() => { console.log('all browser checks passed'); process.exit(0); },
  (e) => { console.error(e && e.stack || e); process.exit(1); });
