// Guards the fullest frames the editor draws: every widget of 64 stages with every panel open
// stays clickable, no two widgets' rectangles overlap at any group count, and every text stays
// inside the box it belongs to and clear of every other text, at zoom 1 and 2.5.
#include <string>

#include "../../../editor/panels/panel_draw.h"
#include "panels_test_support.h"

namespace {

std::string describe(const hit_entry& h) {
    return "kind " + std::to_string(h.kind) + " index " + std::to_string(h.index) + " sub " + std::to_string(h.sub) +
           " at (" + std::to_string(h.x) + ", " + std::to_string(h.y) + ", " + std::to_string(h.w) + ", " +
           std::to_string(h.h) + ")";
}

bool same_widget(const hit_entry& a, const hit_entry& b) {
    return a.kind == b.kind && a.index == b.index && a.sub == b.sub;
}

bool overlap(const hit_entry& a, const hit_entry& b) {
    return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
}

// The own stage in group `groups - 1`, so that the header shows `groups` letters.
void show_groups(panel_fixture& f, int32_t groups) {
    f.inst->slot->values[PARAM_GROUP] = groups - 1;
    f.e->shown_group = groups - 1;
}

} // namespace

TEST(FullFrame, NoTwoWidgetsOverlapAtAnyGroupCount) {
    for (int32_t groups = 1; groups <= 16; ++groups)
        for (const bool chain_mode : {false, true})
            for (const bool grid_open : {false, true}) {
                SCOPED_TRACE(std::to_string(groups) + " groups, chain mode " + std::to_string(chain_mode) +
                             ", grid " + std::to_string(grid_open));
                panel_fixture f(12);
                f.inst->ui.grid_open = grid_open ? 1 : 0;
                f.e->chain_mode = chain_mode ? 1 : 0;
                show_groups(f, groups);
                f.frame();
                EXPECT_EQ(f.hits(WIDGET_GROUP).size(), static_cast<size_t>(groups < 16 ? groups + 1 : 16));
                for (int32_t i = 0; i < f.e->hit_count; ++i)
                    for (int32_t j = i + 1; j < f.e->hit_count; ++j)
                        EXPECT_FALSE(overlap(f.e->hits[i], f.e->hits[j]))
                            << describe(f.e->hits[i]) << " and " << describe(f.e->hits[j]);
            }
}

TEST(FullFrame, EveryWidgetOfSixtyFourStagesIsHittable) {
    struct row {
        int32_t stages;
        bool chain_mode;
    } rows[] = {{35, false}, {64, false}, {64, true}};
    for (const row& r : rows) {
        SCOPED_TRACE(std::to_string(r.stages) + " stages, chain mode " + std::to_string(r.chain_mode));
        panel_fixture f(r.stages);
        f.inst->ui.grid_open = 1;
        f.inst->ui.controls_open = 1;
        f.e->chain_mode = r.chain_mode ? 1 : 0;
        f.frame();

        // A card, a grid column head and 12 cells per stage; the panels below the grid all there.
        EXPECT_EQ(f.hits(WIDGET_STAGE).size(), 2u * r.stages);
        EXPECT_EQ(f.hits(WIDGET_GRID_CELL).size(), 12u * r.stages);
        EXPECT_EQ(f.hits(WIDGET_KNOB).size(), 5u);
        EXPECT_EQ(f.hits(WIDGET_GAIN_FADER).size(), 1u);
        EXPECT_EQ(f.hits(WIDGET_GRID).size(), 1u) << "the grid can be closed";
        EXPECT_EQ(f.hits(WIDGET_RESIZE_GRIP).size(), 1u);
        EXPECT_EQ(f.hits(WIDGET_SPREAD).size(), r.chain_mode ? 1u : 0u);
        EXPECT_LT(f.e->hit_count, HIT_LIST_CAPACITY);
        // Each widget's own centre reaches it.
        for (int32_t i = 0; i < f.e->hit_count; ++i) {
            const hit_entry& h = f.e->hits[i];
            const hit_entry* found = editor_hit_test(f.e, h.x + h.w / 2, h.y + h.h / 2);
            ASSERT_NE(found, nullptr) << describe(h);
            EXPECT_TRUE(same_widget(*found, h)) << describe(h) << " is covered by " << describe(*found);
        }
    }
}

