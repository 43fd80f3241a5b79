// Chain-order inference: which live stages of a Group run in series on one host track, from the
// timing rings their process calls leave in the slots.
//
// Within one host block the stages of a track run one after the other, and in the same order block
// after block; stages of different tracks may run at the same time (other audio threads) or in either
// order. So two stages whose calls never overlap and always come in one order are serial (one chain),
// and two stages whose calls overlap, or come in both orders, are parallel. With host steady times the
// calls of one block are paired exactly by equal steady times; without them a call of B is paired
// with the last call of A that started at most one and a half periods before it.
//
// The pairwise relations are joined into sets (union-find); a chain serial kept in every member's
// slot joins sets that timing alone no longer joins (a paused stage), and is cleared on the losing
// side when two sets carrying one serial prove to run in parallel.
//
// Everything runs under the registry lock on the main thread. The scratch is process-local and static,
// so a listing allocates nothing. Slot fields are read one at a time with atomic loads while their
// owners keep writing; a history may mix records of two moments, which the forward-only walks
// tolerate. Every value read from the segment is untrusted: counts are masked, arithmetic on times
// wraps instead of overflowing, and doubles are range-checked before they are truncated.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chain_internal.h"
#include "chain_order.h"
#include "platform.h"
#include "registry.h"

// A stage is live while its last process call began less than this long ago.
static constexpr int64_t LIVE_NS = 500000000;
// Fresh: the last call began within max(4 periods, 60 ms), or 200 ms when the period is unknown.
static constexpr int64_t FRESH_MIN_NS = 60000000;
static constexpr int64_t FRESH_UNKNOWN_NS = 200000000;
// Matched blocks needed before two stages count as serial.
static constexpr int32_t SERIAL_EVIDENCE = 24;
// The debug line of the steady-time test is printed while the evidence is still below this.
static constexpr int32_t SERIAL_DEBUG_BELOW = 32;
// The rarer of two orders must reach one eighth of all pairings (and at least two) to mean parallel.
static constexpr int32_t RARE_ORDER_MIN = 2;
static constexpr int32_t RARE_ORDER_RATIO = 8;
static constexpr int32_t POSITION_UNKNOWN = 99;

int cmp_member_by_position(const void* a, const void* b) {
    const chain_member* x = static_cast<const chain_member*>(a);
    const chain_member* y = static_cast<const chain_member*>(b);
    if (x->position != y->position) return x->position < y->position ? -1 : 1;
    if (x->manual != y->manual) return x->manual ? -1 : 1;
    return 0;
}

// Truncation toward zero of a slot value; false for NaN. Values beyond the 32-bit range saturate.
static bool trunc_value(double v, int32_t* out) {
    if (v != v) return false;
    if (v >= 2147483647.0)
        *out = 2147483647;
    else if (v <= -2147483648.0)
        *out = -2147483647 - 1;
    else
        *out = static_cast<int32_t>(v);
    return true;
}

// A timing history laid out field by field (the walks below read one field at a time), with what
// depends on it alone worked out once: a listing tests each member against 63 others.
namespace {
struct history_view {
    int64_t start[CHAIN_HISTORY_MAX];
    int64_t end[CHAIN_HISTORY_MAX];
    int64_t steady[CHAIN_HISTORY_MAX];
    int32_t n;
    bool rising;    // every record from the second on has steady >= 0 greater than the one before
    bool ordered;   // starts strictly increasing and within [0, 2^62): differences cannot wrap
    int64_t period; // median start difference: element (n - 1) / 2 of the n - 1 ascending
};
} // namespace

static void history_finish(history_view& h) {
    h.rising = true;
    for (int32_t i = 1; i < h.n && h.rising; ++i)
        h.rising = h.steady[i] >= 0 && h.steady[i] > h.steady[i - 1];
    h.ordered = true;
    for (int32_t i = 0; i < h.n && h.ordered; ++i)
        h.ordered =
            h.start[i] >= 0 && h.start[i] < (int64_t{1} << 62) && (i == 0 || h.start[i] > h.start[i - 1]);
    h.period = 0;
    if (h.n >= 2) {
        int64_t d[CHAIN_HISTORY_MAX];
        for (int32_t i = 0; i + 1 < h.n; ++i)
            d[i] = wrap_sub(h.start[i + 1], h.start[i]);
        // Only the one element is needed; nth_element puts exactly it in place, without a full sort.
        std::nth_element(d, d + (h.n - 1) / 2, d + (h.n - 1));
        h.period = d[(h.n - 1) / 2];
    }
}

