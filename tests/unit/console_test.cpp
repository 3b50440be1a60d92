// The console's fitting of a result to one line of the terminal.
#include <string>

#include "console/script.h"
#include "tests/unit/string_support.h"

using namespace kel;
using namespace kel::strtest;

namespace {

TEST_F(StringTest, ConsoleFitsResultsToColumnsNotBytes) {
    std::string ascii(12, 'x'), wide, accents;
    for (int i = 0; i < 6; i++) wide += "中";
    for (int i = 0; i < 12; i++) accents += "é";
    struct Case { std::string in, out; } cases[] = {
        {"0123456789", "0123456789"},      // fits exactly
        {ascii, "xxxxxxx..."},                // cut to 7 columns and the dots
        {accents, "ééééééé..."},           // two bytes a character, one column
        {wide, "中中中..."},               // a wide character is not split
        {"中中中中中", "中中中中中"},      // ten columns fit
        {"a中中中中中", "a中中中..."},     // the fourth would reach column 9
    };
    for (const Case& c : cases) {
        Cell s = S(c.in.c_str());
        console_fit_to_columns(&s, 10);
        EXPECT_EQ(text(s), c.out) << c.in;
    }
}

}  // namespace
