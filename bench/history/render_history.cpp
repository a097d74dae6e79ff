// Renders the history window offscreen with a few hundred demo records, after opening, after a
// query, after a channel click and span changes, and prints the records to PDF files for
// 8 and 32 channels, for looking at them without a display.
//   QT_QPA_PLATFORM=offscreen ./qz_render_history OUTDIR
// Then e.g.: pdftoppm -png -r 60 OUTDIR/print8.pdf OUTDIR/print8

#include "HistoryChart.h"
#include "HistoryDemoData.h"
#include "SharedState.h"
#include "Ui.h"
#include "Unit3.h"

#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QListWidget>
#include <QPrinter>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimeEdit>

namespace {

QTextStream out(stdout);

// Accepts every modal window at once (the printer set-up dialog), so nothing waits.
class AcceptingPrompter final : public ui::Prompter {
public:
    ui::Reply message(const ui::MessageRequest &r) override
    {
        out << "message: " << r.text << '\n';
        return ui::Reply::Ok;
    }
    int execModal(QDialog *) override { return QDialog::Accepted; }
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
    ui::setPrompter(nullptr);
    return ok ? 0 : 1;
}
