#!/usr/bin/env python3
"""Runs the minimal host that the README's "Embedding korvane" section shows, exactly as shown
there, against the scripted test server, and checks the picture it saves.

    embed_snippet_test.py README KORVANE TEST_SERVER
"""
import os
import re
import subprocess
import sys
import tempfile
import time

FILL = (0xCC, 0x22, 0x11)
SMALL = (0x00, 0xAA, 0x55)  # a 20x10 rectangle at 100,50


def fail(why):
    print("embed snippet test: FAILED:", why, file=sys.stderr)
    sys.exit(1)


def snippet(readme):
    text = open(readme, encoding="utf-8").read()
    m = re.search(r"<!-- embed-host:begin -->\s*```python\n(.*?)```\s*<!-- embed-host:end -->",
                  text, re.S)
    if not m:
        fail(readme + " has no python block between the embed-host markers")
    return m.group(1)


def read_ppm(path):
    data = open(path, "rb").read()
    m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
    if not m:
        fail("not a binary PPM: %r" % data[:20])
    width, height = int(m.group(1)), int(m.group(2))
    pixels = data[m.end():]
    if len(pixels) != width * height * 3:
        fail("PPM of %dx%d holds %d bytes of pixels" % (width, height, len(pixels)))
    return width, height, pixels


def main():
    readme, korvane, server_bin = sys.argv[1:4]
    with tempfile.TemporaryDirectory(prefix="korvane-embed-") as scratch:
        host_py = os.path.join(scratch, "host.py")
        with open(host_py, "w", encoding="utf-8") as f:
            f.write(snippet(readme))
        out = os.path.join(scratch, "desktop.ppm")
        server_log = open(os.path.join(scratch, "server.log"), "w+")
        # The server draws, then waits far longer than the host's 2 s before it disconnects.
        server = subprocess.Popen(
            [server_bin, "--port", "0", "--sec", "tls",
             "--step", "fill 0 0 1024 768 %02X%02X%02X" % FILL,
             "--step", "fill 100 50 20 10 %02X%02X%02X" % SMALL,
             "--step", "sleep 20000"],
            stdout=server_log, stderr=subprocess.STDOUT)
        try:
            port = None
            deadline = time.monotonic() + 10
            while port is None and time.monotonic() < deadline and server.poll() is None:
                server_log.seek(0)
                m = re.search(r"^LISTENING port=(\d+)$", server_log.read(), re.M)
                port = m and m.group(1)
                time.sleep(0.05)
            if not port:
                fail("the test server did not start")
            host = subprocess.run(
                [sys.executable, host_py, "127.0.0.1", port, "test", "test", out],
                env=dict(os.environ, KORVANE=korvane), stdin=subprocess.DEVNULL,
                stderr=subprocess.PIPE, timeout=60, cwd=scratch)
            if host.returncode != 0:
                fail("the README's host exited with %d:\n%s" % (host.returncode,
                     host.stderr.decode(errors="replace")[-3000:]))
            # The host disconnected, so the server sees its peer go and ends on its own.
            if server.wait(timeout=20) != 0:
                fail("the test server ended with %d" % server.returncode)
        finally:
            if server.poll() is None:
                server.kill()
                server.wait()
        server_log.seek(0)
        log = server_log.read()
        if "\nDISCONNECTED" not in log:
            fail("the server saw no session end:\n" + log)
        # The snippet keeps korvane's diagnostics apart, in a log file.
        if "[korvane] " not in open(os.path.join(scratch, "korvane.log"), errors="replace").read():
            fail("korvane.log holds no diagnostics of korvane's")

        width, height, pixels = read_ppm(out)
        if (width, height) != (1024, 768):
            fail("the picture is %dx%d, not the 1024x768 asked for" % (width, height))

        def at(x, y):
            i = (y * width + x) * 3
            return tuple(pixels[i:i + 3])
        small = sum(1 for y in range(height) for x in range(width) if at(x, y) == SMALL)
        fill = sum(1 for y in range(0, height) for x in range(width) if at(x, y) == FILL)
        if small != 200 or fill != width * height - 200:
            fail("expected 200 pixels %s and the rest %s, got %d and %d" % (SMALL, FILL, small, fill))
        for x, y, want in ((100, 50, SMALL), (119, 59, SMALL), (99, 50, FILL), (120, 59, FILL),
                           (100, 60, FILL), (0, 0, FILL), (1023, 767, FILL)):
            if at(x, y) != want:
                fail("pixel %d,%d is %s, not %s" % (x, y, at(x, y), want))
    print("the README's host saved the desktop the server drew")


if __name__ == "__main__":
    main()
