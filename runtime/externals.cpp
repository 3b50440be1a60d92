// External-resource table and value slots.
#include "runtime/externals.h"

#include <cstdlib>
#include <cstring>

#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"

namespace kel {

ExternalTable g_externals = {{}, 0, nullptr, 0, -1, -1};
Cell g_valslots = {TYPE_NONE, 0, 0, 0};
int32_t g_valslots_free_head = -1;

namespace {

bool entry_valid(int32_t entry) {
    return entry >= 0 && static_cast<uint32_t>(entry) < g_externals.capacity;
}

bool entry_in_use(int32_t entry) {
    return entry_valid(entry) && !(g_externals.entries[entry].flags & EXTERNAL_FREE);
}

void grow_entries() {
    uint32_t old = g_externals.capacity;
    uint64_t grown = old ? uint64_t(old) * 2 : kExternalInitialEntries;
    if (grown > 0x7FFFFFFF) fatal_runtime_error(94);
    void* p = std::realloc(g_externals.entries, grown * sizeof(ExternalEntry));
    if (!p) fatal_runtime_error(94);
    g_externals.entries = static_cast<ExternalEntry*>(p);
    g_externals.capacity = static_cast<uint32_t>(grown);
    externals_link_free(static_cast<int32_t>(old), static_cast<uint32_t>(grown - old));
}

// Unlinks `entry` from the in-use list; `prev` is its predecessor or -1.
void unlink_in_use(int32_t entry, int32_t prev) {
    ExternalEntry* e = g_externals.entries;
    if (prev < 0) g_externals.in_use_head = e[entry].next;
    else e[prev].next = e[entry].next;
}

void push_free(int32_t entry) {
    ExternalEntry& e = g_externals.entries[entry];
    e.flags = EXTERNAL_FREE;
    e.object = nullptr;
    e.next = g_externals.free_head;
    g_externals.free_head = entry;
}

}  // namespace

void externals_init() {
    g_gc_sweep_externals = externals_sweep;
    std::free(g_externals.entries);
    g_externals.entries = nullptr;
    g_externals.capacity = 0;
    g_externals.kind_count = 0;
    g_externals.free_head = -1;
    g_externals.in_use_head = -1;
    grow_entries();
}

uint32_t externals_register_kind(const char* name, ExternalRelease release) {
    if (g_externals.kind_count == kExternalKindMax) return 0;
    g_externals.kinds[g_externals.kind_count++] = ExternalKind{name, release};
    return g_externals.kind_count;
}

int32_t externals_add(void* object, uint32_t kind) {
    if (g_externals.free_head < 0) {
        // Grown entries are linked from the old capacity on, so allocation
        // continues in the added half.
        grow_entries();
    }
    int32_t entry = g_externals.free_head;
    ExternalEntry& e = g_externals.entries[entry];
    g_externals.free_head = e.next;
    e.flags = kind & EXTERNAL_KIND_MASK;
    e.object = object;
    e.next = g_externals.in_use_head;
    g_externals.in_use_head = entry;
    return entry;
}

void externals_release(uint32_t kind, void* object) {
    if (kind < 1 || kind > g_externals.kind_count) return;
    ExternalRelease release = g_externals.kinds[kind - 1].release;
    if (release) release(object);
}

void externals_release_entry(int32_t entry) {
    if (!entry_in_use(entry)) return;
    const ExternalEntry& e = g_externals.entries[entry];
    externals_release(e.flags & EXTERNAL_KIND_MASK, e.object);
}

void externals_set_object(int32_t entry, void* object) {
    if (!entry_in_use(entry)) return;
    ExternalEntry& e = g_externals.entries[entry];
    void* old = e.object;
    e.object = object;
    if (old != object) externals_release(e.flags & EXTERNAL_KIND_MASK, old);
}

void externals_remove(int32_t entry, bool release) {
    if (!entry_in_use(entry)) return;
    if (release) externals_release_entry(entry);
    int32_t prev = -1;
    for (int32_t i = g_externals.in_use_head; i >= 0 && i != entry; i = g_externals.entries[i].next) prev = i;
    unlink_in_use(entry, prev);
    push_free(entry);
}

bool externals_mark(int32_t entry, void* object) {
    if (!entry_in_use(entry)) return false;
    ExternalEntry& e = g_externals.entries[entry];
    if (object) e.object = object;
    if (e.flags & EXTERNAL_MARK) return false;
    e.flags |= EXTERNAL_MARK;
    return true;
}

void externals_sweep() {
    ExternalEntry* e = g_externals.entries;
    int32_t prev = -1;
    int32_t i = g_externals.in_use_head;
    while (i >= 0) {
        int32_t next = e[i].next;
        if (e[i].flags & EXTERNAL_MARK) {
            e[i].flags &= ~EXTERNAL_MARK;
            prev = i;
        } else {
            externals_release(e[i].flags & EXTERNAL_KIND_MASK, e[i].object);
            unlink_in_use(i, prev);
            push_free(i);
        }
        i = next;
    }
}

void externals_link_free(int32_t first, uint32_t count) {
    if (!count) return;
    ExternalEntry* e = g_externals.entries;
    for (uint32_t k = 0; k < count; k++) {
        int32_t i = first + static_cast<int32_t>(k);
        e[i].flags = EXTERNAL_FREE;
        e[i].object = nullptr;
        e[i].next = k + 1 < count ? i + 1 : -1;
    }
    g_externals.free_head = first;
}

// ---- value slots -----------------------------------------------------------

namespace {

Cell* slot_cells() { return arena_at<Cell>(node_buffer(g_valslots.data2)->head); }

}  // namespace

uint32_t valslots_capacity() {
    if (!g_valslots.data2) return 0;
    SeriesBuf* buf = node_buffer(g_valslots.data2);
    return (buf->data_end() - buf->head) / sizeof(Cell);
}

// The collector marks the slot block with its cells among its own roots.
void valslots_init() {
    Off node = alloc_cells(kValslotsInitial);
    cell_set(&g_valslots, TYPE_BLOCK, 0, node, 0);
    valslots_link_free(0);
}

void valslots_link_free(uint32_t first) {
    SeriesBuf* buf = node_buffer(g_valslots.data2);
    uint32_t capacity = valslots_capacity();
    buf->tail = buf->data_end();
    Cell* cells = slot_cells();
    for (uint32_t i = first; i < capacity; i++) {
        int32_t next = i + 1 < capacity ? static_cast<int32_t>(i + 1) : -1;
        cell_set(&cells[i], TYPE_INTEGER, 0, static_cast<uint32_t>(next), 0);
    }
    g_valslots_free_head = first < capacity ? static_cast<int32_t>(first) : -1;
}

uint32_t valslots_store(const Cell* value) {
    Cell copy = *value;  // the value may live in the block about to move
    GcRootCell keep(&copy);
    if (g_valslots_free_head < 0) {
        uint32_t capacity = valslots_capacity();
        series_expand(node_buffer(g_valslots.data2), int64_t(capacity) * 2 * sizeof(Cell));
        valslots_link_free(capacity);
    }
    int32_t index = g_valslots_free_head;
    Cell* slot = slot_cells() + index;
    g_valslots_free_head = static_cast<int32_t>(slot->data2);
    copy_cell(&copy, slot);
    return static_cast<uint32_t>(index) + 1;
}

void valslots_free(uint32_t index) {
    if (index == 0 || index > valslots_capacity()) return;
    // A slot already on the free list stays there once: linked twice, the
    // list would hand it to two stores and one value would overwrite the other.
    Cell* cells = slot_cells();
    uint32_t capacity = valslots_capacity();
    int32_t i = g_valslots_free_head;
    for (uint32_t steps = 0; i >= 0 && steps < capacity; steps++) {
        if (static_cast<uint32_t>(i) == index - 1) return;
        i = static_cast<int32_t>(cells[i].data2);
    }
    Cell* slot = cells + (index - 1);
    cell_set(slot, TYPE_INTEGER, 0, static_cast<uint32_t>(g_valslots_free_head), 0);
    g_valslots_free_head = static_cast<int32_t>(index - 1);
}

Cell* valslots_at(uint32_t index) {
    if (index == 0 || index > valslots_capacity()) return nullptr;
    return slot_cells() + (index - 1);
}

}  // namespace kel
