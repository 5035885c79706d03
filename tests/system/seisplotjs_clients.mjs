// seisplotjs's own clients: SeedLink over WebSocket and FDSN dataselect.
// Arguments: MODULES_DIR URL COUNT 3|4 [SeedLink command...], or MODULES_DIR
// URL - dataselect NET STA CHA FROM_MS TO_MS. Prints "channel start_ms
// samples..." a packet or segment, or "error ..." on the first failure.
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

if (version === "dataselect") {
  const [net, sta, cha, from, to] = commands, { hostname, port } = new URL(url);
  const at = (ms) => sp.luxon.DateTime.fromMillis(Number(ms), { zone: "utc" });
  // Node's fetch refuses the library's referrer "seisplotjs" (not a URL).
  sp.util.setDefaultFetch((u, { referrer, ...rest } = {}) => globalThis.fetch(u, rest));
  const seismograms = await new sp.fdsndataselect.DataSelectQuery().protocol("http:").host(hostname)
    .port(Number(port)).networkCode(net).stationCode(sta).channelCode(cha).startTime(at(from))
    .endTime(at(to)).querySeismograms().catch(fail);
  for (const seg of seismograms.flatMap((s) => s.segments))
    print([seg.channelCode, seg.startTime.toMillis(), ...seg.y].join(" "));
  end(0);
} else if (version === "3") {
  connection = new sp.seedlink.SeedlinkConnection(url, commands.filter((c) => !c.startsWith("DATA")),
    (p) => report(p.miniseed), fail);
  connection.command = commands.find((c) => c.startsWith("DATA")) ?? connection.command;
} else {
  connection = new sp.seedlink4.SeedlinkConnection(url, commands,
    (p) => p.isMiniseed() ? report(p.asMiniseed()) : fail("not miniSEED"), fail);
}
connection.connect();
