// Starts the real tinkerpot binary on a free loopback port and talks to it.
//
// TINKERPOT_BIN names the program (default: build/tinkerpot beside this tree);
// TINKERPOT_RUNNER, when set, is a command line put in front of it, such as
// "qemu-arm" or "wine".
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { before, after } from 'node:test';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
export const repoRoot = path.resolve(here, '../../..');
export const binary = process.env.TINKERPOT_BIN || path.join(repoRoot, 'build', 'tinkerpot');
export const runner = (process.env.TINKERPOT_RUNNER || '').split(' ').filter(Boolean);
// Emulated builds start and answer far more slowly than the native one.
export const slow = runner.length > 0;

// Mirrors the server's one read of a request head: it takes at most this many
// bytes from a connection before it parses the head.
export const HEAD_READ = 4096;

// The start-up banner. Its version is defined once, by the project() line
// of CMakeLists.txt, which hands it to the program.
export const BANNER = `[tinkerpot ${projectVersion()}]`;

function projectVersion() {
  const cmake = fs.readFileSync(path.join(repoRoot, 'CMakeLists.txt'), 'utf8');
  const version = /^project\(tinkerpot VERSION (\S+)/m.exec(cmake)?.[1];
  if (!version) throw new Error('CMakeLists.txt has no project(tinkerpot VERSION ...) line');
  return version;
}

// What a stop with Ctrl+C must end in: the program's own exit with status 0.
export const CLEAN_EXIT = { code: 0, signal: null };

// The width of the program's `long`, which decides what an announced length
// means: TINKERPOT_LONG_BITS when set, otherwise read from the binary's
// header. Windows keeps `long` at 32 bits even in 64-bit programs; ELF and
// Mach-O programs have a 64-bit `long` exactly when they are 64-bit.
export function longBits() {
  if (process.env.TINKERPOT_LONG_BITS) return Number(process.env.TINKERPOT_LONG_BITS);
  const head = Buffer.alloc(8);
  const fd = fs.openSync(binary, 'r');
  try {
    fs.readSync(fd, head, 0, head.length, 0);
  } finally {
    fs.closeSync(fd);
  }
  if (head.subarray(0, 2).toString('latin1') === 'MZ') return 32;
  if (head.subarray(0, 4).toString('latin1') === '\x7fELF') return head[4] === 2 ? 64 : 32;
  const magic = head.readUInt32LE(0);
  if (magic === 0xfeedfacf) return 64;
  if (magic === 0xfeedface) return 32;
  throw new Error(`cannot tell the width of long from ${binary}; set TINKERPOT_LONG_BITS`);
}

// A port that was free a moment ago; the server cannot be given port 0,
// since its control connection has to reach the real port.
export function freePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.once('error', reject);
    probe.listen(0, '127.0.0.1', () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

// The promise's value, or a failure naming `what` once ms have passed: a
// server that never answers must fail the test, not hold it.
export async function within(promise, ms, what) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${what}: nothing within ${ms} ms`)), ms);
  });
  try {
    return await Promise.race([promise, timeout]);
  } finally {
    clearTimeout(timer);
  }
}

// Polls for a state the test cannot be told of; bounded, so that a stall
// fails the test. Resolves with the predicate's first truthy value.
export function until(predicate, what, ms, pollMs = 10) {
  return new Promise((resolve, reject) => {
    const started = Date.now();
    const tick = () => {
      const value = predicate();
      if (value) return resolve(value);
      if (Date.now() - started > ms) return reject(new Error(`${what}: not within ${ms} ms`));
      setTimeout(tick, pollMs);
    };
    tick();
  });
}

// The Windows build ends its lines with CR LF: on standard output the
// program writes each CR itself (the stream is binary, see log_write), on
// standard error the runtime's text mode adds it. The tests read every
// build's output with LF alone. A CR still waiting for its LF is held back,
// so what has been read never changes afterwards.
const crlf = process.env.TINKERPOT_TARGET === 'windows';
const asLines = (text) => (crlf ? text.replace(/\r\n/g, '\n').replace(/\r$/, '') : text);

// Runs the program with the given arguments and collects its output. The
// returned handle resolves `exited` with { code, signal } when it ends.
// `wrap` is a command line put in front of the runner and the program, one
// that ends by executing them in its own place (so signals reach the program).
export function launch(args, env = {}, { wrap = [] } = {}) {
  const [cmd, ...argv] = [...wrap, ...runner, binary, ...args];
  const child = spawn(cmd, argv, { stdio: ['ignore', 'pipe', 'pipe'], env: { ...process.env, ...env } });
  const proc = { child, stdout: '', stderr: '' };
  const raw = { stdout: '', stderr: '' };
  const collect = (stream) => (d) => {
    raw[stream] += d;
    proc[stream] = asLines(raw[stream]);
  };
  child.stdout.on('data', collect('stdout'));
  child.stderr.on('data', collect('stderr'));
  proc.exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  proc.lines = () => proc.stdout.split('\n').filter((l, i, all) => i < all.length - 1);
  proc.waitForOutput = (text, timeoutMs = slow ? 60000 : 10000) =>
    until(() => proc.stdout.includes(text), JSON.stringify(text), timeoutMs);
  proc.waitForLine = (line, timeoutMs) => proc.waitForOutput(`${line}\n`, timeoutMs);
  // The whole lines written after `offset`, a past length of `stdout`.
  proc.linesSince = (offset) => proc.stdout.slice(offset).split('\n').slice(0, -1);
  return proc;
}

// Starts a server on 127.0.0.1 and a free port and waits until it serves.
// `wrap` is handed to launch.
// `argsFor(port)` gives the command line for the port chosen.
export async function startServer({ wrap, argsFor = (port) => ['127.0.0.1', String(port)] } = {}) {
  for (let attempt = 0; ; attempt++) {
    const port = await freePort();
    const proc = launch(argsFor(port), {}, { wrap });
    proc.port = port;
    // A sanitizer build on a loaded machine starts slowly: only a start that
    // never comes is a fault. One that does not come in time is killed, so
    // that no server outlives the test that started it.
    const ready = proc.waitForLine('Ctrl+C to stop server.', slow ? 180000 : 60000).then(() => true);
    const ended = proc.exited.then(() => false);
    let started;
    try {
      started = await Promise.race([ready, ended]);
    } catch (e) {
      proc.child.kill('SIGKILL');
      await proc.exited;
      throw e;
    }
    if (started) {
      // One Ctrl+C however often a test and its hooks ask for the stop: a
      // second one would end a Windows build at once, since its runtime resets
      // the handler before calling it.
      let stopping;
      proc.stop = () => (stopping ||= stopServer(proc));
      return proc;
    }
    // Another process took the port between the probe and the bind.
    if (!proc.stderr.startsWith('!bind:') || attempt >= 3) {
      throw new Error(`server did not start: ${proc.stderr}`);
    }
  }
}

// One server for the tests of the file, or of the describe block this is
// called in: started before the first of them, stopped after the last, when
// it must have ended by itself with status 0. Options are startServer's, and
// `prepare(server)` for what must be done with the server before any test
// (node does not wait for one top-level before hook to end before it starts
// the next, so a hook of the file's own could run before the server is up).
// The object returned stands for the server once it has started: each of
// its properties is the started server's (port, lines(), stdout, child...).
export function sharedServer({ prepare, ...options } = {}) {
  let server;
  before(async () => {
    server = await startServer(options);
    if (prepare) await prepare(server);
  });
  after(async () => {
    if (server) assert.deepEqual(await server.stop(), CLEAN_EXIT);
  });
  return new Proxy({}, {
    get(_, key) {
      if (!server) throw new Error(`the shared server is not started yet (${String(key)} was read)`);
      return server[key];
    },
  });
}

// Runs body(server) with a server of its own, then stops the server and checks
// that it ended by itself with status 0, also when body failed (so that no
// server outlives its test; a server that did not end cleanly is then the
// failure reported). Options are startServer's. Resolves with the stopped
// server, whose output the test may go on to check.
export async function withServer(body, options) {
  const server = await startServer(options);
  try {
    await body(server);
  } finally {
    assert.deepEqual(await server.stop(), CLEAN_EXIT);
  }
  return server;
}

// The program prints its ready line just before it installs its Ctrl+C
// handler, and a Ctrl+C in between ends it at once. Where /proc shows which
// signals a process catches, wait until SIGINT is among them.
function sigintCaught(pid, timeoutMs) {
  const SIGINT_BIT = 1n << 1n;
  const caught = () => {
    let status;
    try {
      status = fs.readFileSync(`/proc/${pid}/status`, 'latin1');
    } catch {
      return true;  // no /proc, or the process has already ended
    }
    const mask = /^SigCgt:\s*([0-9a-f]+)/m.exec(status);
    return !mask || (BigInt(`0x${mask[1]}`) & SIGINT_BIT) !== 0n;
  };
  return until(caught, 'the Ctrl+C handler', timeoutMs);
}

// Ctrl+C, then the exit status. Rejects when a sanitizer reported anything,
// so a fault found under ASan, UBSan or TSan fails the test that met it.
// The bound is generous: a sanitizer build on a loaded machine joins its 64
// workers slowly, and only a stop that never comes is a fault.
export async function stopServer(proc, timeoutMs = slow ? 60000 : 30000) {
  await sigintCaught(proc.child.pid, timeoutMs);
  proc.child.kill('SIGINT');
  const timer = setTimeout(() => proc.child.kill('SIGKILL'), timeoutMs);
  const result = await proc.exited;
  clearTimeout(timer);
  if (/Sanitizer|runtime error:/.test(proc.stderr)) {
    throw new Error(`sanitizer report from the server:\n${proc.stderr}`);
  }
  return result;
}

// Talks on one connection, step by step: a step is bytes to send, a function
// to await (such as waiting for a log line) or 'end' to shut the sending
// side. Resolves with everything received until the server closes; the
// buffer's `reset` is true when the connection ended in a reset instead of
// the end of stream (what was received before it is kept). The client ends
// its own side only once its steps are done and the server has ended, so a
// server that closes while bytes of the request are still coming is seen to
// reset the connection.
export function converse(port, steps) {
  return new Promise((resolve, reject) => {
    const sock = net.connect({ host: '127.0.0.1', port, allowHalfOpen: true });
    const parts = [];
    let reset = false;
    let stepsDone = false;
    let serverEnded = false;
    const endWhenBothDone = () => stepsDone && serverEnded && !sock.writableEnded && sock.end();
    const finish = () => resolve(Object.assign(Buffer.concat(parts), { reset }));
    sock.on('data', (d) => parts.push(d));
    sock.on('end', () => { serverEnded = true; endWhenBothDone(); });
    sock.on('error', (e) => {
      if (e.code !== 'ECONNRESET' && e.code !== 'EPIPE') return reject(e);
      reset = true;
      finish();
    });
    sock.on('close', finish);
    sock.on('connect', async () => {
      try {
        for (const step of steps) {
          if (step === 'end') sock.end();
          else if (typeof step === 'function') await step();
          else sock.write(step);
        }
        stepsDone = true;
        endWhenBothDone();
      } catch (e) {
        sock.destroy();
        reject(e);
      }
    });
  });
}

// Sends raw bytes on a new connection and collects everything until the
// server closes it. Options: shutdownWrite (half-close after sending),
// chunks (an array of buffers sent with `gapMs` between them).
export function exchange(port, request, { shutdownWrite = false, chunks, gapMs = 50 } = {}) {
  const pieces = chunks || (request === undefined ? [] : [request]);
  const pause = () => new Promise((r) => setTimeout(r, gapMs));
  const steps = pieces.flatMap((piece, i) => (i > 0 ? [pause, piece] : [piece]));
  if (shutdownWrite) steps.push('end');
  return converse(port, steps);
}

// Splits a reply into its head (as text) and body (as bytes).
export function splitReply(reply) {
  const at = reply.indexOf('\r\n\r\n');
  if (at < 0) return { head: reply.toString('latin1'), body: Buffer.alloc(0) };
  return { head: reply.subarray(0, at + 4).toString('latin1'), body: reply.subarray(at + 4) };
}
