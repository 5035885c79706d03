// The status page of a running veldrum in headless Chromium. The test binary
// on the other end of stdin/stdout starts and stops the simulator: this
// script writes "step NAME" and waits for "ok" (or "fail why").
//   node system_page.js BASE_URL STATION SCREENSHOT_DIR
"use strict";

const http = require("http");
const { step, log, check, launch, statusPage, run } = require("./steps");

const [base, station, shotDir] = process.argv.slice(2);

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
// Conditions wait long: the program may run under a sanitizer beside other tests.
const LONG = { timeout: 30000, polling: 200 };

// A POST as a script would send it, with the headers given.
function post(path, headers) {
  return new Promise((resolve, reject) => {
    const req = http.request(base + path, { method: "POST", headers }, (res) => {
      res.resume();
      res.on("end", () => resolve(res.statusCode));
    });
    req.on("error", reject);
    req.end("{}");
  });
}

// Another site on this machine (another port is another origin) whose page
// tries to drive the status page's commands.
function foreignSite() {
  const page = `<!DOCTYPE html><script>
    async function attack(target) {
      for (const p of ["/api/flush", "/api/stop"])
        await fetch(target + p, { method: "POST", mode: "no-cors", body: "{}",
          headers: { "Content-Type": "text/plain" } }).catch(() => {});
      document.title = "sent";
    }</script>`;
  const server = http.createServer((req, res) => {
    res.writeHead(200, { "Content-Type": "text/html" });
    res.end(page);
  });
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve(server)));
}

