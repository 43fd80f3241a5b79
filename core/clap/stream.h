// Byte streams handed to clap_plugin_state.save / load. Both may move fewer bytes than asked per call;
// the reader loops until it has what it wants or the stream ends.
#pragma once

#include <cstdint>

struct clap_istream {
    void* ctx; // reserved pointer for the stream

    // Reads up to size bytes into buffer. Returns the number of bytes read, 0 at the end of the
    // stream, -1 on an error.
    int64_t (*read)(const clap_istream* stream, void* buffer, uint64_t size);
};

struct clap_ostream {
    void* ctx; // reserved pointer for the stream

    // Writes up to size bytes from buffer. Returns the number of bytes written, -1 on an error.
    int64_t (*write)(const clap_ostream* stream, const void* buffer, uint64_t size);
};
