// The real program under a load of every kind at once: a burst of 1,000
// connections that each upload or fetch something of its own size, 200 form
// posts to one target, readers of that target while the posts go on, and
// WebSocket clients trading frames and pings. Then every stored byte is read
// back, the posted records are counted one by one, each version a reader saw
// is matched with the final text, the WebSocket log is tallied, and Ctrl+C
// must end it all with status 0.
//
// Every wait is bounded: a connection on which no byte moves for STALL_MS
// fails, naming its request, as does a reset, a broken pipe or a reply cut
// short. Nothing here measures speed.
import { describe, test, before } from 'node:test';
import assert from 'node:assert/strict';
import net from 'node:net';
import WebSocket from 'ws';
import { sharedServer, slow, within, until, HEAD_READ } from './lib/server.mjs';
import { REPLY, request, putRequest, BUILTINS, seededBytes } from './lib/content.mjs';

// Sanitizer builds move bytes several times more slowly, and other tests may
// share the machine: a stall is a wait far beyond that, not a slow transfer.
const STALL_MS = slow ? 120000 : 10000;
// A connect that the kernel drops from a full accept queue is retried after
// 1, 3, 7, 15... seconds, which is the machine's doing, not the server's.
const CONNECT_MS = 60000;
const SEPARATOR = '\n---\n';

// ---- what is sent ---------------------------------------------------------------

// A pool of bytes in no simple order, zero bytes and every other value among
// them; each body is a different stretch of it.
const POOL = seededBytes(8 << 20, 0x9e3779b9);

// The bytes of one upload, told apart from every other by its size, by its
// stretch of the pool and by its name stamped at every 64 KiB: a body served
// under the wrong name, or two bodies spliced, cannot pass for the right one.
function bodyFor(name, size, seed) {
  const body = Buffer.alloc(size);
  POOL.copy(body, 0, (seed * 104729) % (POOL.length - size + 1));
  const stamp = Buffer.from(`[${name}]`, 'latin1');
  for (let at = 0; at < size; at += 65536) stamp.copy(body, at, 0, Math.min(stamp.length, size - at));
  return body;
}

const TYPES = [undefined, 'application/octet-stream', 'text/plain; charset=utf-8'];
const replyHead = (type) => (type === undefined ? REPLY.ok : REPLY.okTyped(type));

// Stored before the burst, fetched during it, while other uploads come in.
const SEEDS = [0, 1, 4000, 70000, 1000000].map((size, i) => {
  const target = `/load/seed-${i}`;
  return { target, type: TYPES[i % TYPES.length], body: bodyFor(target, size, 5000 + i) };
});

// Sizes around the edges of the server's reads: a head and body that fill
// its head read to one byte short, exactly, and one byte over (so that the
// rest comes from the socket), and its 64 KiB receive chunk; a megabyte and
// more for every 30th upload, a spread below 100 kB for the rest; no two alike.
const EDGE_SIZES = [0, 1, 2, 65535, 65536, 65537, 131072, 4 << 20];
const HEAD_READ_EDGES = [-1, 0, 1];

function uploadSizes(count) {
  const sizes = new Set();
  for (let k = 0; sizes.size < count; k++) {
    let size = k < EDGE_SIZES.length ? EDGE_SIZES[k] : k % 30 === 0 ? 1000000 + k * 2731 : (k * 7919) % 100003;
    while (sizes.has(size)) size++;
    sizes.add(size);
  }
  return [...sizes];
}

// The body size at which the request of a PUT to target is `edge` bytes
// longer than the server's head read.
function sizeFillingHeadRead(target, type, edge) {
  const head = putRequest(target, Buffer.alloc(0), { type, length: 4000 }).length;
  return HEAD_READ + edge - head;  // four digits of length, as counted
}

const BURST = 1000;
const GET_EVERY = 4; // one in four of the burst is a GET
const FETCHABLE = [...BUILTINS, ...SEEDS];