static int32_t relation_core(const history_view& A, const history_view& B) {
    const int32_t na = A.n, nb = B.n;
    if (na < 2) return CHAIN_RELATION_UNDECIDED;

    // Steady-time test: calls with equal steady times belong to the same host block. Both sequences
    // rise strictly, so when their ranges do not meet no record can match.
    if (A.rising && nb >= 2 && B.rising && A.steady[na - 1] >= B.steady[0] &&
        B.steady[nb - 1] >= A.steady[0]) {
        int32_t ab = 0, ba = 0, i = 0;
        int64_t a_steady = A.steady[0];
        for (int32_t j = 0; j < nb; ++j) {
            const int64_t s = B.steady[j];
            while (a_steady < s) {
                if (++i == na) break;
                a_steady = A.steady[i];
            }
            if (i == na) break; // no later record of A can match either
            if (a_steady != s) continue;
            const bool a_ends_late = A.end[i] > B.start[j];
            if (a_ends_late && B.end[j] > A.start[i]) return CHAIN_RELATION_PARALLEL; // overlap
            ba += a_ends_late;  // B ended before A began
            ab += !a_ends_late; // A ended before B began
        }
        if (ab > 0 && ba > 0) return CHAIN_RELATION_PARALLEL;
        const int32_t matched = ab + ba;
        if (matched >= SERIAL_EVIDENCE) {
            if (matched < SERIAL_DEBUG_BELOW && std::getenv("LODRIN_REG_DEBUG") != nullptr)
                std::fprintf(
                    stderr, "[rel] serial by clock: na %d nb %d ab %d ba %d, a %lld..%lld b %lld..%lld\n", na,
                    nb, ab, ba, static_cast<long long>(A.steady[0]), static_cast<long long>(A.steady[na - 1]),
                    static_cast<long long>(B.steady[0]), static_cast<long long>(B.steady[nb - 1]));
            return CHAIN_RELATION_SERIAL;
        }
        if (matched >= 1) return CHAIN_RELATION_UNDECIDED;
        // No block matched: fall through to the wall clock.
    }

    // Wall-clock test: pair each call of B with the last call of A that started at or before it, if
    // that lies within one and a half periods; B's call before that A call tells which order the two
    // ran in (the smaller gap is the neighbour within one block).
    if (A.period < 1 || nb < 2) return CHAIN_RELATION_UNDECIDED;
    const bool ordered = A.ordered && B.ordered;
    if (ordered && B.start[nb - 1] < A.start[0]) return CHAIN_RELATION_UNDECIDED; // nothing pairs
    const int64_t reach = wrap_add(A.period, A.period / 2);
    int32_t ia = -1, ib = -1, a_first = 0, b_first = 0;
    bool overlap = false;
    // The next start of each pointer is kept at hand, which takes its load out of the loop test.
    int64_t next_a = A.start[0], next_b = B.start[0];
    for (int32_t j = 0; j < nb; ++j) {
        const int64_t b_start = B.start[j];
        while (ia + 1 < na && next_a <= b_start) {
            ++ia;
            next_a = ia + 1 < na ? A.start[ia + 1] : 0;
        }
        if (ia < 0) continue;
        const int64_t a_start = A.start[ia];
        while (ib + 1 < nb && next_b < a_start) {
            ++ib;
            next_b = ib + 1 < nb ? B.start[ib + 1] : 0;
        }
        if (wrap_sub(b_start, a_start) > reach) {
            // With A used up and B's starts rising, every later call of B lies further out still.
            if (ordered && ia == na - 1) break;
            continue;
        }
        const int64_t a_end = A.end[ia];
        overlap |= a_end > b_start;
        if (ib >= 0) {
            const int64_t b_end = B.end[ib];
            overlap |= b_end > a_start;
            const bool a_before = wrap_sub(b_start, a_end) < wrap_sub(a_start, b_end);
            a_first += a_before;
            b_first += !a_before;
        }
    }
    if (overlap) return CHAIN_RELATION_PARALLEL;
    const int32_t rare = a_first < b_first ? a_first : b_first;
    const int32_t total = a_first + b_first;
    if (rare >= RARE_ORDER_MIN && RARE_ORDER_RATIO * rare >= total) return CHAIN_RELATION_PARALLEL;
    if (total - rare >= SERIAL_EVIDENCE) return CHAIN_RELATION_SERIAL;
    return CHAIN_RELATION_UNDECIDED;
}

