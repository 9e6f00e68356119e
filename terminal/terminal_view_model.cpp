#include "terminal/terminal_view_model.h"

#include "manager/log_excerpt.h"
#include "platform/log.h"

#include <algorithm>

TerminalViewModel::TerminalViewModel(CorvaltManager& manager, QObject* parent)
    : QObject(parent), m_corvaltManager(&manager)
{
    Log::print(u"🖥️ TerminalViewModel init called");
    // The manager's text is never empty: it holds its own first line from its creation on.
    Log::print(QStringLiteral("🖥️ TerminalViewModel initial output: ") + excerpt());

    // The current text is delivered first, on the next turn of the event loop, then every change
    // in order. Queued calls addressed to this object die with it, so a released model receives
    // nothing.
    QMetaObject::invokeMethod(
        this, [this] { deliver(QString(), 0); }, Qt::QueuedConnection);
    m_subscription = connect(&manager,
                             &CorvaltManager::outputAppended,
                             this,
                             &TerminalViewModel::onManagerOutputAppended,
                             Qt::DirectConnection);
}

TerminalViewModel::~TerminalViewModel()
{
    Log::print(u"🖥️ TerminalViewModel deinit called - cleaning up");
    disconnect(m_subscription);
}

QStringView TerminalViewModel::currentText() const
{
    if (!m_corvaltManager) {
        return {};
    }
    const QString& text = m_corvaltManager->output();
    return QStringView(text).first(std::max<qsizetype>(0, text.size() - m_undelivered));
}

QString TerminalViewModel::excerpt() const
{
    const QStringView text = currentText();
    return LogExcerpt::tail(QString::fromRawData(text.data(), text.size()));
}

QStringView TerminalViewModel::outputRange(qint64 from, qint64 to) const
{
    const QStringView text = currentText();
    from = std::max<qint64>(from - m_trimmed, 0);
    to = std::min<qint64>(to - m_trimmed, text.size());
    return from < to ? text.sliced(from, to - from) : QStringView();
}

void TerminalViewModel::onManagerOutputAppended(const QString& appended, qsizetype droppedFromFront)
{
    m_undelivered += appended.size();
    m_trimmed += droppedFromFront;
    QMetaObject::invokeMethod(
        this, [this, appended, droppedFromFront] { deliver(appended, droppedFromFront); }, Qt::QueuedConnection);
}

void TerminalViewModel::deliver(const QString& appended, qsizetype droppedFromFront)
{
    m_undelivered -= appended.size();
    Log::print(QStringLiteral("🖥️ TerminalViewModel received new output: ") + excerpt());
    Q_EMIT outputAppended(appended, droppedFromFront);
    Log::print(QStringLiteral("🖥️ TerminalViewModel output updated to: ") + excerpt());
}
