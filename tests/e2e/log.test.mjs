// The log as its reader sees it: every line goes out in one write of its own,
// whole, as soon as it is printed, so that 64 workers never queue behind a
// console taking one byte at a time and a reader of a pipe never sees half a
// line. Watched with strace attached to the running server (for a cross
// build, to its emulator or to wine, whose writes are the program's own).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { withServer, exchange, until, slow } from './lib/server.mjs';
import { PEER, request, putRequest } from './lib/content.mjs';

const patience = slow ? 120000 : 20000;

function whyNot() {
  if (spawnSync('strace', ['-V']).status !== 0) return 'needs strace';
  return false;
}

// Attaches strace to every thread of pid; resolves once all of them are
// traced, with a function that detaches and gives the data of every write.
async function traceWrites(pid) {
  const file = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'tinkerpot-log-')), 'writes');
  const tracer = spawn('strace', ['-f', '-e', 'trace=write', '-s', '65536', '-o', file, '-p', String(pid)],
    { stdio: ['ignore', 'ignore', 'pipe'] });
  let said = '';
  tracer.stderr.on('data', (d) => { said += d; });
  const ended = new Promise((resolve) => tracer.on('exit', resolve));
  // "Process N attached with T threads" comes once every thread is traced.
  await until(() => /attached/.test(said), `strace attached: ${said}`, patience);
  return async () => {
    tracer.kill('SIGINT');
    await ended;
    const writes = [];
    // pid write(fd, "escaped data", count ... — also when strace cut the
    // line short to show another thread's call in between.
    for (const [, data] of fs.readFileSync(file, 'latin1').matchAll(/write\(\d+, "((?:[^"\\]|\\.)*)"/g)) {
      writes.push(data.replace(/\\(x[0-9a-f]{2}|[0-7]{1,3}|.)/g, (_, e) => {
        if (e[0] === 'x') return String.fromCharCode(parseInt(e.slice(1), 16));
        if (/^[0-7]/.test(e)) return String.fromCharCode(parseInt(e, 8));
        return { n: '\n', r: '\r', t: '\t', v: '\v', f: '\f' }[e] ?? e;
      }));
    }
    fs.rmSync(path.dirname(file), { recursive: true, force: true });
    return writes;
  };
}

test('every log line is one write of its own', { skip: whyNot() }, () =>
  withServer(async (server) => {
    const longTarget = `/log/${'t'.repeat(3000)}`;
    const lines = [
      `Accessed '/' From '${PEER}'`,
      `Access '${longTarget}' From '${PEER}'`,
      'Creating: /log/upload',
      'reserved: 2',
      'Created: /log/upload',
    ];
    const detach = await traceWrites(server.child.pid);
    await exchange(server.port, request('GET', '/'));
    await exchange(server.port, request('GET', longTarget));
    await exchange(server.port, putRequest('/log/upload', Buffer.from('up')));
    await until(() => lines.every((line) => server.stdout.includes(`${line}\n`)), 'the log lines', patience);
    const writes = await detach();
    for (const line of lines) {
      const whole = writes.filter((data) => data === `${line}\n` || data === `${line}\r\n`);
      assert.equal(whole.length, 1, `${line.slice(0, 60)}: ${writes.filter((d) => line.includes(d.trim()) && d.trim()).length} writes of parts`);
    }
  }));
