#pragma once
// One station per program directory: a lock file there, held for the whole run. A second
// station on the same directory would poll the same line and write the same files. A lock
// left by a killed station is taken over.

#include <QString>
#include <memory>

class QLockFile;

// The headless station: its program and its system service are called so. The lock file names
// the program that holds it, so a window started on the service's directory can say so.
inline const QString HeadlessProgramName = QStringLiteral("qzstation");

class StationLock {
public:
    StationLock();
    ~StationLock();

    // Takes the lock of programDir. False, with *message set (Chinese first), when another
    // station holds it or the lock file cannot be made; nothing in the directory is touched then.
    bool acquire(const QString &programDir, QString *message);
    bool held() const;

    static QString fileName(); // "qzmonitor.lock"

private:
    std::unique_ptr<QLockFile> m_lock;
};
