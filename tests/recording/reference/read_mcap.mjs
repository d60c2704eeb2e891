// Reads a kvdepth recording with the reference MCAP reader (@mcap/core), both sequentially (every record,
// CRCs checked) and through its summary and indexes. Prints what it found as JSON and writes the pixel
// bytes of every image message to OUTDIR/<stream>_<sequence>.raw for comparison.
// Usage: node read_mcap.mjs FILE OUTDIR
import { McapIndexedReader, McapStreamReader } from "@mcap/core";
import { decompress } from "fzstd";
import { open, readFile, writeFile, mkdir } from "node:fs/promises";

const [file, outDir] = process.argv.slice(2);
const decompressHandlers = { zstd: (data, size) => decompress(data, new Uint8Array(Number(size))) };

// Little-endian CDR, aligned from after the 4-byte encapsulation header.
function decodeCdr(schemaName, bytes) {
  const view = new DataView(bytes.buffer, bytes.byteOffset + 4, bytes.byteLength - 4);
  let at = 0;
  const u32 = () => { at = (at + 3) & ~3; const v = view.getUint32(at, true); at += 4; return v; };
  const u8 = () => view.getUint8(at++);
  const str = () => { const n = u32(); const s = Buffer.from(bytes.buffer, bytes.byteOffset + 4 + at, n - 1).toString(); at += n; return s; };
  const stamp = { sec: u32(), nanosec: u32() };
  const frameId = str();
  const height = u32(), width = u32();
  let encoding = "32FC3";
  if (schemaName === "sensor_msgs/msg/Image") {
    encoding = str(); u8(); u32();
  } else {
    const fields = u32();
    for (let i = 0; i < fields; i++) { str(); u32(); u8(); u32(); }
    u8(); u32(); u32();
  }
  const size = u32();
  return { stamp, frameId, width, height, encoding, data: bytes.subarray(4 + at, 4 + at + size) };
}

const bytes = await readFile(file);
const stream = new McapStreamReader({ decompressHandlers, validateCrcs: true });
stream.append(bytes);
const schemas = new Map(), channels = new Map();
const result = { schemas: [], channels: [], counts: {}, images: 0, attachments: [], metadata: [] };
await mkdir(outDir, { recursive: true });
for (let record; (record = stream.nextRecord()); ) {
  // The summary section repeats schemas and channels; each is listed once.
  if (record.type === "Schema" && !schemas.has(record.id)) {
    schemas.set(record.id, record);
    result.schemas.push({ id: record.id, name: record.name, encoding: record.encoding });
  } else if (record.type === "Channel" && !channels.has(record.id)) {
    channels.set(record.id, record);
    result.channels.push({ id: record.id, topic: record.topic, schema: schemas.get(record.schemaId)?.name ?? "",
                           messageEncoding: record.messageEncoding });
  } else if (record.type === "Message") {
    const channel = channels.get(record.channelId);
    result.counts[channel.topic] = (result.counts[channel.topic] ?? 0) + 1;
    const schema = schemas.get(channel.schemaId)?.name;
    if (schema === "sensor_msgs/msg/Image" || schema === "sensor_msgs/msg/PointCloud2") {
      const image = decodeCdr(schema, record.data);
      await writeFile(`${outDir}/${channel.topic.slice(1)}_${record.sequence}.raw`, image.data);
      result.images++;
    }
  } else if (record.type === "Attachment") {
    result.attachments.push(record.name);
  } else if (record.type === "Metadata") {
    result.metadata.push(record.name);
  }
}
result.complete = stream.done();

// The same file through its summary section, chunk indexes and message indexes.
const handle = await open(file, "r");
const size = (await handle.stat()).size;
const indexed = await McapIndexedReader.Initialize({
  readable: {
    size: async () => BigInt(size),
    read: async (offset, length) => {
      const buffer = new Uint8Array(Number(length));
      await handle.read(buffer, 0, Number(length), Number(offset));
      return buffer;
    },
  },
  decompressHandlers,
});
result.indexedCounts = {};
for await (const message of indexed.readMessages()) {
  const topic = indexed.channelsById.get(message.channelId).topic;
  result.indexedCounts[topic] = (result.indexedCounts[topic] ?? 0) + 1;
}
result.statisticsMessageCount = Number(indexed.statistics?.messageCount ?? -1n);
result.indexedAttachments = indexed.attachmentIndexes.map((a) => a.name);
await handle.close();
console.log(JSON.stringify(result));
