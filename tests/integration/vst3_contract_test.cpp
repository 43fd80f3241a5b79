// Guards Lodrin.vst3 against what a VST3 host may do to it, called straight through the VST3
// interfaces: a factory with its two classes and stable ids; bad input (null pointers, unknown ids
// and classes, out-of-range values, hostile state streams, calls in the wrong order) answered with
// result codes and no crash; the 17 parameters with their VST3 details; parameter queues and
// controller-number mapping reaching the plug-in; an editor's edits reaching the host's component
// handler on its run-loop timer; a latency change that the plug-in takes in with a restart in place
// before the host hears of it, so that the latency the host reads is the delay the audio has, also
// while the host's audio thread runs on; a connection through proxies, where the plug-in travels in
// a message and forged messages are refused; and repeated terminate/initialize cycles.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "clap_access.h"
#include "edit_queue.h"
#include "integration.h"
#include "params.h"
#include "registry.h"
#include "shm.h"
#include "vst3_abi.h"

#if defined(_WIN32)
#include <windows.h>
#endif

using namespace vst3;

namespace {

constexpr ParamID CC_PARAM_BASE = 0x00100000; // the hidden parameters the controllers map onto

typedef IPluginFactory*(VST3_API* get_factory_fn)();
#if defined(_WIN32)
typedef bool(VST3_API* entry_fn)();
typedef bool(VST3_API* exit_fn)();
constexpr char BINARY[] = "/Contents/x86_64-win/Lodrin.vst3";
constexpr char ENTRY[] = "InitDll";
constexpr char EXIT[] = "ExitDll";
#else
typedef bool (*entry_fn)(void*);
typedef bool (*exit_fn)();
constexpr char BINARY[] = "/Contents/x86_64-linux/Lodrin.so";
constexpr char ENTRY[] = "ModuleEntry";
constexpr char EXIT[] = "ModuleExit";
#endif

std::string cid_text(const char* b) {
    uint32_t w[4];
    uid_words(reinterpret_cast<const uint8_t*>(b), w);
    char s[40];
    std::snprintf(s, sizeof(s), "%08X%08X%08X%08X", w[0], w[1], w[2], w[3]);
    return s;
}

std::string text8(const char16* s) {
    std::string o;
    for (; *s; ++s) o.push_back(char(*s));
    return o;
}

// A byte stream with the faults a host's stream may have.
class test_stream final : public IBStream {
  public:
    std::vector<uint8_t> data;
    size_t pos = 0;
    bool fail_reads = false;   // read answers an error
    bool overstate = false;    // read reports more bytes than asked for
    int32 max_per_read = 0;    // 0: no limit

    tresult VST3_API queryInterface(const char*, void** obj) override {
        if (obj) *obj = nullptr;
        return kNoInterface;
    }
    uint32 VST3_API addRef() override { return 1; }
    uint32 VST3_API release() override { return 1; }
    tresult VST3_API read(void* buf, int32 n, int32* got) override {
        if (fail_reads) return kInternalError;
        int32 k = int32(std::min<size_t>(size_t(n), data.size() - pos));
        if (max_per_read && k > max_per_read) k = max_per_read;
        if (k > 0) std::memcpy(buf, data.data() + pos, size_t(k));
        pos += size_t(k);
        if (got) *got = overstate ? n + 100 : k;
        return kResultOk;
    }
    tresult VST3_API write(void* buf, int32 n, int32* put) override {
        data.insert(data.end(), static_cast<uint8_t*>(buf), static_cast<uint8_t*>(buf) + n);
        if (put) *put = n;
        return kResultOk;
    }
    tresult VST3_API seek(int64 p, int32, int64* r) override {
        pos = size_t(p);
        if (r) *r = p;
        return kResultOk;
    }
    tresult VST3_API tell(int64* p) override {
        if (p) *p = int64(pos);
        return kResultOk;
    }
};

// One queue of one parameter.
class one_queue final : public IParamValueQueue, public IParameterChanges {
  public:
    ParamID id = 0;
    std::vector<std::pair<int32, double>> points;

    tresult VST3_API queryInterface(const char*, void** obj) override {
        if (obj) *obj = nullptr;
        return kNoInterface;
    }
    uint32 VST3_API addRef() override { return 1; }
    uint32 VST3_API release() override { return 1; }
    ParamID VST3_API getParameterId() override { return id; }
    int32 VST3_API getPointCount() override { return int32(points.size()); }
    tresult VST3_API getPoint(int32 i, int32* off, ParamValue* v) override {
        if (i < 0 || i >= int32(points.size())) return kInvalidArgument;
        *off = points[size_t(i)].first;
        *v = points[size_t(i)].second;
        return kResultOk;
    }
    tresult VST3_API addPoint(int32, ParamValue, int32*) override { return kResultFalse; }
    int32 VST3_API getParameterCount() override { return points.empty() ? 0 : 1; }
    IParamValueQueue* VST3_API getParameterData(int32 i) override { return i == 0 ? this : nullptr; }
    IParamValueQueue* VST3_API addParameterData(const ParamID*, int32*) override { return nullptr; }
};

// A host's message with its attribute list (integers only: all the module sends).
class test_message final : public IMessage, public IAttributeList {
  public:
    std::atomic<uint32> refs{1};
    std::string id;
    std::vector<std::pair<std::string, int64>> ints;

    tresult VST3_API queryInterface(const char*, void** obj) override {
        *obj = nullptr;
        return kNoInterface;
    }
    uint32 VST3_API addRef() override { return ++refs; }
    uint32 VST3_API release() override {
        uint32 n = --refs;
        if (n == 0) delete this;
        return n;
    }
    FIDString VST3_API getMessageID() override { return id.c_str(); }
    void VST3_API setMessageID(FIDString m) override { id = m ? m : ""; }
    IAttributeList* VST3_API getAttributes() override { return this; }
    tresult VST3_API setInt(const char* k, int64 v) override {
        ints.emplace_back(k, v);
        return kResultOk;
    }
    tresult VST3_API getInt(const char* k, int64* v) override {
        for (auto& e : ints)
            if (e.first == k) {
                *v = e.second;
                return kResultOk;
            }
        return kResultFalse;
    }
    tresult VST3_API setFloat(const char*, double) override { return kResultFalse; }
    tresult VST3_API getFloat(const char*, double*) override { return kResultFalse; }
    tresult VST3_API setString(const char*, const TChar*) override { return kResultFalse; }
    tresult VST3_API getString(const char*, TChar*, uint32) override { return kResultFalse; }
    tresult VST3_API setBinary(const char*, const void*, uint32) override { return kResultFalse; }
    tresult VST3_API getBinary(const char*, const void**, uint32*) override { return kResultFalse; }
};

// A host's output parameter changes of one block: what the processor reports, as "id value" lines.
class out_changes final : public IParameterChanges {
  public:
    struct queue final : IParamValueQueue {
        ParamID id = 0;
        std::vector<std::pair<int32, double>> points;
        tresult VST3_API queryInterface(const char*, void** obj) override {
            *obj = nullptr;
            return kNoInterface;
        }
        uint32 VST3_API addRef() override { return 1; }
        uint32 VST3_API release() override { return 1; }
        ParamID VST3_API getParameterId() override { return id; }
        int32 VST3_API getPointCount() override { return int32(points.size()); }
        tresult VST3_API getPoint(int32, int32*, ParamValue*) override { return kResultFalse; }
        tresult VST3_API addPoint(int32 off, ParamValue v, int32* index) override {
            points.emplace_back(off, v);
            if (index) *index = int32(points.size()) - 1;
            return kResultOk;
        }
    };
    queue queues[8];
    int32 n = 0;

