// Typed action calls: the implementation lookup and the calls that other
// modules make directly (form, mold, compare).
#include "runtime/actions.h"

#include <cstring>

#include "runtime/datatype.h"
#include "runtime/dispatch.h"
#include "runtime/error.h"
#include "runtime/eval_deps.h"
#include "runtime/stack.h"

namespace kel {

namespace {

constexpr const char* kActionNames[kActionCount + 1] = {
    "",
#define X(slot, cname, word) word,
#include "runtime/action_slots.def"
#undef X
};

}  // namespace

const char* action_name(int slot) { return slot >= 1 && slot <= kActionCount ? kActionNames[slot] : ""; }

void action_unsupported(int32_t type, int32_t slot) {
    Cell dt;
    datatype_set(&dt, type);
    Cell where{TYPE_NONE, 0, 0, 0};
    if (stack_ready() && stack_depth() > 0) where = stack_get_call();
    // The first argument word of the action's interface block.
    Cell word{TYPE_NONE, 0, 0, 0};
    const char* spec = action_spec_text(slot);
    size_t n = std::strcspn(spec, " ");
    if (n > 0) word_make_global_at(symbol_make_len(spec, static_cast<uint32_t>(n)), &word);
    error_raise(ErrCat::Script, "expect-arg", &where, &dt, &word);
}

template <int Slot> typename ActionSig<Slot>::Fn action_fn(int32_t type) {
    AnyAction entry = action_entry(type, Slot);
    if (!entry) action_unsupported(type, Slot);
    return reinterpret_cast<typename ActionSig<Slot>::Fn>(entry);
}

// Instantiate every slot once so callers only need the declaration.
#define X(slot, cname, word) template ActionSig<slot>::Fn action_fn<slot>(int32_t);
#include "runtime/action_slots.def"
#undef X

int32_t actions_form_call(const Cell* value, Cell* buffer, const Cell* part, int32_t limit) {
    return action_fn<ACT_FORM>(value->type())(value, buffer, part, limit);
}

int32_t actions_mold_call(const Cell* value, Cell* buffer, bool only, bool all, bool flat, const Cell* part,
                          int32_t limit, int32_t indent) {
    return action_fn<ACT_MOLD>(value->type())(value, buffer, only, all, flat, part, limit, indent);
}

int32_t actions_compare_values(const Cell* value1, const Cell* value2, int32_t op) {
    CompareFn fn = action_fn<ACT_COMPARE>(value1->type());
    switch (value1->type()) {
    case TYPE_LOGIC:
        if (value2->is(TYPE_LOGIC)) return static_cast<int32_t>(value1->data1) - static_cast<int32_t>(value2->data1);
        break;
    case TYPE_NATIVE:
    case TYPE_ACTION:
    case TYPE_OP:
        if (value2->type() == value1->type()) {
            // An op!'s number is its source's: a native index, an action
            // slot or a function's context; the source type comes first.
            uint32_t sa = (value1->header >> 16) & 0xFF, sb = (value2->header >> 16) & 0xFF;
            if (value1->is(TYPE_OP) && sa != sb) return sa < sb ? -1 : 1;
            int32_t a = static_cast<int32_t>(value1->data1), b = static_cast<int32_t>(value2->data1);
            return a < b ? -1 : a > b ? 1 : 0;
        }
        break;
    case TYPE_FUNCTION:
    case TYPE_ROUTINE:
        if (value2->type() == value1->type()) {
            int32_t a = static_cast<int32_t>(value1->data3), b = static_cast<int32_t>(value2->data3);
            return a < b ? -1 : a > b ? 1 : 0;
        }
        break;
    default: break;
    }
    return fn(value1, value2, op);
}

bool actions_compare_call(const Cell* value1, const Cell* value2, int32_t op) {
    int32_t r = action_fn<ACT_COMPARE>(value1->type())(value1, value2, op);
    if (r == kCompareIncomparable) {
        switch (op) {
        case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SAME:
        case COMP_FIND_WORD: case COMP_FIND_WORD_CASE: case COMP_FIND:
            break;
        default:
            error_raise(ErrCat::Script, "invalid-compare", value1, value2);
        }
    }
    switch (op) {
    case COMP_NOT_EQUAL: return r != 0;
    case COMP_LESSER: return r < 0;
    case COMP_LESSER_EQUAL: return r <= 0;
    case COMP_GREATER: return r > 0;
    case COMP_GREATER_EQUAL: return r >= 0;
    default: return r == 0;
    }
}

}  // namespace kel
