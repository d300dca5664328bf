// Raw requests to the content service and a way to read the log lines that
// exactly one request wrote.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { exchange, splitReply, repoRoot } from './server.mjs';

export const PEER = '127.0.0.1';

// What the server holds from its start: the editor page and Ace's files,
// with the bytes each must be served with.
const aceDir = path.join(repoRoot, 'node_modules', 'ace-builds', 'src-min');
export const BUILTINS = [
  { target: '/', type: 'text/html', file: path.join(repoRoot, 'assets', 'tinkerpot.html') },
  { target: '/ace.min.js', type: 'text/javascript', file: path.join(aceDir, 'ace.js') },
  { target: '/mode-html.js', type: 'text/javascript', file: path.join(aceDir, 'mode-html.js') },
  { target: '/worker-html.js', type: 'text/javascript', file: path.join(aceDir, 'worker-html.js') },
].map((b) => ({ ...b, body: fs.readFileSync(b.file) }));

export const REPLY = {
  created: 'HTTP/1.0 201 Created\r\nAccess-Control-Allow-Origin: *\r\n\r\n',
  ok: 'HTTP/1.0 200 OK\r\n\r\n',
  okTyped: (type) => `HTTP/1.0 200 OK\r\nContent-Type: ${type}\r\n\r\n`,
  seeOther: (target) =>
    `HTTP/1.0 303 See Other\r\nLocation: ${target}\r\nAccess-Control-Allow-Origin: *\r\n\r\n`,
  badRequest: 'HTTP/1.0 400 Bad Request\r\n\r\n',
  notFound: 'HTTP/1.0 404 Not Found\r\n\r\n',
  noContent:
    'HTTP/1.0 204 No Content\r\nAllow: PUT, GET, OPTIONS\r\nAccess-Control-Allow-Origin: *\r\n' +
    'Access-Control-Allow-Methods: PUT\r\nAccess-Control-Allow-Headers: Content-Type\r\n\r\n',
  notAllowed: 'HTTP/1.0 405 Method Not Allowed\r\n\r\n',
  lengthRequired: 'HTTP/1.0 411 Length Required\r\n\r\n',
  tooLarge: 'HTTP/1.0 413 Payload Too Large\r\n\r\n',
};

// A request head with the given header lines ([name, value] pairs, sent in
// order), followed by `body` when there is one.
export function request(method, target, headers = [], body = Buffer.alloc(0)) {
  const head = [`${method} ${target} HTTP/1.1`, 'Host: 127.0.0.1', ...headers.map(([n, v]) => `${n}: ${v}`)];
  return Buffer.concat([Buffer.from(`${head.join('\r\n')}\r\n\r\n`, 'latin1'), Buffer.from(body)]);
}

// A PUT whose body comes with its head, announcing the body's own length
// unless `length` says otherwise (null: no Content-Length line at all).
export function putRequest(target, body, { type, length = body.length } = {}) {
  const headers = [];
  if (type !== undefined) headers.push(['Content-Type', type]);
  if (length !== null) headers.push(['Content-Length', String(length)]);
  return request('PUT', target, headers, body);
}

// The same request with its head padded to exactly `size` bytes by an X-Pad
// header line: `make(pad)` builds the request with that line's value, and
// `bodyLength` bytes of what it builds follow the head.
export function headOfSize(size, make, bodyLength = 0) {
  const padding = size - (make('').length - bodyLength);
  assert.ok(padding >= 0, `a head of ${size} bytes has no room for the request`);
  const padded = make('p'.repeat(padding));
  assert.equal(padded.length - bodyLength, size);
  return padded;
}

export async function put(port, target, body, options) {
  const reply = await exchange(port, putRequest(target, Buffer.from(body), options));
  assert.equal(reply.toString('latin1'), REPLY.created, `PUT ${target}`);
}

export async function get(port, target) {
  return splitReply(await exchange(port, request('GET', target)));
}

// Runs `action` and returns its result with the log lines written meanwhile.
// A GET of a target never stored follows it: its line comes after every line
// of the requests before it, so once it is seen the action's lines are all in.
let markers = 0;
export async function loggedBy(server, action) {
  const offset = server.stdout.length;
  const result = await action();
  const marker = `/log-marker-${++markers}`;
  await exchange(server.port, request('GET', marker));
  const markerLine = `Access '${marker}' From '${PEER}'`;
  await server.waitForLine(markerLine);
  const lines = server.linesSince(offset);
  assert.equal(lines.pop(), markerLine);
  return { result, lines };
}

// The same bytes for the same seed on every run (xorshift32): every byte
// value occurs, in no simple order.
export function seededBytes(size, seed) {
  const bytes = Buffer.alloc(size);
  let x = seed >>> 0 || 1;
  for (let i = 0; i < size; i++) {
    x ^= x << 13;
    x ^= x >>> 17;
    x ^= x << 5;
    bytes[i] = x & 0xff;
  }
  return bytes;
}
