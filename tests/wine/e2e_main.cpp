// The end-to-end tests' entry: a GUI-capable console program.
#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
    // Unbuffered, so that a test that hangs until ctest ends it still shows
    // how far it came and which checks had failed.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
