// The action rows of every registered datatype: each type fills exactly the
// slots it implements and copies exactly the slots it inherits. Types not
// registered yet are skipped, so each type is checked as soon as it lands.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include "runtime_fixture.h"

using namespace kel;

namespace {

struct ExpectedRow {
    int32_t type;
    int32_t parent;
    const char* own;        // slots the type implements itself
    const char* inherited;  // slots copied from the parent
};

// Every slot not named in a row is empty for that type.
const ExpectedRow kRows[] = {
    {1, 0, "form mold compare",
     ""},
    {2, 0, "make to form mold compare",
     ""},
    {3, 0, "make to form mold compare clear find length? remove select take",
     ""},
    {4, 0, "make random to form mold compare and~ complement or~ xor~",
     ""},
    {5, 42, "make to form mold eval-path compare append change copy find insert put select sort swap take trim",
     "random reflect at back clear head head? index? length? move next pick poke remove reverse skip tail tail? modify"},
    {6, 5, "mold",
     "make random reflect to form eval-path compare append at back change clear copy find head head? index? insert length? move next pick poke put remove reverse select sort skip swap tail tail? take modify"},
    {7, 42, "make to form mold eval-path compare append change find insert select sort swap take trim",
     "random reflect at back clear copy head head? index? length? move next pick poke remove reverse skip tail tail? modify"},
    {8, 9, "mold delete query read rename write",
     "make to form eval-path compare append at back change clear copy find head head? index? insert length? move next pick poke remove reverse select skip swap tail tail? take modify"},
    {9, 7, "make to mold eval-path open read write",
     "form compare append at back change clear copy find head head? index? insert length? move next pick poke remove reverse select skip swap tail tail? take modify"},
    {10, 11, "make to form mold compare add divide multiply remainder subtract and~ or~ xor~",
     "random absolute even? odd?"},
    {11, 0, "make random to form mold compare absolute add divide multiply negate power remainder round subtract even? odd? and~ complement or~ xor~",
     ""},
    {12, 0, "make random to form mold compare absolute add divide multiply negate power remainder round subtract even? odd?",
     ""},
    {13, 0, "compare",
     ""},
    {14, 0, "",
     ""},
    {15, 13, "make to form mold compare index?",
     ""},
    {16, 15, "mold",
     "make to form compare index?"},
    {17, 15, "mold",
     "make to form compare index?"},
    {18, 15, "mold",
     "make to form compare index?"},
    {19, 15, "mold",
     "make to form compare"},
    {20, 15, "make to mold compare",
     "form"},
    {21, 0, "make reflect form mold compare",
     ""},
    {22, 21, "make form mold compare",
     "reflect"},
    {23, 21, "make form mold compare",
     "reflect"},
    {24, 14, "make reflect form mold compare",
     ""},
    {25, 5, "make to form mold copy",
     "reflect eval-path compare append at back change clear find head head? index? insert length? move next pick poke put remove reverse select skip swap tail tail? take modify"},
    {26, 25, "mold",
     "make reflect to form eval-path compare append at back change clear copy find head head? index? insert length? move next pick poke put remove reverse select skip swap tail tail? take modify"},
    {27, 25, "mold",
     "make reflect to form eval-path compare append at back change clear copy find head head? index? insert length? move next pick poke put remove reverse select skip swap tail tail? take modify"},
    {28, 25, "mold",
     "make reflect to form eval-path compare append at back change clear copy find head head? index? insert length? move next pick poke put remove reverse select skip swap tail tail? take modify"},
    {29, 24, "form mold compare",
     "reflect"},
    {30, 0, "make reflect to form mold eval-path compare negate and~ complement or~ xor~ append clear copy find insert length? pick poke remove modify",
     ""},
    {31, 0, "form mold",
     ""},
    {32, 0, "make reflect form mold eval-path compare copy put select modify",
     ""},
    {33, 0, "make to form mold compare and~ complement or~ xor~ find",
     ""},
    {34, 32, "make form mold eval-path compare",
     "reflect copy find select"},
    {35, 7, "make form mold compare add divide multiply remainder subtract and~ or~ xor~ append change insert",
     "random reflect eval-path at back clear copy find head head? index? length? move next pick poke remove reverse select sort skip tail tail? take modify"},
    {36, 5, "make to mold copy sort trim",
     "reflect form eval-path compare append at back change clear find head head? index? insert length? move next pick poke put remove reverse select skip swap tail tail? take modify"},
    {37, 0, "make random to form mold eval-path compare absolute add divide multiply negate remainder round subtract and~ or~ xor~ pick reverse",
     ""},
    {38, 12, "form mold",
     "make random to compare absolute add divide multiply negate power remainder round subtract even? odd?"},
    {39, 0, "make random to form mold eval-path compare add divide multiply remainder subtract and~ complement or~ xor~ length? pick reverse",
     ""},
    {40, 0, "make reflect to form mold eval-path compare clear copy find length? put remove select",
     ""},
    {41, 7, "to form mold compare and~ complement or~ xor~ append change insert trim",
     "make random reflect eval-path at back clear copy find head head? index? length? move next pick poke remove reverse select sort skip swap tail tail? take modify"},
    {42, 0, "random reflect at back clear copy head head? index? length? move next pick poke remove reverse skip tail tail? take modify",
     ""},
    {43, 12, "make to form mold eval-path add divide multiply round subtract even? odd? pick",
     "random compare absolute negate remainder"},
    {44, 7, "form mold",
     "make reflect to eval-path compare append at back change clear copy find head head? index? insert length? move next pick poke put remove reverse select skip swap tail tail? take modify"},
    {45, 7, "mold eval-path",
     "make reflect to form compare append at back change clear copy find head head? index? insert length? move next pick poke put remove reverse select skip swap tail tail? take modify"},
    {46, 11, "form mold compare",
     ""},
    {47, 0, "make random to form mold eval-path compare add subtract pick",
     ""},
    {48, 32, "make form mold append at back change clear copy find head head? index? insert length? move next pick poke put remove reverse select sort skip swap tail tail? take trim create close delete modify open query read rename update write",
     "reflect eval-path compare"},
    {49, 0, "make random to form mold eval-path compare absolute add divide multiply negate remainder round subtract even? odd? pick",
     ""},
    {50, 7, "mold",
     "make reflect to form compare at back change clear copy find head head? index? insert length? move next pick poke remove reverse select skip swap tail tail? take modify"},
    {51, 0, "make random to form mold eval-path compare absolute add divide multiply negate remainder round subtract pick reverse",
     ""},
    {52, 0, "make random to form mold eval-path compare absolute add divide multiply negate remainder round subtract pick reverse",
     ""},
    {53, 42, "make to form mold eval-path compare at change copy length? next pick poke skip tail tail?",
     "back head head? index? modify"},
    {54, 0, "make form mold eval-path compare pick",
     ""},
};
static_assert(sizeof kRows / sizeof kRows[0] == kTypeCount);

std::set<int> slots_named(const char* names) {
    static std::map<std::string, int> by_name = [] {
        std::map<std::string, int> m;
        for (int k = 1; k <= kActionCount; k++) m[action_name(k)] = k;
        return m;
    }();
    std::set<int> out;
    std::istringstream in(names);
    for (std::string name; in >> name;) {
        auto it = by_name.find(name);
        EXPECT_NE(it, by_name.end()) << "unknown action " << name;
        if (it != by_name.end()) out.insert(it->second);
    }
    return out;
}

// A type counts as registered once it has a name record and a row with at
// least one entry: a test may leave an empty placeholder row behind, and the
// one type whose row is empty by design (context!) has nothing to check.
bool registered(int32_t type) {
    if (!g_type_names[type].name) return false;
    for (int k = 1; k <= kActionCount; k++)
        if (action_entry(type, k)) return true;
    return false;
}

TEST(Registry, EveryRegisteredTypeFillsExactlyItsRow) {
    test::runtime_core_init();
    int checked = 0;
    for (const ExpectedRow& row : kRows) {
        if (!registered(row.type)) continue;
        checked++;
        SCOPED_TRACE(datatype_name(row.type));
        EXPECT_EQ(datatype_parent(row.type), row.parent);
        std::set<int> own = slots_named(row.own), inherited = slots_named(row.inherited);
        if (!inherited.empty()) {
            ASSERT_TRUE(registered(row.parent)) << "parent registers first";
        }
        for (int k = 1; k <= kActionCount; k++) {
            AnyAction entry = action_entry(row.type, k);
            if (own.count(k)) {
                EXPECT_NE(entry, nullptr) << action_name(k) << " implemented";
            } else if (inherited.count(k)) {
                EXPECT_EQ(entry, action_entry(row.parent, k)) << action_name(k) << " inherited";
                EXPECT_NE(entry, kInherit);
            } else {
                EXPECT_EQ(entry, nullptr) << action_name(k) << " must stay empty";
            }
        }
    }
    EXPECT_GE(checked, 15);  // the types registered by the core so far
}

TEST(Registry, TypeNamesBecomeGlobalWords) {
    test::runtime_core_init();
    for (int32_t t : {TYPE_DATATYPE, TYPE_LOGIC, TYPE_WORD, TYPE_TYPESET}) {
        uint32_t sym = g_type_names[t].symbol;
        ASSERT_NE(sym, 0u);
        EXPECT_EQ(symbol_name(sym), datatype_name(t));
        EXPECT_GE(context_find_word(g_global_context, sym, false), 0);
    }
    Cell dt = test::datatype_cell(TYPE_TYPESET);
    EXPECT_EQ(test::form(&dt), "typeset");
    EXPECT_EQ(test::mold(&dt), "typeset!");
    EXPECT_EQ(test::mold(&dt, false, true), "#(typeset!)");
}

}  // namespace
