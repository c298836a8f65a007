// Paired timing: a figure and its limit measured in alternating turns in
// one run, each turn timed on its own. On a shared machine a turn now and
// then loses the processor for milliseconds; the median of each side's
// turns leaves those out, where a sum would let them decide the ratio.
#ifndef QZ_BENCH_PAIRED_H
#define QZ_BENCH_PAIRED_H

#include <algorithm>
#include <chrono>
#include <vector>

namespace qzbench {

class PairedTimes {
public:
    using Clock = std::chrono::steady_clock;

    // Which side goes first in the next pair: alternates, so that neither
    // side always follows the other.
    bool FigureFirst() { return m_figureFirst = !m_figureFirst; }

    void AddFigure(double seconds) { m_figure.push_back(seconds); }
    void AddLimit(double seconds) { m_limit.push_back(seconds); }

    // Times one call of `work` and files it under the figure or the limit.
    template <typename Work>
    void Time(bool figureTurn, Work&& work)
    {
        const auto start = Clock::now();
        work();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        (figureTurn ? m_figure : m_limit).push_back(seconds);
    }

    double FigureMedian() const { return Median(m_figure); }
    double LimitMedian() const { return Median(m_limit); }
    // Figure over limit: above 1 when the figure takes longer.
    double Ratio() const { return FigureMedian() / LimitMedian(); }

    static double Median(std::vector<double> values)
    {
        if (values.empty())
            return 0;
        const auto middle = values.begin() + static_cast<long>(values.size() / 2);
        std::nth_element(values.begin(), middle, values.end());
        return *middle;
    }

private:
    bool m_figureFirst = false;
    std::vector<double> m_figure;
    std::vector<double> m_limit;
};

}  // namespace qzbench

#endif  // QZ_BENCH_PAIRED_H
