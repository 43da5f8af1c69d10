#!/usr/bin/env bash
# Decoding to WAV as a user does: compressed 5.1 tracks decoded to 24-bit WAV (compared with
# ffmpeg's own float decode of the same file), one mono file per channel, a channel remap,
# WAV to WAV bit for bit, reduction to 16 bits with dither, gain, and the bit-depth analysis.
# $1 = the kavrix binary, $2 = the fixtures folder.
set -u
kavrix=$(realpath "$1")
command -v ffmpeg >/dev/null && command -v python3 >/dev/null || {
  echo "ffmpeg or python3 missing: skipped"
  exit 0
}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export HOME=$tmp/home XDG_STATE_HOME=$tmp/state XDG_CONFIG_HOME=$tmp/config
mkdir -p "$HOME" "$tmp/w"
cd "$tmp/w" || exit 1
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
ff() { ffmpeg -hide_banner -v error -nostdin -y "$@"; }

# A different tone on every channel, so a channel in the wrong place shows.
tones="0.5*sin(2*PI*200*t)|0.45*sin(2*PI*300*t)|0.4*sin(2*PI*400*t)|0.35*sin(2*PI*50*t)"
tones="$tones|0.3*sin(2*PI*600*t)|0.25*sin(2*PI*700*t)"
ff -f lavfi -i "aevalsrc=$tones:s=48000:d=2:c=5.1(side)" -c:a pcm_s24le tones51.wav
ff -f lavfi -i "aevalsrc=0.5*sin(2*PI*440*t)|0.4*sin(2*PI*550*t):s=48000:d=2:c=stereo" \
  -c:a pcm_s16le st16.wav
ff -i st16.wav -c:a pcm_s24le st16in24.wav
ff -i tones51.wav -c:a ac3 -b:a 448k t.ac3
ff -i tones51.wav -c:a eac3 -b:a 640k -f eac3 t.eac3
ff -i st16.wav -c:a mp2 -b:a 192k s.mp2
ff -i tones51.wav -strict -2 -c:a dca -b:a 1509750 t.dts
ff -i st16.wav -c:a aac -b:a 128k s.aac

# Compares two files decoded by ffmpeg to float 64 (channel count $3):
#   dither LSBS: the difference is the dither of a reduction to 24 bits (RMS under -130 dBFS, no
#                sample off by more than LSBS steps of 24 bits);
#   gain DB:     the level of the second is DB above the first (within 0.01 dB).
# $6, when given, names ffmpeg's decoder for the first file (kavrix decodes MPEG audio in float).
compare() {
  ff ${6:+-c:a "$6"} -i "$1" -f f64le a.f64 && ff -i "$2" -f f64le b.f64 || return 1
  python3 - a.f64 b.f64 "$3" "$4" "$5" <<'EOF'
import math, struct, sys
a = open(sys.argv[1], "rb").read()
b = open(sys.argv[2], "rb").read()
mode, value = sys.argv[4], float(sys.argv[5])
if len(a) != len(b):
    sys.exit("lengths differ: %d and %d samples" % (len(a) // 8, len(b) // 8))
n = len(a) // 8
x = struct.unpack("<%dd" % n, a)
y = struct.unpack("<%dd" % n, b)
if mode == "dither":
    lsb = 2.0 ** -23
    worst = max(abs(p - q) for p, q in zip(x, y))
    rms = math.sqrt(sum((p - q) ** 2 for p, q in zip(x, y)) / n)
    db = 20 * math.log10(rms) if rms > 0 else -999
    if db > -130 or worst > value * lsb:
        sys.exit("difference: RMS %.1f dBFS, worst %.1f LSB" % (db, worst / lsb))
else:
    ea = math.sqrt(sum(p * p for p in x) / n)
    eb = math.sqrt(sum(q * q for q in y) / n)
    got = 20 * math.log10(eb / ea)
    if abs(got - value) > 0.01:
        sys.exit("level changed by %.4f dB instead of %.2f" % (got, value))
EOF
}

layout() { ffprobe -v error -show_entries stream=channels,channel_layout,bits_per_sample -of csv=p=0 "$1"; }

# ---- compressed audio to WAV ----
for case in "t.ac3 6,5.1(side),24" "t.eac3 6,5.1(side),24" "s.mp2 2,stereo,24 mp2float" \
  "s.aac 2,stereo,24"; do
  set -- $case
  src=$1 want=$2 decoder=${3:-}
  out=$("$kavrix" "$src" "$src.wav" 2>&1); rc=$?
  [ $rc -eq 0 ] || { fail "$src: exit $rc: $out"; continue; }
  [ "$(layout "$src.wav")" = "$want" ] || fail "$src: layout $(layout "$src.wav")"
  command -v sox >/dev/null && { sox --i "$src.wav" >/dev/null 2>&1 || fail "$src: sox refuses the WAV"; }
  compare "$src" "$src.wav" "${want%%,*}" dither 8 "$decoder" ||
    fail "$src: samples differ from ffmpeg's decode"
done

# DTS through libav, without the DTS bitstream editors (they come with a later step).
out=$("$kavrix" t.dts t.dts.wav -libav -dontRepairDts -dontPatchDts 2>&1); rc=$?
if [ $rc -ne 0 ]; then
  fail "t.dts: exit $rc: $out"
else
  [ "$(layout t.dts.wav)" = "6,5.1(side),24" ] || fail "t.dts: layout $(layout t.dts.wav)"
  compare t.dts t.dts.wav 6 dither 8 || fail "t.dts: samples differ from ffmpeg's decode"
fi

# ---- one mono file per channel, in the order of the mask ----
out=$("$kavrix" t.ac3 m.wavs 2>&1); rc=$?
if [ $rc -ne 0 ]; then
  fail "wavs: exit $rc: $out"
else
  i=0
  for name in L R C LFE SL SR; do
    # A plain header names no speaker: one channel of 24 bits.
    case "$(layout "m.$name.wav")" in 1,*,24) ;; *) fail "wavs: m.$name.wav: $(layout "m.$name.wav")" ;; esac
    ff -i t.ac3 -af "pan=mono|c0=c$i" -c:a pcm_f64le -f wav ref.$i.wav
    compare "ref.$i.wav" "m.$name.wav" 1 dither 8 || fail "wavs: channel $name"
    i=$((i + 1))
  done
