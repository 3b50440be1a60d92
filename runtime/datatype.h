// The datatype registry: one row of 62 action entries per type id.
//
// A type registers once, parents before children. An entry is an
// implementation, empty (nullptr: the type does not support the action) or
// kInherit at registration time, which copies the parent's entry as it is at
// that moment; after registration no entry is kInherit. Lookup is one table
// read.
#pragma once
#include <array>
#include <cstdint>
#include <initializer_list>

#include "runtime/actions.h"
#include "runtime/cell.h"

namespace kel {

using AnyAction = void (*)();

void action_inherit_marker();
inline const AnyAction kInherit = &action_inherit_marker;

struct TypeRegistration {
    int32_t type = 0;
    int32_t parent = 0;
    const char* name = nullptr;  // with its "!"
    std::array<AnyAction, kActionCount> slots{};  // index slot - 1
};

// Builds a registration row with typed setters, so an implementation of the
// wrong signature does not compile.
class TypeRow {
public:
    explicit TypeRow(TypeId type);
    template <int Slot> TypeRow& set(typename ActionSig<Slot>::Fn fn) {
        reg_.slots[Slot - 1] = reinterpret_cast<AnyAction>(fn);
        return *this;
    }
    TypeRow& inherit(std::initializer_list<int> slots);
    void commit();  // datatype_register
    const TypeRegistration& registration() const { return reg_; }

private:
    TypeRegistration reg_;
};

struct TypeNameRecord {
    const char* name;  // with its "!"
    uint32_t length;   // without the "!"
    uint32_t symbol;   // the word's symbol id; 0 until made
};

extern AnyAction g_type_action_table[kTypeCount + 1][kActionCount];
extern TypeNameRecord g_type_names[kTypeCount + 1];
extern int32_t g_datatype_max_id;

void datatype_register(const TypeRegistration& reg);
// Gives every registered type the symbol of its name; `intern` interns an
// 8-bit name and returns its symbol id (the symbol table is set up later
// than the registry).
void typenames_init(uint32_t (*intern)(const char* name, uint32_t length));

// The parent of each type id, from the ids table.
int32_t datatype_parent(int32_t type);
const char* datatype_name(int32_t type);  // with its "!"; "" for an unknown id

inline AnyAction action_entry(int32_t type, int32_t slot) { return g_type_action_table[type][slot - 1]; }

// The datatype! type itself.
void datatype_init();
inline void datatype_set(Cell* c, int32_t type) { cell_set(c, TYPE_DATATYPE, static_cast<uint32_t>(type)); }
int32_t datatype_form(const Cell* value, Cell* buffer, const Cell* part, int32_t limit);
int32_t datatype_mold(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                      int32_t limit, int32_t indent);
int32_t datatype_compare(const Cell* value1, const Cell* value2, int32_t op);

}  // namespace kel
