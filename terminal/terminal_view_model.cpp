#include "terminal/terminal_view_model.h"

#include "manager/log_excerpt.h"
#include "platform/log.h"

#include <algorithm>

TerminalViewModel::TerminalViewModel(CorvaltManager& manager, QObject* parent)
    : QObject(parent), m_corvaltManager(&manager)
{
    Log::print(u"🖥️ TerminalViewModel init called");
    if (manager.output().isEmpty()) {
        m_placeholder = QStringLiteral("🚀 Starting Corvalt CLI setup...\n");
        m_showsPlaceholder = true;
    }
    Log::print(QStringLiteral("🖥️ TerminalViewModel initial output: ") + LogExcerpt::tail(outputView()));

    // The current text is delivered first, on the next turn of the event loop, then every change
    // in order. Queued calls addressed to this object die with it, so a released model receives
    // nothing.
    QMetaObject::invokeMethod(this, &TerminalViewModel::deliverInitial, Qt::QueuedConnection);
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

QString TerminalViewModel::output() const
{
    if (m_showsPlaceholder) {
        return m_placeholder;
    }
    if (!m_corvaltManager) {
        return {};
    }
    const QString& text = m_corvaltManager->output();
    const qsizetype length = std::max<qsizetype>(0, text.size() - m_undelivered);
    return length == text.size() ? text : text.left(length);
}

QString TerminalViewModel::outputView() const
{
    if (m_showsPlaceholder) {
        return m_placeholder;
    }
    if (!m_corvaltManager) {
        return {};
    }
    const QString& text = m_corvaltManager->output();
    const qsizetype length = std::max<qsizetype>(0, text.size() - m_undelivered);
    return QString::fromRawData(text.constData(), length);
}

void TerminalViewModel::onManagerOutputAppended(const QString& appended, qsizetype droppedFromFront)
{
    m_undelivered += appended.size();
    QMetaObject::invokeMethod(
        this, [this, appended, droppedFromFront] { deliver(appended, droppedFromFront); }, Qt::QueuedConnection);
}

void TerminalViewModel::deliverInitial()
{
    // The value delivered is the text of the moment of subscription: the manager's text less
    // everything that arrived since, which is still queued behind this delivery.
    const bool replaces = m_showsPlaceholder;
    m_showsPlaceholder = false;
    m_placeholder.clear();
    Log::print(QStringLiteral("🖥️ TerminalViewModel received new output: ") + LogExcerpt::tail(outputView()));
    if (replaces) {
        Q_EMIT outputReplaced();
    } else {
        Q_EMIT outputAppended(QString(), 0);
    }
    Log::print(QStringLiteral("🖥️ TerminalViewModel output updated to: ") + LogExcerpt::tail(outputView()));
}

void TerminalViewModel::deliver(const QString& appended, qsizetype droppedFromFront)
{
    m_undelivered -= appended.size();
    Log::print(QStringLiteral("🖥️ TerminalViewModel received new output: ") + LogExcerpt::tail(outputView()));
    Q_EMIT outputAppended(appended, droppedFromFront);
    Log::print(QStringLiteral("🖥️ TerminalViewModel output updated to: ") + LogExcerpt::tail(outputView()));
}
