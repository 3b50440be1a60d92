// error!: the catalogue, making errors, the report form, and the values that
// raised errors carry.
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>

#include "runtime/lexer.h"
#include "runtime/platform/console.h"
#include "tests/unit/object_fixture.h"

using namespace kel;
using namespace kel::test;

namespace {

using Errors = ObjectTest;

// "category id" of an error value.
std::string identity(const Cell& e) {
    if (!e.is(TYPE_ERROR)) return "not an error";
    Cell type = *error_field(&e, ERR_TYPE), id = *error_field(&e, ERR_ID);
    return std::string(symbol_name(type.data2)) + " " + std::string(symbol_name(id.data2));
}

int32_t code_of(const Cell& e) { return static_cast<int32_t>(error_field(&e, ERR_CODE)->data2); }

TEST_F(Errors, CodesFollowPositionsInTheCatalogue) {
    struct Case {
        ErrCat cat;
        const char* id;
        int32_t code;
    } cases[] = {
        {ErrCat::Throw, "break", 0},          {ErrCat::Throw, "while-cond", 4},
        {ErrCat::Syntax, "malconstruct", 205}, {ErrCat::Script, "no-value", 300},
        {ErrCat::Script, "expect-arg", 305},   {ErrCat::Script, "cannot-use", 308},
        {ErrCat::Script, "invalid-arg", 309},  {ErrCat::Script, "no-op-arg", 314},
        {ErrCat::Script, "invalid-data", 316}, {ErrCat::Script, "not-related", 320},
        {ErrCat::Script, "bad-func-def", 321}, {ErrCat::Script, "invalid-path", 331},
        {ErrCat::Script, "bad-path-set", 336}, {ErrCat::Script, "out-of-range", 341},
        {ErrCat::Script, "invalid-refine-arg", 345}, {ErrCat::Script, "type-limit", 346},
        {ErrCat::Script, "bad-make-arg", 353}, {ErrCat::Script, "bad-to-arg", 354},
        {ErrCat::Script, "invalid-months", 355}, {ErrCat::Script, "invalid-spec-field", 356},
        {ErrCat::Script, "wrong-denom", 362},  {ErrCat::Script, "draw-invalid", 375},
        {ErrCat::Script, "draw-infinite", 376}, {ErrCat::Script, "not-event-type", 382},
        {ErrCat::Math, "zero-divide", 400},    {ErrCat::Access, "no-port-action", 510},
        {ErrCat::User, "message", 800},        {ErrCat::Internal, "no-memory", 902},
        {ErrCat::Internal, "stack-overflow", 904}, {ErrCat::Internal, "too-deep", 906},
        {ErrCat::Internal, "not-done", 909},   {ErrCat::Internal, "invalid-error", 910},
        {ErrCat::Internal, "kel-system", 912}, {ErrCat::Script, "no-such-id", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(error_catalog_code(c.cat, c.id), c.code);
    }
    // No id appears twice in a category.
    for (int cat = 0; cat < kErrorCategoryCount; cat++) {
        const ErrorCategoryEntry& entry = error_catalog_category(cat);
        std::set<std::string> seen;
        for (uint32_t i = 0; i < entry.count; i++) EXPECT_TRUE(seen.insert(entry.ids[i].id).second) << entry.ids[i].id;
    }
}

TEST_F(Errors, MessagesSplitIntoTextAndArguments) {
    ErrorMessagePiece pieces[8];
    bool has_args = false;
    uint32_t n = error_message_pieces(":arg1 does not allow :arg2 for its :arg3 argument", pieces, 8, &has_args);
    ASSERT_EQ(n, 6u);
    EXPECT_TRUE(has_args);
    EXPECT_EQ(pieces[0].arg, 1);
    EXPECT_EQ(pieces[1].text, "does not allow");
    EXPECT_EQ(pieces[4].arg, 3);
    EXPECT_EQ(pieces[5].text, "argument");
    n = error_message_pieces("stack overflow", pieces, 8, &has_args);
    EXPECT_EQ(n, 1u);
    EXPECT_FALSE(has_args);
    // A token must stand alone to name an argument.
    n = error_message_pieces("see :arg12 and :arg1:", pieces, 8, &has_args);
    EXPECT_EQ(n, 1u);
    EXPECT_FALSE(has_args);
}

TEST_F(Errors, TheCatalogueObjectHoldsTitlesAndTemplates) {
    Cell words = *object_reflect(&g_error_catalog, static_cast<int32_t>(g_sym.words));
    EXPECT_EQ(mold(&words), "[throw note syntax script math access reserved1 reserved2 user internal]");
    Cell script = *context_value_at(g_error_catalog.data1, 3);
    Cell code = *context_value_at(script.data1, 0);
    EXPECT_EQ(code.data2, 300u);
    Cell title = *context_value_at(script.data1, 1);
    EXPECT_EQ(string_to_utf8(&title), "Script Error");
    // A template with arguments is a block of strings and get-words; one
    // without is a string.
    Cell no_value = *context_value_at(script.data1, 2);
    ASSERT_TRUE(no_value.is(TYPE_BLOCK));
    EXPECT_TRUE(block_cell_at(&no_value, 0)->is(TYPE_GET_WORD));
    Cell text = *block_cell_at(&no_value, 1);
    EXPECT_EQ(string_to_utf8(&text), "has no value");
    Cell empty_path = *context_value_at(script.data1, 31);
    EXPECT_EQ(string_to_utf8(&empty_path), "cannot evaluate an empty path value");
}

TEST_F(Errors, MakeFromCodesAndBlocks) {
    struct Case {
        const char* code;
        const char* identity;
    } cases[] = {
        {"make error! 300", "script no-value"},
        {"make error! 305", "script expect-arg"},
        {"make error! 0", "throw break"},
        {"make error! 912", "internal kel-system"},
        {"make error! [math zero-divide]", "math zero-divide"},
        {"make error! \"boom\"", "user message"},
        {"make error! [type: 'access id: 'cannot-open arg1: 5]", "access cannot-open"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(identity(kel_eval(c.code)), c.identity);
    }
    EXPECT_EQ(code_of(kel_eval("make error! [math zero-divide]")), 400);
    EXPECT_EQ(kel_int("e: make error! [type: 'access id: 'cannot-open arg1: 5] e/arg1"), 5);
    EXPECT_EQ(kel_int("e: make error! 305 e/code"), 305);
    Cell user = kel_eval("make error! \"boom\"");
    EXPECT_EQ(string_to_utf8(error_field(&user, ERR_ARG1)), "boom");
}

TEST_F(Errors, MakeRefusesBadSpecs) {
    const char* const cases[][2] = {
        {"make error! -1", "out-of-range"},
        {"make error! 1000", "out-of-range"},
        {"make error! 399", "out-of-range"},
        {"make error! 100", "out-of-range"},  // note has no ids
        {"make error! [script no-such-id]", "invalid-spec-field"},
        {"make error! [no-such-category x]", "invalid-spec-field"},
        {"make error! [script 1]", "invalid-arg"},
        {"make error! [1 2]", "invalid-error"},
        {"make error! [type: 'script id: 'nope]", "invalid-spec-field"},
        {"make error! 1.5", "bad-make-arg"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        EXPECT_EQ(kel_error(c[0]), c[1]);
    }
}

TEST_F(Errors, ReportForm) {
    // Made outside any evaluation: no where, no near.
    Cell* e = stack_push_cell();
    Cell category = word("script"), id = word("no-value"), arg = word("foo");
    error_create(&category, &id, &arg, nullptr, nullptr, e);
    EXPECT_EQ(form(e), "*** Script Error: foo has no value\n*** Where: ???\n*** Near : none");
    Cell cat2 = word("script"), id2 = word("expect-arg"), a1 = word("f"), a2{TYPE_DATATYPE, TYPE_INTEGER, 0, 0},
         a3 = word("x");
    error_create(&cat2, &id2, &a1, &a2, &a3, e);
    EXPECT_EQ(form(e), "*** Script Error: f does not allow integer! for its x argument\n*** Where: ???\n*** Near : none");
    Cell cat3 = word("internal"), id3 = word("stack-overflow");
    error_create(&cat3, &id3, nullptr, nullptr, nullptr, e);
    EXPECT_EQ(form(e).substr(0, 37), "*** Internal Error: stack overflow\n**");
    // An unknown id falls back to internal invalid-error naming it.
    Cell bogus = word("bogus");
    *error_field(e, ERR_ID) = bogus;
    EXPECT_EQ(form(e).find("*** Internal Error: invalid error object field value: bogus\n*** Where: "), 0u);
    // Fields changed by a script never break the report.
    EXPECT_EQ(kel_form("e: make error! 300 e/type: 1 e").find("*** Internal Error: invalid error object field value: 1\n"),
              0u);
    // An error holding itself molds its inner reference as a marker.
    EXPECT_NE(kel_mold("e: make error! 300 e/arg1: e e").find("arg1: make error! [...]\n"), std::string::npos);
}

TEST_F(Errors, RaisedErrorsCarryWhereAndNear) {
    Cell e = kel_eval("f: func [] [undefined-word] try [f]");
    ASSERT_TRUE(e.is(TYPE_ERROR));
    EXPECT_EQ(identity(e), "script no-value");
    EXPECT_EQ(form(&e), "*** Script Error: undefined-word has no value\n*** Where: f\n*** Near : undefined-word");
    e = kel_eval("try [1 + undefined-word]");
    EXPECT_EQ(form(&e), "*** Script Error: undefined-word has no value\n*** Where: +\n*** Near : 1 + undefined-word");
    EXPECT_TRUE(error_field(&e, ERR_STACK)->is(TYPE_INTEGER));
    // Errors raised while no catalogue existed are still complete here.
    try {
        error_raise(ErrCat::Math, "zero-divide");
    } catch (const KelThrow& t) {
        ASSERT_TRUE(t.value.is(TYPE_ERROR));
        EXPECT_EQ(identity(t.value), "math zero-divide");
        EXPECT_EQ(form(&t.value).substr(0, 43), "*** Math Error: attempt to divide by zero\n*");
    }
    // An id the catalogue lacks still gives an error!.
    try {
        error_raise(ErrCat::Script, "no-such-id");
    } catch (const KelThrow& t) {
        EXPECT_EQ(identity(t.value), "internal invalid-error");
    }
}

TEST_F(Errors, MoldShowsTheFields) {
    std::string text = kel_mold("make error! 300");
    EXPECT_EQ(text.find("make error! [\n    code: 300\n    type: 'script\n    id: 'no-value\n    arg1: none\n"), 0u)
        << text;
    EXPECT_EQ(text.back(), ']');
    EXPECT_EQ(kel_mold("e: make error! 300 e = copy e"), "true");
    EXPECT_EQ(kel_mold("e: make error! 300 f: copy e f/code: 301 e = f"), "false");
    EXPECT_EQ(kel_mold("(make error! 300) = make object! [code: 300]"), "false");
}

// The report error_report_uncaught prints for the error the program raises,
// and the status it returns.
std::string uncaught_report(const char* program, int* status) {
    int fds[2];
    if (pipe(fds) != 0) return "no pipe";
    int saved = console_output_fd();
    console_set_output_fd(fds[1]);
    try {
        // Scanned by the lexer, which reads <b> as a tag!.
        interp_run_on_big_stack([program] {
            const std::string text = program;
            Cell block{TYPE_NONE, 0, 0, 0}, out{TYPE_NONE, 0, 0, 0};
            GcRootCell keep(&block);
            lexer_scan_utf8(&block, reinterpret_cast<const uint8_t*>(text.data()),
                            static_cast<uint32_t>(text.size()), false, true, true, false, nullptr, nullptr, nullptr,
                            nullptr);
            interp_do_block(&block, &out);
        });
    } catch (const KelThrow& t) {
        *status = error_report_uncaught(t);
    }
    console_set_output_fd(saved);
    close(fds[1]);
    char text[512] = {};
    ssize_t n = read(fds[0], text, sizeof text - 1);
    close(fds[0]);
    return n > 0 ? std::string(text, static_cast<size_t>(n)) : "";
}

TEST_F(Errors, UncaughtErrorsPrintTheirReport) {
    int status = 0;
    EXPECT_EQ(uncaught_report("g: func [x] [x / 0] g 1", &status),
              "*** Math Error: attempt to divide by zero\n*** Where: /\n*** Near : x / 0\n");
    EXPECT_EQ(status, 254);
    // A tag! has no mold yet: the report still prints, with what stands
    // before that value.
    status = 0;
    EXPECT_EQ(uncaught_report("mold <b>", &status),
              "*** Script Error: mold does not allow tag! for its value argument\n*** Where: mold\n*** Near : ?\n");
    EXPECT_EQ(status, 254);
}

}  // namespace
