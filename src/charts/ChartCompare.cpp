#include "ChartCompare.h"

#include <QDateTime>
#include <QFileInfo>
#include <QImageWriter>
#include <QSaveFile>
#include <algorithm>
#include <cmath>

namespace ChartCompare {

QColor curveColour(int slot)
{
    // Red first (Series1), then colours that stay apart from it and from each other on the
    // grey-to-teal background and its light grid: yellow, blue and magenta (white, once the
    // fourth, vanished against the grid lines).
    static const QColor colours[MaxCurves] = {QColor(255, 0, 0), QColor(255, 230, 0), QColor(0, 40, 220),
                                              QColor(255, 0, 255)};
    return colours[std::clamp(slot, 0, MaxCurves - 1)];
}

CompareStep compareStep(const QList<int> &shown, int channel)
{
    const qsizetype at = shown.indexOf(channel);
    if (at == 0)
        return CompareStep::Keep;
    if (at > 0)
        return CompareStep::Remove;
    return shown.size() >= MaxCurves ? CompareStep::Full : CompareStep::Add;
}

QList<int> channelsForQuery(const QList<int> &shown, int selected)
{
    if (selected < 0)
        return {0};
    if (shown.contains(selected))
        return shown;
    return {selected};
}

std::optional<QCPRange> unionOfLimits(const QList<QPair<double, double>> &limits)
{
    std::optional<QCPRange> range;
    for (const auto &[a, b] : limits) {
        if (!std::isfinite(a) || !std::isfinite(b) || a == b)
            continue;
        const double lower = std::min(a, b);
        const double upper = std::max(a, b);
        if (!range)
            range = QCPRange(lower, upper);
        else
            range = QCPRange(std::min(range->lower, lower), std::max(range->upper, upper));
    }
    if (range && !QCPRange::validRange(*range))
        return std::nullopt;
    return range;
}

QString curveName(const QString &channelName, const QString &fieldName)
{
    const QString name = channelName.trimmed();
    return name.isEmpty() ? fieldName : name;
}

QString pictureFileName(const QStringList &curveNames, const QCPRange &keys)
{
    QString names = curveNames.join(QLatin1Char('+'));
    for (QChar &c : names) {
        if (c.isSpace() || c.category() == QChar::Other_Control || QStringLiteral("/\\:*?\"<>|").contains(c))
            c = QLatin1Char('_');
    }
    const auto stamp = [](double key) {
        return QDateTime::fromMSecsSinceEpoch(qint64(std::llround(key * 1000.0)))
            .toString(QStringLiteral("yyyyMMdd-HHmmss"));
    };
    return names + QLatin1Char('_') + stamp(keys.lower) + QLatin1Char('_') + stamp(keys.upper) + QStringLiteral(".png");
}

bool writePicture(const QImage &image, const QString &file, QString *error)
{
    const auto fail = [error](const QString &text) {
        if (error)
            *error = text;
        return false;
    };
    const QFileInfo target(file);
    // A device or pipe cannot be replaced by a finished file; a picture has no business there.
    if (target.exists() && !target.isFile())
        return fail(QStringLiteral("%1 is not a regular file").arg(file));
    if (image.isNull())
        return fail(QStringLiteral("the chart gave no picture"));
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write %1: %2").arg(file, out.errorString()));
    QImageWriter writer(&out, "png");
    if (!writer.write(image)) {
        out.cancelWriting();
        return fail(QStringLiteral("cannot write %1: %2").arg(file, writer.errorString()));
    }
    // The last buffered bytes are written here: a full disk shows now, not after the rename.
    if (!out.flush()) {
        const QString why = out.errorString();
        out.cancelWriting();
        return fail(QStringLiteral("cannot write %1: %2").arg(file, why));
    }
    if (!out.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(file, out.errorString()));
    return true;
}

} // namespace ChartCompare
