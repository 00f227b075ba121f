// Drives the web checker page in Debian's chromium: starts the real service over TLS,
// types tasks, presses the button and reads what the page shows.
//   node check_page.mjs SERVICE_EXECUTABLE TLS_DIR
import { chromium } from 'playwright-core';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { X509Certificate, createHash } from 'node:crypto';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { join } from 'node:path';
import { createInterface } from 'node:readline';

const [service, tls] = process.argv.slice(2);
if (!service || !tls) {
  console.error('usage: node check_page.mjs SERVICE_EXECUTABLE TLS_DIR');
  process.exit(2);
}

function startService() {
  const child = spawn(service, ['--cert', join(tls, 'server.pem'), '--key', join(tls, 'server.key'), '--port', '0'],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((resolve, reject) => {
    const lines = createInterface({ input: child.stdout });
    const timer = setTimeout(() => reject(new Error('the service did not start within 20 s')), 20000);
    lines.on('line', (line) => {
      const m = /^Listening on (https:\/\/\S+)$/.exec(line);
      if (m) { clearTimeout(timer); resolve({ child, origin: m[1] }); }
    });
    child.on('exit', (code) => reject(new Error(`the service exited with ${code}`)));
  });
}

// Chromium trusts exactly this server key, nothing more: the test authority is not
// installed anywhere.
const serverKey = new X509Certificate(readFileSync(join(tls, 'server.pem'))).publicKey.export({ type: 'spki', format: 'der' });
const spki = createHash('sha256').update(serverKey).digest('base64');

const { child, origin } = await startService();
// Chromium keeps its singleton socket in a folder under TMPDIR and refuses socket paths
// longer than a Unix socket allows, so both its profile and its TMPDIR are one short folder.
const profile = mkdtempSync('/tmp/tess.');
let context;
try {
  context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    env: { ...process.env, TMPDIR: profile },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      `--ignore-certificate-errors-spki-list=${spki}`],
  });
  await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin });
  const page = context.pages()[0] ?? await context.newPage();
  const problems = [];
  page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  page.on('console', (m) => { if (m.type() === 'error') problems.push(`console: ${m.text()}`); });
  page.on('dialog', (d) => { problems.push(`dialog: ${d.message()}`); d.dismiss(); });

  const response = await page.goto(`${origin}/tessaline/check`);
  assert.equal(response.status(), 200);
  assert.equal(await page.title(), 'Tessaline task check');

  const results = page.locator('#results');
  const status = page.locator('#status');
  async function check(task, fiveHour = '', weekly = '') {
    await page.fill('#task', task);
    await page.fill('#five-hour', fiveHour);
    await page.fill('#weekly', weekly);
    await page.click('#check');
  }

  // Nothing typed: refused on the page, nothing sent.
  await check('   ');
  await status.filter({ hasText: 'Describe the task first.' }).waitFor();

  // A bounded task on plenty of quota.
  await check('Implement CSV export for the report view in src/report/ReportView.cpp: add an Export button '
    + 'that writes the visible rows with a header line, and add a unit test that exports three rows and compares the file.',
  '80', '90');
  await page.locator('.verdict').waitFor();
  assert.equal(await page.locator('.verdict').textContent(), 'START NOW');
  assert.match(await page.locator('.reason').textContent(), /^Five-hour window 80% left, weekly window 90% left; /);
  const headings = await page.locator('#results .heading').allInnerTexts();
  assert.deepEqual(headings, ['TASK LINTS', 'RUN THIS TASK', 'RECOMMENDED TASK SHAPE', 'VALIDATION RESERVE']);
  assert.equal(await page.locator('.none').textContent(), 'No material problems found. The task is bounded as written.');
  assert.deepEqual(await page.locator('.shape dt').allTextContents(), ['Scope', 'Direction', 'Preserve', 'Validate', 'Stop']);
  assert.equal(await page.locator('.state').textContent(), 'COMFORTABLE');
  assert.equal(await page.locator('.size').textContent(), 'Task size: Medium');
  assert.equal(await results.locator('> *').last().textContent(),
    'Experimental task-fit assessment, not an OpenAI quota estimate.');

  // The packet goes to the clipboard exactly as shown.
  const packet = await page.locator('.packet').textContent();
  assert.match(packet, /^Goal: Implement CSV export/);
  await page.click('.copy');
  await page.locator('.copy', { hasText: 'Copied' }).waitFor();
  assert.equal(await page.evaluate(() => navigator.clipboard.readText()), packet);
  await page.locator('.copy', { hasText: 'Copy for Codex' }).waitFor({ timeout: 5000 });

  // A sprawling task on an exhausted window: lints with fixes, deferred items, no start.
  await check('Clean up the entire codebase. Also investigate the slow build and add caching, plus rewrite the installer.',
    '0', '70');
  await page.locator('.verdict', { hasText: 'WAIT FOR RESET' }).waitFor();
  const lintTitles = await page.locator('.lint-title').allTextContents();
  assert.deepEqual(lintTitles, ['Several goals in one task', 'Repository-wide scope', 'Vague scope', 'Open-ended investigation']);
  for (const fix of await page.locator('.lint-fix').allTextContents()) assert.match(fix, /^Fix: \S/);
  assert.match(await page.locator('.deferred').innerText(), /^• .+\n• /);
  assert.equal(await page.locator('.state').textContent(), 'QUOTA EXHAUSTED');
  assert.equal(await page.locator('.size').textContent(), 'Task size: Huge');

  // Markup in a task stays text.
  await check('Fix the login page <img src=x onerror="alert(1)"> and add a test for it.');
  await page.locator('.verdict').waitFor();
  assert.equal(await results.locator('img').count(), 0);
  assert.match(await page.locator('.packet').textContent(), /<img src=x onerror="alert\(1\)">/);
  // No quota typed: no reserve section, since there is no band to judge it by.
  assert.equal(await page.locator('.state').count(), 0);

  // Refusals the page makes itself, in the program's words.
  await check('x'.repeat(8001));
  await status.filter({ hasText: 'That description is longer than 8,000 characters.' }).waitFor();
  await check('Fix the typo in README.md.', '150');
  await status.filter({ hasText: 'A remaining percentage is a whole number from 0 to 100.' }).waitFor();

  assert.deepEqual(problems, []);
  console.log('web checker page: all checks passed');
} finally {
  // Neither a browser slow to close nor a service slow to stop may hold the run until the
  // test's time-out: each gets a bound, and a service that ignores SIGTERM fails the test.
  const within = (promise, ms) => Promise.race([promise, new Promise((r) => setTimeout(() => r('late'), ms).unref())]);
  if (context && await within(context.close(), 20000) === 'late')
    console.error('chromium did not close within 20 s');
  const exited = child.exitCode !== null || child.signalCode !== null
    || await within(new Promise((r) => { child.once('exit', r); child.kill('SIGTERM'); }), 20000) !== 'late';
  if (!exited) {
    child.kill('SIGKILL');
    console.error('the service did not stop within 20 s of SIGTERM');
    process.exitCode = 1;
  }
  rmSync(profile, { recursive: true, force: true });
}
// Whatever the browser or the service left open must not keep this run alive.
process.exit();
