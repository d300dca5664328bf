// Uploads and form posts in memory cgroups, as in a container started with
// a memory limit: the bound follows the cgroup's limit, not the machine's
// free memory, and nothing the server does near that limit gets it killed.
//
// Each group of tests makes a child cgroup below the test's own (v1 or v2)
// and starts its servers in it. That needs the right to do so (root, a
// writable cgroup tree); the tests are skipped, saying why, where no such
// cgroup can be made, for builds run under an emulator (whose own memory
// would count in the cgroup) and for sanitizer builds (whose shadow memory
// and quarantine would).
import { describe, test, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { withServer, converse, binary, runner } from './lib/server.mjs';
import { REPLY, request, putRequest, put, get } from './lib/content.mjs';

const MiB = 1024 * 1024;

// The process's own memory cgroup folder, v1 or v2, from /proc/self/cgroup
// and where its hierarchy is mounted.
function ownMemoryCgroup() {
  const lines = fs.readFileSync('/proc/self/cgroup', 'utf8').trim().split('\n').map((line) => {
    const [id, controllers, ...rest] = line.split(':');
    return { id, controllers: controllers.split(','), own: rest.join(':') };
  });
  const mounts = fs.readFileSync('/proc/self/mountinfo', 'utf8').trim().split('\n').map((line) => {
    const [before, after] = line.split(' - ');
    const fields = before.split(' ');
    const [type, , options = ''] = after.split(' ');
    return { root: fields[3], point: fields[4], type, options: options.split(',') };
  });
  const kinds = [
    { version: 1, limitFile: 'memory.limit_in_bytes', usageFile: 'memory.usage_in_bytes',
      line: (l) => l.controllers.includes('memory'), mount: (m) => m.type === 'cgroup' && m.options.includes('memory') },
    { version: 2, limitFile: 'memory.max', usageFile: 'memory.current',
      line: (l) => l.id === '0' && l.controllers.join('') === '', mount: (m) => m.type === 'cgroup2' },
  ];
  for (const kind of kinds) {
    const line = lines.find(kind.line);
    const mount = mounts.find(kind.mount);
    if (!line || !mount) continue;
    const below = mount.root !== '/' && line.own.startsWith(mount.root) ? line.own.slice(mount.root.length) : line.own;
    const dir = path.join(mount.point, below);
    if (kind.version === 1 || fs.existsSync(path.join(dir, 'cgroup.subtree_control'))) return { ...kind, dir };
  }
  return null;
}

// A child cgroup limited to `limit` bytes, or the reason there is none.
function makeCgroup(limit, name) {
  if (process.platform !== 'linux') return { why: 'memory cgroups are Linux' };
  if (fs.readFileSync(binary).subarray(0, 2).toString('latin1') === 'MZ') return { why: 'Windows builds know no cgroups' };
  if (runner.length > 0) return { why: 'the emulator\'s own memory would count in the cgroup' };
  if (process.env.TINKERPOT_SANITIZE) return { why: 'a sanitizer\'s own memory would count in the cgroup' };
  const parent = ownMemoryCgroup();
  if (!parent) return { why: 'no memory cgroup hierarchy is mounted' };
  const dir = path.join(parent.dir, `tinkerpot-${name}-${process.pid}`);
  try {
    fs.mkdirSync(dir);
  } catch (e) {
    return { why: `cannot make a cgroup below ${parent.dir}: ${e.message}` };
  }
  try {
    if (parent.version === 2 && !fs.existsSync(path.join(dir, parent.limitFile))) {
      fs.appendFileSync(path.join(parent.dir, 'cgroup.subtree_control'), '+memory');
    }
    fs.writeFileSync(path.join(dir, parent.limitFile), String(limit));
  } catch (e) {
    fs.rmdirSync(dir);
    return { why: `cannot limit the memory of ${dir}: ${e.message}` };
  }
  return { dir, version: parent.version, usage: () => Number(fs.readFileSync(path.join(dir, parent.usageFile), 'utf8')) };
}

// Runs a command line inside the cgroup.
const IN_CGROUP = ['sh', '-c', 'echo $$ > "$0/cgroup.procs" && exec "$@"'];
const inCgroupOf = (cgroup) => (body) => withServer(body, { wrap: [...IN_CGROUP, cgroup.dir] });

const filler = (size, byte = 'c') => Buffer.alloc(size, byte);

const LIMIT = 88 * MiB;
const cgroup = makeCgroup(LIMIT, 'uploads');

describe(`uploads in a cgroup of ${LIMIT / MiB} MiB`, { skip: cgroup.why }, () => {
  // A server of its own for each test, since what one stores stays in the
  // cgroup; once they have all ended, the empty cgroup can go.
  const inCgroup = inCgroupOf(cgroup);
  after(() => fs.rmdirSync(cgroup.dir));

  test('a PUT announcing more than the cgroup leaves: 413 before any body', () => inCgroup(async (server) => {
    const reply = await converse(server.port, [putRequest('/too-large', Buffer.alloc(0), { length: 200 * MiB }), 'end']);
    assert.equal(reply.toString('latin1'), REPLY.tooLarge);
    assert.equal((await converse(server.port, [request('GET', '/too-large')])).toString('latin1'), REPLY.notFound);
  }));

  // The body fills most of its room; a copy of it that fits would not fit
  // beside it, so it is stored with its room instead.
  test('an upload cut short near the limit is stored, and nothing stored before is lost', () => inCgroup(async (server) => {
    await put(server.port, '/before', 'stored before', { type: 'text/plain' });
    const sent = filler(59 * MiB);
    const reply = await converse(server.port, [putRequest('/cut-short', sent.subarray(0, MiB), { length: 60 * MiB }), sent.subarray(MiB), 'end']);
    assert.equal(reply.toString('latin1'), REPLY.created);
    const before = await get(server.port, '/before');
    assert.equal(before.body.toString('latin1'), 'stored before');
    const stored = await get(server.port, '/cut-short');
    assert.ok(stored.body.equals(sent), `${stored.body.length} bytes stored of ${sent.length}`);
  }));

  // The first upload has written 32 of its 40 MiB: 8 are still to come.
  // Counting its 32 both as written and as set aside would leave no room
  // for the second, which fits beside it.
  test('bytes already received count once: a second upload that fits is stored', () => inCgroup(async (server) => {
    const first = filler(40 * MiB, 'f');
    const written = 32 * MiB;
    let finish;
    const finished = new Promise((resolve) => { finish = resolve; });
    const firstReply = converse(server.port, [
      putRequest('/first', first.subarray(0, written), { length: first.length }),
      () => finished,
      first.subarray(written),
    ]);
    await server.waitForLine(`reserved: ${first.length}`);
    const second = filler(30 * MiB, 's');
    const secondReply = await converse(server.port, [putRequest('/second', second)]);
    finish();
    assert.equal(secondReply.toString('latin1'), REPLY.created);
    assert.equal((await firstReply).toString('latin1'), REPLY.created);
    assert.ok((await get(server.port, '/second')).body.equals(second));
    assert.ok((await get(server.port, '/first')).body.equals(first));
  }));
});

// Two posts that arrive together, each to a target of 45 MiB: a post copies
// its target into a block of twice its size, and both blocks at once would
// not fit. The second is claimed against the first: it gets the bare need,
// or 413, and the server lives.
const POSTS_LIMIT = 200 * MiB;
const postsCgroup = makeCgroup(POSTS_LIMIT, 'posts');

describe(`form posts in a cgroup of ${POSTS_LIMIT / MiB} MiB`, { skip: postsCgroup.why }, () => {
  after(() => fs.rmdirSync(postsCgroup.dir));

  test('two posts at once to targets of 45 MiB: each 303 or 413, nothing lost', () => inCgroupOf(postsCgroup)(async (server) => {
    const targets = ['/t1', '/t2'];
    const upload = filler(45 * MiB, 'p');
    for (const target of targets) await put(server.port, target, upload, { type: 'application/octet-stream' });
    // Each post's last byte is held back until both have sent the rest, so
    // that the two are handled at the same moment.
    let release;
    const together = new Promise((resolve) => { release = resolve; });
    const post = (target) => converse(server.port, [
      request('POST', target, [['Content-Length', '3']], Buffer.from('a=')), () => together, Buffer.from('b')]);
    const posts = targets.map(post);
    setTimeout(release, 500);
    const replies = (await Promise.all(posts)).map((r) => r.toString('latin1'));
    for (const [i, target] of targets.entries()) {
      assert.ok([REPLY.seeOther(target), REPLY.tooLarge].includes(replies[i]), `POST ${target}: ${JSON.stringify(replies[i])}`);
      const posted = replies[i] === REPLY.seeOther(target);
      const { body } = await get(server.port, target);
      const expected = posted ? Buffer.concat([upload, Buffer.from('a:b\n---\n')]) : upload;
      assert.ok(body.equals(expected), `GET ${target} after a ${posted ? 303 : 413}: ${body.length} bytes`);
    }
    assert.ok(replies.includes(REPLY.seeOther(targets[0])) || replies.includes(REPLY.seeOther(targets[1])),
      'one of the two posts fits');
  }));
});

// The cgroup's usage counts the cache of files its processes wrote, which the
// kernel takes back whenever memory is asked for: a container that has just
// built or copied something must still take uploads that fit.
const CACHE_LIMIT = 128 * MiB;
const cacheCgroup = makeCgroup(CACHE_LIMIT, 'cache');

describe(`uploads in a cgroup of ${CACHE_LIMIT / MiB} MiB whose usage is mostly file cache`, { skip: cacheCgroup.why }, () => {
  after(() => fs.rmdirSync(cacheCgroup.dir));

  test('after another process of the cgroup wrote 300 MiB, a PUT of 40 MiB is stored', () => inCgroupOf(cacheCgroup)(async (server) => {
    const first = filler(40 * MiB, '1');
    await put(server.port, '/first', first);
    // On a disk's file system, so that its pages are file cache, which the
    // kernel can write back and drop, not memory of tmpfs, which it cannot.
    const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'tinkerpot-cache-'));
    try {
      const written = spawnSync(IN_CGROUP[0], [...IN_CGROUP.slice(1), cacheCgroup.dir,
        'dd', 'if=/dev/zero', `of=${path.join(scratch, 'build-output')}`, 'bs=1M', 'count=300'], { encoding: 'utf8' });
      assert.equal(written.status, 0, written.stderr);
      const usage = cacheCgroup.usage();
      assert.ok(usage > CACHE_LIMIT - 40 * MiB,
        `the cgroup's usage reads ${(usage / MiB).toFixed(1)} MiB: the cache must fill it for this test to tell anything`);
      const second = filler(40 * MiB, '2');
      const reply = await converse(server.port, [putRequest('/second', second)]);
      assert.equal(reply.toString('latin1'), REPLY.created);
      assert.ok((await get(server.port, '/second')).body.equals(second));
      assert.ok((await get(server.port, '/first')).body.equals(first));
    } finally {
      fs.rmSync(scratch, { recursive: true, force: true });
    }
  }));
});
