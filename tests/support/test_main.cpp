// The entry point of a folder's test executable: runs the one test file named
// by its first argument, with the rest of the arguments handed to Qt Test.

#include "support/test_registry.h"

#include <QFileInfo>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#ifdef TAVREL_TESTS_WITH_WIDGETS
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

namespace tavrel::test {

static std::map<std::string, TestRunner> &registry()
{
    static std::map<std::string, TestRunner> tests;
    return tests;
}

bool registerTest(const char *file, TestRunner run)
{
    registry()[QFileInfo(QString::fromLocal8Bit(file)).completeBaseName().toStdString()] = std::move(run);
    return true;
}

} // namespace tavrel::test

int main(int argc, char **argv)
{
    auto &tests = tavrel::test::registry();
    const auto found = argc > 1 ? tests.find(argv[1]) : tests.end();
    if (found == tests.end()) {
        std::fprintf(stderr, "usage: %s TEST [Qt Test arguments]\ntests:", argv[0]);
        for (const auto &entry : tests)
            std::fprintf(stderr, " %s", entry.first.c_str());
        std::fprintf(stderr, "\n");
        return 2;
    }
    // The test sees itself as the program, with its own arguments.
    argv[1] = argv[0];
    TestApplication app(--argc, ++argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    return found->second(argc, argv);
}
