// tirnserial.js: the scans of a TirnSerial box for a web page, each once.
// Served by the box itself (GET /tirnserial.js); no dependencies.
//
//   import { TirnSerial } from "http://box:9010/tirnserial.js";
//   const box = new TirnSerial({ token: "..." });     // every option may be left out
//   box.addEventListener("scan", (event) => console.log(event.detail.Data, event.detail.seq));
//   box.start();
//
// Options:
//   url        ws:// or wss:// address of the box (default: the box this module came from)
//   token      the box's access token (--token-file), sent as the subscribe message
//   scanners   names of the box's scanners (--device PATH,name=NAME) whose scans this page
//              wants, e.g. ["till-1"] (default: every scanner's). Numbers stay the box's: the
//              page sees gaps where other scanners' scans went
//   history    on a fresh start, first every scan the box still keeps (default false: new scans only)
//   remember   keep the last number seen in sessionStorage, so that a reload of this tab goes
//              on where it stopped (default true); a fresh start is one with nothing remembered.
//              Kept per box and per set of scanners, so two pages for two tills do not share it
//   minDelay, maxDelay   reconnection back-off in ms, doubled each failure, jittered (500, 10000)
//   connectTimeout       ms a connection may take to open (10000)
//   renewAfter ms of silence after which the connection is renewed (30000): a cut link is
//              never told, and resuming makes the renewal lossless
//
// Events (an EventTarget; detail in event.detail):
//   scan          a scan message: Data, size, and from a box that numbers scans seq, time, scanner.
//                 Each number is handed over once, in order; a duplicate is dropped.
//   connected     the box accepted the subscription (and the token); detail: { since } as asked
//                 for, and { last }, the box's last number then
//   disconnected  the connection ended; reconnecting follows by itself. detail: { code }
//   missed        on resuming, scans were missed; detail: the box's SCANS_MISSED message
//                 ({ count, since, first, last, lost, filtered }): with scanners, count is of
//                 every scanner's numbers and filtered is true. lost is true when the box lost scans
//                 itself (a kill, a damaged store), count null when it cannot say how many.
//                 Without lost, count null means the number remembered is not the box's: the
//                 box's last number is taken instead
//   refused       the token was refused (close code 1008); nothing more is tried until start()
//   unreachable   3 tries in a row failed before the box accepted one (down, wrong address, or
//                 the page's origin not allowed: the box answers 403, which a browser does not
//                 tell a page); detail: { attempts, hint }. Trying goes on with the back-off
//
// Methods and properties: start(), stop(), setToken(token), lastSeq (0: none yet).
// Resuming after a reconnect asks for the scans after lastSeq (?since=), so that none made
// meanwhile is lost while they are kept in the box's history (--history). A tab that has had
// no scan yet goes on from the box's last number when it subscribed.

const POLICY_VIOLATION = 1008;
const TRIES_BEFORE_UNREACHABLE = 3;

function defaultUrl() {
    const url = new URL("/", import.meta.url);
    url.protocol = url.protocol === "https:" ? "wss:" : "ws:";
    return url.href;
}

export class TirnSerial extends EventTarget {
    constructor(options = {}) {
        super();
        this.url = options.url || defaultUrl();
        this.token = options.token || "";
        this.history = Boolean(options.history);
        this.remember = options.remember !== false;
        this.minDelay = options.minDelay ?? 500;
        this.maxDelay = options.maxDelay ?? 10000;
        this.connectTimeout = options.connectTimeout ?? 10000;
        this.renewAfter = options.renewAfter ?? 30000;
        this.scanners = [...new Set(options.scanners || [])].sort();
        this.storageKey = "tirnserial-seq " + this.url + (this.scanners.length ? " " + this.scanners.join(",") : "");
        this.lastSeq = (this.remember && Number(sessionStorage.getItem(this.storageKey))) || 0;
        this.delay = this.minDelay;
        this.socket = null;
        this.timer = null;
        this.running = false;
        this.connected = false;
        this.failedTries = 0;
    }

    start() {
        if (this.running) return;
        this.running = true;
        this.open();
    }

    stop() {
        this.running = false;
        this.connected = false;
        this.drop();
        clearTimeout(this.timer);
    }

    setToken(token) {
        this.token = token || "";
    }

