// Guards the host against Lodrin.vst3's views: a view made only to probe and then released must not
// take the editor from under the view a host window shows; a host that destroys its window before
// removed() must not be ended by an X error; a window id that names no window and an absurd content
// scale are refused.
#include <gtest/gtest.h>

#include <string>

#include "host_os.h"
#include "vst3_abi.h"

// Last: Xlib's macros would rename what the headers above declare.
#include <X11/Xlib.h>

using namespace vst3;

namespace {

typedef IPluginFactory*(VST3_API* get_factory_fn)();
typedef bool (*entry_fn)(void*);

class views : public ::testing::Test {
  protected:
    void* lib = nullptr;
    IPluginFactory* factory = nullptr;
    IComponent* comp = nullptr;
    IEditController* ctrl = nullptr;
    IConnectionPoint *comp_cp = nullptr, *ctrl_cp = nullptr;
    Display* d = nullptr;

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
        void* obj = nullptr;
        ASSERT_EQ(factory->createInstance(ci[0].cid, IComponent::iid.bytes(), &obj), kResultOk);
        comp = static_cast<IComponent*>(obj);
        ASSERT_EQ(factory->createInstance(ci[1].cid, IEditController::iid.bytes(), &obj), kResultOk);
        ctrl = static_cast<IEditController*>(obj);
        ASSERT_EQ(comp->initialize(nullptr), kResultOk);
        ASSERT_EQ(ctrl->initialize(nullptr), kResultOk);
        comp_cp = query<IConnectionPoint>(comp);
        ctrl_cp = query<IConnectionPoint>(ctrl);
        ASSERT_EQ(comp_cp->connect(ctrl_cp), kResultOk);
        ASSERT_EQ(ctrl_cp->connect(comp_cp), kResultOk);
    }
    void TearDown() override {
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
        if (factory) factory->release();
        if (lib) {
            if (auto quit = reinterpret_cast<bool (*)()>(host_os_module_symbol(lib, "ModuleExit"))) quit();
            host_os_module_close(lib);
        }
        if (d) XCloseDisplay(d);
    }

    // A host window: a mapped top-level window of the test's own connection.
    Window host_window() {
        Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 960, 600, 0, 0, 0);
        XMapWindow(d, w);
        XSync(d, False);
        return w;
    }
    unsigned children(Window w) {
        Window root = 0, parent = 0, *kids = nullptr;
        unsigned n = 0;
        if (!XQueryTree(d, w, &root, &parent, &kids, &n)) return 0;
        if (kids) XFree(kids);
        return n;
    }
    static void* id(Window w) { return reinterpret_cast<void*>(uintptr_t(w)); }
};

} // namespace

TEST_F(views, a_probing_view_leaves_the_attached_one_alone) {
    Window w = host_window();
    IPlugView* shown = ctrl->createView(kEditor);
    ASSERT_NE(shown, nullptr);
    ASSERT_EQ(shown->attached(id(w), kPlatformTypeX11EmbedWindowID), kResultOk);
    XSync(d, False);
    ASSERT_EQ(children(w), 1u) << "the editor's window in the host's";
    // A second view, as hosts make to probe: sized, asked, released, never attached.
    IPlugView* probe = ctrl->createView(kEditor);
    if (probe) {
        ViewRect r{};
        probe->getSize(&r);
        EXPECT_NE(probe->attached(id(w), kPlatformTypeX11EmbedWindowID), kResultOk)
            << "one editor, shown by one view";
        probe->release();
    }
    XSync(d, False);
    EXPECT_EQ(children(w), 1u) << "the shown editor is still there";
    ViewRect r{0, 0, 1200, 750};
    EXPECT_EQ(shown->onSize(&r), kResultOk);
    EXPECT_EQ(shown->removed(), kResultOk);
    shown->release();
    XDestroyWindow(d, w);
    XSync(d, False);
}

TEST_F(views, a_host_window_destroyed_before_removed_ends_nothing) {
    for (int k = 0; k < 2; ++k) {
        Window w = host_window();
        IPlugView* v = ctrl->createView(kEditor);
        ASSERT_NE(v, nullptr);
        ASSERT_EQ(v->attached(id(w), kPlatformTypeX11EmbedWindowID), kResultOk);
        XSync(d, False);
        XDestroyWindow(d, w); // the host closes its window first
        XSync(d, False);
        v->removed(); // an X error here would end this process
        v->release();
    }
    SUCCEED() << "still alive";
}

TEST_F(views, bad_window_ids_and_absurd_scales_are_refused) {
    IPlugView* v = ctrl->createView(kEditor);
    ASSERT_NE(v, nullptr);
    EXPECT_NE(v->attached(reinterpret_cast<void*>(uintptr_t(0x3FFFFFF0)), kPlatformTypeX11EmbedWindowID), kResultOk)
        << "no such window";
    auto* scale = query<IPlugViewContentScaleSupport>(v);
    ASSERT_NE(scale, nullptr);
    for (float f : {1e-9f, 0.25f, 8.5f, 1e9f})
        EXPECT_NE(scale->setContentScaleFactor(f), kResultOk) << f;
    EXPECT_EQ(scale->setContentScaleFactor(2.0f), kResultOk);
    scale->release();
    // The view still works with a real window afterwards.
    Window w = host_window();
    ASSERT_EQ(v->attached(id(w), kPlatformTypeX11EmbedWindowID), kResultOk);
    ViewRect r{};
    ASSERT_EQ(v->getSize(&r), kResultOk);
    EXPECT_GT(r.right - r.left, 100);
    EXPECT_EQ(v->removed(), kResultOk);
    v->release();
    XDestroyWindow(d, w);
    XSync(d, False);
}
