// The error catalogue: the ten categories, their titles, and every error id
// in order with its message template.
//
// This table is the one place where ids, their order and their messages are
// written. An id's position in its category fixes its code: code = category
// index x 100 + position (counted from 0), so script `no-value` is 300 and
// script `expect-arg` 305. Positions are part of the language (codes are
// visible to scripts), so ids are only ever appended at the end of a
// category.
//
// A message is written as text in which the tokens :arg1 :arg2 :arg3 place
// the error's arguments; a message without such a token is a plain string!,
// one with tokens becomes a block! of strings and get-words, the form the
// catalogue object holds (`[:arg1 "has no value"]`).
#pragma once
#include <cstdint>
#include <string_view>

#include "runtime/cell.h"
#include "runtime/error.h"

namespace kel {

struct ErrorIdEntry {
    const char* id;
    const char* message;
};

struct ErrorCategoryEntry {
    const char* word;   // the category's word: "script"
    const char* title;  // the report's title: "Script Error"
    const ErrorIdEntry* ids;
    uint32_t count;
};

constexpr int kErrorCategoryCount = 10;

const ErrorCategoryEntry& error_catalog_category(int index);
// The category index of a category word, or -1.
int error_catalog_find_category(std::string_view word);
// The position (from 0) of an id in a category, or -1.
int error_catalog_find_id(int category, std::string_view id);
// category x 100 + position, or -1 when the id is not in the category.
int32_t error_catalog_code(ErrCat category, std::string_view id);

// One piece of a message: text, or the argument number 1-3 it names.
struct ErrorMessagePiece {
    std::string_view text;
    int arg = 0;  // 0: text
};
// Splits a message into its pieces; returns the count (at most `max`).
// `has_args` tells whether the message names arguments (a block! template).
uint32_t error_message_pieces(const char* message, ErrorMessagePiece* out, uint32_t max, bool* has_args);

// Builds the catalogue object (`system/catalog/errors`): one field per
// category, each an object whose fields are `code`, `type` (the title) and
// one field per id holding its template. Writes it into `out`.
Cell* error_catalog_make(Cell* out);

}  // namespace kel
