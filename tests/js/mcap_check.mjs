// Reads the MCAP files of mcap_record with @mcap/core, the library Foxglove reads bags with: the
// indexed reader (summary, chunk indexes, message CRCs) and the streaming reader (every record in
// order, CRCs checked), decodes every message against the schema its file carries, and compares
// the clouds with the recorded frames cell for cell. Then cuts each file short at random offsets:
// every chunk that ends before the cut still reads.
//   node mcap_check.mjs DIR
import { readFileSync } from "node:fs";
import { crc32 } from "@foxglove/crc";
import { McapIndexedReader, McapStreamReader } from "@mcap/core";
import { parse } from "@foxglove/rosmsg";
import { MessageReader } from "@foxglove/rosmsg2-serialization";
import * as zstd from "@foxglove/wasm-zstd";
import lz4 from "@foxglove/wasm-lz4";

await zstd.isLoaded;
await lz4.isLoaded;
const decompressHandlers = {
  zstd: (buffer, size) => zstd.decompress(buffer, Number(size)),
  lz4: (buffer, size) => lz4(buffer, Number(size)),
};
const dir = process.argv[2];
const CELLS = 150 * 360, STEP = 24;
const problems = [];
const expect = (ok, what) => { if (!ok) problems.push(what); };

// Every message of a stream reader over bytes, in order; stops where the bytes end.
function streamMessages(bytes) {
  const reader = new McapStreamReader({ decompressHandlers, validateCrcs: true });
  reader.append(bytes);
  const messages = [];
  let record;
  while ((record = reader.nextRecord()) !== undefined) {
    if (record.type === "Message") messages.push(record);
  }
  return messages;
}

async function check(name) {
  const bytes = new Uint8Array(readFileSync(`${dir}/${name}.mcap`));
  const recorded = JSON.parse(readFileSync(`${dir}/${name}.json`, "utf8"));
  const view = new DataView(bytes.buffer);
  const readable = {
    size: async () => BigInt(bytes.length),
    read: async (offset, size) => bytes.subarray(Number(offset), Number(offset + size)),
  };
  const reader = await McapIndexedReader.Initialize({ readable, decompressHandlers });
  expect(reader.header.profile === "ros2", `${name}: profile ${reader.header.profile}`);
  // The data section's CRC covers every byte before the data end record.
  expect(reader.dataSectionCrc === crc32(bytes.subarray(0, Number(reader.dataEndOffset))),
         `${name}: data section CRC`);
  expect(reader.chunkIndexes.length > 1, `${name}: ${reader.chunkIndexes.length} chunks`);

  const decoders = new Map();
  const topics = new Map();
  for (const [id, channel] of reader.channelsById) {
    const schema = reader.schemasById.get(channel.schemaId);
    expect(schema.encoding === "ros2msg" && channel.messageEncoding === "cdr",
           `${name}: encodings of ${channel.topic}`);
    decoders.set(id, new MessageReader(parse(new TextDecoder().decode(schema.data), { ros2: true })));
    topics.set(id, channel.topic);
  }
  const want = { points: recorded.frames.length, depth: recorded.frames.length,
                 intensity: recorded.frames.length, imu_raw: recorded.imu,
                 diagnostics: recorded.diagnostics };
  const wantTopics = Object.keys(want).map((t) => recorded.prefix + t).sort();
  expect([...topics.values()].sort().join() === wantTopics.join(), `${name}: topics ${[...topics.values()]}`);

  const counts = {};
  let clouds = 0;
  for await (const message of reader.readMessages({ validateCrcs: true })) {
    const topic = topics.get(message.channelId).slice(recorded.prefix.length);
    counts[topic] = (counts[topic] ?? 0) + 1;
    const decoded = decoders.get(message.channelId).readMessage(message.data);
    const stamp = BigInt(decoded.header.stamp.sec) * 1000000000n + BigInt(decoded.header.stamp.nanosec);
    expect(stamp === message.logTime, `${name}: ${topic} log time against its stamp`);
    if (topic !== "points") continue;
    const frame = recorded.frames[clouds++];
    expect(BigInt(frame.stamp) === stamp, `${name}: cloud ${clouds} stamp`);
    if (name !== "zstd") continue;  // one file carries the grids
    const grid = new Float32Array(readFileSync(`${dir}/frame-${frame.sequence}.f32`).buffer.slice(0));
    const data = new DataView(decoded.data.buffer, decoded.data.byteOffset, decoded.data.byteLength);
    let shown = 0;
    for (let cell = 0; cell < CELLS; cell++) {
      const x = data.getFloat32(cell * STEP, true);
      if (Number.isNaN(x)) continue;
      shown++;
      for (let k = 0; k < 3; k++) {
        const got = data.getFloat32(cell * STEP + 4 * k, true);
        if (!Object.is(got, grid[cell * 3 + k])) {
          problems.push(`${name}: frame ${frame.sequence} cell ${cell}: ${got} against ${grid[cell * 3 + k]}`);
          return;
        }
      }
    }
    expect(shown === frame.cells_written, `${name}: frame ${frame.sequence} shows ${shown} of ${frame.cells_written}`);
  }
  for (const [topic, n] of Object.entries(want)) {
    expect(counts[topic] === n, `${name}: ${counts[topic]} messages on ${topic}, recorded ${n}`);
  }
  const total = Object.values(want).reduce((a, b) => a + b, 0);
  expect(Number(reader.statistics.messageCount) === total, `${name}: statistics`);
  expect(streamMessages(bytes).length === total, `${name}: streaming reader`);

  // A cut keeps the messages of every chunk that ends before it (counted from the indexes).
  const chunks = reader.chunkIndexes.map((c) => {
    let messages = 0;
    for (const offset of c.messageIndexOffsets.values()) {
      messages += view.getUint32(Number(offset) + 11, true) / 16;
    }
    return { end: Number(c.chunkStartOffset + c.chunkLength), messages };
  });
  let seed = 7;
  for (let i = 0; i < 8; i++) {
    seed = (seed * 1103515245 + 12345) % 2147483648;
    const cut = Math.floor((seed / 2147483648) * bytes.length);
    const kept = chunks.filter((c) => c.end <= cut).reduce((a, c) => a + c.messages, 0);
    const read = streamMessages(bytes.subarray(0, cut)).length;
    expect(read === kept, `${name}: cut at ${cut} read ${read} messages, whole chunks hold ${kept}`);
  }
  console.log(`${name}: ${total} messages in ${chunks.length} chunks`);
}

const names = ["zstd", "lz4", "none"];
for (const name of names) {
  try {
    await check(name);
  } catch (error) {
    problems.push(`${name}: ${error.message}`);
  }
}
for (const p of problems) console.log(`FAIL ${p}`);
console.log(`${problems.length ? 0 : names.length} passed, ${problems.length ? names.length : 0} failed`);
process.exit(problems.length ? 1 : 0);
