#include "PfFile.h"

#include "Ui.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>

namespace {

const char *const FileCodec = "GBK";

QString displayPath(const QString &path) { return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()); }

[[noreturn]] void failRead(const QString &path, const QString &reason)
{
    throw ui::AppError(QStringLiteral("读取文件 %1 失败：%2").arg(displayPath(path), reason));
}

[[noreturn]] void failWrite(const QString &path, const QString &reason)
{
    throw ui::AppError(QStringLiteral("写入文件 %1 失败：%2").arg(displayPath(path), reason));
}

} // namespace

QString resolveFileName(const QString &directory, const QString &name)
{
    const QDir dir = directory.isEmpty() ? QDir::current() : QDir(directory);
    const QStringList entries = dir.entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                                              QDir::Name);
    for (const QString &entry : entries) {
        if (entry.compare(name, Qt::CaseInsensitive) == 0)
            return dir.filePath(entry);
    }
    return dir.filePath(name);
}

QStringList readTextLines(const QString &path)
{
    QFile file(path);
    if (QFileInfo(path).isDir())
        failRead(path, QStringLiteral("这是一个目录"));
    if (!file.open(QIODevice::ReadOnly))
        failRead(path, file.errorString());
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        failRead(path, file.errorString());
    file.close();

    QStringDecoder decoder(FileCodec);
    const QString text = decoder.decode(bytes);
    QStringList lines = text.split(u'\n');
    // A final line end does not start another line.
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QString &line : lines) {
        if (line.endsWith(u'\r'))
            line.chop(1);
    }
    return lines;
}

void writeTextLines(const QString &path, const QStringList &lines)
{
    QString text;
    for (const QString &line : lines) {
        text += line;
        text += QStringLiteral("\r\n");
    }
    QStringEncoder encoder(FileCodec);
    const QByteArray bytes = encoder.encode(text);
    if (encoder.hasError())
        failWrite(path, QStringLiteral("文本中有 GBK 编码无法表示的字符"));

    // Written to a temporary file and renamed over the old one, so a crash mid-write
    // leaves the previous settings intact.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        failWrite(path, file.errorString());
    if (file.write(bytes) != bytes.size())
        failWrite(path, file.errorString());
    if (!file.commit())
        failWrite(path, file.errorString());
}

bool pfFileExists(const QString &name)
{
    return QFileInfo::exists(resolveFileName(QString(), name));
}

PfReader::PfReader(const QString &name) : m_lines(readTextLines(resolveFileName(QString(), name))) {}

QString PfReader::readLine()
{
    if (m_next >= m_lines.size())
        return QString();
    return m_lines.at(m_next++);
}

void writePfFile(const QString &name, const QStringList &lines)
{
    writeTextLines(resolveFileName(QString(), name), lines);
}
