import os, time, select
import devices
from test_frontend import burst

def test_probe(testbed, start_backend):
    ev = burst(450)
    testbed.add(devices.keyboard(0), ev)
    b = start_backend()
    fd = b.proc.stdout.fileno()
    t0 = None
    arrivals = []
    buf = b""
    deadline = time.monotonic() + 8
    while len(arrivals) < 450 and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.5)[0]:
            c = os.read(fd, 1 << 20)
            now = time.monotonic()
            n = c.count(b"\n")
            arrivals += [now] * n
    import json
    base = arrivals[0]
    gaps = sorted((arrivals[i+1]-arrivals[i], i) for i in range(len(arrivals)-1))[-5:]
    print("\nrecords", len(arrivals), "span", arrivals[-1]-base, "max gaps", gaps)
    b.terminate()
