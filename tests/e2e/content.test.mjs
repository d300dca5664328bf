// The content service against the real program: the built-in resources, and
// GET, PUT, OPTIONS and the refused methods, each to the byte of its reply and
// its log lines; uploads over raw sockets and with curl; many clients on one
// resource at once. One server serves the whole file.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { promisify } from 'node:util';
import { sharedServer, exchange, splitReply, longBits, converse, HEAD_READ, BANNER } from './lib/server.mjs';
import { PEER, REPLY, request, putRequest, put, get, loggedBy, seededBytes, headOfSize, BUILTINS } from './lib/content.mjs';

const run = promisify(execFile);
const wide = longBits() === 64;
const LONG_MAX = wide ? '9223372036854775807' : '2147483647';

const server = sharedServer();
// Runs after the shared server's stop (hooks run in the order they are
// registered): the stop's line is the last one the server writes.
after(() => assert.equal(server.lines().at(-1), 'stopping server...'));

const accessed = (target) => `Accessed '${target}' From '${PEER}'`;
const missed = (target) => `Access '${target}' From '${PEER}'`;
const creating = (target) => `Creating: ${target}`;
const created = (target) => `Created: ${target}`;

// Bytes in which every value occurs, with many zero bytes among them.
function binaryBody(size, seed) {
  const bytes = seededBytes(size, seed);
  for (let i = 0; i < size; i += 7) bytes[i] = 0;
  return bytes;
}

async function assertStored(target, type, body) {
  const { head, body: got } = await get(server.port, target);
  assert.equal(head, type ? REPLY.okTyped(type) : REPLY.ok, `head of ${target}`);
  assert.ok(got.equals(Buffer.from(body)), `body of ${target}: ${got.length} bytes, expected ${body.length}`);
}

describe('start', () => {
  test('the banner comes first, then the bind lines', () => {
    assert.deepEqual(server.lines().slice(0, 3), [
      BANNER,
      `bindto: 127.0.0.1:${server.port}.`,
      'Ctrl+C to stop server.',
    ]);
  });

  for (const { target, type, file } of BUILTINS) {
    test(`GET ${target} serves the embedded ${path.basename(file)} byte for byte`, async () => {
      const { result, lines } = await loggedBy(server, () => exchange(server.port, request('GET', target)));
      const { head, body } = splitReply(result);
      assert.equal(head, REPLY.okTyped(type));
      assert.ok(body.equals(fs.readFileSync(file)), `${body.length} bytes served, file has ${fs.statSync(file).size}`);
      assert.deepEqual(lines, [accessed(target)]);
    });
  }
});

describe('GET', () => {
  // Keys are the target exactly as sent: no query dropped, no decoding, no
  // case folding, no index name.
  const misses = ['/?x=1', '/?', '/ACE.MIN.JS', '/Mode-html.js', '/index.html', '/favicon.ico', '//', '/%41'];
  for (const target of misses) {
    test(`${target} is a miss: 404 and an Access line`, async () => {
      const { result, lines } = await loggedBy(server, () => exchange(server.port, request('GET', target)));
      assert.equal(result.toString('latin1'), REPLY.notFound);
      assert.deepEqual(lines, [missed(target)]);
    });
  }

  test('/A stored leaves /%41 a miss', async () => {
    await put(server.port, '/A', 'capital a', { type: 'text/plain' });
    await assertStored('/A', 'text/plain', 'capital a');
    assert.equal((await exchange(server.port, request('GET', '/%41'))).toString('latin1'), REPLY.notFound);
  });

  test('a query is part of the key', async () => {
    await put(server.port, '/q?v=1', 'one', { type: 'text/plain' });
    await put(server.port, '/q?v=2', 'two', { type: 'text/plain' });
    await assertStored('/q?v=1', 'text/plain', 'one');
    await assertStored('/q?v=2', 'text/plain', 'two');
    assert.equal((await exchange(server.port, request('GET', '/q'))).toString('latin1'), REPLY.notFound);
  });
});

