// The printed history table at 600 dots per inch, printed to PDF and read back with pdftotext:
// texts, positions (in printer pixels from the page's printable corner), page breaks, the
// dashed rule of a span without records (read from the page's pixels), the second band for
// channels 17 … 32, the header alone for a closed query, failures and cancel;
// a PDF whose writing fails on the way or at its end (a file size limit) is an error for the
// window's printing and for the headless report, and leaves no partial file.

#include "HistoryCommand.h"
#include "HistoryFixture.h"
#include "HistoryPrint.h"
#include "HistoryQuery.h"
#include "WindowState.h"
#include "TQuery.h"
#include "Ui.h"

#include <QDir>
#include <QPrinter>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtTest>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const QDate Day(2024, 3, 5);
const QDateTime PrintedAt(QDate(2024, 3, 6), QTime(8, 30, 15));
constexpr double PointsPerPixel = 72.0 / 600.0;

struct Word {
    double x;
    double y;
    QString text;
};
using Page = QList<Word>;

// The words of every page, positions in printer pixels from the printable area's corner.
QList<Page> readPdf(const QString &pdf, const QPointF &originPt)
{
    QProcess p;
    p.start(QStandardPaths::findExecutable(QStringLiteral("pdftotext")), {QStringLiteral("-bbox"), pdf, QStringLiteral("-")});
    p.waitForFinished(60000);
    const QString html = QString::fromUtf8(p.readAllStandardOutput());
    QList<Page> pages;
    static const QRegularExpression word(QStringLiteral("<word xMin=\"([0-9.]+)\" yMin=\"([0-9.]+)\"[^>]*>([^<]*)</word>"));
    for (const QString &chunk : html.split(QStringLiteral("<page ")).mid(1)) {
        Page page;
        for (auto it = word.globalMatch(chunk); it.hasNext();) {
            const auto m = it.next();
            page.append({(m.captured(1).toDouble() - originPt.x()) / PointsPerPixel,
                         (m.captured(2).toDouble() - originPt.y()) / PointsPerPixel, m.captured(3)});
        }
        pages.append(page);
    }
    return pages;
}

const Word *find(const Page &page, const QString &text)
{
    for (const Word &w : page)
        if (w.text == text)
            return &w;
    return nullptr;
}

int countOf(const Page &page, const QString &text)
{
    int n = 0;
    for (const Word &w : page)
        n += w.text == text;
    return n;
}

// Records every 5 s from 09:00 on Day; channel k of record i holds k * 1000 + i.
QList<FixtureRecord> records(int count, int channels)
{
    QList<FixtureRecord> out;
    for (int i = 0; i < count; ++i) {
        QStringList values;
        for (int k = 1; k <= channels; ++k)
            values.append(QString::asprintf("%8.3f", k * 1000.0 + i));
        out.append({fixtureStamp(QDateTime(Day, QTime(9, 0)).addSecs(5 * i)), values});
    }
    return out;
}

QString value(int channel, int row) { return QString::asprintf("%.3f", channel * 1000.0 + row); }

// A soft limit on the size of the files this process writes (RLIMIT_FSIZE): a write beyond
// it fails with EFBIG, as writes fail on a full disk, and it holds for root too. SIGXFSZ,
// which would end the process, is ignored meanwhile.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_saved = getrlimit(RLIMIT_FSIZE, &m_old) == 0;
        m_handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = m_old;
        lowered.rlim_cur = bytes;
        m_set = m_saved && setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit()
    {
        if (m_saved)
            setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_handler);
    }
    bool isSet() const { return m_set; }

private:
    rlimit m_old{};
    bool m_saved = false;
    bool m_set = false;
    void (*m_handler)(int) = SIG_DFL;
};

void pdf(QPrinter &printer, const QString &file)
{
    printer.setResolution(600);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setPageSize(QPageSize(QPageSize::A4));
    printer.setOutputFileName(file);
}

