// The comparison natives and not.
#include "runtime/actions.h"
#include "runtime/natives.h"
#include "runtime/natives/natives_impl.h"
#include "runtime/stack.h"

namespace kel {

namespace {

void compare_result(int32_t op) {
    Cell* a = stack_arguments();
    bool r;
    if (a[0].is(TYPE_INTEGER) && a[1].is(TYPE_INTEGER)) {
        int32_t x = static_cast<int32_t>(a[0].data2), y = static_cast<int32_t>(a[1].data2);
        switch (op) {
        case COMP_LESSER: r = x < y; break;
        case COMP_LESSER_EQUAL: r = x <= y; break;
        case COMP_GREATER: r = x > y; break;
        case COMP_GREATER_EQUAL: r = x >= y; break;
        case COMP_NOT_EQUAL: r = x != y; break;
        default: r = x == y; break;
        }
    } else {
        r = actions_compare_call(&a[0], &a[1], op);
    }
    cell_set(a, TYPE_LOGIC, r ? 1u : 0u);
    stack_keep();
}

}  // namespace

void native_equal_q(int32_t, const int32_t*) { compare_result(COMP_EQUAL); }
void native_not_equal_q(int32_t, const int32_t*) { compare_result(COMP_NOT_EQUAL); }
void native_strict_equal_q(int32_t, const int32_t*) { compare_result(COMP_STRICT_EQUAL); }
void native_lesser_q(int32_t, const int32_t*) { compare_result(COMP_LESSER); }
void native_greater_q(int32_t, const int32_t*) { compare_result(COMP_GREATER); }
void native_lesser_or_equal_q(int32_t, const int32_t*) { compare_result(COMP_LESSER_EQUAL); }
void native_greater_or_equal_q(int32_t, const int32_t*) { compare_result(COMP_GREATER_EQUAL); }

void native_not(int32_t, const int32_t*) {
    Cell* a = stack_arguments();
    cell_set(a, TYPE_LOGIC, value_false_q(a) ? 1u : 0u);
    stack_keep();
}

}  // namespace kel
