// The Lodrin.vst3 module: its exported entry points and the plug-in factory with two classes, the
// audio component ("Fx|Dynamics") and its edit controller. The module's own clap_entry is initialised
// on the first entry (ModuleEntry / InitDll, or the first GetPluginFactory for hosts that call no
// entry) and deinitialised on the last exit.
#include <cstring>
#include <mutex>

#include "wrapper.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using namespace vst3;

constexpr char VENDOR[] = "Tovarin";
constexpr char NAME[] = "Lodrin";
constexpr char VERSION[] = "1.0.1";
constexpr char URL[] = "https://tovarin.example/lodrin";

std::mutex entry_lock;
int entry_count = 0;    // ModuleEntry / InitDll calls not yet matched by an exit
bool clap_ready = false; // clap_entry.init succeeded

void module_path(char* out, size_t cap) {
    out[0] = 0;
#if defined(_WIN32)
    HMODULE self = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(&module_path), &self))
        GetModuleFileNameA(self, out, DWORD(cap));
#else
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&module_path), &info) && info.dli_fname)
        wrapper_copy(out, info.dli_fname, uint32_t(cap));
#endif
    out[cap - 1] = 0;
}

bool clap_up() {
    if (clap_ready) return true;
    char path[1024];
    module_path(path, sizeof(path));
    clap_ready = clap_entry.init(path);
    return clap_ready;
}

bool module_enter() {
    std::lock_guard<std::mutex> g(entry_lock);
    ++entry_count;
    return clap_up();
}

bool module_leave() {
    std::lock_guard<std::mutex> g(entry_lock);
    if (entry_count > 0 && --entry_count == 0 && clap_ready) {
        clap_entry.deinit();
        clap_ready = false;
    }
    return true;
}

struct class_row {
    const uid* cid;
    const char* category;
    const char* sub_categories;
    uint32 flags;
};

const class_row classes[2] = {
    {&LODRIN_PROCESSOR_CID, kVstAudioEffectClass, "Fx|Dynamics", 0},
    {&LODRIN_CONTROLLER_CID, kVstComponentControllerClass, "", 0},
};

// What every version of a class info says alike: zero fill, class id, cardinality and category.
template <class Info>
void fill_class_head(Info* info, const class_row& row) {
    std::memset(info, 0, sizeof(*info));
    std::memcpy(info->cid, row.cid->b, 16);
    info->cardinality = kManyInstances;
    wrapper_copy(info->category, row.category, sizeof(info->category));
}

class factory final : public IPluginFactory3 {
  public:
    tresult VST3_API queryInterface(const char* iid, void** obj) override {
        IPluginFactory3* base = this;
        const wrapper_iface rows[] = {
            {&FUnknown::iid, base},
            {&IPluginFactory::iid, base},
            {&IPluginFactory2::iid, base},
            {&IPluginFactory3::iid, base},
        };
        return wrapper_query(base, iid, obj, rows);
    }
    // The factory is one static object: references are counted but never free it.
    uint32 VST3_API addRef() override { return ++refs_; }
    uint32 VST3_API release() override { return refs_ > 1 ? --refs_ : 1; }

    tresult VST3_API getFactoryInfo(PFactoryInfo* info) override {
        if (!info) return kInvalidArgument;
        std::memset(info, 0, sizeof(*info));
        wrapper_copy(info->vendor, VENDOR, sizeof(info->vendor));
        wrapper_copy(info->url, URL, sizeof(info->url));
        info->flags = kDefaultFactoryFlags;
        return kResultOk;
    }
    int32 VST3_API countClasses() override { return 2; }
    tresult VST3_API getClassInfo(int32 index, PClassInfo* info) override {
        if (!info || index < 0 || index >= 2) return kInvalidArgument;
        fill_class_head(info, classes[index]);
        wrapper_copy(info->name, NAME, sizeof(info->name));
        return kResultOk;
    }
    tresult VST3_API createInstance(FIDString cid, FIDString iid, void** obj) override {
        if (!obj) return kInvalidArgument;
        *obj = nullptr;
        if (!cid || !iid) return kInvalidArgument;
        {
            std::lock_guard<std::mutex> g(entry_lock);
            if (!clap_up()) return kInternalError;
        }
        FUnknown* made = nullptr;
        if (uid_equal(cid, LODRIN_PROCESSOR_CID))
            made = wrapper_component_create();
        else if (uid_equal(cid, LODRIN_CONTROLLER_CID))
            made = wrapper_controller_create();
        else
            return kNoInterface;
        if (!made) return kOutOfMemory;
        tresult r = made->queryInterface(iid, obj);
        made->release();
        return r == kResultOk ? kResultOk : kNoInterface;
    }
    tresult VST3_API getClassInfo2(int32 index, PClassInfo2* info) override {
        if (!info || index < 0 || index >= 2) return kInvalidArgument;
        fill_class_head(info, classes[index]);
        wrapper_copy(info->name, NAME, sizeof(info->name));
        info->classFlags = classes[index].flags;
        wrapper_copy(info->subCategories, classes[index].sub_categories, sizeof(info->subCategories));
        wrapper_copy(info->vendor, VENDOR, sizeof(info->vendor));
        wrapper_copy(info->version, VERSION, sizeof(info->version));
        wrapper_copy(info->sdkVersion, kVstVersionString, sizeof(info->sdkVersion));
        return kResultOk;
    }
    tresult VST3_API getClassInfoUnicode(int32 index, PClassInfoW* info) override {
        if (!info || index < 0 || index >= 2) return kInvalidArgument;
        fill_class_head(info, classes[index]);
        wrapper_utf8_to_16(NAME, info->name, 64);
        info->classFlags = classes[index].flags;
        wrapper_copy(info->subCategories, classes[index].sub_categories, sizeof(info->subCategories));
        wrapper_utf8_to_16(VENDOR, info->vendor, 64);
        wrapper_utf8_to_16(VERSION, info->version, 64);
        wrapper_utf8_to_16(kVstVersionString, info->sdkVersion, 64);
        return kResultOk;
    }
    tresult VST3_API setHostContext(FUnknown* context) override {
        if (context) context->addRef();
        if (context_) context_->release();
        context_ = context;
        return kResultOk;
    }

    FUnknown* context() const { return context_; }

  private:
    std::atomic<uint32> refs_{1};
    FUnknown* context_ = nullptr;
};

factory the_factory;

} // namespace

FUnknown* wrapper_factory_host_context() {
    return the_factory.context();
}

#if defined(_WIN32)
#define WRAPPER_EXPORT extern "C" __declspec(dllexport)
#else
#define WRAPPER_EXPORT extern "C" __attribute__((visibility("default")))
#endif

WRAPPER_EXPORT IPluginFactory* VST3_API GetPluginFactory() {
    {
        std::lock_guard<std::mutex> g(entry_lock);
        if (!clap_up()) return nullptr;
    }
    the_factory.addRef();
    return &the_factory;
}

#if defined(_WIN32)
WRAPPER_EXPORT bool VST3_API InitDll() {
    return module_enter();
}
WRAPPER_EXPORT bool VST3_API ExitDll() {
    return module_leave();
}
#else
WRAPPER_EXPORT bool ModuleEntry(void*) {
    return module_enter();
}
WRAPPER_EXPORT bool ModuleExit() {
    return module_leave();
}
#endif