function burstPlan() {
  const puts = BURST - Math.ceil(BURST / GET_EVERY);
  const sizes = uploadSizes(puts);
  const plan = [];
  let put = 0;
  for (let i = 0; i < BURST; i++) {
    if (i % GET_EVERY === 0) {
      const { target, type, body } = FETCHABLE[(i / GET_EVERY) % FETCHABLE.length];
      plan.push({ method: 'GET', target, type, body });
    } else {
      const target = `/load/upload-${put}`;
      const type = TYPES[put % TYPES.length];
      const size = put < HEAD_READ_EDGES.length ? sizeFillingHeadRead(target, type, HEAD_READ_EDGES[put]) : sizes[put];
      plan.push({ method: 'PUT', target, type, body: bodyFor(target, size, put) });
      put++;
    }
  }
  return plan;
}

// Form posts: the text of each is its own, in sizes from a few bytes to well
// past the head read, with escapes and pluses among its letters.
const POSTS = 200;
const GUESTBOOK = '/load/guestbook';
function postFor(i) {
  const length = (i * 977) % 14000 + i;
  const words = ['alpha', 'Beta', '%21', '+', 'gamma', '%3D', 'delta', '%26', String(i)];
  let encoded = '';
  for (let w = i; encoded.length < length; w++) encoded += words[w % words.length];
  const decoded = encoded.replace(/\+/g, ' ').replace(/%21/g, '!').replace(/%3D/g, '=').replace(/%26/g, '&');
  return {
    body: Buffer.from(`post=${i}&text=${encoded}&end=${i}`, 'latin1'),
    record: `post:${i}\ntext:${decoded}\nend:${i}`,
  };
}

// Readers of the post target, each fetching it again and again until the
// posts are all answered.
const READERS = 8;

// WebSocket clients: text and binary messages of every payload length form
// (7 bits, 16 bits), the last one as large as a frame the server takes, and
// a ping before every fourth message.
const WS_CLIENTS = 32;
const WS_MESSAGES = 16;
const WS_FRAME_MAX = 65535;
function messageFor(client, m) {
  const size = m === WS_MESSAGES - 1 ? WS_FRAME_MAX : (client * 8191 + m * 4099) % WS_FRAME_MAX;
  return m % 2 === 0 ? 'w'.repeat(size) : POOL.subarray(client * 65536 + m, client * 65536 + m + size);
}

// ---- bounded waits and connections -----------------------------------------------

// Where a reply departs from the expected one, in words; null when it is whole
// and right. Buffers are compared, never printed.
function replyFault(reply, head, body) {
  const expected = Buffer.concat([Buffer.from(head, 'latin1'), body]);
  if (reply.equals(expected)) return null;
  const gotHead = reply.subarray(0, head.length).toString('latin1');
  if (gotHead !== head.slice(0, gotHead.length) || reply.length < head.length) {
    return `head ${JSON.stringify(reply.subarray(0, 80).toString('latin1'))}, expected ${JSON.stringify(head)}`;
  }
  if (reply.length < expected.length) return `reply cut short: ${reply.length} of ${expected.length} bytes`;
  if (reply.length > expected.length) return `reply too long: ${reply.length} bytes, expected ${expected.length}`;
  let at = head.length;
  while (reply[at] === expected[at]) at++;
  return `body differs from byte ${at - head.length} of ${body.length}`;
}

// One request on a connection of its own: the head and what follows it go
// out in a single write; everything is read until the server closes. Fails,
// naming the request, on a reset, a broken pipe or a stall; resolves with
// the bytes received.
function call(port, label, bytes) {
  return new Promise((resolve, reject) => {
    const sock = net.connect({ host: '127.0.0.1', port });
    const parts = [];
    let received = 0;
    const fail = (why) => {
      sock.destroy();
      reject(new Error(`${label}: ${why} (${received} bytes of reply received)`));
    };
    sock.setTimeout(CONNECT_MS, () => fail(`stalled: ${sock.connecting ? 'not connected' : 'no byte moved'} ` +
      `for ${sock.connecting ? CONNECT_MS : STALL_MS} ms`));
    sock.on('data', (d) => {
      parts.push(d);
      received += d.length;
    });
    sock.on('error', (e) => fail(`connection error ${e.code || e.message}`));
    sock.on('close', (hadError) => hadError || resolve(Buffer.concat(parts)));
    sock.on('connect', () => {
      sock.setTimeout(STALL_MS);
      sock.write(bytes);
    });
  });
}

