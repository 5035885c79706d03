// seisplotjs's own SeedLink clients over WebSocket.
// Arguments: MODULES_DIR URL COUNT 3|4 [SeedLink command...]. Prints
// "channel start_ms samples..." a packet, or "error ..." on the first failure.
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

function report(record) {
  const h = record.header;
  print([h.chanCode, h.startTime.toMillis(), ...record.decompress()].join(" "));
  if (++seen === Number(count)) end(0);
}

if (version === "3") {
  connection = new sp.seedlink.SeedlinkConnection(url, commands.filter((c) => !c.startsWith("DATA")),
    (p) => report(p.miniseed), fail);
  connection.command = commands.find((c) => c.startsWith("DATA")) ?? connection.command;
} else {
  connection = new sp.seedlink4.SeedlinkConnection(url, commands,
    (p) => p.isMiniseed() ? report(p.asMiniseed()) : fail("not miniSEED"), fail);
}
connection.connect();
