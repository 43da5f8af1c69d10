#!/usr/bin/env bash
# Converting an AC3 file as a user does: dialog normalization removal, two destinations from
# one read, a delay that ends up in the file name, and a failed run that leaves nothing
# behind but what was there before.
# $1 = the kavrix binary, $2 = the fixtures folder.
set -u
kavrix=$(realpath "$1")
fixtures=$(realpath "$2")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export HOME=$tmp/home XDG_STATE_HOME=$tmp/state XDG_CONFIG_HOME=$tmp/config
mkdir -p "$HOME" "$tmp/w"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
cd "$tmp/w" || exit 1
# 5.1 at 448 kbit/s, dialnorm -27 (made by make_ac3_fixtures.sh).
cp "$fixtures/audio/ac3_51_448.ac3" a.ac3
listing="AC3, 5.1 channels, 0:00:02, 448kbps, 48kHz, dialnorm: -27dB"

# ---- -removeDialnorm ----
out=$("$kavrix" a.ac3 out.ac3 -removeDialnorm 2>&1); rc=$?
[ $rc -eq 0 ] || fail "removeDialnorm: exit $rc: $out"
[ "$(echo "$out" | head -1)" = "$listing" ] || fail "removeDialnorm: listing: $out"
echo "$out" | grep -qx 'Removing AC3 dialog normalization...' || fail "removeDialnorm: no notice: $out"
[ "$(echo "$out" | tail -1)" = "Done." ] || fail "removeDialnorm: last line: $out"
if command -v ffmpeg >/dev/null; then
  errors=$(ffmpeg -v error -err_detect crccheck+explode -i out.ac3 -f null - 2>&1)
  [ -z "$errors" ] || fail "removeDialnorm: ffmpeg finds errors: $errors"
fi
out=$("$kavrix" out.ac3 2>&1)
[ "$out" = "AC3, 5.1 channels, 0:00:02, 448kbps, 48kHz, dialnorm: -31dB" ] ||
  fail "removeDialnorm: output listing: $out"
# Frame by frame: only the dialnorm field and the two CRC words may differ.
python3 - a.ac3 out.ac3 <<'EOF' || fail "removeDialnorm: frame comparison"
import sys
a = open(sys.argv[1], "rb").read()
b = open(sys.argv[2], "rb").read()
if len(a) != len(b):
    sys.exit("sizes differ: %d %d" % (len(a), len(b)))
KBPS = [32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640]

class Bits:
    def __init__(self, data, pos):
        self.data, self.bit = data, pos * 8
    def read(self, n):
        v = 0
        for _ in range(n):
            v = v << 1 | (self.data[self.bit >> 3] >> (7 - (self.bit & 7))) & 1
            self.bit += 1
        return v

def dialnorm_bits(frame):
    r = Bits(frame, 5)
    r.read(5); r.read(3)
    acmod = r.read(3)
    if acmod & 1 and acmod != 1: r.read(2)
    if acmod & 4: r.read(2)
    if acmod == 2: r.read(2)
    r.read(1)
    first = r.bit
    fields = [(first, r.read(5))]
    if acmod == 0:
        if r.read(1): r.read(8)
        if r.read(1): r.read(8)
        if r.read(1): r.read(7)
        fields.append((r.bit, r.read(5)))
    return fields

pos = frames = 0
while pos < len(a):
    if a[pos:pos + 2] != b"\x0b\x77" or a[pos + 4] >> 6 != 0:
        sys.exit("no 48 kHz frame at %d" % pos)
    size = KBPS[(a[pos + 4] & 0x3F) >> 1] * 4
    fa, fb = a[pos:pos + size], b[pos:pos + size]
    allowed = {2, 3, size - 2, size - 1}
    for bit, value in dialnorm_bits(fb):
        if value != 31:
            sys.exit("frame %d: dialnorm %d" % (frames, value))
        allowed |= {bit >> 3, (bit + 4) >> 3}
    changed = {i for i in range(size) if fa[i] != fb[i]}
    if not changed <= allowed:
        sys.exit("frame %d: bytes %s changed" % (frames, sorted(changed - allowed)))
    pos += size
    frames += 1
if frames < 10:
    sys.exit("only %d frames" % frames)
EOF

# ---- two destinations from one read ----
out=$("$kavrix" a.ac3 out1.ac3 out2.ac3 2>&1); rc=$?
[ $rc -eq 0 ] || fail "two destinations: exit $rc: $out"
[ "$(echo "$out" | tail -1)" = "Done." ] || fail "two destinations: $out"
cmp -s a.ac3 out1.ac3 || fail "out1.ac3 differs from the source"
cmp -s a.ac3 out2.ac3 || fail "out2.ac3 differs from the source"

# ---- a delay nothing absorbs goes into the name ----
out=$("$kavrix" a.ac3 delayed.ac3 +100ms 2>&1); rc=$?
[ $rc -eq 0 ] || fail "delay: exit $rc: $out"
[ -f "delayed DELAY 100ms.ac3" ] || fail "delay: no \"delayed DELAY 100ms.ac3\": $(ls)"
[ -e delayed.ac3 ] && fail "delay: delayed.ac3 was written"

# ---- a failed run ----
# A destination refused before the run starts leaves everything as it was, files with
# destination-like names included.
echo "older" >"bad DELAY 100ms.xyz"
echo "older" >bad.xyz
out=$("$kavrix" a.ac3 bad.xyz +100ms 2>&1); rc=$?
[ $rc -eq 1 ] || fail "refused run: exit $rc: $out"
echo "$out" | grep -qx 'This audio conversion is not supported.' || fail "refused run: $out"
[ "$(cat bad.xyz)" = "older" ] || fail "refused run: bad.xyz was changed"
[ "$(cat "bad DELAY 100ms.xyz")" = "older" ] || fail "refused run: the older delayed name was changed"
# A chain that fails at its first write (its folder cannot be made) leaves no file, and the
# file the good chain beside it wrote during the pass is removed; an older file stays.
echo "older" >other.ac3
out=$("$kavrix" a.ac3 good.ac3 no/such/bad.wav 2>&1); rc=$?
[ $rc -eq 1 ] || fail "mixed run: exit $rc: $out"
echo "$out" | grep -q 'could not be created' || fail "mixed run: no creation error: $out"
[ -e good.ac3 ] && fail "mixed run: good.ac3 of the failed run stays"
[ -e no ] && fail "mixed run: the folder no/ was made"
[ "$(cat other.ac3)" = "older" ] || fail "mixed run: other.ac3 was changed"
[ "$(echo "$out" | tail -1)" != "Done." ] || fail "mixed run: ends with Done."

[ $failures -eq 0 ] || exit 1
echo "run_ac3: all passed"
