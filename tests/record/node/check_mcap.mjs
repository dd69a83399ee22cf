// Reads a recording of libtorvi with independent MCAP tools and checks it:
// every CRC present and matching (chunks, attachments, data section,
// summary), the indexes, the statistics, the metadata, and the messages
// decoded from their ros2msg schemas.
//   node check_mcap.mjs FILE EXPECTED_FRAMES
import fs from 'node:fs';
import zlib from 'node:zlib';
import assert from 'node:assert/strict';
import { McapIndexedReader, McapStreamReader } from '@mcap/core';
import { loadDecompressHandlers } from '@mcap/support';
import { parse } from '@foxglove/rosmsg';
import { MessageReader } from '@foxglove/rosmsg2-serialization';

const [file, expectedArg] = process.argv.slice(2);
const expected = Number(expectedArg);
const bytes = fs.readFileSync(file);
const decompressHandlers = await loadDecompressHandlers();

// 1) Streaming pass with CRC validation; every CRC must have been written.
const sr = new McapStreamReader({ decompressHandlers, validateCrcs: true });
sr.append(bytes);
const counts = {};
let rec;
let dataEndOffset = -1;
let consumed = 8;
while ((rec = sr.nextRecord())) {
  counts[rec.type] = (counts[rec.type] ?? 0) + 1;
  if (rec.type === 'DataEnd') {
    assert.notEqual(rec.dataSectionCrc, 0, 'data section CRC not written');
    dataEndOffset = rec.dataSectionCrc;
  }
  if (rec.type === 'Attachment') assert.ok(rec.data.length >= 0);
}
assert.ok(sr.done(), 'stream reader did not reach the end');
assert.equal(counts.Header, 1);
assert.equal(counts.Footer, 1);
assert.equal(counts.DataEnd, 1);

// The data-section CRC covers everything before the DataEnd record.
const dataEndAt = findDataEnd(bytes);
assert.equal(zlib.crc32(bytes.subarray(0, dataEndAt)) >>> 0, dataEndOffset >>> 0,
  'data section CRC mismatch');

// 2) Indexed pass: footer, summary (CRC checked), chunk and message indexes.
const readable = {
  size: async () => BigInt(bytes.length),
  read: async (o, l) => bytes.subarray(Number(o), Number(o + l)),
};
const r = await McapIndexedReader.Initialize({ readable, decompressHandlers });
assert.equal(r.header.profile, 'ros2');
assert.match(r.header.library, /^libtorvi /);
assert.notEqual(r.footer.summaryCrc, 0, 'summary CRC not written');
const topics = new Map([...r.channelsById.values()].map((c) => [c.topic, c]));
const raw = topics.get('/torvi/raw_frame');
// Raw frames sit in chunks of their own, stored; the rest is compressed.
let storedChunks = 0;
for (const ci of r.chunkIndexes) {
  const rawOnly = ci.messageIndexOffsets.size === 1 && ci.messageIndexOffsets.has(raw.id);
  assert.equal(ci.compression, rawOnly ? '' : 'zstd');
  if (rawOnly) storedChunks++;
}
assert.ok(storedChunks > 0, 'no chunk of raw frames');
assert.ok(raw, 'no raw frame channel');
assert.equal(r.schemasById.get(raw.schemaId).name, 'torvi_msgs/msg/RawFrame');
assert.equal(r.statistics.channelMessageCounts.get(raw.id), BigInt(expected));

const meta = new Map();
for await (const m of r.readMetadata()) meta.set(m.name, m.metadata);
assert.ok(meta.get('torvi.device')?.get('product'), 'no product in the metadata');
assert.ok(meta.get('torvi.parameters')?.has('param.12'), 'no frame rate parameter');

const readers = new Map();
for (const c of r.channelsById.values()) {
  const s = r.schemasById.get(c.schemaId);
  assert.equal(s.encoding, 'ros2msg');
  assert.equal(c.messageEncoding, 'cdr');
  readers.set(c.id, new MessageReader(parse(new TextDecoder().decode(s.data), { ros2: true })));
}
let frames = 0, depth = 0, lastSeq = -1;
const rawTimes = new Set();
const depthTimes = [];
for await (const m of r.readMessages()) {
  const msg = readers.get(m.channelId).readMessage(m.data);
  if (m.channelId === raw.id) {
    assert.equal(msg.data.length, msg.frame_length, 'raw frame bytes != frame length');
    assert.equal(m.sequence, lastSeq + 1, 'raw frame sequence has a gap');
    lastSeq = m.sequence;
    const t = BigInt(msg.stamp.sec) * 1000000000n + BigInt(msg.stamp.nanosec);
    assert.equal(t, m.logTime, 'stamp differs from the log time');
    rawTimes.add(m.logTime);
    frames++;
  } else {
    assert.equal(topics.get('/torvi/depth').id, m.channelId);
    assert.equal(msg.encoding, '16UC1');
    assert.equal(msg.is_bigendian, 0);
    assert.equal(msg.step, msg.width * 2);
    assert.equal(msg.data.length, msg.width * msg.height * 2);
    assert.ok(msg.width > 0 && msg.height > 0);
    depthTimes.push(m.logTime);
    depth++;
  }
}
// Messages come in log-time order; a depth image and its raw frame share
// their time, in either order.
for (const t of depthTimes) assert.ok(rawTimes.has(t), 'depth image without its raw frame');
assert.equal(frames, expected);
console.log(JSON.stringify({ records: counts, frames, depth, metadata: [...meta.keys()] }));

// 3) A flipped byte in the summary is caught.
const bad = Buffer.from(bytes);
bad[bad.length - 8 - 20 - 9 - 3] ^= 0x01;
const badReadable = { size: readable.size, read: async (o, l) => bad.subarray(Number(o), Number(o + l)) };
await assert.rejects(McapIndexedReader.Initialize({ readable: badReadable, decompressHandlers }),
  /CRC/);

function findDataEnd(buf) {
  // Walk the top-level records from the magic.
  let at = 8;
  while (at + 9 <= buf.length) {
    const op = buf[at];
    const len = Number(buf.readBigUInt64LE(at + 1));
    if (op === 0x0f) return at;
    at += 9 + len;
  }
  throw new Error('no DataEnd record');
}
