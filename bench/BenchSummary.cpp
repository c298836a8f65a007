// Reads the JSON output of the benchmark programs and prints one table:
// each figure next to its limit from the same run, their ratio, the target
// and whether it was met; then the machine the run was made on. No figure
// is judged on absolute time.
//
// Usage: qz-bench-summary FILE.json...
// Exit status: 0 when every figure was measured (met or not), 1 when one is
// missing or its benchmark reported an error.
#include <sys/utsname.h>

#include <algorithm>
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

// The benchmark library writes NaN and inf as bare words (the spread of a
// counter that is 0 in every repetition is 0/0), which JSON does not allow.
std::string WithoutNonFiniteNumbers(const std::string& text)
{
    static const std::regex nonFinite(R"(:\s*-?(nan|NaN|inf|Inf|Infinity)\b)");
    return std::regex_replace(text, nonFinite, ": null");
}

// "BM_X/iterations:3/real_time" names the same benchmark as "BM_X": the
// suffixes only say how it was run and timed.
std::string BaseName(const std::string& runName)
{
    static const std::regex suffixes(R"((/iterations:\d+)|(/real_time))");
    return std::regex_replace(runName, suffixes, "");
}

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

// One benchmark's entries: the aggregates over repetitions by name
// ("median", "mean", "cv", ...), or the single run under "".
struct Benchmark {
    std::map<std::string, json> entries;
    std::string error;

    // The named aggregate, or the single run when there were no repetitions.
    const json* Entry(const std::string& aggregate) const
    {
        auto it = entries.find(aggregate);
        if (it == entries.end())
            it = entries.find("");
        return it == entries.end() ? nullptr : &it->second;
    }

    std::optional<double> Value(const std::string& aggregate, const std::string& field) const
    {
        const json* entry = Entry(aggregate);
        if (entry == nullptr || !entry->contains(field) || !(*entry)[field].is_number())
            return std::nullopt;
        double value = (*entry)[field].get<double>();
        if (field == "real_time" || field == "cpu_time")
            value *= NanosecondsPer(entry->value("time_unit", "ns"));
        return value;
    }

    // Spread of a field over the repetitions, in percent, when known.
    std::optional<double> CvPercent(const std::string& field) const
    {
        auto it = entries.find("cv");
        if (it == entries.end() || !it->second.contains(field) || !it->second[field].is_number())
            return std::nullopt;
        return it->second[field].get<double>() * 100.0;
    }
};

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

    const Benchmark* Find(const std::string& name) const
    {
        auto it = m_benchmarks.find(name);
        return it == m_benchmarks.end() ? nullptr : &it->second;
    }

private:
    void Add(const json& entry)
    {
        Benchmark& b = m_benchmarks[BaseName(entry.value("run_name", entry.value("name", "")))];
        if (entry.value("error_occurred", false))
            b.error = entry.value("error_message", "error");
        b.entries[entry.value("aggregate_name", "")] = entry;
    }

    std::map<std::string, Benchmark> m_benchmarks;
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

std::string WithSpread(std::string text, std::optional<double> cvPercent)
{
    if (cvPercent)
        text += Format(" (cv %.1f%%)", *cvPercent);
    return text;
}

std::string MiBPerSecond(double bytesPerSecond)
{
    return Format("%.0f MiB/s", bytesPerSecond / (1024.0 * 1024.0));
}

std::string Verdict(bool met) { return met ? "PASS" : "MISS"; }

// The benchmark behind a figure, or null with the row marked ERROR.
const Benchmark* Require(Row& row, const Results& results, const std::string& name)
{
    const Benchmark* b = results.Find(name);
    if (b == nullptr)
        row.value = "no result for " + name;
    else if (!b->error.empty())
        row.value = name + ": " + b->error;
    else
        return b;
    row.verdict = "ERROR";
    return nullptr;
}

// Marks the row ERROR when a value the figure needs is absent.
bool Have(Row& row, std::initializer_list<std::optional<double>> values)
{
    for (const auto& v : values) {
        if (!v) {
            row.value = "incomplete benchmark output";
            row.verdict = "ERROR";
            return false;
        }
    }
    return true;
}

// Every figure comes from a paired benchmark, which times the figure and
// its limit in alternating turns in the same run and reports the medians of
// both and their ratio (bench/Paired.h).
struct Paired {
    const Benchmark* b = nullptr;
    double figure = 0, limit = 0, ratio = 0;
};

std::optional<Paired> RequirePaired(Row& row, const Results& results, const std::string& name,
                                    const std::string& figureCounter,
                                    const std::string& limitCounter)
{
    const Benchmark* b = Require(row, results, name);
    if (b == nullptr)
        return std::nullopt;
    auto figure = b->Value("median", figureCounter);
    auto limit = b->Value("median", limitCounter);
    auto ratio = b->Value("median", "ratio");
    if (!Have(row, {figure, limit, ratio}))
        return std::nullopt;
    return Paired{b, *figure, *limit, *ratio};
}

std::string Ratio(const Paired& p, const char* fmt)
{
    return WithSpread(Format(fmt, p.ratio), p.b->CvPercent("ratio"));
}

std::string Microseconds(double value) { return Format("%.1f us", value); }
std::string Nanoseconds(double value) { return Format("%.1f ns", value); }
std::string MicrosecondsPerFrame(double value) { return Format("%.2f us/frame", value); }

