// Renders the two live views offscreen to PNG files with sample live values (one interrupted
// channel; a curve with gaps), for looking at them without a display.
//   QT_QPA_PLATFORM=offscreen ./render_live_views OUTDIR

#include "PvFrm.h"
#include "RealLineFrm.h"
#include "WindowState.h"
#include "StripChart.h"
#include "Ui.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QTextStream>
#include <cmath>

namespace {

void sampleState(int channels)
{
    resetSharedState();
    SysParams.ChannelCount = channels;
    for (int i = 0; i < MaxChannels; ++i) {
        Option.Names[i] = QStringLiteral("油储温度%1").arg(i + 1);
        Option.Units[i] = QStringLiteral("℃");
        Option.LowerLimits[i] = 0.f;
        Option.UpperLimits[i] = 200.f;
        AllRecord.Pv[i + 1] = 20.f + 5.5f * float(i);
        AllRecord.AlmText[i + 1] = QString();
    }
    AllRecord.Pv[3] = InterruptionMarker;
    AllRecord.AlmText[3] = QStringLiteral("上限报警");
    AllRecord.Pv[5] = 190.f;
    AllRecord.AlmText[5] = QStringLiteral("上限报警");
    AllRecord.AlmText[6] = QStringLiteral("信号断线");
}

bool save(QWidget &w, const QString &path)
{
    QApplication::processEvents();
    const bool ok = w.grab().save(path);
    QTextStream(stdout) << (ok ? "wrote " : "FAILED ") << path << '\n';
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ui::installFontSubstitutions();
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();
    bool ok = true;

    for (int channels : {8, 16, 32}) {
        for (QSize size : {QSize(1014, 740), QSize(1920, 1080)}) {
            sampleState(channels);
            TPvForm form(nullptr);
            form.setWindowState(Qt::WindowNoState);
            form.resize(size);
            form.show();
            form.Timer1Timer();
            ok &= save(form, QStringLiteral("%1/pvform-%2-%3x%4.png").arg(dir).arg(channels).arg(size.width()).arg(size.height()));
        }
    }

    for (QSize size : {QSize(1026, 706), QSize(1920, 1080)}) {
        sampleState(8);
        Option.LowerLimits[0] = -50.f;
        Option.UpperLimits[0] = 150.f;
        TRealLineForm form(nullptr);
        form.setWindowState(Qt::WindowNoState);
        form.resize(size);
        form.show();
        form.ListBox1->setCurrentRow(0); // highlights channel 1, which is already plotted
        // Forty minutes of readings: a two-minute interruption, a one-second one, and a stretch
        // at a real 0.
        const QDateTime start = QDateTime::currentDateTime().addSecs(-40 * 60);
        for (int s = 0; s <= 40 * 60; ++s) {
            float v = 60.f + 40.f * float(std::sin(s / 300.0)) + 3.f * float(std::sin(s / 9.0));
            if ((s >= 1500 && s < 1620) || s == 1900)
                v = InterruptionMarker;
            if (s >= 2100 && s < 2200)
                v = 0.f;
            if (s == 40 * 60)
                v = 25.3f;
            AllRecord.Pv[1] = v;
            form.refreshAt(start.addSecs(s));
        }
        ok &= save(form, QStringLiteral("%1/reallineform-%2x%3.png").arg(dir).arg(size.width()).arg(size.height()));
        AllRecord.Pv[1] = InterruptionMarker;
        form.refreshAt(start.addSecs(40 * 60 + 1));
        form.Chart1->replot();
        ok &= save(form, QStringLiteral("%1/reallineform-%2x%3-interrupted.png").arg(dir).arg(size.width()).arg(size.height()));
    }
    return ok ? 0 : 1;
}
