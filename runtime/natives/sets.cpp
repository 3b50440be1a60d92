// The set-operation natives: unique, union, intersect, exclude, difference.
//
// Each native is a thin entry to one engine that checks the two sets are of
// compatible types and hands them to the set operation of the first one's
// type: blocks and hashes (which mix freely), strings, bitsets, typesets,
// and for `difference` two dates.
#include "runtime/datatype.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/error.h"
#include "runtime/natives.h"
#include "runtime/natives/natives_impl.h"
#include "runtime/natives/value_natives.h"
#include "runtime/stack.h"

namespace kel {

namespace {

bool block_like(uint32_t t) { return t == TYPE_BLOCK || t == TYPE_HASH; }

void check_compatible(const Cell* set1, const Cell* set2) {
    uint32_t t1 = set1->type(), t2 = set2->type();
    if (block_like(t1) ? block_like(t2) : t1 == t2) return;
    Cell d1, d2;
    datatype_set(&d1, static_cast<int32_t>(t1));
    datatype_set(&d2, static_cast<int32_t>(t2));
    error_raise(ErrCat::Script, "expect-val", &d1, &d2);
}

[[noreturn]] void not_built() { error_raise(ErrCat::Internal, "not-done"); }

void set_native(int index, int32_t op, int32_t check, const int32_t* refs) {
    if (check) natives_check_args(index, refs);
    natives_set_op(refs[0], refs[1], op);
}

}  // namespace

void natives_set_op(int32_t case_pos, int32_t skip_pos, int32_t op) {
    Cell* a = stack_arguments();
    bool unique = op == OP_UNIQUE;
    if (!unique) check_compatible(&a[0], &a[1]);
    bool case_ = case_pos >= 0;
    const Cell* skip = skip_pos >= 0 ? a + skip_pos : nullptr;
    const Cell* set2 = unique ? nullptr : &a[1];
    switch (a->type()) {
    case TYPE_BLOCK:
    case TYPE_HASH:
        copy_cell(block_set_op(&a[0], set2, case_, skip, op), a);
        break;
    case TYPE_STRING:
        copy_cell(string_set_op(&a[0], set2, case_, skip, op), a);
        break;
    case TYPE_BITSET:
        if (!g_value_services.bitset_do_math) not_built();
        g_value_services.bitset_do_math(op);
        break;
    case TYPE_TYPESET:
        typeset_do_math(op);
        break;
    case TYPE_DATE:
        if (op == OP_DIFFERENCE) {
            if (!g_value_services.date_difference) not_built();
            g_value_services.date_difference(&a[0], &a[1]);
            break;
        }
        [[fallthrough]];
    default:
        natives_raise_expect_arg(a, unique ? "set" : "set2");
    }
    stack_keep();
}

void native_unique(int32_t check, const int32_t* refs) { set_native(43, OP_UNIQUE, check, refs); }
void native_union(int32_t check, const int32_t* refs) { set_native(41, OP_UNION, check, refs); }
void native_intersect(int32_t check, const int32_t* refs) { set_native(42, OP_INTERSECT, check, refs); }
void native_exclude(int32_t check, const int32_t* refs) { set_native(45, OP_EXCLUDE, check, refs); }
void native_difference(int32_t check, const int32_t* refs) { set_native(44, OP_DIFFERENCE, check, refs); }

}  // namespace kel
