// Drives headless Chromium through the demo application as a person would: the first-run
// set-up in one phase, then (after the caller restarted the server) logging in, every menu
// entry, and a row typed into the address book that must come back exactly as typed.
//
// node demo_browser_test.mjs setup|app BASE_URL INIT_DB
// Prints one PASS or FAIL line per check; exits 1 when any check failed.
import { execFileSync } from 'node:child_process';
import { chromium } from 'playwright-core';

const [phase, baseUrl, initDb] = process.argv.slice(2);
const kAdmin = '管理者';
const kPassword = 'pass word';
const kWaitMs = 10000;  // every navigation and selector wait gives up after this

// Characters the server treats as markup or quoting, typed where a user would type them.
const kTyped = {
  氏名: '山田「太郎」',
  電話: "03-1234-5678 '内線'",
  メモ: "『今日』 O'Neil <b>x</b>",
};

let failures = 0;
function Check(name, ok, detail = '') {
  console.log(`${ok ? 'PASS' : 'FAIL'}: ${name}${!ok && detail ? `\n      ${detail}` : ''}`);
  if (!ok) failures++;
}

// Runs one check whose body may throw; a throw (a timeout, a missing element) fails it.
async function Try(name, body) {
  try {
    const [ok, detail] = await body();
    Check(name, ok, detail);
  } catch (e) {
    Check(name, false, String(e.message || e).split('\n')[0]);
  }
}

// A page of a new context that answers the server's challenges as the administrator.
async function NewPage(browser) {
  const context = await browser.newContext({
    httpCredentials: { username: kAdmin, password: kPassword },
  });
  context.setDefaultTimeout(kWaitMs);
  context.setDefaultNavigationTimeout(kWaitMs);
  const page = await context.newPage();
  page.scriptErrors = [];
  page.on('pageerror', (e) => page.scriptErrors.push(e.message));
  return page;
}

// Submits the page's form by its button and waits for the page that answers.
async function Submit(page, button) {
  const [response] = await Promise.all([page.waitForNavigation(), page.click(button)]);
  return response;
}

async function SetUp(browser) {
  // The browser answers the challenge that follows the set-up form with the same name and
  // password, as a person does at the prompt.
  const page = await NewPage(browser);
  await Try('set-up page opens', async () => {
    const response = await page.goto(baseUrl);
    const title = await page.title();
    return [response.status() === 200 && title === '初期設定画面',
            `status ${response.status()}, title ${JSON.stringify(title)}`];
  });
  await Try('administrator registered through the set-up form', async () => {
    await page.fill('input[name="管理者名"]', kAdmin);
    await page.fill('input[name="パスワード"]', kPassword);
    const response = await Submit(page, 'input[type="submit"]');
    const heading = await page.textContent('h1');
    return [response.status() === 200 && heading === '初期設定が完了しました',
            `status ${response.status()}, heading ${JSON.stringify(heading)}`];
  });
}

function Target(sql, html) {
  const query = new URLSearchParams(html ? { SQL: sql, HTML: html } : { SQL: sql });
  return `${baseUrl}/?${query}`;
}

// The menu rows the administrator's role should see, in their sort-key order.
function ExpectedMenu() {
  const out = execFileSync('sqlite3', ['-json', initDb,
    "SELECT 名称, リンク FROM メニュー WHERE 所属 = 'Web管理者' ORDER BY 親, 子, 孫;"]);
  return JSON.parse(out.toString() || '[]').map((r) => ({ name: r.名称, link: r.リンク }));
}

async function MenuEntries(page) {
  await page.goto(baseUrl);
  return page.$$eval('#menu a', (links) =>
    links.map((a) => ({ name: a.textContent, link: a.getAttribute('href') })));
}

// The address book's JSON view as the page reads it: its text parsed by the page itself.
async function JsonView(page) {
  await page.goto(Target('住所録JSON', 'JSON'));
  return page.evaluate(() => {
    try {
      return { charset: document.characterSet, rows: JSON.parse(document.body.textContent) };
    } catch (e) {
      return { charset: document.characterSet, error: String(e) };
    }
  });
}

function SameAsTyped(row) {
  return row.氏名 === kTyped.氏名 && row.電話 === kTyped.電話 && row.メモ === kTyped.メモ;
}

