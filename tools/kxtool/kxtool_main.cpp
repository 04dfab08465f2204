// kxtool - command-line access to the portable core. Each subcommand lives in its own file and
// registers itself in the table below.
#include <cstdio>
#include <cstring>

#include "kxtool.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// One subcommand: name, usage text, entry.
struct KxtoolCommand {
    const char* name;
    const char* usage;
    int (*run)(int argc, char** argv);
};

const KxtoolCommand kCommands[] = {
    {"version", "kxtool version", kxtool_version},
#define KXTOOL_COMMAND(name, usage, fn) {name, usage, fn},
#include "kxtool_commands.inc"
#undef KXTOOL_COMMAND
};

int usage() {
    fprintf(stderr, "usage:\n");
    for (const KxtoolCommand& c : kCommands) fprintf(stderr, "  %s\n", c.usage);
    return 2;
}

}  // namespace

int kxtool_version(int, char**) {
    printf("kxtool %s\n", KX_VERSION_TEXT);
    return 0;
}

int kxtool_main(int argc, char** argv) {
    if (argc < 2) return usage();
    for (const KxtoolCommand& c : kCommands)
        if (strcmp(argv[1], c.name) == 0) return c.run(argc - 2, argv + 2);
    fprintf(stderr, "kxtool: unknown command '%s'\n", argv[1]);
    return usage();
}

#ifdef _WIN32
// Windows passes the arguments as UTF-16; the core wants UTF-8.
int wmain(int argc, wchar_t** wargv) {
    SetConsoleOutputCP(CP_UTF8);
    static char storage[64][1024];
    static char* argv[64];
    if (argc > 64) argc = 64;
    for (int i = 0; i < argc; i++) {
        WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, storage[i], 1024, nullptr, nullptr);
        argv[i] = storage[i];
    }
    return kxtool_main(argc, argv);
}
#else
int main(int argc, char** argv) { return kxtool_main(argc, argv); }
#endif
