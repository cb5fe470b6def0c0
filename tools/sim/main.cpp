// ipam-sim: the workstation simulator of libipam's platform around one host.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "help.h"
#include "kernel.h"
#include "parser.h"
#include "printer.h"
#include "runner.h"

namespace {

int runFile(const std::string &file, bool json, bool debug) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: cannot read the scenario file\n", file.c_str());
        return 2;
    }
    std::stringstream text;
    text << in.rdbuf();
    sim::Scenario scenario;
    sim::ParseError error;
    if (!sim::parseScenario(file, text.str(), scenario, error)) {
        std::fprintf(stderr, "%s:%d:%d: %s\n", file.c_str(), error.line, error.col,
                     error.message.c_str());
        return 2;
    }
    sim::setUpPlatform(debug);
    sim::Printer printer(stdout, json);
    return sim::runScenario(scenario, printer, stderr);
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"ipam-sim: plays the platform around one libipam host on a workstation"};
    app.require_subcommand(1);

    std::string file;
    bool json = false, debug = false;
    CLI::App *run = app.add_subcommand("run", "replay a scenario file and print what the host sees");
    run->add_option("FILE", file, "scenario file")->required();
    run->add_flag("--json", json, "print JSON Lines instead of text");
    run->add_flag("--debug", debug, "switch every debug bit of the library on (its log lines are shown)");
    run->footer(sim::kScenarioHelp);

    sim::KernelOptions kopt;
    CLI::App *kernel = app.add_subcommand("kernel", "mirror this machine's kernel address table");
    kernel->add_flag("--follow", kopt.follow, "follow kernel address changes until SIGINT/SIGTERM; SIGHUP resynchronises");
    kernel->add_option("--query", kopt.queries, "a query form run against the mirrored table (repeatable)");
    kernel->add_flag("--json", kopt.json, "print JSON Lines instead of text");
    kernel->add_flag("--debug", kopt.debug, "switch every debug bit of the library on");
    kernel->footer(sim::kKernelHelp);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return 2;
    }
    if (*run)
        return runFile(file, json, debug);
    return sim::runKernel(kopt);
}
