// The launcher's pure logic: its command line, LD_PRELOAD composition and
// the library's behaviour variables, where it looks for libraries and
// programs, and the checks that refuse programs the dynamic linker would not
// preload into.
#include <elf.h>
#include <sys/stat.h>

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "launch_options.hh"
#include "library_search.hh"
#include "preload_env.hh"
#include "program_checks.hh"
#include "program_lookup.hh"

namespace {

using namespace launcher;

struct parsed {
    bool ok;
    launch_options options;
    std::string error;
};

parsed parse(const std::vector<std::string> &args)
{
    parsed result;
    result.ok = parse_launch_options(args, result.options, result.error);
    return result;
}

using words = std::vector<std::string>;

TEST(LaunchOptions, ProgramAndItsArgumentsPassUntouched)
{
    auto p = parse({"curl", "-o", "page", "-r", "x", "--", "-d"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.mode, launch_mode::run);
    EXPECT_EQ(p.options.program, (words{"curl", "-o", "page", "-r", "x", "--", "-d"}));
    EXPECT_TRUE(p.options.route_file.empty());
    EXPECT_FALSE(p.options.debug);
}

TEST(LaunchOptions, RouteFileAndDebugInEveryCommonSpelling)
{
    for (const words &args : {words{"-r", "routes", "-d", "prog"}, words{"-d", "-rroutes", "prog"},
                              words{"-dr", "routes", "prog"}, words{"-drroutes", "--", "prog"},
                              words{"--routes", "routes", "--debug", "prog"}, words{"--debug", "--routes=routes", "prog"}}) {
        auto p = parse(args);
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_EQ(p.options.route_file, "routes");
        EXPECT_TRUE(p.options.debug);
        EXPECT_EQ(p.options.program, words{"prog"});
    }
}

TEST(LaunchOptions, CoverageTraceFileAndPayloadChoices)
{
    struct row {
        words args;
        bool classic;
        std::string trace_file;
        bool payload;
    };
    for (const row &r : {row{{"prog"}, false, "", false},
                         row{{"--classic", "prog"}, true, "", false},
                         row{{"--payload", "-o", "t.%p", "prog"}, false, "t.%p", true},
                         row{{"-do/tmp/t", "--classic", "prog"}, true, "/tmp/t", false},
                         row{{"-o", "a", "-o", "b", "prog", "--classic"}, false, "b", false},
                         row{{"--output", "a", "--output=b", "prog"}, false, "b", false}}) {
        auto p = parse(r.args);
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_EQ(p.options.classic, r.classic) << r.args.front();
        EXPECT_EQ(p.options.trace_file, r.trace_file);
        EXPECT_EQ(p.options.payload, r.payload);
        EXPECT_EQ(p.options.program.front(), "prog");
    }
}

TEST(LaunchOptions, DoubleDashLetsAProgramLookLikeAnOption)
{
    auto p = parse({"--", "-weird-name", "a"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.program, (words{"-weird-name", "a"}));
}

TEST(LaunchOptions, UsageMistakesAreNamed)
{
    EXPECT_EQ(parse({}).error, "no program to run");
    EXPECT_EQ(parse({"-d"}).error, "no program to run");
    EXPECT_EQ(parse({"-r"}).error, "option -r needs a route file");
    EXPECT_EQ(parse({"-d", "-r"}).error, "option -r needs a route file");
    EXPECT_EQ(parse({"-x", "prog"}).error, "unknown option -x");
    EXPECT_EQ(parse({"--route", "f", "prog"}).error, "unknown option --route");
    EXPECT_EQ(parse({"--summary"}).error, "option --summary needs a file");
    EXPECT_EQ(parse({"--summary="}).error, "option --summary needs a file");
    EXPECT_FALSE(parse({"--summary", "timelog", "prog"}).ok);
    EXPECT_FALSE(parse({"-d", "--summary", "timelog"}).ok);
    EXPECT_FALSE(parse({"--classic", "--summary", "timelog"}).ok);
    EXPECT_EQ(parse({"-o"}).error, "option -o needs a trace file");
    EXPECT_EQ(parse({"-o", "", "prog"}).error, "option -o needs a trace file");
    EXPECT_EQ(parse({"-r", "a", "-r"}).error, "option -r needs a route file");
    EXPECT_EQ(parse({"--classic", "--payload", "prog"}).error,
              "--payload is for full coverage; the classic routing always bounces the "
              "program's own bytes");
}

TEST(LaunchOptions, RecordReplayAndPlotMistakes)
{
    struct row {
        words args;
        std::string error;
    };
    const std::string classic = "--record and --replay are for full coverage, not --classic";
    const std::string supervised =
        "--supervise routes as full coverage does, without --classic, --payload or --replay";
    const std::string plot_alone = "--plot draws the recording that --summary reads: "
                                   "kandrel-run --summary FILE --plot OUT.svg";
    const std::string summary_only = "--summary takes one file, --plot and no other option or program";
    const std::string path_alone =
        "--path cannot be used with --classic, --per-send, --payload, --supervise or --replay";
    for (const row &r : {row{{"--record"}, "option --record needs a file"},
                         row{{"--replay=", "prog"}, "option --replay needs a file"},
                         row{{"--summary", "r", "--plot"}, "option --plot needs a file"},
                         row{{"--record", "r", "--classic", "prog"}, classic},
                         row{{"--classic", "--replay", "r", "prog"}, classic},
                         row{{"--supervise", "--replay", "r", "prog"}, supervised},
                         row{{"--classic", "--supervise", "prog"}, supervised},
                         row{{"--record", "a", "--replay", "b", "prog"},
                             "--record and --replay cannot be used together"},
                         row{{"--path", "--classic", "prog"}, path_alone},
                         row{{"--path", "--replay", "r", "prog"}, path_alone},
                         row{{"--payload", "--path", "prog"}, path_alone},
                         row{{"--per-send", "--classic", "prog"}, "--per-send cannot be used with --classic"},
                         row{{"--plot", "p.svg", "prog"}, plot_alone},
                         row{{"--plot", "p.svg"}, plot_alone},
                         row{{"--summary", "r", "--record", "x"}, summary_only},
                         row{{"--replay", "r", "--summary", "r"}, summary_only},
                         row{{"--summary", "r", "--plot", "r.png"},
                             "--plot draws SVG: give it a name ending in .svg, not r.png"}}) {
        EXPECT_EQ(parse(r.args).error, r.error) << r.args.front();
    }
    auto plotted = parse({"--plot=p.svg", "--summary", "run.rec"});
    ASSERT_TRUE(plotted.ok) << plotted.error;
    EXPECT_EQ(plotted.options.mode, launch_mode::summary);
    EXPECT_EQ(plotted.options.plot_file, "p.svg");
}

TEST(LaunchOptions, ChecksAndReportChoices)
{
    auto p = parse({"-qd", "--no-check", "--strict", "--timelog=run.log", "prog"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_TRUE(p.options.quiet && p.options.debug && p.options.no_check && p.options.strict);
    EXPECT_EQ(p.options.timelog_file, "run.log");
    const std::string classic = "--strict and --timelog are for full coverage, not --classic";
    EXPECT_EQ(parse({"--classic", "--strict", "prog"}).error, classic);
    EXPECT_EQ(parse({"--classic", "--timelog", "t", "prog"}).error, classic);
    EXPECT_EQ(parse({"--timelog"}).error, "option --timelog needs a file");
    EXPECT_FALSE(parse({"-q", "--summary", "timelog"}).ok);
}

TEST(LaunchOptions, SummaryAndHelpModes)
{
    auto summary = parse({"--summary", "timelog"});
    ASSERT_TRUE(summary.ok) << summary.error;
    EXPECT_EQ(summary.options.mode, launch_mode::summary);
    EXPECT_EQ(summary.options.summary_file, "timelog");
    EXPECT_EQ(parse({"--summary=tavik.time"}).options.summary_file, "tavik.time");
    EXPECT_EQ(parse({"--help"}).options.mode, launch_mode::help);
    EXPECT_EQ(parse({"-h"}).options.mode, launch_mode::help);
    EXPECT_EQ(parse({"--version", "prog"}).options.mode, launch_mode::version);
    // Asking for help wins over whatever follows on the line.
    EXPECT_EQ(parse({"--help", "-x"}).options.mode, launch_mode::help);
    EXPECT_EQ(parse({"-d", "--help", "--summary", "f"}).options.mode, launch_mode::help);
}

TEST(PreloadEnv, OursComeFirstAndTheUsersStay)
{
    EXPECT_EQ(composed_preload({"/l/libkandrel.so"}, nullptr), "/l/libkandrel.so");
    EXPECT_EQ(composed_preload({"/l/libkandrel.so"}, ""), "/l/libkandrel.so");
    EXPECT_EQ(composed_preload({"/l/libkandrel.so", "/l/libkandrel-debug.so"}, "/u/a.so b.so"),
              "/l/libkandrel.so:/l/libkandrel-debug.so:/u/a.so b.so");
}

TEST(PreloadEnv, OptionsChooseTheLibrarysBehaviour)
{
    using settings = std::vector<env_setting>;
    const env_setting path{"KANDREL_COVERAGE", "path"};
    const env_setting full{"KANDREL_COVERAGE", "full"};
    const env_setting classic{"KANDREL_COVERAGE", std::nullopt};
    const env_setting filler{"KANDREL_ECHO_PAYLOAD", std::nullopt};
    const env_setting payload{"KANDREL_ECHO_PAYLOAD", "1"};
    // Recording and replay variables are removed unless asked for.
    const settings none{{"KANDREL_RECORD", std::nullopt},
                        {"KANDREL_RUN_START_NS", std::nullopt},
                        {"KANDREL_REPLAY", std::nullopt}};
    auto with = [](settings head, const settings &tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    struct row {
        words args;
        settings expected;
    };
    for (const row &r : {
             row{{"prog"}, with({path, filler}, none)},
             row{{"--path", "prog"}, with({path, filler}, none)},
             row{{"--per-send", "prog"}, with({full, filler}, none)},
             row{{"--classic", "prog"}, with({classic, filler}, none)},
             row{{"--payload", "prog"}, with({full, payload}, none)},
             row{{"--supervise", "prog"}, with({full, filler}, none)},
             row{{"-o", "trace.%p", "prog"},
                 with(with({path, filler}, none), {{"KANDREL_TRACE_FILE", "/home/u/trace.%p"}})},
             row{{"--classic", "-o", "/var/t", "prog"},
                 with(with({classic, filler}, none), {{"KANDREL_TRACE_FILE", "/var/t"}})},
             row{{"--record", "run.rec", "prog"},
                 {path, filler, {"KANDREL_RECORD", "/home/u/run.rec"},
                  {"KANDREL_RUN_START_NS", "123456789012"}, {"KANDREL_REPLAY", std::nullopt}}},
             row{{"--replay=/r/run.rec", "prog"},
                 {full, filler, {"KANDREL_RECORD", std::nullopt},
                  {"KANDREL_RUN_START_NS", std::nullopt}, {"KANDREL_REPLAY", "/r/run.rec"}}},
         }) {
        auto p = parse(r.args);
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_EQ(behaviour_settings(p.options, "/home/u", 123456789012), r.expected)
            << r.args.front();
    }
}

TEST(PreloadEnv, OnlyAbsoluteSeparatorFreePathsArePreloadable)
{
    EXPECT_TRUE(preloadable_path("/usr/lib/libkandrel.so"));
    EXPECT_FALSE(preloadable_path("lib/libkandrel.so"));
    EXPECT_FALSE(preloadable_path("/my libs/libkandrel.so"));
    EXPECT_FALSE(preloadable_path("/a:b/libkandrel.so"));
    EXPECT_FALSE(preloadable_path("/a\tb/libkandrel.so"));
}

TEST(PreloadEnv, RelativePathsAreJoinedToTheWorkingDirectory)
{
    EXPECT_EQ(absolute_path("/home/u", "routes"), "/home/u/routes");
    EXPECT_EQ(absolute_path("/", "routes"), "/routes");
    EXPECT_EQ(absolute_path("/home/u", "../r/routes"), "/home/u/../r/routes");
    EXPECT_EQ(absolute_path("/home/u", "/etc/routes"), "/etc/routes");
}

TEST(LibrarySearch, InstalledDirectoryFirstThenTheBuildTree)
{
    EXPECT_EQ(library_dirs("/usr/bin", "../lib/x86_64-linux-gnu"),
              (words{"/usr/bin/../lib/x86_64-linux-gnu", "/usr/bin/../kandrel", "/usr/bin"}));
    EXPECT_EQ(library_dirs("/b/launcher", "/opt/k/lib"),
              (words{"/opt/k/lib", "/b/launcher/../kandrel", "/b/launcher"}));
}

TEST(LibrarySearch, DirectoryOfAPath)
{
    EXPECT_EQ(directory_of("/usr/bin/kandrel-run"), "/usr/bin");
    EXPECT_EQ(directory_of("/kandrel-run"), "/");
    EXPECT_EQ(directory_of("kandrel-run"), ".");
}

TEST(ProgramLookup, PathIsSearchedInOrder)
{
    EXPECT_EQ(program_candidates("curl", "/usr/local/bin:/usr/bin"),
              (words{"/usr/local/bin/curl", "/usr/bin/curl"}));
    // Empty entries, at either end or in the middle, mean the current directory.
    EXPECT_EQ(program_candidates("p", ":/bin::"), (words{"./p", "/bin/p", "./p", "./p"}));
    EXPECT_EQ(program_candidates("p", nullptr), (words{"/bin/p", "/usr/bin/p"}));
}

TEST(ProgramLookup, NameWithASlashIsNotSearched)
{
    EXPECT_EQ(program_candidates("./prog", "/bin"), words{"./prog"});
    EXPECT_EQ(program_candidates("/usr/bin/curl", "/bin"), words{"/usr/bin/curl"});
}

// An ELF file's first bytes, built field by field.
template <typename Ehdr, typename Phdr>
class elf_image {
public:
    elf_image(unsigned char elf_class, std::uint16_t machine, std::vector<std::uint32_t> types)
    {
        Ehdr ehdr{};
        std::memcpy(ehdr.e_ident, ELFMAG, SELFMAG);
        ehdr.e_ident[EI_CLASS] = elf_class;
        ehdr.e_ident[EI_DATA] = ELFDATA2LSB;
        ehdr.e_machine = machine;
        ehdr.e_phoff = sizeof(Ehdr);
        ehdr.e_phentsize = sizeof(Phdr);
        ehdr.e_phnum = static_cast<std::uint16_t>(types.size());
        header.resize(sizeof ehdr);
        std::memcpy(header.data(), &ehdr, sizeof ehdr);
        for (auto type : types) {
            Phdr phdr{};
            phdr.p_type = type;
            auto at = program_headers.size();
            program_headers.resize(at + sizeof phdr);
            std::memcpy(program_headers.data() + at, &phdr, sizeof phdr);
        }
    }
    std::vector<unsigned char> header;
    std::vector<unsigned char> program_headers;
};

using elf64 = elf_image<Elf64_Ehdr, Elf64_Phdr>;
using elf32 = elf_image<Elf32_Ehdr, Elf32_Phdr>;

const elf_identity library64{ELFCLASS64, ELFDATA2LSB, EM_X86_64};

program_kind kind_of(const std::vector<unsigned char> &header,
                     const std::vector<unsigned char> &program_headers)
{
    return classify_program(header, program_headers, library64);
}

TEST(ProgramChecks, InterpreterMeansDynamic)
{
    elf64 program(ELFCLASS64, EM_X86_64, {PT_PHDR, PT_INTERP, PT_LOAD, PT_DYNAMIC});
    EXPECT_EQ(kind_of(program.header, program.program_headers), program_kind::dynamic);
}

TEST(ProgramChecks, NoInterpreterMeansStaticEvenWhenPositionIndependent)
{
    elf64 plain_static(ELFCLASS64, EM_X86_64, {PT_LOAD, PT_LOAD, PT_NOTE, PT_TLS});
    EXPECT_EQ(kind_of(plain_static.header, plain_static.program_headers), program_kind::static_elf);
    // A static-pie has a dynamic section of its own but still no interpreter.
    elf64 static_pie(ELFCLASS64, EM_X86_64, {PT_LOAD, PT_DYNAMIC, PT_GNU_RELRO});
    EXPECT_EQ(kind_of(static_pie.header, static_pie.program_headers), program_kind::static_elf);
}

TEST(ProgramChecks, OtherClassOrMachineIsForeign)
{
    elf32 program32(ELFCLASS32, EM_386, {PT_INTERP});
    EXPECT_EQ(kind_of(program32.header, program32.program_headers), program_kind::foreign);
    elf64 arm(ELFCLASS64, EM_AARCH64, {PT_INTERP});
    EXPECT_EQ(kind_of(arm.header, arm.program_headers), program_kind::foreign);
    elf64 big_endian(ELFCLASS64, EM_X86_64, {PT_INTERP});
    big_endian.header[EI_DATA] = ELFDATA2MSB;
    EXPECT_EQ(kind_of(big_endian.header, big_endian.program_headers), program_kind::foreign);
}

TEST(ProgramChecks, ThirtyTwoBitProgramAgainstThirtyTwoBitLibrary)
{
    elf32 program(ELFCLASS32, EM_386, {PT_LOAD, PT_INTERP});
    elf_identity library32{ELFCLASS32, ELFDATA2LSB, EM_386};
    EXPECT_EQ(classify_program(program.header, program.program_headers, library32),
              program_kind::dynamic);
    elf32 static_program(ELFCLASS32, EM_386, {PT_LOAD});
    EXPECT_EQ(classify_program(static_program.header, static_program.program_headers, library32),
              program_kind::static_elf);
}

TEST(ProgramChecks, ScriptsAndDamagedFilesAreLeftToExec)
{
    std::vector<unsigned char> script{'#', '!', '/', 'b', 'i', 'n', '/', 's', 'h', '\n'};
    EXPECT_EQ(kind_of(script, {}), program_kind::unknown);
    EXPECT_EQ(kind_of({}, {}), program_kind::unknown);
    elf64 program(ELFCLASS64, EM_X86_64, {PT_LOAD, PT_INTERP});
    auto cut = program.program_headers;
    cut.resize(cut.size() - 1);
    EXPECT_EQ(kind_of(program.header, cut), program_kind::unknown);
    auto short_header = program.header;
    short_header.resize(20);
    EXPECT_EQ(kind_of(short_header, program.program_headers), program_kind::unknown);
}

TEST(ProgramChecks, ProgramHeaderExtentComesFromTheHeader)
{
    elf64 program(ELFCLASS64, EM_X86_64, {PT_LOAD, PT_INTERP, PT_DYNAMIC});
    table_extent extent;
    ASSERT_TRUE(program_header_extent(program.header, extent));
    EXPECT_EQ(extent.offset, sizeof(Elf64_Ehdr));
    EXPECT_EQ(extent.size, 3 * sizeof(Elf64_Phdr));
    elf32 program32(ELFCLASS32, EM_386, {PT_INTERP});
    ASSERT_TRUE(program_header_extent(program32.header, extent));
    EXPECT_EQ(extent.offset, sizeof(Elf32_Ehdr));
    EXPECT_EQ(extent.size, sizeof(Elf32_Phdr));
    EXPECT_FALSE(program_header_extent(std::vector<unsigned char>{'#', '!'}, extent));
}

TEST(ProgramChecks, ReadsTheIdentityOfARealObject)
{
    elf64 program(ELFCLASS64, EM_X86_64, {});
    elf_identity identity;
    ASSERT_TRUE(read_elf_identity(program.header, identity));
    EXPECT_EQ(identity, library64);
    program.header[EI_CLASS] = 9;
    EXPECT_FALSE(read_elf_identity(program.header, identity));
}

constexpr uid_t caller = 1000;
constexpr gid_t caller_group = 100;

secure_reason reason(mode_t mode, uid_t owner, gid_t group, bool caps = false,
                     uid_t real_uid = caller)
{
    return secure_execution_reason({S_IFREG | mode, owner, group, caps}, real_uid, caller_group);
}

TEST(ProgramChecks, SetUserIdToSomeoneElseIsSecureExecution)
{
    EXPECT_EQ(reason(04755, 0, 0), secure_reason::set_user_id);
    // Set-user-ID to the caller changes nothing: root running a root-owned one, for instance.
    EXPECT_EQ(reason(04755, caller, 0), secure_reason::none);
    EXPECT_EQ(reason(04755, 0, 0, false, 0), secure_reason::none);
}

TEST(ProgramChecks, SetGroupIdNeedsGroupExecuteAndAnotherGroup)
{
    EXPECT_EQ(reason(02755, caller, 0), secure_reason::set_group_id);
    EXPECT_EQ(reason(02755, caller, caller_group), secure_reason::none);
    // Without group execute the bit means mandatory locking, not a group change.
    EXPECT_EQ(reason(02745, caller, 0), secure_reason::none);
}

TEST(ProgramChecks, FileCapabilitiesCountOnlyForOrdinaryUsers)
{
    EXPECT_EQ(reason(0755, 0, 0, true), secure_reason::capabilities);
    EXPECT_EQ(reason(0755, 0, 0, true, 0), secure_reason::none);
    EXPECT_EQ(reason(0755, 0, 0), secure_reason::none);
}

}  // namespace
