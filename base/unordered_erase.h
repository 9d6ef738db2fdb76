// Removing an element from a vector whose order does not matter, in constant
// time: the last element takes its place.
#pragma once

#include <cstddef>

#include <vector>

namespace base {

// Removes the first element equal to value; false when there is none.
template <typename T>
bool unordered_erase(std::vector<T>& list, const T& value)
{
    for (size_t i = 0; i < list.size(); i++)
        if (list[i] == value) {
            list[i] = list.back();
            list.pop_back();
            return true;
        }
    return false;
}

}  // namespace base
