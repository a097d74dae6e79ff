#pragma once
// Answers the station's message boxes and modal windows from a script, so no test blocks on
// a dialog. Installs itself on construction and restores the widget prompter on destruction.

#include "Ui.h"

#include <QList>
#include <QQueue>
#include <QStringList>
#include <functional>

class ScriptedPrompter final : public ui::Prompter {
public:
    ScriptedPrompter();
    ~ScriptedPrompter() override;

    ui::Reply message(const ui::MessageRequest &request) override;
    int execModal(QDialog *dialog) override;
    void standardError(const QString &text) override;
    void notice(const ui::MessageRequest &request) override;

    // Replies to give to the next questions, in order; Ok once the queue is empty.
    QQueue<ui::Reply> replies;
    // Called with each modal window instead of running it; its return value is the result.
    // Without one, a modal window returns QDialog::Rejected at once.
    std::function<int(QDialog *)> onModal;

    QList<ui::MessageRequest> messages; // every box shown, in order
    QStringList errors;                 // every text given to the standard error handler
    QList<ui::MessageRequest> notices;  // every box shown without waiting, in order
    int modalCount = 0;

    QStringList messageTexts() const;
    QStringList noticeTexts() const;
    void clear();
};
