// The whole system under a real X server: a chain of three stages in two host processes (a session
// with two stages, and `lodrin-host gui` with one, whose editor shows all three), real audio running
// in both, in lock-step as one serial chain. Real X events (xdotool: pointer moves, presses, drags,
// wheel turns, typed keys) land on the rectangles the debug extension reports; each must change the
// value of the stage it targets in the process that owns it, and reach that host as one gesture
// (begin, values, end). The screenshot of the last frame must show the stage colours in the chain
// cards and the graph's bands, the ceiling line and the hovered knob's orange value.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "session_child.h"
#include "theme.h"
#include "wait_until.h"

namespace {

// A host process's start (module, segment, first editor frame) with every core busy.
constexpr double kStartSeconds = 30.0;

struct rect {
    float x = 0, y = 0, w = 0, h = 0;
    int cx() const { return int(x + w / 2); }
    int cy() const { return int(y + h / 2); }
};

// Reads whatever the child prints for `ms` milliseconds (into c.lines).
void pump(child& c, int ms) {
    c.wait_for(std::string(1, '\x01'), ms);
}

// Polls until `done` holds for the lines printed since `mark`, at most `seconds`.
template <class F>
bool poll_lines(child& c, size_t mark, double seconds, F done) {
    return wait_until(
        [&] {
            std::vector<std::string> since(c.lines.begin() + long(mark), c.lines.end());
            return done(since);
        },
        seconds, [] { return std::string(); }, [&] { pump(c, 50); });
}

// The stage a line "event K gesture-end ID" names for parameter `id`, or 0.
unsigned gesture_end_of(const std::string& line, unsigned id) {
    unsigned k = 0, got = 0;
    int used = 0;
    if (std::sscanf(line.c_str(), "event %u gesture-end %u%n", &k, &got, &used) != 2) return 0;
    return size_t(used) == line.size() && got == id ? k : 0;
}

// The rectangle of a widget of the gui process's editor (see editor_find_widget_rect), polled until
// the editor has drawn it.
testing::AssertionResult widget(child& g, unsigned sel, int n, rect* r) {
    const std::string prefix = "rect " + std::to_string(sel) + " " + std::to_string(n) + " ";
    std::string last;
    return wait_until(
        [&] {
            g.send(prefix);
            last = g.wait_for(prefix, 2000);
            return last.size() > prefix.size() &&
                   std::sscanf(last.c_str() + prefix.size(), "%f %f %f %f", &r->x, &r->y, &r->w, &r->h) == 4;
        },
        2 * kWaitSeconds,
        [&] {
            return "widget " + std::to_string(sel) + " " + std::to_string(n) + ": last answer \"" + last +
                   "\"";
        },
        [&] { pump(g, 50); });
}

// One xdotool run, bounded: a --sync move that never completes must not hang the test.
std::string xdo(const std::string& window, const std::string& args) {
    const std::string cmd = "timeout 30 xdotool " + args;
    (void)window;
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return cmd;
}

// Asks the child to quit and waits for its end (its output read meanwhile, so it never blocks on a
// full pipe) at most `seconds`. Returns its exit code, or -1 after killing a child that did not end.
int quit_within(child& c, double seconds) {
    if (c.pid <= 0) return -1;
    c.send("quit");
    int st = 0;
    const testing::AssertionResult ended = wait_child(
        c.pid, seconds, &st,
        [&] {
            std::string tail;
            for (size_t i = c.lines.size() > 10 ? c.lines.size() - 10 : 0; i < c.lines.size(); ++i)
                tail += "\n  " + c.lines[i];
            return "its last lines:" + tail + "\n";
        },
        [&] {
            pump(c, 20);
            usleep(10000);
        });
    c.pid = -1;
    if (!ended) {
        ADD_FAILURE() << ended.message();
        return -1;
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// The events of one process since mark, checked as gestures: every value inside a begin / end of its
// parameter, none left open. Returns the number of gestures per parameter id (-1 on a malformed
// sequence) and the last value each got.
struct gesture_summary {
    bool well_formed = true;
    std::map<unsigned, int> gestures; // gestures that carried values (a press alone opens an empty one)
    std::map<unsigned, int> values;
    std::map<unsigned, double> last;
    std::string text;
};

gesture_summary gestures_since(const child& c, size_t mark, unsigned stage) {
    gesture_summary s;
    std::map<unsigned, bool> open;
    std::map<unsigned, int> carried; // values inside the open gesture
    for (size_t i = mark; i < c.lines.size(); ++i) {
        unsigned k = 0, id = 0;
        char what[32] = "";
        double v = 0;
        const int got = std::sscanf(c.lines[i].c_str(), "event %u %31s %u %lf", &k, what, &id, &v);
        if (got < 3 || k != stage) continue;
        s.text += c.lines[i] + "\n";
        const std::string w = what;
        if (w == "gesture-begin") {
            if (open[id]) s.well_formed = false;
            open[id] = true;
            carried[id] = 0;
        } else if (w == "gesture-end") {
            if (!open[id]) s.well_formed = false;
            open[id] = false;
            if (carried[id] > 0) ++s.gestures[id];
        } else if (w == "value" && got == 4) {
            if (!open[id]) s.well_formed = false;
            ++s.values[id];
            ++carried[id];
            s.last[id] = v;
        }
    }
    for (auto& [id, o] : open)
        if (o) s.well_formed = false;
    return s;
}

// The value a process's host holds for stage k's parameter.
double value_of(child& c, unsigned k, const std::string& name) {
    const std::string prefix = "value " + std::to_string(k) + " " + name + " ";
    c.send("value " + std::to_string(k) + " " + name);
    const std::string l = c.wait_for(prefix, int(kWaitSeconds * 1000));
    double v = NAN;
    if (l.size() <= prefix.size() || std::sscanf(l.c_str() + prefix.size(), "%lf", &v) != 1)
        ADD_FAILURE() << "no answer to \"value " << k << " " << name << "\" within " << kWaitSeconds << " s";
    return v;
}

std::vector<uint8_t> read_ppm(const std::string& path, int* w, int* h) {
    std::vector<uint8_t> px;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return px;
    if (std::fscanf(f, "P6 %d %d 255", w, h) == 2 && std::fgetc(f) != EOF) {
        px.resize(size_t(*w) * size_t(*h) * 3);
        if (std::fread(px.data(), 1, px.size(), f) != px.size()) px.clear();
    }
    std::fclose(f);
    return px;
}

} // namespace

TEST(ChainEndToEnd, RealEventsEditStagesOfBothProcesses) {
    const std::string shot = std::string(LODRIN_TEST_TMP) + "/chain-e2e.ppm";
    std::remove(shot.c_str());

    // Ceilings step down the chain so every stage reduces and shows its colour; fixed places keep the
    // chain's order (stages on Auto order themselves by when their audio started). The two processes
    // run in lock-step, as a host that gives plug-ins processes of their own runs one track: the gui
    // process waits for the token the session passes after each of its blocks, so both see the same
    // steady times, the session's stages first. The gui starts first, so no block goes untokened.
    const std::string token = std::string(LODRIN_TEST_TMP) + "/chain-e2e-" + std::to_string(getpid()) + ".fifo";
    std::remove(token.c_str());
    ASSERT_EQ(mkfifo(token.c_str(), 0600), 0);
    struct unlink_on_exit {
        std::string path;
        ~unlink_on_exit() { std::remove(path.c_str()); }
    } token_guard{token};
    child a, g;
    ASSERT_TRUE(g.start({LODRIN_TEST_HOST, "gui", "--module", LODRIN_TEST_MODULE, "--stages", "1", "--block", "256",
                         "--set", "Group=C", "--set", "Ceiling=-6", "--set", "Stage=3", "--wait-token", token,
                         "--screenshot", shot}));
    const std::string wl = g.wait_for("window ", int(kStartSeconds * 1000));
    ASSERT_NE(wl, "") << "the gui host showed no window";
    const std::string win = wl.substr(7);
    ASSERT_TRUE(a.start({LODRIN_TEST_HOST, "session", "--module", LODRIN_TEST_MODULE, "--stages", "2", "--block",
                         "256", "--set", "Group=C", "--set", "1:Gain=9", "--set", "2:Ceiling=-3", "--set", "1:Stage=1",
                         "--set", "2:Stage=2", "--pass-token", token}));
    ASSERT_NE(a.wait_for("ready ", int(kStartSeconds * 1000)), "") << "the session did not get ready";

    // All three stages are listed as cards; the gui's own stage joined last.
    rect card[3];
    for (int n = 1; n <= 3; ++n) ASSERT_TRUE(widget(g, 0, n, &card[n - 1])) << "card " << n;

    // Each action is one xdotool run: its pointer moves (--sync: done before the next command) and
    // buttons reach the server in order.
    const auto to = [&](int x, int y) {
        return "mousemove --sync --window " + win + " " + std::to_string(x) + " " + std::to_string(y) + " ";
    };
    const auto move = [&](int x, int y) { xdo(win, to(x, y)); };
    const auto drag = [&](const rect& r, int dy) {
        std::string c = to(r.cx(), r.cy()) + "mousedown 1 ";
        for (int i = 1; i <= 4; ++i) c += to(r.cx(), r.cy() + dy * i / 4);
        xdo(win, c + "mouseup 1");
    };
    const auto click = [&](const rect& r) { xdo(win, to(r.cx(), r.cy()) + "click 1"); };
    // One edit: what the X events do, which process and stage must receive it, which parameter,
    // and what its value must become (NAN: only that it changes).
    struct edit {
        const char* name;
        unsigned sel;
        int n;
        child* owner;
        unsigned stage;   // the stage's number in its own process
        unsigned id;      // the parameter's id
        const char* param;
        double expect;
    };
    // A card press focuses its stage and starts a gain drag, a gesture without values, in the process
    // that owns the stage and in no other: both processes are watched until one of them reports it, so
    // a slow report is never taken for a press of the other process's card. Then the pointer rests past
    // the double-click time, so the next press is a press of its own.
    struct card_stage {
        child* owner = nullptr;
        unsigned stage = 0;
    };
    const auto press_card = [&](int i) -> card_stage {
        card_stage found;
        // Twice at most: the first press may land before the editor takes input.
        for (int attempt = 0; attempt < 2 && !found.owner; ++attempt) {
            const size_t gm = g.lines.size(), am = a.lines.size();
            click(card[i]);
            const auto scan = [&](child& c, size_t mark) {
                for (size_t j = mark; j < c.lines.size() && !found.owner; ++j)
                    if (const unsigned k = gesture_end_of(c.lines[j], 2)) found = {&c, k};
            };
            (void)wait_until(
                [&] {
                    scan(g, gm);
                    scan(a, am);
                    return found.owner != nullptr;
                },
                kWaitSeconds, [] { return std::string(); },
                [&] {
                    pump(g, 25);
                    pump(a, 25);
                });
        }
        if (found.owner) pump(*found.owner, 400);
        return found;
    };

    rect r;
    int focus_card = -1; // the card pressed before each edit, so its stage is the focused one
    const auto run = [&](const edit& e, const auto& act) {
        SCOPED_TRACE(e.name);
        if (focus_card >= 0) {
            const card_stage c = press_card(focus_card);
            ASSERT_EQ(c.owner, e.owner)
                << "card " << focus_card + 1 << " no longer stands for the edited stage";
            ASSERT_EQ(c.stage, e.stage);
        }
        ASSERT_TRUE(widget(g, e.sel, e.n, &r));
        const double before = value_of(*e.owner, e.stage, e.param);
        const size_t mark = e.owner->lines.size(), gmark = g.lines.size();
        act(r);
        const bool ended = poll_lines(*e.owner, mark, kWaitSeconds, [&](const std::vector<std::string>& l) {
            for (auto& s : l)
                if (s == "event " + std::to_string(e.stage) + " gesture-end " + std::to_string(e.id))
                    return true;
            return false;
        });
        pump(*e.owner, 150);
        gesture_summary s = gestures_since(*e.owner, mark, e.stage);
        std::string all;
        for (size_t i = mark; i < e.owner->lines.size(); ++i) all += e.owner->lines[i] + "\n";
        std::string gl;
        for (size_t i = gmark; i < g.lines.size(); ++i) gl += g.lines[i] + "\n";
        EXPECT_TRUE(ended) << all << "gui process:\n" << gl;
        EXPECT_TRUE(s.well_formed) << s.text;
        EXPECT_EQ(s.gestures[e.id], 1) << s.text;
        EXPECT_GE(s.values[e.id], 1) << s.text;
        const double after = value_of(*e.owner, e.stage, e.param);
        if (std::isnan(e.expect))
            EXPECT_NE(after, before);
        else
            EXPECT_NEAR(after, e.expect, 1e-6);
        EXPECT_NEAR(after, s.last[e.id], 1e-6) << "the host holds the gesture's last value";
    };

    // Presses the cards in turn until one stands for a stage of `owner`, which is then focused.
    const auto focus_stage_of = [&](child& owner, int* which) -> unsigned {
        for (int i = 0; i < 3; ++i) {
            const card_stage c = press_card(i);
            EXPECT_NE(c.owner, nullptr) << "a press on card " << i + 1 << " reached no process";
            if (c.owner == &owner) {
                *which = i;
                return c.stage;
            }
        }
        return 0;
    };
    int card_of_a = -1, own_card = -1;

    // The gui process's own stage first: a knob and a switch edit it.
    const unsigned own = focus_stage_of(g, &own_card);
    ASSERT_EQ(own, 1u);
    pump(g, 300);
    run({"knob drag", 2, 0, &g, 1, 3, "Ceiling", NAN}, [&](const rect& k) { drag(k, 40); });
    run({"switch press", 20, 7, &g, 1, 6, "True peak", 0.0}, click);

    // Focus a stage of the session; the rest edits the other process.
    const unsigned k = focus_stage_of(a, &card_of_a);
    ASSERT_NE(k, 0u) << "no card focuses a stage of the session";
    focus_card = card_of_a;
    pump(a, 300);
    run({"wheel turn", 19, 3, &a, k, 4, "Release", NAN}, [&](const rect& k) {
        xdo(win, to(k.cx(), k.cy()) + "click 4");
    });
    run({"fader drag", 1, 0, &a, k, 2, "Gain", NAN}, [&](const rect& f) { drag(f, -60); });

    // A/B: the first press keeps the values (B starts as a copy of A); a change made on B is undone by
    // pressing back to A.
    ASSERT_TRUE(widget(g, 5, 0, &r));
    const rect ab = r;
    const double release_a = value_of(a, k, "Release");
    click(ab);
    pump(a, 300);
    run({"wheel on B", 19, 3, &a, k, 4, "Release", NAN}, [&](const rect& k) {
        xdo(win, to(k.cx(), k.cy()) + "click 5");
    });
    run({"A/B back to A", 5, 0, &a, k, 4, "Release", release_a}, click);

    // The entry box: a double-click opens it on the Mix knob; typed text replaces the value.
    run({"typed value", 19, 16, &a, k, 15, "Mix", 50.0}, [&](const rect& k) {
        xdo(win, to(k.cx(), k.cy()) + "click --repeat 2 --delay 80 1 sleep 0.2 type --delay 30 50");
        xdo(win, "key Return"); // its own run: type takes every word after it as text
    });

    // A preset row of the menu the preset box opens: a stage preset loads into the focused stage.
    {
        SCOPED_TRACE("preset row");
        ASSERT_TRUE(widget(g, 11, 0, &r));
        click(r);
        rect row;
        ASSERT_TRUE(widget(g, 8, 2, &row));
        const size_t mark = a.lines.size();
        click(row);
        EXPECT_TRUE(poll_lines(a, mark, kWaitSeconds,
                               [&](const std::vector<std::string>& l) {
                                   for (auto& s : l)
                                       if (s.rfind("event " + std::to_string(k) + " gesture-end", 0) == 0)
                                           return true;
                                   return false;
                               }))
            << "menu row at " << row.x << "," << row.y << " " << row.w << "x" << row.h;
        pump(a, 300);
        gesture_summary s = gestures_since(a, mark, k);
        EXPECT_TRUE(s.well_formed) << s.text;
        for (auto& [id, n] : s.gestures) EXPECT_EQ(n, 1) << "parameter " << id << "\n" << s.text;
        EXPECT_GE(s.gestures.size(), 5u) << "a preset sets the stage's controls\n" << s.text;
        EXPECT_EQ(s.values[4], 1) << s.text;
        EXPECT_EQ(value_of(a, k, "Release"), s.last[4]) << s.text;
    }

    // The last frame: the gui's own stage focused, the pointer over its Release knob.
    click(card[own_card]);
    ASSERT_TRUE(widget(g, 19, 3, &r));
    move(r.cx(), r.cy());
    const double ceiling = value_of(g, 1, "Ceiling");
    pump(g, 500);
    // The gui host takes its screenshot on the way out.
    EXPECT_EQ(quit_within(g, 2 * kStartSeconds), 0);
    EXPECT_EQ(quit_within(a, kStartSeconds), 0);

    int w = 0, h = 0;
    const std::vector<uint8_t> px = read_ppm(shot, &w, &h);
    ASSERT_EQ(w, 960);
    ASSERT_EQ(h, 600);
    ASSERT_FALSE(px.empty());
    const auto at = [&](int x, int y) { return &px[(size_t(y) * size_t(w) + size_t(x)) * 3]; };
    const auto near = [](const uint8_t* p, theme_colour c, int tol) {
        return std::abs(p[0] - c.r) <= tol && std::abs(p[1] - c.g) <= tol && std::abs(p[2] - c.b) <= tol;
    };
    const auto any_near = [&](int x0, int y0, int x1, int y1, theme_colour c, int tol) {
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                if (near(at(x, y), c, tol)) return true;
        return false;
    };
    for (int i = 0; i < 3; ++i) {
        const rect& c = card[i];
        EXPECT_TRUE(any_near(int(c.x) + 8, int(c.y) + 24, int(c.x) + 40, int(c.y) + 34, stage_colours[i], 16))
            << "card " << i + 1 << "'s reduction bar";
        EXPECT_TRUE(any_near(120, 100, 680, 300, stage_colours[i], 20)) << "stage " << i + 1 << "'s band";
    }
    // The focused stage's ceiling line (15.47 pixels per dB below the graph's top at y 100) is redder
    // than the rows beside it across the graph.
    const int line_y = int(100 + -ceiling * (92.8 / 6.0));
    int red = 0, total = 0;
    for (int x = 130; x < 680; x += 10, ++total) {
        const auto redness = [&](int y) { return int(at(x, y)[0]) - int(at(x, y)[1]); };
        const int on = std::max(redness(line_y), redness(line_y + 1));
        if (on > redness(line_y - 5) + 30 && on > redness(line_y + 6) + 30) ++red;
    }
    EXPECT_GT(red, total * 6 / 10) << "ceiling " << ceiling << " at row " << line_y;
    // The hovered Release knob writes its value in orange; the Stereo link knob beside it does not.
    EXPECT_TRUE(any_near(int(r.x), int(r.y + r.h - 8), int(r.x + r.w), int(r.y + r.h + 4), colours.orange, 30));
    EXPECT_FALSE(any_near(int(r.x + 64), int(r.y + r.h - 8), int(r.x + r.w + 64), int(r.y + r.h + 4), colours.orange, 30));
}
