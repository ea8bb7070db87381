// The logon road as a scripted client walks it over HTTP, and the passcodes
// the test back end texts to its outbox.
import fs from 'node:fs';
import http from 'node:http';
import { setTimeout as sleep } from 'node:timers/promises';

export const kSiteMarker = 'PUBSITE';

export function requireEnv(name) {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set (scripts/browser-test.sh sets it)`);
  return value;
}

// Every passcode texted to `user`, oldest first.
export function passcodesOf(outbox, user) {
  const text = fs.existsSync(outbox) ? fs.readFileSync(outbox, 'utf8') : '';
  const marker = ` user=${user} passcode=`;
  return text.split(/\r?\n/).filter((line) => line.includes(marker))
    .map((line) => line.slice(line.indexOf(marker) + marker.length).slice(0, 6));
}

// The passcode texted after `before` earlier ones; waits for it.
export async function nextPasscode(outbox, user, before, timeoutMs = 20000) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const codes = passcodesOf(outbox, user);
    if (codes.length > before) return codes[before];
    if (Date.now() > deadline) throw new Error(`no passcode for ${user} arrived in ${outbox}`);
    await sleep(100);
  }
}

// One user agent: a cookie jar, redirects followed on request.
export class Client {
  constructor(base) {
    this.base = base;
    this.cookies = new Map();
  }

  cookieHeader() {
    return [...this.cookies].map(([name, value]) => `${name}=${value}`).join('; ');
  }

  #take(setCookie) {
    const [pair, ...attributes] = setCookie.split(';');
    const at = pair.indexOf('=');
    const name = pair.slice(0, at).trim();
    const value = pair.slice(at + 1).trim();
    const expired = attributes.some((a) => /^\s*expires=.*19[0-9]{2}/i.test(a) || /^\s*max-age=0\s*$/i.test(a));
    if (!value || expired) this.cookies.delete(name);
    else this.cookies.set(name, value);
  }

  // node:http rather than fetch: Node's own parser hands every Set-Cookie
  // header over as it came, on every Node.js from 18 on (Debian 12's fetch
  // has no way to read them apart).
  request(method, path, body, { timeoutMs = 30000 } = {}) {
    const url = new URL(path, this.base);
    const headers = {};
    if (this.cookies.size) headers.cookie = this.cookieHeader();
    if (body !== undefined) {
      headers['content-type'] = 'application/x-www-form-urlencoded';
      headers['content-length'] = Buffer.byteLength(body);
    }
    return new Promise((resolve, reject) => {
      const request = http.request(url, { method, headers, agent: false }, (response) => {
        const chunks = [];
        response.on('data', (chunk) => chunks.push(chunk));
        response.on('error', reject);
        response.on('end', () => {
          for (const cookie of response.headers['set-cookie'] ?? []) this.#take(cookie);
          resolve({
            url: url.pathname + url.search,
            status: response.statusCode,
            location: response.headers.location ?? null,
            text: Buffer.concat(chunks).toString('utf8'),
          });
        });
      });
      request.setTimeout(timeoutMs, () => {
        request.destroy(new Error(`no answer to ${method} ${url.pathname} in ${timeoutMs} ms`));
      });
      request.on('error', reject);
      request.end(body);
    });
  }

  async follow(reply, limit = 10) {
    while (reply.status >= 300 && reply.status < 400 && reply.location) {
      if (--limit < 0) throw new Error(`too many redirects from ${reply.url}`);
      reply = await this.request('GET', reply.location);
    }
    return reply;
  }
}

function fail(step, reply) {
  return new Error(`${step}: ${reply.status} for ${reply.url}\n${reply.text.slice(0, 400)}`);
}

export const alice = { user: 'CONTOSO\\alice', password: 'Alice-2fa!' };

// From a protected page through ISA/TMG's logon form and the password to,
// with `passcode`, the filter's passcode page, the passcode from the outbox
// and the page; `passcode: 'page'` stops at the passcode page. Answers the
// last reply; throws when the road goes elsewhere.
export async function logOn(client, { user, password, url, outbox, passcode = true }) {
  const form = await client.follow(await client.request('GET', url));
  if (!form.text.includes('CookieAuth.dll?Logon')) throw fail('no logon form', form);
  const texted = passcodesOf(outbox, user).length;
  // The form's fields in its order; its hidden ones hold the page asked for and the form's kind.
  const fields = new URLSearchParams({ curl: url, flags: '0', forcedownlevel: '0', formdir: '1', trusted: '0',
                                       username: user, password });
  let reply = await client.follow(await client.request('POST', '/CookieAuth.dll?Logon', String(fields)));
  if (passcode) {
    if (!reply.text.includes('action=talvlogin') || reply.text.includes(kSiteMarker)) {
      throw fail('no passcode page after the password', reply);
    }
    if (passcode === 'page') return reply;
    const code = await nextPasscode(outbox, user, texted);
    reply = await client.follow(await client.request('POST', '/talverinauth.dll?action=talvlogin',
                                                     String(new URLSearchParams({ passcode: code, Action: 'LogIn' }))));
  }
  if (reply.status !== 200 || !reply.text.includes(`${kSiteMarker} page=${url}\n`)) {
    throw fail(`${url} not reached`, reply);
  }
  return reply;
}
