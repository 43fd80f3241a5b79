// The main of every integration test program: the shared environment, then every test.
#include "integration.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new integration_env);
    return RUN_ALL_TESTS();
}
