// Installation as users get it: `cmake --install` into a scratch prefix and
// the Debian package from `cpack -G DEB`, each holding the libraries, the
// programs and the manual pages, and kandrel-run working from either.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher_test_support.hh"
#include "lines.hh"

namespace {

using launchertest::build_dir;
using launchertest::probe_path;
using launchertest::probe_value;
using testsupport::file_exists;
using testsupport::ProgramResult;
using testsupport::ScratchDir;

const std::string bindir = KANDREL_INSTALL_BINDIR;
const std::string libdir = KANDREL_INSTALL_LIBDIR;
const std::string mandir = KANDREL_INSTALL_MANDIR;

const std::vector<std::string> manual_pages = {"man1/kandrel-run.1", "man1/kandrel-hop.1", "man1/tavik_cli.1",
                                               "man1/tavik_serv.1", "man5/kandrel-routes.5", "man7/kandrel.7"};

// Every file an installation holds, relative to its prefix: every program
// with its compressed manual page, the libraries in the multiarch directory,
// the documentation directory a Debian package has.
std::vector<std::string> installed_files()
{
    std::vector<std::string> files = {
        bindir + "/kandrel-run",        bindir + "/kandrel-hop",
        bindir + "/tavik_cli",          bindir + "/tavik_serv",
        bindir + "/kandrel-path-relay",
        libdir + "/libkandrel.so",      libdir + "/libkandrel-debug.so",
        "share/doc/kandrel/copyright",  "share/doc/kandrel/changelog.gz",
        "share/doc/kandrel/examples/routes", "share/lintian/overrides/kandrel"};
    for (const std::string &page : manual_pages) {
        files.push_back(mandir + "/" + page + ".gz");
    }
    return files;
}

ProgramResult must_run(const std::string &cwd, const std::vector<std::string> &argv)
{
    auto result = testsupport::run_program({.argv = argv, .cwd = cwd, .timeout_ms = 60000});
    EXPECT_EQ(result.exit_status, 0) << argv[0] << " failed:\n" << result.out << result.err;
    return result;
}

// Runs the probe through an installed launcher with the debug companion and
// checks that both libraries came from that installation.
void expect_launcher_works_from(const std::string &prefix, const std::string &cwd)
{
    auto result = must_run(cwd, {prefix + "/" + bindir + "/kandrel-run", "-d", probe_path});
    std::string lib = std::filesystem::canonical(prefix + "/" + libdir).string();
    EXPECT_EQ(probe_value(result.out, "LD_PRELOAD"),
              lib + "/libkandrel.so:" + lib + "/libkandrel-debug.so");
    EXPECT_EQ(probe_value(result.out, "library debug"), "1");
    EXPECT_NE(result.err.find(lines::first_line(lines::udp_socket(0))),
              std::string::npos)
        << result.err;
}

TEST(Install, PrefixHoldsEverythingAndTheLauncherRunsFromIt)
{
    ScratchDir prefix;
    must_run(prefix.path(), {"cmake", "--install", build_dir, "--prefix", prefix.path()});
    for (const auto &file : installed_files()) {
        EXPECT_TRUE(file_exists(prefix.file(file))) << file;
    }
    ScratchDir work;
    expect_launcher_works_from(prefix.path(), work.path());
}

TEST(Install, DebianPackageHoldsTheSameAndWorksWhereverUnpacked)
{
    ScratchDir out;
    must_run(out.path(), {"cpack", "-G", "DEB", "--config", build_dir + "/CPackConfig.cmake",
                          "-B", out.path()});
    std::string deb;
    for (const auto &entry : std::filesystem::directory_iterator(out.path())) {
        if (entry.path().extension() == ".deb") {
            deb = entry.path().string();
        }
    }
    ASSERT_FALSE(deb.empty()) << "no .deb in " << out.path();

    auto fields = must_run(out.path(), {"dpkg-deb", "-f", deb, "Package", "Architecture", "Maintainer"});
    EXPECT_EQ(fields.out, "Package: kandrel\nArchitecture: amd64\n"
                          "Maintainer: kandrel developers <maintainers@kandrel.org>\n");
    EXPECT_EQ(libdir, "lib/x86_64-linux-gnu");
    auto listing = must_run(out.path(), {"dpkg-deb", "-c", deb});
    for (const auto &file : installed_files()) {
        EXPECT_NE(listing.out.find(" ./usr/" + file + "\n"), std::string::npos)
            << file << " not in\n" << listing.out;
    }
    must_run(out.path(), {"dpkg-deb", "-x", deb, out.file("root")});
    expect_launcher_works_from(out.file("root/usr"), out.path());
}

TEST(Install, ManualPagesFormatWithoutWarnings)
{
    for (const std::string &page : manual_pages) {
        std::string path = launchertest::source_dir + "/doc/" + page.substr(page.find('/') + 1);
        auto result = testsupport::run_program({.argv = {"groff", "-man", "-t", "-ww", "-z", path}});
        EXPECT_EQ(result.exit_status, 0) << page;
        EXPECT_EQ(result.err, "") << page;
        EXPECT_GT(testsupport::read_file(path).size(), 1000u) << page;
    }
}

}  // namespace
