// PARSE keywords and modifiers: what each keyword does when the engine
// reaches it (runtime/parse_engine.cpp runs the loop), and what each
// modifier does once the rule it governs has finished.
//
// A keyword handler leaves `pos` after everything it consumed and returns
// the next state: S_AFTER when it has matched or failed on its own, or the
// state that runs the rule it governs under a new modifier entry. As in the
// engine, entries are read by index after anything that may run Kel code.
#include <algorithm>

#include "runtime/actions.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/word.h"
#include "runtime/error.h"
#include "runtime/parse_internal.h"

namespace kel::parse {

// ---- keywords ---------------------------------------------------------------------------

State Run::keyword() {
    Cell kw_word = item;
    uint8_t kw = keyword_of(&kw_word);
    uint32_t tail = rules_tail();
    uint32_t p = pos + 1;
    auto need_rule = [&] {
        if (p >= tail) raise_end(&kw_word);
    };
    switch (kw) {
    case KW_BAR:
        pos = tail;
        match = true;
        return S_AFTER;
    case KW_SKIP:
        pos = p;
        match = !at_end();
        if (match) input.data1++;
        return S_AFTER;
    case KW_END:
        pos = p;
        match = at_end();
        return S_AFTER;
    case KW_NONE:
        pos = p;
        match = true;
        return S_AFTER;
    case KW_FAIL:
        pos = p;
        match = false;
        return S_AFTER;
    case KW_BREAK:
        pos = p;
        return stop_repetition(true);
    case KW_REJECT:
        pos = p;
        return stop_repetition(false);
    case KW_ANY: need_rule(); pos = p; return start_repeat(0, -1, K_REPEAT);
    case KW_SOME: need_rule(); pos = p; return start_repeat(1, -1, K_REPEAT);
    case KW_OPT: need_rule(); pos = p; return start_repeat(0, 1, K_REPEAT);
    case KW_WHILE: need_rule(); pos = p; return start_repeat(0, -1, K_WHILE);
    case KW_NOT: need_rule(); return modifier(K_NOT, p, nullptr, 0);
    case KW_AHEAD: need_rule(); return modifier(K_AHEAD, p, nullptr, 0);
    case KW_TO: case KW_THRU: need_rule(); return kw_to(kw == KW_THRU);
    case KW_COPY: case KW_SET: {
        if (p >= tail || !rule_at(p)->is(TYPE_WORD)) raise_end(&kw_word);
        Cell word = *rule_at(p);
        p++;
        need_rule();
        return modifier(kw == KW_COPY ? K_COPY : K_SET, p, &word, 0);
    }
    case KW_IF: {
        if (p >= tail || !rule_at(p)->is(TYPE_PAREN)) raise_end(&kw_word);
        Cell paren = *rule_at(p);
        if (!eval_paren(&paren, &value)) return halt;
        match = value_truthy(&value);
        pos = p + 1;
        return S_AFTER;
    }
    case KW_QUOTE: {
        need_rule();
        value = *rule_at(p);
        int32_t advance = match_literal(&value);
        match = advance >= 0;
        if (match) input.data1 += static_cast<uint32_t>(advance);
        pos = p;  // the callback sees the quoted literal
        if (trace && !emit(EV_MATCH)) return halt;
        pos = p + 1;
        return S_AFTER;
    }
    case KW_CASE: {
        if (p >= tail || !rule_at(p)->is(TYPE_WORD)) raise_end(&kw_word);
        Cell word = *rule_at(p);
        const Cell* v = word_get_any(&word);
        if (v->is(TYPE_UNSET)) error_raise(ErrCat::Script, "no-value", &word);
        int32_t wanted = value_truthy(v) ? COMP_STRICT_EQUAL : COMP_EQUAL;
        p++;
        need_rule();
        uint32_t saved = static_cast<uint32_t>(mode) << F_CASE_SHIFT;
        mode = wanted;
        return modifier(K_CASE, p, nullptr, saved);
    }
    case KW_INTO: need_rule(); return kw_into();
    case KW_COLLECT: need_rule(); return kw_collect();
    case KW_KEEP: return kw_keep();
    case KW_INSERT: need_rule(); return kw_insert();
    case KW_CHANGE: need_rule(); return kw_change();
    case KW_REMOVE: need_rule(); return kw_remove();
    default: fatal_runtime_error(101);
    }
}

State Run::kw_to(bool thru) {
    uint32_t p = pos + 1;
    Cell* c = rule_at(p);
    if (c->is(TYPE_WORD) && keyword_of(c) == KW_END) {
        input.data1 = std::max(head(), in_end());
        pos = p + 1;
        match = true;
        return S_AFTER;
    }
    if (uint32_t span = peek_literal(p)) {
        search_literal(&value, thru);
        pos = p + span;
        return S_AFTER;
    }
    return modifier(thru ? K_THRU : K_TO, p, nullptr, 0);
}

State Run::kw_into() {
    Cell kw_word = item;
    if (!in_block()) error_raise(ErrCat::Script, "parse-block", &input);
    uint32_t p = pos + 1;
    Cell rule = *rule_at(p);
    if (rule.is(TYPE_WORD) && !is_keyword(&rule)) rule = *word_get_any(&rule);
    if (!rule.is(TYPE_BLOCK)) raise_end(&kw_word);
    match = false;
    if (!at_end()) {
        const Cell* el = arena_at<Cell>(node_buffer(input.data2)->head) + head();
        uint32_t t = el->type();
        match = type_series(t) && t != TYPE_VECTOR && t != TYPE_IMAGE;
    }
    if (!match) {
        pos = p + 1;
        return S_AFTER;
    }
    Cell el = arena_at<Cell>(node_buffer(input.data2)->head)[head()];
    if (el.is(TYPE_BINARY)) error_raise(ErrCat::Internal, "not-done");
    // A series that a `collect into`/`after` fills cannot become the input:
    // each kept value would shift the positions being parsed.
    for (uint32_t i = base; i < g_rule_stack.size(); i++) {
        const Entry& c = g_rule_stack[i];
        uint32_t how = c.flags & F_COLLECT_MASK;
        if (c.kind == K_COLLECT && (how == F_COLLECT_INTO || how == F_COLLECT_AFTER) && c.aux.data2 == el.data2)
            error_raise(ErrCat::Script, "parse-into-bad");
    }
    need_room(true);
    push_entry(K_INTO, p);
    g_input_stack.push_back(InputEntry{input, limit, has_limit});
    input = el;
    cell_clear_newline(&input);
    has_limit = false;
    clamp_input();
    item = rule;
    pos = p;
    if (!emit(EV_PUSH)) return halt;
    return S_PUSH_BLOCK;
}

State Run::kw_collect() {
    Cell kw_word = item;
    uint32_t p = pos + 1;
    uint32_t tail = rules_tail();
    uint32_t flags = F_COLLECT_PLAIN;
    Cell word = none_cell();
    GcRootCell keep_word(&word);  // making the collect's block may collect
    Cell* c = rule_at(p);
    if (c->is(TYPE_WORD)) {
        uint8_t kw = keyword_of(c);
        if (kw == KW_SET || kw == KW_INTO || kw == KW_AFTER) {
            if (p + 1 >= tail || !rule_at(p + 1)->is(TYPE_WORD)) raise_end(&kw_word);
            flags = kw == KW_SET ? F_COLLECT_SET : kw == KW_INTO ? F_COLLECT_INTO : F_COLLECT_AFTER;
            word = *rule_at(p + 1);
            p += 2;
            if (p >= tail) raise_end(&kw_word);
        }
    }
    if (flags == F_COLLECT_INTO || flags == F_COLLECT_AFTER) collect_target(&word, &temp);
    else block_make_at(&temp, 8);
    push_entry(K_COLLECT, p);
    Entry& e = g_rule_stack.back();
    e.word = word;
    e.aux = temp;
    e.flags = flags;
    pos = p;
    if (!emit(EV_PUSH)) return halt;
    if (!load_item(pos)) return S_APPLY;
    return S_DISPATCH;
}

State Run::kw_keep() {
    Cell kw_word = item;
    GcRootCell keep_kw(&kw_word);  // named by an error after the paren ran
    if (innermost_collect(static_cast<uint32_t>(g_rule_stack.size())) < 0) raise_keep();
    uint32_t p = pos + 1;
    uint32_t tail = rules_tail();
    uint32_t flags = 0;
    if (p < tail && rule_at(p)->is(TYPE_WORD) && keyword_of(rule_at(p)) == KW_PICK) {
        flags = F_PICK;
        p++;
    }
    if (p >= tail) raise_end(&kw_word);
    if (rule_at(p)->is(TYPE_PAREN)) {
        Cell paren = *rule_at(p);
        if (!eval_paren(&paren, &value)) return halt;
        int32_t into = innermost_collect(static_cast<uint32_t>(g_rule_stack.size()));
        if (into < 0) error_raise(ErrCat::Script, "parse-keep", &kw_word);
        collect_add(static_cast<uint32_t>(into), &value, (flags & F_PICK) && type_block_family(value.type()));
        pos = p + 1;
        match = true;
        return S_AFTER;
    }
    return modifier(K_KEEP, p, nullptr, flags);
}

// Whether rule i is a word holding a position in the current input; the
// position goes to `temp`.
static bool position_word(Run& r, uint32_t i) {
    if (i >= r.rules_tail()) return false;
    Cell c = *r.rule_at(i);
    if (!c.is(TYPE_WORD) || is_keyword(&c)) return false;
    const Cell* v = word_get_any(&c);
    if (v->type() != r.input.type() || v->data2 != r.input.data2) return false;
    r.temp = *v;
    return true;
}

State Run::kw_insert() {
    Cell kw_word = item;
    uint32_t p = pos + 1;
    uint32_t tail = rules_tail();
    bool only = false;
    if (rule_at(p)->is(TYPE_WORD) && keyword_of(rule_at(p)) == KW_ONLY) {
        only = true;
        if (++p >= tail) raise_end(&kw_word);
    }
    uint32_t at = head();
    if (position_word(*this, p)) {
        at = std::min(temp.data1, in_total());
        if (++p >= tail) raise_rule(&kw_word);
    }
    if (!read_value(p, &value)) return halt;
    at = std::min(at, in_total());  // a paren giving the value may have shortened the input
    uint32_t n = insert_at(at, &value, only);
    if (head() >= at) input.data1 += n;
    pos = p + 1;
    match = true;
    return S_AFTER;
}

State Run::kw_change() {
    Cell kw_word = item;
    uint32_t p = pos + 1;
    uint32_t tail = rules_tail();
    uint32_t flags = 0;
    if (rule_at(p)->is(TYPE_WORD) && keyword_of(rule_at(p)) == KW_ONLY) {
        flags = F_ONLY;
        if (++p >= tail) raise_end(&kw_word);
    }
    if (position_word(*this, p)) {
        if (p + 1 >= tail) raise_rule(&kw_word);
        uint32_t at = std::min(temp.data1, in_total());
        if (!read_value(p + 1, &value)) return halt;
        uint32_t from = std::min(at, head()), to = std::max(at, head());
        input.data1 = change_part(from, to, &value, flags & F_ONLY);
        pos = p + 2;
        match = true;
        return S_AFTER;
    }
    return modifier(K_CHANGE, p, &kw_word, flags);
}

State Run::kw_remove() {
    uint32_t p = pos + 1;
    Cell* c = rule_at(p);
    if (c->is(TYPE_PATH) || c->is(TYPE_SET_PATH) || c->is(TYPE_GET_PATH)) raise_rule(c);
    if (position_word(*this, p)) {
        uint32_t at = std::min(temp.data1, in_total());
        uint32_t from = std::min(at, head()), to = std::max(at, head());
        remove_part(from, to);
        input.data1 = from;
        pos = p + 1;
        match = true;
        return S_AFTER;
    }
    return modifier(K_REMOVE, p, nullptr, 0);
}

// break (is_break) and reject: end the innermost repetition of this run.
State Run::stop_repetition(bool is_break) {
    int32_t rep = -1;
    for (uint32_t i = static_cast<uint32_t>(g_rule_stack.size()); i-- > base;) {
        int32_t k = g_rule_stack[i].kind;
        if (k == K_REPEAT || k == K_WHILE) {
            rep = static_cast<int32_t>(i);
            break;
        }
    }
    if (rep < 0) {
        if (!is_break) {
            match = false;
            return S_AFTER;
        }
        // The block ends here: modifiers of this block still waiting for
        // their rule (`not break`, `change break "x"`) are left unfinished.
        match = true;
        while (g_rule_stack.back().kind != K_BLOCK) {
            const Entry& e = g_rule_stack.back();
            if (e.kind == K_COLLECT) {
                collect_done();
                continue;
            }
            if (e.kind == K_CASE) mode = static_cast<int32_t>(e.flags >> F_CASE_SHIFT);
            g_rule_stack.pop_back();
        }
        pos = rules_tail();
        return S_AFTER;
    }
    // Drop what runs above the repetition: the lowest dropped block entry
    // knows where the repetition's own block goes on; `into` gives its
    // input back; collects deliver what they gathered; an abandoned `change`
    // leaves its value behind it, which is not a rule.
    while (g_rule_stack.size() > static_cast<size_t>(rep) + 1) {
        Entry e = g_rule_stack.back();
        switch (e.kind) {
        case K_CHANGE:
            pos = std::min(pos + 1, rules_tail());
            g_rule_stack.pop_back();
            break;
        case K_BLOCK:
            rules = e.word;
            pos = e.rule_pos;
            g_rule_stack.pop_back();
            break;
        case K_INTO: {
            InputEntry outer = g_input_stack.back();
            g_input_stack.pop_back();
            input = outer.input;
            limit = outer.limit;
            has_limit = outer.has_limit;
            input.data1 = e.start;
            clamp_input();
            g_rule_stack.pop_back();
            break;
        }
        case K_CASE:
            mode = static_cast<int32_t>(e.flags >> F_CASE_SHIFT);
            g_rule_stack.pop_back();
            break;
        case K_COLLECT:
            collect_done();
            break;
        default: g_rule_stack.pop_back(); break;
        }
    }
    Entry& r = g_rule_stack.back();
    if (is_break) {
        match = r.count + 1 >= r.min;
    } else {
        input.data1 = r.round;
        match = r.count >= r.min;
    }
    if (!match) input.data1 = r.start;
    clamp_input();
    g_rule_stack.pop_back();
    return S_AFTER;
}

// ---- modifiers ----------------------------------------------------------------------------

State Run::apply() {
    uint32_t top = static_cast<uint32_t>(g_rule_stack.size()) - 1;
    Entry e = g_rule_stack[top];
    switch (e.kind) {
    case K_REPEAT: case K_WHILE: return repeat_apply();
    case K_TO: case K_THRU:
        if (match) {
            if (e.kind == K_TO) {
                input.data1 = e.round;
                clamp_input();  // the rule's parens may have shortened the input
            }
            g_rule_stack.pop_back();
            return S_AFTER;
        }
        if (e.round + 1 > in_end()) {
            input.data1 = e.start;
            clamp_input();
            g_rule_stack.pop_back();
            return S_AFTER;
        }
        g_rule_stack[top].round = e.round + 1;
        input.data1 = e.round + 1;
        pos = e.rule_pos;
        match = true;
        if (!emit(EV_ITERATE)) return halt;
        return S_NEXT;  // fetches the rule again (trace event `fetch`)
    case K_COPY: case K_SET:
        g_rule_stack.pop_back();
        if (match) {
            temp2 = e.word;
            if (e.kind == K_COPY) copy_part(e.start, head(), &temp);
            else first_element(e.start, head(), &temp);
            word_set(&temp2, &temp);
        }
        return S_AFTER;
    case K_NOT:
        g_rule_stack.pop_back();
        match = !match;
        input.data1 = e.start;
        clamp_input();
        return S_AFTER;
    case K_AHEAD:
        g_rule_stack.pop_back();
        input.data1 = e.start;
        clamp_input();
        return S_AFTER;
    case K_INTO: {
        bool ok = match && at_end();
        InputEntry outer = g_input_stack.back();
        g_input_stack.pop_back();
        input = outer.input;
        limit = outer.limit;
        has_limit = outer.has_limit;
        input.data1 = e.start + (ok ? 1 : 0);
        clamp_input();
        g_rule_stack.pop_back();
        match = ok;
        return S_AFTER;
    }
    case K_REMOVE:
        g_rule_stack.pop_back();
        if (match) {
            remove_part(e.start, head());
            input.data1 = e.start;
            clamp_input();
        }
        return S_AFTER;
    case K_KEEP:
        g_rule_stack.pop_back();
        if (match) keep_part(e.start, head(), e.flags & F_PICK);
        return S_AFTER;
    case K_COLLECT: return collect_done();
    case K_CASE:
        g_rule_stack.pop_back();
        mode = static_cast<int32_t>(e.flags >> F_CASE_SHIFT);
        return S_AFTER;
    case K_CHANGE: {
        g_rule_stack.pop_back();
        if (pos >= rules_tail()) raise_rule(&e.word);
        uint32_t value_pos = pos++;
        if (!match) return S_AFTER;
        if (!read_value(value_pos, &value)) return halt;
        input.data1 = change_part(e.start, std::max(e.start, head()), &value, e.flags & F_ONLY);
        return S_AFTER;
    }
    default: fatal_runtime_error(101);
    }
}

// A round of a repetition finished. A round that matched without moving
// the input and without changing its length would match the same way again:
// the repetition stops there and counts as satisfied, so `any`/`some` never
// spin and `n rule` with a rule that matches nothing is not refused. A round
// that removed part of the input at the head (`some [remove "x" | skip]`)
// made progress: the input shrinks, so such rounds end. `while` goes on as
// long as its rule matches and a round may have changed something: a round
// that neither moved nor resized the input nor ran a paren leaves the run
// exactly as it found it, so every later round would match the same way and
// the loop could never end.
State Run::repeat_apply() {
    uint32_t top = static_cast<uint32_t>(g_rule_stack.size()) - 1;
    Entry& e = g_rule_stack[top];
    bool ok;
    if (match) {
        e.count++;
        uint32_t total = in_total();
        bool progressed = head() != e.round || total != e.round_len;
        bool more = e.max < 0 || e.count < e.max;
        bool ran_code = parens != e.round_parens;
        if (more && (progressed || (e.kind == K_WHILE && ran_code))) {
            e.round = head();
            e.round_len = total;
            e.round_parens = parens;
            pos = e.rule_pos;
            if (!emit(EV_ITERATE)) return halt;
            return S_NEXT;  // fetches the rule again (trace event `fetch`)
        }
        ok = e.count >= e.min || !progressed;
    } else {
        input.data1 = e.round;
        ok = e.count >= e.min;
    }
    if (!ok) input.data1 = e.start;
    clamp_input();
    g_rule_stack.pop_back();
    match = ok;
    return S_AFTER;
}

// The collect on top ends: its block goes to the enclosing collect (when
// its rule matched), to the run's result (top level: when it matched, or
// when no collect has given a result yet), or to its word.
State Run::collect_done() {
    uint32_t top = static_cast<uint32_t>(g_rule_stack.size()) - 1;
    Entry e = g_rule_stack[top];
    g_rule_stack.pop_back();
    temp = e.aux;
    temp2 = e.word;
    switch (e.flags & F_COLLECT_MASK) {
    case F_COLLECT_PLAIN: {
        int32_t outer = innermost_collect(top);
        if (outer >= 0) {
            if (match) collect_add(static_cast<uint32_t>(outer), &temp, false);
        } else if (match || !has_result) {
            result = temp;
            has_result = true;
        }
        break;
    }
    case F_COLLECT_SET: word_set(&temp2, &temp); break;
    case F_COLLECT_AFTER: word_set(&temp2, &temp); break;
    default: break;
    }
    return S_AFTER;
}

}  // namespace kel::parse
