// Logs on one session per load connection, each through the whole logon road
// (with the passcode from the back end's outbox when the filter is loaded),
// and writes their Cookie headers, one a line, for wrk's script.
//   node load-sessions.mjs COUNT passcode|password OUTFILE
import fs from 'node:fs';

import { alice, Client, logOn, requireEnv } from './road.mjs';

const [count, road, outfile] = process.argv.slice(2);
if (!(Number(count) > 0) || !['passcode', 'password'].includes(road) || !outfile) {
  console.error('usage: node load-sessions.mjs COUNT passcode|password OUTFILE');
  process.exit(2);
}
const gateway = requireEnv('TALVERIN_GATEWAY_URL');
const outbox = requireEnv('TALVERIN_OUTBOX');
const url = requireEnv('TALVERIN_LOAD_URL');

const lines = [];
// One user, logged on again and again: each logon is a session of its own.
for (let i = 0; i < Number(count); ++i) {
  const client = new Client(gateway);
  await logOn(client, { ...alice, url, outbox, passcode: road === 'passcode' });
  lines.push(client.cookieHeader());
}
fs.writeFileSync(outfile, lines.join('\n') + '\n');
console.log(`${lines.length} sessions logged on (${road === 'passcode' ? 'password and passcode' : 'password'})`);
