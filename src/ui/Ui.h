#pragma once
// Message boxes, questions, modal windows and the standard error handler of the station.
// Everything that would block on the operator goes through prompter(); the program uses
// the widget implementation, tests install a scripted one (see tests/support).

#include "AppError.h"

#include <QString>
#include <functional>

class QDateTime;
class QDialog;
class QWidget;

namespace ui {

// The application title: caption of the main window and of plain message boxes.
inline const QString AppTitle = QStringLiteral("QZ系列智能仪表实时监控系统");

enum class Icon { None, Information, Question, Warning, Critical };
enum class Buttons { Ok, OkCancel };
enum class Reply { Ok, Cancel };

struct MessageRequest {
    QWidget *parent = nullptr;
    QString title;
    QString text;
    Icon icon = Icon::None;
    Buttons buttons = Buttons::Ok;
    Reply defaultReply = Reply::Ok;
};

class Prompter {
public:
    virtual ~Prompter() = default;
    virtual Reply message(const MessageRequest &request) = 0;
    // Runs the dialog modally and returns its result code.
    virtual int execModal(QDialog *dialog) = 0;
    // The standard error message box: shows the text, the program goes on.
    virtual void standardError(const QString &text) = 0;
    // A box that does not wait for the operator: shown, and the caller goes on at once.
    virtual void notice(const MessageRequest &request) = 0;
};

Prompter &prompter();
// Installs a prompter (tests); nullptr restores the widget implementation.
void setPrompter(Prompter *p);

// Plain message box: the application title as caption, an OK button.
void showMessage(const QString &text, QWidget *parent = nullptr);
// Validation message: caption "错误", information icon, an OK button.
void showValidationError(const QString &text, QWidget *parent = nullptr);
// Question: caption "提示", OK and Cancel, question icon, Cancel the default. True on OK.
bool askOkCancel(const QString &text, QWidget *parent = nullptr);
// Shows a window modally; the caller keeps ownership.
int showModal(QDialog *dialog);
// Shows a window created with its owner modally and destroys it when it closes.
int showModalOwned(QDialog *dialog);
// The standard error handler.
void reportError(const QString &text);
// A plain message box (application title, OK) that does not block: for a station that runs
// unattended, where nobody may be there to press OK.
void showNotice(const QString &text, QWidget *parent = nullptr);
// Runs fn; an error escaping it reaches the standard error handler. False when one did.
bool guarded(const std::function<void()> &fn);

// Asks where to save a file: a save dialog (through the prompter, so tests answer it) titled
// `title`, on `suggested`, with the file filter and the suffix added to a name without one.
// The chosen path, or an empty string when the operator cancelled.
QString askSaveFile(QWidget *parent, const QString &title, const QString &suggested, const QString &filter,
                    const QString &suffix);

// The hourglass for the length of a scope (printing, exporting).
class WaitCursor {
public:
    WaitCursor();
    ~WaitCursor();
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

// A date-time as the operator's system shows it: short date, a blank, long time (without a
// time-zone name).
QString localDateTimeText(const QDateTime &dt);

// Maps the face names the station's windows ask for ("宋体", "黑体", "仿宋_GB2312", "幼圆",
// "MS Sans Serif") to installed CJK faces.
void installFontSubstitutions();

} // namespace ui
