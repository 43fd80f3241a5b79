// Helpers shared by the chain-order tests: a segment of the test program's own, stages claimed in it,
// synthetic timing histories written through the process driver's ring writer, and stderr capture
// for the diagnostic lines.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "chain_order.h"
#include "platform.h"
#include "registry.h"
#include "shm.h"
#include "shm_port.h"
#include "timing.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

inline char chain_test_segment_name[96];

inline void chain_test_env_set(const char* name, const char* value) {
#if defined(_WIN32)
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

inline void chain_test_env_unset(const char* name) {
#if defined(_WIN32)
    _putenv_s(name, "");
#else
    unsetenv(name);
#endif
}

#if !defined(_WIN32)
inline void chain_test_unlink_segment() {
    platform_remove_mapping(chain_test_segment_name);
}
#endif

// Points LODRIN_SHM at a name unique to this program run, before the first claim opens the segment;
// on POSIX the object is unlinked when the program exits.
inline void chain_test_use_segment(const char* tag) {
    if (chain_test_segment_name[0] != '\0') return;
    std::snprintf(chain_test_segment_name, sizeof chain_test_segment_name, "lodrin-test-%s-%d", tag,
                  static_cast<int>(current_process_id()));
    chain_test_env_set("LODRIN_SHM", chain_test_segment_name);
#if !defined(_WIN32)
    std::atexit(chain_test_unlink_segment);
#endif
}

// Claims a slot as a stage would (under the registry lock) and gives it an id, Group and Stage.
inline shm_slot* chain_test_claim(uint64_t instance_id, int group, int stage = 0) {
    registry_lock();
    shm_slot* s = slot_claim();
    registry_unlock();
    if (s == nullptr) return nullptr;
    shm_store(s->instance_id, instance_id);
    shm_store(s->values[PARAM_GROUP], static_cast<double>(group));
    shm_store(s->values[PARAM_STAGE], static_cast<double>(stage));
    return s;
}

inline void chain_test_release(shm_slot* s) {
    registry_lock();
    slot_release(s);
    registry_unlock();
}

// Writes each record as one completed process call, exactly as the process driver does.
inline void chain_test_write_calls(shm_slot* s, const std::vector<timing_record>& calls) {
    for (const timing_record& r : calls) {
        const uint32_t c = slot_timing_begin(s, r.start, r.steady);
        slot_timing_end(s, c, r.end);
    }
}

// Calls of a stage that runs `offset_ns` into each of `blocks` host blocks of `period_ns`, lasting
// `duration_ns`, the last block beginning at `last_block_ns`. `steady_step` > 0 gives each call the
// block's steady time (block index x step + steady_base), else -1.
inline std::vector<timing_record> chain_test_calls(int blocks, int64_t last_block_ns, int64_t period_ns,
                                                   int64_t offset_ns, int64_t duration_ns,
                                                   int64_t steady_step = 0, int64_t steady_base = 0) {
    std::vector<timing_record> v;
    for (int k = 0; k < blocks; ++k) {
        const int64_t block = last_block_ns - static_cast<int64_t>(blocks - 1 - k) * period_ns;
        const int64_t steady = steady_step > 0 ? steady_base + k * steady_step : -1;
        v.push_back({block + offset_ns, block + offset_ns + duration_ns, steady});
    }
    return v;
}

// Captures what is written to the standard error stream between construction and text().
class stderr_capture {
  public:
    stderr_capture() {
        std::fflush(stderr);
        file_ = std::tmpfile();
        saved_ = dup(fileno(stderr));
        dup2(fileno(file_), fileno(stderr));
    }
    ~stderr_capture() {
        restore();
        if (file_ != nullptr) std::fclose(file_);
    }
    stderr_capture(const stderr_capture&) = delete;
    stderr_capture& operator=(const stderr_capture&) = delete;
    std::string text() {
        restore();
        std::string out;
        std::rewind(file_);
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0)
            out.append(buf, n);
        return out;
    }

  private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        dup2(saved_, fileno(stderr));
        close(saved_);
        saved_ = -1;
    }
    std::FILE* file_ = nullptr;
    int saved_ = -1;
};

inline int chain_test_count_lines(const std::string& text, const char* prefix) {
    int n = 0;
    size_t pos = 0;
    const size_t len = std::strlen(prefix);
    while (pos < text.size()) {
        const size_t eol = text.find('\n', pos);
        const size_t end = eol == std::string::npos ? text.size() : eol;
        if (end - pos >= len && text.compare(pos, len, prefix) == 0) ++n;
        pos = end + 1;
    }
    return n;
}
