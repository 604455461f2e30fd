#pragma once

namespace Simple {

// What a container does with an element it gives up: its Release(element)
// runs once for every element the container removes or is destroyed with.

// Plain values: copied in, dropped without any action.
struct SValue {
    template <typename T>
    static void Release(T&) {}
};

// Pointers to heap objects the container owns: giving one up deletes the
// object. A null element owns nothing and is skipped.
struct SOwnedPtr {
    template <typename T>
    static void Release(T*& element) {
        if (!element)
            return;
        delete element;
        element = nullptr;
    }
};

}  // namespace Simple
