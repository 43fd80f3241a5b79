// The Lodrin.clap module: everything lives in the core library; this unit only makes sure the linker
// keeps the entry it exports.
#include "clap/entry.h"

extern "C" const clap_plugin_entry* lodrin_module_entry() {
    return &clap_entry;
}
