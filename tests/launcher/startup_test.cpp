#include "startup.h"

#include <gtest/gtest.h>

#include <string>

TEST(Smoke, BaseDir)
{
    char baseDir[kBaseDirSize];
    FindBaseDir("D:\\srv\\zorvaneis.exe", baseDir);
    EXPECT_STREQ("D:\\srv", baseDir);
}
