// seisplotjs's own SeedLink clients over WebSocket.
// Arguments: MODULES_DIR URL COUNT 3|4 [SeedLink command...]. Prints
// "format sequence channel start_ms samples..." a packet (sequence 0 for
// 3.1), or "error ..." on the first failure; a miniSEED 3 record's CRC is
// checked first.
import { pathToFileURL } from "node:url";

const [modules, url, count, version, ...commands] = process.argv.slice(2);
// The bundle defines page widgets at load; these clients need no DOM.
for (const name of ["HTMLElement", "HTMLDivElement", "HTMLInputElement", "HTMLSelectElement"])
  globalThis[name] ??= class {};
globalThis.customElements ??= { define() {}, get() {} };
// Our lines go to stdout, the library's chatter to stderr.
const print = console.log;
console.log = (...args) => console.error(...args);
const sp = await import(pathToFileURL(`${modules}/seisplotjs/dist/index_node.mjs`).href);

let seen = 0, connection;
const end = (code) => { connection?.close(); process.exit(code); };
const fail = (why) => { print(`error ${why?.message ?? why}`); end(1); };
setTimeout(() => fail("timed out"), 60000);

function report(format, sequence, channel, start, samples) {
  print([format, sequence, channel, start.toMillis(), ...samples].join(" "));
  if (++seen === Number(count)) end(0);
}

// The CRC over the record with its own CRC field zeroed.
function check_crc(packet) {
  const raw = packet._rawPayload;
  const bytes = new Uint8Array(raw.buffer, raw.byteOffset, raw.byteLength).slice();
  const stored = raw.getUint32(28, true);
  bytes.fill(0, 28, 32);
  const crc = sp.mseed3.calculateCRC32C(bytes);
  if (crc !== stored) fail(`CRC ${crc} instead of ${stored} in packet ${packet.sequence}`);
  if (bytes.length !== packet.payloadLength) fail(`record of ${bytes.length} in a packet of ${packet.payloadLength}`);
}

function take(packet) {
  if (packet.isMiniseed3()) {
    check_crc(packet);
    const record = packet.asMiniseed3();
    const [, , , , band, source, subsource] = record.header.identifier.split(/[:_]/);
    report(3, packet.sequence, band + source + subsource, record.header.start, record.decompress());
  } else if (packet.isMiniseed()) {
    const record = packet.asMiniseed();
    report(2, packet.sequence, record.header.chanCode, record.header.startTime, record.decompress());
  } else {
    fail(`format ${packet.dataFormat}`);
  }
}

if (version === "3") {
  connection = new sp.seedlink.SeedlinkConnection(url, commands.filter((c) => !c.startsWith("DATA")),
    (p) => { const h = p.miniseed.header; report(2, 0, h.chanCode, h.startTime, p.miniseed.decompress()); }, fail);
  connection.command = commands.find((c) => c.startsWith("DATA")) ?? connection.command;
} else {
  connection = new sp.seedlink4.SeedlinkConnection(url, commands, take, fail);
}
connection.connect();
