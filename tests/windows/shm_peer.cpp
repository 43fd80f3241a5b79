// A second (third, ...) process for the cross-process segment tests: it claims or inspects slots of
// the segment named by LODRIN_SHM on the driver's command and answers one line per command on stdout.
//
//   shm_peer open                 report "open <shared> <header state>" and exit
//   shm_peer claim <id>           claim a slot, store instance id <id> (hex) and report
//                                 "claimed <index> <generation> <shared> <pid>", then serve stdin:
//     find <id>                   "found <index> <owner pid>" of the slot holding instance <id>, -1 0 if none
//     release                     release the slot, "released"
//     exit                        leave without releasing (as a process that ends abruptly would)
// End of input also leaves without releasing.
#include "shm.h"
#include "shm_port.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static void reply(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void reply(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
    fflush(stdout);
}

static void find_instance(uint64_t id) {
    for (int32_t i = 0; i < SHM_SLOT_COUNT; ++i) {
        const shm_slot* s = slot_by_index(i);
        if (s != nullptr && shm_load(s->instance_id) == id) {
            reply("found %d %u", static_cast<int>(i), shm_load(s->owner_pid));
            return;
        }
    }
    reply("found -1 0");
}

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "open") == 0) {
        slot_count(); // opens the segment
        const shm_header* h = shm_header_ptr();
        reply("open %d %u", shm_is_shared() ? 1 : 0, h != nullptr ? shm_load(h->state) : 0u);
        return 0;
    }
    if (argc < 3 || strcmp(argv[1], "claim") != 0) {
        fprintf(stderr, "usage: shm_peer open | claim <instance id>\n");
        return 2;
    }
    shm_slot* slot = slot_claim();
    if (slot == nullptr) {
        reply("claimed -1 0 0 0");
        return 1;
    }
    shm_store(slot->instance_id, static_cast<uint64_t>(strtoull(argv[2], nullptr, 16)));
    reply("claimed %d %u %d %d", static_cast<int>(slot_shared_index(slot)), shm_load(slot->generation),
          slot_is_shared(slot) ? 1 : 0, static_cast<int>(current_process_id()));

    char line[256];
    while (fgets(line, sizeof line, stdin) != nullptr) {
        if (strncmp(line, "find ", 5) == 0) {
            find_instance(strtoull(line + 5, nullptr, 16));
        } else if (strncmp(line, "release", 7) == 0) {
            slot_release(slot);
            slot = nullptr;
            reply("released");
        } else if (strncmp(line, "exit", 4) == 0) {
            return 0;
        }
    }
    return 0;
}
