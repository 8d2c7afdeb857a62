// Reads the launcher's command line into launch_options.
#include "launch_options.hh"

namespace launcher {
namespace {

// Reads one cluster of single-letter options such as "-d", "-dr FILE" or
// "-oFILE"; `next` is advanced past a value taken from the following word.
bool parse_short_cluster(const std::vector<std::string> &args, std::size_t &next, launch_options &options,
                         std::string &error)
{
    const std::string &word = args[next];
    for (std::size_t j = 1; j < word.size(); ++j) {
        switch (word[j]) {
        case 'd':
            options.debug = true;
            break;
        case 'h':
            options.mode = launch_mode::help;
            break;
        case 'q':
            options.quiet = true;
            break;
        case 'o':
        case 'r': {
            std::string &value = word[j] == 'o' ? options.trace_file : options.route_file;
            const char *what = word[j] == 'o' ? "a trace file" : "a route file";
            value = j + 1 < word.size()      ? word.substr(j + 1)
                    : next + 1 < args.size() ? args[++next]
                                             : std::string();
            if (value.empty()) {
                error = std::string("option -") + word[j] + " needs " + what;
                return false;
            }
            return true;
        }
        default:
            error = std::string("unknown option -") + word[j];
            return false;
        }
    }
    return true;
}

// Reads "--NAME VALUE" or "--NAME=VALUE" when `word` is option --NAME;
// `next` is advanced past a value taken from the following word. Returns
// false when the word is another option; fills `error` when it has no value.
bool long_option_value(const std::vector<std::string> &args, std::size_t &next, const std::string &name,
                       std::string &value, std::string &error)
{
    const std::string &word = args[next];
    if (word == name) {
        value = next + 1 < args.size() ? args[++next] : std::string();
    } else if (word.starts_with(name + "=")) {
        value = word.substr(name.size() + 1);
    } else {
        return false;
    }
    if (value.empty()) {
        error = "option " + name + " needs a file";
    }
    return true;
}

}  // namespace

bool parse_launch_options(const std::vector<std::string> &args, launch_options &options, std::string &error)
{
    options = launch_options{};
    bool summary_asked = false;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string &word = args[i];
        if (word == "--") {
            ++i;
            break;
        }
        if (word == "--help") {
            options.mode = launch_mode::help;
        } else if (word == "--version") {
            options.mode = launch_mode::version;
        } else if (word == "--debug") {
            options.debug = true;
        } else if (word == "--classic") {
            options.classic = true;
        } else if (word == "--path") {
            options.path = true;
        } else if (word == "--per-send") {
            options.per_send = true;
        } else if (word == "--payload") {
            options.payload = true;
        } else if (word == "--supervise") {
            options.supervise = true;
        } else if (word == "--no-check" || word == "--strict") {
            (word == "--strict" ? options.strict : options.no_check) = true;
        } else if (long_option_value(args, i, "--routes", options.route_file, error) ||
                   long_option_value(args, i, "--output", options.trace_file, error) ||
                   long_option_value(args, i, "--summary", options.summary_file, error) ||
                   long_option_value(args, i, "--plot", options.plot_file, error) ||
                   long_option_value(args, i, "--record", options.record_file, error) ||
                   long_option_value(args, i, "--replay", options.replay_file, error) ||
                   long_option_value(args, i, "--timelog", options.timelog_file, error)) {
            if (!error.empty()) {
                return false;
            }
            summary_asked = summary_asked || !options.summary_file.empty();
        } else if (word.starts_with("--")) {
            error = "unknown option " + word;
            return false;
        } else if (word.size() > 1 && word[0] == '-') {
            if (!parse_short_cluster(args, i, options, error)) {
                return false;
            }
        } else {
            break;
        }
    }
    options.program.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());

    if (options.mode == launch_mode::help || options.mode == launch_mode::version) {
        return true;
    }
    if (!options.plot_file.empty() && !options.plot_file.ends_with(".svg")) {
        error = "--plot draws SVG: give it a name ending in .svg, not " + options.plot_file;
        return false;
    }
    if (summary_asked) {
        if (!options.program.empty() || options.debug || !options.route_file.empty() || options.classic ||
            options.supervise || options.path || options.per_send || !options.trace_file.empty() ||
            options.payload || !options.record_file.empty() || !options.replay_file.empty() ||
            options.quiet || options.no_check || options.strict || !options.timelog_file.empty()) {
            error = "--summary takes one file, --plot and no other option or program";
            return false;
        }
        options.mode = launch_mode::summary;
        return true;
    }
    if (!options.plot_file.empty()) {
        error = "--plot draws the recording that --summary reads: "
                "kandrel-run --summary FILE --plot OUT.svg";
        return false;
    }
    if (options.program.empty()) {
        error = "no program to run";
        return false;
    }
    if (options.classic && options.payload) {
        error = "--payload is for full coverage; the classic routing always bounces the "
                "program's own bytes";
        return false;
    }
    if (options.path && (options.classic || options.per_send || options.payload || options.supervise ||
                         !options.replay_file.empty())) {
        error = "--path cannot be used with --classic, --per-send, --payload, --supervise or --replay";
        return false;
    }
    if (options.per_send && options.classic) {
        error = "--per-send cannot be used with --classic";
        return false;
    }
    if (options.classic && (!options.record_file.empty() || !options.replay_file.empty())) {
        error = "--record and --replay are for full coverage, not --classic";
        return false;
    }
    if (options.supervise && (options.classic || options.payload || !options.replay_file.empty())) {
        error = "--supervise routes as full coverage does, without --classic, --payload or --replay";
        return false;
    }
    if (options.classic && (options.strict || !options.timelog_file.empty())) {
        error = "--strict and --timelog are for full coverage, not --classic";
        return false;
    }
    if (!options.record_file.empty() && !options.replay_file.empty()) {
        error = "--record and --replay cannot be used together";
        return false;
    }
    // The path model is the default; bouncing the program's bytes, replaying
    // and supervising are done send by send.
    options.path = !options.classic && !options.per_send && !options.payload && !options.supervise &&
                   options.replay_file.empty();
    return true;
}

