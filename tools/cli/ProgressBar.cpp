#include "ProgressBar.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "CliSupport.h"

namespace qzcli {

namespace {

constexpr int kMinBarWidth = 10;
constexpr int kMaxBarWidth = 40;
constexpr int kDefaultColumns = 80;

}  // namespace

ProgressBar::ProgressBar(std::string label, BarStyle style, int plainStep, std::string command)
    : m_label(std::move(label)),
      m_style(style),
      m_command(std::move(command)),
      m_plainStep(std::max(1, plainStep))
{
}

ProgressBar::~ProgressBar() { Finish(); }

bool ProgressBar::StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

int ProgressBar::Width() const
{
    struct winsize ws {};
    int columns = kDefaultColumns;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        columns = ws.ws_col;
    // Room for the label, the percentage and about 40 columns of detail.
    int room = columns - static_cast<int>(m_label.size()) - 50;
    return std::clamp(room, kMinBarWidth, kMaxBarWidth);
}

void ProgressBar::Show(int percent, const std::string& detail)
{
    percent = std::clamp(percent, 0, 100);
    if (m_style == BarStyle::kOff)
        return;
    if (m_style != BarStyle::kLive) {
        // Always the first and the last line; in between one per step.
        bool due = m_lastPlain < 0 || percent == 100 || percent >= m_lastPlain + m_plainStep;
        if (due && percent != m_lastPlain) {
            ShowLine(percent, detail);
            m_lastPlain = percent;
        }
        return;
    }
    int width = Width();
    int filled = percent * width / 100;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), '-');
    char pct[8];
    snprintf(pct, sizeof pct, "%3d%%", percent);
    // \r back to column 0, \e[K clears what a longer earlier line left.
    std::cout << "\r\033[K" << m_label << " [" << bar << "] " << pct;
    if (!detail.empty())
        std::cout << "  " << detail;
    std::cout.flush();
    m_drawn = true;
}

void ProgressBar::ShowLine(int percent, const std::string& detail)
{
    if (m_style == BarStyle::kJsonLines) {
        nlohmann::json event = {
            {"command", m_command}, {"event", "progress"}, {"progress", percent}};
        if (!detail.empty())
            event["detail"] = detail;
        std::cout << JsonLine(event) << std::endl;
        return;
    }
    std::cout << m_label << ": " << percent << "%";
    if (!detail.empty())
        std::cout << "  " << detail;
    std::cout << std::endl;
}

void ProgressBar::Finish()
{
    if (m_style == BarStyle::kLive && m_drawn) {
        std::cout << std::endl;
        m_drawn = false;
    }
}

RateMeter::RateMeter() : m_start(std::chrono::steady_clock::now()) {}

double RateMeter::Seconds() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

double RateMeter::BytesPerSecond(double done) const
{
    double seconds = Seconds();
    return seconds > 0.0 ? done / seconds : 0.0;
}

std::string RateMeter::TimeLeft(double done, double total) const
{
    double rate = BytesPerSecond(done);
    if (rate <= 0.0 || done <= 0.0)
        return "--:--";
    // long long: a slow start over a large image is more seconds than a 32-bit long holds.
    long long left = static_cast<long long>((total - done) / rate + 0.5);
    if (left < 0)
        left = 0;
    char text[32];
    snprintf(text, sizeof text, "%lld:%02lld", left / 60, left % 60);
    return text;
}

}  // namespace qzcli