describe('PUT', () => {
  test('/a.html: three log lines, the 201, then GET serves it with its type', async () => {
    const { result, lines } = await loggedBy(server, () =>
      exchange(server.port, putRequest('/a.html', Buffer.from('<p>x'), { type: 'text/html', length: 4 })),
    );
    assert.equal(result.toString('latin1'), REPLY.created);
    assert.deepEqual(lines, [creating('/a.html'), 'reserved: 4', created('/a.html')]);

    const got = await loggedBy(server, () => exchange(server.port, request('GET', '/a.html')));
    assert.equal(got.result.toString('latin1'), `${REPLY.okTyped('text/html')}<p>x`);
    assert.deepEqual(got.lines, [accessed('/a.html')]);
  });

  // How the body reaches the server, and what ends up stored. `steps` gives
  // what the client sends on its connection (see converse).
  const waitCreating = (target) => () => server.waitForLine(creating(target));
  const big = binaryBody(200_000, 3);
  const deliveries = [
    {
      name: 'the whole body with the head',
      target: '/d/with-head',
      steps: (t) => [putRequest(t, Buffer.from('0123456789'), { type: 'text/plain' })],
      stored: '0123456789',
      reserved: 10,
    },
    {
      name: 'more bytes with the head than announced: all are kept',
      target: '/d/more-than-announced',
      steps: (t) => [putRequest(t, Buffer.from('abcdefghijklmnopqrstuvwxy'), { type: 'text/plain', length: 10 })],
      stored: 'abcdefghijklmnopqrstuvwxy',
      reserved: 10,
    },
    {
      name: 'the head alone, then the body in later segments',
      target: '/d/later-segments',
      steps: (t) => [
        putRequest(t, Buffer.alloc(0), { type: 'text/plain', length: big.length }),
        waitCreating(t),
        big.subarray(0, 70_000),
        big.subarray(70_000),
      ],
      stored: big,
      reserved: big.length,
    },
    {
      name: 'a later segment beyond the announced length is kept whole',
      target: '/d/segment-beyond',
      steps: (t) => [
        putRequest(t, Buffer.from('abc'), { type: 'text/plain', length: 5 }),
        waitCreating(t),
        Buffer.from('defghijklmnopq'),
      ],
      stored: 'abcdefghijklmnopq',
      reserved: 5,
    },
    {
      name: 'short: the peer sends 300 of 1000 and shuts its side',
      target: '/d/short',
      steps: (t) => [putRequest(t, Buffer.from('x'.repeat(100)), { type: 'text/plain', length: 1000 }), waitCreating(t), Buffer.from('y'.repeat(200)), 'end'],
      stored: 'x'.repeat(100) + 'y'.repeat(200),
      reserved: 1000,
    },
    {
      name: 'no Content-Length: only what came with the head',
      target: '/d/no-length',
      steps: (t) => [putRequest(t, Buffer.from('abc'), { type: 'text/plain', length: null })],
      stored: 'abc',
      reserved: 0,
    },
    {
      name: 'a length that is no number counts as 0',
      target: '/d/not-a-number',
      steps: (t) => [putRequest(t, Buffer.from('abc'), { type: 'text/plain', length: 'many' })],
      stored: 'abc',
      reserved: 0,
    },
    {
      name: 'a length read as far as it is a number, sign included',
      target: '/d/signed-length',
      steps: (t) => [putRequest(t, Buffer.from('abcdef'), { type: 'text/plain', length: '+3 bytes' })],
      stored: 'abcdef',
      reserved: 3,
    },
    {
      name: 'header names in any case',
      target: '/d/header-case',
      steps: (t) => [request('PUT', t, [['content-TYPE', 'text/plain'], ['CONTENT-length', '3']], Buffer.from('abc'))],
      stored: 'abc',
      reserved: 3,
    },
    {
      name: 'length 0 and no body: an empty resource',
      target: '/d/empty',
      steps: (t) => [putRequest(t, Buffer.alloc(0), { type: 'text/plain' })],
      stored: '',
      reserved: 0,
    },
    {
      name: `the largest long (${LONG_MAX}): no room set aside, read until the peer stops`,
      target: '/d/largest-long',
      steps: (t) => [putRequest(t, Buffer.from('abc'), { type: 'text/plain', length: LONG_MAX }), waitCreating(t), big, 'end'],
      stored: Buffer.concat([Buffer.from('abc'), big]),
      reserved: null,
    },
    {
      // 32-bit builds take this number as the largest long (the row above).
      name: '2147483647 is an ordinary length where long has 64 bits',
      skip: !wide && 'long has 32 bits in this build',
      target: '/d/two-gib',
      steps: (t) => [putRequest(t, Buffer.from('xyz'), { type: 'text/plain', length: 2147483647 }), waitCreating(t), 'end'],
      stored: 'xyz',
      reserved: 2147483647,
    },
  ];
  for (const { name, skip, target, steps, stored, reserved } of deliveries) {
    test(name, { skip }, async () => {
      const { result, lines } = await loggedBy(server, () => converse(server.port, steps(target)));
      assert.equal(result.toString('latin1'), REPLY.created);
      const expected = [creating(target), ...(reserved === null ? [] : [`reserved: ${reserved}`]), created(target)];
      assert.deepEqual(lines, expected);
      await assertStored(target, 'text/plain', stored);
    });
  }

  test('without Content-Type the GET head has no Content-Type line', async () => {
    await put(server.port, '/untyped', 'plain bytes');
    const reply = await exchange(server.port, request('GET', '/untyped'));
    assert.equal(reply.toString('latin1'), `${REPLY.ok}plain bytes`);
  });

  test('binary bodies with zero bytes come back byte for byte', async () => {
    const everyByte = Buffer.from(Array.from({ length: 512 }, (_, i) => i & 0xff));
    await put(server.port, '/bin/every-byte', everyByte, { type: 'application/octet-stream' });
    await assertStored('/bin/every-byte', 'application/octet-stream', everyByte);
    const noise = binaryBody(300_000, 11);
    await put(server.port, '/bin/noise', noise, { type: 'application/octet-stream' });
    await assertStored('/bin/noise', 'application/octet-stream', noise);
  });

  test('a second PUT replaces type and bytes', async () => {
    await put(server.port, '/replaced', 'first version, longer', { type: 'text/plain' });
    await put(server.port, '/replaced', 'second', { type: 'image/png' });
    await assertStored('/replaced', 'image/png', 'second');
  });

  // A client may announce far more than it sends; the stored resource must
  // not keep the room the announcement set aside.
  const addressSpace = () => {
    const status = fs.readFileSync(`/proc/${server.child.pid}/status`, 'latin1');
    return Number(/^VmSize:\s+(\d+) kB/m.exec(status)[1]) * 1024;
  };
  const GIB = 2 ** 30;
  test('a body that comes short gives back the room its length set aside', {
    skip: longBits() !== 64 || !fs.existsSync('/proc/self/status')
      ? 'needs a 64-bit build with its own /proc entry' : false,
  }, async () => {
    const before = addressSpace();
    const reply = await converse(server.port, [putRequest('/short', Buffer.from('abc'), { length: GIB }), 'end']);
    assert.equal(reply.toString('latin1'), REPLY.created);
    assert.ok(addressSpace() - before < GIB / 2, 'the announced gigabyte is still held');
    await assertStored('/short', undefined, 'abc');
  });

  // The typed 200 head is formatted: the longest that fits the small buffer,
  // and longer ones, must all go out whole.
  for (const length of [220, 221, 300, 3000]) {
    test(`a type of ${length} bytes gives a whole ${35 + length}-byte head`, async () => {
      const type = `application/x-${'t'.repeat(length - 14)}`;
      const target = `/long-type-${length}`;
      await put(server.port, target, 'body', { type });
      const { head, body } = await get(server.port, target);
      assert.equal(head.length, 35 + length);
      assert.equal(head, REPLY.okTyped(type));
      assert.equal(body.toString('latin1'), 'body');
    });
  }
});

