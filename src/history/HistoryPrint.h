#pragma once
// The printed history table. All positions are printer pixels of the page (600 per inch on
// the station's printers), fonts are "Arial" in points:
//   first page:   at (30, 5) the date and time of printing and at (1000, 5) N + "路:" (16 pt;
//                 the count moves right of a date text too long to end before it);
//   every page:   at (10, 150) "时间" and at (620 + i × ColumnPitch, 150) the channel field
//                 names (8 pt), a rule 2 pixels high from (1, 250) to (W − 10, 252), then one
//                 row every 70 pixels from y = 300 (6 pt): the time stamp at x = 5 and the
//                 channel texts as stored in the title columns;
//   later pages:  the date and time (16 pt) and the same titles and rule, without the "路:".
// ColumnPitch = (W − 600) / 17 rounded, W and H the page's width and height. A page takes
// rows while y ≤ H − 200. Where the records break off (a span without records, by the rule of
// the history chart's curves, RecordBreaks.h), a dashed rule stands across the page 2 pixels
// above the top of the first row after the span, in the middle of the room between the two
// rows' texts; no row moves for it. Sixteen channels fit across a page; with more, channels 17 … 32
// follow as a second band: the whole table again, from a new page, with their own titles.

#include <QDateTime>
#include <QList>
#include <QPageLayout>
#include <QString>

class QPagedPaintDevice;
class QPrinter;

namespace db {
class TQuery;
}

namespace HistoryPrintLayout {
constexpr int DateLeft = 30;
constexpr int DateTop = 5;
constexpr int CountLeft = 1000;
constexpr int CountGap = 60; // least room between the printing date and the count
constexpr int TitleTop = 150;
constexpr int TimeTitleLeft = 10;
constexpr int TimeLeft = 5;
constexpr int FirstColumnLeft = 620;
constexpr int RuleLeft = 1;
constexpr int RuleTop = 250;
constexpr int RuleRightMargin = 10;
constexpr int RuleHeight = 2;
constexpr int FirstRowTop = 300;
constexpr int RowPitch = 70;
constexpr int BreakRuleAbove = 2; // the dashed rule of a span without records, above its row
constexpr int BreakRuleWidth = 3;
constexpr int BottomMargin = 200;
constexpr int ChannelsPerBand = 16;
constexpr int HeaderPoints = 16;
constexpr int TitlePoints = 8;
constexpr int RowPoints = 6;
} // namespace HistoryPrintLayout

// (W − 600) / 17, rounded to the nearest integer.
int columnPitch(int pageWidth);
// Left edge of value column `slot` (0-based within its band).
int columnLeft(int slot, int pitch);
// The channels of each band, in print order: 1 … 16, then 17 … 32 (fewer when N is smaller).
QList<QList<int>> printBands(int channelCount);
// Text of the first page's count line: N + "路:".
QString channelCountText(int channelCount);
// Where the count stands: at x = 1000, or further right when the printing date (16 pt, ending
// at dateRight) reaches that far, as a long date format does at 600 dots per inch.
int countLeft(int dateRight);

// Watches a long print job; the printing routine reports rows done and stops when the
// operator cancels.
class PrintProgress {
public:
    virtual ~PrintProgress() = default;
    virtual void start(int totalRows) = 0;
    // False: the operator cancelled; no further row is printed.
    virtual bool advance(int rowsDone) = 0;
    virtual void finish() = 0;
};

enum class PrintOutcome { Printed, Cancelled };

// Prints the rows of `query` (the header alone when it is not open) for channels 1 … N onto
// `device` (a QPrinter or a QPdfWriter), with `printedAt` in the page headers. A QPrinter set
// to PDF output with a file name prints through printHistoryPdf. A job that cannot start
// throws AppError; any error while printing aborts the job (where the device can), ends
// it and is passed on; a job that does not end cleanly (QPainter::end() fails, or the printer
// is in its error state afterwards) throws AppError too. A cancelled job is aborted where
// the print engine allows.
PrintOutcome printHistoryTable(QPagedPaintDevice &device, const db::TQuery &query, int channelCount,
                               const QDateTime &printedAt, PrintProgress *progress = nullptr);

// The page of a PDF report: layout (size, orientation, margins), dots per inch, document title
// and creator.
struct PdfPage {
    QPageLayout layout;
    int resolution = 600;
    QString title;
    QString creator;
};
PdfPage pdfPageOf(const QPrinter &printer);

// The same table as a PDF file, every write checked. The file appears (or replaces one of the
// same name) only when all of it was written; a failure anywhere, the last bytes included,
// throws AppError ("PDF文件未能写完…" and the system's reason) and leaves no partial file.
// A cancelled report leaves no file either. An existing target that is not a regular file (a
// pipe, /dev/stdout) is written directly.
PrintOutcome printHistoryPdf(const QString &file, const PdfPage &page, const db::TQuery &query, int channelCount,
                             const QDateTime &printedAt, PrintProgress *progress = nullptr);
