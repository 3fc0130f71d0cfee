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

function show(scan) {
  const time = timeOf(scan);
  lastData.classList.remove("refused");
  lastData.replaceChildren(visibleText(scan.Data));
  lastMeta.textContent = `${time} · ${scan.size} bytes`;
  const row = document.createElement("tr");
  row.className = "scan";
  if (scan.seq !== undefined) row.dataset.seq = scan.seq;
  row.append(cell(time), cell(String(scan.size)), cell(visibleText(scan.Data)));
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
const box = new TirnSerial({ token: token(), history: true, remember: false });
box.addEventListener("connected", () => setState("subscribed"));
box.addEventListener("disconnected", () => setState("disconnected"));
box.addEventListener("unreachable", (event) => {
  setState("unreachable");
  lastMeta.textContent = event.detail.hint;
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
    })
    .catch(() => {});
}

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
