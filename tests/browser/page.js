// The status page of a running veldrum in headless Chromium, fed by a
// stationsim that this script starts and stops: node page.js URL STATION SIM SIM_PORT
"use strict";

const { chromium } = require("playwright-core");
const { spawn, spawnSync } = require("child_process");

const [base, station, stationsim, simPort, shots] = process.argv.slice(2);
const log = (text) => process.stderr.write("[browser] " + text + "\n");
function check(cond, what) {
  if (!cond) throw new Error("check failed: " + what);
  log("ok: " + what);
}
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
// The second channel's name is one that markup would show as "<".
const SECOND = "&lt;";
let sim = null;
function startSim(extra) {
  sim = spawn(stationsim, ["--station", station, "--port", simPort, "--channels", "SHZ:20:0," + SECOND + ":100:0",
    "--realtime", ...extra], { stdio: "ignore" });
}
process.on("exit", () => sim && sim.kill());
// /api/health follows the station; /metrics is read by the Prometheus client's parser.
const health = async (want) =>
  check((await fetch(base + "/api/health")).status === want, "health " + want);

// The drawn part of a channel's seismogram: its samples so far, the end of
// its data and a picture of it.
async function plotState(page, channel) {
  const box = page.locator(`.plot[data-channel="${channel}"]`);
  return { samples: Number(await box.getAttribute("data-samples")), end: Number(await box.getAttribute("data-end")),
    png: (await box.screenshot()).toString("base64") };
}

// A seismogram that was drawn moves on: more samples, a later end, another picture.
async function advances(page, channel, what) {
  const before = await plotState(page, channel);
  await sleep(3000);
  const after = await plotState(page, channel);
  check(after.samples > before.samples && after.end > before.end && after.png !== before.png,
    what + ` (${before.samples} -> ${after.samples} samples)`);
}

// Seismograms open by a click on a channel's name and from the address.
async function seismograms(browser, page, until) {
  const plotted = (name) => until((n) => Number(document.querySelector(`.plot[data-channel="${n}"]`)?.dataset.samples) > 0, name);
  check(await page.locator(".plot").count() === 0, "no seismogram before one is asked for");
  await until(() => Array.from(document.querySelectorAll("#health-rows tr")).filter((tr) =>
    /^-?\d+\.\d$/.test(tr.children[1].textContent) && /^\d+$/.test(tr.children[2].textContent)).length === 2);
  check(await page.locator("#health-rows td.late").count() === 0, "latency and gaps of both channels, none late");
  check(/^Кольцо: \d+\.\d из 10\.0 МБ \(\d+ %\)$/.test(await page.textContent("#ring-text")), "the ring's fill");
  await page.click("#rows a.chan >> text=SHZ");
  check(new URL(page.url()).search === "?plot=SHZ", "the address names the opened channel");
  await plotted("SHZ");
  check(await page.getAttribute('.plot[data-channel="SHZ"]', "data-format") === "3",
    "the seismogram is drawn from miniSEED 3 records");
  await advances(page, "SHZ", "the clicked seismogram moves on");
  await page.locator("#plot-list").screenshot({ path: shots + "/seismograms.png" });
  const other = await browser.newPage({ viewport: { width: 1000, height: 900 } });
  const errors = [];
  other.on("pageerror", (e) => errors.push(String(e)));
  await other.goto(base + "/?plot=SHZ", { waitUntil: "load" });
  await other.waitForFunction(() => Number(document.querySelector(".plot")?.dataset.samples) > 0, null, { timeout: 30000 });
  await advances(other, "SHZ", "a bookmarked seismogram moves on");
  await other.screenshot({ path: shots + "/seismograms-page.png", fullPage: true });
  check(errors.length === 0, "no script errors from the bookmarked seismogram: " + errors.join("; "));
  await other.close();
}

