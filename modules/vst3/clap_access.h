// A private interface of the wrapper's audio component: the CLAP plug-in object inside it, so that
// test tools reach the plug-in's private diagnostics extension through a VST3 module as they do
// through the CLAP module. Hosts never need it.
#pragma once

#include "clap/plugin.h"
#include "vst3_abi.h"

struct IClapAccess : vst3::FUnknown {
    static constexpr vst3::uid iid = vst3::make_uid(0x4C6F6472, 0x696E4341, 0x50416363, 0x65737331);
    // The CLAP plug-in behind this component (owned by the component, valid until its terminate), or
    // null before initialize. [main-thread]
    virtual const clap_plugin* VST3_API getClapPlugin() = 0;
};
