// Constructors the lexer calls to build literal values of the extended
// datatypes.
//
// The lexer checks a literal's text and reads its parts; turning the parts
// into a cell is the business of the value's datatype. Each datatype module
// installs its constructor here at registration; until it does, loading such
// a literal raises internal `not-done` with the datatype (checking it in
// scan and prescan modes works regardless). A constructor writes the whole
// cell (the lexer keeps the new-line flag it had).
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// A date literal's parts. The form says which of the day fields hold:
//  - LEXER_DATE_YMD: year, month, day;
//  - LEXER_DATE_WEEK: year, week (1-53) and weekday (1 Monday .. 7, 0 when
//    absent): the Monday of that ISO week moved to the weekday;
//  - LEXER_DATE_YEARDAY: year and yearday (1 = 1 January).
enum LexerDateForm : uint8_t { LEXER_DATE_YMD = 0, LEXER_DATE_WEEK = 1, LEXER_DATE_YEARDAY = 2 };
struct LexerDate {
    LexerDateForm form = LEXER_DATE_YMD;
    int32_t year = 0, month = 0, day = 0;
    int32_t week = 0, weekday = 0, yearday = 0;
    bool has_time = false;  // a time of day follows
    bool has_zone = false;  // a zone (or Z) follows
    double time = 0.0;      // seconds since midnight, local to the zone
    int32_t zone_hours = 0, zone_minutes = 0;  // zone_minutes carries the zone's sign too
};

// A money literal's parts: digit texts without group marks; [currency] is
// the 3-letter code or null.
struct LexerMoney {
    bool negative = false;
    const char* currency = nullptr;
    const char* whole = nullptr;  // integer digits, leading zeros removed (may be empty)
    uint32_t whole_len = 0;
    const char* fraction = nullptr;  // up to 5 decimal digits
    uint32_t fraction_len = 0;
};

struct LexerConstructors {
    void (*make_date)(Cell* out, const LexerDate& date);
    void (*make_time)(Cell* out, double seconds);
    // False when the money cannot be made (an unknown currency code).
    bool (*make_money)(Cell* out, const LexerMoney& money);
    void (*make_tuple)(Cell* out, const uint8_t* bytes, uint32_t count);  // 3..12 bytes
    void (*make_pair)(Cell* out, int32_t x, int32_t y);
    void (*make_point)(Cell* out, uint32_t count, const float* xyz);  // count 2 or 3
    void (*make_percent)(Cell* out, double fraction);  // 50% is 0.5
    void (*make_binary)(Cell* out, const uint8_t* bytes, uint32_t count);
    // [block] holds the entries key, value, ... (checked: even count, keys of
    // an allowed type); it is a block! no one else refers to.
    void (*make_map)(Cell* out, const Cell* block);
};

// The installed constructors; every entry is set (to `not-done` raisers
// until the datatypes install theirs).
extern LexerConstructors g_lexer_constructors;

// Types a map! key may have (the map literal's check).
bool lexer_map_key_type_q(uint32_t type);

}  // namespace kel
