// Learned chain order: the process-local table of learned orders (one entry per chain root), the
// candidate order of one observation, and the folding of observations into the learned order.
//
// Within one host block the stages of a track run one after the other, so the order of their start
// times, or of the host steady times they carry, is the order of the chain. Two things disturb that
// observation: stages that were idle this time, and the boundary between two host blocks falling
// inside the chain. The first is handled by leaving idle members out of the candidate order while
// they keep their learned places; the second by cutting the circle of start times at its largest gap
// (start-time mode) or by listing the newest block first (steady mode). A learned order changes only
// when a new observation has repeated three times and held for 150 ms.
//
// Everything here runs under the registry lock on the main thread and allocates nothing.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chain_internal.h"
#include "chain_order.h"

static learned_order_entry learned_orders[LEARNED_ORDER_ENTRIES];

// How long a changed observation must hold, and how often it must repeat, before it is accepted.
static constexpr int64_t ORDER_ACCEPT_NS = 150000000;
static constexpr int32_t ORDER_ACCEPT_REPEATS = 3;

int cmp_i64_asc(const void* a, const void* b) {
    const int64_t x = *static_cast<const int64_t*>(a), y = *static_cast<const int64_t*>(b);
    return (x > y) - (x < y);
}

int cmp_candidate_by_start(const void* a, const void* b) {
    const chain_candidate* x = static_cast<const chain_candidate*>(a);
    const chain_candidate* y = static_cast<const chain_candidate*>(b);
    return (x->last_start > y->last_start) - (x->last_start < y->last_start);
}

int cmp_candidate_by_steady_desc(const void* a, const void* b) {
    const chain_candidate* x = static_cast<const chain_candidate*>(a);
    const chain_candidate* y = static_cast<const chain_candidate*>(b);
    if (x->steady != y->steady) return x->steady > y->steady ? -1 : 1;
    return (x->last_start > y->last_start) - (x->last_start < y->last_start);
}

learned_order_entry* learned_order_table() {
    return learned_orders;
}

void learned_order_clear() {
    for (learned_order_entry& e : learned_orders)
        e.key = nullptr;
}

learned_order_entry* learned_order_lookup(shm_slot* root) {
    learned_order_entry* unused = nullptr;
    for (learned_order_entry& e : learned_orders) {
        if (e.key == root && root != nullptr) return &e;
        if (e.key == nullptr && unused == nullptr) unused = &e;
    }
    learned_order_entry* e = unused != nullptr ? unused : &learned_orders[0];
    e->key = root;
    e->learned_count = 0;
    e->last_candidate_count = 0;
    e->repeat_count = 0;
    return e;
}

// Element k / 2 of the ascending order of `v` (k values, sorted in place).
static int64_t median_of(int64_t* v, int32_t k) {
    sort_with(v, k, cmp_i64_asc);
    return v[k / 2];
}

int32_t order_candidates(chain_candidate* c, int32_t n, bool steady) {
    if (n < 1) return 0;
    if (n > CHAIN_MAX_MEMBERS) n = CHAIN_MAX_MEMBERS;
    int32_t k = 0;
    for (int32_t i = 0; i < n; ++i)
        if (c[i].live) c[k++] = c[i];
    if (k < 2) return k;
    for (int32_t i = 0; i < k; ++i)
        if (c[i].steady < 0 || c[i].steady_step < 1) steady = false;

    int64_t scratch[CHAIN_MAX_MEMBERS];
    if (!steady) {
        // Start-time mode. The stages of one block start within one period of each other; a stage
        // whose last start lies more than two periods back missed the newest blocks.
        sort_with(c, k, cmp_candidate_by_start);
        for (int32_t i = 0; i < k; ++i)
            scratch[i] = c[i].period;
        int64_t period = median_of(scratch, k);
        if (period < 1) period = 1;
        const int64_t latest = c[k - 1].last_start;
        const int64_t reach = wrap_add(period, period);
        int32_t kept = 0;
        for (int32_t i = 0; i < k; ++i)
            if (wrap_sub(latest, c[i].last_start) <= reach) c[kept++] = c[i];
        k = kept;
        if (k < 2) return k;
        // The starts lie on a circle of one period; the host block begins after the largest gap. The
        // wrap-around gap before candidate 0 is compared first and wins every tie.
        int32_t winner = 0;
        int64_t widest = wrap_add(wrap_sub(c[0].last_start, c[k - 1].last_start), period);
        for (int32_t i = 1; i < k; ++i) {
            const int64_t gap = wrap_sub(c[i].last_start, c[i - 1].last_start);
            if (gap > widest) {
                widest = gap;
                winner = i;
            }
        }
        if (winner != 0) {
            chain_candidate rotated[CHAIN_MAX_MEMBERS];
            for (int32_t j = 0; j < k; ++j)
                rotated[j] = c[(winner + j) % k];
            std::memcpy(c, rotated, sizeof(chain_candidate) * static_cast<size_t>(k));
        }
        return k;
    }

    // Steady mode: N is the newest host block seen, S the usual step between blocks. A candidate at
    // most one step behind took part in the newest block or the one before it.
    int64_t newest = c[0].steady;
    for (int32_t i = 1; i < k; ++i)
        if (c[i].steady > newest) newest = c[i].steady;
    for (int32_t i = 0; i < k; ++i)
        scratch[i] = c[i].steady_step;
    const int64_t step = median_of(scratch, k);
    int32_t kept = 0;
    for (int32_t i = 0; i < k; ++i)
        if (wrap_sub(newest, c[i].steady) <= step) c[kept++] = c[i];
    sort_with(c, kept, cmp_candidate_by_steady_desc);
    return kept;
}

