// Preloaded into one of the programs (LD_PRELOAD), this runs in place of the program's main: by then
// the program's static initialisers have registered every resource compiled into it. It prints, for
// each path in VELNOR_PROBE_PATHS (one a line), "found" or "missing" and the path, and ends the
// program before its own main runs.

#include <QFile>
#include <QString>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace {

using MainFunction = int (*)(int, char**, char**);
using StartFunction = int (*)(MainFunction, int, char**, void (*)(), void (*)(), void (*)(), void*);

int probeMain(int, char**, char**) {
    const char* paths = std::getenv("VELNOR_PROBE_PATHS");
    const QStringList list = QString::fromUtf8(paths ? paths : "").split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& path : list)
        std::printf("%s %s\n", QFile::exists(path) ? "found" : "missing", path.toUtf8().constData());
    std::printf("probed\n");
    std::fflush(stdout);
    return 0;
}

} // namespace

extern "C" int __libc_start_main(MainFunction programMain, int argc, char** argv, void (*init)(), void (*fini)(),
                                 void (*rtldFini)(), void* stackEnd) {
    (void)programMain; // never run
    const auto start = reinterpret_cast<StartFunction>(dlsym(RTLD_NEXT, "__libc_start_main"));
    return start(probeMain, argc, argv, init, fini, rtldFini, stackEnd);
}
