// An output array that counts how often it has to find a larger buffer, for the tests
// that check a fetch sizes its output once.
#pragma once
#include <cstdint>

#include "support/array.h"

class GrowthCountingArray : public MCArray<char> {
public:
    bool setSize(int32_t n) override {
        if (n > getCapacity()) ++growths;
        return MCArray<char>::setSize(n);
    }
    int growths = 0;
};
