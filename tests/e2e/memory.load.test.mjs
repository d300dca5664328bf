// What the server keeps of the memory it was given: replacing one upload over
// and over must leave the process about as large as what it stores, since the
// allocator would otherwise keep every freed block for the worker that freed
// it; and a stored upload keeps no room beyond its bytes. Read from
// /proc/<pid>/status, so Linux only; sanitizer builds keep freed memory on
// purpose (to catch its use) and are left out.
import { describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { sharedServer, converse, longBits } from './lib/server.mjs';
import { REPLY, putRequest, get, BUILTINS } from './lib/content.mjs';

const MIB = 1024 * 1024;
const LONG_MAX = longBits() === 64 ? '9223372036854775807' : '2147483647';

function whyNot() {
  if (!fs.existsSync('/proc/self/status')) return 'needs /proc to read the server\'s memory';
  if (process.env.TINKERPOT_SANITIZE) return `the ${process.env.TINKERPOT_SANITIZE} sanitizer keeps freed memory`;
  return false;
}

// A field of /proc/<pid>/status in bytes (VmRSS: resident; VmData: the
// private writable mappings, touched or not).
function statusBytes(pid, field) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'latin1');
  const kib = new RegExp(`^${field}:\\s+(\\d+) kB`, 'm').exec(status);
  assert.ok(kib, `${field} in /proc/${pid}/status`);
  return Number(kib[1]) * 1024;
}

describe('memory of replaced uploads', { skip: whyNot() }, () => {
  const server = sharedServer();

  const upload = Buffer.alloc(10_000_000, 'u');
  const builtinBytes = BUILTINS.reduce((sum, b) => sum + b.body.length, 0);

  async function putWhole(target, { length = upload.length } = {}) {
    const steps = [putRequest(target, upload, { type: 'application/octet-stream', length })];
    if (length === LONG_MAX) steps.push('end');
    const reply = await converse(server.port, steps);
    assert.equal(reply.toString('latin1'), REPLY.created);
  }

  test('100 replacements of 10 MB leave under 3 x the stored bytes + 20 MiB resident', async () => {
    for (let i = 0; i < 100; i++) await putWhole('/memory/replaced');
    const stored = upload.length + builtinBytes;
    const resident = statusBytes(server.child.pid, 'VmRSS');
    console.log(`resident after 100 replacements: ${(resident / MIB).toFixed(1)} MiB, stored ${(stored / MIB).toFixed(1)} MiB`);
    assert.ok(resident < 3 * stored + 20 * MIB, `${(resident / MIB).toFixed(1)} MiB resident`);
    assert.ok((await get(server.port, '/memory/replaced')).body.equals(upload));
  });

  // Read until the peer stops, the body's room grows by doubling, to 16 MiB
  // for these 10 MB; what is stored must give the rest back.
  test('an upload of no set length keeps no room past its bytes once stored', async () => {
    await putWhole('/memory/grown');
    const before = statusBytes(server.child.pid, 'VmData');
    await putWhole('/memory/grown', { length: LONG_MAX });
    const grown = statusBytes(server.child.pid, 'VmData') - before;
    console.log(`mappings after replacing 10 MB by an upload of no set length: ${(grown / MIB).toFixed(2)} MiB more`);
    assert.ok(grown < 2 * MIB, `${(grown / MIB).toFixed(2)} MiB more mapped`);
    assert.ok((await get(server.port, '/memory/grown')).body.equals(upload));
  });
});
