// The back-end outage check: sessions in every state keep asking for a protected page while the back-end process
// is killed again and again (as a crash would end it) and its supervisor starts it again. Checks that no session
// short of the second factor gets a byte of the published site, that every request is answered or ended within a
// bound (none hangs), and that once the back end is back, freshly logged-on sessions get the page again. Prints the
// figures of each phase. TALVERIN_BACKEND_PIDFILE holds the back end's process id, TALVERIN_BACKEND_RESTARTS how
// often it was started again.
import fs from 'node:fs';
import { setTimeout as sleep } from 'node:timers/promises';

import { alice, Client, kSiteMarker, logOn, requireEnv } from './road.mjs';

const gateway = requireEnv('TALVERIN_GATEWAY_URL');
const outbox = requireEnv('TALVERIN_OUTBOX');
const url = requireEnv('TALVERIN_LOAD_URL');
const pidFile = requireEnv('TALVERIN_BACKEND_PIDFILE');
const restartsFile = requireEnv('TALVERIN_BACKEND_RESTARTS');
const kills = Number(process.env.TALVERIN_OUTAGE_KILLS ?? 3);
const steadyMs = Number(process.env.TALVERIN_OUTAGE_SECONDS ?? 5) * 1000;
// Longer than any answer of a healthy gateway under this load, far shorter
// than the test's own bound: a request still open after it has hung.
const kRequestBoundMs = 15000;
// How long the supervisor may take to have the back end serving again.
const kRestartBoundMs = 60000;
const kPerKind = 2;

// Both files are written anew by the back end's supervisor; none yet reads as 0.
const readNumber = (file) => (fs.existsSync(file) ? Number(fs.readFileSync(file, 'utf8').trim()) || 0 : 0);

const phases = [];
let phase;
function startPhase(name) {
  phase = { name, started: Date.now(), ended: 0, kinds: {} };
  phases.push(phase);
}

// Asks for the page until the end, classifying each request: the page asked
// for, other bytes of the site, another answer (a redirect, the filter's
// pages), ended without an answer, or no answer within the bound.
let running = true;
async function worker(kind, client) {
  while (running) {
    const started = Date.now();
    const reply = await client.request('GET', url, undefined, { timeoutMs: kRequestBoundMs }).catch(() => null);
    const ms = Date.now() - started;
    let outcome = 'answer';
    if (!reply) outcome = ms >= kRequestBoundMs ? 'timeout' : 'ended';
    else if (reply.text.includes(`${kSiteMarker} page=${url}\n`) && reply.status === 200) outcome = 'page';
    else if (reply.text.includes(kSiteMarker)) outcome = 'site';
    const k = (phase.kinds[kind] ??= { requests: 0, page: 0, site: 0, answer: 0, ended: 0, timeout: 0, maxMs: 0 });
    k.requests += 1;
    k[outcome] += 1;
    k.maxMs = Math.max(k.maxMs, ms);
    // A refused connection comes back at once; the loop must not spin.
    if (outcome === 'ended') await sleep(20);
  }
}

// 'initial' sessions stop at the passcode page, 'anonymous' ones never log on.
async function newSession(kind) {
  const client = new Client(gateway);
  if (kind !== 'anonymous') {
    await logOn(client, { ...alice, url, outbox, passcode: kind === 'initial' ? 'page' : true });
  }
  return client;
}

const workers = [];
const start = (kind, client) => workers.push(worker(kind, client));

startPhase('before');
for (const kind of ['anonymous', 'initial', 'valid']) {
  for (let i = 0; i < kPerKind; ++i) start(kind, await newSession(kind));
}
phase.started = Date.now();
await sleep(steadyMs);

startPhase('outage');
for (let i = 0; i < kills; ++i) {
  const pid = readNumber(pidFile);
  const restarts = readNumber(restartsFile);
  if (!pid) throw new Error(`no back-end process id in ${pidFile}`);
  process.kill(pid, 'SIGKILL');
  console.log(`outage: killed the back end (process ${pid})`);
  const deadline = Date.now() + kRestartBoundMs;
  while (readNumber(restartsFile) <= restarts) {
    if (Date.now() > deadline) throw new Error(`the back end was not started again within ${kRestartBoundMs} ms`);
    await sleep(100);
  }
  // Serving again once a logon goes through the whole road.
  let client;
  while (!client) {
    client = await newSession('valid').catch(async (error) => {
      if (Date.now() > deadline) throw new Error(`no logon went through after the restart: ${error.message}`);
      await sleep(500);
    });
  }
  console.log(`outage: the back end is serving again (restart ${readNumber(restartsFile)})`);
  // Sessions made between two kills live only as long as that back end.
  start('valid-between', client);
}

startPhase('after');
for (let i = 0; i < kPerKind; ++i) start('valid-after', await newSession('valid'));
phase.started = Date.now();
await sleep(steadyMs);
running = false;
phase.ended = Date.now();
await Promise.all(workers);
for (let i = 0; i + 1 < phases.length; ++i) phases[i].ended ||= phases[i + 1].started;

const failures = [];
const rows = [];
for (const p of phases) {
  const seconds = Math.max(p.ended - p.started, 1) / 1000;
  for (const [kind, k] of Object.entries(p.kinds)) {
    rows.push({ phase: p.name, sessions: kind, requests: k.requests, 'req/s': +(k.requests / seconds).toFixed(1),
                page: k.page, site: k.site, other: k.answer, ended: k.ended, hung: k.timeout, 'max ms': k.maxMs });
    if ((kind === 'anonymous' || kind === 'initial') && k.page + k.site > 0) {
      failures.push(`${p.name}: ${k.page + k.site} answers with bytes of the site to ${kind} sessions`);
    }
    if (k.timeout > 0) failures.push(`${p.name}: ${k.timeout} requests of ${kind} sessions hung`);
  }
}
console.log(`\nBack-end outage: ${kPerKind} sessions of each kind, GET ${url}, ${kills} kills of the back end`);
console.table(rows);
// Sessions logged on while the back end serves get the page every time.
for (const [at, kind] of [[0, 'valid'], [2, 'valid-after']]) {
  const k = phases[at].kinds[kind];
  if (!k?.requests || k.page !== k.requests) {
    failures.push(`${phases[at].name}: ${kind} sessions got the page ${k?.page ?? 0} times of ${k?.requests ?? 0}`);
  }
}
const outageOfOld = phases[1].kinds.valid;
if (!outageOfOld || outageOfOld.ended + outageOfOld.answer === 0) {
  failures.push('outage: the sessions logged on before it never noticed the back end go');
}
if (failures.length) {
  console.error(`FAILED: back-end outage\n  ${failures.join('\n  ')}`);
  process.exit(1);
}
console.log('Back-end outage check passed');
