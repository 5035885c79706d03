// Clients over TLS that trust CA_FILE. "CA_FILE MODULES hello PORT": Node's tls
// sends HELLO and prints the first line back, or "error ..."; "CA_FILE MODULES
// URL ...": ../system/seisplotjs_clients.mjs over the ws package's WebSocket.
import { readFileSync } from "node:fs";
import { createRequire } from "node:module";
import tls from "node:tls";

const [caFile, modules, mode, port] = process.argv.slice(2), ca = readFileSync(caFile);

if (mode === "hello") {
  const socket = tls.connect({ host: "127.0.0.1", port: Number(port), ca });
  let text = "";  // the first line back, or why not
  const end = (line) => { console.log(line); process.exit(0); };
  socket.on("secureConnect", () => socket.write("HELLO\r\n"));
  socket.on("data", (d) => { text += d; if (text.includes("\r\n")) end(text.split("\r\n")[0]); });
  socket.on("error", (e) => end(`error ${e.code ?? e.message}`));
  setTimeout(() => end("error timed out"), 20000);
} else {
  const WS = createRequire(`${modules}/`)("ws");
  globalThis.WebSocket = class extends WS { constructor(url, p) { super(url, p, { ca }); } };
  process.argv.splice(2, 1);
  await import(new URL("../system/seisplotjs_clients.mjs", import.meta.url));
}
