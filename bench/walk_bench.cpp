// Walking a tree of 20,000 small files in 1,000 folders, against find(1) on the same tree.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include "archive/archive.h"
#include "archive/paths.h"
#include "bench_support.h"
#include "platform/utf8.h"

extern char** environ;

namespace {

constexpr int walk_files = 20000;
constexpr int walk_folders = 1000;
constexpr std::size_t walk_file_size = 64;

std::filesystem::path walk_tree() {
    return generated_tree("walk", walk_files, walk_file_size, walk_folders);
}

// Path collection over the tree under the given limits, as a run does it.
void walk(benchmark::State& state, const std::string& limits, std::uint32_t files_held) {
    const auto tree = walk_tree();
    use_limits(limits);
    const wide_string root = utf8_to_utf16(tree.string());
    for (auto _ : state) {
        upload_archive archive;
        archive_init(archive);
        archive.count_warned = 1;  // a count warning is not what is measured
        add_path(archive, root);
        if (archive.file_count != files_held) state.SkipWithError("files missing");
        archive_release(archive);
    }
    state.SetItemsProcessed(state.iterations() * walk_files);
}

// The whole of path collection: every file is also opened and read into the archive.
void BM_walk_tree(benchmark::State& state) { walk(state, "-1:-1:-1", walk_files); }

// The walk alone: listing, status and directory changes, with every file turned away by a file
// count of 0 before it is opened.
void BM_walk_tree_without_reading(benchmark::State& state) { walk(state, "-1:0:-1", 0); }

// find(1) as a child process, its output thrown away. `-type f` alone takes the type from the
// listing; printing sizes makes it take each file's status, as the walk does.
void run_find(benchmark::State& state, bool with_sizes) {
    const std::string tree = walk_tree().string();
    for (auto _ : state) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        const char* plain[] = {"find", tree.c_str(), "-type", "f", nullptr};
        const char* sizes[] = {"find", tree.c_str(), "-type", "f", "-printf", "%s\n", nullptr};
        const char** argv = with_sizes ? sizes : plain;
        pid_t pid = 0;
        if (posix_spawnp(&pid, "find", &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
            state.SkipWithError("find cannot start");
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    state.SetItemsProcessed(state.iterations() * walk_files);
}

void BM_find_tree(benchmark::State& state) { run_find(state, false); }
void BM_find_tree_with_sizes(benchmark::State& state) { run_find(state, true); }

}  // namespace

BENCHMARK(BM_walk_tree)->Apply(wall_time_after_warm_up);
BENCHMARK(BM_walk_tree_without_reading)->Apply(wall_time_after_warm_up);
BENCHMARK(BM_find_tree)->Apply(wall_time_after_warm_up);
BENCHMARK(BM_find_tree_with_sizes)->Apply(wall_time_after_warm_up);
