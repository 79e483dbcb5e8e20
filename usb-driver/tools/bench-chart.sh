#!/usr/bin/env bash
# Runs bulkcom-bench and charts its round trips. OUTDIR gets
#   results.json     every run, as Google Benchmark writes it (three
#                    repetitions of each benchmark, with their aggregates)
#   console.txt      the benchmark's own output
#   throughput.dat   per message size, the median bytes per second of the raw
#                    URBs, BulkTransfer and WriteFile+ReadFile, and the two
#                    paths' ratios to the raw URBs
#   throughput.svg   the chart of throughput.gp
# and the terminal the same figures as a table.
#
#   bench-chart.sh BULKCOM-BENCH OUTDIR

set -euo pipefail

[[ $# -eq 2 ]] || { echo "usage: bench-chart.sh BULKCOM-BENCH OUTDIR" >&2; exit 2; }
bench=$1
outdir=${2%/}
tools=$(dirname "$0")
mkdir -p "$outdir"

echo "Running $bench, three repetitions of each benchmark (about a minute)..."
if ! "$bench" --benchmark_repetitions=3 --benchmark_out="$outdir/results.json" --benchmark_out_format=json \
    >"$outdir/console.txt" 2>&1; then
    cat "$outdir/console.txt" >&2
    echo "bench-chart: $bench failed" >&2
    exit 1
fi
if grep -q '"error_occurred": true' "$outdir/results.json"; then
    grep '"error_message"' "$outdir/results.json" | sort -u >&2
    echo "bench-chart: a benchmark stopped with an error" >&2
    exit 1
fi

# Google Benchmark writes one JSON member per line; the medians of the
# round trips by size are all this needs.
awk '
    /"name":/ { name = $2; gsub(/[",]/, "", name) }
    /"bytes_per_second":/ && name ~ /^BM_(RawUrb|BulkTransfer|Win32)RoundTrip\/[0-9]+_median$/ {
        split(name, parts, /[\/_]/)
        size = parts[3] + 0
        rate = $2
        sub(/,$/, "", rate)
        series = parts[2]
        rates[series, size] = rate + 0
        sizes[size] = 1
    }
    END {
        print "# size raw_urbs bulk_transfer write_read bulk_transfer/raw write_read/raw (bytes per second, medians)"
        for (size = 1; size <= 65536; size *= 2) {
            if (!(size in sizes)) continue
            printf "%d %.0f %.0f %.0f %.3f %.3f\n", size, rates["RawUrbRoundTrip", size],
                rates["BulkTransferRoundTrip", size], rates["Win32RoundTrip", size],
                rates["BulkTransferRoundTrip", size] / rates["RawUrbRoundTrip", size],
                rates["Win32RoundTrip", size] / rates["RawUrbRoundTrip", size]
        }
    }' "$outdir/results.json" >"$outdir/throughput.dat"
[[ $(grep -vc '^#' "$outdir/throughput.dat") -gt 0 ]] ||
    { echo "bench-chart: no round trip medians in $outdir/results.json" >&2; exit 1; }

gnuplot -c "$tools/throughput.gp" "$outdir/throughput.dat" "$outdir/throughput.svg"

awk '
    BEGIN {
        print "Round trips on a loopback device, MB/s both ways (medians of three):"
        printf "%8s %10s %13s %11s %17s %15s\n", "size", "raw URBs", "BulkTransfer", "Write+Read",
            "BulkTransfer/raw", "Write+Read/raw"
    }
    !/^#/ { printf "%8d %10.1f %13.1f %11.1f %17.2f %15.2f\n", $1, $2 / 1e6, $3 / 1e6, $4 / 1e6, $5, $6 }
' "$outdir/throughput.dat"
echo "Chart: $outdir/throughput.svg (raw results in $outdir/results.json)"
