#!/bin/sh
# Times `cartrivex-cli render` on synthetic records of growing length and reports the speed as a
# multiple of real time and the peak resident memory. The speed should stay the same whatever
# the length (the time grows linearly) and the memory should stay small.
#
# Then it times one minute of each kind of material that makes the last stage work hardest (pink
# noise at 44.1 and 96 kHz, a treble-rich piece) with a fixed angle and with a Baerwald arm
# across the side, in both pickup models and, with the arm, with a tip of 17.8 µm that traces
# both walls: the median of three runs of `render --json`'s seconds_taken on two threads, and the
# largest peak resident memory of the three. Last, render and correct side by side on one minute
# of pink noise.
#
# Usage: bench/render_bench.sh PATH/TO/cartrivex-cli [FOLDER]
# FOLDER (default: a fresh folder under /tmp, removed at the end) holds the inputs, the outputs
# and the scratch files: about 2 GB at the peak. The material is made by cartrivex_bench_input,
# looked for beside the build's bench folder unless BENCH_INPUT names it.
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

maker=${BENCH_INPUT:-$(dirname "$cli")/../bench/cartrivex_bench_input}
if [ ! -x "$maker" ]; then
    echo "render_bench.sh: $maker is needed (cmake --build ... --target cartrivex_bench_input)" >&2
    exit 1
fi

echo
fixed="--radius 100 --angle 2"
arm="--alignment baerwald --mounting 222 --from 146.05 --to 60.325"
stylus="--vta 25 --cutting-angle 20"
tip="--stylus spherical:17.8"
# name, material, rate, bits, geometry, model (tip: the stylus model with a spherical tip)
material="pink-16bit-44k pink 44100 16 fixed lateral
pink-16bit-44k pink 44100 16 arm lateral
treble-16bit-44k treble 44100 16 fixed lateral
treble-16bit-44k treble 44100 16 arm lateral
pink-24bit-96k pink 96000 24 fixed lateral
pink-24bit-96k pink 96000 24 arm lateral
pink-16bit-44k pink 44100 16 fixed stylus
pink-16bit-44k pink 44100 16 arm stylus
treble-16bit-44k treble 44100 16 arm stylus
pink-16bit-44k pink 44100 16 arm tip
treble-16bit-44k treble 44100 16 arm tip"
printf '%-18s %-8s %-8s %9s %12s %12s\n' material geometry model "wall s" "x real time" "peak RSS MB"
echo "$material" | while read -r name kind rate bits geometry model; do
    input=$folder/$name.wav
    if [ ! -f "$input" ]; then
        "$maker" "$kind" "$rate" "$bits" 60 "$input"
    fi
    options=$fixed
    [ "$geometry" = arm ] && options=$arm
    [ "$model" = stylus ] && options="$options $stylus"
    [ "$model" = tip ] && options="$options $stylus $tip"
    times=""
    largest=0
    for run in 1 2 3; do
        report=$folder/$name.time
        # shellcheck disable=SC2086
        json=$(/usr/bin/time -v -o "$report" "$cli" render "$input" "$folder/$name-out.wav" \
            --rpm 33 --amplitude 0.05 --threads 2 --quiet --json $options)
        taken=$(printf '%s' "$json" | sed -n 's/.*"seconds_taken": *\([0-9.eE+-]*\).*/\1/p')
        times="$times $taken"
        kilobytes=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$report")
        [ "$kilobytes" -gt "$largest" ] && largest=$kilobytes
    done
    median=$(echo "$times" | tr ' ' '\n' | sed '/^$/d' | sort -g | sed -n 2p)
    awk -v name="$name" -v geometry="$geometry" -v model="$model" -v wall="$median" \
        -v kb="$largest" 'BEGIN {
        printf "%-18s %-8s %-8s %9.2f %12.1f %12.1f\n", name, geometry, model, wall,
            (wall > 0 ? 60 / wall : 0), kb / 1024 }'
    rm -f "$folder/$name-out.wav"
done

# correct runs render's chain with every timing error negated: it should cost what render costs.
# Each is given the same minute (what render made of it, for correct) and timed as above.
echo
printf '%-18s %-8s %-8s %10s %10s\n' material geometry model "render s" "correct s"
median_taken() {
    times=""
    for run in 1 2 3; do
        # shellcheck disable=SC2086
        json=$("$cli" "$@" --rpm 33 --amplitude 0.05 --threads 2 --quiet --json)
        times="$times $(printf '%s' "$json" | sed -n 's/.*"seconds_taken": *\([0-9.eE+-]*\).*/\1/p')"
    done
    echo "$times" | tr ' ' '\n' | sed '/^$/d' | sort -g | sed -n 2p
}
printf '%s\n' "fixed lateral" "arm lateral" "arm stylus" | while read -r geometry model; do
    input=$folder/pink-16bit-44k.wav
    options=$fixed
    [ "$geometry" = arm ] && options=$arm
    [ "$model" = stylus ] && options="$options $stylus"
    # shellcheck disable=SC2086
    played=$(median_taken render "$input" "$folder/played.wav" $options)
    # shellcheck disable=SC2086
    corrected=$(median_taken correct "$folder/played.wav" "$folder/corrected.wav" $options)
    printf '%-18s %-8s %-8s %10.2f %10.2f\n' pink-16bit-44k "$geometry" "$model" "$played" \
        "$corrected"
    rm -f "$folder/played.wav" "$folder/corrected.wav"
done
