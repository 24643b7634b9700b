// Turns the benchmark's samples into its one table. Reads lines "FIGURE PROGRAM VALUE" from
// standard input; each cell is the median of its samples with the minimum and maximum in
// brackets, and the last columns divide the application's median by the floor's and the peer's.
//
//   bench_table IDLE_SECONDS SETTLE_SECONDS < samples
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Row
{
    std::string figure;
    std::string label;
    int decimals;
};

const std::vector<std::string> Programs = {"ours", "stopped", "floor", "peer"};
const std::vector<std::string> Headings = {"ours, server running", "ours, server stopped", "floor",
                                           "peer"};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    // The nearest-rank percentile: the smallest value with that fraction at or below it.
    const size_t rank =
        static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    return values[std::max<size_t>(rank, 1) - 1];
}

std::string number(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string cell(const std::vector<double>& values, int decimals)
{
    if (values.empty())
        return "n/a";
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return number(median(values), decimals) + " [" + number(*low, decimals) + ".." +
           number(*high, decimals) + "]";
}

std::string ratio(const std::vector<double>& ours, const std::vector<double>& other)
{
    if (ours.empty() || other.empty())
        return "n/a";
    const double below = median(other);
    if (below == 0)
        return median(ours) == 0 ? "=" : "-";
    return number(median(ours) / below, 2);
}

} // namespace

int main(int argc, char** argv)
{
    const std::string idle = argc > 1 ? argv[1] : "60";
    const std::string settle = argc > 2 ? argv[2] : "10";
    const std::vector<Row> rows = {
        {"tray", "tray icon shown (XEmbed), ms from start", 1},
        {"tray_sni", "tray icon registered (StatusNotifierItem), ms from start", 1},
        {"rss", "VmRSS after " + settle + " s, MiB", 1},
        {"pss", "Pss after " + settle + " s, MiB", 1},
        {"anon", "anonymous (Pss_Anon) after " + settle + " s, MiB", 1},
        {"threads", "threads after " + settle + " s", 0},
        {"fds", "open descriptors after " + settle + " s", 0},
        {"cpu", "CPU time over " + idle + " s idle, ms", 0},
        {"vcsw", "voluntary ctx switches over " + idle + " s, main thread", 0},
        {"vcsw_all", "voluntary ctx switches over " + idle + " s, all threads", 0},
        {"cpu_nohost", "CPU time over " + idle + " s idle, no tray host, ms", 0},
        {"vcsw_nohost", "voluntary ctx switches over " + idle + " s, no tray host, main thread", 0},
        {"vcsw_all_nohost", "voluntary ctx switches over " + idle + " s, no tray host, all threads",
         0},
        {"cpu_nohost_next", "CPU time over the next " + idle + " s, no tray host, ms", 0},
        {"vcsw_nohost_next", "voluntary ctx switches the next " + idle + " s, no tray host, main",
         0},
        {"vcsw_all_nohost_next",
         "voluntary ctx switches the next " + idle + " s, no tray host, all", 0},
        {"picker", "folder picker dialog shown, ms from start", 1},
        {"listen", "server start request to \"listening on\", ms", 1},
        {"readiness", "\"listening on\" to state running, ms", 1},
        {"crash", "server SIGKILL to state failed, ms", 3},
        {"probe", "probe round trip, ms", 3},
        {"probe_p99", "probe round trip, 99th percentile, ms", 3},
        {"rotate", "log open with rotation (10 MiB + 1 B), ms", 3},
        {"rotate_old", "the same with an older log to remove, ms", 3},
    };

    std::map<std::string, std::map<std::string, std::vector<double>>> samples;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string figure, program;
        double value;
        if (words >> figure >> program >> value)
            samples[figure][program].push_back(value);
    }

    std::vector<std::vector<std::string>> table;
    std::vector<std::string> heading = {"figure"};
    heading.insert(heading.end(), Headings.begin(), Headings.end());
    heading.insert(heading.end(), {"ours/floor", "ours/peer", "runs"});
    table.push_back(heading);
    for (const Row& row : rows) {
        std::vector<std::string> cells = {row.label};
        std::vector<size_t> runs;
        if (row.figure == "probe_p99") {
            // One figure over all probes of the application.
            const std::vector<double>& probes = samples["probe"]["ours"];
            cells.push_back(probes.empty() ? "n/a"
                                           : number(percentile(probes, 0.99), row.decimals));
            cells.insert(cells.end(), {"", "", "", "", ""});
            runs.push_back(probes.size());
        } else {
            auto& byProgram = samples[row.figure];
            for (const std::string& program : Programs) {
                const std::vector<double>& values = byProgram[program];
                const bool measuredAnywhere =
                    std::any_of(Programs.begin(), Programs.end(), [&](const std::string& p) {
                        return p != "ours" && !byProgram[p].empty();
                    });
                // A figure measured for the application alone leaves the other cells empty.
                cells.push_back(values.empty() && !measuredAnywhere && program != "ours"
                                    ? ""
                                    : cell(values, row.decimals));
                if (!values.empty())
                    runs.push_back(values.size());
            }
            const bool compared = !byProgram["floor"].empty() || !byProgram["peer"].empty();
            cells.push_back(compared ? ratio(byProgram["ours"], byProgram["floor"]) : "");
            cells.push_back(compared ? ratio(byProgram["ours"], byProgram["peer"]) : "");
        }
        // "5/5/5/5" says the same as "5".
        std::string count = runs.empty() ? std::string("0") : std::to_string(runs.front());
        if (std::adjacent_find(runs.begin(), runs.end(), std::not_equal_to<>()) != runs.end())
            for (size_t i = 1; i < runs.size(); ++i)
                count.append("/").append(std::to_string(runs[i]));
        cells.push_back(count);
        table.push_back(cells);
    }

    std::vector<size_t> widths(table.front().size(), 0);
    for (const auto& cells : table)
        for (size_t i = 0; i < cells.size(); ++i)
            widths[i] = std::max(widths[i], cells[i].size());
    for (size_t r = 0; r < table.size(); ++r) {
        std::string out;
        for (size_t i = 0; i < table[r].size(); ++i) {
            const std::string& text = table[r][i];
            // The figure's name reads from the left, the numbers line up on the right.
            const std::string pad(widths[i] - text.size(), ' ');
            out += i == 0 ? text + pad : pad + text;
            out += i + 1 < table[r].size() ? "  " : "";
        }
        std::printf("%s\n", out.c_str());
        if (r == 0)
            std::printf("%s\n", std::string(out.size(), '-').c_str());
    }
    return 0;
}
