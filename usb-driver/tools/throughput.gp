# The chart of bench-chart.sh: round-trip throughput against message size
# for the raw URBs, BulkTransfer and the application's WriteFile+ReadFile,
# and below it each path's share of the raw throughput.
#   gnuplot -c throughput.gp THROUGHPUT.dat OUTPUT.svg

data = ARG1
set terminal svg size 900,800 dynamic enhanced font "sans,12" background "white"
set output ARG2

set logscale x 2
set xrange [0.7:90000]
set xtics ("1 B" 1, "4 B" 4, "16 B" 16, "64 B" 64, "256 B" 256, "1 KiB" 1024, "4 KiB" 4096, \
           "16 KiB" 16384, "64 KiB" 65536)
set grid xtics ytics mytics
set key top left box opaque
set style data linespoints

set multiplot layout 2,1 title "bulkcom on the simulated platform: a write and the read of its echo on a loopback device" \
    font ",13"

set size 1,0.58
set origin 0,0.36
set logscale y 10
set format y "10^{%T}"
set ylabel "bytes per second, both ways (median of 3)"
set xlabel ""
plot data using 1:2 title "raw URBs to the bus driver (baseline)" pt 7 lw 2, \
     data using 1:3 title "BulkTransfer (the driver's transfer routine)" pt 5 lw 2, \
     data using 1:4 title "WriteFile + ReadFile on COM5" pt 9 lw 2

set size 1,0.36
set origin 0,0
unset logscale y
set format y "%.1f"
set yrange [0:1.2<*]
set ylabel "share of the raw throughput"
set xlabel "message size"
plot data using 1:5 title "BulkTransfer / raw" pt 5 lw 2 lc 2, \
     data using 1:6 title "WriteFile + ReadFile / raw" pt 9 lw 2 lc 3, \
     1 notitle with lines dt 2 lc "gray"

unset multiplot
