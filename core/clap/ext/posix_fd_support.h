// clap.posix-fd-support: the host's event loop watches file descriptors for the plug-in.
#pragma once

#include <cstdint>

#include "../host.h"
#include "../plugin.h"

inline constexpr char CLAP_EXT_POSIX_FD_SUPPORT[] = "clap.posix-fd-support";

typedef uint32_t clap_posix_fd_flags;
inline constexpr clap_posix_fd_flags CLAP_POSIX_FD_READ = 1u << 0;
inline constexpr clap_posix_fd_flags CLAP_POSIX_FD_WRITE = 1u << 1;
inline constexpr clap_posix_fd_flags CLAP_POSIX_FD_ERROR = 1u << 2;

struct clap_plugin_posix_fd_support {
    // fd became ready as flags say. [main-thread]
    void (*on_fd)(const clap_plugin* plugin, int fd, clap_posix_fd_flags flags);
};

struct clap_host_posix_fd_support {
    // Starts watching fd for flags. [main-thread]
    bool (*register_fd)(const clap_host* host, int fd, clap_posix_fd_flags flags);

    // Changes the flags watched for fd. [main-thread]
    bool (*modify_fd)(const clap_host* host, int fd, clap_posix_fd_flags flags);

    // Stops watching fd. [main-thread]
    bool (*unregister_fd)(const clap_host* host, int fd);
};
