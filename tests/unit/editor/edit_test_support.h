// A display-free editor for the editing-model tests: stages claimed in a segment of the test's own,
// made live and chained (manual Stage numbers give the order), an editor record over the first of
// them with a hit list the test lays out, a clock the test steps, and the edit-ring events each
// stage's owner would receive.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "chain_order.h"
#include "edit_internal.h"
#include "edit_queue.h"
#include "editor.h"
#include "platform.h"
#include "plugin_instance.h"
#include "registry.h"
#include "shm.h"
#include "shm_test_support.h"
#include "timing.h"

#if defined(_WIN32)
#include <direct.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

inline double editor_test_now = 100.0;
inline double editor_test_clock() {
    return editor_test_now;
}

// One event a stage's owner took from its edit ring, by table index.
struct owner_event {
    int32_t param;
    uint32_t kind;
    double value;
    bool operator==(const owner_event&) const = default;
};

inline void PrintTo(const owner_event& e, std::ostream* os) {
    *os << "{p" << e.param << " k" << e.kind << " " << e.value << "}";
}

// A fresh temporary folder, removed with its files afterwards.
struct temp_folder {
    std::string path;
    temp_folder() {
        static int serial = 0;
#if defined(_WIN32)
        const char* base = getenv("TEMP");
        path = std::string(base ? base : ".") + "\\lodrin-edit-" + std::to_string(test_process_id()) + "-" +
               std::to_string(++serial);
        _mkdir(path.c_str());
#else
        path = "/tmp/lodrin-edit-" + std::to_string(test_process_id()) + "-" + std::to_string(++serial);
        mkdir(path.c_str(), 0700);
#endif
    }
    ~temp_folder() { remove_tree(path); }
    temp_folder(const temp_folder&) = delete;
    temp_folder& operator=(const temp_folder&) = delete;
    std::string file(const std::string& name) const { return path + PLATFORM_PATH_SEPARATOR + name; }
    static void remove_tree(const std::string& p);
};

