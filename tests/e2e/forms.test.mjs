// Form posts against the real program: how a body is gathered from the
// socket, how it is decoded into a record, where the record is stored and
// what the browser is sent back. One server serves the whole file.
import { describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { promisify } from 'node:util';
import { sharedServer, exchange, repoRoot, longBits, converse, splitReply, HEAD_READ } from './lib/server.mjs';
import { REPLY, request, put, get, loggedBy } from './lib/content.mjs';

const run = promisify(execFile);
const SEPARATOR = '\n---\n';
// More than any memory where long has 64 bits; the largest long where it has
// 32. The length is read with strtol, and a POST reads one beyond the range of
// long as it reads the largest long: either way, until the peer stops.
const HUGE_LENGTH = longBits() === 64 ? '1000000000000000' : '2147483647';

const server = sharedServer();

const bytes = (text) => Buffer.from(text, 'latin1');

function postRequest(target, body, { length = body.length, headers = [] } = {}) {
  const lengthLine = length === null ? [] : [['Content-Length', String(length)]];
  return request('POST', target, [...headers, ...lengthLine], body);
}

// A POST whose first read ends after `withHead`: head and body go in one
// write, padded so that the server's single head read takes exactly
// HEAD_READ bytes; `rest` is left in the socket for the body gathering to find.
function postAcrossHeadRead(target, length, withHead, rest) {
  const unpadded = postRequest(target, withHead, { length, headers: [['X-Pad', '']] });
  const pad = 'p'.repeat(HEAD_READ - unpadded.length);
  const head = postRequest(target, withHead, { length, headers: [['X-Pad', pad]] });
  assert.equal(head.length, HEAD_READ);
  return Buffer.concat([head, rest]);
}

// A GET that stops reading once its first bytes are in, so that the server
// is still sending the rest; `rest()` reads on and gives the whole reply.
function pausedGet(target) {
  const sock = net.connect({ host: '127.0.0.1', port: server.port });
  const parts = [];
  let started;
  const firstBytes = new Promise((resolve) => { started = resolve; });
  const whole = new Promise((resolve, reject) => {
    sock.on('data', (d) => {
      parts.push(d);
      if (parts.length === 1) {
        sock.pause();
        started();
      }
    });
    sock.on('error', reject);
    sock.on('close', () => resolve(splitReply(Buffer.concat(parts))));
  });
  sock.on('connect', () => sock.write(request('GET', target)));
  return { firstBytes, rest: () => { sock.resume(); return whole; } };
}

async function post(target, body) {
  assert.equal((await exchange(server.port, postRequest(target, bytes(body)))).toString('latin1'), REPLY.seeOther(target));
}

async function assertRecords(target, records) {
  const { head, body } = await get(server.port, target);
  assert.equal(head, REPLY.okTyped('text/plain'));
  assert.equal(body.toString('latin1'), records);
}

describe('decoding: each body gives one record', () => {
  // [body, record before the separator], both as bytes written in latin1.
  const CASES = [
    ['name=Ann+Lee&msg=Hi%21', 'name:Ann Lee\nmsg:Hi!'],
    ['x=1=2', 'x:1:2'],
    ['a+b', 'a b'],
    ['&&==++', '\n\n::  '],
    ['a%2Bb', 'a+b'],
    ['%26%3D%2B', '&=+'],
    ['%2541', '%41'], // what an escape yields is not decoded again
    ['%41%62%e9%E9', 'Ab\xe9\xe9'],
    ['%E3%81%82', '\xe3\x81\x82'],
    [Buffer.from('名前=あ+い', 'utf8'), Buffer.from('名前:あ い', 'utf8')],
    ['\x80\xa0\xff', '\x80\xa0\xff'],
    ['a%00b', 'a\x00b'], // an escaped zero byte is stored and decoding goes on
    ['a=1\x00b=2', 'a:1'], // a zero byte in the body ends the decoding
    ['\x00a=1', ''],
    ['%4z', '\x04'],
    ['%-1', '\xff'],
    ['%+1', '\x01'],
    ['% 4', '\x04'],
    ['%\t9', '\x09'],
    ['%0x41', '\x0041'],
    ['%zz', '%zz'], // no number: the % and both bytes stay as sent
    ['%-z', '%-z'],
    ['%  1', '%  1'],
    ['%%41', '%A'],
    ['a%4', 'a%4'], // cut short by the end of the body
    ['a%', 'a%'],
    ['a%4\x00zz', 'a%4'], // cut short by a zero byte
    ['a%\x0041', 'a%'],
    ['', ''],
  ];
  for (const [i, [body, record]] of CASES.entries()) {
    const shown = JSON.stringify(Buffer.isBuffer(body) ? body.toString('utf8') : body);
    test(`${shown} → ${JSON.stringify(Buffer.isBuffer(record) ? record.toString('utf8') : record)}`, async () => {
      const target = `/decode/${i}`;
      const { result, lines } = await loggedBy(server, () => exchange(server.port, postRequest(target, Buffer.from(body, 'latin1'))));
      assert.equal(result.toString('latin1'), REPLY.seeOther(target));
      assert.deepEqual(lines, [`Posted: ${target}`]);
      const { head, body: stored } = await get(server.port, target);
      assert.equal(head, REPLY.okTyped('text/plain'));
      assert.deepEqual(stored, Buffer.concat([Buffer.from(record, 'latin1'), bytes(SEPARATOR)]));
    });
  }
});

describe('records accumulate', () => {
  test('the guest book: two posts, 37 bytes of text/plain', async () => {
    await exchange(server.port, postRequest('/guestbook', bytes('name=Ann+Lee&msg=Hi%21')));
    await exchange(server.port, postRequest('/guestbook', bytes('msg=Bye')));
    const { head, body } = await get(server.port, '/guestbook');
    assert.equal(head, REPLY.okTyped('text/plain'));
    assert.equal(body.toString('latin1'), `name:Ann Lee\nmsg:Hi!${SEPARATOR}msg:Bye${SEPARATOR}`);
    assert.equal(body.length, 37);
  });

  test('after an upload: the type turns text/plain and the record follows the bytes', async () => {
    const upload = Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x00, 0x0a]);
    await put(server.port, '/uploaded.png', upload, { type: 'image/png' });
    await exchange(server.port, postRequest('/uploaded.png', bytes('a=1')));
    const { head, body } = await get(server.port, '/uploaded.png');
    assert.equal(head, REPLY.okTyped('text/plain'));
    assert.deepEqual(body, Buffer.concat([upload, bytes(`a:1${SEPARATOR}`)]));
  });

  test('after a built-in: its bytes, then the record, as text/plain', async () => {
    const script = fs.readFileSync(path.join(repoRoot, 'node_modules', 'ace-builds', 'src-min', 'mode-html.js'));
    await exchange(server.port, postRequest('/mode-html.js', bytes('seen=yes')));
    const { head, body } = await get(server.port, '/mode-html.js');
    assert.equal(head, REPLY.okTyped('text/plain'));
    assert.deepEqual(body, Buffer.concat([script, bytes(`seen:yes${SEPARATOR}`)]));
  });

  test('a PUT replaces the records and the type', async () => {
    await exchange(server.port, postRequest('/replaced-records', bytes('a=1')));
    await put(server.port, '/replaced-records', 'fresh', { type: 'text/html' });
    const { head, body } = await get(server.port, '/replaced-records');
    assert.equal(head, REPLY.okTyped('text/html'));
    assert.equal(body.toString('latin1'), 'fresh');
  });

  test('posts after an upload: every version is the upload and the records so far', async () => {
    // Each post is longer than the one before, so the records outgrow the
    // room after the upload several times over.
    const target = '/grown-upload.bin';
    const upload = Buffer.from(Array.from({ length: 300 }, (_, i) => (i * 37) & 0xff));
    await put(server.port, target, upload, { type: 'application/octet-stream' });
    let expected = upload;
    for (let i = 0; i < 40; i++) {
      await post(target, `n=${i}&pad=${'p'.repeat(i * 20)}`);
      expected = Buffer.concat([expected, bytes(`n:${i}\npad:${'p'.repeat(i * 20)}${SEPARATOR}`)]);
      const { head, body } = await get(server.port, target);
      assert.equal(head, REPLY.okTyped('text/plain'));
      assert.ok(body.equals(expected), `after post ${i}: ${body.length} bytes, expected ${expected.length}`);
    }
  });

  test('posts after a PUT that replaced records start from the upload', async () => {
    const target = '/restarted-records';
    for (let i = 0; i < 5; i++) await post(target, `old=${i}`);
    await put(server.port, target, 'fresh', { type: 'text/html' });
    for (let i = 0; i < 3; i++) await post(target, `new=${i}`);
    await assertRecords(target, `fresh${['new:0', 'new:1', 'new:2'].map((r) => r + SEPARATOR).join('')}`);
  });

  test('GETs still being sent serve their versions whole while posts append to the target', async () => {
    // Far more than the socket buffers take, so the server is still sending
    // both replies while the posts go on: the first post outgrows the
    // upload's bytes that the first GET is sending, the later ones write
    // past the bytes that the second GET is sending.
    const target = '/sent-while-posting';
    const upload = Buffer.alloc(16 << 20);
    for (let i = 0; i < upload.length; i += 4096) upload.write(`[${i}]`, i, 'latin1');
    await put(server.port, target, upload, { type: 'application/octet-stream' });
    const first = pausedGet(target);
    await first.firstBytes;
    await post(target, 'first=1');
    const second = pausedGet(target);
    await second.firstBytes;
    for (let i = 0; i < 3; i++) await post(target, `later=${i}`);
    const records = ['first:1', 'later:0', 'later:1', 'later:2'].map((r) => bytes(r + SEPARATOR));
    const versions = [
      { reading: first, type: 'application/octet-stream', expected: upload },
      { reading: second, type: 'text/plain', expected: Buffer.concat([upload, records[0]]) },
      { reading: { rest: () => get(server.port, target) }, type: 'text/plain', expected: Buffer.concat([upload, ...records]) },
    ];
    for (const [i, { reading, type, expected }] of versions.entries()) {
      const { head, body } = await reading.rest();
      assert.equal(head, REPLY.okTyped(type), `GET ${i}`);
      assert.ok(body.equals(expected), `GET ${i}: ${body.length} bytes, expected ${expected.length}`);
    }
  });

  test('32 posts at once to one target: every record whole, none lost', async () => {
    const target = '/concurrent-posts';
    const posts = Array.from({ length: 32 }, (_, i) => {
      const body = bytes(`n=${i}&pad=${'x'.repeat(i * 5)}`);
      // The body comes after the head, so the gatherings overlap.
      return exchange(server.port, undefined, { chunks: [postRequest(target, Buffer.alloc(0), { length: body.length }), body] });
    });
    for (const reply of await Promise.all(posts)) assert.equal(reply.toString('latin1'), REPLY.seeOther(target));
    const { body } = await get(server.port, target);
    const records = body.toString('latin1').split(SEPARATOR);
    assert.equal(records.pop(), '');
    const expected = Array.from({ length: 32 }, (_, i) => `n:${i}\npad:${'x'.repeat(i * 5)}`);
    assert.deepEqual(records.sort(), expected.sort());
  });
});

