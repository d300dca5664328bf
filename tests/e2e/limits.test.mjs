// Uploads and form posts that want more memory than the system has: they
// are refused with 413, the resource keeps what it held, and the process goes
// on serving. The Linux build takes its bound from MemAvailable in
// /proc/meminfo, so the server runs in a mount namespace of its own where that
// file reports 256 KiB.
//
// Needs root (or the right to make mount namespaces) and unshare(1); skipped
// elsewhere, and for Windows builds, whose bound comes from the system instead.
import { describe, test, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { sharedServer, withServer, exchange, splitReply, binary, repoRoot, longBits, converse, until } from './lib/server.mjs';
import { REPLY, request, putRequest, put, get } from './lib/content.mjs';

const AVAILABLE_KIB = 256;
const AVAILABLE = AVAILABLE_KIB * 1024;
const LONG_MAX = longBits() === 64 ? '9223372036854775807' : '2147483647';

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tinkerpot-limits-'));
const meminfo = path.join(dir, 'meminfo');
fs.writeFileSync(meminfo, `MemTotal:        1048576 kB\nMemFree:          ${AVAILABLE_KIB} kB\nMemAvailable:     ${AVAILABLE_KIB} kB\n`);
after(() => fs.rmSync(dir, { recursive: true, force: true }));
const WRAP = ['unshare', '--mount', '--', 'sh', '-c', 'mount --bind "$0" /proc/meminfo && exec "$@"', meminfo];

function whyNot() {
  if (process.platform !== 'linux') return 'needs Linux mount namespaces';
  if (fs.readFileSync(binary).subarray(0, 2).toString('latin1') === 'MZ') return 'Windows builds ask the system for their bound';
  const probe = spawnSync(WRAP[0], [...WRAP.slice(1), 'grep', 'MemAvailable', '/proc/meminfo'], { encoding: 'utf8' });
  if (probe.status !== 0 || !probe.stdout.includes(`${AVAILABLE_KIB} kB`)) {
    return `cannot replace /proc/meminfo: ${probe.error?.message ?? probe.stderr.trim()}`;
  }
  return false;
}

const bytes = (text) => Buffer.from(text, 'latin1');
const filler = (size) => Buffer.alloc(size, 'm');

describe('memory bounds', { skip: whyNot() }, () => {
  const server = sharedServer({ wrap: WRAP });

  // Each case is tried on a target that holds something and on one that
  // holds nothing; `steps` is what the client sends (see converse). Where
  // the body is sent, it is one byte more than is available, all in one
  // write, so that the client is done writing before the server refuses.
  const over = filler(AVAILABLE + 1);
  const REFUSED = [
    {
      name: 'PUT announcing more than is available: refused before any body',
      steps: (t) => [putRequest(t, bytes('new'), { type: 'text/new', length: AVAILABLE + 1 })],
    },
    {
      name: 'PUT of the largest long, read until the peer stops, whose body outgrows the memory',
      steps: (t) => [Buffer.concat([putRequest(t, Buffer.alloc(0), { type: 'text/new', length: LONG_MAX }), over]), 'end'],
    },
    {
      name: 'POST whose gathered body outgrows the memory',
      steps: (t) => [Buffer.concat([request('POST', t, [['Content-Length', String(2 * AVAILABLE)]]), over]), 'end'],
    },
  ];

  for (const [i, { name, steps }] of REFUSED.entries()) {
    test(`${name}: 413, nothing changed`, async () => {
      const kept = `/kept-${i}`;
      await put(server.port, kept, 'old content', { type: 'text/old' });
      for (const target of [kept, `/absent-${i}`]) {
        const reply = await converse(server.port, steps(target));
        assert.equal(reply.toString('latin1'), REPLY.tooLarge, `${name} at ${target}`);
        assert.equal(reply.reset, false, `${name} at ${target}: the 413 ends with the end of stream`);
      }
      const { head, body } = await get(server.port, kept);
      assert.equal(head, REPLY.okTyped('text/old'));
      assert.equal(body.toString('latin1'), 'old content');
      assert.equal((await exchange(server.port, request('GET', `/absent-${i}`))).toString('latin1'), REPLY.notFound);
    });
  }

  test('a POST to a resource already as large as the memory: 413, the resource intact', async () => {
    const reply = await exchange(server.port, request('POST', '/ace.min.js', [['Content-Length', '3']], bytes('a=1')));
    assert.equal(reply.toString('latin1'), REPLY.tooLarge);
    const { head, body } = await get(server.port, '/ace.min.js');
    assert.equal(head, REPLY.okTyped('text/javascript'));
    assert.ok(body.equals(fs.readFileSync(path.join(repoRoot, 'node_modules', 'ace-builds', 'src-min', 'ace.js'))));
  });

  // Room set aside touches no memory yet, so each upload alone fits what the
  // system reports; together they would not.
  test('two uploads that each fit but not together: the second gets 413, the first is stored', async () => {
    const share = Math.floor(AVAILABLE * 0.6);
    const first = filler(share);
    const opening = 1000;
    let finish;
    const finished = new Promise((resolve) => { finish = resolve; });
    const firstReply = converse(server.port, [
      putRequest('/together/first', first.subarray(0, opening), { type: 'text/first', length: share }),
      () => server.waitForLine(`reserved: ${share}`),
      () => finished,
      first.subarray(opening),
    ]);
    await server.waitForLine(`reserved: ${share}`);
    const second = await converse(server.port, [putRequest('/together/second', filler(share), { type: 'text/second' })]);
    assert.equal(second.toString('latin1'), REPLY.tooLarge);
    assert.equal(second.reset, false, 'the 413 ends with the end of stream');
    finish();
    assert.equal((await firstReply).toString('latin1'), REPLY.created);
    const stored = await get(server.port, '/together/first');
    assert.equal(stored.head, REPLY.okTyped('text/first'));
    assert.ok(stored.body.equals(first));
    assert.equal((await exchange(server.port, request('GET', '/together/second'))).toString('latin1'), REPLY.notFound);
    // Once the first is stored, its room is no longer set aside for it.
    await put(server.port, '/together/second', filler(share), { type: 'text/second' });
  });

  // At most 240 of the 256 KiB is ever set aside, so no PUT may be refused,
  // however the two clients' claims and fillings interleave.
  test('two clients uploading 120 KiB each, over and over: none refused', async () => {
    const body = filler(120 * 1024);
    const client = async (name) => {
      for (let i = 0; i < 1000; i++) {
        const reply = await exchange(server.port, putRequest(`/loop/${name}`, body, { type: 'text/loop' }));
        assert.equal(reply.toString('latin1'), REPLY.created, `${name}, PUT ${i}`);
      }
    };
    await Promise.all([client('a'), client('b')]);
  });

  // Twice the room would not fit; what the two bytes past the announced
  // length need does. The client sends all at once, so the CRLF comes with
  // the body's last bytes and is kept with them.
  test('a PUT that sends a CRLF after the length it announced: stored with it', async () => {
    const upload = filler(Math.floor(AVAILABLE * 0.6));
    const sent = Buffer.concat([upload, bytes('\r\n')]);
    const reply = await exchange(server.port, putRequest('/past-length', sent, { type: 'text/past', length: upload.length }));
    assert.equal(reply.toString('latin1'), REPLY.created);
    const stored = await get(server.port, '/past-length');
    assert.equal(stored.head, REPLY.okTyped('text/past'));
    assert.ok(stored.body.equals(sent), `${stored.body.length} bytes stored of ${sent.length}`);
  });

  test('within the memory, uploads and posts go on as usual', async () => {
    const upload = filler(AVAILABLE / 2);
    await put(server.port, '/fits.bin', upload, { type: 'application/octet-stream' });
    const stored = await get(server.port, '/fits.bin');
    assert.ok(stored.body.equals(upload));
    const target = '/fits-form';
    assert.equal((await exchange(server.port, request('POST', target, [['Content-Length', '3']], bytes('a=1')))).toString('latin1'),
      REPLY.seeOther(target));
    const { head, body } = splitReply(await exchange(server.port, request('GET', target)));
    assert.equal(head, REPLY.okTyped('text/plain'));
    assert.equal(body.toString('latin1'), 'a:1\n---\n');
  });
});


// The cgroups the process runs in, as its own /proc files describe them:
// each case replaces /proc/<pid>/cgroup and /proc/<pid>/mountinfo with its
// own and lays out the cgroup folders in a temporary tree. Every case leaves
// 48 MiB: 64 MiB allowed somewhere on the way up, 16 MiB in use.
const LEFT_MIB = 48;
const CGROUP_CASES = [
  {
    name: 'v2, the limit on the parent',
    cgroup: '0::/svc/app\n',
    mount: (dir) => `30 20 0:26 / ${dir} rw,nosuid - cgroup2 cgroup2 rw\n`,
    files: {
      'svc/app/memory.max': 'max\n', 'svc/app/memory.current': '1000\n',
      'svc/memory.max': `${64 * 1024 * 1024}\n`, 'svc/memory.current': `${16 * 1024 * 1024}\n`,
    },
  },
  {
    name: 'v2 in a namespace: the mount shows a folder below the root',
    cgroup: '0::/machine/ct/app\n',
    mount: (dir) => `30 20 0:26 /machine/ct ${dir} rw - cgroup2 cgroup2 rw\n`,
    files: {
      'app/memory.max': 'max\n', 'app/memory.current': '0\n',
      'memory.max': `${64 * 1024 * 1024}\n`, 'memory.current': `${16 * 1024 * 1024}\n`,
    },
  },
  {
    name: 'v1, the limit above the tree seen, in memory.stat',
    cgroup: '5:cpu,cpuacct:/\n4:memory:/svc/app\n0::/\n',
    mount: (dir) => `35 31 0:32 / ${dir} rw - cgroup cgroup rw,memory\n`,
    files: {
      'svc/app/memory.limit_in_bytes': '9223372036854771712\n',
      'svc/app/memory.usage_in_bytes': `${16 * 1024 * 1024}\n`,
      'svc/app/memory.stat': `cache 0\nhierarchical_memory_limit ${64 * 1024 * 1024}\nhierarchical_memsw_limit 9223372036854771712\n`,
    },
  },
  {
    name: 'v1, the limit on the cgroup itself',
    cgroup: '4:memory:/svc\n',
    mount: (dir) => `35 31 0:32 / ${dir} rw - cgroup cgroup rw,memory\n`,
    files: {
      'svc/memory.limit_in_bytes': `${64 * 1024 * 1024}\n`,
      'svc/memory.usage_in_bytes': `${16 * 1024 * 1024}\n`,
    },
  },
  // 40 MiB in use, of which 24 MiB is file cache not used lately, which the
  // kernel takes back on demand: 16 MiB count.
  {
    name: 'v2, its inactive file cache not counted as usage',
    cgroup: '0::/app\n',
    mount: (dir) => `30 20 0:26 / ${dir} rw - cgroup2 cgroup2 rw\n`,
    files: {
      'app/memory.max': `${64 * 1024 * 1024}\n`, 'app/memory.current': `${40 * 1024 * 1024}\n`,
      'app/memory.stat': `anon ${16 * 1024 * 1024}\nfile ${24 * 1024 * 1024}\nactive_file 0\ninactive_file ${24 * 1024 * 1024}\n`,
    },
  },
  {
    name: 'v1, the inactive file cache of the cgroup and those below it not counted as usage',
    cgroup: '4:memory:/svc\n',
    mount: (dir) => `35 31 0:32 / ${dir} rw - cgroup cgroup rw,memory\n`,
    files: {
      'svc/memory.limit_in_bytes': `${64 * 1024 * 1024}\n`,
      'svc/memory.usage_in_bytes': `${40 * 1024 * 1024}\n`,
      'svc/memory.stat': `cache ${24 * 1024 * 1024}\ninactive_file 0\nhierarchical_memory_limit ${64 * 1024 * 1024}\ntotal_inactive_file ${24 * 1024 * 1024}\n`,
    },
  },
];

// Lays the case out under a fresh folder; returns the wrap that starts the
// server with the case's /proc files.
function cgroupCase(c) {
  const root = fs.mkdtempSync(path.join(dir, 'cgroup-'));
  const tree = path.join(root, 'tree');
  for (const [name, text] of Object.entries(c.files)) {
    fs.mkdirSync(path.dirname(path.join(tree, name)), { recursive: true });
    fs.writeFileSync(path.join(tree, name), text);
  }
  fs.writeFileSync(path.join(root, 'cgroup'), c.cgroup);
  fs.writeFileSync(path.join(root, 'mountinfo'), c.mount(tree));
  return ['unshare', '--mount', '--', 'sh', '-c',
    'mount --bind "$0/cgroup" /proc/$$/cgroup && mount --bind "$0/mountinfo" /proc/$$/mountinfo && exec "$@"', root];
}

describe('the bound follows the cgroups the process runs in', { skip: whyNot() }, () => {
  const MiB = 1024 * 1024;
  for (const c of CGROUP_CASES) {
    test(`${c.name}: ${LEFT_MIB} MiB left`, () => withServer(async (server) => {
      const announce = async (target, mib) =>
        (await converse(server.port, [putRequest(target, Buffer.alloc(0), { length: mib * MiB }), 'end'])).toString('latin1');
      assert.equal(await announce('/over', LEFT_MIB + 1), REPLY.tooLarge);
      assert.equal(await announce('/within', LEFT_MIB - 1), REPLY.created);
    }, { wrap: cgroupCase(c) }));
  }
});

// Connections may hold every descriptor the process has. An upload that
// comes in on the last one cannot open the files its bound is read from; it
// must then be refused, not granted as if nothing bounded it.
describe('the bound while connections hold every descriptor', { skip: whyNot() }, () => {
  const DESCRIPTORS = 64;
  const wrap = ['sh', '-c', `ulimit -n ${DESCRIPTORS} && exec "$@"`, 'sh', ...WRAP];

  test('a PUT on the last descriptor: 413; once one is free, uploads are bounded as before', () => withServer(async (server) => {
    // Descriptors numbered past the limit, inherited, take none of its room.
    const open = () => fs.readdirSync(`/proc/${server.child.pid}/fd`).filter((fd) => Number(fd) < DESCRIPTORS).length;
    const idle = [];
    const connect = async () => {
      const before = open();
      const sock = net.connect({ host: '127.0.0.1', port: server.port });
      sock.on('error', () => {});
      idle.push(sock);
      await until(() => open() > before, 'the connection accepted', 10000);
    };
    try {
      while (open() < DESCRIPTORS - 1) await connect();
      const reply = await converse(server.port, [putRequest('/last', Buffer.alloc(0), { length: 2 * AVAILABLE }), 'end']);
      assert.equal(reply.toString('latin1'), REPLY.tooLarge);
    } finally {
      for (const sock of idle) sock.destroy();
    }
    await until(() => open() < DESCRIPTORS / 2, 'the idle connections closed', 10000);
    const over = await converse(server.port, [putRequest('/over', Buffer.alloc(0), { length: 2 * AVAILABLE }), 'end']);
    assert.equal(over.toString('latin1'), REPLY.tooLarge);
    await put(server.port, '/within', filler(AVAILABLE / 2));
  }, { wrap }));
});
