// The global values as start-up left them, for fuzz targets that run many
// programs in one process: taken once, put back after each run (words made
// since become unset), so that every run starts from the same state.
#pragma once

#include <vector>

#include "runtime/datatypes/context.h"
#include "runtime/gc.h"

namespace kel::fuzz {

struct GlobalSnapshot {
    std::vector<Cell> cells;
    GcRootCell* root = nullptr;  // held for the process's life

    void take() {
        uint32_t n = context_values_count(g_global_context);
        cells.resize(n);
        for (uint32_t k = 0; k < n; k++) cells[k] = *context_value_at(g_global_context, k);
        root = new GcRootCell(cells.data(), cells.size());
    }
    void restore() const {
        uint32_t n = context_values_count(g_global_context);
        for (uint32_t k = 0; k < n; k++) {
            Cell* slot = context_value_at(g_global_context, k);
            if (!slot) continue;
            if (k < cells.size()) *slot = cells[k];
            else *slot = Cell{TYPE_UNSET, 0, 0, 0};
        }
    }
    // Whether global value k is, bit for bit, what it was when taken.
    bool same(uint32_t k, const Cell* c) const {
        if (k >= cells.size()) return c->is(TYPE_UNSET);
        const Cell& s = cells[k];
        return s.header == c->header && s.data1 == c->data1 && s.data2 == c->data2 && s.data3 == c->data3;
    }
};

}  // namespace kel::fuzz
