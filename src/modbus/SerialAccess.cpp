#include "SerialAccess.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

// The Debian group of serial devices, named when the device's own group would not help.
const QString SerialGroup = QStringLiteral("dialout");

QString userName()
{
    const uid_t uid = ::geteuid();
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd *found = nullptr;
    if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
    return QString::number(uid);
}

QString groupName(gid_t gid)
{
    std::vector<char> buffer(16384);
    group gr{};
    group *found = nullptr;
    if (::getgrgid_r(gid, &gr, buffer.data(), buffer.size(), &found) == 0 && found)
        return QString::fromLocal8Bit(found->gr_name);
    return {};
}

} // namespace

DeviceAccessReport probeDeviceAccess(const QString &path)
{
    DeviceAccessReport report;
    report.user = userName();
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::stat(native.constData(), &st) == 0) {
        report.group = groupName(st.st_gid);
        report.groupMayReadWrite = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    }
    // The effective user and groups count, as for the open that failed.
    if (::faccessat(AT_FDCWD, native.constData(), R_OK | W_OK, AT_EACCESS) == 0)
        return report;
    switch (errno) {
    case ENOENT:
    case ENOTDIR:
        report.access = DeviceAccess::Missing;
        break;
    case EACCES:
    case EPERM:
        report.access = DeviceAccess::PermissionDenied;
        break;
    default:
        break;
    }
    return report;
}

QString openPortFailureText(const QString &firstLine, const QString &path, const DeviceAccessReport &report)
{
    if (report.access != DeviceAccess::PermissionDenied)
        return firstLine;
    const QString fixGroup = report.groupMayReadWrite && !report.group.isEmpty() ? report.group : SerialGroup;
    return firstLine + u'\n'
        + QStringLiteral("串口设备 %1 存在，但用户 %2 没有读写它的权限。请把用户 %2 加入 %3 组"
                         "（sudo usermod -aG %3 %2），然后注销并重新登录，再启动本程序。")
              .arg(path, report.user, fixGroup)
        + u'\n'
        + QStringLiteral("permission denied: %1 (device group %2; user %3 needs to be in group %4)")
              .arg(path, report.group.isEmpty() ? QStringLiteral("unknown") : report.group, report.user, fixGroup);
}

QString openPortFailureText(const QString &firstLine, const QString &path)
{
    return openPortFailureText(firstLine, path, probeDeviceAccess(path));
}