describe('PUT refused: the stored entry keeps its content', () => {
  const refusals = [
    { length: '-1', reply: REPLY.badRequest },
    { length: '-2147483648', reply: REPLY.badRequest },
    { length: '1000000000000000', reply: REPLY.tooLarge, skip: !wide && 'long has 32 bits in this build' },
    { length: '9223372036854775806', reply: REPLY.tooLarge, skip: !wide && 'long has 32 bits in this build' },
  ];
  for (const [i, { length, reply, skip }] of refusals.entries()) {
    test(`Content-Length ${length}: ${reply.split('\r\n')[0]}`, { skip }, async () => {
      const kept = `/refused/kept-${i}`;
      await put(server.port, kept, 'old content', { type: 'text/old' });
      const replaced = await loggedBy(server, () =>
        exchange(server.port, putRequest(kept, Buffer.from('new'), { type: 'text/new', length })),
      );
      assert.equal(replaced.result.toString('latin1'), reply);
      assert.deepEqual(replaced.lines, [creating(kept)]);
      await assertStored(kept, 'text/old', 'old content');

      const absent = `/refused/absent-${i}`;
      const refused = await exchange(server.port, putRequest(absent, Buffer.from('new'), { type: 'text/new', length }));
      assert.equal(refused.toString('latin1'), reply);
      assert.equal((await exchange(server.port, request('GET', absent))).toString('latin1'), REPLY.notFound);
    });
  }
});

