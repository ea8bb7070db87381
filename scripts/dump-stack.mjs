// Prints where a crash dump's fault happened: the exception, the faulting
// instruction and the return addresses found on the faulting thread's stack,
// each as module+offset, with function and line for the modules whose files
// are given (addr2line of the cross toolchain reads their DWARF). winedbg
// cannot walk the stack of the filter's full-memory dumps, and the CI log
// is often the only thing left of a fault seen once.
//   node dump-stack.mjs DUMP [MODULE.dll|.exe|FOLDER ...]
// 64-bit dumps only. A stack scan, not an unwind: a stale return address left on the stack
// shows up too, so read it from the top.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';

const [dumpFile, ...moduleFiles] = process.argv.slice(2);
if (!dumpFile) {
  console.error('usage: node dump-stack.mjs DUMP [MODULE ...]');
  process.exit(2);
}

const fd = fs.openSync(dumpFile, 'r');
function read(offset, size) {
  const buffer = Buffer.alloc(size);
  const got = fs.readSync(fd, buffer, 0, size, Number(offset));
  if (got !== size) throw new Error(`${dumpFile}: cut short at ${offset}`);
  return buffer;
}

const header = read(0, 32);
if (header.toString('latin1', 0, 4) !== 'MDMP') throw new Error(`${dumpFile} is not a minidump`);
const streams = new Map();
const streamCount = header.readUInt32LE(8);
const directory = read(header.readUInt32LE(12), streamCount * 12);
for (let i = 0; i < streamCount; ++i) {
  streams.set(directory.readUInt32LE(i * 12), { size: directory.readUInt32LE(i * 12 + 4), rva: directory.readUInt32LE(i * 12 + 8) });
}
const kThreadList = 3, kModuleList = 4, kMemoryList = 5, kException = 6, kMemory64List = 9;

function utf16At(rva) {
  const length = read(rva, 4).readUInt32LE(0);
  return read(rva + 4, length).toString('utf16le');
}

const modules = [];
if (streams.has(kModuleList)) {
  const { rva } = streams.get(kModuleList);
  const count = read(rva, 4).readUInt32LE(0);
  const table = read(rva + 4, count * 108);
  for (let i = 0; i < count; ++i) {
    const at = i * 108;
    const base = table.readBigUInt64LE(at);
    const size = BigInt(table.readUInt32LE(at + 8));
    const name = utf16At(table.readUInt32LE(at + 20));
    modules.push({ base, size, name, short: name.split(/[\\/]/).pop() });
  }
}

// Memory as ranges of the file: full-memory dumps list it once, in one block
// (Memory64List); smaller ones range by range.
const ranges = [];
if (streams.has(kMemory64List)) {
  const { rva } = streams.get(kMemory64List);
  const head = read(rva, 16);
  const count = Number(head.readBigUInt64LE(0));
  let fileAt = head.readBigUInt64LE(8);
  const table = read(rva + 16, count * 16);
  for (let i = 0; i < count; ++i) {
    const start = table.readBigUInt64LE(i * 16);
    const size = table.readBigUInt64LE(i * 16 + 8);
    ranges.push({ start, size, fileAt });
    fileAt += size;
  }
}
if (streams.has(kMemoryList)) {
  const { rva } = streams.get(kMemoryList);
  const count = read(rva, 4).readUInt32LE(0);
  const table = read(rva + 4, count * 16);
  for (let i = 0; i < count; ++i) {
    ranges.push({ start: table.readBigUInt64LE(i * 16), size: BigInt(table.readUInt32LE(i * 16 + 8)),
                  fileAt: BigInt(table.readUInt32LE(i * 16 + 12)) });
  }
}
function readMemory(address, size) {
  const range = ranges.find((r) => address >= r.start && address + BigInt(size) <= r.start + r.size);
  return range ? read(range.fileAt + (address - range.start), size) : null;
}

