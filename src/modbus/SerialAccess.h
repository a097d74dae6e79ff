#pragma once
// Why a serial device could not be opened, as far as the file system tells: it is missing, or
// it is there and this user may not read and write it. On Debian serial devices belong to the
// group dialout, and a user outside it gets "permission denied"; the fix is the membership,
// not a new adapter, so the operator is told which. Asked only after an open failed. The
// device is not opened for it: opening a tty raises DTR, which resets some instruments.

#include <QString>

enum class DeviceAccess {
    Permitted,        // there, and this user may read and write it (the cause lies elsewhere)
    Missing,          // no such device (also a stable name whose adapter is gone)
    PermissionDenied, // there, but not readable and writable by this user
};

struct DeviceAccessReport {
    DeviceAccess access = DeviceAccess::Permitted;
    QString user;           // this process's user name
    QString group;          // the group owning the device, empty when unknown
    bool groupMayReadWrite = false; // the device's group permissions allow reading and writing
};

DeviceAccessReport probeDeviceAccess(const QString &path);

// The text of the start-up box when the port's device cannot be opened: firstLine
// ("打开串口错误") alone, or, when permission is lacking, followed by what is wrong and how to
// fix it (Chinese first, then the technical detail).
QString openPortFailureText(const QString &firstLine, const QString &path, const DeviceAccessReport &report);
QString openPortFailureText(const QString &firstLine, const QString &path);