    tresult VST3_API queryInterface(const char*, void** obj) override {
        *obj = nullptr;
        return kNoInterface;
    }
    uint32 VST3_API addRef() override { return 1; }
    uint32 VST3_API release() override { return 1; }
    int32 VST3_API getParameterCount() override { return n; }
    IParamValueQueue* VST3_API getParameterData(int32 i) override { return i >= 0 && i < n ? &queues[i] : nullptr; }
    IParamValueQueue* VST3_API addParameterData(const ParamID* id, int32* index) override {
        for (int32 i = 0; i < n; ++i)
            if (queues[i].id == *id) {
                *index = i;
                return &queues[i];
            }
        if (n == 8) return nullptr;
        queues[n].id = *id;
        queues[n].points.clear();
        *index = n;
        return &queues[n++];
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> o;
        for (int32 i = 0; i < n; ++i)
            for (auto& p : queues[i].points) {
                char s[64];
                std::snprintf(s, sizeof(s), "%u %.6f", queues[i].id, p.second);
                o.push_back(s);
            }
        return o;
    }
};

// Where the value of parameter `id` sits in a saved state's list (0 when it is not there).
size_t value_offset(const std::vector<uint8_t>& st, uint32_t id) {
    uint32_t n = 0;
    std::memcpy(&n, st.data() + 16, 4);
    for (size_t k = 0, at = 20; k < n && at + 12 <= st.size(); ++k, at += 12) {
        uint32_t got = 0;
        std::memcpy(&got, st.data() + at, 4);
        if (got == id) return at + 4;
    }
    return 0;
}

// What a host may put between component and controller: it forwards messages and hides the peer.
class proxy_point final : public IConnectionPoint {
  public:
    IConnectionPoint* target = nullptr;
    tresult VST3_API queryInterface(const char* iid, void** obj) override {
        if (uid_equal(iid, FUnknown::iid) || uid_equal(iid, IConnectionPoint::iid)) {
            *obj = static_cast<IConnectionPoint*>(this);
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    uint32 VST3_API addRef() override { return 1; }
    uint32 VST3_API release() override { return 1; }
    tresult VST3_API connect(IConnectionPoint*) override { return kResultOk; }
    tresult VST3_API disconnect(IConnectionPoint*) override { return kResultOk; }
    tresult VST3_API notify(IMessage* m) override { return target ? target->notify(m) : kResultFalse; }
};

// The host: application context with a run loop whose timers the test fires, and a component
// handler that records what it is told.
class test_host final : public IHostApplication, public IRunLoop, public IComponentHandler {
  public:
    std::vector<ITimerHandler*> timers;
    std::vector<std::string> calls;
    bool offer_run_loop = true; // false: a host such as a headless one, with no run loop at all

    tresult VST3_API queryInterface(const char* iid, void** obj) override {
        void* p = nullptr;
        if (uid_equal(iid, FUnknown::iid) || uid_equal(iid, IHostApplication::iid))
            p = static_cast<IHostApplication*>(this);
        else if (uid_equal(iid, IRunLoop::iid) && offer_run_loop)
            p = static_cast<IRunLoop*>(this);
        else if (uid_equal(iid, IComponentHandler::iid))
            p = static_cast<IComponentHandler*>(this);
        *obj = p;
        return p ? kResultOk : kNoInterface;
    }
    uint32 VST3_API addRef() override { return 1; }
    uint32 VST3_API release() override { return 1; }
    tresult VST3_API getName(char16* n) override {
        n[0] = 0;
        return kResultOk;
    }
    tresult VST3_API createInstance(char* cid, char* iid, void** obj) override {
        *obj = nullptr;
        if (!uid_equal(cid, IMessage::iid) || !uid_equal(iid, IMessage::iid)) return kNoInterface;
        *obj = static_cast<IMessage*>(new test_message());
        return kResultOk;
    }
    tresult VST3_API registerEventHandler(IEventHandler*, FileDescriptor) override { return kResultOk; }
    tresult VST3_API unregisterEventHandler(IEventHandler*) override { return kResultOk; }
    tresult VST3_API registerTimer(ITimerHandler* h, TimerInterval) override {
        timers.push_back(h);
        return kResultOk;
    }
    tresult VST3_API unregisterTimer(ITimerHandler* h) override {
        for (size_t i = 0; i < timers.size(); ++i)
            if (timers[i] == h) timers.erase(timers.begin() + long(i));
        return kResultOk;
    }
    tresult VST3_API beginEdit(ParamID id) override {
        calls.push_back("begin " + std::to_string(id));
        return kResultOk;
    }
    tresult VST3_API performEdit(ParamID id, ParamValue v) override {
        char s[64];
        std::snprintf(s, sizeof(s), "perform %u %.6f", id, v);
        calls.push_back(s);
        return kResultOk;
    }
    tresult VST3_API endEdit(ParamID id) override {
        calls.push_back("end " + std::to_string(id));
        return kResultOk;
    }
    tresult VST3_API restartComponent(int32 flags) override {
        calls.push_back("restart " + std::to_string(flags));
        return kResultOk;
    }
    void fire() {
        for (ITimerHandler* t : std::vector<ITimerHandler*>(timers)) t->onTimer();
    }
};

class vst3_contract : public ::testing::Test {
  public:
    static void* lib;
    static IPluginFactory* factory;
    static exit_fn module_exit;

    static void SetUpTestSuite() {
        std::string so = std::string(LODRIN_TEST_VST3) + BINARY;
        char err[512];
        lib = host_os_module_open(so.c_str(), err, sizeof(err));
        ASSERT_NE(lib, nullptr) << err;
        auto entry = reinterpret_cast<entry_fn>(host_os_module_symbol(lib, ENTRY));
        module_exit = reinterpret_cast<exit_fn>(host_os_module_symbol(lib, EXIT));
        auto get = reinterpret_cast<get_factory_fn>(host_os_module_symbol(lib, "GetPluginFactory"));
        ASSERT_TRUE(entry && module_exit && get);
#if defined(_WIN32)
        ASSERT_TRUE(entry());
#else
        ASSERT_TRUE(entry(lib));
#endif
        factory = get();
        ASSERT_NE(factory, nullptr);
    }
    static void TearDownTestSuite() {
        if (factory) factory->release();
        if (module_exit) module_exit();
        if (lib) host_os_module_close(lib);
    }

  protected:
    test_host host;
    IComponent* comp = nullptr;
    IAudioProcessor* proc = nullptr;
    IEditController* ctrl = nullptr;
    IConnectionPoint *comp_cp = nullptr, *ctrl_cp = nullptr;

    template <class T>
    T* create(const uid& cid) {
        void* obj = nullptr;
        EXPECT_EQ(factory->createInstance(cid.bytes(), T::iid.bytes(), &obj), kResultOk);
        return static_cast<T*>(obj);
    }
    // The class ids as the factory lists them (processor first).
    uid class_id(int32 i) {
        PClassInfo ci{};
        factory->getClassInfo(i, &ci);
        uid u{};
        std::memcpy(u.b, ci.cid, 16);
        return u;
    }
    // Component and controller initialised and connected, as a host makes them.
    void make_pair() {
        comp = create<IComponent>(class_id(0));
        ASSERT_NE(comp, nullptr);
        ASSERT_EQ(comp->initialize(static_cast<IHostApplication*>(&host)), kResultOk);
        proc = query<IAudioProcessor>(comp);
        ctrl = create<IEditController>(class_id(1));
        ASSERT_NE(ctrl, nullptr);
        ASSERT_EQ(ctrl->initialize(static_cast<IHostApplication*>(&host)), kResultOk);
        comp_cp = query<IConnectionPoint>(comp);
        ctrl_cp = query<IConnectionPoint>(ctrl);
        ASSERT_EQ(comp_cp->connect(ctrl_cp), kResultOk);
        ASSERT_EQ(ctrl_cp->connect(comp_cp), kResultOk);
        ASSERT_EQ(ctrl->setComponentHandler(&host), kResultOk);
    }
    void activate(double rate = 48000, int32 block = 512) {
        ProcessSetup setup{kRealtime, kSample32, block, rate};
        ASSERT_EQ(proc->setupProcessing(&setup), kResultOk);
        ASSERT_EQ(comp->setActive(1), kResultOk);
        ASSERT_EQ(proc->setProcessing(1), kResultOk);
    }
    // One block of quiet stereo audio with the given changes (none: null).
    tresult block(IParameterChanges* changes, int32 frames = 256, IParameterChanges* output = nullptr) {
        return block_of(proc, changes, frames, output);
    }
    // The same for any stage's processor.
    static tresult block_of(IAudioProcessor* p, IParameterChanges* changes, int32 frames = 256,
                            IParameterChanges* output = nullptr) {
        std::vector<float> l(size_t(frames), 0.01f), r(size_t(frames), 0.01f);
        float* ch[2] = {l.data(), r.data()};
        AudioBusBuffers in{2, 0, {ch}}, out{2, 0, {ch}};
        ProcessData d{};
        d.symbolicSampleSize = kSample32;
        d.numSamples = frames;
        d.numInputs = d.numOutputs = 1;
        d.inputs = &in;
        d.outputs = &out;
        d.inputParameterChanges = changes;
        d.outputParameterChanges = output;
        return p->process(&d);
    }
    double normalised(ParamID id) { return ctrl->getParamNormalized(id); }
    // Where an impulse comes out of the running processor: silence until the delay line holds
    // nothing of what came before, then one impulse; the offset of the output's only non-zero
    // sample (alike on both sides), or -1 when there is not exactly one.
    int64_t impulse_delay() {
        constexpr int32 N = 256;
        std::vector<float> in_l(N), in_r(N), out_l(N), out_r(N);
        float* in_ch[2] = {in_l.data(), in_r.data()};
        float* out_ch[2] = {out_l.data(), out_r.data()};
        AudioBusBuffers in{2, 0, {in_ch}}, out{2, 0, {out_ch}};
        ProcessData d{};
        d.symbolicSampleSize = kSample32;
        d.numSamples = N;
        d.numInputs = d.numOutputs = 1;
        d.inputs = &in;
        d.outputs = &out;
        for (int k = 0; k < 40; ++k) // 10240 samples, more than the longest lookahead at any rate here
            if (proc->process(&d) != kResultOk) return -1;
        int64_t at = -1;
        for (int k = 0; k < 8; ++k) {
            in_l[0] = in_r[0] = k == 0 ? 0.5f : 0.0f;
            if (proc->process(&d) != kResultOk) return -1;
            for (int32 i = 0; i < N; ++i) {
                if (out_l[size_t(i)] == 0.0f && out_r[size_t(i)] == 0.0f) continue;
                if (at >= 0 || out_l[size_t(i)] != out_r[size_t(i)]) return -1;
                at = int64_t(k) * N + i;
            }
        }
        return at;
    }
    // The component's state with the Lookahead set to `ms`.
    test_stream state_with_lookahead(double ms) {
        test_stream st;
        comp->getState(&st);
        const size_t at = value_offset(st.data, 8);
        EXPECT_NE(at, 0u);
        if (at) std::memcpy(st.data.data() + at, &ms, 8);
        st.pos = 0;
        return st;
    }
    // The component's stage in the segment, as an editor of any process finds it.
    shm_slot* stage_slot() {
        test_stream st;
        comp->getState(&st);
        uint64_t iid = 0;
        std::memcpy(&iid, st.data.data() + 8, 8);
        registry_lock();
        shm_open();
        registry_unlock();
        for (int32_t i = 0; i < SHM_SLOT_COUNT; ++i) {
            shm_slot* s = slot_by_index(i);
            if (s && shm_load(s->in_use) == 1 && shm_load(s->instance_id) == iid) return s;
        }
        return nullptr;
    }

    void TearDown() override { end_pair(comp, proc, ctrl, comp_cp, ctrl_cp); }

  public:
    // A pair ended as a host ends it: processing stopped, deactivated, disconnected, terminated.
    static void end_pair(IComponent* comp, IAudioProcessor* proc, IEditController* ctrl, IConnectionPoint* comp_cp,
                         IConnectionPoint* ctrl_cp) {
        if (proc) {
            proc->setProcessing(0);
            comp->setActive(0);
            proc->release();
        }
        if (comp_cp && ctrl_cp) {
            comp_cp->disconnect(ctrl_cp);
            ctrl_cp->disconnect(comp_cp);
        }
        if (comp_cp) comp_cp->release();
        if (ctrl_cp) ctrl_cp->release();
        if (ctrl) {
            ctrl->terminate();
            ctrl->release();
        }
        if (comp) {
            comp->terminate();
            comp->release();
        }
    }
};

void* vst3_contract::lib = nullptr;
IPluginFactory* vst3_contract::factory = nullptr;
exit_fn vst3_contract::module_exit = nullptr;

} // namespace

TEST_F(vst3_contract, factory_classes_and_refusals) {
    PFactoryInfo fi{};
    ASSERT_EQ(factory->getFactoryInfo(&fi), kResultOk);
    EXPECT_STREQ(fi.vendor, "Tovarin");
    EXPECT_EQ(fi.flags, kUnicode);
    ASSERT_EQ(factory->countClasses(), 2);
    IPluginFactory3* f3 = query<IPluginFactory3>(factory);
    ASSERT_NE(f3, nullptr);
    struct {
        const char* cid;
        const char* category;
        const char* sub;
    } want[] = {{"4C6F6472696E563350726F6354766172", "Audio Module Class", "Fx|Dynamics"},
                {"4C6F6472696E563343746C7254766172", "Component Controller Class", ""}};
    for (int32 i = 0; i < 2; ++i) {
        PClassInfo2 c2{};
        ASSERT_EQ(f3->getClassInfo2(i, &c2), kResultOk);
        EXPECT_EQ(cid_text(c2.cid), want[i].cid) << "class ids never change";
        EXPECT_STREQ(c2.category, want[i].category);
        EXPECT_STREQ(c2.subCategories, want[i].sub);
        EXPECT_STREQ(c2.name, "Lodrin");
        EXPECT_STREQ(c2.vendor, "Tovarin");
        EXPECT_STREQ(c2.version, "1.0.1");
        EXPECT_EQ(c2.cardinality, kManyInstances);
        PClassInfoW cw{};
        ASSERT_EQ(f3->getClassInfoUnicode(i, &cw), kResultOk);
        EXPECT_EQ(text8(cw.name), "Lodrin");
        EXPECT_EQ(text8(cw.version), "1.0.1");
    }
    // Refusals.
    PClassInfo ci{};
    EXPECT_EQ(factory->getFactoryInfo(nullptr), kInvalidArgument);
    for (int32 bad : {-1, 2, 1000}) EXPECT_EQ(factory->getClassInfo(bad, &ci), kInvalidArgument) << bad;
    EXPECT_EQ(factory->getClassInfo(0, nullptr), kInvalidArgument);
    void* obj = reinterpret_cast<void*>(1);
    uid unknown = make_uid(1, 2, 3, 4);
    EXPECT_EQ(factory->createInstance(unknown.bytes(), IComponent::iid.bytes(), &obj), kNoInterface);
    EXPECT_EQ(obj, nullptr);
    EXPECT_EQ(factory->createInstance(class_id(0).bytes(), IPlugView::iid.bytes(), &obj), kNoInterface);
    EXPECT_EQ(obj, nullptr);
    EXPECT_EQ(factory->createInstance(nullptr, IComponent::iid.bytes(), &obj), kInvalidArgument);
    EXPECT_EQ(factory->createInstance(class_id(0).bytes(), IComponent::iid.bytes(), nullptr), kInvalidArgument);
    EXPECT_EQ(f3->setHostContext(static_cast<IHostApplication*>(&host)), kResultOk);
    EXPECT_EQ(f3->setHostContext(nullptr), kResultOk);
    f3->release();
}

TEST_F(vst3_contract, calls_in_the_wrong_order_and_bad_arguments) {
    IComponent* c = create<IComponent>(class_id(0));
    ASSERT_NE(c, nullptr);
    IAudioProcessor* p = query<IAudioProcessor>(c);
    ASSERT_NE(p, nullptr);
    ProcessSetup setup{kRealtime, kSample32, 512, 48000};
    ProcessData d{};
    // Before initialize.
    EXPECT_EQ(c->setActive(1), kNotInitialized);
    EXPECT_EQ(p->setupProcessing(&setup), kNotInitialized);
    EXPECT_EQ(p->process(&d), kNotInitialized);
    EXPECT_EQ(p->getLatencySamples(), 0u);
    ASSERT_EQ(c->initialize(nullptr), kResultOk);
    EXPECT_EQ(c->initialize(nullptr), kResultFalse) << "a second initialize";
    // Initialised, no set-up yet.
    EXPECT_EQ(c->setActive(1), kNotInitialized);
    EXPECT_EQ(p->setProcessing(1), kNotInitialized);
    std::vector<float> buf(64);
    float* ch[2] = {buf.data(), buf.data()};
    AudioBusBuffers bus{2, 0, {ch}};
    d.numSamples = 64;
    d.numInputs = d.numOutputs = 1;
    d.inputs = d.outputs = &bus;
    EXPECT_EQ(p->process(&d), kNotInitialized) << "audio while inactive";
    ProcessSetup bad[] = {{kRealtime, kSample64, 512, 48000}, {kRealtime, kSample32, 0, 48000},
                          {kRealtime, kSample32, 512, 0}, {kRealtime, kSample32, 512, NAN},
                          {kRealtime, kSample32, -5, 48000}};
    for (auto& b : bad) EXPECT_EQ(p->setupProcessing(&b), kInvalidArgument);
    EXPECT_EQ(p->setupProcessing(nullptr), kInvalidArgument);
    EXPECT_EQ(p->process(nullptr), kInvalidArgument);
    EXPECT_EQ(p->canProcessSampleSize(kSample32), kResultTrue);
    EXPECT_EQ(p->canProcessSampleSize(kSample64), kResultFalse);
    SpeakerArrangement st = kStereo, mono = kMono, arr = 0;
    EXPECT_EQ(p->setBusArrangements(&mono, 1, &mono, 1), kResultFalse);
    EXPECT_EQ(p->setBusArrangements(&st, 1, &st, 1), kResultTrue);
    EXPECT_EQ(p->setBusArrangements(nullptr, 1, &st, 1), kInvalidArgument);
    EXPECT_EQ(p->getBusArrangement(kOutput, 0, &arr), kResultOk);
    EXPECT_EQ(arr, kStereo);
    EXPECT_EQ(p->getBusArrangement(kOutput, 1, &arr), kInvalidArgument);
    EXPECT_EQ(p->getBusArrangement(kOutput, 0, nullptr), kInvalidArgument);
    // Busses: one stereo main each way, one event input for controllers.
    BusInfo bi{};
    EXPECT_EQ(c->getBusCount(kAudio, kInput), 1);
    EXPECT_EQ(c->getBusCount(kAudio, kOutput), 1);
    EXPECT_EQ(c->getBusCount(kEvent, kInput), 1);
    EXPECT_EQ(c->getBusCount(kEvent, kOutput), 0);
    ASSERT_EQ(c->getBusInfo(kAudio, kOutput, 0, &bi), kResultOk);
    EXPECT_EQ(bi.channelCount, 2);
    EXPECT_EQ(text8(bi.name), "Output");
    EXPECT_EQ(bi.busType, kMain);
    EXPECT_EQ(c->getBusInfo(kAudio, kInput, 1, &bi), kInvalidArgument);
    EXPECT_EQ(c->getBusInfo(kEvent, kOutput, 0, &bi), kInvalidArgument);
    EXPECT_EQ(c->getBusInfo(kAudio, kInput, 0, nullptr), kInvalidArgument);
    EXPECT_EQ(c->activateBus(kAudio, kInput, 3, 1), kInvalidArgument);
    TUID cid{};
    EXPECT_EQ(c->getControllerClassId(cid), kResultOk);
    EXPECT_EQ(cid_text(cid), "4C6F6472696E563343746C7254766172");
    EXPECT_EQ(c->getControllerClassId(nullptr), kInvalidArgument);
    EXPECT_EQ(c->setState(nullptr), kInvalidArgument);
    EXPECT_EQ(c->getState(nullptr), kInvalidArgument);
    IConnectionPoint* cp = query<IConnectionPoint>(c);
    EXPECT_EQ(cp->connect(nullptr), kInvalidArgument);
    EXPECT_EQ(cp->disconnect(cp), kInvalidArgument) << "not connected to it";
    EXPECT_EQ(cp->notify(nullptr), kInvalidArgument);
    cp->release();
    // Terminate and initialize again, many times: the plug-in comes back each time.
    for (int k = 0; k < 5; ++k) {
        ASSERT_EQ(p->setupProcessing(&setup), kResultOk);
        ASSERT_EQ(c->setActive(1), kResultOk);
        EXPECT_EQ(p->setupProcessing(&setup), kResultFalse) << "set-up only while inactive";
        EXPECT_EQ(p->getLatencySamples(), 80u);
        EXPECT_EQ(p->process(&d), kResultOk);
        EXPECT_EQ(c->terminate(), kResultOk);
        EXPECT_EQ(p->process(&d), kNotInitialized);
        ASSERT_EQ(c->initialize(nullptr), kResultOk);
    }
    p->release();
    c->terminate();
    c->release();
}

TEST_F(vst3_contract, hostile_state_streams_are_refused_without_harm) {
    make_pair();
    test_stream good;
    ASSERT_EQ(comp->getState(&good), kResultOk);
    ASSERT_EQ(good.data.size(), 272u);
    std::vector<uint8_t> wrong_tag = good.data;
    wrong_tag[0] = 'X';
    std::vector<uint8_t> big_n = good.data;
    big_n[16] = 0xFF, big_n[17] = 0xFF, big_n[18] = 0xFF, big_n[19] = 0x7F;
    struct {
        const char* what;
        std::vector<uint8_t> bytes;
        bool fail_reads, overstate;
        tresult want;
    } cases[] = {
        {"empty", {}, false, false, kResultFalse},
        {"three bytes", {'S', 'L', 'M'}, false, false, kResultFalse},
        {"wrong tag", wrong_tag, false, false, kResultFalse},
        {"huge count", big_n, false, false, kResultFalse},
        {"first chunk cut", std::vector<uint8_t>(good.data.begin(), good.data.begin() + 30), false, false,
         kResultFalse},
        {"reads fail", good.data, true, false, kResultFalse},
        {"reads overstate", good.data, false, true, kResultFalse},
        {"whole", good.data, false, false, kResultOk},
    };
    for (auto& c : cases) {
        test_stream s;
        s.data = c.bytes;
        s.fail_reads = c.fail_reads;
        s.overstate = c.overstate;
        EXPECT_EQ(comp->setState(&s), c.want) << c.what;
        s.pos = 0;
        EXPECT_EQ(ctrl->setComponentState(&s), kResultOk) << c.what;
        for (int32 i = 0; i < ctrl->getParameterCount(); ++i) {
            ParameterInfo pi{};
            ctrl->getParameterInfo(i, &pi);
            double v = normalised(pi.id);
            EXPECT_TRUE(v >= 0 && v <= 1) << c.what << " " << pi.id;
        }
    }
    // A stream that hands over a few bytes per call still loads, and the controller agrees.
    test_stream trickle;
    trickle.data = good.data;
    double twelve = 12.0; // the second entry's value: Gain

    std::memcpy(trickle.data.data() + 20 + 12 + 4, &twelve, 8);
    trickle.max_per_read = 3;
    EXPECT_EQ(comp->setState(&trickle), kResultOk);
    EXPECT_DOUBLE_EQ(normalised(2), 12.0 / 30.0);
    test_stream again;
    ASSERT_EQ(comp->getState(&again), kResultOk);
    EXPECT_EQ(again.data, trickle.data) << "the bytes come back unchanged";
    EXPECT_EQ(ctrl->setComponentState(nullptr), kInvalidArgument);
    EXPECT_EQ(ctrl->setControllerState(nullptr), kInvalidArgument);
}

TEST_F(vst3_contract, parameters_as_a_vst3_host_sees_them) {
    make_pair();
    ASSERT_EQ(ctrl->getParameterCount(), 17 + 128);
    struct {
        int32 index;
        ParamID id;
        const char* title;
        const char* units;
        int32 steps;
        double def;
        int32 flags;
    } rows[] = {
        {1, 2, "Gain", "dB", 0, 0.0, kCanAutomate},
        {2, 3, "Ceiling", "dB", 0, 11.7 / 12.0, kCanAutomate},
        {3, 4, "Release", "ms", 0, 95.0 / 1995.0, kCanAutomate},
        {4, 100, "Stage", "", 8, 0.0, 0},
        {6, 5, "Stereo link", "%", 0, 1.0, kCanAutomate},
        {9, 8, "Lookahead", "ms", 0, 1.4 / 9.9, 0},
        {10, 9, "Style", "", 5, 0.0, kCanAutomate},
        {12, 11, "Noise shaping", "", 2, 1.0, 0},
        {13, 12, "Bypass", "", 1, 0.0, kCanAutomate | kIsBypass},
        {17 + 7, CC_PARAM_BASE + 7, "MIDI CC 7", "", 127, 0.0, kIsHidden | kIsReadOnly},
    };
    for (auto& r : rows) {
        ParameterInfo pi{};
        ASSERT_EQ(ctrl->getParameterInfo(r.index, &pi), kResultOk) << r.title;
        EXPECT_EQ(pi.id, r.id) << r.title;
        EXPECT_EQ(text8(pi.title), r.title);
        EXPECT_EQ(text8(pi.units), r.units) << r.title;
        EXPECT_EQ(pi.stepCount, r.steps) << r.title;
        EXPECT_NEAR(pi.defaultNormalizedValue, r.def, 1e-12) << r.title;
        EXPECT_EQ(pi.flags, r.flags) << r.title;
        EXPECT_EQ(pi.unitId, kRootUnitId);
    }
    // Texts are the plug-in's own, for any normalised value; plain conversions follow the ranges.
    String128 s{};
    ASSERT_EQ(ctrl->getParamStringByValue(3, 11.0 / 12.0, s), kResultOk);
    EXPECT_EQ(text8(s), "-1.0 dB");
    ASSERT_EQ(ctrl->getParamStringByValue(9, 0.4, s), kResultOk);
    EXPECT_EQ(text8(s), "Punchy") << "step floor(0.4 x 6) = 2";
    for (double wild : {-3.0, 7.0, double(NAN), double(INFINITY)})
        EXPECT_EQ(ctrl->getParamStringByValue(2, wild, s), kResultOk) << wild;
    EXPECT_EQ(ctrl->getParamStringByValue(16, 0.5, s), kInvalidArgument) << "no parameter 16";
    EXPECT_EQ(ctrl->getParamStringByValue(2, 0.5, nullptr), kInvalidArgument);
    ParamValue n = -1;
    char16 text[16];
    const char* minus_two = "-2 dB";
    for (int i = 0; i < 6; ++i) text[i] = char16(minus_two[i]);
    ASSERT_EQ(ctrl->getParamValueByString(3, text, &n), kResultOk);
    EXPECT_DOUBLE_EQ(n, 10.0 / 12.0);
    const char* junk = "abc";
    for (int i = 0; i < 4; ++i) text[i] = char16(junk[i]);
    EXPECT_EQ(ctrl->getParamValueByString(3, text, &n), kResultFalse);
    EXPECT_EQ(ctrl->getParamValueByString(3, nullptr, &n), kInvalidArgument);
    EXPECT_EQ(ctrl->getParamValueByString(999, text, &n), kInvalidArgument);
    EXPECT_EQ(ctrl->normalizedParamToPlain(3, 0.5), -6.0);
    EXPECT_EQ(ctrl->normalizedParamToPlain(9, 0.5), 3.0) << "step = min(n, floor(v (n + 1)))";
    EXPECT_EQ(ctrl->normalizedParamToPlain(9, 1.0), 5.0);
    EXPECT_EQ(ctrl->normalizedParamToPlain(3, 2.0), 0.0) << "clamped";
    EXPECT_EQ(ctrl->plainParamToNormalized(9, 3.0), 0.6);
    EXPECT_EQ(ctrl->plainParamToNormalized(3, -50.0), 0.0);
    EXPECT_EQ(ctrl->normalizedParamToPlain(999, 0.5), 0.0);
    // Every value of up to three decimals of a continuous parameter comes back exactly from its
    // normalised value, so a host's automation of a typed value reaches the plug-in unchanged.
    for (int32 i = 0; i < 17; ++i) {
        ParameterInfo info{};
        ctrl->getParameterInfo(i, &info);
        if (info.stepCount != 0) continue;
        double lo = ctrl->normalizedParamToPlain(info.id, 0), hi = ctrl->normalizedParamToPlain(info.id, 1);
        long bad = 0;
        for (long k = 0; lo + k * 0.001 <= hi; k += (hi - lo) > 100 ? 7 : 1) {
            char text[32];
            std::snprintf(text, sizeof(text), "%.3f", lo + k * 0.001);
            double x = std::strtod(text, nullptr);
            if (x > hi) break;
            if (ctrl->normalizedParamToPlain(info.id, ctrl->plainParamToNormalized(info.id, x)) != x) ++bad;
        }
        EXPECT_EQ(bad, 0) << text8(info.title);
    }
    EXPECT_EQ(ctrl->setParamNormalized(2, 0.5), kResultOk);
    for (double bad : {-0.1, 1.5, double(NAN)}) EXPECT_EQ(ctrl->setParamNormalized(2, bad), kInvalidArgument);
    EXPECT_EQ(ctrl->setParamNormalized(999, 0.5), kInvalidArgument);
    EXPECT_EQ(ctrl->getParameterInfo(-1, nullptr), kInvalidArgument);
    ParameterInfo pi{};
    EXPECT_EQ(ctrl->getParameterInfo(17 + 128, &pi), kInvalidArgument);
    EXPECT_EQ(ctrl->createView("other"), nullptr);
    EXPECT_EQ(ctrl->createView(nullptr), nullptr);
    // Every controller of a MIDI bus-0 channel maps onto its hidden parameter; nothing else maps.
    IMidiMapping* mm = query<IMidiMapping>(ctrl);
    ASSERT_NE(mm, nullptr);
    ParamID id = 0;
    EXPECT_EQ(mm->getMidiControllerAssignment(0, 15, 7, &id), kResultTrue);
    EXPECT_EQ(id, CC_PARAM_BASE + 7);
    for (auto bad : {std::make_tuple(1, 0, 7), std::make_tuple(0, 16, 7), std::make_tuple(0, 0, 128),
                     std::make_tuple(0, 0, -1)})
        EXPECT_EQ(mm->getMidiControllerAssignment(std::get<0>(bad), int16(std::get<1>(bad)),
                                                  CtrlNumber(std::get<2>(bad)), &id),
                  kResultFalse);
    EXPECT_EQ(mm->getMidiControllerAssignment(0, 0, 7, nullptr), kInvalidArgument);
    mm->release();
}

TEST_F(vst3_contract, queues_flushes_edits_and_latency_reach_their_places) {
    make_pair();
    activate();
    one_queue q;
    // A change inside the block and one beyond it; a point of an unknown id is ignored.
    q.id = 2;
    q.points = {{100, 9.0 / 30.0}, {100000, 12.0 / 30.0}};
    EXPECT_EQ(block(&q), kResultOk);
    EXPECT_DOUBLE_EQ(normalised(2), 12.0 / 30.0);
    q.id = 77;
    q.points = {{0, 0.5}};
    EXPECT_EQ(block(&q), kResultOk);
    // A call without buffers flushes parameters.
    q.id = 15;
    q.points = {{0, 0.25}};
    ProcessData d{};
    d.inputParameterChanges = &q;
    EXPECT_EQ(proc->process(&d), kResultOk);
    EXPECT_DOUBLE_EQ(normalised(15), 0.25);

    // MIDI learn through the controller mapping: arm, the first change of CC 7 binds, the next sets.
    IClapAccess* acc = query<IClapAccess>(comp);
    ASSERT_NE(acc, nullptr);
    const clap_plugin* inner = acc->getClapPlugin();
    acc->release();
    auto* dbg = static_cast<const lodrin_plugin_debug*>(inner->get_extension(inner, LODRIN_EXT_DEBUG));
    ASSERT_NE(dbg, nullptr);
    dbg->debug_arm_midi_learn(inner, 16); // Mix
    q.id = CC_PARAM_BASE + 7;
    q.points = {{0, 64 / 127.0}};
    block(&q);
    q.points = {{10, 0.0}};
    block(&q);
    EXPECT_EQ(normalised(15), 0.0) << "CC 7 now drives Mix";
    host.fire();
    ASSERT_FALSE(host.calls.empty()) << "the change reaches the component handler on the timer";
    EXPECT_EQ(host.calls.back(), "perform 15 0.000000");

    // An editor's edit, made through the stage's slot as an editor in any process makes it.
    test_stream st;
    comp->getState(&st);
    uint64_t iid = 0;
    std::memcpy(&iid, st.data.data() + 8, 8);
    registry_lock();
    shm_open();
    registry_unlock();
    shm_slot* slot = nullptr;
    for (int32_t i = 0; i < SHM_SLOT_COUNT && !slot; ++i) {
        shm_slot* s = slot_by_index(i);
        if (s && shm_load(s->in_use) == 1 && shm_load(s->instance_id) == iid) slot = s;
    }
    ASSERT_NE(slot, nullptr);
    host.calls.clear();
    slot_begin_gesture(slot, 2);
    slot_set_value(slot, 2, -3.0);
    slot_end_gesture(slot, 2);
    block(nullptr);
    host.fire();
    EXPECT_EQ(host.calls, (std::vector<std::string>{"begin 3", "perform 3 0.750000", "end 3"}));

    // A Lookahead change: the plug-in restarts in place before the host hears kLatencyChanged, once,
    // so the latency it reads then is the one the audio has; a host that answers with a restart of
    // its own finds the same.
    ASSERT_EQ(impulse_delay(), 80);
    host.calls.clear();
    q.id = 8;
    q.points = {{0, (3.0 - 0.1) / 9.9}};
    block(&q);
    for (int k = 0; k < 3; ++k) {
        block(nullptr);
        host.fire();
    }
    EXPECT_EQ(host.calls, (std::vector<std::string>{"restart 8"}));
    EXPECT_EQ(proc->getLatencySamples(), 152u) << "3 ms and the engine's 8 samples, before any re-activation";
    EXPECT_EQ(impulse_delay(), 152) << "the audio has the latency reported";
    proc->setProcessing(0);
    comp->setActive(0);
    comp->setActive(1);
    proc->setProcessing(1);
    EXPECT_EQ(proc->getLatencySamples(), 152u);
    EXPECT_EQ(impulse_delay(), 152);
    host.fire();
    EXPECT_EQ(host.calls.size(), 1u) << "one kLatencyChanged for one change";
    // The bypass value is in the saved state like any parameter.
    q.id = 12;
    q.points = {{0, 1.0}};
    block(&q);
    test_stream saved;
    comp->getState(&saved);
    EXPECT_EQ(normalised(12), 1.0);
    EXPECT_EQ(saved.data.size(), 272u + 8u) << "one MIDI binding";
}

// A host that connects the two sides through proxies: the bridge travels in the component's message,
// and a message naming anything but a live bridge of the module is refused.
TEST_F(vst3_contract, connection_through_a_proxy_and_forged_messages) {
    comp = create<IComponent>(class_id(0));
    ASSERT_EQ(comp->initialize(static_cast<IHostApplication*>(&host)), kResultOk);
    proc = query<IAudioProcessor>(comp);
    ctrl = create<IEditController>(class_id(1));
    ASSERT_EQ(ctrl->initialize(static_cast<IHostApplication*>(&host)), kResultOk);
    IConnectionPoint* cc = query<IConnectionPoint>(comp);
    IConnectionPoint* kc = query<IConnectionPoint>(ctrl);
    proxy_point to_ctrl, to_comp;
    to_ctrl.target = kc;
    to_comp.target = cc;

    // Forged messages first: unknown id, no attribute, a pointer that is no bridge.
    struct {
        const char* id;
        bool with_value;
        int64 value;
    } forged[] = {{"other", true, 0}, {"lodrin.bridge", false, 0}, {"lodrin.bridge", true, 0x1234},
                  {"lodrin.bridge", true, int64(reinterpret_cast<intptr_t>(&host))}};
    for (auto& f : forged) {
        auto* m = new test_message();
        m->setMessageID(f.id);
        if (f.with_value) m->setInt("bridge", f.value);
        EXPECT_EQ(kc->notify(m), kResultFalse) << f.id;
        m->release();
    }
    EXPECT_EQ(ctrl->createView(kEditor), nullptr) << "no bridge yet";

    ASSERT_EQ(kc->connect(&to_comp), kResultOk);
    ASSERT_EQ(cc->connect(&to_ctrl), kResultOk); // sends the bridge through the proxy
    ctrl->setComponentHandler(&host);
    one_queue q;
    q.id = 3;
    q.points = {{0, 0.5}};
    ProcessData d{};
    d.inputParameterChanges = &q;
    EXPECT_EQ(proc->process(&d), kResultOk);
    EXPECT_DOUBLE_EQ(normalised(3), 0.5) << "the controller reads the component's plug-in";
    EXPECT_EQ(kc->disconnect(&to_comp), kResultOk);
    EXPECT_EQ(cc->disconnect(&to_ctrl), kResultOk);
    cc->release();
    kc->release();
}

// A host re-initialises the component and keeps its controller: both must go on talking about one
// plug-in, and a value the host sets on the controller must read back from it.
TEST_F(vst3_contract, controller_follows_the_component_through_terminate_and_initialize) {
    make_pair();
    EXPECT_EQ(ctrl->setParamNormalized(2, 0.5), kResultOk);
    EXPECT_DOUBLE_EQ(normalised(2), 0.5) << "the host-set value holds";
    EXPECT_EQ(ctrl->setParamNormalized(12, 1.0), kResultOk);
    EXPECT_EQ(normalised(12), 1.0);
    one_queue q;
    ProcessData d{};
    d.inputParameterChanges = &q;
    q.id = 2;
    q.points = {{0, 0.25}};
    ASSERT_EQ(proc->process(&d), kResultOk);
    EXPECT_DOUBLE_EQ(normalised(2), 0.25) << "the processor's change moves it on";

    // The validator's bypass persistence: Bypass set through the processor, terminate, initialize,
    // the host's sync of the controller, then Bypass read back through the controller.
    q.id = 12;
    q.points = {{0, 1.0}};
    ASSERT_EQ(proc->process(&d), kResultOk);
    ASSERT_EQ(normalised(12), 1.0);
    ASSERT_EQ(comp->terminate(), kResultOk);
    ASSERT_EQ(comp->initialize(static_cast<IHostApplication*>(&host)), kResultOk);
    test_stream st;
    ASSERT_EQ(comp->getState(&st), kResultOk);
    st.pos = 0;
    ASSERT_EQ(ctrl->setComponentState(&st), kResultOk);
    double bypass = 0;
    std::memcpy(&bypass, st.data.data() + value_offset(st.data, 12), 8);
    EXPECT_EQ(normalised(12), bypass) << "the controller reads the component's new plug-in";
    EXPECT_EQ(normalised(12), 0.0);
    q.id = 2;
    q.points = {{0, 0.75}};
    ASSERT_EQ(proc->process(&d), kResultOk);
    EXPECT_DOUBLE_EQ(normalised(2), 0.75);
    ASSERT_EQ(ctrl->setParamNormalized(2, 0.5), kResultOk);
    EXPECT_DOUBLE_EQ(normalised(2), 0.5);
    st.pos = 0;
    ASSERT_EQ(ctrl->setComponentState(&st), kResultOk);
    EXPECT_DOUBLE_EQ(normalised(2), 0.75) << "the host's sync replaces what it set before";
}

// The instance id of a state as its bytes say.
static uint64_t state_id(const test_stream& s) {
    uint64_t id = 0;
    std::memcpy(&id, s.data.data() + 8, 8);
    return id;
}

// A state refused half-way leaves the stage as it was; a state whose id another live stage carries
// (a copied track, one preset in several stages) never makes two stages of one id.
TEST_F(vst3_contract, refused_states_change_nothing_and_ids_stay_unique) {
    make_pair();
    test_stream before;
    ASSERT_EQ(comp->getState(&before), kResultOk);
    std::vector<uint8_t> cut = before.data;
    uint64_t other_id = 0x0123456789ABCDEFull;
    std::memcpy(cut.data() + 8, &other_id, 8);
    double twenty = 20.0;
    std::memcpy(cut.data() + 20 + 12 + 4, &twenty, 8); // Gain
    cut.resize(20 + 12 * 5 + 6);                     // inside the sixth entry
    test_stream s;
    s.data = cut;
    EXPECT_EQ(comp->setState(&s), kResultFalse);
    EXPECT_EQ(normalised(2), 0.0) << "Gain untouched";
    test_stream after;
    ASSERT_EQ(comp->getState(&after), kResultOk);
    EXPECT_EQ(after.data, before.data) << "values and id as they were";

    // A second stage of this process loads the first one's state: values yes, id no.
    IComponent* c2 = create<IComponent>(class_id(0));
    ASSERT_NE(c2, nullptr);
    ASSERT_EQ(c2->initialize(static_cast<IHostApplication*>(&host)), kResultOk);
    test_stream copy;
    copy.data = before.data;
    std::memcpy(copy.data.data() + 20 + 12 + 4, &twenty, 8);
    test_stream own2;
    ASSERT_EQ(c2->getState(&own2), kResultOk);
    ASSERT_EQ(c2->setState(&copy), kResultOk);
    test_stream got2;
    ASSERT_EQ(c2->getState(&got2), kResultOk);
    EXPECT_NE(state_id(got2), state_id(before)) << "two live stages never share an id";
    EXPECT_EQ(state_id(got2), state_id(own2)) << "the newcomer keeps its own, unique id";
    double gain = 0;
    std::memcpy(&gain, got2.data.data() + 20 + 12 + 4, 8);
    EXPECT_EQ(gain, 20.0);
    // An id no live stage carries is taken over, as a reloaded session needs.
    copy.pos = 0;
    std::memcpy(copy.data.data() + 8, &other_id, 8);
    ASSERT_EQ(c2->setState(&copy), kResultOk);
    test_stream got3;
    ASSERT_EQ(c2->getState(&got3), kResultOk);
    EXPECT_EQ(state_id(got3), other_id);
    c2->terminate();
    c2->release();
}

// Calls of a host in a hurry: missing inputs, absurd set-ups, a stop and start around a locate.
TEST_F(vst3_contract, missing_inputs_absurd_setups_and_a_locate) {
    make_pair();
    ProcessSetup absurd[] = {{kRealtime, kSample32, 512, 1e-300}, {kRealtime, kSample32, 512, 1e9},
                             {kRealtime, kSample32, 0x7FFFFFFF, 48000}};
    for (auto& s : absurd)
        EXPECT_EQ(proc->setupProcessing(&s), kResultFalse) << s.sampleRate << " Hz, " << s.maxSamplesPerBlock;
    activate();
    // The output buffer holds what the host left there; every call without usable input clears it.
    constexpr int32 N = 128;
    std::vector<float> in_l(N, 0.25f), in_r(N, 0.25f), out_l(N), out_r(N);
    float* in_ch[2] = {in_l.data(), in_r.data()};
    float* half_ch[2] = {in_l.data(), nullptr};
    float* out_ch[2] = {out_l.data(), out_r.data()};
    AudioBusBuffers in{2, 0, {in_ch}}, half{2, 0, {half_ch}}, out{2, 0, {out_ch}};
    struct {
        const char* what;
        int32 n_in;
        AudioBusBuffers* inputs;
    } missing[] = {{"null inputs", 1, nullptr}, {"a null channel", 1, &half}, {"no input bus", 0, &in}};
    for (auto& m : missing) {
        std::fill(out_l.begin(), out_l.end(), 0.5f);
        std::fill(out_r.begin(), out_r.end(), 0.5f);
        ProcessData d{};
        d.symbolicSampleSize = kSample32;
        d.numSamples = N;
        d.numInputs = m.n_in;
        d.inputs = m.inputs;
        d.numOutputs = 1;
        d.outputs = &out;
        EXPECT_EQ(proc->process(&d), kResultOk) << m.what;
        EXPECT_EQ(*std::max_element(out_l.begin(), out_l.end()), 0.0f) << m.what;
        EXPECT_EQ(*std::max_element(out_r.begin(), out_r.end()), 0.0f) << m.what;
        EXPECT_EQ(out.silenceFlags, 3u) << m.what;
    }
    // Audio in, then a stop and start: the lookahead's old samples must not play afterwards.
    ProcessData d{};
    d.symbolicSampleSize = kSample32;
    d.numSamples = N;
    d.numInputs = d.numOutputs = 1;
    d.inputs = &in;
    d.outputs = &out;
    for (int k = 0; k < 4; ++k) ASSERT_EQ(proc->process(&d), kResultOk);
    ASSERT_GT(std::fabs(out_l[N - 1]), 0.0f) << "the signal passes";
    ASSERT_EQ(proc->setProcessing(0), kResultOk);
    ASSERT_EQ(proc->setProcessing(1), kResultOk);
    std::fill(in_l.begin(), in_l.end(), 0.0f);
    std::fill(in_r.begin(), in_r.end(), 0.0f);
    ASSERT_EQ(proc->process(&d), kResultOk);
    float peak = 0;
    for (int32 i = 0; i < N; ++i) peak = std::max({peak, std::fabs(out_l[size_t(i)]), std::fabs(out_r[size_t(i)])});
    EXPECT_EQ(peak, 0.0f) << "silence in, silence out after the restart";

    // A host that calls process on a stage it deactivated, or terminated, still plays its buffers:
    // they hold silence, not what was there before (an output buffer apart from the input here).
    for (const char* when : {"inactive", "terminated"}) {
        if (std::strcmp(when, "inactive") == 0) {
            ASSERT_EQ(proc->setProcessing(0), kResultOk);
            ASSERT_EQ(comp->setActive(0), kResultOk);
        } else {
            ASSERT_EQ(comp->terminate(), kResultOk);
        }
        std::fill(in_l.begin(), in_l.end(), 0.25f);
        std::fill(in_r.begin(), in_r.end(), 0.25f);
        std::fill(out_l.begin(), out_l.end(), 0.5f);
        std::fill(out_r.begin(), out_r.end(), 0.5f);
        EXPECT_NE(proc->process(&d), kResultOk) << when;
        EXPECT_EQ(*std::max_element(out_l.begin(), out_l.end()), 0.0f) << when;
        EXPECT_EQ(*std::max_element(out_r.begin(), out_r.end()), 0.0f) << when;
        EXPECT_EQ(out.silenceFlags, 3u) << when;
    }
    ASSERT_EQ(comp->initialize(static_cast<IHostApplication*>(&host)), kResultOk) << "for the fixture's end";
}

// A host that offers no run loop at all (a headless one): the plug-in's own edits reach it through
// the processor's output parameter changes, and a latency change that a state brings through
// restartComponent on the UI thread of that very call; a getter never calls back into the host.
TEST_F(vst3_contract, a_host_without_run_loop_hears_edits_and_latency) {
#if defined(_WIN32)
    GTEST_SKIP() << "on Windows the controller's tick is a timer of the UI thread's message loop";
#endif
    host.offer_run_loop = false;
    make_pair();
    activate();
    ASSERT_EQ(proc->getLatencySamples(), 80u);
    shm_slot* slot = stage_slot();
    ASSERT_NE(slot, nullptr);
    // An editor's edit (this process's or another's, through the segment).
    slot_begin_gesture(slot, 1); // table row 1: Gain, id 2
    slot_set_value(slot, 1, 12.0);
    slot_end_gesture(slot, 1);
    out_changes out;
    ASSERT_EQ(block(nullptr, 256, &out), kResultOk);
    EXPECT_EQ(out.lines(), (std::vector<std::string>{"2 0.400000"})) << "Gain 12 dB, normalised";
    EXPECT_DOUBLE_EQ(normalised(2), 0.4);
    EXPECT_TRUE(host.calls.empty()) << "nothing from a getter: " << (host.calls.empty() ? "" : host.calls[0]);
    // No value arrives twice: a later UI-thread call finds nothing stale to send.
    out_changes none;
    ASSERT_EQ(block(nullptr, 256, &none), kResultOk);
    EXPECT_TRUE(none.lines().empty());

    // A state with Lookahead 5 ms while active and processing, as a host restores a session (the
    // calls in the order a host makes them on load): the plug-in restarts in place within setState,
    // and a host that only re-reads the latency after kLatencyChanged, never re-activating, gets the
    // latency the audio has.
    test_stream st = state_with_lookahead(5.0);
    ASSERT_EQ(comp->setState(&st), kResultOk);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"restart 8"})) << "kLatencyChanged on setState itself";
    EXPECT_EQ(proc->getLatencySamples(), 240u + 8u);
    st.pos = 0;
    ASSERT_EQ(ctrl->setComponentState(&st), kResultOk);
    normalised(8);
    EXPECT_EQ(impulse_delay(), 248);
    EXPECT_EQ(host.calls.size(), 1u) << "once";
    // The same state again changes nothing the engine cannot take: no restart, no news.
    st.pos = 0;
    ASSERT_EQ(comp->setState(&st), kResultOk);
    EXPECT_EQ(host.calls.size(), 1u);
    proc->setProcessing(0);
    comp->setActive(0);
    comp->setActive(1);
    proc->setProcessing(1);
    EXPECT_EQ(proc->getLatencySamples(), 240u + 8u);
    EXPECT_EQ(impulse_delay(), 248);
    EXPECT_EQ(host.calls.size(), 1u);
}

