#!/bin/sh
# The program run on a script file and on piped input: what it prints and
# the exit status. A failing script ends with status 1 unless --catch keeps
# the loop going, which then reads standard input.
# Usage: script_runs.sh KEL
kel=$1
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
failed=0

# run <name> <expected status> <expected output> <stdin text> <kel args...>
run() {
    name=$1 want_status=$2 want=$3 input=$4
    shift 4
    got=$(printf '%s' "$input" | "$kel" "$@" 2>&1)
    status=$?
    if [ "$status" != "$want_status" ] || [ "$got" != "$want" ]; then
        printf 'FAIL %s: status %s (want %s), output:\n%s\nwanted:\n%s\n' \
            "$name" "$status" "$want_status" "$got" "$want"
        failed=1
    fi
}

printf 'rem\nKel [] print 1 + 2' > "$dir/ok.kel"
printf 'print 1' > "$dir/no-header.kel"
printf 'Kel/System [] print 1' > "$dir/system.kel"
printf 'Kel [] print 1\n12a' > "$dir/syntax.kel"
printf 'Kel [] print 1 x-unset-word' > "$dir/error.kel"

run script 0 "3" "" "$dir/ok.kel"
# A script runs in its own directory: it finds its neighbours by name.
mkdir "$dir/sub"
printf 'Kel [] do %%helper.kel' > "$dir/sub/main.kel"
printf 'Kel [] print "helper"' > "$dir/sub/helper.kel"
run script-directory 0 "helper" "" "$dir/sub/main.kel"
run no-header 1 "*** Error: Kel header not found!" "" "$dir/no-header.kel"
run system-header 1 "*** Error: contains Kel/System code which requires compilation!" "" "$dir/system.kel"
run syntax-error 1 "*** Syntax Error: (line 2) invalid integer at 12a
*** Where: ???
*** Near : none" "" "$dir/syntax.kel"
run script-error 1 "1
*** Script Error: x-unset-word has no value
*** Where: <not-found>
*** Near : x-unset-word" "" "$dir/error.kel"
run missing-file 1 "*** Access Error: cannot open: %$dir/none.kel" "" "$dir/none.kel"
run catch 0 "1
*** Script Error: x-unset-word has no value
*** Where: <not-found>
*** Near : x-unset-word
== 3" "1 + 2" --CATCH "$dir/error.kel"
run options-end 1 "*** Access Error: cannot open: %--catch" "" -- --catch

# Piped input: results after "==", more lines while a block is open, errors
# reported and the loop going on, an input cut off inside a block reported.
run piped 0 '== 3
== [1
2]
*** Script Error: x-unset-word has no value
*** Where: <not-found>
*** Near : x-unset-word
== "a^/b"
*** Syntax Error: (line 2) missing ] at [
*** Where: ???
*** Near : none' '1 + 2
[1
2]
x-unset-word
{a
b}
['

# Piped text that starts with a UTF-8 byte-order mark reads as without it.
run piped-bom 0 '== 3' "$(printf '\357\273\2771 + 2')"

# A closing delimiter that does not match, or an invalid braced string, is
# an error at once: only an input that ends inside an open block, paren or
# braced string waits for more lines.
run piped-errors 0 '*** Syntax Error: (line 1) missing ] at [1 2)
*** Where: ???
*** Near : none
== 2
*** Syntax Error: (line 1) invalid string at {a^(zz)}
*** Where: ???
*** Near : none
== 3
== "a^/b"' '[1 2)
1 + 1
{a^(zz)}
1 + 2
{a
b}'

# A result that cannot be molded (nested too deep) is reported as an error
# in its place, and the loop goes on.
run unmoldable-result 0 '*** Internal Error: block or paren series is too deep to process
*** Where: ???
*** Near : none
== 2' 's: append/dup copy "" "[" 2000 append s "x" append/dup s "]" 2000 transcode s
1 + 1'

# On a terminal, the prompt of an open input is its innermost open delimiter
# and four spaces. script(1) gives the program a terminal; without it, or
# where no terminal can be made (no banner), the case is skipped.
if command -v script >/dev/null 2>&1; then
    got=$( (printf '[1\n(2\n)]\n'; sleep 1) | timeout 20 script -qc "\"$kel\"" /dev/null 2>&1 | tr -d '\r')
    case $got in
    *'--== Kel'*)
        case $got in
        *'>> [    (    == [1'*) ;;
        *) printf 'FAIL open-input prompts, output:\n%s\n' "$got"; failed=1 ;;
        esac ;;
    esac
fi

exit $failed
