# The board's seven LEDs as LED class devices made from user space (uleds), so that the
# kernel's LED class and its triggers drive them as they drive the board's gpio-leds.
# Every brightness change the kernel hands us is appended to /run/vm-board/leds.log as
# "SECONDS NAME BRIGHTNESS", SECONDS on the monotonic clock, for the tests to read.
import os, re, select, socket, struct, time

facts = open("/usr/local/lib/vm-board/board_facts.h", encoding="utf-8").read()
names = re.findall(r'^    \{"[^"]*", "([^"]*)", \{', facts, re.M)
assert names, "no LEDs in board_facts.h"

fds = {}
for name in names:
    fd = os.open("/dev/uleds", os.O_RDWR | os.O_CLOEXEC)
    # struct uleds_user_dev: char name[64]; int max_brightness. The board's gpio-leds
    # are on or off.
    os.write(fd, struct.pack("64si", name.encode(), 1))
    fds[fd] = name

for name in names:
    while not os.path.exists(f"/sys/class/leds/{name}/brightness"):
        time.sleep(0.05)

out = open("/run/vm-board/leds.log", "a", buffering=1)
addr = os.environ.get("NOTIFY_SOCKET")
if addr:
    s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    s.connect("\0" + addr[1:] if addr.startswith("@") else addr)
    s.send(b"READY=1")
    s.close()

while True:
    ready, _, _ = select.select(list(fds), [], [])
    now = time.monotonic()
    for fd in ready:
        (brightness,) = struct.unpack("i", os.read(fd, 4))
        out.write(f"{now:.6f} {fds[fd]} {brightness}\n")
