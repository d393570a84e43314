# The TCP rows of the end-to-end table as bars with the spread of the repeats: throughput of Quillon
# against the minimal device peer and the plain stop-and-wait loop (the host's own cost), and of
# Quillon against the simulator and TFTP, per direction and size. Called by the benchmark with
# csv='...' and png='...'.
set terminal pngcairo size 1100,520 font ",10" noenhanced
set output png
set datafile separator ","
set title "Loopback TCP, 4096-byte blocks, stop and wait (higher is better; whiskers: slowest and fastest run)"
set ylabel "MB/s (10^6 bytes per second)"
set style data histogram
set style histogram errorbars gap 1 lw 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set key top left
set grid ytics
set yrange [0:*]
set xtics nomirror
# Rows 1-6 of the file (after its header) are the TCP rows. Per figure: MB/s at the median, the
# slowest and the fastest run (columns 9-11 Quillon+peer, 15-17 loop, 21-23 Quillon+sim, 27-29 TFTP).
plot csv every ::1::6 using 9:10:11:xtic(4) title "Quillon, minimal device peer", \
     ''  every ::1::6 using 15:16:17 title "plain loop", \
     ''  every ::1::6 using 21:22:23 title "Quillon, simulator", \
     ''  every ::1::6 using 27:28:29 title "TFTP (tftpd-hpa + curl)"
