#include "HttpRequest.h"

#include <QStringDecoder>

namespace {

bool isTokenChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+': case '-': case '.':
    case '^': case '_': case '`': case '|': case '~':
        return true;
    default:
        return false;
    }
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

HeadParse fail(int status, const QString &reason)
{
    HeadParse p;
    p.state = HeadParse::State::Error;
    p.status = status;
    p.reason = reason;
    return p;
}

// Name/value pairs of a query or form text, decoded.
QString pairValue(QByteArrayView text, const QString &name, char separator)
{
    const QByteArray wanted = name.toUtf8();
    for (QByteArrayView rest = text; !rest.isEmpty();) {
        const qsizetype end = rest.indexOf(separator);
        const QByteArrayView item = end < 0 ? rest : rest.first(end);
        rest = end < 0 ? QByteArrayView() : rest.sliced(end + 1);
        const qsizetype eq = item.indexOf('=');
        QByteArray key;
        if (!percentDecode(eq < 0 ? item : item.first(eq), &key, true) || key != wanted)
            continue;
        QByteArray value;
        if (!percentDecode(eq < 0 ? QByteArrayView() : item.sliced(eq + 1), &value, true))
            return QString();
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        QString decoded = utf8(value);
        if (utf8.hasError())
            return QString();
        if (decoded.isNull())
            decoded = QLatin1String(""); // present but empty
        return decoded;
    }
    return QString();
}

} // namespace

bool percentDecode(QByteArrayView in, QByteArray *out, bool plusIsSpace)
{
    out->clear();
    out->reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c == '%') {
            if (i + 2 >= in.size())
                return false;
            const int hi = hexValue(in[i + 1]);
            const int lo = hexValue(in[i + 2]);
            if (hi < 0 || lo < 0)
                return false;
            out->append(char(hi * 16 + lo));
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            out->append(' ');
        } else {
            out->append(c);
        }
    }
    return true;
}

bool decodeRequestPath(QByteArrayView rawPath, QString *path)
{
    if (rawPath.isEmpty() || rawPath[0] != '/')
        return false;
    QByteArray bytes;
    if (!percentDecode(rawPath, &bytes, false))
        return false;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || c == '\\' || c == '%')
            return false;
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = utf8(bytes);
    if (utf8.hasError())
        return false; // overlong forms ("%c0%ae") and other broken sequences
    for (const QString &segment : decoded.split(u'/')) {
        if (segment == QLatin1String(".") || segment == QLatin1String(".."))
            return false;
    }
    *path = decoded;
    return true;
}