// A host's audio thread runs blocks without a pause while its UI thread changes the Lookahead again
// and again, by state and by an editor's edit: each restart in place must keep the plug-in to one
// thread at a time (no crash, and a clean run under the thread sanitizer), every output block must
// be silence or the input delayed by one of the two latencies (never a block torn by a restart), and
// the latency reported afterwards must be the one the audio has. A locate (setProcessing 0 then 1
// on the audio thread) now and then meets the restarts as well.
TEST_F(vst3_contract, restarts_in_place_while_the_audio_thread_runs) {
    make_pair();
    activate(48000, 64);
    shm_slot* slot = stage_slot();
    ASSERT_NE(slot, nullptr);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> blocks{0};
    uint64_t torn = 0; // the audio thread's, read after it ends
    std::string first_torn;
    std::thread audio([&] {
        constexpr int32 N = 64;
        // A signal without zeros, far below the ceiling: the engine passes it delayed and scaled by
        // one factor (the ceiling's makeup), and a wrong delay shows as another sawtooth phase.
        auto x = [](int64_t n) { return n < 0 ? 0.0f : 0.01f + 0.001f * float(n % 89); };
        std::vector<float> in_l(N), in_r(N), out_l(N), out_r(N);
        float* in_ch[2] = {in_l.data(), in_r.data()};
        float* out_ch[2] = {out_l.data(), out_r.data()};
        AudioBusBuffers in{2, 0, {in_ch}}, out{2, 0, {out_ch}};
        ProcessData d{};
        d.symbolicSampleSize = kSample32;
        d.numSamples = N;
        d.numInputs = d.numOutputs = 1;
        d.inputs = &in;
        d.outputs = &out;
        for (int64_t n0 = 0; !stop.load(); n0 += N) {
            for (int32 i = 0; i < N; ++i)
                in_l[size_t(i)] = in_r[size_t(i)] = x(n0 + i);
            std::fill(out_l.begin(), out_l.end(), -1.0f);
            std::fill(out_r.begin(), out_r.end(), -1.0f);
            const tresult r = proc->process(&d);
            // Silence (a block of the restart's gap, or the fresh delay line), or zeros up to a point
            // (a fresh delay line filling) and from there the input delayed by one latency, times one
            // factor near 1.
            bool ok = r == kResultOk;
            bool silent = true;
            for (int32 i = 0; i < N; ++i)
                silent = silent && out_l[size_t(i)] == 0.0f && out_r[size_t(i)] == 0.0f;
            if (silent) {
                ok = ok && out.silenceFlags == 3u;
            } else {
                bool any = false;
                for (int64_t lat : {int64_t(80), int64_t(248)}) {
                    int32 i = 0;
                    while (i < N && out_l[size_t(i)] == 0.0f && out_r[size_t(i)] == 0.0f)
                        ++i;
                    if (i == N || x(n0 + i - lat) == 0.0f) continue;
                    const double c = out_l[size_t(i)] / x(n0 + i - lat);
                    for (; i < N && c > 0.5 && c <= 1.0; ++i)
                        if (std::fabs(out_l[size_t(i)] - c * x(n0 + i - lat)) > 1e-6 ||
                            out_r[size_t(i)] != out_l[size_t(i)])
                            break;
                    any = any || i == N;
                }
                ok = ok && any && out.silenceFlags == 0u;
            }
            if (!ok && torn++ == 0)
                first_torn = "block at " + std::to_string(n0) + ": result " + std::to_string(r) + ", first " +
                             std::to_string(out_l[0]) + ", last " + std::to_string(out_l[N - 1]) +
                             ", flags " + std::to_string(out.silenceFlags);
            if (blocks.fetch_add(1) % 97 == 96) {
                proc->setProcessing(0);
                proc->setProcessing(1);
            }
        }
    });
    // The audio thread ends with the test, also when an assertion ends it early.
    struct audio_end {
        std::atomic<bool>& stop;
        std::thread& t;
        void now() {
            stop.store(true);
            if (t.joinable()) t.join();
        }
        ~audio_end() { now(); }
    } audio_ends{stop, audio};
    // Runs until the audio thread has made `n` more blocks (false when it does not).
    auto blocks_pass = [&](uint64_t n) {
        const uint64_t from = blocks.load();
        return poll_until([&] { return blocks.load() >= from + n; },
                          [&] { return "audio blocks " + std::to_string(blocks.load() - from); },
                          INTEGRATION_WAIT_S, 1);
    };
    ASSERT_TRUE(blocks_pass(50));
    host.calls.clear();
    constexpr int ROUNDS = 8;
    for (int k = 0; k < ROUNDS; ++k) {
        const double ms = k % 2 == 0 ? 5.0 : 1.5;
        const uint32 want = k % 2 == 0 ? 248u : 80u;
        if (k % 4 < 2) {
            test_stream st = state_with_lookahead(ms);
            ASSERT_EQ(comp->setState(&st), kResultOk);
        } else {
            slot_set_value(slot, PARAM_LOOKAHEAD, ms); // an editor's edit, seen by the next block
        }
        // The host's UI timer, until the new latency shows.
        EXPECT_TRUE(poll_until(
            [&] {
                host.fire();
                return proc->getLatencySamples() == want;
            },
            [&] {
                return "round " + std::to_string(k) + ": latency " +
                       std::to_string(proc->getLatencySamples());
            },
            INTEGRATION_WAIT_S, 1));
        EXPECT_EQ(std::count(host.calls.begin(), host.calls.end(), "restart 8"), k + 1)
            << "one kLatencyChanged per change, round " << k;
        ASSERT_TRUE(blocks_pass(50)) << "the audio thread goes on after round " << k;
    }
    audio_ends.now();
    EXPECT_EQ(torn, 0u) << first_torn;
    EXPECT_EQ(proc->getLatencySamples(), 80u);
    EXPECT_EQ(impulse_delay(), 80);
}