describe('PUT with a control byte in its Content-Type: 400, the stored entry kept', () => {
  // GET would echo the type into its Content-Type line, where a line feed
  // starts a header of the uploader's choosing.
  const types = ['text/html\nSet-Cookie: a=b', 'text/\x01html', 'text/html\x1b', 'text/\x7fhtml'];
  for (const [i, type] of types.entries()) {
    test(JSON.stringify(type), async () => {
      const kept = `/control/kept-${i}`;
      await put(server.port, kept, 'old content', { type: 'text/old' });
      const refused = await loggedBy(server, () => converse(server.port, [putRequest(kept, Buffer.from('new'), { type })]));
      assert.equal(refused.result.toString('latin1'), REPLY.badRequest);
      assert.equal(refused.result.reset, false, 'the 400 ends with the end of stream');
      assert.deepEqual(refused.lines, [creating(kept)]);
      await assertStored(kept, 'text/old', 'old content');
    });
  }

  test('a tab is no line break: stored as sent', async () => {
    await put(server.port, '/control/tab', 'tabbed', { type: 'text/plain;\tcharset=utf-8' });
    await assertStored('/control/tab', 'text/plain;\tcharset=utf-8', 'tabbed');
  });
});

// A head one byte longer than the server's head read fills that read up to
// the CR of its blank line; the LF after it, and the body, come in the same
// write.
describe('a head that fills the read up to its last CR', () => {
  const HEAD = HEAD_READ + 1;
  const cases = [
    {
      name: 'PUT stores the body alone',
      target: '/long-head/put',
      make: (t) => (pad) => request('PUT', t, [['Content-Type', 'text/plain'], ['Content-Length', '5'], ['X-Pad', pad]], 'hello'),
      body: 5,
      reply: REPLY.created,
      type: 'text/plain',
      stored: 'hello',
    },
    {
      name: 'POST stores its record whole',
      target: '/long-head/post',
      make: (t) => (pad) => request('POST', t, [['Content-Length', '5'], ['X-Pad', pad]], 'a=b+c'),
      body: 5,
      reply: REPLY.seeOther('/long-head/post'),
      type: 'text/plain',
      stored: 'a:b c\n---\n',
    },
  ];
  for (const { name, target, make, body, reply, type, stored } of cases) {
    test(name, async () => {
      const got = await converse(server.port, [headOfSize(HEAD, make(target), body)]);
      assert.equal(got.toString('latin1'), reply);
      assert.equal(got.reset, false, 'the reply ends with the end of stream');
      await assertStored(target, type, stored);
    });
  }
});