const char *usage_text()
{
    return "usage: kandrel-run [-r ROUTE_FILE] [-o TRACE_FILE] [-d]\n"
           "                  [--path | --per-send [--payload] | --classic]\n"
           "                  [--record FILE | --replay FILE] [--supervise] [-q] [--no-check]\n"
           "                  [--strict] [--timelog FILE] [--] PROGRAM [ARGS...]\n"
           "       kandrel-run --summary FILE [--plot OUT.svg]\n"
           "       kandrel-run --help | --version\n"
           "\n"
           "Runs PROGRAM, unchanged, with libkandrel.so preloaded: its socket calls are\n"
           "traced on its standard error, and its traffic to routed destinations is first\n"
           "bounced off a hop's echo service, each round trip recorded in ./timelog.\n"
           "\n"
           "By default the library runs the path model (KANDREL_COVERAGE=path): TCP\n"
           "connections to and from routed peers and datagrams to routed destinations\n"
           "go through a relay process that holds each direction back by half the hop's\n"
           "round trip, many bytes in flight at once, as a distant path would; a connect\n"
           "costs one round trip; other send paths are delayed as with --per-send. Nothing of the library goes\n"
           "to PROGRAM's standard output; the hop is sent a filler, never PROGRAM's\n"
           "data, unless --payload; and ./timelog is created afresh once, here, and\n"
           "kandrel-run writes into it the records of every process of the run,\n"
           "wherever they went (see KANDREL_COLLECTOR).\n"
           "\n"
           "  -r, --routes ROUTE_FILE\n"
           "                 routes to load (sets QUOR_ROUTE_TABLE to the file's absolute\n"
           "                 path); without -r, QUOR_ROUTE_TABLE is left as it is\n"
           "  -o, --output TRACE_FILE\n"
           "                 write the trace to TRACE_FILE instead of standard error (sets\n"
           "                 KANDREL_TRACE_FILE to its absolute path); %p in it becomes\n"
           "                 each process's id, %% a single %; a TRACE_FILE without %p\n"
           "                 that is a regular file is emptied first, as strace -o does\n"
           "  -d, --debug    also preload libkandrel-debug.so, which switches on the\n"
           "                 library's detailed trace lines (its `debug`)\n"
           "  --path         the path model, the default (KANDREL_COVERAGE=path)\n"
           "  --per-send     full coverage (KANDREL_COVERAGE=full): every connection and\n"
           "                 every send path to a routed destination waits for its own\n"
           "                 round trip before the real call, IPv6 included; the\n"
           "                 default with --payload, --replay and --supervise\n"
           "  --classic      the classic routing: KANDREL_COVERAGE is removed, and each\n"
           "                 process empties ./timelog at its first socket call\n"
           "  --payload      bounce PROGRAM's own bytes off the hop instead of a filler\n"
           "                 (sets KANDREL_ECHO_PAYLOAD=1, which is otherwise removed)\n"
           "  --record FILE  write one JSON line per round trip of every process of the\n"
           "                 run to FILE, emptied first (sets KANDREL_RECORD to its\n"
           "                 absolute path, and KANDREL_RUN_START_NS)\n"
           "  --replay FILE  wait the round-trip times recorded in FILE, route by route,\n"
           "                 instead of bouncing anything off a hop (sets KANDREL_REPLAY\n"
           "                 to its absolute path); FILE is checked first, and each TCP\n"
           "                 or UDP route of this host needs recorded round trips\n"
           "  --summary FILE count, minimum, median, 95th percentile, maximum and a\n"
           "                 histogram of the times in a timelog or tavik.time file, or\n"
           "                 of each route's round trips in a recording\n"
           "  --plot OUT.svg with --summary of a recording: draw each route's round-trip\n"
           "                 times over the run and their histogram as an SVG picture\n"
           "  --supervise    supervise PROGRAM's system calls instead of preloading the\n"
           "                 library (always so for statically linked and Go programs)\n"
           "  -q             no hop lines before the run and no report after it\n"
           "  --no-check     no echo check of the hops before the run\n"
           "  --strict       exit 125 after the run when a routed send was not delayed,\n"
           "                 or when no send went to a routed destination\n"
           "  --timelog FILE the run's timelog instead of ./timelog\n"
           "  -h, --help     this text\n"
           "  --version      the version of kandrel-run\n"
           "\n"
           "Before the run, kandrel-run reads the route file itself: it says which\n"
           "lines it skips and why, when no route is this host's, and sends one echo to\n"
           "each hop of this host's routes; a hop that does not answer refuses the run.\n"
           "After the run it reports, per route, the sends delayed and those not.\n"
           "\n"
           "PROGRAM is looked up in PATH. libkandrel.so is added in front of any\n"
           "LD_PRELOAD already set, which stays. Statically linked programs and Go\n"
           "programs make their own system calls: kandrel-run supervises them instead,\n"
           "through a system-call filter, and delays their connects and sends to routed\n"
           "destinations alike (no return-value lines, no --replay). Programs that would\n"
           "run set-user-ID or set-group-ID are refused rather than run untraced. A ./timelog that is a symbolic link or not a\n"
           "regular file is refused too, unless --classic; so is such a --record FILE.\n"
           "--record needs the path model or full coverage, --replay full coverage.\n"
           "\n"
           "Exit status: PROGRAM's own; 125 when kandrel-run itself fails or refuses;\n"
           "126 when PROGRAM cannot be executed; 127 when it is not found. --summary\n"
           "and --help exit 0, or 125 on failure. A --replay FILE that is not a\n"
           "recording, or lacks a route of this host, exits 125 before anything starts.\n"
           "See kandrel-run(1), kandrel(7) and kandrel-routes(5).\n";
}

}  // namespace launcher
