#pragma once
// Line files of the settings: the .Pf files (opened by bare name in the working directory)
// and, through the same text routines, KTcom.ini. Bytes on disk are GBK, the code page of
// the Chinese user interface, without a byte-order mark. Lines are written with CR LF;
// reading takes CR LF or LF alone. Every input/output failure throws AppError naming
// the file and the reason; files are closed on the way out.

#include <QString>
#include <QStringList>

// The path of `name` in `directory` ("" = the working directory), matched without regard to
// case, as the settings files were always named loosely ("Sys_Para.pf" and "Sys_Para.Pf" are
// one file). When several entries match, the first in name order wins, so every caller
// lands on the same file whatever casing it asks for. Without a match: directory/name.
QString resolveFileName(const QString &directory, const QString &name);

// Whole-file text routines (GBK). readTextLines gives the lines without their line ends
// (a last line without a line end counts); writeTextLines replaces the file with the lines,
// each ended by CR LF. A text that GBK cannot represent is refused before the file is
// touched. Bytes that are not GBK (a damaged or foreign file) read as characters U+DC80 …
// U+DCFF and are written back as the same bytes, so such a file loads and rewrites intact.
// With ownerOnly the file is left readable and writable by its owner alone (mode 0600).
QStringList readTextLines(const QString &path);
void writeTextLines(const QString &path, const QStringList &lines, bool ownerOnly = false);

// A .Pf file in the working directory exists (name matched without regard to case).
bool pfFileExists(const QString &name);

// Reads a .Pf file from the working directory at once; lines are then taken one by one.
// Reading past the last line gives empty lines, not an error.
class PfReader {
public:
    explicit PfReader(const QString &name);
    QString readLine();
    int lineCount() const { return int(m_lines.size()); }

private:
    QStringList m_lines;
    int m_next = 0;
};

// Replaces the .Pf file in the working directory with the lines.
void writePfFile(const QString &name, const QStringList &lines);
