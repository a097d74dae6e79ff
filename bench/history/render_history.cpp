// Renders the history window offscreen with a few hundred demo records, after opening, after a
// query, after a channel click and span changes, and prints the records to PDF files for
// 8 and 32 channels, for looking at them without a display. Then, with a day of demo records,
// the chart's mouse work with real mouse events and the real zoom timer: a rubber band around
// an interruption of channel 3, the zoom, a pan with the right button, the zoom out, channels
// 1 and 2 compared, and the picture saved by "保存图片…" (chart-*.png, twice the size).
//   QT_QPA_PLATFORM=offscreen ./qz_render_history OUTDIR
// Then e.g.: pdftoppm -png -r 60 OUTDIR/print8.pdf OUTDIR/print8

#include "ChartZoom.h"
#include "HistoryChart.h"
#include "HistoryDemoData.h"
#include "WindowState.h"
#include "Ui.h"
#include "Unit3.h"

#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QListWidget>
#include <QMouseEvent>
#include <QTimer>
#include <QPrinter>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimeEdit>

namespace {

QTextStream out(stdout);

// Accepts every modal window at once (the printer set-up dialog), so nothing waits; a file
// dialog keeps its suggested name and puts the file into `saveDir`.
class AcceptingPrompter final : public ui::Prompter {
public:
    QString saveDir;
    ui::Reply message(const ui::MessageRequest &r) override
    {
        out << "message: " << r.text << '\n';
        return ui::Reply::Ok;
    }
    int execModal(QDialog *d) override
    {
        if (auto *files = qobject_cast<QFileDialog *>(d); files && !saveDir.isEmpty())
            files->selectFile(QDir(saveDir).filePath(QFileInfo(files->selectedFiles().value(0)).fileName()));
        return QDialog::Accepted;
    }
    void standardError(const QString &text) override { out << "error: " << text << '\n'; }
    void notice(const ui::MessageRequest &r) override { out << "notice: " << r.text << '\n'; }
};

bool save(QWidget &w, const QString &path)
{
    QApplication::processEvents();
    const bool ok = w.grab().save(path);
    out << (ok ? "wrote " : "FAILED ") << path << '\n';
    return ok;
}

void mouse(QWidget *w, QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons held, const QPointF &at)
{
    QMouseEvent event(type, at, w->mapToGlobal(at), button, held, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void settings(int channels)
{
    resetSharedState();
    SysParams.ChannelCount = channels;
    for (int i = 0; i < MaxChannels; ++i) {
        Option.Names[i] = i < channels ? QStringLiteral("油储温度%1").arg(i + 1) : QString();
        Option.LowerLimits[i] = 0.f;
        Option.UpperLimits[i] = 500.f;
    }
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ui::installFontSubstitutions();
    AcceptingPrompter prompter;
    ui::setPrompter(&prompter);
    const QString outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();
    QDir().mkpath(outDir);
    bool ok = true;

    for (int channels : {8, 32}) {
        QTemporaryDir home;
        setProgramDirectory(home.path());
        settings(channels);
        const QDateTime start(QDate::currentDate(), QTime(10, 0));
        const QString error = writeDemoHistory(home.path(), start, 400, 5000, channels);
        if (!error.isEmpty()) {
            out << "demo data: " << error << '\n';
            return 1;
        }

        TForm3 form(nullptr);
        const QString tag = QString::number(channels);
        if (channels == 8)
            ok = save(form, outDir + QStringLiteral("/01-open.png")) && ok;
        form.DateTimePicker4->setTime(QTime(23, 59, 59));
        form.Button1Click();
        ok = save(form, outDir + QStringLiteral("/02-query-%1.png").arg(tag)) && ok;
        if (channels == 8) {
            form.ListBox1->setCurrentRow(4);
            form.ListBox1MouseDown(form.ListBox1, 4);
            ok = save(form, outDir + QStringLiteral("/03-channel5.png")) && ok;
            form.ComboBox1->setCurrentIndex(2); // 5 minutes: 60 points, marks drawn
            form.ComboBox1Change();
            ok = save(form, outDir + QStringLiteral("/04-span-5min.png")) && ok;
            form.ListBox1->setCurrentRow(2);
            form.ListBox1MouseDown(form.ListBox1, 2); // channel 3 with its interruptions
            form.ComboBox1->setCurrentIndex(7);
            form.ComboBox1Change();
            ok = save(form, outDir + QStringLiteral("/05-channel3-2h.png")) && ok;
        }
        form.printer().setOutputFormat(QPrinter::PdfFormat);
        form.printer().setOutputFileName(outDir + QStringLiteral("/print%1.pdf").arg(tag));
        form.Button2Click();
        out << "printed " << form.printer().outputFileName() << '\n';
    }
    // A day of 5-second records: the mouse work on the chart.
    {
        QTemporaryDir home;
        setProgramDirectory(home.path());
        settings(8);
        const QDateTime start(QDate::currentDate(), QTime(0, 0));
        const QString error = writeDemoHistory(home.path(), start, 17280, 5000, 8);
        if (!error.isEmpty()) {
            out << "demo data: " << error << '\n';
            return 1;
        }
        TForm3 form(nullptr);
        form.show();
        form.DateTimePicker4->setTime(QTime(23, 59, 59));
        form.Button1Click();
        form.ListBox1->setCurrentRow(2);
        form.ListBox1MouseDown(form.ListBox1, 2); // channel 3, silent two minutes every three hours
        form.ComboBox1->setCurrentIndex(10);      // "1天"
        form.ComboBox1Change();
        HistoryChart &chart = *form.Chart1;
        chart.replot();
        ok = save(form, outDir + QStringLiteral("/06-day-channel3.png")) && ok;

        // A rubber band from 02:40 to 03:20 around the values of channel 3 then.
        const double t0 = HistoryChart::keyOf(start);
        const QPointF from(chart.xAxis->coordToPixel(t0 + 2 * 3600 + 40 * 60), chart.yAxis->coordToPixel(200));
        const QPointF to(chart.xAxis->coordToPixel(t0 + 3 * 3600 + 20 * 60), chart.yAxis->coordToPixel(50));
        mouse(&chart, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, from);
        mouse(&chart, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, (from + to) / 2);
        mouse(&chart, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, to);
        ok = save(form, outDir + QStringLiteral("/07-rubber-band.png")) && ok;
        mouse(&chart, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, to);
        wait(ChartZoom::ZoomStepMs + 10);
        ok = save(form, outDir + QStringLiteral("/08-zoom-step-1.png")) && ok;
        wait(4 * ChartZoom::ZoomStepMs);
        ok = save(form, outDir + QStringLiteral("/09-zoomed-outage.png")) && ok;

        // Pan with the right button: 150 pixels to the right shows earlier times.
        const QPointF middle = QRectF(chart.axisRect()->rect()).center();
        mouse(&chart, QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton, middle);
        mouse(&chart, QEvent::MouseMove, Qt::NoButton, Qt::RightButton, middle + QPointF(75, 0));
        mouse(&chart, QEvent::MouseMove, Qt::NoButton, Qt::RightButton, middle + QPointF(150, 10));
        mouse(&chart, QEvent::MouseButtonRelease, Qt::RightButton, Qt::NoButton, middle + QPointF(150, 10));
        ok = save(form, outDir + QStringLiteral("/10-panned.png")) && ok;

        // Up and to the left: back to the day.
        mouse(&chart, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, middle);
        mouse(&chart, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, middle - QPointF(100, 80));
        mouse(&chart, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, middle - QPointF(100, 80));
        wait(5 * ChartZoom::ZoomStepMs);
        ok = save(form, outDir + QStringLiteral("/11-zoomed-out.png")) && ok;

        // Channels 1 and 2 compared, then the picture kept.
        form.ListBox1->setCurrentRow(0);
        form.ListBox1MouseDown(form.ListBox1, 0);
        form.ListBox1MouseDown(form.ListBox1, 1, Qt::ControlModifier);
        form.ComboBox1->setCurrentIndex(8); // "6小时"
        form.ComboBox1Change();
        ok = save(form, outDir + QStringLiteral("/12-compare-1-2.png")) && ok;
        prompter.saveDir = outDir;
        form.SavePictureClick();
        const QStringList pictures = QDir(outDir).entryList({QStringLiteral("*+*.png")}, QDir::Files);
        out << (pictures.isEmpty() ? QStringLiteral("FAILED picture\n") : QStringLiteral("saved %1\n").arg(pictures.join(QStringLiteral(", "))));
        ok = !pictures.isEmpty() && ok;
    }
    ui::setPrompter(nullptr);
    return ok ? 0 : 1;
}
