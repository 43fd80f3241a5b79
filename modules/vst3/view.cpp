// The editor view: an IPlugView (with content scaling) over the plug-in's CLAP gui, embedded in the
// host's window of this platform: an X11 window id on Linux, an HWND on Windows. On Linux the
// plug-in's timer and X connection descriptor are served by the host's run loop, which the frame
// offers (the bridge moves them there); while the view is attached, that loop is also a source of
// the module's UI-thread service, which then serves every instance of the module in the process,
// whether its own editor is open or not.
#include <cmath>
#include <cstring>
#include <new>

#include "wrapper.h"

namespace {

using namespace vst3;

#if defined(_WIN32)
constexpr const char* GUI_API = CLAP_WINDOW_API_WIN32;
constexpr const char* PLATFORM_TYPE = kPlatformTypeHWND;
#else
constexpr const char* GUI_API = CLAP_WINDOW_API_X11;
constexpr const char* PLATFORM_TYPE = kPlatformTypeX11EmbedWindowID;
#endif

constexpr uint32_t DEFAULT_W = 960, DEFAULT_H = 600;

// Width and height of a host rectangle, computed without overflow; false for a null or inverted one
// or one beyond any screen.
bool rect_size(const ViewRect* r, uint32_t* w, uint32_t* h) {
    if (!r) return false;
    int64_t dw = int64_t(r->right) - r->left, dh = int64_t(r->bottom) - r->top;
    if (dw < 0 || dh < 0 || dw > 65536 || dh > 65536) return false;
    *w = uint32_t(dw);
    *h = uint32_t(dh);
    return true;
}

class view final : public IPlugView, public IPlugViewContentScaleSupport {
  public:
    explicit view(wrapper_bridge* b) : bridge_(b) {
        wrapper_bridge_retain(b);
        created_ = acquire_gui();
    }

    bool ok() const { return created_; }

    tresult VST3_API queryInterface(const char* iid, void** obj) override {
        IPlugView* base = this;
        const wrapper_iface rows[] = {
            {&FUnknown::iid, base},
            {&IPlugView::iid, base},
            {&IPlugViewContentScaleSupport::iid, static_cast<IPlugViewContentScaleSupport*>(this)},
        };
        return wrapper_query(base, iid, obj, rows);
    }
    uint32 VST3_API addRef() override { return ++refs_; }
    uint32 VST3_API release() override {
        return wrapper_release(this, refs_, [this] { teardown(); });
    }

    tresult VST3_API isPlatformTypeSupported(FIDString type) override {
        if (!type) return kInvalidArgument;
        return std::strcmp(type, PLATFORM_TYPE) == 0 ? kResultTrue : kResultFalse;
    }
    tresult VST3_API attached(void* parent, FIDString type) override {
        if (!parent || !type) return kInvalidArgument;
        if (std::strcmp(type, PLATFORM_TYPE) != 0) return kResultFalse;
        if (attached_ || !live()) return kResultFalse;
        // One editor per plug-in: while another view shows it, this one cannot.
        if (bridge_->gui_attached && bridge_->gui_attached != this) return kResultFalse;
        const clap_plugin* p = bridge_->plugin;
        // A frame may answer its run loop only once the host has one for the window it opens.
        if (frame_ && !frame_loop_) {
            frame_loop_ = query<IRunLoop>(frame_);
            if (frame_loop_) wrapper_bridge_set_run_loop(bridge_, frame_loop_);
        }
        if (!created_) created_ = acquire_gui();
        if (!created_) return kResultFalse;
        if (scale_ > 0) bridge_->gui->set_scale(p, scale_);
        clap_window w{};
        w.api = GUI_API;
#if defined(_WIN32)
        w.win32 = parent;
#else
        w.x11 = clap_xwnd(reinterpret_cast<uintptr_t>(parent));
#endif
        bridge_->view = this;
        bridge_->view_resize = request_resize;
        if (!bridge_->gui->set_parent(p, &w)) {
            bridge_->view = nullptr;
            bridge_->view_resize = nullptr;
            return kResultFalse;
        }
        // A parent id that names no window leaves the editor without a window to show.
        if (!bridge_->gui->show(p)) {
            bridge_->view = nullptr;
            bridge_->view_resize = nullptr;
            return kResultFalse;
        }
        attached_ = true;
        bridge_->gui_attached = this;
        if (frame_loop_) wrapper_service_offer(this, frame_loop_);
        report_size();
        return kResultOk;
    }
    tresult VST3_API removed() override {
        if (!attached_) return kResultFalse;
        teardown();
        return kResultOk;
    }
    tresult VST3_API onWheel(float) override { return kResultFalse; }
    tresult VST3_API onKeyDown(char16, int16, int16) override { return kResultFalse; }
    tresult VST3_API onKeyUp(char16, int16, int16) override { return kResultFalse; }
    tresult VST3_API getSize(ViewRect* r) override {
        if (!r) return kInvalidArgument;
        uint32_t w = DEFAULT_W, h = DEFAULT_H;
        if (!created_ || !live() || !bridge_->gui->get_size(bridge_->plugin, &w, &h)) {
            w = DEFAULT_W;
            h = DEFAULT_H;
        }
        r->left = r->top = 0;
        r->right = int32(w);
        r->bottom = int32(h);
        known_w_ = w;
        known_h_ = h;
        return kResultOk;
    }
    tresult VST3_API onSize(ViewRect* r) override {
        uint32_t w = 0, h = 0;
        if (!rect_size(r, &w, &h)) return kInvalidArgument;
        if (!created_ || !owns_editor()) return kResultFalse;
        bridge_->gui->adjust_size(bridge_->plugin, &w, &h);
        if (!bridge_->gui->set_size(bridge_->plugin, w, h)) return kResultFalse;
        known_w_ = w;
        known_h_ = h;
        return kResultOk;
    }
    tresult VST3_API onFocus(TBool) override { return kResultOk; }
    tresult VST3_API setFrame(IPlugFrame* frame) override {
        if (frame) frame->addRef();
        if (frame_) frame_->release();
        frame_ = frame;
        // The frame's run loop serves the editor's timer and X connection while the view lives, and
        // the module's service while the view is attached.
        IRunLoop* loop = query<IRunLoop>(frame);
        if (loop) wrapper_bridge_set_run_loop(bridge_, loop);
        if (attached_) {
            if (loop)
                wrapper_service_offer(this, loop);
            else
                wrapper_service_withdraw(this);
        }
        if (frame_loop_) frame_loop_->release();
        frame_loop_ = loop;
        return kResultOk;
    }
    tresult VST3_API canResize() override {
        return created_ && live() && bridge_->gui->can_resize(bridge_->plugin) ? kResultTrue : kResultFalse;
    }
    tresult VST3_API checkSizeConstraint(ViewRect* r) override {
        uint32_t w = 0, h = 0;
        if (!rect_size(r, &w, &h)) return kInvalidArgument;
        if (!live() || !bridge_->gui->adjust_size(bridge_->plugin, &w, &h)) return kResultFalse;
        r->right = r->left + int32(w);
        r->bottom = r->top + int32(h);
        return kResultTrue;
    }

