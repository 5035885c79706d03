// seisplotjs's own SeedLink clients over WebSocket.
// Arguments: MODULES_DIR URL COUNT 3|4 [SeedLink command...]. Prints
// "format sequence channel start_ms samples..." a packet (sequence 0 for
// 3.1), or "error ..." on the first failure, a miniSEED 3 CRC among them.
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

function report(format, sequence, channel, start, record) {
  print([format, sequence, channel, start.toMillis(), ...record.decompress()].join(" "));
  if (++seen === Number(count)) end(0);
}

function take(packet) {
  if (!packet.isMiniseed3()) {
    const record = packet.asMiniseed();
    return report(2, packet.sequence, record.header.chanCode, record.header.startTime, record);
  }
  // The CRC over the record with its own CRC field zeroed.
  const raw = packet._rawPayload, bytes = new Uint8Array(raw.buffer, raw.byteOffset, raw.byteLength).slice();
  const stored = raw.getUint32(28, true), crc = sp.mseed3.calculateCRC32C(bytes.fill(0, 28, 32));
  if (crc !== stored) fail(`CRC ${crc} instead of ${stored} in packet ${packet.sequence}`);
  const record = packet.asMiniseed3();
  const [, , , , band, source, subsource] = record.header.identifier.split(/[:_]/);
  report(3, packet.sequence, band + source + subsource, record.header.start, record);
}

if (version === "3") {
  connection = new sp.seedlink.SeedlinkConnection(url, commands.filter((c) => !c.startsWith("DATA")),
    (p) => report(2, 0, p.miniseed.header.chanCode, p.miniseed.header.startTime, p.miniseed), fail);
  connection.command = commands.find((c) => c.startsWith("DATA")) ?? connection.command;
} else {
  connection = new sp.seedlink4.SeedlinkConnection(url, commands, take, fail);
}
connection.connect();
