// What the benchmarks share: generated trees of files, a loopback peer that takes an upload and
// throws it away, and one that sends a prepared answer.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/platform.h"

// A folder of `files` files of `file_size` bytes each, spread over `folders` subfolders (0: all
// at the top). Made once per process and kept for the run.
std::filesystem::path generated_tree(const std::string& name, int files, std::size_t file_size,
                                     int folders);

// Accepts connections on a loopback port and reads everything sent to it, discarding it.
struct discarding_sink {
    int listen_fd = -1;
    std::uint16_t port = 0;
    std::thread thread;

    discarding_sink();
    ~discarding_sink();
};

socket_handle connect_to_sink(const discarding_sink& sink);

// A loopback connection whose far end sends `answer` and then ends its side. The answer is
// written by a thread of its own in sends as large as the socket takes, so the reader under test
// seldom waits for it and its few hundred system calls stay out of the figure beside the
// reader's millions; a pre-filled buffer could not hold the larger answers. `answer` must stay
// valid until the connection is closed.
struct fed_answer {
    socket_handle reader = no_socket;
    int peer = -1;
    std::thread writer;
};

void open_fed_answer(fed_answer& fed, const std::string& answer);

// Closes the reader first, so a writer still blocked on a full buffer is released.
void close_fed_answer(fed_answer& fed);

// The gallery's limits for the benchmarks' archive building ("A:F:S"), fetched into the cache.
void use_limits(const std::string& limits);

// How every benchmark here is timed: wall time in milliseconds, after an untimed first pass that
// takes what only the first reads of a new tree cost (access times written back, listings
// cached), which no later run pays.
void wall_time_after_warm_up(benchmark::internal::Benchmark* benchmark);