#if defined(_WIN32)
#include <windows.h>
inline void temp_folder::remove_tree(const std::string& p) {
    WIN32_FIND_DATAA d;
    HANDLE h = FindFirstFileA((p + "\\*").c_str(), &d);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            const std::string n = d.cFileName;
            if (n == "." || n == "..") continue;
            const std::string f = p + "\\" + n;
            if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) remove_tree(f);
            else DeleteFileA(f.c_str());
        } while (FindNextFileA(h, &d));
        FindClose(h);
    }
    RemoveDirectoryA(p.c_str());
}
#else
#include <dirent.h>
inline void temp_folder::remove_tree(const std::string& p) {
    if (DIR* dir = opendir(p.c_str())) {
        while (dirent* de = readdir(dir)) {
            const std::string n = de->d_name;
            if (n == "." || n == "..") continue;
            const std::string f = p + "/" + n;
            struct stat st;
            if (lstat(f.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) remove_tree(f);
            else unlink(f.c_str());
        }
        closedir(dir);
    }
    rmdir(p.c_str());
}
#endif

inline void write_text_file(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

inline std::string read_text_file(const std::string& path) {
    std::string out;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

// Stages 0..n-1 of one Group, stage 0 the editor's own; the editor record over stage 0.
class EditorFixture : public ::testing::Test {
  protected:
    static constexpr int64_t MS = 1000000;

    void SetUp() override {
        segment = new test_segment("edit");
        editor_set_clock_source(editor_test_clock);
        editor_test_now = 100.0;
        test_setenv("LODRIN_PRESET_DIR", presets.path.c_str());
    }
    void TearDown() override {
        delete ed;
        ed = nullptr;
        for (plugin_instance* inst : stages) {
            registry_detach(inst, inst->slot);
            delete inst;
        }
        stages.clear();
        for (shm_slot* s : foreign)
            release_foreign(s);
        foreign.clear();
        editor_set_clock_source(nullptr);
        test_unsetenv("LODRIN_PRESET_DIR");
        delete segment;
        segment = nullptr;
        last_block = 0;
    }

    // n chained stages in `group`, each at its defaults with a manual Stage number 1..n, and the
    // editor over stage 0 (focused index -1, list built).
    void make_chain(int n, int group = 0) {
        for (int i = 0; i < n; ++i) {
            plugin_instance* inst = new plugin_instance();
            inst->slot = registry_attach(inst);
            ASSERT_NE(inst->slot, nullptr);
            inst->instance_id = 0x1000 + stages.size();
            shm_store(inst->slot->instance_id, inst->instance_id);
            for (int32_t p = 0; p < PARAM_COUNT; ++p)
                shm_store(inst->slot->values[p], param_table[p].default_value);
            for (int32_t p = 0; p < PARAM_COUNT; ++p)
                shm_store(inst->slot->midi_cc[p], -1);
            shm_store(inst->slot->midi_learn_param, -1);
            shm_store(inst->slot->values[PARAM_GROUP], static_cast<double>(group));
            shm_store(inst->slot->values[PARAM_STAGE], static_cast<double>(i + 1));
            inst->ui.custom_target_lufs = -16.0;
            inst->ui.loudness_target_index = 1;
            stages.push_back(inst);
        }
        ed = new editor_state();
        ed->instance = stages[0];
        ed->focused_index = -1;
        ed->shown_group = ed->last_own_group = group;
        ed->hover_index = ed->hover_sub = -1;
        tick();
        editor_refresh_group(ed);
        drain();
    }

    // Every stage ran host blocks of 10 ms in series (1 ms apart, 0.5 ms each) up to just now: all of
    // them live, one chain. Blocks only ever move forward in time, as a host's do.
    void tick() {
        const int64_t now = clock_ns();
        int64_t block = last_block != 0 ? last_block + 10 * MS : now - 400 * MS;
        for (; block <= now - 10 * MS; block += 10 * MS) {
            for (size_t i = 0; i < stages.size(); ++i) {
                const int64_t start = block + static_cast<int64_t>(i) * MS;
                const uint32_t c = slot_timing_begin(stages[i]->slot, start, -1);
                slot_timing_end(stages[i]->slot, c, start + MS / 2);
            }
            last_block = block;
        }
    }

    shm_slot* slot(int i) const { return stages[static_cast<size_t>(i)]->slot; }
    double value(int i, int32_t p) const { return slot_value(slot(i), p); }
    std::vector<double> values_of(int32_t p) const {
        std::vector<double> v;
        for (size_t i = 0; i < stages.size(); ++i)
            v.push_back(value(static_cast<int>(i), p));
        return v;
    }
    void set(int i, int32_t p, double v) { shm_store(slot(i)->values[p], v); }

    // The hit list of "the last frame", in view units.
    void layout(const std::vector<hit_entry>& entries) {
        ed->hit_count = 0;
        for (const hit_entry& e : entries)
            ed->hits[ed->hit_count++] = e;
    }

    // Synthetic events through the editor's entry points; presses and wheel refresh the group list
    // first, as the dispatch does.
    void press(double x, double y, double time, bool reset = false) {
        tick();
        editor_refresh_group(ed);
        editor_on_button_press(ed, x, y, time, reset);
    }
    void release() { editor_on_button_release(ed); }
    void motion(double x, double y, bool shift = false) { editor_on_motion(ed, x, y, shift); }
    void scroll(double x, double y, double dy) {
        tick();
        editor_refresh_group(ed);
        editor_on_scroll(ed, x, y, dy);
    }
    void key(uint32_t k, uint32_t mods = 0) { editor_on_key_press(ed, k, mods); }
    void text(uint32_t ch, uint32_t mods = 0) { editor_on_text(ed, ch, mods); }
    void type(const char* s) {
        for (; *s; ++s)
            text(static_cast<unsigned char>(*s));
    }

    // What stage i's owner takes from its edit ring, since the last call.
    std::vector<owner_event> events(int i) {
        std::vector<owner_event> out;
        slot_edit_event e;
        while (slot_take_edit(slot(i), &e))
            out.push_back({param_index_of_id(e.param_id), e.kind, e.value});
        return out;
    }
    void drain() {
        for (size_t i = 0; i < stages.size(); ++i)
            events(static_cast<int>(i));
    }

    // A slot of the segment claimed without an instance of this process: a stage of "another
    // process" (its owner is this process id, so it counts as alive).
    shm_slot* claim_foreign(uint64_t id) {
        registry_lock();
        shm_slot* s = slot_claim();
        registry_unlock();
        if (s) shm_store(s->instance_id, id);
        foreign.push_back(s);
        return s;
    }
    static void release_foreign(shm_slot* s) {
        registry_lock();
        slot_release(s);
        registry_unlock();
    }

    test_segment* segment = nullptr;
    temp_folder presets;
    std::vector<plugin_instance*> stages;
    std::vector<shm_slot*> foreign;
    editor_state* ed = nullptr;
    int64_t last_block = 0;
};

// A gesture of one parameter as its owner receives it.
inline std::vector<owner_event> gesture(int32_t p, double before, double after) {
    return {{p, EDIT_KIND_BEGIN, before}, {p, EDIT_KIND_VALUE, after}, {p, EDIT_KIND_END, after}};
}