describe('OPTIONS', () => {
  test('answers the preflight, writes no line and creates nothing', async () => {
    const { result, lines } = await loggedBy(server, () =>
      exchange(server.port, request('OPTIONS', '/preflight', [['Origin', 'http://elsewhere.test'], ['Access-Control-Request-Method', 'PUT']])),
    );
    assert.equal(result.toString('latin1'), REPLY.noContent);
    assert.equal(result.length, 164);
    assert.deepEqual(lines, []);
    assert.equal((await exchange(server.port, request('GET', '/preflight'))).toString('latin1'), REPLY.notFound);
  });

  test('leaves a stored resource as it was', async () => {
    await put(server.port, '/options-stored', 'kept', { type: 'text/plain' });
    const reply = await exchange(server.port, request('OPTIONS', '/options-stored', [['Content-Length', '3']], Buffer.from('abc')));
    assert.equal(reply.toString('latin1'), REPLY.noContent);
    await assertStored('/options-stored', 'text/plain', 'kept');
  });
});

describe('other methods get 405', () => {
  for (const method of ['HEAD', 'DELETE', 'put', 'get', 'Post', 'PATCH', 'CONNECT']) {
    test(`${method}: the 405 and a "405:<socket> ${method}" line, nothing stored or removed`, async () => {
      const target = `/method-${method}`;
      await put(server.port, target, 'stays', { type: 'text/plain' });
      const { result, lines } = await loggedBy(server, () =>
        exchange(server.port, request(method, target, [['Content-Length', '3']], Buffer.from('new'))),
      );
      assert.equal(result.toString('latin1'), REPLY.notAllowed);
      assert.equal(lines.length, 1);
      assert.match(lines[0], new RegExp(`^405:\\d+ ${method}$`));
      await assertStored(target, 'text/plain', 'stays');

      const fresh = `/method-${method}-fresh`;
      assert.equal((await exchange(server.port, request(method, fresh))).toString('latin1'), REPLY.notAllowed);
      assert.equal((await exchange(server.port, request('GET', fresh))).toString('latin1'), REPLY.notFound);
    });
  }
});

describe('curl', () => {
  let dir;
  before(() => {
    dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tinkerpot-content-'));
  });
  after(() => fs.rmSync(dir, { recursive: true, force: true }));

  const curl = (...args) => run('curl', ['-sS', '--max-time', '120', ...args], { encoding: 'buffer', maxBuffer: 64 << 20 });

  test('uploads a binary file with PUT and fetches it back identical', async () => {
    const upload = path.join(dir, 'upload.bin');
    const download = path.join(dir, 'download.bin');
    fs.writeFileSync(upload, binaryBody(1_500_000, 5));
    const url = `http://127.0.0.1:${server.port}/curl/upload.bin`;
    const sent = await curl('-T', upload, '-H', 'Content-Type: application/octet-stream', '-w', '%{http_code}', url);
    assert.equal(sent.stdout.toString(), '201');
    const fetched = await curl('-o', download, '-w', '%{http_code} %{content_type}', url);
    assert.equal(fetched.stdout.toString(), '200 application/octet-stream');
    assert.ok(fs.readFileSync(download).equals(fs.readFileSync(upload)));
  });

  // A body in chunks names no length, and its chunk markup is no content:
  // refused with 411 before anything is stored or appended.
  const CHUNKED = [
    { name: 'PUT of standard input (curl -T -)', shell: (url) => `printf 'hi\\n' | curl -sS -T - -w '%{http_code}' '${url}'` },
    { name: 'PUT streamed in chunks', args: (file, url) => ['-X', 'PUT', '-H', 'Transfer-Encoding: chunked', '-H', 'Content-Type: text/html', '--data-binary', `@${file}`, url] },
    { name: 'POST of a form in chunks', args: (file, url) => ['-H', 'Transfer-Encoding: chunked', '--data-binary', `@${file}`, url] },
  ];
  for (const [i, c] of CHUNKED.entries()) {
    test(`${c.name}: 411, what was stored stays`, async () => {
      const body = path.join(dir, `chunked-${i}`);
      fs.writeFileSync(body, '<h1>hi</h1>&a=1');
      const kept = `/curl/chunked-kept-${i}`;
      await put(server.port, kept, 'old content', { type: 'text/old' });
      for (const target of [kept, `/curl/chunked-absent-${i}`]) {
        const url = `http://127.0.0.1:${server.port}${target}`;
        const { stdout } = c.shell
          ? await run('sh', ['-c', c.shell(url)], { encoding: 'buffer' })
          : await curl('-w', '%{http_code}', '-o', '/dev/null', ...c.args(body, url));
        assert.equal(stdout.toString(), '411', `${c.name} to ${target}`);
      }
      await assertStored(kept, 'text/old', 'old content');
      assert.equal((await exchange(server.port, request('GET', `/curl/chunked-absent-${i}`))).toString('latin1'), REPLY.notFound);
    });
  }

  test('a chunked PUT over a raw socket gets the whole 411, ending in the end of stream', async () => {
    const chunked = request('PUT', '/raw-chunked', [['Transfer-Encoding', 'chunked']], Buffer.from('B\r\n<h1>hi</h1>\r\n0\r\n\r\n'));
    const reply = await converse(server.port, [chunked]);
    assert.equal(reply.toString('latin1'), REPLY.lengthRequired);
    assert.equal(reply.reset, false);
    assert.equal((await exchange(server.port, request('GET', '/raw-chunked'))).toString('latin1'), REPLY.notFound);
  });

  test('a browser-like preflight gets the 204 head', async () => {
    const { stdout } = await curl('-i', '-X', 'OPTIONS', '-H', 'Origin: http://elsewhere.test',
      '-H', 'Access-Control-Request-Method: PUT', `http://127.0.0.1:${server.port}/curl/anything`);
    assert.equal(stdout.toString('latin1'), REPLY.noContent);
  });

  test('the editor page is served to curl as text/html', async () => {
    const { stdout } = await curl('-D', '-', '-o', '/dev/null', `http://127.0.0.1:${server.port}/`);
    assert.equal(stdout.toString('latin1'), REPLY.okTyped('text/html'));
  });
});

