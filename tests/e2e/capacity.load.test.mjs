// The real program with every slot of every worker taken: 64 × 158 idle
// connections held at once, counted on the server's side in /proc (the
// kernel completes connections into the accept queue whether or not the
// server takes them, so the client's side proves nothing). One client more
// then waits un-accepted until a held connection ends, and is served in
// full. The server's resident memory at capacity is reported.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { withServer, repoRoot, slow, within, until } from './lib/server.mjs';
import { REPLY, request } from './lib/content.mjs';

const WORKERS = 64;
const SLOTS_PER_WORKER = 158;
const FULL = WORKERS * SLOTS_PER_WORKER;
// Beside its connections the server holds its listener, its control pair,
// its standard streams and whatever a sanitizer's runtime opens; the test
// process holds node's own descriptors and the client beyond the last slot.
const DESCRIPTOR_MARGIN = 200;
const NEEDED = FULL + DESCRIPTOR_MARGIN;

const WAIT_MS = 120000;  // for anything done once per held connection
const QUIET_MS = 1500;   // how long the client beyond the last slot must go unanswered
const REPLY_MS = 30000;  // for one reply once a slot is free
const OPEN_BATCH = 500;

// What the server answers a connection that closes without a request.
const BAD_REQUEST = 'HTTP/1.1 400 Bad Request\r\n\r\n';
const PAGE = fs.readFileSync(path.join(repoRoot, 'assets', 'tinkerpot.html'));

// Connection errors that come from this machine running short (of local
// ports or of open files, say while other tests hold thousands of
// connections too), never from the server.
const MACHINE_LIMITS = new Set(['EADDRNOTAVAIL', 'ENFILE', 'EMFILE', 'ENOBUFS']);

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function ownLimits() {
  const limits = fs.readFileSync('/proc/self/limits', 'utf8');
  const [soft, hard] = limits.match(/^Max open files\s+(\S+)\s+(\S+)/m).slice(1)
    .map((v) => (v === 'unlimited' ? Infinity : Number(v)));
  return { soft, hard };
}

const readNumber = (file) => Number(fs.readFileSync(file, 'utf8').trim().split(/\s+/)[0]);

function ephemeralPorts() {
  const range = fs.readFileSync('/proc/sys/net/ipv4/ip_local_port_range', 'utf8');
  const [low, high] = range.trim().split(/\s+/).map(Number);
  return high - low + 1;
}

// Both ends of every connection live on this machine: the test and the
// server (which inherits the test's hard limit and raises its soft limit to
// it) each need a descriptor per connection, and each connection a port.
function whyNotRunnable() {
  if (slow) return 'an emulated build cannot carry ten thousand connections';
  if (process.platform !== 'linux' || !fs.existsSync('/proc/self/fd')) {
    return 'needs /proc to count the server\'s sockets';
  }
  const { soft, hard } = ownLimits();
  if (hard < NEEDED) {
    return `the descriptor hard limit is ${hard}: the server and this test each need ${NEEDED} ` +
      `(${FULL} connections and their own)`;
  }
  if (soft < NEEDED) return `this process may open ${soft} descriptors, needs ${NEEDED}: raise its soft limit (ulimit -n)`;
  const systemMax = readNumber('/proc/sys/fs/file-max');
  if (systemMax < 2 * NEEDED) return `the system allows ${systemMax} open files in all, needs ${2 * NEEDED}`;
  const ports = ephemeralPorts();
  if (ports < FULL + DESCRIPTOR_MARGIN) return `only ${ports} local ports to connect from, needs ${FULL + DESCRIPTOR_MARGIN}`;
  return false;
}

// The sockets among the process's descriptors: what the server itself has
// accepted, whatever the clients' side shows.
function socketsOf(pid) {
  const dir = `/proc/${pid}/fd`;
  let count = 0;
  for (const fd of fs.readdirSync(dir)) {
    try {
      if (fs.readlinkSync(`${dir}/${fd}`).startsWith('socket:')) count++;
    } catch {
      // closed between the listing and the look
    }
  }
  return count;
}

function residentKb(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  return Number(/^VmRSS:\s+(\d+) kB/m.exec(status)[1]);
}

// A client connection that keeps what it receives and how it ended.
// `established` resolves once the kernel has completed it, which says
// nothing yet about the server having accepted it.
function client(port, label) {
  const sock = net.connect({ host: '127.0.0.1', port });
  const conn = { sock, label, parts: [], error: null };
  sock.on('data', (d) => conn.parts.push(d));
  conn.established = new Promise((resolve, reject) => {
    sock.once('connect', resolve);
    sock.once('error', (e) => {
      const failure = new Error(`${label}: connection error ${e.code || e.message}`);
      failure.machineLimit = MACHINE_LIMITS.has(e.code);
      reject(failure);
    });
  });
  conn.ended = new Promise((resolve) => {
    sock.on('error', (e) => { conn.error = e; });
    sock.on('close', () => resolve(conn));
  });
  conn.received = () => Buffer.concat(conn.parts);
  conn.open = () => !sock.destroyed && conn.parts.length === 0;
  return conn;
}