static void history_from_records(history_view& h, const timing_record* r, int32_t n) {
    if (r == nullptr || n < 0) n = 0;
    if (n > CHAIN_HISTORY_MAX) {
        r += n - CHAIN_HISTORY_MAX;
        n = CHAIN_HISTORY_MAX;
    }
    h.n = n;
    for (int32_t i = 0; i < n; ++i) {
        h.start[i] = r[i].start;
        h.end[i] = r[i].end;
        h.steady[i] = r[i].steady;
    }
    history_finish(h);
}

int32_t relation_between(const timing_record* a, int32_t n_a, const timing_record* b, int32_t n_b) {
    history_view ha, hb;
    history_from_records(ha, a, n_a);
    history_from_records(hb, b, n_b);
    return relation_core(ha, hb);
}

// ---- The listing ------------------------------------------------------------------------------

namespace {

struct member_scratch {
    shm_slot* slot;
    chain_candidate cand;
    history_view history;
    int64_t instance_id;
    bool fresh;
    bool confirmed;
};

struct listing_scratch {
    member_scratch m[CHAIN_MAX_MEMBERS];
    uint8_t relation[CHAIN_MAX_MEMBERS][CHAIN_MAX_MEMBERS];
    int32_t parent[CHAIN_MAX_MEMBERS];
    int32_t root[CHAIN_MAX_MEMBERS]; // roots of all members, for one conflict test
    int32_t listed[CHAIN_MAX_MEMBERS];
    chain_candidate listed_cand[CHAIN_MAX_MEMBERS];
    shm_slot* listed_slot[CHAIN_MAX_MEMBERS];
};

} // namespace

// Process-local, used only under the registry lock.
static listing_scratch scratch;
static char last_relation_line[512];

static int32_t find_root(int32_t* parent, int32_t x) {
    while (parent[x] != x) {
        parent[x] = parent[parent[x]]; // path halving never changes a root
        x = parent[x];
    }
    return x;
}

