// main() of every test program: a program that skipped any test exits with 77, which CTest reports as
// skipped (SKIP_RETURN_CODE), so that a test that could not run is never counted as passed.
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    if (rc == 0 && ::testing::UnitTest::GetInstance()->skipped_test_count() > 0) return 77;
    return rc;
}
