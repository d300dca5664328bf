// WebSocket connections against the real program: a real client (the `ws`
// package) for what browsers do, raw sockets for frames no client library
// writes. The application logs one line per callback, which the tests read.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { once } from 'node:events';
import net from 'node:net';
import WebSocket from 'ws';
import { withServer, exchange, splitReply, slow, until, HEAD_READ } from './lib/server.mjs';

const patience = slow ? 180000 : 30000;

const waitUntil = (predicate, what) => until(predicate, what, patience);

const wsLog = (proc) => proc.lines().filter((line) => line.startsWith('on_ws_'));

function waitForWsLog(proc, expected) {
  return waitUntil(() => wsLog(proc).length >= expected.length, `log ${expected.join(', ')}`)
    .catch((e) => assert.fail(`${e.message}; got ${wsLog(proc).join(', ')}`))
    .then(() => assert.deepEqual(wsLog(proc), expected));
}

// A `ws` client whose handshake has completed. Errors after the handshake
// (a reset from a server that ended the connection) only end it.
async function openClient(port) {
  const ws = new WebSocket(`ws://127.0.0.1:${port}/chat`);
  ws.closed = new Promise((resolve) => ws.once('close', (code) => resolve(code)));
  await new Promise((resolve, reject) => {
    ws.once('open', resolve);
    ws.once('error', reject);
  });
  ws.on('error', () => {});
  return ws;
}

const sampleKeyRequest =
  'GET /chat HTTP/1.1\r\nHost: server.example.com\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n' +
  'Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n';
// RFC 6455 section 1.3: the accept value for the sample key.
const sampleKeyReply =
  'HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n' +
  'Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n';

// A plain socket upgraded by hand, for frames of our own making.
// `afterHandshake()` is what the server sent after its 101 reply.
async function openRaw(port, upgrade = sampleKeyRequest) {
  const sock = net.connect({ host: '127.0.0.1', port });
  let received = Buffer.alloc(0);
  sock.on('data', (d) => { received = Buffer.concat([received, d]); });
  sock.on('error', () => {});
  // A reset (unread bytes at the server's close) is an end like any other.
  const ended = new Promise((resolve) => sock.once('close', resolve));
  const raw = { sock, ended, afterHandshake: () => received.subarray(129) };
  await once(sock, 'connect');
  sock.write(upgrade);
  await waitUntil(() => received.length >= 129, 'the 101 reply');
  assert.equal(received.subarray(0, 129).toString('latin1'), sampleKeyReply);
  return raw;
}

// One frame as a client writes it: masked, payload length in the shortest form.
function clientFrame(byte0, payload = Buffer.alloc(0)) {
  const key = Buffer.from([0x37, 0xfa, 0x21, 0x3d]);
  let head;
  if (payload.length < 126) {
    head = Buffer.from([byte0, 0x80 | payload.length]);
  } else {
    head = Buffer.from([byte0, 0x80 | 126, payload.length >> 8, payload.length & 0xff]);
  }
  const masked = Buffer.from(payload.map((b, i) => b ^ key[i % 4]));
  return Buffer.concat([head, key, masked]);
}

test('a client exchanges text, ping and close, and each callback logs once', () =>
  withServer(async (proc) => {
    const ws = await openClient(proc.port);
    const messages = [];
    ws.on('message', (m) => messages.push(m));
    ws.send('first');
    ws.send('second');
    const pong = once(ws, 'pong');
    ws.ping('are you there');
    const [pongData] = await pong;
    assert.equal(pongData.length, 0, 'the pong is empty');
    ws.close(1000);
    // 1005: the server's close frame carried no status, as it should not.
    assert.equal(await ws.closed, 1005);
    await waitForWsLog(proc, ['on_ws_connect', 'on_ws_data', 'on_ws_data', 'on_ws_close']);
    assert.equal(messages.length, 0, 'the application sends no data back');
  }));

test('empty text and binary frames still reach the application', () =>
  withServer(async (proc) => {
    const ws = await openClient(proc.port);
    ws.send('');
    ws.send(Buffer.alloc(0));
    await waitForWsLog(proc, ['on_ws_connect', 'on_ws_data', 'on_ws_data']);
    ws.close();
    await ws.closed;
    await waitForWsLog(proc, ['on_ws_connect', 'on_ws_data', 'on_ws_data', 'on_ws_close']);
  }));

test('a frame of 65,535 bytes is taken, one of 65,536 ends the connection', () =>
  withServer(async (proc) => {
    const ws = await openClient(proc.port);
    ws.send(Buffer.alloc(65535, 0x5a));
    await waitForWsLog(proc, ['on_ws_connect', 'on_ws_data']);
    ws.send(Buffer.alloc(65536, 0x5a));
    assert.equal(await ws.closed, 1006, 'ended without a close frame');
    await waitForWsLog(proc, ['on_ws_connect', 'on_ws_data', 'on_ws_close']);
  }));

