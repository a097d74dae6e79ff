#include "HistoryPrint.h"

#include "HistoryQuery.h"
#include "HistoryTable.h"
#include "RecordBreaks.h"
#include "WindowState.h"
#include "TQuery.h"
#include "Ui.h"

#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QPdfWriter>
#include <QPrinter>
#include <QSaveFile>
#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>

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
            throw AppError(file.isEmpty() ? QStringLiteral("打印作业无法开始。\nThe print job cannot be started.")
                                              : QStringLiteral("无法写入打印文件。\nCannot write %1.").arg(file));
        }
    }

    PrintOutcome run(PrintProgress *progress)
    {
        const QList<QList<int>> bands = printBands(m_channelCount);
        const int rows = m_query.active() ? m_query.recordCount() : 0;
        const int timeField = timeFieldOf(m_query);
        QVector<qsizetype> breaks;
        if (rows > 0) {
            const QList<double> stamps = m_query.columnSeconds(timeField);
            breaks = RecordBreaks::breaksAfterKeys(stamps.size(), [&stamps](qsizetype i) { return stamps.at(i); });
        }
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
            auto nextBreak = breaks.cbegin();
            for (int row = 0; row < rows; ++row) {
                // A page is started only for a row that needs it: no empty page at the end.
                if (y > m_height - BottomMargin) {
                    newPage();
                    header(band, false);
                    y = FirstRowTop;
                }
                if (nextBreak != breaks.cend() && *nextBreak + 1 == row) {
                    breakRule(y - BreakRuleAbove);
                    ++nextBreak;
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

    // Ends the job. A job that does not end cleanly, or a printer left in its error state,
    // is a failed job, not a printed one.
    void finish()
    {
        if (m_painter.isActive() && !m_painter.end())
            throw AppError(QStringLiteral("打印作业未能正常结束，打印结果可能不完整。\n"
                                              "The print job did not end cleanly."));
        const auto *printer = dynamic_cast<const QPrinter *>(&m_device);
        if (printer && printer->printerState() == QPrinter::Error)
            throw AppError(QStringLiteral("打印机报告错误，打印结果可能不完整。\n"
                                              "The printer is in its error state at the end of the job."));
    }

    // Gives up the job: the engine discards it where it can.
    void abort()
    {
        if (!m_painter.isActive())
            return;
        if (auto *printer = dynamic_cast<QPrinter *>(&m_device))
            printer->abort();
        m_painter.end();
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

    // A dashed rule across the page: the records break off here.
    void breakRule(int y)
    {
        const QPen previous = m_painter.pen();
        QPen dashed(Qt::black, BreakRuleWidth, Qt::DashLine, Qt::FlatCap);
        m_painter.setPen(dashed);
        m_painter.drawLine(QPoint(RuleLeft, y), QPoint(m_width - RuleRightMargin, y));
        m_painter.setPen(previous);
    }

    void newPage()
    {
        if (!m_device.newPage())
            throw AppError(QStringLiteral("打印机拒绝开始新的一页，打印已中止。\nThe printer refused a new page."));
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

// A file device that keeps the text of its first failed write: later writes that succeed
// reset QFileDevice's error, and the message should name what went wrong first.
template <class File>
class WriteCheckedFile : public File {
public:
    explicit WriteCheckedFile(const QString &name) : File(name) {}
    QString firstError;

    // Writes what is still buffered; false when any write failed.
    bool flushChecked()
    {
        if (!File::flush())
            note();
        return firstError.isEmpty();
    }

protected:
    qint64 writeData(const char *data, qint64 len) override
    {
        const qint64 written = File::writeData(data, len);
        if (written != len)
            note();
        return written;
    }

private:
    void note()
    {
        if (!firstError.isEmpty())
            return;
        // A short write carries no reason; the next attempt at the bytes still buffered fails
        // with it (EFBIG, ENOSPC, EIO), so the message can name it.
        File::flush();
        firstError = File::errorString().isEmpty() ? QStringLiteral("write error") : File::errorString();
    }
};

// Where a PDF goes. A regular file (or a new one) is written beside its place under a
// temporary name and takes that place only once every byte is written, so a report that fails
// at any point leaves no partial file and a file of the same name as it was. A target that
// exists and is not a regular file (a pipe, /dev/stdout) cannot be replaced and is written
// directly; a failure there is still reported.
class PdfTarget {
public:
    explicit PdfTarget(const QString &file) : m_name(file)
    {
        const QFileInfo info(file);
        QFileDevice *device = nullptr;
        if (info.exists() && !info.isFile() && !info.isDir())
            device = &m_direct.emplace(file);
        else
            device = &m_save.emplace(file);
        if (!device->open(QIODevice::WriteOnly))
            throw AppError(QStringLiteral("无法写入PDF文件。\nCannot write %1: %2").arg(file, device->errorString()));
    }

    QIODevice *device() { return m_save ? static_cast<QIODevice *>(&*m_save) : &*m_direct; }

    // Nothing of the report is kept (the temporary file goes with this object).
    void discard()
    {
        if (m_save)
            m_save->cancelWriting();
    }

    void finish()
    {
        QString failure;
        if (m_save) {
            if (!m_save->flushChecked()) {
                failure = m_save->firstError;
                m_save->cancelWriting();
            } else if (!m_save->commit()) {
                failure = m_save->errorString();
            }
        } else {
            if (!m_direct->flushChecked())
                failure = m_direct->firstError;
            m_direct->close();
        }
        if (!failure.isEmpty())
            throw AppError(QStringLiteral("PDF文件未能写完，报表没有保存。\nWriting %1 failed: %2").arg(m_name, failure));
    }

private:
    QString m_name;
    std::optional<WriteCheckedFile<QSaveFile>> m_save;
    std::optional<WriteCheckedFile<QFile>> m_direct;
};

PrintOutcome printOnDevice(QPagedPaintDevice &device, const db::TQuery &query, int channelCount,
                           const QDateTime &printedAt, PrintProgress *progress)
{
    TablePrinter job(device, query, channelCount, printedAt);
    job.begin();
    PrintOutcome outcome = PrintOutcome::Printed;
    try {
        outcome = job.run(progress);
        if (outcome == PrintOutcome::Cancelled)
            job.abort();
        else
            job.finish();
    } catch (...) {
        job.abort();
        if (progress)
            progress->finish();
        throw;
    }
    if (progress)
        progress->finish();
    return outcome;
}

} // namespace

PrintOutcome printHistoryPdf(const QString &file, const PdfPage &page, const db::TQuery &query, int channelCount,
                             const QDateTime &printedAt, PrintProgress *progress)
{
    PdfTarget target(file);
    PrintOutcome outcome = PrintOutcome::Printed;
    {
        QPdfWriter writer(target.device());
        writer.setResolution(page.resolution);
        writer.setPageLayout(page.layout);
        writer.setTitle(page.title);
        if (!page.creator.isEmpty())
            writer.setCreator(page.creator);
        try {
            outcome = printOnDevice(writer, query, channelCount, printedAt, progress);
        } catch (...) {
            target.discard();
            throw;
        }
    }
    if (outcome == PrintOutcome::Cancelled) {
        target.discard();
        return outcome;
    }
    target.finish();
    return outcome;
}

PdfPage pdfPageOf(const QPrinter &printer)
{
    return {printer.pageLayout(), printer.resolution(), printer.docName(), printer.creator()};
}

PrintOutcome printHistoryTable(QPagedPaintDevice &device, const db::TQuery &query, int channelCount,
                               const QDateTime &printedAt, PrintProgress *progress)
{
    // QPrinter's own PDF output reports a file whose writing failed as printed (its end()
    // never fails and it does not look at the file's errors), so PDF files are written here.
    if (const auto *printer = dynamic_cast<const QPrinter *>(&device);
        printer && printer->outputFormat() == QPrinter::PdfFormat && !printer->outputFileName().isEmpty())
        return printHistoryPdf(printer->outputFileName(), pdfPageOf(*printer), query, channelCount, printedAt,
                               progress);
    return printOnDevice(device, query, channelCount, printedAt, progress);
}