namespace {

struct drawn_text {
    std::string text;
    float b[4]; // min x, min y, max x, max y of the glyphs
    float ax, ay; // the position given to the text call
    int32_t call;
};

std::vector<drawn_text> drawn_texts(const panel_fixture& f) {
    std::vector<drawn_text> out;
    for (int32_t i = 0; i < vg_record_count(f.rec); ++i) {
        const vg_record_call* c = vg_record_call_at(f.rec, i);
        if (c->kind != VG_RECORD_TEXT || c->n_verts == 0) continue;
        out.push_back({std::string(c->run.text, static_cast<size_t>(c->run.len)),
                       {c->bounds[0], c->bounds[1], c->bounds[2], c->bounds[3]}, c->run.x, c->run.y, i});
    }
    return out;
}

// An opaque fill drawn between calls `after` and `before` that covers the rectangle.
bool covered(const panel_fixture& f, int32_t after, int32_t before, const float* b) {
    for (int32_t i = after + 1; i < before; ++i) {
        const vg_record_call* c = vg_record_call_at(f.rec, i);
        if (c->kind != VG_RECORD_FILL || c->paint.inner.a < 0.9f || c->paint.outer.a < 0.9f) continue;
        if (c->bounds[0] <= b[0] && c->bounds[1] <= b[1] && c->bounds[2] >= b[2] && c->bounds[3] >= b[3]) return true;
    }
    return false;
}

std::string where(const drawn_text& t) {
    return "\"" + t.text + "\" (" + std::to_string(t.b[0]) + ", " + std::to_string(t.b[1]) + ")-(" +
           std::to_string(t.b[2]) + ", " + std::to_string(t.b[3]) + ")";
}

// Every text across no wider than the smallest widget rectangle holding its position, and clear of every other
// text by 2 units across and 1 up and down, unless one lies under an opaque box drawn over the
// other (a menu, the about box, a text entry).
void expect_texts_fit(const panel_fixture& f) {
    const std::vector<drawn_text> texts = drawn_texts(f);
    const text_entry_state& entry = f.e->entry;
    for (const drawn_text& t : texts) {
        // The text entry and its hint lie over the panels; the caller checks them against the box.
        if (entry.active && t.ax > entry.x - 40 && t.ax < entry.x + entry.w + 40 && t.ay > entry.y &&
            t.ay < entry.y + entry.h + 18)
            continue;
        const hit_entry* box = nullptr;
        for (int32_t i = 0; i < f.e->hit_count; ++i) {
            const hit_entry& h = f.e->hits[i];
            if (t.ax < h.x || t.ax > h.x + h.w || t.ay < h.y || t.ay > h.y + h.h) continue;
            if (!box || h.w * h.h < box->w * box->h) box = &h;
        }
        if (!box) continue;
        EXPECT_TRUE(t.b[0] >= box->x - 0.5f && t.b[2] <= box->x + box->w + 0.5f)
            << where(t) << " wider than " << describe(*box);
    }
    for (size_t i = 0; i < texts.size(); ++i)
        for (size_t j = i + 1; j < texts.size(); ++j) {
            const drawn_text &a = texts[i], &b = texts[j];
            const bool apart = a.b[2] + 2.0f <= b.b[0] || b.b[2] + 2.0f <= a.b[0] || a.b[3] <= b.b[1] + 1.0f ||
                               b.b[3] <= a.b[1] + 1.0f;
            if (apart || covered(f, a.call, b.call, b.b)) continue;
            ADD_FAILURE() << where(a) << " runs into " << where(b);
        }
}

struct fit_case {
    const char* name;
    int32_t stages;
    int32_t groups;
    bool grid_open;
    bool chain_mode;
    double gain;        // every stage's Gain
    const char* preset; // a user preset selected, null none
    int32_t entry;      // 0 none, 1 a value typed at the Release knob, 2 a stage preset's name
};

class TextFit : public ::testing::TestWithParam<fit_case> {};

TEST_P(TextFit, EveryTextFitsItsBoxAndStaysClearOfTheOthers) {
    const fit_case c = GetParam();
    for (const float zoom : {1.0f, 2.5f}) {
        SCOPED_TRACE(std::string(c.name) + " at zoom " + std::to_string(zoom));
        panel_fixture f(c.stages);
        f.inst->ui.grid_open = c.grid_open ? 1 : 0;
        f.e->chain_mode = c.chain_mode ? 1 : 0;
        show_groups(f, c.groups);
        for (int32_t i = 0; i < c.stages; ++i) f.slots[i]->values[PARAM_GAIN] = c.gain;
        if (c.preset) {
            std::snprintf(f.e->user_presets[0], PRESET_NAME_SIZE, "%s", c.preset);
            f.e->user_preset_count = 1;
            f.e->preset_selection = PRESET_USER_FIRST;
        }
        f.frame(10.0, 10000000000LL, zoom);
        if (c.entry == 1) {
            const auto knobs = f.hits(WIDGET_KNOB);
            ASSERT_GE(knobs.size(), 2u);
            begin_value_entry(f.e, &knobs[1], PARAM_RELEASE);
            for (int32_t i = 0; i < 70; ++i) text_entry_key(f.e, '0' + i % 10);
        } else if (c.entry == 2) {
            const auto menu = f.hits(WIDGET_PRESET_MENU);
            ASSERT_EQ(menu.size(), 1u);
            f.e->menu_x = menu[0].x;
            f.e->menu_y = menu[0].y + menu[0].h + 4.0f;
            f.e->menu_w = menu[0].w;
            begin_name_entry(f.e, TEXT_ENTRY_STAGE_PRESET, "Vocal bright");
        }
        f.frame(10.0, 10000000000LL, zoom);
        if (c.entry != 0) {
            // The entry box: what it shows stays inside it.
            const text_entry_state& t = f.e->entry;
            ASSERT_EQ(t.active, 1);
            for (const drawn_text& d : drawn_texts(f))
                if (d.ay > t.y && d.ay < t.y + t.h && d.ax > t.x && d.ax < t.x + t.w) {
                    EXPECT_GE(d.b[0], t.x) << where(d);
                    EXPECT_LE(d.b[2], t.x + t.w) << where(d);
                }
        }
        expect_texts_fit(f);
    }
}

// The stage grid draws its column heads, cells and row captions on a panel of its own: each of them
// lies inside that panel's box, above the controls panel or not, at every stage count and zoom.
TEST(FullFrame, EveryRowOfTheStageGridLiesInsideItsPanel) {
    static const char* const captions[12] = {"GAIN",      "OUT CEILING", "RELEASE",   "STEREO LINK",
                                             "MIX",       "LOOKAHEAD",   "TRUE PEAK", "ADAPTIVE",
                                             "STYLE",     "DITHER",      "SHAPING",   "GROUP"};
    for (const int32_t stages : {0, 1, 12, 64})
        for (const bool controls_open : {false, true})
            for (const float zoom : {1.0f, 2.5f}) {
                SCOPED_TRACE(std::to_string(stages) + " stages, controls " + std::to_string(controls_open) +
                             ", zoom " + std::to_string(zoom));
                panel_fixture f(stages);
                f.inst->ui.grid_open = 1;
                f.inst->ui.controls_open = controls_open ? 1 : 0;
                f.frame(10.0, 10000000000LL, zoom);

                // The row captions, left of the first column, drawn before the controls panel's labels.
                std::vector<drawn_text> rows;
                for (const drawn_text& t : drawn_texts(f))
                    if (rows.size() < 12 && t.text == captions[rows.size()] && t.ax > 62 && t.ax < 144) rows.push_back(t);
                ASSERT_EQ(rows.size(), 12u);
                // The panel: the last panel-wide fill drawn before the first caption.
                const float* panel = nullptr;
                for (int32_t i = 0; i < rows[0].call; ++i) {
                    const vg_record_call* c = vg_record_call_at(f.rec, i);
                    if (c->kind == VG_RECORD_FILL && c->bounds[0] < 63 && c->bounds[0] > 60 && c->bounds[2] > 681 &&
                        c->bounds[2] < 684)
                        panel = c->bounds;
                }
                ASSERT_NE(panel, nullptr);
                const std::string box = "the panel (" + std::to_string(panel[0]) + ", " + std::to_string(panel[1]) +
                                        ")-(" + std::to_string(panel[2]) + ", " + std::to_string(panel[3]) + ")";
                for (const drawn_text& t : rows) {
                    EXPECT_GE(t.b[1], panel[1]) << where(t) << " above " << box;
                    EXPECT_LE(t.b[3], panel[3]) << where(t) << " below " << box;
                }
                for (int32_t i = 0; i < f.e->hit_count; ++i) {
                    const hit_entry& h = f.e->hits[i];
                    const bool grid = h.kind == WIDGET_GRID_CELL || (h.kind == WIDGET_STAGE && h.y >= panel[1]);
                    if (!grid) continue;
                    EXPECT_GE(h.x, panel[0]) << describe(h) << " left of " << box;
                    EXPECT_GE(h.y, panel[1]) << describe(h) << " above " << box;
                    EXPECT_LE(h.x + h.w, panel[2]) << describe(h) << " right of " << box;
                    EXPECT_LE(h.y + h.h, panel[3]) << describe(h) << " below " << box;
                }
                // Nor does the grid reach into the controls panel or the footer below it.
                const float below = controls_open ? 466.0f : 572.0f;
                EXPECT_LE(panel[3], below) << box;
            }
}

constexpr char long_name[] = "A preset name of sixty-three characters, as long as names go 63";

INSTANTIATE_TEST_SUITE_P(
    Frames, TextFit,
    ::testing::Values(fit_case{"3 stages", 3, 1, false, false, 0.0, nullptr, 0},
                      fit_case{"no stages", 0, 1, false, false, 0.0, nullptr, 0},
                      fit_case{"10 cards at +10 dB", 10, 1, false, false, 10.0, nullptr, 0},
                      fit_case{"12 stages with the grid", 12, 1, true, false, -0.5, nullptr, 0},
                      fit_case{"12 stages in chain mode", 12, 1, true, true, 12.5, nullptr, 0},
                      fit_case{"64 stages with the grid", 64, 1, true, false, 10.0, nullptr, 0},
                      fit_case{"16 groups", 4, 16, false, false, 0.0, nullptr, 0},
                      fit_case{"a long preset name", 2, 1, false, false, 0.0, long_name, 0},
                      fit_case{"a long preset name at 16 groups", 2, 16, false, false, 0.0, long_name, 0},
                      fit_case{"70 typed characters", 2, 1, false, false, 0.0, nullptr, 1},
                      fit_case{"a preset name typed", 4, 1, false, false, 0.0, nullptr, 2}));

} // namespace