static void collect_member(member_scratch& ms, shm_slot* s, int64_t now) {
    ms.slot = s;
    ms.instance_id = static_cast<int64_t>(shm_load(s->instance_id));
    chain_candidate& c = ms.cand;
    c.slot = s;
    c.last_start = shm_load(s->start_ns);
    c.period = wrap_sub(c.last_start, shm_load(s->prev_start_ns));
    c.steady = shm_load(s->steady);
    const int64_t prev_steady = shm_load(s->prev_steady);
    c.steady_step =
        (c.steady >= 0 && prev_steady >= 0 && c.steady > prev_steady) ? c.steady - prev_steady : 0;
    c.live = c.last_start != 0 && wrap_sub(now, c.last_start) < LIVE_NS;

    // Completed records only: entry c AND 63 may be half written and c + 1 may start any moment, so
    // at most 62 of the 64 are read.
    const uint32_t count = shm_load(s->timing_count);
    const uint32_t k = count < static_cast<uint32_t>(CHAIN_HISTORY_MAX) ? count : CHAIN_HISTORY_MAX;
    history_view& h = ms.history;
    for (uint32_t i = 0; i < k; ++i) {
        const uint32_t e = (count - k + i) & (TIMING_RING_SIZE - 1);
        h.start[i] = shm_load(s->timing_start[e]);
        h.end[i] = shm_load(s->timing_end[e]);
        h.steady[i] = shm_load(s->timing_steady[e]);
    }
    // The owner may have gone on writing meanwhile (this thread preempted, the owner catching up on
    // blocks): the entry of call q is reused by call q + 64, so once the count reads `later`, the
    // records of calls before later - 63 may hold fields of a newer call (a start of one call with
    // the end of another: a call that seems to overlap its neighbours, and a chain falsely split).
    // Those records are dropped; what stays was never touched during the read.
    const uint32_t later = shm_load(s->timing_count);
    const uint32_t moved = later - count;
    uint32_t drop = moved + k > static_cast<uint32_t>(TIMING_RING_SIZE - 1) ? moved + k - (TIMING_RING_SIZE - 1) : 0;
    if (moved > static_cast<uint32_t>(TIMING_RING_SIZE) || drop > k) drop = k; // lapped, or a count gone back
    if (drop > 0) {
        for (uint32_t i = drop; i < k; ++i) {
            h.start[i - drop] = h.start[i];
            h.end[i - drop] = h.end[i];
            h.steady[i - drop] = h.steady[i];
        }
    }
    h.n = static_cast<int32_t>(k - drop);
    history_finish(h);

    int64_t window = FRESH_UNKNOWN_NS;
    if (c.period > 0) {
        const int64_t twice = wrap_add(c.period, c.period);
        window = wrap_add(twice, twice);
        if (window < FRESH_MIN_NS) window = FRESH_MIN_NS;
    }
    ms.fresh = c.live && wrap_sub(now, c.last_start) < window;
    ms.confirmed = false;
}

// Appends text to a fixed line, cutting what does not fit.
static void line_printf(char* line, size_t cap, size_t* len, const char* fmt, int a, int b = 0, int c = 0) {
    if (*len + 1 >= cap) return;
    const int w = std::snprintf(line + *len, cap - *len, fmt, a, b, c);
    if (w < 0) return;
    *len += static_cast<size_t>(w);
    if (*len > cap - 1) *len = cap - 1;
}

static int id_byte(const member_scratch& ms) {
    return static_cast<int>(static_cast<uint64_t>(ms.instance_id) & 255u);
}

static void print_relation_line(int32_t n) {
    listing_scratch& S = scratch;
    char line[512];
    size_t len = 0;
    line[0] = '\0';
    static const char letters[] = "?SP";
    line_printf(line, sizeof line, &len, "rel:", 0);
    for (int32_t a = 0; a < n; ++a)
        for (int32_t b = a + 1; b < n; ++b)
            line_printf(line, sizeof line, &len, " %d%d=%c", id_byte(S.m[a]), id_byte(S.m[b]),
                        letters[S.relation[a][b] < 3 ? S.relation[a][b] : 0]);
    line_printf(line, sizeof line, &len, " | root:", 0);
    for (int32_t k = 0; k < n; ++k)
        line_printf(line, sizeof line, &len, " %d>%d", id_byte(S.m[k]), id_byte(S.m[find_root(S.parent, k)]));
    line_printf(line, sizeof line, &len, " | serial:", 0);
    for (int32_t k = 0; k < n; ++k)
        line_printf(line, sizeof line, &len, " %d", static_cast<int>(shm_load(S.m[k].slot->chain_serial)));
    line_printf(line, sizeof line, &len, " | live:", 0);
    for (int32_t k = 0; k < n; ++k)
        line_printf(line, sizeof line, &len, "%d", S.m[k].cand.live ? 1 : 0);
    if (std::strcmp(line, last_relation_line) == 0) return;
    std::memcpy(last_relation_line, line, sizeof line);
    std::fprintf(stderr, "[reg2] %s\n", line);
}

// Two members of one listing share at least one steady time (the second's records walked with a
// forward-only pointer into the first's).
static bool share_steady(const member_scratch& x, const member_scratch& y) {
    const history_view& hx = x.history;
    const history_view& hy = y.history;
    int32_t p = 0;
    for (int32_t j = 0; j < hy.n; ++j) {
        while (p < hx.n && hx.steady[p] < hy.steady[j])
            ++p;
        if (p == hx.n) return false;
        if (hx.steady[p] == hy.steady[j]) return true;
    }
    return false;
}

