// Subscribes to the service that served this page and shows its scans.
import { TirnSerial } from "./tirnserial.js";

const MAX_ROWS = 200;
// Control characters as their ASCII names: plain letters, which every font
// has (Unicode's control pictures are in almost none, and show as boxes).
const CONTROL_NAMES = [
  "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS", "TAB", "LF", "VT", "FF", "CR", "SO", "SI",
  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB", "CAN", "EM", "SUB", "ESC", "FS", "GS", "RS", "US",
];

const stateLabel = document.getElementById("state");
const lastData = document.getElementById("last-data");
const lastMeta = document.getElementById("last-meta");
const rows = document.getElementById("scans");
const scannerChoice = document.getElementById("scanner");
// The scanners this page shows, as its address names them
// (http://box:9010/?scanner=till-1): none named, all of them.
const chosenScanners = new URLSearchParams(location.search).getAll("scanner");

function setState(state) {
  stateLabel.textContent = state;
  stateLabel.className = "state " + state;
}

// The scan's text with every control character as a visible label.
function visibleText(text) {
  const shown = document.createDocumentFragment();
  let plain = "";
  for (const character of text) {
    const code = character.codePointAt(0);
    if (code >= 0x20 && code !== 0x7f) {
      plain += character;
      continue;
    }
    shown.append(plain);
    plain = "";
    const symbol = document.createElement("span");
    symbol.className = "control";
    symbol.textContent = code === 0x7f ? "DEL" : CONTROL_NAMES[code];
    symbol.title = "\\u" + code.toString(16).padStart(4, "0");
    shown.append(symbol);
  }
  shown.append(plain);
  return shown;
}

function cell(content) {
  const td = document.createElement("td");
  td.append(content);
  return td;
}

// The scan's own time where the box numbers scans, else when it arrived.
function timeOf(scan) {
  return (scan.time ? new Date(scan.time) : new Date()).toLocaleTimeString();
}

// A GS1 date (YYMMDD) as YYYY-MM-DD: the century that puts it within 49
// years back and 50 ahead of this year, and day 00 the month's last day.
function gs1Date(value) {
  const thisYear = new Date().getFullYear();
  let year = Math.floor(thisYear / 100) * 100 + Number(value.slice(0, 2));
  if (year - thisYear > 50) year -= 100;
  else if (thisYear - year > 49) year += 100;
  const month = Number(value.slice(2, 4));
  const day = value.slice(4, 6) === "00" ? new Date(Date.UTC(year, month, 0)).getUTCDate() : Number(value.slice(4, 6));
  return `${year}-${String(month).padStart(2, "0")}-${String(day).padStart(2, "0")}`;
}

// What a shop reads off GS1 data: the item (GTIN), its expiry and its lot.
function itemOf(scan) {
  if (scan.gs1_error) return `not valid GS1 data: ${scan.gs1_error}`;
  if (!scan.gs1) return "";
  const parts = [];
  if (scan.gs1["01"]) parts.push(`GTIN ${scan.gs1["01"]}`);
  if (scan.gs1["17"]) parts.push(`expires ${gs1Date(scan.gs1["17"])}`);
  if (scan.gs1["10"]) parts.push(`lot ${scan.gs1["10"]}`);
  return parts.join(" · ");
}

function show(scan) {
  const time = timeOf(scan);
  const item = itemOf(scan);
  const scanner = scan.scanner ?? "";
  lastData.classList.remove("refused");
  lastData.replaceChildren(visibleText(scan.Data));
  lastMeta.textContent = [time, scanner, scan.symbology?.name, item].filter(Boolean).join(" · ");
  const row = document.createElement("tr");
  row.className = "scan";
  if (scan.seq !== undefined) row.dataset.seq = scan.seq;
  row.append(cell(time), cell(scanner), cell(visibleText(scan.Data)), cell(item));
  rows.prepend(row);
  while (rows.children.length > MAX_ROWS) rows.lastChild.remove();
}

