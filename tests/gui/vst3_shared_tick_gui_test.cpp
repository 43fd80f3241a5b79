// Guards the one editor for a whole chain in a VST3 host that offers its run loop only through the
// frame of an open editor (as Ardour does): an edit made for a stage whose own editor is closed must
// reach that stage's host as beginEdit / performEdit / endEdit on the host's UI thread, and a new
// Lookahead as a restart in place followed by kLatencyChanged, served by the tick of whichever
// editor of the module is open. Closing that editor hands the service to another open one; with
// none left, the stage's values go back to the processor's output parameter changes.
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "edit_queue.h"
#include "host_os.h"
#include "params.h"
#include "registry.h"
#include "shm.h"
#include "vst3_abi.h"
#include "wait_until.h"

// Last: Xlib's macros would rename what the headers above declare.
#include <X11/Xlib.h>

using namespace vst3;

namespace {

typedef IPluginFactory*(VST3_API* get_factory_fn)();
typedef bool (*entry_fn)(void*);

// What the issue of an edit allows: a few ticks of a loaded host, well inside a user's patience.
constexpr double kServeSeconds = 2.0;

// A host run loop, pumped by the test's main thread (the host's UI thread).
class run_loop final : public IRunLoop {
  public:
    struct timer {
        ITimerHandler* h;
        std::chrono::milliseconds every;
        std::chrono::steady_clock::time_point due;
    };
    std::vector<timer> timers;
    std::vector<std::pair<IEventHandler*, int>> fds;

