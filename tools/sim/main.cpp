// ipam-sim: the workstation simulator of libipam's platform around one host.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ctl.h"
#include "help.h"
#include "ipam.h"
#include "kernel.h"
#include "manpage.h"
#include "parser.h"
#include "printer.h"
#include "runner.h"
#include "serve.h"

namespace {

// The whole file in `text`; 0, or the errno of the failed open or read.
int readFile(const std::string &file, std::string &text) {
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    char buf[8192];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        text.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
    int err = n < 0 ? errno : 0;
    close(fd);
    return err;
}

int runFile(const std::string &file, bool json, bool debug) {
    std::string text;
    if (int err = readFile(file, text)) {
        std::fprintf(stderr, "%s: cannot read the scenario file: %s\n", file.c_str(),
                     std::strerror(err));
        return 2;
    }
    sim::Scenario scenario;
    sim::ParseError error;
    if (!sim::parseScenario(file, text, scenario, error)) {
        std::fprintf(stderr, "%s:%d:%d: %s\n", file.c_str(), error.line, error.col,
                     error.message.c_str());
        return 2;
    }
    for (const auto &[line, message] : scenario.warnings)
        std::fprintf(stderr, "%s:%d: warning: %s\n", file.c_str(), line, message.c_str());
    sim::setUpPlatform(debug);
    sim::Printer printer(stdout, json);
    return sim::runScenario(scenario, printer, stderr);
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"ipam-sim: plays the platform around one libipam host on a workstation"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "ipam-sim " IPAM_VERSION_STRING);

    std::string file;
    bool json = false, debug = false;
    CLI::App *run =
        app.add_subcommand("run", "replay a scenario file and print what the host sees");
    run->add_option("FILE", file, "scenario file")->required();
    run->add_flag("--json", json, "print JSON Lines instead of text");
    run->add_flag("--debug", debug,
                  "switch every debug bit of the library on (its log lines are shown)");
    run->footer(sim::kScenarioHelp);

    sim::KernelOptions kopt;
    CLI::App *kernel = app.add_subcommand("kernel", "mirror this machine's kernel address table");
    kernel->add_flag("--follow", kopt.follow,
                     "follow kernel address changes until SIGINT/SIGTERM; SIGHUP resynchronises");
    kernel->add_option("--query", kopt.queries,
                       "a query form run against the mirrored table (repeatable)");
    kernel->add_flag("--json", kopt.json, "print JSON Lines instead of text");
    kernel->add_flag("--debug", kopt.debug, "switch every debug bit of the library on");
    kernel->footer(sim::kKernelHelp);

    sim::ServeOptions sopt;
    CLI::App *serve = app.add_subcommand(
        "serve",
        "be the publisher and configuration server for host processes ($IPAM_PLATFORM_RUNDIR)");
    serve->add_option("--table", sopt.table, "table file: add4/add6 lines; then commands on stdin");
    serve->add_flag("--kernel", sopt.kernel, "serve this machine's kernel table and follow it");
    serve->add_flag("--hold-end", sopt.holdEnd,
                    "hold each first batch's end until the stdin command release");
    serve->add_option("--queue", sopt.queueBound,
                      "frames a subscriber may have waiting beyond its batch (default 65536)");
    serve->add_option("--queue-bytes", sopt.queueBytes,
                      "bytes a subscriber may have waiting beyond its batch (default 8 MiB)");
    serve->add_flag("--quiet", sopt.quiet,
                    "no '# sent to N subscribers' line after each stdin change");
    serve->footer(sim::kServeHelp);

    sim::CtlOptions copt;
    CLI::App *ctl =
        app.add_subcommand("ctl", "manage running host processes ($IPAM_PLATFORM_RUNDIR)");
    ctl->add_option(
        "ARGS", copt.args,
        "list | PID debug get|set|clear [api event sub rsv db all] | PID export4|export6");
    ctl->add_option("--page", copt.page, "records per export request (default 1000)");
    ctl->add_flag("--json", copt.json, "print JSON Lines");
    ctl->add_option("--wait", copt.wait,
                    "seconds to wait for the host to be ready (for an export: synchronised)");
    ctl->footer(sim::kCtlHelp);

    app.footer(sim::kMainHelp);  // after the subcommands, which would inherit it
    // The build writes ipam-sim(1) with this undocumented form.
    if (argc == 2 && std::strcmp(argv[1], "--manpage") == 0) return sim::printManPage(app, stdout);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &e) {  // --help, --version
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return 2;
    }
    if (*run) return runFile(file, json, debug);
    if (*serve) return sim::runServe(sopt);
    if (*ctl) return sim::runCtl(copt);
    return sim::runKernel(kopt);
}