fi

# ---- a remap: 0,2,1,4,5,3 takes L C R SL SR LFE ----
out=$("$kavrix" t.ac3 r.wav -0,2,1,4,5,3 2>&1); rc=$?
if [ $rc -ne 0 ]; then
  fail "remap: exit $rc: $out"
else
  ff -i t.ac3 -af "pan=5.1(side)|c0=c0|c1=c2|c2=c1|c3=c4|c4=c5|c5=c3" -c:a pcm_f64le -f wav ref_r.wav
  compare ref_r.wav r.wav 6 dither 8 || fail "remap: channels not as asked"
fi

# ---- WAV to WAV, bit for bit ----
out=$("$kavrix" tones51.wav copy.wav 2>&1); rc=$?
[ $rc -eq 0 ] || fail "wav copy: exit $rc: $out"
[ "$(layout copy.wav)" = "6,5.1(side),24" ] || fail "wav copy: layout $(layout copy.wav)"
[ "$(ff -i tones51.wav -f s24le - | md5sum)" = "$(ff -i copy.wav -f s24le - | md5sum)" ] ||
  fail "wav copy: samples differ"

# ---- -down16: dithered to 16 bits ----
out=$("$kavrix" tones51.wav d16.wav -down16 2>&1); rc=$?
if [ $rc -ne 0 ]; then
  fail "down16: exit $rc: $out"
else
  echo "$out" | grep -qx "Reducing depth from 24 to 16 bits..." || fail "down16: no notice: $out"
  [ "$(layout d16.wav)" = "6,5.1(side),16" ] || fail "down16: layout $(layout d16.wav)"
  # The difference is TPDF dither of 16 bits: RMS between 0.3 and 1.5 steps, peak at most 3.
  ff -i tones51.wav -f f64le a.f64 && ff -i d16.wav -f f64le b.f64
  python3 - a.f64 b.f64 <<'EOF' || fail "down16: difference is not the dither"
import math, struct, sys
a = open(sys.argv[1], "rb").read()
b = open(sys.argv[2], "rb").read()
n = min(len(a), len(b)) // 8
x = struct.unpack("<%dd" % n, a[:n * 8])
y = struct.unpack("<%dd" % n, b[:n * 8])
step = 2.0 ** -15
d = [(q - p) / step for p, q in zip(x, y)]
rms = math.sqrt(sum(v * v for v in d) / n)
worst = max(abs(v) for v in d)
if len(a) != len(b) or not (0.3 <= rms <= 1.5) or worst > 3:
    sys.exit("RMS %.3f steps, worst %.2f steps" % (rms, worst))
EOF
fi

# ---- gain ----
for gain in +3 -6; do
  out=$("$kavrix" tones51.wav "g$gain.wav" "${gain}dB" 2>&1); rc=$?
  [ $rc -eq 0 ] || { fail "gain $gain: exit $rc: $out"; continue; }
  compare tones51.wav "g$gain.wav" 6 gain "$gain" || fail "gain $gain"
done

# ---- bit-depth analysis of 16-bit audio in 24-bit samples ----
out=$("$kavrix" st16in24.wav -analyzeBitdepth 2>&1); rc=$?
[ $rc -eq 0 ] || fail "analyzeBitdepth: exit $rc: $out"
echo "$out" | grep -qx "The original audio track has a constant bit depth of 16 bits." ||
  fail "analyzeBitdepth: $out"

[ $failures -eq 0 ] || exit 1
echo "all decode checks passed"
