// The dynamic value: null, a number or a boolean held in the var itself, or a
// string, array or object held in a shared, reference-counted record.
//
// Sharing: copying a var of kind string, array or object shares its record;
// a change made through one copy (push, set) is seen through all of them.
// There is no copy-on-write. The last var to let go of a record destroys its
// content (and, recursively, every element whose record drops to zero) and
// then the record.
//
// Reference counting does not reclaim cycles: an array that holds itself,
// directly or through other containers, stays allocated. The JSON writer marks
// such a cycle instead of recursing into it.
//
// Not thread-safe: refcounts are plain counters; a record must stay on the
// thread that made it.
#pragma once

#include <cstdint>
#include <string>

#include "base/arraylist.h"

class var {
public:
    // Kind tags.
    static constexpr int32_t null_type = 0;
    static constexpr int32_t number_type = 1;
    static constexpr int32_t boolean_type = 2;
    static constexpr int32_t string_type = 3;
    static constexpr int32_t array_type = 4;
    static constexpr int32_t object_type = 5;

    // The shared record. It does not know its own kind: the tag of the vars
    // referring to it says how `content` is read and destroyed, so the record's
    // destructor leaves `content` alone and var::unref destroys it first.
    class var_data {
    public:
        uint32_t refcount = 0;  // vars referring to this record
        void* content;          // std::string, base::arraylist<var*> or base::hashmap<var*>

        explicit var_data(void* content);
        virtual ~var_data();
        var_data(const var_data&) = delete;
        var_data& operator=(const var_data&) = delete;
    };

    int32_t type = null_type;
    union {
        double number;        // number_type
        uint8_t boolean;      // boolean_type: 0 false, anything else true
        var_data* record = nullptr;  // string, array, object; null otherwise
    };

    var() = default;
    var(const std::string& text);
    var(const char* text);  // a null pointer gives a null var
    explicit var(double value);
    explicit var(int32_t value);  // a number; keeps var(0) from being ambiguous
    explicit var(bool value);
    // Any other pointer would otherwise quietly become a boolean.
    var(const void*) = delete;

    static var array();   // a new empty array
    static var object();  // a new empty object

    // Copies share the record; destruction releases it.
    var(const var& other);
    var(var&& other) noexcept;
    var& operator=(const var& other);
    var& operator=(var&& other) noexcept;
    ~var() { unref(); }

    // Makes this var refer to the value of `other`, adding one to the shared
    // record's refcount. Does not release what this var held: apply it only
    // to a null var.
    void ref(const var& other);
    // Gives up this var's hold on its value and leaves it null. Safe to repeat.
    void unref();

    // Elements of an array, keys of an object, bytes of a string; 0 otherwise.
    int32_t size() const;
    // A new var for the element at index (negative counts from the end): an
    // array element or object value (shared), or a one-byte string. Null when
    // out of range or not a container or string.
    var get(int32_t index) const;
    // Appends a copy of value (sharing its record) to an array; does nothing
    // on any other kind.
    void push(const var& value);
    // Stores a copy of value under key in an object, releasing any value the
    // key held; does nothing on any other kind.
    void set(const std::string& key, const var& value);

    // A string's raw text; the indented JSON of any other value.
    operator std::string() const;
    // JSON text of this value. `visited` holds the records of the non-empty
    // arrays and objects being written around it (its size is the nesting
    // depth); a record met again there is written as ERROR_CYCLE.
    std::string to_json_helper(base::arraylist<var_data*>& visited, bool indent) const;
    // Cuts this value's text (as operator std::string gives it) at every byte
    // found in `separators`; an array of string vars, one per piece.
    var split(const std::string& separators) const;

    // Records alive in the process; lets tests check that releases balance.
    static int64_t live_records();

private:
    // Takes over other's value and leaves other null, without touching counts.
    void take(var& other);
    // Copies other's kind and value (the record pointer, not a hold on it).
    void copy_value(const var& other);
};
