// The real stand-in gallery server (nexivane-gallery) as a child process on a free port.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct stand_in_gallery {
    pid_t pid = -1;
    int output_fd = -1;
    std::string address;  // "127.0.0.1:<port>"

    // Starts the server on port 0 with its storage in `storage`; throws when it does not come up.
    stand_in_gallery(const std::string& storage, const std::vector<std::string>& extra = {});
    ~stand_in_gallery();
    stand_in_gallery(const stand_in_gallery&) = delete;
    stand_in_gallery& operator=(const stand_in_gallery&) = delete;
};

std::string stand_in_gallery_executable();