// Every instance of the module in a process shares the host's one UI thread, so one UI-thread tick
// serves them all: here only the first stage's host offers a run loop (on Windows none does, and the
// module's timer of the UI thread ticks), and the third stage's edit and Lookahead still reach its
// own component handler, as performEdit and as kLatencyChanged after a restart in place. The tick
// stays while any source of it does: the first stage's controller ending takes a loop's tick with it,
// the Windows timer goes on for the stages left.
TEST_F(vst3_contract, one_ui_thread_tick_serves_every_stage) {
#if defined(_WIN32)
    host.offer_run_loop = false;
#endif
    make_pair();
    activate();
    struct extra {
        test_host h;
        IComponent* comp = nullptr;
        IAudioProcessor* proc = nullptr;
        IEditController* ctrl = nullptr;
        IConnectionPoint *comp_cp = nullptr, *ctrl_cp = nullptr;
        ~extra() { vst3_contract::end_pair(comp, proc, ctrl, comp_cp, ctrl_cp); }
    };
    extra more[2];
    for (extra& e : more) {
        e.h.offer_run_loop = false;
        e.comp = create<IComponent>(class_id(0));
        e.ctrl = create<IEditController>(class_id(1));
        ASSERT_TRUE(e.comp && e.ctrl);
        ASSERT_EQ(e.comp->initialize(static_cast<IHostApplication*>(&e.h)), kResultOk);
        ASSERT_EQ(e.ctrl->initialize(static_cast<IHostApplication*>(&e.h)), kResultOk);
        e.proc = query<IAudioProcessor>(e.comp);
        e.comp_cp = query<IConnectionPoint>(e.comp);
        e.ctrl_cp = query<IConnectionPoint>(e.ctrl);
        ASSERT_EQ(e.comp_cp->connect(e.ctrl_cp), kResultOk);
        ASSERT_EQ(e.ctrl_cp->connect(e.comp_cp), kResultOk);
        ASSERT_EQ(e.ctrl->setComponentHandler(&e.h), kResultOk);
        ProcessSetup setup{kRealtime, kSample32, 512, 48000};
        ASSERT_EQ(e.proc->setupProcessing(&setup), kResultOk);
        ASSERT_EQ(e.comp->setActive(1), kResultOk);
        ASSERT_EQ(e.proc->setProcessing(1), kResultOk);
    }
    extra& third = more[1];
    // The third stage's slot, found as the fixture finds its own.
    IComponent* own = comp;
    comp = third.comp;
    shm_slot* slot = stage_slot();
    comp = own;
    ASSERT_NE(slot, nullptr);

    // One pass of the host: a block of every stage, then its UI thread's timers.
    auto pass = [&] {
        for (IAudioProcessor* p : {proc, more[0].proc, more[1].proc})
            block_of(p, nullptr);
#if defined(_WIN32)
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&m);
#else
        host.fire();
#endif
    };
    auto heard = [&](const std::string& s) {
        return std::find(third.h.calls.begin(), third.h.calls.end(), s) != third.h.calls.end();
    };
    auto calls = [&] {
        std::string o = "the third stage's host heard:";
        for (auto& c : third.h.calls) o += " [" + c + "]";
        return o;
    };
    slot_begin_gesture(slot, PARAM_RELEASE);
    slot_set_value(slot, PARAM_RELEASE, 1000.0);
    slot_end_gesture(slot, PARAM_RELEASE);
    slot_set_value(slot, PARAM_LOOKAHEAD, 5.0);
    char perform[64];
    std::snprintf(perform, sizeof(perform), "perform 4 %.6f", (1000.0 - 5.0) / 1995.0);
    EXPECT_TRUE(poll_until(
        [&] {
            pass();
            return heard(perform) && heard("restart 8");
        },
        calls, INTEGRATION_WAIT_S, 1));
    EXPECT_EQ(third.proc->getLatencySamples(), 248u);
    EXPECT_TRUE(host.calls.empty() && more[0].h.calls.empty()) << "each stage's host hears only its own";

    // The first stage's controller ends.
    ctrl_cp->disconnect(comp_cp);
    comp_cp->disconnect(ctrl_cp);
    ctrl_cp->release();
    comp_cp->release();
    ctrl_cp = comp_cp = nullptr;
    ctrl->terminate();
    ctrl->release();
    ctrl = nullptr;
    EXPECT_TRUE(host.timers.empty()) << "its host's loop keeps no tick of the module";
    third.h.calls.clear();
    slot_begin_gesture(slot, PARAM_RELEASE);
    slot_set_value(slot, PARAM_RELEASE, 500.0);
    slot_end_gesture(slot, PARAM_RELEASE);
    std::snprintf(perform, sizeof(perform), "perform 4 %.6f", (500.0 - 5.0) / 1995.0);
#if defined(_WIN32)
    EXPECT_TRUE(poll_until(
        [&] {
            pass();
            return heard(perform);
        },
        calls, INTEGRATION_WAIT_S, 1));
#else
    // No tick left: the value leaves through the third stage's output parameter changes.
    out_changes o;
    ASSERT_EQ(block_of(third.proc, nullptr, 256, &o), kResultOk);
    char line[64];
    std::snprintf(line, sizeof(line), "4 %.6f", (500.0 - 5.0) / 1995.0);
    EXPECT_EQ(o.lines(), (std::vector<std::string>{line}));
    EXPECT_TRUE(third.h.calls.empty()) << calls();
#endif
}
