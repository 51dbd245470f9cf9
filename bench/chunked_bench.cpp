// Reading a chunked answer made of one-byte chunks through the client's own reader, off a real
// loopback connection, for growing chunk counts: the time per chunk must stay flat as the answer
// grows.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "bench_support.h"
#include "http/response.h"

namespace {

std::string one_byte_chunks(std::size_t chunks) {
    constexpr std::string_view chunk = "1\r\nx\r\n";
    std::string answer;
    answer.reserve(chunks * chunk.size() + 5);
    for (std::size_t i = 0; i < chunks; ++i) answer += chunk;
    answer += "0\r\n\r\n";
    return answer;
}

// Only the read is timed: opening the connection and starting its writer are not the reader's.
void BM_read_chunked_answer(benchmark::State& state) {
    const auto chunks = static_cast<std::size_t>(state.range(0));
    const std::string answer = one_byte_chunks(chunks);
    double read_seconds = 0;
    for (auto _ : state) {
        fed_answer fed;
        open_fed_answer(fed, answer);
        std::int32_t length = body_chunked;
        const auto start = std::chrono::steady_clock::now();
        const body_buffer body = read_chunked_body(fed.reader, length);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        read_seconds += took.count();
        close_fed_answer(fed);
        if (!body || static_cast<std::size_t>(length) != chunks) {
            state.SkipWithError("the chunks were not all read");
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(chunks));
    state.counters["ns_per_chunk"] =
        read_seconds * 1e9 /
        (static_cast<double>(state.iterations()) * static_cast<double>(chunks));
}

}  // namespace

// No warm-up pass: there is nothing a first read pays that later ones do not, and with a reader
// whose cost grows with the square of the count the largest answer takes seconds a read.
BENCHMARK(BM_read_chunked_answer)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
