#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace corvanel::detail {

// Open-addressing map from non-zero 64-bit keys to values. Small and fast for
// the per-run lookups of a pixel pass; key 0 marks an empty slot, so callers
// never store it.
template <class Value>
class FlatMap {
public:
    explicit FlatMap(std::size_t expected = 64) { rehash(std::bit_ceil(expected * 2 + 16)); }

    Value& operator[](std::uint64_t key) {
        std::size_t slot = find(key);
        if (keys_[slot] == key) return values_[slot];
        if ((used_ + 1) * 4 > keys_.size() * 3) {
            rehash(keys_.size() * 2);
            slot = find(key);
        }
        keys_[slot] = key;
        ++used_;
        return values_[slot];
    }

    template <class Fn>
    void forEach(Fn&& fn) const {
        for (std::size_t s = 0; s < keys_.size(); ++s)
            if (keys_[s] != 0) fn(keys_[s], values_[s]);
    }

    std::size_t size() const { return used_; }

private:
    std::size_t find(std::uint64_t key) const {
        std::size_t slot = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
        while (keys_[slot] != 0 && keys_[slot] != key) slot = (slot + 1) & (keys_.size() - 1);
        return slot;
    }

    void rehash(std::size_t capacity) {
        std::vector<std::uint64_t> oldKeys(capacity, 0);
        std::vector<Value> oldValues(capacity, Value{});
        oldKeys.swap(keys_);
        oldValues.swap(values_);
        shift_ = 64 - std::countr_zero(capacity);
        for (std::size_t s = 0; s < oldKeys.size(); ++s) {
            if (oldKeys[s] == 0) continue;
            std::size_t slot = find(oldKeys[s]);
            keys_[slot] = oldKeys[s];
            values_[slot] = std::move(oldValues[s]);
        }
    }

    std::vector<std::uint64_t> keys_;
    std::vector<Value> values_;
    std::size_t used_ = 0;
    int shift_ = 64;
};

}  // namespace corvanel::detail
