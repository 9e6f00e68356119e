#include "tray_probe.h"

#include "platform/log.h"

#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QSystemTrayIcon>
#include <QWindow>

namespace {

QString centreText(const QWidget& widget, const QRect& rect)
{
    const QPoint centre = widget.mapToGlobal(rect.center());
    return QStringLiteral("%1,%2").arg(centre.x()).arg(centre.y());
}

template <typename Bar>
QString actionsText(const Bar* bar)
{
    QStringList parts;
    for (QAction* const action : bar ? bar->actions() : QList<QAction*>()) {
        parts.append(action->isSeparator() ? QStringLiteral("-")
                                           : action->text() + u'@' + centreText(*bar, bar->actionGeometry(action)));
    }
    return parts.join(u'|');
}

} // namespace

TrayProbe::TrayProbe(QObject* parent) : QObject(parent)
{
    m_timer.setInterval(50);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        if (const QString now = describe(); now != m_last) {
            m_last = now;
            Log::print(now);
        }
    });
    m_timer.start();
}

QString TrayProbe::describe()
{
    // Never QSystemTrayIcon::isSystemTrayAvailable(): it fixes Qt's tray backend for good.
    const auto* const icon = QCoreApplication::instance()->findChild<QSystemTrayIcon*>();
    const QRect area = icon && icon->isVisible() ? icon->geometry() : QRect();
    int windows = 0;
    const QMenuBar* bar = nullptr;
    const QMenu* menu = nullptr;
    for (QWidget* const widget : QApplication::topLevelWidgets()) {
        if (widget->windowTitle() == u"Corvalt Terminal" && widget->windowHandle() &&
            widget->windowHandle()->isExposed()) {
            ++windows;
            bar = widget->findChild<QMenuBar*>();
        } else if (auto* const open = qobject_cast<QMenu*>(widget); open && open->isVisible()) {
            menu = open;
        }
    }
    return QStringLiteral("🧪 state\ticon=%1,%2,%3,%4\twindows=%5\tmenubar=%6\tmenu=%7")
        .arg(area.x())
        .arg(area.y())
        .arg(area.width())
        .arg(area.height())
        .arg(windows)
        .arg(bar && bar->isVisible() ? actionsText(bar) : QString(), actionsText(menu));
}
