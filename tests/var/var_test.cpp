#include "var/var.h"

#include <gtest/gtest.h>

#include <string>

namespace {

var numbers(int32_t n)
{
    var a = var::array();
    for (int32_t i = 1; i <= n; i++)
        a.push(var(i));
    return a;
}

double number_of(const var& v) { return v.type == var::number_type ? v.number : -1; }

}  // namespace

TEST(var, get_resolves_negative_and_out_of_range_indexes)
{
    var a = numbers(3);
    EXPECT_EQ(number_of(a.get(-1)), 3);
    EXPECT_EQ(number_of(a.get(-3)), 1);
    for (int32_t bad : {3, -4, INT32_MIN, INT32_MAX})
        EXPECT_EQ(a.get(bad).type, var::null_type) << bad;

    var s(std::string("ab\xc3\xa9", 4));  // bytes, not characters
    EXPECT_EQ(s.size(), 4);
    EXPECT_EQ(std::string(s.get(0)), "a");
    EXPECT_EQ(std::string(s.get(-1)), "\xa9");
    EXPECT_EQ(s.get(4).type, var::null_type);
    EXPECT_EQ(s.get(INT32_MIN).type, var::null_type);

    var o = var::object();
    o.set("z", var(1));
    o.set("a", var(2));
    o.set("z", var(3));  // replaces the value, keeps the key's place
    EXPECT_EQ(o.size(), 2);
    EXPECT_EQ(number_of(o.get(0)), 3);
    EXPECT_EQ(number_of(o.get(-1)), 2);
    EXPECT_EQ(o.get(-3).type, var::null_type);

    for (const var& v : {var(), var(2.5), var(true)}) {
        EXPECT_EQ(v.size(), 0);
        EXPECT_EQ(v.get(0).type, var::null_type);
    }
}

TEST(var, containers_are_shared_and_push_only_touches_arrays)
{
    int64_t live = var::live_records();
    {
        var outer = var::array();
        outer.push(var::array());
        var inner = outer.get(0);
        EXPECT_EQ(inner.record->refcount, 2u);
        inner.push(var("x"));
        EXPECT_EQ(outer.get(0).size(), 1);

        var s("abc"), n(1.0), nothing;
        int64_t before = var::live_records();
        s.push(var(1));
        n.push(var(1));
        nothing.push(var(1));
        EXPECT_EQ(var::live_records(), before);
        EXPECT_EQ(std::string(s), "abc");
        EXPECT_EQ(nothing.type, var::null_type);
    }
    EXPECT_EQ(var::live_records(), live);
}

TEST(var, every_record_is_released_exactly_once)
{
    int64_t live = var::live_records();
    {
        var a("text");
        var b;
        b.ref(a);
        b.unref();
        b.unref();  // already null: releases nothing more
        EXPECT_EQ(a.record->refcount, 1u);
        EXPECT_EQ(std::string(a), "text");

        // outer array, two inner arrays, three strings
        var outer = var::array();
        outer.push(var::array());
        outer.push(var::array());
        outer.get(0).push(var("a"));
        outer.get(0).push(var("b"));
        outer.get(1).push(var("c"));
        EXPECT_EQ(var::live_records(), live + 7);

        var o = var::object();
        o.set("list", outer);
        o.set("list", var("replaced"));  // the old value is released
        EXPECT_EQ(var::live_records(), live + 9);
        EXPECT_EQ(outer.record->refcount, 1u);

        // Copy assignment of an element of the array it releases: the element
        // must be held before the array goes.
        var holder = var::array();
        holder.push(var("inner"));
        holder = *static_cast<base::arraylist<var*>*>(holder.record->content)->data[0];
        EXPECT_EQ(std::string(holder), "inner");
    }
    EXPECT_EQ(var::live_records(), live);
}

TEST(var, self_holding_array_is_not_reclaimed)
{
    int64_t live = var::live_records();
    var a = var::array();
    a.push(a);
    EXPECT_EQ(a.record->refcount, 2u);
    var::var_data* record = a.record;
    a.unref();
    EXPECT_EQ(record->refcount, 1u);  // reference counting cannot see the cycle
    EXPECT_EQ(var::live_records(), live + 1);

    // Break the cycle by hand so the process ends without a leak.
    auto* list = static_cast<base::arraylist<var*>*>(record->content);
    var* inner = list->data[0];
    list->remove_last();
    delete inner;
    EXPECT_EQ(var::live_records(), live);
}

TEST(var, string_conversion_is_raw_for_strings_only)
{
    std::string raw("say \"hi\"\n\x01", 10);
    EXPECT_EQ(std::string(var(raw)), raw);
    EXPECT_EQ(std::string(var()), "null");
    EXPECT_EQ(std::string(var(true)), "true");
}
