#include "archive/archive.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "support/console.h"
#include "support/format.h"
#include "support/progress.h"

// The index is sent straight from memory as UTF-16LE.
static_assert(std::endian::native == std::endian::little);

namespace {

constexpr char16_t line_feed = u'\n';
// Initial size of the body count: the LF that ends the index.
constexpr std::uint64_t empty_body_bytes = 2;

// The bytes of the held files' data: the body count without the index and its closing LF.
std::uint64_t held_file_bytes(const upload_archive& archive) {
    return archive.body_bytes - empty_body_bytes - 2 * std::uint64_t{archive.index_length};
}

[[noreturn]] void out_of_memory() { fatal(u"not enough memory to build the archive"); }

template <class T>
T* grow_array(T* array, std::uint64_t entries) {
    if (entries > SIZE_MAX / sizeof(T)) return nullptr;
    return static_cast<T*>(std::realloc(array, static_cast<std::size_t>(entries) * sizeof(T)));
}

}  // namespace

void archive_init(upload_archive& archive) {
    archive = upload_archive{};
    archive.index = grow_array<char16_t>(nullptr, index_growth_units);
    archive.file_data = grow_array<unsigned char*>(nullptr, file_slots_growth);
    archive.file_sizes = grow_array<std::uint32_t>(nullptr, file_slots_growth);
    if (archive.index == nullptr || archive.file_data == nullptr || archive.file_sizes == nullptr) {
        out_of_memory();
    }
    archive.index_capacity = index_growth_units;
    archive.file_capacity = file_slots_growth;
    archive.body_bytes = empty_body_bytes;
}

bool archive_add_file_data(upload_archive& archive, std::uint32_t size, std::FILE* stream) {
    if (size > largest_archive_file) return false;
    if (archive.file_count == archive.file_capacity) {
        const std::uint64_t grown = std::uint64_t{archive.file_capacity} + file_slots_growth;
        if (grown > UINT32_MAX) out_of_memory();
        auto* data = grow_array(archive.file_data, grown);
        if (data == nullptr) out_of_memory();
        archive.file_data = data;
        auto* sizes = grow_array(archive.file_sizes, grown);
        if (sizes == nullptr) out_of_memory();
        archive.file_sizes = sizes;
        archive.file_capacity = static_cast<std::uint32_t>(grown);
    }
    // Every file's bytes are read straight into the one buffer they are sent from.
    unsigned char* buffer = file_buffer_allocate(size);
    if (buffer == nullptr) {
        print_message(u"not enough memory to hold a file, file ignored");
        return false;
    }
    std::uint32_t offset = 0;
    while (offset < size) {
        const std::size_t wanted = std::min<std::size_t>(size - offset, file_read_piece);
        const std::size_t got = std::fread(buffer + offset, 1, wanted, stream);
        if (got == 0) {
            print_message(u"filesize incorrect, file ignored");
            file_buffer_release(buffer, size);
            return false;
        }
        offset += static_cast<std::uint32_t>(got);
        progress_packed(archive.file_count, held_file_bytes(archive) + offset);
    }
    archive.file_data[archive.file_count] = buffer;
    archive.file_sizes[archive.file_count] = size;
    ++archive.file_count;
    archive.body_bytes += size;
    progress_packed(archive.file_count, held_file_bytes(archive));
    return true;
}

bool archive_add_index_entry(upload_archive& archive, std::uint32_t size, wide_view name) {
    if (size > largest_archive_file) return false;
    const std::uint64_t line_units = std::uint64_t{name.size()} + index_line_fixed_units;
    const std::uint64_t needed = archive.index_length + line_units;
    if (needed > archive.index_capacity) {
        // As many growth steps as the line needs: one step holds a name of up to 501 units.
        const std::uint64_t steps =
            (needed - archive.index_capacity + index_growth_units - 1) / index_growth_units;
        const std::uint64_t grown = archive.index_capacity + steps * index_growth_units;
        if (grown > UINT32_MAX) out_of_memory();
        auto* index = grow_array(archive.index, grown);
        if (index == nullptr) out_of_memory();
        archive.index = index;
        archive.index_capacity = static_cast<std::uint32_t>(grown);
    }
    const std::size_t line_capacity = static_cast<std::size_t>(line_units) + 1;
    std::unique_ptr<char16_t[]> line(new char16_t[line_capacity]);
    format_wide(line.get(), line_capacity, index_line_template, {size, name});
    std::memcpy(archive.index + archive.index_length, line.get(),
                static_cast<std::size_t>(line_units) * sizeof(char16_t));
    archive.index_length = static_cast<std::uint32_t>(needed);
    archive.body_bytes += 2 * line_units;
    return true;
}

bool archive_send(const upload_archive& archive, socket_handle socket) {
    if (!net_send_all(socket, archive.index, std::size_t{archive.index_length} * 2)) {
        fatal(u"connection error");
    }
    if (!net_send_all(socket, &line_feed, sizeof line_feed)) fatal(u"connection error");
    progress_sent(std::uint64_t{archive.index_length} * 2 + sizeof line_feed);
    for (std::uint32_t slot = 0; slot < archive.file_count; ++slot) {
        const unsigned char* data = archive.file_data[slot];
        const std::uint32_t size = archive.file_sizes[slot];
        std::uint32_t offset = 0;
        while (offset < size) {
            const std::size_t piece = std::min<std::size_t>(size - offset, file_send_piece);
            const long long sent = net_send(socket, data + offset, piece);
            if (sent <= 0) {
                print_message(u"send error");
                return false;
            }
            offset += static_cast<std::uint32_t>(sent);
            progress_sent(static_cast<std::uint64_t>(sent));
        }
    }
    return true;
}

void archive_release(upload_archive& archive) {
    for (std::uint32_t slot = 0; slot < archive.file_count; ++slot) {
        file_buffer_release(archive.file_data[slot], archive.file_sizes[slot]);
    }
    std::free(archive.file_data);
    std::free(archive.file_sizes);
    std::free(archive.index);
    archive = upload_archive{};
}