// The access token, where the service asks for one: given once in the
// address's fragment (http://box:9010/#token=...), which browsers never
// send to a server, then kept for this tab only and taken out of the
// address bar.
const TOKEN_KEY = "tirnserial-token";
function takeTokenFromAddress() {
  const match = /(?:^#|&)token=([^&]*)/.exec(location.hash);
  if (!match) return;
  sessionStorage.setItem(TOKEN_KEY, decodeURIComponent(match[1]));
  history.replaceState(null, "", location.pathname + location.search);
}
function token() {
  return sessionStorage.getItem(TOKEN_KEY) || "";
}
function authorization() {
  return token() ? { Authorization: "Bearer " + token() } : {};
}

// Asked for once when missing or refused; cancelling leaves the page
// disconnected rather than asking again and again.
let askedForToken = false;
function askForToken(refused) {
  if (askedForToken) return false;
  askedForToken = true;
  const given = window.prompt(refused ? "This scanner service refused the access token given; enter the right one:"
                                      : "This scanner service needs its access token:");
  if (!given) return false;
  sessionStorage.setItem(TOKEN_KEY, given);
  return true;
}

// A refused token is said where the scans would be, not only in the small
// state label: the page would otherwise look as if it were waiting.
function showRefused(refused) {
  lastData.classList.add("refused");
  lastData.textContent = refused ? "the access token was refused" : "the access token is needed";
  lastMeta.textContent = "give it as http://box:9010/#token=TOKEN or when asked";
}

// The page shows what the box still keeps on every load: it has no scans
// of its own to go on from.
const box = new TirnSerial({ token: token(), history: true, remember: false, scanners: chosenScanners });
box.addEventListener("connected", () => setState("subscribed"));
box.addEventListener("disconnected", () => setState("disconnected"));
box.addEventListener("unreachable", (event) => {
  setState("unreachable");
  lastMeta.textContent = scannerProblem || event.detail.hint;
});
box.addEventListener("scan", (event) => show(event.detail));
box.addEventListener("refused", () => {
  const refused = token() !== "";
  setState("refused");
  showRefused(refused);
  if (askForToken(refused)) {
    box.setToken(token());
    box.start();
    showMode();
  }
});

function showMode() {
  fetch("status", { headers: authorization() })
    .then((reply) => reply.json())
    .then((status) => {
      document.getElementById("mode-note").hidden = status.mode !== 1;
      const devices = status.devices || [];
      const names = devices.map((device) => device.scanner || device.path);
      offerScanners(names);
      sayUnknownScanners(devices, names);
    })
    .catch(() => {});
}

// The box's scanners to choose from; a choice opens this page for it alone
// (an address a till's kiosk can keep).
function offerScanners(names) {
  const options = [new Option("all scanners", "")];
  for (const name of new Set([...names, ...chosenScanners])) options.push(new Option(name, name));
  scannerChoice.replaceChildren(...options);
  scannerChoice.value = chosenScanners.length === 1 ? chosenScanners[0] : "";
  scannerChoice.hidden = names.length < 2 && chosenScanners.length === 0;
}
// The box refuses a page that asks for a scanner it has not (a name since
// changed), and a browser does not let the page read why: without this the
// page would only say that the box cannot be reached.
let scannerProblem = "";
function sayUnknownScanners(devices, names) {
  const known = devices.flatMap((device) => [device.scanner, device.path]);
  const unknown = chosenScanners.filter((name) => !known.includes(name));
  if (unknown.length === 0) return;
  scannerProblem = `no scanner is called ${unknown.join(", ")}; this box has ${names.join(", ")}`;
  setState("unknown scanner");
  lastMeta.textContent = scannerProblem;
}
scannerChoice.addEventListener("change", () => {
  const address = new URL(location.href);
  address.searchParams.delete("scanner");
  if (scannerChoice.value) address.searchParams.append("scanner", scannerChoice.value);
  location.assign(address);
});

// The figures take the token where the service has one, which a link
// cannot send: they are fetched and shown in the page.
async function showFigures(event) {
  event.preventDefault();
  const path = event.currentTarget.getAttribute("href");
  const view = document.getElementById("figures");
  view.hidden = false;
  try {
    const reply = await fetch(path, { headers: authorization(), cache: "no-store" });
    const text = await reply.text();
    const refused = token() ? "the access token was refused" : "the access token is needed";
    view.textContent = reply.status === 401 ? refused : text;
  } catch (error) {
    view.textContent = `${path} could not be read: ${error.message}`;
  }
}
for (const link of document.querySelectorAll("a.figures")) link.addEventListener("click", showFigures);

takeTokenFromAddress();
box.setToken(token());
showMode();
box.start();
