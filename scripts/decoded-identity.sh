#!/bin/bash
# Compares two lumaqc binaries on decoded input, byte for byte: the whole log,
# the console output (timing lines left out), the exit status, the errors and
# the JSON document (events and verdict included; the run's times and command
# line left out), at --threads 1, 2 and 3, with and without the built-in
# profile, RUNS runs of the new binary each. The clips are made by ffmpeg:
# x264 in MP4, Matroska and TS (default key interval, -g 50, -bf 0, open
# GOPs), damaged by the noise filter, by flipped bits after the middle, cut
# short, TS that lost packets, MJPEG, MPEG-2 and HEVC, clean and damaged, and
# the AVIs of DIR (real content, optional).
#
#   scripts/decoded-identity.sh BASE_LUMAQC NEW_LUMAQC [RUNS] [DIR]
#
# Prints DIFF lines and, when every run matched, "all identical".
set -u

base=$(readlink -f "$1")
new=$(readlink -f "$2")
runs=${3:-2}
avis=${4:-/tmp/ocvdoc/usr/share/doc/opencv-doc/examples/data}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
clips=$work/clips
mkdir -p "$clips" "$work/out"
cd "$clips" || exit 2

ff() { ffmpeg -nostdin -y -loglevel error "$@"; }
synthetic="-f lavfi -i testsrc2=size=640x360:rate=25:duration=12"
x264="-c:v libx264 -preset veryfast -pix_fmt yuv420p"
for c in mp4 mkv ts; do
    ff $synthetic $x264 clean_default.$c
    ff $synthetic $x264 -g 50 clean_g50.$c
    ff $synthetic $x264 -bf 0 clean_bf0.$c
    ff $synthetic $x264 -x264-params open_gop=1 clean_open.$c
done
if [ -f "$avis/vtest.avi" ]; then
    real="-i $avis/vtest.avi -t 12 -vf scale=640:360"
    for c in mp4 mkv ts; do ff $real $x264 real_default.$c; done
    ff $real $x264 -g 50 -bf 3 -b_strategy 2 real_b3.mp4
    for a in 200 2000 20000 100000; do
        ff $real $x264 -bsf:v noise=amount=$a -f mpegts realnoise$a.ts
    done
    cp "$avis"/*.avi .
fi
for a in 200 2000 20000 100000; do
    ff $synthetic $x264 -bsf:v noise=amount=$a noise$a.mkv
    ff $synthetic $x264 -g 50 -bsf:v noise=amount=$a noise${a}_g50.mp4
done
/usr/bin/python3 - "$clips" << 'EOF'
import os, random, sys
d = sys.argv[1] + '/'
def write(name, data):
    open(d + name, 'wb').write(data)
for src in ['clean_default.mp4', 'clean_default.ts', 'clean_open.ts', 'real_default.mkv',
            'real_default.ts']:
    if not os.path.exists(d + src):
        continue
    b = open(d + src, 'rb').read()
    stem, ext = src.replace('.', '_'), src.split('.')[-1]
    for n in (5, 40):  # bit flips after the middle
        r = random.Random(n * 7 + len(src))
        c = bytearray(b)
        for _ in range(n):
            i = r.randrange(len(c) // 2, len(c))
            c[i] ^= 1 << r.randrange(8)
        write('flip%d_%s.%s' % (n, stem, ext), bytes(c))
    for part in (50, 90):  # cut short
        write('cut%d_%s.%s' % (part, stem, ext), b[:len(b) * part // 100])
for src in ['clean_default.ts', 'clean_g50.ts', 'real_default.ts']:
    if not os.path.exists(d + src):
        continue
    b = open(d + src, 'rb').read()
    n = len(b) // 188
    for every in (29, 61, 400):  # lost TS packets after the first quarter
        write('lost%d_%s' % (every, src),
              b''.join(b[i * 188:(i + 1) * 188] for i in range(n) if i < n // 4 or i % every != 7))
EOF
ff $synthetic -c:v mjpeg mjpeg.avi
ff $synthetic -c:v mjpeg -bsf:v noise=amount=2000 mjpeg_noise.avi
ff $synthetic -c:v mpeg2video mpeg2.ts
ff $synthetic -c:v mpeg2video -bsf:v noise=amount=5000 mpeg2_noise.ts
ff $synthetic -c:v libx265 -x265-params log-level=none hevc.mkv
ff $synthetic -c:v libx265 -x265-params log-level=none -bsf:v noise=amount=5000 hevc_noise.mkv

# One run: its log, console rows and errors, status and JSON into out/TAG.*
one() {
    local bin=$1 tag=$2 clip=$3 threads=$4
    shift 4
    (cd "$work/out" && "$bin" "$clip" --threads "$threads" "$@" --log $tag.log --json $tag.json \
        > $tag.out 2> $tag.err
    echo $? > $tag.rc)
    grep -v -E "seconds|[0-9] ms" "$work/out/$tag.out" > "$work/out/$tag.rows"
    cat "$work/out/$tag.err" >> "$work/out/$tag.rows"
    /usr/bin/python3 - "$work/out/$tag.json" << 'EOF'
import json, sys
try:
    d = json.load(open(sys.argv[1]))
except Exception:
    sys.exit(0)
for k in ('command_line', 'start_time', 'end_time'):
    d.get('run', {}).pop(k, None)
json.dump(d, open(sys.argv[1], 'w'), sort_keys=True)
EOF
}

fail=0
count=0
for clip in "$clips"/*; do
    for threads in 1 2 3; do
        for profile in "" "--profile default"; do
            one "$base" base "$clip" $threads $profile
            for r in $(seq "$runs"); do
                one "$new" new "$clip" $threads $profile
                count=$((count + 1))
                for f in log rows rc json; do
                    if ! cmp -s "$work/out/base.$f" "$work/out/new.$f"; then
                        echo "DIFF $f: $(basename "$clip") --threads $threads $profile (run $r)"
                        fail=1
                    fi
                done
            done
        done
    done
done
echo "$(ls "$clips" | wc -l) files, $count runs compared"
[ $fail = 0 ] && echo "all identical"
exit $fail
