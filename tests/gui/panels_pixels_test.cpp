// Guards what the panels put on screen through the real OpenGL back end: the stage colours of the
// chain panel's reduction bars and of the history graph's bands, the ceiling line, and the orange
// accent of a hovered knob. A wrong paint, a dropped draw or a band stacked in the wrong place shows
// in these pixels even when the recorded drawing calls look right.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "gl_table.h"
#include "gl_test_context.h"
#include "panels_test_support.h"
#include "vg/vg_gl3.h"

namespace {

constexpr int32_t W = 960, H = 600;

struct rendered {
    std::vector<uint8_t> rgba;
    const uint8_t* at(int32_t x, int32_t y) const { return &rgba[(static_cast<size_t>(y) * W + x) * 4]; }
};

bool near(const uint8_t* p, theme_colour c, int32_t tol) {
    return std::abs(p[0] - c.r) <= tol && std::abs(p[1] - c.g) <= tol && std::abs(p[2] - c.b) <= tol;
}

bool any_near(const rendered& r, int32_t x0, int32_t y0, int32_t x1, int32_t y1, theme_colour c, int32_t tol) {
    for (int32_t y = y0; y <= y1; ++y)
        for (int32_t x = x0; x <= x1; ++x)
            if (near(r.at(x, y), c, tol)) return true;
    return false;
}

TEST(PanelPixels, StageColoursCeilingAndHoverAccent) {
    gl_test_context* gl = gl_test_context_create(W, H);
    ASSERT_NE(gl, nullptr);
    {
        panel_fixture f(3);
        vg_context* vg = vg_create_gl3(VG_ANTIALIAS | VG_STENCIL_STROKES);
        ASSERT_NE(vg, nullptr);
        const int32_t font = vg_create_font_mem(vg, "sans", lodrin_font_data, static_cast<int32_t>(lodrin_font_size), 0);
        f.e->vg = vg;
        const int64_t now = 100000000000LL;
        const float ceiling = -9.0194f; // y(c) = 239.5: the line covers pixel row 239
        for (int32_t i = 0; i < 3; ++i) {
            shm_slot* s = f.slots[i];
            s->sample_rate = 48000;
            s->min_gain = 0.1f; // 20 dB: every card's bar is full
            s->values[PARAM_CEILING] = ceiling;
            // Stage 0 reduces 6 dB all the time; nobody has output level (the output area is empty).
            for (int32_t k = 0; k < 6000; ++k) {
                s->history[HISTORY_GAIN][k] = i == 0 ? 0.5f : 1.0f;
                s->history[HISTORY_LEVEL][k] = 0.5f;
                s->history[HISTORY_TRUE_PEAK][k] = 0.0f;
                s->history[HISTORY_SHORT_TERM][k] = -100.0f;
            }
            s->history_counter = 6000;
            s->history_time_ns = now - 5000000;
        }
        f.e->focused_index = 0;
        f.e->hover_kind = WIDGET_KNOB;
        f.e->hover_index = 0;
        f.e->hover_sub = PARAM_RELEASE;
        for (int32_t frame = 0; frame < 2; ++frame) {
            vg_begin_frame(vg, W, H, 1.0f);
            vg_font_face_id(vg, font);
            f.e->hit_count = 0;
            draw_header_bar(f.e);
            draw_chain_panel(f.e);
            draw_history_graph(f.e, now);
            draw_loudness_panel(f.e, 10.0);
            draw_stage_grid(f.e);
            draw_controls_panel(f.e);
            draw_gain_fader(f.e);
            draw_footer_bar(f.e);
            vg_end_frame(vg);
        }
        rendered r{gl_test_read_rgba(gl)};
        if (const char* keep = std::getenv("LODRIN_PANELS_PPM")) gl_test_write_ppm(keep, r.rgba, W, H);

        // Cards of 132 from x 309: each bar starts in its stage's colour at full alpha.
        for (int32_t i = 0; i < 3; ++i)
            EXPECT_TRUE(near(r.at(309 + 142 * i + 12, 76), stage_colours[i], 12)) << "card " << i;
        // The focused stage's band hangs from the top (6 dB: y 100 to 192.8) at alpha 0.95.
        EXPECT_TRUE(near(r.at(400, 106), stage_colours[0], 24));
        EXPECT_FALSE(near(r.at(400, 200), stage_colours[0], 60)); // below it: the other stages reduce nothing
        // The ceiling line, rgba(236,86,74,150) over the graph's dark background.
        const uint8_t* line = r.at(300, 239);
        const uint8_t* below = r.at(300, 243);
        EXPECT_GT(line[0] - line[1], below[0] - below[1] + 40);
        EXPECT_GT(line[0], 100);
        // The hovered Release knob writes its value in orange; Stereo link's stays white.
        EXPECT_TRUE(any_near(r, 150, 540, 190, 550, colours.orange, 30));
        EXPECT_FALSE(any_near(r, 214, 540, 254, 550, colours.orange, 30));
        EXPECT_TRUE(any_near(r, 214, 540, 254, 550, colours.text_white, 30));

        vg_delete(vg);
        f.e->vg = f.vg;
    }
    gl_test_context_free(gl);
}

// The history graph keeps its columns in a layer and draws only those that changed since the last
// frame. Over a run of frames (history growing from its start, stages starting and stopping, bands,
// loudness), every frame it copies must show what drawing all columns directly shows, at whole,
// double and fractional zoom with the canvas letterboxed.
TEST(PanelPixels, GraphLayerShowsWhatDrawingEveryColumnShows) {
    struct zoom_case {
        float ratio, tx;
    } cases[] = {{1.0f, 0.0f}, {2.0f, 0.0f}, {1.37f, 3.3f}};
    for (const zoom_case& z : cases) {
        SCOPED_TRACE(z.ratio);
        const int32_t w = static_cast<int32_t>(std::lround((960 + 2 * z.tx) * z.ratio));
        const int32_t h = static_cast<int32_t>(std::lround(600 * z.ratio));
        gl_test_context* gl = gl_test_context_create(w, h);
        ASSERT_NE(gl, nullptr);
        {
            panel_fixture f(4);
            vg_context* vg = vg_create_gl3(VG_ANTIALIAS | VG_STENCIL_STROKES);
            ASSERT_NE(vg, nullptr);
            f.e->vg = vg;
            f.e->width = static_cast<uint32_t>(w);
            f.e->height = static_cast<uint32_t>(h);
            f.e->focused_index = 1;
            auto* twin = static_cast<editor_state*>(std::calloc(1, sizeof(editor_state)));
            int64_t now = 100000000000LL;
            int32_t written = 0;
            // Entry k of stage i: reduction pulses, a level, loudness in stretches; stage 2 idles for a
            // while now and then, so the chain's curves change hands.
            const auto write_entries = [&](int32_t upto) {
                for (; written < upto; ++written) {
                    const uint32_t at = static_cast<uint32_t>(written) & (HISTORY_SIZE - 1);
                    for (int32_t i = 0; i < 4; ++i) {
                        shm_slot* s = f.slots[i];
                        const double ph = written * 0.013 + i * 0.9;
                        const bool idle = i == 2 && (written / 300) % 3 == 1;
                        s->history[HISTORY_GAIN][at] = static_cast<float>(0.55 + 0.45 * std::fabs(std::sin(ph)));
                        s->history[HISTORY_LEVEL][at] = idle ? -1.0f : static_cast<float>(0.3 + 0.25 * std::sin(ph * 3.1));
                        s->history[HISTORY_TRUE_PEAK][at] = static_cast<float>(0.2 + 0.2 * std::cos(ph * 2.3));
                        s->history[HISTORY_SHORT_TERM][at] =
                            (written / 500) % 4 == 3 ? -100.0f : static_cast<float>(-14.0 + 3.0 * std::sin(ph * 0.2));
                    }
                }
                for (shm_slot* s : f.slots) {
                    s->sample_rate = 48000;
                    s->history_counter = static_cast<uint32_t>(written);
                    s->history_time_ns = now - 2000000;
                }
            };
            const auto render = [&](editor_state* e, bool read) {
                gl_table.glViewport(0, 0, w, h);
                gl_table.glClearColor(0.05f, 0.05f, 0.07f, 1.0f);
                gl_table.glClear(glc::COLOR_BUFFER_BIT | glc::STENCIL_BUFFER_BIT);
                vg_begin_frame(vg, w / z.ratio, h / z.ratio, z.ratio);
                vg_translate(vg, z.tx, 0.0f);
                draw_history_graph(e, now);
                vg_end_frame(vg);
                return read ? gl_test_read_rgba(gl) : std::vector<uint8_t>();
            };
            write_entries(5000);
            const int32_t x0 = static_cast<int32_t>(std::ceil((z.tx + 10) * z.ratio)) + 1;
            const int32_t x1 = static_cast<int32_t>(std::floor((z.tx + 686) * z.ratio)) - 1;
            const int32_t y0 = static_cast<int32_t>(std::ceil(100 * z.ratio)) + 1;
            const int32_t y1 = static_cast<int32_t>(std::floor(564 * z.ratio)) - 1;
            int32_t compared = 0;
            for (int32_t frame = 0; frame < 240; ++frame) {
                now += 16666667;
                if (frame == 140) f.e->focused_index = 2; // other band colours: every column again
                write_entries(5000 + (frame + 1) * 25 / 2);
                const bool compare = frame % 40 == 39;
                if (compare) {
                    std::memcpy(twin, f.e, sizeof(editor_state));
                    twin->graph_layer_off = 1;
                }
                const std::vector<uint8_t> cached = render(f.e, compare);
                if (!compare) continue;
                EXPECT_EQ(f.e->graph_layer.valid, 1) << "frame " << frame << " went through the layer";
                const std::vector<uint8_t> direct = render(twin, true);
                int32_t differ = 0, area = 0;
                for (int32_t y = y0; y <= y1; ++y)
                    for (int32_t x = x0; x <= x1; ++x, ++area) {
                        const size_t k = (static_cast<size_t>(y) * w + x) * 4;
                        for (int32_t c = 0; c < 3; ++c)
                            if (std::abs(cached[k + c] - direct[k + c]) > 3) {
                                ++differ;
                                break;
                            }
                    }
                if (std::getenv("LODRIN_PANELS_PPM")) std::printf("frame %d: %d of %d differ\n", frame, differ, area);
                EXPECT_LE(differ, area / 1000) << "frame " << frame << ": " << differ << " of " << area
                                                << " pixels differ";
                if (differ > area / 1000 && std::getenv("LODRIN_PANELS_PPM")) {
                    gl_test_write_ppm("/tmp/graph-cached.ppm", cached, w, h);
                    gl_test_write_ppm("/tmp/graph-direct.ppm", direct, w, h);
                }
                ++compared;
            }
            EXPECT_EQ(compared, 6);
            std::free(twin);
            vg_delete(vg);
            f.e->vg = f.vg;
            std::memset(&f.e->graph_layer, 0, sizeof(f.e->graph_layer));
        }
        gl_test_context_free(gl);
    }
}

} // namespace