    tresult VST3_API queryInterface(const char* iid, void** obj) override {
        if (uid_equal(iid, FUnknown::iid) || uid_equal(iid, IRunLoop::iid)) {
            *obj = static_cast<IRunLoop*>(this);
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    uint32 VST3_API addRef() override { return 1; }
    uint32 VST3_API release() override { return 1; }
    tresult VST3_API registerEventHandler(IEventHandler* h, FileDescriptor fd) override {
        fds.emplace_back(h, fd);
        return kResultOk;
    }
    tresult VST3_API unregisterEventHandler(IEventHandler* h) override {
        for (size_t i = fds.size(); i-- > 0;)
            if (fds[i].first == h) fds.erase(fds.begin() + long(i));
        return kResultOk;
    }
    tresult VST3_API registerTimer(ITimerHandler* h, TimerInterval ms) override {
        const auto every = std::chrono::milliseconds(ms ? ms : 1);
        timers.push_back({h, every, std::chrono::steady_clock::now() + every});
        return kResultOk;
    }
    tresult VST3_API unregisterTimer(ITimerHandler* h) override {
        for (size_t i = timers.size(); i-- > 0;)
            if (timers[i].h == h) timers.erase(timers.begin() + long(i));
        return kResultOk;
    }
    // One pass: every readable descriptor, every timer that is due (a handler may unregister
    // itself or others meanwhile, so each is looked up again before it is called).
    void pump() {
        for (auto f : std::vector<std::pair<IEventHandler*, int>>(fds)) {
            pollfd p{f.second, POLLIN, 0};
            if (poll(&p, 1, 0) == 1) f.first->onFDIsSet(f.second);
        }
        const auto now = std::chrono::steady_clock::now();
        std::vector<ITimerHandler*> due;
        for (auto& t : timers)
            if (t.due <= now) {
                due.push_back(t.h);
                t.due = now + t.every;
            }
        for (ITimerHandler* h : due)
            for (auto& t : timers)
                if (t.h == h) {
                    h->onTimer();
                    break;
                }
    }
};

// The frame of one editor window: it answers the host's run loop, as Ardour's does.
class plug_frame final : public IPlugFrame {
  public:
    run_loop* loop = nullptr;
    tresult VST3_API queryInterface(const char* iid, void** obj) override {
        void* p = nullptr;
        if (uid_equal(iid, FUnknown::iid) || uid_equal(iid, IPlugFrame::iid))
            p = static_cast<IPlugFrame*>(this);
        else if (uid_equal(iid, IRunLoop::iid) && loop)
            p = static_cast<IRunLoop*>(loop);
        *obj = p;
        return p ? kResultOk : kNoInterface;
    }
    uint32 VST3_API addRef() override { return 1; }
    uint32 VST3_API release() override { return 1; }
    tresult VST3_API resizeView(IPlugView*, ViewRect*) override { return kResultOk; }
};

// The host's application context: no run loop of its own (a host that has one only per window).
class host_context final : public IHostApplication {
  public:
    tresult VST3_API queryInterface(const char* iid, void** obj) override {
        if (uid_equal(iid, FUnknown::iid) || uid_equal(iid, IHostApplication::iid)) {
            *obj = static_cast<IHostApplication*>(this);
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    uint32 VST3_API addRef() override { return 1; }
    uint32 VST3_API release() override { return 1; }
    tresult VST3_API getName(char16* n) override {
        n[0] = 0;
        return kResultOk;
    }
    tresult VST3_API createInstance(char*, char*, void** obj) override {
        *obj = nullptr;
        return kNotImplemented;
    }
};

// One stage's component handler: what it is told, and on which thread.
class handler final : public IComponentHandler {
  public:
    IAudioProcessor* proc = nullptr;
    std::thread::id ui_thread;
    std::vector<std::string> calls;
    uint32 latency_at_restart = 0;
    int wrong_thread = 0;

    tresult VST3_API queryInterface(const char* iid, void** obj) override {
        if (uid_equal(iid, FUnknown::iid) || uid_equal(iid, IComponentHandler::iid)) {
            *obj = static_cast<IComponentHandler*>(this);
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    uint32 VST3_API addRef() override { return 1; }
    uint32 VST3_API release() override { return 1; }
    void note(const std::string& s) {
        if (std::this_thread::get_id() != ui_thread) ++wrong_thread;
        calls.push_back(s);
    }
    tresult VST3_API beginEdit(ParamID id) override {
        note("begin " + std::to_string(id));
        return kResultOk;
    }
    tresult VST3_API performEdit(ParamID id, ParamValue v) override {
        char s[64];
        std::snprintf(s, sizeof(s), "perform %u %.4f", id, v);
        note(s);
        return kResultOk;
    }
    tresult VST3_API endEdit(ParamID id) override {
        note("end " + std::to_string(id));
        return kResultOk;
    }
    tresult VST3_API restartComponent(int32 flags) override {
        // A host answers kLatencyChanged by reading the latency again (Ardour does no more).
        if (flags & kLatencyChanged) latency_at_restart = proc->getLatencySamples();
        note("restart " + std::to_string(flags));
        return kResultOk;
    }
    bool has(const std::string& s) const {
        for (auto& c : calls)
            if (c == s) return true;
        return false;
    }
    std::string all() const {
        std::string o;
        for (auto& c : calls) o += c + "; ";
        return o.empty() ? "nothing" : o;
    }
};

// A host's output parameter changes of one block, kept by the audio thread: the last point of each
// parameter it ever got.
class out_changes final : public IParameterChanges {
  public:
    struct queue final : IParamValueQueue {
        ParamID id = 0;
        ParamValue last = -1;
        tresult VST3_API queryInterface(const char*, void** obj) override {
            *obj = nullptr;
            return kNoInterface;
        }
        uint32 VST3_API addRef() override { return 1; }
        uint32 VST3_API release() override { return 1; }
        ParamID VST3_API getParameterId() override { return id; }
        int32 VST3_API getPointCount() override { return 0; }
        tresult VST3_API getPoint(int32, int32*, ParamValue*) override { return kResultFalse; }
        tresult VST3_API addPoint(int32, ParamValue v, int32* index) override {
            last = v;
            if (index) *index = 0;
            return kResultOk;
        }
    };
    queue queues[32];
    int32 n = 0;
    std::mutex lock; // the audio thread writes, the test reads
    tresult VST3_API queryInterface(const char*, void** obj) override {
        *obj = nullptr;
        return kNoInterface;
    }
    uint32 VST3_API addRef() override { return 1; }
    uint32 VST3_API release() override { return 1; }
    int32 VST3_API getParameterCount() override { return 0; }
    IParamValueQueue* VST3_API getParameterData(int32) override { return nullptr; }
    IParamValueQueue* VST3_API addParameterData(const ParamID* id, int32* index) override {
        *index = 0;
        for (int32 i = 0; i < n; ++i)
            if (queues[i].id == *id) return &queues[i];
        if (n == 32) return nullptr;
        queues[n].id = *id;
        return &queues[n++];
    }
    ParamValue last(ParamID id) {
        std::lock_guard<std::mutex> g(lock);
        for (int32 i = 0; i < n; ++i)
            if (queues[i].id == id) return queues[i].last;
        return -1;
    }
};

struct stage {
    IComponent* comp = nullptr;
    IAudioProcessor* proc = nullptr;
    IEditController* ctrl = nullptr;
    IConnectionPoint *comp_cp = nullptr, *ctrl_cp = nullptr;
    handler h;
    out_changes out;
    shm_slot* slot = nullptr;
};

// Release as the host normalises it (a linear range of 5..2000 ms).
double release_norm(double ms) {
    return (ms - 5.0) / (2000.0 - 5.0);
}
std::string perform_release(double ms) {
    char s[64];
    std::snprintf(s, sizeof(s), "perform 4 %.4f", release_norm(ms));
    return s;
}

class shared_tick : public ::testing::Test {
  protected:
    void* lib = nullptr;
    IPluginFactory* factory = nullptr;
    Display* d = nullptr;
    host_context context;
    stage stages[3];
    std::thread audio;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> blocks{0};

    void SetUp() override {
        d = XOpenDisplay(nullptr);
        ASSERT_NE(d, nullptr);
        char err[512];
        lib = host_os_module_open((std::string(LODRIN_TEST_VST3) + "/Contents/x86_64-linux/Lodrin.so").c_str(), err,
                                  sizeof(err));
        ASSERT_NE(lib, nullptr) << err;
        auto entry = reinterpret_cast<entry_fn>(host_os_module_symbol(lib, "ModuleEntry"));
        auto get = reinterpret_cast<get_factory_fn>(host_os_module_symbol(lib, "GetPluginFactory"));
        ASSERT_TRUE(entry && get && entry(lib));
        factory = get();
        ASSERT_NE(factory, nullptr);
        PClassInfo ci[2]{};
        factory->getClassInfo(0, &ci[0]);
        factory->getClassInfo(1, &ci[1]);
        registry_lock();
        shm_open();
        registry_unlock();
        for (stage& s : stages) {
            void* obj = nullptr;
            ASSERT_EQ(factory->createInstance(ci[0].cid, IComponent::iid.bytes(), &obj), kResultOk);
            s.comp = static_cast<IComponent*>(obj);
            ASSERT_EQ(factory->createInstance(ci[1].cid, IEditController::iid.bytes(), &obj), kResultOk);
            s.ctrl = static_cast<IEditController*>(obj);
            ASSERT_EQ(s.comp->initialize(&context), kResultOk);
            ASSERT_EQ(s.ctrl->initialize(&context), kResultOk);
            s.proc = query<IAudioProcessor>(s.comp);
            s.comp_cp = query<IConnectionPoint>(s.comp);
            s.ctrl_cp = query<IConnectionPoint>(s.ctrl);
            ASSERT_EQ(s.comp_cp->connect(s.ctrl_cp), kResultOk);
            ASSERT_EQ(s.ctrl_cp->connect(s.comp_cp), kResultOk);
            s.h.proc = s.proc;
            s.h.ui_thread = std::this_thread::get_id();
            ASSERT_EQ(s.ctrl->setComponentHandler(&s.h), kResultOk);
            ProcessSetup setup{kRealtime, kSample32, 256, 48000.0};
            ASSERT_EQ(s.proc->setupProcessing(&setup), kResultOk);
            ASSERT_EQ(s.comp->setActive(1), kResultOk);
            ASSERT_EQ(s.proc->setProcessing(1), kResultOk);
            ASSERT_EQ(s.proc->getLatencySamples(), 80u);
            s.slot = slot_of(s.comp);
            ASSERT_NE(s.slot, nullptr);
        }
        // One audio thread runs the three stages in series, block after block, a little faster
        // than real time.
        audio = std::thread([this] {
            constexpr int32 N = 256;
            std::vector<float> l(N), r(N);
            for (uint64_t k = 0; !stop.load(); ++k) {
                for (stage& s : stages) {
                    for (int32 i = 0; i < N; ++i)
                        l[size_t(i)] = r[size_t(i)] = 0.25f * float(((k * N + uint64_t(i)) % 97)) / 97.0f;
                    float* ch[2] = {l.data(), r.data()};
                    AudioBusBuffers in{2, 0, {ch}}, out{2, 0, {ch}};
                    ProcessData pd{};
                    pd.symbolicSampleSize = kSample32;
                    pd.numSamples = N;
                    pd.numInputs = pd.numOutputs = 1;
                    pd.inputs = &in;
                    pd.outputs = &out;
                    std::lock_guard<std::mutex> g(s.out.lock);
                    pd.outputParameterChanges = &s.out;
                    s.proc->process(&pd);
                }
                blocks.fetch_add(1);
                usleep(2000);
            }
        });
    }
    void TearDown() override {
        stop.store(true);
        if (audio.joinable()) audio.join();
        for (stage& s : stages) {
            if (s.proc) {
                s.proc->setProcessing(0);
                s.comp->setActive(0);
                s.proc->release();
            }
            if (s.comp_cp && s.ctrl_cp) {
                s.comp_cp->disconnect(s.ctrl_cp);
                s.ctrl_cp->disconnect(s.comp_cp);
            }
            if (s.comp_cp) s.comp_cp->release();
            if (s.ctrl_cp) s.ctrl_cp->release();
            if (s.ctrl) {
                s.ctrl->terminate();
                s.ctrl->release();
            }
            if (s.comp) {
                s.comp->terminate();
                s.comp->release();
            }
        }
        if (factory) factory->release();
        if (lib) {
            if (auto quit = reinterpret_cast<bool (*)()>(host_os_module_symbol(lib, "ModuleExit"))) quit();
            host_os_module_close(lib);
        }
        if (d) XCloseDisplay(d);
    }

    // The component's stage in the segment, found by the instance id in its state.
    static shm_slot* slot_of(IComponent* comp) {
        struct sink final : IBStream {
            std::vector<uint8_t> data;
            tresult VST3_API queryInterface(const char*, void** obj) override {
                *obj = nullptr;
                return kNoInterface;
            }
            uint32 VST3_API addRef() override { return 1; }
            uint32 VST3_API release() override { return 1; }
            tresult VST3_API read(void*, int32, int32* n) override {
                if (n) *n = 0;
                return kResultFalse;
            }
            tresult VST3_API write(void* b, int32 n, int32* w) override {
                data.insert(data.end(), static_cast<uint8_t*>(b), static_cast<uint8_t*>(b) + n);
                if (w) *w = n;
                return kResultOk;
            }
            tresult VST3_API seek(int64, int32, int64* r) override {
                if (r) *r = int64(data.size());
                return kResultOk;
            }
            tresult VST3_API tell(int64* r) override {
                if (r) *r = int64(data.size());
                return kResultOk;
            }
        } st;
        if (comp->getState(&st) != kResultOk || st.data.size() < 16) return nullptr;
        uint64_t iid = 0;
        std::memcpy(&iid, st.data.data() + 8, 8);
        for (int32_t i = 0; i < SHM_SLOT_COUNT; ++i) {
            shm_slot* s = slot_by_index(i);
            if (s && shm_load(s->in_use) == 1 && shm_load(s->instance_id) == iid) return s;
        }
        return nullptr;
    }

    Window host_window() {
        Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 960, 600, 0, 0, 0);
        XMapWindow(d, w);
        XSync(d, False);
        return w;
    }
    // A view of stage i in a window of its own, with a frame that answers `loop`.
    IPlugView* open_view(int i, plug_frame& frame, Window w) {
        IPlugView* v = stages[i].ctrl->createView(kEditor);
        EXPECT_NE(v, nullptr);
        if (!v) return nullptr;
        EXPECT_EQ(v->setFrame(&frame), kResultOk);
        EXPECT_EQ(v->attached(reinterpret_cast<void*>(uintptr_t(w)), kPlatformTypeX11EmbedWindowID), kResultOk);
        return v;
    }
    static void close_view(IPlugView* v) {
        v->removed();
        v->setFrame(nullptr);
        v->release();
    }
    // Another editor's edit of stage 3's Release (and Lookahead), written from a second thread.
    void edit_stage3(double release_ms, double lookahead_ms = 0) {
        shm_slot* slot = stages[2].slot;
        std::thread([=] {
            slot_begin_gesture(slot, PARAM_RELEASE);
            slot_set_value(slot, PARAM_RELEASE, release_ms);
            slot_end_gesture(slot, PARAM_RELEASE);
            if (lookahead_ms > 0) slot_set_value(slot, PARAM_LOOKAHEAD, lookahead_ms);
        }).join();
    }
    // Pumps the loops (the host's UI thread) until done() holds or the bound passes.
    testing::AssertionResult serve(std::vector<run_loop*> loops, const std::function<bool()>& done, double seconds,
                                   const std::function<std::string()>& describe) {
        return wait_until(done, seconds, describe, [&] {
            for (run_loop* l : loops) l->pump();
            usleep(1000);
        });
    }
};

} // namespace

TEST_F(shared_tick, one_open_editor_serves_every_stage_and_hands_over_when_it_closes) {
    run_loop loop1, loop2;
    plug_frame frame1, frame2;
    frame1.loop = &loop1;
    frame2.loop = &loop2;
    handler& h3 = stages[2].h;

    // Stage 1's editor open; stage 3 edited from elsewhere.
    Window w1 = host_window();
    IPlugView* v1 = open_view(0, frame1, w1);
    ASSERT_NE(v1, nullptr);
    edit_stage3(1000.0, 5.0);
    EXPECT_TRUE(serve(
        {&loop1}, [&] { return h3.has(perform_release(1000.0)) && h3.has("restart 8"); }, kServeSeconds,
        [&] { return "stage 3's host heard " + h3.all(); }));
    EXPECT_TRUE(h3.has("begin 4") && h3.has("end 4")) << h3.all();
    EXPECT_EQ(h3.wrong_thread, 0) << "every call on the host's UI thread";
    EXPECT_EQ(h3.latency_at_restart, 248u) << "5 ms at 48 kHz and the engine's 8, when the host reads it";
    EXPECT_EQ(stages[2].proc->getLatencySamples(), 248u);
    EXPECT_EQ(stages[1].h.calls.size(), 0u) << "stage 2 was not edited: " << stages[1].h.all();

    // Stage 2's editor opens, stage 1's closes: stage 2's frame takes over.
    Window w2 = host_window();
    IPlugView* v2 = open_view(1, frame2, w2);
    ASSERT_NE(v2, nullptr);
    close_view(v1);
    EXPECT_TRUE(loop1.timers.empty()) << "nothing left on the closed editor's loop";
    h3.calls.clear();
    edit_stage3(500.0);
    EXPECT_TRUE(serve(
        {&loop1, &loop2}, [&] { return h3.has(perform_release(500.0)); }, kServeSeconds,
        [&] { return "stage 3's host heard " + h3.all(); }));

    // No editor left: the values leave through stage 3's output parameter changes again, and its
    // host's handler hears nothing.
    close_view(v2);
    EXPECT_TRUE(loop2.timers.empty());
    h3.calls.clear();
    edit_stage3(250.0);
    EXPECT_TRUE(serve(
        {&loop1, &loop2}, [&] { return std::fabs(stages[2].out.last(4) - release_norm(250.0)) < 1e-9; },
        kWaitSeconds, [&] { return "stage 3's output changes: Release " + std::to_string(stages[2].out.last(4)); }));
    EXPECT_EQ(h3.all(), "nothing");
    XDestroyWindow(d, w1);
    XDestroyWindow(d, w2);
    XSync(d, False);
}