describe('many clients on one resource', () => {
  // Each version has its own type and length, so a GET that mixed two
  // versions, or one version's type with another's bytes, shows up.
  const VERSIONS = Array.from({ length: 4 }, (_, i) => ({
    type: `application/x-version-${i}`,
    body: binaryBody(120_000 + i * 7919, 100 + i),
  }));
  const ROUNDS = 3;
  const PUTS = 16;
  const GETS = 48;

  test(`${PUTS} PUTs and ${GETS} GETs at once, ${ROUNDS} times: every GET serves one version whole`, async () => {
    const target = '/shared/resource.bin';
    await put(server.port, target, VERSIONS[0].body, { type: VERSIONS[0].type });
    for (let round = 0; round < ROUNDS; round++) {
      const puts = Array.from({ length: PUTS }, (_, i) => {
        const v = VERSIONS[(i + round) % VERSIONS.length];
        return exchange(server.port, putRequest(target, v.body, { type: v.type }));
      });
      const gets = Array.from({ length: GETS }, () => exchange(server.port, request('GET', target)));
      const [putReplies, getReplies] = await Promise.all([Promise.all(puts), Promise.all(gets)]);
      for (const reply of putReplies) assert.equal(reply.toString('latin1'), REPLY.created);
      for (const reply of getReplies) {
        const { head, body } = splitReply(reply);
        const version = VERSIONS.find((v) => head === REPLY.okTyped(v.type));
        assert.ok(version, `unexpected head ${JSON.stringify(head)}`);
        assert.ok(body.equals(version.body), `${version.type}: ${body.length} bytes, expected ${version.body.length}`);
      }
    }
  });
});

// Last: it changes a built-in for the rest of the server's life.
describe('PUT to "/"', () => {
  test('replaces the editor page with the upload and its type', async () => {
    await put(server.port, '/', 'my own page', { type: 'text/x-mine' });
    await assertStored('/', 'text/x-mine', 'my own page');
    await assertStored('/', 'text/x-mine', 'my own page');
  });
});