static bool slot_in(shm_slot* const* list, int32_t n, const shm_slot* s) {
    for (int32_t i = 0; i < n; ++i)
        if (list[i] == s) return true;
    return false;
}

static int32_t id_byte(const shm_slot* s) {
    return static_cast<int32_t>(shm_load(s->instance_id) & 255u);
}

// Appends " %lld" of `v` (or the plain text `text`) to a fixed line, cutting what does not fit.
static void line_add(char* line, size_t cap, size_t* len, const char* text, long long v = 0) {
    if (*len + 1 >= cap) return;
    const int w = text != nullptr ? std::snprintf(line + *len, cap - *len, "%s", text)
                                  : std::snprintf(line + *len, cap - *len, " %lld", v);
    if (w < 0) return;
    *len += static_cast<size_t>(w);
    if (*len > cap - 1) *len = cap - 1;
}

static char last_learn_line[256];

static void print_learn_line(const learned_order_entry* e, shm_slot* const* cand, int32_t m,
                             const chain_candidate* c, int32_t n) {
    char line[256];
    size_t len = 0;
    line[0] = '\0';
    line_add(line, sizeof line, &len, "cand:");
    for (int32_t i = 0; i < m; ++i)
        line_add(line, sizeof line, &len, nullptr, id_byte(cand[i]));
    line_add(line, sizeof line, &len, " | acc:");
    for (int32_t i = 0; i < e->learned_count; ++i)
        line_add(line, sizeof line, &len, nullptr, id_byte(e->learned[i]));
    line_add(line, sizeof line, &len, " | t:");
    // Microseconds within the current 100 ms; C++'s % and / truncate toward zero as wanted.
    for (int32_t i = 0; i < n; ++i)
        line_add(line, sizeof line, &len, nullptr,
                 static_cast<long long>((c[i].last_start % 100000000) / 1000));
    if (std::strcmp(line, last_learn_line) == 0) return;
    std::memcpy(last_learn_line, line, sizeof line);
    std::fprintf(stderr, "[reg] n=%d %s\n", n, line);
}

void chain_order_learn(learned_order_entry* e, const chain_candidate* c, shm_slot* const* slots, int32_t n,
                       int64_t now, bool steady) {
    if (n < 0) n = 0;
    if (n > CHAIN_MAX_MEMBERS) n = CHAIN_MAX_MEMBERS;
    // The learned counts are process-local, but keep them in range so that no later walk can run off.
    if (e->learned_count < 0 || e->learned_count > CHAIN_MAX_MEMBERS) e->learned_count = 0;
    if (e->last_candidate_count < 0 || e->last_candidate_count > CHAIN_MAX_MEMBERS)
        e->last_candidate_count = 0;

    chain_candidate copy[CHAIN_MAX_MEMBERS];
    if (n > 0) std::memcpy(copy, c, sizeof(chain_candidate) * static_cast<size_t>(n));
    const int32_t m = order_candidates(copy, n, steady);
    shm_slot* cand[CHAIN_MAX_MEMBERS];
    for (int32_t i = 0; i < m; ++i)
        cand[i] = copy[i].slot;

    if (std::getenv("LODRIN_REG_DEBUG") != nullptr) print_learn_line(e, cand, m, c, n);

    bool accept = false;
    bool repeats = m == e->last_candidate_count;
    for (int32_t i = 0; repeats && i < m; ++i)
        repeats = cand[i] == e->last_candidate[i];
    if (repeats) {
        if (e->repeat_count < ORDER_ACCEPT_REPEATS) {
            ++e->repeat_count;
            accept =
                e->repeat_count >= ORDER_ACCEPT_REPEATS && wrap_sub(now, e->change_time) >= ORDER_ACCEPT_NS;
        } else {
            accept = wrap_sub(now, e->change_time) >= ORDER_ACCEPT_NS;
        }
    } else {
        for (int32_t i = 0; i < m; ++i)
            e->last_candidate[i] = cand[i];
        e->last_candidate_count = m;
        e->change_time = now;
        e->repeat_count = 1;
    }

    bool all_known = true;
    for (int32_t i = 0; all_known && i < m; ++i)
        all_known = slot_in(e->learned, e->learned_count, cand[i]);
    if (all_known && !accept) return;

    // Merge: the places the observed members held are refilled in the observed order; members not
    // observed this time keep their places; departed members vanish; newcomers join at the end.
    shm_slot* merged[CHAIN_MAX_MEMBERS];
    int32_t count = 0, p = 0;
    for (int32_t i = 0; i < e->learned_count && count < CHAIN_MAX_MEMBERS; ++i) {
        shm_slot* old = e->learned[i];
        if (slot_in(cand, m, old)) {
            if (p < m) merged[count++] = cand[p++];
        } else if (slot_in(slots, n, old)) {
            merged[count++] = old;
        }
    }
    while (p < m && count < CHAIN_MAX_MEMBERS)
        merged[count++] = cand[p++];
    for (int32_t i = 0; i < count; ++i)
        e->learned[i] = merged[i];
    e->learned_count = count;
}
