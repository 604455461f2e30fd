#pragma once

namespace testing_support {

// Counts its constructions and destructions, so that a test can say exactly
// which objects a container deleted. Reset both counts before each test.
struct Counted {
    static inline int constructed = 0;
    static inline int destroyed = 0;
    Counted() { constructed++; }
    ~Counted() { destroyed++; }
};

}  // namespace testing_support
