#pragma once
// Where a history curve stops: between two records that lie much further apart than the
// records around them. The station stores at a fixed period, so a span without any record
// means it did not store (stopped, switched off, storage failing); a line across it would
// read as measured values.
//
// The rule, for the spacing d between record i and record i + 1:
//   typical = the larger of two medians: that of the up to BreakNeighbours spacings before d
//             and that of the up to BreakNeighbours spacings after it;
//   break   when d > BreakFactor × typical, unless d is one of three spacings in a row that
//           are the same within SteadyTolerance (records at a steady period).
// Looking at both sides keeps a change of the storage period whole (5 s records, then 60 s
// ones: the 60 s side is typical for the first 60 s step, and from the third 60 s step on
// the newest steps match each other), while a stop between records of one period always
// breaks, also when only one record follows it (a station started again a moment ago) or one
// record stands inside it. One or two records after a change to a much longer period look
// just like that and break as well. A spacing with no neighbours at all (two records) never
// breaks. SteadyTolerance is the accuracy Qt gives a coarse timer (5 %).
//
// Keys are seconds in record order. Spacings that are not positive (a clock stepped back,
// equal stamps) or that touch a key that is not finite are neither breaks nor neighbours.

#include <QVector>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace RecordBreaks {

constexpr double BreakFactor = 3.0;
constexpr int BreakNeighbours = 8;
constexpr double SteadyTolerance = 0.05;

// The lower median of the usable spacings among up to BreakNeighbours of them, walking from
// spacing `from` by `step` (-1: earlier ones, +1: later ones); 0 when there is none.
template <class KeyAt>
double neighbourMedian(const KeyAt &keyAt, qsizetype spacings, qsizetype from, int step)
{
    std::array<double, BreakNeighbours> seen{};
    int n = 0;
    for (qsizetype j = from; j >= 0 && j < spacings && n < BreakNeighbours; j += step) {
        const double d = keyAt(j + 1) - keyAt(j);
        if (std::isfinite(d) && d > 0)
            seen[size_t(n++)] = d;
    }
    if (n == 0)
        return 0.0;
    const auto middle = seen.begin() + (n - 1) / 2;
    std::nth_element(seen.begin(), middle, seen.begin() + n);
    return *middle;
}

// Indexes i (ascending) such that the curve breaks between key i and key i + 1 of `count`
// keys; keyAt(i) gives key i.
template <class KeyAt>
QVector<qsizetype> breaksAfterKeys(qsizetype count, const KeyAt &keyAt)
{
    QVector<qsizetype> breaks;
    const qsizetype spacings = count - 1;
    if (spacings < 2)
        return breaks;
    // Every typical spacing is at least the smallest one, so only a spacing beyond
    // BreakFactor times that can break: the medians are taken for those alone.
    double smallest = std::numeric_limits<double>::infinity();
    for (qsizetype i = 0; i < spacings; ++i) {
        const double d = keyAt(i + 1) - keyAt(i);
        if (std::isfinite(d) && d > 0 && d < smallest)
            smallest = d;
    }
    if (!std::isfinite(smallest))
        return breaks;
    for (qsizetype i = 0; i < spacings; ++i) {
        const double d = keyAt(i + 1) - keyAt(i);
        if (!std::isfinite(d) || d <= BreakFactor * smallest)
            continue;
        const auto same = [&](qsizetype j) {
            return j >= 0 && j < spacings && std::abs(keyAt(j + 1) - keyAt(j) - d) <= SteadyTolerance * d;
        };
        if ((same(i - 2) && same(i - 1)) || (same(i - 1) && same(i + 1)) || (same(i + 1) && same(i + 2)))
            continue;
        const double typical =
            std::max(neighbourMedian(keyAt, spacings, i - 1, -1), neighbourMedian(keyAt, spacings, i + 1, +1));
        if (typical > 0 && d > BreakFactor * typical)
            breaks.append(i);
    }
    return breaks;
}

inline QVector<qsizetype> breaksAfter(const QVector<double> &keys)
{
    return breaksAfterKeys(keys.size(), [&keys](qsizetype i) { return keys.at(i); });
}

} // namespace RecordBreaks
