# The TCP rows of the end-to-end table as bars: throughput of Quillon, the plain stop-and-wait loop
# and TFTP per direction and size. Called by the benchmark with csv='...' and png='...'.
set terminal pngcairo size 900,480 font ",10" noenhanced
set output png
set datafile separator ","
set title "Loopback TCP, 4096-byte blocks, stop and wait (higher is better)"
set ylabel "MB/s (10^6 bytes per second)"
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set key top left
set grid ytics
set yrange [0:*]
set xtics nomirror
# Rows 1-6 of the file (after its header) are the TCP rows.
plot csv every ::1::6 using 9:xtic(4) title "Quillon", \
     ''  every ::1::6 using 10 title "plain loop (limit)", \
     ''  every ::1::6 using 11 title "TFTP (tftpd-hpa + curl)"