// Function and line of module offsets, for the modules given on the command line.
// A folder stands for the modules in it (Wine's own DLLs carry DWARF too).
const symbolFiles = new Map();
for (const given of moduleFiles) {
  if (!fs.existsSync(given)) continue;
  const files = fs.statSync(given).isDirectory() ? fs.readdirSync(given).map((name) => path.join(given, name)) : [given];
  for (const file of files) symbolFiles.set(path.basename(file).toLowerCase(), file);
}
const images = new Map();
function describe(address) {
  const module = modules.find((m) => address >= m.base && address < m.base + m.size);
  if (!module) return `0x${address.toString(16)}`;
  const offset = address - module.base;
  let text = `${module.short}+0x${offset.toString(16)}`;
  const file = symbolFiles.get(module.short.toLowerCase());
  if (file) {
    if (!images.has(file)) {
      // The PE headers: the machine (a 32-bit module needs the 32-bit
      // tools) and the image base the DWARF addresses count from.
      const image = fs.readFileSync(file);
      const pe = image.readUInt32LE(0x3c);
      const is32 = image.readUInt16LE(pe + 4) === 0x14c;
      images.set(file, { prefix: is32 ? 'i686' : 'x86_64',
                         base: is32 ? BigInt(image.readUInt32LE(pe + 52)) : image.readBigUInt64LE(pe + 48) });
    }
    const { prefix, base } = images.get(file);
    const tool = `${prefix}-w64-mingw32-addr2line`;
    const vma = base + offset;
    const [fn, line] = execFileSync(tool, ['-f', '-C', '-e', file, `0x${vma.toString(16)}`], { encoding: 'utf8' })
      .trim().split('\n');
    text += `  ${fn}  ${line.replace(/^.*\/(src|testbeds)\//, '$1/')}`;
  }
  return text;
}

if (!streams.has(kException)) {
  console.log('no exception record in the dump');
  process.exit(0);
}
const exception = read(streams.get(kException).rva, 168);
const threadId = exception.readUInt32LE(0);
const code = exception.readUInt32LE(8);
const faultAddress = exception.readBigUInt64LE(24);
const parameters = exception.readUInt32LE(32);
const info = [...Array(Math.min(parameters, 2)).keys()].map((i) => exception.readBigUInt64LE(40 + i * 8));
console.log(`exception 0x${code.toString(16).toUpperCase()} on thread 0x${threadId.toString(16)}` +
            (code === 0xc0000005 && info.length === 2
              ? ` (${['reading', 'writing', '', '', '', '', '', '', 'executing'][Number(info[0])] || 'at'} 0x${info[1].toString(16)})`
              : ''));
console.log(`  at ${describe(faultAddress)}`);

const context = read(exception.readUInt32LE(164), 256);
const rsp = context.readBigUInt64LE(0x98);
let stackEnd = rsp + 0x10000n;
if (streams.has(kThreadList)) {
  const { rva } = streams.get(kThreadList);
  const count = read(rva, 4).readUInt32LE(0);
  const table = read(rva + 4, count * 48);
  for (let i = 0; i < count; ++i) {
    if (table.readUInt32LE(i * 48) !== threadId) continue;
    const start = table.readBigUInt64LE(i * 48 + 24);
    const size = BigInt(table.readUInt32LE(i * 48 + 32));
    if (rsp >= start && rsp < start + size) stackEnd = start + size;
  }
}
// A return address follows a call: E8 rel32, or FF /2 with a ModRM of up to
// 7 bytes in all (a REX prefix, SIB, displacement). Pointers to data are left out.
function followsCall(address) {
  const before = readMemory(address - 7n, 7);
  if (!before) return false;
  if (before[2] === 0xe8) return true;
  for (let length = 2; length <= 7; ++length) {
    const at = 7 - length;
    if (before[at] === 0xff && ((before[at + 1] >> 3) & 7) === 2) return true;
  }
  return false;
}

console.log(`return addresses on the stack from rsp 0x${rsp.toString(16)}:`);
let shown = 0;
for (let at = rsp; at + 8n <= stackEnd && shown < 40; at += 8n) {
  const word = readMemory(at, 8);
  if (!word) break;
  const value = word.readBigUInt64LE(0);
  if (modules.some((m) => value >= m.base && value < m.base + m.size) && followsCall(value)) {
    console.log(`  ${describe(value)}`);
    ++shown;
  }
}
