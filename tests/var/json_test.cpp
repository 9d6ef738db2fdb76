#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "var/var.h"

namespace {

std::string json(const var& v, bool indent)
{
    base::arraylist<var::var_data*> visited;
    std::string text = v.to_json_helper(visited, indent);
    EXPECT_EQ(visited.size, 0u);
    return text;
}

var list_of(std::initializer_list<var> items)
{
    var a = var::array();
    for (const var& item : items)
        a.push(item);
    return a;
}

std::string pieces(const var& parts)
{
    std::string out;
    for (int32_t i = 0; i < parts.size(); i++)
        out += "<" + std::string(parts.get(i)) + ">";
    return out;
}

}  // namespace

TEST(var_json, nested_values_in_both_forms)
{
    var sub = var::object();
    sub.set("k", var(true));
    var o = var::object();
    o.set("name", var("x"));
    o.set("list", list_of({var(1), var(2)}));
    o.set("pos", list_of({list_of({var(1), var(2)}), list_of({var(3), var(4)})}));
    o.set("sub", sub);
    EXPECT_EQ(std::string(o),
              "{\n  \"name\" : \"x\",\n  \"list\" : [ 1, 2 ],\n  \"pos\" : [\n    [ 1, 2 ],\n"
              "    [ 3, 4 ]\n  ],\n  \"sub\" : \n  {\n    \"k\" : true\n  }\n}");
    EXPECT_EQ(json(o, false), "{\"name\":\"x\",\"list\":[ 1,2 ],\"pos\":[ [ 1,2 ],[ 3,4 ] ],\"sub\":{\"k\":true}}");

    var escaped = var::object();
    escaped.set("a\"b", var("\n"));
    EXPECT_EQ(std::string(list_of({escaped})), "[ \n  {\n    \"a\\\"b\" : \"\\n\"\n  } ]");
}

TEST(var_json, arrays)
{
    for (bool indent : {true, false}) {
        EXPECT_EQ(json(var::array(), indent), "[]");
        EXPECT_EQ(json(var::object(), indent), "{}");
    }
    var flat = list_of({var(1), var(), var(false)});
    EXPECT_EQ(json(flat, true), "[ 1, null, false ]");
    EXPECT_EQ(json(flat, false), "[ 1,null,false ]");

    var nested = list_of({list_of({var(1)}), var::array()});
    EXPECT_EQ(json(nested, true), "[\n  [ 1 ],\n  []\n]");
    EXPECT_EQ(json(nested, false), "[ [ 1 ],[] ]");
    EXPECT_EQ(json(list_of({list_of({var(1)}), var("a")}), true), "[ [ 1 ], \"a\" ]");
}

TEST(var_json, cycles_are_marked_but_repeats_are_not)
{
    var self = var::array();
    self.push(self);
    EXPECT_EQ(json(self, true), "[\n  ERROR_CYCLE\n]");
    EXPECT_EQ(json(self, false), "[ ERROR_CYCLE ]");
    var o = var::object();
    o.set("me", o);
    EXPECT_EQ(json(o, false), "{\"me\":ERROR_CYCLE}");

    var twice = list_of({var(7)});
    EXPECT_EQ(json(list_of({twice, twice}), true), "[\n  [ 7 ],\n  [ 7 ]\n]");

    // Break both cycles by hand so nothing is left behind.
    static_cast<base::arraylist<var*>*>(self.record->content)->data[0]->unref();
    o.set("me", var());
}

TEST(var_json, numbers)
{
    auto text = [](double d) { return json(var(d), true); };
    EXPECT_EQ(text(std::numeric_limits<double>::quiet_NaN()), "\"NaN\"");
    EXPECT_EQ(text(-std::numeric_limits<double>::infinity()), "\"-Inf\"");
    EXPECT_EQ(text(std::numeric_limits<double>::infinity()), "\"Inf\"");
    EXPECT_EQ(text(-0.0), "-0");
    EXPECT_EQ(text(2.5), "2.5");
    EXPECT_EQ(text(1e20), "100000000000000000000");
    EXPECT_EQ(text(0.00001), "1e-05");
}

TEST(var_split, pieces_at_every_separator)
{
    EXPECT_EQ(pieces(var("a..b.").split(".")), "<a><><b><>");
    EXPECT_EQ(pieces(var(".a").split(".")), "<><a>");
    EXPECT_EQ(pieces(var("").split(".")), "<>");
    EXPECT_EQ(pieces(var("a.b").split("")), "<a.b>");
    EXPECT_EQ(pieces(var("x-y.z").split("-.")), "<x><y><z>");
    EXPECT_EQ(pieces(var(std::string("ab\0c.d", 6)).split(".")), "<ab><d>");
    EXPECT_EQ(pieces(list_of({var(1), var(2)}).split(",")), "<[ 1>< 2 ]>");

    var parts = var("a.b.c").split(".");  // storage reserved for the exact count
    EXPECT_EQ(static_cast<base::arraylist<var*>*>(parts.record->content)->capacity, 3u);
}
