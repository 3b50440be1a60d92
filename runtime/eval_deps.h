// What the evaluator uses of the symbol, word, context and block modules.
#pragma once
#include "runtime/cell.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/memory.h"
#include "runtime/symbols.h"
