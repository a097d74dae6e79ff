#include "Ui.h"

#include "ScreenText.h"

#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QFileDialog>
#include <QFont>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>

namespace ui {

namespace {

class WidgetPrompter final : public Prompter {
public:
    static void setIcon(QMessageBox &box, Icon icon)
    {
        switch (icon) {
        case Icon::None: box.setIcon(QMessageBox::NoIcon); break;
        case Icon::Information: box.setIcon(QMessageBox::Information); break;
        case Icon::Question: box.setIcon(QMessageBox::Question); break;
        case Icon::Warning: box.setIcon(QMessageBox::Warning); break;
        case Icon::Critical: box.setIcon(QMessageBox::Critical); break;
        }
    }

    Reply message(const MessageRequest &r) override
    {
        QMessageBox box(r.parent);
        box.setWindowTitle(r.title);
        box.setText(r.text);
        setIcon(box, r.icon);
        if (r.buttons == Buttons::OkCancel) {
            box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            box.setDefaultButton(r.defaultReply == Reply::Ok ? QMessageBox::Ok : QMessageBox::Cancel);
            box.setEscapeButton(QMessageBox::Cancel);
        } else {
            box.setStandardButtons(QMessageBox::Ok);
        }
        return box.exec() == QMessageBox::Ok ? Reply::Ok : Reply::Cancel;
    }

    int execModal(QDialog *dialog) override { return dialog->exec(); }

    void standardError(const QString &text) override
    {
        QMessageBox box(QApplication::activeWindow());
        box.setWindowTitle(AppTitle);
        box.setIcon(QMessageBox::Critical);
        box.setText(text);
        box.exec();
    }

    void notice(const MessageRequest &r) override
    {
        auto *box = new QMessageBox(r.parent);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::NonModal);
        box->setWindowTitle(r.title);
        box->setText(r.text);
        setIcon(*box, r.icon);
        box->setStandardButtons(QMessageBox::Ok);
        box->show();
    }
};

WidgetPrompter g_widgetPrompter;
Prompter *g_prompter = nullptr;

} // namespace

Prompter &prompter() { return g_prompter ? *g_prompter : g_widgetPrompter; }
void setPrompter(Prompter *p) { g_prompter = p; }

void showMessage(const QString &text, QWidget *parent)
{
    prompter().message({parent, AppTitle, text, Icon::None, Buttons::Ok, Reply::Ok});
}

void showValidationError(const QString &text, QWidget *parent)
{
    prompter().message({parent, QStringLiteral("错误"), text, Icon::Information, Buttons::Ok, Reply::Ok});
}

bool askOkCancel(const QString &text, QWidget *parent)
{
    return prompter().message({parent, QStringLiteral("提示"), text, Icon::Question, Buttons::OkCancel,
                               Reply::Cancel})
        == Reply::Ok;
}

int showModal(QDialog *dialog) { return prompter().execModal(dialog); }

int showModalOwned(QDialog *dialog)
{
    // The window may delete itself while it runs (WA_DeleteOnClose); do not delete it twice.
    QPointer<QDialog> guard(dialog);
    const int result = prompter().execModal(dialog);
    delete guard.data();
    return result;
}

void reportError(const QString &text) { prompter().standardError(text); }

void showNotice(const QString &text, QWidget *parent)
{
    prompter().notice({parent, AppTitle, text, Icon::Warning, Buttons::Ok, Reply::Ok});
}

bool guarded(const std::function<void()> &fn)
{
    try {
        fn();
        return true;
    } catch (const AppError &e) {
        reportError(e.text());
    } catch (const std::exception &e) {
        reportError(QString::fromLocal8Bit(e.what()));
    }
    return false;
}

QString askSaveFile(QWidget *parent, const QString &title, const QString &suggested, const QString &filter,
                    const QString &suffix)
{
    QFileDialog dialog(parent, title, suggested, filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(suffix);
    dialog.selectFile(suggested);
    if (showModal(&dialog) != QDialog::Accepted)
        return QString();
    return dialog.selectedFiles().value(0);
}

WaitCursor::WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
WaitCursor::~WaitCursor() { QApplication::restoreOverrideCursor(); }

QString localDateTimeText(const QDateTime &dt)
{
    const QLocale locale = QLocale::system();
    return locale.toString(dt.date(), shortDateFormat(locale)) + QLatin1Char(' ')
        + locale.toString(dt.time(), longTimeFormat(locale));
}

void installFontSubstitutions()
{
    const QStringList sans = {QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Sans CJK"),
                              QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("DejaVu Sans")};
    const QStringList serif = {QStringLiteral("Noto Serif CJK SC"), QStringLiteral("Noto Serif CJK"),
                               QStringLiteral("Noto Sans CJK SC")};
    for (const char *face : {"宋体", "仿宋_GB2312"})
        QFont::insertSubstitutions(QString::fromUtf8(face), serif);
    for (const char *face : {"黑体", "幼圆", "MS Sans Serif"})
        QFont::insertSubstitutions(QString::fromUtf8(face), sans);
}

} // namespace ui