// A figure judged against its limit from the same paired benchmark.
struct PairedFigure {
    const char* figure;
    const char* benchmark;
    const char* figureCounter;
    const char* limitCounter;
    const char* limitText;  // what the limit is, before its value
    std::string (*show)(double);
    const char* ratioFormat;
    const char* target;  // "-" for a row given for information only
    double bound;
    bool atLeast;  // the ratio must be at least the bound (else at most)
};

const PairedFigure kOtaStream{"OTA stream: downloadOTAdata payload throughput",
                              "BM_OtaPaired",
                              "client_payload_bytes_per_second",
                              "plain_bytes_per_second",
                              "plain 4096-byte write() loop: ",
                              MiBPerSecond,
                              "%.3f",
                              ">= 0.98",
                              0.98,
                              true};
const PairedFigure kEndToEnd{"OTA end to end: 64 MiB through the library into the reference daemon",
                             "BM_OtaEndToEndPaired",
                             "end_to_end_bytes_per_second",
                             "plain_bytes_per_second",
                             "plain 4096-byte write() loop: ",
                             MiBPerSecond,
                             "%.3f",
                             ">= 0.30",
                             0.30,
                             true};
const PairedFigure kPairedFigures[] = {
    {"Daemon command: GetSWUpgradeStatus round trip", "BM_StatusPaired", "client_us", "bare_us",
     "bare g_dbus_connection_call_sync: ", Microseconds, "%.3fx", "<= 1.10x", 1.10, false},
    {"Client construction: SWUpgradeInterface() and its destruction", "BM_ConstructPaired",
     "client_us", "bare_us", "bare GDBus: connection, XML, register, own, undo: ", Microseconds,
     "%.3fx", "<= 1.20x", 1.20, false},
    {"Record packing: Serialize of a typical request", "BM_SerializePaired", "serialize_ns",
     "floor_ns", "one allocation + memcpy of the packed bytes: ", Nanoseconds, "%.2fx", "<= 2.00x",
     2.0, false},
};
// Not a target: why the client still builds its frame in one buffer.
const PairedFigure kFrameSendWays{"(info) OTA frame as one sendmsg of 3 pieces, copy-free",
                                  "BM_FrameSendPaired",
                                  "pieces_us_per_frame",
                                  "buffer_us_per_frame",
                                  "frame built in one buffer + send(): ",
                                  MicrosecondsPerFrame,
                                  "%.3fx",
                                  "-",
                                  0,
                                  false};

Row PairedRow(const Results& results, const PairedFigure& f, std::optional<Paired>& p)
{
    const bool informative = std::string(f.target) == "-";
    Row row{f.figure, "", "", "", f.target, informative ? "INFO" : ""};
    p = RequirePaired(row, results, f.benchmark, f.figureCounter, f.limitCounter);
    if (!p)
        return row;
    row.measured = f.show(p->figure);
    row.limit = f.limitText + f.show(p->limit);
    row.value = Ratio(*p, f.ratioFormat);
    if (!informative)
        row.verdict = Verdict(f.atLeast ? p->ratio >= f.bound : p->ratio <= f.bound);
    return row;
}

Row PairedRow(const Results& results, const PairedFigure& f)
{
    std::optional<Paired> p;
    return PairedRow(results, f, p);
}

// Besides the ratio: the whole time, when the last frame went, and the
// parts measured alone on the same image.
Row OtaEndToEnd(const Results& results)
{
    std::optional<Paired> p;
    Row row = PairedRow(results, kEndToEnd, p);
    if (!p)
        return row;
    auto send = p->b->Value("median", "client_send_ms");
    auto hash = p->b->Value("median", "sha256_ms");
    auto write = p->b->Value("median", "file_write_ms");
    auto total = p->b->Value("median", "end_to_end_ms");
    auto plain = p->b->Value("median", "plain_ms");
    if (!Have(row, {send, hash, write, total, plain}))
        return row;
    row.measured += Format(" (%.0f ms: ", *total) + Format("last frame sent at %.0f ms; ", *send) +
                    Format("alone: SHA-256 %.0f ms, ", *hash) +
                    Format("file write via page cache+fsync %.0f ms, ", *write) +
                    Format("socket copy %.0f ms)", *plain);
    return row;
}

// The mean, not the median: one allocation in any repetition must show.
// Both client benchmarks count; the larger figure stands.
Row AllocationsPerFrame(const Results& results)
{
    Row row{"Heap allocations per frame in downloadOTAdata", "", "-", "", "0", ""};
    double worst = 0;
    for (const char* name : {"BM_OtaDownload", "BM_OtaPaired"}) {
        const Benchmark* b = Require(row, results, name);
        if (b == nullptr)
            return row;
        auto perFrame = b->Value("mean", "allocs_per_frame");
        if (!Have(row, {perFrame}))
            return row;
        worst = std::max(worst, *perFrame);
    }
    row.measured = Format("%.4g", worst);
    row.value = row.measured;
    row.verdict = Verdict(worst == 0.0);
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
        std::cout << "| " << r.figure << " | " << r.measured << " | " << r.limit << " | " << r.value
                  << " | " << r.target << " | " << r.verdict << " |\n";
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
    std::vector<Row> rows{PairedRow(results, kOtaStream), OtaEndToEnd(results)};
    for (const PairedFigure& figure : kPairedFigures)
        rows.push_back(PairedRow(results, figure));
    rows.push_back(AllocationsPerFrame(results));
    rows.push_back(PairedRow(results, kFrameSendWays));
    PrintTable(rows);
    PrintMachine();
    for (const auto& r : rows)
        if (r.verdict == "ERROR")
            return 1;
    return 0;
}
