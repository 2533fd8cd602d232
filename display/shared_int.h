// An int that one thread stores and another loads, each access sequentially
// consistent, through the compiler's atomic built-ins: no C++ library is
// needed (on ARMv5, libgcc's barriers go through the Linux kernel's helpers).
#pragma once

struct shared_int {
    constexpr explicit shared_int(int initial) : value(initial) {}
    shared_int(const shared_int&) = delete;
    shared_int& operator=(const shared_int&) = delete;

    operator int() const {  // NOLINT(google-explicit-constructor): reads as the int it holds
        return __atomic_load_n(&value, __ATOMIC_SEQ_CST);
    }
    shared_int& operator=(int v) {
        __atomic_store_n(&value, v, __ATOMIC_SEQ_CST);
        return *this;
    }

    int value;
};