async function main() {
  const browser = await launch();
  const { page, errors } = await statusPage(browser);
  const lampLit = () => page.getAttribute("#c1049", "data-lit");
  const rowCells = () => page.$$eval("#rows tr", (trs) => trs.map((tr) => ({
    mark: tr.dataset.stateImage, cells: Array.from(tr.children, (td) => td.textContent),
  })));
  const status = () => page.evaluate(() => fetch("api/status", { cache: "no-store" }).then((r) => r.json()));

  // The page comes up before the station is there.
  await page.goto(base + "/", { waitUntil: "load" });
  const title = "[ " + station + " ] - Сервер дисковой петли";
  await page.waitForFunction((t) => document.title === t, title, LONG);
  check(true, "title " + title);
  check(await page.locator("#rows tr").count() === 0, "no rows before the announcement");
  check(await page.isVisible("#empty"), "the empty-list note is shown");
  await page.waitForFunction(() => document.getElementById("db-text").textContent === "БД подключена", null, LONG);
  check((await page.getAttribute("#c1055", "src")) === "icons/db_on.svg", "database icon shows the connection");

  // The announcement makes the rows, in roster order.
  await step("start-sim");
  await page.waitForFunction(() => document.querySelectorAll("#rows tr").length === 2, null, LONG);
  let rows = await rowCells();
  check(JSON.stringify(rows.map((r) => r.cells[0])) === '["SHZ","SHN"]', "rows in roster order");
  check(JSON.stringify(rows.map((r) => r.cells[1])) === '["20.000","100.000"]', "rates 20.000 and 100.000");
  await page.waitForFunction(() => document.getElementById("c1056").getAttribute("src") === "icons/station_on.svg",
    null, LONG);
  check((await page.textContent("#station-text")) === "Станция подключена", "station shown connected");
  check((await page.textContent("#channels-text")) === "Каналов: 2", "channel count");

  // Blocks arrive: queued count, time of the latest block, event mark.
  await page.waitForFunction(() => Array.from(document.querySelectorAll("#rows tr"))
    .every((tr) => tr.children[3].textContent !== "" && tr.dataset.stateImage === "2"), null, LONG);
  rows = await rowCells();
  log("rows: " + JSON.stringify(rows));
  const now = new Date();
  for (const r of rows) {
    check(/^\d{3,}$/.test(r.cells[2]), r.cells[0] + " queued blocks " + r.cells[2]);
    const m = /^(\d\d):(\d\d):(\d\d)  (\d\d)\/(\d\d)\/(\d{4})$/.exec(r.cells[3]);
    check(m !== null, r.cells[0] + " time " + JSON.stringify(r.cells[3]));
    const t = Date.UTC(+m[6], +m[5] - 1, +m[4], +m[1], +m[2], +m[3]);
    check(Math.abs(t - now.getTime()) < 120000, r.cells[0] + " time is the data's UTC time");
    check(r.mark === "2", r.cells[0] + " shows the event mark");
  }

  // Marked blocks keep the lamp blinking: lit and dark in turn.
  const seen = new Set();
  for (let i = 0; i < 60 && seen.size < 2; i++) {
    seen.add(await lampLit());
    await sleep(250);
  }
  check(seen.has("1") && seen.has("0"), "the event lamp blinks");
  check((await page.textContent("#event-caption")) === "есть", "the event group says there is one");

  // Another site's page cannot use the commands, nor can a script that
  // names another origin.
  const foreign = await foreignSite();
  const other = await browser.newPage();
  await other.goto("http://127.0.0.1:" + foreign.address().port + "/");
  await other.evaluate((target) => attack(target), base);
  await other.waitForFunction(() => document.title === "sent", null, LONG);
  await other.close();
  foreign.close();
  check((await post("/api/stop", { Origin: "http://evil.example", "Content-Type": "application/json" })) === 403,
    "a POST naming another origin is refused");
  await sleep(1500);
  let s = await status();
  check(s.flush_enabled === true && s.stopping === false, "the refused commands changed nothing");
  await step("check-alive");

  // "Сброс буферов" greys out and comes back when the recorder starts its pass.
  check(!(await page.isDisabled("#c7")), "the flush button is active");
  await page.click("#c7");
  check(await page.isDisabled("#c7"), "the button greys out when pressed");
  await page.waitForFunction(() => !document.getElementById("c7").disabled, null, LONG);
  check(true, "the button comes back when the recorder starts its pass");
  await step("check-pass");
  await page.waitForFunction(() => Array.from(document.querySelectorAll("#rows tr"))
    .every((tr) => tr.children[4].textContent !== ""), null, LONG);
  rows = await rowCells();
  for (const r of rows) {
    check(r.cells[4].endsWith("-" + r.cells[0] + "." + station), r.cells[0] + " file " + r.cells[4]);
  }

  // The station goes away and comes back.
  await step("stop-sim");
  await page.waitForFunction(() => document.getElementById("c1056").getAttribute("src") === "icons/station_off.svg",
    null, LONG);
  check((await page.textContent("#station-text")) === "Станция отключена", "station shown as lost");
  check(await page.$eval("#rows", (b) => b.classList.contains("stale")), "the rows are shown as old data");
  await page.waitForFunction(() => document.getElementById("c1053").value.startsWith("Код ошибки Netbios: "),
    null, LONG);
  check(true, "the error line tells why: " + (await page.inputValue("#c1053")));
  await page.screenshot({ path: shotDir + "/browser-system-lost.png" });
  await step("start-sim-quiet");
  await page.waitForFunction(() => document.getElementById("c1056").getAttribute("src") === "icons/station_on.svg",
    null, LONG);
  check((await page.textContent("#station-text")) === "Станция подключена", "station back");
  // Blocks without a mark take the mark off the rows.
  await page.waitForFunction(() => Array.from(document.querySelectorAll("#rows tr"))
    .every((tr) => tr.dataset.stateImage === "1"), null, LONG);
  check(true, "the rows lose the mark with unmarked blocks");

  // Ten ticks after the last mark the lamp stops: dark for longer than a
  // tick (3 s) means it no longer blinks.
  let darkSince = Date.now();
  const give_up = Date.now() + 60000;
  while (Date.now() - darkSince < 7000) {
    if (Date.now() > give_up) throw new Error("the lamp still blinks a minute after the last event");
    if ((await lampLit()) !== "0") darkSince = Date.now();
    await sleep(250);
  }
  check(true, "the event lamp stays dark after the blinking");
  check((await page.textContent("#event-caption")) === "нет", "the event group says there is none");
  check(!(await page.$eval("#rows", (b) => b.classList.contains("stale"))), "the rows are current again");
  await page.screenshot({ path: shotDir + "/browser-system.png", fullPage: true });

  // "Завершить работу": the page tells the stop, then loses the server.
  await page.click("#menu summary");
  await page.click("#cmd40002");
  await page.waitForFunction(() => {
    const t = document.getElementById("conn-text").textContent;
    return t === "Завершение работы…" || t === "Нет связи с сервером дисковой петли";
  }, null, LONG);
  log("after the stop command: " + (await page.textContent("#conn-text")));
  await step("check-exit");
  await page.waitForFunction(() => document.getElementById("conn-text").textContent ===
    "Нет связи с сервером дисковой петли", null, LONG);
  check(true, "the page shows that the server is gone");
  check(errors.length === 0, "no script errors: " + errors.join("; "));
  await browser.close();
  await step("done");
}

run(main);
