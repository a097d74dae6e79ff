#include "HistoryPrint.h"

#include "HistoryQuery.h"
#include "HistoryTable.h"
#include "SharedState.h"
#include "TQuery.h"
#include "Ui.h"

#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QPrinter>
#include <algorithm>
#include <cmath>

using namespace HistoryPrintLayout;

int columnPitch(int pageWidth)
{
    // nearbyint rounds halves to even in the default rounding mode.
    return int(std::nearbyint(double(pageWidth - 600) / 17.0));
}

int columnLeft(int slot, int pitch) { return FirstColumnLeft + slot * pitch; }

QList<QList<int>> printBands(int channelCount)
{
    QList<QList<int>> bands;
    const int n = std::clamp(channelCount, 0, MaxChannels);
    for (int first = 1; first <= n; first += ChannelsPerBand) {
        QList<int> band;
        for (int k = first; k <= std::min(n, first + ChannelsPerBand - 1); ++k)
            band.append(k);
        bands.append(band);
    }
    if (bands.isEmpty())
        bands.append(QList<int>()); // no channel: the time column alone
    return bands;
}

QString channelCountText(int channelCount) { return QString::number(channelCount) + QStringLiteral("路:"); }

int countLeft(int dateRight) { return std::max(CountLeft, dateRight + CountGap); }

namespace {

class TablePrinter {
public:
    TablePrinter(QPagedPaintDevice &device, const db::TQuery &query, int channelCount, const QDateTime &printedAt)
        : m_device(device), m_query(query), m_channelCount(channelCount),
          m_dateText(ui::localDateTimeText(printedAt)), m_width(device.width()), m_height(device.height()),
          m_pitch(columnPitch(m_width))
    {
    }

    void begin()
    {
        if (!m_painter.begin(&m_device)) {
            const auto *printer = dynamic_cast<const QPrinter *>(&m_device);
            const QString file = printer ? printer->outputFileName() : QString();
            throw ui::AppError(file.isEmpty() ? QStringLiteral("The print job cannot be started.")
                                              : QStringLiteral("Cannot write %1.").arg(file));
        }
    }

    PrintOutcome run(PrintProgress *progress)
    {
        const QList<QList<int>> bands = printBands(m_channelCount);
        const int rows = m_query.active() ? m_query.recordCount() : 0;
        const int timeField = timeFieldOf(m_query);
        if (progress)
            progress->start(rows * int(bands.size()));
        int done = 0;
        for (qsizetype b = 0; b < bands.size(); ++b) {
            const QList<int> &band = bands.at(b);
            QList<int> fields;
            for (int k : band)
                fields.append(m_query.fieldIndex(historyFieldName(k)));
            if (b > 0)
                newPage();
            header(band, b == 0);
            int y = FirstRowTop;
            for (int row = 0; row < rows; ++row) {
                // A page is started only for a row that needs it: no empty page at the end.
                if (y > m_height - BottomMargin) {
                    newPage();
                    header(band, false);
                    y = FirstRowTop;
                }
                text(TimeLeft, y, timeText(row, timeField));
                for (qsizetype i = 0; i < fields.size(); ++i)
                    text(columnLeft(int(i), m_pitch), y, fields.at(i) >= 0 ? m_query.textAt(row, fields.at(i)) : QString());
                y += RowPitch;
                ++done;
                if (progress && (done % 200 == 0 || row + 1 == rows) && !progress->advance(done))
                    return PrintOutcome::Cancelled;
            }
        }
        return PrintOutcome::Printed;
    }

    void end()
    {
        if (m_painter.isActive())
            m_painter.end();
    }

    // Gives up the job: the engine discards it where it can; a PDF file is removed.
    void abort()
    {
        auto *printer = dynamic_cast<QPrinter *>(&m_device);
        if (printer)
            printer->abort();
        end();
        if (printer && printer->outputFormat() == QPrinter::PdfFormat && !printer->outputFileName().isEmpty())
            QFile::remove(printer->outputFileName());
    }

private:
    void setFont(int points)
    {
        QFont font(QStringLiteral("Arial"));
        font.setPointSize(points);
        m_painter.setFont(font);
    }

    // Texts stand with their top-left corner at the position, as on the station's printers.
    void text(int x, int y, const QString &s)
    {
        if (!s.isEmpty())
            m_painter.drawText(QPoint(x, y + m_painter.fontMetrics().ascent()), s);
    }

    void header(const QList<int> &band, bool firstPage)
    {
        setFont(HeaderPoints);
        text(DateLeft, DateTop, m_dateText);
        if (firstPage) {
            const int dateRight = DateLeft + m_painter.fontMetrics().horizontalAdvance(m_dateText);
            text(countLeft(dateRight), DateTop, channelCountText(m_channelCount));
        }
        setFont(TitlePoints);
        text(TimeTitleLeft, TitleTop, QStringLiteral("时间"));
        for (qsizetype i = 0; i < band.size(); ++i)
            text(columnLeft(int(i), m_pitch), TitleTop, historyFieldName(band.at(i)));
        m_painter.fillRect(QRect(RuleLeft, RuleTop, m_width - RuleRightMargin - RuleLeft, RuleHeight), Qt::black);
        setFont(RowPoints);
    }

    void newPage()
    {
        if (!m_device.newPage())
            throw ui::AppError(QStringLiteral("The printer refused a new page."));
    }

    QString timeText(int row, int field) const
    {
        const QDateTime at = m_query.dateTimeAt(row, field);
        return at.isValid() ? ui::localDateTimeText(at) : m_query.textAt(row, field);
    }

    QPagedPaintDevice &m_device;
    const db::TQuery &m_query;
    int m_channelCount;
    QString m_dateText;
    int m_width;
    int m_height;
    int m_pitch;
    QPainter m_painter;
};

} // namespace

PrintOutcome printHistoryTable(QPagedPaintDevice &device, const db::TQuery &query, int channelCount,
                               const QDateTime &printedAt, PrintProgress *progress)
{
    TablePrinter job(device, query, channelCount, printedAt);
    job.begin();
    PrintOutcome outcome = PrintOutcome::Printed;
    try {
        outcome = job.run(progress);
    } catch (...) {
        job.abort();
        if (progress)
            progress->finish();
        throw;
    }
    if (outcome == PrintOutcome::Cancelled)
        job.abort();
    else
        job.end();
    if (progress)
        progress->finish();
    return outcome;
}
