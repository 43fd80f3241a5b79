// Learned chain order: the process-local table of learned orders, one entry per chain root.
#include "chain_order.h"

#include <cstring>

static learned_order_entry learned_orders[LEARNED_ORDER_ENTRIES];

learned_order_entry* learned_order_table() { return learned_orders; }

void learned_order_clear() {
    for (learned_order_entry& e : learned_orders) e.key = nullptr;
}