    // Where to begin: after the last number seen, else per the history option.
    since() {
        if (this.lastSeq > 0) return String(this.lastSeq);
        return this.history ? "0" : "now";
    }

    open() {
        const since = this.since();
        const address = new URL(this.url);
        address.searchParams.set("since", since);
        for (const name of this.scanners) address.searchParams.append("scanner", name);
        const socket = new WebSocket(address.href);
        this.socket = socket;
        this.watch(this.connectTimeout);
        socket.onopen = () => {
            socket.send(this.token || "subscribe");
            this.watch(this.renewAfter);
        };
        socket.onmessage = (event) => {
            if (this.socket === socket) this.watch(this.renewAfter);
            this.receive(event.data, since);
        };
        socket.onclose = (event) => this.ended(event.code);
    }

    // A link cut without a word leaves a socket that never hears of it, and
    // the box drops a client it cannot reach: after a silence the
    // connection is renewed, quietly.
    watch(ms) {
        clearTimeout(this.timer);
        this.timer = setTimeout(() => {
            if (this.socket && this.socket.readyState === WebSocket.OPEN) this.renew();
            else this.ended(0);
        }, ms);
    }

    // The old connection goes on delivering until the new one has surely
    // subscribed: before the first number there is nothing to resume from,
    // and afterwards what both deliver is dropped by its number.
    renew() {
        const old = this.socket;
        old.onclose = null;
        this.socket = null;
        this.open();
        setTimeout(() => {
            old.onmessage = null;
            old.close();
        }, this.connectTimeout);
    }

    receive(text, since) {
        if (!this.running) return;
        let message;
        try {
            message = JSON.parse(text);
        } catch {
            return;
        }
        if (message.type === "SUBSCRIBED") {
            this.subscribed(message.last, since);
            return;
        }
        if (message.type === "SCANS_MISSED") {
            // A number the box never gave (another box's) would make every
            // new scan look like a duplicate. Scans the box lost are only
            // missed: what it still has follows.
            if (message.count === null && !message.lost) this.keep(typeof message.last === "number" ? message.last : 0);
            if (since !== "0" && since !== "now") this.emit("missed", message);
            return;
        }
        if (typeof message.Data !== "string") return;
        if (typeof message.seq === "number") {
            if (message.seq <= this.lastSeq) return;
            this.keep(message.seq);
        }
        this.emit("scan", message);
    }

    // Accepted: a tab with no number yet goes on from the box's last one
    // after a cut, so that what is scanned meanwhile reaches it; one that
    // asked for the history has it replayed next, numbered up to that.
    subscribed(last, since) {
        this.delay = this.minDelay;
        this.failedTries = 0;
        if (since === "now" && this.lastSeq === 0 && typeof last === "number") this.keep(last);
        if (!this.connected) this.emit("connected", { since, last });
        this.connected = true;
    }

    keep(seq) {
        this.lastSeq = seq;
        if (this.remember) sessionStorage.setItem(this.storageKey, String(seq));
    }

    // Handlers off first: a dead link's close may take a minute to be told.
    drop() {
        const socket = this.socket;
        if (!socket) return;
        this.socket = null;
        socket.onopen = socket.onmessage = socket.onclose = null;
        socket.close();
    }

    ended(code) {
        this.drop();
        clearTimeout(this.timer);
        if (!this.running) return;
        if (code === POLICY_VIOLATION) {
            this.running = false;
            this.connected = false;
            this.emit("refused", { code });
            return;
        }
        if (this.connected) this.emit("disconnected", { code });
        else this.failedTry();
        this.connected = false;
        // Full jitter in the upper half: tablets cut off together do not
        // all come back in the same instant.
        const wait = this.delay / 2 + Math.random() * this.delay / 2;
        this.delay = Math.min(this.delay * 2, this.maxDelay);
        this.timer = setTimeout(() => this.open(), wait);
    }

    failedTry() {
        this.failedTries += 1;
        if (this.failedTries !== TRIES_BEFORE_UNREACHABLE) return;
        this.emit("unreachable", {
            attempts: this.failedTries,
            hint: "check the box's address, that it runs, and that it allows this page's origin " +
                  `(${location.origin}) with --allow-origin`,
        });
    }

    emit(type, detail) {
        this.dispatchEvent(new CustomEvent(type, { detail }));
    }
}