describe('gathering the body', () => {
  // `steps` is what the client sends (see converse); `record` what is stored.
  const GATHERINGS = [
    {
      name: 'the body in later segments',
      steps: (t) => [postRequest(t, Buffer.alloc(0), { length: 22 }), bytes('name=Ann+Lee'), bytes('&msg=Hi%21')],
      gapMs: 30,
      record: 'name:Ann Lee\nmsg:Hi!',
    },
    {
      name: 'the rest from the socket after a full head read',
      steps: (t) => [postAcrossHeadRead(t, 11, bytes('a=1'), bytes('&b=2&c=3'))],
      record: 'a:1\nb:2\nc:3',
    },
    {
      name: 'nothing beyond the announced length is taken from the socket',
      steps: (t) => [postAcrossHeadRead(t, 5, bytes('a'), bytes('=1&b=2'))],
      record: 'a:1\nb',
    },
    {
      name: 'more bytes with the head than announced: all are decoded',
      steps: (t) => [postRequest(t, bytes('a=1&b=2'), { length: 3 })],
      record: 'a:1\nb:2',
    },
    {
      name: 'no Content-Length: only what came with the head',
      steps: (t) => [postRequest(t, bytes('a=1'), { length: null })],
      record: 'a:1',
    },
    {
      name: 'a negative length: only what came with the head',
      steps: (t) => [postRequest(t, bytes('a=1'), { length: -5 })],
      record: 'a:1',
    },
    {
      name: 'short: 20 of 50 announced, then the peer shuts its side',
      steps: (t) => [postAcrossHeadRead(t, 50, bytes('a=12345'), bytes('&b=123456789')), 'end'],
      record: 'a:12345\nb:123456789',
    },
    {
      name: 'an announced length beyond any memory: read until the peer stops',
      steps: (t) => [postRequest(t, bytes('a=1'), { length: HUGE_LENGTH }), bytes('&b=2'), 'end'],
      record: 'a:1\nb:2',
    },
    {
      name: 'the request\'s own Content-Type is not consulted',
      steps: (t) => [postRequest(t, bytes('a=1+2'), { headers: [['Content-Type', 'multipart/form-data; boundary=x']] })],
      record: 'a:1 2',
    },
  ];
  for (const [i, { name, steps, gapMs, record }] of GATHERINGS.entries()) {
    test(name, async () => {
      const target = `/gather/${i}`;
      const planned = steps(target);
      const reply = gapMs
        ? await exchange(server.port, undefined, { chunks: planned, gapMs })
        : await converse(server.port, planned);
      assert.equal(reply.toString('latin1'), REPLY.seeOther(target));
      await assertRecords(target, `${record}${SEPARATOR}`);
    });
  }
});