async function main() {
  const browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium", headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking"],
  });
  const page = await browser.newPage({ viewport: { width: 1000, height: 620 } });
  const errors = [];
  page.on("pageerror", (e) => { errors.push(String(e)); log("page error: " + e); });
  // Conditions wait long: the program may run under a sanitizer beside other tests.
  const until = (fn, arg) => page.waitForFunction(fn, arg, { timeout: 30000, polling: 100 }).catch(async (e) => {
    throw new Error(e.message + "\n" + fn + "\npage: " + await page.textContent("#window"));
  });
  const text = (sel, want) => until(([s, w]) => document.querySelector(s).textContent === w, [sel, want]);
  const lamp = () => page.getAttribute("#c1049", "data-lit");
  const rows = () => page.$$eval("#rows tr", (trs) => trs.map((tr) => [tr.dataset.stateImage,
    ...Array.from(tr.children, (td) => td.textContent)]));

  // The page comes up before the station is there.
  await page.goto(base + "/", { waitUntil: "load" });
  await until((t) => document.title === t, "[ " + station + " ] - Сервер дисковой петли");
  await health(503);
  check(await page.locator("#rows tr").count() === 0 && await page.isVisible("#empty"), "an empty list first");
  await text("#db-text", "БД подключена");
  check((await page.getAttribute("#c1055", "src")) === "icons/db_on.svg", "the database icon");

  // The announcement makes the rows, in roster order, names as text.
  startSim(["--event-every", "1"]);  // every second of data carries an event mark
  await text("#station-text", "Станция подключена");
  check((await page.getAttribute("#c1056", "src")) === "icons/station_on.svg", "the station icon");
  await text("#channels-text", "Каналов: 2");
  // Blocks arrive: the queued count, the data's UTC time, the event mark.
  await until(() => Array.from(document.querySelectorAll("#rows tr"))
    .every((tr) => tr.children[3].textContent !== "" && tr.dataset.stateImage === "2"));
  const r = await rows();
  check(JSON.stringify(r.map((c) => c.slice(0, 3))) === JSON.stringify([["2", "SHZ", "20.000"], ["2", SECOND, "100.000"]]),
    "rows " + JSON.stringify(r));
  for (const c of r) {
    check(/^\d{3,}$/.test(c[3]), c[1] + " queued blocks " + c[3]);
    const m = /^(\d\d):(\d\d):(\d\d)  (\d\d)\/(\d\d)\/(\d{4})$/.exec(c[4]) || [];
    check(Math.abs(Date.UTC(m[6], m[5] - 1, m[4], m[1], m[2], m[3]) - Date.now()) < 120000, c[1] + " time " + c[4]);
  }
  await seismograms(browser, page, until);
  await health(200);
  const scrape = spawnSync("/usr/bin/python3", [__dirname + "/scrape.py", base],
    { encoding: "utf8" });
  check(scrape.status === 0, "/metrics " + scrape.stdout + scrape.stderr);

  const blinks = new Set();
  for (let i = 0; i < 60 && blinks.size < 2; i++, await sleep(250)) blinks.add(await lamp());
  check(blinks.size === 2, "the event lamp blinks");
  check((await page.textContent("#event-caption")) === "есть", "the event group says there is one");

  // "Сброс буферов" greys out and comes back when the recorder starts its pass.
  check(!(await page.isDisabled("#c7")), "the flush button is active");
  await page.click("#c7");
  check(await page.isDisabled("#c7"), "the button greys out when pressed");
  await until(() => !document.getElementById("c7").disabled);
  await until(() => Array.from(document.querySelectorAll("#rows tr")).every((tr) => tr.children[4].textContent !== ""));
  for (const c of await rows()) check(c[5].endsWith("-" + c[1] + "." + station), c[1] + " file " + c[5]);

  // The station goes away and comes back.
  sim.kill();
  await text("#station-text", "Станция отключена");
  check((await page.getAttribute("#c1056", "src")) === "icons/station_off.svg", "the station icon off");
  await health(503);
  check(await page.$eval("#rows", (b) => b.classList.contains("stale")), "the rows are shown as old data");
  await until(() => document.getElementById("c1053").value.startsWith("Код ошибки Netbios: "));
  startSim([]);
  await text("#station-text", "Станция подключена");
  await health(200);
  // Unmarked blocks take the mark off the rows.
  await until(() => Array.from(document.querySelectorAll("#rows tr")).every((tr) => tr.dataset.stateImage === "1"));
  // Ten ticks (3 s each) after the last mark the event group says there is none.
  await page.waitForFunction(() => document.getElementById("event-caption").textContent === "нет",
    null, { timeout: 60000, polling: 250 });
  check(!(await page.$eval("#rows", (b) => b.classList.contains("stale"))), "the rows are current again");
  await advances(page, "SHZ", "the seismogram goes on after the station came back");
  await page.click('.plot[data-channel="SHZ"] h3 button');
  check(await page.locator(".plot").count() === 0 && new URL(page.url()).search === "", "the seismogram closes");
  await page.evaluate(() => window.scrollTo(0, 0));
  await page.screenshot({ path: shots + "/browser-system.png", fullPage: true });

  // Widening the first column sends the widths that the stop saves.
  const box = await page.locator("#c1054 th:nth-child(1) .grip").boundingBox();
  await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
  await page.mouse.down();
  await page.mouse.move(box.x + 100, box.y + box.height / 2, { steps: 5 });
  await page.mouse.up();
  await sleep(500);
  // "Завершить работу": the page tells the stop, then loses the server.
  await page.click("#menu summary");
  await page.click("#cmd40002");
  await text("#conn-text", "Нет связи с сервером дисковой петли");
  check(errors.length === 0, "no script errors: " + errors.join("; "));
  await browser.close();
}

main().then(() => process.exit(0), (e) => {
  log("FAILED: " + (e && e.stack ? e.stack : e));
  process.exit(1);
});
