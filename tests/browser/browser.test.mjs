// A real browser (Chromium, headless) on the logon road of the gateway with
// the filter loaded: ISA/TMG's logon form, the filter's passcode page with
// its pictures, style sheets and text message status, the passcode from the
// back end's outbox, and the page first asked for. No byte of the published
// site may reach the browser before the passcode.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { chromium } from 'playwright-core';

import { alice, kSiteMarker, nextPasscode, passcodesOf, requireEnv } from './road.mjs';

const gateway = requireEnv('TALVERIN_GATEWAY_URL');
const outbox = requireEnv('TALVERIN_OUTBOX');
const artifacts = requireEnv('TALVERIN_ARTIFACTS');

const kLogonForm = /\/CookieAuth\.dll\?GetLogon/i;
const kPasscodePage = /\/talverinauth\.dll\?logon/i;

let browser;

before(async () => {
  fs.mkdirSync(artifacts, { recursive: true });
  browser = await chromium.launch({
    executablePath: process.env.TALVERIN_CHROMIUM ?? '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
  });
});

after(() => browser?.close());

// Chromium never hands out the body of a response it dropped half-way (a navigation replaced by the next one, a
// poll cut off by leaving the page): Playwright's body() then neither answers nor fails. Such a body is given up
// after this long and counts as unread.
const kBodyBoundMs = 10000;
// The filter's own pages and ISA/TMG's logon pages: no site bytes in them
// even when their body could not be read.
const kNotSite = /^\/(talverinauth|cookieauth)\.dll\b/i;

// A fresh browser profile whose every response body is kept, for the
// question whether site bytes (or `secret`) ever reached it.
async function newVisitor() {
  const context = await browser.newContext({ viewport: { width: 900, height: 640 } });
  context.setDefaultTimeout(30000);
  const received = [];
  context.on('response', (response) => {
    const read = response.body().then((body) => ({ body }), () => ({}));
    const got = Promise.race([read, sleep(kBodyBoundMs, { unread: true }, { ref: false })]);
    received.push(got.then((r) => ({ url: response.url(), status: response.status(), body: Buffer.alloc(0), ...r })));
  });
  return {
    context,
    page: await context.newPage(),
    // Only the responses received so far count.
    async assertNoSiteBytes(when, secret) {
      for (const r of await Promise.all(received.slice())) {
        assert.ok(!r.body.includes(kSiteMarker), `site content reached the browser ${when}: ${r.status} ${r.url}`);
        assert.ok(!secret || !r.body.includes(secret), `the secret ${secret} reached the browser ${when}: ${r.url}`);
        // A dropped answer of the site itself could have held site bytes.
        assert.ok(!r.unread || kNotSite.test(new URL(r.url).pathname),
                  `the body of ${r.status} ${r.url} could not be read ${when}`);
      }
    },
  };
}

// Headless Chromium now and then never finishes a screenshot; the picture is
// an artifact, not a finding, so a stuck one is given up (and said so).
async function shoot(page, name) {
  const file = path.join(artifacts, `${name}.png`);
  const shot = page.screenshot({ path: file, fullPage: true, timeout: 15000, animations: 'disabled', caret: 'hide' });
  await shot.catch((error) => {
    if (error.name !== 'TimeoutError') throw error;
    console.log(`# screenshot ${name} timed out`);
  });
}

// Clicks a submit button and waits until the page it leads to has loaded.
// (waitForLoadState would answer at once for the page still shown, and the
// test would go on while the answer to the form is under way.)
async function submitAndLoad(page, selector) {
  await Promise.all([page.waitForEvent('load'), page.click(selector)]);
}

// ISA/TMG's logon form for a protected page, and `user`'s password in it.
async function submitPassword(page, url, { user, password }, shot) {
  await page.goto(new URL(url, gateway).href);
  assert.match(page.url(), kLogonForm, 'a protected page without a session leads to the logon form');
  assert.equal(await page.locator('form[name="logonForm"] #username').count(), 1);
  if (shot) await shoot(page, shot);
  await page.fill('#username', user);
  await page.fill('#password', password);
  await submitAndLoad(page, 'input[type="submit"]');
}

// alice's password step: answers the passcode texted for it.
async function toPasscodePage(page, url, shot) {
  const texted = passcodesOf(outbox, alice.user).length;
  await submitPassword(page, url, alice, shot);
  assert.match(page.url(), kPasscodePage, 'after the password comes the passcode page');
  return nextPasscode(outbox, alice.user, texted);
}

async function submitPasscode(page, passcode, action = 'LogIn') {
  if (passcode !== undefined) await page.fill('#passcode', passcode);
  await submitAndLoad(page, `input[name="Action"][value="${action}"]`);
}

