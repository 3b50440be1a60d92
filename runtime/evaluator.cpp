// Start-up of the evaluator.
#include "runtime/evaluator.h"

#include "runtime/datatypes/function.h"
#include "runtime/datatypes/native.h"
#include "runtime/dispatch.h"
#include "runtime/gc.h"
#include "runtime/interpreter.h"
#include "runtime/natives.h"
#include "runtime/stack.h"

namespace kel {

void evaluator_register_types() {
    native_init();
    action_init();
    op_init();
    function_init();
    routine_init();
    gc_register_callable_markers();
}

void evaluator_init() {
    if (!stack_ready()) stack_init();
    actions_init();
    natives_init();
    interp_init();
}

}  // namespace kel
