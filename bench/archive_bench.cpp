// Building the whole archive in memory from 2,000 files (256 MiB) and sending it over loopback.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "archive/archive.h"
#include "archive/paths.h"
#include "bench_support.h"
#include "platform/utf8.h"

namespace {

constexpr int bench_files = 2000;
constexpr std::size_t bench_file_size = (256u << 20) / bench_files;

void BM_build_and_send_archive(benchmark::State& state) {
    const auto tree = generated_tree("archive", bench_files, bench_file_size, 0);
    use_limits("-1:-1:-1");
    discarding_sink sink;
    const wide_string root = utf8_to_utf16(tree.string());
    for (auto _ : state) {
        upload_archive archive;
        archive_init(archive);
        add_path(archive, root);
        const socket_handle socket = connect_to_sink(sink);
        archive_send(archive, socket);
        ::close(static_cast<int>(socket));
        if (archive.file_count != bench_files) state.SkipWithError("files missing");
        archive_release(archive);
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t{bench_files} *
                            static_cast<std::int64_t>(bench_file_size));
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    state.counters["files_MiB"] =
        static_cast<double>(bench_files) * static_cast<double>(bench_file_size) / (1 << 20);
}

// The same number of bytes sent from one buffer in pieces of the given size, with nothing read
// or built: the floor that the upload's pieces of 1024 bytes set, against larger pieces.
void BM_send_in_pieces(benchmark::State& state) {
    const auto piece = static_cast<std::size_t>(state.range(0));
    const std::size_t total = std::size_t{bench_files} * bench_file_size;
    const std::vector<unsigned char> bytes(total, 0x5A);
    discarding_sink sink;
    for (auto _ : state) {
        const socket_handle socket = connect_to_sink(sink);
        for (std::size_t offset = 0; offset < total;) {
            const std::size_t length = std::min(total - offset, piece);
            const long long sent = net_send(socket, bytes.data() + offset, length);
            if (sent <= 0) {
                state.SkipWithError("send failed");
                break;
            }
            offset += static_cast<std::size_t>(sent);
        }
        ::close(static_cast<int>(socket));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(total));
}

}  // namespace

BENCHMARK(BM_build_and_send_archive)->Apply(wall_time_after_warm_up);
BENCHMARK(BM_send_in_pieces)->Arg(1024)->Arg(65536)->Apply(wall_time_after_warm_up);
