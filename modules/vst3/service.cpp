// The module's UI-thread service: one periodic tick on the host's UI thread that serves every live
// plug-in of the module at once. Every instance in a process shares the host's one UI thread, so the
// tick that one instance's host offers may serve them all; a host that offers a run loop only through
// the frame of an open editor (on Linux) thereby reaches the stages whose own editors are closed too.
//
// Sources: the run loops the module was given (a controller's host context, the factory's, the frame
// of an attached view), each offered by its owner and withdrawn by it before the loop may go. The
// first source still offered drives the tick; when it is withdrawn, the next one takes over. On
// Windows a source without a run loop stands for the UI thread itself, served by one thread timer of
// its message loop. With no source left the service stops, and the bridges fall back to what a host
// without a UI-thread tick gets (wrapper.h).
//
// Threads: every function here runs on the host's UI thread, as do the ticks.
#include <new>

#include "wrapper.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

using namespace vst3;

constexpr TimerInterval TICK_MS = 16;
constexpr uint32_t MAX_SOURCES = 256; // controllers and views of one process
constexpr uint32_t MAX_TICKED = 256;  // as many bridges as the module lists

struct source {
    const void* owner;
    IRunLoop* loop; // one reference held; null for the UI thread itself (Windows)
};

source sources[MAX_SOURCES];
uint32_t n_sources = 0;
IRunLoop* driving = nullptr; // the loop the tick is registered on (borrowed from a source), or null
bool in_tick = false;

void tick_all();

// The tick's handler on a host run loop: one static object, never freed.
struct service_timer final : ITimerHandler {
    tresult VST3_API queryInterface(const char* iid, void** obj) override {
        ITimerHandler* base = this;
        const wrapper_iface rows[] = {{&FUnknown::iid, base}, {&ITimerHandler::iid, base}};
        return wrapper_query(base, iid, obj, rows);
    }
    uint32 VST3_API addRef() override { return 1; }
    uint32 VST3_API release() override { return 1; }
    void VST3_API onTimer() override { tick_all(); }
};
service_timer timer_object;

#if defined(_WIN32)
UINT_PTR win_timer = 0;
void CALLBACK win_timer_proc(HWND, UINT, UINT_PTR, DWORD) {
    tick_all();
}
#endif

bool running() {
#if defined(_WIN32)
    if (win_timer) return true;
#endif
    return driving != nullptr;
}

void stop() {
    if (driving) driving->unregisterTimer(&timer_object);
    driving = nullptr;
#if defined(_WIN32)
    if (win_timer) KillTimer(nullptr, win_timer);
    win_timer = 0;
#endif
}

// Moves the tick to the first source that takes it, or stops it when none does.
void reselect() {
    const bool was = running();
    IRunLoop* want = nullptr;
    for (uint32_t i = 0; i < n_sources && !want; ++i)
        want = sources[i].loop;
#if defined(_WIN32)
    const bool keep = want ? want == driving : !driving && win_timer && n_sources > 0;
#else
    const bool keep = want && want == driving;
#endif
    if (!keep) {
        stop();
        for (uint32_t i = 0; i < n_sources && !driving; ++i)
            if (sources[i].loop && sources[i].loop->registerTimer(&timer_object, TICK_MS) == kResultOk)
                driving = sources[i].loop;
#if defined(_WIN32)
        // A thread timer fires on the thread that made it: sources are offered on the UI thread.
        if (!driving && n_sources > 0) win_timer = SetTimer(nullptr, 0, UINT(TICK_MS), win_timer_proc);
#endif
    }
    if (running() == was) return;
    wrapper_bridge_update_all_ticks();
    // The edits the plug-ins queued for the tick up to now still reach their hosts; from here on
    // their values leave through the processors' output parameter changes.
    if (was) tick_all();
}

// One tick for every live bridge: the one that owns it (its controller) serves it. A bridge is held
// while it is ticked, since a host may release objects from inside the calls the tick makes.
void tick_all() {
    if (in_tick) return; // a host's nested event loop inside one of the tick's calls
    in_tick = true;
    wrapper_bridge* held[MAX_TICKED];
    const uint32_t n = wrapper_bridges_retain(held, MAX_TICKED);
    for (uint32_t i = 0; i < n; ++i) {
        if (held[i]->tick) held[i]->tick(held[i]->tick_ctx);
        wrapper_bridge_release(held[i]);
    }
    in_tick = false;
}

} // namespace

void wrapper_service_offer(const void* owner, IRunLoop* loop) {
    if (!owner) return;
    uint32_t at = n_sources;
    for (uint32_t i = 0; i < n_sources; ++i)
        if (sources[i].owner == owner) at = i;
    if (at < n_sources && sources[at].loop == loop) return;
    if (at == n_sources) {
        if (n_sources == MAX_SOURCES) return;
        ++n_sources;
        sources[at].loop = nullptr;
    }
    if (loop) loop->addRef();
    IRunLoop* old = sources[at].loop;
    sources[at].owner = owner;
    sources[at].loop = loop;
    reselect();
    if (old) old->release(); // after reselect: the tick may have been registered on it
}

void wrapper_service_withdraw(const void* owner) {
    for (uint32_t i = 0; i < n_sources; ++i) {
        if (sources[i].owner != owner) continue;
        IRunLoop* old = sources[i].loop;
        for (uint32_t k = i + 1; k < n_sources; ++k)
            sources[k - 1] = sources[k];
        --n_sources;
        reselect();
        if (old) old->release();
        return;
    }
}

bool wrapper_service_running() {
    return running();
}
