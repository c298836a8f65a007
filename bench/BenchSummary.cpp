// Reads the JSON output of the benchmark programs and prints one table:
// each figure next to its limit from the same run, the ratio or value, the
// target and whether it was met; then the machine the run was made on.
//
// Usage: qz-bench-summary FILE.json...
// Exit status: 0 when every figure was measured (met or not), 1 when one is
// missing or its benchmark reported an error.
#include <sys/utsname.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using nlohmann::json;

namespace {

// One benchmark's result: the median over repetitions when there were
// several, else the single run.
struct Result {
    double realTimeNs = 0;
    double cpuTimeNs = 0;
    double bytesPerSecond = 0;
    double cvPercent = -1;  // spread of the repetitions, when there were any
    json counters;
    std::string error;
};

double NanosecondsPer(const std::string& unit)
{
    if (unit == "us")
        return 1e3;
    if (unit == "ms")
        return 1e6;
    if (unit == "s")
        return 1e9;
    return 1.0;
}

Result FromEntry(const json& entry)
{
    Result r;
    const double unit = NanosecondsPer(entry.value("time_unit", "ns"));
    r.realTimeNs = entry.value("real_time", 0.0) * unit;
    r.cpuTimeNs = entry.value("cpu_time", 0.0) * unit;
    r.bytesPerSecond = entry.value("bytes_per_second", 0.0);
    r.counters = entry;
    if (entry.value("error_occurred", false))
        r.error = entry.value("error_message", "error");
    return r;
}

// The benchmark library writes NaN and inf as bare words (the spread of a
// counter that is 0 in every repetition is 0/0), which JSON does not allow.
std::string WithoutNonFiniteNumbers(const std::string& text)
{
    static const std::regex nonFinite(R"(:\s*-?(nan|NaN|inf|Inf|Infinity)\b)");
    return std::regex_replace(text, nonFinite, ": null");
}

// "BM_X/real_time" names the same benchmark as "BM_X": the suffix only says
// which clock it was timed with.
std::string BaseName(const std::string& runName)
{
    const std::string suffix = "/real_time";
    if (runName.size() > suffix.size() &&
        runName.compare(runName.size() - suffix.size(), suffix.size(), suffix) == 0)
        return runName.substr(0, runName.size() - suffix.size());
    return runName;
}

class Results {
public:
    void Load(const std::string& path)
    {
        std::ifstream in(path);
        if (!in)
            throw std::runtime_error("cannot read " + path);
        std::stringstream text;
        text << in.rdbuf();
        json doc = json::parse(WithoutNonFiniteNumbers(text.str()));
        for (const auto& entry : doc.value("benchmarks", json::array()))
            Add(entry);
    }

    std::optional<Result> Find(const std::string& name) const
    {
        auto it = m_results.find(name);
        if (it == m_results.end())
            return std::nullopt;
        return it->second;
    }

private:
    void Add(const json& entry)
    {
        const std::string name = BaseName(entry.value("run_name", entry.value("name", "")));
        const std::string aggregate = entry.value("aggregate_name", "");
        if (entry.value("error_occurred", false)) {
            m_results[name] = FromEntry(entry);
            return;
        }
        if (aggregate == "median") {
            double cv = m_results.count(name) ? m_results[name].cvPercent : -1;
            m_results[name] = FromEntry(entry);
            m_results[name].cvPercent = cv;
        } else if (aggregate == "cv") {
            m_results[name].cvPercent = entry.value("real_time", 0.0) * 100.0;
        } else if (aggregate.empty() && !m_results.count(name)) {
            m_results[name] = FromEntry(entry);
        }
    }

