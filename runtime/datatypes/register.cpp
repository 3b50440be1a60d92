// Calls each datatype's registration once, every parent before its children.
// The order follows the start-up's registration order.
#include "runtime/datatypes/register.h"

#include "runtime/datatype.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/paren.h"
#include "runtime/datatypes/path.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"

namespace kel {

void datatypes_register_core() {
    datatype_init();
    unset_init();
    none_init();
    logic_init();
    series_init();
    block_init();
    string_init();  // after series!, whose position actions it inherits
    integer_init();
    symbol_init();
    context_init();
    word_init();  // word!, lit-word!, set-word!, get-word!, refinement!, issue!
    char_init();
    path_init();
    lit_path_init();
    set_path_init();
    get_path_init();
    paren_init();
    float_init();
    typeset_init();
}

}  // namespace kel
