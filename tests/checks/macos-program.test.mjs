// The macOS program as the cross build made it. Nothing here runs it (there
// is no Mac): the file is read with llvm-objdump and checked for what a Mac
// needs of it and for what the sources promise on macOS:
//   - a Mach-O executable for x86-64;
//   - libraries loaded from /usr/lib alone (libSystem; libc++ is linked in),
//     and macOS 11 as the oldest system it starts on;
//   - the macOS branches of the platform layer compiled in: the descriptor
//     limit asks sysctlbyname for kern.maxfilesperproc, and the listener is
//     given SO_NOSIGPIPE (read from the instructions of the function that
//     sets it, since an option's number leaves no name in the program);
//   - the editor page and the three Ace files between their labels, byte for
//     byte as in assets/ and node_modules/ace-builds.
//
// TINKERPOT_BIN names the program, TINKERPOT_OBJDUMP the llvm-objdump to read it.
import { describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const repoRoot = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const program = process.env.TINKERPOT_BIN;
const objdump = process.env.TINKERPOT_OBJDUMP || 'llvm-objdump';
assert.ok(program, 'TINKERPOT_BIN must name the macOS program');

// macOS's numbers, from its <sys/socket.h>.
const SOL_SOCKET = 0xffff;
const SO_NOSIGPIPE = 0x1022;

const OLDEST_MACOS = '11.0';

// The labels of assets/embed.S (with the leading underscore of Mach-O
// symbols) and the files whose bytes they enclose.
const ace = path.join(repoRoot, 'node_modules/ace-builds/src-min');
const EMBEDDED = [
  ['tinkerpot_html', path.join(repoRoot, 'assets/tinkerpot.html')],
  ['ace', path.join(ace, 'ace.js')],
  ['mhjs', path.join(ace, 'mode-html.js')],
  ['whjs', path.join(ace, 'worker-html.js')],
];

function dump(...args) {
  return execFileSync(objdump, ['--macho', ...args, program], { encoding: 'latin1', maxBuffer: 64 << 20 });
}

// The load commands, each as its fields: { cmd: 'LC_MAIN', entryoff: '...' }.
// A section's fields follow its segment command's as objects of their own.
function loadCommands() {
  const records = [];
  for (const line of dump('--private-headers').split('\n')) {
    const field = line.trim().match(/^(\w+) (.*)$/);
    if (/^(Load command|Section)\b/.test(line.trim())) records.push({});
    else if (field && records.length) records.at(-1)[field[1]] ??= field[2].trim();
  }
  return records;
}

// Defined symbols by name, with their section and address, and the names
// of the symbols that the program takes from its libraries. Debugging
// entries (flag d) are left out.
function symbols() {
  const defined = new Map();
  const imported = new Set();
  for (const line of dump('--syms').split('\n')) {
    const words = line.trim().split(/\s+/);
    if (words.length < 3 || !/^[0-9a-f]{16}$/.test(words[0])) continue;
    const [name, section] = [words.at(-1), words.at(-2)];
    if (words.slice(1, -2).includes('d')) continue;
    if (section === '*UND*') imported.add(name);
    else defined.set(name, { section, address: BigInt(`0x${words[0]}`) });
  }
  return { defined, imported };
}

const commands = loadCommands();
const { defined, imported } = symbols();

describe('the macOS program (read, not run)', () => {
  test('is a Mach-O executable for x86-64', () => {
    const header = dump('--private-header').split('\n').find((line) => line.startsWith('MH_MAGIC'));
    assert.ok(header, 'no Mach-O header');
    const [magic, cpu, , , type] = header.trim().split(/\s+/);
    assert.deepEqual({ magic, cpu, type }, { magic: 'MH_MAGIC_64', cpu: 'X86_64', type: 'EXECUTE' });
    assert.ok(commands.some((c) => c.cmd === 'LC_MAIN'), 'no entry point (LC_MAIN)');
  });

  test(`loads libraries from /usr/lib alone and starts on macOS ${OLDEST_MACOS}`, () => {
    const libraries = commands.filter((c) => /^LC_(LOAD|LOAD_WEAK|REEXPORT|LAZY_LOAD)_DYLIB$/.test(c.cmd ?? ''));
    const names = libraries.map((c) => c.name.replace(/ \(offset \d+\)$/, ''));
    assert.ok(names.includes('/usr/lib/libSystem.B.dylib'), `libSystem is not loaded: ${names}`);
    for (const name of names) assert.match(name, /^\/usr\/lib\//, `a library from outside the system: ${name}`);
    const builds = commands.filter((c) => c.cmd === 'LC_BUILD_VERSION');
    assert.equal(builds.length, 1, 'one LC_BUILD_VERSION');
    assert.deepEqual({ platform: builds[0].platform, minos: builds[0].minos }, { platform: 'macos', minos: OLDEST_MACOS });
  });

  test('raises the descriptor limit up to kern.maxfilesperproc', () => {
    assert.ok(imported.has('_sysctlbyname'), 'sysctlbyname is not called');
    const strings = dump('--section=__TEXT,__cstring', '--full-contents');
    assert.ok(/\skern\.maxfilesperproc\n/.test(strings), 'the name kern.maxfilesperproc is not in the program');
  });

  test('gives the listener SO_NOSIGPIPE', () => {
    const name = [...defined.keys()].find((n) => n.includes('listener_sends_without_signal'));
    assert.ok(name, 'listener_sends_without_signal is not in the program');
    const code = dump('-d', '--no-show-raw-insn', '--print-imm-hex', '--dis-symname', name);
    // setsockopt(listener, SOL_SOCKET, SO_NOSIGPIPE, ...): the level and the
    // option go in the second and third argument registers.
    assert.match(code, new RegExp(`movl\\s+\\$0x${SOL_SOCKET.toString(16)}, %esi`), `no SOL_SOCKET:\n${code}`);
    assert.match(code, new RegExp(`movl\\s+\\$0x${SO_NOSIGPIPE.toString(16)}, %edx`), `no SO_NOSIGPIPE:\n${code}`);
    assert.match(code, /call\w*\s.*_setsockopt\b/, `setsockopt is not called:\n${code}`);
  });

  for (const [label, file] of EMBEDDED) {
    test(`holds ${path.relative(repoRoot, file)} between _${label}_start and _${label}_end`, () => {
      const start = defined.get(`_${label}_start`);
      const end = defined.get(`_${label}_end`);
      assert.ok(start && end, `the labels of ${label} are not in the program`);
      assert.equal(start.section, '__TEXT,__const', `_${label}_start lies in ${start.section}`);
      assert.equal(end.section, start.section, `_${label}_end lies in ${end.section}`);
      const section = commands.find((c) => c.segname === '__TEXT' && c.sectname === '__const');
      const offset = Number(BigInt(section.offset) + start.address - BigInt(section.addr));
      const length = Number(end.address - start.address);
      const expected = fs.readFileSync(file);
      assert.equal(length, expected.length, `length of ${label}`);
      const held = Buffer.alloc(length);
      const fd = fs.openSync(program, 'r');
      try {
        fs.readSync(fd, held, 0, length, offset);
      } finally {
        fs.closeSync(fd);
      }
      assert.ok(held.equals(expected), `the bytes of ${label} differ from ${file}`);
    });
  }
});
