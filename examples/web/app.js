// Shows the scans that TirnSerial publishes. Plain JavaScript, no build step.
"use strict";

const params = new URLSearchParams(location.search);
const endpoint = params.get("ws") || `ws://${location.hostname || "localhost"}:9010`;
const statusView = document.getElementById("status");
const scansView = document.getElementById("scans");
const maxRows = 200;
let retryDelay = 1000;

document.getElementById("endpoint").textContent = endpoint;

function showStatus(text, kind) {
  statusView.textContent = text;
  statusView.className = kind;
}

function cell(text, className) {
  const td = document.createElement("td");
  td.textContent = text;
  if (className) td.className = className;
  return td;
}

function showScan(frame) {
  let scan;
  try {
    scan = JSON.parse(frame);
  } catch (error) {
    scan = { size: "?", Data: frame };
  }
  const row = document.createElement("tr");
  row.className = "scan";
  row.append(cell(new Date().toLocaleTimeString()), cell(String(scan.size)), cell(scan.Data, "data"));
  scansView.prepend(row);
  while (scansView.rows.length > maxRows) scansView.deleteRow(-1);
}

function connect() {
  const socket = new WebSocket(endpoint);
  socket.onopen = () => {
    retryDelay = 1000;
    socket.send("subscribe");  // any non-empty message subscribes
    showStatus("subscribed", "subscribed");
  };
  socket.onmessage = (event) => showScan(event.data);
  socket.onclose = () => {
    showStatus(`not connected, retrying in ${retryDelay / 1000} s`, "waiting");
    setTimeout(connect, retryDelay);
    retryDelay = Math.min(retryDelay * 2, 30000);
  };
}

connect();
