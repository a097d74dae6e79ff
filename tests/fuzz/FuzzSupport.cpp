#include "FuzzSupport.h"

#include "WindowState.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

namespace fuzz {

void ensureApplication()
{
    if (QCoreApplication::instance())
        return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
    static int argc = 1;
    static char name[] = "qzfuzz";
    static char *argv[] = {name, nullptr};
    new QApplication(argc, argv); // lives for the whole run
}

namespace {
const QTemporaryDir &scratch()
{
    // Removed again when the process ends normally.
    static const QTemporaryDir dir(
        (QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath())
        + QStringLiteral("/qzfuzz-XXXXXX"));
    FUZZ_REQUIRE(dir.isValid(), "no scratch directory: %s", qPrintable(dir.errorString()));
    return dir;
}
} // namespace

ScratchDirectory::ScratchDirectory() : m_previous(QDir::currentPath())
{
    QDir::setCurrent(scratch().path());
    setProgramDirectory(scratch().path());
}

ScratchDirectory::~ScratchDirectory() { QDir::setCurrent(m_previous); }

QString ScratchDirectory::path() const { return scratch().path(); }

} // namespace fuzz
