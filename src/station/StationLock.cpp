#include "StationLock.h"

#include <QDir>
#include <QLockFile>

StationLock::StationLock() = default;
StationLock::~StationLock() = default;

QString StationLock::fileName() { return QStringLiteral("qzmonitor.lock"); }

bool StationLock::held() const { return m_lock && m_lock->isLocked(); }

bool StationLock::acquire(const QString &programDir, QString *message)
{
    const QString path = QDir(programDir).filePath(fileName());
    auto lock = std::make_unique<QLockFile>(path);
    // Stale only when its process is gone: a station may run for years.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
        m_lock = std::move(lock);
        return true;
    }
    if (message) {
        qint64 pid = 0;
        QString host, app;
        if (lock->error() == QLockFile::LockFailedError && lock->getLockInfo(&pid, &host, &app)) {
            if (app == HeadlessProgramName)
                *message = QStringLiteral("此目录由系统服务 %1.service 中的监控站使用（进程号 %2），不能再启动第二个监控站。"
                                          "请在浏览器中查看该监控站，或先停止服务：systemctl stop %1\n目录：%3")
                               .arg(HeadlessProgramName)
                               .arg(pid)
                               .arg(QDir::toNativeSeparators(programDir));
            else
                *message = QStringLiteral("此目录中已有一个监控站在运行（进程号 %1），不能再启动第二个。\n目录：%2")
                               .arg(pid)
                               .arg(QDir::toNativeSeparators(programDir));
        } else {
            *message = QStringLiteral("无法在程序目录中建立锁文件，监控站不能启动。\n%1")
                           .arg(QDir::toNativeSeparators(path));
        }
    }
    return false;
}
