// An owning list in place of the class library's TList descendants that free their items: items are
// kept in insertion order, addressed by position, and freed when deleted or when the list goes.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

template <class T>
class TOwningList {
public:
    T *Add(std::unique_ptr<T> item)
    {
        Items.push_back(std::move(item));
        return Items.back().get();
    }
    void Delete(std::size_t index) { Items.erase(Items.begin() + static_cast<std::ptrdiff_t>(index)); }
    void Clear() { Items.clear(); }
    std::size_t Count() const { return Items.size(); }
    T *operator[](std::size_t index) const { return Items[index].get(); }

    // Position of the first item the predicate accepts, or -1.
    template <class Pred>
    long IndexOf(Pred pred) const
    {
        for (std::size_t i = 0; i < Items.size(); ++i)
            if (pred(*Items[i])) return static_cast<long>(i);
        return -1;
    }

private:
    std::vector<std::unique_ptr<T>> Items;
};
