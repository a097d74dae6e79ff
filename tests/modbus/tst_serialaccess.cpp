// Why a serial device did not open, told apart by the file system: missing, or there but not
// permitted for this user (then the start-up box names the group to join). As root every
// device is permitted, so the "not permitted" cases run in a child that has become the user
// nobody, on real files and a real pseudo-terminal.
#include "Pty.h"
#include "SerialAccess.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString First = QStringLiteral("打开串口错误");

// The probe as seen by an ordinary user: as root, in a child process that has dropped to
// nobody (uid and gid 65534, no supplementary groups); otherwise in this process.
DeviceAccessReport probeAsOrdinaryUser(const QString &path)
{
    if (::geteuid() != 0)
        return probeDeviceAccess(path);
    int fds[2];
    if (::pipe(fds) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        char result[2] = {'?', '?'};
        if (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0) {
            const DeviceAccessReport r = probeDeviceAccess(path);
            result[0] = char('0' + int(r.access));
            result[1] = r.groupMayReadWrite ? 'y' : 'n';
        }
        [[maybe_unused]] const ssize_t n = ::write(fds[1], result, 2);
        ::_exit(0);
    }
    ::close(fds[1]);
    char result[2] = {0, 0};
    const ssize_t n = ::read(fds[0], result, 2);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    DeviceAccessReport r;
    if (n != 2 || result[0] < '0' || result[0] > '2') {
        r.access = DeviceAccess::Permitted; // makes the caller's comparison fail visibly
        r.user = QStringLiteral("<probe failed>");
        return r;
    }
    r.access = DeviceAccess(result[0] - '0');
    r.groupMayReadWrite = result[1] == 'y';
    return r;
}

} // namespace

class TestSerialAccess : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void missingAndPresent();
    void permissionDenied();
    void messageNamesTheFix();
};

void TestSerialAccess::missingAndPresent()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QCOMPARE(probeDeviceAccess(dir.filePath(QStringLiteral("ttyUSB9"))).access, DeviceAccess::Missing);
    // A stable name whose adapter was unplugged: the link is there, the device is not.
    const QString stale = dir.filePath(QStringLiteral("usb-Gone-if00"));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("ttyUSB9")), stale));
    QCOMPARE(probeDeviceAccess(stale).access, DeviceAccess::Missing);
    // A path through something that is not a directory.
    QFile plain(dir.filePath(QStringLiteral("plain")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    QCOMPARE(probeDeviceAccess(plain.fileName() + QStringLiteral("/tty")).access, DeviceAccess::Missing);

    // A device this user may use, also through a link: the failure lies elsewhere.
    Pty pty;
    QVERIFY(pty.isOpen());
    const DeviceAccessReport own = probeDeviceAccess(pty.slavePath());
    QCOMPARE(own.access, DeviceAccess::Permitted);
    QVERIFY(!own.user.isEmpty());
    QVERIFY(!own.group.isEmpty());
    const QString link = dir.filePath(QStringLiteral("ttyQZ"));
    QVERIFY(QFile::link(pty.slavePath(), link));
    QCOMPARE(probeDeviceAccess(link).access, DeviceAccess::Permitted);
    // Neither is a permission problem: the first line stays alone.
    QCOMPARE(openPortFailureText(First, link), First);
    QCOMPARE(openPortFailureText(First, dir.filePath(QStringLiteral("ttyUSB9"))), First);
}

void TestSerialAccess::permissionDenied()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Reachable by everyone, like /dev.
    QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                                  | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));

    // Like a USB adapter: its group may read and write, others nothing. (The owner bits are
    // cleared too, so the file is not permitted to its owner either when the test does not
    // run as root.)
    const QString device = dir.filePath(QStringLiteral("ttyUSB0"));
    QFile f(device);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    QVERIFY(::chmod(QFile::encodeName(device).constData(), 0060) == 0);
    DeviceAccessReport r = probeAsOrdinaryUser(device);
    QCOMPARE(r.access, DeviceAccess::PermissionDenied);
    QVERIFY(r.groupMayReadWrite);
    // Through its stable name the same.
    const QString link = dir.filePath(QStringLiteral("usb-QZ-if00"));
    QVERIFY(QFile::link(device, link));
    QCOMPARE(probeAsOrdinaryUser(link).access, DeviceAccess::PermissionDenied);

    // Readable but not writable is not enough for a serial line.
    QVERIFY(::chmod(QFile::encodeName(device).constData(), 0064) == 0);
    QCOMPARE(probeAsOrdinaryUser(device).access, DeviceAccess::PermissionDenied);
    QVERIFY(::chmod(QFile::encodeName(device).constData(), 0666) == 0);
    QCOMPARE(probeAsOrdinaryUser(device).access, DeviceAccess::Permitted);

    // A pseudo-terminal of another user (group tty may only write to it).
    if (::geteuid() == 0) {
        Pty pty;
        QVERIFY(pty.isOpen());
        r = probeAsOrdinaryUser(pty.slavePath());
        QCOMPARE(r.access, DeviceAccess::PermissionDenied);
        QVERIFY(!r.groupMayReadWrite);
    }
}

void TestSerialAccess::messageNamesTheFix()
{
    DeviceAccessReport r;
    r.access = DeviceAccess::PermissionDenied;
    r.user = QStringLiteral("operator");
    r.group = QStringLiteral("dialout");
    r.groupMayReadWrite = true;
    const QString text = openPortFailureText(First, QStringLiteral("/dev/ttyUSB0"), r);
    const QStringList lines = text.split(u'\n');
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0], First);
    QCOMPARE(lines[1], QStringLiteral("串口设备 /dev/ttyUSB0 存在，但用户 operator 没有读写它的权限。请把用户 operator 加入 dialout 组"
                                      "（sudo usermod -aG dialout operator），然后注销并重新登录，再启动本程序。"));
    QCOMPARE(lines[2], QStringLiteral("permission denied: /dev/ttyUSB0 (device group dialout; user operator needs to be in group dialout)"));

    // The device's own group where it grants reading and writing (a udev rule may use another).
    r.group = QStringLiteral("plugdev");
    QVERIFY(openPortFailureText(First, QStringLiteral("/dev/ttyACM0"), r).contains(QStringLiteral("加入 plugdev 组")));
    // A group that may not read and write would not help: dialout, the serial group, is named.
    r.groupMayReadWrite = false;
    r.group = QStringLiteral("tty");
    const QString tty = openPortFailureText(First, QStringLiteral("/dev/pts/3"), r);
    QVERIFY(tty.contains(QStringLiteral("加入 dialout 组")));
    QVERIFY(tty.contains(QStringLiteral("device group tty")));
    r.group.clear();
    QVERIFY(openPortFailureText(First, QStringLiteral("/dev/ttyUSB0"), r).contains(QStringLiteral("device group unknown")));

    // Only a permission problem adds lines.
    r.access = DeviceAccess::Missing;
    QCOMPARE(openPortFailureText(First, QStringLiteral("/dev/ttyUSB0"), r), First);
    r.access = DeviceAccess::Permitted;
    QCOMPARE(openPortFailureText(First, QStringLiteral("/dev/ttyUSB0"), r), First);
}

QTEST_GUILESS_MAIN(TestSerialAccess)
#include "tst_serialaccess.moc"
