// Singly linked list with a sentinel node and one built-in iteration cursor
// that tolerates removal of the current element.
//
// Ownership: the list owns its nodes, never the values in them (the program
// stores raw pointers whose objects someone else deletes).
//
// The cursor designates the node *before* the current element, so removing the
// current element needs no search, and appending at the tail during a walk is
// harmless (the new element is reached later in the same walk). The walk:
//
//     for (list.rewind(); list.has_current(); list.advance()) {
//         T v = list.current();
//         if (done_with(v)) { list.remove(); dispose(v); }
//     }
//
// After remove() the cursor is null and `resume` remembers where to go on, so
// the element that followed the removed one becomes current on advance(). pop()
// may run in the middle of a walk: it moves the cursor, and a pending resume
// point, back to the sentinel when it takes their node away, so the walk stays
// on live nodes.
#pragma once

#include <cstdint>

namespace base {

template <typename T>
class linkedlist {
public:
    struct node {
        T value;
        node* next;
    };

    node* head;    // sentinel, never an element
    node* tail;    // last node; head when empty
    node* cursor;  // node before the current element; null right after remove()
    node* resume;  // where advance() continues after a remove(); null otherwise
    int32_t count;

    linkedlist() : head(new node{T{}, nullptr}), tail(head), cursor(head), resume(nullptr), count(0) {}
    linkedlist(const linkedlist&) = delete;
    linkedlist& operator=(const linkedlist&) = delete;

    ~linkedlist()
    {
        while (head) {
            node* n = head->next;
            delete head;
            head = n;
        }
    }

    int32_t size() const { return count; }
    bool empty() const { return count == 0; }

    // Appends value; the node stays valid until it is removed, so an owner may
    // keep it to find the element again without a search.
    node* add(T value)
    {
        node* n = new node{value, nullptr};
        tail->next = n;
        tail = n;
        count++;
        return n;
    }

    // Removes the first element and returns it; a zero value when empty.
    T pop()
    {
        node* n = head->next;
        if (!n)
            return T{};
        head->next = n->next;
        if (tail == n)
            tail = head;
        if (cursor == n)
            cursor = head;
        if (resume == n)
            resume = head;
        T value = n->value;
        delete n;
        count--;
        return value;
    }

    // The first element; a zero value when empty.
    T first() const { return head->next ? head->next->value : T{}; }

    void rewind()
    {
        cursor = head;
        resume = nullptr;
    }

    bool has_current() const { return cursor && cursor->next; }
    T current() const { return cursor->next->value; }

    void advance()
    {
        if (cursor && cursor->next)
            cursor = cursor->next;
        else if (resume) {
            cursor = resume;
            resume = nullptr;
        }
    }

    // Unlinks and frees the current element's node (not the value).
    void remove()
    {
        if (!has_current())
            return;
        node* n = cursor->next;
        cursor->next = n->next;
        if (tail == n)
            tail = cursor;
        delete n;
        count--;
        resume = cursor;
        cursor = nullptr;
    }
};

}  // namespace base