// A call whose reply must be `head` and then `body` exactly; resolves with
// the length of the reply.
async function checkedCall(port, label, bytes, head, body = Buffer.alloc(0)) {
  const reply = await call(port, label, bytes);
  const fault = replyFault(reply, head, body);
  if (fault) throw new Error(`${label}: ${fault}`);
  return reply.length;
}

const getOf = (port, { target, type, body }, label = `GET ${target}`) =>
  checkedCall(port, label, request('GET', target), replyHead(type), body);

const putOf = (port, { target, type, body }) =>
  checkedCall(port, `PUT ${target} (${body.length} bytes)`, putRequest(target, body, { type }), REPLY.created);

function postOf(port, i) {
  const { body } = postFor(i);
  const bytes = request('POST', GUESTBOOK, [['Content-Length', String(body.length)]], body);
  return checkedCall(port, `POST ${GUESTBOOK} #${i} (${body.length} bytes)`, bytes, REPLY.seeOther(GUESTBOOK));
}

// The post numbers of the records in a text of the post target, in order;
// throws, naming `label`, on anything that is not a sequence of whole records
// that the posts sent.
function postNumbers(text, label) {
  const records = text.split(SEPARATOR);
  if (records.pop() !== '') throw new Error(`${label}: the text does not end with a separator (a record cut)`);
  return records.map((record, at) => {
    const number = Number(/^post:(\d+)\n/.exec(record)?.[1]);
    if (!(number < POSTS) || record !== postFor(number).record) {
      throw new Error(`${label}: record ${at} is none that was posted: ${JSON.stringify(record.slice(0, 40))}...`);
    }
    return number;
  });
}

// Fetches the post target until `postsDone()`; resolves with the post numbers
// of each version seen. Before the first post is stored the target is absent.
async function readWhilePosting(port, reader, postsDone) {
  const versions = [];
  const head = REPLY.okTyped('text/plain');
  while (!postsDone()) {
    const label = `GET ${GUESTBOOK} by reader ${reader} (#${versions.length})`;
    const reply = await call(port, label, request('GET', GUESTBOOK));
    if (reply.toString('latin1') === REPLY.notFound && versions.length === 0) continue;
    if (reply.subarray(0, head.length).toString('latin1') !== head) {
      throw new Error(`${label}: head ${JSON.stringify(reply.subarray(0, 80).toString('latin1'))}`);
    }
    versions.push(postNumbers(reply.subarray(head.length).toString('latin1'), label));
  }
  return versions;
}

// One WebSocket client's whole life: open, its messages with a ping before
// every fourth (each must be answered by a pong), then the close, which the
// server answers with an empty close frame (seen as 1005).
async function wsSession(port, client) {
  const label = `WebSocket client ${client}`;
  const ws = new WebSocket(`ws://127.0.0.1:${port}/load/ws-${client}`);
  let failure = null;
  const failed = new Promise((_, reject) => {
    ws.on('error', (e) => {
      failure = new Error(`${label}: connection error ${e.code || e.message}`);
      reject(failure);
    });
  });
  failed.catch(() => {});
  const step = (promise, what) => within(Promise.race([promise, failed]), STALL_MS, `${label}: ${what}`);
  const closed = new Promise((resolve) => ws.once('close', (code) => resolve(code)));
  try {
    await step(new Promise((resolve) => ws.once('open', resolve)), 'handshake');
    let pongs = 0;
    for (let m = 0; m < WS_MESSAGES; m++) {
      if (m % 4 === 0) {
        const pong = new Promise((resolve) => ws.once('pong', resolve));
        ws.ping();
        await step(pong, `pong for the ping before message ${m}`);
        pongs++;
      }
      await step(new Promise((resolve, reject) => ws.send(messageFor(client, m), (e) => (e ? reject(e) : resolve()))),
        `sending message ${m}`);
    }
    ws.close(1000);
    const code = await step(closed, 'close');
    if (code !== 1005) throw new Error(`${label}: closed with ${code}, expected the empty close frame (1005)`);
    return { pongs };
  } catch (e) {
    ws.terminate();
    throw failure || e;
  }
}

