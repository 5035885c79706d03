// seisplotjs against a running veldrum: dataselect (GET and POST, miniSEED 2
// and 3), availability (query, extent) and station queries. What the client
// parsed goes into a JSON file the test checks against the simulator's signal.
// Usage: node fdsn_clients.mjs PORT NETWORK STATION START OUT.json
import path from "node:path";
import fs from "node:fs";
import { pathToFileURL } from "node:url";
import { createRequire } from "node:module";

const [port, net, sta, startText, out] = process.argv.slice(2);
console.log = (...args) => console.error(...args);  // the library's chatter
const modules = process.env.NODE_PATH;
const require = createRequire(path.join(modules, "x.js"));
const xmldom = require("@xmldom/xmldom");
// StationXML is parsed with the DOM, which Node lacks; the library's display
// code extends browser classes when it loads.
globalThis.DOMParser = xmldom.DOMParser;
globalThis.Element = xmldom.Element ?? Object.getPrototypeOf(new xmldom.DOMParser()
  .parseFromString("<a/>", "text/xml").documentElement).constructor;
globalThis.HTMLDivElement ??= class {};
globalThis.customElements ??= { define() {}, get() { return undefined; } };
const sp = await import(pathToFileURL(path.join(modules, "seisplotjs/dist/index_node.mjs")));
const { DateTime } = require("luxon");
// Node's fetch refuses the library's referrer "seisplotjs" (not a URL).
sp.util.setDefaultFetch((url, { referrer, ...rest } = {}) => globalThis.fetch(url, rest));

const S = Number(startText);
const at = (seconds) => DateTime.fromMillis(Math.round((S + seconds) * 1000), { zone: "utc" });
const host = (q) => q.protocol("http:").host("127.0.0.1").port(Number(port));
const segments = (seismograms) => seismograms.flatMap((s) => s.segments.map((seg) => ({
  channel: seg.channelCode, network: seg.networkCode, location: seg.locationCode,
  start: seg.startTime.toMillis(), rate: seg.sampleRate, samples: Array.from(seg.y) })));

// Each window in both formats; the miniSEED 3 records' CRCs are checked on
// the bytes as they came.
const windows = {};  // seconds from the simulator's start (see the test for the layout)
const mseed3 = { windows: {}, records: 0, bad_crc: 0, largest: 0, types: [] };
for (const [name, cha, from, to] of [["files_and_midnight", "SHZ", 50.005, 195.995],
  ["across_gap", "SHN", 290.5, 410.25], ["inside_gap", "SHZ", 310, 390],
  ["wildcard", "SH?", 10.001, 12.999], ["exact_ends", "SHE", 20, 21]]) {
  const query = () => host(new sp.fdsndataselect.DataSelectQuery()).networkCode(net)
    .stationCode(sta).locationCode("--").channelCode(cha).startTime(at(from)).endTime(at(to));
  windows[name] = { from, to, segments: segments(await query().querySeismograms()) };
  const q3 = query().format("miniseed3");
  mseed3.windows[name] = { from, to, segments: segments(await q3.querySeismograms()) };
  const response = await globalThis.fetch(q3.formURL());
  mseed3.types.push(response.headers.get("content-type"));
  const bytes = new Uint8Array(await response.arrayBuffer());
  let offset = 0;
  for (const r of sp.mseed3.parseMSeed3Records(bytes.buffer)) {
    const record = bytes.slice(offset, offset + r.getSize());
    new DataView(record.buffer).setUint32(28, 0, true);  // the CRC covers its field as zero
    mseed3.bad_crc += sp.mseed3.calculateCRC32C(record) !== r.header.crc ? 1 : 0;
    mseed3.records += 1;
    mseed3.largest = Math.max(mseed3.largest, r.getSize());
    offset += r.getSize();
  }
}
const posted = [["SHZ", 99.5, 101.5], ["SHE", 401, 402]];
const sdds = await host(new sp.fdsndataselect.DataSelectQuery()).postQuerySeismograms(posted.map(
  ([cha, from, to]) => sp.seismogram.SeismogramDisplayData.fromCodesAndTimes(net, sta, "", cha,
    at(from), at(to))));
for (const [cha, from, to] of posted) {
  const got = sdds.filter((d) => d.seismogram && d.channelCode === cha);
  windows[`post ${cha}`] = { from, to, segments: segments(got.map((d) => d.seismogram)) };
}

const avail = host(new sp.fdsnavailability.AvailabilityQuery())
  .networkCode(net).stationCode(sta).channelCode("SHZ").startTime(at(-100)).endTime(at(1000));
const spans = (list) => list.map((d) => [d.startTime.toMillis(), d.endTime.toMillis()]);
const networks = await host(new sp.fdsnstation.StationQuery()).networkCode(net).stationCode(sta)
  .queryChannels();
const levels = await host(new sp.fdsnstation.StationQuery()).networkCode(net).queryStations();
fs.writeFileSync(out, JSON.stringify({
  windows,
  mseed3,
  availability: { query: spans(await avail.query()), extent: spans(await avail.extent()) },
  networks: networks.map((n) => ({ code: n.networkCode, stations: n.stations.map((s) => ({
    code: s.stationCode, latitude: s.latitude, longitude: s.longitude,
    channels: s.channels.map((c) => ({ code: c.channelCode, rate: c.sampleRate,
      start: c.startDate ? c.startDate.toMillis() : null })) })) })),
  station_level: levels.map((n) => n.stations.map((s) => s.stationCode)),
}));
process.exit(0);
