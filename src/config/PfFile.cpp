#include "PfFile.h"

#include "AppError.h"

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
    throw AppError(QStringLiteral("读取文件 %1 失败：%2").arg(displayPath(path), reason));
}

[[noreturn]] void failWrite(const QString &path, const QString &reason)
{
    throw AppError(QStringLiteral("写入文件 %1 失败：%2").arg(displayPath(path), reason));
}

// Bytes GBK cannot decode (a stray byte of another code page, a broken pair) are kept as they
// are: each reads as one character U+DC80 … U+DCFF, a lone low surrogate no real text holds,
// and is written back as the same byte. A damaged file thus still loads and is rewritten byte
// for byte, instead of turning into replacement characters that GBK cannot store again.
constexpr char16_t EscapeBase = 0xDC00;

bool isEscapedByte(const QString &text, qsizetype i)
{
    const char16_t c = text.at(i).unicode();
    return c >= EscapeBase + 0x80 && c <= EscapeBase + 0xFF && (i == 0 || !text.at(i - 1).isHighSurrogate());
}

// One GBK character from exactly these bytes, or nothing.
bool decodeOne(QStringDecoder &decoder, QByteArrayView bytes, QString *out)
{
    decoder.resetState();
    const QString s = decoder.decode(bytes);
    if (decoder.hasError() || s.size() != 1 || s.at(0) == QChar::ReplacementCharacter)
        return false;
    *out = s;
    return true;
}

// Character by character, single bytes first, then pairs; what decodes neither way is kept.
QString decodeDamaged(QByteArrayView bytes)
{
    QStringDecoder decoder(FileCodec, QStringDecoder::Flag::Stateless);
    QString out;
    out.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size();) {
        const uchar b = uchar(bytes.at(i));
        if (b < 0x80) {
            out += QChar(b);
            ++i;
            continue;
        }
        QString c;
        if (decodeOne(decoder, bytes.sliced(i, 1), &c)) {
            out += c;
            ++i;
        } else if (i + 1 < bytes.size() && decodeOne(decoder, bytes.sliced(i, 2), &c)) {
            out += c;
            i += 2;
        } else {
            out += QChar(char16_t(EscapeBase + b));
            ++i;
        }
    }
    return out;
}

bool decodeClean(QByteArrayView bytes, QString *out)
{
    QStringDecoder decoder(FileCodec, QStringDecoder::Flag::Stateless);
    *out = decoder.decode(bytes);
    return !decoder.hasError() && !out->contains(QChar::ReplacementCharacter);
}

QString decodeGbk(const QByteArray &bytes)
{
    QString text;
    if (decodeClean(bytes, &text))
        return text;
    // Damaged somewhere: line by line (a line end is never part of a GBK pair), so only the
    // damaged lines go byte by byte.
    text.clear();
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', start);
        end = end < 0 ? bytes.size() : end + 1;
        const QByteArrayView line = QByteArrayView(bytes).sliced(start, end - start);
        QString decoded;
        text += decodeClean(line, &decoded) ? decoded : decodeDamaged(line);
        start = end;
    }
    return text;
}

// False when the text holds a character GBK cannot represent.
bool encodeGbk(const QString &text, QByteArray *out)
{
    QStringEncoder encoder(FileCodec);
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!isEscapedByte(text, i))
            continue;
        *out += encoder.encode(QStringView(text).mid(start, i - start));
        *out += char(text.at(i).unicode() - EscapeBase);
        start = i + 1;
    }
    *out += encoder.encode(QStringView(text).mid(start));
    return !encoder.hasError();
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

    const QString text = decodeGbk(bytes);
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

void writeTextLines(const QString &path, const QStringList &lines, bool ownerOnly)
{
    QString text;
    for (const QString &line : lines) {
        text += line;
        text += QStringLiteral("\r\n");
    }
    QByteArray bytes;
    if (!encodeGbk(text, &bytes))
        failWrite(path, QStringLiteral("文本中有 GBK 编码无法表示的字符"));

    // Written to a temporary file and renamed over the old one, so a crash mid-write
    // leaves the previous settings intact.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        failWrite(path, file.errorString());
    if (file.write(bytes) != bytes.size())
        failWrite(path, file.errorString());
    // Set on the new file before it takes the old one's place, so there is no moment at which
    // others may read it.
    if (ownerOnly && !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
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