// The rendered table rows (text after the page's script ran) as objects keyed by the header.
async function TableRows(page, table) {
  return page.$eval(table, (t) => {
    const names = [...t.querySelectorAll('thead th')].map((th) => th.textContent);
    return [...t.querySelectorAll('tbody tr')].map((tr) =>
      Object.fromEntries([...tr.cells].map((td, i) => [names[i], td.textContent])));
  });
}

async function App(browser) {
  const page = await NewPage(browser);
  await Try('administrator logs in and sees the menu', async () => {
    const response = await page.goto(baseUrl);
    const text = await page.textContent('body');
    return [response.status() === 200 && text.includes('所属: Web管理者'),
            `status ${response.status()}`];
  });
  await Try('a request without credentials is refused', async () => {
    const status = await page.evaluate(async () =>
      (await fetch('/?SQL=' + encodeURIComponent('住所録'), { credentials: 'omit' })).status);
    return [status === 401, `status ${status}`];
  });

  const expected = ExpectedMenu();
  await Try('menu lists every entry of the role', async () => {
    const entries = await MenuEntries(page);
    return [expected.length > 0 && JSON.stringify(entries) === JSON.stringify(expected),
            `shown ${JSON.stringify(entries)}, expected ${JSON.stringify(expected)}`];
  });
  for (const [i, entry] of expected.entries()) {
    await Try(`menu entry ${entry.name} opens`, async () => {
      await MenuEntries(page);
      page.scriptErrors = [];
      const [response] = await Promise.all([page.waitForNavigation(),
                                            page.locator('#menu a').nth(i).click()]);
      const title = await page.title();
      const url = decodeURIComponent(new URL(page.url()).pathname + new URL(page.url()).search);
      const failed = ['SQLite実行エラー', 'SQL不明', '初期設定画面'].includes(title);
      return [response.status() === 200 && url === entry.link && !failed &&
                  page.scriptErrors.length === 0,
              `status ${response.status()}, url ${url}, title ${JSON.stringify(title)}, ` +
                  `script errors ${JSON.stringify(page.scriptErrors)}`];
    });
  }
  await Try('typed row submitted through the address book form', async () => {
    await page.goto(Target('住所録', '住所録'));
    for (const [name, value] of Object.entries(kTyped)) {
      await page.locator(`[name="${name}"]`).pressSequentially(value);
    }
    page.scriptErrors = [];
    const response = await Submit(page, 'button[type="submit"]');
    return [response.status() === 200 && (await page.title()) === '住所録' &&
                page.scriptErrors.length === 0,
            `status ${response.status()}, title ${JSON.stringify(await page.title())}, ` +
                `script errors ${JSON.stringify(page.scriptErrors)}`];
  });
  await Try('address book page shows the row exactly as typed', async () => {
    const rows = await TableRows(page, '#list');
    return [rows.some(SameAsTyped),
            `typed ${JSON.stringify(kTyped)}, shown ${JSON.stringify(rows)}`];
  });
  await Try('list page shows the row exactly as typed', async () => {
    await page.goto(Target('住所録'));
    const rows = await TableRows(page, '#slots table');
    return [rows.some(SameAsTyped),
            `typed ${JSON.stringify(kTyped)}, shown ${JSON.stringify(rows)}`];
  });
  // The view carries no charset of its own, so the browser's reading is part of what it shows.
  let view = null;
  await Try('JSON view is read as UTF-8', async () => {
    view = await JsonView(page);
    return [view.charset === 'UTF-8', `read as ${view.charset}`];
  });
  await Try('JSON view parses as JSON in the page', async () => {
    view = view || await JsonView(page);
    return [Array.isArray(view.rows), view.error || `parsed ${JSON.stringify(view.rows)}`];
  });
  await Try('JSON view shows the row exactly as typed', async () => {
    return [Array.isArray(view.rows) && view.rows.some(SameAsTyped),
            `typed ${JSON.stringify(kTyped)}, parsed ${JSON.stringify(view.rows)}`];
  });
}

const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  headless: true,
  timeout: kWaitMs,
  // Playwright gives every launch a fresh temporary profile (--user-data-dir) of its own.
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
try {
  if (phase === 'setup') await SetUp(browser);
  else if (phase === 'app') await App(browser);
  else Check(`known phase ${phase}`, false);
} finally {
  await browser.close();
}
process.exit(failures === 0 ? 0 : 1);
