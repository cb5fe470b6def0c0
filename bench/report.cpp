// ipam_bench_report: reads the JSON output of ipam_bench and prints the
// ratio table (Markdown), the memory table, and writes one data file per
// workload plus a gnuplot script that plots them all on log-log axes.
//
//   ipam_bench_report results.json plot-dir image.png
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

struct Cell {
    double ns = 0;  // time per operation
    std::map<std::string, double> counters;
};

// side -> workload -> size -> cell
using Results = std::map<std::string, std::map<std::string, std::map<long, Cell>>>;

const std::vector<std::pair<std::string, std::string>> kWorkloads = {
    {"v4_add", "IPv4 add (dispatch callback)"},
    {"v4_del", "IPv4 delete (dispatch callback)"},
    {"v6_add", "IPv6 add (dispatch callback)"},
    {"v6_del", "IPv6 delete (dispatch callback)"},
    {"v4_resync", "IPv4 batch resync, 10% stale (whole batch)"},
    {"v6_resync", "IPv6 batch resync, 10% stale (whole batch)"},
    {"v4_configured", "IPAM4_IsIpAddrConfigured"},
    {"v4_primary", "IPAM4_GetAddrInfoByIfIndex (primary)"},
    {"v4_get", "IPAM4_GetAddrInfo (VRF, address)"},
    {"v6_get", "IPAM6_GetAddrInfo (VRF, address)"},
    {"v6_get_spread", "IPAM6_GetAddrInfo, random interface ids"},
    {"v6_select", "IPAM6_GetAddrInfoByIfIndexAndAddr (source selection)"},
    {"v4_walk", "IPAM4_WalkAddrInfo (one interface)"},
    {"v6_walk", "IPAM6_WalkAddrInfo (one interface)"},
    {"v4_export", "IPv4 table export, 128-record pages (whole table)"},
    {"v6_export", "IPv6 table export, 128-record pages (whole table)"},
};

std::string fmtTime(double ns) {
    char buf[32];
    if (ns <= 0) return "–";
    if (ns < 1e3)
        std::snprintf(buf, sizeof buf, "%.0f ns", ns);
    else if (ns < 1e6)
        std::snprintf(buf, sizeof buf, "%.1f µs", ns / 1e3);
    else if (ns < 1e9)
        std::snprintf(buf, sizeof buf, "%.1f ms", ns / 1e6);
    else
        std::snprintf(buf, sizeof buf, "%.2f s", ns / 1e9);
    return buf;
}

std::string fmtRatio(double a, double b) {
    char buf[32];
    if (a <= 0 || b <= 0) return "–";
    const double r = a / b;
    std::snprintf(buf, sizeof buf, r < 10 ? "%.2f" : "%.0f", r);
    return buf;
}

double toNs(double v, const std::string &unit) {
    if (unit == "us") return v * 1e3;
    if (unit == "ms") return v * 1e6;
    if (unit == "s") return v * 1e9;
    return v;
}

const Cell *find(const Results &res, const std::string &side, const std::string &w, long n) {
    auto s = res.find(side);
    if (s == res.end()) return nullptr;
    auto wl = s->second.find(w);
    if (wl == s->second.end()) return nullptr;
    auto c = wl->second.find(n);
    return c == wl->second.end() ? nullptr : &c->second;
}

double nsOf(const Results &res, const std::string &side, const std::string &w, long n) {
    const Cell *c = find(res, side, w, n);
    return c ? c->ns : 0.0;
}

double counterOf(const Results &res, const std::string &side, const std::string &w, long n,
                 const std::string &name) {
    const Cell *c = find(res, side, w, n);
    if (!c) return -1;
    auto it = c->counters.find(name);
    return it == c->counters.end() ? -1 : it->second;
}

}  // namespace

