// The constructors of literal values, until their datatypes install theirs.
#include "runtime/lexer_values.h"

#include "runtime/error.h"

namespace kel {

namespace {

[[noreturn]] void not_done(uint32_t type) {
    Cell dt;
    cell_set(&dt, TYPE_DATATYPE, type);
    error_raise(ErrCat::Internal, "not-done", &dt);
}

void make_date(Cell*, const LexerDate&) { not_done(TYPE_DATE); }
void make_time(Cell*, double) { not_done(TYPE_TIME); }
bool make_money(Cell*, const LexerMoney&) { not_done(TYPE_MONEY); }
void make_tuple(Cell*, const uint8_t*, uint32_t) { not_done(TYPE_TUPLE); }
void make_pair(Cell*, int32_t, int32_t) { not_done(TYPE_PAIR); }
void make_point(Cell*, uint32_t count, const float*) { not_done(count == 3 ? TYPE_POINT3D : TYPE_POINT2D); }
void make_percent(Cell*, double) { not_done(TYPE_PERCENT); }
void make_binary(Cell*, const uint8_t*, uint32_t) { not_done(TYPE_BINARY); }
void make_map(Cell*, const Cell*) { not_done(TYPE_MAP); }

}  // namespace

LexerConstructors g_lexer_constructors = {
    make_date, make_time, make_money, make_tuple, make_pair, make_point, make_percent, make_binary, make_map,
};

bool lexer_map_key_type_q(uint32_t type) {
    switch (type) {
    case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_CHAR: case TYPE_INTEGER: case TYPE_FLOAT:
    case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
    case TYPE_ISSUE: case TYPE_PAIR: case TYPE_PERCENT: case TYPE_TUPLE: case TYPE_BINARY: case TYPE_TIME:
    case TYPE_TAG: case TYPE_EMAIL: case TYPE_DATE: case TYPE_MONEY: case TYPE_REF: case TYPE_POINT2D:
    case TYPE_POINT3D:
        return true;
    default:
        return false;
    }
}

}  // namespace kel
