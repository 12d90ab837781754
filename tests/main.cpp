// Test start-up: the private heap exists for the whole run, as in the program.
#include "core/memory.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    privateHeap = HeapCreate(0, kPrivateHeapInitialSize, 0);
    const int result = RUN_ALL_TESTS();
    HeapDestroy(privateHeap);
    return result;
}
