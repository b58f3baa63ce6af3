// Entry point of the Windows test programs. A program may also be started again by its own tests
// with "--play ROLE ..." to act as a helper process, where the program defines PlayHelperRole.
#include <gtest/gtest.h>

#include <cstring>

// Defined by test programs that have helper roles; the default plays none.
int PlayHelperRole(int argc, char** argv) __attribute__((weak));

int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--play") == 0 && PlayHelperRole != nullptr)
        return PlayHelperRole(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
