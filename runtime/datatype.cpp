// The registry and the datatype! type.
#include "runtime/datatype.h"

#include <cstring>
#include <string_view>

#include "runtime/datatypes/string.h"

namespace kel {

AnyAction g_type_action_table[kTypeCount + 1][kActionCount] = {};
TypeNameRecord g_type_names[kTypeCount + 1] = {};
int32_t g_datatype_max_id = 0;

void action_inherit_marker() {}

namespace {

struct TypeInfo {
    int32_t parent;
    const char* name;
};

constexpr TypeInfo kTypeInfo[kTypeCount + 1] = {
    {0, ""},
#define X(id, cname, name, parent) {parent, name},
#include "runtime/datatype_ids.def"
#undef X
};
static_assert(sizeof kTypeInfo / sizeof kTypeInfo[0] == kTypeCount + 1);

}  // namespace

int32_t datatype_parent(int32_t type) { return type > 0 && type <= kTypeCount ? kTypeInfo[type].parent : 0; }
const char* datatype_name(int32_t type) { return type > 0 && type <= kTypeCount ? kTypeInfo[type].name : ""; }

TypeRow::TypeRow(TypeId type) {
    reg_.type = type;
    reg_.parent = kTypeInfo[type].parent;
    reg_.name = kTypeInfo[type].name;
}

TypeRow& TypeRow::inherit(std::initializer_list<int> slots) {
    for (int slot : slots) reg_.slots[slot - 1] = kInherit;
    return *this;
}

void TypeRow::commit() { datatype_register(reg_); }

void datatype_register(const TypeRegistration& reg) {
    if (reg.type > g_datatype_max_id) g_datatype_max_id = reg.type;
    TypeNameRecord& rec = g_type_names[reg.type];
    rec.name = reg.name;
    rec.length = static_cast<uint32_t>(std::strlen(reg.name)) - 1;
    for (int k = 0; k < kActionCount; k++) {
        AnyAction entry = reg.slots[k];
        if (entry == kInherit) entry = reg.parent ? g_type_action_table[reg.parent][k] : nullptr;
        g_type_action_table[reg.type][k] = entry;
    }
}

void typenames_init(uint32_t (*intern)(const char* name, uint32_t length)) {
    for (int32_t i = 1; i <= g_datatype_max_id; i++) {
        TypeNameRecord& rec = g_type_names[i];
        if (rec.name) rec.symbol = intern(rec.name, rec.length + 1);
    }
}

// The name from the ids table: bounds-checked, so a cell with an id no type
// has still forms (as an empty name) instead of reading outside the table.
static std::string_view type_name_of(const Cell* value) {
    std::string_view name = datatype_name(static_cast<int32_t>(value->data1));
    return name;
}

int32_t datatype_form(const Cell* value, Cell* buffer, const Cell*, int32_t limit) {
    std::string_view name = type_name_of(value);
    if (!name.empty()) name.remove_suffix(1);
    string_append_ascii(buffer, name.data(), name.size());
    return limit - static_cast<int32_t>(name.size());
}

int32_t datatype_mold(const Cell* value, Cell* buffer, bool, bool all, bool, const Cell*, int32_t limit, int32_t) {
    std::string_view name = type_name_of(value);
    if (all) string_append_ascii(buffer, "#(", 2);
    string_append_ascii(buffer, name.data(), name.size());
    limit -= static_cast<int32_t>(name.size());
    if (all) {
        string_append_ascii(buffer, ")", 1);
        limit -= 3;
    }
    return limit;
}

int32_t datatype_compare(const Cell* value1, const Cell* value2, int32_t op) {
    switch (op) {
    case COMP_EQUAL:
    case COMP_NOT_EQUAL:
    case COMP_STRICT_EQUAL:
    case COMP_SAME:
    case COMP_FIND:
        return value2->is(TYPE_DATATYPE) && value2->data1 == value1->data1 ? 0 : 1;
    default:
        return kCompareIncomparable;
    }
}

void datatype_init() {
    TypeRow(TYPE_DATATYPE)
        .set<ACT_FORM>(datatype_form)
        .set<ACT_MOLD>(datatype_mold)
        .set<ACT_COMPARE>(datatype_compare)
        .commit();
}

}  // namespace kel
