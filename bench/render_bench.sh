#!/bin/sh
# Times `cartrivex-cli render` on synthetic records of growing length and reports the speed as a
# multiple of real time and the peak resident memory. The speed should stay the same whatever
# the length (the time grows linearly) and the memory should stay small.
#
# Usage: bench/render_bench.sh PATH/TO/cartrivex-cli [FOLDER]
# FOLDER (default: a fresh folder under /tmp, removed at the end) holds the inputs, the outputs
# and the scratch files: about 2 GB at the peak.
set -eu

cli=${1:?usage: render_bench.sh PATH/TO/cartrivex-cli [FOLDER]}
if [ $# -ge 2 ]; then
    folder=$2
    mkdir -p "$folder"
else
    folder=$(mktemp -d /tmp/cartrivex-render-bench-XXXXXX)
    trap 'rm -rf "$folder"' EXIT INT TERM
fi
for tool in sox /usr/bin/time; do
    command -v "$tool" >/dev/null 2>&1 || { echo "render_bench.sh: $tool is needed" >&2; exit 1; }
done

# name, minutes, rate, bits, model (stylus: a 20-degree record played at 25 degrees)
cases="1min-16bit-44k 1 44100 16 lateral
5min-16bit-44k 5 44100 16 lateral
20min-16bit-44k 20 44100 16 lateral
5min-24bit-96k 5 96000 24 lateral
5min-16bit-44k 5 44100 16 stylus"

printf '%-18s %-8s %9s %9s %12s %12s\n' case model "audio s" "wall s" "x real time" "peak RSS MB"
echo "$cases" | while read -r name minutes rate bits model; do
    input=$folder/$name.wav
    seconds=$((minutes * 60))
    if [ ! -f "$input" ]; then
        # Music-like material: two swept tones and a little noise, below full scale.
        sox -q -n -r "$rate" -b "$bits" -c 2 "$input" synth "$seconds" sine 200-4000 sine 300-6000 \
            whitenoise gain -6
    fi
    report=$folder/$name.time
    extra=""
    if [ "$model" = stylus ]; then
        extra="--vta 25 --cutting-angle 20"
    fi
    # shellcheck disable=SC2086
    /usr/bin/time -v -o "$report" "$cli" render "$input" "$folder/$name-out.wav" \
        --rpm 33 --radius 100 --amplitude 0.05 --angle 2 --quiet $extra
    wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$report" |
        awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }')
    kilobytes=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$report")
    awk -v name="$name" -v model="$model" -v audio="$seconds" -v wall="$wall" -v kb="$kilobytes" 'BEGIN {
        printf "%-18s %-8s %9d %9.2f %12.1f %12.1f\n", name, model, audio, wall,
            (wall > 0 ? audio / wall : 0), kb / 1024 }'
    rm -f "$folder/$name-out.wav"
done
