// lodrin-host's VST3 driver: a VST3 bundle loaded as a VST3 host loads it (the binary in the bundle,
// its module entry and GetPluginFactory) and presented to the rest of the host as a CLAP module, so
// that every command and test drives the plug-in through the VST3 interfaces unchanged: factory,
// component and controller with their connection, setupProcessing, setActive, setProcessing, process
// with parameter queues, state through IBStream, the component handler's edits and restarts, the
// MIDI mapping, and the host's run loop for the plug-in's timers.
#pragma once

#include <cstddef>

#include "host.h"

// True when `path` names a VST3 bundle (a folder whose name ends in ".vst3"). [main-thread]
bool vst3_host_is_bundle(const char* path);

// Loads the bundle and fills m (entry null, factory = the driver's CLAP factory over the VST3 one,
// handle = the binary). False with a message in err; nothing stays loaded then. [main-thread]
bool vst3_host_load(host_module* m, const char* path, char* err, size_t err_cap);

// The module exit and the unload. [main-thread]
void vst3_host_unload(host_module* m);
