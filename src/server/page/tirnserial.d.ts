// tirnserial.d.ts: TypeScript types for tirnserial.js, served beside it by the
// box (GET /tirnserial.d.ts), so that an app's editor and tsc know the
// library's options, events and the box's messages. TypeScript reads no
// types from an http:// import: save this file beside a copy of the library,
// or declare the box's address as a module that takes its types from here
// (README, "Web apps").

/** The symbology a scanner named with its AIM identifier (ISO/IEC 15424). */
export interface Symbology {
    /** The identifier as the scanner sent it: `]`, code character, modifier, e.g. `]E0`. */
    id: string;
    /** What it names, e.g. `EAN-13`, `GS1 DataMatrix`. */
    name: string;
}

/**
 * GS1 application identifiers to their values, e.g. `{"01": "09506000134352", "17": "261231"}`:
 * `01` GTIN (14 digits), `17` expiry and `11` production date (YYMMDD, DD `00` for the month's
 * end), `10` lot, `21` serial. The box sends them in scan order, but JavaScript lists keys that
 * look like array indices (`10`, `17`, `21`, …) first and ascending: read them by name.
 */
export type Gs1Elements = Record<string, string>;

/** A numbered scan, as the box sends it to this library, live or from its history. */
export interface Scan {
    type: "BARCODE_GUN";
    /** The length of `Data` in bytes (UTF-8), before JSON escaping. */
    size: number;
    /** The scan exactly as the scanner sent it: its suffix (`\r`), identifier and GS bytes included. */
    Data: string;
    /** Its number on the box: only goes up; the library hands each over once, in order. */
    seq: number;
    /** When it ended: RFC 3339, UTC, milliseconds, e.g. `2026-12-09T19:00:00.123Z`. */
    time: string;
    /** The scanner's name (`name=` in its settings), or its device path when it has none. */
    scanner: string;
    /** Where the scanner says it: the AIM identifier the scan begins with (a scanner set with `aim`
     *  or `--aim-ids`), or a HID POS scanner's report. */
    symbology?: Symbology;
    /** From a scanner that sends identifiers (a scan without one too): the scan without its
     *  identifier and its suffix. */
    text?: string;
    /** The scan's GS1 data, when it is valid GS1 data; an EAN-13, UPC-A or EAN-8 gives its GTIN as
     *  `01`, padded to 14 digits. */
    gs1?: Gs1Elements;
    /** Why the scan, which claims to be GS1 data, does not validate; then there is no `gs1`. */
    gs1_error?: string;
}

/** The box's notice, on resuming, that scans after the number asked for were missed. */
export interface ScansMissed {
    type: "SCANS_MISSED";
    /** How many; null when the box lost scans itself (`lost`), or the number asked for is not its own. */
    count: number | null;
    /** The number asked to resume after. */
    since: number;
    /** The oldest number that follows from the box's history, or null when none does. */
    first: number | null;
    /** The box's last number published. */
    last: number;
    /** The box lost scans itself (a kill, a damaged store): how many it cannot say. */
    lost?: true;
    /** This client takes only some scanners' scans; `count` counts the missed ones of all. */
    filtered?: true;
}

/** The box's first message once it accepted the subscription. */
export interface Subscribed {
    type: "SUBSCRIBED";
    /** The newest number published then: every scan that follows is numbered above it. */
    last: number;
}

/** Every message the box sends a numbered client. */
export type BoxMessage = Scan | ScansMissed | Subscribed;

/** The options of a TirnSerial; each may be left out. */
export interface TirnSerialOptions {
    /** `ws://` or `wss://` address of the box (default: the box this module came from). */
    url?: string;
    /** The box's access token (`--token-file`), sent as the subscribe message. */
    token?: string;
    /** On a fresh start, first every scan the box still keeps (default false: new scans only). */
    history?: boolean;
    /** Keep the last number in sessionStorage, so that a reload goes on where it stopped (default true). */
    remember?: boolean;
    /** Only these scanners' scans, by name (default: every scanner's); the box refuses a name it lacks. */
    scanners?: readonly string[];
    /** Reconnection back-off in ms, doubled each failure, jittered (default 500). */
    minDelay?: number;
    /** The back-off's upper bound in ms (default 10000). */
    maxDelay?: number;
    /** ms a connection may take to open (default 10000). */
    connectTimeout?: number;
    /** ms of silence after which the connection is renewed, losslessly (default 30000). */
    renewAfter?: number;
}

/** The library's events, each a CustomEvent with its `detail`. */
export interface TirnSerialEventMap {
    /** A scan, each number once and in order. */
    scan: CustomEvent<Scan>;
    /** The box accepted the subscription (and the token). */
    connected: CustomEvent<{
        /** What was asked for: `now`, `0` (the history) or the number resumed after. */
        since: string;
        /** The box's last number then. */
        last: number;
    }>;
    /** The connection ended; reconnecting follows by itself. */
    disconnected: CustomEvent<{ code: number }>;
    /** On resuming, scans were missed; the scans the box still has follow. */
    missed: CustomEvent<ScansMissed>;
    /** The token was refused (close code 1008); nothing more is tried until start(). */
    refused: CustomEvent<{ code: number }>;
    /** Three tries in a row failed before the box accepted one; trying goes on with the back-off. */
    unreachable: CustomEvent<{
        attempts: number;
        /** What to check: the address, that the box runs, and that it allows this page's origin. */
        hint: string;
    }>;
}

/** A box's scans for a web page, each once, across reconnects and reloads. */
export declare class TirnSerial extends EventTarget {
    constructor(options?: TirnSerialOptions);
    /** Connects and subscribes; reconnects by itself until stop(). */
    start(): void;
    /** Closes the connection and stops reconnecting. */
    stop(): void;
    /** The token for the next connection. */
    setToken(token: string | null | undefined): void;
    /** The last number handed over (0: none yet). */
    readonly lastSeq: number;
    // Only the library's own events: a misspelled name is an error, not a
    // listener that never runs.
    addEventListener<K extends keyof TirnSerialEventMap>(
        type: K, listener: (this: TirnSerial, event: TirnSerialEventMap[K]) => unknown,
        options?: boolean | AddEventListenerOptions): void;
    addEventListener(type: keyof TirnSerialEventMap, listener: EventListenerOrEventListenerObject | null,
                     options?: boolean | AddEventListenerOptions): void;
    removeEventListener<K extends keyof TirnSerialEventMap>(
        type: K, listener: (this: TirnSerial, event: TirnSerialEventMap[K]) => unknown,
        options?: boolean | EventListenerOptions): void;
    removeEventListener(type: keyof TirnSerialEventMap, listener: EventListenerOrEventListenerObject | null,
                        options?: boolean | EventListenerOptions): void;
}
