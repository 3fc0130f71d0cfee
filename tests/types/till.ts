// A page for one till: the GTIN and expiry of what its own scanner reads.
import { TirnSerial, Scan } from "http://box:9010/tirnserial.js";

const box = new TirnSerial({ scanners: ["till-1"], history: true });

// YYMMDD, DD 00 being the month's end.
function expiry(date: string): Date {
  const [year, month, day] = [0, 2, 4].map((at) => Number(date.slice(at, at + 2)));
  return new Date(2000 + year, day === 0 ? month : month - 1, day === 0 ? 0 : day);
}

function show(scan: Scan): void {
  const gtin = scan.gs1?.["01"];
  const expires = scan.gs1?.["17"];
  const shown = gtin ?? scan.text ?? scan.Data.trim();
  const label = scan.symbology ? `${scan.symbology.name} ` : "";
  document.title = `${label}${shown}${expires ? ` until ${expiry(expires).toDateString()}` : ""}`;
  if (scan.gs1_error !== undefined) console.warn(`#${scan.seq} from ${scan.scanner}: ${scan.gs1_error}`);
  // @ts-expect-error: the member is gs1_error, as the box sends it
  console.warn(scan.gs1Error);
}

box.addEventListener("scan", (event) => show(event.detail));
box.addEventListener("missed", (event) => {
  const { count, lost, filtered } = event.detail;
  console.warn(`${count ?? "some"} scans missed${lost ? " (lost by the box)" : ""}${filtered ? " of all tills" : ""}`);
});
box.addEventListener("unreachable", (event) => console.warn(event.detail.attempts, event.detail.hint));
box.addEventListener("connected", (event) => console.log(`box at ${event.detail.last}, resumed after ${event.detail.since}`));
// @ts-expect-error: no such event; the library says "scan"
box.addEventListener("scanned", () => undefined);
box.start();
console.log(box.lastSeq);
