// object!: making, copying, fields, change notification, reflection, text
// forms and comparison, driven through the evaluator.
#include <gtest/gtest.h>

#include "tests/unit/object_fixture.h"

using namespace kel;
using namespace kel::test;

namespace {

using Objects = ObjectTest;

TEST_F(Objects, MoldAndFormWriteOneFieldALine) {
    EXPECT_EQ(kel_mold("make object! [a: 1 b: a + 1]"), "make object! [\n    a: 1\n    b: 2\n]");
    EXPECT_EQ(kel_form("make object! [a: 1 b: a + 1]"), "a: 1\nb: 2");
    EXPECT_EQ(kel_mold("make object! []"), "make object! []");
    // Nested objects indent their fields one level deeper and their closing
    // bracket to their own level; a word value molds as a lit-word.
    EXPECT_EQ(kel_mold("make object! [a: make object! [b: 'c]]"),
              "make object! [\n    a: make object! [\n        b: 'c\n    ]\n]");
    // An object holding itself writes the cycle marker.
    EXPECT_EQ(kel_mold("o: make object! [a: 1] o/a: o o"), "make object! [\n    a: make object! [...]\n]");
}

TEST_F(Objects, MoldFlatIsOneLine) {
    Cell o = kel_eval("make object! [a: 1 b: 2]");
    Cell buf;
    string_make(&buf, 16, 1);
    actions_mold_call(&o, &buf, false, false, true, nullptr, kNoPartLimit, 0);
    EXPECT_EQ(string_to_utf8(&buf), "make object! [a: 1 b: 2]");
}

TEST_F(Objects, MoldOfFieldsSetFromCpp) {
    Cell* o = stack_push_cell();
    object_make_from_context(o, 2);
    Cell one{TYPE_INTEGER, 0, 1, 0}, two{TYPE_INTEGER, 0, 2, 0}, a = word("a"), b = word("b");
    context_set_or_append(o->data1, &a, &one);
    context_set_or_append(o->data1, &b, &two);
    EXPECT_EQ(mold(o), "make object! [\n    a: 1\n    b: 2\n]");
}

TEST_F(Objects, SelfInTheSpecIsTheNewObject) {
    EXPECT_EQ(kel_mold("o: make object! [a: 1 me: self] same? o o/me"), "true");
    EXPECT_EQ(kel_int("o: make object! [a: 1 f: does [self/a]] o/f"), 1);
}

TEST_F(Objects, ClassIdsFollowTheShape) {
    EXPECT_EQ(kel_mold("p: make object! [a: 1] (reflect p 'class) = reflect make p [] 'class"), "true");
    EXPECT_EQ(kel_mold("p: make object! [a: 1] (reflect p 'class) = reflect make p [a: 2] 'class"), "true");
    EXPECT_EQ(kel_mold("p: make object! [a: 1] (reflect p 'class) = reflect make p [c: 3] 'class"), "false");
    EXPECT_EQ(kel_mold("(reflect make object! [a: 1] 'class) = reflect make object! [a: 1] 'class"), "false");
}

TEST_F(Objects, PrototypeSeriesAreCopiedAndFunctionsRebound) {
    EXPECT_EQ(kel_int("p: make object! [b: [1]] c: make p [] append c/b 2 length? p/b"), 1);
    EXPECT_EQ(kel_int("p: make object! [v: 1 f: does [v]] c: make p [v: 2] c/f"), 2);
    EXPECT_EQ(kel_int("p: make object! [v: 1 f: does [v]] c: make p [v: 2] p/f"), 1);
    // A function argument named like a field keeps reading the argument.
    EXPECT_EQ(kel_int("p: make object! [v: 1 f: func [v] [v * 10]] c: make p [] c/f 7"), 70);
    EXPECT_EQ(kel_int("p: make object! [a: 1] c: make p make object! [b: 2] c/a + c/b"), 3);
}

TEST_F(Objects, CopySharesSeriesUnlessDeep) {
    EXPECT_EQ(kel_int("o: make object! [b: [1]] c: copy o append c/b 2 length? o/b"), 2);
    EXPECT_EQ(kel_int("o: make object! [b: [1]] c: copy/deep o append c/b 2 length? o/b"), 1);
    EXPECT_EQ(kel_int("o: make object! [v: 1 f: does [v]] c: copy o c/v: 5 c/f"), 5);
    EXPECT_EQ(kel_error("o: make object! [a: 1] copy/part o 1"), "invalid-refine-arg");
    EXPECT_EQ(kel_error("make object! 42"), "malconstruct");
}

TEST_F(Objects, ConstructDoesNotEvaluate) {
    struct Case {
        const char* spec;
        bool only;
        const char* mold;
    } cases[] = {
        {"a: b: 1 c:", false, "make object! [\n    a: 1\n    b: 1\n    c: none\n]"},
        {"a: yes b: off c: none d: 1 + 2", false,
         "make object! [\n    a: true\n    b: false\n    c: none\n    d: 1\n]"},
        {"a: yes", true, "make object! [\n    a: 'yes\n]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.spec);
        Cell* spec = stack_push_cell();
        block_from_text(c.spec, spec);
        Cell* o = object_construct(spec, nullptr, c.only);
        EXPECT_EQ(mold(o), c.mold);
        stack_clear_all();
    }
}

TEST_F(Objects, FieldAccess) {
    EXPECT_EQ(kel_mold("o: make object! [a: 1] select o 'missing"), "none");
    EXPECT_EQ(kel_int("o: make object! [a: 1] select o 'A"), 1);
    EXPECT_EQ(kel_error("o: make object! [a: 1] o/missing"), "invalid-path");
    EXPECT_EQ(kel_error("o: make object! [a: 1] o/missing/x"), "unset-path");
    EXPECT_EQ(kel_error("o: make object! [a: 1] put o 'missing 1"), "invalid-path");
    EXPECT_EQ(kel_error("o: make object! [a: 1] put o 1 1"), "invalid-key-type");
    EXPECT_EQ(kel_error("o: make object! [a: 1] select o 1"), "invalid-type");
    EXPECT_EQ(kel_int("o: make object! [a: 1] put o 'a 5 o/a"), 5);
    EXPECT_EQ(kel_int("o: make object! [a: 1] o/a: 7 o/a"), 7);
}

TEST_F(Objects, ChangedFieldsAreReflected) {
    EXPECT_EQ(kel_mold("o: make object! [a: 1 b: 2] reflect o 'changed"), "[]");
    EXPECT_EQ(kel_mold("o: make object! [a: 1 b: 2] o/b: 3 reflect o 'changed"), "[b]");
    EXPECT_EQ(kel_mold("o: make object! [a: 1 b: 2] o/b: 3 modify o 'changed none reflect o 'changed"), "[]");
    EXPECT_EQ(kel_error("o: make object! [a: 1] modify o 'changed 1"), "invalid-arg");
}

TEST_F(Objects, Reflection) {
    EXPECT_EQ(kel_mold("reflect make object! [a: 1 b: 'x] 'words"), "[a b]");
    EXPECT_EQ(kel_mold("reflect make object! [a: 1 b: 'x] 'values"), "[1 x]");
    EXPECT_EQ(kel_mold("reflect make object! [a: 1 b: 'x] 'body"), "[\n    a: 1\n    b: 'x\n]");
    EXPECT_EQ(kel_mold("reflect make object! [a: 1] 'events?"), "false");
    EXPECT_EQ(kel_mold("reflect make object! [on-change*: func [w o n] []] 'events?"), "true");
    EXPECT_EQ(kel_error("reflect make object! [a: 1] 'spec"), "not-done");
    // The words are bound to the object.
    EXPECT_EQ(kel_int("o: make object! [a: 5] w: reflect o 'words get-it: func [x] [x] o/a"), 5);
}

TEST_F(Objects, OnChangeSeesTheWordTheOldAndTheNewValue) {
    EXPECT_EQ(kel_mold("seen: copy [] "
                        "o: make object! [a: 1 on-change*: func [w old new] [append seen w append seen old "
                        "append seen new append seen a]] "
                        "o/a: 2 seen"),
              "[a 1 2 2]");
    // A set-word inside a method notifies too.
    EXPECT_EQ(kel_mold("seen: copy [] "
                        "o: make object! [a: 1 f: does [a: 5] on-change*: func [w old new] [append seen new]] "
                        "o/f seen"),
              "[5]");
    EXPECT_EQ(kel_error("make object! [on-change*: 1]"), "bad-field-set");
    EXPECT_EQ(kel_error("o: make object! [a: 1 on-change*: func [w o n] []] o/on-change*: 5"), "invalid-obj-evt");
    // The handler's error passes through, after the field was set.
    EXPECT_EQ(kel_error("o: make object! [a: 1 on-change*: func [w o n] [undefined-word]] o/a: 2"), "no-value");
    EXPECT_EQ(kel_int("o: make object! [a: 1 on-change*: func [w o n] [undefined-word]] try [o/a: 2] o/a"), 2);
}

TEST_F(Objects, OnDeepChangeReportsBeforeAndAfter) {
    const char* setup =
        "seen: copy [] "
        "o: make object! [b: copy [1] on-deep-change*: func [owner word target action new index part] "
        "[append seen action append seen word append seen index append seen part]] ";
    struct Case {
        const char* code;
        const char* seen;
    } cases[] = {
        {"append o/b 2", "[append b 1 1 appended b 1 1]"},
        {"insert o/b 0", "[insert b 0 1 inserted b 0 1]"},
        {"clear o/b", "[clear b 0 1 cleared b 0 0]"},
        {"poke o/b 1 9", "[poke b 0 1 poked b 0 1]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        std::string code = std::string(setup) + c.code + " seen";
        EXPECT_EQ(kel_mold(code.c_str()), c.seen);
    }
    // Without a handler nothing is called; `owned` releases the series.
    EXPECT_EQ(kel_mold("seen: copy [] o: make object! [b: copy [1]] append o/b 2 seen"), "[]");
    EXPECT_EQ(kel_mold(std::string(std::string(setup) + "modify o/b 'owned none append o/b 2 seen").c_str()), "[]");
    EXPECT_EQ(kel_mold(std::string(std::string(setup) + "reflect o 'owner").c_str()), "true");
}

TEST_F(Objects, Comparison) {
    struct Case {
        const char* code;
        const char* result;
    } cases[] = {
        {"(make object! [a: 1 b: [x]]) = make object! [a: 1 b: [x]]", "true"},
        {"(make object! [a: 1]) = make object! [a: 2]", "false"},
        {"(make object! [a: 1]) = make object! [b: 1]", "false"},
        {"(make object! [a: 1]) < make object! [a: 1 b: 2]", "true"},
        {"(make object! [a: 2]) > make object! [a: 1]", "true"},
        {"(make object! [a: 1]) = make object! [a: 1.0]", "true"},
        {"(make object! []) = make object! []", "true"},
        {"o: make object! [a: 1] same? o o", "true"},
        {"same? make object! [a: 1] make object! [a: 1]", "false"},
        {"(make object! [a: 1]) = 1", "false"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(kel_mold(c.code), c.result);
    }
}

TEST_F(Objects, SetAssignsEveryField) {
    struct Case {
        const char* value;
        int none_at;  // position made none! (-1: none)
        bool some, only;
        const char* mold;
    } cases[] = {
        {"[7 8 9]", -1, false, false, "make object! [\n    a: 7\n    b: 8\n    c: 9\n]"},
        {"[7]", -1, false, false, "make object! [\n    a: 7\n    b: none\n    c: none\n]"},
        {"[7 0 9]", 1, true, false, "make object! [\n    a: 7\n    b: 2\n    c: 9\n]"},
        {"[7 8]", -1, false, true, "make object! [\n    a: [7 8]\n    b: [7 8]\n    c: [7 8]\n]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        Cell* o = stack_push_cell();
        *o = kel_eval("make object! [a: 1 b: 2 c: 3]");
        Cell* v = stack_push_cell();
        *v = kel_eval(c.value);
        if (c.none_at >= 0) cell_set(block_cell_at(v, static_cast<uint32_t>(c.none_at)), TYPE_NONE);
        object_set_all(o, v, false, c.some, c.only);
        EXPECT_EQ(mold(o), c.mold);
        stack_clear_all();
    }
    // From an object: fields of the same name, the others left alone.
    EXPECT_EQ(kel_mold("o: make object! [a: 1 b: 2] s: make object! [b: 5 z: 6] "
                        "p: make object! [] o"),
              "make object! [\n    a: 1\n    b: 2\n]");
    Cell* o = stack_push_cell();
    *o = kel_eval("make object! [a: 1 b: 2]");
    Cell* s = stack_push_cell();
    *s = kel_eval("make object! [B: 5 z: 6]");
    object_set_all(o, s, false, false, false);
    EXPECT_EQ(mold(o), "make object! [\n    a: 1\n    b: 5\n]");
    // An unset! value refuses the whole assignment.
    Cell* v = stack_push_cell();
    *v = kel_eval("[3 4]");
    cell_set_unset(block_cell_at(v, 1));
    EXPECT_EQ(raised([&] { object_set_all(o, v, false, false, false); }), "need-value");
    EXPECT_EQ(mold(o), "make object! [\n    a: 1\n    b: 5\n]");
}

}  // namespace

namespace {

// Every allocation collects: making, copying, molding objects and making
// and forming errors keep what they hold rooted and re-read what moved.
TEST_F(Objects, EverythingHoldsUpWhenEveryAllocationCollects) {
    struct Stress {
        Stress() { g_gc.stress_every = 1, g_gc_enabled = true; }
        ~Stress() { g_gc.stress_every = 0, g_gc_enabled = false; }
    };
    // Made before collection starts, and held on the evaluation stack.
    Cell* spec = stack_push_cell();
    block_from_text("a: 1 b: [x [y]] c: d: 'w", spec);
    Cell* proto = stack_push_cell();
    *proto = kel_eval("make object! [v: 1 s: [1 [2]] t: make object! [u: 3]]");
    std::string molded, copied, report;
    {
        Stress stress;
        // Text buffers on the evaluation stack too.
        auto text = [](const Cell* v, bool as_mold) {
            Cell* buf = stack_push_cell();
            string_make(buf, 16, 1);
            if (as_mold) actions_mold_call(v, buf, false, false, false, nullptr, kNoPartLimit, 0);
            else actions_form_call(v, buf, nullptr, kNoPartLimit);
            return string_to_utf8(buf);
        };
        Cell* o = object_construct(spec, nullptr, false);
        Cell* deep = stack_push_cell();
        object_duplicate(o, deep, true, nullptr, true);
        Cell* rebuilt = stack_push_cell();
        object_duplicate(proto, rebuilt, true, nullptr, true);
        molded = text(deep, true);
        copied = text(rebuilt, true);
        Cell* e = stack_push_cell();
        Cell arg = word("foo");
        error_create_named(ErrCat::Script, "no-value", &arg, nullptr, nullptr, e);
        report = text(e, false);
    }
    EXPECT_EQ(molded, "make object! [\n    a: 1\n    b: [x [y]]\n    c: 'w\n    d: 'w\n]");
    EXPECT_EQ(copied, "make object! [\n    v: 1\n    s: [1 [2]]\n    t: make object! [\n        u: 3\n    ]\n]");
    EXPECT_EQ(report, "*** Script Error: foo has no value\n*** Where: ???\n*** Near : none");
}

}  // namespace