QByteArray contents(const QString &file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestHistoryPrint : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    int m_run = 0;

    // Prints `rows` records with `channels` stored and `n` as ChannelCount; returns the pages.
    QList<Page> print(int rows, int channels, int n, int *pageHeight = nullptr, int *pageWidth = nullptr)
    {
        return printRecords(records(rows, channels), n, pageHeight, pageWidth);
    }

    // The same for given records; *pdfFile and *origin (the printable corner, in points) say
    // where the PDF is and how to read its pixels.
    QList<Page> printRecords(const QList<FixtureRecord> &fixture, int n, int *pageHeight = nullptr,
                             int *pageWidth = nullptr, QString *pdfFile = nullptr, QPointF *origin = nullptr)
    {
        const QString home = QDir(m_tmp.path()).filePath(QStringLiteral("run%1").arg(++m_run));
        QDir().mkpath(home);
        if (!writeFixture(home, fixture).isEmpty())
            return {};
        db::TQuery q;
        runHistoryQuery(q, home, QDateTime(Day, QTime(0, 0)), QDateTime(Day, QTime(23, 59, 59)));
        QPrinter printer(QPrinter::HighResolution);
        printer.setResolution(600);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setPageSize(QPageSize(QPageSize::A4));
        const QString pdf = QDir(home).filePath(QStringLiteral("table.pdf"));
        printer.setOutputFileName(pdf);
        if (printHistoryTable(printer, q, n, PrintedAt) != PrintOutcome::Printed)
            return {};
        if (pageHeight)
            *pageHeight = printer.height();
        if (pageWidth)
            *pageWidth = printer.width();
        if (pdfFile)
            *pdfFile = pdf;
        if (origin)
            *origin = printer.pageRect(QPrinter::Point).topLeft();
        return readPdf(pdf, printer.pageRect(QPrinter::Point).topLeft());
    }

    static int rowsPerPage(int pageHeight)
    {
        int rows = 0;
        for (int y = 300; y <= pageHeight - 200; y += 70)
            ++rows;
        return rows;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty(), "pdftotext (poppler-utils) is needed");
        ui::installFontSubstitutions();
    }

    void columnPitch_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("pitch");
        QTest::newRow("A4 at 600 dpi, 4792 px") << 4792 << 247; // 246.59
        QTest::newRow("letter at 600 dpi, 5100 px") << 5100 << 265; // 264.71
        QTest::newRow("rounds down below a half") << 600 + 17 * 10 + 8 << 10; // 10.47
        QTest::newRow("rounds up above a half") << 600 + 17 * 10 + 9 << 11; // 10.53
        QTest::newRow("exact") << 600 + 17 * 200 << 200;
        QTest::newRow("no room") << 600 << 0;
    }
    void columnPitch()
    {
        QFETCH(int, width);
        QFETCH(int, pitch);
        QCOMPARE(::columnPitch(width), pitch);
        QCOMPARE(columnLeft(0, pitch), 620);
        QCOMPARE(columnLeft(7, pitch), 620 + 7 * pitch);
    }

    void bands()
    {
        const QList<int> first16 = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
        QCOMPARE(printBands(8), QList<QList<int>>({{1, 2, 3, 4, 5, 6, 7, 8}}));
        QCOMPARE(printBands(16), QList<QList<int>>({first16}));
        QCOMPARE(printBands(20), QList<QList<int>>({first16, {17, 18, 19, 20}}));
        QCOMPARE(printBands(32).size(), 2);
        QCOMPARE(printBands(32).at(1).first(), 17);
        QCOMPARE(printBands(32).at(1).last(), 32);
        QCOMPARE(printBands(0), QList<QList<int>>({{}}));
        QCOMPARE(printBands(99).size(), 2); // never beyond 32 channels
        QCOMPARE(channelCountText(8), QStringLiteral("8路:"));
        QCOMPARE(countLeft(900), 1000);
        QCOMPARE(countLeft(1200), 1260);
    }

    void eightChannels()
    {
        int height = 0;
        int width = 0;
        const QList<Page> probe = print(1, 8, 8, &height, &width);
        QCOMPARE(probe.size(), 1);
        const int perPage = rowsPerPage(height);
        QVERIFY(perPage > 40);

        // Exactly two pages of rows: no empty page after the last row.
        const QList<Page> pages = print(2 * perPage, 8, 8);
        QCOMPARE(pages.size(), 2);
        const Page &p1 = pages.at(0);
        const int pitch = ::columnPitch(width);

        QCOMPARE(countOf(p1, QStringLiteral("8路:")), 1);
        const Word *count = find(p1, QStringLiteral("8路:"));
        QVERIFY(count->x >= 1000 - 1);
        const Word *date = find(p1, QStringLiteral("2024"));
        QVERIFY(date);
        QVERIFY(count->x > date->x); // the count never covers the printing date
        QVERIFY(qAbs(p1.first().x - 30) < 2);

        const Word *time = find(p1, QStringLiteral("时间"));
        QVERIFY(time);
        QVERIFY(qAbs(time->x - 10) < 2);
        QVERIFY(qAbs(time->y - 150) < 8); // a CJK face stands a little taller than Arial
        for (int k = 1; k <= 8; ++k) {
            const Word *title = find(p1, QStringLiteral("aa%1").arg(k));
            QVERIFY2(title, qPrintable(QStringLiteral("aa%1").arg(k)));
            QVERIFY(qAbs(title->x - (620 + (k - 1) * pitch)) < 2);
            QVERIFY(qAbs(title->y - 150) < 3);
        }
        QVERIFY(!find(p1, QStringLiteral("aa9")));

        // Rows: 70 pixels apart from y = 300, channel texts in the title columns.
        const Word *first = find(p1, value(1, 0));
        const Word *second = find(p1, value(1, 1));
        QVERIFY(first && second);
        QVERIFY(qAbs(first->y - 300) < 3);
        QVERIFY(qAbs(second->y - first->y - 70) < 0.5);
        QVERIFY(qAbs(first->x - 620) < 2);
        QVERIFY(qAbs(find(p1, value(8, 0))->x - (620 + 7 * pitch)) < 2);
        const Word *last = find(p1, value(1, perPage - 1));
        QVERIFY(last);
        QVERIFY(last->y <= height - 200 + 1);
        QVERIFY(!find(p1, value(1, perPage)));

        // Page 2: the continuation header without the count, then the rest of the rows.
        const Page &p2 = pages.at(1);
        QVERIFY(!find(p2, QStringLiteral("8路:")));
        QVERIFY(find(p2, QStringLiteral("2024")));
        QVERIFY(find(p2, QStringLiteral("时间")));
        QVERIFY(find(p2, QStringLiteral("aa8")));
        QVERIFY(qAbs(find(p2, value(1, perPage))->y - 300) < 3);
        QVERIFY(find(p2, value(8, 2 * perPage - 1)));

        // One more row starts a third page.
        QCOMPARE(print(2 * perPage + 1, 8, 8).size(), 3);
    }

    // A span without records (the station stopped an hour) is marked in the table by a dashed
    // rule across the page above the first row after it, between two rows; no row moves and
    // rows stored at the usual period get no rule.
    void spansWithoutRecordsMarked()
    {
        QList<FixtureRecord> fixture = records(30, 8);
        for (int i = 10; i < fixture.size(); ++i)
            fixture[i].stamp = fixtureStamp(QDateTime(Day, QTime(10, 0, 50)).addSecs(5 * (i - 10)));
        int width = 0;
        QString pdfFile;
        QPointF origin;
        const QList<Page> pages = printRecords(fixture, 8, nullptr, &width, &pdfFile, &origin);
        QCOMPARE(pages.size(), 1);
        const Word *afterStop = find(pages.first(), value(1, 10));
        const Word *usual = find(pages.first(), value(1, 5));
        QVERIFY(afterStop && usual);
        QVERIFY(qAbs(afterStop->y - (300 + 10 * 70)) < 3); // the rows keep their places

        // The page as pixels, 300 dots per inch (half the printer's pixels).
        const QString raster = QFileInfo(pdfFile).absolutePath() + QStringLiteral("/page");
        QProcess p;
        p.start(QStandardPaths::findExecutable(QStringLiteral("pdftoppm")),
                {QStringLiteral("-r"), QStringLiteral("300"), QStringLiteral("-gray"), QStringLiteral("-singlefile"),
                 pdfFile, raster});
        QVERIFY(p.waitForFinished(60000));
        const QImage page(raster + QStringLiteral(".pgm"));
        QVERIFY(!page.isNull());
        const auto pixel = [&](double x, double y) {
            return QPoint(int(origin.x() * 300 / 72 + x / 2), int(origin.y() * 300 / 72 + y / 2));
        };
        // The darkest raster line across the page (x 100 … width − 100) in the room between a
        // row's text and the one above (the glyphs of a row stand from about 16 pixels below
        // its top to 17 above the next): the share of its pixels that are dark.
        const auto ruleAbove = [&](const Word *row) {
            double best = 0;
            for (double y = row->y - 8; y <= row->y + 4; y += 1) {
                int dark = 0;
                int all = 0;
                for (double x = 100; x <= width - 100; x += 2) {
                    const QPoint at = pixel(x, y);
                    dark += qGray(page.pixel(at)) < 160;
                    ++all;
                }
                best = std::max(best, double(dark) / all);
            }
            return best;
        };
        QVERIFY2(ruleAbove(afterStop) > 0.4, qPrintable(QString::number(ruleAbove(afterStop))));
        QVERIFY2(ruleAbove(usual) < 0.05, qPrintable(QString::number(ruleAbove(usual))));
    }

    void thirtyTwoChannelsInTwoBands()
    {
        int height = 0;
        int width = 0;
        QCOMPARE(print(1, 8, 8, &height, &width).size(), 1);
        const int perPage = rowsPerPage(height);
        const int rows = perPage + 5; // two pages per band
        const QList<Page> pages = print(rows, 32, 32);
        QCOMPARE(pages.size(), 4);
        const int pitch = ::columnPitch(width);

        // Band 1: channels 1 … 16 over pages 1 and 2, the count on page 1 only.
        QCOMPARE(countOf(pages.at(0), QStringLiteral("32路:")), 1);
        for (int k = 1; k <= 16; ++k)
            QVERIFY(qAbs(find(pages.at(0), QStringLiteral("aa%1").arg(k))->x - (620 + (k - 1) * pitch)) < 2);
        QVERIFY(!find(pages.at(0), QStringLiteral("aa17")));
        QVERIFY(find(pages.at(0), value(16, 0)));
        QVERIFY(!find(pages.at(0), value(17, 0)));
        QVERIFY(find(pages.at(1), value(16, rows - 1)));

        // Band 2: channels 17 … 32 in the same columns, from a new page, every row again.
        for (int p : {2, 3}) {
            const Page &page = pages.at(p);
            QVERIFY(!find(page, QStringLiteral("32路:")));
            QVERIFY(!find(page, QStringLiteral("aa1")));
            QVERIFY(find(page, QStringLiteral("时间")));
            for (int k = 17; k <= 32; ++k)
                QVERIFY(qAbs(find(page, QStringLiteral("aa%1").arg(k))->x - (620 + (k - 17) * pitch)) < 2);
        }
        QVERIFY(qAbs(find(pages.at(2), value(17, 0))->x - 620) < 2);
        QVERIFY(qAbs(find(pages.at(2), value(32, 0))->x - (620 + 15 * pitch)) < 2);
        QVERIFY(qAbs(find(pages.at(2), value(17, 0))->y - 300) < 3);
        QVERIFY(find(pages.at(3), value(32, rows - 1)));
        // Every channel reaches the paper inside the page.
        for (const Page &page : pages)
            for (const Word &w : page)
                QVERIFY2(w.x < width, qPrintable(w.text));
    }

    void storedTextsAsTheyAre()
    {
        // Only aa1 … aaN are printed; a channel not stored prints nothing, the marker as stored.
        const QString home = QDir(m_tmp.path()).filePath(QStringLiteral("texts"));
        QDir().mkpath(home);
        QCOMPARE(writeFixture(home, {{fixtureStamp(QDateTime(Day, QTime(9, 0))),
                                      {QStringLiteral("-1000.000"), QStringLiteral("  25.300")}}}),
                 QString());
        db::TQuery q;
        runHistoryQuery(q, home, QDateTime(Day, QTime(0, 0)), QDateTime(Day, QTime(23, 0)));
        QPrinter printer(QPrinter::HighResolution);
        printer.setResolution(600);
        printer.setOutputFormat(QPrinter::PdfFormat);
        const QString pdf = QDir(home).filePath(QStringLiteral("t.pdf"));
        printer.setOutputFileName(pdf);
        QCOMPARE(printHistoryTable(printer, q, 8, PrintedAt), PrintOutcome::Printed);
        const QList<Page> pages = readPdf(pdf, printer.pageRect(QPrinter::Point).topLeft());
        QCOMPARE(pages.size(), 1);
        QVERIFY(find(pages.at(0), QStringLiteral("-1000.000")));
        QVERIFY(find(pages.at(0), QStringLiteral("25.300")));
        QVERIFY(find(pages.at(0), QStringLiteral("aa8")));

        // A closed query: the header alone, on one page.
        q.close();
        QCOMPARE(printHistoryTable(printer, q, 8, PrintedAt), PrintOutcome::Printed);
        const QList<Page> header = readPdf(pdf, printer.pageRect(QPrinter::Point).topLeft());
        QCOMPARE(header.size(), 1);
        QVERIFY(find(header.at(0), QStringLiteral("8路:")));
        QVERIFY(find(header.at(0), QStringLiteral("aa1")));
        QVERIFY(!find(header.at(0), QStringLiteral("25.300")));
    }

    void failures()
    {
        db::TQuery closed;
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        const QString bad = QDir(m_tmp.path()).filePath(QStringLiteral("no/such/dir/x.pdf"));
        printer.setOutputFileName(bad);
        try {
            printHistoryTable(printer, closed, 8, PrintedAt);
            QFAIL("a job that cannot start was reported as printed");
        } catch (const AppError &e) {
            QVERIFY(e.text().contains(bad));
        }
    }

    // Writes that fail part-way (the file size limit stands in for a full disk): the window's
    // printing throws, the headless report exits 1, and neither leaves a partial file; a
    // report of the same name written before is kept as it was.
    void pdfFailingWhileWritten()
    {
        const QString home = QDir(m_tmp.path()).filePath(QStringLiteral("limit"));
        QDir().mkpath(home);
        QCOMPARE(writeFixture(home, records(6000, 8)), QString());
        db::TQuery q;
        runHistoryQuery(q, home, QDateTime(Day, QTime(0, 0)), QDateTime(Day, QTime(23, 59, 59)));

        // The size of the whole report first, unlimited.
        QPrinter printer(QPrinter::HighResolution);
        const QString whole = QDir(home).filePath(QStringLiteral("whole.pdf"));
        pdf(printer, whole);
        QCOMPARE(printHistoryTable(printer, q, 8, PrintedAt), PrintOutcome::Printed);
        const qint64 size = QFileInfo(whole).size();
        QVERIFY(contents(whole).trimmed().endsWith("%%EOF"));
        // Half of it: the reading side (SQLite's 32 KB shared-memory file) stays below.
        const rlim_t limit = rlim_t(size / 2);
        QVERIFY2(limit >= 128 * 1024, qPrintable(QString::number(size)));

        const QString report = QDir(home).filePath(QStringLiteral("report.pdf"));
        {
            QFile old(report);
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write("yesterday's report");
        }
        pdf(printer, report);
        QString error;
        {
            FileSizeLimit limited(limit);
            QVERIFY(limited.isSet());
            try {
                printHistoryTable(printer, q, 8, PrintedAt);
            } catch (const AppError &e) {
                error = e.text();
            }
        }
        QVERIFY2(error.startsWith(QStringLiteral("PDF文件未能写完，报表没有保存。\n")), qPrintable(error));
        QVERIFY(error.contains(report));
        QVERIFY2(error.contains(QStringLiteral("File too large")), qPrintable(error));
        QCOMPARE(contents(report), QByteArray("yesterday's report"));
        QCOMPARE(QDir(home).entryList({QStringLiteral("report.pdf*")}, QDir::Files), QStringList{QStringLiteral("report.pdf")});

        // The headless report: exit status 1, the reason on the error stream, no file.
        setProgramDirectory(home);
        const QString cli = QDir(home).filePath(QStringLiteral("cli.pdf"));
        const HistoryCommand command = parseHistoryCommand(
            {QStringLiteral("qzmonitor"), QStringLiteral("--report-pdf"), cli, QStringLiteral("--from"),
             QStringLiteral("2024-03-05 00:00:00"), QStringLiteral("--to"), QStringLiteral("2024-03-05 23:59:59")});
        QString messages;
        QTextStream err(&messages);
        int status = -1;
        {
            FileSizeLimit limited(limit);
            QVERIFY(limited.isSet());
            status = runHistoryCommand(command, err);
        }
        QCOMPARE(status, 1);
        QVERIFY2(messages.contains(QStringLiteral("PDF文件未能写完")), qPrintable(messages));
        QVERIFY(!QFile::exists(cli));
        QCOMPARE(QDir(home).entryList({QStringLiteral("cli.pdf*")}, QDir::Files), QStringList());
        // Without the limit the same command writes the whole report.
        QCOMPARE(runHistoryCommand(command, err), 0);
        QVERIFY(QFileInfo(cli).size() > qint64(limit));
        QVERIFY(contents(cli).trimmed().endsWith("%%EOF"));
    }

    // A target that is no regular file is written directly, never replaced: here a pipe, as
    // "--report-pdf /dev/stdout" would be.
    void pdfIntoAPipe()
    {
        const QString home = QDir(m_tmp.path()).filePath(QStringLiteral("pipe"));
        QDir().mkpath(home);
        const QString fifo = QDir(home).filePath(QStringLiteral("report.pdf"));
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QByteArray received;
        std::thread reader([&] {
            // Non-blocking, so that a job that never opens the pipe cannot hang the test.
            const int fd = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK);
            if (fd < 0)
                return;
            bool connected = false;
            char buffer[65536];
            for (int idle = 0; idle < 1000;) {
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n > 0) {
                    received.append(buffer, n);
                    connected = true;
                    idle = 0;
                } else if (n == 0 && connected) {
                    break; // the writer closed the pipe
                } else {
                    pollfd p{fd, POLLIN, 0};
                    ::poll(&p, 1, 10);
                    ++idle;
                }
            }
            ::close(fd);
        });
        db::TQuery closed;
        QPrinter printer(QPrinter::HighResolution);
        pdf(printer, fifo);
        PrintOutcome outcome = PrintOutcome::Cancelled;
        try {
            outcome = printHistoryTable(printer, closed, 8, PrintedAt);
        } catch (const AppError &e) {
            qWarning("%s", qPrintable(e.text()));
        }
        reader.join();
        QCOMPARE(outcome, PrintOutcome::Printed);
        QVERIFY(received.startsWith("%PDF-"));
        QVERIFY(received.trimmed().endsWith("%%EOF"));
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(fifo).constData(), &st), 0);
        QVERIFY(S_ISFIFO(st.st_mode));
        QCOMPARE(QDir(home).entryList(QDir::Files | QDir::System), QStringList{QStringLiteral("report.pdf")});
    }
};

QTEST_MAIN(TestHistoryPrint)
#include "tst_historyprint.moc"
