// zqbmp: what the device makes of picture files, media sets and update trees.
// The command line: a command, then its operands and options in any order
// (getopt_long: --opt value and --opt=value alike), --help for each.
#include <getopt.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "device_facts.h"
#include "exit_status.h"
#include "media_check.h"
#include "number_arguments.h"
#include "picture_commands.h"
#include "update_check.h"

namespace {

#ifndef ZQ_VERSION
#define ZQ_VERSION "unknown"
#endif

const char* const EXIT_TABLE =
    "Exit status (where several apply, the highest):\n"
    "  0  clean\n"
    "  1  findings\n"
    "  2  usage error\n"
    "  3  an input could not be read, or an output could not be written\n";

const char* const GEOMETRY_HELP =
    "  --screen WxHxBPP  the screen, e.g. 800x480x32; BPP is 16, 24 or 32\n"
    "  --pitch BYTES     bytes from a row to the next (the driver's line_length)\n"
    "  --offset X,Y      the visible screen's place in the virtual one (xoffset, yoffset)\n"
    "  --order ORDER     a pixel's bytes in memory order: BGRX (the usual), RGBX, XRGB,\n"
    "                    XBGR; BGR or RGB at 24 bits; at 16 bits the layout from the top\n"
    "                    bit down: RGB565 (the usual), BGR565, RGB555, BGR555\n";

// The options, each taken by the commands whose mask holds its bit.
enum option_id {
    OPT_HELP,
    OPT_SCREEN,
    OPT_PITCH,
    OPT_OFFSET,
    OPT_ORDER,
    OPT_TREE,
    OPT_STRICT,
    OPT_ITEM,
    OPT_FORMAT,
    OPT_QUIET,
    OPT_COUNT,
};
constexpr unsigned bit(option_id id) {
    return 1u << id;
}
constexpr unsigned GEOMETRY = bit(OPT_SCREEN) | bit(OPT_PITCH) | bit(OPT_OFFSET) | bit(OPT_ORDER);

const option LONG_OPTIONS[] = {
    {"help", no_argument, nullptr, OPT_HELP},
    {"screen", required_argument, nullptr, OPT_SCREEN},
    {"pitch", required_argument, nullptr, OPT_PITCH},
    {"offset", required_argument, nullptr, OPT_OFFSET},
    {"order", required_argument, nullptr, OPT_ORDER},
    {"tree", required_argument, nullptr, OPT_TREE},
    {"strict", no_argument, nullptr, OPT_STRICT},
    {"item", required_argument, nullptr, OPT_ITEM},
    {"format", required_argument, nullptr, OPT_FORMAT},
    {"quiet", no_argument, nullptr, OPT_QUIET},
    {nullptr, 0, nullptr, 0},
};
static_assert(sizeof LONG_OPTIONS / sizeof LONG_OPTIONS[0] == OPT_COUNT + 1, "one per option_id");

// What one run was asked.
struct invocation {
    std::vector<const char*> operands;
    const char* values[OPT_COUNT] = {};  // each option's value ("" for a flag), or nullptr
    screen_geometry screen{};
    int item = 4;
    bool json = false;  // --format json
};

struct command {
    const char* name;
    const char* synopsis;  // after "zqbmp NAME "
    const char* help;      // what it does and its own options
    unsigned options;      // bits of option_id, beyond --help
    size_t operands_min;
    size_t operands_max;
    int (*run)(const invocation& call);
};

int run_info(const invocation& call) {
    return picture_info(call.operands.size(), call.operands.data(), call.json);
}
int run_ppm(const invocation& call) {
    return picture_ppm(call.operands[0], call.operands[1]);
}
int run_check(const invocation& call) {
    check_options options;
    options.strict = call.values[OPT_STRICT] != nullptr;
    options.tree = call.values[OPT_TREE];
    options.json = call.json;
    return media_check(call.operands[0], call.screen, options);
}
int run_preview(const invocation& call) {
    return media_preview(call.operands[0], call.screen, call.operands[1]);
}
int run_update_check(const invocation& call) {
    const update_check_options options{call.item, call.values[OPT_STRICT] != nullptr,
                                       call.values[OPT_QUIET] != nullptr, call.json};
    return update_check(call.operands[0], options);
}
int run_update_seal(const invocation& call) {
    return update_seal(call.operands[0]);
}
int run_facts(const invocation& call) {
    return device_facts(call.json);
}

const command COMMANDS[] = {
    {"info", "FILE... [--format json]",
     "Whether each picture loads as the device loads it (and why not), its size and depth.\n"
     "  --format FORMAT   text (the default: a line each) or json (one document)\n",
     bit(OPT_FORMAT), 1, SIZE_MAX, run_info},
    {"ppm", "FILE OUT.ppm", "The decoded picture as a binary PPM (P6).\n", 0, 2, 2, run_ppm},
    {"check", "MEDIA_DIR --screen WxHxBPP [GEOMETRY] [--tree TREE] [--strict] [--format json]",
     "What the programs make of the six files of /ZQ/media on that screen.\n"
     "  --tree TREE       also measure the longest progress line of that update tree\n"
     "  --strict          warnings count as findings\n"
     "  --format FORMAT   text (the default: a line each) or json (one document)\n",
     GEOMETRY | bit(OPT_TREE) | bit(OPT_STRICT) | bit(OPT_FORMAT), 1, 1, run_check},
    {"preview", "MEDIA_DIR --screen WxHxBPP [GEOMETRY] OUTDIR",
     "PNG pictures of what the screen shows: the splash, the countdown, the menu and an\n"
     "update, written to OUTDIR (made with its parents).\n",
     GEOMETRY, 2, 2, run_preview},
    {"update-check", "TREE [--item N] [--strict] [--quiet] [--format json]",
     "What an update from TREE would install or skip, what a FAT card would change of it,\n"
     "and, for a sealed tree, whether it is the tree its manifest lists.\n"
     "  --item N          the menu item whose update root TREE is, 1 to 6 (default 4)\n"
     "  --strict          warnings count as findings\n"
     "  --quiet           no progress on a terminal during a long run\n"
     "  --format FORMAT   text (the default: a line each) or json (one document)\n",
     bit(OPT_ITEM) | bit(OPT_STRICT) | bit(OPT_QUIET) | bit(OPT_FORMAT), 1, 1, run_update_check},
    {"update-seal", "TREE", "Writes TREE/zq-manifest: every entry the device would install.\n", 0,
     1, 1, run_update_seal},
    {"facts", "[--format json]",
     "What the device programs hold: their texts, the menu with each item's command, the\n"
     "countdown and the screens' geometry.\n"
     "  --format FORMAT   text (the default: a line each) or json (one document)\n",
     bit(OPT_FORMAT), 0, 0, run_facts},
};

void print_usage(FILE* out) {
    (void)fputs("usage: zqbmp COMMAND [OPTIONS] OPERANDS...\n", out);
    for (const command& c : COMMANDS)
        (void)fprintf(out, "       zqbmp %s %s\n", c.name, c.synopsis);
    (void)fputs(
        "       zqbmp --version\n"
        "The screen, and GEOMETRY as its driver reports it:\n",
        out);
    (void)fputs(GEOMETRY_HELP, out);
    (void)fputs("'zqbmp COMMAND --help' describes a command.\n", out);
    (void)fputs(EXIT_TABLE, out);
}

void print_help(const command& c) {
    printf("usage: zqbmp %s %s\n%s", c.name, c.synopsis, c.help);
    if ((c.options & GEOMETRY) != 0) (void)fputs(GEOMETRY_HELP, stdout);
    (void)fputs("  --help            this text\n", stdout);
    (void)fputs(EXIT_TABLE, stdout);
}

int usage_error(const command* c, const char* format, const char* what) {
    (void)fputs("zqbmp: ", stderr);
    (void)fprintf(stderr, format, what);
    if (c != nullptr) {
        (void)fprintf(stderr, "\nusage: zqbmp %s %s\n(see 'zqbmp %s --help')\n", c->name,
                      c->synopsis, c->name);
    } else {
        (void)fputs("\n(see 'zqbmp --help')\n", stderr);
    }
    return EXIT_USAGE;
}

// The option values that need the screen's depth, applied once all are read.
int apply_values(const command& c, invocation* call) {
    if ((c.options & bit(OPT_SCREEN)) != 0) {
        const char* screen = call->values[OPT_SCREEN];
        if (screen == nullptr) return usage_error(&c, "%s needs --screen WxHxBPP", c.name);
        if (parse_screen(screen, &call->screen) != 0) {
            return usage_error(&c,
                               "--screen %s: give WIDTHxHEIGHTxBPP, e.g. 1024x600x32, each side "
                               "1 to 8192; BPP is 16, 24 or 32",
                               screen);
        }
    }
    static const option_id geometry[] = {OPT_PITCH, OPT_OFFSET, OPT_ORDER};
    for (const option_id id : geometry) {
        const char* value = call->values[id];
        if (value == nullptr) continue;
        char name[16];
        (void)snprintf(name, sizeof name, "--%s", LONG_OPTIONS[id].name);
        if (parse_screen_option(name, value, &call->screen) != 0) return EXIT_USAGE;
    }
    if (const char* format = call->values[OPT_FORMAT]; format != nullptr) {
        call->json = strcmp(format, "json") == 0;
        if (!call->json && strcmp(format, "text") != 0) {
            return usage_error(&c, "--format %s: give text or json", format);
        }
    }
    if (const char* item = call->values[OPT_ITEM]; item != nullptr) {
        unsigned long long n = 0;
        if (parse_count(item, 6, &n) != 0 || n < 1) {
            return usage_error(&c, "--item %s: not a menu item from 1 to 6", item);
        }
        call->item = static_cast<int>(n);
    }
    return 0;
}

int run_command(const command& c, int argc, char** argv) {
    invocation call;
    opterr = 0;
    optind = 1;
    for (;;) {
        const int id = getopt_long(argc, argv, ":h", LONG_OPTIONS, nullptr);
        if (id == -1) break;
        if (id == 'h' || id == OPT_HELP) {
            print_help(c);
            return 0;
        }
        if (id == '?' || id == ':') {
            const char* given = argv[optind - 1];
            return usage_error(
                &c, id == ':' ? "%s needs a value" : "%s: not an option of this command", given);
        }
        if ((c.options & bit(static_cast<option_id>(id))) == 0) {
            return usage_error(&c, "--%s: not an option of this command", LONG_OPTIONS[id].name);
        }
        call.values[id] = optarg != nullptr ? optarg : "";
    }
    for (int i = optind; i < argc; ++i) call.operands.push_back(argv[i]);
    const size_t count = call.operands.size();
    if (count < c.operands_min || count > c.operands_max) {
        return usage_error(&c, "%s: wrong number of operands", c.name);
    }
    const int applied = apply_values(c, &call);
    return applied != 0 ? applied : c.run(call);
}

// What was written to standard output must have reached it.
int finish_output(int status) {
    const bool failed = ferror(stdout) != 0;
    errno = 0;
    if (fflush(stdout) != 0 || failed) {
        (void)fprintf(stderr, "zqbmp: standard output: %s\n",
                      errno != 0 ? strerror(errno) : "a write failed");
        return status > EXIT_UNREADABLE ? status : EXIT_UNREADABLE;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    (void)setlocale(LC_CTYPE, "C.UTF-8");  // names' case folded as Unicode folds it
    int status = EXIT_USAGE;
    if (argc < 2) {
        print_usage(stderr);
    } else if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 ||
               strcmp(argv[1], "help") == 0) {
        print_usage(stdout);
        status = 0;
    } else if (strcmp(argv[1], "--version") == 0) {
        printf("zqbmp %s\n", ZQ_VERSION);
        status = 0;
    } else {
        const command* found = nullptr;
        for (const command& c : COMMANDS) {
            if (strcmp(c.name, argv[1]) == 0) found = &c;
        }
        status = found != nullptr ? run_command(*found, argc - 1, argv + 1)
                                  : usage_error(nullptr, "%s: not a command", argv[1]);
    }
    return finish_output(status);
}