// Ends our side of each connection and waits for the server to answer and
// close; what each got back, or the fault, in words.
async function closeAndCollect(conns) {
  for (const conn of conns) conn.sock.end();
  const ended = await within(Promise.all(conns.map((c) => c.ended)), WAIT_MS, `the server closing ${conns.length} connections`);
  return ended.map((c) => (c.error ? `${c.label}: ${c.error.code || c.error.message}` : c.received().toString('latin1')));
}

function tally(values) {
  const counts = new Map();
  for (const v of values) counts.set(v, (counts.get(v) || 0) + 1);
  return Object.fromEntries(counts);
}

// Fills every slot, shows that the client beyond them waits, frees one slot
// for it, then closes the rest. `opened` collects every client connection.
async function fillEverySlot(server, t, opened) {
  const { pid } = server.child;
  const ownSockets = socketsOf(pid);  // the listener and the control pair
  const idleKb = residentKb(pid);

  const held = [];
  for (let first = 0; first < FULL; first += OPEN_BATCH) {
    const batch = [];
    for (let i = first; i < Math.min(FULL, first + OPEN_BATCH); i++) batch.push(client(server.port, `held #${i}`));
    opened.push(...batch);
    await within(Promise.all(batch.map((c) => c.established)), WAIT_MS, `connections ${first} on`);
    held.push(...batch);
  }
  await until(() => socketsOf(pid) - ownSockets >= FULL, `the server accepting all ${FULL}`, WAIT_MS, 100)
    .catch((e) => assert.fail(`${e.message}: it holds ${socketsOf(pid) - ownSockets}`));
  const fullKb = residentKb(pid);
  t.diagnostic(`server VmRSS: ${idleKb} kB idle, ${fullKb} kB holding ${FULL} connections`);

  // Every slot is taken: the next client is left in the accept queue.
  const waiting = client(server.port, 'the client beyond the last slot');
  opened.push(waiting);
  await within(waiting.established, WAIT_MS, 'the kernel completing the extra connection');
  waiting.sock.write(request('GET', '/'));
  await sleep(QUIET_MS);
  assert.equal(waiting.received().length, 0, 'the client beyond the last slot was answered');
  assert.ok(waiting.open(), 'the client beyond the last slot was closed');
  assert.equal(socketsOf(pid) - ownSockets, FULL, 'the server holds more connections than it has slots');
  assert.equal(server.child.exitCode, null, `the server ended: ${server.stderr}`);
  assert.deepEqual(held.filter((c) => !c.open()).map((c) => c.label), [], 'held connections that got bytes or closed');

  // One held connection ends; its worker takes the waiting client.
  const [first] = await closeAndCollect([held.shift()]);
  assert.equal(first, BAD_REQUEST, 'the reply to the first closed connection');
  const reply = (await within(waiting.ended, REPLY_MS, 'the reply to the waiting client')).received();
  const expected = Buffer.concat([Buffer.from(REPLY.okTyped('text/html'), 'latin1'), PAGE]);
  assert.ok(reply.equals(expected),
    `the waiting client got ${reply.length} bytes, expected GET / in full (${expected.length} bytes)` +
    (waiting.error ? `; ${waiting.error.code}` : ''));

  // Each of the rest is answered 400 as it closes, and its slot freed.
  const rest = await closeAndCollect(held);
  assert.deepEqual(tally(rest), { [BAD_REQUEST]: FULL - 1 });
  await until(() => socketsOf(pid) === ownSockets, 'the server closing every slot', WAIT_MS, 100)
    .catch((e) => assert.fail(`${e.message}: ${socketsOf(pid) - ownSockets} still open`));
}

// A machine that runs short of ports or descriptors while connecting skips
// the test rather than failing it, once the server has stopped cleanly.
test(`${FULL} idle connections fill every slot; one more waits until one of them closes`,
  { skip: whyNotRunnable(), timeout: 600000 }, async (t) => {
    let server;
    try {
      server = await withServer(async (started) => {
        const opened = [];
        try {
          await fillEverySlot(started, t, opened);
        } catch (e) {
          if (started.child.exitCode !== null) e.message += `\nthe server ended with ${started.child.exitCode}: ${started.stderr}`;
          throw e;
        } finally {
          for (const conn of opened) conn.sock.destroy();
        }
      });
    } catch (e) {
      if (!e.machineLimit) throw e;
      t.skip(`the machine ran short while connecting: ${e.message}`);
      return;
    }
    assert.equal(server.lines().at(-1), 'stopping server...');
  });
