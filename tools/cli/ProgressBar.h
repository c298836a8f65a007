// A progress display: a live bar redrawn in place on a terminal, plain
// lines (one per step of progress) when the output is a pipe or a file,
// JSON lines in --json mode when asked for, or nothing.
#ifndef QZ_SWU_CLI_PROGRESS_BAR_H
#define QZ_SWU_CLI_PROGRESS_BAR_H

#include <chrono>
#include <string>

namespace qzcli {

enum class BarStyle { kLive, kLines, kJsonLines, kOff };

class ProgressBar {
public:
    // plainStep: percentage points between two plain or JSON lines. A JSON
    // line carries command, "event":"progress", progress and detail.
    ProgressBar(std::string label, BarStyle style, int plainStep, std::string command = {});
    ~ProgressBar();

    // percent is clamped to 0..100; detail follows the bar.
    void Show(int percent, const std::string& detail);
    // Ends the bar's line so that later output starts on a fresh one.
    void Finish();

    static bool StdoutIsTerminal();

private:
    int Width() const;

    void ShowLine(int percent, const std::string& detail);

    std::string m_label;
    BarStyle m_style;
    std::string m_command;
    int m_plainStep;
    int m_lastPlain = -1;
    bool m_drawn = false;
};

// Transfer rate and time left since construction.
class RateMeter {
public:
    RateMeter();
    double Seconds() const;
    double BytesPerSecond(double done) const;
    // "m:ss", or "--:--" while the rate is not yet known.
    std::string TimeLeft(double done, double total) const;

private:
    std::chrono::steady_clock::time_point m_start;
};

}  // namespace qzcli

#endif  // QZ_SWU_CLI_PROGRESS_BAR_H
