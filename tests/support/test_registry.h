#pragma once
// The test programs of one folder are built into a single executable, so the
// Qt headers are parsed and the program linked once per folder instead of
// once per test. Each tst_*.cpp still ends with QTEST_MAIN or
// QTEST_GUILESS_MAIN as a stand-alone Qt Test program would; this header is
// included ahead of every test source and turns those lines into a
// registration under the file's name. ctest runs `<executable> tst_name
// [Qt Test arguments]`, one process per test file, so no state is shared
// between test files.

#include <QtTest/QtTest>

#include <functional>

namespace tavrel::test {

using TestRunner = std::function<int(int argc, char **argv)>;
bool registerTest(const char *file, TestRunner run);

} // namespace tavrel::test

#undef QTEST_MAIN
#undef QTEST_GUILESS_MAIN
#undef QTEST_APPLESS_MAIN
#define TAVREL_REGISTER_TEST(TestObject)                                                       \
    static const bool tavrelRegistered##TestObject = ::tavrel::test::registerTest(           \
        __FILE__, [](int argc, char **argv) {                                                  \
            TestObject tc;                                                                     \
            QTEST_SET_MAIN_SOURCE_PATH                                                         \
            return QTest::qExec(&tc, argc, argv);                                              \
        });
#define QTEST_MAIN(TestObject) TAVREL_REGISTER_TEST(TestObject)
#define QTEST_GUILESS_MAIN(TestObject) TAVREL_REGISTER_TEST(TestObject)
#define QTEST_APPLESS_MAIN(TestObject) TAVREL_REGISTER_TEST(TestObject)
