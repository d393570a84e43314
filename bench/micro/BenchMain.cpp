#include <benchmark/benchmark.h>

#include <iostream>

#include "support/serial/SerialPortList.h"

namespace quillon::bench {
// The dispatcher benchmarks' transfer object, made on first use; its threads end before main does.
void ReleaseTransferObject();
}  // namespace quillon::bench

int main(int argc, char** argv)
{
    // The transfer object's serial link would otherwise probe the machine's real ports.
    serial::pin_ports({});

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    // The library writes its diagnostic lines to standard output, one per block in the dispatcher
    // and one per salvaged chunk in the delivery, hundreds of thousands in a run. The report goes
    // to standard error instead, so that `>/dev/null` drops the lines and keeps the table.
    // The library keeps the reporter it made (it honours --benchmark_format); it is not ours to free.
    benchmark::BenchmarkReporter* display = benchmark::CreateDefaultDisplayReporter();
    display->SetOutputStream(&std::cerr);
    display->SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(display);
    quillon::bench::ReleaseTransferObject();
    benchmark::Shutdown();
    return 0;
}
