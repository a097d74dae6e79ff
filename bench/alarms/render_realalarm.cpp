// Renders the "实时报警" view offscreen to PNG files, fed through the AlarmCenter as the
// station feeds it (a blinking unacknowledged alarm, an acknowledged one, a returned one, the
// journal below), with both halves of the blink, and the status panel text. For looking at
// them without a display:
//   QT_QPA_PLATFORM=offscreen ./qz_render_realalarm OUTDIR

#include "AlarmCenter.h"
#include "RealAlarmFrm.h"
#include "WindowState.h"
#include "Ui.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextStream>

namespace {

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
    QTemporaryDir home;

    resetSharedState();
    TAllRecord rec;
    TOption opt;
    for (int i = 0; i < MaxChannels; ++i) {
        opt.Names[size_t(i)] = QStringLiteral("油储温度%1").arg(i + 1);
        opt.LowerLimits[size_t(i)] = 0.f;
        opt.UpperLimits[size_t(i)] = 200.f;
        opt.AlarmValues[size_t(i)] = 80.f;
        rec.Pv[size_t(i + 1)] = 40.f + float(i);
    }
    opt.AlarmModes[2] = amLower; // channel 3 below 80
    opt.AlarmModes[6] = amUpper; // channel 7 above 80

    AlarmCenter center;
    const QDateTime start = QDateTime::currentDateTime().addSecs(-3600);
    qint64 ms = 0;
    center.setClock([&] { return AlarmTime{start.addMSecs(ms), ms}; });
    center.setUserName(QStringLiteral("值班员"));
    center.open(home.path());
    center.stationEvent(AlarmCenter::StationEvent::ProgramStarted);
    center.stationEvent(AlarmCenter::StationEvent::RunStarted);
    rec.AlmText[5] = QStringLiteral("信号断线");
    rec.Pv[7] = 96.5f;
    for (; ms <= 6000; ms += 1500)
        center.answerDecoded(rec, opt, 16);
    ms = 60000;
    rec.AlmText[2] = QStringLiteral("上限报警");
    rec.Pv[2] = 181.3f;
    center.answerDecoded(rec, opt, 16);
    center.acknowledge({{AlarmSource::Instrument, 5, QStringLiteral("信号断线")}});
    ms = 120000;
    center.refreshTick(CommState::Error);
    ms = 135000;
    center.refreshTick(CommState::Ok);
    ms = 200000;
    rec.Pv[3] = 60.f; // channel 3 back above its lower value: on-delay first
    center.answerDecoded(rec, opt, 16);
    ms = 300000;
    rec.Pv[3] = 90.f;
    center.answerDecoded(rec, opt, 16);

    bool ok = true;
    TRealAlarmForm form(center, nullptr);
    form.setWindowState(Qt::WindowNoState);
    form.resize(1280, 800);
    form.show();
    form.Timer1Timer();
    ok &= save(form, dir + QStringLiteral("/realalarm-blink-off.png"));
    form.Timer1Timer();
    ok &= save(form, dir + QStringLiteral("/realalarm-blink-on.png"));

    // The fourth status panel as the main window shows it.
    QLabel panel;
    panel.setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel.resize(300, 22);
    showAlarmPanel(&panel, center.unacknowledgedCount());
    ok &= save(panel, dir + QStringLiteral("/alarm-panel.png"));
    return ok ? 0 : 1;
}
