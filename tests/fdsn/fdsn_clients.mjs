// seisplotjs, the field's JavaScript client, against a running veldrum:
// dataselect (GET and POST), availability (query, extent) and station
// queries. What the client parsed goes into a JSON file that the test
// checks against the simulator's signal.
// Usage: node fdsn_clients.mjs PORT NETWORK STATION START OUT.json
import path from "node:path";
import fs from "node:fs";
import { pathToFileURL } from "node:url";
import { createRequire } from "node:module";

const [port, net, sta, startText, out] = process.argv.slice(2);
// The library's own messages go to stderr.
console.log = (...args) => console.error(...args);
const modules = process.env.NODE_PATH;
const require = createRequire(path.join(modules, "x.js"));
const xmldom = require("@xmldom/xmldom");
// StationXML is parsed with the DOM, which Node lacks.
globalThis.DOMParser = xmldom.DOMParser;
globalThis.Element = xmldom.Element ?? Object.getPrototypeOf(new xmldom.DOMParser()
  .parseFromString("<a/>", "text/xml").documentElement).constructor;
// The library's display code extends a browser class when it loads.
globalThis.HTMLDivElement ??= class {};
globalThis.customElements ??= { define() {}, get() { return undefined; } };
const sp = await import(pathToFileURL(path.join(modules, "seisplotjs/dist/index_node.mjs")));
const { DateTime } = require("luxon");
// The library's way to hand it Node's fetch, which, unlike a browser's,
// refuses the library's referrer "seisplotjs" (not a URL).
sp.util.setDefaultFetch((url, init) => {
  const { referrer, ...rest } = init ?? {};
  return globalThis.fetch(url, rest);
});

const S = Number(startText);
const at = (seconds) => DateTime.fromMillis(Math.round((S + seconds) * 1000), { zone: "utc" });
const host = (q) => q.protocol("http:").host("127.0.0.1").port(Number(port));

function segments(seismograms) {
  const list = [];
  for (const s of seismograms) {
    for (const seg of s.segments) {
      list.push({ channel: seg.channelCode, network: seg.networkCode, station: seg.stationCode,
                  location: seg.locationCode, start: seg.startTime.toMillis(),
                  rate: seg.sampleRate, samples: Array.from(seg.y) });
    }
  }
  return list;
}

async function dataselect(cha, from, to) {
  const q = host(new sp.fdsndataselect.DataSelectQuery())
    .networkCode(net).stationCode(sta).locationCode("--").channelCode(cha)
    .startTime(at(from)).endTime(at(to));
  return segments(await q.querySeismograms());
}

const results = { windows: {}, post: [], availability: {}, station: {} };
// Windows in seconds from the simulator's start (see the test for the layout).
const windows = {
  files_and_midnight: ["SHZ", 50.005, 195.995],
  across_gap: ["SHN", 290.5, 410.25],
  inside_gap: ["SHZ", 310, 390],
  wildcard: ["SH?", 10.001, 12.999],
  exact_ends: ["SHE", 20, 21],
};
for (const [name, [cha, from, to]] of Object.entries(windows)) {
  results.windows[name] = { from: S + from, to: S + to, segments: await dataselect(cha, from, to) };
}

const post = host(new sp.fdsndataselect.DataSelectQuery());
const sdds = [
  sp.seismogram.SeismogramDisplayData.fromCodesAndTimes(net, sta, "", "SHZ", at(99.5), at(101.5)),
  sp.seismogram.SeismogramDisplayData.fromCodesAndTimes(net, sta, "", "SHE", at(401), at(402)),
];
for (const sdd of await post.postQuerySeismograms(sdds)) {
  if (sdd.seismogram) results.post.push(...segments([sdd.seismogram]));
}

const avail = host(new sp.fdsnavailability.AvailabilityQuery())
  .networkCode(net).stationCode(sta).channelCode("SHZ").startTime(at(-100)).endTime(at(1000));
const spans = (list) => list.map((d) => ({ channel: d.channelCode,
  start: d.startTime.toMillis(), end: d.endTime.toMillis() }));
results.availability.query = spans(await avail.query());
results.availability.extent = spans(await avail.extent());

const station = host(new sp.fdsnstation.StationQuery()).networkCode(net).stationCode(sta);
const networks = await station.queryChannels();
results.station.networks = networks.map((n) => ({
  code: n.networkCode,
  stations: n.stations.map((s) => ({
    code: s.stationCode, latitude: s.latitude, longitude: s.longitude, elevation: s.elevation,
    channels: s.channels.map((c) => ({ code: c.channelCode, location: c.locationCode,
      rate: c.sampleRate, start: c.startDate ? c.startDate.toMillis() : null })),
  })),
}));
const levels = await host(new sp.fdsnstation.StationQuery()).networkCode(net).queryStations();
results.station.station_level = levels.map((n) => n.stations.map((s) => s.stationCode));

fs.writeFileSync(out, JSON.stringify(results));
process.exit(0);