    tresult VST3_API setContentScaleFactor(float factor) override {
        // Beyond these an editor would be a few pixels or many screens wide.
        if (!(factor > 0.25f && factor <= 8.0f)) return kInvalidArgument;
        scale_ = factor;
        if (created_ && owns_editor()) bridge_->gui->set_scale(bridge_->plugin, factor);
        if (attached_) report_size();
        return kResultOk;
    }

  private:
    std::atomic<uint32> refs_{1};
    wrapper_bridge* bridge_;
    IPlugFrame* frame_ = nullptr;
    IRunLoop* frame_loop_ = nullptr; // the frame's run loop (one reference), or null
    bool created_ = false;
    bool attached_ = false;
    double scale_ = 0;
    uint32_t known_w_ = 0, known_h_ = 0; // the size the host last read or set

    // Tells the host the editor's size when it differs from the size the host last read or set.
    void report_size() {
        ViewRect r{};
        uint32_t w = DEFAULT_W, h = DEFAULT_H;
        if (!created_ || !live() || !bridge_->gui->get_size(bridge_->plugin, &w, &h)) return;
        if (w == known_w_ && h == known_h_) return;
        r.right = int32(w);
        r.bottom = int32(h);
        if (frame_) frame_->resizeView(this, &r);
    }

    static bool request_resize(void* v, uint32_t w, uint32_t h) {
        auto* self = static_cast<view*>(v);
        if (!self->frame_) return false;
        ViewRect r{0, 0, int32(w), int32(h)};
        return self->frame_->resizeView(self, &r) == kResultOk;
    }

    // The plug-in still lives (the component's terminate ends it under a view the host keeps).
    bool live() const { return bridge_->plugin && bridge_->gui; }
    // This view may change the editor: it shows it, or no view does.
    bool owns_editor() const {
        return live() && (bridge_->gui_attached == this || bridge_->gui_attached == nullptr);
    }
    // Takes a hold on the plug-in's one editor, making it for the first view.
    bool acquire_gui() {
        if (!live()) return false;
        if (bridge_->gui_views == 0 && !bridge_->gui->create(bridge_->plugin, GUI_API, false)) return false;
        ++bridge_->gui_views;
        return true;
    }

    // Lets go of what this view holds; the editor goes with the last view that holds it, so that
    // releasing a view a host made to probe never touches the one a host window shows.
    void teardown() {
        wrapper_service_withdraw(this);
        if (bridge_->view == this) {
            bridge_->view = nullptr;
            bridge_->view_resize = nullptr;
        }
        if (created_ && live()) {
            if (attached_) bridge_->gui->hide(bridge_->plugin);
            if (bridge_->gui_attached == this) bridge_->gui_attached = nullptr;
            if (bridge_->gui_views > 0 && --bridge_->gui_views == 0) bridge_->gui->destroy(bridge_->plugin);
        }
        created_ = false;
        attached_ = false;
        if (frame_) {
            frame_->release();
            frame_ = nullptr;
        }
        if (frame_loop_) {
            frame_loop_->release();
            frame_loop_ = nullptr;
        }
        if (refs_.load() == 0) wrapper_bridge_release(bridge_);
    }
};

} // namespace

IPlugView* wrapper_view_create(wrapper_bridge* b) {
    if (!b || !b->plugin || !b->gui || !b->gui->is_api_supported(b->plugin, GUI_API, false)) return nullptr;
    auto* v = new (std::nothrow) view(b);
    if (!v) return nullptr;
    if (!v->ok()) {
        v->release();
        return nullptr;
    }
    return v;
}
