#!/usr/bin/python3
"""BASELINE for the benchmark only, not part of TirnSerial.

The serial-to-WebSocket bridge a user might write instead of TirnSerial, in
Python asyncio with Debian's python3-serial and python3-websockets: it reads
/dev/ttyUSB0 until the line has been quiet for a moment, converts the text,
and sends the same JSON scan message to every subscriber (one entry per
message a client sent, as TirnSerial does).

Usage: baseline_bridge.py MODE [--quiet-ms MS]
"""
import argparse
import asyncio
import json

import serial
import websockets

SOURCE_CHARSET = {0: "gb2312", 1: "gb2312", 2: "gb18030"}
TARGET_CHARSET = {0: "utf-8", 1: "gbk", 2: "utf-8"}

subscribers = []


async def client(connection, _path=None):
    try:
        async for message in connection:
            if message:
                subscribers.append(connection)
    finally:
        subscribers[:] = [entry for entry in subscribers if entry is not connection]


def read_scan(port, quiet):
    """Blocks for the first byte, then reads until nothing came for `quiet` s."""
    port.timeout = None
    data = port.read(1)
    port.timeout = quiet
    while True:
        more = port.read(4096)
        if not more:
            return data
        data += more


def scan_message(data, mode):
    text = data.split(b"\0", 1)[0].decode(SOURCE_CHARSET[mode], errors="replace")
    converted = text.encode(TARGET_CHARSET[mode], errors="replace")
    message = {"type": "BARCODE_GUN", "size": len(converted),
               "Data": converted.decode(TARGET_CHARSET[mode])}
    return json.dumps(message, indent="\t", separators=(",", ":\t"), ensure_ascii=False)


async def relay(mode, quiet):
    loop = asyncio.get_running_loop()
    port = serial.Serial("/dev/ttyUSB0", 115200)
    while True:
        data = await loop.run_in_executor(None, read_scan, port, quiet)
        if data:
            websockets.broadcast(subscribers, scan_message(data, mode))


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", type=int, choices=(0, 1, 2))
    parser.add_argument("--quiet-ms", type=float, default=5.0)
    options = parser.parse_args()
    async with websockets.serve(client, "0.0.0.0", 9010, compression=None, max_queue=None):
        print("baseline bridge listening on port 9010", flush=True)
        await relay(options.mode, options.quiet_ms / 1000)


if __name__ == "__main__":
    asyncio.run(main())
