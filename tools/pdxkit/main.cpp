// pdxkit: find the chips, watch their pins, read and write reports.
#include <stdlib.h>
#include <string.h>

#include "tool.h"

namespace {

const char kUsage[] =
    "usage: pdxkit [--simulate WORLD [--drive random:HZ|counter:HZ]] COMMAND [options]\n"
    "\n"
    "commands:\n"
    "  list      every device: number, handle, product ID, revision, serial, pipes\n"
    "  monitor   live pin state of one or all devices\n"
    "  read      read one report (or more on pipe 0) from a pipe\n"
    "  write     write one report to a pipe\n"
    "  info      the library's version\n"
    "\n"
    "  --simulate WORLD  run against simulated chips, e.g. \"2 devices, serials A1B2C3D4 and none\"\n"
    "  --drive KIND:HZ   with --simulate: drive the simulated inputs (random walk or counter)\n"
    "  --json            machine-readable output\n"
    "  pdxkit COMMAND --help shows a command's options.\n"
    "\n"
    "exit codes: 0 ok, 1 the library reported a failure, 2 bad command line,\n"
    "            3 no device of the family found, 4 nothing arrived in time\n";

struct CommandInfoEntry {
    const char* name;
    int (*run)(const ToolOptions&);
    const char* help;
};

const CommandInfoEntry kCommands[] = {
    {"list", CommandList, "usage: pdxkit list [--json]\n  Lists every device of the family.\n"},
    {"monitor", CommandMonitor,
     "usage: pdxkit monitor [-d N] [--count K] [--timeout MS] [--sequence] [--json]\n"
     "  Shows the pin state of device N (default: all). On a terminal the view is redrawn in\n"
     "  place; otherwise one line per report with a timestamp.\n"
     "  --count K     stop after K reports\n"
     "  --timeout MS  stop when no report came for MS milliseconds (exit 4 if none at all)\n"
     "  --sequence    the data bytes are sequence numbers: count the reports dropped\n"},
    {"read", CommandRead,
     "usage: pdxkit read [-d N] -p PIPE -n LEN [--timeout MS] [--json]\n"
     "  Reads up to LEN bytes from a pipe of device N (default 1). Pipe 0 returns whole queued\n"
     "  port reports; pipe 1 reads one report from the device. Default timeout 1000 ms.\n"},
    {"write", CommandWrite,
     "usage: pdxkit write [-d N] -p PIPE [--timeout MS] [--read-back MS [-n LEN]] BYTE...\n"
     "  Writes one report (bytes in hex, report id first) to a pipe of device N (default 1).\n"
     "  --read-back MS  then read the device's answer on the same pipe, waiting up to MS\n"},
    {"info", CommandInfo, "usage: pdxkit info [--json]\n  Prints the library's version.\n"},
};

bool TakeNumber(int argc, char** argv, int* i, long* out) {
    if (*i + 1 >= argc) {
        fprintf(stderr, "pdxkit: %s needs a value\n", argv[*i]);
        return false;
    }
    char* end = nullptr;
    const char* text = argv[++*i];
    *out = strtol(text, &end, 0);
    if (*text == '\0' || *end != '\0') {
        fprintf(stderr, "pdxkit: %s takes a number, not \"%s\"\n", argv[*i - 1], text);
        return false;
    }
    return true;
}

bool TakeText(int argc, char** argv, int* i, std::string* out) {
    if (*i + 1 >= argc) {
        fprintf(stderr, "pdxkit: %s needs a value\n", argv[*i]);
        return false;
    }
    *out = argv[++*i];
    return true;
}

// Options may come before or after the command.
bool ParseOptions(int argc, char** argv, std::string* command, ToolOptions* o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        long n = 0;
        if (a == "--simulate") {
            if (!TakeText(argc, argv, &i, &o->simulate)) return false;
        } else if (a == "--drive") {
            if (!TakeText(argc, argv, &i, &o->drive)) return false;
        } else if (a == "--json") {
            o->json = true;
        } else if (a == "--help" || a == "-h") {
            o->help = true;
        } else if (a == "--sequence") {
            o->sequence = true;
        } else if (a == "-d" || a == "--device") {
            if (!TakeNumber(argc, argv, &i, &n)) return false;
            if (n < 1) {
                fprintf(stderr, "pdxkit: devices are numbered from 1\n");
                return false;
            }
            o->device = static_cast<int>(n);
        } else if (a == "-p" || a == "--pipe") {
            if (!TakeNumber(argc, argv, &i, &n)) return false;
            if (n < 0 || n > 1) {
                fprintf(stderr, "pdxkit: the pipe is 0 or 1\n");
                return false;
            }
            o->pipe = static_cast<int>(n);
        } else if (a == "-n" || a == "--length") {
            if (!TakeNumber(argc, argv, &i, &o->length)) return false;
        } else if (a == "--count") {
            if (!TakeNumber(argc, argv, &i, &o->count)) return false;
            if (o->count < 1) {
                fprintf(stderr, "pdxkit: --count takes a number of reports >= 1\n");
                return false;
            }
        } else if (a == "--timeout") {
            if (!TakeNumber(argc, argv, &i, &o->timeout_ms)) return false;
            if (o->timeout_ms < 0) {
                fprintf(stderr, "pdxkit: --timeout takes milliseconds >= 0\n");
                return false;
            }
        } else if (a == "--read-back") {
            if (!TakeNumber(argc, argv, &i, &o->read_back_ms)) return false;
        } else if (a.size() > 1 && a[0] == '-') {
            fprintf(stderr, "pdxkit: unknown option %s\n", a.c_str());
            return false;
        } else if (command->empty()) {
            *command = a;
        } else {
            o->args.push_back(a);
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string command;
    ToolOptions options;
    if (!ParseOptions(argc, argv, &command, &options)) {
        fputs("pdxkit --help lists the commands.\n", stderr);
        return kExitUsage;
    }
    if (command.empty()) {
        fputs(kUsage, options.help ? stdout : stderr);
        return options.help ? kExitOk : kExitUsage;
    }
    for (const CommandInfoEntry& entry : kCommands) {
        if (command != entry.name) continue;
        if (options.help) {
            fputs(entry.help, stdout);
            return kExitOk;
        }
        const bool takes_bytes = command == "write";
        if (!takes_bytes && !options.args.empty()) {
            fprintf(stderr, "pdxkit %s: unexpected \"%s\"\n", entry.name, options.args[0].c_str());
            return kExitUsage;
        }
        if ((command == "read" || command == "write") && options.pipe < 0) {
            fprintf(stderr, "pdxkit %s: -p PIPE (0 or 1) is required\n", entry.name);
            return kExitUsage;
        }
        if (!StartSimulation(options)) return kExitUsage;
        int status = entry.run(options);
        StopSimulation();
        return status;
    }
    fprintf(stderr, "pdxkit: unknown command \"%s\"\n%s", command.c_str(), kUsage);
    return kExitUsage;
}