int main(int argc, char **argv) {
    // --best: of the same benchmark in several files (repeated runs) keep
    // the lowest time, the run the machine disturbed least.
    const bool best = argc > 1 && std::string(argv[1]) == "--best";
    if (argc < 4 + best) {
        std::cerr << "usage: ipam_bench_report [--best] results.json... plot-dir image.png\n"
                     "(a benchmark in a later file replaces the same one in an earlier file;\n"
                     "with --best the lowest time of the files is kept)\n";
        return 2;
    }
    Results res;
    std::set<long> sizes;
    for (int file = 1 + best; file < argc - 2; ++file) {
        std::ifstream in(argv[file]);
        nlohmann::json doc;
        try {
            in >> doc;
        } catch (const std::exception &e) {
            std::cerr << "cannot read " << argv[file] << ": " << e.what() << "\n";
            return 1;
        }
        for (const auto &b : doc.at("benchmarks")) {
            if (b.value("run_type", "iteration") != "iteration" || b.contains("error_occurred"))
                continue;
            // "<side>/<workload>/<n>[/iterations:1][/real_time]"
            std::string name = b.at("name");
            std::vector<std::string> parts;
            std::stringstream ss(name);
            for (std::string p; std::getline(ss, p, '/');) parts.push_back(p);
            if (parts.size() < 3) continue;
            const long n = std::stol(parts[2]);
            Cell cell;
            const std::string unit = b.value("time_unit", "ns");
            // CPU time, which a shared machine disturbs least: of the calling
            // thread, or of the whole process for the work that crosses to a
            // platform thread ("/process_time" benchmarks).
            cell.ns = toNs(b.at("cpu_time").get<double>(), unit);
            cell.counters["wall_ns"] = toNs(b.at("real_time").get<double>(), unit);
            for (auto it = b.begin(); it != b.end(); ++it)
                if (it.value().is_number() && it.key() != "real_time" && it.key() != "cpu_time" &&
                    it.key() != "iterations" && it.key() != "repetitions")
                    cell.counters[it.key()] = it.value().get<double>();
            auto &runs = res[parts[0]][parts[1]];
            if (best && runs.count(n) && runs[n].ns <= cell.ns) continue;
            runs[n] = cell;
            if (n > 0) sizes.insert(n);
        }
    }

    std::cout << "## Time per operation and ratios\n\n"
              << "ratio = ours / theirs: above 1, we are slower.\n\n"
              << "| workload | records | ipam | libnl | ideal | ipam/libnl | ipam/ideal |\n"
              << "|---|---:|---:|---:|---:|---:|---:|\n";
    for (const auto &[w, label] : kWorkloads)
        for (long n : sizes) {
            const double a = nsOf(res, "ipam", w, n), l = nsOf(res, "libnl", w, n),
                         i = nsOf(res, "ideal", w, n);
            if (a <= 0 && l <= 0 && i <= 0) continue;
            std::cout << "| " << label << " | " << n << " | " << fmtTime(a) << " | " << fmtTime(l)
                      << " | " << fmtTime(i) << " | " << fmtRatio(a, l) << " | " << fmtRatio(a, i)
                      << " |\n";
        }

    std::cout << "\n## Allocations per operation (ipam / libnl / ideal)\n\n"
              << "| workload | records | ipam | libnl | ideal |\n|---|---:|---:|---:|---:|\n";
    for (const auto &[w, label] : kWorkloads)
        for (long n : sizes) {
            auto f = [&](const char *side) {
                const double v = counterOf(res, side, w, n, "allocs/op");
                char buf[32];
                if (v < 0) return std::string("–");
                std::snprintf(buf, sizeof buf, "%.2f", v);
                return std::string(buf);
            };
            if (nsOf(res, "ipam", w, n) <= 0) continue;
            std::cout << "| " << label << " | " << n << " | " << f("ipam") << " | " << f("libnl")
                      << " | " << f("ideal") << " |\n";
        }

    std::cout
        << "\n## Platform costs inside our figures\n\n| what | CPU time | wall time |\n|---|---:|---:|\n";
    auto platformRow = [&](const std::string &what, const char *w, long n) {
        if (nsOf(res, "ipam", w, n) <= 0)
            return;  // not run (filtered out, or above the sizes that run it)
        std::cout << "| " << what << " | " << fmtTime(nsOf(res, "ipam", w, n)) << " | "
                  << fmtTime(counterOf(res, "ipam", w, n, "wall_ns")) << " |\n";
    };
    platformRow("one publisher message through the platform thread, ignored by the library",
                "hop_empty", 0);
    platformRow("one take and give of the platform's re-entrant mutex (the database lock)",
                "lock_pair", 0);
    for (long n : sizes) {
        platformRow("IPv4 add through the platform thread, " + std::to_string(n) + " records",
                    "v4_add_hop", n);
        platformRow("IPv4 delete through the platform thread, " + std::to_string(n) + " records",
                    "v4_del_hop", n);
    }

    std::cout
        << "\n## Memory\n\nHeap bytes per stored record (malloc's usable size plus its "
           "8-byte chunk header), against the record's own 60 (IPv4) and 100 (IPv6) bytes.\n\n"
        << "| side | records per family | IPv4 B/record | IPv6 B/record | blocks/record | "
           "fixed B | peak heap (both families) |\n|---|---:|---:|---:|---:|---:|---:|\n";
    for (const char *side : {"ipam", "libnl", "ideal"})
        for (long n : sizes) {
            const Cell *c = find(res, side, "memory", n);
            if (!c) continue;
            auto get = [&](const char *k) {
                auto it = c->counters.find(k);
                return it == c->counters.end() ? 0.0 : it->second;
            };
            char row[256];
            std::snprintf(row, sizeof row,
                          "| %s | %ld | %.0f (%.2fx) | %.0f (%.2fx) | %.2f | %.0f | %.1f MB |\n",
                          side, n, get("v4_bytes/record"), get("v4_bytes/record") / 60.0,
                          get("v6_bytes/record"), get("v6_bytes/record") / 100.0,
                          get("blocks/record"), get("fixed_bytes"), get("peak_heap_bytes") / 1e6);
            std::cout << row;
        }

    // Plot data and script: one panel per workload that ran, one line per
    // side that ran it (gnuplot refuses a line without a single point).
    const std::string dir = argv[argc - 2];
    const char *sides[] = {"ipam", "libnl", "ideal"};
    std::vector<std::string> panels;
    for (const auto &[w, label] : kWorkloads) {
        std::ofstream dat(dir + "/" + w + ".dat");
        dat << "# records ipam libnl ideal (ns per operation, 0 = not run)\n";
        for (long n : sizes)
            dat << n << " " << nsOf(res, "ipam", w, n) << " " << nsOf(res, "libnl", w, n) << " "
                << nsOf(res, "ideal", w, n) << "\n";
        const std::string f = "'" + dir + "/" + w + ".dat'";
        std::string lines;
        for (int col = 0; col < 3; ++col) {
            bool any = false;
            for (long n : sizes) any = any || nsOf(res, sides[col], w, n) > 0;
            if (!any) continue;
            const std::string c = std::to_string(col + 2);
            lines += (lines.empty() ? "" : ", ") + f + " using 1:($" + c + ">0?$" + c +
                     ":1/0) with linespoints lw 2 title '" + sides[col] + "'";
        }
        if (!lines.empty())
            panels.push_back("set title '" + label + "' noenhanced\nplot " + lines + "\n");
    }
    std::ofstream gp(dir + "/plot.gp");
    if (panels.empty()) return 0;  // nothing ran that has a curve
    const size_t cols = panels.size() < 4 ? panels.size() : 4,
                 rows = (panels.size() + cols - 1) / cols;
    std::string xtics;
    for (long n : sizes) xtics += (xtics.empty() ? "" : ", ") + std::to_string(n);
    gp << "set terminal pngcairo size " << (cols < 2 ? 700 : 450 * cols) << "," << 375 * rows
       << " font ',9'\n"
       << "set output '" << argv[argc - 1] << "'\n"
       << "set logscale xy\nset grid\nset key top left\n"
       << "set xlabel 'records per family'\nset ylabel 'ns per operation'\n"
       << "set format y '10^{%L}'\nset xtics (" << xtics << ")\n"
       << "set offsets graph 0.05, graph 0.05, 0, 0\n"
       << "set multiplot layout " << rows << "," << cols
       << " title 'libipam vs libnl-route-3 address cache vs ideal map (shared 2-core machine)'\n";
    for (const std::string &p : panels) gp << p;
    gp << "unset multiplot\n";
    return 0;
}