    std::map<std::string, Result> m_results;
};

struct Row {
    std::string figure;
    std::string measured;
    std::string limit;
    std::string value;
    std::string target;
    std::string verdict;  // PASS, MISS or ERROR
};

std::string Format(const char* fmt, double value)
{
    char text[64];
    std::snprintf(text, sizeof(text), fmt, value);
    return text;
}

std::string Throughput(double bytesPerSecond, double cvPercent)
{
    std::string text = Format("%.0f MiB/s", bytesPerSecond / (1024.0 * 1024.0));
    if (cvPercent >= 0)
        text += Format(" (cv %.1f%%)", cvPercent);
    return text;
}

std::string Duration(double ns, double cvPercent)
{
    std::string text = ns >= 1000 ? Format("%.1f us", ns / 1000) : Format("%.1f ns", ns);
    if (cvPercent >= 0)
        text += Format(" (cv %.1f%%)", cvPercent);
    return text;
}

std::string Verdict(bool met) { return met ? "PASS" : "MISS"; }

// Fills in the row for a figure, or marks it ERROR with the reason.
bool Missing(Row& row, const std::optional<Result>& result, const std::string& name)
{
    if (!result) {
        row.value = "no result for " + name;
        row.verdict = "ERROR";
        return true;
    }
    if (!result->error.empty()) {
        row.value = name + ": " + result->error;
        row.verdict = "ERROR";
        return true;
    }
    return false;
}

Row OtaThroughput(const Results& results)
{
    Row row{"OTA stream: downloadOTAdata payload throughput", "", "", "", ">= 0.95", ""};
    auto figure = results.Find("BM_OtaDownload");
    auto limit = results.Find("BM_OtaPlainWrite");
    if (Missing(row, figure, "BM_OtaDownload") || Missing(row, limit, "BM_OtaPlainWrite"))
        return row;
    double ratio = figure->bytesPerSecond / limit->bytesPerSecond;
    row.measured = Throughput(figure->bytesPerSecond, figure->cvPercent);
    row.limit = "plain 4096-byte write() loop: " +
                Throughput(limit->bytesPerSecond, limit->cvPercent);
    row.value = Format("%.3f", ratio);
    row.verdict = Verdict(ratio >= 0.95);
    return row;
}

Row DaemonRoundTrip(const Results& results)
{
    Row row{"Daemon command: GetSWUpgradeStatus round trip", "", "", "", "<= 1.10x", ""};
    auto figure = results.Find("BM_StatusClient");
    auto limit = results.Find("BM_StatusBareCall");
    if (Missing(row, figure, "BM_StatusClient") || Missing(row, limit, "BM_StatusBareCall"))
        return row;
    double ratio = figure->realTimeNs / limit->realTimeNs;
    row.measured = Duration(figure->realTimeNs, figure->cvPercent);
    row.limit = "bare g_dbus_connection_call_sync: " + Duration(limit->realTimeNs, limit->cvPercent);
    row.value = Format("%.3fx", ratio);
    row.verdict = Verdict(ratio <= 1.10);
    return row;
}

Row RecordPacking(const Results& results)
{
    Row row{"Record packing: Serialize of a typical request", "", "-", "", "< 300 ns", ""};
    auto figure = results.Find("BM_SerializeRequest");
    if (Missing(row, figure, "BM_SerializeRequest"))
        return row;
    // Judged on wall-clock time; the CPU time beside it shows how much of
    // that was the code and how much a busy machine.
    row.measured = Duration(figure->realTimeNs, figure->cvPercent) +
                   Format(", cpu %.1f ns", figure->cpuTimeNs);
    row.value = Format("%.1f ns", figure->realTimeNs);
    row.verdict = Verdict(figure->realTimeNs < 300.0);
    return row;
}

Row AllocationsPerFrame(const Results& results)
{
    Row row{"Heap allocations per frame in downloadOTAdata", "", "-", "", "0", ""};
    auto figure = results.Find("BM_OtaDownload");
    if (Missing(row, figure, "BM_OtaDownload"))
        return row;
    if (!figure->counters.contains("allocs_per_frame") ||
        !figure->counters["allocs_per_frame"].is_number()) {
        row.value = "no allocs_per_frame counter";
        row.verdict = "ERROR";
        return row;
    }
    double perFrame = figure->counters["allocs_per_frame"].get<double>();
    row.measured = Format("%.4g", perFrame);
    row.value = row.measured;
    row.verdict = Verdict(perFrame == 0.0);
    return row;
}

std::string CpuModel()
{
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            auto colon = line.find(':');
            if (colon != std::string::npos)
                return line.substr(line.find_first_not_of(" \t", colon + 1));
        }
    }
    return "unknown";
}

// Load averages over 1, 5 and 15 minutes: other work on the machine during
// the run shows here.
std::string LoadAverage()
{
    std::ifstream in("/proc/loadavg");
    double one = 0, five = 0, fifteen = 0;
    if (!(in >> one >> five >> fifteen))
        return "unknown";
    char text[64];
    std::snprintf(text, sizeof(text), "%.2f %.2f %.2f", one, five, fifteen);
    return text;
}

std::string Kernel()
{
    utsname name{};
    if (uname(&name) != 0)
        return "unknown";
    return std::string(name.sysname) + " " + name.release + " " + name.machine;
}

void PrintTable(const std::vector<Row>& rows)
{
    std::cout << "| Figure | Measured | Limit (same run) | Ratio / value | Target | Result |\n"
              << "|---|---|---|---|---|---|\n";
    for (const auto& r : rows)
        std::cout << "| " << r.figure << " | " << r.measured << " | " << r.limit << " | "
                  << r.value << " | " << r.target << " | " << r.verdict << " |\n";
}

void PrintMachine()
{
    std::cout << "\nMachine: " << CpuModel() << ", " << std::thread::hardware_concurrency()
              << " cores, " << Kernel() << "\n"
              << "Load average when summarised (1/5/15 min): " << LoadAverage() << "\n"
              << "Platform log: QZ_PLATFORM_LOG=none in every benchmark process\n";
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << "usage: " << argv[0] << " FILE.json...\n";
        return 2;
    }
    Results results;
    try {
        for (int i = 1; i < argc; ++i)
            results.Load(argv[i]);
    } catch (const std::exception& e) {
        std::cerr << "qz-bench-summary: " << e.what() << "\n";
        return 1;
    }
    std::vector<Row> rows{OtaThroughput(results), DaemonRoundTrip(results),
                          RecordPacking(results), AllocationsPerFrame(results)};
    PrintTable(rows);
    PrintMachine();
    for (const auto& r : rows)
        if (r.verdict == "ERROR")
            return 1;
    return 0;
}
