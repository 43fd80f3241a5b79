// Guards the keyboard as X delivers it: one keystroke arrives as a key press and, for Ctrl+letters
// and Backspace, also as a text event with its control character. Real keystrokes (XTest on a
// private Xvfb) into an open editor must act once: one Ctrl+Z is one undo, one Backspace removes
// one character.
#include "edit_test_support.h"

#include <functional>
#include <string>

#include "wait_until.h"
#include "window.h"

// Last: Xlib's macros (None, Bool, Status) would break the test framework's headers.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

class EditorKeys : public EditorFixture {
  protected:
    void SetUp() override {
        EditorFixture::SetUp();
        display = XOpenDisplay(nullptr);
        ASSERT_NE(display, nullptr);
        parent = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 960, 600, 0, 0, 0);
        XMapWindow(display, parent);
        XSync(display, False);
    }
    void TearDown() override {
        if (real) editor_destroy(real);
        if (display) {
            XDestroyWindow(display, parent);
            XCloseDisplay(display);
        }
        EditorFixture::TearDown();
    }
    // Runs the editor's event pass until `done` holds, at most kWaitSeconds; the failure tells what
    // `seen` says of the last poll.
    testing::AssertionResult pump_until(const std::function<bool()>& done,
                                        const std::function<std::string()>& seen) {
        return wait_until(done, kWaitSeconds, seen, [&] { pump(1); });
    }
    // The text entry once the keystrokes sent so far have arrived.
    testing::AssertionResult entry_reads(const char* text) {
        return pump_until([&] { return std::string(real->entry.text) == text; },
                          [&] {
                              return "the entry reads \"" + std::string(real->entry.text) + "\", not \"" +
                                     text + "\"";
                          });
    }
    void pump(int n) {
        for (int i = 0; i < n; ++i) {
            editor_pump_world();
            usleep(5000);
        }
    }
    void keystroke(KeySym sym, bool ctrl = false) {
        const KeyCode control = XKeysymToKeycode(display, XK_Control_L);
        const KeyCode code = XKeysymToKeycode(display, sym);
        if (ctrl) XTestFakeKeyEvent(display, control, True, 0);
        XTestFakeKeyEvent(display, code, True, 0);
        XTestFakeKeyEvent(display, code, False, 0);
        if (ctrl) XTestFakeKeyEvent(display, control, False, 0);
        XSync(display, False);
        pump(20);
    }
    Display* display = nullptr;
    Window parent = 0;
    editor_state* real = nullptr;
};

TEST_F(EditorKeys, OneKeystrokeActsOnce) {
    make_chain(1);
    real = editor_create(stages[0]);
    ASSERT_NE(real, nullptr);
    ASSERT_TRUE(editor_set_parent(real, parent));
    ASSERT_TRUE(editor_show(real));
    const Window view = static_cast<Window>(window_view_native(real->view));
    ASSERT_NE(view, 0u);
    // The editor maps its view on a connection of its own; the focus can only go to a viewable window.
    XWindowAttributes attrs{};
    ASSERT_TRUE(pump_until(
        [&] { return XGetWindowAttributes(display, view, &attrs) && attrs.map_state == IsViewable; },
        [&] { return "map_state " + std::to_string(attrs.map_state); }));
    XSetInputFocus(display, view, RevertToParent, CurrentTime);
    XSync(display, False);
    pump(10);

    editor_refresh_group(real);
    editor_set_param(real, 0, PARAM_GAIN, 3.0);
    editor_set_param(real, 0, PARAM_CEILING, -2.0); // another control: its own undo step
    ASSERT_EQ(stages[0]->undo_count, 2u);
    keystroke(XK_z, true);
    ASSERT_TRUE(pump_until([&] { return stages[0]->undo_count < 2; },
                           [] { return std::string("Ctrl+Z did not arrive"); }));
    pump(20);
    EXPECT_EQ(stages[0]->undo_count, 1u) << "one keystroke, one undo";
    EXPECT_DOUBLE_EQ(value(0, PARAM_CEILING), -0.3);
    EXPECT_DOUBLE_EQ(value(0, PARAM_GAIN), 3.0);

    // Ctrl+S opens the name entry; typing and one Backspace.
    keystroke(XK_s, true);
    ASSERT_TRUE(pump_until([&] { return real->entry.active != 0; },
                           [] { return std::string("no name entry opened"); }));
    keystroke(XK_a);
    EXPECT_TRUE(entry_reads("a"));
    keystroke(XK_b);
    EXPECT_TRUE(entry_reads("ab"));
    keystroke(XK_c);
    EXPECT_TRUE(entry_reads("abc"));
    keystroke(XK_BackSpace);
    EXPECT_TRUE(entry_reads("ab"));
    pump(20);
    EXPECT_STREQ(real->entry.text, "ab") << "one Backspace, one character";
    keystroke(XK_Escape);
    EXPECT_TRUE(pump_until([&] { return !real->entry.active; },
                           [] { return std::string("the entry is still open"); }));
}

} // namespace
