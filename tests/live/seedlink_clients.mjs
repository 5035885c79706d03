// seisplotjs's own SeedLink clients over WebSocket, as a browser page uses
// them. Arguments: MODULES_DIR URL VERSION(3|4) COUNT [COMMAND...]; prints
// one JSON line per packet (sequence, channel, start in ms, samples) and
// "done", or "error ..." on the first failure.
import { pathToFileURL } from "node:url";

const [modules, url, version, count, ...commands] = process.argv.slice(2);
// The bundle defines its page widgets at load; Node has no DOM, and the
// SeedLink clients need none.
for (const name of ["HTMLElement", "HTMLDivElement", "HTMLInputElement", "HTMLSelectElement"])
  globalThis[name] ??= class {};
globalThis.customElements ??= { define() {}, get() {} };
const sp = await import(pathToFileURL(`${modules}/seisplotjs/dist/index_node.mjs`).href);

let seen = 0;
let connection;
const timer = setTimeout(() => fail("timed out"), 60000);

function fail(why) {
  console.log(`error ${why}`);
  clearTimeout(timer);
  connection?.close();
  process.exit(1);
}

function report(sequence, record) {
  const h = record.header;
  console.log(JSON.stringify({
    sequence: Number(sequence),
    network: h.netCode, station: h.staCode, channel: h.chanCode,
    start: h.startTime.toMillis(),
    samples: Array.from(record.decompress()),
  }));
  if (++seen === Number(count)) {
    console.log("done");
    clearTimeout(timer);
    connection.close();
    process.exit(0);
  }
}

const onError = (e) => fail(e?.message ?? String(e));
if (version === "3") {
  connection = new sp.seedlink.SeedlinkConnection(url, commands.filter((c) => !c.startsWith("DATA")),
    (p) => report(p.sequence, p.miniseed), onError);
  const data = commands.find((c) => c.startsWith("DATA"));
  if (data) connection.command = data;
} else {
  connection = new sp.seedlink4.SeedlinkConnection(url, commands,
    (p) => p.isMiniseed() ? report(p.sequence, p.asMiniseed()) : fail("not miniSEED"), onError);
}
connection.connect();
