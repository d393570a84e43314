// The child that the process tests start: it does what its arguments say, in order.
//   out TEXT / err TEXT   writes TEXT and a line end to standard output / error
//   tail TEXT             writes TEXT to standard output without a line end
//   args                  writes each argument after this one on a line of its own, then ends
//   wait                  waits for a stop request (SIGTERM, or Ctrl+Break on Windows), then goes on
//   deaf                  ignores stop requests from now on
//   exit N                ends with exit code N
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void OnStop(int) { stopRequested = 1; }

void OnStopSignals(void (*handler)(int))
{
    std::signal(SIGTERM, handler);
#if defined(SIGBREAK)
    std::signal(SIGBREAK, handler);  // what Ctrl+Break becomes in the Windows C runtime
#endif
}

}  // namespace

int main(int argc, char** argv)
{
    OnStopSignals(OnStop);
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : "";
        if (word == "out" || word == "err" || word == "tail") {
            std::FILE* stream = word == "err" ? stderr : stdout;
            std::fputs(next, stream);
            if (word != "tail")
                std::fputc('\n', stream);
            std::fflush(stream);
            ++i;
        } else if (word == "args") {
            for (int j = i + 1; j < argc; ++j)
                std::printf("[%s]\n", argv[j]);
            return 0;
        } else if (word == "wait") {
            // A signal handler cannot wake a waiting thread portably; a short poll is enough here.
            while (!stopRequested)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } else if (word == "deaf") {
            OnStopSignals(SIG_IGN);
        } else if (word == "exit") {
            return std::atoi(next);
        } else {
            std::fprintf(stderr, "unknown step %s\n", word.c_str());
            return 99;
        }
    }
    return 0;
}
