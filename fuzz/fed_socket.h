// What the fuzz targets share: a socket whose far end plays the gallery and sends the fuzzer's
// bytes, and a check that ends the run with a readable reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <thread>

#include "platform/platform.h"

// A connected pair: the reader's end goes to the code under test; the gallery's end has sent
// every input byte and then ended its side, so the reader sees the end of the connection after
// them.
struct fed_socket {
    int reader = -1;
    int gallery = -1;
    std::thread writer;  // only when the socket buffer did not take every byte at once
};

// Opens the pair and sends `size` bytes from `data`, which must stay valid until the pair is
// closed.
void open_fed_socket(fed_socket& fed, const std::uint8_t* data, std::size_t size);

socket_handle reader_handle(const fed_socket& fed);

// Closes the reader first, so a writer still blocked on a full buffer is released.
void close_fed_socket(fed_socket& fed);

// Prints what did not hold on standard output (the runs in CI discard standard error, where the
// code under test writes its messages) and aborts, so the fuzzer saves the input.
void require(bool holds, const char* what);
