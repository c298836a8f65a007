// A progress display: a live bar redrawn in place on a terminal, plain
// lines (one per step of progress) when the output is a pipe or a file.
#ifndef QZ_SWU_CLI_PROGRESS_BAR_H
#define QZ_SWU_CLI_PROGRESS_BAR_H

#include <chrono>
#include <string>

namespace qzcli {

class ProgressBar {
public:
    // plainStep: percentage points between two plain lines.
    ProgressBar(std::string label, bool live, int plainStep);
    ~ProgressBar();

    // percent is clamped to 0..100; detail follows the bar.
    void Show(int percent, const std::string& detail);
    // Ends the bar's line so that later output starts on a fresh one.
    void Finish();

    static bool StdoutIsTerminal();

private:
    int Width() const;

    std::string m_label;
    bool m_live;
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
