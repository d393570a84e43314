// What ChildProcess needs of the platform: starting a program with its streams redirected,
// reading those streams, and waiting for, stopping and releasing the child. Internal to
// src/support.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "support/tooling/ChildProcess.h"

namespace quillon::child_process {

// The streams ChildProcess reads.
enum Stream : int { kOutput = 0, kErrors = 1 };

bool TerminalSupported();

std::filesystem::path CurrentProgram();

// Starts the child (argv is not empty); nullptr with error set when it cannot be started.
std::unique_ptr<ChildProcess::Platform, ChildProcess::PlatformDeleter>
Start(const std::vector<std::string>& argv, const ChildProcess::Options& options, std::string& error);

// Whether the stream is one this object reads (standard error may go to a file instead).
bool Readable(const ChildProcess::Platform& child, Stream stream);

// Reads what the stream has, waiting for it: the count of bytes, or 0 at the stream's end or once
// abandon is set (seen within a fraction of a second).
std::size_t Read(ChildProcess::Platform& child, Stream stream, char* buffer, std::size_t size,
                 const std::atomic<bool>& abandon);

// Blocks until the child has ended. The child is not released: it can still be signalled, and
// nothing else can take its process number.
void AwaitEnd(ChildProcess::Platform& child);

// Collects the exit code of a child that has ended (-1 when a signal ended it) and releases it.
int Release(ChildProcess::Platform& child);

// The child's peak memory in KiB, as Release found it (0 when the platform could not tell).
std::size_t PeakMemoryKiB(const ChildProcess::Platform& child);

// Asks the child to stop, or ends it at once; only for a child not yet released.
void AskToStop(ChildProcess::Platform& child);
void Kill(ChildProcess::Platform& child);

}  // namespace quillon::child_process