describe('the 303 reply', () => {
  test('Location is the target as sent, query included, and the record is stored under it', async () => {
    const target = '/log?x=1&y=%41';
    const reply = await exchange(server.port, postRequest(target, bytes('a=1')));
    assert.equal(reply.toString('latin1'), REPLY.seeOther(target));
    await assertRecords(target, `a:1${SEPARATOR}`);
    assert.equal((await exchange(server.port, request('GET', '/log'))).toString('latin1'), REPLY.notFound);
  });

  // The Location line echoes the target, where a line feed would start a
  // header of the poster's choosing.
  for (const target of ['/log\nSet-Cookie:a=b', '/log\x01', '/log\x7f']) {
    test(`a target with a control byte, ${JSON.stringify(target)}: 400 and nothing stored`, async () => {
      const reply = await converse(server.port, [postRequest(target, bytes('a=1'))]);
      assert.equal(reply.toString('latin1'), REPLY.badRequest);
      assert.equal(reply.reset, false, 'the 400 ends with the end of stream');
      assert.equal((await exchange(server.port, request('GET', target))).toString('latin1'), REPLY.notFound);
    });
  }

  // The reply is formatted: the longest target that fits the small buffer,
  // and longer ones, must all go out whole.
  for (const length of [185, 186, 400, 3000]) {
    test(`a target of ${length} bytes gives a whole ${70 + length}-byte reply`, async () => {
      const target = `/long/${'t'.repeat(length - 6)}`;
      const reply = await exchange(server.port, postRequest(target, bytes('a=1')));
      assert.equal(reply.length, 70 + length);
      assert.equal(reply.toString('latin1'), REPLY.seeOther(target));
    });
  }
});

describe('curl', () => {
  const curl = (...args) => run('curl', ['-sS', '--max-time', '60', ...args]);

  test('posts a form as a browser would and reads the records back', async () => {
    const url = `http://127.0.0.1:${server.port}/curl/guestbook`;
    const posted = await curl('-o', '/dev/null', '-w', '%{http_code} %{redirect_url}', '-d', 'name=Ann+Lee&msg=Hi%21', url);
    assert.equal(posted.stdout, `303 ${url}`);
    await curl('-o', '/dev/null', '--data-urlencode', 'msg=Hi & bye = 100%', url);
    const { stdout } = await curl(url);
    assert.equal(stdout, `name:Ann Lee\nmsg:Hi!${SEPARATOR}msg:Hi & bye = 100%${SEPARATOR}`);
  });
});
