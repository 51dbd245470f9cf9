// Plain POSIX socket steps that the benchmark programs share, without the client's own code.
#pragma once

#include <cstddef>
#include <cstdint>

// A listening socket on a free loopback port, which is stored in `port`; -1 when there is none.
int listen_on_loopback(std::uint16_t& port);

// Sends every byte, retrying after signals; false once the peer has gone or a send fails.
bool send_whole(int fd, const void* data, std::size_t size);
