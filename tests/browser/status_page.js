// Drives the status page in headless Chromium. The fixture that owns the
// program's state (the test binary) sits on the other end of stdin/stdout:
// this script writes "step NAME" and waits for "ok" (or "fail why").
//   node status_page.js BASE_URL SCREENSHOT_DIR
"use strict";

const { step, log, check, launch, statusPage, run } = require("./steps");

const [base, shotDir] = process.argv.slice(2);

async function main() {
  const browser = await launch();
  const { page, errors } = await statusPage(browser);
  const lampLit = () => page.getAttribute("#c1049", "data-lit");

  await page.goto(base + "/", { waitUntil: "load" });
  await page.waitForFunction(() => document.title.startsWith("[ ABC ]"));
  check(await page.title() === "[ ABC ] - Сервер дисковой петли", "title names the station");
  check(await page.locator("#rows tr").count() === 0, "no rows before the announcement");
  check(await page.isVisible("#empty"), "the empty-list note is shown");
  const heads = await page.locator("#c1054 th").allTextContents();
  check(JSON.stringify(heads) === JSON.stringify(["Канал", "Отсч./c", "К-во блоков", "Время", "Файл"]),
    "column titles " + heads.join("|"));

  await step("announce");
  await page.waitForFunction(() => document.querySelectorAll("#rows tr").length === 3);
  const names = await page.locator("#rows td.name span").allTextContents();
  check(JSON.stringify(names) === JSON.stringify(["SHZ", "SHN", "<b>x"]), "rows in roster order, names as text");
  check(await page.locator("#rows b").count() === 0, "a channel name makes no markup");
  const rates = await page.locator("#rows tr td:nth-child(2)").allTextContents();
  check(JSON.stringify(rates) === JSON.stringify(["20.000", "20.000", "100.000"]), "rates " + rates);
  await page.waitForFunction(() => document.getElementById("station-text").textContent === "Станция подключена");
  await page.waitForFunction(() => document.getElementById("db-text").textContent === "БД подключена");
  check((await page.getAttribute("#c1055", "src")) === "icons/db_on.svg", "database icon connected");
  check((await page.getAttribute("#c1056", "src")) === "icons/station_on.svg", "station icon connected");

  await step("blocks");
  await page.waitForFunction(() => {
    const c = document.querySelectorAll("#rows tr")[1].children;
    return c[2].textContent === "007" && c[3].textContent !== "";
  });
  const row1 = await page.locator("#rows tr").nth(1).locator("td").allTextContents();
  log("row 1: " + JSON.stringify(row1));
  check(row1[2] === "007", "queued blocks 007");
  check(row1[3] === "12:05:09  06/12/2026", "time " + JSON.stringify(row1[3]));
  check(row1[4] === "/var/lib/veldrum/data/12/120509-06122026-SHN.ABC", "file name");
  check((await page.getAttribute("#rows tr:nth-child(2)", "data-state-image")) === "2", "event mark on row 1");
  check((await page.getAttribute("#rows tr:nth-child(1)", "data-state-image")) === "1", "no mark on row 0");
  const row0time = await page.locator("#rows tr").nth(0).locator("td").nth(3).textContent();
  check(row0time === "", "no time before the first block");
  check((await page.locator("#rows tr").nth(1).locator("td").nth(2).textContent()) === "007", "queued");

  // The event lamp: after the trigger it alternates at every tick for ten
  // ticks (which of the two comes first depends on the phase left by earlier
  // ticks), then stays dark.
  const serial = async () => Number(await page.getAttribute("body", "data-serial"));
  const tickAndSee = async () => {
    const before = await serial();
    await step("tick");
    await page.waitForFunction((b) => Number(document.body.dataset.serial) > b, before);
    return lampLit();
  };
  let shot = false;
  let lit = 0;
  let previous = null;
  for (let tick = 1; tick <= 10; tick++) {
    const now = await tickAndSee();
    log("tick " + tick + ": lamp " + now);
    if (previous !== null) check(now !== previous, "the lamp alternates at tick " + tick);
    previous = now;
    if (now === "1") lit++;
    if (now === "1" && !shot) {
      await page.screenshot({ path: shotDir + "/status_page_event.png" });
      shot = true;
    }
  }
  check(lit === 5, "the lamp was lit on five of the ten ticks");
  for (let tick = 11; tick <= 13; tick++) {
    check((await tickAndSee()) === "0", "the lamp is dark at tick " + tick);
  }

  await step("unmark");
  await page.waitForFunction(() => document.querySelectorAll("#rows tr")[1].dataset.stateImage === "1");
  check(true, "the mark goes with a block without it");

  // "Сброс буферов": grey at once, flush requested, back when the pass starts.
  await page.click("#c7");
  check(await page.isDisabled("#c7"), "the button greys out when pressed");
  await step("check-flush");
  await page.waitForTimeout(1300);
  check(await page.isDisabled("#c7"), "the button stays grey until the pass");
  await step("pass-start");
  await page.waitForFunction(() => !document.getElementById("c7").disabled);
  check(true, "the button comes back when the recorder starts its pass");

  await step("station-lost");
  await page.waitForFunction(() => document.getElementById("c1056").getAttribute("src") === "icons/station_off.svg");
  check((await page.textContent("#station-text")) === "Станция отключена", "station shown as lost");
  check((await page.inputValue("#c1053")) === "<i>Код ошибки Netbios: 24", "error text shown as text");
  await step("db-lost");
  await page.waitForFunction(() => document.getElementById("c1055").getAttribute("src") === "icons/db_off.svg");
  await page.screenshot({ path: shotDir + "/status_page_lost.png" });
  await step("station-back");
  await page.waitForFunction(() => document.getElementById("c1056").getAttribute("src") === "icons/station_on.svg");
  check((await page.textContent("#station-text")) === "Станция подключена", "station back");

  // Resizing a column sends the widths that the stop command saves.
  const grip = page.locator("#c1054 th:nth-child(1) .grip");
  const box = await grip.boundingBox();
  await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
  await page.mouse.down();
  await page.mouse.move(box.x + 100, box.y + box.height / 2, { steps: 5 });
  await page.mouse.up();
  await page.waitForTimeout(500);
  await step("check-widths");

  await page.click("#menu summary");
  await page.click("#cmd40002");
  await step("check-stop");
  await page.waitForFunction(() => !document.getElementById("conn-badge").classList.contains("hidden"));
  await page.screenshot({ path: shotDir + "/status_page.png", fullPage: true });
  check(errors.length === 0, "no script errors: " + errors.join("; "));
  await browser.close();
  await step("done");
}

run(main);
