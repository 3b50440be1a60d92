// External resources and value slots.
//
// External resources: objects that live outside the collected memory (OS
// bitmaps behind image!, whatever a handle! refers to). Each is an entry of
// one table, named by its 0-based index (what a value stores), with a kind
// whose release function frees the object. The collector marks the entries
// that live values reach; the sweep releases every unmarked one. Two lists
// run through the entries: the free list and the in-use list (newest first),
// both ended by -1. The table starts with 1,000 entries and doubles when the
// free list runs out.
//
// Value slots: a block of cells kept alive for code outside the language,
// addressed by 1-based index. Every cell of the block's capacity is a slot
// (the tail sits at the end of the capacity); a free slot is an integer! whose
// data2 holds the 0-based index of the next free slot (-1 ends).
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

using ExternalRelease = void (*)(void* object);

constexpr uint32_t kExternalKindMax = 20;
constexpr uint32_t kExternalInitialEntries = 1000;
constexpr uint32_t EXTERNAL_KIND_MASK = 0xFF;
constexpr uint32_t EXTERNAL_FREE = 0x40000000;
constexpr uint32_t EXTERNAL_MARK = 0x80000000;

struct ExternalKind {
    const char* name;
    ExternalRelease release;
};

struct ExternalEntry {
    uint32_t flags;  // bits 0-7 the kind number, EXTERNAL_FREE, EXTERNAL_MARK
    void* object;
    int32_t next;    // next entry of the same list, -1 ends
};

struct ExternalTable {
    ExternalKind kinds[kExternalKindMax];
    uint32_t kind_count;
    ExternalEntry* entries;
    uint32_t capacity;
    int32_t free_head;
    int32_t in_use_head;
};
extern ExternalTable g_externals;

// Makes the entry table (releasing an earlier one without calling releases)
// and threads every entry into the free list.
void externals_init();
// Appends a kind; returns its 1-based number, 0 when the table is full.
uint32_t externals_register_kind(const char* name, ExternalRelease release);
// Takes a free entry for the object and puts it at the head of the in-use
// list; returns its index.
int32_t externals_add(void* object, uint32_t kind);
// Calls the kind's release function (nothing for kind 0 or an unset function).
void externals_release(uint32_t kind, void* object);
void externals_release_entry(int32_t entry);
// Stores a new object; a different old object is released.
void externals_set_object(int32_t entry, void* object);
// Optionally releases the object, then returns the entry to the free list.
void externals_remove(int32_t entry, bool release);
// Sets the mark; a non-null object replaces the stored pointer. True when the
// entry was not marked before. Indexes outside the table or of free entries
// are ignored (false).
bool externals_mark(int32_t entry, void* object);
// Collector sweep: unmarked in-use entries are released and freed; marks are
// cleared.
void externals_sweep();
// Threads `count` entries from `first` into the free list (free, null
// object, each linked to the next, the last to -1).
void externals_link_free(int32_t first, uint32_t count);

// The value-slot block (the collector marks it and its cells).
extern Cell g_valslots;
extern int32_t g_valslots_free_head;
constexpr uint32_t kValslotsInitial = 100;

void valslots_init();
// Makes the slots from `first` (0-based) to the capacity free; the free head
// becomes `first`.
void valslots_link_free(uint32_t first);
// Copies the value into a free slot (doubling the block when none is free)
// and returns its 1-based index.
uint32_t valslots_store(const Cell* value);
// Returns a slot to the free list; 0 and indexes beyond the capacity are
// ignored.
void valslots_free(uint32_t index);
// The slot's cell, or null for an index outside 1..capacity. Stale after the
// next allocation.
Cell* valslots_at(uint32_t index);
uint32_t valslots_capacity();

}  // namespace kel
