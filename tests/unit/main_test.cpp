#include <gtest/gtest.h>

#include "platform/Startup.h"

int main(int argc, char** argv) {
    quvo::platform::InitializeFramework();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
