#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace corvanel::detail {

// Open-addressing map from non-zero 64-bit keys to values. Small and fast for
// the per-run lookups of a pixel pass: a key lies beside its value, so a
// lookup touches one cache line. Key 0 marks an empty slot, so callers never
// store it.
template <class Value>
class FlatMap {
public:
    explicit FlatMap(std::size_t expected = 64) { rehash(std::bit_ceil(expected * 2 + 16)); }

    Value& operator[](std::uint64_t key) {
        std::size_t slot = find(key);
        if (slots_[slot].key == key) return slots_[slot].value;
        if ((used_ + 1) * 4 > slots_.size() * 3) {
            rehash(slots_.size() * 2);
            slot = find(key);
        }
        slots_[slot].key = key;
        ++used_;
        return slots_[slot].value;
    }

    template <class Fn>
    void forEach(Fn&& fn) const {
        for (const Slot& s : slots_)
            if (s.key != 0) fn(s.key, s.value);
    }

    std::size_t size() const { return used_; }

private:
    struct Slot {
        std::uint64_t key = 0;
        Value value{};
    };

    std::size_t find(std::uint64_t key) const {
        std::size_t slot = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
        while (slots_[slot].key != 0 && slots_[slot].key != key) slot = (slot + 1) & (slots_.size() - 1);
        return slot;
    }

    void rehash(std::size_t capacity) {
        std::vector<Slot> old(capacity);
        old.swap(slots_);
        shift_ = 64 - std::countr_zero(capacity);
        for (Slot& s : old)
            if (s.key != 0) slots_[find(s.key)] = std::move(s);
    }

    std::vector<Slot> slots_;
    std::size_t used_ = 0;
    int shift_ = 64;
};

}  // namespace corvanel::detail
