#include "var/var.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>

using namespace std::string_literals;

namespace {

std::string json(const var& v, bool indent = false)
{
    base::arraylist<var::var_data*> visited;
    std::string text = v.to_json_helper(visited, indent);
    EXPECT_EQ(visited.size, 0u);  // the writer leaves no record behind
    return text;
}

var list_of(std::initializer_list<var> items)
{
    var a = var::array();
    for (const var& item : items)
        a.push(item);
    return a;
}

}  // namespace

// Copies share a container's record; push() touches arrays only; every
// record is released exactly once: after a repeated unref, with nested
// arrays, for a replaced object value, and when a var is assigned an element
// of the array it releases (the element must be held first).
TEST(var, records_are_shared_and_released_exactly_once)
{
    int64_t live = var::live_records();
    {
        var outer = list_of({var::array(), var::array()});  // two inner arrays, three strings
        var inner = outer.get(0);
        inner.push(var("a"));
        inner.push(var("b"));
        outer.get(1).push(var("c"));
        EXPECT_EQ(outer.get(0).size(), 2);
        EXPECT_EQ(var::live_records(), live + 6);

        var s("abc"), n(1.0), nothing;
        for (var* v : {&s, &n, &nothing})
            v->push(var(1));
        EXPECT_EQ(var::live_records(), live + 7);
        EXPECT_EQ(std::string(s), "abc");
        EXPECT_EQ(nothing.type, var::null_type);

        var b;
        b.ref(s);
        b.unref();
        b.unref();
        EXPECT_EQ(s.record->refcount, 1u);

        var o = var::object();
        o.set("list", outer);
        o.set("list", var("replaced"));
        EXPECT_EQ(var::live_records(), live + 9);
        EXPECT_EQ(outer.record->refcount, 1u);

        var holder = list_of({var("inner")});
        holder = *static_cast<base::arraylist<var*>*>(holder.record->content)->data[0];
        EXPECT_EQ(std::string(holder), "inner");
    }
    EXPECT_EQ(var::live_records(), live);
}

// The two layouts of one nested value (twelve lines when indented), with
// keys and strings escaped.
TEST(var_json, nested_values_in_both_forms)
{
    var sub = var::object(), o = var::object(), escaped = var::object();
    sub.set("k", var(true));
    o.set("name", var("x"));
    o.set("list", list_of({var(1), var(2)}));
    o.set("pos", list_of({list_of({var(1), var(2)}), list_of({var(3), var(4)})}));
    o.set("sub", sub);
    EXPECT_EQ(std::string(o),
              "{\n  \"name\" : \"x\",\n  \"list\" : [ 1, 2 ],\n  \"pos\" : [\n    [ 1, 2 ],\n"
              "    [ 3, 4 ]\n  ],\n  \"sub\" : \n  {\n    \"k\" : true\n  }\n}");
    EXPECT_EQ(json(o), "{\"name\":\"x\",\"list\":[ 1,2 ],\"pos\":[ [ 1,2 ],[ 3,4 ] ],\"sub\":{\"k\":true}}");
    escaped.set("a\"b", var("\n"));
    EXPECT_EQ(std::string(list_of({escaped})), "[ \n  {\n    \"a\\\"b\" : \"\\n\"\n  } ]");
}

// JSON marks a cycle, through an array or an object, instead of recursing;
// a value met twice is no cycle.
TEST(var_json, cycles_are_marked)
{
    var o = var::object(), a = list_of({o}), twice = list_of({var(7)});
    o.set("a", a);
    EXPECT_EQ(json(a), "[ {\"a\":ERROR_CYCLE} ]");
    EXPECT_EQ(json(o, true), "{\n  \"a\" : [ ERROR_CYCLE ]\n}");
    EXPECT_EQ(json(list_of({twice, twice}), true), "[\n  [ 7 ],\n  [ 7 ]\n]");
    o.set("a", var());  // reference counting cannot reclaim a cycle: broken by hand
}

// Pieces at every separator byte, empty ones included; a zero byte in the
// text ends its piece; a non-string is cut in its JSON text.
TEST(var_split, pieces_at_every_separator)
{
    const std::tuple<var, const char*, const char*> cases[] = {
        {var("a..b."), ".", R"([ "a","","b","" ])"}, {var(".a"), ".", R"([ "","a" ])"}, {var(""), ".", R"([ "" ])"},
        {var("a.b"), "", R"([ "a.b" ])"}, {var("x-y.z"), "-.", R"([ "x","y","z" ])"},
        {var(std::string("ab\0c.d", 6)), ".", R"([ "ab","d" ])"}, {list_of({var(1), var(2)}), ",", R"([ "[ 1"," 2 ]" ])"},
    };
    for (auto& [text, separators, pieces] : cases)
        EXPECT_EQ(json(text.split(separators)), pieces);
}

// get() on every kind: negative indexes count from the end; past either end,
// at the extremes of int32_t, or on a kind without elements, null.
TEST(var, get_by_index_on_every_kind)
{
    var o = var::object();
    o.set("a", var(1));
    o.set("b", var("two"));
    o.set("c", var(false));
    const char* none = "null null null null null";
    const std::pair<var, const char*> cases[] = {
        {var(), none}, {var(2.5), none}, {var(true), none}, {var(""), none}, {var::array(), none},
        {var::object(), none}, {var("xyz"), "\"x\" \"y\" \"z\" \"z\" \"x\""},
        {list_of({var(1), var("two"), var::array()}), "1 \"two\" [] [] 1"}, {o, "1 \"two\" false false 1"},
    };
    for (auto& [value, want] : cases) {
        std::string got;
        for (int32_t i : {0, 1, 2, -1, -3, 3, -4, INT32_MIN, INT32_MAX}) {
            if (!got.empty())
                got += ' ';
            got += json(value.get(i));
        }
        EXPECT_EQ(got, want + " null null null null"s) << json(value);
    }
}

// Numbers JSON cannot spell are written as strings; every other one as
// base::num writes it (tested there), -0 included.
TEST(var_json, numbers_json_cannot_spell_become_strings)
{
    for (auto [n, want] : {std::pair{NAN, "\"NaN\""}, {-NAN, "\"NaN\""}, {INFINITY, "\"Inf\""}, {-INFINITY, "\"-Inf\""}})
        EXPECT_EQ(json(var(n)), want);
    EXPECT_EQ(json(list_of({var(NAN), var(-0.0), var(2.5)})), "[ \"NaN\",-0,2.5 ]");
}