HeadParse parseRequestHead(QByteArrayView buffered, const HttpLimits &limits)
{
    const qsizetype end = buffered.indexOf(QByteArrayView("\r\n\r\n"));
    if (end < 0) {
        // Still coming: within bounds it may go on. A request line longer than the target
        // bound is said as such.
        const qsizetype firstLine = buffered.indexOf('\n');
        if (firstLine < 0 && buffered.size() > limits.maxTargetBytes + 32)
            return fail(414, QStringLiteral("request target too long"));
        if (buffered.size() > limits.maxHeadBytes)
            return fail(431, QStringLiteral("request head too large"));
        return {};
    }
    const qsizetype headBytes = end + 4;
    if (headBytes > limits.maxHeadBytes)
        return fail(431, QStringLiteral("request head too large"));

    const QByteArrayView head = buffered.first(end);
    QList<QByteArrayView> lines;
    for (QByteArrayView rest = head;;) {
        const qsizetype nl = rest.indexOf(QByteArrayView("\r\n"));
        lines.append(nl < 0 ? rest : rest.first(nl));
        if (nl < 0)
            break;
        rest = rest.sliced(nl + 2);
    }

    HeadParse p;
    HttpRequest &r = p.request;
    // Request line: METHOD SP target SP HTTP/1.x
    const QByteArrayView line = lines.first();
    const qsizetype sp1 = line.indexOf(' ');
    const qsizetype sp2 = sp1 < 0 ? -1 : line.indexOf(' ', sp1 + 1);
    if (sp1 <= 0 || sp2 < 0 || line.indexOf(' ', sp2 + 1) >= 0)
        return fail(400, QStringLiteral("malformed request line"));
    const QByteArrayView method = line.first(sp1);
    for (const char c : method)
        if (!isTokenChar(c))
            return fail(400, QStringLiteral("malformed method"));
    const QByteArrayView target = line.sliced(sp1 + 1, sp2 - sp1 - 1);
    const QByteArrayView version = line.sliced(sp2 + 1);
    if (target.size() > limits.maxTargetBytes)
        return fail(414, QStringLiteral("request target too long"));
    if (version == QByteArrayView("HTTP/1.1"))
        r.minorVersion = 1;
    else if (version == QByteArrayView("HTTP/1.0"))
        r.minorVersion = 0;
    else if (version.startsWith(QByteArrayView("HTTP/")))
        return fail(505, QStringLiteral("HTTP version not supported"));
    else
        return fail(400, QStringLiteral("malformed request line"));
    for (const char c : target)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            return fail(400, QStringLiteral("malformed request target"));
    r.method = method.toByteArray();
    r.target = target.toByteArray();
    // Only origin-form targets ("/path?query"): no proxy requests, no "*".
    if (!target.startsWith('/'))
        return fail(400, QStringLiteral("request target must be a path"));
    const qsizetype q = target.indexOf('?');
    const QByteArrayView rawPath = q < 0 ? target : target.first(q);
    if (q >= 0)
        r.query = target.sliced(q + 1).toByteArray();
    const qsizetype hash = r.query.indexOf('#');
    if (hash >= 0)
        r.query.truncate(hash);
    if (!decodeRequestPath(rawPath, &r.path))
        return fail(400, QStringLiteral("request path refused"));

    if (lines.size() - 1 > limits.maxHeaderCount)
        return fail(431, QStringLiteral("too many header fields"));
    bool haveLength = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArrayView h = lines.at(i);
        if (h.isEmpty() || h[0] == ' ' || h[0] == '\t')
            return fail(400, QStringLiteral("folded or empty header line"));
        const qsizetype colon = h.indexOf(':');
        if (colon <= 0)
            return fail(400, QStringLiteral("malformed header line"));
        const QByteArrayView name = h.first(colon);
        for (const char c : name)
            if (!isTokenChar(c))
                return fail(400, QStringLiteral("malformed header name"));
        const QByteArrayView value = h.sliced(colon + 1).trimmed();
        for (const char c : value)
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f)
                return fail(400, QStringLiteral("control character in a header"));
        QByteArray lower = name.toByteArray().toLower();
        if (lower == "content-length") {
            bool ok = false;
            const qint64 n = value.toByteArray().toLongLong(&ok);
            if (!ok || n < 0 || value.isEmpty() || value[0] == '+' || (haveLength && n != r.contentLength))
                return fail(400, QStringLiteral("bad Content-Length"));
            haveLength = true;
            r.contentLength = n;
        } else if (lower == "transfer-encoding") {
            return fail(501, QStringLiteral("request bodies with Transfer-Encoding are not accepted"));
        }
        r.headers.append({lower, value.toByteArray()});
    }
    if (r.minorVersion == 1 && r.header("host").isNull())
        return fail(400, QStringLiteral("Host header missing"));
    if (r.contentLength > limits.maxBodyBytes)
        return fail(413, QStringLiteral("request body too large"));

    p.state = HeadParse::State::Complete;
    p.headBytes = int(headBytes);
    return p;
}

QByteArray HttpRequest::header(QByteArrayView name) const
{
    for (const auto &[k, v] : headers)
        if (k == name)
            return v.isNull() ? QByteArray("") : v;
    return QByteArray();
}

bool HttpRequest::keepAlive() const
{
    const QByteArray connection = header("connection").toLower();
    if (minorVersion == 0)
        return connection.contains("keep-alive");
    return !connection.contains("close");
}

QString HttpRequest::queryValue(const QString &name) const { return pairValue(query, name, '&'); }

QByteArray HttpRequest::cookie(QByteArrayView name) const
{
    for (const auto &[k, v] : headers) {
        if (k != "cookie")
            continue;
        for (const QByteArray &part : v.split(';')) {
            const QByteArray item = part.trimmed();
            const qsizetype eq = item.indexOf('=');
            if (eq > 0 && QByteArrayView(item).first(eq) == name)
                return item.mid(eq + 1);
        }
    }
    return QByteArray();
}

QString formValue(QByteArrayView form, const QString &name) { return pairValue(form, name, '&'); }
