// What the browser scripts share: the step protocol with the test binary on
// stdin/stdout ("step NAME" out, "ok" or "fail why" back), logging and the
// headless Chromium of the system.
"use strict";

const { chromium } = require("playwright-core");
const readline = require("readline");

const rl = readline.createInterface({ input: process.stdin });
const replies = [];
let waiting = null;
rl.on("line", (line) => {
  if (waiting) { const w = waiting; waiting = null; w(line); } else replies.push(line);
});

function step(name) {
  process.stdout.write("step " + name + "\n");
  return new Promise((resolve, reject) => {
    const done = (line) => (line === "ok" ? resolve() : reject(new Error(name + ": " + line)));
    if (replies.length) done(replies.shift()); else waiting = done;
  });
}

function log(text) { process.stderr.write("[browser] " + text + "\n"); }

function check(cond, what) {
  if (!cond) throw new Error("check failed: " + what);
  log("ok: " + what);
}

function launch() {
  return chromium.launch({
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
}

// A page of the size of the program's window; script errors are collected
// and a token prompt is dismissed.
async function statusPage(browser) {
  const page = await browser.newPage({ viewport: { width: 1000, height: 620 } });
  const errors = [];
  page.on("pageerror", (e) => errors.push(String(e)));
  page.on("dialog", (d) => d.dismiss());
  return { page, errors };
}

// Runs the script's main and ends the process with its outcome.
function run(main) {
  main().then(() => process.exit(0), (e) => {
    log("FAILED: " + (e && e.stack ? e.stack : e));
    process.stdout.write("failed\n");
    process.exit(1);
  });
}

module.exports = { step, log, check, launch, statusPage, run };