// One byte longer than the server's head read, which takes it up to the CR
// of its blank line: the LF after that CR belongs to the head, not to the
// first frame.
test(`after an upgrade request of ${HEAD_READ + 1} bytes the first frame is read as sent`, () =>
  withServer(async (proc) => {
    const blankLine = sampleKeyRequest.length - 2;
    const pad = 'p'.repeat(HEAD_READ + 1 - sampleKeyRequest.length - 'X-Pad: \r\n'.length);
    const upgrade = `${sampleKeyRequest.slice(0, blankLine)}X-Pad: ${pad}\r\n\r\n`;
    assert.equal(upgrade.length, HEAD_READ + 1);
    const raw = await openRaw(proc.port, upgrade);
    raw.sock.write(clientFrame(0x81, Buffer.from('hello')));
    await waitForWsLog(proc, ['on_ws_connect', 'on_ws_data']);
    raw.sock.end();
    await waitForWsLog(proc, ['on_ws_connect', 'on_ws_data', 'on_ws_close']);
  }));

test('a client that drops the connection ends the WebSocket through on_ws_close', () =>
  withServer(async (proc) => {
    const ws = await openClient(proc.port);
    await waitForWsLog(proc, ['on_ws_connect']);
    ws.terminate();
    await waitForWsLog(proc, ['on_ws_connect', 'on_ws_close']);
  }));

test('an upgrade request of version 8 is served as plain HTTP', () =>
  withServer(async (proc) => {
    const request = sampleKeyRequest.replace('GET /chat', 'GET /').replace('Version: 13', 'Version: 8');
    const reply = await exchange(proc.port, request);
    const { head, body } = splitReply(reply);
    assert.match(head, /^HTTP\/1\.0 200 OK\r\n/);
    assert.match(body.toString('latin1'), /<html/i);
    await proc.waitForLine("Accessed '/' From '127.0.0.1'");
    assert.deepEqual(wsLog(proc), []);
  }));

for (const [what, byte0] of [
  ['a fragmented message (FIN clear)', 0x01],
  ['a frame of reserved data opcode 3', 0x83],
]) {
  test(`${what} ends the connection through on_ws_close`, () =>
    withServer(async (proc) => {
      const raw = await openRaw(proc.port);
      raw.sock.write(clientFrame(byte0, Buffer.from('part')));
      await raw.ended;
      assert.equal(raw.afterHandshake().length, 0, 'no frame sent back');
      await waitForWsLog(proc, ['on_ws_connect', 'on_ws_close']);
    }));
}

test('a frame of reserved control opcode 11 is ignored', () =>
  withServer(async (proc) => {
    const raw = await openRaw(proc.port);
    raw.sock.write(clientFrame(0x8b, Buffer.from('ignore me')));
    raw.sock.write(clientFrame(0x81, Buffer.from('still here')));
    await waitForWsLog(proc, ['on_ws_connect', 'on_ws_data']);
    raw.sock.write(clientFrame(0x88, Buffer.from([0x03, 0xe8])));
    await raw.ended;
    assert.deepEqual([...raw.afterHandshake()], [0x88, 0x00], 'only the empty close came back');
    await waitForWsLog(proc, ['on_ws_connect', 'on_ws_data', 'on_ws_close']);
  }));

// A worker waits for the rest of a frame it has begun to read. The other
// workers go on serving; a request that the waiting worker accepted before it
// began to wait is answered once the frame is complete.
test('a stalled partial frame holds up only its own worker', () =>
  withServer(async (proc) => {
    const raw = await openRaw(proc.port);
    const frame = clientFrame(0x82, Buffer.alloc(1000, 1));
    raw.sock.write(frame.subarray(0, 500));
    await new Promise((r) => setTimeout(r, 200));  // its worker is now inside the read

    let answered = 0;
    const requests = Array.from({ length: 200 }, () =>
      exchange(proc.port, 'GET / HTTP/1.0\r\n\r\n').then((reply) => {
        answered++;
        return reply;
      }));
    await waitUntil(() => answered >= 190, `190 of 200 answers while the frame waits (${answered} so far)`);
    assert.deepEqual(wsLog(proc), ['on_ws_connect'], 'the partial frame was not delivered');

    raw.sock.write(frame.subarray(500));
    const replies = await Promise.all(requests);
    for (const reply of replies) assert.match(splitReply(reply).head, /^HTTP\/1\.0 200 OK\r\n/);
    await waitForWsLog(proc, ['on_ws_connect', 'on_ws_data']);
    raw.sock.end();
    await raw.ended;
    await waitForWsLog(proc, ['on_ws_connect', 'on_ws_data', 'on_ws_close']);
  }));