TEST(TextFit, ShortenedTextsEndWithAnEllipsisBetweenCharacters) {
    panel_fixture f(1);
    const float full = panel_text_width(f.vg, 11, 0, "Vocal bright");
    const float dots = panel_text_width(f.vg, 11, 0, "\xE2\x80\xA6");
    struct row {
        const char* text;
        float max;
        const char* expected;
    } rows[] = {
        {"Vocal bright", full, "Vocal bright"},
        {"Vocal bright", full - 1, nullptr}, // shortened: checked below
        {"Vocal bright", dots, "\xE2\x80\xA6"},
        {"Vocal bright", dots - 0.5f, ""},
        {"", 100, ""},
        {"Mot\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", 40, nullptr},
    };
    for (const row& r : rows) {
        char out[64];
        const float w = panel_fit_text(f.vg, 11, 0, r.text, r.max, out, sizeof out);
        EXPECT_LE(w, r.max) << r.text;
        EXPECT_FLOAT_EQ(w, panel_text_width(f.vg, 11, 0, out)) << r.text;
        if (r.expected) {
            EXPECT_STREQ(out, r.expected) << r.text;
            continue;
        }
        // Its beginning, whole characters only, then the ellipsis.
        const std::string s = out;
        ASSERT_GE(s.size(), 3u) << r.text;
        EXPECT_EQ(s.substr(s.size() - 3), "\xE2\x80\xA6") << r.text;
        const std::string head = s.substr(0, s.size() - 3);
        EXPECT_EQ(std::string(r.text).compare(0, head.size(), head), 0) << r.text;
        EXPECT_NE(static_cast<uint8_t>(r.text[head.size()]) & 0xC0, 0x80) << "cut inside a character: " << r.text;
        EXPECT_TRUE(head.empty() || head.back() != ' ') << r.text;
    }
}