// Sets ra and rb carry one serial but run in parallel: the one without a confirmed (freshly serial)
// pair loses its serial; when both or neither have one, the smaller set, and on equal sizes the set
// whose root has the larger member index.
static void clear_losing_serial(int32_t n, int32_t ra, int32_t rb) {
    listing_scratch& S = scratch;
    int32_t size_a = 0, size_b = 0;
    bool conf_a = false, conf_b = false;
    for (int32_t k = 0; k < n; ++k) {
        if (S.root[k] == ra) {
            ++size_a;
            conf_a = conf_a || S.m[k].confirmed;
        } else if (S.root[k] == rb) {
            ++size_b;
            conf_b = conf_b || S.m[k].confirmed;
        }
    }
    int32_t loser;
    if (conf_a == conf_b) {
        if (size_a != size_b)
            loser = size_a < size_b ? ra : rb;
        else
            loser = ra > rb ? ra : rb;
    } else {
        loser = conf_a ? rb : ra;
    }
    for (int32_t k = 0; k < n; ++k)
        if (S.root[k] == loser) shm_exchange(S.m[k].slot->chain_serial, 0u);
}

int32_t registry_collect_chain(shm_slot* own, uint32_t group, chain_member* out, int32_t capacity) {
    if (group > 15 || capacity < 1 || out == nullptr) return 0;
    registry_lock();
    listing_scratch& S = scratch;
    const int64_t now = clock_ns();

    // 1. Members: live owners of this Group, in slot index order.
    int32_t n = 0;
    const int32_t total = slot_count();
    for (int32_t i = 0; i < total && n < CHAIN_MAX_MEMBERS; ++i) {
        shm_slot* s = slot_by_index(i);
        if (s == nullptr || !slot_owner_alive(s)) continue;
        int32_t g;
        if (!trunc_value(slot_value(s, PARAM_GROUP), &g) || g != static_cast<int32_t>(group)) continue;
        collect_member(S.m[n++], s, now);
    }

    // 2. Pairwise relations, joined into sets.
    for (int32_t k = 0; k < n; ++k) {
        S.parent[k] = k;
        S.relation[k][k] = 0;
    }
    for (int32_t a = 0; a < n; ++a) {
        const member_scratch& A = S.m[a];
        for (int32_t b = a + 1; b < n; ++b) {
            const member_scratch& B = S.m[b];
            int32_t r = relation_core(A.history, B.history);
            if (r == CHAIN_RELATION_UNDECIDED) r = relation_core(B.history, A.history);
            S.relation[a][b] = S.relation[b][a] = static_cast<uint8_t>(r);
            if (r == CHAIN_RELATION_SERIAL) {
                const int32_t ra = find_root(S.parent, a), rb = find_root(S.parent, b);
                S.parent[ra] = rb;
            }
        }
    }

    // 3. Fresh members that are serial with each other confirm their sets.
    for (int32_t a = 0; a < n; ++a)
        for (int32_t b = a + 1; b < n; ++b)
            if (S.relation[a][b] == CHAIN_RELATION_SERIAL && S.m[a].fresh && S.m[b].fresh)
                S.m[a].confirmed = S.m[b].confirmed = true;

    // 4. Chain serials join sets that timing alone no longer joins, unless fresh members of the two
    // prove them parallel.
    for (int32_t a = 0; a + 1 < n; ++a) {
        for (int32_t b = a + 1; b < n; ++b) {
            const int32_t ra = find_root(S.parent, a), rb = find_root(S.parent, b);
            if (ra == rb) continue;
            const uint32_t serial_a = shm_load(S.m[a].slot->chain_serial);
            if (serial_a == 0 || shm_load(S.m[b].slot->chain_serial) != serial_a) continue;
            for (int32_t k = 0; k < n; ++k)
                S.root[k] = find_root(S.parent, k);
            bool conflict = false;
            for (int32_t x = 0; x < n && !conflict; ++x) {
                if (S.root[x] != ra || !S.m[x].fresh) continue;
                for (int32_t y = 0; y < n; ++y)
                    if (S.root[y] == rb && S.m[y].fresh && S.relation[x][y] == CHAIN_RELATION_PARALLEL) {
                        conflict = true;
                        break;
                    }
            }
            if (conflict)
                clear_losing_serial(n, ra, rb);
            else
                S.parent[ra] = rb;
        }
    }

    // 5. Every set keeps the smallest serial any member carried (as signed 32-bit numbers), or takes
    // a new one from the machine-wide counter.
    for (int32_t k = 0; k < n; ++k)
        S.root[k] = find_root(S.parent, k);
    for (int32_t r = 0; r < n; ++r) {
        if (S.root[r] != r) continue;
        bool have = false;
        int32_t best = 0;
        for (int32_t k = 0; k < n; ++k) {
            if (S.root[k] != r) continue;
            const int32_t s = static_cast<int32_t>(shm_load(S.m[k].slot->chain_serial));
            if (s != 0 && (!have || s < best)) {
                best = s;
                have = true;
            }
        }
        const uint32_t serial = have ? static_cast<uint32_t>(best) : shm_next_chain_serial();
        for (int32_t k = 0; k < n; ++k)
            if (S.root[k] == r) shm_exchange(S.m[k].slot->chain_serial, serial);
    }

    if (std::getenv("LODRIN_REG_DEBUG") != nullptr) print_relation_line(n);

    if (n == 0) {
        registry_unlock();
        return 0;
    }

    // 6. The chain: the own stage's set, else the largest set (the first root on a tie).
    int32_t chosen = -1;
    for (int32_t k = 0; k < n; ++k)
        if (S.m[k].slot == own) chosen = S.root[k];
    if (chosen < 0) {
        int32_t best_size = 0;
        for (int32_t r = 0; r < n; ++r) {
            if (S.root[r] != r) continue;
            int32_t size = 0;
            for (int32_t k = 0; k < n; ++k)
                size += S.root[k] == r;
            if (size > best_size) {
                best_size = size;
                chosen = r;
            }
        }
    }
    int32_t count = 0, root_member = -1;
    for (int32_t k = 0; k < n; ++k) {
        if (S.root[k] != chosen) continue;
        S.listed[count] = k;
        S.listed_cand[count] = S.m[k].cand;
        S.listed_slot[count] = S.m[k].slot;
        if (root_member < 0 || S.m[k].instance_id < S.m[root_member].instance_id) root_member = k;
        ++count;
    }

    // 7. Steady mode holds while every pair of fresh members with rising steady histories shares a
    // host block; stages of one track under different steady clocks must be ordered by start times.
    bool steady = true;
    for (int32_t i = 0; i < count && steady; ++i) {
        const member_scratch& x = S.m[S.listed[i]];
        if (!x.fresh || x.history.n < 2 || !x.history.rising) continue;
        for (int32_t j = i + 1; j < count; ++j) {
            const member_scratch& y = S.m[S.listed[j]];
            if (!y.fresh || y.history.n < 2 || !y.history.rising) continue;
            if (!share_steady(x, y)) {
                steady = false;
                break;
            }
        }
    }

    // 8. Learned order of the chain, keyed by its root's slot.
    learned_order_entry* entry = learned_order_lookup(S.m[root_member].slot);
    chain_order_learn(entry, S.listed_cand, S.listed_slot, count, now, steady);

    const int32_t written = count < capacity ? count : capacity;
    for (int32_t i = 0; i < written; ++i) {
        const member_scratch& ms = S.m[S.listed[i]];
        int32_t stage = 0;
        if (!trunc_value(slot_value(ms.slot, PARAM_STAGE), &stage)) stage = 0;
        int32_t place = 0;
        for (int32_t p = 0; p < entry->learned_count; ++p)
            if (entry->learned[p] == ms.slot) {
                place = p + 1;
                break;
            }
        out[i].slot = ms.slot;
        out[i].position = stage >= 1 ? stage : place >= 1 ? place : POSITION_UNKNOWN;
        out[i].manual = stage >= 1 ? 1 : 0;
        out[i].live = ms.cand.live ? 1 : 0;
    }
    registry_unlock();
    sort_with(out, written, cmp_member_by_position);
    return written;
}
