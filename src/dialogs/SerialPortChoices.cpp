#include "SerialPortChoices.h"

#include "DeviceAddress.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>

#include <algorithm>

namespace {

// What makes two names the same device: the target of a stable name, else the canonical path
// of an existing file, else the cleaned path as written.
QString identityOf(const QString &path, const QList<StableDeviceName> &stable)
{
    for (const StableDeviceName &s : stable)
        if (s.link == path)
            return s.target;
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(path) : canonical;
}

struct Entry {
    QString device; // stable name where one exists, else the kernel name
    QString kernel; // the device it is now
    QString identity;
    FoundSerialPort info;
    bool stableName = false;
};

// Device names in natural order: /dev/ttyS2 before /dev/ttyS10. (QCollator's numeric mode
// does nothing in the C locale that services often run with.)
bool naturalLess(const QString &a, const QString &b)
{
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype ei = i, ej = j;
            while (ei < a.size() && a[ei].isDigit())
                ++ei;
            while (ej < b.size() && b[ej].isDigit())
                ++ej;
            // Device numbers are short; a run too long for a number compares as text.
            bool okA = false, okB = false;
            const qulonglong va = QStringView(a).mid(i, ei - i).toULongLong(&okA);
            const qulonglong vb = QStringView(b).mid(j, ej - j).toULongLong(&okB);
            if (okA && okB && va != vb)
                return va < vb;
            const int text = QStringView(a).mid(i, ei - i).compare(QStringView(b).mid(j, ej - j));
            if (text != 0)
                return text < 0;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

QString choiceText(const Entry &e, bool current, bool found, bool fallback)
{
    QStringList details;
    if (e.kernel != e.device && !e.kernel.isEmpty())
        details.append(e.kernel);
    if (!e.info.description.isEmpty())
        details.append(e.info.description);
    if (!e.info.manufacturer.isEmpty())
        details.append(e.info.manufacturer);
    if (!e.info.serialNumber.isEmpty())
        details.append(QStringLiteral("序列号 ") + e.info.serialNumber);
    if (fallback)
        details.append(QStringLiteral("默认设备"));
    if (!found)
        details.append(QStringLiteral("未找到"));
    QString text = current ? QStringLiteral("当前：") + e.device : e.device;
    if (!details.isEmpty())
        text += QStringLiteral("  —  ") + details.join(QStringLiteral(", "));
    return text;
}

} // namespace

QList<FoundSerialPort> findSerialPorts()
{
    QList<FoundSerialPort> ports;
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos)
        ports.append({info.systemLocation(), info.description(), info.manufacturer(), info.serialNumber()});
    return ports;
}

QList<StableDeviceName> readStableDeviceNames(const QString &dir)
{
    QList<StableDeviceName> names;
    const QDir d(dir);
    const QStringList entries = d.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : entries) {
        const QString link = d.absoluteFilePath(name);
        const QString target = QFileInfo(link).canonicalFilePath();
        // A link whose adapter has just gone resolves to nothing.
        if (!target.isEmpty() && target != link)
            names.append({link, target});
    }
    return names;
}

SerialDeviceScan scanSerialDevices() { return {findSerialPorts(), readStableDeviceNames()}; }

int portNumber(const QString &port)
{
    static const QRegularExpression comName(QStringLiteral("^COM([1-9][0-9]{0,5})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const auto m = comName.match(port.trimmed());
    return m.hasMatch() ? m.captured(1).toInt() : 0;
}

QString unmappedDevicePath(int port)
{
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#else
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}

QList<DeviceChoice> buildDeviceChoices(const QList<FoundSerialPort> &found,
                                       const QList<StableDeviceName> &stable,
                                       const QString &mapped, const QString &fallback)
{
    QList<Entry> entries;
    auto known = [&entries](const QString &identity) {
        return std::any_of(entries.cbegin(), entries.cend(), [&](const Entry &e) { return e.identity == identity; });
    };
    for (const FoundSerialPort &port : found) {
        Entry e;
        e.identity = identityOf(port.location, stable);
        if (port.location.isEmpty() || known(e.identity))
            continue;
        e.kernel = port.location;
        e.device = port.location;
        e.info = port;
        for (const StableDeviceName &s : stable) {
            if (s.target == e.identity) {
                e.device = s.link;
                e.stableName = true;
                break;
            }
        }
        entries.append(e);
    }
    // udev names an adapter under by-id even where Qt does not report it.
    for (const StableDeviceName &s : stable) {
        if (known(s.target))
            continue;
        Entry e;
        e.identity = s.target;
        e.kernel = s.target;
        e.device = s.link;
        e.stableName = true;
        entries.append(e);
    }

    std::stable_sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        if (a.stableName != b.stableName)
            return a.stableName;
        return naturalLess(a.device, b.device);
    });

    const QString now = mapped.isEmpty() ? fallback : mapped;
    const QString nowIdentity = identityOf(now, stable);
    QList<DeviceChoice> choices;
    for (const Entry &e : entries) {
        const bool current = !now.isEmpty() && e.identity == nowIdentity;
        DeviceChoice c{e.device, choiceText(e, current, true, current && mapped.isEmpty()), current, true};
        if (current)
            choices.prepend(c);
        else
            choices.append(c);
    }
    if (!now.isEmpty() && (choices.isEmpty() || !choices.first().current)) {
        DeviceAddress address;
        if (parseDeviceAddress(now, &address) && address.isNetwork()) {
            choices.prepend({now, QStringLiteral("当前：") + now + QStringLiteral("  —  网络设备"), true, true, true});
        } else {
            Entry e;
            e.device = now;
            choices.prepend({now, choiceText(e, true, false, mapped.isEmpty()), true, false});
        }
    }
    return choices;
}

DeviceChoice networkDeviceChoice() { return {QString(), NetworkDeviceChoiceText, false, true, true}; }

QString chosenDevice(const QString &text, const QList<DeviceChoice> &choices, QString *error)
{
    for (const DeviceChoice &c : choices) {
        if (c.text != text)
            continue;
        if (c.device.isEmpty())
            *error = QStringLiteral("请填写网络设备的地址（主机:端口）。\nno network address given");
        return c.device;
    }
    const QString typed = text.trimmed();
    DeviceAddress address;
    QString addressError;
    if (!parseDeviceAddress(typed, &address, &addressError)) {
        *error = addressError;
        return {};
    }
    if (address.isNetwork())
        return typed;
    // Device names hold no blanks (udev writes "_" for them); a blank means an item's text
    // was edited rather than a path typed. Control characters would break the INI line.
    const bool stray = std::any_of(typed.cbegin(), typed.cend(), [](QChar c) { return c.isSpace() || c.category() == QChar::Other_Control; });
    if (typed.isEmpty()) {
        *error = QStringLiteral("请选择串口设备，或输入它的完整路径（例如 /dev/ttyUSB0）。\nno serial device given");
        return {};
    }
#ifdef Q_OS_WIN
    const bool absolute = true;
#else
    const bool absolute = typed.startsWith(QLatin1Char('/'));
#endif
    if (!absolute || stray) {
        *error = QStringLiteral("串口设备必须是完整路径，不含空格，例如 /dev/ttyUSB0。\nnot a device path: %1").arg(typed);
        return {};
    }
    return typed;
}

bool deviceMappingChanges(const QString &device, const QString &mapped, const QString &fallback)
{
    return device != (mapped.isEmpty() ? fallback : mapped);
}
