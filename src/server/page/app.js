"use strict";
// Subscribes to the service that served this page and shows its scans.

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

function show(scan) {
  const time = new Date().toLocaleTimeString();
  lastData.replaceChildren(visibleText(scan.Data));
  lastMeta.textContent = `${time} · ${scan.size} bytes`;
  const row = document.createElement("tr");
  row.className = "scan";
  row.append(cell(time), cell(String(scan.size)), cell(visibleText(scan.Data)));
  rows.prepend(row);
  while (rows.children.length > MAX_ROWS) rows.lastChild.remove();
}

let retryDelay = 500;

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
// Asked for once when missing or refused; cancelling leaves the page
// disconnected rather than asking again and again.
let askedForToken = false;
function askForToken() {
  if (askedForToken) return false;
  askedForToken = true;
  const given = window.prompt("This scanner service needs its access token:");
  if (!given) return false;
  sessionStorage.setItem(TOKEN_KEY, given);
  return true;
}

const POLICY_VIOLATION = 1008;

function connect() {
  const scheme = location.protocol === "https:" ? "wss://" : "ws://";
  const socket = new WebSocket(scheme + location.host + "/");
  setState("connecting");
  socket.onopen = () => {
    socket.send(token() || "subscribe");
    setState("subscribed");
    retryDelay = 500;
  };
  socket.onmessage = (event) => {
    try {
      show(JSON.parse(event.data));
    } catch (error) {
      console.warn("not a scan message", error);
    }
  };
  socket.onclose = (event) => {
    if (event.code === POLICY_VIOLATION) {
      setState("refused");
      if (askForToken()) {
        connect();
        showMode();
      }
      return;
    }
    // The service restarts when the scanner is plugged in again: keep trying.
    setState("disconnected");
    setTimeout(connect, retryDelay);
    retryDelay = Math.min(retryDelay * 2, 10000);
  };
}

function showMode() {
  const headers = token() ? { Authorization: "Bearer " + token() } : {};
  fetch("status", { headers })
    .then((reply) => reply.json())
    .then((status) => {
      document.getElementById("mode-note").hidden = status.mode !== 1;
    })
    .catch(() => {});
}

takeTokenFromAddress();
showMode();
connect();