// ---- the run ----------------------------------------------------------------------

const failuresOf = (outcomes) => outcomes.filter((o) => o.status === 'rejected').map((o) => o.reason.message);

function assertAllOk(outcomes, what) {
  const failed = failuresOf(outcomes);
  assert.equal(failed.length, 0,
    `${failed.length} of ${outcomes.length} ${what} failed:\n  ${failed.slice(0, 25).join('\n  ')}`);
}

const countLines = (server, line) => server.lines().filter((l) => l === line).length;
const megabytes = (bytes) => `${(bytes / 1e6).toFixed(1)} MB`;
const sum = (values) => values.reduce((a, b) => a + b, 0);

describe('1,000 connections at once, with form posts and WebSocket clients beside them',
  { timeout: 900000 }, () => {
    // The last test stops it, and checks the stop; the shared server's own
    // stop after the tests waits for that same one.
    const server = sharedServer();
    const plan = burstPlan();
    const uploads = plan.filter((r) => r.method === 'PUT');
    let burst;
    let posts;
    let reads;
    let sessions;

    before(async () => {
      const { port } = server;
      for (const seed of SEEDS) await putOf(port, seed);

      // Every connection of the burst is opened in one go; the posts and the
      // WebSocket clients start alongside it.
      const burstCalls = plan.map((r, i) =>
        (r.method === 'GET' ? getOf(port, r, `GET ${r.target} (burst #${i})`) : putOf(port, r)));
      const postCalls = Array.from({ length: POSTS }, (_, i) => postOf(port, i));
      let postsDone = false;
      Promise.allSettled(postCalls).then(() => { postsDone = true; });
      const readCalls = Array.from({ length: READERS }, (_, r) => readWhilePosting(port, r, () => postsDone));
      const wsCalls = Array.from({ length: WS_CLIENTS }, (_, c) => wsSession(port, c));
      [burst, posts, reads, sessions] = await Promise.all([burstCalls, postCalls, readCalls, wsCalls]
        .map((c) => Promise.allSettled(c)));
    });

    test(`each of the ${BURST} requests of the burst gets its whole, correct reply`, (t) => {
      assertAllOk(burst, 'requests of the burst');
      const sent = sum(uploads.map((r) => r.body.length));
      const received = sum(burst.map((o) => o.value));
      t.diagnostic(`burst: ${uploads.length} PUTs sending ${megabytes(sent)}, ` +
        `${BURST - uploads.length} GETs; ${megabytes(received)} of replies`);
    });

    test('every upload, every seed and every built-in reads back byte for byte', async (t) => {
      const reads = await Promise.allSettled([
        ...uploads.map((r) => getOf(server.port, r, `GET ${r.target} after the burst`)),
        ...FETCHABLE.map((r) => getOf(server.port, r, `GET ${r.target} after the burst`)),
      ]);
      assertAllOk(reads, 'reads after the burst');
      t.diagnostic(`read back: ${reads.length} resources, ${megabytes(sum(reads.map((o) => o.value)))}`);
    });

    test(`each of the ${POSTS} posts to one target is there once, whole, and nothing else is`, async (t) => {
      assertAllOk(posts, 'posts');
      const head = REPLY.okTyped('text/plain');
      const expected = Array.from({ length: POSTS }, (_, i) => postFor(i).record);
      // The order of the records is the order the posts were served in, which
      // no one chooses: the records are compared as a multiset.
      const reply = await call(server.port, `GET ${GUESTBOOK}`, request('GET', GUESTBOOK));
      assert.equal(reply.subarray(0, head.length).toString('latin1'), head);
      const text = reply.subarray(head.length).toString('latin1');
      const records = text.split(SEPARATOR);
      assert.equal(records.pop(), '', 'the text ends with a separator');
      const known = new Set(expected);
      const strangers = records.filter((r) => !known.has(r));
      const seen = new Map();
      for (const r of records) seen.set(r, (seen.get(r) || 0) + 1);
      const lost = expected.flatMap((r, i) => (seen.has(r) ? [] : [i]));
      const repeated = expected.flatMap((r, i) => (seen.get(r) > 1 ? [i] : []));
      assert.deepEqual({ lost, repeated, strangers: strangers.map((r) => `${r.slice(0, 40)}...`) },
        { lost: [], repeated: [], strangers: [] },
        'posts whose record is missing, posts stored more than once, records no post sent (cut or interleaved)');
      t.diagnostic(`posts: ${POSTS} records, ${megabytes(text.length)} of text`);
    });

    test(`each version ${READERS} readers saw while the posts went on is whole records, the final text's first ones`,
      async (t) => {
        assertAllOk(reads, 'readers');
        const reply = await call(server.port, `GET ${GUESTBOOK}`, request('GET', GUESTBOOK));
        const final = postNumbers(reply.subarray(REPLY.okTyped('text/plain').length).toString('latin1'), 'the final text');
        const faults = [];
        for (const [reader, { value: versions }] of reads.entries()) {
          let before = 0;
          for (const [i, seen] of versions.entries()) {
            if (seen.some((number, at) => number !== final[at])) faults.push(`reader ${reader} #${i}: not the final text's first records`);
            if (seen.length < before) faults.push(`reader ${reader} #${i}: ${seen.length} records after ${before}`);
            before = seen.length;
          }
        }
        assert.deepEqual(faults.slice(0, 25), []);
        const versions = reads.flatMap((o) => o.value);
        const midway = versions.filter((v) => v.length > 0 && v.length < POSTS).length;
        t.diagnostic(`readers: ${versions.length} versions read, ${midway} of them with some of the posts and not all`);
      });

    test(`${WS_CLIENTS} WebSocket clients: every ping answered, every close answered, one log line per frame`,
      async (t) => {
        assertAllOk(sessions, 'WebSocket clients');
        const expected = { on_ws_connect: WS_CLIENTS, on_ws_data: WS_CLIENTS * WS_MESSAGES, on_ws_close: WS_CLIENTS };
        const counts = () => Object.fromEntries(Object.keys(expected).map((line) => [line, countLines(server, line)]));
        // The server logs a close only after it has answered it.
        await until(() => counts().on_ws_close >= WS_CLIENTS, 'the on_ws_close lines', STALL_MS).catch(() => {});
        assert.deepEqual(counts(), expected);
        const pongs = sum(sessions.map((o) => o.value.pongs));
        t.diagnostic(`WebSocket: ${WS_CLIENTS} clients, ${expected.on_ws_data} data frames, ${pongs} pings and pongs`);
      });

    test('Ctrl+C: status 0, "stopping server..." last, and the WebSocket tally unchanged', async () => {
      const status = await server.stop();
      assert.deepEqual(status, { code: 0, signal: null });
      assert.equal(server.lines().at(-1), 'stopping server...');
      assert.equal(countLines(server, 'on_ws_data'), WS_CLIENTS * WS_MESSAGES);
      assert.equal(countLines(server, 'on_ws_connect'), WS_CLIENTS);
      assert.equal(countLines(server, 'on_ws_close'), WS_CLIENTS);
    });
  });