describe('logon road in a real browser', { timeout: 180000 }, () => {
  test('password, passcode page with its pictures and style sheets, typed URLs, passcode, the page', async () => {
    const { context, page, assertNoSiteBytes } = await newVisitor();
    const passcode = await toPasscodePage(page, '/owa/inbox.html', '01-logon-form');
    assert.equal(await page.title(), 'Passcode required');
    await page.waitForLoadState('networkidle');

    // The page's own picture and the three background pictures of its
    // inline styles, each decoded by the browser.
    const pictures = await page.evaluate(async () => {
      const urls = [...document.images].map((img) => img.src);
      for (const element of document.querySelectorAll('[style]')) {
        const match = /url\(["']?([^"')]+)["']?\)/.exec(element.style.backgroundImage);
        if (match) urls.push(new URL(match[1], location.href).href);
      }
      return Promise.all(urls.map((src) => new Promise((resolve) => {
        const img = new Image();
        img.onload = () => resolve({ src, width: img.naturalWidth });
        img.onerror = () => resolve({ src, width: 0 });
        img.src = src;
      })));
    });
    assert.equal(pictures.length, 4, JSON.stringify(pictures));
    for (const picture of pictures) assert.ok(picture.width > 0, `picture not loaded: ${picture.src}`);

    // A style sheet served with another type than text/css has no rules.
    const style = await page.evaluate(() => ({
      sheets: [...document.styleSheets].map((sheet) => sheet.cssRules.length),
      banner: getComputedStyle(document.querySelector('.banner')).backgroundColor,
    }));
    assert.equal(style.sheets.length, 2, 'both style sheets are linked');
    assert.ok(style.sheets.every((rules) => rules > 0), `a style sheet has no rules: ${style.sheets}`);
    assert.equal(style.banner, 'rgb(31, 78, 121)', 'talverin.css is applied');

    // The page polls the text message's status until it has been sent.
    await page.waitForFunction(() => /\bSent\b/.test(document.getElementById('status').textContent), null,
                               { timeout: 30000 });
    await shoot(page, '02-passcode-page-sent');

    // A protected URL typed before the passcode, however spelled, leads back to the passcode page.
    for (const url of ['/owa/', '/owa/inbox.html', '/OWA/Settings.html', '/owa/../owa/inbox.html', '/rpc/../owa/',
                       '/download/big.bin']) {
      await page.goto(new URL(url, gateway).href);
      assert.match(page.url(), kPasscodePage, `${url} typed before the passcode`);
    }
    await shoot(page, '05-typed-url-before-passcode');
    await assertNoSiteBytes('before the passcode', passcode);

    // The session still awaits its passcode, which leads to the page the password step was for.
    await submitPasscode(page, passcode);
    assert.equal(new URL(page.url()).pathname, '/owa/inbox.html', 'the page first asked for');
    assert.equal(await page.title(), `Inbox of ${alice.user}`);
    assert.match(await page.textContent('body'), /PUBSITE page=\/owa\/inbox\.html/);
    await shoot(page, '03-requested-page');

    // The session now reaches the rest of the site.
    await page.goto(new URL('/owa/settings.html', gateway).href);
    assert.equal(await page.title(), `Settings of ${alice.user}`);
    await context.close();
  });

  test('a wrong passcode and Cancel lead back to the logon form, and a fresh logon still works', async () => {
    for (const action of ['LogIn', 'Cancel']) {
      const { context, page, assertNoSiteBytes } = await newVisitor();
      const right = await toPasscodePage(page, '/owa/');
      await submitPasscode(page, action === 'Cancel' ? undefined : right === '000000' ? '111111' : '000000', action);
      assert.match(page.url(), kLogonForm, `${action} leads back to the logon form`);
      assert.equal(await page.locator('#username').count(), 1);
      assert.equal((await context.cookies()).filter((c) => c.name === 'cadata' && c.value).length, 0,
                   `${action}: the proxy's cookie is removed`);
      await shoot(page, `04-after-${action === 'Cancel' ? 'cancel' : 'wrong-passcode'}`);

      // The passcode texted before the mistake no longer opens the site.
      await page.goto(new URL('/owa/', gateway).href);
      assert.match(page.url(), kLogonForm);
      await assertNoSiteBytes(`after ${action}`);

      await submitPasscode(page, await toPasscodePage(page, '/owa/'));
      assert.equal(new URL(page.url()).pathname, '/owa/');
      assert.equal(await page.title(), `Mail for ${alice.user}`);
      await context.close();
    }
  });

  test('a bypass user reaches the page with the password alone; locked and denied users do not', async () => {
    // The back end's statuses of gateway.conf: bob bypass, carol locked, dave denied.
    for (const [user, password] of [['CONTOSO\\bob', 'Bob-pass1'], ['CONTOSO\\carol', 'Carol-pass1'],
                                    ['CONTOSO\\dave', 'Dave-pass1']]) {
      const { context, page, assertNoSiteBytes } = await newVisitor();
      await submitPassword(page, '/owa/', { user, password });
      if (user === 'CONTOSO\\bob') {
        assert.equal(new URL(page.url()).pathname, '/owa/');
        assert.equal(await page.title(), `Mail for ${user}`);
        await shoot(page, '06-bypass-user');
      } else {
        assert.match(page.url(), kLogonForm, `${user} is sent back to the logon form`);
        await page.goto(new URL('/owa/', gateway).href);
        assert.match(page.url(), kLogonForm);
        await assertNoSiteBytes(`for ${user}`);
        assert.equal(passcodesOf(outbox, user).length, 0, `no passcode is texted to ${user}`);
        await shoot(page, `07-refused-${user.split('\\')[1]}`);
      }
      await context.close();
    }
  });
});
