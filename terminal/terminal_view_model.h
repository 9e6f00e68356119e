#pragma once

#include "manager/corvalt_manager.h"

#include <QObject>
#include <QPointer>
#include <QString>

// Mirrors the manager's output on the main thread for the terminal view. Every change of the
// manager's text reaches the model as a queued delivery, in order of the changes.
//
// The model keeps no copy of the text: between deliveries its text is the manager's text less
// the pieces whose deliveries are still queued, so a flood costs no second copy. A trim of the
// oldest lines shows at once rather than with its delivery; once the deliveries have run, the
// model's text is exactly the manager's.
class TerminalViewModel : public QObject
{
    Q_OBJECT

public:
    explicit TerminalViewModel(CorvaltManager& manager, QObject* parent = nullptr);
    ~TerminalViewModel() override;

    // Part of the text by positions counted from the start of the manager's text at creation,
    // without copying. What has been trimmed since is left out, so the part may come back
    // shorter or empty.
    QStringView outputRange(qint64 from, qint64 to) const;

Q_SIGNALS:
    // After each delivery: the text appended and the number of characters first dropped from
    // the front. Both are empty when the delivery assigned an unchanged text.
    void outputAppended(const QString& appended, qsizetype droppedFromFront);

private:
    void onManagerOutputAppended(const QString& appended, qsizetype droppedFromFront);
    void deliver(const QString& appended, qsizetype droppedFromFront);
    // The current text, without copying it.
    QStringView currentText() const;
    // The current text for a log line: its end only, when it is long.
    QString excerpt() const;

    QPointer<CorvaltManager> m_corvaltManager;
    QMetaObject::Connection m_subscription;
    // Characters at the end of the manager's text whose deliveries are still queued.
    qsizetype m_undelivered = 0;
    // Characters trimmed from the front of the manager's text since the positions began.
    qint64 m_trimmed = 0;
};
